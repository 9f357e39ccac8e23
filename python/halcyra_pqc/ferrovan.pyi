# Types of halcyra_pqc.ferrovan, the module with the call shapes of the `rsa` package.
# Keys are JSON key bytes (docs/formats.md); signatures are RSA PKCS#1 v1.5 made with the
# RSA key inside a hybrid key. tests/test_typing.py checks this file against the module.

from collections.abc import Buffer

class DecryptionError(Exception):
    """Raised when decryption fails."""

class VerificationError(Exception):
    """Raised when verification fails."""

class PublicKey:
    # The key bytes exactly as given: never copied, checked or converted.
    key_bytes: bytes
    def __init__(self, key_bytes: bytes) -> None: ...
    @staticmethod
    def load_pkcs1(keyfile: bytes, format: str = "PEM") -> PublicKey:
        """Wraps the key bytes themselves (not a path); `format` is ignored."""

    def save_pkcs1(self, format: str = "PEM") -> bytes:
        """Returns the key bytes unchanged, whatever `format` names."""

class PrivateKey:
    key_bytes: bytes
    def __init__(self, key_bytes: bytes) -> None: ...
    @staticmethod
    def load_pkcs1(keyfile: bytes, format: str = "PEM") -> PrivateKey:
        """Wraps the key bytes themselves (not a path); `format` is ignored."""

    def save_pkcs1(self, format: str = "PEM") -> bytes:
        """Returns the key bytes unchanged, whatever `format` names."""

def newkeys(keysize: int, *args: object, **kwargs: object) -> tuple[PublicKey, PrivateKey]:
    """A hybrid ML-KEM-768 + RSA-3072 key pair; `keysize` and the other arguments are ignored."""

def encrypt(message: Buffer, pub_key: PublicKey | bytes) -> bytes:
    """Encrypts message using either Dual-Hybrid or pure ML-KEM. Returns a single packed bytes object."""

def decrypt(crypto: Buffer, priv_key: PrivateKey | bytes) -> bytes:
    """Decrypts message from a single packed bytes object."""

def sign(message: Buffer, priv_key: PrivateKey | bytes, hash_method: str) -> bytes:
    """Signs message using inner RSA private key."""

def verify(message: Buffer, signature: Buffer, pub_key: PublicKey | bytes) -> str:
    """Verifies signature using inner RSA public key."""

# These three accept exactly `bytes` and `str`: subclasses, bytearray and memoryview are refused.
def compute_hash(message: bytes, method_name: str) -> bytes:
    """Computes a hash representation of the message."""

def sign_hash(hash_value: bytes, priv_key: PrivateKey | bytes, hash_method: str) -> bytes:
    """Signs a pre-hashed value using inner RSA private key."""

def find_signature_hash(decrypted_signature: bytes) -> str:
    """Finds the signature hash from the decrypted signature block."""
