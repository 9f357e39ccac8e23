"""Key generation and the key-bytes format (see docs/formats.md)."""

import base64
import json
from dataclasses import dataclass

from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey, MLKEM768PublicKey

from ._key_cache import KeyCache
from ._params import (
    HYBRID_LABEL,
    LEGACY_RSA_MAX_BITS,
    LEGACY_RSA_MIN_BITS,
    MLKEM_LABEL,
    MLKEM_PUBLIC_KEY_SIZE,
    MLKEM_SEED_SIZE,
    RSA_KEY_BITS,
    RSA_MAX_BITS,
    RSA_MIN_BITS,
    RSA_PUBLIC_EXPONENT,
)

KEY_FORMAT_VERSION = 1
# Far above the largest valid key (a 4096-bit hybrid private key is about 3.4 KiB), so the
# cap only stops absurd inputs before they are decoded or parsed.
MAX_KEY_BYTES = 64 * 1024

_cache = KeyCache(maxsize=32)


@dataclass(frozen=True, slots=True)
class Key:
    """A parsed key: always an ML-KEM-768 half, an RSA half only in hybrid keys.

    Private keys carry both their private and public halves, so they can also encrypt.
    """

    mlkem_public: MLKEM768PublicKey
    mlkem_private: MLKEM768PrivateKey | None
    rsa_public: rsa.RSAPublicKey | None
    rsa_private: rsa.RSAPrivateKey | None

    @property
    def hybrid(self) -> bool:
        return self.rsa_public is not None

    @property
    def private(self) -> bool:
        return self.mlkem_private is not None

    @property
    def label(self) -> str:
        return HYBRID_LABEL if self.hybrid else MLKEM_LABEL


@dataclass(frozen=True, slots=True)
class LegacyKey:
    """A classic RSA key as the `rsa` package or PyCryptodome saved it (see docs/migration.md).

    It only decrypts ciphertexts made before the switch; nothing is ever encrypted to it.
    """

    rsa_public: rsa.RSAPublicKey
    rsa_private: rsa.RSAPrivateKey | None

    @property
    def private(self) -> bool:
        return self.rsa_private is not None


def modulus_size(key: rsa.RSAPublicKey | rsa.RSAPrivateKey) -> int:
    """The size in bytes of the key's modulus, which is that of every RSA ciphertext for it."""
    return (key.key_size + 7) // 8


def generate_pqc_kem_keypair() -> tuple[bytes, bytes]:
    """Returns fresh (public_key_bytes, private_key_bytes) for ML-KEM-768 combined with RSA-3072."""
    rsa_private = rsa.generate_private_key(
        public_exponent=RSA_PUBLIC_EXPONENT, key_size=RSA_KEY_BITS
    )
    return _encode_pair(MLKEM768PrivateKey.generate(), rsa_private)


def generate_mlkem_keypair() -> tuple[bytes, bytes]:
    """Returns fresh (public_key_bytes, private_key_bytes) for ML-KEM-768 alone."""
    return _encode_pair(MLKEM768PrivateKey.generate(), None)


def _encode_pair(mlkem_private: MLKEM768PrivateKey, rsa_private: rsa.RSAPrivateKey | None):
    rsa_public = rsa_private.public_key() if rsa_private is not None else None
    private = Key(mlkem_private.public_key(), mlkem_private, rsa_public, rsa_private)
    public = Key(private.mlkem_public, None, rsa_public, None)
    public_bytes, private_bytes = _encode(public), _encode(private)
    # These keys were made here and need no validation when their bytes come back.
    _cache.put(public_bytes, public)
    _cache.put(private_bytes, private)
    return public_bytes, private_bytes


def _encode(key: Key) -> bytes:
    if key.private:
        mlkem = key.mlkem_private.private_bytes_raw()
    else:
        mlkem = key.mlkem_public.public_bytes_raw()
    members = {
        "version": KEY_FORMAT_VERSION,
        "alg": key.label,
        "kind": "private" if key.private else "public",
        "mlkem": _b64(mlkem),
    }
    if key.hybrid:
        if key.private:
            der = key.rsa_private.private_bytes(
                serialization.Encoding.DER,
                serialization.PrivateFormat.PKCS8,
                serialization.NoEncryption(),
            )
        else:
            der = key.rsa_public.public_bytes(
                serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
            )
        members["rsa"] = _b64(der)
    return json.dumps(members, separators=(",", ":")).encode("ascii")


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def load_key(value, name: str) -> Key | LegacyKey:
    """Parses key bytes (bytes-like, or the same text as str), reusing earlier parses."""
    data = _key_data(value, name)
    key = _cache.get(data)
    if key is None:
        key = _classify(data)
        _cache.put(data, key)
    return key


def _key_data(value, name: str) -> bytes:
    too_long = _invalid(f"longer than {MAX_KEY_BYTES} bytes")
    if isinstance(value, str):
        if len(value) > MAX_KEY_BYTES:
            raise too_long
        try:
            data = value.encode("utf-8")
        except UnicodeEncodeError:
            raise _invalid("the text is not valid Unicode") from None
    else:
        try:
            view = memoryview(value)
        except TypeError:
            raise TypeError(
                f"{name} must be bytes, a bytes-like object or str, not {type(value).__name__!r}"
            ) from None
        if view.nbytes > MAX_KEY_BYTES:
            raise too_long
        data = value if type(value) is bytes else view.tobytes()
    if len(data) > MAX_KEY_BYTES:
        raise too_long
    return data


def _classify(data: bytes) -> Key | LegacyKey:
    """The single entry point that recognises an encoding of key bytes and parses it."""
    start = data.lstrip()
    if start[:1] == b"{":
        return _parse_json_key(data)
    if start.startswith(b"-----BEGIN "):
        return _parse_legacy_key(data, "PEM")
    # Every DER key, PKCS#1 or PKCS#8, private or public, is an ASN.1 SEQUENCE.
    if data[:1] == b"\x30":
        return _parse_legacy_key(data, "DER")
    raise _invalid(
        "expected a JSON key object as made by generate_pqc_kem_keypair(), "
        "or a classic RSA key in PEM or DER"
    )


def _parse_legacy_key(data: bytes, encoding: str) -> LegacyKey:
    if encoding == "PEM":
        load_private = serialization.load_pem_private_key
        load_public = serialization.load_pem_public_key
    else:
        load_private = serialization.load_der_private_key
        load_public = serialization.load_der_public_key
    not_rsa = _invalid(f"{encoding} data that is not an RSA private or public key")
    try:
        private = _load_rsa_private(
            data, load_private, not_rsa, LEGACY_RSA_MIN_BITS, LEGACY_RSA_MAX_BITS, "the key"
        )
    except _NotPrivate as failure:
        if failure.encrypted:
            # The modules take a passphrase only for the call shape; it never reaches here.
            raise _invalid(
                "the RSA private key is encrypted with a passphrase; "
                "save it unencrypted to read data made with it"
            ) from None
    else:
        return LegacyKey(private.public_key(), private)
    try:
        public = load_public(data)
    except (ValueError, UnsupportedAlgorithm):
        raise not_rsa from None
    if not isinstance(public, rsa.RSAPublicKey):
        raise not_rsa
    # No size check: a public classic key is only ever refused for encryption, with the
    # message that says how to replace it.
    return LegacyKey(public, None)


class _DuplicateMember(ValueError):
    pass


def _reject_duplicates(pairs):
    members = {}
    for name, value in pairs:
        if name in members:
            raise _DuplicateMember(name)
        members[name] = value
    return members


def _parse_json_key(data: bytes) -> Key:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise _invalid("not UTF-8 text") from None
    try:
        members = json.loads(text, object_pairs_hook=_reject_duplicates)
    except _DuplicateMember as duplicate:
        raise _invalid(f"member {_short(duplicate.args[0])} appears more than once") from None
    except (ValueError, RecursionError):
        raise _invalid("not valid JSON") from None
    if not isinstance(members, dict):
        raise _invalid("expected a JSON object")

    version = _member(members, "version")
    if type(version) is not int or version != KEY_FORMAT_VERSION:
        raise _invalid(
            f"unsupported key format version {_short(version)} "
            f"(this release reads {KEY_FORMAT_VERSION})"
        )
    label = _member(members, "alg")
    if label not in (HYBRID_LABEL, MLKEM_LABEL):
        raise _invalid(f"unknown algorithm label {_short(label)}")
    kind = _member(members, "kind")
    if kind not in ("public", "private"):
        raise _invalid(f'"kind" must be "public" or "private", not {_short(kind)}')
    hybrid = label == HYBRID_LABEL
    expected = {"version", "alg", "kind", "mlkem"} | ({"rsa"} if hybrid else set())
    unexpected = members.keys() - expected
    if unexpected:
        raise _invalid(f"unexpected member {_short(min(unexpected))} in a {label} key")
    missing = expected - members.keys()
    if missing:
        raise _invalid(f'the "{min(missing)}" member is missing')

    private = kind == "private"
    mlkem = _base64_member(members, "mlkem")
    if private:
        if len(mlkem) != MLKEM_SEED_SIZE:
            raise _invalid(
                f'"mlkem" must hold a {MLKEM_SEED_SIZE}-byte ML-KEM-768 seed, not {len(mlkem)} bytes'
            )
        mlkem_private = MLKEM768PrivateKey.from_seed_bytes(mlkem)
        mlkem_public = mlkem_private.public_key()
    else:
        if len(mlkem) != MLKEM_PUBLIC_KEY_SIZE:
            raise _invalid(
                f'"mlkem" must hold a {MLKEM_PUBLIC_KEY_SIZE}-byte ML-KEM-768 public key, '
                f"not {len(mlkem)} bytes"
            )
        mlkem_private = None
        try:
            mlkem_public = MLKEM768PublicKey.from_public_bytes(mlkem)
        except ValueError:
            raise _invalid('"mlkem" is not a valid ML-KEM-768 public key') from None

    if not hybrid:
        return Key(mlkem_public, mlkem_private, None, None)
    der = _base64_member(members, "rsa")
    if private:
        not_rsa = _invalid('"rsa" is not an unencrypted PKCS#8 DER RSA private key')
        try:
            rsa_private = _load_rsa_private(
                der, serialization.load_der_private_key, not_rsa,
                RSA_MIN_BITS, RSA_MAX_BITS, '"rsa"',
            )
        except _NotPrivate:
            raise not_rsa from None
        return Key(mlkem_public, mlkem_private, rsa_private.public_key(), rsa_private)
    return Key(mlkem_public, None, _load_rsa_public(der), None)


class _NotPrivate(Exception):
    """The data does not parse as a private key of any kind without a password."""

    def __init__(self, encrypted: bool) -> None:
        super().__init__()
        self.encrypted = encrypted


def _load_rsa_private(data, load, not_rsa, min_bits, max_bits, subject) -> rsa.RSAPrivateKey:
    # Check the size on a quick unvalidated load first: validating an oversized key is slow.
    try:
        unchecked = load(data, password=None, unsafe_skip_rsa_key_validation=True)
    except TypeError:
        # The loader's way of saying that the key needs a password.
        raise _NotPrivate(encrypted=True) from None
    except (ValueError, UnsupportedAlgorithm):
        raise _NotPrivate(encrypted=False) from None
    if not isinstance(unchecked, rsa.RSAPrivateKey):
        raise not_rsa
    _check_rsa_size(unchecked.key_size, min_bits, max_bits)
    try:
        return load(data, password=None)
    except ValueError:
        raise _invalid(f"{subject} is an inconsistent RSA private key") from None


def _load_rsa_public(der: bytes) -> rsa.RSAPublicKey:
    not_rsa = _invalid('"rsa" is not a DER SubjectPublicKeyInfo RSA public key')
    try:
        key = serialization.load_der_public_key(der)
    except (ValueError, UnsupportedAlgorithm):
        raise not_rsa from None
    if not isinstance(key, rsa.RSAPublicKey):
        raise not_rsa
    _check_rsa_size(key.key_size, RSA_MIN_BITS, RSA_MAX_BITS)
    return key


def _check_rsa_size(bits: int, min_bits: int, max_bits: int) -> None:
    if not min_bits <= bits <= max_bits:
        raise _invalid(f"the RSA key has {bits} bits; {min_bits} to {max_bits} are accepted")


def _member(members: dict, name: str):
    if name not in members:
        raise _invalid(f'the "{name}" member is missing')
    return members[name]


def _base64_member(members: dict, name: str) -> bytes:
    value = members[name]
    if not isinstance(value, str):
        raise _invalid(f'"{name}" must be a base64 string')
    try:
        raw = base64.b64decode(value, validate=True)
    except ValueError:
        raise _invalid(f'"{name}" is not valid base64') from None
    # One key, one spelling: refuse the alternative encodings lenient decoders let through.
    if _b64(raw) != value:
        raise _invalid(f'"{name}" is not canonical base64')
    return raw


def _short(value) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _invalid(reason: str) -> ValueError:
    return ValueError(f"invalid key bytes: {reason}")
