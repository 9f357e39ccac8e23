"""scripts/bootstrap.sh where building the interpreter cannot succeed: it stops at the first
error, says what it was, and leaves no temporary directory behind."""

import subprocess
import tarfile
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "bootstrap.sh"


def make_tarball(root: Path, kind: str) -> Path:
    path = root / f"{kind}.tar.xz"
    if kind == "garbage":
        path.write_bytes(b"not an archive")
    elif kind == "configure-fails":
        configure = root / "configure"
        configure.write_text('#!/bin/sh\necho "configure: error: no C compiler found" >&2\nexit 1\n')
        configure.chmod(0o755)
        with tarfile.open(path, "w:xz") as archive:
            archive.add(configure, "Python-0/configure")
    return path


@pytest.mark.parametrize("kind, first_error", [
    ("missing", "bootstrap: no CPython source at"),
    ("garbage", "tar: "),
    ("configure-fails", "configure: error: no C compiler found"),
])
def test_a_failed_interpreter_build_stops_at_its_first_error(tmp_path, kind, first_error):
    tools, temporary = tmp_path / "bin", tmp_path / "tmp"
    tools.mkdir()
    temporary.mkdir()
    # No CPython 3.14 on PATH, and every build dependency reported installed, so that the
    # script builds from the tarball and never installs anything.
    (tools / "python3.14").write_text("#!/bin/sh\nexit 1\n")
    (tools / "dpkg-query").write_text("#!/bin/sh\nprintf 'install ok installed'\n")
    for tool in tools.iterdir():
        tool.chmod(0o755)
    env = {"PATH": f"{tools}:/usr/bin:/bin", "HOME": str(tmp_path), "TMPDIR": str(temporary),
           "HALCYRA_CACHE": str(tmp_path / "cache"), "HALCYRA_VENV": str(tmp_path / "venv"),
           "HALCYRA_CPYTHON_TARBALL": str(make_tarball(tmp_path, kind))}
    done = subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert first_error in done.stderr
    # Nothing ran after it: no extraction, configure or make of a source that is not there.
    later = [line for line in done.stderr.splitlines() if "configure: No such file" in line or "make:" in line]
    assert later == [] and "[bootstrap] ready" not in done.stdout, done.stderr
    assert list(temporary.iterdir()) == [] and not (tmp_path / "venv").exists()
    assert list((tmp_path / "cache").glob("*")) == []  # no half-built interpreter either
