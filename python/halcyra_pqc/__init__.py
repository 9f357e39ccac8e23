"""Public-key encryption with ML-KEM-768, alone or combined with RSA-3072, and AES-256-GCM.

The key bytes and the packed ciphertext layout are described in docs/formats.md; how keys
and ciphertexts of classic RSA encryption stay readable, in docs/migration.md.
"""

from . import _cryptography_check  # noqa: F401  (first: a clear ImportError beats a confusing one)
from ._envelope import pack_ciphertext
from ._keys import generate_mlkem_keypair, generate_pqc_kem_keypair
from ._payload import pqc_decrypt_payload, pqc_encrypt_payload, reencrypt_legacy_ciphertext

__all__ = [
    "generate_mlkem_keypair",
    "generate_pqc_kem_keypair",
    "pack_ciphertext",
    "pqc_decrypt_payload",
    "pqc_encrypt_payload",
    "reencrypt_legacy_ciphertext",
]
