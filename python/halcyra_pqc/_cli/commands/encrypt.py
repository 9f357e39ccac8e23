"""`encrypt`: a file or stream of any size to a public key, in the streamed form."""

from ... import encrypt_stream
from .. import keyfiles, streams
from ..exits import OK, UsageError

NAME = "encrypt"
SUMMARY = "encrypt a file or stream of any size to a public key"
EXAMPLES = """\
examples:
  halcyra-pqc encrypt public.json -i notes.txt -o notes.enc
  tar c photos | halcyra-pqc encrypt public.json > photos.tar.enc

Files and streams of any size are encrypted in the streamed form, in chunks of 128 KiB, in a
few MiB of memory. Programs read it with halcyra_pqc.decrypt_stream(), or whole with
pqc_decrypt_payload() (and so ferrovan's and mirelock's decrypt)."""


def add_arguments(parser) -> None:
    parser.add_argument("public_key", metavar="PUBLIC_KEY")
    streams.add_arguments(parser)


def run(args) -> int:
    """Writes the streamed form: any size, in memory that does not grow with it."""
    public = keyfiles.post_quantum_public_key(args.public_key, purpose="encryption")
    with streams.opened(args, binary=True) as (out, source):
        try:
            encrypt_stream(source, out, public)
        except ValueError as error:  # an input that will not read as a stream (non-blocking)
            raise UsageError(f"{source.name}: {error}") from None
        out.commit()
    return OK
