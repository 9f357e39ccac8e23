"""The worked examples of docs/formats.md, of version 1, of version 2 and of the streamed form:
every value they show is recomputed here from the frozen vectors with `cryptography`'s
primitives directly, not through the core, so that an implementer in another language can
trust each step of them."""

import base64
import hashlib
import hmac
import json
import re
import struct
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

ROOT = Path(__file__).resolve().parents[1]
VECTORS = ROOT / "tests" / "vectors"
FORMATS = ROOT / "docs" / "formats.md"
KEY_FILE, PUBLIC_FILE = "hybrid-private.json", "hybrid-public.json"
LABEL = b"ML-KEM-768+RSA-3072"
# Per example: the document's section and the ciphertext; the key schedule's form labels and suite.
STREAMED = "streamed"
EXAMPLES = {1: ("Worked example", "hybrid-short.bin"), 2: ("Worked example, version 2", "hybrid-v2-short.bin"),
            STREAMED: ("Worked example, streamed", "hybrid-stream-several.bin")}
FORMS = {2: b"HPQC v2 one-shot", STREAMED: b"HPQC v2 streamed"}
SUITE = b"ML-KEM-768+RSA-3072/OAEP-SHA256/HKDF-SHA256/AES-256-GCM"
CHUNK = 128 * 1024


def integer(value: int, size: int) -> bytes:
    return value.to_bytes(size, "big")


def intermediates(version: int) -> dict[str, bytes]:
    """Every value of the example, in the order the document shows them."""
    key = json.loads((VECTORS / KEY_FILE).read_bytes())
    public = json.loads((VECTORS / PUBLIC_FILE).read_bytes())
    packed = (VECTORS / EXAMPLES[version][1]).read_bytes()
    v = {}

    seed = base64.b64decode(key["mlkem"])
    mlkem = MLKEM768PrivateKey.from_seed_bytes(seed)
    v["mlkem_seed"] = seed
    v["mlkem_ek_sha256"] = hashlib.sha256(mlkem.public_key().public_bytes_raw()).digest()
    assert mlkem.public_key().public_bytes_raw() == base64.b64decode(public["mlkem"])
    rsa_der = base64.b64decode(key["rsa"])
    rsa_key = serialization.load_der_private_key(rsa_der, password=None)
    numbers = rsa_key.private_numbers()
    size = rsa_key.key_size // 8
    v["rsa_pkcs8_sha256"] = hashlib.sha256(rsa_der).digest()
    v["rsa_n"] = integer(numbers.public_numbers.n, size)
    v["rsa_e"] = integer(numbers.public_numbers.e, 3)
    v["rsa_d"] = integer(numbers.d, size)
    v["rsa_p"] = integer(numbers.p, size // 2)
    v["rsa_q"] = integer(numbers.q, size // 2)
    if version == STREAMED:
        return streamed_intermediates(mlkem, rsa_key, packed)
    if version == 2:
        # The key of the version-1 example, which shows its values; then the recipient, the
        # SHA-256 of the canonical public key bytes that the public key file holds.
        v = {"recipient": hashlib.sha256((VECTORS / PUBLIC_FILE).read_bytes()).digest()}

    # The packed layout, field by field.
    v["magic"], v["version"], v["mode"] = packed[:4], packed[4:5], packed[5:6]
    offset = 6
    fields = ("mlkem_ct", "rsa_ct", "nonce", "commitment", "sealed")
    for field in fields if version == 2 else [f for f in fields if f != "commitment"]:
        (length,) = struct.unpack_from(">I", packed, offset)
        v[f"{field}_length"] = packed[offset : offset + 4]
        v[field] = packed[offset + 4 : offset + 4 + length]
        offset += 4 + length
        if field == ("nonce", "commitment")[version - 1]:
            header = packed[:offset]  # version 2: followed by the context in the associated data, here empty
    assert offset == len(packed)
    v["header_sha256"] = hashlib.sha256(header).digest()

    key_schedule(v, version, mlkem, rsa_key, v["mlkem_ct"], v["rsa_ct"], v.get("commitment"))
    v["gcm_ciphertext"], v["gcm_tag"] = v["sealed"][:-16], v["sealed"][-16:]
    # The tag check proves every value above: one wrong byte anywhere and it fails.
    v["plaintext"] = AESGCM(v["payload_key"]).decrypt(v["nonce"], v["sealed"], header)
    return v


def key_schedule(v, version, mlkem, rsa_key, mlkem_ct, rsa_ct, commitment) -> None:
    """The shared secrets and the payload key, into v; the commitment checked against the header's."""
    v["ss_mlkem"] = mlkem.decapsulate(mlkem_ct)
    oaep = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)
    v["ss_rsa"] = rsa_key.decrypt(rsa_ct, oaep)

    v["hkdf_ikm"] = v["ss_mlkem"] + v["ss_rsa"]
    info = LABEL + b"\x00" + mlkem_ct + rsa_ct
    v["hkdf_info_prefix"] = LABEL + b"\x00"
    if version != 1:  # form, suite and recipient, then each ciphertext and the empty context with its length
        recipient = hashlib.sha256((VECTORS / PUBLIC_FILE).read_bytes()).digest()
        v["hkdf_info_prefix"] = FORMS[version] + b"\x00" + SUITE + b"\x00" + recipient
        info = v["hkdf_info_prefix"] + b"".join(struct.pack(">I", len(f)) + f for f in (mlkem_ct, rsa_ct, b""))
    v["hkdf_info_length"] = struct.pack(">I", len(info))
    v["hkdf_info_sha256"] = hashlib.sha256(info).digest()
    # HKDF by its two HMAC steps, as an implementation without an HKDF routine would do it.
    v["hkdf_prk"] = hmac.digest(bytes(32), v["hkdf_ikm"], "sha256")
    v["payload_key"] = hmac.digest(v["hkdf_prk"], info + b"\x01", "sha256")
    hkdf = HKDF(algorithm=hashes.SHA256(), length=64, salt=None, info=info)
    assert hkdf.derive(v["hkdf_ikm"])[:32] == v["payload_key"]
    if version != 1:  # the expansion's second block is the commitment the header carries
        assert hmac.digest(v["hkdf_prk"], v["payload_key"] + info + b"\x02", "sha256") == commitment


def streamed_intermediates(mlkem, rsa_key, packed: bytes) -> dict[str, bytes]:
    """The streamed example: the header's fields (the KEM ciphertexts as their SHA-256), the key
    schedule under the streamed form's label, then each chunk's nonce, tag and plaintext."""
    v, fields, offset = {"magic": packed[:4], "version": packed[4:5], "mode": packed[5:6]}, {}, 6
    for field in ("mlkem_ct", "rsa_ct", "commitment"):
        (length,) = struct.unpack_from(">I", packed, offset)
        v[f"{field}_length"] = packed[offset : offset + 4]
        fields[field] = packed[offset + 4 : offset + 4 + length]
        v[field if field == "commitment" else f"{field}_sha256"] = (
            fields[field] if field == "commitment" else hashlib.sha256(fields[field]).digest())
        offset += 4 + length
    header = packed[:offset]
    v["header_sha256"] = hashlib.sha256(header).digest()
    key_schedule(v, STREAMED, mlkem, rsa_key, fields["mlkem_ct"], fields["rsa_ct"], fields["commitment"])
    aead, chunks = AESGCM(v["payload_key"]), [packed[at : at + CHUNK + 16] for at in range(offset, len(packed), CHUNK + 16)]
    for index, sealed in enumerate(chunks):
        last = index == len(chunks) - 1
        v[f"chunk_{index}_nonce"] = index.to_bytes(11, "big") + bytes([last])
        if last:
            v[f"chunk_{index}_ciphertext"] = sealed[:-16]
        v[f"chunk_{index}_tag"] = sealed[-16:]
        # Only the first chunk has associated data: the header (followed by the context, here none).
        plain = aead.decrypt(v[f"chunk_{index}_nonce"], sealed, header if index == 0 else None)
        v[f"chunk_{index}_plaintext" if last else f"chunk_{index}_plaintext_sha256"] = (
            plain if last else hashlib.sha256(plain).digest())
        chunks[index] = plain
    v["plaintext_sha256"] = hashlib.sha256(b"".join(chunks)).digest()
    return v


def section(version: int) -> str:
    title = EXAMPLES[version][0]
    return FORMATS.read_text(encoding="utf-8").split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def shown_values(version: int) -> dict[str, bytes]:
    """name -> bytes of every value in the example's data blocks: a line `name  hex`, long
    values continued on indented lines of hex."""
    values, name = {}, None
    for block in re.findall(r"```text\n(.*?)```", section(version), re.S):
        for line in block.splitlines():
            start = re.fullmatch(r"([a-z0-9_]+) +([0-9a-f]+)", line)
            more = re.fullmatch(r" +([0-9a-f]+)", line)
            assert start or more, f"not a value line: {line!r}"
            if start:
                name = start.group(1)
                assert name not in values, f"{name} shown twice"
                values[name] = start.group(2)
            else:
                values[name] += more.group(1)
    return {name: bytes.fromhex(text) for name, text in values.items()}


@pytest.mark.parametrize("version", EXAMPLES)
def test_the_document_shows_every_intermediate_value_of_the_vectors(version):
    computed, shown = intermediates(version), shown_values(version)
    assert list(shown) == list(computed), "the example shows other values, or in another order"
    for name, value in computed.items():
        assert shown[name].hex() == value.hex(), f"{name} differs"


@pytest.mark.parametrize("version", EXAMPLES)
def test_the_example_is_the_vectors_hybrid_message(version):
    ciphertext_file = EXAMPLES[version][1]
    manifest = json.loads((VECTORS / "manifest.json").read_text(encoding="utf-8"))
    (vector,) = [v for v in manifest["vectors"] if v["files"].get("ciphertext") == ciphertext_file]
    computed, expected = intermediates(version), vector["plaintext"]
    if "hex" in expected:
        assert computed["plaintext"].hex() == expected["hex"]
    else:
        assert computed["plaintext_sha256"].hex() == expected["sha256"]
    for file_name in (KEY_FILE, PUBLIC_FILE, ciphertext_file):
        assert f"tests/vectors/{file_name}" in section(version)
