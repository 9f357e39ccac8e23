# Types of halcyra_pqc.mirelock, the module with the shapes of PyCryptodome's RSA and
# PKCS1_OAEP. tests/test_typing.py checks this file against the module.
#
# Generated keys hold bytes. A key imported from text keeps that `str`, which export_key()
# then returns, except that the public key derived from private key text, and anything
# protected by a pass phrase, are bytes. The key class is generic in the imported type so a
# checker sees which one a key may give back.

from collections.abc import Buffer, Callable
from typing import Any, type_check_only

class PyCryptodomeKey[K: (bytes, str) = bytes]:
    pub_bytes: K | bytes
    # None (or empty) for a key without a private part.
    priv_bytes: K | None
    def __init__(self, pub_bytes: K | bytes, priv_bytes: K | None = None) -> None: ...
    def publickey(self) -> PyCryptodomeKey[K]:
        """A key with this key's public material and no private part."""

    def export_key(self, *args: object, **kwargs: object) -> K | bytes:
        """The private material if there is any, else the public material, unchanged.

        With a pass phrase (keyword `passphrase`, or the second positional argument) the
        private material comes back protected by it, as bytes from the core's
        protect_private_key(). The other arguments (format, pkcs, protection, ...) are ignored.
        """

class PyCryptodomeCipher:
    key: PyCryptodomeKey[Any]
    def __init__(self, key: PyCryptodomeKey[Any]) -> None: ...
    def encrypt(self, plaintext: Buffer) -> bytes:
        """The packed ciphertext of `plaintext` for the key's public material."""

    def decrypt(self, ciphertext: Buffer) -> bytes:
        """The message; ValueError if the key has no private part or the ciphertext fails."""

def pycryptodome_generate(
    bits: int, randfunc: Callable[[int], bytes] | None = None
) -> PyCryptodomeKey[bytes]:
    """A hybrid ML-KEM-768 + RSA-3072 key; `bits` and `randfunc` are ignored."""

def pycryptodome_import_key[K: (bytes, str)](
    extern_key: K, passphrase: str | bytes | None = None
) -> PyCryptodomeKey[K]:
    """A key over `extern_key` as the core reads it: private key bytes keep their data as the
    private material and get the public key bytes the core derives; protected key bytes are
    unprotected with `passphrase` first (ValueError when it is wrong or missing); public key
    bytes have no private part; data not in the form of key bytes is stored unread as both."""

class PKCS1_OAEP_Mock:
    @staticmethod
    def new(key: PyCryptodomeKey[Any], *args: object, **kwargs: object) -> PyCryptodomeCipher:
        """A cipher over `key`; every other argument is ignored."""

PKCS1_OAEP = PKCS1_OAEP_Mock

# `RSA` is a module object holding the two functions. Typed as a plain class rather than a
# ModuleType, whose catch-all __getattr__ would let a misspelled name such as
# RSA.importKey pass the type check.
@type_check_only
class _RSAModule:
    __name__: str
    @staticmethod
    def generate(bits: int, randfunc: Callable[[int], bytes] | None = None) -> PyCryptodomeKey[bytes]: ...
    @staticmethod
    def import_key[K: (bytes, str)](
        extern_key: K, passphrase: str | bytes | None = None
    ) -> PyCryptodomeKey[K]: ...

RSA: _RSAModule
