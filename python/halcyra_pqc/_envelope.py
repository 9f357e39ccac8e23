"""The packed ciphertext layout (see docs/formats.md).

    magic "HPQC" | version | mode | len mlkem_ct | mlkem_ct | [len rsa_ct | rsa_ct]
    | len nonce | nonce | [len commitment | commitment] | len sealed | sealed

Lengths are 4-byte big-endian. Version 2, which every encryption writes, carries the key
commitment; version 1 is read as it always was. Everything before the sealed field's length
is the header, which the payload encryption authenticates as associated data.

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

_PREFIX = struct.Struct(">4sBB")
_LENGTH = struct.Struct(">I")
# The longest packed ciphertext: prefix, five lengths, the largest field of each kind.
MAX_PACKED_SIZE = (_PREFIX.size + 5 * _LENGTH.size + MLKEM_CIPHERTEXT_SIZE + RSA_MAX_BITS // 8
                   + NONCE_SIZE + COMMITMENT_SIZE + MAX_SEALED_SIZE)


@dataclass(frozen=True, slots=True)
class Envelope:
    version: int
    mlkem_ct: bytes
    rsa_ct: bytes | None
    nonce: bytes
    commitment: bytes | None  # None in version 1
    sealed: bytes
    header: bytes

    @property
    def hybrid(self) -> bool:
        return self.rsa_ct is not None


def pack_header(mlkem_ct: bytes, rsa_ct: bytes | None, nonce: bytes, commitment: bytes | None) -> bytes:
    """The header of a version-2 ciphertext, or of a version-1 one when commitment is None."""
    mode = MODE_MLKEM if rsa_ct is None else MODE_HYBRID
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
    """A ciphertext argument as exact bytes, refused before any copy when no packed ciphertext
    could be that long."""
    return exact_bytes(packed, "ciphertext", at_most(MAX_PACKED_SIZE, "ciphertext"))


def unpack_ciphertext(packed: bytes) -> Envelope:
    """Parses a packed ciphertext strictly: every length is checked before a field is copied."""
    view = memoryview(packed)
    if len(view) < _PREFIX.size:
        raise ValueError(f"ciphertext is truncated: {len(view)} bytes is shorter than its header")
    magic, version, mode = _PREFIX.unpack_from(view)
    if magic != MAGIC:
        raise ValueError("not a halcyra_pqc ciphertext: wrong magic bytes")
    if version not in READ_VERSIONS:
        raise ValueError(f"unsupported ciphertext format version {version} (this release reads 1 and 2)")
    if mode not in (MODE_MLKEM, MODE_HYBRID):
        raise ValueError(f"unknown ciphertext mode 0x{mode:02x}")

    reader = _Reader(view, _PREFIX.size)
    mlkem_ct = reader.field("ML-KEM-768 ciphertext", _check_mlkem_ct)
    rsa_ct = reader.field("RSA ciphertext", _check_rsa_ct) if mode == MODE_HYBRID else None
    nonce = reader.field("nonce", _check_nonce)
    commitment = reader.field("commitment", _check_commitment) if version >= 2 else None
    header_end = reader.offset
    sealed = reader.field("sealed payload", _check_sealed)
    if reader.offset != len(view):
        raise ValueError(
            f"ciphertext has {len(view) - reader.offset} unexpected bytes after the sealed payload"
        )
    return Envelope(version, mlkem_ct, rsa_ct, nonce, commitment, sealed, bytes(view[:header_end]))


class _Reader:
    def __init__(self, view: memoryview, offset: int) -> None:
        self._view = view
        self.offset = offset

    def field(self, name: str, check) -> bytes:
        remaining = len(self._view) - self.offset
        if remaining < _LENGTH.size:
            raise ValueError(f"ciphertext is truncated in the length of the {name}")
        (size,) = _LENGTH.unpack_from(self._view, self.offset)
        check(size)
        start = self.offset + _LENGTH.size
        if size > len(self._view) - start:
            raise ValueError(
                f"ciphertext is truncated: the {name} needs {size} bytes, "
                f"{len(self._view) - start} remain"
            )
        self.offset = start + size
        return bytes(self._view[start : self.offset])


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
