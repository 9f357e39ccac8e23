"""The cost of the ciphertext format: the core's encrypt and decrypt alone, for both key kinds,
timed in one process with the key cache warm.

Run it once per tree to compare two formats on the same machine in the same minute:

    PYTHONPATH=<tree>/python python bench/format_cost.py [--rounds N]

It prints the median and the spread (the middle half of the rounds) in microseconds.
"""

import argparse
import statistics
import time

import halcyra_pqc as hp

SIZES = {"32 B": 32, "1 KiB": 1024, "1 MiB": 2**20}


def packed(message, public):
    pieces = hp.pqc_encrypt_payload(message, public)
    if len(pieces) == 3:
        pieces = (pieces[0], None, *pieces[1:])
    return hp.pack_ciphertext(*pieces)


def timed(call, rounds, inner):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(inner):
            call()
        samples.append((time.perf_counter() - start) / inner * 1e6)
    quartiles = statistics.quantiles(samples, n=4)
    return statistics.median(samples), quartiles[0], quartiles[2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=31)
    args = parser.parse_args()
    pairs = {"hybrid": hp.generate_pqc_kem_keypair(), "ML-KEM": hp.generate_mlkem_keypair()}
    print(f"{'operation':<28}{'median µs':>12}{'middle half':>22}")
    for kind, (public, private) in pairs.items():
        for size_name, size in SIZES.items():
            message = bytes(size)
            ciphertext = packed(message, public)
            inner = 2 if size >= 2**20 else 20
            for operation, call in (("encrypt", lambda: packed(message, public)),
                                    ("decrypt", lambda: hp.pqc_decrypt_payload(ciphertext, private))):
                call()
                median, low, high = timed(call, args.rounds, inner)
                print(f"{kind + ' ' + operation + ' ' + size_name:<28}{median:>12.1f}{low:>11.1f} – {high:<9.1f}")


if __name__ == "__main__":
    main()
