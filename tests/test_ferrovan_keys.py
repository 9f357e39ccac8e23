"""ferrovan's module body and exception classes, the key classes, newkeys, and the inner RSA
keys read from key bytes."""

import base64
import json

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, utils

import halcyra_pqc
import halcyra_pqc.ferrovan as rsa
from conftest import DELETE, records, run_python

BODY_ORDER = [
    "json", "base64", "serialization", "padding", "hashes", "Prehashed",
    "generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload", "pack_ciphertext",
    "DecryptionError", "VerificationError", "PublicKey", "PrivateKey",
    "newkeys", "_get_inner_private_key", "_get_inner_public_key", "encrypt", "decrypt",
    "sign", "verify", "compute_hash", "sign_hash", "find_signature_hash", "__test__",
]
KEY_CLASSES = pytest.mark.parametrize("cls", [rsa.PublicKey, rsa.PrivateKey], ids=["PublicKey", "PrivateKey"])


def ferrovan_records(exc):
    return records(exc, "halcyra_pqc/ferrovan")


# --- The module body -------------------------------------------------------------------------

def test_body_binds_exactly_its_names_in_statement_order():
    # In a fresh interpreter: the module dict keeps the order of the statements that bound its
    # names, which rebinding in other tests would change.
    done = run_python("""
        import builtins, json
        real = Exception
        builtins.Exception = type("Impostor", (real,), {})  # the classes' base is not looked up
        import halcyra_pqc.ferrovan as rsa
        print(json.dumps([list(vars(rsa)), rsa.DecryptionError.__bases__ == rsa.VerificationError.__bases__ == (real,)]))
    """)
    assert done.returncode == 0, done.stderr
    names, real_base = json.loads(done.stdout)
    loader_names = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}
    assert [n for n in names if n not in loader_names] == BODY_ORDER and real_base


def test_bound_values():
    assert (rsa.json, rsa.base64, rsa.serialization, rsa.padding, rsa.hashes, rsa.Prehashed) == (
        json, base64, serialization, padding, hashes, utils.Prehashed)
    assert all(getattr(rsa, name) is getattr(halcyra_pqc, name) for name in BODY_ORDER[6:10])
    assert type(rsa.__test__) is dict and rsa.__test__ == {} and rsa.__doc__ is None
    assert not any(hasattr(rsa, name) for name in ("rsa", "sys", "cryptography", "types", "__all__"))


@pytest.mark.parametrize("cls, doc", [(rsa.DecryptionError, "Raised when decryption fails."),
                                      (rsa.VerificationError, "Raised when verification fails.")])
def test_exception_classes(cls, doc):
    assert type(cls) is type and cls.__bases__ == (Exception,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("halcyra_pqc.ferrovan", cls.__name__, doc)
    # Nothing in the namespace but what the class statement puts there; type adds __weakref__.
    assert set(vars(cls)) == {"__module__", "__doc__", "__weakref__"}
    assert cls().args == () and cls(1, "two").args == (1, "two")


# --- Key classes -----------------------------------------------------------------------------

@KEY_CLASSES
def test_key_class_shape(cls):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__doc__, cls.__qualname__, cls.__module__) == (None, cls.__name__, "halcyra_pqc.ferrovan")
    # (pickling an instance anywhere in the suite adds copyreg's __slotnames__ cache)
    assert [n for n, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)] == [
        "__init__", "load_pkcs1", "save_pkcs1"]
    assert {"__eq__", "__hash__", "__repr__", "__slots__"}.isdisjoint(vars(cls))
    assert type(vars(cls)["load_pkcs1"]) is staticmethod
    assert not issubclass(cls, rsa.PrivateKey if cls is rsa.PublicKey else rsa.PublicKey)


@KEY_CLASSES
@pytest.mark.parametrize("value", [b"key bytes", "text", None, 42, bytearray(b"mutable")],
                         ids=["bytes", "str", "None", "int", "bytearray"])
def test_keys_hold_and_return_the_very_object(cls, value):
    key = cls(value)
    assert key.key_bytes is value
    assert key.save_pkcs1() is value and key.save_pkcs1("DER") is value and key.save_pkcs1(format=None) is value
    for loaded in (cls.load_pkcs1(value), cls.load_pkcs1(value, "DER"), key.load_pkcs1(keyfile=value, format="X")):
        assert type(loaded) is cls and loaded.key_bytes is value
    assert cls.load_pkcs1(key.save_pkcs1()).save_pkcs1() is value


@KEY_CLASSES
def test_keys_compare_and_hash_by_identity(cls):
    a, b = cls(b"same"), cls(b"same")
    assert a != b and a == a and hash(a) == object.__hash__(a) != hash(b)
    assert repr(a).startswith(f"<halcyra_pqc.ferrovan.{cls.__name__} object at 0x")
    a.label = "instances take further attributes"
    assert vars(a) == {"key_bytes": b"same", "label": "instances take further attributes"}


@pytest.mark.parametrize("cls, line", [(rsa.PublicKey, 28), (rsa.PrivateKey, 37)])
def test_load_pkcs1_calls_the_class_bound_to_the_module_global(rebind, cls, line):
    assert type(type("Subclass", (cls,), {}).load_pkcs1(b"k")) is cls
    rebind(rsa, **{cls.__name__: lambda keyfile: ("made", keyfile)})
    assert cls.load_pkcs1(b"k") == ("made", b"k")
    rebind(rsa, **{cls.__name__: DELETE})
    with pytest.raises(NameError) as info:
        cls.load_pkcs1(b"k")
    assert str(info.value) == f"name '{cls.__name__}' is not defined"
    assert ferrovan_records(info.value) == [(f"halcyra_pqc.ferrovan.{cls.__name__}.load_pkcs1", line)]


@pytest.mark.parametrize("cls, init_line", [(rsa.PublicKey, 25), (rsa.PrivateKey, 34)])
def test_failing_key_method_statements_are_recorded(cls, init_line):
    with pytest.raises(AttributeError) as info:
        cls.__init__(object(), b"k")  # an object without a __dict__
    assert ferrovan_records(info.value) == [(f"halcyra_pqc.ferrovan.{cls.__name__}.__init__", init_line)]
    key = cls(b"k")
    del key.key_bytes
    with pytest.raises(AttributeError) as info:
        key.save_pkcs1()
    assert ferrovan_records(info.value) == [(f"halcyra_pqc.ferrovan.{cls.__name__}.save_pkcs1", init_line + 5)]


# --- newkeys ---------------------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: rsa.newkeys(512), lambda: rsa.newkeys(4096), lambda: rsa.newkeys(keysize=2048),
    lambda: rsa.newkeys(2048, 3, True, exponent=65537, accurate=False), lambda: rsa.newkeys(None),
], ids=["512", "4096", "keyword", "extras", "None"])
def test_newkeys_wraps_one_core_pair_whatever_the_arguments(fake_core, call):
    core = fake_core(rsa)
    result = call()
    assert core.called("generate_pqc_kem_keypair") == [()]
    assert type(result) is tuple and [type(k) for k in result] == [rsa.PublicKey, rsa.PrivateKey]
    assert result[0].key_bytes is core.keypair[0] and result[1].key_bytes is core.keypair[1]


@pytest.mark.parametrize("make", [list, iter, lambda pair: (item for item in pair)], ids=["list", "iterator", "generator"])
def test_newkeys_takes_any_two_item_iterable(rebind, make):
    pair = (b"public", b"private")
    rebind(rsa, generate_pqc_kem_keypair=lambda: make(pair))
    pub, priv = rsa.newkeys(2048)
    assert pub.key_bytes is pair[0] and priv.key_bytes is pair[1]


@pytest.mark.parametrize("result, error, message", [
    ((b"a", b"b", b"c"), ValueError, "too many values to unpack (expected 2)"),
    ([b"a"], ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (iter([b"a", b"b", b"c"]), ValueError, "too many values to unpack (expected 2)"),
    (iter([b"a"]), ValueError, "need more than 1 value to unpack"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
def test_newkeys_unpacking_errors(rebind, result, error, message):
    made = []
    rebind(rsa, generate_pqc_kem_keypair=lambda: result, PublicKey=made.append, PrivateKey=made.append)
    with pytest.raises(error) as info:
        rsa.newkeys(2048)
    assert str(info.value) == message and made == []
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.newkeys", 42)]


@pytest.mark.parametrize("failing, line", [("generate_pqc_kem_keypair", 42), ("PublicKey", 43), ("PrivateKey", 43)])
@pytest.mark.parametrize("how", ["raises", "missing"])
def test_newkeys_failures(rebind, failing, line, how):
    raised, made = RuntimeError(failing), []

    def fail(*args):
        raise raised

    rebind(rsa, generate_pqc_kem_keypair=lambda: (b"p", b"q"), PublicKey=made.append, PrivateKey=made.append)
    rebind(rsa, **{failing: fail if how == "raises" else DELETE})
    with pytest.raises(RuntimeError if how == "raises" else NameError) as info:
        rsa.newkeys(2048)
    assert info.value is raised if how == "raises" else str(info.value) == f"name '{failing}' is not defined"
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.newkeys", line)]
    assert made == ([b"p"] if failing == "PrivateKey" else [])  # no later step ran


def test_newkeys_with_the_real_core():
    pub, priv = rsa.newkeys(2048)
    assert rsa.decrypt(rsa.encrypt(b"msg", pub), priv) == b"msg"


# --- Inner RSA keys --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def inner(hybrid_keys):
    """Per kind: the reading function, the key class, real hybrid key bytes and their RSA DER."""
    return {kind: (getattr(rsa, f"_get_inner_{kind}_key"), cls, key_bytes,
                   base64.b64decode(json.loads(key_bytes)["rsa"]))
            for kind, cls, key_bytes in zip(("public", "private"), (rsa.PublicKey, rsa.PrivateKey), hybrid_keys)}


KINDS = pytest.mark.parametrize("kind", ["public", "private"])


def numbers(key):
    return key.private_numbers() if hasattr(key, "private_numbers") else key.public_numbers()


@KINDS
def test_inner_key_from_key_bytes_key_objects_and_bare_der(inner, kind):
    read, cls, key_bytes, der = inner[kind]
    expected = numbers(read(key_bytes))
    # Only "rsa" is read: member order, whitespace and other members do not matter.
    other = json.dumps({"extra": [1], "rsa": json.loads(key_bytes)["rsa"], "mlkem": 0}, indent=2).encode()
    for argument in (cls(key_bytes), der, other):
        assert numbers(read(argument)) == expected


class LoaderSpy:
    """Stands in for cryptography's serialization module, recording what the loaders get."""

    def __init__(self):
        self.calls = []

    def load_der_private_key(self, *args, **kwargs):
        self.calls.append(("private", args, kwargs))
        return "private key"

    def load_der_public_key(self, *args, **kwargs):
        self.calls.append(("public", args, kwargs))
        return "public key"


RAW_KEY_BYTES = {
    "no rsa member": b'{"mlkem": "AAAA"}', "rsa not base64": b'{"rsa": "abc"}',
    "rsa without padding": b'{"rsa": "AAAAAA"}', "rsa not a string": b'{"rsa": 5}',
    "json array": b'["rsa"]', "json string": b'"rsa"', "not json": b"\x30\x82\x01\x0a",
    "not utf-8": b'{"rsa": "\xff"}', "str": '{"rsa": "AAAA"}', "no decode": 12345,
}


@KINDS
@pytest.mark.parametrize("key_bytes", list(RAW_KEY_BYTES.values()), ids=list(RAW_KEY_BYTES))
def test_unreadable_key_bytes_go_whole_to_the_der_loader(rebind, kind, key_bytes):
    spy = LoaderSpy()
    rebind(rsa, serialization=spy)
    assert getattr(rsa, f"_get_inner_{kind}_key")(key_bytes) == f"{kind} key"
    ((called, args, kwargs),) = spy.calls
    assert called == kind and len(args) == 1 and args[0] is key_bytes
    assert kwargs == ({"password": None} if kind == "private" else {})


@KINDS
def test_reading_uses_the_json_and_base64_globals(rebind, inner, kind):
    read, cls, key_bytes, der = inner[kind]
    spy = LoaderSpy()
    rebind(rsa, serialization=spy)
    read(cls(key_bytes))
    rebind(rsa, json=DELETE)  # the NameError is dropped like any other: the bytes count as raw
    read(key_bytes)
    assert spy.calls[0][1] == (der,) and spy.calls[1][1][0] is key_bytes

    # As in the Python it performs, each function is looked up before its argument is
    # evaluated: without json, the key bytes are never decoded; without base64, the member
    # is never read.
    class Recording(bytes):
        reads = []

        def decode(self, *args):
            self.reads.append("decode")
            return bytes(self).decode(*args)

    read(Recording(key_bytes))
    rebind(rsa, json=json, base64=DELETE)

    class Members(dict):
        def __getitem__(self, name):
            Recording.reads.append(name)
            return super().__getitem__(name)

    rebind(rsa, json=type("JSON", (), {"loads": staticmethod(lambda text: Members(json.loads(text)))}))
    read(Recording(key_bytes))
    assert Recording.reads == ["decode"]


@pytest.mark.parametrize("kind, load_line", [("public", 61), ("private", 52)])
@pytest.mark.parametrize("argument", ["ML-KEM only", "str", "key of the other class"])
def test_loader_errors_propagate_unchanged(inner, kind, load_line, argument):
    read, cls, key_bytes, der = inner[kind]
    other = rsa.PublicKey if kind == "private" else rsa.PrivateKey
    # A key of the other class is not unwrapped: the rule tests for the reader's class only.
    value = {"ML-KEM only": b'{"kind": "ML-KEM-768"}', "str": key_bytes.decode(),
             "key of the other class": other(key_bytes)}[argument]
    with pytest.raises((ValueError, TypeError)) as info:
        read(value)
    assert not isinstance(info.value, (rsa.DecryptionError, rsa.VerificationError))
    assert info.value.__context__ is None  # the exception dropped while reading leaves no trace
    assert ferrovan_records(info.value) == [(f"halcyra_pqc.ferrovan._get_inner_{kind}_key", load_line)]


class Interrupting:
    """Has one method, which raises KeyboardInterrupt: the reading rule lets that through."""

    def __init__(self, method):
        setattr(self, method, self.interrupt)

    @staticmethod
    def interrupt(*args):
        raise KeyboardInterrupt


@pytest.mark.parametrize("kind, lines", [("private", (48, 49)), ("public", (57, 58))])
@pytest.mark.parametrize("where", ["decode", "json.loads", "base64.b64decode"])
def test_non_exceptions_in_the_reading_rule_propagate(rebind, inner, kind, lines, where):
    read, cls, key_bytes, der = inner[kind]
    argument = key_bytes
    if where == "decode":
        argument = Interrupting("decode")
    else:
        module, method = where.split(".")
        rebind(rsa, **{module: Interrupting(method)})
    with pytest.raises(KeyboardInterrupt) as info:
        read(argument)
    line = lines[1] if where.startswith("base64") else lines[0]
    assert ferrovan_records(info.value) == [(f"halcyra_pqc.ferrovan._get_inner_{kind}_key", line)]


@pytest.mark.parametrize("kind, key_line, load_line", [("private", 46, 52), ("public", 55, 61)])
def test_inner_key_step_failures(rebind, inner, kind, key_line, load_line):
    read, cls, key_bytes, der = inner[kind]
    site = f"halcyra_pqc.ferrovan._get_inner_{kind}_key"
    key = cls(key_bytes)
    del key.key_bytes
    with pytest.raises(AttributeError) as info:
        read(key)
    assert ferrovan_records(info.value) == [(site, key_line)]
    for missing, line in (("serialization", load_line), (cls.__name__, key_line)):
        rebind(rsa, **{missing: DELETE})
        with pytest.raises(NameError) as info:
            read(key_bytes)
        assert str(info.value) == f"name '{missing}' is not defined"
        assert ferrovan_records(info.value) == [(site, line)]
