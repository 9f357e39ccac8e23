"""Hostile callers. Every function and method of both modules is called with random argument
counts, keyword names (valid, unknown, repeated, not strings) and values of many types. A call
either fails to bind with exactly the message the binding rules predict, or it binds and then
returns a checked result or raises one of the exceptions its body may raise; nothing else, and
never a crash. The core's decryption gets the same treatment with random and mutated packed
ciphertexts and key bytes."""

import base64
import collections
import json

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.hazmat.primitives.asymmetric import rsa as crypto_rsa
from hypothesis import assume, given, note
from hypothesis import strategies as st

import halcyra_pqc
from conftest import records
from halcyra_pqc import ferrovan, mirelock
from hostile import (MESSAGE, NATIVE, SIGNATURES, HostileError, _testcapi, binding_error, fresh_values, hostile_calls,
                     invoke, plain_keywords)


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
    instances = [make for make in fresh_values(material) if sig.owner and type(make(NATIVE)).__name__ == sig.owner]

    @given(call=hostile_calls(sig, material, instances))
    def run(call):
        function, args, received, kwnames, kwvalues = call.build()
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
