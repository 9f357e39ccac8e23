"""examples/session_key.py runs end to end in a fresh interpreter."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import PACKAGE_DIR, minimal_env

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "session_key.py"


@pytest.mark.parametrize("into_argument", [False, True], ids=["cwd", "argv"])
def test_session_key_example(tmp_path, into_argument):
    out = tmp_path / "out"
    out.mkdir()
    result = subprocess.run(
        [sys.executable, "-W", "error", str(EXAMPLE)] + ([str(out)] if into_argument else []),
        cwd=tmp_path if into_argument else out, capture_output=True, text=True, timeout=300,
        env=minimal_env(PYTHONPATH=str(PACKAGE_DIR.parent), PATH="/usr/bin:/bin"),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "I met aliens in UFO. Here is the map.\n"
    assert sorted(p.name for p in out.iterdir()) == ["encrypted_data.bin", "private.pem", "receiver.pem"]
    assert (out / "private.pem").read_bytes().lstrip().startswith(b"{")
    assert b"I met aliens" not in (out / "encrypted_data.bin").read_bytes()
