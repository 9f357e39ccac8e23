"""`decrypt`: a ciphertext of either form with a post-quantum private key, or one made before
the switch with the classic RSA key it was made for."""

from ... import (
    AUTHENTICATION_FAILED,
    CIPHERTEXT_PREFIX_BYTES,
    MAX_PACKED_CIPHERTEXT_BYTES,
    decrypt_stream,
    is_streamed,
    pqc_decrypt_payload,
)
from .. import keyfiles, streams
from ..exits import OK, CommandFailed

NAME = "decrypt"
SUMMARY = "decrypt a file with a private key"
EXAMPLES = """\
examples:
  halcyra-pqc decrypt private.json -i notes.enc -o notes.txt
  halcyra-pqc decrypt private.json --passphrase-file pass.txt < photos.tar.enc | tar x

A streamed ciphertext is decrypted a chunk at a time, each chunk checked before it is
written: -o FILE is put in place only once the last chunk has checked; a pipe receives each
chunk as it checks, and a ciphertext cut short or changed further on ends the command with
exit code 1 (discard what the pipe received). The one-shot form that programs write is read
whole. A classic RSA private key decrypts ciphertexts made before the switch (OAEP with
SHA-1 or PKCS#1 v1.5); one that the key does not open fails with exit code 1."""


def add_arguments(parser) -> None:
    parser.add_argument("private_key", metavar="PRIVATE_KEY")
    streams.add_arguments(parser)
    streams.add_passphrase(parser)


def run(args) -> int:
    data, described = keyfiles.private_key(args.private_key, args.passphrase_file, purpose="decryption")
    if described["kind"] == "classic-rsa":
        # Only here: the migration package is not needed by post-quantum keys.
        from ...migration import decrypt_legacy_ciphertext

        # Stored data of the operator's: its padding is checked, so a ciphertext the key does
        # not open fails instead of decrypting to random bytes.
        streams.convert(args, lambda ciphertext: decrypt_legacy_ciphertext(ciphertext, data)[1],
                        MAX_PACKED_CIPHERTEXT_BYTES, "the ciphertext", failure=CommandFailed, binary=False)
        return OK
    with streams.opened(args, binary=False) as (out, source):
        if is_streamed(source.peek(CIPHERTEXT_PREFIX_BYTES)):
            _decrypt_streamed(source, out, data)
        else:
            # The one-shot form has a single tag over the whole message: read whole, within its limit.
            ciphertext = source.read_all(MAX_PACKED_CIPHERTEXT_BYTES, "the ciphertext", failure=CommandFailed)
            try:
                message = pqc_decrypt_payload(ciphertext, data)
            except ValueError as error:
                raise CommandFailed(f"{source.name}: {error}") from None
            out.write(message)
        out.commit()
    return OK


def _decrypt_streamed(source, out, key_data: bytes) -> None:
    """Each chunk goes out once its tag has checked: to a regular file, which is put in place
    only after the last, or straight to a pipe or device, which then holds a part if a later
    chunk fails."""
    try:
        decrypt_stream(source, out, key_data)
    except ValueError as error:
        reason = str(error)
        failure = None
        if reason == AUTHENTICATION_FAILED and out.releases and out.written:
            failure = (f"decryption failed after {out.written} bytes of the message were written out, each "
                       f"part checked but not the whole: the ciphertext was cut short or modified; discard "
                       f"what was written")
        elif reason == AUTHENTICATION_FAILED:
            failure = "decryption failed: wrong key, or the ciphertext was modified or cut short"
        raise CommandFailed(f"{source.name}: {failure or reason}") from None
