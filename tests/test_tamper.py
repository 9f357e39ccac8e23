"""Tampering: a hybrid and a pure ML-KEM ciphertext with bytes changed, cut short, extended or
spliced from another ciphertext of the same key. Every mutant must make decrypt raise
DecryptionError (ferrovan) or the core's ValueError (mirelock); none may decrypt.

The ordinary suite samples the positions and lengths; HALCYRA_TAMPER=full (set by
scripts/check.sh) tries every position with three changes and every shorter length."""

import os

import pytest

from halcyra_pqc import ferrovan, mirelock

FULL = os.environ.get("HALCYRA_TAMPER") == "full"
MESSAGE = b"the tamper sweep's payload: forty-eight bytes..."
XOR_MASKS = (0x01, 0x80, 0xFF) if FULL else (0x01,)


def field_spans(crypto):
    """(start, end) of each field of a packed ciphertext, read from its own length prefixes."""
    spans = [(0, 4), (4, 5), (5, 6)]
    offset = 6
    # The KEM ciphertexts, the nonce, the commitment (version 2) and the sealed payload.
    for _ in range((4 if crypto[5] == 2 else 3) + (crypto[4] == 2)):
        size = int.from_bytes(crypto[offset:offset + 4], "big")
        spans += [(offset, offset + 4), (offset + 4, offset + 4 + size)]
        offset += 4 + size
    assert offset == len(crypto)
    return spans


def positions(crypto):
    if FULL:
        return range(len(crypto))
    # The first, second, middle and last byte of every field, and a stride through the rest.
    chosen = set(range(0, len(crypto), 61))
    for start, end in field_spans(crypto):
        chosen |= {start, min(start + 1, end - 1), (start + end) // 2, end - 1}
    return sorted(chosen)


def mutants(crypto, other):
    """(label, changed ciphertext) pairs; other is a second ciphertext of the same key and size."""
    for at in positions(crypto):
        for mask in XOR_MASKS:
            changed = bytearray(crypto)
            changed[at] ^= mask
            yield f"byte {at} ^ {mask:#04x}", bytes(changed)
    for length in range(len(crypto)) if FULL else positions(crypto):
        yield f"cut to {length}", crypto[:length]
    for extra in (b"\x00", b"\x00" * 16, os.urandom(1000), crypto):
        yield f"extended by {len(extra)}", crypto + extra
    middle = len(crypto) // 2
    yield "byte inserted", crypto[:middle] + b"\x00" + crypto[middle:]
    yield "byte removed", crypto[:middle] + crypto[middle + 1:]
    # Each field taken from another ciphertext: the pieces belong together or not at all.
    for start, end in field_spans(crypto):
        spliced = crypto[:start] + other[start:end] + crypto[end:]
        if spliced != crypto:
            yield f"bytes {start}:{end} spliced", spliced


mutants_tried = {"count": 0}


@pytest.fixture(scope="module", autouse=True)
def report_mutants(figures):
    yield
    figures("tamper mutants", mutants_tried["count"])


@pytest.mark.parametrize("kind", ["hybrid", "mlkem"])
def test_no_tampered_ciphertext_decrypts(request, kind):
    pub, priv = request.getfixturevalue(f"{kind}_keys")
    crypto = ferrovan.encrypt(MESSAGE, ferrovan.PublicKey(pub))
    other = ferrovan.encrypt(MESSAGE, pub)
    private_key = ferrovan.PrivateKey(priv)
    cipher = mirelock.PKCS1_OAEP.new(mirelock.RSA.import_key(priv))
    accepted = []
    for label, changed in mutants(crypto, other):
        mutants_tried["count"] += 1
        try:
            plaintext = ferrovan.decrypt(changed, private_key)
        except ferrovan.DecryptionError as error:
            assert error.args == ("Decryption failed",) and isinstance(error.__cause__, ValueError), label
        else:
            accepted.append((label, plaintext))
        with pytest.raises(ValueError):
            cipher.decrypt(changed)
    assert accepted == []
    # The sweep says something only if the untouched ciphertexts still decrypt.
    assert ferrovan.decrypt(crypto, private_key) == cipher.decrypt(other) == MESSAGE
