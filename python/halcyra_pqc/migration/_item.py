"""The per-item conversion: what one stored item is, and what it becomes.

migrate_ciphertext() is a pure function of the stored bytes and the keys: it reads and writes
no file and keeps no state between calls, so any engine that maps a function over records can
run it. Problems with the keys raise ValueError, since they concern every item; problems with
one item are reported in its result, never raised. The migration engine's workers call the
same conversion, convert(), with keys they parsed once.
"""

from typing import NamedTuple

from .._envelope import MAGIC, ciphertext_bytes
from .._errors import AUTHENTICATION_FAILED
from .._inputs import exact_bytes, key_data
from .._key_reader import load_key
from .._keys import Key, LegacyKey, modulus_size
from .._legacy import checked_scheme, open_checked
from .._payload import convert_legacy, encrypt_packed, pqc_decrypt_payload
from .._sealing import post_quantum_key

MIGRATED = "migrated"
POST_QUANTUM = "post-quantum"
FAILED = "failed"
CLASSIC = "classic"
# How much of an item classify() needs to see.
HEAD_SIZE = len(MAGIC)


class MigrationResult(NamedTuple):
    """What became of one stored item.

    status is MIGRATED (ciphertext holds the packed post-quantum ciphertext to store in its
    place, scheme says how the old one was read: "oaep-sha1" or "pkcs1v15"), POST_QUANTUM
    (the item already is a packed ciphertext: store it as it is) or FAILED (reason says why;
    the item must be kept as it is).
    """

    status: str
    ciphertext: bytes | None = None
    scheme: str | None = None
    reason: str | None = None


class Keys(NamedTuple):
    """The keys of a conversion, parsed and checked once."""

    legacy: LegacyKey
    target: Key
    verify: bytes | None  # private key bytes of the target, to decrypt each result again
    modulus_size: int  # of the legacy key: the size of every classic ciphertext for it


def parse_keys(legacy_private_key_bytes, public_key_bytes, verify_private_key_bytes=None) -> Keys:
    legacy = load_key(legacy_private_key_bytes, "legacy_private_key_bytes")
    if not isinstance(legacy, LegacyKey) or not legacy.private:
        raise ValueError("legacy_private_key_bytes must be a classic RSA private key")
    target = post_quantum_key(key_data(public_key_bytes, "public_key_bytes"))
    verify = None
    if verify_private_key_bytes is not None:
        verify = key_data(verify_private_key_bytes, "verify_private_key_bytes")
    return Keys(legacy, target, verify, modulus_size(legacy.rsa_private))


def migrate_ciphertext(
    data,
    legacy_private_key_bytes,
    public_key_bytes,
    *,
    scheme: str = "auto",
    verify_private_key_bytes=None,
) -> MigrationResult:
    """Re-encrypts one stored classic RSA ciphertext to a post-quantum key.

    An item exactly the size of the legacy key's modulus is a classic ciphertext; one that
    starts with the packed format's magic bytes is already post-quantum; anything else fails.
    With verify_private_key_bytes (the private key of public_key_bytes) the new ciphertext is
    decrypted again and compared with the old message before it is returned.

    The padding is checked explicitly: an item that the key does not open fails, and is
    never re-encrypted as random bytes. Under "auto", OAEP with SHA-1 is tried first, then
    PKCS#1 v1.5; an item made for another key passes the PKCS#1 v1.5 check by chance with a
    probability of at most about 1 in 30,000 (OAEP's, about 2**-160), so name the scheme when
    it is known.
    """
    scheme = checked_scheme(scheme)
    keys = parse_keys(legacy_private_key_bytes, public_key_bytes, verify_private_key_bytes)
    return convert(exact_bytes(data, "data", _any_size), keys, scheme)


def convert(item: bytes, keys: Keys, scheme: str) -> MigrationResult:
    """migrate_ciphertext() with its keys parsed and its scheme checked."""
    kind, reason = classify(len(item), item[:HEAD_SIZE], keys.modulus_size)
    if kind != CLASSIC:
        return MigrationResult(kind, reason=reason)
    try:
        conversion = convert_legacy(item, keys.legacy, keys.target, scheme)
    except ValueError:
        return MigrationResult(FAILED, reason=not_opened(scheme))
    if keys.verify is not None:
        try:
            again = pqc_decrypt_payload(conversion.ciphertext, keys.verify)
        except ValueError as error:
            # Any other refusal concerns the key (public, or of the other kind), not the item.
            if str(error) != AUTHENTICATION_FAILED:
                raise
            again = None
        if again != conversion.message:
            return MigrationResult(FAILED, reason=(
                "verification failed: the new ciphertext does not decrypt to the old message "
                "with the verification key"))
    return MigrationResult(MIGRATED, conversion.ciphertext, conversion.scheme)


def not_opened(scheme: str) -> str:
    """Why an item that the legacy key does not open failed."""
    return ("does not decrypt with the legacy key: made for another key, or modified"
            + ("" if scheme == "auto" else f" (read as {scheme} only)"))


def opens(item: bytes, keys: Keys, scheme: str) -> bool:
    """Whether the legacy key opens a classic item under `scheme`, nothing encrypted."""
    try:
        open_checked(item, keys.legacy, scheme)
    except ValueError:
        return False
    return True


def decrypt_legacy_ciphertext(
    ciphertext, legacy_private_key_bytes, *, scheme: str = "auto"
) -> tuple[str, bytes]:
    """(the scheme that read it, the message) of one stored classic RSA ciphertext, its
    padding checked explicitly: ValueError when the key does not open it.

    For stored data only: whether this fails tells anyone who chooses the ciphertexts
    whether a padding is valid, which is enough to decrypt other ciphertexts for the key
    (docs/security.md). Services that decrypt what others send use pqc_decrypt_payload().
    """
    scheme = checked_scheme(scheme)
    legacy = load_key(legacy_private_key_bytes, "legacy_private_key_bytes")
    if not isinstance(legacy, LegacyKey) or not legacy.private:
        raise ValueError("legacy_private_key_bytes must be a classic RSA private key")
    return open_checked(ciphertext_bytes(ciphertext), legacy, scheme)


def encrypt_to(message, public_key_bytes) -> bytes:
    """The packed ciphertext of `message` for a hybrid or an ML-KEM-only key (public or
    private key bytes): pqc_encrypt_payload() and pack_ciphertext() in one call."""
    return encrypt_packed(message, public_key_bytes)


def classify(size: int, head: bytes, modulus_size: int) -> tuple[str, str | None]:
    """What a stored item of `size` bytes whose first bytes are `head` (HEAD_SIZE of them,
    or the whole item if shorter) is, before anything is decrypted: (CLASSIC, None),
    (POST_QUANTUM, None) or (FAILED, the reason)."""
    # A classic ciphertext is exactly the modulus size, and packed ciphertexts are longer
    # than any classic one, so the size decides first.
    if size == modulus_size:
        return CLASSIC, None
    if head[:HEAD_SIZE] == MAGIC:
        return POST_QUANTUM, None
    return FAILED, (f"{size} bytes: neither a classic ciphertext for this key ({modulus_size} "
                    f"bytes, its modulus size) nor a post-quantum one")


def _any_size(size: int) -> None:
    """Items of every size are classified; those of no use fail, never raise."""
