"""The streamed form as programs and the command line use it: round trips across the chunk
boundaries, every kind of tampering refused with nothing put in place, a pipe given only
checked chunks, the one-shot form still read, and `inspect` telling the two forms apart."""

import io
import json
import os
import struct
import subprocess
import tracemalloc

import pytest

import halcyra_pqc as hp
from cli_support import COMMAND, cli, environment, error_line
from halcyra_pqc import ferrovan
from halcyra_pqc.mirelock import PKCS1_OAEP, RSA

CHUNK, HEADER = 128 * 1024, 1522  # HEADER: a hybrid key's with RSA-3072
SEALED = CHUNK + 16


def chunk(data, index):
    return data[HEADER + index * SEALED : HEADER + (index + 1) * SEALED]


# Each way of changing a stream of three chunks `p`, with `o` another one of the same message and key.
TAMPERINGS = {
    "cut at a chunk boundary": lambda p, o: p[: HEADER + 2 * SEALED],
    "cut inside a chunk": lambda p, o: p[:-50],
    "cut inside the final tag": lambda p, o: p[:-110],
    "cut inside the header": lambda p, o: p[:1000],
    "header alone": lambda p, o: p[:HEADER],
    "chunks reordered": lambda p, o: p[:HEADER] + chunk(p, 1) + chunk(p, 0) + chunk(p, 2),
    "a chunk repeated": lambda p, o: p[: HEADER + SEALED] + p[HEADER:],
    "a chunk dropped": lambda p, o: p[: HEADER + SEALED] + chunk(p, 2),
    "extended by a byte": lambda p, o: p + b"\0",
    "extended by a chunk": lambda p, o: p + chunk(p, 1),
    "a chunk of another ciphertext": lambda p, o: p[: HEADER + SEALED] + chunk(o, 1) + chunk(p, 2),
    "another ciphertext's header": lambda p, o: o[:HEADER] + p[HEADER:],
    "commitment changed": lambda p, o: p[: HEADER - 1] + bytes([p[HEADER - 1] ^ 1]) + p[HEADER:],
    "mode changed to one-shot": lambda p, o: p[:5] + b"\x02" + p[6:],
}


def encrypted(message, public, **options):
    sealed = io.BytesIO()
    hp.encrypt_stream(io.BytesIO(message), sealed, public, **options)
    return sealed.getvalue()


def decrypted(packed, private, **options):
    message = io.BytesIO()
    hp.decrypt_stream(io.BytesIO(packed), message, private, **options)
    return message.getvalue()


@pytest.fixture(scope="module")
def keys(tmp_path_factory, hybrid_keys):
    root = tmp_path_factory.mktemp("stream-keys")
    (root / "hybrid.pub").write_bytes(hybrid_keys[0])
    (root / "hybrid.key").write_bytes(hybrid_keys[1])
    return root


@pytest.fixture(scope="module")
def streams(hybrid_keys):
    """A message of three chunks, and two streamed ciphertexts of it."""
    message = os.urandom(2 * CHUNK + 100)
    return message, encrypted(message, hybrid_keys[0]), encrypted(message, hybrid_keys[0])


@pytest.mark.parametrize("size", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 3 * CHUNK + 5])
def test_round_trips_across_chunk_boundaries(size, keys, hybrid_keys, mlkem_keys, tmp_path):
    message = os.urandom(size)
    for (public, private), header in ((hybrid_keys, HEADER), (mlkem_keys, 1134)):
        packed = encrypted(message, public, context=b"row 7")
        assert len(packed) == header + size + 16 * max(1, -(-size // CHUNK))
        assert decrypted(packed, private, context=b"row 7") == message
        assert hp.pqc_decrypt_payload(packed, private, context=b"row 7") == message
    # What the command line writes, every program reads: the core, and both modules' decrypt.
    (tmp_path / "plain").write_bytes(message)
    assert cli("encrypt", keys / "hybrid.pub", "-i", "plain", "-o", "sealed", cwd=tmp_path).returncode == 0
    sealed = (tmp_path / "sealed").read_bytes()
    assert ferrovan.decrypt(sealed, ferrovan.PrivateKey.load_pkcs1(hybrid_keys[1])) == message
    assert PKCS1_OAEP.new(RSA.import_key(hybrid_keys[1])).decrypt(sealed) == message
    opened = cli("decrypt", keys / "hybrid.key", stdin=sealed)
    assert (opened.returncode, opened.stdout) == (0, message)


@pytest.mark.parametrize("case", TAMPERINGS)
def test_every_tampering_is_refused_and_nothing_is_put_in_place(case, streams, keys, hybrid_keys, tmp_path):
    (tmp_path / "sealed").write_bytes(data := TAMPERINGS[case](*streams[1:]))
    for read in (decrypted, hp.pqc_decrypt_payload):
        with pytest.raises(ValueError):
            read(data, hybrid_keys[1])
    result = cli("decrypt", keys / "hybrid.key", "-i", "sealed", "-o", "out", cwd=tmp_path)
    assert result.returncode == 1 and error_line(result).startswith("halcyra-pqc: sealed: "), result.stderr
    if case not in ("cut inside the header", "mode changed to one-shot"):  # those say what is malformed
        assert error_line(result).endswith(": decryption failed: wrong key, or the ciphertext was modified or cut short")
    assert sorted(os.listdir(tmp_path)) == ["sealed"]  # no output, and no temporary file left


def test_a_pipe_gets_only_checked_chunks_and_a_cut_fails_the_command(streams, keys):
    message, packed, _ = streams
    result = cli("decrypt", keys / "hybrid.key", stdin=packed[:-50])
    assert (result.returncode, result.stdout) == (1, message[: 2 * CHUNK])
    assert error_line(result) == (
        f"halcyra-pqc: standard input: decryption failed after {2 * CHUNK} bytes of the message were written "
        f"out, each part checked but not the whole: the ciphertext was cut short or modified; discard what "
        f"was written")


def test_an_input_that_is_also_the_output_is_refused(keys, tmp_path):
    (notes := tmp_path / "notes").write_bytes(b"notes")
    with open(notes, "ab") as appended:  # `encrypt -i notes >> notes` would read its own output for ever
        result = subprocess.run([*COMMAND, "encrypt", str(keys / "hybrid.pub"), "-i", str(notes)], stdout=appended,
                                stderr=subprocess.PIPE, env=environment(), timeout=60)
    assert (result.returncode, error_line(result)) == (2, f"halcyra-pqc: {notes}: the input is also the output")
    assert notes.read_bytes() == b"notes"


def test_one_shot_ciphertexts_still_read_and_inspect_tells_the_forms_apart(keys, hybrid_keys, tmp_path):
    message = b"encrypted by a program"
    (tmp_path / "one-shot").write_bytes(ferrovan.encrypt(message, ferrovan.PublicKey.load_pkcs1(hybrid_keys[0])))
    (tmp_path / "streamed").write_bytes(encrypted(message, hybrid_keys[0]))
    for name in ("one-shot", "streamed"):
        assert cli("decrypt", keys / "hybrid.key", "-i", tmp_path / name).stdout == message
    described = json.loads(cli("inspect", "--json", tmp_path / "one-shot", tmp_path / "streamed").stdout)
    assert [(d["kind"], d["form"], d["message_size"], d.get("chunks")) for d in described] == [
        ("hybrid", "one-shot", len(message), None), ("hybrid", "streamed", len(message), 1)]


def test_a_claimed_length_is_not_allocated_before_its_bytes_arrive(hybrid_keys):
    # A one-shot header whose sealed payload claims 2 GiB, followed by five bytes.
    header = hp.pack_ciphertext(*hp.pqc_encrypt_payload(b"m", hybrid_keys[0]))[:1538]
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="the sealed payload needs 2147483647 bytes, 5 remain$"):
            decrypted(header + struct.pack(">I", 2**31 - 1) + b"short", hybrid_keys[1])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**24
