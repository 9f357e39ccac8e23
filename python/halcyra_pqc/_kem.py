"""Key encapsulation: agrees the AES-256-GCM payload key from ML-KEM-768 and, in hybrid
keys, an RSA-OAEP sealed secret, so the payload stays safe while either half holds."""

import os

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from ._keys import Key
from ._params import OAEP, PAYLOAD_KEY_SIZE, RSA_SECRET_SIZE


def encapsulate(key: Key) -> tuple[bytes, bytes, bytes | None]:
    """Returns (payload_key, mlkem_ct, rsa_ct); rsa_ct is None for an ML-KEM-only key."""
    mlkem_secret, mlkem_ct = key.mlkem_public.encapsulate()
    if not key.hybrid:
        return derive_payload_key(key.label, mlkem_secret=mlkem_secret, mlkem_ct=mlkem_ct), mlkem_ct, None
    rsa_secret = os.urandom(RSA_SECRET_SIZE)
    rsa_ct = key.rsa_public.encrypt(rsa_secret, OAEP)
    payload_key = derive_payload_key(key.label, mlkem_secret=mlkem_secret, mlkem_ct=mlkem_ct,
                                     rsa_secret=rsa_secret, rsa_ct=rsa_ct)
    return payload_key, mlkem_ct, rsa_ct


def decapsulate(key: Key, mlkem_ct: bytes, rsa_ct: bytes | None) -> bytes:
    """Returns the payload key. A forged or damaged KEM ciphertext yields a wrong key, never an
    error, so the only failure the caller sees is the AES-GCM one."""
    # ML-KEM rejects implicitly: a bad ciphertext decapsulates to an unrelated secret.
    mlkem_secret = key.mlkem_private.decapsulate(mlkem_ct)
    if rsa_ct is None:
        return derive_payload_key(key.label, mlkem_secret=mlkem_secret, mlkem_ct=mlkem_ct)
    try:
        rsa_secret = key.rsa_private.decrypt(rsa_ct, OAEP)
    except ValueError:
        rsa_secret = b""
    if len(rsa_secret) != RSA_SECRET_SIZE:
        # Same treatment as ML-KEM: carry on with a random secret, so an OAEP failure takes
        # the same path as a tag failure and reveals nothing about the RSA step.
        rsa_secret = os.urandom(RSA_SECRET_SIZE)
    return derive_payload_key(key.label, mlkem_secret=mlkem_secret, mlkem_ct=mlkem_ct,
                              rsa_secret=rsa_secret, rsa_ct=rsa_ct)


def derive_payload_key(
    label: str, *, mlkem_secret: bytes, mlkem_ct: bytes, rsa_secret: bytes = b"", rsa_ct: bytes | None = None
) -> bytes:
    # The ciphertexts in `info` tie the key to this exact encapsulation, the label to the scheme.
    info = label.encode("ascii") + b"\x00" + mlkem_ct + (rsa_ct or b"")
    hkdf = HKDF(algorithm=hashes.SHA256(), length=PAYLOAD_KEY_SIZE, salt=None, info=info)
    return hkdf.derive(mlkem_secret + rsa_secret)
