"""halcyra_pqc.migration.migrate_ciphertext, the per-item conversion that distributed engines
map over a store: what each kind of item becomes, and which problems raise."""

import pytest
from cryptography.hazmat.primitives import serialization

import halcyra_pqc as hp
from halcyra_pqc._params import LEGACY_OAEP
from halcyra_pqc.migration import FAILED, MIGRATED, POST_QUANTUM, decrypt_legacy_ciphertext, migrate_ciphertext
from cli_support import LegacyKey

pytestmark = pytest.mark.engine


@pytest.fixture(scope="module")
def legacy():
    return LegacyKey.shared()


def test_each_kind_of_item(legacy, hybrid_keys, mlkem_keys):
    for public, private in (hybrid_keys, mlkem_keys):
        for data, scheme in ((legacy.oaep_encrypt(b"by oaep"), "oaep-sha1"), (legacy.v15(b"by v15"), "pkcs1v15")):
            result = migrate_ciphertext(bytearray(data), legacy.pem, public, verify_private_key_bytes=private)
            assert (result.status, result.scheme, result.reason) == (MIGRATED, scheme, None)
            expected = b"by oaep" if scheme == "oaep-sha1" else b"by v15"
            assert hp.pqc_decrypt_payload(result.ciphertext, private) == expected
        already = migrate_ciphertext(result.ciphertext, legacy.pem, public)
        assert already == (POST_QUANTUM, None, None, None)
    for garbage in (b"", b"x" * 127, b"x" * 129):
        result = migrate_ciphertext(memoryview(garbage), legacy.pem, hybrid_keys[0])
        assert result.status == FAILED and result.ciphertext is None
        assert result.reason.startswith(f"{len(garbage)} bytes: neither a classic ciphertext for this key (128 bytes")


def test_a_named_scheme_reads_that_scheme_only(legacy, hybrid_keys):
    v15 = legacy.v15(b"m")
    assert migrate_ciphertext(v15, legacy.pem, hybrid_keys[0], scheme="pkcs1v15").status == MIGRATED
    strict = migrate_ciphertext(v15, legacy.pem, hybrid_keys[0], scheme="oaep-sha1")
    assert strict.status == FAILED and strict.reason.endswith("(read as oaep-sha1 only)")


def test_problems_with_the_keys_raise(legacy, hybrid_keys, other_hybrid_keys):
    data = legacy.oaep_encrypt(b"m")
    old_public = legacy.rsa_public.save_pkcs1()
    with pytest.raises(ValueError, match="scheme must be one of"):
        migrate_ciphertext(data, legacy.pem, hybrid_keys[0], scheme="oaep")
    for not_legacy in (hybrid_keys[1], old_public):
        with pytest.raises(ValueError, match="must be a classic RSA private key"):
            migrate_ciphertext(data, not_legacy, hybrid_keys[0])
    with pytest.raises(ValueError, match="classic RSA key with no post-quantum half"):
        migrate_ciphertext(data, legacy.pem, old_public)
    with pytest.raises(ValueError, match="a public key cannot decrypt"):
        migrate_ciphertext(data, legacy.pem, hybrid_keys[0], verify_private_key_bytes=hybrid_keys[0])
    # Another private key is a verification that fails, for this item as for every other.
    wrong = migrate_ciphertext(data, legacy.pem, hybrid_keys[0], verify_private_key_bytes=other_hybrid_keys[1])
    assert wrong.status == FAILED and wrong.reason.startswith("verification failed")


def _encoded(kind: str, size: int) -> bytes:
    """An encoded message of `size` bytes whose padding is (or is not) PKCS#1 v1.5."""
    padding_bytes = {"v15": 8, "short-padding": 7}.get(kind, 8)
    head = {"wrong-type": b"\x00\x01", "nonzero-first": b"\x01\x02"}.get(kind, b"\x00\x02")
    body = head + b"\xa5" * padding_bytes + b"\x00"
    if kind == "no-separator":
        return head + b"\xa5" * (size - 2)
    if kind == "empty-message":
        return head + b"\xa5" * (size - 3) + b"\x00"
    return body + b"m" * (size - len(body))


@pytest.mark.parametrize("kind, opens", [
    ("v15", True), ("empty-message", True), ("short-padding", False), ("no-separator", False),
    ("wrong-type", False), ("nonzero-first", False),
])
def test_the_explicit_check_opens_exactly_the_well_padded(legacy, hybrid_keys, kind, opens):
    n, e = legacy.rsa_public.n, legacy.rsa_public.e
    size = (n.bit_length() + 7) // 8
    encoded = _encoded(kind, size)
    ciphertext = pow(int.from_bytes(encoded, "big"), e, n).to_bytes(size, "big")
    expected = encoded[encoded.index(b"\x00", 2) + 1:] if opens else None
    for open_it in (lambda: decrypt_legacy_ciphertext(ciphertext, legacy.pem, scheme="pkcs1v15")[1],
                    lambda: hp.pqc_decrypt_payload(hp.reencrypt_legacy_ciphertext(
                        ciphertext, legacy.pem, hybrid_keys[0], scheme="pkcs1v15"), hybrid_keys[1])):
        if opens:
            assert open_it() == expected
        else:
            with pytest.raises(ValueError, match="wrong key, or the ciphertext was modified"):
                open_it()
    result = migrate_ciphertext(ciphertext, legacy.pem, hybrid_keys[0])
    assert (result.status, result.scheme) == ((MIGRATED, "pkcs1v15") if opens else (FAILED, None))


def test_the_explicit_check_agrees_with_the_backend_and_the_old_libraries(legacy):
    # Real ciphertexts of both old libraries, OAEP ones with a damaged byte (which the backend's
    # OAEP refuses too), a number not below the modulus, and an OAEP item read as another key's.
    private = serialization.load_pem_private_key(legacy.pem, None)
    other = LegacyKey.make(1024)
    cases = [(legacy.oaep_encrypt(b"oaep"), ("oaep-sha1", b"oaep")), (legacy.v15(b"v15"), ("pkcs1v15", b"v15")),
             (b"\xff" * 128, None), (other.oaep_encrypt(b"elsewhere"), None)]
    for position in (0, 1, 64, 127):
        damaged = bytearray(legacy.oaep_encrypt(b"oaep"))
        damaged[position] ^= 0x40
        cases.append((bytes(damaged), None))
    for ciphertext, expected in cases:
        try:
            backend = private.decrypt(ciphertext, LEGACY_OAEP)
        except ValueError:
            backend = None
        try:
            found = decrypt_legacy_ciphertext(ciphertext, legacy.pem, scheme="oaep-sha1")
        except ValueError:
            found = None
        assert found == (None if backend is None else ("oaep-sha1", backend))
        if expected is not None:
            assert decrypt_legacy_ciphertext(ciphertext, legacy.pem) == expected
