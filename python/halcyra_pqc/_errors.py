"""Error texts that must stay identical wherever they are raised."""

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
