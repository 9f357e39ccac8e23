"""Public-key encryption of a message: key encapsulation plus AES-256-GCM over the payload."""

import os

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from ._envelope import pack_ciphertext, pack_header, unpack_ciphertext
from ._errors import AUTHENTICATION_FAILED, NO_POST_QUANTUM_HALF, PUBLIC_KEY_CANNOT_DECRYPT
from ._inputs import as_bytes, byte_view
from ._kem import decapsulate, encapsulate
from ._keys import Key, LegacyKey, load_key, modulus_size
from ._legacy import SCHEMES, decrypt_legacy
from ._params import MAX_MESSAGE_SIZE, NONCE_SIZE


def pqc_encrypt_payload(message, public_key_bytes):
    """Encrypts `message` to a key (public or private key bytes).

    Returns (mlkem_ct, rsa_ct, nonce, sealed) for a hybrid key and (mlkem_ct, nonce, sealed)
    for an ML-KEM-only key; pack_ciphertext turns either into one bytes value. A classic RSA
    key is refused with ValueError: nothing new is encrypted without a post-quantum half.
    """
    data = as_bytes(message, "message", limit=MAX_MESSAGE_SIZE)
    return _seal(data, _post_quantum_key(public_key_bytes, "public_key_bytes"))


def _post_quantum_key(value, name: str) -> Key:
    key = load_key(value, name)
    if isinstance(key, LegacyKey):
        raise ValueError(NO_POST_QUANTUM_HALF)
    return key


def _seal(data: bytes, key: Key) -> tuple[bytes, ...]:
    payload_key, mlkem_ct, rsa_ct = encapsulate(key)
    nonce = os.urandom(NONCE_SIZE)
    sealed = AESGCM(payload_key).encrypt(nonce, data, pack_header(mlkem_ct, rsa_ct, nonce))
    if rsa_ct is None:
        return mlkem_ct, nonce, sealed
    return mlkem_ct, rsa_ct, nonce, sealed


def pqc_decrypt_payload(packed, private_key_bytes) -> bytes:
    """Decrypts a packed ciphertext and returns the message.

    Malformed input raises ValueError saying what is wrong; every authentication failure
    raises ValueError with one fixed text. With a classic RSA private key, the ciphertext is
    one that classic RSA encryption made before the switch (see docs/migration.md).
    """
    packed = byte_view(packed, "ciphertext")
    key = load_key(private_key_bytes, "private_key_bytes")
    if not key.private:
        raise ValueError(PUBLIC_KEY_CANNOT_DECRYPT)
    if isinstance(key, LegacyKey):
        return decrypt_legacy(packed, key)
    envelope = unpack_ciphertext(packed)
    if envelope.hybrid != key.hybrid:
        ciphertext_kind = "hybrid ML-KEM-768+RSA" if envelope.hybrid else "ML-KEM-768 only"
        raise ValueError(
            f"the ciphertext is {ciphertext_kind} but the key is {key.label}; use the matching key"
        )
    if envelope.hybrid:
        size = modulus_size(key.rsa_private)
        if len(envelope.rsa_ct) != size:
            raise ValueError(
                f"the RSA ciphertext is {len(envelope.rsa_ct)} bytes "
                f"but this key's modulus is {size} bytes"
            )
    payload_key = decapsulate(key, envelope.mlkem_ct, envelope.rsa_ct)
    try:
        return AESGCM(payload_key).decrypt(envelope.nonce, envelope.sealed, envelope.header)
    except InvalidTag:
        raise ValueError(AUTHENTICATION_FAILED) from None


def reencrypt_legacy_ciphertext(
    ciphertext, legacy_private_key_bytes, public_key_bytes, *, scheme="auto"
) -> bytes:
    """Decrypts a ciphertext made by classic RSA encryption and encrypts its message to a
    post-quantum key, returning the packed ciphertext: one call per stored item to convert.

    `scheme` is "auto" (OAEP with SHA-1, then PKCS#1 v1.5, as pqc_decrypt_payload does),
    "oaep-sha1" or "pkcs1v15". Naming the scheme the data was made with is safer: with
    "oaep-sha1" a damaged ciphertext fails instead of being re-encrypted as garbage.
    """
    if not isinstance(scheme, str) or scheme not in SCHEMES:
        raise ValueError(f"scheme must be one of {', '.join(map(repr, SCHEMES))}, not {scheme!r}")
    ciphertext = byte_view(ciphertext, "ciphertext")
    legacy = load_key(legacy_private_key_bytes, "legacy_private_key_bytes")
    if not isinstance(legacy, LegacyKey):
        raise ValueError(
            "legacy_private_key_bytes is a post-quantum key, whose ciphertexts need no conversion"
        )
    if not legacy.private:
        raise ValueError(PUBLIC_KEY_CANNOT_DECRYPT)
    # The target is checked before anything is decrypted, so a wrong one costs nothing.
    target = _post_quantum_key(public_key_bytes, "public_key_bytes")
    sealed = _seal(decrypt_legacy(ciphertext, legacy, scheme), target)
    if len(sealed) == 3:
        mlkem_ct, nonce, payload = sealed
        return pack_ciphertext(mlkem_ct, None, nonce, payload)
    return pack_ciphertext(*sealed)
