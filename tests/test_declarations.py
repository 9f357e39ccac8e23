"""The native modules' declarations (src/<module>/declared.h) are what scripts/declare.py makes
of the twins: the committed ones are current, and a twin changed without them is reported."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DECLARE = ROOT / "scripts" / "declare.py"
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


@pytest.mark.parametrize("old, new, declared", [
    ('def save_pkcs1(self, format="PEM"):\n        return self.key_bytes\n\nclass PrivateKey',
     'def save_pkcs1(self, format="DER"):\n        return self.key_bytes\n\nclass PrivateKey', "{&n::DER}"),
    ("def encrypt(message, pub_key):", "def encrypt(data, pub_key):", ".params = {&n::data, &n::pub_key}"),
    ('"""Decrypts message from a single packed bytes object."""', '"""Decrypts a packed message."""',
     'doc_decrypt{"Decrypts a packed message."}'),
    ("    res = pqc_encrypt_payload(message, pub_bytes)\n", "    # A comment moves the statement.\n"
     "    res = pqc_encrypt_payload(message, pub_bytes)\n", "static constexpr int res = 67;"),
], ids=["default", "parameter", "docstring", "line"])
def test_a_changed_twin_makes_its_declarations_stale(checkout, old, new, declared):
    twin = checkout / "twins" / "ferrovan.py"
    assert old in twin.read_text()
    twin.write_text(twin.read_text().replace(old, new, 1))
    stale = declare(checkout, "--check")
    assert stale.returncode == 1
    assert "src/ferrovan/declared.h stale" in stale.stderr and "mirelock" not in stale.stderr
    assert declare(checkout).returncode == 0
    assert declared in (checkout / "src" / "ferrovan" / "declared.h").read_text()
    assert declare(checkout, "--check").returncode == 0


@pytest.mark.parametrize("old, new, message", [
    ("def newkeys(keysize, *args, **kwargs):", "def newkeys(keysize, *args, poolsize=1, **kwargs):",
     "keyword-only parameters are not declared"),
    ('def compute_hash(message: "bytes",', 'def compute_hash(message: "bytearray",', "check_exact checks"),
], ids=["keyword-only", "exact check against its annotation"])
def test_what_the_frame_cannot_declare_is_refused(checkout, old, new, message):
    twin = checkout / "twins" / "ferrovan.py"
    twin.write_text(twin.read_text().replace(old, new, 1))
    before = (checkout / "src" / "ferrovan" / "declared.h").read_text()
    refused = declare(checkout)
    assert refused.returncode == 2 and message in refused.stderr
    assert (checkout / "src" / "ferrovan" / "declared.h").read_text() == before
