"""Fails the package import early and clearly when `cryptography` cannot do ML-KEM-768."""

MINIMUM_CRYPTOGRAPHY_MAJOR = 47

_NEED = (
    f"halcyra_pqc needs the 'cryptography' package, version {MINIMUM_CRYPTOGRAPHY_MAJOR} "
    "or newer, built with ML-KEM-768 support"
)


def _require_mlkem768() -> None:
    try:
        import cryptography
    except ImportError:
        raise ImportError(f"{_NEED}; it is not installed") from None

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
    except ImportError:
        raise ImportError(f"{_NEED}; version {version} has no ML-KEM module") from None

    # The Python classes exist regardless of what the linked OpenSSL can do, so ask the backend.
    try:
        MLKEM768PrivateKey.from_seed_bytes(bytes(64))
    except UnsupportedAlgorithm:
        raise ImportError(
            f"{_NEED}; version {version} is installed but its OpenSSL backend lacks ML-KEM-768"
        ) from None


_require_mlkem768()
