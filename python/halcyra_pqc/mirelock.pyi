# Types of halcyra_pqc.mirelock, the module with the shapes of PyCryptodome's RSA and
# PKCS1_OAEP. tests/test_typing.py checks this file against the module.
#
# Generated keys hold bytes. A key imported from text keeps that `str` as its private part
# (or, for public key text, as its public part), and export_key() without a pass phrase gives
# it back; the public key derived from private key text, and anything protected by a pass
# phrase, are bytes. The key class is generic in the type a key keeps, so a checker sees what
# export_key() gives back: the everyday idiom, a key read from its PEM text and its public
# key written to a binary file, checks as it runs.

from collections.abc import Buffer, Callable
from typing import Any, overload, type_check_only

class PyCryptodomeKey[K: bytes | str = bytes]:
    pub_bytes: K | bytes
    # None (or empty) for a key without a private part.
    priv_bytes: K | None
    def __init__(self, pub_bytes: K | bytes, priv_bytes: K | None = None) -> None: ...
    def publickey(self) -> PyCryptodomeKey[bytes]:
        """A key with this key's public material and no private part.

        Typed for a key with a private part, whose public material is key bytes (derived by the
        core from private key text). Called on a key imported from public key text it holds that
        text.
        """

    # The pass phrase comes second after the format, or by keyword, as in PyCryptodome; the
    # other arguments (pkcs, protection, randfunc, ...) are ignored.
    @overload
    def export_key(self, format: str = "PEM", passphrase: None = None, *args: object, **kwargs: object) -> K:
        """The private material if there is any, else the public material, unchanged."""

    @overload
    def export_key(self, format: str, passphrase: str | bytes, *args: object, **kwargs: object) -> K | bytes:
        """With a pass phrase, the private material protected by it, as bytes from the core's
        protect_private_key(); a key without a private part exports as without one."""

    @overload
    def export_key(self, format: str = "PEM", *, passphrase: str | bytes, **kwargs: object) -> K | bytes: ...

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

# Text imported with a pass phrase keeps the text, or, when it was protected, the unprotected
# key bytes: either may come back from export_key().
@overload
def pycryptodome_import_key(extern_key: bytes, passphrase: str | bytes | None = None) -> PyCryptodomeKey[bytes]:
    """A key over `extern_key` as the core reads it: private key bytes keep their data as the
    private material and get the public key bytes the core derives; protected key bytes are
    unprotected with `passphrase` first (ValueError when it is wrong or missing); public key
    bytes have no private part; data not in the form of key bytes is stored unread as both."""

@overload
def pycryptodome_import_key(extern_key: str, passphrase: None = None) -> PyCryptodomeKey[str]: ...
@overload
def pycryptodome_import_key(extern_key: str, passphrase: str | bytes) -> PyCryptodomeKey[str | bytes]: ...

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
    @overload
    @staticmethod
    def import_key(extern_key: bytes, passphrase: str | bytes | None = None) -> PyCryptodomeKey[bytes]: ...
    @overload
    @staticmethod
    def import_key(extern_key: str, passphrase: None = None) -> PyCryptodomeKey[str]: ...
    @overload
    @staticmethod
    def import_key(extern_key: str, passphrase: str | bytes) -> PyCryptodomeKey[str | bytes]: ...

RSA: _RSAModule
