"""Reference-leak check of both extension modules, by the method CPython uses on its own
(regrtest -R): every scenario runs in warm-up rounds, then in measured rounds, each round
calling it REPEAT times; between rounds the garbage is collected and the interpreter's caches
cleared, and sys.gettotalrefcount() and sys.getallocatedblocks() are read. A scenario leaks
when either count grows in every measured round, as regrtest judges it. A call that leaks one
reference or one block thus shows at least REPEAT in each measured round.

The scenarios call every function and method of both modules on their working paths and on
each kind of failure: argument binding, exact types, errors of the core, missing module
globals, DecryptionError, VerificationError, and the rest of what the bodies raise or let
through.

Run with a debug interpreter (--with-pydebug), the package under test first on sys.path:
    PYTHONPATH=build/check-debug/pkg .venv-debug/bin/python scripts/leak_check.py [-v] [NAME...]
Exit status 0 when nothing leaks, 1 when something does, 2 when it cannot run.
"""

import collections
import contextlib
import copy
import ctypes
import gc
import importlib
import inspect
import pickle
import sys
import time
import weakref

WARMUP, MEASURED, REPEAT = 3, 5, 8

if not hasattr(sys, "gettotalrefcount"):
    sys.exit("leak_check: needs a debug interpreter (one built --with-pydebug)")

# --- Measuring -------------------------------------------------------------------------------

def clear_caches():
    gc.collect()
    sys._clear_internal_caches()
    gc.collect()


def measure(run):
    deltas_refs, deltas_blocks = [], []
    clear_caches()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for round_ in range(WARMUP + MEASURED):
        for _ in range(REPEAT):
            run()
        clear_caches()
        new_refs, new_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        if round_ >= WARMUP:
            deltas_refs.append(new_refs - refs)
            deltas_blocks.append(new_blocks - blocks)
        refs, blocks = new_refs, new_blocks
    return deltas_refs, deltas_blocks


def leaks(deltas):
    return all(delta >= 1 for delta in deltas)



# --- Failing module bodies, in a child interpreter -------------------------------------------
# A module whose body failed is not loaded, so the next import runs the whole exec step again.
# That repeats only in a process where the first import failed: a child interpreter with a
# stand-in package (the modules' own files and four plain core functions).

CORE_NAMES = ("generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload", "pack_ciphertext")


def failing_imports():
    """The child's side: measures imports whose bodies fail, one JSON line per case."""
    import importlib
    import json
    import types

    import halcyra_pqc as stand_in

    class Refusing(types.ModuleType):
        def __setattr__(self, name, value):
            raise RuntimeError("refuses attributes")

    def attempt(name, error):
        try:
            importlib.import_module(name)
        except error:
            return
        raise AssertionError(f"importing {name} did not raise {error.__name__}")

    # ferrovan stops at its core import (line 8); mirelock at line 47, after making all its
    # classes and functions, when its RSA object refuses the attribute.
    pack = stand_in.pack_ciphertext
    del stand_in.pack_ciphertext
    refs, blocks = measure(lambda: attempt("halcyra_pqc.ferrovan", ImportError))
    print(json.dumps(["failing_body_ferrovan", refs, blocks]))
    stand_in.pack_ciphertext = pack
    real_types = sys.modules["types"]
    sys.modules["types"] = types.ModuleType("types")
    sys.modules["types"].ModuleType = Refusing
    try:
        refs, blocks = measure(lambda: attempt("halcyra_pqc.mirelock", RuntimeError))
    finally:
        sys.modules["types"] = real_types
    print(json.dumps(["failing_body_mirelock", refs, blocks]))


def failing_imports_in_child(package_dir):
    """The parent's side: (name, refs, blocks) of each case the child measured."""
    import json
    import pathlib
    import shutil
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory() as root:
        target = pathlib.Path(root) / "halcyra_pqc"
        target.mkdir()
        (target / "__init__.py").write_text("".join(f"def {name}(*args):\n    pass\n" for name in CORE_NAMES))
        for built in pathlib.Path(package_dir).glob("*.so"):
            shutil.copy2(built, target / built.name)
        done = subprocess.run([sys.executable, __file__, "--failing-imports"], capture_output=True, text=True,
                              env={"PYTHONPATH": root, "PATH": "/usr/bin:/bin"}, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"the child measuring failing imports failed:\n{done.stderr}")
    return [json.loads(line) for line in done.stdout.splitlines()]


if __name__ == "__main__" and sys.argv[1:] == ["--failing-imports"]:
    failing_imports()
    sys.exit(0)

import _interpreters  # noqa: E402
import _testcapi  # noqa: E402

import halcyra_pqc  # noqa: E402
from halcyra_pqc import ferrovan, mirelock  # noqa: E402

F, M = ferrovan, mirelock
DELETE = object()
MESSAGE = b"leak check"

# Every function and method; each scenario names those it calls.
FUNCTIONS = [
    "ferrovan.PublicKey.__init__", "ferrovan.PublicKey.load_pkcs1", "ferrovan.PublicKey.save_pkcs1",
    "ferrovan.PrivateKey.__init__", "ferrovan.PrivateKey.load_pkcs1", "ferrovan.PrivateKey.save_pkcs1",
    "ferrovan.newkeys", "ferrovan._get_inner_private_key", "ferrovan._get_inner_public_key",
    "ferrovan.encrypt", "ferrovan.decrypt", "ferrovan.sign", "ferrovan.verify", "ferrovan.compute_hash",
    "ferrovan.sign_hash", "ferrovan.find_signature_hash",
    "mirelock.PyCryptodomeKey.__init__", "mirelock.PyCryptodomeKey.publickey", "mirelock.PyCryptodomeKey.export_key",
    "mirelock.PyCryptodomeCipher.__init__", "mirelock.PyCryptodomeCipher.encrypt",
    "mirelock.PyCryptodomeCipher.decrypt", "mirelock.pycryptodome_generate", "mirelock.pycryptodome_import_key",
    "mirelock.PKCS1_OAEP_Mock.new",
]
KINDS = ["works", "binding", "exact type", "core error", "missing global", "DecryptionError",
         "VerificationError", "other failure", "passes through", "introspection", "loading", "sub-interpreter",
         "failing body"]

Scenario = collections.namedtuple("Scenario", "name kind functions run")
SCENARIOS = []


def scenario(kind, *functions):
    def register(run):
        SCENARIOS.append(Scenario(run.__name__, kind, functions, run))
        return run
    return register


@contextlib.contextmanager
def rebound(module, **values):
    saved = dict(vars(module))
    for name, value in values.items():
        if value is DELETE:
            del vars(module)[name]
        else:
            setattr(module, name, value)
    try:
        yield
    finally:
        current = vars(module)
        for name in [name for name in current if name not in saved]:
            del current[name]
        current.update(saved)


def expect(error, function, *args, **kwargs):
    """Calls function and checks that it raises exactly `error`, so that each scenario is known
    to take the path it is named after."""
    try:
        function(*args, **kwargs)
    except error as raised:
        if type(raised) is not error:
            raise AssertionError(f"{function!r} raised {type(raised).__name__}, not {error.__name__}") from None
        return
    raise AssertionError(f"{function!r} did not raise {error.__name__}")


def vectorcall(function, args, kwnames):
    return _testcapi.pyobject_vectorcall(function, args, kwnames)


class Bytes(bytes):
    pass


class Interrupting:
    """Key bytes and a padding module whose use raises KeyboardInterrupt, which no handler of
    the modules may swallow."""

    def decode(self, encoding):
        raise KeyboardInterrupt

    def PKCS1v15(self):
        raise KeyboardInterrupt


def raising(error):
    def core(*args):
        raise error
    return core


# --- Material, made once ------------------------------------------------------------------------

HPUB, HPRIV = halcyra_pqc.generate_pqc_kem_keypair()
MPUB, MPRIV = halcyra_pqc.generate_mlkem_keypair()
PUB, PRIV = F.PublicKey(HPUB), F.PrivateKey(HPRIV)
HYBRID_CT = F.encrypt(MESSAGE, PUB)
MLKEM_CT = F.encrypt(MESSAGE, MPUB)
SIGNATURE = F.sign(MESSAGE, PRIV, "SHA-256")
DIGEST = F.compute_hash(MESSAGE, "SHA-256")
KEY = M.RSA.import_key(HPRIV)
CIPHER = M.PKCS1_OAEP.new(KEY)
PUBLIC_CIPHER = M.PKCS1_OAEP.new(KEY.publickey())


def generate_stand_in():
    # Generation is what the core does slowly; the modules' part is the same with any pair.
    return HPUB, HPRIV


# --- Working paths ---------------------------------------------------------------------------

@scenario("works", "ferrovan.PublicKey.__init__", "ferrovan.PublicKey.load_pkcs1", "ferrovan.PublicKey.save_pkcs1",
          "ferrovan.PrivateKey.__init__", "ferrovan.PrivateKey.load_pkcs1", "ferrovan.PrivateKey.save_pkcs1")
def key_classes():
    for cls, data in ((F.PublicKey, HPUB), (F.PrivateKey, HPRIV)):
        key = cls.load_pkcs1(data)
        assert key.save_pkcs1() is data and cls.load_pkcs1(keyfile=data, format="DER").save_pkcs1("DER") is data
        assert cls(key_bytes=data).key_bytes is data
        assert key.load_pkcs1(data, "PEM").save_pkcs1(format="PEM") is data


@scenario("works", "ferrovan.newkeys", "mirelock.pycryptodome_generate")
def generation():
    with rebound(F, generate_pqc_kem_keypair=generate_stand_in), \
            rebound(M, generate_pqc_kem_keypair=generate_stand_in):
        pub, priv = F.newkeys(2048, 1, 2, poolsize=3)
        assert pub.key_bytes is HPUB and priv.key_bytes is HPRIV
        assert F.newkeys(keysize=4096)[0].key_bytes is HPUB
        key = M.RSA.generate(2048, randfunc=None)
        assert key.pub_bytes is HPUB and key.priv_bytes is HPRIV


@scenario("works", "ferrovan._get_inner_private_key", "ferrovan._get_inner_public_key")
def inner_keys():
    assert F._get_inner_private_key(PRIV).key_size == F._get_inner_public_key(HPUB).key_size == 3072


@scenario("works", "ferrovan.encrypt", "ferrovan.decrypt")
def encryption():
    assert F.decrypt(F.encrypt(MESSAGE, PUB), PRIV) == MESSAGE
    assert F.decrypt(crypto=F.encrypt(pub_key=MPUB, message=MESSAGE), priv_key=MPRIV) == MESSAGE


@scenario("works", "ferrovan.sign", "ferrovan.verify", "ferrovan.compute_hash", "ferrovan.sign_hash",
          "ferrovan.find_signature_hash")
def signatures():
    signature = F.sign(MESSAGE, PRIV, "SHA-256")
    assert F.verify(MESSAGE, signature, PUB) == "SHA-256"
    assert F.verify(MESSAGE, F.sign(MESSAGE, HPRIV, "md5"), HPUB) == "MD5"
    assert F.sign_hash(F.compute_hash(MESSAGE, "sha-256"), PRIV, "SHA-256") == signature
    assert F.find_signature_hash(SIGNATURE_BLOCK) == "SHA-256"


def signature_block(public, signature):
    """The block a signature opens to with the public key: s^e mod n."""
    numbers = public.public_numbers()
    value = pow(int.from_bytes(signature, "big"), numbers.e, numbers.n)
    return value.to_bytes(public.key_size // 8, "big")


SIGNATURE_BLOCK = signature_block(F._get_inner_public_key(PUB), SIGNATURE)


@scenario("works", "mirelock.PyCryptodomeKey.__init__", "mirelock.PyCryptodomeKey.publickey",
          "mirelock.PyCryptodomeKey.export_key", "mirelock.pycryptodome_import_key", "mirelock.PKCS1_OAEP_Mock.new",
          "mirelock.PyCryptodomeCipher.__init__", "mirelock.PyCryptodomeCipher.encrypt",
          "mirelock.PyCryptodomeCipher.decrypt")
def mirelock_keys_and_ciphers():
    key = M.RSA.import_key(HPRIV, passphrase="ignored")
    public = key.publickey()
    assert key.export_key("PEM", pkcs=8, protection=None) is HPRIV and public.export_key() == HPUB
    assert M.RSA.import_key(HPUB).priv_bytes is None and M.RSA.import_key(MESSAGE).priv_bytes is MESSAGE
    cipher = M.PKCS1_OAEP.new(key, "hash", mgfunc=None)
    assert cipher.decrypt(M.PKCS1_OAEP.new(key=public).encrypt(MESSAGE)) == MESSAGE
    assert M.PKCS1_OAEP.new(M.PyCryptodomeKey(MPUB, MPRIV)).decrypt(ciphertext=MLKEM_CT) == MESSAGE
    assert M.PKCS1_OAEP_Mock().new(key).key is key


@scenario("works", "ferrovan.encrypt", "mirelock.PyCryptodomeCipher.encrypt")
def core_result_shapes():
    class Indexed:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, index):
            return self.items[index]

    pack = lambda *pieces: pieces  # noqa: E731
    for shape in (("a", "b", "c", "d"), ["a", "b", "c"], ("a", "b", "c", "d", "e"), Indexed("abcd"), Indexed("abc")):
        core = lambda message, key, shape=shape: shape  # noqa: E731
        with rebound(F, pqc_encrypt_payload=core, pack_ciphertext=pack), \
                rebound(M, pqc_encrypt_payload=core, pack_ciphertext=pack):
            assert F.encrypt(MESSAGE, HPUB)[0] == "a"
            assert CIPHER.encrypt(MESSAGE)[0] == "a"


def protect_stand_in(priv, passphrase):
    # Protection is what the core does slowly, in scrypt; the module's part is the same with
    # any function in its place.
    return (priv, passphrase)


@scenario("works", "mirelock.PyCryptodomeKey.export_key", "mirelock.pycryptodome_import_key")
def pass_phrases():
    with rebound(halcyra_pqc, protect_private_key=protect_stand_in, _import_key_pair=lambda *pair: iter(pair)):
        assert KEY.export_key(passphrase="pw") == (HPRIV, "pw")
        assert KEY.export_key("PEM", b"pw", 8) == (HPRIV, b"pw")
        assert KEY.export_key("PEM", None, pkcs=8) is HPRIV
        assert M.PyCryptodomeKey(HPUB).export_key(passphrase="pw") is HPUB
        key = M.RSA.import_key(HPUB, passphrase="pw")
        assert key.pub_bytes is HPUB and key.priv_bytes == "pw"


@scenario("other failure", "mirelock.PyCryptodomeKey.export_key", "mirelock.pycryptodome_import_key")
def pass_phrase_failures():
    class Untruthful:
        def __bool__(self):
            raise ArithmeticError

    with rebound(halcyra_pqc, protect_private_key=raising(LookupError("core")), _import_key_pair=lambda *a: 5):
        expect(LookupError, KEY.export_key, passphrase="pw")
        expect(TypeError, KEY.export_key, "PEM", "positional", passphrase=None)
        expect(ArithmeticError, M.PyCryptodomeKey(HPUB, Untruthful()).export_key, "PEM", "pw")
        expect(TypeError, M.RSA.import_key, HPRIV)
    with rebound(halcyra_pqc, protect_private_key=DELETE, _import_key_pair=DELETE):
        expect(ImportError, KEY.export_key, passphrase="pw")
        expect(ImportError, M.RSA.import_key, HPRIV)
    expect(ValueError, M.RSA.import_key, b"{not key bytes")


# --- Argument binding ------------------------------------------------------------------------

def binding_calls():
    """Calls that fail to bind: (function, args, kwnames or None, kwargs)."""
    calls = []
    for function, params in [
        (F.PublicKey.__init__, 2), (F.PublicKey.load_pkcs1, 2), (F.PrivateKey.save_pkcs1, 2),
        (F.PrivateKey.__init__, 2), (F.PrivateKey.load_pkcs1, 2), (F.PublicKey.save_pkcs1, 2),
        (F._get_inner_private_key, 1), (F._get_inner_public_key, 1),
        (F.encrypt, 2), (F.decrypt, 2), (F.sign, 3), (F.verify, 3), (F.compute_hash, 2), (F.sign_hash, 3),
        (F.find_signature_hash, 1), (M.PyCryptodomeKey.__init__, 3), (M.PyCryptodomeKey.publickey, 1),
        (M.PyCryptodomeCipher.__init__, 2), (M.PyCryptodomeCipher.encrypt, 2), (M.PyCryptodomeCipher.decrypt, 2),
        (M.pycryptodome_generate, 2), (M.pycryptodome_import_key, 2),
    ]:
        calls.append((function, (b"x",) * (params + 1), None))              # too many
        calls.append((function, (), None))                                  # too few
        calls.append((function, (b"x",) * params + (b"y",), ("unknown",)))   # unknown keyword
        first = function.__code__.co_varnames[0]
        calls.append((function, (b"x", b"y"), (first,)))                    # position and keyword
        calls.append((function, (b"x", b"y"), (1,)))                        # not a string
        calls.append((function, (b"y", b"z"), (first, first)))              # repeated
        # Keywords made at run time: names written in code are interned, and so immortal, so
        # a reference leaked to them would never show in the counts.
        calls.append((function, (b"x",) * params + (b"y",), ("".join(["unk", "nown"]),)))
        calls.append((function, (b"x", b"y"), ("".join(first),)))           # position and keyword
    for function in (F.newkeys, M.PyCryptodomeKey.export_key, M.PKCS1_OAEP_Mock.new):
        first = function.__code__.co_varnames[0]
        calls.append((function, (), None))
        calls.append((function, (b"x", b"y"), (first,)))
        calls.append((function, (b"x", b"y"), (2,)))
    return calls


BINDING_CALLS = binding_calls()


@scenario("binding", *FUNCTIONS)
def binding_errors():
    for function, args, kwnames in BINDING_CALLS:
        expect(TypeError, vectorcall, function, args, kwnames)


@scenario("binding", "mirelock.PyCryptodomeKey.export_key", "ferrovan.PublicKey.save_pkcs1",
          "mirelock.PyCryptodomeCipher.decrypt")
def binding_errors_through_bound_methods():
    key = M.PyCryptodomeKey(HPUB)
    expect(TypeError, key.export_key, self=1)
    expect(TypeError, PUB.save_pkcs1, "PEM", "PEM")
    expect(TypeError, CIPHER.decrypt, data=b"")


@scenario("exact type", "ferrovan.compute_hash", "ferrovan.sign_hash", "ferrovan.find_signature_hash")
def exact_types():
    expect(TypeError, F.compute_hash, bytearray(MESSAGE), "SHA-256")
    expect(TypeError, F.compute_hash, Bytes(MESSAGE), "SHA-256")          # the note path
    expect(TypeError, F.compute_hash, MESSAGE, None)
    expect(TypeError, F.sign_hash, DIGEST, PRIV, b"SHA-256")
    expect(TypeError, F.sign_hash, hash_value=memoryview(DIGEST), priv_key=PRIV, hash_method="SHA-256")
    expect(TypeError, F.find_signature_hash, None)


# --- Failures from the core and the library ---------------------------------------------------

@scenario("core error", "ferrovan.encrypt", "mirelock.PyCryptodomeCipher.encrypt",
          "mirelock.PyCryptodomeCipher.decrypt", "ferrovan._get_inner_private_key",
          "ferrovan._get_inner_public_key", "ferrovan.sign", "ferrovan.sign_hash")
def core_errors():
    expect(ValueError, F.encrypt, MESSAGE, b"not a key")
    expect(TypeError, F.encrypt, 12, PUB)
    expect(ValueError, M.PKCS1_OAEP.new(M.PyCryptodomeKey(b"junk")).encrypt, MESSAGE)
    expect(ValueError, CIPHER.decrypt, HYBRID_CT[:-1])
    expect(ValueError, F._get_inner_private_key, b"\x30\x03\x02\x01\x00")
    expect(ValueError, F._get_inner_public_key, MPUB)
    expect(TypeError, F._get_inner_public_key, 42)
    expect(ValueError, F.sign_hash, DIGEST[:5], PRIV, "SHA-256")
    expect(TypeError, F.sign, "text is not encoded", PRIV, "SHA-256")
    with rebound(F, pack_ciphertext=raising(OverflowError("pack"))), \
            rebound(M, pqc_encrypt_payload=raising(LookupError("core"))):
        expect(OverflowError, F.encrypt, MESSAGE, PUB)
        expect(LookupError, CIPHER.encrypt, MESSAGE)


@scenario("other failure", "ferrovan.newkeys", "mirelock.pycryptodome_generate", "ferrovan.encrypt",
          "mirelock.PyCryptodomeCipher.encrypt", "ferrovan.compute_hash", "ferrovan.sign_hash")
def unpacking_and_result_checks():
    for pair, error in [((1, 2, 3), ValueError), ([1], ValueError), (iter("abc"), ValueError), (iter("a"), ValueError),
                        (None, TypeError)]:
        with rebound(F, generate_pqc_kem_keypair=lambda pair=pair: pair), \
                rebound(M, generate_pqc_kem_keypair=lambda pair=pair: pair):
            expect(error, F.newkeys, 1)
            expect(error, M.RSA.generate, 1)
    for result, error in [(("a", "b"), IndexError), (None, TypeError), (iter("abcd"), TypeError)]:
        with rebound(F, pqc_encrypt_payload=lambda m, k, r=result: r), \
                rebound(M, pqc_encrypt_payload=lambda m, k, r=result: r):
            expect(error, F.encrypt, MESSAGE, PUB)
            expect(error, CIPHER.encrypt, MESSAGE)

    class Digest:
        def __init__(self, algorithm):
            pass

        def update(self, data):
            pass

        def finalize(self):
            return "not bytes"

    class Hashes:
        SHA256 = F.hashes.SHA256
        Hash = Digest

    with rebound(F, hashes=Hashes):
        expect(TypeError, F.compute_hash, MESSAGE, "SHA-256")


@scenario("other failure", "ferrovan.sign", "ferrovan.compute_hash", "ferrovan.sign_hash",
          "mirelock.PyCryptodomeKey.publickey", "mirelock.PyCryptodomeKey.export_key",
          "mirelock.PyCryptodomeCipher.decrypt", "mirelock.PyCryptodomeKey.__init__",
          "mirelock.PyCryptodomeCipher.__init__", "ferrovan.PublicKey.__init__", "ferrovan.PublicKey.save_pkcs1")
def body_failures():
    expect(AttributeError, F.sign, MESSAGE, PRIV, "no such hash")
    expect(TypeError, F.sign, MESSAGE, PRIV, "shake128")
    expect(AttributeError, F.compute_hash, MESSAGE, "")
    expect(AttributeError, F.sign_hash, DIGEST, HPRIV, "SHA-2")
    bare = M.PyCryptodomeKey(HPUB, HPRIV)
    del bare.pub_bytes, bare.priv_bytes
    expect(AttributeError, bare.publickey)
    expect(AttributeError, bare.export_key)
    expect(AttributeError, M.PKCS1_OAEP.new(bare).decrypt, HYBRID_CT)
    expect(AttributeError, M.PKCS1_OAEP.new(bare).encrypt, MESSAGE)
    expect(ValueError, PUBLIC_CIPHER.decrypt, HYBRID_CT)
    expect(AttributeError, M.PyCryptodomeKey.__init__, 5, HPUB)
    expect(TypeError, M.PyCryptodomeCipher.__init__, int, KEY)
    expect(AttributeError, F.PublicKey.__init__, "str", HPUB)
    expect(AttributeError, F.PublicKey.save_pkcs1, object())


@scenario("other failure", "ferrovan.encrypt", "ferrovan.PublicKey.load_pkcs1")
def runaway_recursion():
    # Rebound globals that make the bodies call each other without end.
    with rebound(F, pqc_encrypt_payload=F.encrypt):
        expect(RecursionError, F.encrypt, MESSAGE, HPUB)
    load = F.PublicKey.load_pkcs1
    with rebound(F, PublicKey=load):
        expect(RecursionError, load, HPUB)


# --- Missing module globals ------------------------------------------------------------------

MISSING = [
    (F, "PublicKey", NameError, lambda: PUB.load_pkcs1(HPUB)),
    (F, "PrivateKey", NameError, lambda: F.decrypt(HYBRID_CT, PRIV)),
    (F, "generate_pqc_kem_keypair", NameError, lambda: F.newkeys(1)),
    (F, "pqc_encrypt_payload", NameError, lambda: F.encrypt(MESSAGE, PUB)),
    (F, "pack_ciphertext", NameError, lambda: F.encrypt(MESSAGE, PUB)),
    # Dropped inside the JSON reading: the whole key bytes then go to the DER loader.
    (F, "json", ValueError, lambda: F._get_inner_private_key(PRIV)),
    (F, "serialization", NameError, lambda: F._get_inner_public_key(PUB)),
    (F, "_get_inner_private_key", NameError, lambda: F.sign(MESSAGE, PRIV, "SHA-256")),
    (F, "_get_inner_public_key", NameError, lambda: F.verify(MESSAGE, SIGNATURE, PUB)),
    (F, "hashes", NameError, lambda: F.compute_hash(MESSAGE, "SHA-256")),
    (F, "padding", NameError, lambda: F.sign_hash(DIGEST, PRIV, "SHA-256")),
    (F, "Prehashed", NameError, lambda: F.sign_hash(DIGEST, PRIV, "SHA-256")),
    (F, "VerificationError", NameError, lambda: F.verify(MESSAGE, b"forged", PUB)),
    (F, "DecryptionError", NameError, lambda: F.decrypt(b"garbage", PRIV)),
    (M, "PyCryptodomeKey", NameError, lambda: KEY.publickey()),
    (M, "PyCryptodomeCipher", NameError, lambda: M.PKCS1_OAEP.new(KEY)),
    (M, "generate_pqc_kem_keypair", NameError, lambda: M.RSA.generate(1)),
    (M, "pqc_encrypt_payload", NameError, lambda: CIPHER.encrypt(MESSAGE)),
    (M, "pack_ciphertext", NameError, lambda: CIPHER.encrypt(MESSAGE)),
    (M, "pqc_decrypt_payload", NameError, lambda: CIPHER.decrypt(HYBRID_CT)),
]


@scenario("missing global", "ferrovan.PublicKey.load_pkcs1", "ferrovan.decrypt", "ferrovan.newkeys",
          "ferrovan.encrypt", "ferrovan._get_inner_private_key", "ferrovan._get_inner_public_key", "ferrovan.sign",
          "ferrovan.verify", "ferrovan.compute_hash", "ferrovan.sign_hash", "mirelock.PyCryptodomeKey.publickey",
          "mirelock.PKCS1_OAEP_Mock.new", "mirelock.pycryptodome_generate", "mirelock.PyCryptodomeCipher.encrypt",
          "mirelock.PyCryptodomeCipher.decrypt")
def missing_globals():
    for module, name, error, call in MISSING:
        with rebound(module, **{name: DELETE}):
            expect(error, call)


# --- The two translated failures -------------------------------------------------------------

@scenario("DecryptionError", "ferrovan.decrypt")
def decryption_errors():
    expect(F.DecryptionError, F.decrypt, HYBRID_CT[:-1], PRIV)
    expect(F.DecryptionError, F.decrypt, MLKEM_CT, HPRIV)
    expect(F.DecryptionError, F.decrypt, HYBRID_CT, PUB)
    with rebound(F, pqc_decrypt_payload=DELETE):
        expect(F.DecryptionError, F.decrypt, HYBRID_CT, PRIV)
    try:
        raise LookupError("handled by the caller")
    except LookupError:
        expect(F.DecryptionError, F.decrypt, b"", PRIV)  # inside a handler: context chaining


@scenario("VerificationError", "ferrovan.verify", "ferrovan.find_signature_hash")
def verification_errors():
    expect(F.VerificationError, F.verify, MESSAGE + b"!", SIGNATURE, PUB)
    expect(F.VerificationError, F.verify, "str message", SIGNATURE, HPUB)
    expect(F.VerificationError, F.find_signature_hash, b"\x00" * 384)
    try:
        raise LookupError("handled by the caller")
    except LookupError:
        expect(F.VerificationError, F.verify, MESSAGE, b"", PUB)


@scenario("passes through", "ferrovan.decrypt", "ferrovan.verify", "ferrovan._get_inner_private_key")
def base_exceptions_pass_through():
    with rebound(F, pqc_decrypt_payload=raising(KeyboardInterrupt())):
        expect(KeyboardInterrupt, F.decrypt, HYBRID_CT, PRIV)
    with rebound(F, padding=Interrupting()):
        expect(KeyboardInterrupt, F.verify, MESSAGE, SIGNATURE, PUB)
    expect(KeyboardInterrupt, F._get_inner_private_key, Interrupting())


# --- What the function objects show ----------------------------------------------------------

@scenario("introspection", *FUNCTIONS)
def function_objects():
    for name in FUNCTIONS:
        module, _, path = name.partition(".")
        function = F if module == "ferrovan" else M
        for part in path.split("."):
            function = inspect.getattr_static(function, part)
        function = getattr(function, "__func__", function)
        assert function.__name__ and function.__qualname__ and function.__module__
        (function.__doc__, function.__defaults__, function.__kwdefaults__, function.__annotations__,
         function.__code__, function.__globals__, repr(function))
        function.__dict__["marker"] = 1
        del function.marker
        assert pickle.loads(pickle.dumps(function)) is function and copy.deepcopy(function) is function
        assert weakref.ref(function)() is function
        inspect.signature(function)
    assert PUB.save_pkcs1.__self__ is PUB and KEY.export_key.__func__ is M.PyCryptodomeKey.export_key


# --- Loading again ---------------------------------------------------------------------------

@scenario("loading")
def reimport_and_reload():
    # Both return the loaded module without running its body again.
    for module in (F, M):
        del sys.modules[module.__name__]
        assert importlib.import_module(module.__name__) is module
        assert importlib.reload(module) is module


# --- Another interpreter ---------------------------------------------------------------------

STAND_IN = "\n".join([
    "import sys, types",
    "package = types.ModuleType('halcyra_pqc')",
    f"package.__path__ = [{halcyra_pqc.__path__[0]!r}]",
    "sys.modules['halcyra_pqc'] = package",
])


@scenario("sub-interpreter")
def sub_interpreter_refused():
    for module in ("ferrovan", "mirelock"):
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.exec(interp, f"{STAND_IN}\nimport halcyra_pqc.{module}")
        finally:
            _interpreters.destroy(interp)
        assert failure.type.__name__ == "ImportError", failure


# --- Controls: leaks the check must see, or it proves nothing ----------------------------------

def leak_a_reference():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(MESSAGE))


def leak_a_block():
    ctypes.pythonapi.PyObject_Malloc.restype = ctypes.c_void_p
    ctypes.pythonapi.PyObject_Malloc(ctypes.c_size_t(24))


CONTROLS = [leak_a_reference, leak_a_block]


def main(argv):
    verbose = "-v" in argv
    wanted = [a for a in argv if not a.startswith("-")]
    chosen = [s for s in SCENARIOS if not wanted or s.name in wanted]
    start = time.monotonic()
    for control in CONTROLS:
        refs, blocks = measure(control)
        if not (leaks(refs) or leaks(blocks)):
            print(f"leak check: the control {control.__name__} went unseen (refs {refs} blocks {blocks})")
            return 2
    results = []
    for s in chosen:
        s.run()  # once first, so that a scenario that no longer takes its path fails loudly
        results.append((s.name, *measure(s.run)))
    kinds = {s.kind for s in chosen}
    if not wanted:
        results += failing_imports_in_child(halcyra_pqc.__path__[0])
        kinds.add("failing body")

    failed = []
    for name, refs, blocks in results:
        leaked = leaks(refs) or leaks(blocks)
        if leaked:
            failed.append(name)
        if verbose or leaked:
            print(f"{'LEAK' if leaked else 'ok  '} {name:40} refs {refs} blocks {blocks}")
    coverage = {f: {s.kind for s in chosen if f in s.functions} for f in FUNCTIONS}
    uncovered = [f for f in FUNCTIONS if not {"works", "binding"} <= coverage[f]]
    all_refs = [d for _, refs, _ in results for d in refs]
    all_blocks = [d for _, _, blocks in results for d in blocks]
    paths = [k for k in KINDS if k in kinds and k not in ("works", "introspection")]
    print(f"leak check: {len(results)} scenarios, {WARMUP} warm-up and {MEASURED} measured rounds "
          f"of {REPEAT} calls each, {time.monotonic() - start:.0f} s")
    print(f"leak check: {sum(1 for f in FUNCTIONS if coverage[f])} of {len(FUNCTIONS)} functions and methods; "
          f"failure paths: {', '.join(paths)}")
    print(f"leak check: measured rounds grew by at most {max(all_refs)} references and {max(all_blocks)} blocks; "
          f"in total {sum(all_refs)} references and {sum(all_blocks)} blocks over {len(all_refs)} rounds")
    if uncovered and not wanted:
        print(f"leak check: without a working-path or binding scenario: {', '.join(uncovered)}")
        return 1
    if failed:
        print(f"leak check: LEAKS in {', '.join(failed)}")
        return 1
    print("leak check: no leaks")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
