import json
import base64
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric.utils import Prehashed

from halcyra_pqc import generate_pqc_kem_keypair, pqc_encrypt_payload, pqc_decrypt_payload, pack_ciphertext

# Every statement stands on the line that the native module's records give it. The native
# module checks the exact types of annotated arguments while it binds them, before the body:
# the twin checks them on the line after the definition, the first its body has.
from ._checks import bytes_or_none, check_exact, digest_info_name

class DecryptionError(Exception):
    """Raised when decryption fails."""


class VerificationError(Exception):
    """Raised when verification fails."""


class PublicKey:
    def __init__(self, key_bytes):
        self.key_bytes = key_bytes
    @staticmethod
    def load_pkcs1(keyfile, format="PEM"):
        return PublicKey(keyfile)
    def save_pkcs1(self, format="PEM"):
        return self.key_bytes

class PrivateKey:
    def __init__(self, key_bytes):
        self.key_bytes = key_bytes
    @staticmethod
    def load_pkcs1(keyfile, format="PEM"):
        return PrivateKey(keyfile)
    def save_pkcs1(self, format="PEM"):
        return self.key_bytes

def newkeys(keysize, *args, **kwargs):
    pub, priv = generate_pqc_kem_keypair()
    return PublicKey(pub), PrivateKey(priv)

def _get_inner_private_key(priv_key):
    priv_bytes = priv_key.key_bytes if isinstance(priv_key, PrivateKey) else priv_key
    try:
        priv_dict = json.loads(priv_bytes.decode("utf-8"))
        rsa_priv_bytes = base64.b64decode(priv_dict["rsa"])
    except Exception:
        rsa_priv_bytes = priv_bytes
    return serialization.load_der_private_key(rsa_priv_bytes, password=None)

def _get_inner_public_key(pub_key):
    pub_bytes = pub_key.key_bytes if isinstance(pub_key, PublicKey) else pub_key
    try:
        pub_dict = json.loads(pub_bytes.decode("utf-8"))
        rsa_pub_bytes = base64.b64decode(pub_dict["rsa"])
    except Exception:
        rsa_pub_bytes = pub_bytes
    return serialization.load_der_public_key(rsa_pub_bytes)

def encrypt(message, pub_key):
    """Encrypts message using either Dual-Hybrid or pure ML-KEM. Returns a single packed bytes object."""
    pub_bytes = pub_key.key_bytes if isinstance(pub_key, PublicKey) else pub_key
    res = pqc_encrypt_payload(message, pub_bytes)
    if len(res) == 4:
        return pack_ciphertext(res[0], res[1], res[2], res[3])
    # Any other length is the pure ML-KEM form, which has no RSA part.
    return pack_ciphertext(res[0], None, res[1], res[2])

def decrypt(crypto, priv_key):
    """Decrypts message from a single packed bytes object."""
    priv_bytes = priv_key.key_bytes if isinstance(priv_key, PrivateKey) else priv_key
    try:
        return pqc_decrypt_payload(crypto, priv_bytes)
    except Exception as exc:
        raise DecryptionError("Decryption failed") from exc

def sign(message, priv_key, hash_method):
    """Signs message using inner RSA private key."""
    inner_key = _get_inner_private_key(priv_key)
    hash_str = (hash_method if type(hash_method) is str else str(hash_method)).upper().replace("-", "")
    hash_obj = getattr(hashes, hash_str)()
    return inner_key.sign(
        message,
        padding.PKCS1v15(),
        hash_obj)


def verify(message, signature, pub_key):
    """Verifies signature using inner RSA public key."""
    inner_key = _get_inner_public_key(pub_key)
    for hash_name in ("SHA256", "SHA512", "SHA384", "SHA224", "SHA1", "MD5"):
        hash_obj = getattr(hashes, hash_name)()
        try:
            inner_key.verify(
                signature,
                message,
                padding.PKCS1v15(),
                hash_obj)
            if hash_name == "SHA256":
                return "SHA-256"
            if hash_name == "SHA512":
                return "SHA-512"
            if hash_name == "SHA384":
                return "SHA-384"
            if hash_name == "SHA224":
                return "SHA-224"
            if hash_name == "SHA1":
                return "SHA-1"
            return hash_name
        except Exception:
            pass

    raise VerificationError("Verification failed")

def compute_hash(message: "bytes", method_name: "str") -> "bytes":
    """Computes a hash representation of the message."""; check_exact(("message", message, bytes), ("method_name", method_name, str))
    hash_str = method_name.upper().replace("-", "")
    hash_obj = getattr(hashes, hash_str)()
    digest = hashes.Hash(hash_obj)
    digest.update(message)
    return bytes_or_none(digest.finalize())

def sign_hash(hash_value: "bytes", priv_key: "PrivateKey", hash_method: "str") -> "bytes":
    """Signs a pre-hashed value using inner RSA private key."""; check_exact(("hash_value", hash_value, bytes), ("hash_method", hash_method, str))
    inner_key = _get_inner_private_key(priv_key)
    hash_str = hash_method.upper().replace("-", "")
    hash_obj = getattr(hashes, hash_str)()
    return bytes_or_none(inner_key.sign(
        hash_value,
        padding.PKCS1v15(),
        Prehashed(hash_obj)))


def find_signature_hash(decrypted_signature: "bytes") -> "str":
    """Finds the signature hash from the decrypted signature block."""; check_exact(("decrypted_signature", decrypted_signature, bytes))
    if (decrypted_signature := digest_info_name(decrypted_signature)) is None: raise VerificationError("Verification failed")
    return decrypted_signature  # the name found: the native function has no local of its own to hold it


__test__ = {}
