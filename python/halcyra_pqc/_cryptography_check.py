"""Fails the package import early and clearly when `cryptography` cannot do ML-KEM-768."""

MINIMUM_CRYPTOGRAPHY_MAJOR = 47
_MLKEM_MODULE = "cryptography.hazmat.primitives.asymmetric.mlkem"

_NEED = (
    f"halcyra_pqc needs the 'cryptography' package, version {MINIMUM_CRYPTOGRAPHY_MAJOR} "
    "or newer, built with ML-KEM-768 support"
)


def _require_mlkem768() -> None:
    try:
        import cryptography
    except ImportError:
        cryptography = None
    if cryptography is None:
        raise ImportError(f"{_NEED}; it is not installed")

    version = getattr(cryptography, "__version__", "unknown")
    try:
        major = int(version.split(".")[0])
    except ValueError:
        major = 0
    if major < MINIMUM_CRYPTOGRAPHY_MAJOR:
        raise ImportError(f"{_NEED}; found version {version}")

    try:
        from cryptography.exceptions import UnsupportedAlgorithm
        from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PrivateKey
    except ImportError as error:
        missing = _names_missing_mlkem(error)
        if not missing:
            # Anything else (its native module refusing this interpreter, say) is the cause
            # to report, not a missing feature.
            raise ImportError(f"halcyra_pqc could not import the 'cryptography' package it needs: {error}") from error
        failed = True
    else:
        failed = False
    if failed:
        raise ImportError(f"{_NEED}; version {version} has no ML-KEM module")

    # The Python classes exist regardless of what the linked OpenSSL can do, so ask the backend.
    try:
        MLKEM768PrivateKey.from_seed_bytes(bytes(64))
    except UnsupportedAlgorithm:
        failed = True
    if failed:
        raise ImportError(f"{_NEED}; version {version} is installed but its OpenSSL backend lacks ML-KEM-768")


def _names_missing_mlkem(error: ImportError) -> bool:
    """True when the error says the ML-KEM module or class does not exist in this version."""
    if isinstance(error, ModuleNotFoundError):
        return error.name is not None and _MLKEM_MODULE.startswith(error.name)
    return error.name == _MLKEM_MODULE or "MLKEM768PrivateKey" in str(error)


_require_mlkem768()
