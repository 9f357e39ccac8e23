"""Layer cost: every function and method of both modules over the trivial core, three ways.

- native: the extension module;
- baseline: the same module written in plain Python, its twin (twins/ferrovan.py,
  twins/mirelock.py at the top of the repository);
- direct: the shortest plain Python at the call site that gets the same result from the same
  core objects, with no module function in between.

Failing calls (binding errors, type errors, the errors the bodies raise themselves) are timed
for native and baseline, each caught by the benchmark loop.

Each case names the function it times; the call is made from the function's signature in its
twin (inspect.signature), so a signature change needs nothing here.

Run by runner.py as a pyperf script; `python layer.py --help` lists pyperf's options.
"""

import importlib
import inspect
import sys
from dataclasses import dataclass
from itertools import repeat, takewhile
from pathlib import Path
from time import perf_counter

import pyperf

import trivial

# The twins live beside the tests that compare them with the native modules; the package
# itself still comes from the environment, never from the checkout.
sys.path.insert(1, str(Path(__file__).resolve().parent.parent))

# Each timed loop iteration makes this many calls, so the loop's own cost is spread thin.
UNROLL = 20


# What each parameter gets in a timed call, by name. A call passes its function's parameters in
# order, as the twin declares them, while there is a value for them here; the rest keep their
# defaults. So the cases name functions, never restate their signatures.
ARGUMENTS = {
    "key_bytes": "PUB", "keyfile": "PUB", "keysize": "3072", "message": "MSG", "pub_key": "pub", "crypto": "PACKED",
    "priv_key": "priv", "hash_method": '"SHA-256"', "signature": "SIG", "method_name": '"SHA-256"',
    "hash_value": "DIGEST", "decrypted_signature": "BLOCK", "pub_bytes": "PUB", "priv_bytes": "PRIV", "bits": "3072",
    "extern_key": "PUB", "key": "key", "plaintext": "MSG", "ciphertext": "PACKED",
}
# The object a method is called through, by its class.
INSTANCES = {"PublicKey": "pub", "PrivateKey": "priv", "PyCryptodomeKey": "key", "PyCryptodomeCipher": "cipher"}


@dataclass(frozen=True)
class Case:
    module: str
    name: str
    function: str  # as the twin names it, e.g. "PublicKey.__init__"
    direct: str | None  # the same result with no module function; None for failing calls
    catch: str | None = None  # the exception a failing call raises
    setup: str | None = None  # run once in the namespace before timing
    reach: str | None = None  # how the call names the function, when not as the twin does
    values: tuple = ()  # (parameter, value) pairs in place of ARGUMENTS'
    change: str = ""  # "missing" (the last required argument), "extra" (positional) or "keyword" (unknown)

    @property
    def call(self) -> str:
        """The timed statement, the same text for native and baseline."""
        owner_name, _, attribute = self.function.rpartition(".")
        twin = importlib.import_module(f"twins.{self.module}")
        owner = getattr(twin, owner_name) if owner_name else None
        member = inspect.getattr_static(owner, attribute) if owner else getattr(twin, attribute)
        is_method = owner is not None and not isinstance(member, staticmethod)
        parameters = [p for p in inspect.signature(getattr(member, "__func__", member)).parameters.values()
                      if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD][is_method:]
        values = ARGUMENTS | dict(self.values)
        args = [values[p.name] for p in takewhile(lambda p: p.name in values, parameters)]
        if self.change == "missing":
            args = args[:sum(p.default is p.empty for p in parameters) - 1]
        args += {"extra": ["1"], "keyword": ["mode=1"]}.get(self.change, [])
        if self.reach is None:
            callee = owner_name if attribute == "__init__" else \
                f"{INSTANCES[owner_name]}.{attribute}" if is_method else self.function
        return f"{self.reach or callee}({', '.join(args)})"


INNER_PRIVATE = 'serialization.load_der_private_key(base64.b64decode(json.loads(PRIV.decode("utf-8"))["rsa"]), password=None)'
INNER_PUBLIC = 'serialization.load_der_public_key(base64.b64decode(json.loads(PUB.decode("utf-8"))["rsa"]))'

FERROVAN = [
    Case("ferrovan", "PublicKey(key_bytes)", "PublicKey.__init__", "o = new(PublicKey); o.key_bytes = PUB"),
    Case("ferrovan", "PublicKey.load_pkcs1", "PublicKey.load_pkcs1", "o = new(PublicKey); o.key_bytes = PUB"),
    Case("ferrovan", "PublicKey.save_pkcs1", "PublicKey.save_pkcs1", "pub.key_bytes"),
    Case("ferrovan", "PrivateKey(key_bytes)", "PrivateKey.__init__", "o = new(PrivateKey); o.key_bytes = PRIV",
         values=(("key_bytes", "PRIV"),)),
    Case("ferrovan", "PrivateKey.load_pkcs1", "PrivateKey.load_pkcs1", "o = new(PrivateKey); o.key_bytes = PRIV",
         values=(("keyfile", "PRIV"),)),
    Case("ferrovan", "PrivateKey.save_pkcs1", "PrivateKey.save_pkcs1", "priv.key_bytes"),
    Case("ferrovan", "newkeys", "newkeys", "p, q = generate_pqc_kem_keypair(); a = new(PublicKey); a.key_bytes = p; "
         "b = new(PrivateKey); b.key_bytes = q; (a, b)"),
    Case("ferrovan", "_get_inner_private_key", "_get_inner_private_key", INNER_PRIVATE),
    Case("ferrovan", "_get_inner_public_key", "_get_inner_public_key", INNER_PUBLIC),
    Case("ferrovan", "encrypt", "encrypt", "r = pqc_encrypt_payload(MSG, PUB); pack_ciphertext(r[0], r[1], r[2], r[3])"),
    Case("ferrovan", "decrypt", "decrypt", "pqc_decrypt_payload(PACKED, PRIV)"),
    Case("ferrovan", "sign", "sign", INNER_PRIVATE + ".sign(MSG, padding.PKCS1v15(), hashes.SHA256())"),
    Case("ferrovan", "verify", "verify",
         INNER_PUBLIC + '.verify(SIG, MSG, padding.PKCS1v15(), hashes.SHA256()); "SHA-256"'),
    Case("ferrovan", "compute_hash", "compute_hash", "d = hashes.Hash(hashes.SHA256()); d.update(MSG); d.finalize()"),
    Case("ferrovan", "sign_hash", "sign_hash",
         INNER_PRIVATE + ".sign(DIGEST, padding.PKCS1v15(), Prehashed(hashes.SHA256()))"),
    Case("ferrovan", "find_signature_hash", "find_signature_hash", "BLOCK[-51:].startswith(SHA256_INFO) and 'SHA-256'"),
    # Failing calls.
    Case("ferrovan", "encrypt: missing argument", "encrypt", None, "TypeError", change="missing"),
    Case("ferrovan", "encrypt: unknown keyword", "encrypt", None, "TypeError", change="keyword"),
    Case("ferrovan", "compute_hash: wrong exact type", "compute_hash", None, "TypeError",
         values=(("message", "BYTEARRAY"),)),
    Case("ferrovan", "decrypt: the core fails", "decrypt", None, "DecryptionError",
         setup="M.pqc_decrypt_payload = trivial.failing_decrypt_payload"),
]

MIRELOCK = [
    Case("mirelock", "PyCryptodomeKey(pub, priv)", "PyCryptodomeKey.__init__",
         "o = new(PyCryptodomeKey); o.pub_bytes = PUB; o.priv_bytes = PRIV"),
    Case("mirelock", "key.publickey", "PyCryptodomeKey.publickey",
         "o = new(PyCryptodomeKey); o.pub_bytes = key.pub_bytes; o.priv_bytes = None"),
    Case("mirelock", "key.export_key", "PyCryptodomeKey.export_key",
         "key.priv_bytes if key.priv_bytes else key.pub_bytes"),
    Case("mirelock", "RSA.generate", "pycryptodome_generate",
         "p, q = generate_pqc_kem_keypair(); o = new(PyCryptodomeKey); o.pub_bytes = p; o.priv_bytes = q",
         reach="RSA.generate"),
    Case("mirelock", "RSA.import_key", "pycryptodome_import_key",
         "p, q = trivial._import_key_pair(PUB, None); o = new(PyCryptodomeKey); o.pub_bytes = p; o.priv_bytes = q",
         reach="RSA.import_key"),
    Case("mirelock", "PKCS1_OAEP.new", "PKCS1_OAEP_Mock.new", "c = new(PyCryptodomeCipher); c.key = key",
         reach="PKCS1_OAEP.new"),
    Case("mirelock", "cipher.encrypt", "PyCryptodomeCipher.encrypt",
         "r = pqc_encrypt_payload(MSG, key.pub_bytes); pack_ciphertext(r[0], r[1], r[2], r[3])"),
    Case("mirelock", "cipher.decrypt", "PyCryptodomeCipher.decrypt", "pqc_decrypt_payload(PACKED, key.priv_bytes)"),
    # Failing calls.
    Case("mirelock", "PyCryptodomeKey: missing argument", "PyCryptodomeKey.__init__", None, "TypeError",
         change="missing"),
    Case("mirelock", "key.publickey: extra argument", "PyCryptodomeKey.publickey", None, "TypeError", change="extra"),
    Case("mirelock", "cipher.decrypt: public key", "PyCryptodomeCipher.decrypt", None, "ValueError",
         reach="public_cipher.decrypt"),
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
