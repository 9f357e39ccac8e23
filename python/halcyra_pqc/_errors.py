"""Error texts that must stay identical wherever they are raised."""

# Every authentication failure reports this same text, so a caller (or an attacker probing
# with modified ciphertexts) cannot tell which step rejected the data.
AUTHENTICATION_FAILED = "decryption failed: wrong key, or the ciphertext was modified"

PUBLIC_KEY_CANNOT_DECRYPT = "a public key cannot decrypt: pass the private key bytes"
