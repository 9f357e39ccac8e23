"""Load: threads share keys, key objects and ciphers, and run key generation, encryption,
decryption, signing and verification through both modules at once, for a bounded time, with
every result checked. Meanwhile sub-interpreters try to import both modules; the attempts fail
as the single-interpreter guard says and disturb nothing.

HALCYRA_LOAD_SECONDS sets the time (scripts/check.sh runs longer than the ordinary suite)."""

import hashlib
import os
import threading
import time

import pytest

from conftest import PACKAGE_DIR
from halcyra_pqc import ferrovan, mirelock

SECONDS = float(os.environ.get("HALCYRA_LOAD_SECONDS", "2"))
THREADS = 4
REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.fixture(scope="module")
def shared(hybrid_keys, mlkem_keys):
    (hpub, hpriv), (mpub, mpriv) = hybrid_keys, mlkem_keys
    key = mirelock.PyCryptodomeKey(hpub, hpriv)
    return {
        "hybrid": hybrid_keys, "mlkem": mlkem_keys,
        "public": ferrovan.PublicKey(hpub), "private": ferrovan.PrivateKey(hpriv),
        "mlkem_public": ferrovan.PublicKey.load_pkcs1(mpub), "mlkem_private": ferrovan.PrivateKey.load_pkcs1(mpriv),
        "cipher": mirelock.PKCS1_OAEP.new(key), "public_cipher": mirelock.PKCS1_OAEP.new(key.publickey()),
        "mlkem_cipher": mirelock.PKCS1_OAEP.new(mirelock.RSA.import_key(mpriv)),
    }


def operations(s, index, message):
    """The work of one round, each step checking its own result. Key generation is the slow
    one, so it comes once a round while the others repeat."""
    def ferrovan_hybrid():
        crypto = ferrovan.encrypt(message, s["public"])
        assert ferrovan.decrypt(crypto, s["private"]) == message
        assert ferrovan.decrypt(ferrovan.encrypt(message, s["hybrid"][0]), s["hybrid"][1]) == message

    def ferrovan_mlkem():
        crypto = ferrovan.encrypt(message, s["mlkem_public"])
        assert ferrovan.decrypt(crypto, s["mlkem_private"]) == message
        with pytest.raises(ferrovan.DecryptionError):
            ferrovan.decrypt(crypto, s["private"])

    def signatures():
        signature = ferrovan.sign(message, s["private"], "SHA-256")
        assert ferrovan.verify(message, signature, s["public"]) == "SHA-256"
        digest = ferrovan.compute_hash(message, "SHA-256")
        assert digest == hashlib.sha256(message).digest()
        assert ferrovan.sign_hash(digest, s["private"], "SHA-256") == signature
        with pytest.raises(ferrovan.VerificationError):
            ferrovan.verify(message + b"!", signature, s["public"])

    def mirelock_ciphers():
        assert s["cipher"].decrypt(s["public_cipher"].encrypt(message)) == message
        assert s["mlkem_cipher"].decrypt(s["mlkem_cipher"].encrypt(message)) == message
        with pytest.raises(ValueError, match="Private key required for decryption"):
            s["public_cipher"].decrypt(b"")

    def generation():
        # Half the threads generate through each module: generation is slow enough that doing
        # both in every thread would double the shortest run.
        if index % 2 == 0:
            pub, priv = ferrovan.newkeys(3072)
            assert ferrovan.decrypt(ferrovan.encrypt(message, pub), priv) == message
            assert ferrovan.verify(message, ferrovan.sign(message, priv, "SHA-1"), pub) == "SHA-1"
        else:
            key = mirelock.RSA.generate(3072)
            assert mirelock.PKCS1_OAEP.new(key).decrypt(mirelock.PKCS1_OAEP.new(key.publickey()).encrypt(message)) \
                == message

    return [generation] + [ferrovan_hybrid, ferrovan_mlkem, signatures, mirelock_ciphers] * 3


def worker(index, s, deadline, counts, failures):
    message = f"thread {index}: ".encode() * (index + 1)
    round_ = operations(s, index, message)
    try:
        # At least one whole round, so every operation runs under load however slow the machine.
        while True:
            for operation in round_:
                operation()
                counts[index] += 1
            if time.monotonic() >= deadline:
                return
    except BaseException as failure:  # reported by the main thread, whatever it is
        failures.append((index, failure))


def sub_interpreter_import(module, config):
    """The failure a sub-interpreter gets when it imports `module`, as (type name, message)."""
    interpreters = pytest.importorskip("_interpreters")
    # A stand-in parent package: the real core imports extension modules that refuse
    # sub-interpreters themselves, before the guard under test is reached.
    code = "\n".join([
        "import sys, types",
        "package = types.ModuleType('halcyra_pqc')",
        f"package.__path__ = [{str(PACKAGE_DIR)!r}]",
        "sys.modules['halcyra_pqc'] = package",
        f"import halcyra_pqc.{module}",
    ])
    interp = interpreters.create(config)
    try:
        failure = interpreters.exec(interp, code)
    finally:
        interpreters.destroy(interp)
    return (failure.type.__name__, failure.msg) if failure is not None else None


def test_threads_share_keys_while_sub_interpreters_try_to_import(shared, figures):
    deadline = time.monotonic() + SECONDS
    counts, failures = [0] * THREADS, []
    threads = [threading.Thread(target=worker, args=(i, shared, deadline, counts, failures)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    attempts, isolated = [], []
    try:
        while time.monotonic() < deadline or not attempts:
            for module in ("ferrovan", "mirelock"):
                # One that shares the GIL reaches the module's own guard; an isolated one is
                # refused by the import system first, since the modules declare no support.
                attempts.append(sub_interpreter_import(module, "legacy"))
                isolated.append(sub_interpreter_import(module, "isolated")[0])
            time.sleep(0.05)
    finally:
        for thread in threads:
            thread.join()
    assert failures == []
    assert set(attempts) == {("ImportError", REFUSAL)}
    assert set(isolated) == {"ImportError"}
    assert all(count >= 13 for count in counts), counts
    figures("load threads", THREADS)
    figures("load operations", sum(counts))
    figures("load seconds", SECONDS)
    figures("sub-interpreter imports refused", len(attempts) + len(isolated))
