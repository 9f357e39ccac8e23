"""Fixtures shared by the test modules: real key pairs, rebinding of module globals, and
fresh interpreters for everything that concerns loading."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import halcyra_pqc

PACKAGE_DIR = Path(halcyra_pqc.__file__).resolve().parent


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
