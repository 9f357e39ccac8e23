"""A tour of halcyra_pqc: the same calls a program makes with the rsa package or with
PyCryptodome, now running on hybrid ML-KEM-768 + RSA-3072 encryption."""

import tempfile
from pathlib import Path

import halcyra_pqc.ferrovan as rsa
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA


def show(label: str, value: object) -> None:
    text = value if isinstance(value, str) else value.hex() if isinstance(value, bytes) else repr(value)
    print(f"  {label:<28} {text[:64]}{'...' if len(text) > 64 else ''}")


def rsa_shaped(workdir: Path) -> None:
    print("rsa-shaped calls (import halcyra_pqc.ferrovan as rsa)")
    pub, priv = rsa.newkeys(2048)  # the size is the core's: RSA-3072 inside, plus ML-KEM-768
    show("public key bytes (JSON)", pub.save_pkcs1().decode())

    # Save and load the keys the way rsa programs do.
    (workdir / "public.pem").write_bytes(pub.save_pkcs1())
    (workdir / "private.pem").write_bytes(priv.save_pkcs1())
    pub = rsa.PublicKey.load_pkcs1((workdir / "public.pem").read_bytes())
    priv = rsa.PrivateKey.load_pkcs1((workdir / "private.pem").read_bytes())

    message = b"hello, post-quantum world"
    crypto = rsa.encrypt(message, pub)
    show("ciphertext", crypto)
    print(f"  {'ciphertext size':<28} {len(crypto)} bytes")
    plain = rsa.decrypt(crypto, priv)
    show("decrypted", repr(plain))
    assert plain == message

    tampered = bytearray(crypto)
    tampered[-1] ^= 1
    try:
        rsa.decrypt(bytes(tampered), priv)
    except rsa.DecryptionError as error:
        show("changed ciphertext", repr(error))

    signature = rsa.sign(message, priv, "SHA-256")
    show("signature (RSA PKCS#1 v1.5)", signature)
    show("verify names the hash", repr(rsa.verify(message, signature, pub)))
    try:
        rsa.verify(message + b"!", signature, pub)
    except rsa.VerificationError as error:
        show("changed message", repr(error))


def pycryptodome_shaped(workdir: Path) -> None:
    print("PyCryptodome-shaped calls (from halcyra_pqc.mirelock import RSA, PKCS1_OAEP)")
    key = RSA.generate(3072)
    (workdir / "private.pem").write_bytes(key.export_key())
    (workdir / "receiver.pem").write_bytes(key.publickey().export_key())

    # The sender only has the public key, read back in text mode as documentation does.
    recipient = RSA.import_key((workdir / "receiver.pem").read_text())
    session_key = b"0123456789abcdef"
    enc_session_key = PKCS1_OAEP.new(recipient).encrypt(session_key)
    show("encrypted session key", enc_session_key)

    private = RSA.import_key((workdir / "private.pem").read_bytes())
    show("decrypted session key", repr(PKCS1_OAEP.new(private).decrypt(enc_session_key)))
    try:
        PKCS1_OAEP.new(key.publickey()).decrypt(enc_session_key)
    except ValueError as error:
        show("public key decrypts", repr(error))


def main() -> None:
    with tempfile.TemporaryDirectory() as workdir:
        rsa_shaped(Path(workdir))
    print()
    with tempfile.TemporaryDirectory() as workdir:
        pycryptodome_shaped(Path(workdir))
    print("all good")


if __name__ == "__main__":
    main()
