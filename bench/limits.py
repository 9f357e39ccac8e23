"""Costs of the core's input limits and key memory, measured once, for docs/migration.md and
docs/security.md:

    python bench/limits.py            # about five minutes (it makes 8192-bit keys)

- the one-time check of a classic private key at each accepted size, at the edge of the
  prime-size rule (one prime at 9/16 of the modulus) and balanced, with the loader's own
  validation beside it for comparison;
- a refused key's second refusal;
- decryption with 32, 33 and 1,000 private keys in rotation (past the parsed-key cache);
- a strided view that claims gigabytes, refused before any copy;
- signing through ferrovan with large classic keys, whose load the module contract fixes.

Wall-clock figures on a shared machine: read them as orders of magnitude.
"""

import statistics
import time

from Crypto.Util.number import getPrime
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

import halcyra_pqc as hp
from halcyra_pqc import ferrovan
from halcyra_pqc._key_reader import load_exact


def timed(call, repeat=1):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def pkcs1(key):
    return key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.TraditionalOpenSSL,
                             serialization.NoEncryption())


def with_primes(p_bits, q_bits, e=65537):
    while True:
        p, q = getPrime(p_bits), getPrime(q_bits)
        if (p * q).bit_length() != p_bits + q_bits:
            continue
        phi = (p - 1) * (q - 1)
        try:
            d = pow(e, -1, phi)
        except ValueError:
            continue
        numbers = rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1), pow(q, -1, p),
                                        rsa.RSAPublicNumbers(e, p * q))
        return numbers.private_key(unsafe_skip_rsa_key_validation=True)


def check_times():
    print("| modulus | primes | check here | loader's validation |")
    print("|---:|---|---:|---:|")
    for bits in (512, 1024, 2048, 3072, 4096, 6144, 8192):
        balanced = (rsa.generate_private_key(public_exponent=65537, key_size=bits) if bits >= 1024
                    else with_primes(bits // 2, bits - bits // 2))
        cases = [("balanced", balanced)]
        big = (9 * bits) // 16
        cases.append((f"{big} + {bits - big} bits", with_primes(big, bits - big)))
        for name, key in cases:
            der = pkcs1(key)
            ours = timed(lambda: load_exact(der))  # first sight: the full check
            theirs = timed(lambda: serialization.load_der_private_key(der, None))
            print(f"| {key.key_size} | {name} | {ours * 1000:.0f} ms | {theirs * 1000:.0f} ms |", flush=True)


def refusal():
    key = rsa.generate_private_key(public_exponent=65537, key_size=8192)
    n = key.private_numbers()
    broken = rsa.RSAPrivateNumbers(n.p, n.q, n.d, n.dmp1 ^ 2, n.dmq1, n.iqmp, n.public_numbers)
    der = pkcs1(broken.private_key(unsafe_skip_rsa_key_validation=True))

    def refuse():
        try:
            hp.pqc_decrypt_payload(bytes(1024), der)
        except ValueError:
            pass

    first, again = timed(refuse), timed(refuse, 5)
    print(f"- inconsistent 8192-bit key: first refusal {first * 1000:.0f} ms, later ones {again * 1e6:.0f} µs")


def rotation():
    base_pub, base_priv = hp.generate_pqc_kem_keypair()
    import json
    template = json.loads(base_priv)
    pairs = []
    for count in range(1000):
        pub, priv = hp.generate_mlkem_keypair()
        seed = json.loads(priv)["mlkem"]
        private = json.dumps({**template, "mlkem": seed}, separators=(",", ":")).encode()
        public = hp.public_key_bytes(private)
        pairs.append((hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"m" * 1024, public)), private))
    for size in (32, 33, 1000):
        group = pairs[:size]
        for packed, private in group:  # the first sight of each key: its check
            hp.pqc_decrypt_payload(packed, private)
        rounds = max(1, 3000 // size)

        def cycle():
            for _ in range(rounds):
                for packed, private in group:
                    hp.pqc_decrypt_payload(packed, private)

        per_call = timed(cycle) / (rounds * size)
        print(f"- {size} private keys in rotation: {per_call * 1000:.2f} ms per decryption")


def strided_view():
    import mmap
    flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | mmap.MAP_NORESERVE
    _, private = hp.generate_mlkem_keypair()
    for claimed in (3 * 2**30, 2**40):
        with mmap.mmap(-1, 2 * claimed, flags=flags) as area:
            view = memoryview(area)[::2]  # never touched: the pages are not even mapped in

            def refuse():
                try:
                    hp.pqc_decrypt_payload(view, private)
                except ValueError:
                    pass

            print(f"- a strided view claiming {claimed / 2**30:g} GiB as a ciphertext: refused in "
                  f"{timed(refuse) * 1e6:.0f} µs")
            view.release()


def signing():
    for bits in (4096, 8192, 15360):
        key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
        der = pkcs1(key)
        cost = timed(lambda: ferrovan.sign(b"message", der, "SHA-256"))
        print(f"- ferrovan.sign with a {bits}-bit key: {cost:.1f} s per call", flush=True)


if __name__ == "__main__":
    check_times()
    refusal()
    rotation()
    strided_view()
    signing()
