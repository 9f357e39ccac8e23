"""Key files for the commands: read, unprotected with a pass phrase file where needed, and
checked for the role they are given. What kind of key the bytes hold is decided by the core's
own description of them, the one place that classifies key bytes."""

from .. import MAX_KEY_BYTES, describe_key, public_key_bytes, unprotect_private_key
from .exits import UsageError
from .files import read_file, read_passphrase


def fingerprint(data: bytes) -> str:
    """The fingerprint of the public key of key bytes ("sha256:...")."""
    return describe_key(data)["fingerprint"]


def load(path: str, passphrase_file: str | None = None, *, passphrase_option: str = "--passphrase-file"):
    """(key bytes, their description) of a key file; a protected key is unprotected first."""
    data = read_file(path, MAX_KEY_BYTES, "the key file")
    described = _described(data, path)
    if described["kind"] == "protected":
        if passphrase_file is None:
            raise UsageError(f"{path}: the private key is protected by a pass phrase: give {passphrase_option}")
        try:
            data = unprotect_private_key(data, read_passphrase(passphrase_file))
        except ValueError as error:
            raise UsageError(f"{path}: {error}") from None
        described = _described(data, path)
    return data, described


def private_key(path: str, passphrase_file: str | None = None, *, purpose: str,
                passphrase_option: str = "--passphrase-file"):
    data, described = load(path, passphrase_file, passphrase_option=passphrase_option)
    if described["content"] != "private-key":
        raise UsageError(f"{path}: a public key, but {purpose} needs the private key")
    return data, described


def public_use(path: str, *, purpose: str):
    """(key bytes, their description) of a key file given where a public key is expected; a
    private key serves too, but a protected one is refused rather than asking for its pass
    phrase."""
    data = read_file(path, MAX_KEY_BYTES, "the key file")
    described = _described(data, path)
    if described["kind"] == "protected":
        raise UsageError(f"{path}: a protected private key; {purpose} takes the public key (keygen's --pubout)")
    return data, described


def post_quantum_public_key(path: str, *, purpose: str) -> bytes:
    """The public key bytes of a post-quantum key file (public, or private: derived)."""
    data, described = public_use(path, purpose=purpose)
    if described["kind"] == "classic-rsa":
        raise UsageError(
            f"{path}: a classic RSA key; new data is only encrypted to post-quantum keys: "
            f"make a key pair with `halcyra-pqc keygen` and use its public key")
    return public_key_bytes(data)


def _described(data: bytes, path: str) -> dict:
    try:
        return describe_key(data)
    except ValueError as error:
        raise UsageError(f"{path}: {error}") from None
