"""Public key bytes derived from private ones, and private keys protected by a pass phrase:
no route meant to yield public material yields private material, and a pass phrase is
honoured or refused, never ignored."""

import base64
import json

import pytest
from cryptography.hazmat.primitives import serialization

import halcyra_pqc as hp
import halcyra_pqc.ferrovan as ferrovan
from halcyra_pqc import _protection
from halcyra_pqc._errors import KEY_IS_PROTECTED, WRONG_PASSPHRASE

PRIVATE_FORMS = {
    # name: (library, export, expected public encoding)
    "rsa-pkcs1-pem": ("rsa", lambda k: k.save_pkcs1(), "PEM"),
    "rsa-pkcs1-der": ("rsa", lambda k: k.save_pkcs1("DER"), "DER"),
    "cryptodome-pkcs1-pem": ("cryptodome", lambda k: k.export_key(), "PEM"),
    "cryptodome-pkcs8-pem": ("cryptodome", lambda k: k.export_key(pkcs=8), "PEM"),
    "cryptodome-pkcs1-der": ("cryptodome", lambda k: k.export_key(format="DER"), "DER"),
    "cryptodome-pkcs8-der": ("cryptodome", lambda k: k.export_key(format="DER", pkcs=8), "DER"),
}


@pytest.fixture(scope="module")
def private_keys(hybrid_keys, mlkem_keys, rsa_pkg_keys, cryptodome_key):
    """Every kind of private key bytes the core reads: name -> (private, expected public or None)."""
    keys = {"hybrid": (hybrid_keys[1], hybrid_keys[0]), "mlkem": (mlkem_keys[1], mlkem_keys[0])}
    for name, (library, export, _) in PRIVATE_FORMS.items():
        keys[name] = (export(rsa_pkg_keys[1] if library == "rsa" else cryptodome_key), None)
    keys["rsa-pkcs1-pem-text"] = (rsa_pkg_keys[1].save_pkcs1().decode(), None)
    return keys


def secrets_of(private):
    """Byte strings that must never appear in anything public derived from `private`."""
    data = private.encode() if isinstance(private, str) else private
    if data.startswith(b"{"):
        members = json.loads(data)
        raw = [base64.b64decode(members[name]) for name in ("mlkem", "rsa") if name in members]
        return [members["mlkem"].encode(), *raw, b'"private"']
    load = serialization.load_pem_private_key if data.startswith(b"-----") else serialization.load_der_private_key
    numbers = load(data, None).private_numbers()
    return [b"PRIVATE", *(value.to_bytes((value.bit_length() + 7) // 8, "big")
                          for value in (numbers.d, numbers.p, numbers.q))]


def assert_public_only(public, private):
    assert type(public) is bytes
    for secret in secrets_of(private):
        assert secret not in public


@pytest.mark.parametrize("name", ["hybrid", "mlkem", *PRIVATE_FORMS, "rsa-pkcs1-pem-text"])
def test_public_key_bytes_of_every_kind_hold_no_private_material(private_keys, name):
    private, expected = private_keys[name]
    public = hp.public_key_bytes(private)
    assert_public_only(public, private)
    if expected is not None:
        # Generated pairs: the derived public key is byte for byte the one generated.
        assert public == expected
    else:
        encoding = PRIVATE_FORMS.get(name, (None, None, "PEM"))[2]
        assert public.startswith(b"-----BEGIN PUBLIC KEY-----") == (encoding == "PEM")
        data = private.encode() if isinstance(private, str) else private
        load = serialization.load_pem_private_key if encoding == "PEM" else serialization.load_der_private_key
        loaded = (serialization.load_pem_public_key if encoding == "PEM" else serialization.load_der_public_key)(public)
        assert loaded.public_numbers() == load(data, None).public_key().public_numbers()
    # Public key bytes derive to themselves, and the derived key is one the core reads.
    assert hp.public_key_bytes(public) == public
    with pytest.raises(ValueError, match="a public key cannot decrypt"):
        hp.pqc_decrypt_payload(bytes(256), public)


@pytest.fixture
def cheap_scrypt(monkeypatch):
    """Protection at the lowest cost a reader accepts, to keep round trips quick: the cost is
    recorded in the protected bytes, so reading follows whatever was written."""
    monkeypatch.setattr(_protection, "SCRYPT_LOG2_N", 14)


def test_protection_uses_the_documented_form_and_cost(hybrid_keys):
    protected = hp.protect_private_key(hybrid_keys[1], "pw")
    members = json.loads(protected)
    assert list(members) == ["version", "kind", "kdf", "salt", "log2_n", "r", "p", "cipher", "nonce", "commitment",
                             "sealed"]
    assert members["version"] == 2
    assert (members["kind"], members["kdf"], members["cipher"]) == ("protected", "scrypt", "AES-256-GCM")
    # PyCryptodome's default cost for its scrypt protection: N = 2**17, r = 8, p = 1.
    assert (members["log2_n"], members["r"], members["p"]) == (17, 8, 1)
    assert hp.unprotect_private_key(protected, "pw") == hybrid_keys[1]


@pytest.mark.parametrize("passphrase", ["correct horse", "pässwörd ✓", b"\x00\xffraw bytes", bytearray(b"mutable")],
                         ids=["str", "non-ascii", "bytes", "bytearray"])
@pytest.mark.parametrize("name", ["hybrid", "mlkem", "cryptodome-pkcs1-pem", "rsa-pkcs1-der"])
def test_protected_round_trip(private_keys, name, passphrase, cheap_scrypt):
    private, _ = private_keys[name]
    protected = hp.protect_private_key(private, passphrase)
    for secret in secrets_of(private):
        assert secret not in protected
    same = passphrase if isinstance(passphrase, str) else bytes(passphrase)
    assert hp.unprotect_private_key(protected, same) == private
    assert hp.unprotect_private_key(protected.decode(), same) == private
    # Fresh salt and nonce every time: the same key and pass phrase never give the same bytes.
    assert hp.protect_private_key(private, passphrase) != protected


def test_protected_keys_refuse_wrong_missing_and_bad_pass_phrases(hybrid_keys, cheap_scrypt):
    protected = hp.protect_private_key(hybrid_keys[1], "right")
    for wrong in ("wrong", "right ", "Right", b"righ"):
        with pytest.raises(ValueError) as caught:
            hp.unprotect_private_key(protected, wrong)
        assert str(caught.value) == WRONG_PASSPHRASE
    with pytest.raises(ValueError, match="protected by a pass phrase, and none was given"):
        hp.unprotect_private_key(protected, None)
    with pytest.raises(ValueError, match="the pass phrase is empty"):
        hp.unprotect_private_key(protected, "")
    with pytest.raises(ValueError, match="not valid Unicode"):
        hp.unprotect_private_key(protected, "\udc00")
    with pytest.raises(TypeError, match="passphrase must be str, bytes or a bytes-like object, not 'int'"):
        hp.protect_private_key(hybrid_keys[1], 1234)
    with pytest.raises(ValueError, match="the pass phrase is empty"):
        hp.protect_private_key(hybrid_keys[1], b"")
    with pytest.raises(ValueError, match="only private key bytes are protected"):
        hp.protect_private_key(hybrid_keys[0], "pw")
    with pytest.raises(ValueError, match="^invalid key bytes: "):
        hp.protect_private_key(b"{not a key", "pw")
    with pytest.raises(ValueError, match="^invalid key bytes: .*protected by a pass phrase"):
        hp.protect_private_key(protected, "again")
    with pytest.raises(ValueError, match="not protected by a pass phrase: use them as they are"):
        hp.unprotect_private_key(hybrid_keys[1], "right")


def changed(protected, **members):
    fields = json.loads(protected)
    fields.update(members)
    return json.dumps({k: v for k, v in fields.items() if v is not None}, separators=(",", ":")).encode()


def test_modified_protected_keys_are_refused_before_any_work(hybrid_keys, cheap_scrypt, monkeypatch):
    protected = hp.protect_private_key(hybrid_keys[1], "pw")
    fields = json.loads(protected)
    sealed = bytearray(base64.b64decode(fields["sealed"]))
    sealed[5] ^= 1
    # Changes the key derivation or the associated data: the tag no longer matches.
    for modified in (changed(protected, sealed=base64.b64encode(bytes(sealed)).decode()),
                     changed(protected, salt=base64.b64encode(bytes(16)).decode()),
                     changed(protected, log2_n=15), changed(protected, r=4), changed(protected, p=2),
                     changed(protected, nonce=base64.b64encode(bytes(12)).decode())):
        with pytest.raises(ValueError) as caught:
            hp.unprotect_private_key(modified, "pw")
        assert str(caught.value) == WRONG_PASSPHRASE

    derivations = []
    monkeypatch.setattr(_protection, "Scrypt", lambda **kw: derivations.append(kw))
    refused = {
        "log2_n": (changed(protected, log2_n=10**9), "more scrypt work or memory"),
        "r": (changed(protected, r=2048), "more scrypt work or memory"),
        "p": (changed(protected, p=200), "more scrypt work or memory"),
        "small-n": (changed(protected, log2_n=13), "scrypt cost is too low: N must be at least 2**14"),
        # Inside every bound, but scrypt itself refuses N >= 2**(16 * r): a MemoryError once.
        "cannot-run": (changed(protected, log2_n=16, r=1), "scrypt cannot run with these parameters"),
        "r-zero": (changed(protected, r=0), "scrypt cannot run with these parameters"),
        "commitment": (changed(protected, commitment=base64.b64encode(bytes(16)).decode()), '"commitment" must hold'),
        "huge-memory": (changed(protected, log2_n=19), "more scrypt work or memory"),
        "float": (changed(protected, r=8.0), "must be integers"),
        "bool": (changed(protected, p=True), "must be integers"),
        "kdf": (changed(protected, kdf="pbkdf2"), "must use"),
        "cipher": (changed(protected, cipher="AES-128-CBC"), "must use"),
        "salt": (changed(protected, salt=base64.b64encode(bytes(8)).decode()), '"salt" must hold'),
        "nonce": (changed(protected, nonce=base64.b64encode(bytes(16)).decode()), '"nonce" must hold'),
        "sealed": (changed(protected, sealed=base64.b64encode(bytes(16)).decode()), '"sealed" is not'),
        "missing": (changed(protected, salt=None), '"salt" member is missing'),
        "extra": (changed(protected, hint="x"), "unexpected member 'hint'"),
        "version": (changed(protected, version=3), "unsupported protected key version (this release reads 1 and 2)"),
        "v1-with-commitment": (changed(protected, version=1), "unexpected member 'commitment'"),
    }
    for name, (modified, reason) in refused.items():
        with pytest.raises(ValueError, match="^invalid key bytes: ") as caught:
            hp.unprotect_private_key(modified, "pw")
        assert reason in str(caught.value), name
    assert derivations == []


def test_protected_bytes_used_as_a_key_say_how_to_unprotect(hybrid_keys, cheap_scrypt):
    protected = hp.protect_private_key(hybrid_keys[1], "pw")
    packed = ferrovan.encrypt(b"m", hybrid_keys[0])
    for call in (lambda: hp.pqc_decrypt_payload(packed, protected),
                 lambda: hp.pqc_encrypt_payload(b"m", protected),
                 lambda: hp.public_key_bytes(protected)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == "invalid key bytes: " + KEY_IS_PROTECTED
    with pytest.raises(ferrovan.DecryptionError) as caught:
        ferrovan.decrypt(packed, ferrovan.PrivateKey(protected))
    assert "unprotect_private_key" in str(caught.value.__cause__)
    # Unprotected again, the key works as it always did.
    assert ferrovan.decrypt(packed, ferrovan.PrivateKey(hp.unprotect_private_key(protected, "pw"))) == b"m"


class Mutable(bytearray):
    pass


def test_import_key_pair_keeps_public_material_public(private_keys, cheap_scrypt):
    private, public = private_keys["hybrid"]
    assert hp._import_key_pair(private) == (public, private)
    assert hp._import_key_pair(private)[1] is private
    pem = private_keys["cryptodome-pkcs8-pem"][0]
    for passphrase in (None, "ignored for unprotected keys"):
        derived, kept = hp._import_key_pair(pem, passphrase)
        assert kept is pem and derived == hp.public_key_bytes(pem)
    # Protected: unprotected with the pass phrase, refused without it or with a wrong one.
    protected = hp.protect_private_key(private, "pw")
    assert hp._import_key_pair(protected, "pw") == (public, private)
    for wrong in (None, "PW"):
        with pytest.raises(ValueError):
            hp._import_key_pair(protected, wrong)
    # Public key bytes have no private half, whatever the pass phrase.
    assert hp._import_key_pair(public, "pw") == (public, None)
    # A buffer that could change later is read once; both halves come from that reading.
    buffer = Mutable(private)
    derived, kept = hp._import_key_pair(buffer)
    buffer[:] = b"changed"
    assert (derived, kept) == (public, private) and type(kept) is bytes
    # Anything not in the form of key bytes is kept unread; key-shaped bytes must be readable.
    for opaque in (b"key bytes", "key text", b"", object()):
        pair = hp._import_key_pair(opaque)
        assert pair[0] is opaque and pair[1] is opaque
    with pytest.raises(ValueError, match="^invalid key bytes: "):
        hp._import_key_pair(private[:-3])
