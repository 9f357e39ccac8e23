"""Every input costs bounded work and memory: limits are checked before the work, a key's
checks run at most once per process whether they pass or fail, and no error keeps key
material or plaintext in its chain. Figures (durations) are in bench/limits.py; these tests
count calls and check refusals."""

import base64
import io
import json
import mmap
import re
import traceback

import pytest
from Crypto.Util.number import getPrime
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

import halcyra_pqc as hp
import halcyra_pqc.ferrovan as ferrovan
from halcyra_pqc import _key_cache, _key_reader, _rsa
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

EXPONENT = "the RSA public exponent must be odd and from 3 to 2**64 - 1"
PRIMES = "of the modulus's bits"


def pkcs1_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                             serialization.NoEncryption())


def pkcs8_der(key):
    return key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def spki_der(key):
    return key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)


def private_key(p, q, e=65537):
    d = pow(e, -1, (p - 1) * (q - 1))
    numbers = rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1), pow(q, -1, p), rsa.RSAPublicNumbers(e, p * q))
    return numbers.private_key(unsafe_skip_rsa_key_validation=True)


def primes(p_bits, q_bits, e=65537):
    """Two primes of exactly these sizes whose product has p_bits + q_bits bits, both usable with e."""
    while True:
        p, q = getPrime(p_bits), getPrime(q_bits)
        if (p * q).bit_length() == p_bits + q_bits and (p - 1) % e and (q - 1) % e:
            return p, q


def hybrid_private(mlkem_private_bytes, rsa_key):
    members = json.loads(mlkem_private_bytes)
    return json.dumps({"version": 1, "alg": "ML-KEM-768+RSA-3072", "kind": "private", "mlkem": members["mlkem"],
                       "rsa": base64.b64encode(pkcs8_der(rsa_key)).decode()}, separators=(",", ":")).encode()


def hybrid_public(mlkem_public_bytes, rsa_public_key):
    members = json.loads(mlkem_public_bytes)
    return json.dumps({"version": 1, "alg": "ML-KEM-768+RSA-3072", "kind": "public", "mlkem": members["mlkem"],
                       "rsa": base64.b64encode(spki_der(rsa_public_key)).decode()}, separators=(",", ":")).encode()


def refusal(key_bytes):
    with pytest.raises(ValueError, match="^invalid key bytes: ") as caught:
        hp.pqc_decrypt_payload(bytes(384), key_bytes)
    return str(caught.value)


@pytest.fixture(scope="module")
def rsa3072():
    return rsa.generate_private_key(public_exponent=65537, key_size=3072)


def test_public_exponents_are_bounded(rsa3072, mlkem_keys):
    n = rsa3072.public_key().public_numbers().n
    p, q = rsa3072.private_numbers().p, rsa3072.private_numbers().q
    # (Even exponents and those below 3 never get this far: the loader refuses them itself.)
    for e, accepted in ((3, True), (65537, True), (2**64 - 1, True), (2**64 + 1, False), (2**3000 + 1, False)):
        public = hybrid_public(mlkem_keys[0], rsa.RSAPublicNumbers(e, n).public_key())
        if accepted:
            # Inside the bound, encryption works: OpenSSL takes exponents of up to 64 bits.
            assert len(hp.pqc_encrypt_payload(b"m", public)) == 4
        else:
            with pytest.raises(ValueError, match="^invalid key bytes: " + re.escape(EXPONENT)):
                hp.pqc_encrypt_payload(b"m", public)
    # Private keys, hybrid and classic, are held to the same bound before their check runs.
    wide = 2**64 + 13
    while True:
        try:
            key = private_key(p, q, wide)
            break
        except ValueError:
            wide += 2
    assert EXPONENT in refusal(hybrid_private(mlkem_keys[1], key))
    assert EXPONENT in refusal(pkcs1_pem(key))


@pytest.fixture(scope="module")
def edge_keys():
    """1024-bit classic keys whose larger prime is just inside and just outside 9/16 of the modulus."""
    return {"inside": private_key(*primes(576, 448)), "outside": private_key(*primes(600, 424))}


def test_prime_sizes_are_bounded_before_the_check(edge_keys, monkeypatch):
    checks = []
    monkeypatch.setattr(_rsa, "_consistent", lambda numbers: checks.append(numbers) or True)
    inside = pkcs1_pem(edge_keys["inside"])
    assert hp.public_key_bytes(inside).startswith(b"-----BEGIN PUBLIC KEY-----")
    assert len(checks) == 1
    assert PRIMES in refusal(pkcs1_pem(edge_keys["outside"]))
    assert len(checks) == 1


def inconsistent(key):
    n = key.private_numbers()
    broken = rsa.RSAPrivateNumbers(n.p, n.q, n.d, n.dmp1 ^ 2, n.dmq1, n.iqmp, n.public_numbers)
    return broken.private_key(unsafe_skip_rsa_key_validation=True)


def test_refused_keys_cost_their_check_once(rsa3072, mlkem_keys, monkeypatch):
    checks = []
    real = _rsa._consistent
    monkeypatch.setattr(_rsa, "_consistent", lambda numbers: checks.append(1) or real(numbers))
    classic = pkcs1_pem(inconsistent(rsa3072))
    hybrid = hybrid_private(mlkem_keys[1], inconsistent(rsa3072))
    packed = ferrovan.encrypt(b"m", mlkem_keys[0])
    for key_bytes, reason in ((classic, "the key is an inconsistent RSA private key"),
                              (hybrid, '"rsa" is an inconsistent RSA private key')):
        checks.clear()
        calls = (lambda: hp.pqc_decrypt_payload(packed, key_bytes),
                 lambda: hp.pqc_decrypt_payload(packed, key_bytes.decode()),
                 lambda: ferrovan.decrypt(packed, ferrovan.PrivateKey(key_bytes)),
                 lambda: PKCS1_OAEP.new(ferrovan.PrivateKey(key_bytes)).decrypt(packed),
                 lambda: RSA.import_key(key_bytes))
        for call in calls:
            with pytest.raises(Exception) as caught:
                call()
            error = caught.value.__cause__ if isinstance(caught.value, ferrovan.DecryptionError) else caught.value
            if not isinstance(error, AttributeError):  # a key object is no mirelock key
                assert str(error) == "invalid key bytes: " + reason
        assert len(checks) == 1


def test_many_keys_in_rotation_are_checked_once_each(rsa3072, monkeypatch):
    checks = []
    real = _rsa._consistent
    monkeypatch.setattr(_rsa, "_consistent", lambda numbers: checks.append(1) or real(numbers))
    count = _key_cache.PARSED_KEYS + 8
    pairs = []
    for _ in range(count):
        _, mlkem_private = hp.generate_mlkem_keypair()
        private = hybrid_private(mlkem_private, rsa3072)
        pairs.append((hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"m", private)), private))
    assert len(checks) == count
    for _ in range(3):
        for packed, private in pairs:
            assert hp.pqc_decrypt_payload(packed, private) == b"m"
    assert len(checks) == count


def test_a_key_in_use_stays_parsed_while_more_keys_than_the_table_holds_pass(mlkem_keys):
    hot = mlkem_keys[0]
    parsed = _key_reader.load_key(hot, "key")
    for _ in range(2 * _key_cache.PARSED_KEYS):
        _key_reader.load_key(hp.generate_mlkem_keypair()[0], "key")
        assert _key_reader.load_key(hot, "key") is parsed  # each use refreshes it


@pytest.fixture(scope="module")
def huge_views():
    """Strided views that claim 3 GiB and 1 TiB over memory that is never touched."""
    flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_NORESERVE", 0)
    areas, views = [], []
    try:
        for claimed in (3 * 2**30, 2**40):
            areas.append(mmap.mmap(-1, 2 * claimed, flags=flags))
            views.append(memoryview(areas[-1])[::2])
    except (OSError, OverflowError, ValueError) as error:
        pytest.skip(f"this system cannot map {2 * claimed} bytes of address space: {error}")
    yield views
    for view in views:
        view.release()
    for area in areas:
        area.close()


def test_oversized_buffers_are_refused_before_any_copy(huge_views, hybrid_keys):
    public, private = hybrid_keys
    pieces = hp.pqc_encrypt_payload(b"m", public)
    for view in huge_views:
        cases = {
            "message is too long": lambda: hp.pqc_encrypt_payload(view, public),
            "ciphertext is too long": lambda: hp.pqc_decrypt_payload(view, private),
            "invalid key bytes: longer than 65536 bytes": lambda: hp.pqc_encrypt_payload(b"m", view),
            "the nonce must be 44 bytes": lambda: hp.pack_ciphertext(pieces[0], pieces[1], view, pieces[3]),
            "context is too long": lambda: hp.pqc_encrypt_payload(b"m", public, context=view),
            "the sealed payload must be 16 to 2147483647 bytes": lambda: hp.pack_ciphertext(*pieces[:3], view),
            "the pass phrase is longer than": lambda: hp.protect_private_key(private, view),
            "message is too long ": lambda: ferrovan.encrypt(view, public),
        }
        for reason, call in cases.items():
            with pytest.raises(ValueError) as caught:
                call()
            assert reason.strip() in str(caught.value)
        with pytest.raises(ferrovan.DecryptionError) as caught:
            ferrovan.decrypt(view, private)
        assert "ciphertext is too long" in str(caught.value.__cause__)


def chain(error):
    """Every exception reachable from error, and every value each holds, the locals of the
    frames its traceback keeps from the core's entry point on included."""
    seen, pending = [], [error]
    while pending:
        current = pending.pop()
        if current is None or any(current is known for known in seen):
            continue
        seen.append(current)
        pending += [current.__cause__, current.__context__]
    values, entered = [], False
    for exc in seen:
        values += [str(exc), repr(exc.args), *map(repr, vars(exc).values()), *getattr(exc, "__notes__", [])]
        values += traceback.format_exception_only(exc)
        tb = exc.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_name != "entry":
            tb = tb.tb_next  # the caller's frames, and the modules' records of the call
        entered = entered or tb is not None
        while tb is not None:
            values, tb = values + list(map(repr, tb.tb_frame.f_locals.values())), tb.tb_next
    assert entered, "the call passed through no entry point that clears its frames"
    return seen, "\n".join(values)


def test_errors_keep_no_key_material_or_plaintext(hybrid_keys):
    public, private = hybrid_keys
    seed = json.loads(private)["mlkem"]
    rsa_member = json.loads(private)["rsa"]
    secrets = (seed, rsa_member[40:80], private.decode()[:60], "plaintext-marker", "phrase-marker")
    packed = ferrovan.encrypt(b"plaintext-marker", public)
    other_private = hp.generate_mlkem_keypair()[1]
    broken = {
        "not JSON": private[:-3],
        "not UTF-8": private[:-2] + b"\xff}",
        "lone surrogate": private.decode()[:-2] + "\udc00}",
        "duplicate member": private[:-1] + b',"mlkem":"' + seed.encode() + b'"}',
        "member name": private[:-1] + b',"' + seed.encode() + b'":1}',
        "bad base64": private.replace(seed.encode(), b"!" + seed[1:].encode()),
        "protected": hp.protect_private_key(private, "phrase-marker"),
    }
    streamed = io.BytesIO()
    hp.encrypt_stream(io.BytesIO(b"plaintext-marker" * 10000), streamed, public)
    cut = streamed.getvalue()[:-1]  # fails at its last chunk, after the first has been written
    calls = [lambda k=key: hp.pqc_decrypt_payload(packed, k) for key in broken.values()]
    calls += [lambda: hp.decrypt_stream(io.BytesIO(cut), io.BytesIO(), private), lambda: hp.pqc_decrypt_payload(cut, private),
              lambda: hp.decrypt_stream(io.BytesIO(cut), io.BytesIO(), broken["not JSON"])]
    calls += [lambda k=key: ferrovan.decrypt(packed, k) for key in broken.values()]
    calls += [lambda k=key: hp.pqc_encrypt_payload(b"plaintext-marker", k) for key in broken.values()]
    calls += [lambda: hp.pqc_decrypt_payload(packed, other_private),
              lambda: ferrovan.decrypt(packed, other_private),
              lambda: PKCS1_OAEP.new(RSA.import_key(other_private)).decrypt(packed),
              lambda: hp.unprotect_private_key(broken["protected"], "wrong phrase-marker"),
              lambda: RSA.import_key(broken["protected"], "wrong phrase-marker"),
              lambda: hp.protect_private_key(private, 7),
              lambda: hp.reencrypt_legacy_ciphertext(bytes(128), private, public),
              lambda: RSA.import_key(broken["not JSON"])]
    for call in calls:
        with pytest.raises(Exception) as caught:
            call()
        exceptions, text = chain(caught.value)
        for secret in secrets:
            assert secret not in text, (caught.value, secret)
        # The core's own errors stand alone: nothing chained behind them.
        innermost = exceptions[-1]
        assert innermost.__context__ is None and innermost.__cause__ is None


def test_the_rsa_member_has_one_spelling(hybrid_keys, rsa3072, mlkem_keys):
    pkcs1_der = rsa3072.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.TraditionalOpenSSL,
                                      serialization.NoEncryption())
    members = json.loads(hybrid_private(mlkem_keys[1], rsa3072))
    assert hp.public_key_bytes(json.dumps(members, separators=(",", ":")))  # PKCS#8 reads
    members["rsa"] = base64.b64encode(pkcs1_der).decode()
    assert '"rsa" is not an unencrypted PKCS#8 DER RSA private key' in refusal(
        json.dumps(members, separators=(",", ":")).encode())
    public = json.loads(hybrid_keys[0])
    public["rsa"] = base64.b64encode(rsa3072.public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.PKCS1)).decode()
    with pytest.raises(ValueError, match='"rsa" is not a DER SubjectPublicKeyInfo RSA public key'):
        hp.pqc_encrypt_payload(b"m", json.dumps(public, separators=(",", ":")))
