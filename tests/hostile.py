"""Hostile callers, shared by the property tests of the modules and the comparison with their
twins: how every function binds, values of many kinds (made afresh for either side of a
comparison), keyword names of every sort, and calls composed of them."""

import builtins
import copy
import inspect
from dataclasses import dataclass
from types import FunctionType, SimpleNamespace

from cryptography.exceptions import UnsupportedAlgorithm
from hypothesis import strategies as st

import twins.ferrovan
import twins.mirelock
from halcyra_pqc import ferrovan, mirelock

try:
    import _testcapi
except ImportError:  # an interpreter built without its test modules
    _testcapi = None

NATIVE = SimpleNamespace(ferrovan=ferrovan, mirelock=mirelock)

MESSAGE = b"a message that hostile callers keep meeting"
KEY_ERRORS = (ValueError, TypeError, UnsupportedAlgorithm)


@dataclass(frozen=True)
class Signature:
    """How a function binds, as its twin declares it, and what its body may raise."""

    module: object
    path: str          # attribute path in the module, e.g. "PublicKey.load_pkcs1"
    params: tuple
    raises: tuple      # what a bound call may raise
    n_defaults: int = 0
    varargs: bool = False
    varkw: bool = False
    exact: tuple = ()  # (parameter, type) pairs
    owner: str = ""    # the class whose instances it binds to as a method

    @property
    def name(self):
        return self.path.rpartition(".")[2]

    @property
    def source(self):
        return f"halcyra_pqc/{self.module_name}"

    def function(self, modules=None):
        """The function in the native module, or in its counterpart among `modules`."""
        target = getattr(modules, self.module_name) if modules is not None else self.module
        for part in self.path.split("."):
            target = getattr(target, part)
        return target

    @property
    def module_name(self):
        return self.module.__name__.rpartition(".")[2]


F, M = ferrovan, mirelock
# What a bound call of each function may raise, beyond what hostile values raise themselves.
RAISES = {
    "PublicKey.__init__": (AttributeError, TypeError),
    "PublicKey.load_pkcs1": (),
    "PublicKey.save_pkcs1": (AttributeError,),
    "PrivateKey.__init__": (AttributeError, TypeError),
    "PrivateKey.load_pkcs1": (),
    "PrivateKey.save_pkcs1": (AttributeError,),
    "newkeys": (),
    "_get_inner_private_key": KEY_ERRORS,
    "_get_inner_public_key": KEY_ERRORS,
    "encrypt": (ValueError, TypeError),
    "decrypt": (F.DecryptionError,),
    "sign": KEY_ERRORS + (AttributeError,),
    "verify": KEY_ERRORS + (F.VerificationError,),
    "compute_hash": KEY_ERRORS + (AttributeError,),
    "sign_hash": KEY_ERRORS + (AttributeError,),
    # A block without a DigestInfo names no hash: the module reports it as a failed verification.
    "find_signature_hash": (F.VerificationError,),
    "PyCryptodomeKey.__init__": (AttributeError, TypeError),
    "PyCryptodomeKey.publickey": (AttributeError,),
    # A pass phrase sends the private material to the core, which refuses what it cannot protect;
    # one given twice is refused.
    "PyCryptodomeKey.export_key": (AttributeError, ValueError, TypeError),
    "PyCryptodomeCipher.__init__": (AttributeError, TypeError),
    "PyCryptodomeCipher.encrypt": (AttributeError, ValueError, TypeError),
    "PyCryptodomeCipher.decrypt": (AttributeError, ValueError, TypeError),
    "pycryptodome_generate": (),
    # Data in the form of key bytes is read by the core, which refuses what it cannot read.
    "pycryptodome_import_key": (ValueError, TypeError),
    "PKCS1_OAEP_Mock.new": (),
}


def declared_functions(twin):
    """(path, function, owner) of every function and method the twin defines, in its order;
    owner is the class whose instances a method binds to, "" for a static method."""
    for name, value in vars(twin).items():
        if isinstance(value, FunctionType) and value.__module__ == twin.__name__:
            yield name, value, ""
        elif isinstance(value, type) and value.__module__ == twin.__name__ and value.__qualname__ == name:
            for attribute, member in vars(value).items():
                if isinstance(member, staticmethod):
                    yield f"{name}.{attribute}", member.__func__, ""
                elif isinstance(member, FunctionType):
                    yield f"{name}.{attribute}", member, name


def signature(module, path, function, owner):
    """The binding of a twin function: a parameter annotated with the name of a built-in type
    must be exactly of that type (scripts/declare.py holds the twins to that)."""
    parameters = list(inspect.signature(function).parameters.values())
    named = [p for p in parameters if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    return Signature(module, path, tuple(p.name for p in named), RAISES[path],
                     n_defaults=sum(p.default is not p.empty for p in named),
                     varargs=any(p.kind is inspect.Parameter.VAR_POSITIONAL for p in parameters),
                     varkw=any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters),
                     exact=tuple((p.name, getattr(builtins, p.annotation)) for p in named
                                 if isinstance(getattr(builtins, str(p.annotation), None), type)),
                     owner=owner)


SIGNATURES = [signature(module, *declared) for module, twin in ((F, twins.ferrovan), (M, twins.mirelock))
              for declared in declared_functions(twin)]
PARAMETER_NAMES = sorted({name for s in SIGNATURES for name in s.params} | {"args", "kwargs", "data"})


def binding_error(sig, args, kwnames, values):
    """The TypeError message the binding rules give for this call, or None when it binds, and
    whether the error carries a note (an instance of a subclass of the exact type)."""
    params, name = sig.params, sig.name
    fixed = sig.n_defaults == 0 and not sig.varargs
    required = len(params) - sig.n_defaults

    def count(too_few, given):
        bound = "exactly" if fixed else "at least" if too_few else "at most"
        expected = required if too_few and not fixed else len(params)
        return (f"{name}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} "
                f"({given} given)")

    if len(args) > len(params) and not sig.varargs:
        return count(False, len(args)), False
    bound = dict(zip(params, args))
    for keyword, value in zip(kwnames, values):
        if not isinstance(keyword, str):
            return f"{name}() keywords must be strings", False
        match = next((p for p in params if p == keyword), None)
        if match is None:
            if sig.varkw:
                continue
            return f"{name}() got an unexpected keyword argument '{keyword}'", False
        if match in bound:
            return f"{name}() got multiple values for keyword argument '{keyword}'", False
        bound[match] = value
    for index, param in enumerate(params[:required]):
        if param not in bound:
            return count(True, index), False
    for param, expected in sig.exact:
        if type(bound[param]) is not expected:
            return (f"Argument '{param}' has incorrect type "
                    f"(expected {expected.__name__}, got {type(bound[param]).__name__})",
                    isinstance(bound[param], expected))
    return None, False


# --- Values ----------------------------------------------------------------------------------

class Bytes(bytes):
    pass


class Text(str):
    pass


class HostileError(Exception):
    pass


class Hostile:
    """A value whose every use fails: truth, length, text, hashing, comparison, indexing,
    buffers and the decode and upper methods the bodies call. Whatever it raises propagates
    (or is translated where a body translates); it is allowed for every function."""

    def _fail(self, *args, **kwargs):
        raise HostileError("a hostile value was used")

    __bool__ = __len__ = __str__ = __hash__ = __eq__ = __index__ = __iter__ = __getitem__ = _fail
    __buffer__ = decode = upper = replace = _fail

    def __repr__(self):
        return "<Hostile>"


def fresh_values(material):
    """Makers of the values a call may receive, each taking the modules whose classes it uses
    (NATIVE, or the twins). Each example makes its objects afresh: calls such as __init__
    rebind attributes of whatever they are given as self."""
    (hpub, hpriv), (mpub, mpriv) = material["hybrid"], material["mlkem"]
    hybrid_ct, mlkem_ct = material["ciphertexts"]
    return [
        lambda m: hpub, lambda m: hpriv, lambda m: mpub, lambda m: mpriv,
        lambda m: m.ferrovan.PublicKey(hpub), lambda m: m.ferrovan.PrivateKey(hpriv),
        lambda m: m.ferrovan.PublicKey(mpub), lambda m: m.ferrovan.PrivateKey(mpriv),
        lambda m: m.ferrovan.PrivateKey(hpub), lambda m: m.ferrovan.PublicKey(None),
        lambda m: m.mirelock.PyCryptodomeKey(hpub, hpriv), lambda m: m.mirelock.PyCryptodomeKey(mpub),
        lambda m: m.mirelock.RSA.import_key(mpriv), lambda m: m.mirelock.PyCryptodomeKey(b"", b""),
        lambda m: m.mirelock.PKCS1_OAEP.new(m.mirelock.PyCryptodomeKey(hpub, hpriv)),
        lambda m: m.mirelock.PKCS1_OAEP.new(m.mirelock.PyCryptodomeKey(mpub)),
        lambda m: m.mirelock.PKCS1_OAEP.new(m.ferrovan.PublicKey(hpub)),
        lambda m: hybrid_ct, lambda m: mlkem_ct, lambda m: hybrid_ct[:-1],
        lambda m: MESSAGE, lambda m: material["signature"], lambda m: bytearray(MESSAGE),
        lambda m: memoryview(MESSAGE), lambda m: Bytes(MESSAGE), lambda m: Text("SHA-256"), lambda m: b"\x00" * 32,
        lambda m: object(), lambda m: int, lambda m: len, lambda m: (lambda: None), lambda m: ValueError("x"),
        lambda m: type("Fresh", (), {})(), lambda m: [hpub], lambda m: {"rsa": hpub}, lambda m: (mpub, mpriv),
        lambda m: Hostile(), lambda m: m.ferrovan.PublicKey(Hostile()),
        lambda m: m.mirelock.PyCryptodomeKey(Hostile(), Hostile()), lambda m: m.mirelock.PKCS1_OAEP.new(Hostile()),
    ]


def values(material):
    scalars = st.one_of(
        st.none(), st.booleans(), st.integers(), st.floats(), st.complex_numbers(max_magnitude=1e6),
        st.text(max_size=40), st.binary(max_size=80),
        st.sampled_from(["SHA-256", "sha-1", "MD5", "SHA512", "sha3-256", "SHAKE128", "SM3", "Hash",
                         "", "-", "not a hash", "PEM", "DER", '{"rsa": "AAAA"}', "{"]),
        st.binary(max_size=80).map(bytearray), st.binary(max_size=80).map(Bytes),
        st.text(max_size=20).map(Text), st.lists(st.integers(), max_size=4).map(tuple),
    )
    # Each side of a comparison gets its own copy of a drawn value.
    made = st.sampled_from(fresh_values(material))
    return st.one_of(made, made, scalars.map(lambda value: lambda m: copy.deepcopy(value)))


def keyword_names():
    names = st.one_of(st.sampled_from(PARAMETER_NAMES), st.sampled_from(PARAMETER_NAMES).map(Text),
                      st.text(min_size=1, max_size=12), st.just("\ud800 lone surrogate"))
    if _testcapi is not None:
        # Only a direct vectorcall can pass names that are not strings.
        names = st.one_of(names, names, names, st.integers(-3, 3), st.binary(min_size=1, max_size=3))
    return names


@dataclass(frozen=True)
class Call:
    """A hostile call of sig's function, as makers of its values, so that the same call can
    be made on the native module and on its twin."""

    sig: Signature
    through: object     # maker of the instance the method is called through, or None
    args: tuple         # makers of the positional arguments
    kwnames: tuple
    kwvalues: tuple     # makers of the keyword values

    def build(self, modules=NATIVE):
        """(callable, positional args as the caller passes them and as the function receives
        them, keyword names, their values), with fresh objects of `modules`."""
        function = self.sig.function(modules)
        instance = None
        if self.through is not None:
            # Through an instance: the method binds and the instance arrives as the first argument.
            instance = self.through(modules)
            function = getattr(instance, self.sig.name)
        args = [make(modules) for make in self.args]
        received = ([instance] if instance is not None else []) + args
        return function, args, received, list(self.kwnames), [make(modules) for make in self.kwvalues]


@st.composite
def hostile_calls(draw, sig, material, instances):
    """A Call; instances are makers of instances of the class whose method sig is."""
    through = draw(st.sampled_from(instances)) if instances and draw(st.booleans()) else None
    if draw(st.booleans()):
        # A call that fits the signature, some parameters by position and the rest by keyword,
        # so that the bodies get random values as often as the binding does.
        open_params = sig.params[1 if through is not None else 0:]
        by_position = draw(st.integers(0, len(open_params)))
        args = [draw(values(material)) for _ in open_params[:by_position]]
        kwnames = list(open_params[by_position:])
        if sig.n_defaults and kwnames and draw(st.booleans()):
            kwnames.pop()
        if sig.varargs and by_position == len(open_params):
            args += draw(st.lists(values(material), max_size=2))
        if sig.varkw:
            kwnames += draw(st.lists(st.text(max_size=6).filter(lambda k: k not in sig.params), max_size=2))
    else:
        args = draw(st.lists(values(material), max_size=len(sig.params) + 2))
        kwnames = draw(st.lists(keyword_names(), max_size=4))
    kwvalues = [draw(values(material)) for _ in kwnames]
    return Call(sig, through, tuple(args), tuple(kwnames), tuple(kwvalues))


def plain_keywords(kwnames):
    """Whether a Python call can pass these names: unique strings."""
    return all(isinstance(k, str) for k in kwnames) and len(set(kwnames)) == len(kwnames)


def invoke(function, args, kwnames, kwvalues):
    if plain_keywords(kwnames):
        return function(*args, **dict(zip(kwnames, kwvalues)))
    return _testcapi.pyobject_vectorcall(function, tuple(args) + tuple(kwvalues), tuple(kwnames))
