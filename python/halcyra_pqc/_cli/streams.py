"""The input and the output of the commands that turn one into the other (encrypt, decrypt,
sign): their options, and opening the two together."""

import contextlib

from .exits import UsageError
from .files import open_input, read_input
from .output import open_output


def add_arguments(parser) -> None:
    parser.add_argument("--input", "-i", metavar="FILE", help="input file (default: standard input)")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="output file, put in place whole or not at all (through a link, the file it "
                             "names); a device or FIFO is written as it is (default and -: standard output)")
    parser.add_argument("--force", action="store_true", help="replace the regular file that -o names if it exists")


def add_passphrase(parser) -> None:
    parser.add_argument("--passphrase-file", metavar="FILE", help="pass phrase of a protected private key")


@contextlib.contextmanager
def opened(args, *, binary: bool):
    """The output and the input of a command that streams from one to the other."""
    with open_output(args.output, binary=binary, force=args.force) as out, open_input(args.input) as source:
        if out.holds(source.identity):
            # `cmd -i FILE >> FILE` would read what it writes, without end.
            raise UsageError(f"{source.name}: the input is also the output")
        yield out, source


def convert(args, conversion, limit: int | None, what: str, *, failure, binary: bool) -> None:
    """Writes conversion(the input) to the output; the input is held to `limit` bytes, and a
    refusal of either ends the command with `failure`, nothing written."""
    with open_output(args.output, binary=binary, force=args.force) as out:
        data = read_input(args.input, limit, what, failure=failure)
        try:
            result = conversion(data)
        except ValueError as error:
            raise failure(f"{name(args.input)}: {error}") from None
        out.write(result)
        out.commit()


def name(path: str | None) -> str:
    return "standard input" if path in (None, "-") else path
