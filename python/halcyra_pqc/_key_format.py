"""The key bytes of post-quantum keys (see docs/formats.md): a compact UTF-8 JSON object.

Parsing is strict about what the members hold (canonical base64, the one DER encoding of an
RSA half), so each half of a key has one encoding. The JSON around them may be spelled in any
way JSON allows (whitespace, member order, escapes in strings); the canonical form, compact
and in the generator's member order, is what public_key_bytes() returns and what fingerprints
and ciphertexts are bound to, so one key has one identity however it was spelled. Reasons
given for refusing key bytes name members but never repeat a member's value, which may be
part of a private key.
"""

import base64
import hashlib
import json
import re

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey, MLKEM768PublicKey

from . import _rsa
from ._errors import KEY_IS_PROTECTED, invalid_key
from ._kem import rejection_key
from ._keys import Key
from ._params import (
    HYBRID_LABEL,
    MLKEM_LABEL,
    MLKEM_PUBLIC_KEY_SIZE,
    MLKEM_SEED_SIZE,
    RSA_MAX_BITS,
    RSA_MIN_BITS,
)

KEY_FORMAT_VERSION = 1
PROTECTED_KIND = "protected"

_PRIVATE_RSA = "an unencrypted PKCS#8 DER RSA private key"
_PUBLIC_RSA = "a DER SubjectPublicKeyInfo RSA public key"


def encode(key: Key) -> bytes:
    if not key.private:
        return key.public_bytes
    rsa = _private_der(key.rsa_private) if key.hybrid else None
    return _encoded(key.label, "private", key.mlkem_private.private_bytes_raw(), rsa)


def _encoded(label: str, kind: str, mlkem: bytes, rsa: bytes | None) -> bytes:
    members = {"version": KEY_FORMAT_VERSION, "alg": label, "kind": kind, "mlkem": b64(mlkem)}
    if rsa is not None:
        members["rsa"] = b64(rsa)
    return dump(members)


def make_key(mlkem_public: MLKEM768PublicKey, mlkem_private: MLKEM768PrivateKey | None,
             rsa_public, rsa_private) -> Key:
    """A Key with what every use of it needs computed once: its canonical public key bytes,
    their hash, and a hybrid private key's rejection key."""
    label = HYBRID_LABEL if rsa_public is not None else MLKEM_LABEL
    rsa = _public_der(rsa_public) if rsa_public is not None else None
    public_bytes = _encoded(label, "public", mlkem_public.public_bytes_raw(), rsa)
    rejection = rejection_key(rsa_private) if rsa_private is not None else None
    return Key(mlkem_public, mlkem_private, rsa_public, rsa_private, public_bytes,
               hashlib.sha256(public_bytes).digest(), rejection)


def _private_der(key) -> bytes:
    return key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _public_der(key) -> bytes:
    return key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)


def dump(members: dict) -> bytes:
    return json.dumps(members, separators=(",", ":")).encode("ascii")


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def parse(data: bytes, *, checked: bool) -> Key:
    """Parses JSON key bytes. With `checked`, the same bytes passed every check before, so
    only the parse itself is repeated."""
    members = load_object(data)
    # Before the version: protected keys have versions of their own.
    if members.get("kind") == PROTECTED_KIND:
        raise invalid_key(KEY_IS_PROTECTED)
    version = member(members, "version")
    if type(version) is not int or version != KEY_FORMAT_VERSION:
        shown = f" {version}" if type(version) is int and abs(version) < 10**6 else ""
        raise invalid_key(
            f"unsupported key format version{shown} (this release reads {KEY_FORMAT_VERSION})"
        )
    label = member(members, "alg")
    if label not in (HYBRID_LABEL, MLKEM_LABEL):
        raise invalid_key(f'unknown algorithm label in "alg" ({HYBRID_LABEL!r} and {MLKEM_LABEL!r} are read)')
    kind = member(members, "kind")
    if kind not in ("public", "private"):
        raise invalid_key('"kind" must be "public" or "private"')
    hybrid = label == HYBRID_LABEL
    check_members(members, {"version", "alg", "kind", "mlkem"} | ({"rsa"} if hybrid else set()), label)

    private = kind == "private"
    mlkem_public, mlkem_private = _mlkem_half(base64_member(members, "mlkem"), private)
    if not hybrid:
        return make_key(mlkem_public, mlkem_private, None, None)
    der = base64_member(members, "rsa")
    if private:
        rsa_private = _rsa_private_half(der, checked)
        return make_key(mlkem_public, mlkem_private, rsa_private.public_key(), rsa_private)
    return make_key(mlkem_public, None, _rsa_public_half(der, checked), None)


def _mlkem_half(raw: bytes, private: bool):
    if private:
        if len(raw) != MLKEM_SEED_SIZE:
            raise invalid_key(f'"mlkem" must hold a {MLKEM_SEED_SIZE}-byte ML-KEM-768 seed, not {len(raw)} bytes')
        mlkem_private = MLKEM768PrivateKey.from_seed_bytes(raw)
        return mlkem_private.public_key(), mlkem_private
    if len(raw) != MLKEM_PUBLIC_KEY_SIZE:
        raise invalid_key(
            f'"mlkem" must hold a {MLKEM_PUBLIC_KEY_SIZE}-byte ML-KEM-768 public key, not {len(raw)} bytes'
        )
    try:
        mlkem_public = MLKEM768PublicKey.from_public_bytes(raw)
    except ValueError:
        mlkem_public = None
    if mlkem_public is None:
        raise invalid_key('"mlkem" is not a valid ML-KEM-768 public key')
    return mlkem_public, None


def _rsa_private_half(der: bytes, checked: bool):
    key = _rsa.read_private(der, serialization.load_der_private_key)
    if isinstance(key, str):
        raise invalid_key(f'"rsa" is not {_PRIVATE_RSA}')
    if checked:
        return key
    # One spelling only: PKCS#1 or any other encoding of the same key is refused.
    if _private_der(key) != der:
        raise invalid_key(f'"rsa" is not {_PRIVATE_RSA}')
    _rsa.check_private(key, min_bits=RSA_MIN_BITS, max_bits=RSA_MAX_BITS, subject='"rsa"')
    return key


def _rsa_public_half(der: bytes, checked: bool):
    key = _rsa.read_public(der, serialization.load_der_public_key)
    if key is None:
        raise invalid_key(f'"rsa" is not {_PUBLIC_RSA}')
    if checked:
        return key
    if _public_der(key) != der:
        raise invalid_key(f'"rsa" is not {_PUBLIC_RSA}')
    _rsa.check_public(key, min_bits=RSA_MIN_BITS, max_bits=RSA_MAX_BITS)
    return key


# --- the JSON object, shared with protected keys ------------------------------------------


class _DuplicateMember(ValueError):
    def __init__(self, name: str) -> None:
        super().__init__()
        self.name = name


def _reject_duplicates(pairs):
    members = {}
    for name, value in pairs:
        if name in members:
            raise _DuplicateMember(name)
        members[name] = value
    return members


def load_object(data: bytes) -> dict:
    """The JSON object of key bytes (which start with "{"), each member at most once."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is None:
        raise invalid_key("not UTF-8 text")
    failure = None
    try:
        members = json.loads(text, object_pairs_hook=_reject_duplicates)
    except _DuplicateMember as duplicate:
        failure = f"member {shown_name(duplicate.name)} appears more than once"
    except (ValueError, RecursionError):
        failure = "not valid JSON"
    if failure is not None:
        raise invalid_key(failure)
    # Text that starts with "{" and parses is an object.
    return members


def member(members: dict, name: str):
    if name not in members:
        raise invalid_key(f'the "{name}" member is missing')
    return members[name]


def check_members(members: dict, expected: set, what: str) -> None:
    unexpected = members.keys() - expected
    if unexpected:
        raise invalid_key(f"unexpected member {shown_name(min(unexpected))} in a {what} key")
    missing = expected - members.keys()
    if missing:
        raise invalid_key(f'the "{min(missing)}" member is missing')


def base64_member(members: dict, name: str) -> bytes:
    value = members[name]
    if not isinstance(value, str):
        raise invalid_key(f'"{name}" must be a base64 string')
    try:
        raw = base64.b64decode(value, validate=True)
    except ValueError:
        raw = None
    if raw is None:
        raise invalid_key(f'"{name}" is not valid base64')
    # One key, one spelling: refuse the alternative encodings lenient decoders let through.
    if b64(raw) != value:
        raise invalid_key(f'"{name}" is not canonical base64')
    return raw


_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,31}")


def shown_name(name: str) -> str:
    """A member name as an error may show it: only short identifiers are repeated."""
    return repr(name) if _PLAIN_NAME.fullmatch(name) else "(a member name)"
