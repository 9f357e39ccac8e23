"""The cost of ciphertext format version 2 against version 1, for encrypt and decrypt.

Both versions run in one process, their rounds interleaved, so that a busy machine slows
both alike; each round times a batch of calls, and the fastest round of each version is the
figure (the least disturbed), with the median of the per-round ratios beside it. Decryption reads the frozen vectors: the version-1 and version-2 ciphertexts of
the same message to the same key (tests/vectors), through pqc_decrypt_payload. Encryption
is pqc_encrypt_payload and pack_ciphertext (version 2) against the same steps as version 1
made them, from the same checks of the arguments: the same encapsulation, the version-1
payload key, its header and AES-GCM.
For the ML-KEM-only form the message is the same size as the vectors' short one.

    PYTHONPATH=python python bench/format_cost.py [--rounds N]

Prints, per operation, the microseconds of each version and the ratio version 2 / version 1.
"""

import argparse
import os
import statistics
import time
from pathlib import Path

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import halcyra_pqc as hp
from halcyra_pqc._envelope import pack_ciphertext, pack_header
from halcyra_pqc._inputs import at_most, exact_bytes, key_data
from halcyra_pqc._kem import encapsulate, version1_payload_key
from halcyra_pqc._params import MAX_MESSAGE_SIZE
from halcyra_pqc._sealing import post_quantum_key

VECTORS = Path(__file__).resolve().parents[1] / "tests" / "vectors"
INNER = 20


def version1_encrypt(message: bytes, public: bytes) -> bytes:
    message = exact_bytes(message, "message", at_most(MAX_MESSAGE_SIZE, "message"))
    key = post_quantum_key(key_data(public, "public_key_bytes"))
    secrets, mlkem_ct, rsa_ct = encapsulate(key)
    nonce = os.urandom(12)
    sealed = AESGCM(version1_payload_key(key.label, secrets, mlkem_ct, rsa_ct)).encrypt(
        nonce, message, pack_header(mlkem_ct, rsa_ct, nonce, None))
    return pack_ciphertext(mlkem_ct, rsa_ct, nonce, sealed)


def version2_encrypt(message: bytes, public: bytes) -> bytes:
    pieces = hp.pqc_encrypt_payload(message, public)
    return hp.pack_ciphertext(*pieces) if len(pieces) == 4 else hp.pack_ciphertext(pieces[0], None, *pieces[1:])


def per_call(call) -> float:
    start = time.perf_counter()
    for _ in range(INNER):
        call()
    return (time.perf_counter() - start) / INNER * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=41)
    args = parser.parse_args()
    private = (VECTORS / "hybrid-private.json").read_bytes()
    public = (VECTORS / "hybrid-public.json").read_bytes()
    mlkem_public, mlkem_private = hp.generate_mlkem_keypair()
    message = bytes(58)
    hybrid_v1, hybrid_v2 = ((VECTORS / name).read_bytes() for name in ("hybrid-short.bin", "hybrid-v2-short.bin"))
    mlkem_v1 = version1_encrypt(message, mlkem_public)
    mlkem_v2 = version2_encrypt(message, mlkem_public)
    cases = {
        "hybrid encrypt": (lambda: version1_encrypt(message, public),
                           lambda: version2_encrypt(message, public)),
        "hybrid decrypt": (lambda: hp.pqc_decrypt_payload(hybrid_v1, private),
                           lambda: hp.pqc_decrypt_payload(hybrid_v2, private)),
        "ML-KEM encrypt": (lambda: version1_encrypt(message, mlkem_public),
                           lambda: version2_encrypt(message, mlkem_public)),
        "ML-KEM decrypt": (lambda: hp.pqc_decrypt_payload(mlkem_v1, mlkem_private),
                           lambda: hp.pqc_decrypt_payload(mlkem_v2, mlkem_private)),
    }
    print(f"{'operation':<18}{'version 1 µs':>14}{'version 2 µs':>14}{'ratio':>8}")
    for name, (first, second) in cases.items():
        first(), second()
        samples = [(per_call(first), per_call(second)) for _ in range(args.rounds)]
        v1, v2 = (min(s[i] for s in samples) for i in (0, 1))
        ratio = statistics.median(b / a for a, b in samples)
        print(f"{name:<18}{v1:>14.1f}{v2:>14.1f}{ratio:>8.3f}")


if __name__ == "__main__":
    main()
