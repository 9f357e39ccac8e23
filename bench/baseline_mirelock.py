"""The mirelock module written as ordinary Python, for the layer benchmarks only.

Same statements, same module-global lookups at call time and the same errors as the native
module where Python can express them. Its RSA object is kept off sys.modules, so it never
shadows the real module's.
"""

import sys  # noqa: F401  (the native body imports it too)
from types import ModuleType

from halcyra_pqc import generate_pqc_kem_keypair, pqc_encrypt_payload, pqc_decrypt_payload, pack_ciphertext


class PyCryptodomeKey:
    def __init__(self, pub_bytes, priv_bytes=None):
        self.pub_bytes = pub_bytes
        self.priv_bytes = priv_bytes

    def publickey(self):
        return PyCryptodomeKey(self.pub_bytes)

    def export_key(self, *args, **kwargs):
        return self.priv_bytes if self.priv_bytes else self.pub_bytes


class PyCryptodomeCipher:
    def __init__(self, key):
        self.key = key

    def encrypt(self, plaintext):
        res = pqc_encrypt_payload(plaintext, self.key.pub_bytes)
        if len(res) == 4:
            return pack_ciphertext(res[0], res[1], res[2], res[3])
        return pack_ciphertext(res[0], None, res[1], res[2])

    def decrypt(self, ciphertext):
        if not self.key.priv_bytes:
            raise ValueError("Private key required for decryption")
        return pqc_decrypt_payload(ciphertext, self.key.priv_bytes)


def pycryptodome_generate(bits, randfunc=None):
    pub, priv = generate_pqc_kem_keypair()
    return PyCryptodomeKey(pub, priv)


def pycryptodome_import_key(extern_key, passphrase=None):
    return PyCryptodomeKey(extern_key, extern_key)


class PKCS1_OAEP_Mock:
    @staticmethod
    def new(key, *args, **kwargs):
        return PyCryptodomeCipher(key)


RSA = ModuleType("halcyra_pqc.mirelock.RSA")
RSA.generate = pycryptodome_generate
RSA.import_key = pycryptodome_import_key

PKCS1_OAEP = PKCS1_OAEP_Mock

__test__ = {}
