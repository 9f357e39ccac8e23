# Types of halcyra_pqc.migration, the per-item conversion of stored classic RSA ciphertexts
# (the engine behind `halcyra-pqc migrate` is private);
# tests/test_typing.py checks this file against the module.

from collections.abc import Buffer
from typing import Final, Literal, NamedTuple

__all__ = [
    "CLASSIC",
    "FAILED",
    "HEAD_SIZE",
    "MIGRATED",
    "POST_QUANTUM",
    "MigrationResult",
    "classify",
    "decrypt_legacy_ciphertext",
    "encrypt_to",
    "migrate_ciphertext",
]

MIGRATED: Final = "migrated"
POST_QUANTUM: Final = "post-quantum"
FAILED: Final = "failed"
CLASSIC: Final = "classic"
HEAD_SIZE: Final[int]

class MigrationResult(NamedTuple):
    """status MIGRATED (ciphertext and scheme set), POST_QUANTUM, or FAILED (reason set)."""

    status: str
    ciphertext: bytes | None = None
    scheme: str | None = None
    reason: str | None = None

def migrate_ciphertext(
    data: Buffer,
    legacy_private_key_bytes: Buffer | str,
    public_key_bytes: Buffer | str,
    *,
    scheme: Literal["auto", "oaep-sha1", "pkcs1v15"] = "auto",
    verify_private_key_bytes: Buffer | str | None = None,
) -> MigrationResult:
    """Re-encrypts one stored classic RSA ciphertext to a post-quantum key."""

def decrypt_legacy_ciphertext(
    ciphertext: Buffer,
    legacy_private_key_bytes: Buffer | str,
    *,
    scheme: Literal["auto", "oaep-sha1", "pkcs1v15"] = "auto",
) -> tuple[Literal["oaep-sha1", "pkcs1v15"], bytes]:
    """(the scheme that read it, the message) of one stored classic ciphertext, its padding checked explicitly."""

def encrypt_to(message: Buffer, public_key_bytes: Buffer | str) -> bytes:
    """The packed ciphertext of `message` for a hybrid or an ML-KEM-only key."""

def classify(size: int, head: bytes, modulus_size: int) -> tuple[str, str | None]:
    """What a stored item is before anything is decrypted: (CLASSIC | POST_QUANTUM, None) or (FAILED, reason)."""
