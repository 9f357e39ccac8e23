"""Private keys protected by a pass phrase (see docs/formats.md): scrypt derives from the pass
phrase an AES-256-GCM key, which seals the private key bytes, and (version 2) a commitment
key, whose HMAC over the header is checked before AES-GCM runs. The form is JSON, like key
bytes, and records its parameters; every parameter is checked before any work is done.

Every failure after the key derivation gives the one wrong-pass-phrase message, in both
versions. AES-GCM is not key-committing: a blob can be made whose tag checks under many
chosen pass phrases, and a reader that told "the tag failed" from "the tag checked but the
plaintext is no key" would say whether its pass phrase is among them. The version-2
commitment lets a blob check under one pass phrase only.
"""

import hmac
import os

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

from ._errors import WRONG_PASSPHRASE, invalid_key
from ._inputs import key_data, passphrase_bytes
from ._key_format import PROTECTED_KIND, b64, base64_member, check_members, dump, load_object
from ._key_reader import load_exact, looks_like_key, public_key_bytes
from ._params import (
    COMMITMENT_SIZE,
    MAX_KEY_BYTES,
    NONCE_SIZE,
    PAYLOAD_KEY_SIZE,
    SCRYPT_LOG2_N,
    SCRYPT_MAX_MEMORY,
    SCRYPT_MAX_WORK,
    SCRYPT_MAX_WORK_FACTOR,
    SCRYPT_MIN_LOG2_N,
    SCRYPT_P,
    SCRYPT_R,
    SCRYPT_SALT_SIZE,
    TAG_SIZE,
)

KDF = "scrypt"
CIPHER = "AES-256-GCM"
PROTECTION_VERSION = 2
# The members of each version, in their written order; the header is all but the last ones.
_MEMBERS = {
    1: ("version", "kind", "kdf", "salt", "log2_n", "r", "p", "cipher", "nonce", "sealed"),
    2: ("version", "kind", "kdf", "salt", "log2_n", "r", "p", "cipher", "nonce", "commitment", "sealed"),
}
_HEADER = _MEMBERS[1][:-1]


def protect_private_key(private_key_bytes, passphrase) -> bytes:
    """Returns the private key bytes protected by `passphrase` (str or bytes).

    The result is read back by unprotect_private_key(), and by RSA.import_key(data, passphrase)
    through mirelock. Public key bytes hold no secret and are refused.
    """
    data = key_data(private_key_bytes, "private_key_bytes")
    secret = passphrase_bytes(passphrase)
    if not load_exact(data).private:
        raise ValueError("only private key bytes are protected: these are public key bytes, which hold no secret")
    header = {
        "version": PROTECTION_VERSION,
        "kind": PROTECTED_KIND,
        "kdf": KDF,
        "salt": b64(os.urandom(SCRYPT_SALT_SIZE)),
        "log2_n": SCRYPT_LOG2_N,
        "r": SCRYPT_R,
        "p": SCRYPT_P,
        "cipher": CIPHER,
        "nonce": b64(os.urandom(NONCE_SIZE)),
    }
    encryption_key, commitment_key = _derive(secret, header)
    associated = dump(header)
    sealed = AESGCM(encryption_key).encrypt(base64_member(header, "nonce"), data, associated)
    commitment = hmac.digest(commitment_key, associated, "sha256")
    return dump({**header, "commitment": b64(commitment), "sealed": b64(sealed)})


def unprotect_private_key(protected_key_bytes, passphrase) -> bytes:
    """Returns the private key bytes that protect_private_key() protected with `passphrase`.

    A wrong pass phrase, and protected data that was modified, raise ValueError.
    """
    data = key_data(protected_key_bytes, "protected_key_bytes")
    members = protected_members(data)
    if members is None:
        raise ValueError("these key bytes are not protected by a pass phrase: use them as they are")
    return _open(members, passphrase)


def protected_members(data: bytes) -> dict | None:
    """The checked members of protected key bytes, or None for data of another form. What is
    refused here costs no scrypt work; what passes can run."""
    if data.lstrip()[:1] != b"{":
        return None
    members = load_object(data)
    if members.get("kind") != PROTECTED_KIND:
        return None
    version = members.get("version")
    if "version" in members and (type(version) is not int or version not in _MEMBERS):
        raise invalid_key("unsupported protected key version (this release reads 1 and 2)")
    check_members(members, set(_MEMBERS.get(version, _MEMBERS[1])), "protected")
    if members["kdf"] != KDF or members["cipher"] != CIPHER:
        raise invalid_key(f'a protected key must use "kdf" {KDF!r} and "cipher" {CIPHER!r}')
    _check_cost(*(members[name] for name in ("log2_n", "r", "p")))
    if not SCRYPT_SALT_SIZE <= len(base64_member(members, "salt")) <= 64:
        raise invalid_key(f'"salt" must hold {SCRYPT_SALT_SIZE} to 64 bytes')
    if len(base64_member(members, "nonce")) != NONCE_SIZE:
        raise invalid_key(f'"nonce" must hold {NONCE_SIZE} bytes')
    if version == 2 and len(base64_member(members, "commitment")) != COMMITMENT_SIZE:
        raise invalid_key(f'"commitment" must hold {COMMITMENT_SIZE} bytes')
    if not TAG_SIZE < len(base64_member(members, "sealed")) <= MAX_KEY_BYTES + TAG_SIZE:
        raise invalid_key('"sealed" is not the size of sealed key bytes')
    return members


def _check_cost(log2_n, r, p) -> None:
    if not all(type(value) is int for value in (log2_n, r, p)):
        raise invalid_key('"log2_n", "r" and "p" must be integers')
    if log2_n < SCRYPT_MIN_LOG2_N:
        raise invalid_key(f"the protected key's scrypt cost is too low: N must be at least 2**{SCRYPT_MIN_LOG2_N}")
    # Bounded one at a time first, so that nothing below computes with an absurd number.
    if r < 1 or p < 1:
        raise invalid_key('scrypt cannot run with these parameters: "r" and "p" must be at least 1')
    if not (log2_n <= 24 and r <= 256 and p <= 256) or (
        128 * 2**log2_n * r > SCRYPT_MAX_MEMORY or 2**log2_n * r * p > SCRYPT_MAX_WORK
    ):
        raise invalid_key(
            f"the protected key asks for more scrypt work or memory than is accepted "
            f"(at most {SCRYPT_MAX_MEMORY // 2**20} MiB and {SCRYPT_MAX_WORK_FACTOR} times the default work)"
        )
    # scrypt's own bound (RFC 7914): N below 2**(128 * r / 8). Beyond it the backend fails
    # with a MemoryError rather than deriving a key.
    if log2_n >= 16 * r:
        raise invalid_key("scrypt cannot run with these parameters: N must be less than 2**(16 * r)")


def _open(members: dict, passphrase) -> bytes:
    if passphrase is None:
        raise ValueError("the private key is protected by a pass phrase, and none was given")
    secret = passphrase_bytes(passphrase)
    header = {name: members[name] for name in _HEADER}
    encryption_key, commitment_key = _derive(secret, header)
    associated = dump(header)
    data = None
    if members["version"] == 1 or hmac.compare_digest(
        hmac.digest(commitment_key, associated, "sha256"), base64_member(members, "commitment")
    ):
        try:
            data = AESGCM(encryption_key).decrypt(base64_member(members, "nonce"),
                                                  base64_member(members, "sealed"), associated)
        except InvalidTag:
            data = None
    if data is not None and not _is_key(data):
        data = None
    if data is None:
        raise ValueError(WRONG_PASSPHRASE)
    return data


def _is_key(data: bytes) -> bool:
    # Sealed bytes that are no key can only come from a blob made to open under more than
    # one pass phrase: saying so would tell which pass phrase was tried.
    try:
        load_exact(data)
    except ValueError:
        return False
    return True


def _derive(secret: bytes, header: dict) -> tuple[bytes, bytes]:
    """(encryption key, commitment key): the first and second halves of a 64-byte scrypt
    output. The first is the 32-byte output that version 1 uses as its key."""
    kdf = Scrypt(salt=base64_member(header, "salt"), length=2 * PAYLOAD_KEY_SIZE,
                 n=2 ** header["log2_n"], r=header["r"], p=header["p"])
    output = kdf.derive(secret)
    return output[:PAYLOAD_KEY_SIZE], output[PAYLOAD_KEY_SIZE:]


def import_key_pair(extern_key, passphrase=None):
    """What RSA.import_key(extern_key, passphrase) stores, as (public material, private material).

    - private key bytes: (their public key bytes, the private key bytes), so what a program
      publishes as the public key never holds private material;
    - protected private key bytes: unprotected with `passphrase` first, (public key bytes, the
      unprotected private key bytes);
    - public key bytes: (the public key bytes, None); a pass phrase changes nothing for them;
    - anything not in the form of key bytes at all: (extern_key, extern_key), unread, so it
      fails where it is used, as the core decides.
    Key bytes that cannot be read, or a wrong or missing pass phrase, raise ValueError.
    """
    data = _key_shaped(extern_key)
    if data is None:
        return extern_key, extern_key
    # The key keeps the caller's object only when it cannot change or be made to read
    # differently later (exact bytes or str); otherwise the bytes read here, so that its two
    # halves always belong together.
    kept = extern_key if type(extern_key) in (bytes, str) else data
    members = protected_members(data)
    if members is not None:
        data = kept = _open(members, passphrase)
    if not load_exact(data).private:
        return kept, None
    return public_key_bytes(data), kept


def _key_shaped(value) -> bytes | None:
    """`value` as exact bytes when it is in the form of key bytes, else None."""
    try:
        data = key_data(value, "extern_key")
    except (TypeError, ValueError):
        # Not bytes, not text, or too long to be key bytes: stored unread, as it always was.
        data = None
    return data if data is not None and looks_like_key(data) else None
