"""Classic RSA keys and ciphertexts, as the `rsa` package and PyCryptodome saved them before a
program switched over (see docs/migration.md): read only to decrypt old data.

Which scheme made a ciphertext is not recorded in it, and the core does not know which
module is calling, so "auto" tries OAEP with SHA-1 (PyCryptodome's PKCS1_OAEP default)
first and PKCS#1 v1.5 (the `rsa` package's encrypt) second. OAEP goes first because it
detects a foreign ciphertext: a v1.5 one passes its checks with a chance of about 2**-160.
v1.5 has no such check to offer: with implicit rejection, a ciphertext that is not v1.5
decrypts to a deterministic random-looking message rather than failing (_implicit_rejection
makes sure of it whatever the backend).
"""

import hashlib

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding

from . import _implicit_rejection, _raw_rsa, _rsa
from ._envelope import MAGIC
from ._errors import AUTHENTICATION_FAILED, invalid_key
from ._keys import LegacyKey, modulus_size
from ._params import LEGACY_OAEP, LEGACY_RSA_MAX_BITS, LEGACY_RSA_MIN_BITS

SCHEMES = ("auto", "oaep-sha1", "pkcs1v15")


def checked_scheme(scheme) -> str:
    """`scheme` as an exact str, refused unless it names one of SCHEMES."""
    if issubclass(type(scheme), str):
        # An exact copy: a subclass's __eq__ must not decide one comparison one way and the
        # next another.
        scheme = str.__str__(scheme)
    if type(scheme) is not str or scheme not in SCHEMES:
        raise ValueError(f"scheme must be one of {', '.join(map(repr, SCHEMES))}, not {_shown(scheme)}")
    return scheme


def _shown(value) -> str:
    text = repr(value) if type(value) in (str, bytes, int, type(None)) else f"a {type(value).__name__}"
    return text if len(text) <= 40 else text[:37] + "..."


_LOADERS = {
    "PEM": (serialization.load_pem_private_key, serialization.load_pem_public_key, serialization.Encoding.PEM),
    "DER": (serialization.load_der_private_key, serialization.load_der_public_key, serialization.Encoding.DER),
}


def parse(data: bytes, encoding: str, *, checked: bool) -> LegacyKey:
    """A classic RSA private or public key in PEM or DER, PKCS#1 or PKCS#8/SubjectPublicKeyInfo."""
    load_private, load_public, _ = _LOADERS[encoding]
    private = _rsa.read_private(data, load_private)
    if private is _rsa.ENCRYPTED:
        raise invalid_key(
            "the RSA private key is encrypted with a passphrase; decrypt it with the tool that "
            "encrypted it (for example openssl pkey) and read the unencrypted key"
        )
    if not isinstance(private, str):
        if not checked:
            _rsa.check_private(private, min_bits=LEGACY_RSA_MIN_BITS, max_bits=LEGACY_RSA_MAX_BITS,
                               subject="the key")
        return LegacyKey(private.public_key(), private, encoding)
    public = _rsa.read_public(data, load_public)
    if public is None:
        raise invalid_key(f"{encoding} data that is not an RSA private or public key")
    # No size bound: a classic public key is only ever refused for encryption, with the
    # message that says how to replace it.
    if not checked:
        _rsa.check_public(public)
    return LegacyKey(public, None, encoding)


def public_key_bytes(key: LegacyKey) -> bytes:
    """The SubjectPublicKeyInfo of the key, in the encoding the key was read in."""
    encoding = _LOADERS[key.encoding][2]
    return key.rsa_public.public_bytes(encoding, serialization.PublicFormat.SubjectPublicKeyInfo)


def decrypt(ciphertext: bytes, key: LegacyKey, scheme: str = "auto") -> bytes:
    """The message of a classic ciphertext, as the library's decryption reads it: a bad
    PKCS#1 v1.5 padding gives the backend's stand-in message, never an error."""
    _check_size(ciphertext, key)
    if scheme != "pkcs1v15":
        message = _decrypt_or_none(key, ciphertext, LEGACY_OAEP)
        if message is not None:
            return message
        if scheme == "oaep-sha1":
            raise ValueError(AUTHENTICATION_FAILED)
    # Implicit rejection returns a stand-in message for a bad padding, so no caller can learn
    # whether the padding was valid: the backend's where it has it, else the package's own.
    # What fails here is a ciphertext not below the modulus.
    if _implicit_rejection.backend_rejects_implicitly():
        message = _decrypt_or_none(key, ciphertext, padding.PKCS1v15())
    else:
        message = _implicit_rejection.decrypt(key.rsa_private, ciphertext)
    if message is None:
        raise ValueError(AUTHENTICATION_FAILED)
    return message


def open_checked(ciphertext: bytes, key: LegacyKey, scheme: str = "auto") -> tuple[str, bytes]:
    """(the scheme that read it, the message) of a classic ciphertext whose padding checks
    explicitly under `scheme` ("auto": OAEP with SHA-1, then PKCS#1 v1.5); ValueError with
    the authentication-failure text when none does.

    For offline conversions only, where the ciphertexts are the operator's own stored data:
    told to anyone who chooses ciphertexts, whether this fails is a padding oracle
    (docs/security.md). One private-key operation serves both schemes.
    """
    _check_size(ciphertext, key)
    encoded = _raw_rsa.decrypt(key.rsa_private, ciphertext)
    if encoded is not None:
        for candidate in ("oaep-sha1", "pkcs1v15") if scheme == "auto" else (scheme,):
            message = _UNPADDED[candidate](encoded)
            if message is not None:
                return candidate, message
    raise ValueError(AUTHENTICATION_FAILED)


def _check_size(ciphertext: bytes, key: LegacyKey) -> None:
    size = modulus_size(key.rsa_private)
    if len(ciphertext) != size:
        if ciphertext[: len(MAGIC)] == MAGIC:
            # Never a classic ciphertext: the largest classic key's are shorter than any packed one.
            raise ValueError(
                "the ciphertext is in the packed format, made for a post-quantum key, but this "
                "is a classic RSA key; use the key it was made for"
            )
        raise ValueError(
            f"the classic RSA ciphertext is {len(ciphertext)} bytes "
            f"but this key's modulus is {size} bytes"
        )


_SHA1_SIZE = 20
_SHA1_OF_NO_LABEL = hashlib.sha1(b"").digest()


def _oaep_sha1_message(encoded: bytes) -> bytes | None:
    """EME-OAEP decoding with SHA-1, MGF1-SHA-1 and no label (RFC 8017, 7.1.2 step 3)."""
    size = len(encoded)
    if size < 2 * _SHA1_SIZE + 2 or encoded[0] != 0:
        return None
    masked_seed, masked_block = encoded[1:1 + _SHA1_SIZE], encoded[1 + _SHA1_SIZE:]
    seed = _xor(masked_seed, _mgf1_sha1(masked_block, _SHA1_SIZE))
    block = _xor(masked_block, _mgf1_sha1(seed, len(masked_block)))
    if block[:_SHA1_SIZE] != _SHA1_OF_NO_LABEL:
        return None
    rest = block[_SHA1_SIZE:].lstrip(b"\x00")
    return rest[1:] if rest[:1] == b"\x01" else None


def _pkcs1v15_message(encoded: bytes) -> bytes | None:
    """EME-PKCS1-v1_5 decoding (RFC 8017, 7.2.2 step 3): 00 02, at least eight non-zero
    padding bytes, 00, the message."""
    if encoded[:2] != b"\x00\x02":
        return None
    separator = encoded.find(b"\x00", 2)
    return encoded[separator + 1:] if separator >= 10 else None


_UNPADDED = {"oaep-sha1": _oaep_sha1_message, "pkcs1v15": _pkcs1v15_message}


def _mgf1_sha1(seed: bytes, length: int) -> bytes:
    blocks = -(-length // _SHA1_SIZE)
    return b"".join(hashlib.sha1(seed + i.to_bytes(4, "big")).digest() for i in range(blocks))[:length]


def _xor(data: bytes, mask: bytes) -> bytes:
    return (int.from_bytes(data, "big") ^ int.from_bytes(mask, "big")).to_bytes(len(data), "big")


def _decrypt_or_none(key: LegacyKey, ciphertext: bytes, scheme) -> bytes | None:
    try:
        return key.rsa_private.decrypt(ciphertext, scheme)
    except ValueError:
        return None
