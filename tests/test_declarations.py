"""The native modules' declarations (src/<module>/declared.h) are what scripts/declare.py makes
of the twins: the committed ones are current, and a twin changed without them is reported."""

import ast
import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DECLARE = ROOT / "scripts" / "declare.py"
_spec = importlib.util.spec_from_file_location("declare", DECLARE)
_declare = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_declare)
identifier = _declare.identifier  # the C++ name the generator gives a Python name
INPUTS = ["twins", "src/frame/python_names.h", "src/core/names.h", "src/ferrovan/declared.h",
          "src/mirelock/declared.h"]


def declare(root, *args):
    return subprocess.run([sys.executable, str(DECLARE), "--root", str(root), *args], capture_output=True,
                          text=True, timeout=60)


def test_the_committed_declarations_are_current():
    result = declare(ROOT, "--check")
    assert result.returncode == 0, result.stderr


@pytest.fixture
def checkout(tmp_path):
    for relative in INPUTS:
        source, target = ROOT / relative, tmp_path / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        (shutil.copytree if source.is_dir() else shutil.copy)(source, target)
    return tmp_path


def add_default(lines, function, following):
    lines[function.lineno - 1] = lines[function.lineno - 1].replace(")", ', extra="EXTRA")', 1)
    return "{&n::EXTRA}"


def rename_parameter(lines, function, following):
    name = function.args.args[0].arg
    lines[function.lineno - 1] = lines[function.lineno - 1].replace(f"({name}", f"({name}_renamed", 1)
    return f"{{&n::{name}_renamed"


def move_statements(lines, function, following):
    lines.insert(function.lineno, "    # A comment moves every later statement.")
    return f".qualname = &n::{identifier(following.name)}, .line = {following.lineno + 1}"


@pytest.mark.parametrize("edit", [add_default, rename_parameter, move_statements])
def test_a_changed_twin_makes_its_declarations_stale(checkout, edit):
    twin = checkout / "twins" / "ferrovan.py"
    lines = twin.read_text().splitlines()
    # The first function with neither *args nor **kwargs, and the function after it.
    functions = [n for n in ast.parse(twin.read_text()).body if isinstance(n, ast.FunctionDef)]
    at = next(i for i, f in enumerate(functions) if not f.args.vararg and not f.args.kwarg)
    declared = edit(lines, functions[at], functions[at + 1])
    twin.write_text("\n".join(lines) + "\n")
    stale = declare(checkout, "--check")
    assert stale.returncode == 1
    assert "src/ferrovan/declared.h stale" in stale.stderr and "mirelock" not in stale.stderr
    assert declare(checkout).returncode == 0
    assert declared in (checkout / "src" / "ferrovan" / "declared.h").read_text()
    assert declare(checkout, "--check").returncode == 0


def add_keyword_only(lines, function):
    lines[function.lineno - 1] = lines[function.lineno - 1].replace(")", ", *, extra=None)", 1)


def annotate_otherwise(lines, function):
    lines[function.lineno - 1] = lines[function.lineno - 1].replace('"bytes"', '"bytearray"', 1)


@pytest.mark.parametrize("edit, message", [
    (add_keyword_only, "keyword-only parameters are not declared"),
    (annotate_otherwise, "check_exact checks"),
], ids=["keyword-only", "exact check against its annotation"])
def test_what_the_frame_cannot_declare_is_refused(checkout, edit, message):
    twin = checkout / "twins" / "ferrovan.py"
    lines = twin.read_text().splitlines()
    # A function whose parameters are checked for exact types.
    function = next(n for n in ast.parse(twin.read_text()).body
                    if isinstance(n, ast.FunctionDef) and '"bytes"' in lines[n.lineno - 1])
    edit(lines, function)
    twin.write_text("\n".join(lines) + "\n")
    before = (checkout / "src" / "ferrovan" / "declared.h").read_text()
    refused = declare(checkout)
    assert refused.returncode == 2 and message in refused.stderr
    assert (checkout / "src" / "ferrovan" / "declared.h").read_text() == before
