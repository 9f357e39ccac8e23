"""The version-2 key schedule (docs/formats.md, "Version 2"): from the shared secrets of one
key encapsulation it derives the payload key and the commitment, bound to everything the
ciphertext stands for. Every form of ciphertext that encapsulates to a key uses it, each with
a form label of its own, so that a key derived for one form can never open another.

    info = form ‖ 0x00 ‖ suite ‖ 0x00 ‖ recipient
           ‖ len ‖ mlkem_ct ‖ len ‖ rsa_ct ‖ len ‖ context        (lengths: 4 bytes, big-endian)
    payload_key ‖ commitment = HKDF-SHA256(ikm = shared secrets, salt = none, info, 64 bytes)

- form: which construction the key serves (FORM_ONE_SHOT for the packed ciphertext,
  FORM_STREAMED for the streamed one);
- suite: the mode and every algorithm with its size (suite() below), so that no key
  derived for one suite is ever used for another, RSA-3072 and RSA-4096 halves included;
- recipient: SHA-256 of the recipient's canonical public key bytes, as the hybrid KEM
  combiners bind the public key, so a ciphertext is bound to the key it was made for;
- both KEM ciphertexts, as the combiner literature requires for a hybrid to keep the
  security of its stronger half;
- context: the caller's application context (empty when none is given), so that a
  ciphertext made for one purpose does not decrypt for another.

The commitment travels in the header and is compared, in constant time, before the AEAD
runs. AES-GCM alone is not key-committing: whoever holds two keys can make one ciphertext
that opens under both. Two key schedules agree on the commitment only by a collision of
HMAC-SHA256 outputs, so a ciphertext opens under one key and context at most.
"""

import hmac
import struct
from typing import NamedTuple

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from ._keys import Key
from ._params import COMMITMENT_SIZE, MLKEM_LABEL, PAYLOAD_KEY_SIZE

FORM_ONE_SHOT = b"HPQC v2 one-shot"
FORM_STREAMED = b"HPQC v2 streamed"

_LENGTH = struct.Struct(">I")


class Schedule(NamedTuple):
    payload_key: bytes
    commitment: bytes


def suite(key: Key) -> bytes:
    """The suite identifier of a key, for example
    "ML-KEM-768+RSA-3072/OAEP-SHA256/HKDF-SHA256/AES-256-GCM" or
    "ML-KEM-768/HKDF-SHA256/AES-256-GCM"."""
    if key.hybrid:
        return f"{MLKEM_LABEL}+RSA-{key.rsa_public.key_size}/OAEP-SHA256/HKDF-SHA256/AES-256-GCM".encode("ascii")
    return f"{MLKEM_LABEL}/HKDF-SHA256/AES-256-GCM".encode("ascii")


def derive(form: bytes, key: Key, secrets: bytes, mlkem_ct: bytes, rsa_ct: bytes | None,
           context: bytes) -> Schedule:
    """The payload key and the commitment for one encapsulation to `key` (public or private:
    both give its suite and recipient)."""
    rsa_ct = rsa_ct or b""
    info = b"".join((form, b"\x00", suite(key), b"\x00", key.recipient,
                     _LENGTH.pack(len(mlkem_ct)), mlkem_ct, _LENGTH.pack(len(rsa_ct)), rsa_ct,
                     _LENGTH.pack(len(context)), context))
    output = HKDF(algorithm=hashes.SHA256(), length=PAYLOAD_KEY_SIZE + COMMITMENT_SIZE, salt=None,
                  info=info).derive(secrets)
    return Schedule(output[:PAYLOAD_KEY_SIZE], output[PAYLOAD_KEY_SIZE:])


def commits_to(schedule: Schedule, commitment: bytes) -> bool:
    """Whether a header's commitment is this schedule's, compared in constant time."""
    return hmac.compare_digest(schedule.commitment, commitment)
