"""PKCS1_OAEP.new and the cipher's encrypt and decrypt: what reaches the core and what comes
back, over a fake core and over the real one."""

import os

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa as crypto_rsa

from conftest import records
from halcyra_pqc import mirelock
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

PATH = "halcyra_pqc/mirelock"
Key = mirelock.PyCryptodomeKey


def record(exc):
    return records(exc, PATH)[-1]


class Indexed:
    """A result that is a sequence but no tuple; it logs the indexes read."""

    def __init__(self, items):
        self.items, self.read = items, []

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        self.read.append(index)
        return self.items[index]


@pytest.mark.parametrize("encrypted, packed_from", [
    (("a", "b", "c", "d"), ("a", "b", "c", "d")),
    (["a", "b", "c", "d"], ("a", "b", "c", "d")),
    (("a", "b", "c"), ("a", None, "b", "c")),
    (("a", "b", "c", "d", "e"), ("a", None, "b", "c")),
])
def test_encrypt_packs_the_core_result(fake_core, encrypted, packed_from):
    core = fake_core(mirelock)
    core.encrypted = encrypted
    pub, message = object(), "a text message"
    packed = PKCS1_OAEP.new(Key(pub, "priv")).encrypt(message)
    assert packed is core.packed
    assert core.called("pqc_encrypt_payload") == [(message, pub)]
    assert core.called("pack_ciphertext") == [packed_from]
    # The message is passed on as it came, not encoded.
    assert core.called("pqc_encrypt_payload")[0][0] is message


@pytest.mark.parametrize("items, read", [("abcd", [0, 1, 2, 3]), ("abc", [0, 1, 2]), ("abcde", [0, 1, 2])])
def test_encrypt_indexes_other_sequences(fake_core, items, read):
    core = fake_core(mirelock)
    core.encrypted = Indexed(items)
    PKCS1_OAEP.new(Key("pub")).encrypt(b"m")
    assert core.encrypted.read == read


@pytest.mark.parametrize("encrypted, error, line", [
    (("a", "b"), IndexError, 28),
    (Indexed("ab"), IndexError, 28),
    (None, TypeError, 25),
    (iter("abcd"), TypeError, 25),
])
def test_encrypt_result_too_short_or_without_length(fake_core, encrypted, error, line):
    core = fake_core(mirelock)
    core.encrypted = encrypted
    with pytest.raises(error) as caught:
        PKCS1_OAEP.new(Key("pub")).encrypt(b"m")
    assert record(caught.value) == ("halcyra_pqc.mirelock.PyCryptodomeCipher.encrypt", line)
    assert core.called("pack_ciphertext") == []


def raising(failure):
    def core_function(*args):
        raise failure
    return core_function


@pytest.mark.parametrize("name, encrypted, method, line", [
    ("pqc_encrypt_payload", None, "encrypt", 24),
    ("pack_ciphertext", ("a", "b", "c", "d"), "encrypt", 26),
    ("pack_ciphertext", ("a", "b", "c"), "encrypt", 28),
    ("pqc_decrypt_payload", None, "decrypt", 32),
])
def test_core_errors_pass_unchanged(fake_core, rebind, name, encrypted, method, line):
    failure = KeyError("from the core")
    fake_core(mirelock).encrypted = encrypted
    rebind(mirelock, **{name: raising(failure)})
    with pytest.raises(KeyError) as caught:
        getattr(PKCS1_OAEP.new(Key("pub", "priv")), method)(b"data")
    assert caught.value is failure
    assert record(caught.value) == (f"halcyra_pqc.mirelock.PyCryptodomeCipher.{method}", line)


def test_decrypt_returns_what_the_core_returns(fake_core):
    core = fake_core(mirelock)
    priv, ciphertext = object(), object()
    cipher = PKCS1_OAEP.new(Key("pub", priv))
    assert cipher.decrypt(ciphertext) is core.plaintext
    assert cipher.decrypt(ciphertext=ciphertext) is core.plaintext
    assert core.called("pqc_decrypt_payload") == [(ciphertext, priv)] * 2


@pytest.mark.parametrize("make_key", [
    lambda: Key("pub", "priv").publickey(),
    lambda: Key("pub"),
    lambda: Key("pub", b""),
    lambda: Key("pub", ""),
])
def test_decrypt_without_private_part_is_refused_before_the_core(fake_core, make_key):
    core = fake_core(mirelock)
    cipher = PKCS1_OAEP.new(make_key())
    with pytest.raises(ValueError) as caught:
        cipher.decrypt(b"ciphertext")
    assert str(caught.value) == "Private key required for decryption" and type(caught.value) is ValueError
    assert record(caught.value) == ("halcyra_pqc.mirelock.PyCryptodomeCipher.decrypt", 31)
    assert core.called("pqc_decrypt_payload") == []
    assert cipher.encrypt(b"m") is core.packed


def test_cipher_reads_the_key_material_at_each_call(fake_core):
    core = fake_core(mirelock)
    key = Key("pub 1", None)
    cipher = PKCS1_OAEP.new(key)
    key.pub_bytes, key.priv_bytes = "pub 2", "priv 2"
    cipher.encrypt(b"m")
    cipher.decrypt(b"c")
    assert core.calls[0] == ("pqc_encrypt_payload", (b"m", "pub 2"))
    assert core.calls[-1] == ("pqc_decrypt_payload", (b"c", "priv 2"))


@pytest.mark.parametrize("method, line", [("encrypt", 24), ("decrypt", 30)])
def test_missing_key_attributes_are_recorded(fake_core, method, line):
    fake_core(mirelock)
    cipher = PKCS1_OAEP.new(object())
    with pytest.raises(AttributeError) as caught:
        getattr(cipher, method)(b"x")
    assert record(caught.value) == (f"halcyra_pqc.mirelock.PyCryptodomeCipher.{method}", line)


def test_imported_key_sends_one_object_both_ways(fake_core):
    core = fake_core(mirelock)
    material = object()
    cipher = PKCS1_OAEP.new(RSA.import_key(material, "passphrase"))
    cipher.encrypt(b"m")
    cipher.decrypt(b"c")
    assert core.called("pqc_encrypt_payload")[0][1] is material
    assert core.called("pqc_decrypt_payload")[0][1] is material


@pytest.mark.parametrize("make", [
    lambda k: PKCS1_OAEP.new(k),
    lambda k: PKCS1_OAEP.new(k, 5, extra=1),
    lambda k: PKCS1_OAEP.new(key=k, hashAlgo=None, mgfunc=None, label=b""),
    lambda k: mirelock.PKCS1_OAEP_Mock().new(k),
    lambda k: mirelock.PyCryptodomeCipher(key=k),
])
def test_new_makes_a_cipher_over_the_key(make):
    key = object()
    cipher = make(key)
    assert type(cipher) is mirelock.PyCryptodomeCipher and vars(cipher) == {"key": key}


def test_new_records_a_failing_constructor(rebind):
    rebind(mirelock, PyCryptodomeCipher=raising(LookupError("no cipher")))
    with pytest.raises(LookupError) as caught:
        PKCS1_OAEP.new(object())
    assert record(caught.value) == ("halcyra_pqc.mirelock.PKCS1_OAEP_Mock.new", 44)


# The real core from here on.

@pytest.fixture(scope="module")
def key():
    return RSA.generate(3072)


@pytest.mark.parametrize("message", [b"", b"attack at dawn", os.urandom(3 * 1024 * 1024 + 7)],
                         ids=["empty", "short", "multi-megabyte"])
def test_round_trip(key, message):
    ciphertext = PKCS1_OAEP.new(key.publickey()).encrypt(message)
    assert type(ciphertext) is bytes
    assert PKCS1_OAEP.new(key).decrypt(ciphertext) == message


@pytest.mark.parametrize("as_read", [lambda b: b, lambda b: b.decode("utf-8")], ids=["bytes", "text"])
def test_exported_keys_import_and_round_trip(key, as_read):
    private = as_read(key.export_key())
    public = as_read(key.publickey().export_key())
    imported_private, imported_public = RSA.import_key(private), RSA.import_key(public)
    assert imported_private.export_key() is private and imported_public.export_key() is public
    # The core derives the public half of private material; public material has no private part.
    assert imported_private.pub_bytes == key.pub_bytes and imported_public.priv_bytes is None
    message = os.urandom(1000)
    for encrypting in (imported_public, imported_private, key):
        ciphertext = PKCS1_OAEP.new(encrypting).encrypt(message)
        assert PKCS1_OAEP.new(imported_private).decrypt(ciphertext) == message
    with pytest.raises(ValueError) as caught:
        PKCS1_OAEP.new(imported_public).decrypt(ciphertext)
    assert str(caught.value) == "Private key required for decryption"
    assert record(caught.value) == ("halcyra_pqc.mirelock.PyCryptodomeCipher.decrypt", 31)


def classic_private_key(encoding, private_format):
    """(private key bytes, the cryptography key they encode)."""
    private = crypto_rsa.generate_private_key(65537, 2048)
    return private.private_bytes(encoding, private_format, serialization.NoEncryption()), private


@pytest.mark.parametrize("make", [
    lambda hybrid, mlkem: (hybrid[1], hybrid[0]),
    lambda hybrid, mlkem: (hybrid[1].decode(), hybrid[0]),
    lambda hybrid, mlkem: (mlkem[1], mlkem[0]),
    lambda hybrid, mlkem: classic_private_key(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8),
    lambda hybrid, mlkem: classic_private_key(serialization.Encoding.PEM,
                                              serialization.PrivateFormat.TraditionalOpenSSL),
    lambda hybrid, mlkem: classic_private_key(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8),
], ids=["hybrid", "hybrid-text", "ml-kem", "classic-pkcs8-pem", "classic-pkcs1-pem", "classic-pkcs8-der"])
def test_public_export_of_an_imported_private_key_holds_no_private_material(hybrid_keys, mlkem_keys, make):
    private, public = make(hybrid_keys, mlkem_keys)
    key = RSA.import_key(private)
    exported = key.publickey().export_key()
    assert key.export_key() is private and key.publickey().pub_bytes is key.pub_bytes
    assert RSA.import_key(exported).priv_bytes is None
    if isinstance(public, bytes):
        assert exported == public
    else:
        # A classic key's public half, in the encoding its private key was given in.
        load = serialization.load_pem_public_key if exported.startswith(b"-----") else \
            serialization.load_der_public_key
        assert load(exported).public_numbers() == public.public_key().public_numbers()


@pytest.mark.parametrize("export", [
    lambda key: key.export_key(passphrase="pass phrase"),
    lambda key: key.export_key("PEM", b"pass phrase"),
], ids=["str-keyword", "bytes-second"])
def test_pass_phrase_protected_keys_round_trip(key, export):
    protected = export(key)
    assert type(protected) is bytes and key.priv_bytes not in protected
    for passphrase in ("pass phrase", b"pass phrase"):
        imported = RSA.import_key(protected, passphrase=passphrase)
        assert imported.priv_bytes == key.priv_bytes and imported.pub_bytes == key.pub_bytes
    message = os.urandom(100)
    assert PKCS1_OAEP.new(imported).decrypt(PKCS1_OAEP.new(key.publickey()).encrypt(message)) == message
    for wrong in ([protected], [protected, None], [protected, "other phrase"]):
        with pytest.raises(ValueError) as caught:
            RSA.import_key(*wrong)
        assert record(caught.value) == ("halcyra_pqc.mirelock.pycryptodome_import_key", 39)


def test_wrong_key_fails_in_the_core(key):
    ciphertext = PKCS1_OAEP.new(key).encrypt(b"secret")
    with pytest.raises(ValueError) as caught:
        PKCS1_OAEP.new(RSA.generate(3072)).decrypt(ciphertext)
    assert record(caught.value)[1] == 32
