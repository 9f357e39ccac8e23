"""Key files for the commands: read, unprotected with a pass phrase file where needed, and
checked for the role they are given. What kind of key the bytes hold is decided by the core's
own reader, the one place that classifies key bytes."""

from .. import public_key_bytes, unprotect_private_key
from .._key_reader import fingerprint, load_key  # noqa: F401  (fingerprint: for the commands)
from .._keys import LegacyKey
from .._params import MAX_KEY_BYTES
from .._protection import protected_members
from .exits import UsageError
from .files import read_file, read_passphrase


def is_protected(data: bytes, path: str) -> bool:
    try:
        return protected_members(data) is not None
    except ValueError as error:
        raise UsageError(f"{path}: {error}") from None


def load(path: str, passphrase_file: str | None = None, *, passphrase_option: str = "--passphrase-file"):
    """(key bytes, parsed key) of a key file; a protected key is unprotected first."""
    data = read_file(path, MAX_KEY_BYTES, "the key file")
    if is_protected(data, path):
        if passphrase_file is None:
            raise UsageError(f"{path}: the private key is protected by a pass phrase: give {passphrase_option}")
        try:
            data = unprotect_private_key(data, read_passphrase(passphrase_file))
        except ValueError as error:
            raise UsageError(f"{path}: {error}") from None
    try:
        return data, load_key(data, "key")
    except ValueError as error:
        raise UsageError(f"{path}: {error}") from None


def private_key(path: str, passphrase_file: str | None = None, *, purpose: str,
                passphrase_option: str = "--passphrase-file"):
    data, key = load(path, passphrase_file, passphrase_option=passphrase_option)
    if not key.private:
        raise UsageError(f"{path}: a public key, but {purpose} needs the private key")
    return data, key


def public_use(path: str, *, purpose: str):
    """(key bytes, parsed key) of a key file given where a public key is expected; a private
    key serves too, but a protected one is refused rather than asking for its pass phrase."""
    data = read_file(path, MAX_KEY_BYTES, "the key file")
    if is_protected(data, path):
        raise UsageError(f"{path}: a protected private key; {purpose} takes the public key (keygen's --pubout)")
    try:
        return data, load_key(data, "key")
    except ValueError as error:
        raise UsageError(f"{path}: {error}") from None


def post_quantum_public_key(path: str, *, purpose: str) -> bytes:
    """The public key bytes of a post-quantum key file (public, or private: derived)."""
    data, key = public_use(path, purpose=purpose)
    if isinstance(key, LegacyKey):
        raise UsageError(
            f"{path}: a classic RSA key; new data is only encrypted to post-quantum keys: "
            f"make a key pair with `halcyra-pqc keygen` and use its public key")
    return public_key_bytes(data)
