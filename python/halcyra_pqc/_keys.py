"""The parsed forms of key bytes."""

from dataclasses import dataclass, field

from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey, MLKEM768PublicKey

from ._params import HYBRID_LABEL, MLKEM_LABEL


@dataclass(frozen=True, slots=True)
class Key:
    """A post-quantum key: always an ML-KEM-768 half, an RSA half only in hybrid keys.

    Private keys carry both their private and public halves, so they can also encrypt. What
    every encryption and decryption needs of the key besides its halves is computed once,
    when the key is read or made (see _key_format.make_key):

    - `public_bytes`: the canonical public key bytes (docs/formats.md), however the key was
      spelled; `recipient` is their SHA-256, which version-2 ciphertexts are bound to;
    - `rejection_key`: in hybrid private keys, the secret from which a failed RSA-OAEP
      decryption derives its deterministic stand-in secret.
    """

    mlkem_public: MLKEM768PublicKey
    mlkem_private: MLKEM768PrivateKey | None
    rsa_public: rsa.RSAPublicKey | None
    rsa_private: rsa.RSAPrivateKey | None
    public_bytes: bytes = field(repr=False)
    recipient: bytes = field(repr=False)
    rejection_key: bytes | None = field(repr=False)

    @property
    def hybrid(self) -> bool:
        return self.rsa_public is not None

    @property
    def private(self) -> bool:
        return self.mlkem_private is not None

    @property
    def label(self) -> str:
        return HYBRID_LABEL if self.hybrid else MLKEM_LABEL

    def public(self) -> "Key":
        return Key(self.mlkem_public, None, self.rsa_public, None, self.public_bytes, self.recipient, None)


@dataclass(frozen=True, slots=True)
class LegacyKey:
    """A classic RSA key as the `rsa` package or PyCryptodome saved it (see docs/migration.md).

    It only decrypts ciphertexts made before the switch; nothing is ever encrypted to it.
    `encoding` ("PEM" or "DER") is the one it was read in, which its public key keeps.
    """

    rsa_public: rsa.RSAPublicKey
    rsa_private: rsa.RSAPrivateKey | None
    encoding: str

    @property
    def private(self) -> bool:
        return self.rsa_private is not None


def modulus_size(key: rsa.RSAPublicKey | rsa.RSAPrivateKey) -> int:
    """The size in bytes of the key's modulus, which is that of every RSA ciphertext for it."""
    return (key.key_size + 7) // 8
