"""halcyra_pqc.migration.migrate_ciphertext, the per-item conversion that distributed engines
map over a store: what each kind of item becomes, and which problems raise."""

import pytest

import halcyra_pqc as hp
from halcyra_pqc.migration import FAILED, MIGRATED, POST_QUANTUM, migrate_ciphertext
from cli_support import LegacyKey


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
