"""Hostile callers. Every function and method of both modules is called with random argument
counts, keyword names (valid, unknown, repeated, not strings) and values of many types. A call
either fails to bind with exactly the message the binding rules predict, or it binds and then
returns a checked result or raises one of the exceptions its body may raise; nothing else, and
never a crash. The core's decryption gets the same treatment with random and mutated packed
ciphertexts and key bytes."""

import base64
import collections
import json
from dataclasses import dataclass

import pytest
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.hazmat.primitives.asymmetric import rsa as crypto_rsa
from hypothesis import assume, given, note
from hypothesis import strategies as st

import halcyra_pqc
from conftest import records
from halcyra_pqc import ferrovan, mirelock

try:
    import _testcapi
except ImportError:  # an interpreter built without its test modules
    _testcapi = None

MESSAGE = b"a message that hostile callers keep meeting"
KEY_ERRORS = (ValueError, TypeError, UnsupportedAlgorithm)


@dataclass(frozen=True)
class Signature:
    """How a function binds, as the binding rules describe it, and what its body may raise."""

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
        return f"halcyra_pqc/{self.module.__name__.rpartition('.')[2]}"

    def function(self):
        target = self.module
        for part in self.path.split("."):
            target = getattr(target, part)
        return target


F, M = ferrovan, mirelock
SIGNATURES = [
    Signature(F, "PublicKey.__init__", ("self", "key_bytes"), (AttributeError, TypeError), owner="PublicKey"),
    Signature(F, "PublicKey.load_pkcs1", ("keyfile", "format"), (), n_defaults=1),
    Signature(F, "PublicKey.save_pkcs1", ("self", "format"), (AttributeError,), n_defaults=1, owner="PublicKey"),
    Signature(F, "PrivateKey.__init__", ("self", "key_bytes"), (AttributeError, TypeError), owner="PrivateKey"),
    Signature(F, "PrivateKey.load_pkcs1", ("keyfile", "format"), (), n_defaults=1),
    Signature(F, "PrivateKey.save_pkcs1", ("self", "format"), (AttributeError,), n_defaults=1, owner="PrivateKey"),
    Signature(F, "newkeys", ("keysize",), (), varargs=True, varkw=True),
    Signature(F, "_get_inner_private_key", ("priv_key",), KEY_ERRORS),
    Signature(F, "_get_inner_public_key", ("pub_key",), KEY_ERRORS),
    Signature(F, "encrypt", ("message", "pub_key"), (ValueError, TypeError)),
    Signature(F, "decrypt", ("crypto", "priv_key"), (F.DecryptionError,)),
    Signature(F, "sign", ("message", "priv_key", "hash_method"), KEY_ERRORS + (AttributeError,)),
    Signature(F, "verify", ("message", "signature", "pub_key"), KEY_ERRORS + (F.VerificationError,)),
    Signature(F, "compute_hash", ("message", "method_name"), KEY_ERRORS + (AttributeError,),
              exact=(("message", bytes), ("method_name", str))),
    Signature(F, "sign_hash", ("hash_value", "priv_key", "hash_method"), KEY_ERRORS + (AttributeError,),
              exact=(("hash_value", bytes), ("hash_method", str))),
    # A block without a DigestInfo names no hash: the module reports it as a failed verification.
    Signature(F, "find_signature_hash", ("decrypted_signature",), (F.VerificationError,),
              exact=(("decrypted_signature", bytes),)),
    Signature(M, "PyCryptodomeKey.__init__", ("self", "pub_bytes", "priv_bytes"), (AttributeError, TypeError),
              n_defaults=1, owner="PyCryptodomeKey"),
    Signature(M, "PyCryptodomeKey.publickey", ("self",), (AttributeError,), owner="PyCryptodomeKey"),
    # A pass phrase sends the private material to the core, which refuses what it cannot protect.
    Signature(M, "PyCryptodomeKey.export_key", ("self",), (AttributeError, ValueError, TypeError), varargs=True,
              varkw=True, owner="PyCryptodomeKey"),
    Signature(M, "PyCryptodomeCipher.__init__", ("self", "key"), (AttributeError, TypeError),
              owner="PyCryptodomeCipher"),
    Signature(M, "PyCryptodomeCipher.encrypt", ("self", "plaintext"), (AttributeError, ValueError, TypeError),
              owner="PyCryptodomeCipher"),
    Signature(M, "PyCryptodomeCipher.decrypt", ("self", "ciphertext"), (AttributeError, ValueError, TypeError),
              owner="PyCryptodomeCipher"),
    Signature(M, "pycryptodome_generate", ("bits", "randfunc"), (), n_defaults=1),
    # Data in the form of key bytes is read by the core, which refuses what it cannot read.
    Signature(M, "pycryptodome_import_key", ("extern_key", "passphrase"), (ValueError, TypeError), n_defaults=1),
    Signature(M, "PKCS1_OAEP_Mock.new", ("key",), (), varargs=True, varkw=True),
]
PARAMETER_NAMES = sorted({name for s in SIGNATURES for name in s.params} | {"args", "kwargs", "data"})


def test_the_table_covers_every_public_function_and_method():
    def callables(module):
        found = set()
        for name, value in vars(module).items():
            if getattr(value, "__module__", None) != module.__name__ or value.__name__ != name:
                continue  # the core's functions, and aliases such as PKCS1_OAEP
            if isinstance(value, type):
                found |= {f"{name}.{member}" for member, attr in vars(value).items()
                          if type(attr).__name__ in ("function", "staticmethod")}
            elif type(value).__name__ == "function":
                found.add(name)
        return found
    assert callables(ferrovan) | callables(mirelock) == {s.path for s in SIGNATURES}


# --- What binding must do --------------------------------------------------------------------

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


@pytest.fixture(scope="module")
def material(hybrid_keys, mlkem_keys):
    """Real keys, ciphertexts and a signature, so that calls also reach their working paths."""
    hybrid_ct = ferrovan.encrypt(MESSAGE, hybrid_keys[0])
    mlkem_ct = ferrovan.encrypt(MESSAGE, mlkem_keys[0])
    return {
        "hybrid": hybrid_keys, "mlkem": mlkem_keys,
        "ciphertexts": {hybrid_ct: hybrid_keys[1], mlkem_ct: mlkem_keys[1]},
        "signature": ferrovan.sign(MESSAGE, hybrid_keys[1], "SHA-256"),
    }


def fresh_values(material):
    """Makers of the values a call may receive. Each example makes its objects afresh: calls
    such as __init__ rebind attributes of whatever they are given as self."""
    (hpub, hpriv), (mpub, mpriv) = material["hybrid"], material["mlkem"]
    hybrid_ct, mlkem_ct = material["ciphertexts"]
    return [
        lambda: hpub, lambda: hpriv, lambda: mpub, lambda: mpriv,
        lambda: ferrovan.PublicKey(hpub), lambda: ferrovan.PrivateKey(hpriv),
        lambda: ferrovan.PublicKey(mpub), lambda: ferrovan.PrivateKey(mpriv),
        lambda: ferrovan.PrivateKey(hpub), lambda: ferrovan.PublicKey(None),
        lambda: mirelock.PyCryptodomeKey(hpub, hpriv), lambda: mirelock.PyCryptodomeKey(mpub),
        lambda: mirelock.RSA.import_key(mpriv), lambda: mirelock.PyCryptodomeKey(b"", b""),
        lambda: mirelock.PKCS1_OAEP.new(mirelock.PyCryptodomeKey(hpub, hpriv)),
        lambda: mirelock.PKCS1_OAEP.new(mirelock.PyCryptodomeKey(mpub)),
        lambda: mirelock.PKCS1_OAEP.new(ferrovan.PublicKey(hpub)),
        lambda: hybrid_ct, lambda: mlkem_ct, lambda: hybrid_ct[:-1],
        lambda: MESSAGE, lambda: material["signature"], lambda: bytearray(MESSAGE), lambda: memoryview(MESSAGE),
        lambda: Bytes(MESSAGE), lambda: Text("SHA-256"), lambda: b"\x00" * 32,
        lambda: object(), lambda: int, lambda: len, lambda: (lambda: None), lambda: ValueError("x"),
        lambda: type("Fresh", (), {})(), lambda: [hpub], lambda: {"rsa": hpub}, lambda: (mpub, mpriv),
        Hostile, lambda: ferrovan.PublicKey(Hostile()), lambda: mirelock.PyCryptodomeKey(Hostile(), Hostile()),
        lambda: mirelock.PKCS1_OAEP.new(Hostile()),
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
    made = st.sampled_from(fresh_values(material)).map(lambda make: make())
    return st.one_of(made, made, scalars)


def keyword_names():
    names = st.one_of(st.sampled_from(PARAMETER_NAMES), st.sampled_from(PARAMETER_NAMES).map(Text),
                      st.text(min_size=1, max_size=12), st.just("\ud800 lone surrogate"))
    if _testcapi is not None:
        # Only a direct vectorcall can pass names that are not strings.
        names = st.one_of(names, names, names, st.integers(-3, 3), st.binary(min_size=1, max_size=3))
    return names


@st.composite
def hostile_calls(draw, sig, material, instances):
    """(callable, positional args as the caller passes them and as the function receives them,
    keyword names, their values)."""
    function = sig.function()
    instance = None
    if instances and draw(st.booleans()):
        # Through an instance: the method binds and the instance arrives as the first argument.
        instance = draw(st.sampled_from(instances))()
        function = getattr(instance, sig.name)
    if draw(st.booleans()):
        # A call that fits the signature, some parameters by position and the rest by keyword,
        # so that the bodies get random values as often as the binding does.
        open_params = sig.params[1 if instance is not None else 0:]
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
    received = ([instance] if instance is not None else []) + args
    return function, args, received, kwnames, kwvalues


def plain_keywords(kwnames):
    """Whether a Python call can pass these names: unique strings."""
    return all(isinstance(k, str) for k in kwnames) and len(set(kwnames)) == len(kwnames)


def invoke(function, args, kwnames, kwvalues):
    if plain_keywords(kwnames):
        return function(*args, **dict(zip(kwnames, kwvalues)))
    return _testcapi.pyobject_vectorcall(function, tuple(args) + tuple(kwvalues), tuple(kwnames))


def genuine_ciphertext(value, material):
    return isinstance(value, (bytes, bytearray, memoryview)) and bytes(value) in material["ciphertexts"]


def check_result(sig, result, bound, material):
    """The results whose correctness can be told from the arguments alone."""
    if sig.path in ("decrypt", "PyCryptodomeCipher.decrypt"):
        crypto = bound.get("crypto", bound.get("ciphertext"))
        assert genuine_ciphertext(crypto, material), "a ciphertext that was never made decrypted"
        assert result == MESSAGE
    elif sig.path == "verify":
        assert (bound["message"], bound["signature"]) == (MESSAGE, material["signature"]), "a forgery verified"
        assert result == "SHA-256"
    elif sig.path in ("encrypt", "PyCryptodomeCipher.encrypt"):
        plaintext = bound.get("message", bound.get("plaintext"))
        private = material["hybrid" if result[5] == 2 else "mlkem"][1]
        assert halcyra_pqc.pqc_decrypt_payload(result, private) == bytes(plaintext)
    elif sig.path == "newkeys":
        assert [type(k) for k in result] == [ferrovan.PublicKey, ferrovan.PrivateKey]
        assert [k.key_bytes for k in result] == list(material["hybrid"])
    elif sig.path == "find_signature_hash":
        assert result in ("MD5", "SHA-1", "SHA-224", "SHA-256", "SHA-384", "SHA-512")


calls_made = {"count": 0}
outcomes = collections.Counter()


@pytest.fixture(scope="module", autouse=True)
def report_calls(figures):
    yield
    figures("hostile calls", calls_made["count"])
    for outcome, count in outcomes.items():
        figures(f"hostile calls: {outcome}", count)


@pytest.mark.parametrize("sig", SIGNATURES, ids=lambda s: f"{s.module.__name__.rpartition('.')[2]}.{s.path}")
def test_hostile_call(sig, material, rebind):
    # Generation is slow and ignores every argument; a strict stand-in hands out the real pair.
    def generate(*args):
        assert not args, "the core's key generation was given arguments"
        return material["hybrid"]
    rebind(sig.module, generate_pqc_kem_keypair=generate)
    instances = [make for make in fresh_values(material) if sig.owner and type(make()).__name__ == sig.owner]

    @given(call=hostile_calls(sig, material, instances))
    def run(call):
        function, args, received, kwnames, kwvalues = call
        assume(_testcapi is not None or plain_keywords(kwnames))
        note(f"args={received!r} keywords={list(zip(kwnames, kwvalues))!r}")
        expected_error, noted = binding_error(sig, received, kwnames, kwvalues)
        calls_made["count"] += 1
        try:
            result = invoke(function, args, kwnames, kwvalues)
        except Exception as raised:
            own = [r for r in records(raised, sig.source) if r[0].endswith("." + sig.path)]
            outcomes["binding errors" if expected_error else "raised in the body"] += 1
            if expected_error is not None:
                assert type(raised) is TypeError and str(raised) == expected_error
                assert bool(getattr(raised, "__notes__", None)) is noted
                assert own[-1][1] == sig.function().__code__.co_firstlineno
                return
            assert isinstance(raised, sig.raises + (HostileError,)), f"unexpected {type(raised).__name__}: {raised}"
            # Bound calls fail inside the body, never at the definition line.
            assert not own or own[-1][1] != sig.function().__code__.co_firstlineno, str(raised)
            return
        assert expected_error is None, f"bound although: {expected_error}"
        outcomes["returned"] += 1
        bound = dict(zip(sig.params, received)) | {k: v for k, v in zip(kwnames, kwvalues) if k in sig.params}
        check_result(sig, result, bound, material)

    run()


# --- The core's decryption under random and mutated input ------------------------------------

@pytest.fixture(scope="module")
def foreign_ders():
    """DER keys of the wrong kind or size, to put where RSA keys belong."""
    private = [ec.generate_private_key(ec.SECP256R1()), ed25519.Ed25519PrivateKey.generate(),
               crypto_rsa.generate_private_key(65537, 1024)]
    pkcs8 = [k.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption()) for k in private]
    spki = [k.public_key().public_bytes(serialization.Encoding.DER,
                                        serialization.PublicFormat.SubjectPublicKeyInfo) for k in private]
    traditional = private[2].private_bytes(serialization.Encoding.DER,
                                           serialization.PrivateFormat.TraditionalOpenSSL,
                                           serialization.NoEncryption())
    encrypted = private[0].private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                         serialization.BestAvailableEncryption(b"secret"))
    return pkcs8 + spki + [traditional, encrypted]


json_leaves = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False),
                        st.text(max_size=12))
json_values = st.one_of(json_leaves, st.lists(json_leaves, max_size=3),
                        st.dictionaries(st.text(max_size=6), json_leaves, max_size=3))


@st.composite
def mutated_key(draw, genuine, foreign_ders):
    data = draw(st.sampled_from(genuine))
    how = draw(st.sampled_from(["flip", "cut", "insert", "member", "drop", "der", "raw"]))
    if how == "flip":
        at = draw(st.integers(0, len(data) - 1))
        return data[:at] + bytes([data[at] ^ draw(st.integers(1, 255))]) + data[at + 1:]
    if how == "cut":
        return data[:draw(st.integers(0, len(data) - 1))]
    if how == "insert":
        at = draw(st.integers(0, len(data)))
        return data[:at] + draw(st.binary(min_size=1, max_size=8)) + data[at:]
    if how == "raw":
        return draw(st.sampled_from(foreign_ders))
    members = json.loads(data)
    name = draw(st.sampled_from(sorted(members) + ["extra"]))
    if how == "drop":
        members.pop(name, None)
    elif how == "der":
        members[draw(st.sampled_from(["rsa", "mlkem"]))] = base64.b64encode(
            draw(st.sampled_from(foreign_ders))).decode()
    else:
        members[name] = draw(json_values)
    return json.dumps(members).encode()


@given(data=st.data())
def test_core_decryption_of_random_and_mutated_input(material, foreign_ders, data):
    (hpub, hpriv), (mpub, mpriv) = material["hybrid"], material["mlkem"]
    genuine = [hpub, hpriv, mpub, mpriv]
    packed = data.draw(st.sampled_from(sorted(material["ciphertexts"])))
    changed = data.draw(st.one_of(
        st.binary(max_size=2000),
        st.builds(lambda cut, tail: packed[:cut] + tail, st.integers(0, len(packed)), st.binary(max_size=40)),
        st.builds(lambda at, x: packed[:at] + bytes([packed[at] ^ x]) + packed[at + 1:],
                  st.integers(0, len(packed) - 1), st.integers(1, 255)),
        st.sampled_from([None, 0, "text", [packed], bytearray(packed), memoryview(packed)[::2]]),
    ))
    key = data.draw(st.one_of(mutated_key(genuine, foreign_ders), st.sampled_from(genuine),
                              st.binary(max_size=300), st.text(max_size=300), st.integers()))
    calls_made["count"] += 2
    try:
        plaintext = halcyra_pqc.pqc_decrypt_payload(changed, key)
    except (ValueError, TypeError):
        pass
    else:
        # Only the untouched ciphertext opens, under a key that still holds its private key
        # (a mutation may only have respaced the JSON).
        assert plaintext == MESSAGE and genuine_ciphertext(changed, material)
        assert json.loads(key) == json.loads(material["ciphertexts"][bytes(changed)])
    try:
        halcyra_pqc.pqc_encrypt_payload(MESSAGE, key)
    except (ValueError, TypeError):
        pass
