"""The shared runtime, seen through ferrovan: loading and its guards (in fresh interpreters),
the exported symbols, argument binding and its messages, traceback records, and the function
objects as introspection, pickling and copying see them."""

import builtins
import copy
import importlib.machinery
import inspect
import json
import os
import pickle
import shutil
import site
import subprocess
import sys
import sysconfig
import traceback
from pathlib import Path

import pytest

import halcyra_pqc.ferrovan as rsa
from conftest import DELETE, PACKAGE_DIR, make_package, minimal_env, records, run_python

ROOT = Path(__file__).resolve().parents[1]
SOURCE = "halcyra_pqc/ferrovan"
CORE_NAMES = ("generate_pqc_kem_keypair", "pqc_encrypt_payload", "pqc_decrypt_payload", "pack_ciphertext")
# A core that only has to exist: loading imports its names and never calls them.
FAKE_CORE = "\n".join(f"def {name}(*args):\n    pass\n" for name in CORE_NAMES)
EXTENSIONS = importlib.machinery.EXTENSION_SUFFIXES


def run_json(code, **kwargs):
    """Runs code in a fresh interpreter; returns its last output line, read as JSON."""
    done = run_python(code, **kwargs)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# import_error(): [type, text, ferrovan records] of what importing ferrovan raises, or None.
IMPORT_ERROR = """
def import_error():
    import traceback
    try:
        import halcyra_pqc.ferrovan
    except BaseException as error:
        return [type(error).__name__, str(error), [[f.name, f.lineno] for f in
                traceback.extract_tb(error.__traceback__) if f.filename == "halcyra_pqc/ferrovan"]]
"""


# --- Loading ---------------------------------------------------------------------------------

def test_reimport_and_reload_return_the_loaded_module_without_running_the_body():
    assert run_json("""
        import importlib, json, sys
        import halcyra_pqc.ferrovan as first
        first.json = "rebound by the caller"
        del first.decrypt
        del sys.modules["halcyra_pqc.ferrovan"]
        import halcyra_pqc.ferrovan as second
        print(json.dumps([second is first, importlib.reload(first) is first, first.json, hasattr(first, "decrypt")]))
    """) == [True, True, "rebound by the caller", False]


def test_sub_interpreter_cannot_load_the_module():
    pytest.importorskip("_interpreters")
    # A stand-in parent package: the real core needs extension modules that refuse
    # sub-interpreters themselves, and the refusal tested here comes before the body.
    inner = (f"import sys, types\npackage = types.ModuleType('halcyra_pqc')\npackage.__path__ = [{str(PACKAGE_DIR)!r}]\n"
             "sys.modules['halcyra_pqc'] = package\nimport halcyra_pqc.ferrovan\n")
    assert run_json(f"""
        import json, _interpreters
        import halcyra_pqc.ferrovan as rsa
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.exec(interp, {inner!r})
        finally:
            _interpreters.destroy(interp)
        pub, priv = rsa.newkeys(2048)
        print(json.dumps([failure.type.__name__, failure.msg, rsa.decrypt(rsa.encrypt(b"m", pub), priv) == b"m"]))
    """) == ["ImportError",
             "Interpreter change detected - this module can only be loaded into one interpreter per process.", True]


# Each argument is the script of one life of the interpreter: initialise, run, finalize.
EMBEDDING_PROGRAM = r"""
#include <Python.h>

int main(int argc, char** argv) {
    for (int life = 1; life < argc; ++life) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[life]);
        if (Py_FinalizeEx() < 0 || failed) return life;
    }
    return 0;
}
"""

# A life of the embedding program: a stand-in core, so that only the module under test meets
# the re-initialised interpreter, then the import and one use of the module.
EMBEDDED_LIFE = """
import sys, types
core = types.ModuleType("halcyra_pqc")
core.__path__ = [{package!r}]
core.generate_pqc_kem_keypair = lambda: ("pub", "priv")
core.pqc_encrypt_payload = lambda message, key: ("ct", "nonce", "sealed")
core.pqc_decrypt_payload = lambda packed, key: packed
core.pack_ciphertext = lambda *items: items
sys.modules["halcyra_pqc"] = core
try:
    import halcyra_pqc.{module} as module
except ImportError as error:
    print("ImportError:", error)
else:
    print("loaded", {use})
"""


@pytest.fixture(scope="module")
def embedding_program(tmp_path_factory):
    """An executable that embeds this interpreter and runs each argument in a fresh life of it."""
    compiler = shutil.which((sysconfig.get_config_var("CC") or "cc").split()[0]) or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build an embedding program")
    config = Path(sys.base_prefix, "bin", f"python{sysconfig.get_config_var('LDVERSION')}-config")
    if not config.exists():
        pytest.skip(f"no {config.name} to build an embedding program with")
    flags = subprocess.run([str(config), "--cflags", "--ldflags", "--embed"], capture_output=True, text=True,
                           check=True).stdout.split()
    # Extension modules take the interpreter's symbols from the program, which must export
    # them; a shared libpython must be found where it was linked from.
    rpaths = [f"-Wl,-rpath,{flag[2:]}" for flag in flags if flag.startswith("-L")]
    folder = tmp_path_factory.mktemp("embedding")
    (folder / "embed.c").write_text(EMBEDDING_PROGRAM)
    program = folder / "embed"
    subprocess.run([compiler, str(folder / "embed.c"), "-o", str(program), *flags, "-Wl,--export-dynamic", *rpaths],
                   check=True, capture_output=True)
    return program


@pytest.mark.parametrize("module, use, result", [
    ("mirelock", "module.PKCS1_OAEP.new(module.RSA.generate(1)).encrypt(b'm')", "('ct', None, 'nonce', 'sealed')"),
    ("ferrovan", "module.newkeys(1)[0].key_bytes", "pub"),
], ids=["mirelock", "ferrovan"])
def test_a_reinitialised_interpreter_is_refused_cleanly(embedding_program, module, use, result):
    # The module's state belongs to the first interpreter, whose objects finalization freed;
    # later lives get the same interpreter ID and must be refused, not handed that state.
    life = EMBEDDED_LIFE.format(package=str(PACKAGE_DIR), module=module, use=use)
    done = subprocess.run([str(embedding_program), life, life, life], capture_output=True, text=True, timeout=300,
                          env=minimal_env(PYTHONHOME=sys.base_prefix,
                                          PYTHONPATH=os.pathsep.join(site.getsitepackages())))
    assert done.returncode == 0, done.stderr
    refusal = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert done.stdout.splitlines() == [f"loaded {result}", refusal, refusal]


@pytest.mark.parametrize("missing, reported", [
    (["pack_ciphertext"], "pack_ciphertext"),
    (["pqc_decrypt_payload", "pack_ciphertext"], "pqc_decrypt_payload"),  # the first in order
    (list(CORE_NAMES), "generate_pqc_kem_keypair"),
])
def test_missing_core_name_fails_the_import_and_a_retry_runs_the_body_again(tmp_path, missing, reported):
    core = "\n".join(f"def {name}(*args):\n    pass\n" for name in CORE_NAMES if name not in missing)
    result = run_json(IMPORT_ERROR + f"""
import json, sys
import halcyra_pqc
attempts = [import_error(), import_error(), "halcyra_pqc.ferrovan" in sys.modules]
supplied = {{name: type(name, (), {{}}) for name in {missing!r}}}
for name, value in supplied.items():
    setattr(halcyra_pqc, name, value)
import halcyra_pqc.ferrovan as rsa
print(json.dumps(attempts + [all(getattr(rsa, n) is v for n, v in supplied.items())]))
""", path=[make_package(tmp_path, core)])
    failure = ["ImportError", f"cannot import name {reported}", [["init halcyra_pqc.ferrovan", 8]]]
    assert result == [failure, failure, False, True]


@pytest.mark.parametrize("setup, error, message, line", [
    # None in sys.modules blocks an import, a plain one as well as a from-import.
    ('sys.modules["json"] = None', "ModuleNotFoundError", "import of json halted; None in sys.modules", 1),
    ('sys.modules["base64"] = None', "ModuleNotFoundError", "import of base64 halted; None in sys.modules", 2),
    ('del primitives.serialization; sys.modules["cryptography.hazmat.primitives.serialization"] = None',
     "ModuleNotFoundError", "import of cryptography.hazmat.primitives.serialization halted; None in sys.modules", 3),
    ('del asymmetric.padding; sys.modules["cryptography.hazmat.primitives.asymmetric.padding"] = None',
     "ModuleNotFoundError", "import of cryptography.hazmat.primitives.asymmetric.padding halted; None in sys.modules",
     4),
    ('del primitives.hashes; sys.modules["cryptography.hazmat.primitives.hashes"] = None',
     "ModuleNotFoundError", "import of cryptography.hazmat.primitives.hashes halted; None in sys.modules", 5),
    ("del utils.Prehashed", "ImportError", "cannot import name Prehashed", 6),
], ids=["json", "base64", "serialization", "padding", "hashes", "Prehashed"])
def test_body_import_failures_are_recorded_at_their_line(tmp_path, setup, error, message, line):
    assert run_json(IMPORT_ERROR + f"""
import json, sys
import cryptography.hazmat.primitives as primitives, cryptography.hazmat.primitives.serialization
import cryptography.hazmat.primitives.asymmetric as asymmetric, cryptography.hazmat.primitives.asymmetric.padding
import cryptography.hazmat.primitives.asymmetric.utils as utils, cryptography.hazmat.primitives.hashes
{setup}
print(json.dumps(import_error()))
""", path=[make_package(tmp_path, FAKE_CORE)]) == [error, message, [["init halcyra_pqc.ferrovan", line]]]


def test_functions_of_a_failed_body_stay_callable(tmp_path):
    # The record of a failed body holds the module's globals, and with them the functions the
    # body had made; calling one must not find the globals gone.
    core = FAKE_CORE.replace("def generate_pqc_kem_keypair(*args):\n    pass",
                             "def generate_pqc_kem_keypair(*args):\n    return 'pub', 'priv'")
    assert run_json("""
import json, sys, types
class Refusing(types.ModuleType):
    def __setattr__(self, name, value):
        raise RuntimeError("no attributes")
sys.modules["types"] = types.ModuleType("types")
sys.modules["types"].ModuleType = Refusing
try:
    import halcyra_pqc.mirelock
except RuntimeError as error:
    tb = error.__traceback__
    while tb.tb_frame.f_code.co_filename != "halcyra_pqc/mirelock":
        tb = tb.tb_next
    generate = tb.tb_frame.f_globals["pycryptodome_generate"]
key = generate(1)
print(json.dumps([key.pub_bytes, key.priv_bytes, tb.tb_lineno]))
""", path=[make_package(tmp_path, core)]) == ["pub", "priv", 47]


@pytest.mark.parametrize("complete", [True, False])
def test_core_names_already_offered_are_taken_without_the_import_machinery(complete):
    # The import machinery handles a from-list through importlib's _handle_fromlist: a spy on
    # it tells whether the body went through the machinery for the package.
    assert run_json(f"""
        import json, sys, types
        import _frozen_importlib as bootstrap
        package = types.ModuleType("halcyra_pqc")
        package.__path__ = [{str(PACKAGE_DIR)!r}]
        core = {{name: type(name, (), {{}}) for name in {CORE_NAMES!r}}}
        for name, value in core.items():
            setattr(package, name, value)
        if not {complete}:  # not an attribute, but an entry of sys.modules under the full name
            delattr(package, "pack_ciphertext")
            sys.modules["halcyra_pqc.pack_ciphertext"] = core["pack_ciphertext"]
        sys.modules["halcyra_pqc"] = package
        asked, original = [], bootstrap._handle_fromlist
        def spy(module, *args, **kwargs):
            asked.append(module.__name__)
            return original(module, *args, **kwargs)
        bootstrap._handle_fromlist = spy
        import halcyra_pqc.ferrovan as rsa
        print(json.dumps(["halcyra_pqc" in asked, all(getattr(rsa, n) is v for n, v in core.items())]))
    """) == [not complete, True]


@pytest.mark.parametrize("placeholder", [False, True])
def test_exec_from_a_spec_under_another_name_registers_the_full_name(placeholder):
    assert run_json(f"""
        import importlib.util, json, pathlib, sys, types
        import halcyra_pqc
        folder = pathlib.Path(halcyra_pqc.__file__).parent
        path = next(p for suffix in {EXTENSIONS!r} for p in folder.glob("ferrovan" + suffix))
        if {placeholder}:
            sys.modules["halcyra_pqc.ferrovan"] = types.ModuleType("placeholder")
        spec = importlib.util.spec_from_file_location("alias.ferrovan", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(json.dumps([module.__name__, sys.modules["halcyra_pqc.ferrovan"].__name__, module.decrypt.__module__]))
    """) == ["alias.ferrovan", "placeholder" if placeholder else "alias.ferrovan", "halcyra_pqc.ferrovan"]


def test_matching_interpreter_version_gives_no_warning():
    done = run_python("import halcyra_pqc.ferrovan", env_extra={"PYTHONWARNINGS": "error"})
    assert done.returncode == 0, done.stderr


@pytest.fixture
def package_built_for_3_13(tmp_path):
    """A package holding ferrovan built to declare that it was compiled for Python 3.13."""
    tools = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    cmake, ninja = shutil.which("cmake", path=tools), shutil.which("ninja", path=tools)
    if cmake is None or ninja is None:
        pytest.skip("building the module for another Python version needs cmake and ninja")
    build = tmp_path / "build"
    for command in (
        [cmake, "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         f"-DCMAKE_MAKE_PROGRAM={ninja}", f"-DPython_EXECUTABLE={sys.executable}", "-DHALCYRA_COMPILED_FOR_MINOR=13"],
        [cmake, "--build", str(build), "--target", "ferrovan"],
    ):
        done = subprocess.run(command, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr
    root = make_package(tmp_path / "root", FAKE_CORE)
    for library in (p for suffix in EXTENSIONS for p in build.glob("ferrovan" + suffix)):
        shutil.copy2(library, root / "halcyra_pqc" / library.name)
    return root


def test_version_mismatch_warns_and_fails_when_warnings_are_errors(package_built_for_3_13):
    warning = ("compile time Python version 3.13 of module 'halcyra_pqc.ferrovan' does not match "
               "runtime version {}.{}".format(*sys.version_info[:2]))
    code = IMPORT_ERROR + """
import json, warnings
with warnings.catch_warnings(record=True) as caught:
    failed = import_error()
warnings.simplefilter("ignore")
import halcyra_pqc.ferrovan as rsa   # a failed attempt leaves nothing behind
print(json.dumps([failed, [[w.category.__name__, str(w.message)] for w in caught], callable(rsa.encrypt)]))
"""
    assert run_json(code, path=[package_built_for_3_13]) == [None, [["RuntimeWarning", warning]], True]
    # As an error, the warning stops the import before the body: no record.
    assert run_json(code, path=[package_built_for_3_13], env_extra={"PYTHONWARNINGS": "error"}) == [
        ["RuntimeWarning", warning, []], [], True]


@pytest.mark.parametrize("library", sorted(p for suffix in EXTENSIONS for p in PACKAGE_DIR.glob("*" + suffix)),
                         ids=lambda p: p.name.split(".")[0])
def test_only_the_entry_point_is_exported(library):
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    done = subprocess.run(["nm", "-D", "--defined-only", str(library.resolve())], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert [line.split()[-1] for line in done.stdout.splitlines() if line.strip()] == [
        "PyInit_" + library.name.split(".")[0]]


# --- Argument binding ------------------------------------------------------------------------

KEY = rsa.PublicKey(b"key")


@pytest.mark.parametrize("call, message, site", [
    (lambda: rsa.encrypt(b"m"), "encrypt() takes exactly 2 positional arguments (1 given)", "encrypt 63"),
    (lambda: rsa.decrypt(1, 2, 3), "decrypt() takes exactly 2 positional arguments (3 given)", "decrypt 72"),
    # With keywords, the count given is the position of the first parameter left empty.
    (lambda: rsa.decrypt(crypto=b"c"), "decrypt() takes exactly 2 positional arguments (1 given)", "decrypt 72"),
    (lambda: rsa.encrypt(b"m", message=b"m"), "encrypt() got multiple values for keyword argument 'message'",
     "encrypt 63"),
    (lambda: rsa.decrypt(b"c", KEY, key=1), "decrypt() got an unexpected keyword argument 'key'", "decrypt 72"),
    (lambda: rsa.newkeys(), "newkeys() takes at least 1 positional argument (0 given)", "newkeys 41"),
    (lambda: rsa.newkeys(size=1), "newkeys() takes at least 1 positional argument (0 given)", "newkeys 41"),
    (lambda: rsa.newkeys(1, 2, keysize=3), "newkeys() got multiple values for keyword argument 'keysize'",
     "newkeys 41"),
    (lambda: rsa._get_inner_public_key(1, 2), "_get_inner_public_key() takes exactly 1 positional argument (2 given)",
     "_get_inner_public_key 54"),
    # Methods count the instance; messages name the bare method.
    (lambda: rsa.PublicKey(), "__init__() takes exactly 2 positional arguments (1 given)", "PublicKey.__init__ 24"),
    (lambda: rsa.PrivateKey(key_bytes=1, self=2), "__init__() got multiple values for keyword argument 'self'",
     "PrivateKey.__init__ 33"),
    (lambda: rsa.PublicKey.load_pkcs1(), "load_pkcs1() takes at least 1 positional argument (0 given)",
     "PublicKey.load_pkcs1 26"),
    (lambda: rsa.PrivateKey.load_pkcs1(format="DER"), "load_pkcs1() takes at least 1 positional argument (0 given)",
     "PrivateKey.load_pkcs1 35"),
    (lambda: rsa.PrivateKey.load_pkcs1(1, 2, 3), "load_pkcs1() takes at most 2 positional arguments (3 given)",
     "PrivateKey.load_pkcs1 35"),
    (lambda: KEY.save_pkcs1(1, 2), "save_pkcs1() takes at most 2 positional arguments (3 given)",
     "PublicKey.save_pkcs1 29"),
    (lambda: KEY.save_pkcs1(fmt="DER"), "save_pkcs1() got an unexpected keyword argument 'fmt'",
     "PublicKey.save_pkcs1 29"),
])
def test_binding_errors(call, message, site):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    qualname, line = site.split()
    assert records(info.value, SOURCE) == [("halcyra_pqc.ferrovan." + qualname, int(line))]


def test_keywords_made_at_run_time_and_str_subclasses_match_parameters(fake_core):
    core = fake_core(rsa)
    message, key = object(), object()
    rsa.encrypt(**{"".join(["mess", "age"]): message, type("Keyword", (str,), {})("pub_key"): key})
    assert core.called("pqc_encrypt_payload") == [(message, key)]


@pytest.mark.parametrize("kwnames, message", [
    ((1,), "encrypt() keywords must be strings"),
    ((b"pub_key",), "encrypt() keywords must be strings"),
    (("pub_key", "pub_key"), "encrypt() got multiple values for keyword argument 'pub_key'"),
])
def test_keyword_names_that_only_a_direct_vectorcall_can_pass(kwnames, message):
    # CPython rejects these names itself in f(**kwargs); a direct vectorcall reaches the module.
    testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(TypeError) as info:
        testcapi.pyobject_vectorcall(rsa.encrypt, (b"m", b"k"), kwnames)
    assert str(info.value) == message
    assert records(info.value, SOURCE) == [("halcyra_pqc.ferrovan.encrypt", 63)]


def test_unbounded_recursion_through_rebound_globals_raises_recursion_error():
    # Each cycle runs in C alone; a stack overflow would kill the interpreter.
    done = run_python("""
        import halcyra_pqc.ferrovan as rsa
        for cycle in ("pqc_encrypt_payload", "PublicKey"):
            if cycle == "pqc_encrypt_payload":
                rsa.pqc_encrypt_payload, call = rsa.encrypt, lambda: rsa.encrypt(b"m", b"k")
            else:
                rsa.PublicKey = rsa.PublicKey.load_pkcs1
                call = lambda: rsa.PublicKey(b"k")
            try:
                call()
            except RecursionError:
                print(cycle)
    """)
    assert (done.returncode, done.stdout.split()) == (0, ["pqc_encrypt_payload", "PublicKey"]), done.stderr


# --- Traceback records -----------------------------------------------------------------------

def test_record_sits_between_caller_and_callee_and_leaves_the_exception_alone(rebind):
    raised = LookupError("from the core")

    def core(message, key):
        raise raised

    rebind(rsa, pqc_encrypt_payload=core)
    for _ in range(2):  # each failure gets its own single record
        raised.__traceback__ = None
        with pytest.raises(LookupError) as info:
            rsa.encrypt(b"m", b"k")
        assert info.value is raised and raised.__context__ is None
        assert [(e.filename, e.name, e.lineno) for e in traceback.extract_tb(raised.__traceback__)[1:]] == [
            (SOURCE, "halcyra_pqc.ferrovan.encrypt", 66), (__file__, "core", core.__code__.co_firstlineno + 1)]
    frame = info.tb.tb_next.tb_frame
    assert frame.f_globals is vars(rsa) and frame.f_code.co_filename == SOURCE


# --- Function objects ------------------------------------------------------------------------

FUNCTIONS = {  # qualname: (function, line, parameters, *args/**kwargs, locals, defaults, signature)
    "newkeys": (rsa.newkeys, 41, ("keysize",), ("args", "kwargs"), ("pub", "priv"), None,
                "(keysize, *args, **kwargs)"),
    "_get_inner_private_key": (rsa._get_inner_private_key, 45, ("priv_key",), (),
                               ("priv_bytes", "priv_dict", "rsa_priv_bytes"), None, "(priv_key)"),
    "_get_inner_public_key": (rsa._get_inner_public_key, 54, ("pub_key",), (),
                              ("pub_bytes", "pub_dict", "rsa_pub_bytes"), None, "(pub_key)"),
    "encrypt": (rsa.encrypt, 63, ("message", "pub_key"), (), ("pub_bytes", "res"), None, "(message, pub_key)"),
    "decrypt": (rsa.decrypt, 72, ("crypto", "priv_key"), (), ("priv_bytes", "exc"), None, "(crypto, priv_key)"),
}
for cls, line in ((rsa.PublicKey, 23), (rsa.PrivateKey, 32)):
    FUNCTIONS.update({
        f"{cls.__name__}.__init__": (cls.__init__, line + 1, ("self", "key_bytes"), (), (), None, "(self, key_bytes)"),
        f"{cls.__name__}.load_pkcs1": (cls.load_pkcs1, line + 3, ("keyfile", "format"), (), (), ("PEM",),
                                       "(keyfile, format='PEM')"),
        f"{cls.__name__}.save_pkcs1": (cls.save_pkcs1, line + 6, ("self", "format"), (), (), ("PEM",),
                                       "(self, format='PEM')"),
    })
DOCS = {
    "encrypt": "Encrypts message using either Dual-Hybrid or pure ML-KEM. Returns a single packed bytes object.",
    "decrypt": "Decrypts message from a single packed bytes object.",
}


@pytest.mark.parametrize("qualname", list(FUNCTIONS))
def test_function_introspection(qualname):
    fn, line, params, stars, local_names, defaults, signature = FUNCTIONS[qualname]
    name = qualname.rpartition(".")[2]
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        name, qualname, "halcyra_pqc.ferrovan", DOCS.get(qualname))
    assert (fn.__defaults__, fn.__kwdefaults__, fn.__annotations__) == (defaults, None, {})
    assert fn.__globals__ is vars(rsa)
    code = fn.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (SOURCE, name, line)
    assert (code.co_varnames, code.co_argcount) == (params + stars + local_names, len(params))
    flags = (inspect.CO_VARARGS, inspect.CO_VARKEYWORDS)
    assert [bool(code.co_flags & flag) for flag in flags] == [bool(stars)] * 2
    assert str(inspect.signature(fn)) == signature
    # Functions pickle and copy by reference, as Python functions do.
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


def test_methods_bind_like_python_functions():
    key = rsa.PublicKey(b"bytes")
    method = key.save_pkcs1
    assert method.__self__ is key and method.__func__ is vars(rsa.PublicKey)["save_pkcs1"]
    assert str(inspect.signature(method)) == "(format='PEM')" and str(inspect.signature(rsa.PublicKey)) == "(key_bytes)"
    assert rsa.PublicKey.save_pkcs1.__get__(None, rsa.PublicKey) is rsa.PublicKey.save_pkcs1
    static = vars(rsa.PublicKey)["load_pkcs1"]
    assert type(static) is staticmethod and static.__func__ is rsa.PublicKey.load_pkcs1 is key.load_pkcs1

    class Holder:  # any class can hold the functions as methods
        save = rsa.PrivateKey.save_pkcs1
        key_bytes = b"held"

    assert Holder().save() == b"held"
    # A bound method pickles with its key.
    assert pickle.loads(pickle.dumps(method))() == b"bytes"


def test_globals_fall_back_to_builtins(rebind, monkeypatch):
    calls = []
    rebind(rsa, pqc_decrypt_payload=DELETE)
    monkeypatch.setattr(builtins, "pqc_decrypt_payload", lambda *args: calls.append(args) or b"plain", raising=False)
    assert rsa.decrypt(b"c", b"k") == b"plain" and calls == [(b"c", b"k")]
