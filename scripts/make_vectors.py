"""Makes the frozen vectors in tests/vectors/ once: keys, ciphertexts and signatures of every
form the package reads or writes, and the classic keys and ciphertexts that the `rsa` package
and PyCryptodome made before a program switched over, with tests/vectors/manifest.json
describing each.

Run it through scripts/make_vectors.sh, which installs the package and the pinned old
libraries into a throwaway environment. The tests only read what this writes: a vector that
changes is a format break, so existing vectors are never overwritten without --force.

With --add, the existing vectors stay as they are and only those of a newer format that are
missing join them, made with the stored keys: the version-2 ciphertexts (one with an
application context) and the version-2 protected key, and the streamed ciphertexts.
"""

import argparse
import hashlib
import io
import json
import platform
import sys
from importlib import metadata
from pathlib import Path

import rsa as old_rsa
from Crypto.Cipher import PKCS1_OAEP as OldOAEP
from Crypto.PublicKey import RSA as OldRSA

import halcyra_pqc as hp
import halcyra_pqc.ferrovan as ferrovan
from halcyra_pqc._params import STREAM_CHUNK_SIZE
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

HASH_NAMES = ("MD5", "SHA-1", "SHA-224", "SHA-256", "SHA-384", "SHA-512")
SHORT_MESSAGE = "Meet at the north gate at 06:30 — bring the ledger. ✓\n".encode()
SIGNED_MESSAGE = b"Statement 2024-117: the ledger was handed over in full.\x00\xff"
PASSPHRASE = "correct horse battery staple — Grüße 🔑"
# Just over 1 MiB and not a whole number of AES blocks, so the last block is a partial one.
LARGE_SIZE = 2**20 + 17
# Each ciphertext through a different caller: they share one format, and the vectors show it.
ENCRYPTIONS = [
    ("empty", b"", None, "halcyra_pqc.ferrovan.encrypt"),
    ("short", SHORT_MESSAGE, None, "halcyra_pqc.pqc_encrypt_payload"),
    ("large", None, LARGE_SIZE, "halcyra_pqc.mirelock.PKCS1_OAEP.encrypt"),
]
CONTEXT = b"ledger 2024-117, row 9"
# The streamed form around its chunk boundaries: no chunk's worth, exactly one chunk, and a
# last chunk of a few bytes after two full ones.
STREAMED = [("empty", b""), ("short", SHORT_MESSAGE), ("boundary", STREAM_CHUNK_SIZE),
            ("several", 2 * STREAM_CHUNK_SIZE + 17)]
RSA_PKG_BITS = 1024  # the `rsa` package generates in pure Python: slow at large sizes
CRYPTODOME_BITS = 2048


def counter_stream(seed: bytes, length: int) -> bytes:
    """SHA-256(seed ‖ i as 8 bytes big-endian) for i = 0, 1, …, cut to `length` bytes: large
    plaintexts are derived from the seed the manifest records instead of being stored."""
    blocks = (hashlib.sha256(seed + i.to_bytes(8, "big")).digest() for i in range((length + 31) // 32))
    return b"".join(blocks)[:length]


class Writer:
    def __init__(self, out: Path, manifest: dict | None = None) -> None:
        self.out = out
        self.files: dict[str, dict] = dict(manifest["files"]) if manifest else {}
        self.vectors: list[dict] = list(manifest["vectors"]) if manifest else []

    def file(self, name: str, data: bytes) -> str:
        assert name not in self.files and not (self.out / name).exists(), name
        (self.out / name).write_bytes(data)
        self.files[name] = {"size": len(data), "sha256": hashlib.sha256(data).hexdigest()}
        return name

    def vector(self, **entry) -> None:
        self.vectors.append(entry)


def plaintext_entry(message: bytes, seed: bytes | None = None) -> dict:
    if seed is None:
        return {"hex": message.hex()}
    return {"derived": "sha256-counter", "seed": seed.decode("ascii"), "size": len(message),
            "sha256": hashlib.sha256(message).hexdigest()}


def encrypt_with(made_by: str, message: bytes, public: bytes, context: bytes | None = None) -> bytes:
    if made_by == "halcyra_pqc.pqc_encrypt_payload":
        pieces = hp.pqc_encrypt_payload(message, public, context=context)
        return hp.pack_ciphertext(*pieces) if len(pieces) == 4 else hp.pack_ciphertext(pieces[0], None, *pieces[1:])
    if made_by == "halcyra_pqc.ferrovan.encrypt":
        return ferrovan.encrypt(message, ferrovan.PublicKey.load_pkcs1(public))
    assert made_by == "halcyra_pqc.mirelock.PKCS1_OAEP.encrypt"
    return PKCS1_OAEP.new(RSA.import_key(public)).encrypt(message)


def ciphertexts(w: Writer, alg: str, public: bytes, prefix: str, **entry) -> None:
    """One ciphertext vector for each of ENCRYPTIONS, named and stored with `prefix`."""
    for size_name, message, size, made_by in ENCRYPTIONS:
        seed = None
        if message is None:
            seed = f"halcyra_pqc vector {prefix}{size_name}".encode("ascii")
            message = counter_stream(seed, size)
        packed = encrypt_with(made_by, message, public)
        assert packed[4] == entry.get("version", packed[4]), "this release writes another version"
        w.vector(name=f"{prefix}{size_name}", kind="ciphertext", **entry, alg=alg, made_by=made_by,
                 key=f"{alg}-keys", files={"ciphertext": w.file(f"{prefix}{size_name}.bin", packed)},
                 plaintext=plaintext_entry(message, seed))


def post_quantum(w: Writer) -> None:
    pairs = {"hybrid": hp.generate_pqc_kem_keypair(), "mlkem": hp.generate_mlkem_keypair()}
    makers = {"hybrid": "halcyra_pqc.generate_pqc_kem_keypair", "mlkem": "halcyra_pqc.generate_mlkem_keypair"}
    for alg, (public, private) in pairs.items():
        w.vector(name=f"{alg}-keys", kind="key-pair", alg=alg, made_by=makers[alg], files={
            "public": w.file(f"{alg}-public.json", public),
            "private": w.file(f"{alg}-private.json", private),
        })
        ciphertexts(w, alg, public, f"{alg}-")

    public, private = pairs["hybrid"]
    protected = hp.protect_private_key(private, PASSPHRASE)
    w.vector(name="hybrid-protected", kind="protected-private-key", alg="hybrid",
             made_by="halcyra_pqc.protect_private_key", key="hybrid-keys", passphrase=PASSPHRASE,
             files={"protected": w.file("hybrid-private-protected.json", protected)})
    for hash_name in HASH_NAMES:
        signature = ferrovan.sign(SIGNED_MESSAGE, ferrovan.PrivateKey.load_pkcs1(private), hash_name)
        w.vector(name=f"hybrid-signature-{hash_name.lower()}", kind="signature", alg="hybrid",
                 made_by="halcyra_pqc.ferrovan.sign", key="hybrid-keys", hash=hash_name,
                 message={"hex": SIGNED_MESSAGE.hex()},
                 files={"signature": w.file(f"hybrid-signature-{hash_name.lower()}.bin", signature)})


def classic_messages(longest: int) -> list[tuple[str, bytes]]:
    return [("empty", b""), ("short", b"kept from before the switch"), ("longest", bytes(range(256))[:longest])]


def rsa_package(w: Writer) -> None:
    public, private = old_rsa.newkeys(RSA_PKG_BITS)
    files = {}
    for encoding in ("PEM", "DER"):
        suffix = encoding.lower()
        files[f"private-pkcs1-{suffix}"] = w.file(f"rsa-private-pkcs1.{suffix}", private.save_pkcs1(encoding))
        files[f"public-pkcs1-{suffix}"] = w.file(f"rsa-public-pkcs1.{suffix}", public.save_pkcs1(encoding))
    w.vector(name="rsa-keys", kind="classic-key-pair", made_by=f"rsa {old_rsa.__version__}: rsa.newkeys",
             bits=RSA_PKG_BITS, files=files)
    # PKCS#1 v1.5 takes at most the modulus size less 11 bytes.
    for size_name, message in classic_messages(RSA_PKG_BITS // 8 - 11):
        w.vector(name=f"rsa-v15-{size_name}", kind="classic-ciphertext", scheme="pkcs1v15",
                 made_by=f"rsa {old_rsa.__version__}: rsa.encrypt", key="rsa-keys",
                 files={"ciphertext": w.file(f"rsa-v15-{size_name}.bin", old_rsa.encrypt(message, public))},
                 plaintext=plaintext_entry(message))
    for hash_name in HASH_NAMES:
        w.vector(name=f"rsa-signature-{hash_name.lower()}", kind="classic-signature", hash=hash_name,
                 made_by=f"rsa {old_rsa.__version__}: rsa.sign", key="rsa-keys",
                 message={"hex": SIGNED_MESSAGE.hex()},
                 files={"signature": w.file(f"rsa-signature-{hash_name.lower()}.bin",
                                            old_rsa.sign(SIGNED_MESSAGE, private, hash_name))})


def pycryptodome(w: Writer) -> None:
    version = metadata.version("pycryptodome")
    key = OldRSA.generate(CRYPTODOME_BITS)
    files = {}
    for encoding in ("PEM", "DER"):
        suffix = encoding.lower()
        for pkcs in (1, 8):
            files[f"private-pkcs{pkcs}-{suffix}"] = w.file(
                f"cryptodome-private-pkcs{pkcs}.{suffix}", key.export_key(format=encoding, pkcs=pkcs))
        files[f"public-{suffix}"] = w.file(f"cryptodome-public.{suffix}", key.publickey().export_key(format=encoding))
    w.vector(name="cryptodome-keys", kind="classic-key-pair", made_by=f"pycryptodome {version}: RSA.generate",
             bits=CRYPTODOME_BITS, files=files)
    cipher = OldOAEP.new(key.publickey())  # OAEP with SHA-1, its default
    # OAEP with SHA-1 takes at most the modulus size less 42 bytes.
    for size_name, message in classic_messages(CRYPTODOME_BITS // 8 - 42):
        w.vector(name=f"cryptodome-oaep-{size_name}", kind="classic-ciphertext", scheme="oaep-sha1",
                 made_by=f"pycryptodome {version}: PKCS1_OAEP.new(key).encrypt", key="cryptodome-keys",
                 files={"ciphertext": w.file(f"cryptodome-oaep-{size_name}.bin", cipher.encrypt(message))},
                 plaintext=plaintext_entry(message))


def version2(w: Writer) -> None:
    """The version-2 vectors, to the stored key pairs, beside the version-1 ones."""
    by_name = {vector["name"]: vector for vector in w.vectors}
    made_with = {name: metadata.version(name) for name in ("halcyra-pqc", "cryptography")}
    for alg in ("hybrid", "mlkem"):
        public = (w.out / by_name[f"{alg}-keys"]["files"]["public"]).read_bytes()
        ciphertexts(w, alg, public, f"{alg}-v2-", version=2, made_with=made_with)
    public = (w.out / by_name["hybrid-keys"]["files"]["public"]).read_bytes()
    packed = encrypt_with("halcyra_pqc.pqc_encrypt_payload", SHORT_MESSAGE, public, CONTEXT)
    w.vector(name="hybrid-v2-context", kind="context-ciphertext", version=2, alg="hybrid",
             made_by="halcyra_pqc.pqc_encrypt_payload", made_with=made_with, key="hybrid-keys",
             context={"hex": CONTEXT.hex()}, files={"ciphertext": w.file("hybrid-v2-context.bin", packed)},
             plaintext=plaintext_entry(SHORT_MESSAGE))
    private = (w.out / by_name["hybrid-keys"]["files"]["private"]).read_bytes()
    protected = hp.protect_private_key(private, PASSPHRASE)
    w.vector(name="hybrid-protected-v2", kind="protected-private-key", version=2, alg="hybrid",
             made_by="halcyra_pqc.protect_private_key", made_with=made_with, key="hybrid-keys",
             passphrase=PASSPHRASE, files={"protected": w.file("hybrid-private-protected-v2.json", protected)})


def streamed(w: Writer) -> None:
    """The streamed ciphertexts, to the stored key pairs."""
    by_name = {vector["name"]: vector for vector in w.vectors}
    made_with = {name: metadata.version(name) for name in ("halcyra-pqc", "cryptography")}
    for alg in ("hybrid", "mlkem"):
        public = (w.out / by_name[f"{alg}-keys"]["files"]["public"]).read_bytes()
        cases = [(size_name, message, None) for size_name, message in STREAMED]
        if alg == "hybrid":
            cases.append(("context", SHORT_MESSAGE, CONTEXT))
        for size_name, message, context in cases:
            name, seed = f"{alg}-stream-{size_name}", None
            if isinstance(message, int):
                seed = f"halcyra_pqc vector {name}".encode("ascii")
                message = counter_stream(seed, message)
            sealed = io.BytesIO()
            hp.encrypt_stream(io.BytesIO(message), sealed, public, context=context)
            extra = {} if context is None else {"context": {"hex": context.hex()}}
            w.vector(name=name, kind="streamed-ciphertext", version=2, alg=alg, made_by="halcyra_pqc.encrypt_stream",
                     made_with=made_with, key=f"{alg}-keys", chunk_size=STREAM_CHUNK_SIZE, **extra,
                     files={"ciphertext": w.file(f"{name}.bin", sealed.getvalue())},
                     plaintext=plaintext_entry(message, seed))


def check(w: Writer) -> None:
    """Reads every ciphertext back through the core before anything is kept."""
    by_name = {vector["name"]: vector for vector in w.vectors}
    for vector in w.vectors:
        if "ciphertext" not in vector["kind"]:
            continue
        keys = by_name[vector["key"]]["files"]
        private = (w.out / keys.get("private", keys.get("private-pkcs1-pem", ""))).read_bytes()
        context = bytes.fromhex(vector["context"]["hex"]) if "context" in vector else None
        message = hp.pqc_decrypt_payload((w.out / vector["files"]["ciphertext"]).read_bytes(), private,
                                         context=context)
        expected = vector["plaintext"]
        if "hex" in expected:
            assert message.hex() == expected["hex"], vector["name"]
        else:
            assert hashlib.sha256(message).hexdigest() == expected["sha256"], vector["name"]


def write_manifest(w: Writer, made_with: dict) -> None:
    manifest = {
        "about": "Frozen vectors: the tests read these files and never regenerate them. Large "
                 "plaintexts are derived: SHA-256(seed || i as 8 bytes big-endian) for i = 0, 1, ..., "
                 "concatenated and cut to size. Vectors with a \"version\" are of that ciphertext or "
                 "protection format version and record what made them; the others are version 1.",
        "made_with": made_with,
        "vectors": w.vectors,
        "files": dict(sorted(w.files.items())),
    }
    (w.out / "manifest.json").write_text(json.dumps(manifest, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parents[1] / "tests" / "vectors")
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--force", action="store_true",
                        help="replace existing vectors: a format break, to be said so in the commit")
    choice.add_argument("--add", action="store_true",
                        help="keep the existing vectors and add the missing ones of the newer formats")
    args = parser.parse_args()
    out = args.out
    existing = sorted(out.iterdir()) if out.is_dir() else []
    if args.add:
        manifest = json.loads((out / "manifest.json").read_text(encoding="utf-8"))
        kinds = {(vector["kind"], vector.get("version")) for vector in manifest["vectors"]}
        missing = [make for make, present in ((version2, ("ciphertext", 2) in kinds),
                                              (streamed, ("streamed-ciphertext", 2) in kinds)) if not present]
        if not missing:
            print("make_vectors: the vectors of every format are there already; nothing to add", file=sys.stderr)
            return 1
        w = Writer(out, manifest)
        for make in missing:
            make(w)
        check(w)
        write_manifest(w, manifest["made_with"])
        return 0
    if existing and not args.force:
        print(f"make_vectors: {out} already holds vectors; changing them breaks every stored key and "
              f"ciphertext they stand for. Pass --force only for a deliberate format break, "
              f"--add to add those of a newer format.", file=sys.stderr)
        return 1
    for path in existing:
        path.unlink()
    out.mkdir(parents=True, exist_ok=True)

    w = Writer(out)
    post_quantum(w)
    streamed(w)
    rsa_package(w)
    pycryptodome(w)
    check(w)
    write_manifest(w, {
        "python": platform.python_version(),
        **{name: metadata.version(name) for name in ("halcyra-pqc", "cryptography", "rsa", "pycryptodome")},
    })
    for name, entry in sorted(w.files.items()):
        print(f"{entry['size']:>9}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
