"""The packed ciphertext layout (see docs/formats.md).

    magic "HPQC" | version | mode | len mlkem_ct | mlkem_ct | [len rsa_ct | rsa_ct]
    | len nonce | nonce | [len commitment | commitment] | len sealed | sealed

Lengths are 4-byte big-endian. Version 2, which every encryption writes, carries the key
commitment; version 1 is read as it always was. Everything before the sealed field's length
is the header, which the payload encryption authenticates as associated data.

The streamed form (modes 0x11 and 0x12, version 2 only) has the same header without the
nonce, and its payload is the sequence of sealed chunks up to the end (_stream.py).

The encryption result hands the header's version-2 fields to pack_ciphertext inside its
third item, the nonce followed by the commitment (44 bytes), since the modules pass that
result on unread; a 12-byte third item is a version-1 nonce and packs as version 1.
"""

import struct
from dataclasses import dataclass

from ._inputs import at_most, exact_bytes
from ._params import (
    COMMITMENT_SIZE,
    MAX_SEALED_SIZE,
    MLKEM_CIPHERTEXT_SIZE,
    NONCE_SIZE,
    RSA_MAX_BITS,
    RSA_MIN_BITS,
    TAG_SIZE,
)

MAGIC = b"HPQC"
FORMAT_VERSION = 2
READ_VERSIONS = (1, 2)
MODE_MLKEM = 0x01
MODE_HYBRID = 0x02
# The streamed form: the mode of its key encapsulation with this bit set.
STREAMED = 0x10
_STREAMED_MODES = (STREAMED | MODE_MLKEM, STREAMED | MODE_HYBRID)
_MODES = (MODE_MLKEM, MODE_HYBRID, *_STREAMED_MODES)

_PREFIX = struct.Struct(">4sBB")
PREFIX_SIZE = _PREFIX.size
_LENGTH = struct.Struct(">I")
# The longest packed ciphertext: prefix, five lengths, the largest field of each kind.
MAX_PACKED_SIZE = (_PREFIX.size + 5 * _LENGTH.size + MLKEM_CIPHERTEXT_SIZE + RSA_MAX_BITS // 8
                   + NONCE_SIZE + COMMITMENT_SIZE + MAX_SEALED_SIZE)


@dataclass(frozen=True, slots=True)
class Header:
    version: int
    streamed: bool
    mlkem_ct: bytes
    rsa_ct: bytes | None
    nonce: bytes | None  # None in the streamed form, whose chunks count their nonces
    commitment: bytes | None  # None in version 1
    raw: bytes  # the header's bytes as read: the associated data of the payload

    @property
    def hybrid(self) -> bool:
        return self.rsa_ct is not None


@dataclass(frozen=True, slots=True)
class Envelope:
    header: Header
    sealed: bytes


def pack_header(mlkem_ct: bytes, rsa_ct: bytes | None, nonce: bytes | None, commitment: bytes | None) -> bytes:
    """The header of a version-2 ciphertext, of a version-1 one when commitment is None, or of
    the streamed form when nonce is None."""
    mode = (MODE_MLKEM if rsa_ct is None else MODE_HYBRID) | (STREAMED if nonce is None else 0)
    parts = [_PREFIX.pack(MAGIC, 1 if commitment is None else FORMAT_VERSION, mode)]
    for field in (mlkem_ct, rsa_ct, nonce, commitment):
        if field is not None:
            parts += (_LENGTH.pack(len(field)), field)
    return b"".join(parts)


def pack_ciphertext(mlkem_ct, rsa_ct, nonce, sealed) -> bytes:
    """Packs the pieces made by pqc_encrypt_payload into one bytes value.

    rsa_ct is None for an ML-KEM-only ciphertext. `nonce` is the third item of the
    encryption result: the nonce and the commitment of a version-2 ciphertext (44 bytes), or
    the nonce alone of a version-1 one (12 bytes), which packs as version 1. Pieces of
    impossible sizes are refused here rather than producing a ciphertext that could never be
    decrypted.
    """
    mlkem_ct = exact_bytes(mlkem_ct, "mlkem_ct", _check_mlkem_ct)
    rsa_ct = None if rsa_ct is None else exact_bytes(rsa_ct, "rsa_ct", _check_rsa_ct)
    nonce = exact_bytes(nonce, "nonce", _check_nonce_item)
    sealed = exact_bytes(sealed, "sealed", _check_sealed)
    nonce, commitment = (nonce, None) if len(nonce) == NONCE_SIZE else (nonce[:NONCE_SIZE], nonce[NONCE_SIZE:])
    return b"".join((pack_header(mlkem_ct, rsa_ct, nonce, commitment), _LENGTH.pack(len(sealed)), sealed))


def ciphertext_bytes(packed) -> bytes:
    """A ciphertext argument as exact bytes. A one-shot ciphertext longer than any can be is
    refused before any copy; the streamed form, which its header announces, has no bound."""
    return exact_bytes(packed, "ciphertext", _check_packed_size, head=PREFIX_SIZE)


def _check_packed_size(size: int, head: bytes) -> None:
    if not is_streamed(head):
        at_most(MAX_PACKED_SIZE, "ciphertext")(size)


def is_streamed(head: bytes) -> bool:
    """Whether data that begins with `head` (at least the 6-byte prefix) announces the
    streamed form. The header's other checks are read_header()'s."""
    return (len(head) >= PREFIX_SIZE and head[:4] == MAGIC and head[4] == FORMAT_VERSION
            and head[5] in _STREAMED_MODES)


def unpack_ciphertext(packed: bytes) -> Envelope:
    """Parses a one-shot packed ciphertext (is_streamed() tells the other form) strictly:
    every length is checked before a field is copied."""
    held = HeldBytes(packed)
    header = read_header(held.take)
    sealed = read_sealed(held.take)
    if held.offset != len(held.view):
        raise ValueError(f"ciphertext has {len(held.view) - held.offset} unexpected bytes after the sealed payload")
    return Envelope(header, sealed)


def read_header(take) -> Header:
    """Reads and checks a header of either form from `take(n)`, which returns the next n bytes
    (fewer only at the end of the data)."""
    prefix = take(PREFIX_SIZE)
    if len(prefix) < PREFIX_SIZE:
        raise ValueError(f"ciphertext is truncated: {len(prefix)} bytes is shorter than its header")
    magic, version, mode = _PREFIX.unpack(prefix)
    if magic != MAGIC:
        raise ValueError("not a halcyra_pqc ciphertext: wrong magic bytes")
    if version not in READ_VERSIONS:
        raise ValueError(f"unsupported ciphertext format version {version} (this release reads 1 and 2)")
    streamed = bool(mode & STREAMED)
    # Version 1 had no streamed form.
    if mode not in _MODES or (streamed and version < 2):
        raise ValueError(f"unknown ciphertext mode 0x{mode:02x}")
    parts = [prefix]

    def field(name: str, check) -> bytes:
        value = read_field(take, name, check)
        parts.extend((_LENGTH.pack(len(value)), value))
        return value

    mlkem_ct = field("ML-KEM-768 ciphertext", _check_mlkem_ct)
    rsa_ct = field("RSA ciphertext", _check_rsa_ct) if mode & ~STREAMED == MODE_HYBRID else None
    nonce = None if streamed else field("nonce", _check_nonce)
    commitment = field("commitment", _check_commitment) if version >= 2 else None
    return Header(version, streamed, mlkem_ct, rsa_ct, nonce, commitment, b"".join(parts))


def read_field(take, name: str, check) -> bytes:
    """One length-prefixed field: its length is checked before the field is read."""
    length = take(_LENGTH.size)
    if len(length) < _LENGTH.size:
        raise ValueError(f"ciphertext is truncated in the length of the {name}")
    (size,) = _LENGTH.unpack(length)
    check(size)
    value = take(size)
    if len(value) < size:
        raise ValueError(f"ciphertext is truncated: the {name} needs {size} bytes, {len(value)} remain")
    return value


def read_sealed(take) -> bytes:
    """The sealed payload of a one-shot ciphertext, after its header."""
    return read_field(take, "sealed payload", _check_sealed)


class HeldBytes:
    """A ciphertext held in memory, read from the front with take()."""

    def __init__(self, data: bytes) -> None:
        self.view = memoryview(data)
        self.offset = 0

    def take(self, size: int) -> bytes:
        start = self.offset
        self.offset = min(start + size, len(self.view))
        return bytes(self.view[start : self.offset])


def _check_mlkem_ct(size: int) -> None:
    if size != MLKEM_CIPHERTEXT_SIZE:
        raise ValueError(
            f"the ML-KEM-768 ciphertext must be {MLKEM_CIPHERTEXT_SIZE} bytes, not {size}"
        )


def _check_rsa_ct(size: int) -> None:
    if not RSA_MIN_BITS // 8 <= size <= RSA_MAX_BITS // 8:
        raise ValueError(
            f"the RSA ciphertext must be {RSA_MIN_BITS // 8} to {RSA_MAX_BITS // 8} bytes, "
            f"not {size}"
        )


def _check_nonce(size: int) -> None:
    if size != NONCE_SIZE:
        raise ValueError(f"the nonce must be {NONCE_SIZE} bytes, not {size}")


def _check_nonce_item(size: int) -> None:
    if size not in (NONCE_SIZE, NONCE_SIZE + COMMITMENT_SIZE):
        raise ValueError(
            f"the nonce must be {NONCE_SIZE + COMMITMENT_SIZE} bytes (nonce and commitment) "
            f"or {NONCE_SIZE} (a version-1 nonce), not {size}"
        )


def _check_commitment(size: int) -> None:
    if size != COMMITMENT_SIZE:
        raise ValueError(f"the commitment must be {COMMITMENT_SIZE} bytes, not {size}")


def _check_sealed(size: int) -> None:
    if not TAG_SIZE <= size <= MAX_SEALED_SIZE:
        raise ValueError(
            f"the sealed payload must be {TAG_SIZE} to {MAX_SEALED_SIZE} bytes, not {size}"
        )
