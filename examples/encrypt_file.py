"""Encrypts, decrypts, signs and verifies files with a key pair kept in two files.

Written the way the `rsa` package's documentation uses that package; the import is the one
line that differs from a program for the `rsa` package. Under `import rsa` it could only
encrypt files shorter than the key (373 bytes for 3072 bits); here a file of any size
(up to 2 GiB) is encrypted with hybrid ML-KEM-768 + RSA-3072 key encapsulation.

    python examples/encrypt_file.py keygen public.pem private.pem
    python examples/encrypt_file.py encrypt public.pem report.txt report.enc
    python examples/encrypt_file.py decrypt private.pem report.enc report.txt
    python examples/encrypt_file.py sign private.pem report.txt report.sig [--hash SHA-512]
    python examples/encrypt_file.py verify public.pem report.txt report.sig

Failures print a message and exit with status 1.
"""

import argparse
import os
import sys

import halcyra_pqc.ferrovan as rsa

# verify() also accepts MD5 and SHA-1 signatures and says which hash it found; those two
# hashes are broken, so this tool neither makes nor accepts such signatures.
SIGNING_HASHES = ("SHA-256", "SHA-384", "SHA-512", "SHA-224")


class Failure(Exception):
    """A failure to report to the user, without a traceback."""


def keygen(public_path: str, private_path: str) -> None:
    # Existing keys are never overwritten: whatever was encrypted to them would be lost.
    for path in (public_path, private_path):
        if os.path.lexists(path):
            raise Failure(f"{path}: already exists; an existing key is never overwritten")
    (pubkey, privkey) = rsa.newkeys(3072)
    with open(public_path, mode="xb") as publicfile:
        publicfile.write(pubkey.save_pkcs1())
    # The private key is stored unencrypted, so only its owner may read the file.
    fd = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with open(fd, mode="wb") as privatefile:
        privatefile.write(privkey.save_pkcs1())


def load_public_key(path: str) -> rsa.PublicKey:
    with open(path, mode="rb") as publicfile:
        keydata = publicfile.read()
    return rsa.PublicKey.load_pkcs1(keydata)


def load_private_key(path: str) -> rsa.PrivateKey:
    with open(path, mode="rb") as privatefile:
        keydata = privatefile.read()
    return rsa.PrivateKey.load_pkcs1(keydata)


def read_file(path: str) -> bytes:
    with open(path, mode="rb") as infile:
        return infile.read()


def write_file(path: str, data: bytes) -> None:
    with open(path, mode="wb") as outfile:
        outfile.write(data)


def encrypt(public_path: str, in_path: str, out_path: str) -> None:
    pubkey = load_public_key(public_path)
    message = read_file(in_path)
    crypto = rsa.encrypt(message, pubkey)
    write_file(out_path, crypto)


def decrypt(private_path: str, in_path: str, out_path: str) -> None:
    privkey = load_private_key(private_path)
    crypto = read_file(in_path)
    try:
        message = rsa.decrypt(crypto, privkey)
    except rsa.DecryptionError:
        # Nothing is written: a failed decryption leaves no partial output behind.
        raise Failure(f"{in_path}: decryption failed (wrong key, or the file was changed)") from None
    write_file(out_path, message)


def sign(private_path: str, in_path: str, out_path: str, hash_method: str) -> None:
    privkey = load_private_key(private_path)
    message = read_file(in_path)
    signature = rsa.sign(message, privkey, hash_method)
    write_file(out_path, signature)


def verify(public_path: str, in_path: str, signature_path: str) -> str:
    pubkey = load_public_key(public_path)
    message = read_file(in_path)
    signature = read_file(signature_path)
    try:
        hash_method = rsa.verify(message, signature, pubkey)
    except rsa.VerificationError:
        raise Failure(f"{in_path}: verification failed") from None
    if hash_method not in SIGNING_HASHES:
        raise Failure(f"{in_path}: the signature uses {hash_method}, which is not accepted")
    return hash_method


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("keygen", help="make a key pair")
    command.add_argument("public_key")
    command.add_argument("private_key")
    command = commands.add_parser("encrypt", help="encrypt a file to a public key")
    command.add_argument("public_key")
    command.add_argument("infile")
    command.add_argument("outfile")
    command = commands.add_parser("decrypt", help="decrypt a file with the private key")
    command.add_argument("private_key")
    command.add_argument("infile")
    command.add_argument("outfile")
    command = commands.add_parser("sign", help="sign a file with the private key")
    command.add_argument("private_key")
    command.add_argument("infile")
    command.add_argument("signature")
    command.add_argument("--hash", choices=SIGNING_HASHES, default="SHA-256")
    command = commands.add_parser("verify", help="check a file's signature with the public key")
    command.add_argument("public_key")
    command.add_argument("infile")
    command.add_argument("signature")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    try:
        if args.command == "keygen":
            keygen(args.public_key, args.private_key)
        elif args.command == "encrypt":
            encrypt(args.public_key, args.infile, args.outfile)
        elif args.command == "decrypt":
            decrypt(args.private_key, args.infile, args.outfile)
        elif args.command == "sign":
            sign(args.private_key, args.infile, args.signature, args.hash)
        else:
            print(f"Verification OK ({verify(args.public_key, args.infile, args.signature)})")
    except Failure as failure:
        print(failure, file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{error.filename}: {error.strerror}", file=sys.stderr)
        return 1
    except ValueError as error:
        # What the key loaders say about a file that holds no usable key.
        print(f"{args.command} failed: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
