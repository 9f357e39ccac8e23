"""Public-key encryption with ML-KEM-768, alone or combined with RSA-3072, and AES-256-GCM.

The key bytes, the protected form of private keys and the packed ciphertext layout are
described in docs/formats.md; how keys and ciphertexts of classic RSA encryption stay
readable, in docs/migration.md.
"""

from . import _cryptography_check  # noqa: F401  (first: a clear ImportError beats a confusing one)
from . import _envelope, _key_reader, _keygen, _payload, _protection, _stream
from ._frame_locals import clear_locals_on_failure

# Every entry point handles key bytes, pass phrases or messages: none of them may be left in
# the frames of a traceback (docs/security.md).
decrypt_stream = clear_locals_on_failure(_stream.decrypt_stream)
encrypt_stream = clear_locals_on_failure(_stream.encrypt_stream)
generate_mlkem_keypair = clear_locals_on_failure(_keygen.generate_mlkem_keypair)
generate_pqc_kem_keypair = clear_locals_on_failure(_keygen.generate_pqc_kem_keypair)
pack_ciphertext = clear_locals_on_failure(_envelope.pack_ciphertext)
pqc_decrypt_payload = clear_locals_on_failure(_payload.pqc_decrypt_payload)
pqc_encrypt_payload = clear_locals_on_failure(_payload.pqc_encrypt_payload)
protect_private_key = clear_locals_on_failure(_protection.protect_private_key)
public_key_bytes = clear_locals_on_failure(_key_reader.public_key_bytes)
reencrypt_legacy_ciphertext = clear_locals_on_failure(_payload.reencrypt_legacy_ciphertext)
unprotect_private_key = clear_locals_on_failure(_protection.unprotect_private_key)
_import_key_pair = clear_locals_on_failure(_protection.import_key_pair)

__all__ = [
    "decrypt_stream",
    "encrypt_stream",
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
