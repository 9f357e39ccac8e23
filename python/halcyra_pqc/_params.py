"""Fixed algorithm parameters and limits shared by the key, encapsulation and envelope code."""

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
# Keys from elsewhere may be larger than the ones we generate, but never weaker.
RSA_MIN_BITS = 3072
RSA_MAX_BITS = 4096
RSA_SECRET_SIZE = 32
OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)

# Every RSA key read, hybrid or classic: real keys use 65537 or 3. Each private operation
# raises a blinding factor to the public exponent, so a wide one would make every call slow;
# 64 bits is also the most OpenSSL accepts for moduli above 3072 bits.
RSA_MIN_PUBLIC_EXPONENT = 3
RSA_MAX_PUBLIC_EXPONENT = 2**64 - 1
# Each prime factor of a private key carries between 7/16 and 9/16 of the modulus's bits.
# Generators split the modulus in halves (the `rsa` package in 17/32 and 15/32), and the
# bound keeps the one-time check of a key's primes proportional to its size.
RSA_PRIME_MIN_SIXTEENTHS = 7
RSA_PRIME_MAX_SIXTEENTHS = 9

# Classic RSA keys saved before a program switched over are read only to decrypt old data,
# so they keep the sizes the old libraries made (512 bits is the `rsa` package's own
# example). 8192 bits keeps a classic ciphertext (at most 1024 bytes) shorter than the
# shortest packed one.
LEGACY_RSA_MIN_BITS = 512
LEGACY_RSA_MAX_BITS = 8192
# PyCryptodome's PKCS1_OAEP default; the `rsa` package's encrypt uses PKCS#1 v1.5.
LEGACY_OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA1(), label=None)

PAYLOAD_KEY_SIZE = 32
NONCE_SIZE = 12
TAG_SIZE = 16
# The key commitment of version-2 ciphertexts and protected keys: an HMAC-SHA256 output.
COMMITMENT_SIZE = 32
# An application context is a label, an identifier, a row key: far below this.
MAX_CONTEXT_SIZE = 64 * 1024
# AES-GCM in `cryptography` refuses more than 2**31 - 1 bytes; keep the sealed field within it.
MAX_SEALED_SIZE = 2**31 - 1
MAX_MESSAGE_SIZE = MAX_SEALED_SIZE - TAG_SIZE
# The streamed form seals its message in chunks of this many bytes (the last one shorter), so
# a message of any size passes in memory that does not grow with it. 128 KiB amortises the
# per-call cost of each chunk while a chunk and its sealed form stay within a core's L2 cache
# (docs/performance.md, "Streaming").
STREAM_CHUNK_SIZE = 128 * 1024

# Far above the largest valid key (a 4096-bit hybrid private key is about 3.4 KiB, a classic
# 8192-bit one in PEM about 6.5 KiB), so the cap only stops absurd inputs before they are
# decoded or parsed. Protected keys are held to it too.
MAX_KEY_BYTES = 64 * 1024

# Pass-phrase protection of private keys: scrypt with PyCryptodome's default cost for its
# scrypt protection (N = 2**17, r = 8, p = 1: 128 MiB and about a third of a second here),
# then AES-256-GCM.
SCRYPT_LOG2_N = 17
SCRYPT_R = 8
SCRYPT_P = 1
# What a protected key may ask of the reader, checked before any work: at most 256 MiB of
# memory and four times the default work.
SCRYPT_MIN_LOG2_N = 14
SCRYPT_MAX_MEMORY = 256 * 2**20
SCRYPT_MAX_WORK_FACTOR = 4
SCRYPT_MAX_WORK = SCRYPT_MAX_WORK_FACTOR * 2**SCRYPT_LOG2_N * SCRYPT_R * SCRYPT_P
SCRYPT_SALT_SIZE = 16
MAX_PASSPHRASE_BYTES = 64 * 1024
