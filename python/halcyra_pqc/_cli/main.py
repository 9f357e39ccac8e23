"""The command line: arguments, dispatch to the commands, and exit codes. A user's mistake
ends as one line on standard error and a documented exit code, never a traceback."""

import argparse
import os
import sys
from importlib import metadata

from . import exits
from .commands import migrate as migrate_command

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

_EXAMPLES = {
    "keygen": """\
examples:
  halcyra-pqc keygen --out private.json --pubout public.json
  halcyra-pqc keygen --out private.json --pubout public.json --passphrase-file pass.txt
  halcyra-pqc keygen --kind mlkem --out mlkem.json --pubout mlkem.pub.json

The private key file is created with mode 0600; existing files are never overwritten.""",
    "encrypt": """\
examples:
  halcyra-pqc encrypt public.json -i notes.txt -o notes.enc
  tar c photos | halcyra-pqc encrypt public.json > photos.tar.enc

Files and streams of any size are encrypted in the streamed form, in chunks of 128 KiB, in a
few MiB of memory. Programs read it with halcyra_pqc.decrypt_stream(), or whole with
pqc_decrypt_payload() (and so ferrovan's and mirelock's decrypt).""",
    "decrypt": """\
examples:
  halcyra-pqc decrypt private.json -i notes.enc -o notes.txt
  halcyra-pqc decrypt private.json --passphrase-file pass.txt < photos.tar.enc | tar x

A streamed ciphertext is decrypted a chunk at a time, each chunk checked before it is
written: -o FILE is put in place only once the last chunk has checked; a pipe receives each
chunk as it checks, and a ciphertext cut short or changed further on ends the command with
exit code 1 (discard what the pipe received). The one-shot form that programs write is read
whole. A classic RSA private key decrypts ciphertexts made before the switch (OAEP with
SHA-1 or PKCS#1 v1.5); one that the key does not open fails with exit code 1.""",
    "sign": """\
examples:
  halcyra-pqc sign private.json SHA-256 -i contract.pdf -o contract.sig
  halcyra-pqc sign old-rsa.pem SHA-512 < release.tar > release.sig

HASH is SHA-224, SHA-256, SHA-384 or SHA-512; MD5 and SHA-1 are broken and refused. The
signature is an RSA PKCS#1 v1.5 signature made with the RSA half of a hybrid key (or with a
classic RSA key), the same as the rsa package's.""",
    "verify": """\
examples:
  halcyra-pqc verify public.json contract.sig -i contract.pdf
  halcyra-pqc verify old-rsa.pub.pem release.sig < release.tar

Prints "Verification OK (HASH)" and exits with 0, or exits with 1.""",
    "inspect": """\
examples:
  halcyra-pqc inspect private.json public.json notes.enc
  halcyra-pqc inspect --json store/*.bin

Kinds: hybrid, mlkem (pure ML-KEM), protected, classic-rsa, unknown; a ciphertext's form
is streamed (what encrypt writes) or one-shot (what programs write). A classic RSA
ciphertext holds nothing that says what it is: a file of such a size is reported as
probably one. No key material is ever printed: only kinds, sizes and public fingerprints.""",
    "migrate": migrate_command.EXAMPLES,
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="halcyra-pqc", description=_DESCRIPTION, epilog=_MAIN_EXAMPLES + "\n" + exits.SUMMARY,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=summary, description=summary, epilog=_EXAMPLES[name] + "\n\n" + exits.SUMMARY,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)

    keygen = command("keygen", "make a key pair (hybrid ML-KEM-768 + RSA-3072 unless --kind mlkem)")
    keygen.add_argument("--out", "-o", required=True, metavar="PRIVATE", help="private key file to create")
    keygen.add_argument("--pubout", required=True, metavar="PUBLIC", help="public key file to create")
    keygen.add_argument("--kind", choices=("hybrid", "mlkem"), default="hybrid",
                        help="hybrid (default) or mlkem (ML-KEM-768 alone)")
    keygen.add_argument("--passphrase-file", metavar="FILE",
                        help="protect the private key with the pass phrase in FILE (scrypt, AES-256-GCM)")

    encrypt = command("encrypt", "encrypt a file or stream of any size to a public key")
    encrypt.add_argument("public_key", metavar="PUBLIC_KEY")
    _streams(encrypt)

    decrypt = command("decrypt", "decrypt a file with a private key")
    decrypt.add_argument("private_key", metavar="PRIVATE_KEY")
    _streams(decrypt)
    _passphrase(decrypt)

    sign = command("sign", "sign a file with a private key")
    sign.add_argument("private_key", metavar="PRIVATE_KEY")
    sign.add_argument("hash", metavar="HASH", help="SHA-224, SHA-256, SHA-384 or SHA-512")
    _streams(sign)
    _passphrase(sign)

    verify = command("verify", "verify a file's signature with a public key")
    verify.add_argument("public_key", metavar="PUBLIC_KEY")
    verify.add_argument("signature", metavar="SIGNATURE_FILE")
    verify.add_argument("--input", "-i", metavar="FILE", help="the signed file (default: standard input)")

    inspect = command("inspect", "say what a key or ciphertext file is")
    inspect.add_argument("files", metavar="FILE", nargs="+")
    inspect.add_argument("--json", action="store_true", help="print the findings as JSON")

    migrate_command.add_arguments(command("migrate", migrate_command.SUMMARY))
    return parser


def _streams(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--input", "-i", metavar="FILE", help="input file (default: standard input)")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="output file, put in place whole or not at all (through a link, the file it "
                             "names); a device or FIFO is written as it is (default and -: standard output)")
    parser.add_argument("--force", action="store_true", help="replace the regular file that -o names if it exists")


def _passphrase(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--passphrase-file", metavar="FILE", help="pass phrase of a protected private key")


def _version() -> str:
    try:
        return metadata.version("halcyra-pqc")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return _dispatch(args)
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


def _dispatch(args) -> int:
    if args.command == "migrate":
        from .commands.migrate import migrate

        return migrate(args)
    if args.command == "inspect":
        from .inspect import inspect

        return exits.OK if inspect(args) else exits.USAGE
    from . import commands

    getattr(commands, args.command)(args)
    return exits.OK


def _say(error: Exception) -> None:
    print(f"halcyra-pqc: {error}", file=sys.stderr)
