"""Public-key encryption of a message: key encapsulation, the version-2 key schedule and
AES-256-GCM over the payload; version-1 ciphertexts, and streamed ones held in memory, are
read too."""

import os
from typing import NamedTuple

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from . import _legacy, _stream
from ._envelope import ciphertext_bytes, is_streamed, pack_ciphertext, pack_header, unpack_ciphertext
from ._errors import PUBLIC_KEY_CANNOT_DECRYPT, no_context_bound
from ._inputs import at_most, exact_bytes, key_data
from ._kem import encapsulate
from ._key_reader import load_exact
from ._keys import Key, LegacyKey
from ._params import MAX_MESSAGE_SIZE, NONCE_SIZE
from ._schedule import FORM_ONE_SHOT, derive
from ._sealing import context_bytes, decryption_key, open_one_shot, post_quantum_key


class Sealed(NamedTuple):
    """One encryption, in the order pack_ciphertext takes it: the KEM ciphertexts (rsa_ct None
    for an ML-KEM-only key), the nonce followed by the commitment, and the sealed payload."""

    mlkem_ct: bytes
    rsa_ct: bytes | None
    nonce: bytes
    sealed: bytes


def pqc_encrypt_payload(message, public_key_bytes, *, context=None):
    """Encrypts `message` to a key (public or private key bytes).

    Returns (mlkem_ct, rsa_ct, nonce, sealed) for a hybrid key and (mlkem_ct, nonce, sealed)
    for an ML-KEM-only key, where `nonce` is the nonce followed by the key commitment;
    pack_ciphertext turns either into one bytes value. `context` (bytes-like, at most 64 KiB)
    binds the ciphertext to an application context, which decryption must be given again.
    A classic RSA key is refused with ValueError: nothing new is encrypted without a
    post-quantum half.
    """
    sealed = _encrypt(message, public_key_bytes, context)
    if sealed.rsa_ct is None:
        return sealed.mlkem_ct, sealed.nonce, sealed.sealed
    return tuple(sealed)


def encrypt_packed(message, public_key_bytes) -> bytes:
    """The packed ciphertext of `message` for a key: pqc_encrypt_payload() and
    pack_ciphertext() in one call."""
    return pack_ciphertext(*_encrypt(message, public_key_bytes, None))


def _encrypt(message, public_key_bytes, context) -> Sealed:
    data = exact_bytes(message, "message", at_most(MAX_MESSAGE_SIZE, "message"))
    context = context_bytes(context)
    return _seal(data, post_quantum_key(key_data(public_key_bytes, "public_key_bytes")), context)


def _seal(data: bytes, key: Key, context: bytes = b"") -> Sealed:
    secrets, mlkem_ct, rsa_ct = encapsulate(key)
    schedule = derive(FORM_ONE_SHOT, key, secrets, mlkem_ct, rsa_ct, context)
    nonce = os.urandom(NONCE_SIZE)
    header = pack_header(mlkem_ct, rsa_ct, nonce, schedule.commitment)
    sealed = AESGCM(schedule.payload_key).encrypt(nonce, data, header + context)
    return Sealed(mlkem_ct, rsa_ct, nonce + schedule.commitment, sealed)


def pqc_decrypt_payload(packed, private_key_bytes, *, context=None) -> bytes:
    """Decrypts a packed ciphertext and returns the message.

    `context` must be the one the ciphertext was made with (none and empty are the same).
    Malformed input raises ValueError saying what is wrong; every authentication failure,
    a wrong context included, raises ValueError with one fixed text. A streamed ciphertext
    (what encrypt_stream() and the command line write) held in memory is read too. With a
    classic RSA private key, the ciphertext is one that classic RSA encryption made before
    the switch (see docs/migration.md).
    """
    packed = ciphertext_bytes(packed)
    context = context_bytes(context)
    key = decryption_key(private_key_bytes)
    if isinstance(key, LegacyKey):
        if context:
            raise ValueError(no_context_bound("a classic RSA ciphertext"))
        return _legacy.decrypt(packed, key)
    if is_streamed(packed):
        return _stream.decrypt_held(packed, key, context)
    return open_one_shot(key, unpack_ciphertext(packed), context)


def reencrypt_legacy_ciphertext(
    ciphertext, legacy_private_key_bytes, public_key_bytes, *, scheme="auto"
) -> bytes:
    """Decrypts a ciphertext made by classic RSA encryption and encrypts its message to a
    post-quantum key, returning the packed ciphertext: one call per stored item to convert.

    `scheme` is "auto" (OAEP with SHA-1, then PKCS#1 v1.5) or the one scheme the data was
    made with, "oaep-sha1" or "pkcs1v15". The padding is checked explicitly, so a ciphertext
    that the key does not open, made for another key or modified, raises ValueError instead
    of being re-encrypted as random bytes. That check is a padding oracle for whoever chooses
    the ciphertexts: convert stored data with it, never ciphertexts that others submit.
    """
    scheme = _legacy.checked_scheme(scheme)
    ciphertext = ciphertext_bytes(ciphertext)
    legacy_data = key_data(legacy_private_key_bytes, "legacy_private_key_bytes")
    target_data = key_data(public_key_bytes, "public_key_bytes")
    legacy = load_exact(legacy_data)
    if not isinstance(legacy, LegacyKey):
        raise ValueError(
            "legacy_private_key_bytes is a post-quantum key, whose ciphertexts need no conversion"
        )
    if not legacy.private:
        raise ValueError(PUBLIC_KEY_CANNOT_DECRYPT)
    # The target is checked before anything is decrypted, so a wrong one costs nothing.
    return convert_legacy(ciphertext, legacy, post_quantum_key(target_data), scheme).ciphertext


class Conversion(NamedTuple):
    scheme: str  # the scheme whose padding check passed
    message: bytes
    ciphertext: bytes  # packed, for the target key


def convert_legacy(ciphertext: bytes, legacy: LegacyKey, target: Key, scheme: str) -> Conversion:
    """The one conversion of a classic ciphertext: opened with its padding checked
    explicitly under `scheme` (already checked), its message sealed to `target`. ValueError
    when the legacy key does not open it."""
    used, message = _legacy.open_checked(ciphertext, legacy, scheme)
    return Conversion(used, message, pack_ciphertext(*_seal(message, target)))
