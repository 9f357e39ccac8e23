"""What both forms of ciphertext share: the arguments read, and for decryption a header
matched to the private key and opened to its payload key, once the header's commitment shows
that the key is the one the ciphertext was made for."""

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from ._envelope import Envelope, Header
from ._errors import AUTHENTICATION_FAILED, NO_POST_QUANTUM_HALF, PUBLIC_KEY_CANNOT_DECRYPT, no_context_bound
from ._inputs import at_most, exact_bytes, key_data
from ._kem import decapsulate, version1_payload_key
from ._key_reader import load_exact
from ._keys import Key, LegacyKey, modulus_size
from ._params import MAX_CONTEXT_SIZE
from ._schedule import FORM_ONE_SHOT, FORM_STREAMED, commits_to, derive


def context_bytes(context) -> bytes:
    """The application context as exact bytes; none is the empty context."""
    if context is None:
        return b""
    return exact_bytes(context, "context", at_most(MAX_CONTEXT_SIZE, "context"))


def post_quantum_key(data: bytes) -> Key:
    key = load_exact(data)
    if isinstance(key, LegacyKey):
        raise ValueError(NO_POST_QUANTUM_HALF)
    return key


def decryption_key(private_key_bytes) -> Key | LegacyKey:
    key = load_exact(key_data(private_key_bytes, "private_key_bytes"))
    if not key.private:
        raise ValueError(PUBLIC_KEY_CANNOT_DECRYPT)
    return key


def payload_key(key: Key, header: Header, context: bytes) -> bytes | None:
    """The payload key of a ciphertext for `key`, or None when the header commits to another.
    A header that does not fit the key at all is refused with what is wrong."""
    if header.hybrid != key.hybrid:
        ciphertext_kind = "hybrid ML-KEM-768+RSA" if header.hybrid else "ML-KEM-768 only"
        raise ValueError(f"the ciphertext is {ciphertext_kind} but the key is {key.label}; use the matching key")
    if header.hybrid:
        size = modulus_size(key.rsa_private)
        if len(header.rsa_ct) != size:
            raise ValueError(
                f"the RSA ciphertext is {len(header.rsa_ct)} bytes but this key's modulus is {size} bytes"
            )
    if header.version == 1 and context:
        raise ValueError(no_context_bound("a version-1 ciphertext"))
    secrets = decapsulate(key, header.mlkem_ct, header.rsa_ct)
    if header.version == 1:
        return version1_payload_key(key.label, secrets, header.mlkem_ct, header.rsa_ct)
    form = FORM_STREAMED if header.streamed else FORM_ONE_SHOT
    schedule = derive(form, key, secrets, header.mlkem_ct, header.rsa_ct, context)
    # The AEAD only runs under the one key the header commits to.
    return schedule.payload_key if commits_to(schedule, header.commitment) else None


def open_one_shot(key: Key, envelope: Envelope, context: bytes) -> bytes:
    """The message of a one-shot ciphertext; every authentication failure raises the one text."""
    header = envelope.header
    opened = payload_key(key, header, context)
    message = None
    if opened is not None:
        try:
            message = AESGCM(opened).decrypt(header.nonce, envelope.sealed, header.raw + context)
        except InvalidTag:
            message = None
    if message is None:
        raise ValueError(AUTHENTICATION_FAILED)
    return message
