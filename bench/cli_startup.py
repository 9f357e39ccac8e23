"""What a short command costs: the imports of `halcyra-pqc encrypt`, and `sign` against
`verify` of a small file.

    PYTHONPATH=python .venv/bin/python bench/cli_startup.py [--rounds 15]

In rounds that interleave the commands, so that a shared machine's load falls on all alike:
- `python -X importtime -m halcyra_pqc encrypt` of an empty file: the sum of the top-level
  imports' times (the best round), and how many modules it imports;
- `sign` (with a hybrid private key, SHA-256, to a file) and `verify` of a 13-byte file, each
  the whole command's wall time (the median round), and their ratio.
The package under test is the one PYTHONPATH leads to.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOOL = [sys.executable, "-m", "halcyra_pqc"]
# The commands run in a scratch directory: a relative PYTHONPATH must still lead to the package.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(map(os.path.abspath, filter(None, os.environ.get(
    "PYTHONPATH", "").split(os.pathsep)))))
_IMPORT_LINE = re.compile(r"import time:\s+\d+ \|\s+(\d+) \|( +)\S+")


def run(*args, cwd: Path, **options) -> subprocess.CompletedProcess:
    return subprocess.run([*TOOL, *args], cwd=cwd, env=ENV, capture_output=True, check=True, **options)


def import_time(cwd: Path) -> tuple[float, int]:
    """(seconds of top-level imports, modules imported) of one `encrypt`."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "halcyra_pqc", "encrypt", "public.json",
                           "-i", "empty", "-o", "empty.enc", "--force"], cwd=cwd, env=ENV, capture_output=True,
                          check=True)
    lines = [_IMPORT_LINE.match(line) for line in done.stderr.decode().splitlines()]
    found = [line for line in lines if line]
    return sum(int(line[1]) for line in found if len(line[2]) == 1) / 1e6, len(found)


def wall(*args, cwd: Path) -> float:
    started = time.perf_counter()
    run(*args, cwd=cwd)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory() as scratch:
        cwd = Path(scratch)
        run("keygen", "--out", "private.json", "--pubout", "public.json", cwd=cwd)
        (cwd / "empty").write_bytes(b"")
        (cwd / "message").write_bytes(b"a small file\n")
        run("sign", "private.json", "SHA-256", "-i", "message", "-o", "message.sig", cwd=cwd)
        imports, signs, verifies = [], [], []
        for _ in range(rounds):
            imports.append(import_time(cwd))
            signs.append(wall("sign", "private.json", "SHA-256", "-i", "message", "-o", "again.sig", "--force",
                              cwd=cwd))
            verifies.append(wall("verify", "public.json", "message.sig", "-i", "message", cwd=cwd))
    seconds, modules = min(imports)
    sign, verify = statistics.median(signs), statistics.median(verifies)
    print(f"package: {run_package()}")
    print(f"encrypt imports: {seconds * 1000:.0f} ms (best of {rounds}), {modules} modules")
    print(f"sign {sign * 1000:.0f} ms, verify {verify * 1000:.0f} ms (medians of {rounds}): "
          f"sign takes {sign / verify:.2f}x verify")


def run_package() -> str:
    done = subprocess.run([sys.executable, "-c", "import halcyra_pqc; print(halcyra_pqc.__path__[0])"],
                          cwd=tempfile.gettempdir(), env=ENV, capture_output=True, check=True, text=True)
    return done.stdout.strip()


if __name__ == "__main__":
    main()
