"""The trivial core: every module global that reaches outside the layer, rebound to plain
Python functions that return constants, so a benchmark over it measures the layer alone.

The same objects serve the native modules, the plain-Python baselines and the direct calls,
so all three pay exactly the same for the core.
"""

from types import ModuleType

PUBLIC_BYTES = b'{"rsa":"AA=="}'
PRIVATE_BYTES = b'{"rsa":"AQ=="}'
MESSAGE = b"m" * 32
PACKED = b"packed ciphertext"
SIGNATURE = b"s" * 384
DIGEST = b"d" * 32
DER = b"\x30\x00"
# A decrypted PKCS#1 v1.5 block ending in a SHA-256 DigestInfo, for find_signature_hash.
SIGNATURE_BLOCK = (
    b"\x00\x01" + b"\xff" * 330 + b"\x00" + bytes.fromhex("3031300d060960864801650304020105000420") + DIGEST
)
_ENCRYPTED = (b"mlkem_ct", b"rsa_ct", b"nonce", b"sealed")
_KEY_DICT = {"rsa": "AA=="}


def generate_pqc_kem_keypair():
    return PUBLIC_BYTES, PRIVATE_BYTES


def pqc_encrypt_payload(message, public_key_bytes):
    return _ENCRYPTED


def pack_ciphertext(mlkem_ct, rsa_ct, nonce, sealed):
    return PACKED


def pqc_decrypt_payload(packed, private_key_bytes):
    return MESSAGE


def failing_decrypt_payload(packed, private_key_bytes):
    raise ValueError("decryption failed")


def _import_key_pair(data, passphrase=None):
    return PUBLIC_BYTES, PRIVATE_BYTES


class _InnerPrivateKey:
    def sign(self, data, padding, algorithm):
        return SIGNATURE


class _InnerPublicKey:
    def verify(self, signature, data, padding, algorithm):
        return None


_INNER_PRIVATE = _InnerPrivateKey()
_INNER_PUBLIC = _InnerPublicKey()


class _Hash:
    def update(self, data):
        return None

    def finalize(self):
        return DIGEST


_HASH = _Hash()
_ALGORITHM = object()
_PADDING = object()
_PREHASHED = object()


def _module(name, **functions):
    module = ModuleType(name)
    for attribute, value in functions.items():
        setattr(module, attribute, value)
    return module


def _loads(text):
    return _KEY_DICT


def _b64decode(text):
    return DER


def _load_der_private_key(data, password=None):
    return _INNER_PRIVATE


def _load_der_public_key(data):
    return _INNER_PUBLIC


def _algorithm():
    return _ALGORITHM


def _hash(algorithm):
    return _HASH


def _pkcs1v15():
    return _PADDING


def _prehashed(algorithm):
    return _PREHASHED


GLOBALS = {
    "generate_pqc_kem_keypair": generate_pqc_kem_keypair,
    "pqc_encrypt_payload": pqc_encrypt_payload,
    "pqc_decrypt_payload": pqc_decrypt_payload,
    "pack_ciphertext": pack_ciphertext,
    "json": _module("json", loads=_loads),
    "base64": _module("base64", b64decode=_b64decode),
    "serialization": _module(
        "serialization", load_der_private_key=_load_der_private_key, load_der_public_key=_load_der_public_key
    ),
    "hashes": _module("hashes", SHA256=_algorithm, SHA512=_algorithm, Hash=_hash),
    "padding": _module("padding", PKCS1v15=_pkcs1v15),
    "Prehashed": _prehashed,
}

_MIRELOCK_NAMES = ("generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload", "pack_ciphertext")


def install(module, names=None):
    """Rebinds the module's outside globals to the trivial core. mirelock's import_key reads
    the key pair through the package itself, so the package's reader is replaced too."""
    for name in names or (_MIRELOCK_NAMES if hasattr(module, "PKCS1_OAEP") else GLOBALS):
        setattr(module, name, GLOBALS[name])
    if hasattr(module, "PKCS1_OAEP"):
        import halcyra_pqc

        halcyra_pqc._import_key_pair = _import_key_pair
