"""The demonstration runs end to end in a fresh interpreter."""

from pathlib import Path

from conftest import run_python

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_demo_runs():
    result = run_python(f"import runpy; runpy.run_path({str(EXAMPLES / 'demo.py')!r}, run_name='__main__')")
    assert result.returncode == 0, result.stderr
    assert result.stdout.rstrip().endswith("all good")
    assert "Private key required for decryption" in result.stdout
