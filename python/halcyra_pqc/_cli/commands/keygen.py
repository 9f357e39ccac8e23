"""`keygen`: a new key pair in two files, the private one protected by a pass phrase if asked."""

import os
import sys

from ... import generate_mlkem_keypair, generate_pqc_kem_keypair, protect_private_key
from .. import keyfiles
from ..exits import OK, UsageError
from ..files import must_not_exist, read_passphrase
from ..output import AlreadyExists, open_output

NAME = "keygen"
SUMMARY = "make a key pair (hybrid ML-KEM-768 + RSA-3072 unless --kind mlkem)"
EXAMPLES = """\
examples:
  halcyra-pqc keygen --out private.json --pubout public.json
  halcyra-pqc keygen --out private.json --pubout public.json --passphrase-file pass.txt
  halcyra-pqc keygen --kind mlkem --out mlkem.json --pubout mlkem.pub.json

The private key file is created with mode 0600; existing files are never overwritten."""


def add_arguments(parser) -> None:
    parser.add_argument("--out", "-o", required=True, metavar="PRIVATE", help="private key file to create")
    parser.add_argument("--pubout", required=True, metavar="PUBLIC", help="public key file to create")
    parser.add_argument("--kind", choices=("hybrid", "mlkem"), default="hybrid",
                        help="hybrid (default) or mlkem (ML-KEM-768 alone)")
    parser.add_argument("--passphrase-file", metavar="FILE",
                        help="protect the private key with the pass phrase in FILE (scrypt, AES-256-GCM)")


def run(args) -> int:
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
    return OK
