# Types of the package's public functions. The implementation modules are not annotated
# throughout, so type checkers read this file instead of __init__.py; tests/test_typing.py
# checks it against the running package.

from collections.abc import Buffer
from typing import Final, Literal, NotRequired, Protocol, TypedDict

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

# The text of every ValueError for a failed authentication, whichever step refused.
AUTHENTICATION_FAILED: Final[str]
# The limits of what is read: key bytes (protected ones too), pass phrases, one-shot packed
# ciphertexts (the streamed form has none), signatures (the largest classic key's modulus).
MAX_KEY_BYTES: Final[int]
MAX_PASSPHRASE_BYTES: Final[int]
MAX_PACKED_CIPHERTEXT_BYTES: Final[int]
MAX_SIGNATURE_BYTES: Final[int]
# How many of a ciphertext's first bytes is_streamed() needs.
CIPHERTEXT_PREFIX_BYTES: Final[int]

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

class _ReadsBytes(Protocol):
    def read(self, size: int, /) -> bytes | bytearray | None: ...

class _Description(TypedDict):
    """What describe() finds; the details beside the first three are those that apply."""

    kind: Literal["hybrid", "mlkem", "protected", "classic-rsa", "unknown"]
    content: Literal["private-key", "public-key", "ciphertext"] | None
    summary: str
    size: NotRequired[int]
    form: NotRequired[Literal["streamed", "one-shot"]]
    message_size: NotRequired[int]
    chunks: NotRequired[int]
    chunk_size: NotRequired[int]
    bits: NotRequired[int]
    algorithm: NotRequired[str]
    encoding: NotRequired[Literal["PEM", "DER"]]
    fingerprint: NotRequired[str]
    kdf: NotRequired[str]
    cipher: NotRequired[str]
    certain: NotRequired[bool]

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

def describe(source: Buffer | _ReadsBytes, size: int | None = None) -> _Description:
    """What the bytes of a file are (kind, content, sizes, form, public fingerprint), from
    bytes or a binary file object; `size` is the file's size, by which a streamed ciphertext
    is described from its header alone. Never raises for content it does not recognise."""

def describe_key(key_bytes: _KeyData) -> _Description:
    """describe() of key bytes; raises ValueError, with the reason, for bytes that are not a
    usable key."""

def is_streamed(head: bytes) -> bool:
    """Whether a ciphertext that begins with `head` (its first CIPHERTEXT_PREFIX_BYTES bytes)
    is in the streamed form."""

def sign_message(
    message: Buffer, private_key_bytes: _KeyData, hash_method: str
) -> bytes:
    """The RSA PKCS#1 v1.5 signature of `message` with a hybrid key's RSA half or a classic
    RSA key, as ferrovan.sign makes it; `hash_method` is spelled as ferrovan.sign reads it
    ("SHA-256", "sha256"); MD5 and SHA-1 are refused."""

def verify_signature(message: Buffer, signature: Buffer, public_key_bytes: _KeyData) -> str:
    """The hash name ("SHA-256") of a valid signature of `message`; raises ValueError for one
    that does not verify or uses a broken hash."""
