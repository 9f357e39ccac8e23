"""Error texts that must stay identical wherever they are raised.

Every error of the core is raised outside the handler of whatever it replaces, so no
exception it raises keeps an inner one (and the key text or plaintext that the inner one may
hold) as its context.
"""

# Every authentication failure reports this same text, so a caller (or an attacker probing
# with modified ciphertexts) cannot tell which step rejected the data.
AUTHENTICATION_FAILED = "decryption failed: wrong key, or the ciphertext was modified"

PUBLIC_KEY_CANNOT_DECRYPT = "a public key cannot decrypt: pass the private key bytes"

NO_POST_QUANTUM_HALF = (
    "this is a classic RSA key with no post-quantum half, and new data is never encrypted "
    "to classic RSA alone: make a hybrid key pair with generate_pqc_kem_keypair() "
    "(rsa.newkeys() through ferrovan, RSA.generate() through mirelock) and encrypt to its "
    "public key; the classic private key still decrypts data made before the switch"
)

KEY_IS_PROTECTED = (
    "the private key is protected by a pass phrase: unprotect it first with "
    "halcyra_pqc.unprotect_private_key(key_bytes, passphrase) "
    "(RSA.import_key(key_bytes, passphrase) through mirelock)"
)

WRONG_PASSPHRASE = "wrong pass phrase, or the protected key was modified"


def invalid_key(reason: str) -> ValueError:
    return ValueError(f"invalid key bytes: {reason}")


def no_context_bound(what: str) -> str:
    return f"{what} binds no context: decrypt it without one"
