"""PyCryptodomeKey, RSA.generate and RSA.import_key over a fake core: key material passes
by reference, and the binding messages and records of every mirelock function."""

import os
import sys
import types

import pytest

import halcyra_pqc
from conftest import records
from halcyra_pqc import mirelock
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

PATH = "halcyra_pqc/mirelock"
Key = mirelock.PyCryptodomeKey


def record(exc):
    return records(exc, PATH)[-1]


@pytest.mark.parametrize("args, kwargs", [
    ((2048,), {}),
    ((3072, None), {}),
    ((), {"bits": 1024, "randfunc": os.urandom}),
    (("any", object()), {}),
])
def test_generate_wraps_the_core_pair(fake_core, args, kwargs):
    core = fake_core(mirelock)
    key = RSA.generate(*args, **kwargs)
    assert core.calls == [("generate_pqc_kem_keypair", ())]
    assert type(key) is Key and key.pub_bytes is core.keypair[0] and key.priv_bytes is core.keypair[1]
    assert key.export_key() is core.keypair[1]
    public = key.publickey()
    assert type(public) is Key and public.pub_bytes is core.keypair[0] and public.priv_bytes is None
    assert public.export_key() is core.keypair[0]


@pytest.mark.parametrize("make_pair", [list, iter, lambda pair: (item for item in pair)])
def test_generate_unpacks_any_iterable_of_two(fake_core, make_pair):
    core = fake_core(mirelock)
    pair = core.keypair
    core.keypair = make_pair(pair)
    key = RSA.generate(2048)
    assert key.pub_bytes is pair[0] and key.priv_bytes is pair[1]


@pytest.mark.parametrize("result, error, message", [
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    (iter("abc"), ValueError, "too many values to unpack (expected 2)"),
    (("a",), ValueError, "need more than 1 value to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    (iter("a"), ValueError, "need more than 1 value to unpack"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_generate_rejects_a_pair_of_another_size(fake_core, result, error, message):
    fake_core(mirelock).keypair = result
    with pytest.raises(error) as caught:
        RSA.generate(2048)
    assert str(caught.value) == message
    assert record(caught.value) == ("halcyra_pqc.mirelock.pycryptodome_generate", 35)


def test_generate_passes_core_errors_unchanged(fake_core, rebind):
    failure = KeyError("core")

    def failing():
        raise failure

    fake_core(mirelock)
    rebind(mirelock, generate_pqc_kem_keypair=failing)
    with pytest.raises(KeyError) as caught:
        RSA.generate(2048)
    assert caught.value is failure and record(caught.value)[1] == 35


@pytest.mark.parametrize("data", [b"key bytes", "key text", b"", bytearray(b"k"), object()])
@pytest.mark.parametrize("extra", [(), ("pass phrase",), (None,)])
def test_import_key_uses_one_object_for_both_halves(data, extra):
    key = RSA.import_key(data, *extra)
    assert type(key) is Key and key.pub_bytes is data and key.priv_bytes is data
    # An empty private part counts as absent, and export falls back to the same object.
    assert key.export_key() is data


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("PEM",), {}),
    (("DER", None, 8), {"protection": "scryptAndAES128-CBC"}),
    ((), {"format": "OpenSSH", "passphrase": None, "randfunc": os.urandom}),
])
@pytest.mark.parametrize("priv, exported", [("priv", "priv"), (None, "pub"), (b"", "pub"), (0, "pub")])
def test_export_key_returns_the_stored_material(args, kwargs, priv, exported):
    key = Key("pub", priv)
    assert key.export_key(*args, **kwargs) is getattr(key, exported + "_bytes")


def test_key_attributes_are_ordinary_and_read_afresh():
    pub, priv = object(), object()
    key = Key(pub)
    assert vars(key) == {"pub_bytes": pub, "priv_bytes": None}
    key.priv_bytes = priv
    assert key.export_key() is priv
    # Methods called through the class work on any object with the attributes.
    assert Key.export_key(types.SimpleNamespace(pub_bytes=pub, priv_bytes=None)) is pub
    assert Key.publickey(self=types.SimpleNamespace(pub_bytes=pub)).pub_bytes is pub


def test_publickey_of_a_subclass_is_a_plain_key():
    class Derived(Key):
        pass

    public = Derived("pub", "priv").publickey()
    assert type(public) is Key and public.pub_bytes == "pub"


class Slotted:
    __slots__ = ("pub_bytes",)


class Refusing:
    __slots__ = ()


class Untruthful:
    def __bool__(self):
        raise ArithmeticError("no truth")


@pytest.mark.parametrize("action, error, line", [
    (lambda: Key.__init__(Refusing(), "pub"), AttributeError, ("PyCryptodomeKey.__init__", 13)),
    (lambda: Key.__init__(Slotted(), "pub"), AttributeError, ("PyCryptodomeKey.__init__", 14)),
    (lambda: Key.publickey(types.SimpleNamespace()), AttributeError, ("PyCryptodomeKey.publickey", 16)),
    (lambda: Key.export_key(types.SimpleNamespace(pub_bytes=1)), AttributeError, ("PyCryptodomeKey.export_key", 18)),
    (lambda: Key.export_key(types.SimpleNamespace(priv_bytes=None)), AttributeError,
     ("PyCryptodomeKey.export_key", 18)),
    (lambda: Key("pub", Untruthful()).export_key(), ArithmeticError, ("PyCryptodomeKey.export_key", 18)),
])
def test_key_failures_are_recorded(action, error, line):
    with pytest.raises(error) as caught:
        action()
    assert record(caught.value) == ("halcyra_pqc.mirelock." + line[0], line[1])


def test_init_keeps_the_first_assignment_when_the_second_fails():
    target = Slotted()
    with pytest.raises(AttributeError):
        Key.__init__(target, "pub", "priv")
    assert target.pub_bytes == "pub"


def test_key_constructor_failure_is_recorded_in_each_caller(fake_core, rebind):
    def refusing(*args):
        raise LookupError("no key")

    fake_core(mirelock)
    rebind(mirelock, PyCryptodomeKey=refusing)
    for action, expected in [(lambda: RSA.generate(1), ("pycryptodome_generate", 36)),
                             (lambda: RSA.import_key(b"k"), ("pycryptodome_import_key", 39)),
                             (lambda: Key("pub").publickey(), ("PyCryptodomeKey.publickey", 16))]:
        with pytest.raises(LookupError) as caught:
            action()
        assert record(caught.value) == ("halcyra_pqc.mirelock." + expected[0], expected[1])


cipher = PKCS1_OAEP.new(Key("pub", "priv"))

# (call, message, definition line of the function that refuses it)
BINDING_ERRORS = [
    (lambda: RSA.generate(), "pycryptodome_generate() takes at least 1 positional argument (0 given)", 34),
    (lambda: RSA.generate(1, 2, 3), "pycryptodome_generate() takes at most 2 positional arguments (3 given)", 34),
    (lambda: RSA.generate(1, bits=2), "pycryptodome_generate() got multiple values for keyword argument 'bits'", 34),
    (lambda: RSA.generate(1, e=65537), "pycryptodome_generate() got an unexpected keyword argument 'e'", 34),
    (lambda: RSA.import_key(), "pycryptodome_import_key() takes at least 1 positional argument (0 given)", 38),
    (lambda: Key(), "__init__() takes at least 2 positional arguments (1 given)", 12),
    (lambda: Key(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)", 12),
    (lambda: Key("pub").publickey(1), "publickey() takes exactly 1 positional argument (2 given)", 15),
    (lambda: Key.export_key(), "export_key() takes at least 1 positional argument (0 given)", 17),
    (lambda: mirelock.PyCryptodomeCipher(), "__init__() takes exactly 2 positional arguments (1 given)", 21),
    (lambda: cipher.encrypt(b"m", b"x"), "encrypt() takes exactly 2 positional arguments (3 given)", 23),
    (lambda: cipher.decrypt(data=b"c"), "decrypt() got an unexpected keyword argument 'data'", 29),
    (lambda: PKCS1_OAEP.new(), "new() takes at least 1 positional argument (0 given)", 42),
    (lambda: PKCS1_OAEP.new(1, key=2), "new() got multiple values for keyword argument 'key'", 42),
]


@pytest.mark.parametrize("action, message, line", BINDING_ERRORS)
def test_binding_errors(action, message, line):
    with pytest.raises(TypeError) as caught:
        action()
    assert str(caught.value) == message
    assert records(caught.value, PATH)[-1][1] == line


# --- Pass phrases and the core's key pairs, over fakes bound on the package ------------------

class Protector:
    """Stands in for the package's protect_private_key and records what it is given."""

    def __init__(self):
        self.calls, self.result = [], object()

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


class KeywordName(str):
    pass


@pytest.fixture
def protector(monkeypatch):
    fake = Protector()
    monkeypatch.setattr(halcyra_pqc, "protect_private_key", fake, raising=False)
    return fake


@pytest.mark.parametrize("passphrase", ["pass phrase", b"pass phrase"], ids=["str", "bytes"])
@pytest.mark.parametrize("export", [
    lambda key, pw: key.export_key(passphrase=pw),
    lambda key, pw: key.export_key("PEM", pw),
    lambda key, pw: key.export_key("DER", pw, 8, "scryptAndAES128-CBC", os.urandom),
    lambda key, pw: key.export_key(format="PEM", pkcs=8, passphrase=pw),
    lambda key, pw: Key.export_key(key, "PEM", passphrase=pw),
    # Keyword names that are not the interned name: built at run time, or of a str subclass.
    lambda key, pw: key.export_key(**{"".join(["pass", "phrase"]): pw}),
    lambda key, pw: key.export_key(**{KeywordName("passphrase"): pw}),
], ids=["keyword", "second", "all-positional", "keywords", "through-class", "built-keyword",
        "str-subclass-keyword"])
def test_export_with_a_pass_phrase_returns_what_the_core_protects(protector, export, passphrase):
    priv = object()
    key = Key("pub", priv)
    assert export(key, passphrase) is protector.result
    assert len(protector.calls) == 1
    got_priv, got_passphrase = protector.calls[0]
    assert got_priv is priv and got_passphrase is passphrase


@pytest.mark.parametrize("args, kwargs", [
    ((), {"passphrase": None}),
    (("PEM", None), {}),
    (("PEM",), {"pkcs": 8}),
    ((), {"Passphrase": "other keyword"}),
])
def test_export_without_a_pass_phrase_is_unchanged(protector, args, kwargs):
    key = Key("pub", "priv")
    assert key.export_key(*args, **kwargs) is key.priv_bytes
    assert protector.calls == []


# A pass phrase given both ways, as PyCryptodome's export_key(format, passphrase, ...) binds it,
# is refused whatever either value is: taking one would let the other decide unseen whether
# private material leaves unprotected.
@pytest.mark.parametrize("priv", ["priv", None])
@pytest.mark.parametrize("args, kwargs", [
    (("PEM", "positional"), {"passphrase": None}),
    (("PEM", None), {"passphrase": "pw"}),
    (("DER", "pw", 8), {"passphrase": "pw", "pkcs": 8}),
    (("PEM", "pw"), {"".join(["pass", "phrase"]): "pw"}),
])
def test_a_pass_phrase_given_twice_is_refused(protector, priv, args, kwargs):
    with pytest.raises(TypeError) as caught:
        Key("pub", priv).export_key(*args, **kwargs)
    assert str(caught.value) == "PyCryptodomeKey.export_key() got multiple values for argument 'passphrase'"
    assert record(caught.value) == ("halcyra_pqc.mirelock.PyCryptodomeKey.export_key", 18)
    assert protector.calls == []


@pytest.mark.parametrize("priv", [None, b"", 0])
def test_public_only_keys_ignore_the_pass_phrase(protector, priv):
    key = Key("pub", priv)
    assert key.export_key(passphrase="pw") is key.pub_bytes
    assert key.export_key("PEM", b"pw") is key.pub_bytes
    assert protector.calls == []


@pytest.mark.parametrize("pair", [
    lambda pub, priv: (pub, priv),
    lambda pub, priv: [pub, priv],
    lambda pub, priv: iter((pub, priv)),
    lambda pub, priv: (pub,),            # a public key: priv_bytes takes its default
], ids=["tuple", "list", "iterator", "one item"])
@pytest.mark.parametrize("call, passphrase", [
    (lambda data: RSA.import_key(data), None),
    (lambda data: RSA.import_key(data, "pw"), "pw"),
    (lambda data: RSA.import_key(data, passphrase=b"pw"), b"pw"),
    (lambda data: RSA.import_key(extern_key=data, passphrase="pw"), "pw"),
])
def test_import_builds_the_key_from_the_core_pair(monkeypatch, pair, call, passphrase):
    pub, priv, data, calls = object(), object(), object(), []

    def import_key_pair(*args):
        calls.append(args)
        return pair(pub, priv)

    monkeypatch.setattr(halcyra_pqc, "_import_key_pair", import_key_pair, raising=False)
    key = call(data)
    assert type(key) is Key and key.pub_bytes is pub
    assert key.priv_bytes is (None if len(list(pair(pub, priv))) == 1 else priv)
    assert len(calls) == 1 and calls[0][0] is data and calls[0][1] == passphrase


def raise_from_core(*args):
    raise LookupError("from the core")


@pytest.mark.parametrize("name, action, line", [
    ("_import_key_pair", lambda: RSA.import_key(b"key"), ("pycryptodome_import_key", 39)),
    ("protect_private_key", lambda: Key("pub", "priv").export_key(passphrase="pw"), ("PyCryptodomeKey.export_key", 19)),
])
def test_the_core_functions_are_imported_at_each_call(monkeypatch, name, action, line):
    monkeypatch.delattr(halcyra_pqc, name, raising=False)
    with pytest.raises(ImportError) as caught:
        action()
    assert str(caught.value) == f"cannot import name {name}"
    assert record(caught.value) == ("halcyra_pqc.mirelock." + line[0], line[1])
    # As for the body's from-import, a submodule already in sys.modules serves as well.
    monkeypatch.setitem(sys.modules, f"halcyra_pqc.{name}", raise_from_core)
    with pytest.raises(LookupError) as caught:
        action()
    assert record(caught.value) == ("halcyra_pqc.mirelock." + line[0], line[1])


class PrivateOnce:
    """Private material that is true at the first truth test and missing afterwards."""

    def __init__(self, key):
        self.key = key

    def __bool__(self):
        del self.key.priv_bytes
        return True


@pytest.mark.parametrize("make_key, error, line", [
    (lambda: Key("pub", Untruthful()), ArithmeticError, 18),
    (lambda: types.SimpleNamespace(pub_bytes="pub"), AttributeError, 18),
    (lambda: Key("pub", "priv"), LookupError, 19),
], ids=["truth test", "no private attribute", "core refuses"])
def test_export_with_a_pass_phrase_records_its_failures(monkeypatch, make_key, error, line):
    monkeypatch.setattr(halcyra_pqc, "protect_private_key", raise_from_core, raising=False)
    with pytest.raises(error) as caught:
        Key.export_key(make_key(), passphrase="pw")
    assert record(caught.value) == ("halcyra_pqc.mirelock.PyCryptodomeKey.export_key", line)


def test_export_reads_the_private_material_again_for_the_core(protector):
    key = Key("pub", None)
    key.priv_bytes = PrivateOnce(key)
    with pytest.raises(AttributeError) as caught:
        key.export_key(passphrase="pw")
    assert record(caught.value) == ("halcyra_pqc.mirelock.PyCryptodomeKey.export_key", 19)
    assert protector.calls == []


@pytest.mark.parametrize("result, error, message", [
    (5, TypeError, "halcyra_pqc.mirelock.PyCryptodomeKey() argument after * must be an iterable, not int"),
    ((), TypeError, "__init__() takes at least 2 positional arguments (1 given)"),
    (("a", "b", "c"), TypeError, "__init__() takes at most 3 positional arguments (4 given)"),
])
def test_import_refuses_a_pair_that_does_not_fit_the_key(monkeypatch, result, error, message):
    monkeypatch.setattr(halcyra_pqc, "_import_key_pair", lambda *args: result, raising=False)
    with pytest.raises(error) as caught:
        RSA.import_key(b"key")
    assert str(caught.value) == message
    assert records(caught.value, PATH)[0] == ("halcyra_pqc.mirelock.pycryptodome_import_key", 39)
