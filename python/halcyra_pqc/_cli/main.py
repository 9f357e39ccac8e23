"""The command line: arguments, dispatch to the commands, and exit codes. A user's mistake
ends as one line on standard error and a documented exit code, never a traceback."""

import argparse
import os
import sys

from . import exits
from .commands import decrypt, encrypt, inspection, keygen, migrate, sign, verify

# Every command, in the order --help lists them; each module has its name, summary,
# examples, options and run().
COMMANDS = (keygen, encrypt, decrypt, sign, verify, inspection, migrate)

_DESCRIPTION = """\
Post-quantum encryption of files (ML-KEM-768, alone or with RSA-3072, and AES-256-GCM),
signatures, and the migration of stores of classic RSA ciphertexts."""

_MAIN_EXAMPLES = """\
examples:
  halcyra-pqc keygen --out private.json --pubout public.json
  halcyra-pqc encrypt public.json -i report.pdf -o report.pdf.enc
  halcyra-pqc decrypt private.json -i report.pdf.enc -o report.pdf
  halcyra-pqc migrate /srv/blobs --legacy-key old.pem --to public.json --in-place

Each command has its own --help. Pass phrases are read from files only (--passphrase-file).
"""


class _Version(argparse.Action):
    """--version, which looks the version up only when asked: importlib.metadata would cost
    every start-up tens of milliseconds."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show program's version number and exit"):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib import metadata

        try:
            version = metadata.version("halcyra-pqc")
        except metadata.PackageNotFoundError:
            version = "(not installed)"
        print(f"{parser.prog} {version}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="halcyra-pqc", description=_DESCRIPTION, epilog=_MAIN_EXAMPLES + "\n" + exits.SUMMARY,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        sub = commands.add_parser(command.NAME, help=command.SUMMARY, description=command.SUMMARY,
                                  epilog=command.EXAMPLES + "\n\n" + exits.SUMMARY,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except exits.UsageError as error:
        _say(error)
        return exits.USAGE
    except exits.CommandFailed as error:
        _say(error)
        return exits.FAILED
    except KeyboardInterrupt:
        return exits.INTERRUPTED
    except BrokenPipeError:
        # A report printed to a reader that went away (`| head`): what it has is not all.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        _say("standard output: cut off: the reader closed the pipe before the end")
        return exits.FAILED


def _say(error: Exception) -> None:
    print(f"halcyra-pqc: {error}", file=sys.stderr)
