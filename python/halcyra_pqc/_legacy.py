"""Classic RSA keys and ciphertexts, as the `rsa` package and PyCryptodome saved them before a
program switched over (see docs/migration.md): read only to decrypt old data.

Which scheme made a ciphertext is not recorded in it, and the core does not know which
module is calling, so "auto" tries OAEP with SHA-1 (PyCryptodome's PKCS1_OAEP default)
first and PKCS#1 v1.5 (the `rsa` package's encrypt) second. OAEP goes first because it
detects a foreign ciphertext: a v1.5 one passes its checks with a chance of about 2**-160.
v1.5 has no such check to offer: with implicit rejection, a ciphertext that is not v1.5
decrypts to a deterministic random-looking message rather than failing.
"""

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding

from . import _rsa
from ._envelope import MAGIC
from ._errors import AUTHENTICATION_FAILED, invalid_key
from ._keys import LegacyKey, modulus_size
from ._params import LEGACY_OAEP, LEGACY_RSA_MAX_BITS, LEGACY_RSA_MIN_BITS

SCHEMES = ("auto", "oaep-sha1", "pkcs1v15")

_LOADERS = {
    "PEM": (serialization.load_pem_private_key, serialization.load_pem_public_key, serialization.Encoding.PEM),
    "DER": (serialization.load_der_private_key, serialization.load_der_public_key, serialization.Encoding.DER),
}


def parse(data: bytes, encoding: str, *, checked: bool) -> LegacyKey:
    """A classic RSA private or public key in PEM or DER, PKCS#1 or PKCS#8/SubjectPublicKeyInfo."""
    load_private, load_public, _ = _LOADERS[encoding]
    private = _rsa.read_private(data, load_private)
    if private is _rsa.ENCRYPTED:
        raise invalid_key(
            "the RSA private key is encrypted with a passphrase; decrypt it with the tool that "
            "encrypted it (for example openssl pkey) and read the unencrypted key"
        )
    if not isinstance(private, str):
        if not checked:
            _rsa.check_private(private, min_bits=LEGACY_RSA_MIN_BITS, max_bits=LEGACY_RSA_MAX_BITS,
                               subject="the key")
        return LegacyKey(private.public_key(), private, encoding)
    public = _rsa.read_public(data, load_public)
    if public is None:
        raise invalid_key(f"{encoding} data that is not an RSA private or public key")
    # No size bound: a classic public key is only ever refused for encryption, with the
    # message that says how to replace it.
    if not checked:
        _rsa.check_public(public)
    return LegacyKey(public, None, encoding)


def public_key_bytes(key: LegacyKey) -> bytes:
    """The SubjectPublicKeyInfo of the key, in the encoding the key was read in."""
    encoding = _LOADERS[key.encoding][2]
    return key.rsa_public.public_bytes(encoding, serialization.PublicFormat.SubjectPublicKeyInfo)


def decrypt(ciphertext: bytes, key: LegacyKey, scheme: str = "auto") -> bytes:
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
    if scheme != "pkcs1v15":
        message = _decrypt_or_none(key, ciphertext, LEGACY_OAEP)
        if message is not None:
            return message
        if scheme == "oaep-sha1":
            raise ValueError(AUTHENTICATION_FAILED)
    # Implicit rejection (OpenSSL 3.2 and later) returns a stand-in message for a bad padding,
    # so no caller can learn whether the padding was valid. What fails here is a ciphertext
    # not below the modulus, or any bad padding on a backend without it.
    message = _decrypt_or_none(key, ciphertext, padding.PKCS1v15())
    if message is None:
        raise ValueError(AUTHENTICATION_FAILED)
    return message


def _decrypt_or_none(key: LegacyKey, ciphertext: bytes, scheme) -> bytes | None:
    try:
        return key.rsa_private.decrypt(ciphertext, scheme)
    except ValueError:
        return None
