"""The frozen vectors in tests/vectors/: every kind of key, ciphertext and signature that users
may have stored is still read, through the core and through both modules, to the exact
plaintext. These tests only read the files. A failure means stored data would no longer be
readable: a format break, never a reason to make the vectors again."""

import functools
import hashlib
import io
import json
import struct
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import serialization

import halcyra_pqc as hp
import halcyra_pqc.ferrovan as ferrovan
from halcyra_pqc._errors import NO_POST_QUANTUM_HALF
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

VECTORS = Path(__file__).resolve().parent / "vectors"
MANIFEST = json.loads((VECTORS / "manifest.json").read_text(encoding="utf-8"))
BY_NAME = {vector["name"]: vector for vector in MANIFEST["vectors"]}
HASH_NAMES = {"MD5", "SHA-1", "SHA-224", "SHA-256", "SHA-384", "SHA-512"}


def names(kind, **match):
    return [vector["name"] for vector in MANIFEST["vectors"]
            if vector["kind"] == kind and all(vector.get(k) == v for k, v in match.items())]


@functools.cache
def read(file_name) -> bytes:
    return (VECTORS / file_name).read_bytes()


def file_of(vector_name, role) -> bytes:
    return read(BY_NAME[vector_name]["files"][role])


def counter_stream(seed: bytes, length: int) -> bytes:
    blocks = (hashlib.sha256(seed + i.to_bytes(8, "big")).digest() for i in range((length + 31) // 32))
    return b"".join(blocks)[:length]


@functools.cache
def plaintext(vector_name) -> bytes:
    entry = BY_NAME[vector_name]["plaintext"]
    if "hex" in entry:
        return bytes.fromhex(entry["hex"])
    message = counter_stream(entry["seed"].encode("ascii"), entry["size"])
    assert hashlib.sha256(message).hexdigest() == entry["sha256"]
    return message


def key_files(vector_name):
    return BY_NAME[BY_NAME[vector_name]["key"]]["files"]


def public_numbers(data: bytes):
    load = serialization.load_pem_public_key if data.startswith(b"-----") else serialization.load_der_public_key
    return load(data).public_numbers()


# What a program does to decrypt, through each entry point: (ciphertext, private key bytes).
READERS = {
    "core": lambda ct, key: hp.pqc_decrypt_payload(ct, key),
    "core-key-as-text": lambda ct, key: hp.pqc_decrypt_payload(ct, key.decode("ascii")),
    "ferrovan": lambda ct, key: ferrovan.decrypt(ct, ferrovan.PrivateKey.load_pkcs1(key)),
    "mirelock": lambda ct, key: PKCS1_OAEP.new(RSA.import_key(key)).decrypt(ct),
}


# --- the files themselves ------------------------------------------------------------------


def test_every_file_is_exactly_the_one_the_manifest_records():
    # An edited, added or lost vector file is caught here, before it can pass for the format.
    on_disk = {path.name for path in VECTORS.iterdir()} - {"manifest.json"}
    assert on_disk == set(MANIFEST["files"])
    for file_name, entry in MANIFEST["files"].items():
        data = read(file_name)
        assert (len(data), hashlib.sha256(data).hexdigest()) == (entry["size"], entry["sha256"]), file_name
    referenced = {f for vector in MANIFEST["vectors"] for f in vector["files"].values()}
    assert referenced == on_disk


def test_the_vectors_cover_every_form():
    for alg in ("hybrid", "mlkem"):
        for version in (None, 2):
            sizes = sorted(len(plaintext(n)) for n in names("ciphertext", alg=alg, version=version))
            assert sizes[0] == 0 and 0 < sizes[1] < 2**20 <= sizes[-1]
    assert names("context-ciphertext")
    for alg in ("hybrid", "mlkem"):  # the streamed form around its chunk boundaries
        chunk = BY_NAME[f"{alg}-stream-short"]["chunk_size"]
        sizes = sorted(len(plaintext(n)) for n in names("streamed-ciphertext", alg=alg) if "context" not in BY_NAME[n])
        assert sizes[0] == 0 and 0 < sizes[1] < chunk == sizes[2] and 2 * chunk < sizes[3] < 3 * chunk
    assert {BY_NAME[n].get("version") for n in names("protected-private-key")} == {None, 2}
    assert {BY_NAME[n]["hash"] for n in names("signature")} == HASH_NAMES
    assert {BY_NAME[n]["hash"] for n in names("classic-signature")} == HASH_NAMES
    assert {BY_NAME[n]["scheme"] for n in names("classic-ciphertext")} == {"pkcs1v15", "oaep-sha1"}
    classic_keys = {role for n in names("classic-key-pair") for role in BY_NAME[n]["files"]}
    assert {"private-pkcs1-pem", "private-pkcs1-der", "private-pkcs8-pem", "private-pkcs8-der"} <= classic_keys


# --- post-quantum keys and ciphertexts -------------------------------------------------------


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("vector", names("ciphertext"))
def test_ciphertexts_decrypt_to_their_exact_plaintext(vector, reader):
    private = read(key_files(vector)["private"])
    assert READERS[reader](file_of(vector, "ciphertext"), private) == plaintext(vector)


@pytest.mark.parametrize("vector", names("ciphertext"))
def test_ciphertext_layout(vector):
    # The layout of docs/formats.md, read here without the core: prefix, then length-prefixed
    # fields to the end, and a size of 1522 + m (hybrid, RSA-3072) or 1134 + m bytes, 36 more
    # in version 2 for the commitment.
    packed = file_of(vector, "ciphertext")
    hybrid = BY_NAME[vector]["alg"] == "hybrid"
    version = BY_NAME[vector].get("version", 1)
    assert packed[:6] == bytes([*b"HPQC", version, 2 if hybrid else 1])
    offset, sizes = 6, []
    while offset < len(packed):
        (size,) = struct.unpack_from(">I", packed, offset)
        sizes.append(size)
        offset += 4 + size
    message_size = len(plaintext(vector))
    expected = [1088, 384, 12] if hybrid else [1088, 12]
    expected += [32, message_size + 16] if version == 2 else [message_size + 16]
    assert (offset, sizes) == (len(packed), expected)
    assert len(packed) == (1522 if hybrid else 1134) + 36 * (version == 2) + message_size


def stream_read(packed, private, context=None):
    message = io.BytesIO()
    hp.decrypt_stream(io.BytesIO(packed), message, private, context=context)
    return message.getvalue()


@pytest.mark.parametrize("reader", [*READERS, "stream"])
@pytest.mark.parametrize("vector", [n for n in names("streamed-ciphertext") if "context" not in BY_NAME[n]])
def test_streamed_ciphertexts_decrypt_to_their_exact_plaintext(vector, reader):
    private = read(key_files(vector)["private"])
    assert READERS.get(reader, stream_read)(file_of(vector, "ciphertext"), private) == plaintext(vector)


@pytest.mark.parametrize("vector", names("key-pair"))
def test_private_keys_derive_their_stored_public_keys(vector):
    files = BY_NAME[vector]["files"]
    public, private = read(files["public"]), read(files["private"])
    assert hp.public_key_bytes(private) == public
    assert hp.public_key_bytes(private.decode("ascii")) == public
    assert hp.public_key_bytes(public) == public


@pytest.mark.parametrize("vector", names("key-pair"))
def test_mirelock_imports_stored_keys_with_their_public_halves(vector):
    files = BY_NAME[vector]["files"]
    public, private = read(files["public"]), read(files["private"])
    key = RSA.import_key(private)
    assert key.publickey().export_key() == public
    assert key.export_key() == private
    assert RSA.import_key(public).export_key() == public


@pytest.mark.parametrize("vector", names("key-pair"))
def test_new_data_encrypted_to_stored_keys_decrypts(vector):
    files = BY_NAME[vector]["files"]
    public, private = read(files["public"]), read(files["private"])
    message = b"written after the vectors were made"
    pieces = hp.pqc_encrypt_payload(message, public)
    if len(pieces) == 3:
        pieces = (pieces[0], None, *pieces[1:])
    made = [
        hp.pack_ciphertext(*pieces),
        ferrovan.encrypt(message, ferrovan.PublicKey.load_pkcs1(public)),
        PKCS1_OAEP.new(RSA.import_key(public)).encrypt(message),
    ]
    for packed in made:
        assert READERS["core"](packed, private) == message


# --- the protected private key ----------------------------------------------------------------


@pytest.fixture(scope="module", params=names("protected-private-key"))
def protected(request):
    vector = BY_NAME[request.param]
    name = request.param
    return vector, file_of(name, "protected"), read(key_files(name)["private"]), read(key_files(name)["public"])


def test_protected_key_unprotects_to_the_stored_private_key(protected):
    vector, data, private, _ = protected
    assert hp.unprotect_private_key(data, vector["passphrase"]) == private
    # A str pass phrase stands for its UTF-8 encoding.
    assert hp.unprotect_private_key(data.decode("ascii"), vector["passphrase"].encode("utf-8")) == private


def test_mirelock_imports_the_protected_key_with_its_pass_phrase(protected):
    vector, data, private, public = protected
    key = RSA.import_key(data, vector["passphrase"])
    assert key.export_key() == private
    assert key.publickey().export_key() == public
    short = [n for n in names("ciphertext", key=vector["key"]) if 0 < len(plaintext(n)) < 2**20]
    for name in short:
        assert PKCS1_OAEP.new(key).decrypt(file_of(name, "ciphertext")) == plaintext(name)


@pytest.mark.parametrize("read_with", [hp.pqc_decrypt_payload, stream_read])
@pytest.mark.parametrize("vector", [n for n in names("context-ciphertext") + names("streamed-ciphertext")
                                    if "context" in BY_NAME[n]])
def test_context_ciphertexts_decrypt_only_with_their_context(vector, read_with):
    private, context = read(key_files(vector)["private"]), bytes.fromhex(BY_NAME[vector]["context"]["hex"])
    packed = file_of(vector, "ciphertext")
    assert read_with(packed, private, context=context) == plaintext(vector)
    for wrong in (None, context + b"!", context[:-1]):
        with pytest.raises(ValueError, match="^decryption failed: wrong key, or the ciphertext was modified$"):
            read_with(packed, private, context=wrong)


# --- signatures ------------------------------------------------------------------------------------


def signature_keys(vector):
    """(public, private) key bytes that ferrovan reads for the vector: the hybrid key bytes, or
    the classic key saved as DER."""
    files = key_files(vector)
    if "public" in files:
        return read(files["public"]), read(files["private"])
    return read(files["public-pkcs1-der"]), read(files["private-pkcs1-der"])


@pytest.mark.parametrize("vector", names("signature") + names("classic-signature"))
def test_signatures_verify_and_are_made_again_byte_for_byte(vector):
    entry = BY_NAME[vector]
    message, signature = bytes.fromhex(entry["message"]["hex"]), file_of(vector, "signature")
    public, private = signature_keys(vector)
    assert ferrovan.verify(message, signature, ferrovan.PublicKey.load_pkcs1(public)) == entry["hash"]
    # PKCS#1 v1.5 signing is deterministic: signing again gives the stored signature.
    assert ferrovan.sign(message, ferrovan.PrivateKey.load_pkcs1(private), entry["hash"]) == signature
    with pytest.raises(ferrovan.VerificationError):
        ferrovan.verify(message + b".", signature, public)


# --- classic keys and ciphertexts from the old libraries -----------------------------------


def classic_cases():
    """(key vector, private key role, reader) for every saved private key and every reader."""
    for key_vector in names("classic-key-pair"):
        for role in BY_NAME[key_vector]["files"]:
            if not role.startswith("private"):
                continue
            for reader in READERS:
                if reader != "core-key-as-text" or role.endswith("pem"):
                    yield pytest.param(key_vector, role, reader, id=f"{key_vector}-{role}-{reader}")


@pytest.mark.parametrize("key_vector, role, reader", list(classic_cases()))
def test_classic_ciphertexts_decrypt_with_every_saved_form_of_their_key(key_vector, role, reader):
    private = file_of(key_vector, role)
    vectors = names("classic-ciphertext", key=key_vector)
    assert len(vectors) == 3
    for vector in vectors:
        assert READERS[reader](file_of(vector, "ciphertext"), private) == plaintext(vector), vector


@pytest.mark.parametrize("vector", names("classic-ciphertext"))
def test_classic_ciphertexts_convert_to_post_quantum_ones(vector):
    (hybrid,) = names("key-pair", alg="hybrid")
    legacy = read(key_files(vector)["private-pkcs1-pem"])
    packed = hp.reencrypt_legacy_ciphertext(file_of(vector, "ciphertext"), legacy, file_of(hybrid, "public"),
                                            scheme=BY_NAME[vector]["scheme"])
    assert hp.pqc_decrypt_payload(packed, file_of(hybrid, "private")) == plaintext(vector)


@pytest.mark.parametrize("key_vector", names("classic-key-pair"))
def test_classic_keys_give_their_saved_public_halves(key_vector):
    files = BY_NAME[key_vector]["files"]
    publics = [read(f) for role, f in files.items() if role.startswith("public")]
    numbers = {public_numbers(public) for public in publics}
    assert len(numbers) == 1
    for role, file_name in files.items():
        if role.startswith("private"):
            assert public_numbers(hp.public_key_bytes(read(file_name))) in numbers
    # The old library's own public key files are recognised as classic keys, never taken for
    # keys that new data may be encrypted to.
    for public in publics:
        with pytest.raises(ValueError) as refused:
            hp.pqc_encrypt_payload(b"new data", public)
        assert str(refused.value) == NO_POST_QUANTUM_HALF


@pytest.mark.parametrize("key_vector", names("classic-key-pair"))
def test_mirelock_imports_classic_private_keys_with_public_halves(key_vector):
    for role, file_name in BY_NAME[key_vector]["files"].items():
        if role.startswith("private"):
            private = read(file_name)
            exported = RSA.import_key(private).publickey().export_key()
            assert exported == hp.public_key_bytes(private), role
