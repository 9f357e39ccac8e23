"""Public-key encryption with ML-KEM-768, alone or combined with RSA-3072, and AES-256-GCM.

The key bytes, the protected form of private keys and the packed ciphertext layout are
described in docs/formats.md; how keys and ciphertexts of classic RSA encryption stay
readable, in docs/migration.md.
"""

from . import _cryptography_check  # noqa: F401  (first: a clear ImportError beats a confusing one)
from ._envelope import pack_ciphertext
from ._key_reader import public_key_bytes
from ._keygen import generate_mlkem_keypair, generate_pqc_kem_keypair
from ._payload import pqc_decrypt_payload, pqc_encrypt_payload, reencrypt_legacy_ciphertext
from ._protection import import_key_pair as _import_key_pair
from ._protection import protect_private_key, unprotect_private_key

__all__ = [
    "generate_mlkem_keypair",
    "generate_pqc_kem_keypair",
    "pack_ciphertext",
    "pqc_decrypt_payload",
    "pqc_encrypt_payload",
    "protect_private_key",
    "public_key_bytes",
    "reencrypt_legacy_ciphertext",
    "unprotect_private_key",
]
