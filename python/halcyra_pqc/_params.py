"""Fixed algorithm parameters shared by the key, encapsulation and envelope code."""

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

# Labels name the scheme in key bytes and bind it into the payload-key derivation.
MLKEM_LABEL = "ML-KEM-768"
HYBRID_LABEL = "ML-KEM-768+RSA-3072"

MLKEM_PUBLIC_KEY_SIZE = 1184
MLKEM_SEED_SIZE = 64
MLKEM_CIPHERTEXT_SIZE = 1088

RSA_KEY_BITS = 3072
RSA_PUBLIC_EXPONENT = 65537
# Keys from elsewhere may be larger than the ones we generate, but never weaker; the upper
# bound keeps the consistency check of an imported private key well under a second.
RSA_MIN_BITS = 3072
RSA_MAX_BITS = 4096
RSA_SECRET_SIZE = 32
OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)

# Classic RSA keys saved before a program switched over are read only to decrypt old data,
# so they keep the sizes the old libraries made (512 bits is the `rsa` package's own
# example). 8192 bits bounds the one-time consistency check to a few seconds and keeps a
# classic ciphertext (at most 1024 bytes) shorter than the shortest packed one.
LEGACY_RSA_MIN_BITS = 512
LEGACY_RSA_MAX_BITS = 8192
# PyCryptodome's PKCS1_OAEP default; the `rsa` package's encrypt uses PKCS#1 v1.5.
LEGACY_OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA1(), label=None)

PAYLOAD_KEY_SIZE = 32
NONCE_SIZE = 12
TAG_SIZE = 16
# AES-GCM in `cryptography` refuses more than 2**31 - 1 bytes; keep the sealed field within it.
MAX_SEALED_SIZE = 2**31 - 1
MAX_MESSAGE_SIZE = MAX_SEALED_SIZE - TAG_SIZE
