"""halcyra_pqc.mirelock's module body: what it binds, the RSA module object, the lookup of
globals at call time, and what importing it does when a statement fails."""

import builtins
import inspect
import json
import sys
import types

import pytest

import halcyra_pqc
from conftest import DELETE, make_package, records, run_python
from halcyra_pqc import mirelock
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

PATH = "halcyra_pqc/mirelock"

FAKE_CORE = {
    "generate_pqc_kem_keypair": "def generate_pqc_kem_keypair(): return ('pub', 'priv')",
    "pqc_encrypt_payload": "def pqc_encrypt_payload(message, key): return ('ct', 'nonce', 'sealed')",
    "pqc_decrypt_payload": "def pqc_decrypt_payload(packed, key): return packed",
    "pack_ciphertext": "def pack_ciphertext(*items): return items",
}


def fake_init(*missing, extra=""):
    return "\n".join(source for name, source in FAKE_CORE.items() if name not in missing) + "\n" + extra


def test_attribute_table_and_identities():
    public = {name for name in vars(mirelock) if not name.startswith("__")}
    assert public == {
        "sys", "ModuleType", "generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload",
        "pack_ciphertext", "PyCryptodomeKey", "PyCryptodomeCipher", "pycryptodome_generate",
        "pycryptodome_import_key", "PKCS1_OAEP_Mock", "RSA", "PKCS1_OAEP",
    }
    assert mirelock.sys is sys and mirelock.ModuleType is types.ModuleType
    for name in ("generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload", "pack_ciphertext"):
        assert getattr(mirelock, name) is getattr(halcyra_pqc, name)
    assert mirelock.__test__ == {} and mirelock.__doc__ is None and not hasattr(mirelock, "__all__")

    assert type(RSA) is types.ModuleType and RSA.__name__ == "halcyra_pqc.mirelock.RSA"
    assert RSA.__doc__ is None and RSA.__spec__ is None and RSA.__loader__ is None and not hasattr(RSA, "__path__")
    assert {name for name in vars(RSA) if not name.startswith("__")} == {"generate", "import_key"}
    assert RSA.generate is mirelock.pycryptodome_generate
    assert RSA.import_key is mirelock.pycryptodome_import_key
    assert sys.modules["halcyra_pqc.mirelock.RSA"] is RSA
    assert PKCS1_OAEP is mirelock.PKCS1_OAEP_Mock and isinstance(PKCS1_OAEP, type)


@pytest.mark.parametrize("name, members", [
    ("PyCryptodomeKey", ["__init__", "publickey", "export_key"]),
    ("PyCryptodomeCipher", ["__init__", "encrypt", "decrypt"]),
    ("PKCS1_OAEP_Mock", ["new"]),
])
def test_classes_are_plain_classes(name, members):
    cls = getattr(mirelock, name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "halcyra_pqc.mirelock" and cls.__qualname__ == name and cls.__doc__ is None
    assert [m for m in vars(cls) if m not in ("__module__", "__qualname__", "__dict__", "__weakref__", "__doc__",
                                              "__firstlineno__", "__static_attributes__")] == members
    instance = object.__new__(cls)
    instance.anything = 1
    assert vars(instance) == {"anything": 1}


def test_new_is_a_static_method():
    wrapped = vars(mirelock.PKCS1_OAEP_Mock)["new"]
    assert type(wrapped) is staticmethod and wrapped.__func__.__qualname__ == "PKCS1_OAEP_Mock.new"


# (qualified name, definition line, signature, __defaults__, locals after the parameters)
FUNCTIONS = [
    ("PyCryptodomeKey.__init__", 12, "(self, pub_bytes, priv_bytes=None)", (None,), ()),
    ("PyCryptodomeKey.publickey", 15, "(self)", None, ()),
    ("PyCryptodomeKey.export_key", 17, "(self, *args, **kwargs)", None, ()),
    ("PyCryptodomeCipher.__init__", 21, "(self, key)", None, ()),
    ("PyCryptodomeCipher.encrypt", 23, "(self, plaintext)", None, ("res",)),
    ("PyCryptodomeCipher.decrypt", 29, "(self, ciphertext)", None, ()),
    ("pycryptodome_generate", 34, "(bits, randfunc=None)", (None,), ("pub", "priv")),
    ("pycryptodome_import_key", 38, "(extern_key, passphrase=None)", (None,), ()),
    ("PKCS1_OAEP_Mock.new", 42, "(key, *args, **kwargs)", None, ()),
]


@pytest.mark.parametrize("qualname, line, signature, defaults, local_names", FUNCTIONS)
def test_function_objects(qualname, line, signature, defaults, local_names):
    function = mirelock
    for part in qualname.split("."):
        function = inspect.getattr_static(function, part)
    function = getattr(function, "__func__", function)
    name = qualname.rpartition(".")[2]
    assert (function.__name__, function.__qualname__, function.__module__) == (name, qualname, "halcyra_pqc.mirelock")
    assert function.__doc__ is None and function.__defaults__ == defaults
    assert str(inspect.signature(function)) == signature
    code = function.__code__
    assert (code.co_filename, code.co_firstlineno, code.co_name) == (PATH, line, name)
    assert code.co_varnames[len(code.co_varnames) - len(local_names):] == local_names


@pytest.fixture
def key():
    return mirelock.PyCryptodomeKey("pub", "priv")


# A module global missing from the module and the builtins: (name, call, record).
MISSING_GLOBALS = [
    ("generate_pqc_kem_keypair", lambda k: RSA.generate(2048), ("pycryptodome_generate", 35)),
    ("PyCryptodomeKey", lambda k: RSA.generate(2048), ("pycryptodome_generate", 36)),
    ("PyCryptodomeKey", lambda k: RSA.import_key(b"key"), ("pycryptodome_import_key", 39)),
    # The global is looked up before the key's attributes are read, so a key without them
    # still gives the NameError.
    ("PyCryptodomeKey", lambda k: type(k).publickey(object()), ("PyCryptodomeKey.publickey", 16)),
    ("pqc_encrypt_payload", lambda k: PKCS1_OAEP.new(object()).encrypt(b"m"), ("PyCryptodomeCipher.encrypt", 24)),
    ("pack_ciphertext", lambda k: PKCS1_OAEP.new(k).encrypt(b"m"), ("PyCryptodomeCipher.encrypt", 26)),
    ("pqc_decrypt_payload", lambda k: PKCS1_OAEP.new(k).decrypt(b"c"), ("PyCryptodomeCipher.decrypt", 32)),
    ("PyCryptodomeCipher", lambda k: PKCS1_OAEP.new(k), ("PKCS1_OAEP_Mock.new", 44)),
]


@pytest.mark.parametrize("name, action, record", MISSING_GLOBALS)
def test_missing_global_is_a_name_error(fake_core, rebind, key, name, action, record):
    fake_core(mirelock)
    rebind(mirelock, **{name: DELETE})
    with pytest.raises(NameError) as caught:
        action(key)
    assert str(caught.value) == f"name '{name}' is not defined"
    assert records(caught.value, PATH)[-1] == ("halcyra_pqc.mirelock." + record[0], record[1])


def test_globals_are_looked_up_at_each_call_then_in_builtins(fake_core, rebind, key, monkeypatch):
    core = fake_core(mirelock)
    cipher = PKCS1_OAEP.new(key)
    assert cipher.encrypt(b"m") is core.packed
    rebind(mirelock, pqc_encrypt_payload=lambda m, k: ("a", "b", "c", "d"))
    cipher.encrypt(b"m")
    assert core.called("pack_ciphertext")[-1] == ("a", "b", "c", "d")
    rebind(mirelock, pqc_encrypt_payload=DELETE)
    monkeypatch.setattr(builtins, "pqc_encrypt_payload", lambda m, k: ("x", "y", "z"), raising=False)
    cipher.encrypt(b"m")
    assert core.called("pack_ciphertext")[-1] == ("x", None, "y", "z")


@pytest.mark.parametrize("prelude", ["", "import halcyra_pqc.mirelock"])
def test_rsa_imports_as_a_submodule(prelude):
    result = run_python(f"""
        {prelude}
        import importlib
        import halcyra_pqc.mirelock.RSA
        from halcyra_pqc.mirelock.RSA import generate, import_key
        m = halcyra_pqc.mirelock
        print(halcyra_pqc.mirelock.RSA is m.RSA, importlib.import_module("halcyra_pqc.mirelock.RSA") is m.RSA,
              generate is m.pycryptodome_generate, import_key is m.pycryptodome_import_key)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True"] * 4


def test_core_names_and_fixed_rsa_key_under_another_module_name(tmp_path):
    # pack_ciphertext is served as a submodule already in sys.modules, not as an attribute.
    root = make_package(tmp_path, fake_init("pack_ciphertext", extra=(
        "import sys, types\n"
        "sys.modules[__name__ + '.pack_ciphertext'] = types.ModuleType('packer')\n")))
    result = run_python("""
        import glob, importlib.util, os, sys
        import halcyra_pqc
        path = glob.glob(os.path.join(os.path.dirname(halcyra_pqc.__file__), "mirelock.*"))[0]
        spec = importlib.util.spec_from_file_location("elsewhere.mirelock", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(module.pack_ciphertext.__name__, sys.modules["halcyra_pqc.mirelock.RSA"] is module.RSA,
              module.RSA.__name__, sys.modules["halcyra_pqc.mirelock"] is module)
    """, path=[root])
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["packer", "True", "halcyra_pqc.mirelock.RSA", "True"]


# (package source, code run before the import, code that repairs it, error, text in its message, line)
BODY_FAILURES = [
    (fake_init("pack_ciphertext"), "", "halcyra_pqc.pack_ciphertext = print",
     "ImportError", "cannot import name pack_ciphertext", 4),
    (fake_init("generate_pqc_kem_keypair"), "", "halcyra_pqc.generate_pqc_kem_keypair = print",
     "ImportError", "cannot import name generate_pqc_kem_keypair", 4),
    (fake_init("pqc_encrypt_payload", "pack_ciphertext"), "",
     "halcyra_pqc.pqc_encrypt_payload = halcyra_pqc.pack_ciphertext = print",
     "ImportError", "cannot import name pqc_encrypt_payload", 4),
    (fake_init(), "del types.ModuleType", "", "ImportError", "cannot import name ModuleType", 2),
    (fake_init(), "def refuse(name): raise RuntimeError(name)\ntypes.ModuleType = refuse", "",
     "RuntimeError", "halcyra_pqc.mirelock.RSA", 46),
    (fake_init(), "types.ModuleType = lambda name: ()", "", "AttributeError", "'generate'", 47),
]


@pytest.mark.parametrize("init, prelude, repair, error, message, line", BODY_FAILURES)
def test_body_failure_is_recorded_and_the_next_import_starts_again(tmp_path, init, prelude, repair, error,
                                                                   message, line):
    root = make_package(tmp_path, init)
    result = run_python(f"""
        import json, sys, traceback, types
        import halcyra_pqc
        saved = types.ModuleType
        {prelude.replace(chr(10), chr(10) + " " * 8)}
        try:
            import halcyra_pqc.mirelock
        except Exception as exc:
            failure = [type(exc).__name__, str(exc), "halcyra_pqc.mirelock" in sys.modules,
                       [[f.name, f.lineno] for f in traceback.extract_tb(exc.__traceback__)
                        if f.filename == "halcyra_pqc/mirelock"]]
        types.ModuleType = saved
        {repair}
        from halcyra_pqc import mirelock
        print(json.dumps([failure, sys.modules["halcyra_pqc.mirelock.RSA"] is mirelock.RSA,
                          type(mirelock.RSA) is saved]))
    """, path=[root])
    assert result.returncode == 0, result.stderr
    (got_error, got_message, still_loaded, got_records), registered, real_module = json.loads(result.stdout)
    assert got_error == error and message in got_message and not still_loaded
    assert got_records == [["init halcyra_pqc.mirelock", line]]
    assert registered and real_module
