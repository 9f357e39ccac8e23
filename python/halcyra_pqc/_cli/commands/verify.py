"""`verify`: checks a file's RSA PKCS#1 v1.5 signature with the key the core has parsed."""

from ... import MAX_SIGNATURE_BYTES, verify_signature
from .. import keyfiles
from ..exits import OK, CommandFailed, UsageError
from ..files import read_file, read_input

NAME = "verify"
SUMMARY = "verify a file's signature with a public key"
EXAMPLES = """\
examples:
  halcyra-pqc verify public.json contract.sig -i contract.pdf
  halcyra-pqc verify old-rsa.pub.pem release.sig < release.tar

Prints "Verification OK (HASH)" and exits with 0, or exits with 1; a signature made with MD5
or SHA-1, which are broken, fails."""


def add_arguments(parser) -> None:
    parser.add_argument("public_key", metavar="PUBLIC_KEY")
    parser.add_argument("signature", metavar="SIGNATURE_FILE")
    parser.add_argument("--input", "-i", metavar="FILE", help="the signed file (default: standard input)")


def run(args) -> int:
    data, described = keyfiles.public_use(args.public_key, purpose="verify")
    if described["kind"] == "mlkem":
        raise UsageError(f"{args.public_key}: an ML-KEM-only key has no RSA half, which signatures are made with")
    signature = read_file(args.signature, MAX_SIGNATURE_BYTES, "the signature file", failure=CommandFailed)
    message = read_input(args.input, None, "the message")
    try:
        found = verify_signature(message, signature, data)
    except ValueError as error:
        raise CommandFailed(str(error)) from None
    print(f"Verification OK ({found})")
    return OK
