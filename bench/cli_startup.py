"""What a short command costs: the imports of `halcyra-pqc encrypt`, and `sign` against
`verify` of a small file.

    PYTHONPATH=python .venv/bin/python bench/cli_startup.py [--rounds 21] [--against DIR ...]

In rounds that interleave the commands (and the packages compared), so that a shared
machine's load falls on all alike:
- `python -X importtime -m halcyra_pqc encrypt` of an empty file: the sum of the top-level
  imports' times (the best round), and how many modules it imports;
- `sign` (with a hybrid private key, SHA-256, to a file) and `verify` of a 13-byte file, each
  the whole command's wall time (the median round), and their ratio.
The package under test is the one PYTHONPATH leads to, and each --against DIR (a directory
holding another version's halcyra_pqc) is measured beside it. Their bytecode is compiled
first, as an install has it (PYTHONDONTWRITEBYTECODE would otherwise leave every run
compiling it anew).
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
_IMPORT_LINE = re.compile(r"import time:\s+\d+ \|\s+(\d+) \|( +)\S+")


def environment(path: str) -> dict:
    # The commands run in a scratch directory: the package's path must be absolute.
    return dict(os.environ, PYTHONPATH=os.path.abspath(path))


def run(env: dict, *args, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([*TOOL, *args], cwd=cwd, env=env, capture_output=True, check=True)


def import_time(env: dict, cwd: Path) -> tuple[float, int]:
    """(seconds of top-level imports, modules imported) of one `encrypt`."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "halcyra_pqc", "encrypt", "public.json",
                           "-i", "empty", "-o", "empty.enc", "--force"], cwd=cwd, env=env, capture_output=True,
                          check=True)
    found = [line for line in map(_IMPORT_LINE.match, done.stderr.decode().splitlines()) if line]
    return sum(int(line[1]) for line in found if len(line[2]) == 1) / 1e6, len(found)


def wall(env: dict, *args, cwd: Path) -> float:
    started = time.perf_counter()
    run(env, *args, cwd=cwd)
    return time.perf_counter() - started


def measure(packages: list[str], rounds: int) -> dict[str, dict[str, list]]:
    figures = {path: {"imports": [], "sign": [], "verify": []} for path in packages}
    with tempfile.TemporaryDirectory() as scratch:
        cwd = Path(scratch)
        first = environment(packages[0])
        run(first, "keygen", "--out", "private.json", "--pubout", "public.json", cwd=cwd)
        (cwd / "empty").write_bytes(b"")
        (cwd / "message").write_bytes(b"a small file\n")
        run(first, "sign", "private.json", "SHA-256", "-i", "message", "-o", "message.sig", cwd=cwd)
        for _ in range(rounds):
            for path in packages:
                env, found = environment(path), figures[path]
                found["imports"].append(import_time(env, cwd))
                found["sign"].append(wall(env, "sign", "private.json", "SHA-256", "-i", "message", "-o",
                                          "again.sig", "--force", cwd=cwd))
                found["verify"].append(wall(env, "verify", "public.json", "message.sig", "-i", "message", cwd=cwd))
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--against", action="append", default=[], metavar="DIR")
    options = parser.parse_args()
    packages = [os.environ.get("PYTHONPATH", "python").split(os.pathsep)[0], *options.against]
    for path in packages:
        subprocess.run([sys.executable, "-m", "compileall", "-q", os.path.join(path, "halcyra_pqc")], check=True)
    for path, found in measure(packages, options.rounds).items():
        seconds, modules = min(found["imports"])
        sign, verify = statistics.median(found["sign"]), statistics.median(found["verify"])
        print(f"{path}: encrypt imports {seconds * 1000:.0f} ms (best of {options.rounds}), {modules} modules; "
              f"sign {sign * 1000:.0f} ms, verify {verify * 1000:.0f} ms (medians): sign takes {sign / verify:.2f}x "
              f"verify")


if __name__ == "__main__":
    main()
