import base64
import hashlib
import io
import json
import mmap
import os
import struct
import subprocess
import sys
from types import SimpleNamespace

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import halcyra_pqc as hp
from conftest import run_python
from halcyra_pqc._errors import AUTHENTICATION_FAILED

OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)


# The session's shared pairs (conftest.py) under the names these tests use.
@pytest.fixture(scope="session")
def hybrid_pair(hybrid_keys):
    return hybrid_keys


@pytest.fixture(scope="session")
def other_hybrid_pair(other_hybrid_keys):
    return other_hybrid_keys


@pytest.fixture(scope="session")
def mlkem_pair(mlkem_keys):
    return mlkem_keys


@pytest.fixture(scope="session")
def other_mlkem_pair():
    return hp.generate_mlkem_keypair()


@pytest.fixture(params=["hybrid", "mlkem"])
def mode(request):
    return request.param


@pytest.fixture
def pair(mode, request):
    return request.getfixturevalue(f"{mode}_pair")


@pytest.fixture
def other_pair(mode, request):
    return request.getfixturevalue(f"other_{mode}_pair")


def pack(result):
    if len(result) == 4:
        return hp.pack_ciphertext(*result)
    mlkem_ct, nonce, sealed = result
    return hp.pack_ciphertext(mlkem_ct, None, nonce, sealed)


def seal(message, key):
    return pack(hp.pqc_encrypt_payload(message, key))


def members(key_bytes):
    return json.loads(key_bytes)


def key_json(**fields):
    return json.dumps(fields, separators=(",", ":")).encode()


def b64(data):
    return base64.b64encode(data).decode()


def pkcs8(key, encryption=None):
    return key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                             encryption or serialization.NoEncryption())


def spki(key):
    return key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)


# --- round trips -----------------------------------------------------------------------


@pytest.mark.parametrize("size", [0, 1, 1023, 1 << 20])
def test_round_trip_sizes(pair, size):
    public, private = pair
    message = os.urandom(size)
    assert hp.pqc_decrypt_payload(seal(message, public), private) == message


def strided(data):
    """A non-contiguous view whose bytes equal `data`."""
    spread = bytearray(2 * len(data))
    spread[::2] = data
    return memoryview(spread)[::2]


@pytest.mark.parametrize(
    "wrap",
    [bytearray, memoryview, strided],
    ids=["bytearray", "memoryview", "strided-memoryview"],
)
def test_bytes_like_messages_and_ciphertexts(pair, wrap):
    public, private = pair
    message = wrap(os.urandom(300))
    packed = seal(message, public)
    assert hp.pqc_decrypt_payload(wrap(packed), private) == bytes(message)
    wrapped_parts = tuple(map(wrap, hp.pqc_encrypt_payload(message, public)))
    assert hp.pqc_decrypt_payload(pack(wrapped_parts), private) == bytes(message)


def test_key_bytes_as_text_and_private_key_encrypts(pair):
    public, private = pair
    # Text read from a key file, trailing newline included.
    public_text, private_text = public.decode() + "\n", private.decode() + "\n"
    assert hp.pqc_decrypt_payload(seal(b"to text", public_text), private_text) == b"to text"
    assert hp.pqc_decrypt_payload(seal(b"to private", private), private) == b"to private"
    packed = seal(b"memoryview", memoryview(public))
    assert hp.pqc_decrypt_payload(packed, bytearray(private)) == b"memoryview"


def test_reformatted_key_bytes_are_parsed_afresh(pair):
    # Bytes the generator never produced bypass the parse cache and take the validating path.
    public, private = pair
    public2 = json.dumps(members(public), indent=2).encode()
    private2 = json.dumps(members(private), indent=2)
    assert hp.pqc_decrypt_payload(seal(b"fresh", public2), private2) == b"fresh"
    assert hp.pqc_decrypt_payload(seal(b"mixed", public), private2) == b"mixed"


def test_encryption_result_shape(hybrid_pair, mlkem_pair):
    message = b"m" * 100
    hybrid = hp.pqc_encrypt_payload(message, hybrid_pair[0])
    assert [type(part) for part in hybrid] == [bytes] * 4
    assert [len(part) for part in hybrid] == [1088, 384, 44, 116]
    pure = hp.pqc_encrypt_payload(message, mlkem_pair[0])
    assert [type(part) for part in pure] == [bytes] * 3
    assert [len(part) for part in pure] == [1088, 44, 116]
    again = hp.pqc_encrypt_payload(message, hybrid_pair[0])
    assert all(a != b for a, b in zip(hybrid, again)), "every encryption must be fresh"


def test_wider_rsa_half_is_accepted(hybrid_pair):
    rsa4096 = rsa.generate_private_key(public_exponent=65537, key_size=4096)
    seed = members(hybrid_pair[1])["mlkem"]
    private = key_json(
        version=1,
        alg="ML-KEM-768+RSA-3072",
        kind="private",
        mlkem=seed,
        rsa=b64(pkcs8(rsa4096)),
    )
    packed = seal(b"wide", private)
    assert struct.unpack_from(">I", packed, 10 + 1088)[0] == 512
    assert hp.pqc_decrypt_payload(packed, private) == b"wide"
    with pytest.raises(ValueError, match="modulus is 512 bytes"):
        hp.pqc_decrypt_payload(seal(b"narrow", hybrid_pair[0]), private)


def test_rsa_half_of_a_size_not_whole_bytes(hybrid_pair):
    # A 3100-bit modulus takes 388 bytes; counting 387 made such keys encrypt but never decrypt.
    odd = rsa.generate_private_key(public_exponent=65537, key_size=3100)
    private = key_json(version=1, alg="ML-KEM-768+RSA-3072", kind="private",
                       mlkem=members(hybrid_pair[1])["mlkem"], rsa=b64(pkcs8(odd)))
    assert hp.pqc_decrypt_payload(seal(b"odd", private), private) == b"odd"


def test_packed_layout_follows_the_documented_derivation(hybrid_pair):
    """Decodes a ciphertext using only docs/formats.md and the raw primitives."""
    public, private = hybrid_pair
    packed = seal(b"by the book", public)
    assert packed[:6] == b"HPQC\x02\x02"
    fields, offset = [], 6
    for _ in range(5):
        (size,) = struct.unpack_from(">I", packed, offset)
        fields.append(packed[offset + 4 : offset + 4 + size])
        offset += 4 + size
    assert offset == len(packed)
    mlkem_ct, rsa_ct, nonce, commitment, sealed = fields
    header = packed[: len(packed) - len(sealed) - 4]

    key = members(private)
    mlkem_key = MLKEM768PrivateKey.from_seed_bytes(base64.b64decode(key["mlkem"]))
    mlkem_secret = mlkem_key.decapsulate(mlkem_ct)
    rsa_key = serialization.load_der_private_key(base64.b64decode(key["rsa"]), password=None)
    rsa_secret = rsa_key.decrypt(rsa_ct, OAEP)
    suite = b"ML-KEM-768+RSA-3072/OAEP-SHA256/HKDF-SHA256/AES-256-GCM"
    info = (b"HPQC v2 one-shot\x00" + suite + b"\x00" + hashlib.sha256(public).digest()
            + struct.pack(">I", 1088) + mlkem_ct + struct.pack(">I", 384) + rsa_ct + struct.pack(">I", 0))
    output = HKDF(hashes.SHA256(), 64, salt=None, info=info).derive(mlkem_secret + rsa_secret)
    assert output[32:] == commitment
    assert AESGCM(output[:32]).decrypt(nonce, sealed, header) == b"by the book"


# --- key bytes -------------------------------------------------------------------------


def test_hybrid_key_members(hybrid_pair):
    public, private = hybrid_pair
    pub, priv = members(public), members(private)
    assert list(pub) == list(priv) == ["version", "alg", "kind", "mlkem", "rsa"]
    assert (pub["version"], pub["alg"], pub["kind"]) == (1, "ML-KEM-768+RSA-3072", "public")
    assert (priv["version"], priv["alg"], priv["kind"]) == (1, "ML-KEM-768+RSA-3072", "private")
    assert public == key_json(**pub) and private == key_json(**priv), "compact encoding"

    mlkem_public = base64.b64decode(pub["mlkem"], validate=True)
    seed = base64.b64decode(priv["mlkem"], validate=True)
    assert len(mlkem_public) == 1184 and len(seed) == 64
    assert MLKEM768PrivateKey.from_seed_bytes(seed).public_key().public_bytes_raw() == mlkem_public

    public_der = base64.b64decode(pub["rsa"], validate=True)
    private_der = base64.b64decode(priv["rsa"], validate=True)
    rsa_public = serialization.load_der_public_key(public_der)
    rsa_private = serialization.load_der_private_key(private_der, password=None)
    assert rsa_public.key_size == 3072 and rsa_public.public_numbers().e == 65537
    assert public_der == spki(rsa_public) and private_der == pkcs8(rsa_private)
    pss = padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=padding.PSS.MAX_LENGTH)
    signature = rsa_private.sign(b"belongs together", pss, hashes.SHA256())
    rsa_public.verify(signature, b"belongs together", pss, hashes.SHA256())


def test_mlkem_key_members(mlkem_pair):
    public, private = mlkem_pair
    pub, priv = members(public), members(private)
    assert pub == {"version": 1, "alg": "ML-KEM-768", "kind": "public", "mlkem": pub["mlkem"]}
    assert list(priv) == ["version", "alg", "kind", "mlkem"] and priv["kind"] == "private"
    seed = base64.b64decode(priv["mlkem"], validate=True)
    derived = MLKEM768PrivateKey.from_seed_bytes(seed).public_key().public_bytes_raw()
    assert derived == base64.b64decode(pub["mlkem"])


@pytest.fixture(scope="session")
def parts(hybrid_pair, mlkem_pair):
    """Members of generated keys, and foreign DER, to build malformed key bytes from."""
    rsa2048 = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    return SimpleNamespace(
        pub=members(hybrid_pair[0]), priv=members(hybrid_pair[1]), mpub=members(mlkem_pair[0]),
        public_bytes=hybrid_pair[0], rsa2048=rsa2048, ec=ec.generate_private_key(ec.SECP256R1()),
        password=serialization.BestAvailableEncryption(b"pw"),
    )


def edit(base, **changes):
    fields = {**base, **changes}
    return key_json(**{name: value for name, value in fields.items() if value is not None})


def non_canonical(text):
    # The last character before the padding carries unused low bits that must be zero.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    data = text.rstrip("=")
    assert data != text, "needs a padded encoding"
    return data[:-1] + alphabet[alphabet.index(data[-1]) | 1] + text[len(data):]


def inconsistent_rsa(priv):
    der = base64.b64decode(priv["rsa"])
    n = serialization.load_der_private_key(der, None, unsafe_skip_rsa_key_validation=True).private_numbers()
    broken = rsa.RSAPrivateNumbers(n.p, n.q, n.d, n.dmp1 ^ 2, n.dmq1, n.iqmp, n.public_numbers)
    return pkcs8(broken.private_key(unsafe_skip_rsa_key_validation=True))


BAD_KEYS = {
    "empty": (lambda k: b"", "expected a JSON key object"),
    "pem-like": (lambda k: b"-----BEGIN PUBLIC KEY-----", "PEM data that is not an RSA"),
    "array": (lambda k: b"[1, 2]", "expected a JSON key object"),
    "not-utf8": (lambda k: b'{"version":\xff}', "not UTF-8"),
    "broken-json": (lambda k: b'{"version":1,', "not valid JSON"),
    "deep-nesting": (lambda k: b'{"a":' + b"[" * 60000, "not valid JSON"),
    "huge": (lambda k: b"{" + b" " * 70000 + b"}", "longer than"),
    "lone-surrogate": (lambda k: '{"version":1,"alg":"\udc00"}', "not valid Unicode"),
    "duplicate-member": (lambda k: k.public_bytes.replace(b'"kind":"public"', b'"kind":"public","kind":"x"'),
                         "appears more than once"),
    "no-version": (lambda k: edit(k.pub, version=None), '"version" member is missing'),
    "version-2": (lambda k: edit(k.pub, version=2), "unsupported key format version 2"),
    "version-text": (lambda k: edit(k.pub, version="1"), "unsupported key format version"),
    "version-bool": (lambda k: edit(k.pub, version=True), "unsupported key format version"),
    "unknown-alg": (lambda k: edit(k.pub, alg="ML-KEM-512"), "unknown algorithm label"),
    "unknown-kind": (lambda k: edit(k.pub, kind="secret"), '"kind" must be'),
    "extra-member": (lambda k: edit(k.pub, comment="hi"), "unexpected member 'comment'"),
    "hybrid-without-rsa": (lambda k: edit(k.pub, rsa=None), '"rsa" member is missing'),
    "pure-with-rsa": (lambda k: edit(k.mpub, rsa=k.pub["rsa"]), "unexpected member 'rsa'"),
    "mlkem-number": (lambda k: edit(k.pub, mlkem=5), "must be a base64 string"),
    "mlkem-not-base64": (lambda k: edit(k.pub, mlkem="@@@@"), "not valid base64"),
    "mlkem-bad-padding": (lambda k: edit(k.pub, mlkem=k.pub["mlkem"][:-1]), "not valid base64"),
    "mlkem-non-canonical": (lambda k: edit(k.mpub, mlkem=non_canonical(k.mpub["mlkem"])), "not canonical"),
    "mlkem-short": (lambda k: edit(k.pub, mlkem=b64(bytes(1183))), "1184-byte ML-KEM-768 public key"),
    "mlkem-invalid": (lambda k: edit(k.pub, mlkem=b64(b"\xff" * 1184)), "not a valid ML-KEM-768 public key"),
    "seed-short": (lambda k: edit(k.priv, mlkem=b64(bytes(63))), "64-byte ML-KEM-768 seed"),
    "public-with-seed": (lambda k: edit(k.pub, mlkem=k.priv["mlkem"]), "1184-byte"),
    "rsa-junk": (lambda k: edit(k.pub, rsa=b64(b"junk")), "not a DER SubjectPublicKeyInfo RSA public key"),
    "rsa-private-in-public": (lambda k: edit(k.pub, rsa=k.priv["rsa"]), "not a DER SubjectPublicKeyInfo"),
    "rsa-public-in-private": (lambda k: edit(k.priv, rsa=k.pub["rsa"]), "not an unencrypted PKCS#8"),
    "rsa-ec": (lambda k: edit(k.priv, rsa=b64(pkcs8(k.ec))), "not an unencrypted PKCS#8"),
    "rsa-encrypted": (lambda k: edit(k.priv, rsa=b64(pkcs8(k.rsa2048, k.password))), "not an unencrypted PKCS#8"),
    "rsa-2048": (lambda k: edit(k.priv, rsa=b64(pkcs8(k.rsa2048))), "has 2048 bits"),
    "rsa-2048-public": (lambda k: edit(k.pub, rsa=b64(spki(k.rsa2048.public_key()))), "has 2048 bits"),
    "rsa-inconsistent": (lambda k: edit(k.priv, rsa=b64(inconsistent_rsa(k.priv))), "inconsistent RSA"),
}


@pytest.mark.parametrize("case", BAD_KEYS)
def test_malformed_key_bytes(case, hybrid_pair, parts):
    build, reason = BAD_KEYS[case]
    key = build(parts)
    packed = seal(b"m", hybrid_pair[0])
    with pytest.raises(ValueError, match="^invalid key bytes: ") as encrypting:
        hp.pqc_encrypt_payload(b"m", key)
    assert reason in str(encrypting.value)
    with pytest.raises(ValueError, match="^invalid key bytes: ") as decrypting:
        hp.pqc_decrypt_payload(packed, key)
    assert reason in str(decrypting.value)


# --- wrong types ----------------------------------------------------------------------


@pytest.mark.parametrize("value", ["text", 7, None, [1, 2]], ids=["str", "int", "None", "list"])
def test_wrong_argument_types(hybrid_pair, value):
    public, private = hybrid_pair
    name = type(value).__name__
    if not isinstance(value, str):
        expected = f"^public_key_bytes must be bytes, a bytes-like object or str, not '{name}'$"
        with pytest.raises(TypeError, match=expected):
            hp.pqc_encrypt_payload(b"m", value)
        with pytest.raises(TypeError, match=f"not '{name}'$"):
            hp.pqc_decrypt_payload(seal(b"m", public), value)
    with pytest.raises(TypeError, match=f"^message must be a bytes-like object, not '{name}'$"):
        hp.pqc_encrypt_payload(value, public)
    with pytest.raises(TypeError, match=f"^ciphertext must be a bytes-like object, not '{name}'$"):
        hp.pqc_decrypt_payload(value, private)
    parts = list(hp.pqc_encrypt_payload(b"m", public))
    for index, part_name in enumerate(["mlkem_ct", "rsa_ct", "nonce", "sealed"]):
        if value is None and part_name == "rsa_ct":
            continue  # None is how an ML-KEM-only ciphertext is packed
        bad = parts[:index] + [value] + parts[index + 1 :]
        with pytest.raises(TypeError, match=f"^{part_name} must be a bytes-like object, not '{name}'$"):
            hp.pack_ciphertext(*bad)


@pytest.mark.parametrize(
    "index, size, reason",
    [(0, 1087, "ML-KEM-768 ciphertext must be 1088"), (1, 383, "RSA ciphertext must be"),
     (1, 0, "RSA ciphertext must be"), (2, 16, "nonce must be 44 bytes .* or 12"), (3, 15, "sealed payload must be")],
)
def test_pack_refuses_impossible_sizes(hybrid_pair, index, size, reason):
    parts = list(hp.pqc_encrypt_payload(b"m", hybrid_pair[0]))
    parts[index] = bytes(size)
    with pytest.raises(ValueError, match=reason):
        hp.pack_ciphertext(*parts)


def test_oversized_message_is_refused_before_copying(hybrid_pair):
    # Anonymous pages are only reserved, so this costs no real memory unless it gets copied.
    with mmap.mmap(-1, 2**31 - 16) as huge:
        with memoryview(huge) as view, pytest.raises(ValueError, match="message is too long"):
            hp.pqc_encrypt_payload(view, hybrid_pair[0])


# --- malformed ciphertexts -------------------------------------------------------------


def test_public_key_cannot_decrypt(pair):
    public, _ = pair
    with pytest.raises(ValueError, match="a public key cannot decrypt"):
        hp.pqc_decrypt_payload(seal(b"m", public), public)


def test_mode_mismatch(hybrid_pair, mlkem_pair):
    with pytest.raises(ValueError, match="ciphertext is hybrid ML-KEM-768\\+RSA but the key is ML-KEM-768;"):
        hp.pqc_decrypt_payload(seal(b"m", hybrid_pair[0]), mlkem_pair[1])
    with pytest.raises(ValueError, match="ciphertext is ML-KEM-768 only but the key is ML-KEM-768\\+RSA-3072;"):
        hp.pqc_decrypt_payload(seal(b"m", mlkem_pair[0]), hybrid_pair[1])


@pytest.mark.parametrize("cut", [0, 3, 6, 8, 10, 600, 1098, 1101, -17, -16, -1])
def test_truncated_ciphertext(pair, cut):
    public, private = pair
    packed = seal(b"0123456789", public)
    with pytest.raises(ValueError, match="truncated"):
        hp.pqc_decrypt_payload(packed[:cut], private)


@pytest.mark.parametrize("extra", [b"\x00", os.urandom(100)], ids=["one-byte", "many-bytes"])
def test_extended_ciphertext(pair, extra):
    public, private = pair
    with pytest.raises(ValueError, match=f"ciphertext has {len(extra)} unexpected bytes"):
        hp.pqc_decrypt_payload(seal(b"m", public) + extra, private)


def _rewrite(packed, offset, data):
    return packed[:offset] + data + packed[offset + len(data):]


@pytest.mark.parametrize(
    "offset, data, reason",
    [
        (0, b"HPQD", "wrong magic bytes"),
        (0, b"\x00\x00\x00\x00", "wrong magic bytes"),
        (4, b"\x00", "unsupported ciphertext format version 0"),
        (4, b"\x03", "unsupported ciphertext format version 3 \\(this release reads 1 and 2\\)"),
        (5, b"\x00", "unknown ciphertext mode 0x00"),
        (5, b"\x03", "unknown ciphertext mode 0x03"),
        (6, struct.pack(">I", 1089), "ML-KEM-768 ciphertext must be 1088 bytes, not 1089"),
        (6, b"\xff\xff\xff\xff", "ML-KEM-768 ciphertext must be 1088 bytes"),
        (-24, struct.pack(">I", 2**31), "sealed payload must be"),
    ],
)
def test_malformed_header(mlkem_pair, offset, data, reason):
    public, private = mlkem_pair
    packed = seal(b"0123", public)
    with pytest.raises(ValueError, match=reason):
        hp.pqc_decrypt_payload(_rewrite(packed, offset % len(packed), data), private)


# --- authentication ---------------------------------------------------------------------

HYBRID_FIELDS = [("prefix", 6), ("mlkem_len", 4), ("mlkem_ct", 1088), ("rsa_len", 4), ("rsa_ct", 384),
                 ("nonce_len", 4), ("nonce", 12), ("commitment_len", 4), ("commitment", 32), ("sealed_len", 4),
                 ("sealed", None)]
MLKEM_FIELDS = [field for field in HYBRID_FIELDS if not field[0].startswith("rsa")]
SWEEP = [("hybrid", name) for name, _ in HYBRID_FIELDS] + [("mlkem", name) for name, _ in MLKEM_FIELDS]


@pytest.mark.parametrize("sweep_mode, field", SWEEP)
def test_every_changed_byte_is_rejected(request, sweep_mode, field):
    public, private = request.getfixturevalue(f"{sweep_mode}_pair")
    packed = seal(b"tamper-evident payload", public)
    start, layout = 0, dict(HYBRID_FIELDS if sweep_mode == "hybrid" else MLKEM_FIELDS)
    for name in layout:
        if name == field:
            break
        start += layout[name]
    end = len(packed) if layout[field] is None else start + layout[field]
    content = not field.endswith("_len") and field != "prefix"
    for position in range(start, end):
        changed = bytearray(packed)
        changed[position] ^= 0x01
        with pytest.raises(ValueError) as caught:
            hp.pqc_decrypt_payload(bytes(changed), private)
        if content:
            assert str(caught.value) == AUTHENTICATION_FAILED, position
            assert caught.value.__cause__ is None and caught.value.__context__ is None, position
        else:
            assert str(caught.value) != AUTHENTICATION_FAILED, position


def test_wrong_key_pair(pair, other_pair):
    with pytest.raises(ValueError) as caught:
        hp.pqc_decrypt_payload(seal(b"not for you", pair[0]), other_pair[1])
    assert str(caught.value) == AUTHENTICATION_FAILED
    assert caught.value.__cause__ is None and caught.value.__context__ is None


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_arbitrary_input_raises_only_value_error(hybrid_pair, data):
    public, private = hybrid_pair
    packed = seal(b"fuzz", public)
    prefix = data.draw(st.integers(0, len(packed)))
    tail = data.draw(st.binary(max_size=64))
    assume(packed[:prefix] + tail != packed)
    with pytest.raises(ValueError):
        hp.pqc_decrypt_payload(packed[:prefix] + tail, private)
    key = data.draw(st.one_of(st.binary(max_size=200), st.text(max_size=200),
                              st.builds(lambda j: "{" + j, st.text(max_size=200))))
    with pytest.raises(ValueError):
        hp.pqc_encrypt_payload(b"fuzz", key)


def test_import_fails_clearly_without_mlkem_support(tmp_path):
    fake = tmp_path / "cryptography"
    fake.mkdir()
    (fake / "__init__.py").write_text('__version__ = "46.0.3"\n')
    package_dir = os.path.dirname(os.path.dirname(hp.__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), package_dir])}
    result = subprocess.run([sys.executable, "-c", "import halcyra_pqc"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "ImportError: halcyra_pqc needs the 'cryptography' package, version 47 or newer" in result.stderr
    assert "found version 46.0.3" in result.stderr


def test_import_in_a_subinterpreter_reports_the_real_cause():
    # `cryptography`'s native module refuses sub-interpreters; that, not a missing ML-KEM
    # module, is what the error must say.
    result = run_python("""
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import halcyra_pqc")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__, failure.excinfo.msg)
        finally:
            interp.close()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError halcyra_pqc could not import the 'cryptography' package it needs: ")
    assert "subinterpreters" in result.stdout and "ML-KEM" not in result.stdout


@pytest.fixture(scope="session")
def described_files(hybrid_pair, mlkem_pair):
    """Files of each kind describe() tells apart, with the kind and content it must find."""
    streamed = io.BytesIO()
    hp.encrypt_stream(io.BytesIO(os.urandom(300_000)), streamed, mlkem_pair[0])
    classic = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    pem = classic.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                serialization.NoEncryption())
    return {
        "hybrid private key": (hybrid_pair[1], "hybrid", "private-key"),
        "mlkem public key": (mlkem_pair[0], "mlkem", "public-key"),
        "protected key": (hp.protect_private_key(mlkem_pair[1], "pass"), "protected", "private-key"),
        "classic key": (pem, "classic-rsa", "private-key"),
        "streamed ciphertext": (streamed.getvalue(), "mlkem", "ciphertext"),
        "one-shot ciphertext": (hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"m", hybrid_pair[0])), "hybrid",
                                "ciphertext"),
        "broken key": (b'{"kind": "hybrid"}', "unknown", None),
        "noise": (os.urandom(5000), "unknown", None),
    }


@pytest.mark.parametrize("name", ["hybrid private key", "mlkem public key", "protected key", "classic key",
                                  "streamed ciphertext", "one-shot ciphertext", "broken key", "noise"])
def test_describe_reads_bytes_and_files_alike(described_files, name):
    data, kind, content = described_files[name]
    described = hp.describe(data)
    assert (described["kind"], described["content"]) == (kind, content)
    # A file object, with or without its size, gives the same description.
    assert hp.describe(io.BytesIO(data)) == hp.describe(io.BytesIO(data), len(data)) == described
    if described.get("form") == "streamed":
        # Its header and the whole's size are all a streamed ciphertext is described by.
        assert hp.describe(data[:4096], len(data)) == described
        assert described["message_size"] == 300_000 and described["chunks"] == 3
    # describe_key() agrees on keys and refuses the rest, with the reason.
    if content in ("private-key", "public-key"):
        assert hp.describe_key(data) == described
        assert "fingerprint" in described or kind == "protected"
    else:
        with pytest.raises(ValueError):
            hp.describe_key(data)
