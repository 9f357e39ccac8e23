"""Key generation."""

from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey

from ._key_format import encode, make_key
from ._key_reader import remember
from ._params import RSA_KEY_BITS, RSA_PUBLIC_EXPONENT


def generate_pqc_kem_keypair() -> tuple[bytes, bytes]:
    """Returns fresh (public_key_bytes, private_key_bytes) for ML-KEM-768 combined with RSA-3072."""
    rsa_private = rsa.generate_private_key(public_exponent=RSA_PUBLIC_EXPONENT, key_size=RSA_KEY_BITS)
    return _encode_pair(MLKEM768PrivateKey.generate(), rsa_private)


def generate_mlkem_keypair() -> tuple[bytes, bytes]:
    """Returns fresh (public_key_bytes, private_key_bytes) for ML-KEM-768 alone."""
    return _encode_pair(MLKEM768PrivateKey.generate(), None)


def _encode_pair(mlkem_private: MLKEM768PrivateKey, rsa_private: rsa.RSAPrivateKey | None):
    rsa_public = rsa_private.public_key() if rsa_private is not None else None
    private = make_key(mlkem_private.public_key(), mlkem_private, rsa_public, rsa_private)
    public = private.public()
    public_bytes, private_bytes = encode(public), encode(private)
    # These keys were made here and need no checks when their bytes come back.
    remember(public_bytes, public)
    remember(private_bytes, private)
    return public_bytes, private_bytes
