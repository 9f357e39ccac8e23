"""Where the file commands read and write, through the console script: `-o` writes a regular
file whole or not at all and writes anything else through, never replacing it; an existing
file is replaced only when asked; a reader that goes away fails the command; inputs are held
to their limits without being read whole, and `inspect` never waits on a FIFO."""

import os
import stat
import subprocess
import threading

import pytest

from cli_support import COMMAND, cli, environment, error_line

MESSAGE = os.urandom(1 << 20)  # more than a pipe holds, so a writer meets a reader's close


@pytest.fixture(scope="module")
def files(tmp_path_factory, hybrid_keys):
    root = tmp_path_factory.mktemp("io")
    (root / "public.json").write_bytes(hybrid_keys[0])
    (root / "private.json").write_bytes(hybrid_keys[1])
    (root / "message").write_bytes(MESSAGE)
    (root / "pass.txt").write_bytes(b"pass phrase\n")
    assert cli("encrypt", "public.json", "-i", "message", "-o", "sealed", cwd=root).returncode == 0
    assert cli("keygen", "--out", "protected.json", "--pubout", "protected.pub", "--passphrase-file", "pass.txt",
               cwd=root).returncode == 0
    return root


def leftovers(directory):
    return [name for name in os.listdir(directory) if name.endswith(".part")]


def scratch_null_device(path):
    """A node of the null device (major 1, minor 3) made for the test, never the real one."""
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        os.close(os.open(path, os.O_WRONLY))
    except PermissionError as error:
        pytest.skip(f"cannot make or open a device node here (needs root, and a file system without nodev): {error}")


class EndlessFifo:
    """A FIFO that a thread fills with zeros until its reader closes it (or CAP bytes, so
    that a reader that never stops still ends)."""

    CAP = 64 << 20

    def __init__(self, path):
        self.path, self.written = path, 0
        os.mkfifo(path)
        self.thread = threading.Thread(target=self._fill)
        self.thread.start()

    def _fill(self):
        block = bytes(1 << 16)
        with open(self.path, "wb", buffering=0) as fifo:
            try:
                while self.written < self.CAP:
                    self.written += fifo.write(block)
            except BrokenPipeError:
                pass

    def close(self):
        # Lets the writer's open return if the command never opened the FIFO.
        os.close(os.open(self.path, os.O_RDONLY | os.O_NONBLOCK))
        self.thread.join(60)


def read_fifo_in_background(path):
    got = {}
    thread = threading.Thread(target=lambda: got.setdefault("data", path.read_bytes()))
    thread.start()
    return thread, got


@pytest.mark.parametrize("kind", ["device", "device-link", "fifo", "stdout-link", "fd-link"])
def test_o_writes_through_what_is_not_a_regular_file(files, tmp_path, kind):
    target = tmp_path / "out"
    reader = None
    if kind == "device":
        scratch_null_device(target)
    elif kind == "device-link":
        scratch_null_device(tmp_path / "null")
        os.symlink("null", target)
    elif kind == "fifo":
        os.mkfifo(target)
        reader = read_fifo_in_background(target)
    else:  # as /dev/stdout is made, and where /dev/fd/1 leads
        os.symlink("/proc/self/fd/1" if kind == "stdout-link" else "/dev/fd/1", target)
    before = os.lstat(target)
    result = cli("decrypt", files / "private.json", "-i", files / "sealed", "-o", target)
    assert result.returncode == 0, result.stderr
    after = os.lstat(target)
    assert (stat.S_IFMT(after.st_mode), after.st_ino) == (stat.S_IFMT(before.st_mode), before.st_ino)
    if reader is not None:
        reader[0].join(60)
        assert reader[1]["data"] == MESSAGE
    if kind in ("stdout-link", "fd-link"):
        assert result.stdout == MESSAGE  # down the pipe the link leads to
    if kind == "device-link":
        assert stat.S_ISCHR(os.lstat(tmp_path / "null").st_mode)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("command", [
    ["encrypt", "public.json", "-i", "message"],
    ["decrypt", "private.json", "-i", "sealed"],
    ["sign", "private.json", "SHA-256", "-i", "message"],
])
@pytest.mark.parametrize("through_link", [False, True])
def test_an_existing_regular_file_is_replaced_only_with_force(files, tmp_path, command, through_link):
    old = tmp_path / "old"
    old.write_bytes(b"kept")
    os.chmod(old, 0o640)
    if os.geteuid() == 0:
        os.chown(old, 1234, 4321)
    name = tmp_path / "link" if through_link else old
    if through_link:
        os.symlink("old", name)
    refused = cli(*command, "-o", name, cwd=files)
    assert refused.returncode == 2 and error_line(refused) == f"halcyra-pqc: {name}: already exists: give --force to replace it"
    assert old.read_bytes() == b"kept"

    replaced = cli(*command, "-o", name, "--force", cwd=files)
    assert replaced.returncode == 0, replaced.stderr
    assert old.read_bytes() not in (b"", b"kept") and name.is_symlink() == through_link
    found = old.stat()
    assert stat.S_IMODE(found.st_mode) == 0o640
    if os.geteuid() == 0:
        assert (found.st_uid, found.st_gid) == (1234, 4321)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("output", [None, "-", "link"])
def test_a_reader_that_goes_away_fails_the_command(files, tmp_path, output):
    if output == "link":  # as /dev/stdout is made (never the machine's own, which a fault would replace)
        output = tmp_path / "stdout"
        os.symlink("/proc/self/fd/1", output)
    with subprocess.Popen([*COMMAND, "decrypt", str(files / "private.json"), "-i", str(files / "sealed"),
                           *(["-o", str(output)] if output else [])],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment()) as process:
        assert process.stdout.read(10) == MESSAGE[:10]
        process.stdout.close()  # as `| head -c 10` does
        stderr = process.stderr.read().decode()
    assert process.wait(60) == 1
    name = output if isinstance(output, os.PathLike) else "standard output"
    assert stderr.splitlines() == [f"halcyra-pqc: {name}: cut off: the reader closed the pipe before the end"]


@pytest.mark.parametrize("command, code, refusal", [
    (["encrypt", "public.json", "-i", "HUGE"], 2, "the message is too long: 3221225472 bytes, at most"),
    (["decrypt", "private.json", "-i", "HUGE"], 1, "the ciphertext is too long: 3221225472 bytes, at most"),
    (["encrypt", "STREAM", "-i", "message"], 2, "the key file is too long: more than the 65536 bytes allowed"),
    (["decrypt", "protected.json", "--passphrase-file", "STREAM", "-i", "sealed"], 2,
     "the pass phrase is longer than 65536 bytes"),
])
def test_inputs_over_their_limit_are_refused_before_they_are_read(files, tmp_path, command, code, refusal):
    huge, stream = tmp_path / "huge", None
    with open(huge, "wb") as file:
        file.truncate(3 * 2**30)  # sparse: refused by its size, never read
    if "STREAM" in command:
        stream = EndlessFifo(tmp_path / "stream")
    command = [{"HUGE": huge, "STREAM": tmp_path / "stream"}.get(part, part) for part in command]
    try:
        result = cli(*command, "-o", tmp_path / "out", cwd=files, timeout=60)
    finally:
        if stream is not None:
            stream.close()
    assert result.returncode == code and refusal in error_line(result), result.stderr
    assert not (tmp_path / "out").exists() and leftovers(tmp_path) == []
    if stream is not None:
        assert stream.written < 1 << 20  # read only until it passed the limit


def test_inspect_reads_regular_files_only_and_never_waits(files, tmp_path):
    os.mkfifo(tmp_path / "fifo")  # with no writer: opening it to read would wait for ever
    result = cli("inspect", tmp_path / "fifo", tmp_path, "/dev/zero", files / "sealed", timeout=30)
    assert result.returncode == 2
    assert result.stdout.decode().splitlines()[:3] == [
        f"{tmp_path / 'fifo'}: a FIFO, not a regular file",
        f"{tmp_path}: a directory, not a regular file",
        "/dev/zero: a character device, not a regular file",
    ]
    assert "hybrid ML-KEM-768+RSA ciphertext" in result.stdout.decode()
