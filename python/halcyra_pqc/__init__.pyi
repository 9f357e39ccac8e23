# Types of the package's public functions. The implementation modules are not annotated
# throughout, so type checkers read this file instead of __init__.py; tests/test_typing.py
# checks it against the running package.

from collections.abc import Buffer
from typing import Literal, Protocol

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

# Key bytes are JSON text; the same text as `str` is read too.
type _KeyData = Buffer | str

# The streamed functions read a binary file object with readinto() (or read()) and write one
# with write(): open files, BytesIO, sockets' files, the command line's streams.
class _ReadsInto(Protocol):
    def readinto(self, buffer: memoryview, /) -> int | None: ...

class _Reads(Protocol):
    def read(self, size: int, /) -> Buffer | None: ...

class _Writes(Protocol):
    def write(self, data: memoryview, /) -> object: ...

type _Source = _ReadsInto | _Reads

def generate_pqc_kem_keypair() -> tuple[bytes, bytes]:
    """Returns fresh (public_key_bytes, private_key_bytes) for ML-KEM-768 combined with RSA-3072."""

def generate_mlkem_keypair() -> tuple[bytes, bytes]:
    """Returns fresh (public_key_bytes, private_key_bytes) for ML-KEM-768 alone."""

def pqc_encrypt_payload(
    message: Buffer, public_key_bytes: _KeyData, *, context: Buffer | None = None
) -> tuple[bytes, bytes, bytes, bytes] | tuple[bytes, bytes, bytes]:
    """Encrypts `message` to a key (public or private key bytes).

    Returns (mlkem_ct, rsa_ct, nonce, sealed) for a hybrid key and (mlkem_ct, nonce, sealed)
    for an ML-KEM-only key, `nonce` followed by the key commitment; pack_ciphertext turns
    either into one bytes value. `context` binds the ciphertext to an application context.
    """

def pack_ciphertext(mlkem_ct: Buffer, rsa_ct: Buffer | None, nonce: Buffer, sealed: Buffer) -> bytes:
    """Packs the pieces made by pqc_encrypt_payload into one bytes value (rsa_ct None for
    an ML-KEM-only ciphertext)."""

def pqc_decrypt_payload(packed: Buffer, private_key_bytes: _KeyData, *, context: Buffer | None = None) -> bytes:
    """Decrypts a packed ciphertext and returns the message; raises ValueError for any
    malformed or unauthentic input, a context other than the ciphertext's included."""

def encrypt_stream(
    source: _Source, destination: _Writes, public_key_bytes: _KeyData, *, context: Buffer | None = None
) -> None:
    """Encrypts everything `source` holds to a key and writes the streamed ciphertext to
    `destination`, a chunk at a time, in memory that does not grow with the size."""

def decrypt_stream(
    source: _Source, destination: _Writes, private_key_bytes: _KeyData, *, context: Buffer | None = None
) -> None:
    """Decrypts a ciphertext of either form from `source` and writes the message to
    `destination`, each chunk once its tag has checked; raises ValueError for any malformed or
    unauthentic input, after which what was written must be discarded."""

def reencrypt_legacy_ciphertext(
    ciphertext: Buffer,
    legacy_private_key_bytes: _KeyData,
    public_key_bytes: _KeyData,
    *,
    scheme: Literal["auto", "oaep-sha1", "pkcs1v15"] = "auto",
) -> bytes:
    """Decrypts a ciphertext made by classic RSA encryption and encrypts its message to a
    post-quantum key, returning the packed ciphertext."""

def public_key_bytes(key_bytes: _KeyData) -> bytes:
    """The public key bytes of a key: derived from private key bytes, or public key bytes in
    their canonical spelling."""

def protect_private_key(private_key_bytes: _KeyData, passphrase: str | Buffer) -> bytes:
    """Returns the private key bytes protected by `passphrase` (scrypt and AES-256-GCM)."""

def unprotect_private_key(protected_key_bytes: _KeyData, passphrase: str | Buffer | None) -> bytes:
    """Returns the private key bytes that protect_private_key() protected with `passphrase`."""
