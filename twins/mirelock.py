import sys
from types import ModuleType

from halcyra_pqc import generate_pqc_kem_keypair, pqc_encrypt_payload, pqc_decrypt_payload, pack_ciphertext

# Every statement stands on the line that the native module's records give it. The native
# module registers its RSA object in sys.modules as halcyra_pqc.mirelock.RSA; the twin
# registers its own under the twin's name, so that importing it never shadows the real one.
from ._checks import passphrase_of

class PyCryptodomeKey:
    def __init__(self, pub_bytes, priv_bytes=None):
        self.pub_bytes = pub_bytes
        self.priv_bytes = priv_bytes
    def publickey(self):
        return PyCryptodomeKey(self.pub_bytes)
    def export_key(self, *args, **kwargs):
        if (passphrase := passphrase_of(args, kwargs)) is None or not self.priv_bytes: return self.priv_bytes if self.priv_bytes else self.pub_bytes
        from halcyra_pqc import protect_private_key; return protect_private_key(self.priv_bytes, passphrase)
class PyCryptodomeCipher:
    def __init__(self, key):
        self.key = key
    def encrypt(self, plaintext):
        res = pqc_encrypt_payload(plaintext, self.key.pub_bytes)
        if len(res) == 4:
            return pack_ciphertext(res[0], res[1], res[2], res[3])
        # Any other length is the pure ML-KEM form, which has no RSA part.
        return pack_ciphertext(res[0], None, res[1], res[2])
    def decrypt(self, ciphertext):
        if not self.key.priv_bytes:
            raise ValueError("Private key required for decryption")
        return pqc_decrypt_payload(ciphertext, self.key.priv_bytes)

def pycryptodome_generate(bits, randfunc=None):
    pub, priv = generate_pqc_kem_keypair()
    return PyCryptodomeKey(pub, priv)

def pycryptodome_import_key(extern_key, passphrase=None):
    from halcyra_pqc import _import_key_pair; return PyCryptodomeKey(*_import_key_pair(extern_key, passphrase))

class PKCS1_OAEP_Mock:
    @staticmethod
    def new(key, *args, **kwargs):
        return PyCryptodomeCipher(key)

RSA = ModuleType("halcyra_pqc.mirelock.RSA")
RSA.generate = pycryptodome_generate
RSA.import_key = pycryptodome_import_key
sys.modules[f"{__name__}.RSA"] = RSA

PKCS1_OAEP = PKCS1_OAEP_Mock

__test__ = {}
