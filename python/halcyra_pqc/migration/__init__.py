"""Converting stored classic RSA ciphertexts to post-quantum ones.

The per-item conversion, migrate_ciphertext(), is the public interface: a pure function of
one stored item and the keys, which any engine that maps a function over records can run
(docs/migration.md). The rest of the package is the engine behind `halcyra-pqc migrate`: its
plan, state directory and journal, the traversal of a store, durable writes, and the worker
processes, all of which decide through the one conversion here.
"""

from ._item import (
    CLASSIC,
    FAILED,
    HEAD_SIZE,
    MIGRATED,
    POST_QUANTUM,
    MigrationResult,
    classify,
    decrypt_legacy_ciphertext,
    encrypt_to,
    migrate_ciphertext,
)

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
