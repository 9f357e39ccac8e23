"""The file commands: keygen, encrypt, decrypt, sign and verify."""

import contextlib
import os
import sys

from cryptography.hazmat.primitives import serialization

from ... import (
    decrypt_stream,
    encrypt_stream,
    ferrovan,
    generate_mlkem_keypair,
    generate_pqc_kem_keypair,
    pqc_decrypt_payload,
    protect_private_key,
    public_key_bytes,
)
from ..._envelope import MAX_PACKED_SIZE, PREFIX_SIZE, is_streamed
from ..._errors import AUTHENTICATION_FAILED
from ..._keys import LegacyKey
from ..._params import LEGACY_RSA_MAX_BITS
from ...migration import decrypt_legacy_ciphertext
from .. import keyfiles
from ..exits import CommandFailed, UsageError
from ..files import must_not_exist, open_input, read_file, read_input, read_passphrase
from ..output import AlreadyExists, open_output

# The names the `rsa` package's tools take. MD5 and SHA-1 are broken: no new signature uses
# them, and a signature that does is not accepted.
SIGNING_HASHES = ("SHA-224", "SHA-256", "SHA-384", "SHA-512")
BROKEN_HASHES = ("MD5", "SHA-1")
# No signature is longer than the modulus of the largest classic key read.
MAX_SIGNATURE_SIZE = LEGACY_RSA_MAX_BITS // 8


def keygen(args) -> None:
    if os.path.abspath(args.out) == os.path.abspath(args.pubout):
        raise UsageError("--out and --pubout name the same file")
    must_not_exist(args.out, args.pubout)
    passphrase = read_passphrase(args.passphrase_file) if args.passphrase_file else None
    public, private = generate_mlkem_keypair() if args.kind == "mlkem" else generate_pqc_kem_keypair()
    if passphrase is not None:
        private = protect_private_key(private, passphrase)
    for path, data, mode in ((args.out, private, 0o600), (args.pubout, public, 0o644)):
        try:
            with open_output(path, binary=False, mode=mode) as out:
                out.write(data)
                out.commit()
        except AlreadyExists:
            # Appeared since the check: still never overwritten.
            raise UsageError(f"{path}: already exists; an existing key is never overwritten") from None
    protection = "protected by the pass phrase" if passphrase is not None else "unprotected: keep it private"
    print(f"private key: {args.out} ({protection})", file=sys.stderr)
    print(f"public key:  {args.pubout} ({keyfiles.fingerprint(public)})", file=sys.stderr)


def encrypt(args) -> None:
    """Writes the streamed form: any size, in memory that does not grow with it."""
    public = keyfiles.post_quantum_public_key(args.public_key, purpose="encryption")
    with _streams(args, binary=True) as (out, source):
        try:
            encrypt_stream(source, out, public)
        except ValueError as error:  # an input that will not read as a stream (non-blocking)
            raise UsageError(f"{source.name}: {error}") from None
        out.commit()


def decrypt(args) -> None:
    data, key = keyfiles.private_key(args.private_key, args.passphrase_file, purpose="decryption")
    if isinstance(key, LegacyKey):
        # Stored data of the operator's: its padding is checked, so a ciphertext the key does
        # not open fails instead of decrypting to random bytes.
        _convert(args, lambda ciphertext: decrypt_legacy_ciphertext(ciphertext, data)[1], MAX_PACKED_SIZE,
                 "the ciphertext", failure=CommandFailed, binary=False)
        return
    with _streams(args, binary=False) as (out, source):
        if is_streamed(source.peek(PREFIX_SIZE)):
            _decrypt_streamed(source, out, data)
        else:
            # The one-shot form has a single tag over the whole message: read whole, within its limit.
            ciphertext = source.read_all(MAX_PACKED_SIZE, "the ciphertext", failure=CommandFailed)
            try:
                message = pqc_decrypt_payload(ciphertext, data)
            except ValueError as error:
                raise CommandFailed(f"{source.name}: {error}") from None
            out.write(message)
        out.commit()


@contextlib.contextmanager
def _streams(args, *, binary: bool):
    """The output and the input of a command that streams from one to the other."""
    with open_output(args.output, binary=binary, force=args.force) as out, open_input(args.input) as source:
        if out.holds(source.identity):
            # `cmd -i FILE >> FILE` would read what it writes, without end.
            raise UsageError(f"{source.name}: the input is also the output")
        yield out, source


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


def sign(args) -> None:
    _check_signing_hash(args.hash)
    data, key = keyfiles.private_key(args.private_key, args.passphrase_file, purpose="signing")
    if isinstance(key, LegacyKey):
        # ferrovan reads a classic key for signing in DER only.
        data = key.rsa_private.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                             serialization.NoEncryption())
    elif not key.hybrid:
        raise UsageError(f"{args.private_key}: an ML-KEM-only key cannot sign: signatures are made with "
                         f"the RSA half of a hybrid key")
    private = ferrovan.PrivateKey(data)
    _convert(args, lambda message: ferrovan.sign(message, private, args.hash), None, "the message",
             failure=UsageError, binary=True)


def _convert(args, convert, limit: int | None, what: str, *, failure, binary: bool) -> None:
    """Writes convert(the input) to the output; the input is held to `limit` bytes, and a
    refusal of either ends the command with `failure`, nothing written."""
    with open_output(args.output, binary=binary, force=args.force) as out:
        data = read_input(args.input, limit, what, failure=failure)
        try:
            result = convert(data)
        except ValueError as error:
            raise failure(f"{_name(args.input)}: {error}") from None
        out.write(result)
        out.commit()


def verify(args) -> None:
    data, key = keyfiles.public_use(args.public_key, purpose="verify")
    if isinstance(key, LegacyKey):
        data = key.rsa_public.public_bytes(serialization.Encoding.DER,
                                           serialization.PublicFormat.SubjectPublicKeyInfo)
    elif not key.hybrid:
        raise UsageError(f"{args.public_key}: an ML-KEM-only key has no RSA half, which signatures are made with")
    else:
        data = public_key_bytes(data)
    signature = read_file(args.signature, MAX_SIGNATURE_SIZE, "the signature file", failure=CommandFailed)
    message = read_input(args.input, None, "the message")
    try:
        found = ferrovan.verify(message, signature, ferrovan.PublicKey(data))
    except ferrovan.VerificationError:
        found = None
    if found is None:
        raise CommandFailed("Verification failed")
    if found not in SIGNING_HASHES:
        raise CommandFailed(f"Verification failed: the signature uses {found}, which is broken and not accepted")
    print(f"Verification OK ({found})")


def _check_signing_hash(name: str) -> None:
    if name in BROKEN_HASHES:
        raise UsageError(f"{name} is broken and makes no new signature: use one of {', '.join(SIGNING_HASHES)}")
    if name not in SIGNING_HASHES:
        raise UsageError(f"unknown hash {name!r}: use one of {', '.join(SIGNING_HASHES)}")


def _name(path: str | None) -> str:
    return "standard input" if path in (None, "-") else path
