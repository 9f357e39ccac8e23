"""The type stubs: they agree with the running modules, and the examples and a typed program
(tests/typed_usage.py) pass mypy in strict mode against them."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import PACKAGE_DIR

pytest.importorskip("mypy", reason="mypy is not installed; requirements/dev.txt lists it")

ROOT = Path(__file__).resolve().parent.parent
STUB_FILES = ("__init__.pyi", "ferrovan.pyi", "mirelock.pyi", "migration/__init__.pyi", "py.typed")
# Bound by the module bodies for doctest's sake; not part of the interface. The command-line
# tool is a program, not an interface: its modules have no stubs, nor has the migration
# engine it drives.
STUBTEST_ALLOWLIST = "\n".join((r"halcyra_pqc\.(ferrovan|mirelock)\.__test__", r"halcyra_pqc\.__main__",
                                r"halcyra_pqc\._cli(\..*)?", r"halcyra_pqc\.migration\.engine"))


@pytest.fixture(scope="module")
def stub_root(tmp_path_factory):
    """A directory with only the stubs and marker of the package under test, so mypy reads
    them and none of the implementation modules beside them."""
    root = tmp_path_factory.mktemp("stubs")
    (root / "halcyra_pqc").mkdir()
    for name in STUB_FILES:
        (root / "halcyra_pqc" / name).parent.mkdir(exist_ok=True)
        shutil.copy(PACKAGE_DIR / name, root / "halcyra_pqc" / name)
    return root


def run_mypy(module, args, stub_root, cwd):
    env = dict(os.environ, MYPYPATH=str(stub_root), PYTHONPATH=str(PACKAGE_DIR.parent))
    return subprocess.run([sys.executable, "-m", module, *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def test_examples_and_typed_usage_pass_strict_mypy(stub_root, tmp_path):
    sources = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert any(p.endswith("encrypt_file.py") for p in sources)
    sources.append(str(ROOT / "tests" / "typed_usage.py"))
    # --warn-unused-ignores (part of --strict) turns every call typed_usage.py expects to
    # be refused into an error if the stubs accept it.
    result = run_mypy("mypy", ["--strict", "--warn-unused-ignores", "--no-error-summary",
                               "--cache-dir", str(tmp_path / "cache"), *sources], stub_root, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_match_the_running_modules(stub_root, tmp_path):
    """Every public name exists on both sides, with the same parameters, kinds and defaults."""
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(STUBTEST_ALLOWLIST + "\n")
    result = run_mypy("mypy.stubtest", ["halcyra_pqc", "--allowlist", str(allowlist)], stub_root, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout
