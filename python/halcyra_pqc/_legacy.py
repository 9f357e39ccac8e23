"""Decryption of ciphertexts that classic RSA encryption made before a program switched over
(see docs/migration.md).

Which scheme made a ciphertext is not recorded in it, and the core does not know which
module is calling, so "auto" tries OAEP with SHA-1 (PyCryptodome's PKCS1_OAEP default)
first and PKCS#1 v1.5 (the `rsa` package's encrypt) second. OAEP goes first because it
detects a foreign ciphertext: a v1.5 one passes its checks with a chance of about 2**-160.
v1.5 has no such check to offer: with implicit rejection, a ciphertext that is not v1.5
decrypts to a deterministic random-looking message rather than failing.
"""

from cryptography.hazmat.primitives.asymmetric import padding

from ._envelope import MAGIC
from ._errors import AUTHENTICATION_FAILED
from ._keys import LegacyKey, modulus_size
from ._params import LEGACY_OAEP

SCHEMES = ("auto", "oaep-sha1", "pkcs1v15")


def decrypt_legacy(ciphertext: memoryview, key: LegacyKey, scheme: str = "auto") -> bytes:
    size = modulus_size(key.rsa_private)
    if len(ciphertext) != size:
        if ciphertext[: len(MAGIC)] == MAGIC:
            # Never a classic ciphertext: the largest classic key's are shorter than any packed one.
            raise ValueError(
                "the ciphertext is in the packed format, made for a post-quantum key, but this "
                "is a classic RSA key; use the key it was made for"
            )
        raise ValueError(
            f"the classic RSA ciphertext is {len(ciphertext)} bytes "
            f"but this key's modulus is {size} bytes"
        )
    data = bytes(ciphertext)
    if scheme != "pkcs1v15":
        try:
            return key.rsa_private.decrypt(data, LEGACY_OAEP)
        except ValueError:
            if scheme == "oaep-sha1":
                raise ValueError(AUTHENTICATION_FAILED) from None
    try:
        # Implicit rejection (OpenSSL 3.2 and later) returns a stand-in message for a bad
        # padding, so no caller can learn whether the padding was valid. What fails here is a
        # ciphertext not below the modulus, or any bad padding on a backend without it.
        return key.rsa_private.decrypt(data, padding.PKCS1v15())
    except ValueError:
        raise ValueError(AUTHENTICATION_FAILED) from None
