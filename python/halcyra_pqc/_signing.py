"""RSA PKCS#1 v1.5 signatures with the key the reader has parsed: the RSA half of a hybrid
key, or a classic RSA key. They are the `rsa` package's signatures, and ferrovan.sign's, byte
for byte (the scheme is deterministic); ferrovan reloads the key on every call, which costs
a hundred times the signature itself."""

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

from ._key_reader import load_key

# By the spelling ferrovan.sign reads a hash name in: upper case, without dashes.
SIGNING_HASHES = {"SHA224": "SHA-224", "SHA256": "SHA-256", "SHA384": "SHA-384", "SHA512": "SHA-512"}
# Broken: no new signature uses them, and one that does is not accepted.
BROKEN_HASHES = {"MD5": "MD5", "SHA1": "SHA-1"}
# The order ferrovan.verify tries them in.
_VERIFIED = ("SHA256", "SHA512", "SHA384", "SHA224", "SHA1", "MD5")
_ACCEPTED = ", ".join(SIGNING_HASHES.values())


def signing_hash(name) -> str:
    """The canonical name ("SHA-256") of a hash name as ferrovan.sign reads it ("sha256",
    "SHA-256", ...); ValueError for a broken or an unknown one."""
    if type(name) is not str:
        raise TypeError(f"hash_method must be str, not {type(name).__name__!r}")
    spelled = name.upper().replace("-", "")
    if spelled in BROKEN_HASHES:
        raise ValueError(f"{name} is broken and makes no new signature: use one of {_ACCEPTED}")
    if spelled not in SIGNING_HASHES:
        raise ValueError(f"unknown hash {name!r}: use one of {_ACCEPTED}")
    return SIGNING_HASHES[spelled]


def sign_message(message, private_key_bytes, hash_method) -> bytes:
    """The PKCS#1 v1.5 signature of `message` with the RSA key of private key bytes (a
    hybrid key's RSA half, or a classic RSA key), as ferrovan.sign makes it."""
    name = signing_hash(hash_method)
    key = load_key(private_key_bytes, "private_key_bytes")
    if not key.private:
        raise ValueError("a public key cannot sign: pass the private key bytes")
    if key.rsa_private is None:
        raise ValueError("an ML-KEM-only key cannot sign: signatures are made with the RSA half of a hybrid key")
    return key.rsa_private.sign(memoryview(message), padding.PKCS1v15(), _hash(name))


def verify_signature(message, signature, public_key_bytes) -> str:
    """The name of the hash ("SHA-256") of a valid PKCS#1 v1.5 signature of `message` by the
    RSA key of key bytes (public or private); ValueError for a signature that does not
    verify, and for one made with a broken hash (MD5, SHA-1)."""
    key = load_key(public_key_bytes, "public_key_bytes")
    if key.rsa_public is None:
        raise ValueError("an ML-KEM-only key has no RSA half, which signatures are made with")
    message, signature = memoryview(message), memoryview(signature)
    for spelled in _VERIFIED:
        try:
            key.rsa_public.verify(signature, message, padding.PKCS1v15(), getattr(hashes, spelled)())
        except InvalidSignature:
            continue
        if spelled in BROKEN_HASHES:
            raise ValueError(f"Verification failed: the signature uses {BROKEN_HASHES[spelled]}, "
                             f"which is broken and not accepted")
        return SIGNING_HASHES[spelled]
    raise ValueError("Verification failed")


def _hash(name: str) -> hashes.HashAlgorithm:
    return getattr(hashes, name.replace("-", ""))()
