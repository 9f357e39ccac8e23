"""Layer cost: every function and method of both modules over the trivial core, three ways.

- native: the extension module;
- baseline: the same module written in plain Python, its twin (twins/ferrovan.py,
  twins/mirelock.py at the top of the repository);
- direct: the shortest plain Python at the call site that gets the same result from the same
  core objects, with no module function in between.

Failing calls (binding errors, type errors, the errors the bodies raise themselves) are timed
for native and baseline, each caught by the benchmark loop.

Run by runner.py as a pyperf script; `python layer.py --help` lists pyperf's options.
"""

import importlib
import sys
from dataclasses import dataclass
from itertools import repeat
from pathlib import Path
from time import perf_counter

import pyperf

import trivial

# The twins live beside the tests that compare them with the native modules; the package
# itself still comes from the environment, never from the checkout.
sys.path.insert(1, str(Path(__file__).resolve().parent.parent))

# Each timed loop iteration makes this many calls, so the loop's own cost is spread thin.
UNROLL = 20


@dataclass(frozen=True)
class Case:
    module: str
    name: str
    call: str  # the timed statement, the same text for native and baseline
    direct: str | None  # the same result with no module function; None for failing calls
    catch: str | None = None  # the exception a failing call raises
    setup: str | None = None  # run once in the namespace before timing


FERROVAN = [
    Case("ferrovan", "PublicKey(key_bytes)", "PublicKey(PUB)", "o = new(PublicKey); o.key_bytes = PUB"),
    Case("ferrovan", "PublicKey.load_pkcs1", "PublicKey.load_pkcs1(PUB)", "o = new(PublicKey); o.key_bytes = PUB"),
    Case("ferrovan", "PublicKey.save_pkcs1", "pub.save_pkcs1()", "pub.key_bytes"),
    Case("ferrovan", "PrivateKey(key_bytes)", "PrivateKey(PRIV)", "o = new(PrivateKey); o.key_bytes = PRIV"),
    Case("ferrovan", "PrivateKey.load_pkcs1", "PrivateKey.load_pkcs1(PRIV)", "o = new(PrivateKey); o.key_bytes = PRIV"),
    Case("ferrovan", "PrivateKey.save_pkcs1", "priv.save_pkcs1()", "priv.key_bytes"),
    Case(
        "ferrovan",
        "newkeys",
        "newkeys(3072)",
        "p, q = generate_pqc_kem_keypair(); a = new(PublicKey); a.key_bytes = p; "
        "b = new(PrivateKey); b.key_bytes = q; (a, b)",
    ),
    Case(
        "ferrovan",
        "_get_inner_private_key",
        "_get_inner_private_key(priv)",
        'serialization.load_der_private_key(base64.b64decode(json.loads(PRIV.decode("utf-8"))["rsa"]), password=None)',
    ),
    Case(
        "ferrovan",
        "_get_inner_public_key",
        "_get_inner_public_key(pub)",
        'serialization.load_der_public_key(base64.b64decode(json.loads(PUB.decode("utf-8"))["rsa"]))',
    ),
    Case("ferrovan", "encrypt", "encrypt(MSG, pub)", "r = pqc_encrypt_payload(MSG, PUB); pack_ciphertext(r[0], r[1], r[2], r[3])"),
    Case("ferrovan", "decrypt", "decrypt(PACKED, priv)", "pqc_decrypt_payload(PACKED, PRIV)"),
    Case(
        "ferrovan",
        "sign",
        'sign(MSG, priv, "SHA-256")',
        'serialization.load_der_private_key(base64.b64decode(json.loads(PRIV.decode("utf-8"))["rsa"]), password=None)'
        ".sign(MSG, padding.PKCS1v15(), hashes.SHA256())",
    ),
    Case(
        "ferrovan",
        "verify",
        "verify(MSG, SIG, pub)",
        'serialization.load_der_public_key(base64.b64decode(json.loads(PUB.decode("utf-8"))["rsa"]))'
        '.verify(SIG, MSG, padding.PKCS1v15(), hashes.SHA256()); "SHA-256"',
    ),
    Case(
        "ferrovan",
        "compute_hash",
        'compute_hash(MSG, "SHA-256")',
        "d = hashes.Hash(hashes.SHA256()); d.update(MSG); d.finalize()",
    ),
    Case(
        "ferrovan",
        "sign_hash",
        'sign_hash(DIGEST, priv, "SHA-256")',
        'serialization.load_der_private_key(base64.b64decode(json.loads(PRIV.decode("utf-8"))["rsa"]), password=None)'
        ".sign(DIGEST, padding.PKCS1v15(), Prehashed(hashes.SHA256()))",
    ),
    Case(
        "ferrovan",
        "find_signature_hash",
        "find_signature_hash(BLOCK)",
        "BLOCK[-51:].startswith(SHA256_INFO) and 'SHA-256'",
    ),
    # Failing calls.
    Case("ferrovan", "encrypt: missing argument", "encrypt(MSG)", None, "TypeError"),
    Case("ferrovan", "encrypt: unknown keyword", "encrypt(MSG, pub, mode=1)", None, "TypeError"),
    Case("ferrovan", "compute_hash: wrong exact type", 'compute_hash(BYTEARRAY, "SHA-256")', None, "TypeError"),
    Case(
        "ferrovan",
        "decrypt: the core fails",
        "decrypt(PACKED, priv)",
        None,
        "DecryptionError",
        setup="M.pqc_decrypt_payload = trivial.failing_decrypt_payload",
    ),
]

MIRELOCK = [
    Case(
        "mirelock",
        "PyCryptodomeKey(pub, priv)",
        "PyCryptodomeKey(PUB, PRIV)",
        "o = new(PyCryptodomeKey); o.pub_bytes = PUB; o.priv_bytes = PRIV",
    ),
    Case(
        "mirelock",
        "key.publickey",
        "key.publickey()",
        "o = new(PyCryptodomeKey); o.pub_bytes = key.pub_bytes; o.priv_bytes = None",
    ),
    Case("mirelock", "key.export_key", "key.export_key()", "key.priv_bytes if key.priv_bytes else key.pub_bytes"),
    Case(
        "mirelock",
        "RSA.generate",
        "RSA.generate(3072)",
        "p, q = generate_pqc_kem_keypair(); o = new(PyCryptodomeKey); o.pub_bytes = p; o.priv_bytes = q",
    ),
    Case(
        "mirelock",
        "RSA.import_key",
        "RSA.import_key(PUB)",
        "p, q = trivial._import_key_pair(PUB, None); o = new(PyCryptodomeKey); o.pub_bytes = p; o.priv_bytes = q",
    ),
    Case("mirelock", "PKCS1_OAEP.new", "PKCS1_OAEP.new(key)", "c = new(PyCryptodomeCipher); c.key = key"),
    Case(
        "mirelock",
        "cipher.encrypt",
        "cipher.encrypt(MSG)",
        "r = pqc_encrypt_payload(MSG, key.pub_bytes); pack_ciphertext(r[0], r[1], r[2], r[3])",
    ),
    Case("mirelock", "cipher.decrypt", "cipher.decrypt(PACKED)", "pqc_decrypt_payload(PACKED, key.priv_bytes)"),
    # Failing calls.
    Case("mirelock", "PyCryptodomeKey: missing argument", "PyCryptodomeKey()", None, "TypeError"),
    Case("mirelock", "key.publickey: extra argument", "key.publickey(1)", None, "TypeError"),
    Case("mirelock", "cipher.decrypt: public key", "public_cipher.decrypt(PACKED)", None, "ValueError"),
]

CASES = FERROVAN + MIRELOCK


def load(module: str, variant: str):
    if variant == "baseline":
        return importlib.import_module(f"twins.{module}")
    return importlib.import_module(f"halcyra_pqc.{module}")


def namespace(case: Case, variant: str) -> dict:
    """The globals the timed statement runs in: the module's names, as `from module import *`
    would bind them, the core, and the fixtures."""
    module = load(case.module, "native" if variant == "direct" else variant)
    trivial.install(module)
    ns = {name: value for name, value in vars(module).items() if not name.startswith("__")}
    ns.update(trivial.GLOBALS)
    ns.update(
        M=module,
        trivial=trivial,
        new=object.__new__,
        PUB=trivial.PUBLIC_BYTES,
        PRIV=trivial.PRIVATE_BYTES,
        MSG=trivial.MESSAGE,
        BYTEARRAY=bytearray(trivial.MESSAGE),
        PACKED=trivial.PACKED,
        SIG=trivial.SIGNATURE,
        DIGEST=trivial.DIGEST,
        BLOCK=trivial.SIGNATURE_BLOCK,
        SHA256_INFO=bytes.fromhex("3031300d060960864801650304020105000420"),
    )
    if case.module == "ferrovan":
        ns.update(pub=module.PublicKey(trivial.PUBLIC_BYTES), priv=module.PrivateKey(trivial.PRIVATE_BYTES))
    else:
        key = module.PyCryptodomeKey(trivial.PUBLIC_BYTES, trivial.PRIVATE_BYTES)
        public = module.PyCryptodomeKey(trivial.PUBLIC_BYTES)
        ns.update(key=key, cipher=module.PKCS1_OAEP.new(key), public_cipher=module.PKCS1_OAEP.new(public))
    return ns


def statement(case: Case, variant: str) -> str:
    if variant == "direct":
        return case.direct.replace("; ", "\n")
    if case.catch is None:
        return case.call
    return f"try:\n    {case.call}\nexcept {case.catch}:\n    pass"


def build_timer(case: Case, variant: str):
    ns = namespace(case, variant)
    if case.setup:
        exec(case.setup, ns)
    body = "\n".join("        " + line for _ in range(UNROLL) for line in statement(case, variant).splitlines())
    source = (
        "def timer(loops):\n"
        "    iterations = repeat(None, loops)\n"
        "    start = perf_counter()\n"
        "    for _ in iterations:\n"
        f"{body}\n"
        "    return perf_counter() - start\n"
    )
    ns.update(repeat=repeat, perf_counter=perf_counter)
    exec(compile(source, f"<{case.module} {case.name} {variant}>", "exec"), ns)
    return ns["timer"]


class Timer:
    """Built on first use: a worker process runs one benchmark, and the setup of a failing
    case rebinds module globals that the other cases need intact."""

    def __init__(self, case: Case, variant: str) -> None:
        self.case, self.variant, self.run = case, variant, None

    def __call__(self, loops: int) -> float:
        if self.run is None:
            self.run = build_timer(self.case, self.variant)
        return self.run(loops)


def variants(case: Case) -> tuple[str, ...]:
    return ("native", "baseline") if case.direct is None else ("native", "baseline", "direct")


def benchmark_name(case: Case, variant: str) -> str:
    return f"layer/{case.module}/{case.name}/{variant}"


def main() -> None:
    runner = pyperf.Runner()
    runner.metadata["description"] = "layer cost over the trivial core"
    for case in CASES:
        for variant in variants(case):
            runner.bench_time_func(benchmark_name(case, variant), Timer(case, variant), inner_loops=UNROLL)


if __name__ == "__main__":
    main()
