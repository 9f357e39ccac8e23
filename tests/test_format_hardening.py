"""Version 2 of the formats and the core's hardening: a ciphertext or protected key opens under
one key (or pass phrase) and one context at most, and says nothing more when it does not;
classic data keeps implicit rejection whatever the backend; one key has one identity however
it is spelled. (Refused moduli and scrypt parameters are with test_error_table.py and
test_key_protection.py, secrets left in the frames of a traceback with test_core_limits.py.)"""

import dataclasses
import hmac
import json
import os

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import halcyra_pqc as hp
from halcyra_pqc import _implicit_rejection, _kem, _payload, _protection, _schedule, ferrovan
from halcyra_pqc._cli.keyfiles import fingerprint
from halcyra_pqc._envelope import pack_header
from halcyra_pqc._errors import AUTHENTICATION_FAILED, WRONG_PASSPHRASE
from halcyra_pqc._key_format import b64, base64_member, dump
from halcyra_pqc._key_reader import load_key

FAILED = f"^{AUTHENTICATION_FAILED}$"
DER, PKCS8 = serialization.Encoding.DER, serialization.PrivateFormat.PKCS8
CLEAR = serialization.NoEncryption()


def gf_mult(x: int, y: int) -> int:
    """GCM's multiplication in GF(2**128), blocks as big-endian integers (SP 800-38D)."""
    z = 0
    for i in range(127, -1, -1):
        z ^= x if y >> i & 1 else 0
        x = x >> 1 ^ (0xE1 << 120 if x & 1 else 0)
    return z


def sealed_for_two_keys(keys, nonce: bytes, associated: bytes) -> bytes:
    """Two blocks and a tag that AES-GCM accepts under both keys, as whoever holds both can make:
    GHASH is linear in a ciphertext block, so one free block makes the two tags equal."""
    blocks = [int.from_bytes(associated[i:i + 16].ljust(16, b"\0"), "big") for i in range(0, len(associated), 16)]
    blocks += [0, int.from_bytes(os.urandom(16), "big"), 8 * len(associated) << 64 | 256]
    parts = []  # (tag with the free block zero, the free block's weight H**3) per key
    for key in keys:
        aes = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
        h, ghash = int.from_bytes(aes.update(bytes(16)), "big"), 0
        for block in blocks:
            ghash = gf_mult(ghash ^ block, h)
        parts.append((ghash ^ int.from_bytes(aes.update(nonce + b"\0\0\0\1"), "big"), gf_mult(gf_mult(h, h), h)))
    (base1, weight1), (base2, weight2) = parts
    inverse = 1 << 127  # the field's one; raised below to (weight1 + weight2) ** (2**128 - 2)
    for bit in bin(2**128 - 2)[2:]:
        inverse = gf_mult(inverse, inverse)
        inverse = gf_mult(inverse, weight1 ^ weight2) if bit == "1" else inverse
    free = gf_mult(base1 ^ base2, inverse)
    return b"".join(v.to_bytes(16, "big") for v in (free, blocks[-2], base1 ^ gf_mult(free, weight1)))


@pytest.mark.parametrize("kind", ["hybrid", "mlkem"])
def test_a_ciphertext_made_to_open_under_two_keys_opens_under_one(kind, hybrid_keys, mlkem_keys):
    # The second key: another ML-KEM seed, the same RSA half for hybrid keys.
    public, private = hybrid_keys if kind == "hybrid" else mlkem_keys
    second = dump({**json.loads(private), "mlkem": json.loads(hp.generate_mlkem_keypair()[1])["mlkem"]})
    keys = load_key(private, "k"), load_key(second, "k")
    secrets, mlkem_ct, rsa_ct = _kem.encapsulate(keys[0])
    schedules = [_schedule.derive(_schedule.FORM_ONE_SHOT, key, s, mlkem_ct, rsa_ct, b"") for key, s in
                 zip(keys, (secrets, _kem.decapsulate(keys[1], mlkem_ct, rsa_ct)))]
    nonce = os.urandom(12)
    header = pack_header(mlkem_ct, rsa_ct, nonce, schedules[0].commitment)
    sealed = sealed_for_two_keys([s.payload_key for s in schedules], nonce, header)
    # AES-GCM alone accepts it under both keys, to different plaintexts.
    opened = [AESGCM(s.payload_key).decrypt(nonce, sealed, header) for s in schedules]
    packed = hp.pack_ciphertext(mlkem_ct, rsa_ct, nonce + schedules[0].commitment, sealed)
    assert opened[0] != opened[1] and hp.pqc_decrypt_payload(packed, private) == opened[0]
    with pytest.raises(ValueError, match=FAILED):
        hp.pqc_decrypt_payload(packed, second)


@pytest.mark.parametrize("version", [1, 2])
def test_a_protected_key_made_to_check_under_two_pass_phrases_tells_nothing(version):
    header = {"version": version, "kind": "protected", "kdf": "scrypt", "salt": b64(os.urandom(16)), "log2_n": 14,
              "r": 8, "p": 1, "cipher": "AES-256-GCM", "nonce": b64(os.urandom(12))}
    (key1, commit1), (key2, _) = (_protection._derive(phrase, header) for phrase in (b"alpha", b"beta"))
    sealed = sealed_for_two_keys([key1, key2], base64_member(header, "nonce"), dump(header))
    commitment = {"commitment": b64(hmac.digest(commit1, dump(header), "sha256"))} if version == 2 else {}
    blob = dump({**header, **commitment, "sealed": b64(sealed)})
    for phrase in ("alpha", "beta", "gamma"):
        with pytest.raises(ValueError, match=f"^{WRONG_PASSPHRASE}$"):
            hp.unprotect_private_key(blob, phrase)


SUITES = {"RSA-4096 named RSA-3072": b"ML-KEM-768+RSA-3072/OAEP-SHA256/HKDF-SHA256/AES-256-GCM",
          "hybrid named ML-KEM": b"ML-KEM-768/HKDF-SHA256/AES-256-GCM"}


@pytest.mark.parametrize("change", ["form", "recipient", *SUITES, "context"])
def test_every_input_of_the_schedule_is_bound(change, hybrid_keys, monkeypatch):
    private, real = hybrid_keys[1], _payload.derive
    if change.startswith("RSA-4096"):
        wide = rsa.generate_private_key(public_exponent=65537, key_size=4096)
        private = dump({**json.loads(private), "rsa": b64(wide.private_bytes(DER, PKCS8, CLEAR))})
    with monkeypatch.context() as patched:  # the encryption labels one input otherwise
        if change == "form":
            patched.setattr(_payload, "FORM_ONE_SHOT", b"HPQC v2 stream")
        elif change == "recipient":
            other = load_key(hp.generate_mlkem_keypair()[0], "k").recipient
            patched.setattr(_payload, "derive",
                            lambda f, k, *rest: real(f, dataclasses.replace(k, recipient=other), *rest))
        elif change in SUITES:
            patched.setattr(_schedule, "suite", lambda key: SUITES[change])
        packed = hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"row 1", private, context=b"table t, row 1"))
    with pytest.raises(ValueError, match=FAILED):
        hp.pqc_decrypt_payload(packed, private, context=b"table t, row 2" if change == "context" else b"table t, row 1")
    if change == "context":
        assert hp.pqc_decrypt_payload(packed, private, context=memoryview(b"table t, row 1")) == b"row 1"


def test_a_failed_oaep_decryption_gives_one_stand_in_secret(hybrid_keys):
    key = load_key(hybrid_keys[1], "k")
    _, mlkem_ct, rsa_ct = _kem.encapsulate(key)
    forged = (rsa_ct[:-1] + bytes([rsa_ct[-1] ^ i]) for i in (1, 1, 2))
    first, again, other = (_kem.decapsulate(key, mlkem_ct, ct)[32:] for ct in forged)
    assert first == again != other


def refused(key, ciphertext):
    raise ValueError("Decryption failed")  # what a backend without implicit rejection does


@pytest.mark.parametrize("bits", [1024, 2051])
def test_the_own_implicit_rejection_gives_the_backends_stand_in(bits, monkeypatch):
    assert _implicit_rejection.backend_rejects_implicitly()
    monkeypatch.setattr(_implicit_rejection, "_backend_decrypt", refused)
    _implicit_rejection.backend_rejects_implicitly.cache_clear()
    key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
    pem = key.private_bytes(serialization.Encoding.PEM, PKCS8, CLEAR)
    n, size = key.public_key().public_numbers().n, (bits + 7) // 8
    # Seven padding bytes (one too few), no separator, the wrong block type, a valid one, noise.
    cases = [b"\0\2" + b"\1" * 7 + b"\0" + b"m" * (size - 10), b"\0\2" + b"\1" * (size - 2),
             b"\0\1" + b"\xff" * (size - 3) + b"\0", *(os.urandom(size - 1) for _ in range(8))]
    cases = [pow(int.from_bytes(c, "big"), 65537, n).to_bytes(size, "big") for c in cases]
    try:
        assert not _implicit_rejection.backend_rejects_implicitly()
        for ciphertext in [*cases, key.public_key().encrypt(b"valid", padding.PKCS1v15())]:
            assert hp.pqc_decrypt_payload(ciphertext, pem) == key.decrypt(ciphertext, padding.PKCS1v15())
    finally:
        _implicit_rejection.backend_rejects_implicitly.cache_clear()


def test_one_key_has_one_identity_however_it_is_spelled(hybrid_keys, mlkem_keys):
    def spellings(data):
        members = json.loads(data)
        return [json.dumps(dict(reversed(members.items()))).encode(), json.dumps(members, indent=2).encode(),
                data.replace(b"/", b"\\/").replace(b'"kind"', b'"\\u006bind"')]
    for public, private in (hybrid_keys, mlkem_keys):
        for spelled, other in zip(spellings(public), spellings(private)):
            assert hp.public_key_bytes(spelled) == hp.public_key_bytes(other) == public
            assert fingerprint(spelled) == fingerprint(other) == fingerprint(public)
            assert hp.pqc_decrypt_payload(ferrovan.encrypt(b"m", spelled), other) == b"m"
