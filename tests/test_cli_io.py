"""Where the file commands read and write, through the console script: `-o` puts a regular
file in place whole and writes anything else through, never replacing it; an existing file
is replaced only when asked; a reader that goes away fails the command; inputs are held to
their limits without being read whole, and `inspect` never waits on a FIFO."""

import os
import signal
import stat
import subprocess
import threading

import pytest

from cli_support import COMMAND, cli, environment, error_line

pytestmark = pytest.mark.engine

MESSAGE = os.urandom(1 << 20)  # more than a pipe holds, so a writer meets a reader's close


@pytest.fixture(scope="module")
def files(tmp_path_factory, hybrid_keys):
    root = tmp_path_factory.mktemp("io")
    (root / "public.json").write_bytes(hybrid_keys[0])
    (root / "private.json").write_bytes(hybrid_keys[1])
    (root / "message").write_bytes(MESSAGE)
    (root / "pass.txt").write_bytes(b"pass phrase\n")
    assert cli("encrypt", "public.json", "-i", "message", "-o", "sealed", cwd=root).returncode == 0
    assert cli("keygen", "--out", "protected.json", "--pubout", "p.pub", "--passphrase-file", "pass.txt",
               cwd=root).returncode == 0
    return root


def leftovers(directory):
    return [name for name in os.listdir(directory) if name.endswith(".part")]


def scratch_null_device(path):
    """A node of the null device made for the test: never the machine's own."""
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        os.close(os.open(path, os.O_WRONLY))
    except PermissionError as error:
        pytest.skip(f"cannot make or open a device node (needs root and a file system without nodev): {error}")


@pytest.mark.parametrize("kind", ["device", "device-link", "fifo", "stdout-link", "fd-link"])
def test_o_writes_through_what_is_not_a_regular_file(files, tmp_path, kind):
    target, got = tmp_path / "out", {}
    if kind.startswith("device"):
        scratch_null_device(tmp_path / "null")
        if kind == "device-link":
            os.symlink("null", target)
        else:
            os.rename(tmp_path / "null", target)
    elif kind == "fifo":
        os.mkfifo(target)
        reader = threading.Thread(target=lambda: got.setdefault("data", target.read_bytes()))
        reader.start()
    else:  # as /dev/stdout is made, and where /dev/fd/1 leads
        os.symlink("/proc/self/fd/1" if kind == "stdout-link" else "/dev/fd/1", target)
    before = os.lstat(target)
    result = cli("decrypt", files / "private.json", "-i", files / "sealed", "-o", target)
    assert result.returncode == 0, result.stderr
    assert os.lstat(target)[:3] == before[:3]  # the same kind, the same inode
    if kind == "fifo":
        reader.join(60)
    assert got.get("data", result.stdout) == (MESSAGE if kind in ("fifo", "stdout-link", "fd-link") else b"")
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("command", [["encrypt", "public.json", "-i", "message"],
                                     ["decrypt", "private.json", "-i", "sealed"],
                                     ["sign", "private.json", "SHA-256", "-i", "message"]])
@pytest.mark.parametrize("through_link", [False, True])
def test_an_existing_regular_file_is_replaced_only_with_force(files, tmp_path, command, through_link):
    old = tmp_path / "old"
    old.write_bytes(b"kept")
    os.chmod(old, 0o640)
    owner = (1234, 4321) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
    os.chown(old, *owner)
    name = tmp_path / "link" if through_link else old
    if through_link:
        os.symlink("old", name)
    refused = cli(*command, "-o", name, cwd=files)
    assert (refused.returncode, error_line(refused)) == (2, f"halcyra-pqc: {name}: already exists: give --force "
                                                            f"to replace it")
    assert old.read_bytes() == b"kept"
    assert cli(*command, "-o", name, "--force", cwd=files).returncode == 0
    found = old.stat()
    assert old.read_bytes() not in (b"", b"kept") and name.is_symlink() == through_link
    assert (stat.S_IMODE(found.st_mode), found.st_uid, found.st_gid) == (0o640, *owner)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("output", [None, "-", "link"])
def test_a_reader_that_goes_away_fails_the_command(files, tmp_path, output):
    if output == "link":  # as /dev/stdout is made (not the machine's own, which a fault would replace)
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
    (["decrypt", "private.json", "-i", "HUGE"], 1, "the ciphertext is too long: 3221225472 bytes, at most"),
    (["encrypt", "/dev/stdin", "-i", "message"], 2, "the key file is too long: more than the 65536 bytes allowed"),
    (["decrypt", "protected.json", "--passphrase-file", "/dev/stdin", "-i", "sealed"], 2,
     "the pass phrase is longer than 65536 bytes"),
])
def test_inputs_over_their_limit_are_refused_before_they_are_read(files, tmp_path, command, code, refusal):
    huge = tmp_path / "huge"
    with open(huge, "wb") as file:
        file.truncate(3 * 2**30)  # sparse: refused by its size, never read
    command = [huge if part == "HUGE" else part for part in command]
    # 64 MiB down a pipe: killed by SIGPIPE unless the command read it all.
    with subprocess.Popen(["head", "-c", str(64 << 20), "/dev/zero"], stdout=subprocess.PIPE) as stream:
        result = subprocess.run([*COMMAND, *command, "-o", tmp_path / "out"], cwd=files, stdin=stream.stdout,
                                capture_output=True, env=environment(), timeout=60)
        stream.stdout.close()
    assert result.returncode == code and refusal in error_line(result), result.stderr
    if "/dev/stdin" in command:
        assert stream.returncode == -signal.SIGPIPE
    assert not (tmp_path / "out").exists() and leftovers(tmp_path) == []


def test_inspect_reads_regular_files_only_and_never_waits(files, tmp_path):
    os.mkfifo(tmp_path / "fifo")  # with no writer: opening it to read would wait for ever
    result = cli("inspect", tmp_path / "fifo", tmp_path, "/dev/zero", files / "sealed", timeout=30)
    assert result.returncode == 2
    assert result.stdout.decode().splitlines()[:3] == [f"{tmp_path / 'fifo'}: a FIFO, not a regular file",
                                                       f"{tmp_path}: a directory, not a regular file",
                                                       "/dev/zero: a character device, not a regular file"]
    assert "hybrid ML-KEM-768+RSA ciphertext" in result.stdout.decode()
