"""`sign`: an RSA PKCS#1 v1.5 signature of a file, with the key the core has parsed."""

from ... import sign_message
from .. import keyfiles, streams
from ..exits import OK, UsageError

NAME = "sign"
SUMMARY = "sign a file with a private key"
EXAMPLES = """\
examples:
  halcyra-pqc sign private.json SHA-256 -i contract.pdf -o contract.sig
  halcyra-pqc sign old-rsa.pem SHA-512 < release.tar > release.sig

HASH is SHA-224, SHA-256, SHA-384 or SHA-512, spelled as the rsa package and ferrovan take
it (sha256 too); MD5 and SHA-1 are broken and refused. The signature is an RSA PKCS#1 v1.5
signature made with the RSA half of a hybrid key (or with a classic RSA key), the same as
the rsa package's."""


def add_arguments(parser) -> None:
    parser.add_argument("private_key", metavar="PRIVATE_KEY")
    parser.add_argument("hash", metavar="HASH", help="SHA-224, SHA-256, SHA-384 or SHA-512")
    streams.add_arguments(parser)
    streams.add_passphrase(parser)


def run(args) -> int:
    data, described = keyfiles.private_key(args.private_key, args.passphrase_file, purpose="signing")
    if described["kind"] == "mlkem":
        raise UsageError(f"{args.private_key}: an ML-KEM-only key cannot sign: signatures are made with "
                         f"the RSA half of a hybrid key")

    def signed(message: bytes) -> bytes:
        try:
            return sign_message(message, data, args.hash)
        except ValueError as error:  # the hash: the key was checked above
            raise UsageError(str(error)) from None

    streams.convert(args, signed, None, "the message", failure=UsageError, binary=True)
    return OK
