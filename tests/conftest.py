"""Fixtures shared by the test modules: real key pairs, rebinding of module globals, and
fresh interpreters for everything that concerns loading."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

import halcyra_pqc

PACKAGE_DIR = Path(halcyra_pqc.__file__).resolve().parent

# Property tests run a bounded number of examples in the ordinary suite; scripts/check.sh
# selects the larger profiles with HALCYRA_HYPOTHESIS_PROFILE=check (or sanitize). No
# deadline: the crypto is slow on a loaded machine, and timing is not what these tests are
# about.
settings.register_profile("default", max_examples=40, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("check", max_examples=1500, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
# The sanitizer run: the same code paths as the release build's large profile, at a fifth of
# its examples, since every call is several times slower under the sanitizers.
settings.register_profile("sanitize", max_examples=300, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.load_profile(os.environ.get("HALCYRA_HYPOTHESIS_PROFILE", "default"))


@pytest.fixture(scope="session")
def hybrid_keys():
    """(public key bytes, private key bytes) of one hybrid pair from the real core."""
    return halcyra_pqc.generate_pqc_kem_keypair()


@pytest.fixture(scope="session")
def other_hybrid_keys():
    """A second, unrelated hybrid pair."""
    return halcyra_pqc.generate_pqc_kem_keypair()


@pytest.fixture(scope="session")
def mlkem_keys():
    """A pure ML-KEM pair."""
    return halcyra_pqc.generate_mlkem_keypair()


@pytest.fixture(scope="session")
def material(hybrid_keys, mlkem_keys):
    """Real keys, ciphertexts and a signature, so that hostile calls also reach their working
    paths."""
    from halcyra_pqc import ferrovan
    from hostile import MESSAGE

    hybrid_ct = ferrovan.encrypt(MESSAGE, hybrid_keys[0])
    mlkem_ct = ferrovan.encrypt(MESSAGE, mlkem_keys[0])
    return {
        "hybrid": hybrid_keys, "mlkem": mlkem_keys,
        "ciphertexts": {hybrid_ct: hybrid_keys[1], mlkem_ct: mlkem_keys[1]},
        "signature": ferrovan.sign(MESSAGE, hybrid_keys[1], "SHA-256"),
    }


@pytest.fixture(scope="session")
def rsa_pkg_keys():
    """(public, private) of the `rsa` package, 1024 bits: what it makes in pure Python quickly."""
    import rsa
    return rsa.newkeys(1024)


@pytest.fixture(scope="session")
def cryptodome_key():
    """A PyCryptodome RSA key, 2048 bits."""
    from Crypto.PublicKey import RSA
    return RSA.generate(2048)


@pytest.fixture(scope="session")
def figures():
    """figures(name, count) adds to a count that the test run reports: appended as one JSON
    line to the file HALCYRA_FIGURES names, for scripts/check.sh and docs/reliability.md."""
    totals = {}

    def add(name, count):
        totals[name] = totals.get(name, 0) + count

    yield add
    path = os.environ.get("HALCYRA_FIGURES")
    if path and totals:
        with open(path, "a", encoding="utf-8") as out:
            out.write(json.dumps(totals) + "\n")


@pytest.fixture
def rebind():
    """rebind(module, name=value, ...) changes module globals for one test; the globals are
    restored afterwards, deleted names included."""
    saved = []

    def _rebind(module, **values):
        saved.append((module, dict(vars(module))))
        for name, value in values.items():
            if value is DELETE:
                vars(module).pop(name, None)
            else:
                setattr(module, name, value)

    yield _rebind
    for module, snapshot in reversed(saved):
        current = vars(module)
        for name in list(current):
            if name not in snapshot:
                del current[name]
        current.update(snapshot)


DELETE = object()


# What a child interpreter keeps even from a test that hands it a minimal environment: under
# the sanitizer run of scripts/check.sh the modules load only with the preloaded runtime.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYCRYPTODOME_DISABLE_DEEPBIND")


def minimal_env(**values):
    """An environment of just `values`, plus the sanitizer variables that are set."""
    return {name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ} | values


def run_python(code, *, cwd=None, env_extra=None, path=None):
    """Runs code in a fresh interpreter; returns the completed process (text output)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(p) for p in (path or [])] + [str(PACKAGE_DIR.parent)])
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, cwd=cwd, env=env, timeout=300,
    )


def make_package(root, init_source):
    """A copy of the package under root/halcyra_pqc with its own __init__.py and copies of
    the two built extension modules; returns root, for putting first on sys.path."""
    target = Path(root) / "halcyra_pqc"
    target.mkdir(parents=True)
    (target / "__init__.py").write_text(textwrap.dedent(init_source))
    for built in PACKAGE_DIR.iterdir():
        if built.suffix in (".so", ".pyd") or ".cpython-" in built.name:
            shutil.copy2(built.resolve(), target / built.name)
    return Path(root)


def records(exc, path):
    """(function name, line) of each traceback record that a module with source path `path`
    added to exc, outermost first."""
    import traceback
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == path]


class FakeCore:
    """Stands in for the four core functions and records every call made to them."""

    def __init__(self):
        self.calls = []
        self.keypair = (object(), object())
        self.encrypted = ("mlkem_ct", "rsa_ct", "nonce", "sealed")
        self.packed = object()
        self.plaintext = object()

    def _record(self, name, args, result):
        self.calls.append((name, args))
        return result

    def generate_pqc_kem_keypair(self, *args):
        return self._record("generate_pqc_kem_keypair", args, self.keypair)

    def pqc_encrypt_payload(self, *args):
        return self._record("pqc_encrypt_payload", args, self.encrypted)

    def pack_ciphertext(self, *args):
        return self._record("pack_ciphertext", args, self.packed)

    def pqc_decrypt_payload(self, *args):
        return self._record("pqc_decrypt_payload", args, self.plaintext)

    def called(self, name):
        return [args for called, args in self.calls if called == name]


CORE_NAMES = ("generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload", "pack_ciphertext")


@pytest.fixture
def fake_core(rebind):
    """fake_core(module) puts a FakeCore in place of the module's core globals for one test."""
    def _install(module):
        core = FakeCore()
        rebind(module, **{name: getattr(core, name) for name in CORE_NAMES})
        return core
    return _install
