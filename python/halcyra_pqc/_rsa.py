"""RSA keys inside key bytes, hybrid and classic alike: read without the loader's own
validation, held to bounds that limit every later cost, and checked for consistency once.

The loader's validation runs 64 Miller-Rabin rounds on each prime, which takes seconds for
the larger classic keys (about 4 s for 8192 bits here). The check below instead tests every
relation between the key's numbers exactly, so any damaged or mismatched number is caught,
and each prime with one strong probable-prime test; an 8192-bit key takes about a third of
a second, a 3072-bit one a few hundredths. Keys are only ever used by whoever holds them,
to decrypt their own data, so the check guards against damage, not against a key's owner.
"""

from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives.asymmetric import rsa

from ._errors import invalid_key
from ._params import (
    RSA_MAX_PUBLIC_EXPONENT,
    RSA_MIN_PUBLIC_EXPONENT,
    RSA_PRIME_MAX_SIXTEENTHS,
    RSA_PRIME_MIN_SIXTEENTHS,
)

# What read_private() finds besides an RSA private key.
ENCRYPTED = "encrypted"
NOT_RSA_PRIVATE = "not an RSA private key"


def read_private(data: bytes, load) -> rsa.RSAPrivateKey | str:
    """The RSA private key that `load` (a `cryptography` private-key loader) reads from `data`
    without validating it, or ENCRYPTED, or NOT_RSA_PRIVATE."""
    try:
        key = load(data, password=None, unsafe_skip_rsa_key_validation=True)
    except TypeError:
        # The loader's way of saying that the key needs a password.
        key = ENCRYPTED
    except (ValueError, UnsupportedAlgorithm):
        key = NOT_RSA_PRIVATE
    if key is ENCRYPTED or isinstance(key, rsa.RSAPrivateKey):
        return key
    return NOT_RSA_PRIVATE


def read_public(data: bytes, load) -> rsa.RSAPublicKey | None:
    """The RSA public key that `load` reads from `data`, or None."""
    try:
        key = load(data)
    except (ValueError, UnsupportedAlgorithm):
        key = None
    return key if isinstance(key, rsa.RSAPublicKey) else None


def check_public(key: rsa.RSAPublicKey, *, min_bits: int | None = None, max_bits: int | None = None) -> None:
    """Refuses a public exponent outside the accepted range and, for a key that is encrypted
    to (bounds given), a modulus outside the bounds or with a small prime factor."""
    numbers = key.public_numbers()
    if min_bits is not None:
        _check_size(key.key_size, min_bits, max_bits)
        # No product of two large primes has one; an even modulus would also fail inside the
        # backend's encryption with an error of its own.
        if numbers.n % 2 == 0 or any(numbers.n % f == 0 for f in _SMALL_PRIMES):
            raise invalid_key("the RSA modulus has a small prime factor, so it is not an RSA modulus")
    _check_exponent(numbers.e)


def check_private(key: rsa.RSAPrivateKey, *, min_bits: int, max_bits: int, subject: str) -> None:
    """Every bound first, then the consistency check of the whole key."""
    _check_size(key.key_size, min_bits, max_bits)
    numbers = key.private_numbers()
    _check_exponent(numbers.public_numbers.e)
    bits = key.key_size
    for prime in (numbers.p, numbers.q):
        if not RSA_PRIME_MIN_SIXTEENTHS * bits <= 16 * prime.bit_length() <= RSA_PRIME_MAX_SIXTEENTHS * bits:
            raise invalid_key(
                f"each prime factor of {subject} must have {RSA_PRIME_MIN_SIXTEENTHS}/16 to "
                f"{RSA_PRIME_MAX_SIXTEENTHS}/16 of the modulus's bits"
            )
    if not _consistent(numbers):
        raise invalid_key(f"{subject} is an inconsistent RSA private key")


def _check_size(bits: int, min_bits: int, max_bits: int) -> None:
    if not min_bits <= bits <= max_bits:
        raise invalid_key(f"the RSA key has {bits} bits; {min_bits} to {max_bits} are accepted")


def _check_exponent(e: int) -> None:
    if e % 2 == 0 or not RSA_MIN_PUBLIC_EXPONENT <= e <= RSA_MAX_PUBLIC_EXPONENT:
        raise invalid_key(
            f"the RSA public exponent must be odd and from {RSA_MIN_PUBLIC_EXPONENT} to 2**64 - 1"
        )


def _consistent(numbers: rsa.RSAPrivateNumbers) -> bool:
    p, q, d = numbers.p, numbers.q, numbers.d
    n, e = numbers.public_numbers.n, numbers.public_numbers.e
    if p == q or p * q != n or not 0 < d < n:
        return False
    # e * d = 1 modulo both p - 1 and q - 1, so modulo their least common multiple.
    if (e * d - 1) % (p - 1) or (e * d - 1) % (q - 1):
        return False
    if numbers.dmp1 != d % (p - 1) or numbers.dmq1 != d % (q - 1):
        return False
    if not 0 < numbers.iqmp < p or numbers.iqmp * q % p != 1:
        return False
    return _probable_prime(p) and _probable_prime(q)


_SMALL_PRIMES = tuple(m for m in range(3, 1000, 2) if all(m % f for f in range(3, int(m**0.5) + 1, 2)))


def _probable_prime(m: int) -> bool:
    """Trial division by the odd primes below 1000, then the strong probable-prime test to
    base 2. The primes here have at least 224 bits, far above the divisors."""
    if m % 2 == 0 or any(m % f == 0 for f in _SMALL_PRIMES):
        return False
    d, s = m - 1, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    x = pow(2, d, m)
    if x in (1, m - 1):
        return True
    for _ in range(s - 1):
        x = x * x % m
        if x == m - 1:
            return True
    return False
