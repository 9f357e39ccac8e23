"""The RSA private-key operation itself, m = c**d mod n, which `cryptography` does not expose.

Converting stored classic ciphertexts offline needs the encoded message, to check its padding
explicitly: `cryptography`'s PKCS#1 v1.5 decryption hides a bad padding behind implicit
rejection, as it must where others choose the ciphertexts. The operation is blinded, runs in
time independent of the private exponent's value (GMP's mpz_powm_sec, through gmpy2), uses
the Chinese remainder theorem, and is checked with the public exponent before its result is
used, so a computational fault never yields a wrong message or leaks a factor.
"""

import secrets

from cryptography.hazmat.primitives.asymmetric import rsa


def decrypt(key: rsa.RSAPrivateKey, ciphertext: bytes) -> bytes | None:
    """The encoded message of `ciphertext`, in the modulus size, or None when the ciphertext
    is not a number below the modulus."""
    # Imported here: only offline conversions need it, and its import takes a tenth of a
    # second that no other use of the package should pay.
    import gmpy2

    numbers = key.private_numbers()
    n, e = gmpy2.mpz(numbers.public_numbers.n), numbers.public_numbers.e
    c = gmpy2.mpz(int.from_bytes(ciphertext, "big"))
    if c >= n:
        return None
    # The exponentiations see c * r**e for a fresh random r, unrelated to c, so their timing
    # says nothing about the ciphertext.
    r = gmpy2.mpz(secrets.randbelow(n - 2) + 2)
    while gmpy2.gcd(r, n) != 1:
        r = gmpy2.mpz(secrets.randbelow(n - 2) + 2)
    blinded = c * gmpy2.powmod(r, e, n) % n
    p, q = gmpy2.mpz(numbers.p), gmpy2.mpz(numbers.q)
    m_p = gmpy2.powmod_sec(blinded % p, numbers.dmp1, p)
    m_q = gmpy2.powmod_sec(blinded % q, numbers.dmq1, q)
    m = (m_q + numbers.iqmp * (m_p - m_q) % p * q) * gmpy2.invert(r, n) % n
    if gmpy2.powmod(m, e, n) != c:
        # Only a fault in the arithmetic gets here (keys are checked when read); a faulty
        # CRT result would reveal a prime factor, so it is never used.
        raise ValueError("the RSA private-key operation failed its check")
    return int(m).to_bytes((n.bit_length() + 7) // 8, "big")
