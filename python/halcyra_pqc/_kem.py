"""Key encapsulation: the shared secrets of ML-KEM-768 and, in hybrid keys, of an RSA-OAEP
sealed secret, from which the payload key is derived (by _schedule for version 2), so the
payload stays safe while either half holds."""

import hmac
import os

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from ._keys import Key, modulus_size
from ._params import OAEP, PAYLOAD_KEY_SIZE, RSA_SECRET_SIZE

_REJECTION_LABEL = b"halcyra_pqc RSA-OAEP rejection"


def encapsulate(key: Key) -> tuple[bytes, bytes, bytes | None]:
    """Returns (shared secrets, mlkem_ct, rsa_ct): the secrets are ss_mlkem ‖ ss_rsa for a
    hybrid key and ss_mlkem alone, with rsa_ct None, for an ML-KEM-only key."""
    mlkem_secret, mlkem_ct = key.mlkem_public.encapsulate()
    if not key.hybrid:
        return mlkem_secret, mlkem_ct, None
    rsa_secret = os.urandom(RSA_SECRET_SIZE)
    return mlkem_secret + rsa_secret, mlkem_ct, key.rsa_public.encrypt(rsa_secret, OAEP)


def decapsulate(key: Key, mlkem_ct: bytes, rsa_ct: bytes | None) -> bytes:
    """Returns the shared secrets. A forged or damaged KEM ciphertext yields wrong secrets,
    never an error, so the only failure the caller sees is the one of the payload."""
    # ML-KEM rejects implicitly: a bad ciphertext decapsulates to an unrelated secret.
    mlkem_secret = key.mlkem_private.decapsulate(mlkem_ct)
    if rsa_ct is None:
        return mlkem_secret
    # The RSA half does the same: a ciphertext that OAEP refuses gives a secret that only
    # the key's owner can compute, the same one every time, so a failure looks like any other
    # wrong secret. It is computed on every call, so that success and failure differ in
    # nothing but the one selection below.
    stand_in = hmac.digest(key.rejection_key, rsa_ct, "sha256")
    try:
        rsa_secret = key.rsa_private.decrypt(rsa_ct, OAEP)
    except ValueError:
        rsa_secret = stand_in
    if len(rsa_secret) != RSA_SECRET_SIZE:
        rsa_secret = stand_in
    return mlkem_secret + rsa_secret


def rejection_key(rsa_private) -> bytes:
    """The key from which a hybrid private key derives its stand-in secrets: an HMAC keyed with
    the private exponent, so it is as secret as the key and stable across its spellings."""
    numbers = rsa_private.private_numbers()
    return hmac.digest(numbers.d.to_bytes(modulus_size(rsa_private), "big"), _REJECTION_LABEL, "sha256")


def version1_payload_key(label: str, secrets: bytes, mlkem_ct: bytes, rsa_ct: bytes | None) -> bytes:
    """The payload key of a version-1 ciphertext: HKDF-SHA256 with the algorithm label and
    both KEM ciphertexts as its info. Only read, never written any more."""
    info = label.encode("ascii") + b"\x00" + mlkem_ct + (rsa_ct or b"")
    return HKDF(algorithm=hashes.SHA256(), length=PAYLOAD_KEY_SIZE, salt=None, info=info).derive(secrets)
