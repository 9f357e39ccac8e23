"""The error table of docs/formats.md is the whole truth: every error the core raises, for
any input, is one of its rows, and every row is an error the core raises."""

import base64
import io
import json
import re
import struct
from pathlib import Path
from types import SimpleNamespace as FileLike

import pytest
from Crypto.Util.number import getPrime
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from hypothesis import given, settings
from hypothesis import strategies as st

import halcyra_pqc as hp

FORMATS = Path(__file__).resolve().parents[1] / "docs" / "formats.md"


def documented_errors():
    """(exception name, compiled pattern) for each row of the two tables under "## Errors"."""
    section = FORMATS.read_text(encoding="utf-8").split("## Errors", 1)[1]
    rows = []
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) == 3 and cells[1].startswith("`"):
            kind, text = cells[1].strip("`"), cells[2]
        elif len(cells) == 1 and cells[0].startswith("`"):
            kind, text = "ValueError", "`invalid key bytes: " + cells[0][1:]
        else:
            continue
        match = re.fullmatch(r"`(.*)`", text)
        if match is None or match.group(1) == "invalid key bytes: <reason>":  # rows that point at other rows
            continue
        pattern = re.escape(match.group(1))
        pattern = re.sub(r"<[^>]*>", ".+?", pattern.replace(r"\<", "<").replace(r"\>", ">"))
        rows.append((kind, re.compile(pattern)))
    return rows


ROWS = documented_errors()


def row_of(error):
    for index, (kind, pattern) in enumerate(ROWS):
        if type(error).__name__ == kind and pattern.fullmatch(str(error)):
            return index
    return None


def outcome(call):
    try:
        call()
    except (TypeError, ValueError) as error:
        assert error.__cause__ is None and error.__context__ is None, error
        return error
    return None


def b64(data):
    return base64.b64encode(data).decode()


def key_json(**members):
    return json.dumps(members, separators=(",", ":")).encode()


@pytest.fixture(scope="module")
def failing_calls(hybrid_keys, mlkem_keys, rsa_pkg_keys):
    pub, priv = hybrid_keys
    mpub, mpriv = mlkem_keys
    members = json.loads(pub)
    private_members = json.loads(priv)
    classic = rsa_pkg_keys[1].save_pkcs1()
    packed = hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"m", pub))
    mpacked = hp.pack_ciphertext(hp.pqc_encrypt_payload(b"m", mpub)[0], None, *hp.pqc_encrypt_payload(b"m", mpub)[1:])
    pieces = hp.pqc_encrypt_payload(b"m", pub)
    protected = hp.protect_private_key(mpriv, "pw")
    small = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    pkcs1 = small.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.TraditionalOpenSSL,
                                serialization.NoEncryption())
    numbers = small.private_numbers()
    broken = rsa.RSAPrivateNumbers(numbers.p, numbers.q, numbers.d, numbers.dmp1 ^ 2, numbers.dmq1, numbers.iqmp,
                                   numbers.public_numbers).private_key(unsafe_skip_rsa_key_validation=True)
    p, q = getPrime(600), getPrime(424)
    d = pow(65537, -1, (p - 1) * (q - 1))
    unbalanced = rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1), pow(q, -1, p), rsa.RSAPublicNumbers(
        65537, p * q)).private_key(unsafe_skip_rsa_key_validation=True).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL, serialization.NoEncryption())
    encrypted_pem = small.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                        serialization.BestAvailableEncryption(b"pw"))
    ec_pem = ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    hybrid_n = serialization.load_der_public_key(base64.b64decode(members["rsa"])).public_numbers().n
    wide = rsa.RSAPublicNumbers(2**64 + 1, hybrid_n).public_key()
    wide_spki = wide.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    even_spki = rsa.RSAPublicNumbers(65537, hybrid_n - 1).public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    version1 = hp.pack_ciphertext(*pieces[:2], pieces[2][:12], pieces[3])

    def with_members(**changes):
        return key_json(**{k: v for k, v in {**members, **changes}.items() if v is not None})

    def protected_with(**changes):
        fields = {**json.loads(protected), **changes}
        return key_json(**fields)

    def header(mode=2, version=1, magic=b"HPQC"):
        return struct.pack(">4sBB", magic, version, mode)

    decrypt = hp.pqc_decrypt_payload
    encrypt = hp.pqc_encrypt_payload
    hp.encrypt_stream(io.BytesIO(b"m"), streamed := io.BytesIO(), pub)
    streamed = streamed.getvalue()

    def stream_from(source, key=priv):
        return lambda: hp.decrypt_stream(source, io.BytesIO(), key)

    def stream_to(destination):
        return lambda: hp.encrypt_stream(io.BytesIO(b"m"), destination, pub)

    return [
        stream_from(io.BytesIO(streamed), classic), stream_from(b"bytes"), stream_to(7),
        stream_from(io.StringIO("text")), stream_to(io.StringIO()), stream_from(FileLike(read=lambda n: "text")),
        stream_from(FileLike(readinto=lambda b: -1)), stream_from(FileLike(read=lambda n: bytes(n + 1))),
        stream_to(FileLike(write=lambda d: "all")), stream_from(FileLike(readinto=lambda b: None)),
        stream_to(FileLike(write=lambda d: 0)), stream_from(io.BytesIO(streamed[:-1])),
        lambda: decrypt(streamed[:-1], priv),
        lambda: encrypt("text", pub), lambda: decrypt(7, priv), lambda: encrypt(b"m", 7),
        lambda: hp.protect_private_key(mpriv, 7), lambda: hp.pack_ciphertext(None, None, b"", b""),
        lambda: hp.pack_ciphertext(b"x", *pieces[1:]), lambda: hp.pack_ciphertext(pieces[0], b"x", *pieces[2:]),
        lambda: hp.pack_ciphertext(*pieces[:2], b"x", pieces[3]), lambda: hp.pack_ciphertext(*pieces[:3], b"x"),
        lambda: encrypt(b"m", b"{" + b" " * 70000), lambda: encrypt(b"m", "\udc00"),
        lambda: encrypt(b"m", b"{\xff}"), lambda: encrypt(b"m", b"{nope"), lambda: encrypt(b"m", b"{}"),
        lambda: encrypt(b"m", b'{"a":1,"a":2}'), lambda: encrypt(b"m", b"junk"),
        lambda: encrypt(b"m", with_members(extra=1)), lambda: encrypt(b"m", with_members(rsa=None)),
        lambda: encrypt(b"m", with_members(version=2)), lambda: encrypt(b"m", with_members(alg="x")),
        lambda: encrypt(b"m", with_members(kind="x")), lambda: encrypt(b"m", with_members(mlkem=5)),
        lambda: encrypt(b"m", with_members(mlkem="@@")), lambda: encrypt(b"m", with_members(mlkem="QR==")),
        lambda: encrypt(b"m", with_members(mlkem=b64(b"\xff" * 1184))),
        lambda: encrypt(b"m", with_members(mlkem=b64(bytes(5)))),
        lambda: encrypt(b"m", key_json(**{**private_members, "mlkem": b64(bytes(5))})),
        lambda: encrypt(b"m", key_json(**{**private_members, "rsa": b64(pkcs1)})),
        lambda: encrypt(b"m", with_members(rsa=b64(b"junk"))),
        lambda: encrypt(b"m", key_json(**{**private_members, "rsa": b64(small.private_bytes(
            serialization.Encoding.DER, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))})),
        lambda: encrypt(b"m", with_members(rsa=b64(wide_spki))),
        lambda: decrypt(bytes(256), broken.private_bytes(serialization.Encoding.DER,
                                                         serialization.PrivateFormat.TraditionalOpenSSL,
                                                         serialization.NoEncryption())),
        lambda: decrypt(bytes(128), unbalanced),
        lambda: decrypt(bytes(256), pkcs1.replace(pkcs1[10:14], bytes(4))),
        lambda: decrypt(bytes(256), ec_pem), lambda: decrypt(bytes(256), encrypted_pem),
        lambda: decrypt(bytes(256), protected),
        lambda: encrypt(b"m", classic), lambda: decrypt(packed, pub), lambda: decrypt(b"HP", priv),
        lambda: decrypt(header(magic=b"XXXX") + bytes(10), priv), lambda: decrypt(header(version=9), priv),
        lambda: decrypt(header(mode=7), priv), lambda: decrypt(header(), priv),
        lambda: decrypt(header() + struct.pack(">I", 1088), priv), lambda: decrypt(packed + b"x", priv),
        lambda: decrypt(header() + struct.pack(">I", 5), priv), lambda: decrypt(packed, mpriv),
        lambda: decrypt(mpacked, priv), lambda: decrypt(bytes(1000), classic), lambda: decrypt(packed, classic),
        lambda: decrypt(packed[:-1] + bytes([packed[-1] ^ 1]), priv),
        lambda: decrypt(hp.pack_ciphertext(pieces[0], bytes(512), *pieces[2:]), priv),
        lambda: hp.reencrypt_legacy_ciphertext(bytes(128), priv, pub),
        lambda: hp.reencrypt_legacy_ciphertext(bytes(128), classic, pub, scheme="rot13"),
        lambda: hp.reencrypt_legacy_ciphertext(bytes(128), classic, pub, scheme="oaep-sha1"),
        lambda: hp.protect_private_key(mpriv, ""), lambda: hp.protect_private_key(mpriv, b"x" * 70000),
        lambda: hp.protect_private_key(mpriv, "\udc00"), lambda: hp.unprotect_private_key(protected, None),
        lambda: hp.unprotect_private_key(protected, "wrong"), lambda: hp.unprotect_private_key(mpriv, "pw"),
        lambda: hp.protect_private_key(mpub, "pw"),
        lambda: hp.unprotect_private_key(protected_with(version=3), "pw"),
        lambda: hp.unprotect_private_key(protected_with(kdf="x"), "pw"),
        lambda: hp.unprotect_private_key(protected_with(r="8"), "pw"),
        lambda: hp.unprotect_private_key(protected_with(log2_n=40), "pw"),
        lambda: hp.unprotect_private_key(protected_with(salt=b64(bytes(4))), "pw"),
        lambda: hp.unprotect_private_key(protected_with(nonce=b64(bytes(4))), "pw"),
        lambda: hp.unprotect_private_key(protected_with(sealed=b64(bytes(4))), "pw"),
        lambda: hp.unprotect_private_key(protected_with(log2_n=13), "pw"),
        lambda: hp.unprotect_private_key(protected_with(p=0), "pw"),
        lambda: hp.unprotect_private_key(protected_with(log2_n=16, r=1), "pw"),
        lambda: hp.unprotect_private_key(protected_with(commitment=b64(bytes(4))), "pw"),
        lambda: encrypt(b"m", with_members(rsa=b64(even_spki))),
        lambda: encrypt(b"m", pub, context="text"), lambda: encrypt(b"m", pub, context=bytes(70000)),
        lambda: decrypt(version1, priv, context=b"row"), lambda: decrypt(bytes(128), classic, context=b"row"),
        lambda: decrypt(packed[:1486] + struct.pack(">I", 5) + packed[1490:], priv),
        lambda: decrypt(packed[:1502] + struct.pack(">I", 5) + packed[1506:], priv),
    ]


def test_every_error_is_documented_and_every_row_occurs(failing_calls, monkeypatch):
    from halcyra_pqc import _protection
    monkeypatch.setattr(_protection, "SCRYPT_LOG2_N", 14)
    seen = set()
    for call in failing_calls:
        error = outcome(call)
        assert error is not None, "expected a failure"
        row = row_of(error)
        assert row is not None, f"not in the error table: {type(error).__name__}: {error}"
        seen.add(row)
    # The message-too-long row needs gigabytes; tests/test_core_limits.py reaches it.
    too_long = {index for index, (_, pattern) in enumerate(ROWS) if pattern.fullmatch("message is too long: 1 bytes, at most 0 are allowed")}
    unreached = set(range(len(ROWS))) - seen - too_long
    assert not unreached, [ROWS[index][1].pattern for index in sorted(unreached)]


@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_arbitrary_arguments_raise_only_documented_errors(hybrid_keys, data):
    pub, priv = hybrid_keys
    packed = hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"fuzz", pub))
    streamed = io.BytesIO()
    hp.encrypt_stream(io.BytesIO(b"fuzz"), streamed, pub)
    def mutated(base):
        cut = data.draw(st.integers(0, len(base)))
        return base[:cut] + data.draw(st.binary(max_size=40)) + base[cut + data.draw(st.integers(0, 40)):]
    junk = st.one_of(st.none(), st.integers(), st.text(max_size=50), st.binary(max_size=80),
                     st.builds(bytearray, st.binary(max_size=20)), st.lists(st.integers(), max_size=3))
    key = data.draw(st.one_of(junk, st.builds(lambda: mutated(priv)), st.builds(lambda: mutated(pub).decode("latin-1"))))
    ciphertext = data.draw(st.one_of(junk, st.builds(lambda: mutated(packed)),
                                     st.builds(lambda: mutated(streamed.getvalue()))))
    calls = [lambda: hp.pqc_decrypt_payload(ciphertext, key), lambda: hp.pqc_encrypt_payload(ciphertext, key),
             lambda: hp.decrypt_stream(io.BytesIO(ciphertext) if isinstance(ciphertext, bytes) else ciphertext,
                                       io.BytesIO(), key),
             lambda: hp.public_key_bytes(key), lambda: hp.reencrypt_legacy_ciphertext(ciphertext, key, pub),
             lambda: hp.pack_ciphertext(ciphertext, None, ciphertext, ciphertext)]
    for call in calls:
        error = outcome(call)
        if error is not None:
            assert row_of(error) is not None, f"not in the error table: {type(error).__name__}: {error}"
