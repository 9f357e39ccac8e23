"""Public-key encryption with ML-KEM-768, alone or combined with RSA-3072, and AES-256-GCM.

The key bytes, the protected form of private keys and the packed ciphertext layout are
described in docs/formats.md; how keys and ciphertexts of classic RSA encryption stay
readable, in docs/migration.md.
"""

from . import _cryptography_check  # noqa: F401  (first: a clear ImportError beats a confusing one)
from . import _describe, _envelope, _key_reader, _keygen, _payload, _protection, _signing, _stream
from ._envelope import MAX_PACKED_SIZE as MAX_PACKED_CIPHERTEXT_BYTES
from ._envelope import PREFIX_SIZE as CIPHERTEXT_PREFIX_BYTES
from ._envelope import is_streamed
from ._errors import AUTHENTICATION_FAILED
from ._frame_locals import clear_locals_on_failure
from ._params import LEGACY_RSA_MAX_BITS, MAX_KEY_BYTES, MAX_PASSPHRASE_BYTES

# No RSA signature is longer than the modulus of the largest classic key read.
MAX_SIGNATURE_BYTES = LEGACY_RSA_MAX_BITS // 8

# Every entry point handles key bytes, pass phrases or messages: none of them may be left in
# the frames of a traceback (docs/security.md).
decrypt_stream = clear_locals_on_failure(_stream.decrypt_stream)
describe = clear_locals_on_failure(_describe.describe)
describe_key = clear_locals_on_failure(_describe.describe_key)
encrypt_stream = clear_locals_on_failure(_stream.encrypt_stream)
generate_mlkem_keypair = clear_locals_on_failure(_keygen.generate_mlkem_keypair)
generate_pqc_kem_keypair = clear_locals_on_failure(_keygen.generate_pqc_kem_keypair)
pack_ciphertext = clear_locals_on_failure(_envelope.pack_ciphertext)
pqc_decrypt_payload = clear_locals_on_failure(_payload.pqc_decrypt_payload)
pqc_encrypt_payload = clear_locals_on_failure(_payload.pqc_encrypt_payload)
protect_private_key = clear_locals_on_failure(_protection.protect_private_key)
public_key_bytes = clear_locals_on_failure(_key_reader.public_key_bytes)
reencrypt_legacy_ciphertext = clear_locals_on_failure(_payload.reencrypt_legacy_ciphertext)
sign_message = clear_locals_on_failure(_signing.sign_message)
unprotect_private_key = clear_locals_on_failure(_protection.unprotect_private_key)
verify_signature = clear_locals_on_failure(_signing.verify_signature)
_import_key_pair = clear_locals_on_failure(_protection.import_key_pair)

__all__ = [
    "AUTHENTICATION_FAILED",
    "CIPHERTEXT_PREFIX_BYTES",
    "MAX_KEY_BYTES",
    "MAX_PACKED_CIPHERTEXT_BYTES",
    "MAX_PASSPHRASE_BYTES",
    "MAX_SIGNATURE_BYTES",
    "decrypt_stream",
    "describe",
    "describe_key",
    "encrypt_stream",
    "generate_mlkem_keypair",
    "generate_pqc_kem_keypair",
    "is_streamed",
    "pack_ciphertext",
    "pqc_decrypt_payload",
    "pqc_encrypt_payload",
    "protect_private_key",
    "public_key_bytes",
    "reencrypt_legacy_ciphertext",
    "sign_message",
    "unprotect_private_key",
    "verify_signature",
]
