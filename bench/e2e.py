"""End to end with the real core, against the `rsa` package and PyCryptodome.

Every side uses 3072-bit RSA: ferrovan and mirelock through the hybrid ML-KEM-768 + RSA-3072
keys of the core, `rsa` with its PKCS#1 v1.5 encryption and signatures, PyCryptodome with
PKCS1_OAEP and pkcs1_15 signatures over SHA-256. The peers' encryption takes a message only
up to the key's size, so they run at 32 bytes alone.

Keys are made once by `prepare` (the `rsa` package needs up to a minute for one) and read by
every worker process from the key directory; the key generation benchmarks make new ones.

Run by runner.py as a pyperf script, once per group: `python e2e.py --group NAME --keys DIR`.
"""

import os
from dataclasses import dataclass
from pathlib import Path
from time import perf_counter

import pyperf

SIZES = {"32 B": 32, "1 KiB": 1024, "1 MiB": 1024 * 1024}
SIGNED_MESSAGE = b"m" * 1024
PEERS_FIT = ("32 B",)


@dataclass(frozen=True)
class Op:
    group: str
    operation: str  # the row of the results table
    side: str  # ferrovan, mirelock, rsa or PyCryptodome
    make: str  # name of the function below that returns the timed callable


def prepare(keys: Path) -> None:
    """Makes the key files the workers read, unless they exist."""
    keys.mkdir(parents=True, exist_ok=True)
    if not (keys / "hybrid.priv").exists():
        import halcyra_pqc

        public, private = halcyra_pqc.generate_pqc_kem_keypair()
        (keys / "hybrid.pub").write_bytes(public)
        (keys / "hybrid.priv").write_bytes(private)
    if not (keys / "rsa.pem").exists():
        import rsa

        _, private = rsa.newkeys(3072)
        (keys / "rsa.pem").write_bytes(private.save_pkcs1())
    if not (keys / "pycryptodome.pem").exists():
        from Crypto.PublicKey import RSA

        (keys / "pycryptodome.pem").write_bytes(RSA.generate(3072).export_key())


class Keys:
    def __init__(self, directory: Path) -> None:
        self.directory = directory

    def hybrid(self) -> tuple[bytes, bytes]:
        return (self.directory / "hybrid.pub").read_bytes(), (self.directory / "hybrid.priv").read_bytes()

    def rsa(self):
        import rsa

        private = rsa.PrivateKey.load_pkcs1((self.directory / "rsa.pem").read_bytes())
        return rsa.PublicKey(private.n, private.e), private

    def pycryptodome(self):
        from Crypto.PublicKey import RSA

        return RSA.import_key((self.directory / "pycryptodome.pem").read_bytes())


# Each maker returns a callable of no arguments doing one operation.


def keygen_ferrovan(keys, size):
    import halcyra_pqc.ferrovan as ferrovan

    return lambda: ferrovan.newkeys(3072)


def keygen_mirelock(keys, size):
    from halcyra_pqc.mirelock import RSA

    return lambda: RSA.generate(3072)


def keygen_rsa(keys, size):
    import rsa

    return lambda: rsa.newkeys(3072)


def keygen_pycryptodome(keys, size):
    from Crypto.PublicKey import RSA

    return lambda: RSA.generate(3072)


def encrypt_ferrovan(keys, size):
    import halcyra_pqc.ferrovan as ferrovan

    public, _ = keys.hybrid()
    key, message = ferrovan.PublicKey(public), os.urandom(size)
    return lambda: ferrovan.encrypt(message, key)


def decrypt_ferrovan(keys, size):
    import halcyra_pqc.ferrovan as ferrovan

    public, private = keys.hybrid()
    key, message = ferrovan.PrivateKey(private), os.urandom(size)
    packed = ferrovan.encrypt(message, ferrovan.PublicKey(public))
    return lambda: ferrovan.decrypt(packed, key)


def encrypt_mirelock(keys, size):
    from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

    public, private = keys.hybrid()
    cipher, message = PKCS1_OAEP.new(RSA.import_key(public)), os.urandom(size)
    return lambda: cipher.encrypt(message)


def decrypt_mirelock(keys, size):
    from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

    public, private = keys.hybrid()
    cipher, message = PKCS1_OAEP.new(RSA.import_key(private)), os.urandom(size)
    packed = cipher.encrypt(message)
    return lambda: cipher.decrypt(packed)


def encrypt_rsa(keys, size):
    import rsa

    public, _ = keys.rsa()
    message = os.urandom(size)
    return lambda: rsa.encrypt(message, public)


def decrypt_rsa(keys, size):
    import rsa

    public, private = keys.rsa()
    crypto = rsa.encrypt(os.urandom(size), public)
    return lambda: rsa.decrypt(crypto, private)


def encrypt_pycryptodome(keys, size):
    from Crypto.Cipher import PKCS1_OAEP

    cipher, message = PKCS1_OAEP.new(keys.pycryptodome().publickey()), os.urandom(size)
    return lambda: cipher.encrypt(message)


def decrypt_pycryptodome(keys, size):
    from Crypto.Cipher import PKCS1_OAEP

    key = keys.pycryptodome()
    crypto = PKCS1_OAEP.new(key.publickey()).encrypt(os.urandom(size))
    cipher = PKCS1_OAEP.new(key)
    return lambda: cipher.decrypt(crypto)


def sign_ferrovan(keys, size):
    import halcyra_pqc.ferrovan as ferrovan

    key = ferrovan.PrivateKey(keys.hybrid()[1])
    return lambda: ferrovan.sign(SIGNED_MESSAGE, key, "SHA-256")


def verify_ferrovan(keys, size):
    import halcyra_pqc.ferrovan as ferrovan

    public, private = keys.hybrid()
    signature = ferrovan.sign(SIGNED_MESSAGE, ferrovan.PrivateKey(private), "SHA-256")
    key = ferrovan.PublicKey(public)
    return lambda: ferrovan.verify(SIGNED_MESSAGE, signature, key)


def sign_hash_ferrovan(keys, size):
    import hashlib

    import halcyra_pqc.ferrovan as ferrovan

    key, digest = ferrovan.PrivateKey(keys.hybrid()[1]), hashlib.sha256(SIGNED_MESSAGE).digest()
    return lambda: ferrovan.sign_hash(digest, key, "SHA-256")


def sign_rsa(keys, size):
    import rsa

    _, private = keys.rsa()
    return lambda: rsa.sign(SIGNED_MESSAGE, private, "SHA-256")


def verify_rsa(keys, size):
    import rsa

    public, private = keys.rsa()
    signature = rsa.sign(SIGNED_MESSAGE, private, "SHA-256")
    return lambda: rsa.verify(SIGNED_MESSAGE, signature, public)


def sign_hash_rsa(keys, size):
    import hashlib

    import rsa

    _, private = keys.rsa()
    digest = hashlib.sha256(SIGNED_MESSAGE).digest()
    return lambda: rsa.sign_hash(digest, private, "SHA-256")


def sign_pycryptodome(keys, size):
    from Crypto.Hash import SHA256
    from Crypto.Signature import pkcs1_15

    signer = pkcs1_15.new(keys.pycryptodome())
    return lambda: signer.sign(SHA256.new(SIGNED_MESSAGE))


def verify_pycryptodome(keys, size):
    from Crypto.Hash import SHA256
    from Crypto.Signature import pkcs1_15

    key = keys.pycryptodome()
    signature = pkcs1_15.new(key).sign(SHA256.new(SIGNED_MESSAGE))
    verifier = pkcs1_15.new(key.publickey())
    return lambda: verifier.verify(SHA256.new(SIGNED_MESSAGE), signature)


SIDES = ("ferrovan", "mirelock", "rsa", "PyCryptodome")


def operations() -> list[tuple[Op, int]]:
    ops = [(Op("keygen", "key generation", side, f"keygen_{side.lower()}"), 0) for side in SIDES if side != "rsa"]
    ops.append((Op("keygen-rsa", "key generation", "rsa", "keygen_rsa"), 0))
    for label, size in SIZES.items():
        for side in SIDES:
            if side in ("rsa", "PyCryptodome") and label not in PEERS_FIT:
                continue
            for action in ("encrypt", "decrypt"):
                ops.append((Op("ops", f"{action} {label}", side, f"{action}_{side.lower()}"), size))
    for side in ("ferrovan", "rsa", "PyCryptodome"):
        for action in ("sign", "verify"):
            ops.append((Op("ops", f"{action} 1 KiB (SHA-256)", side, f"{action}_{side.lower()}"), 0))
    for side in ("ferrovan", "rsa"):
        ops.append((Op("ops", "sign_hash (SHA-256)", side, f"sign_hash_{side.lower()}"), 0))
    return ops


def benchmark_name(op: Op) -> str:
    return f"e2e/{op.operation}/{op.side}"


class Timer:
    """Builds its operation in the worker on first use, from the prepared keys."""

    def __init__(self, op: Op, size: int, keys: Path) -> None:
        self.op, self.size, self.keys, self.call = op, size, keys, None

    def __call__(self, loops: int) -> float:
        if self.call is None:
            self.call = globals()[self.op.make](Keys(self.keys), self.size)
        call = self.call
        start = perf_counter()
        for _ in range(loops):
            call()
        return perf_counter() - start


def main() -> None:
    def pass_options(cmd, args):
        cmd.extend(["--group", args.group, "--keys", args.keys])

    runner = pyperf.Runner(add_cmdline_args=pass_options)
    runner.argparser.add_argument("--group", required=True)
    runner.argparser.add_argument("--keys", required=True)
    args = runner.parse_args()
    runner.metadata["description"] = f"end to end, group {args.group}"
    for op, size in operations():
        if op.group == args.group:
            runner.bench_time_func(benchmark_name(op), Timer(op, size, Path(args.keys)))


if __name__ == "__main__":
    main()
