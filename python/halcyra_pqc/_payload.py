"""Public-key encryption of a message: key encapsulation plus AES-256-GCM over the payload."""

import os

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from ._envelope import pack_header, unpack_ciphertext
from ._errors import AUTHENTICATION_FAILED, PUBLIC_KEY_CANNOT_DECRYPT
from ._inputs import as_bytes, byte_view
from ._kem import decapsulate, encapsulate
from ._keys import load_key
from ._params import MAX_MESSAGE_SIZE, NONCE_SIZE


def pqc_encrypt_payload(message, public_key_bytes):
    """Encrypts `message` to a key (public or private key bytes).

    Returns (mlkem_ct, rsa_ct, nonce, sealed) for a hybrid key and (mlkem_ct, nonce, sealed)
    for an ML-KEM-only key; pack_ciphertext turns either into one bytes value.
    """
    data = as_bytes(message, "message", limit=MAX_MESSAGE_SIZE)
    key = load_key(public_key_bytes, "public_key_bytes")
    payload_key, mlkem_ct, rsa_ct = encapsulate(key)
    nonce = os.urandom(NONCE_SIZE)
    sealed = AESGCM(payload_key).encrypt(nonce, data, pack_header(mlkem_ct, rsa_ct, nonce))
    if rsa_ct is None:
        return mlkem_ct, nonce, sealed
    return mlkem_ct, rsa_ct, nonce, sealed


def pqc_decrypt_payload(packed, private_key_bytes) -> bytes:
    """Decrypts a packed ciphertext and returns the message.

    Malformed input raises ValueError saying what is wrong; every authentication failure
    raises ValueError with one fixed text.
    """
    packed = byte_view(packed, "ciphertext")
    key = load_key(private_key_bytes, "private_key_bytes")
    if not key.private:
        raise ValueError(PUBLIC_KEY_CANNOT_DECRYPT)
    envelope = unpack_ciphertext(packed)
    if envelope.hybrid != key.hybrid:
        ciphertext_kind = "hybrid ML-KEM-768+RSA" if envelope.hybrid else "ML-KEM-768 only"
        raise ValueError(
            f"the ciphertext is {ciphertext_kind} but the key is {key.label}; use the matching key"
        )
    if envelope.hybrid:
        modulus_size = key.rsa_private.key_size // 8
        if len(envelope.rsa_ct) != modulus_size:
            raise ValueError(
                f"the RSA ciphertext is {len(envelope.rsa_ct)} bytes "
                f"but this key's modulus is {modulus_size} bytes"
            )
    payload_key = decapsulate(key, envelope.mlkem_ct, envelope.rsa_ct)
    try:
        return AESGCM(payload_key).decrypt(envelope.nonce, envelope.sealed, envelope.header)
    except InvalidTag:
        raise ValueError(AUTHENTICATION_FAILED) from None
