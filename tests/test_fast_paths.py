"""The runtime's fast paths give way to the general behaviour at their edges: class calls
once a class's __new__ or __init__ changes, calls on module objects that are not
plain modules, str and bytes methods of subclasses, and binding messages that the quick
formatting cannot produce exactly."""

import types

import pytest

import halcyra_pqc.ferrovan as rsa
import halcyra_pqc.mirelock as mirelock
from conftest import DELETE, records, run_python

SOURCE = "halcyra_pqc/ferrovan"


@pytest.fixture
def restore_class():
    """Puts back the attributes a test changes on a class."""
    saved = []

    def _save(cls, *names):
        saved.append((cls, {name: cls.__dict__[name] for name in names if name in cls.__dict__}, names))

    yield _save
    for cls, values, names in reversed(saved):
        for name in names:
            if name in cls.__dict__ and name not in values:
                delattr(cls, name)
        for name, value in values.items():
            setattr(cls, name, value)


def test_class_calls_follow_the_class_as_it_is_now(restore_class):
    restore_class(rsa.PublicKey, "__init__")
    assert rsa.PublicKey(key_bytes=b"k").key_bytes == b"k"
    assert type.__call__(rsa.PublicKey, b"t").key_bytes == b"t"

    rsa.PublicKey.__init__ = lambda self, data, extra=2: setattr(self, "seen", (data, extra))
    assert rsa.PublicKey(b"k").seen == (b"k", 2)


def test_a_new_dunder_new_takes_over_the_call():
    # In a fresh interpreter: a __new__, once set, cannot be taken back off a class.
    result = run_python("""
        import halcyra_pqc.ferrovan as rsa
        rsa.PublicKey.__new__ = staticmethod(lambda cls, *args: ("made", args))
        print(rsa.PublicKey(b"k"))
        rsa.PublicKey.__new__ = staticmethod(lambda cls, *args: object.__new__(cls))
        print(rsa.PublicKey(b"k").key_bytes)
    """)
    assert result.stdout.splitlines() == ["('made', (b'k',))", "b'k'"], result.stderr


def test_a_class_without_its_init_takes_the_interpreters_message():
    # In a fresh interpreter: deleting and restoring __init__ would reorder the class dict.
    # As for a Python class whose __init__ was deleted, object.__new__ refuses the argument.
    result = run_python("""
        import halcyra_pqc.ferrovan as rsa
        del rsa.PrivateKey.__init__
        try:
            rsa.PrivateKey(b"k")
        except TypeError as error:
            print(error)
        print(type(rsa.PrivateKey()).__name__)
    """)
    assert result.stdout.splitlines() == ["PrivateKey() takes no arguments", "PrivateKey"], result.stderr


def test_subclasses_and_their_own_init_are_honoured():
    class Tagged(rsa.PublicKey):
        def __init__(self, key_bytes, tag):
            super().__init__(key_bytes)
            self.tag = tag

    key = Tagged(b"k", tag=1)
    assert (type(key), key.key_bytes, key.tag) == (Tagged, b"k", 1)
    with pytest.raises(TypeError) as info:
        type("Plain", (rsa.PublicKey,), {})()
    assert str(info.value) == "__init__() takes exactly 2 positional arguments (1 given)"
    assert records(info.value, SOURCE) == [("halcyra_pqc.ferrovan.PublicKey.__init__", 24)]


class Loader(types.ModuleType):
    """A module object of a subclass: its attributes may come from anywhere."""

    def __getattr__(self, name):
        if name == "loads":
            return lambda text: {"rsa": "QUJD"}
        raise AttributeError(name)


@pytest.mark.parametrize("json_global", [
    Loader("json"),
    # Not a module at all.
    types.SimpleNamespace(loads=lambda text: {"rsa": "QUJD"}),
])
def test_library_calls_on_other_module_objects(rebind, json_global):
    seen = []
    serialization = types.ModuleType("serialization")
    serialization.load_der_public_key = seen.append
    rebind(rsa, json=json_global, serialization=serialization)
    rsa._get_inner_public_key(b"{}")
    assert seen == [b"ABC"]


def test_module_getattr_and_missing_attributes_on_plain_modules(rebind):
    json_module = types.ModuleType("json")
    json_module.__getattr__ = lambda name: (lambda text: {"rsa": "QUJD"}) if name == "loads" else None
    serialization = types.ModuleType("serialization")
    seen = []
    serialization.load_der_public_key = seen.append
    rebind(rsa, json=json_module, serialization=serialization)
    rsa._get_inner_public_key(b"{}")
    assert seen == [b"ABC"]

    del serialization.load_der_public_key
    with pytest.raises(AttributeError) as info:
        rsa._get_inner_public_key(b"{}")
    assert str(info.value) == "module 'serialization' has no attribute 'load_der_public_key'"
    assert (info.value.name, info.value.obj) == ("load_der_public_key", serialization)


def test_hash_names_and_key_bytes_of_subclasses_use_their_own_methods(rebind):
    class Shouting(str):
        def upper(self):
            return "SHA512"

    class Named:
        def __str__(self):
            return Shouting("sha-256")

    class Signer:
        def sign(self, message, padding, algorithm):
            return algorithm

    serialization = types.ModuleType("serialization")
    serialization.load_der_private_key = lambda der, password: Signer()
    rebind(rsa, serialization=serialization)
    assert type(rsa.sign(b"m", b"raw key", Named())).__name__ == "SHA512"

    class Decoding(bytes):
        def decode(self, encoding):
            return '{"rsa": "QUJD"}'

    received = []
    serialization.load_der_private_key = lambda der, password: received.append(der)
    rsa._get_inner_private_key(Decoding(b"not json"))
    assert received == [b"ABC"]


@pytest.mark.parametrize("keyword", ["\udc80", "é" * 3, "k" * 600])
def test_keyword_messages_that_need_the_general_formatting(keyword):
    with pytest.raises(TypeError) as info:
        rsa.encrypt(b"m", b"k", **{keyword: 1})
    assert str(info.value) == f"encrypt() got an unexpected keyword argument '{keyword}'"


def test_wrong_type_message_cuts_long_type_names_at_200_characters():
    long_bytes = type("B" * 250, (bytes,), {})
    with pytest.raises(TypeError) as info:
        rsa.find_signature_hash(long_bytes(b""))
    assert str(info.value) == (
        f"Argument 'decrypted_signature' has incorrect type (expected bytes, got {'B' * 200})"
    )
    assert info.value.__notes__


def test_deleted_class_global_still_fails_by_name(rebind, fake_core):
    fake_core(rsa)
    rebind(rsa, PrivateKey=DELETE)
    with pytest.raises(NameError, match="name 'PrivateKey' is not defined"):
        rsa.newkeys(3072)
