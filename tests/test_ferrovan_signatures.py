"""ferrovan's signatures and hashing helpers: round trips with the real core's keys, the
single verification failure, exact-type checks, the records of each failing step, and the
hash a decrypted signature block names."""

import hashlib
import traceback

import pytest
from cryptography.hazmat.primitives import hashes

import halcyra_pqc as hp
import halcyra_pqc.ferrovan as rsa
from conftest import DELETE

HASHES = {  # rsa-style name -> (hashlib name, spellings the normalisation accepts)
    "MD5": ("md5", ["MD5", "md5"]),
    "SHA-1": ("sha1", ["SHA-1", "SHA1", "sha-1", "sha1"]),
    "SHA-224": ("sha224", ["SHA-224", "SHA224", "sha-224"]),
    "SHA-256": ("sha256", ["SHA-256", "SHA256", "sha-256", "sha256"]),
    "SHA-384": ("sha384", ["SHA-384", "sha384"]),
    "SHA-512": ("sha512", ["SHA-512", "Sha-512"]),
}


def records(exc):
    """(function name, line) of the records the module added to exc's traceback."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == "halcyra_pqc/ferrovan"]


@pytest.fixture(scope="module")
def keys(hybrid_keys):
    return rsa.PublicKey(hybrid_keys[0]), rsa.PrivateKey(hybrid_keys[1])


@pytest.fixture(scope="module")
def other_keys(other_hybrid_keys):
    return rsa.PublicKey(other_hybrid_keys[0]), rsa.PrivateKey(other_hybrid_keys[1])


def signature_block(pub, signature):
    """The decrypted signature block: signature ** e mod n, as a verifier sees it."""
    numbers = rsa._get_inner_public_key(pub).public_numbers()
    size = (numbers.n.bit_length() + 7) // 8
    return pow(int.from_bytes(signature, "big"), numbers.e, numbers.n).to_bytes(size, "big")


@pytest.mark.parametrize("name", list(HASHES))
def test_sign_verify_round_trip_under_every_spelling(keys, name):
    pub, priv = keys
    message = b"the quick brown fox"
    hashlib_name, spellings = HASHES[name]
    signatures = {rsa.sign(message, priv, spelling) for spelling in spellings}
    assert len(signatures) == 1  # PKCS#1 v1.5 is deterministic
    signature = signatures.pop()
    assert rsa.verify(message, signature, pub) == name
    # Key bytes work where key objects do.
    assert rsa.verify(message, signature, pub.key_bytes) == name
    assert rsa.sign(message, priv.key_bytes, name) == signature
    # The block names the hash it was made with.
    assert rsa.find_signature_hash(signature_block(pub, signature)) == name
    digest = rsa.compute_hash(message, spellings[-1])
    assert digest == hashlib.new(hashlib_name, message).digest()
    assert rsa.sign_hash(digest, priv, name) == signature


def test_compute_hash_of_empty_message():
    assert rsa.compute_hash(b"", "SHA-256") == hashlib.sha256(b"").digest()
    assert [len(rsa.compute_hash(b"", n)) for n in ("MD5", "SHA-1", "SHA-512")] == [16, 20, 64]


@pytest.mark.parametrize("change", ["message", "signature", "key"])
def test_verification_failure_is_one_plain_error(keys, other_keys, change):
    pub, priv = keys
    message = b"payload"
    signature = rsa.sign(message, priv, "SHA-256")
    if change == "message":
        message = b"payloae"
    elif change == "signature":
        signature = bytes([signature[0] ^ 1]) + signature[1:]
    else:
        pub = other_keys[0]
    with pytest.raises(rsa.VerificationError) as info:
        rsa.verify(message, signature, pub)
    error = info.value
    assert error.args == ("Verification failed",)
    assert error.__cause__ is None and error.__context__ is None
    assert records(error) == [("halcyra_pqc.ferrovan.verify", 116)]


def test_verification_error_context_is_only_the_callers(keys):
    pub, priv = keys
    try:
        raise KeyError("caller's")
    except KeyError as handled:
        with pytest.raises(rsa.VerificationError) as info:
            rsa.verify(b"m", b"not a signature", pub)
        assert info.value.__context__ is handled


def test_signature_under_another_hash_never_verifies(keys):
    pub, priv = keys
    signature = rsa.sign(b"m", priv, "sha512_256")
    with pytest.raises(rsa.VerificationError):
        rsa.verify(b"m", signature, pub)


@pytest.mark.parametrize("message, signature", [("text", b"\0" * 384), (b"m", "text")])
def test_verify_drops_library_type_errors(keys, message, signature):
    with pytest.raises(rsa.VerificationError):
        rsa.verify(message, signature, keys[0])


def test_keyboard_interrupt_passes_through_verify(keys, rebind):
    class Padding:
        @staticmethod
        def PKCS1v15():
            raise KeyboardInterrupt

    rebind(rsa, padding=Padding)
    with pytest.raises(KeyboardInterrupt) as info:
        rsa.verify(b"m", b"s", keys[0])
    assert records(info.value) == [("halcyra_pqc.ferrovan.verify", 100)]


@pytest.mark.parametrize("hash_method, error, line", [
    ("SHA-999", AttributeError, 84),
    (b"SHA-256", AttributeError, 84),   # str() of bytes is "b'SHA-256'"
    (None, AttributeError, 84),         # "NONE"
    ("shake-128", TypeError, 84),       # SHAKE128 cannot be called without a digest size
])
def test_sign_hash_name_errors(keys, hash_method, error, line):
    with pytest.raises(error) as info:
        rsa.sign(b"m", keys[1], hash_method)
    assert records(info.value) == [("halcyra_pqc.ferrovan.sign", line)]


class SpelledAs(str):
    """A hash name whose str() is another name than its value."""

    def __str__(self):
        return "SHA-512"


class Named:
    def __str__(self):
        return "sha-384"


@pytest.mark.parametrize("hash_method, expected", [(SpelledAs("SHA-256"), "SHA-512"), (Named(), "SHA-384")])
def test_sign_takes_anything_but_an_exact_str_through_str(keys, hash_method, expected):
    pub, priv = keys
    assert rsa.verify(b"m", rsa.sign(b"m", priv, hash_method), pub) == expected


def test_sign_reads_the_key_before_the_hash_name(keys):
    with pytest.raises(ValueError) as info:  # the DER loader's error, not AttributeError
        rsa.sign(b"m", b"no key here", "NO-SUCH-HASH")
    assert records(info.value)[0] == ("halcyra_pqc.ferrovan.sign", 82)


@pytest.mark.parametrize("call", [
    lambda pub, priv: rsa.sign(b"m", rsa.PrivateKey(b'{"mlkem": "AAAA"}'), "SHA-256"),
    lambda pub, priv: rsa.verify(b"m", b"s", rsa.PublicKey("not bytes at all")),
    lambda pub, priv: rsa.sign_hash(b"\0" * 32, pub, "SHA-256"),  # a public key is not unwrapped
])
def test_keys_without_a_readable_rsa_key_raise_the_loaders_error(keys, call):
    with pytest.raises(Exception) as info:
        call(*keys)
    assert not isinstance(info.value, (rsa.VerificationError, rsa.DecryptionError))
    assert info.value.__class__ in (ValueError, TypeError)


def test_sign_str_message_reaches_the_library_unencoded(keys):
    with pytest.raises(TypeError) as info:
        rsa.sign("text", keys[1], "SHA-256")
    assert records(info.value) == [("halcyra_pqc.ferrovan.sign", 85)]


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


@pytest.mark.parametrize("call, argument, expected, got", [
    (lambda k: rsa.compute_hash("text", "SHA-256"), "message", "bytes", "str"),
    (lambda k: rsa.compute_hash(bytearray(b"m"), "SHA-256"), "message", "bytes", "bytearray"),
    (lambda k: rsa.compute_hash(memoryview(b"m"), "SHA-256"), "message", "bytes", "memoryview"),
    (lambda k: rsa.compute_hash(b"m", None), "method_name", "str", "NoneType"),
    (lambda k: rsa.compute_hash(None, None), "message", "bytes", "NoneType"),  # first failure only
    (lambda k: rsa.sign_hash(b"\0" * 32, k, b"SHA-256"), "hash_method", "str", "bytes"),
    (lambda k: rsa.sign_hash(None, k, "SHA-256"), "hash_value", "bytes", "NoneType"),
    (lambda k: rsa.find_signature_hash(None), "decrypted_signature", "bytes", "NoneType"),
    (lambda k: rsa.find_signature_hash(bytearray(1)), "decrypted_signature", "bytes", "bytearray"),
])
def test_exact_type_checks(keys, call, argument, expected, got):
    with pytest.raises(TypeError) as info:
        call(keys[1])
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"
    assert not getattr(info.value, "__notes__", None)
    assert records(info.value)[0][1] in (118, 126, 137)  # the definition line


@pytest.mark.parametrize("call, argument, expected", [
    (lambda k: rsa.compute_hash(BytesSubclass(b"m"), "SHA-256"), "message", "bytes"),
    (lambda k: rsa.compute_hash(b"m", StrSubclass("SHA-256")), "method_name", "str"),
    (lambda k: rsa.sign_hash(BytesSubclass(32), k, "SHA-256"), "hash_value", "bytes"),
    (lambda k: rsa.find_signature_hash(BytesSubclass()), "decrypted_signature", "bytes"),
])
def test_exact_type_checks_note_subclasses(keys, call, argument, expected):
    with pytest.raises(TypeError) as info:
        call(keys[1])
    assert str(info.value).startswith(f"Argument '{argument}' has incorrect type (expected {expected}, got ")
    (note,) = info.value.__notes__
    assert "subclass" in note.lower() and f"exact {expected}" in note


def test_sign_hash_does_not_touch_the_key_on_a_type_error(rebind):
    calls = []
    rebind(rsa, _get_inner_private_key=lambda key: calls.append(key))
    with pytest.raises(TypeError):
        rsa.sign_hash(b"\0" * 32, object(), 256)
    assert calls == []


def test_sign_hash_passes_a_wrong_length_digest_to_the_library(keys):
    with pytest.raises(ValueError) as info:
        rsa.sign_hash(b"\0" * 31, keys[1], "SHA-256")
    assert records(info.value) == [("halcyra_pqc.ferrovan.sign_hash", 131)]


@pytest.mark.parametrize("result, ok", [(b"sig", True), (None, True), (bytearray(b"sig"), False), ("sig", False),
                                        (BytesSubclass(b"sig"), False)])
def test_result_checks(rebind, result, ok):
    class Key:
        def sign(self, *args):
            return result

    class Digest:
        def __init__(self, algorithm):
            pass

        def update(self, data):
            pass

        def finalize(self):
            return result

    class Hashes:
        SHA256 = hashes.SHA256
        Hash = Digest

    rebind(rsa, _get_inner_private_key=lambda key: Key(), hashes=Hashes)
    for call, line in [(lambda: rsa.sign_hash(b"d", None, "SHA-256"), 131),
                       (lambda: rsa.compute_hash(b"d", "SHA-256"), 124)]:
        if ok:
            assert call() is result
        else:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == f"Expected bytes, got {type(result).__name__}"
            assert records(info.value)[0][1] == line


@pytest.mark.parametrize("name, line, call", [
    ("padding", 87, lambda k: rsa.sign(b"m", k, "SHA-256")),
    ("hashes", 84, lambda k: rsa.sign(b"m", k, "SHA-256")),
    ("_get_inner_private_key", 82, lambda k: rsa.sign(b"m", k, "SHA-256")),
    ("_get_inner_public_key", 93, lambda k: rsa.verify(b"m", b"s", k)),
    ("hashes", 95, lambda k: rsa.verify(b"m", b"s", rsa.PublicKey(b""))),
    ("hashes", 121, lambda k: rsa.compute_hash(b"m", "SHA-256")),
    ("Prehashed", 134, lambda k: rsa.sign_hash(b"\0" * 32, k, "SHA-256")),
    ("padding", 133, lambda k: rsa.sign_hash(b"\0" * 32, k, "SHA-256")),
])
def test_missing_globals_raise_name_error_at_their_line(keys, rebind, name, line, call):
    if name == "hashes" and line == 95:
        rebind(rsa, _get_inner_public_key=lambda key: object())
    rebind(rsa, **{name: DELETE})
    with pytest.raises(NameError) as info:
        call(keys[1])
    assert str(info.value) == f"name '{name}' is not defined"
    assert records(info.value)[-1][1] == line


def test_missing_verification_error_gives_name_error(keys, rebind):
    rebind(rsa, VerificationError=DELETE)
    with pytest.raises(NameError, match="'VerificationError'"):
        rsa.verify(b"m", b"s", keys[0])


SHA256_INFO = bytes.fromhex("3031300d060960864801650304020105000420")


@pytest.mark.parametrize("block, expected", [
    (b"\x00\x01" + b"\xff" * 8 + b"\x00" + SHA256_INFO + bytes(32), "SHA-256"),
    (SHA256_INFO + bytes(32), "SHA-256"),
    (bytes.fromhex("3021300906052b0e03021a05000414") + bytes(20), "SHA-1"),
    (bytes.fromhex("3020300c06082a864886f70d020505000410") + bytes(16), "MD5"),
    (SHA256_INFO + bytes(32) + b"\x00", None),   # trailing garbage
    (SHA256_INFO + bytes(31), None),             # truncated digest
    (SHA256_INFO[:-1] + bytes(32), None),
    (b"", None),
    (b"\x00\x01\xff\x00", None),
])
def test_find_signature_hash_reads_the_digest_info(block, expected):
    if expected is not None:
        assert rsa.find_signature_hash(block) == expected
        return
    with pytest.raises(rsa.VerificationError) as info:
        rsa.find_signature_hash(block)
    assert info.value.args == ("Verification failed",)
    assert records(info.value) == [("halcyra_pqc.ferrovan.find_signature_hash", 139)]


@pytest.mark.parametrize("call, message", [
    (lambda: rsa.sign(b"m", None), "sign() takes exactly 3 positional arguments (2 given)"),
    (lambda: rsa.verify(message=b"m", signature=b"s"), "verify() takes exactly 3 positional arguments (2 given)"),
    (lambda: rsa.find_signature_hash(), "find_signature_hash() takes exactly 1 positional argument (0 given)"),
    (lambda: rsa.compute_hash(b"m", "x", method_name="y"),
     "compute_hash() got multiple values for keyword argument 'method_name'"),
    (lambda: rsa.sign_hash(b"m", None, "x", salt=1), "sign_hash() got an unexpected keyword argument 'salt'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_introspection():
    assert rsa.sign.__doc__ == "Signs message using inner RSA private key."
    assert rsa.verify.__doc__ == "Verifies signature using inner RSA public key."
    assert rsa.find_signature_hash.__doc__ == "Finds the signature hash from the decrypted signature block."
    assert rsa.sign_hash.__annotations__ == {
        "hash_value": "bytes", "priv_key": "PrivateKey", "hash_method": "str", "return": "bytes"}
    assert list(rsa.find_signature_hash.__annotations__) == ["decrypted_signature", "return"]
    assert rsa.sign.__annotations__ == {} and rsa.verify.__defaults__ is None
    assert rsa.verify.__code__.co_varnames == (
        "message", "signature", "pub_key", "inner_key", "hash_name", "hash_obj")
    assert rsa.find_signature_hash.__code__.co_varnames == ("decrypted_signature",)
    assert [f.__code__.co_firstlineno for f in (rsa.sign, rsa.verify, rsa.compute_hash,
                                                 rsa.sign_hash, rsa.find_signature_hash)] == [80, 91, 118, 126, 137]


@pytest.fixture(scope="module")
def made_by_the_module(keys):
    return {name: rsa.sign(b"m", keys[1], name) for name in ("MD5", "SHA-1", "SHA-256")}


@pytest.mark.parametrize("call, expected", [
    (lambda h, m, sig: hp.sign_message(b"m", h[0], "SHA-256"), "a public key cannot sign"),
    (lambda h, m, sig: hp.sign_message(b"m", m[1], "SHA-256"), "an ML-KEM-only key cannot sign"),
    (lambda h, m, sig: hp.sign_message(b"m", h[1], "sha-1"), "sha-1 is broken"),
    (lambda h, m, sig: hp.sign_message(b"m", h[1], "Md5"), "Md5 is broken"),
    (lambda h, m, sig: hp.sign_message(b"m", h[1], "SHA3-256"), "unknown hash 'SHA3-256'"),
    (lambda h, m, sig: hp.verify_signature(b"m", sig["SHA-1"], h[0]), "uses SHA-1, which is broken"),
    (lambda h, m, sig: hp.verify_signature(b"m", sig["MD5"], h[1]), "uses MD5, which is broken"),
    (lambda h, m, sig: hp.verify_signature(b"other", sig["SHA-256"], h[0]), "^Verification failed$"),
    (lambda h, m, sig: hp.verify_signature(b"m", sig["SHA-256"], m[0]), "an ML-KEM-only key has no RSA half"),
])
def test_the_packages_signatures_refuse_broken_hashes_and_keys_without_rsa(made_by_the_module, hybrid_keys,
                                                                            mlkem_keys, call, expected):
    """The module's signatures, from the parsed key; what the module accepts and a program
    should not is refused."""
    assert hp.verify_signature(b"m", made_by_the_module["SHA-256"], hybrid_keys[0]) == "SHA-256"
    with pytest.raises(ValueError, match=expected):
        call(hybrid_keys, mlkem_keys, made_by_the_module)
