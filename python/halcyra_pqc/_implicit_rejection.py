"""Implicit rejection for classic PKCS#1 v1.5 decryption: a ciphertext whose padding is bad
decrypts to a stand-in message derived from the key and the ciphertext, never to an error,
so no caller learns whether a padding was valid (no Bleichenbacher oracle).

OpenSSL 3.2 and later do this themselves, and the library's decryption relies on them; but a
backend built without it raises instead, which would open the oracle again. So before the
first such decryption the backend is checked once, with a fixed malformed ciphertext under a
built-in throwaway key, and where it raises, the package rejects implicitly itself, by the
construction of the IRTF's guidance for RSA PKCS#1 v1.5 decryption, which OpenSSL
implements; for the same key and ciphertext both give the same stand-in message, so the
choice never shows in the results:

    kdk     = HMAC-SHA256(key = SHA-256(d as k bytes), message = ciphertext as k bytes)
    prf(label, n bytes) = the first n bytes of HMAC-SHA256(kdk, i ‖ label ‖ 8n) for i = 0, 1, …
                          (i and 8n as 2-byte big-endian numbers)
    message = prf("message", k); the length is the last of the 128 2-byte candidates of
    prf("length", 256), each masked to the bits of k - 10, that is below k - 10; the stand-in
    is the last that many bytes of the message.

k is the modulus size in bytes. The package's own path computes the stand-in on every call
and selects between it and the real message at the end, but as Python it is not constant
time byte for byte the way OpenSSL's is; it serves backends that would otherwise give a
plain padding error.
"""

import functools
import hashlib
import hmac

from cryptography.hazmat.primitives.asymmetric import padding, rsa

from . import _raw_rsa
from ._keys import modulus_size

_LENGTH_CANDIDATES = 128

# The throwaway key of the backend check: 1024 bits, made once for this purpose, holding
# nothing. Its primes are enough to rebuild it.
_CHECK_P = int(
    "f2003326796cb33add756e4832216869bad46b757ec594bd6e34e9814238a77a"
    "5f15c94bf66dde8b5c811aed8bba712684c820f327dca56f5828cd022027ac31", 16)
_CHECK_Q = int(
    "d6bdb5ebc125b76ecd179646d85b5831980393a23e5a490365df49164c278525"
    "19f5661e09574d0d9c1c2acd7dad69c009969107e4f23789bfb07cd1cc5af84f", 16)
_CHECK_E = 65537


def _backend_decrypt(key: rsa.RSAPrivateKey, ciphertext: bytes) -> bytes:
    return key.decrypt(ciphertext, padding.PKCS1v15())


@functools.cache
def backend_rejects_implicitly() -> bool:
    """Whether the backend's PKCS#1 v1.5 decryption returns a stand-in message for a bad
    padding (checked once per process)."""
    p, q, e = _CHECK_P, _CHECK_Q, _CHECK_E
    d = pow(e, -1, (p - 1) * (q - 1))
    public = rsa.RSAPublicNumbers(e, p * q)
    key = rsa.RSAPrivateNumbers(p, q, d, rsa.rsa_crt_dmp1(d, p), rsa.rsa_crt_dmq1(d, q),
                                rsa.rsa_crt_iqmp(p, q), public).private_key(unsafe_skip_rsa_key_validation=True)
    size = modulus_size(key)
    # Block type 1 (a signature's padding) where decryption needs type 2: malformed for sure.
    encoded = int.from_bytes(b"\x00\x01" + b"\xff" * (size - 3) + b"\x00", "big")
    ciphertext = pow(encoded, e, p * q).to_bytes(size, "big")
    try:
        _backend_decrypt(key, ciphertext)
    except ValueError:
        return False
    return True


def decrypt(key: rsa.RSAPrivateKey, ciphertext: bytes) -> bytes | None:
    """The PKCS#1 v1.5 message of `ciphertext` (the modulus size), or the stand-in message for
    a bad padding; None when the ciphertext is not a number below the modulus."""
    encoded = _raw_rsa.decrypt(key, ciphertext)
    if encoded is None:
        return None
    fallback = stand_in(key, ciphertext)
    # EME-PKCS1-v1_5 decoding (RFC 8017, 7.2.2 step 3): 00 02, at least eight non-zero
    # padding bytes, 00, the message.
    separator = encoded.find(b"\x00", 2)
    good = encoded[:2] == b"\x00\x02" and separator >= 10
    return encoded[separator + 1:] if good else fallback


def stand_in(key: rsa.RSAPrivateKey, ciphertext: bytes) -> bytes:
    """The stand-in message of the IRTF construction for this key and ciphertext."""
    size = modulus_size(key)
    d = key.private_numbers().d
    kdk = hmac.digest(hashlib.sha256(d.to_bytes(size, "big")).digest(), ciphertext.rjust(size, b"\x00"), "sha256")
    message = _prf(kdk, b"message", size)
    candidates = _prf(kdk, b"length", 2 * _LENGTH_CANDIDATES)
    longest = size - 2 - 8
    mask = (1 << longest.bit_length()) - 1
    length = 0
    for i in range(0, len(candidates), 2):
        candidate = int.from_bytes(candidates[i:i + 2], "big") & mask
        if candidate < longest:
            length = candidate
    return message[size - length:]


def _prf(kdk: bytes, label: bytes, size: int) -> bytes:
    bits = (8 * size).to_bytes(2, "big")
    blocks = (hmac.digest(kdk, i.to_bytes(2, "big") + label + bits, "sha256") for i in range(-(-size // 32)))
    return b"".join(blocks)[:size]
