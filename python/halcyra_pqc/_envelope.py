"""The packed ciphertext layout (see docs/formats.md).

    magic "HPQC" | version | mode | len mlkem_ct | mlkem_ct | [len rsa_ct | rsa_ct]
    | len nonce | nonce | len sealed | sealed

Lengths are 4-byte big-endian. Everything before the sealed field's length is the header,
which the payload encryption authenticates as associated data.
"""

import struct
from dataclasses import dataclass

from ._inputs import at_most, exact_bytes
from ._params import (
    MAX_SEALED_SIZE,
    MLKEM_CIPHERTEXT_SIZE,
    NONCE_SIZE,
    RSA_MAX_BITS,
    RSA_MIN_BITS,
    TAG_SIZE,
)

MAGIC = b"HPQC"
FORMAT_VERSION = 1
MODE_MLKEM = 0x01
MODE_HYBRID = 0x02

_PREFIX = struct.Struct(">4sBB")
_LENGTH = struct.Struct(">I")
# The longest packed ciphertext: prefix, four lengths, the largest field of each kind.
MAX_PACKED_SIZE = (_PREFIX.size + 4 * _LENGTH.size + MLKEM_CIPHERTEXT_SIZE + RSA_MAX_BITS // 8
                   + NONCE_SIZE + MAX_SEALED_SIZE)


@dataclass(frozen=True, slots=True)
class Envelope:
    mlkem_ct: bytes
    rsa_ct: bytes | None
    nonce: bytes
    sealed: bytes
    header: bytes

    @property
    def hybrid(self) -> bool:
        return self.rsa_ct is not None


def pack_header(mlkem_ct: bytes, rsa_ct: bytes | None, nonce: bytes) -> bytes:
    mode = MODE_MLKEM if rsa_ct is None else MODE_HYBRID
    parts = [_PREFIX.pack(MAGIC, FORMAT_VERSION, mode)]
    for field in (mlkem_ct, rsa_ct, nonce):
        if field is not None:
            parts += (_LENGTH.pack(len(field)), field)
    return b"".join(parts)


def pack_ciphertext(mlkem_ct, rsa_ct, nonce, sealed) -> bytes:
    """Packs the pieces made by pqc_encrypt_payload into one bytes value.

    rsa_ct is None for an ML-KEM-only ciphertext. Pieces of impossible sizes are refused
    here rather than producing a ciphertext that could never be decrypted.
    """
    mlkem_ct = exact_bytes(mlkem_ct, "mlkem_ct", _check_mlkem_ct)
    rsa_ct = None if rsa_ct is None else exact_bytes(rsa_ct, "rsa_ct", _check_rsa_ct)
    nonce = exact_bytes(nonce, "nonce", _check_nonce)
    sealed = exact_bytes(sealed, "sealed", _check_sealed)
    return b"".join((pack_header(mlkem_ct, rsa_ct, nonce), _LENGTH.pack(len(sealed)), sealed))


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
    if version != FORMAT_VERSION:
        raise ValueError(
            f"unsupported ciphertext format version {version} (this release reads {FORMAT_VERSION})"
        )
    if mode not in (MODE_MLKEM, MODE_HYBRID):
        raise ValueError(f"unknown ciphertext mode 0x{mode:02x}")

    reader = _Reader(view, _PREFIX.size)
    mlkem_ct = reader.field("ML-KEM-768 ciphertext", _check_mlkem_ct)
    rsa_ct = reader.field("RSA ciphertext", _check_rsa_ct) if mode == MODE_HYBRID else None
    nonce = reader.field("nonce", _check_nonce)
    header_end = reader.offset
    sealed = reader.field("sealed payload", _check_sealed)
    if reader.offset != len(view):
        raise ValueError(
            f"ciphertext has {len(view) - reader.offset} unexpected bytes after the sealed payload"
        )
    return Envelope(mlkem_ct, rsa_ct, nonce, sealed, bytes(view[:header_end]))


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


def _check_sealed(size: int) -> None:
    if not TAG_SIZE <= size <= MAX_SEALED_SIZE:
        raise ValueError(
            f"the sealed payload must be {TAG_SIZE} to {MAX_SEALED_SIZE} bytes, not {size}"
        )
