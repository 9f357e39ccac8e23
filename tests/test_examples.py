"""The demonstration and the file-encryption tool run end to end."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import halcyra_pqc.ferrovan as rsa
from conftest import PACKAGE_DIR, run_python

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_demo_runs():
    result = run_python(f"import runpy; runpy.run_path({str(EXAMPLES / 'demo.py')!r}, run_name='__main__')")
    assert result.returncode == 0, result.stderr
    assert result.stdout.rstrip().endswith("all good")
    assert "Private key required for decryption" in result.stdout


def run_encrypt_file(*args, cwd):
    return subprocess.run(
        [sys.executable, "-W", "error", str(EXAMPLES / "encrypt_file.py"), *args],
        cwd=cwd, capture_output=True, text=True, timeout=300,
        env=dict(os.environ, PYTHONPATH=str(PACKAGE_DIR.parent)),
    )


@pytest.fixture(scope="module")
def encrypt_file():
    """examples/encrypt_file.py loaded as a module, for calling its main() in this process."""
    spec = importlib.util.spec_from_file_location("encrypt_file", EXAMPLES / "encrypt_file.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_encrypt_file_tool_end_to_end(tmp_path):
    def tool(*args):
        result = run_encrypt_file(*args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        return result.stdout

    tool("keygen", "public.pem", "private.pem")
    assert (tmp_path / "private.pem").stat().st_mode & 0o777 == 0o600
    assert (tmp_path / "public.pem").read_bytes().startswith(b"{")
    # Far beyond what RSA encryption alone could take.
    report = os.urandom(200_000) + b"quarterly figures"
    (tmp_path / "report.txt").write_bytes(report)
    tool("encrypt", "public.pem", "report.txt", "report.enc")
    assert b"quarterly figures" not in (tmp_path / "report.enc").read_bytes()
    tool("decrypt", "private.pem", "report.enc", "report.out")
    assert (tmp_path / "report.out").read_bytes() == report
    tool("sign", "private.pem", "report.txt", "report.sig", "--hash", "SHA-512")
    assert tool("verify", "public.pem", "report.txt", "report.sig") == "Verification OK (SHA-512)\n"


def test_encrypt_file_tool_refuses_without_harm(tmp_path, encrypt_file, capsys):
    def tool(*args):
        return encrypt_file.main([str(tmp_path / a) if "." in a else a for a in args])

    assert tool("keygen", "public.pem", "private.pem") == 0
    assert tool("keygen", "other_public.pem", "other_private.pem") == 0
    private_key = (tmp_path / "private.pem").read_bytes()
    (tmp_path / "data.txt").write_bytes(b"the data")
    assert tool("encrypt", "public.pem", "data.txt", "data.enc") == 0
    assert tool("sign", "private.pem", "data.txt", "data.sig") == 0
    capsys.readouterr()

    # An existing key is never replaced, not even half of a pair.
    assert tool("keygen", "new_public.pem", "private.pem") == 1
    assert "already exists" in capsys.readouterr().err
    assert (tmp_path / "private.pem").read_bytes() == private_key
    assert not (tmp_path / "new_public.pem").exists()

    # A failed decryption writes nothing.
    changed = bytearray((tmp_path / "data.enc").read_bytes())
    changed[-1] ^= 1
    (tmp_path / "changed.enc").write_bytes(changed)
    for key, ciphertext in [("private.pem", "changed.enc"), ("other_private.pem", "data.enc"),
                            ("public.pem", "data.enc")]:
        assert tool("decrypt", key, ciphertext, "out.txt") == 1
        assert "decryption failed" in capsys.readouterr().err
        assert not (tmp_path / "out.txt").exists()

    (tmp_path / "changed.txt").write_bytes(b"the date")
    for key, data in [("public.pem", "changed.txt"), ("other_public.pem", "data.txt")]:
        assert tool("verify", key, data, "data.sig") == 1
        assert "verification failed" in capsys.readouterr().err

    # verify() names MD5 for an MD5 signature; the tool does not accept it.
    (tmp_path / "md5.sig").write_bytes(rsa.sign(b"the data", private_key, "MD5"))
    assert tool("verify", "public.pem", "data.txt", "md5.sig") == 1
    assert "uses MD5, which is not accepted" in capsys.readouterr().err

    # Unusable or missing key files are reported, not raised.
    (tmp_path / "garbage.pem").write_bytes(b"not a key")
    for args in [("encrypt", "garbage.pem", "data.txt", "x.enc"), ("sign", "garbage.pem", "data.txt", "x.sig"),
                 ("verify", "garbage.pem", "data.txt", "data.sig"), ("decrypt", "missing.pem", "data.enc", "x.txt")]:
        assert tool(*args) == 1
        assert capsys.readouterr().err.strip()
