"""ferrovan's encrypt and decrypt: what reaches the core and comes back, the translation of
decryption failures, and round trips and tampering through the real core."""

import os
import sys

import pytest

import halcyra_pqc.ferrovan as rsa
from conftest import DELETE, records


def ferrovan_records(exc):
    return records(exc, "halcyra_pqc/ferrovan")


def raising(exception):
    def core(*args):
        raise exception
    return core


class Sized:
    """A core result that is a sequence of its own: a length and indexing, nothing else."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


# --- encrypt with a fake core ----------------------------------------------------------------

@pytest.mark.parametrize("result, packed", [
    (("a", "b", "c", "d"), ("a", "b", "c", "d")),
    (["a", "b", "c", "d"], ("a", "b", "c", "d")),
    (Sized("a", "b", "c", "d"), ("a", "b", "c", "d")),
    ("abcd", ("a", "b", "c", "d")),
    (("a", "b", "c"), ("a", None, "b", "c")),
    (Sized("a", "b", "c"), ("a", None, "b", "c")),
    (("a", "b", "c", "d", "e"), ("a", None, "b", "c")),
    (list("abcdefg"), ("a", None, "b", "c")),
], ids=["tuple4", "list4", "sequence4", "str4", "tuple3", "sequence3", "tuple5", "list7"])
def test_encrypt_packs_the_hybrid_and_the_pure_form(fake_core, result, packed):
    core = fake_core(rsa)
    core.encrypted = result
    assert rsa.encrypt(b"m", b"k") is core.packed
    assert core.called("pack_ciphertext") == [packed]


@pytest.mark.parametrize("result, error, line", [
    (("a", "b"), IndexError, 70), ([], IndexError, 70), (Sized("a", "b"), IndexError, 70),
    (42, TypeError, 67), (None, TypeError, 67),
])
def test_encrypt_with_a_short_or_unsized_result(fake_core, result, error, line):
    core = fake_core(rsa)
    core.encrypted = result
    with pytest.raises(error) as info:
        rsa.encrypt(b"m", b"k")
    assert core.called("pack_ciphertext") == []
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.encrypt", line)]


@pytest.mark.parametrize("message", [b"bytes", "a str is not encoded", bytearray(b"mutable"), None])
def test_encrypt_passes_message_and_key_through(fake_core, message):
    core = fake_core(rsa)
    key_bytes = b"public key bytes"
    rsa.encrypt(message, rsa.PublicKey(key_bytes))
    rsa.encrypt(pub_key=key_bytes, message=message)
    assert [(a is message, b is key_bytes) for a, b in core.called("pqc_encrypt_payload")] == [(True, True)] * 2


def test_key_argument_rule(fake_core, rebind):
    core = fake_core(rsa)
    public = type("Subclass", (rsa.PublicKey,), {})(b"public")
    private = rsa.PrivateKey(b"private")
    rsa.encrypt(b"m", public)
    rsa.encrypt(b"m", private)    # not a PublicKey: passed as it is
    rsa.decrypt(b"c", public)     # not a PrivateKey: passed as it is
    assert core.called("pqc_decrypt_payload")[0][1] is public
    # The test is against whatever class the global names at the time of the call.
    rebind(rsa, PublicKey=rsa.PrivateKey)
    rsa.encrypt(b"m", public)
    rsa.encrypt(b"m", private)
    assert [args[1] for args in core.called("pqc_encrypt_payload")] == [b"public", private, public, b"private"]


class Unreadable(Sized):
    def __getitem__(self, index):
        raise ZeroDivisionError


@pytest.mark.parametrize("change, error, line", [
    ({"PublicKey": DELETE}, NameError, 65),
    ({"pqc_encrypt_payload": DELETE}, NameError, 66),
    ({"pqc_encrypt_payload": raising(ValueError("core"))}, ValueError, 66),
    # pack_ciphertext is looked up before the items are read.
    ({"pack_ciphertext": DELETE, "pqc_encrypt_payload": lambda m, k: Unreadable(1, 2, 3, 4)}, NameError, 68),
    ({"pack_ciphertext": raising(OverflowError("pack"))}, OverflowError, 68),
    ({"pack_ciphertext": DELETE, "pqc_encrypt_payload": lambda m, k: Unreadable(1, 2, 3)}, NameError, 70),
], ids=["PublicKey missing", "core missing", "core raises", "pack missing", "pack raises", "pure, pack missing"])
def test_encrypt_failures_propagate_unchanged(fake_core, rebind, change, error, line):
    fake_core(rsa)
    rebind(rsa, **change)
    with pytest.raises(error) as info:
        rsa.encrypt(b"m", b"k")
    assert info.value.__cause__ is None and info.value.__context__ is None
    if error is NameError:
        assert str(info.value) == f"name '{next(n for n, v in change.items() if v is DELETE)}' is not defined"
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.encrypt", line)]


def test_encrypt_key_without_key_bytes():
    key = rsa.PublicKey(b"k")
    del key.key_bytes
    with pytest.raises(AttributeError) as info:
        rsa.encrypt(b"m", key)
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.encrypt", 65)]


# --- decrypt with a fake core ----------------------------------------------------------------

def test_decrypt_passes_everything_through_unchanged(fake_core):
    core = fake_core(rsa)
    crypto, key_bytes = object(), object()
    assert rsa.decrypt(crypto, rsa.PrivateKey(key_bytes)) is core.plaintext
    assert rsa.decrypt(priv_key=key_bytes, crypto=crypto) is core.plaintext
    assert all(a is crypto and b is key_bytes for a, b in core.called("pqc_decrypt_payload"))
    core.plaintext = None  # whatever the core returns is success
    assert rsa.decrypt(crypto, key_bytes) is None


class CoreError(Exception):
    pass


@pytest.mark.parametrize("raised", [ValueError("bad tag"), TypeError("not bytes"), KeyError("x"), CoreError(),
                                    ArithmeticError(), NameError("name 'pqc_decrypt_payload' is not defined")])
def test_decrypt_turns_core_exceptions_into_decryption_error(rebind, raised):
    # The last case is what a missing core global raises, inside the protected region too.
    missing = isinstance(raised, NameError)
    rebind(rsa, pqc_decrypt_payload=DELETE if missing else raising(raised))
    with pytest.raises(rsa.DecryptionError) as info:
        rsa.decrypt(b"c", rsa.PrivateKey(b"k"))
    error, cause = info.value, info.value.__cause__
    assert type(error) is rsa.DecryptionError
    assert str(error) == "Decryption failed" and error.args == ("Decryption failed",)
    assert (type(cause), str(cause)) == (type(raised), str(raised))
    assert error.__context__ is cause and error.__suppress_context__
    assert ferrovan_records(error) == [("halcyra_pqc.ferrovan.decrypt", 78)]
    assert ferrovan_records(cause) == [("halcyra_pqc.ferrovan.decrypt", 76)]


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_decrypt_lets_non_exceptions_through(rebind, raised):
    rebind(rsa, pqc_decrypt_payload=raising(raised))
    with pytest.raises(BaseException) as info:
        rsa.decrypt(b"c", b"k")
    assert info.value is raised and raised.__context__ is None and raised.__cause__ is None
    assert ferrovan_records(raised) == [("halcyra_pqc.ferrovan.decrypt", 76)]


def test_decrypt_without_decryption_error(rebind):
    raised = ValueError("core")
    rebind(rsa, pqc_decrypt_payload=raising(raised), DecryptionError=DELETE)
    with pytest.raises(NameError) as info:
        rsa.decrypt(b"c", b"k")
    assert str(info.value) == "name 'DecryptionError' is not defined"
    assert info.value.__context__ is raised and info.value.__cause__ is None
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.decrypt", 78)]


@pytest.mark.parametrize("broken", ["key_bytes", "PrivateKey"])
def test_decrypt_key_step_failures_are_not_translated(fake_core, rebind, broken):
    core = fake_core(rsa)
    key = rsa.PrivateKey(b"k")
    if broken == "key_bytes":
        del key.key_bytes
    else:
        rebind(rsa, PrivateKey=DELETE)
    with pytest.raises(AttributeError if broken == "key_bytes" else NameError) as info:
        rsa.decrypt(b"c", key)
    assert ferrovan_records(info.value) == [("halcyra_pqc.ferrovan.decrypt", 74)]
    assert core.calls == []


def test_decrypt_restores_the_handled_exception(rebind):
    rebind(rsa, pqc_decrypt_payload=raising(ValueError("core")))
    try:
        raise KeyError("the caller's")
    except KeyError as handled:
        with pytest.raises(rsa.DecryptionError) as info:
            rsa.decrypt(b"c", b"k")
        assert info.value.__context__ is info.value.__cause__  # the core's, not the caller's
        assert info.value.__cause__.__context__ is handled and sys.exception() is handled
    assert sys.exception() is None

    def generator():
        try:
            rsa.decrypt(b"c", b"k")
        except rsa.DecryptionError:
            pass
        yield sys.exception()
        yield sys.exception()

    try:
        raise KeyError("outer")
    except KeyError as outer:
        steps = generator()
        assert next(steps) is outer
    # Resumed outside that handler, the generator handles nothing: the failed decryption must
    # not have left the outer exception in the generator's own state.
    assert next(steps) is None


# --- Through the real core -------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["hybrid", "mlkem"])
@pytest.mark.parametrize("as_objects", [True, False], ids=["key objects", "key bytes"])
@pytest.mark.parametrize("message", [b"msg", b"", bytes(range(256)) * 40], ids=["short", "empty", "10KiB"])
def test_real_round_trip(hybrid_keys, mlkem_keys, kind, as_objects, message):
    pub, priv = hybrid_keys if kind == "hybrid" else mlkem_keys
    if as_objects:
        pub, priv = rsa.PublicKey(pub), rsa.PrivateKey.load_pkcs1(priv)
    crypto = rsa.encrypt(message, pub)
    assert type(crypto) is bytes and rsa.decrypt(crypto, priv) == message


@pytest.mark.parametrize("case", ["other key", "public key", "public key object", "other kind"])
def test_real_core_failures_become_decryption_error(hybrid_keys, other_hybrid_keys, mlkem_keys, case):
    crypto = rsa.encrypt(b"secret", hybrid_keys[0])
    key = {"other key": other_hybrid_keys[1], "public key": hybrid_keys[0],
           "public key object": rsa.PublicKey(hybrid_keys[0]), "other kind": mlkem_keys[1]}[case]
    with pytest.raises(rsa.DecryptionError) as info:
        rsa.decrypt(crypto, key)
    assert isinstance(info.value.__cause__, Exception)


def fields(crypto):
    """(name, start, end) of each field of a packed ciphertext, read from its own lengths."""
    spans = [("magic", 0, 4), ("version", 4, 5), ("mode", 5, 6)]
    offset = 6
    names = ["mlkem_ct", "rsa_ct", "nonce", "commitment", "sealed"] if crypto[5] == 2 else ["mlkem_ct", "nonce", "commitment", "sealed"]
    for name in names if crypto[4] == 2 else [name for name in names if name != "commitment"]:
        size = int.from_bytes(crypto[offset:offset + 4], "big")
        spans += [(f"length of {name}", offset, offset + 4), (name, offset + 4, offset + 4 + size)]
        offset += 4 + size
    assert offset == len(crypto)
    return spans


@pytest.mark.parametrize("kind", ["hybrid", "mlkem"])
def test_tampered_ciphertexts_never_decrypt(hybrid_keys, mlkem_keys, kind):
    pub, priv = hybrid_keys if kind == "hybrid" else mlkem_keys
    crypto = rsa.encrypt(b"attack at dawn", rsa.PublicKey(pub))
    assert rsa.decrypt(crypto, priv) == b"attack at dawn"
    cases = {"truncated": crypto[:-1], "header only": crypto[:6], "empty": b"", "appended": crypto + b"\0"}
    # The first, a middle and the last byte of each field; every byte with HALCYRA_TAMPER=full.
    full = os.environ.get("HALCYRA_TAMPER") == "full"
    for name, start, end in fields(crypto):
        for position in range(start, end) if full else {start, (start + end) // 2, end - 1}:
            changed = bytearray(crypto)
            changed[position] ^= 0x01
            cases[f"{name} at {position}"] = bytes(changed)
    for label, changed in cases.items():
        with pytest.raises(rsa.DecryptionError) as info:
            rsa.decrypt(changed, rsa.PrivateKey(priv))
        assert info.value.args == ("Decryption failed",), label
