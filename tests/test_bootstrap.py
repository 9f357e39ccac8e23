"""scripts/bootstrap.sh where the interpreter cannot be built: it stops at the first error and
leaves no temporary directory behind."""

import subprocess
import tarfile
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "bootstrap.sh"
FAILING_CONFIGURE = '#!/bin/sh\necho "configure: error: no C compiler found" >&2\nexit 1\n'


@pytest.mark.parametrize("tarball, first_error", [
    (None, "bootstrap: no CPython source at"), (b"not an archive", "tar: "),
    (FAILING_CONFIGURE, "configure: error: no C compiler found"),
])
def test_a_failed_interpreter_build_stops_at_its_first_error(tmp_path, tarball, first_error):
    tools, temporary, source = tmp_path / "bin", tmp_path / "tmp", tmp_path / "Python-0.tar.xz"
    tools.mkdir()
    temporary.mkdir()
    # No CPython 3.14 on PATH and every build dependency installed: it builds, and installs nothing.
    (tools / "python3.14").write_text("#!/bin/sh\nexit 1\n")
    (tools / "dpkg-query").write_text("#!/bin/sh\nprintf 'install ok installed'\n")
    (tools / "configure").write_text(FAILING_CONFIGURE)
    for tool in tools.iterdir():
        tool.chmod(0o755)
    if isinstance(tarball, bytes):
        source.write_bytes(tarball)
    elif tarball is not None:
        with tarfile.open(source, "w:xz") as archive:
            archive.add(tools / "configure", "Python-0/configure")
    done = subprocess.run(["bash", str(SCRIPT)], capture_output=True, text=True, timeout=120, env={
        "PATH": f"{tools}:/usr/bin:/bin", "HOME": str(tmp_path), "TMPDIR": str(temporary),
        "HALCYRA_CACHE": str(tmp_path / "cache"), "HALCYRA_VENV": str(tmp_path / "venv"),
        "HALCYRA_CPYTHON_TARBALL": str(source)})
    assert done.returncode != 0 and first_error in done.stderr
    # Nothing ran after it: no configure or make of a source that is not there.
    assert "configure: No such file" not in done.stderr and "make:" not in done.stderr, done.stderr
    assert list(temporary.iterdir()) == list(tmp_path.glob("cache/*")) == [] and not (tmp_path / "venv").exists()
