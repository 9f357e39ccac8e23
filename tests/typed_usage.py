"""A typed program over the package's stubs, checked by tests/test_typing.py with mypy in
strict mode and never run. Each `# type: ignore[...]` marks a call the stubs must refuse:
mypy reports an ignore that no longer silences an error, so a stub that grows too loose
fails the check as surely as one that refuses good code."""

import io
from typing import BinaryIO, assert_type

import halcyra_pqc
import halcyra_pqc.ferrovan as rsa
from halcyra_pqc.migration import MIGRATED, MigrationResult, encrypt_to, migrate_ciphertext
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA, PyCryptodomeCipher, PyCryptodomeKey


def ferrovan_calls(out: BinaryIO) -> None:
    pub, priv = rsa.newkeys(2048, poolsize=8)
    assert_type(pub, rsa.PublicKey)
    assert_type(priv, rsa.PrivateKey)
    pub = rsa.PublicKey.load_pkcs1(pub.save_pkcs1("DER"), "DER")
    priv = rsa.PrivateKey.load_pkcs1(priv.save_pkcs1())
    crypto = rsa.encrypt(b"message", pub)
    assert_type(rsa.decrypt(crypto, priv), bytes)
    assert_type(rsa.decrypt(memoryview(crypto), priv.key_bytes), bytes)
    signature = rsa.sign(bytearray(b"message"), priv, "SHA-256")
    assert_type(rsa.verify(b"message", signature, pub.key_bytes), str)
    digest = rsa.compute_hash(b"message", "SHA-256")
    assert_type(rsa.sign_hash(digest, priv, "SHA-256"), bytes)
    assert_type(rsa.find_signature_hash(b"\x00\x01"), str)
    out.write(pub.save_pkcs1())
    try:
        rsa.decrypt(crypto, priv)
    except rsa.DecryptionError as error:
        assert_type(error.__cause__, BaseException | None)

    rsa.encrypt("text is not a message", pub)  # type: ignore[arg-type]
    rsa.encrypt(b"message", priv)  # type: ignore[arg-type]
    rsa.decrypt(crypto, pub)  # type: ignore[arg-type]
    rsa.sign(b"message", pub, "SHA-256")  # type: ignore[arg-type]
    rsa.verify(b"message", signature, priv)  # type: ignore[arg-type]
    # Only exact bytes pass these checks at run time.
    rsa.compute_hash(bytearray(b"message"), "SHA-256")  # type: ignore[arg-type]
    rsa.find_signature_hash(memoryview(signature))  # type: ignore[arg-type]
    # Key text would encrypt but never sign: the inner RSA key is read from bytes only.
    rsa.PrivateKey.load_pkcs1("{}")  # type: ignore[arg-type]
    # No RSA numbers on these keys.
    pub.n  # type: ignore[attr-defined]
    # A key file is read by the caller: load_pkcs1 takes its bytes, not a file.
    rsa.PublicKey.load_pkcs1(out)  # type: ignore[arg-type]


def mirelock_calls(out: BinaryIO, pem_text: str) -> None:
    key = RSA.generate(3072, randfunc=None)
    assert_type(key, PyCryptodomeKey[bytes])
    assert_type(key.export_key(format="PEM", passphrase="pass phrase", pkcs=8), bytes)
    assert_type(key.publickey().export_key(), bytes)
    assert_type(key.priv_bytes, bytes | None)
    out.write(key.export_key())

    imported = RSA.import_key(pem_text, passphrase="pass phrase")
    # A key imported from text may give that text back, which a binary file refuses.
    assert_type(imported.export_key(), str | bytes)
    out.write(imported.export_key())  # type: ignore[arg-type]
    assert_type(RSA.import_key(key.export_key()), PyCryptodomeKey[bytes])

    cipher = PKCS1_OAEP.new(imported, hashAlgo=None)
    assert_type(cipher, PyCryptodomeCipher)
    enc = cipher.encrypt(b"session key")
    assert_type(PKCS1_OAEP.new(key).decrypt(enc), bytes)

    cipher.encrypt("text")  # type: ignore[arg-type]
    PKCS1_OAEP.new(key.export_key())  # type: ignore[arg-type]
    RSA.import_key(12345)  # type: ignore[call-overload]
    # Attributes of PyCryptodome's key objects that these keys do not have.
    key.size_in_bytes()  # type: ignore[attr-defined]
    key.has_private()  # type: ignore[attr-defined]
    RSA.importKey(pem_text)  # type: ignore[attr-defined]


def pem_files(p: str, q: str) -> None:
    # PyCryptodome's everyday idiom: a private key read from its PEM text, its public key
    # written to a binary file. The text comes back as it was; the derived public key is bytes.
    key = RSA.import_key(open(p).read())
    with open(q, "wb") as f:
        f.write(key.publickey().export_key())
    assert_type(key, PyCryptodomeKey[str])
    assert_type(key.export_key(), str)
    assert_type(key.export_key("PEM", "pass phrase"), str | bytes)
    open(q, "w").write(key.export_key())
    f.write(key.export_key())  # type: ignore[arg-type]


def annotated_key(key: PyCryptodomeKey) -> bytes:
    # The bare class name means a key of bytes, as generated keys are.
    return key.export_key()


def core_calls() -> None:
    public, private = halcyra_pqc.generate_pqc_kem_keypair()
    parts = halcyra_pqc.pqc_encrypt_payload(b"message", public)
    if len(parts) == 4:
        packed = halcyra_pqc.pack_ciphertext(*parts)
    else:
        packed = halcyra_pqc.pack_ciphertext(parts[0], None, parts[1], parts[2])
    assert_type(halcyra_pqc.pqc_decrypt_payload(packed, private), bytes)
    halcyra_pqc.pqc_encrypt_payload(b"message", public, context=memoryview(b"row 7"))
    halcyra_pqc.pqc_decrypt_payload(packed, private, context=b"row 7")
    halcyra_pqc.pqc_decrypt_payload(packed, private, context="row 7")  # type: ignore[arg-type]
    assert_type(halcyra_pqc.generate_mlkem_keypair(), tuple[bytes, bytes])
    halcyra_pqc.reencrypt_legacy_ciphertext(packed, private, public, scheme="pkcs1v15")

    halcyra_pqc.reencrypt_legacy_ciphertext(packed, private, public, scheme="oaep")  # type: ignore[arg-type]


def stream_calls(source: BinaryIO, destination: BinaryIO, public: bytes, private: str) -> None:
    assert_type(halcyra_pqc.encrypt_stream(source, io.BytesIO(), public, context=b"row 7"), None)
    with open("notes.enc", "rb") as file, open("notes", "wb") as out:
        halcyra_pqc.decrypt_stream(file, out, private)
    halcyra_pqc.encrypt_stream(b"a message, not a file", destination, public)  # type: ignore[arg-type]
    halcyra_pqc.decrypt_stream(source, "notes", private)  # type: ignore[arg-type]


def migration_calls(stored: bytes, legacy: bytes, public: bytes) -> bytes | None:
    result = migrate_ciphertext(memoryview(stored), legacy, public, scheme="oaep-sha1")
    assert_type(result, MigrationResult)
    assert_type(encrypt_to(b"message", public), bytes)
    migrate_ciphertext(stored, legacy, public, scheme="sha256")  # type: ignore[arg-type]
    return result.ciphertext if result.status == MIGRATED else None
