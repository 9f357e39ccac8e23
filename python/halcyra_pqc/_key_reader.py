"""Reading key bytes: which form they are in, the parse, and what the core remembers of it."""

import hashlib

from cryptography.hazmat.primitives import serialization

from . import _key_cache as cache
from . import _key_format, _legacy
from ._errors import invalid_key
from ._inputs import key_data
from ._keys import Key, LegacyKey


def load_key(value, name: str) -> Key | LegacyKey:
    """Parses key bytes (bytes-like, or the same text as str), reusing earlier parses.

    Each distinct key costs its checks at most once per process, whether they pass or fail.
    """
    return load_exact(key_data(value, name))


def load_exact(data: bytes) -> Key | LegacyKey:
    """load_key() for key bytes already copied into exact bytes."""
    key = cache.parsed.get(data)
    if key is not None:
        return key
    fingerprint = cache.digest(data)
    reason = cache.refused.get(fingerprint)
    if reason is not None:
        raise ValueError(reason)
    checked = cache.checked.get(fingerprint) is not None
    try:
        key = _classify(data, checked=checked)
    except ValueError as refusal:
        reason = str(refusal)
    if reason is not None:
        cache.refused.put(fingerprint, reason)
        raise ValueError(reason)
    cache.checked.put(fingerprint, True)
    cache.parsed.put(data, key)
    return key


def remember(data: bytes, key: Key) -> None:
    """Records key bytes made in this process as parsed and checked."""
    cache.checked.put(cache.digest(data), True)
    cache.parsed.put(data, key)


def _form(data: bytes) -> str | None:
    """Which form key bytes are in: "JSON", "PEM", "DER", or None."""
    start = data.lstrip()
    if start[:1] == b"{":
        return "JSON"
    if start.startswith(b"-----BEGIN "):
        return "PEM"
    # Every DER key, PKCS#1 or PKCS#8, private or public, is an ASN.1 SEQUENCE.
    if data[:1] == b"\x30":
        return "DER"
    return None


def looks_like_key(data: bytes) -> bool:
    return _form(data) is not None


def _classify(data: bytes, *, checked: bool) -> Key | LegacyKey:
    """The single entry point that recognises an encoding of key bytes and parses it."""
    form = _form(data)
    if form == "JSON":
        return _key_format.parse(data, checked=checked)
    if form is not None:
        return _legacy.parse(data, form, checked=checked)
    raise invalid_key(
        "expected a JSON key object as made by generate_pqc_kem_keypair(), "
        "or a classic RSA key in PEM or DER"
    )


def public_key_bytes(key_bytes) -> bytes:
    """The public key bytes of a key, as exact bytes: of a post-quantum key, its canonical
    public key bytes (derived from private key bytes; public key bytes spelled otherwise, with
    whitespace or members in another order, come back in the one canonical spelling); of a
    classic RSA private key, its SubjectPublicKeyInfo in the encoding it was given in; of a
    classic public key, the bytes themselves."""
    data = key_data(key_bytes, "key_bytes")
    key = load_exact(data)
    if isinstance(key, LegacyKey):
        return _legacy.public_key_bytes(key) if key.private else data
    if key.private:
        remember(key.public_bytes, key.public())
    return key.public_bytes


def fingerprint(data: bytes, key: Key | LegacyKey | None = None) -> str:
    """SHA-256 of the public key of key bytes (`key`, their parse, if at hand): of its public
    key bytes, or of a classic key's DER SubjectPublicKeyInfo (the same whichever encoding
    the file used)."""
    if key is None:
        key = load_key(data, "key")
    if isinstance(key, LegacyKey):
        public = key.rsa_public.public_bytes(serialization.Encoding.DER,
                                             serialization.PublicFormat.SubjectPublicKeyInfo)
    else:
        public = public_key_bytes(data)
    return "sha256:" + hashlib.sha256(public).hexdigest()
