"""Inputs and outputs of the file commands: files or the standard streams, pass phrases from
files only, and outputs that appear complete or not at all."""

import os
import sys

from . import durable
from .exits import UsageError

STANDARD_STREAM = "-"


def read_file(path: str) -> bytes:
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror}") from None


def read_input(path: str | None) -> bytes:
    if path in (None, STANDARD_STREAM):
        return sys.stdin.buffer.read()
    return read_file(path)


def write_output(path: str | None, data: bytes, *, binary: bool) -> None:
    """Writes to standard output, or atomically replaces the file (which keeps its mode)."""
    if path in (None, STANDARD_STREAM):
        if binary and sys.stdout.isatty():
            raise UsageError("not writing binary data to a terminal: give -o FILE or redirect the output")
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        durable.replace_file(path, data)
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror}") from None


def read_passphrase(path: str) -> bytes:
    """The pass phrase in a file: its content without one final line break."""
    data = read_file(path)
    if data.endswith(b"\r\n"):
        data = data[:-2]
    elif data.endswith(b"\n"):
        data = data[:-1]
    if not data:
        raise UsageError(f"{path}: the pass phrase file is empty")
    return data


def must_not_exist(*paths: str) -> None:
    for path in paths:
        if os.path.lexists(path):
            raise UsageError(f"{path}: already exists; an existing key is never overwritten")
