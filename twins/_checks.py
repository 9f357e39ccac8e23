"""What the native functions check outside their statements: the exact built-in type of
some arguments, before the body runs, and the exact type of some results. The twins call
these from their own lines; living in this file, the checks add no record of the twin's.
Here too is what a native statement does in one step that Python spells as several: the
DigestInfo table that find_signature_hash reads, and the pass phrase export_key takes.
scripts/declare.py leaves every name the twins import from here out of the modules'
declarations."""


def check_exact(*checks):
    """(parameter name, value, expected type) for each checked parameter, in order."""
    for name, value, expected in checks:
        if type(value) is not expected:
            error = TypeError(f"Argument '{name:.200}' has incorrect type "
                              f"(expected {expected.__name__:.200}, got {type(value).__name__:.200})")
            if isinstance(value, expected):
                error.add_note(f"Subclasses of the built-in type {expected.__name__} are rejected here: "
                               f"only an exact {expected.__name__} object is accepted.")
            raise error


def bytes_or_none(value):
    if type(value) is not bytes and value is not None:
        raise TypeError(f"Expected bytes, got {type(value).__name__:.200}")
    return value


# The DER DigestInfo prefix of each hash that a PKCS#1 v1.5 signature block can name, with the
# length of the digest that must follow it to the end of the block.
_DIGEST_INFOS = (
    ("MD5", bytes.fromhex("3020300c06082a864886f70d020505000410"), 16),
    ("SHA-1", bytes.fromhex("3021300906052b0e03021a05000414"), 20),
    ("SHA-224", bytes.fromhex("302d300d06096086480165030402040500041c"), 28),
    ("SHA-256", bytes.fromhex("3031300d060960864801650304020105000420"), 32),
    ("SHA-384", bytes.fromhex("3041300d060960864801650304020205000430"), 48),
    ("SHA-512", bytes.fromhex("3051300d060960864801650304020305000440"), 64),
)


def digest_info_name(block):
    for name, prefix, size in _DIGEST_INFOS:
        if len(block) >= len(prefix) + size and block[-(len(prefix) + size):].startswith(prefix):
            return name
    return None


def passphrase_of(args, kwargs):
    """export_key's pass phrase: the keyword, or else the second positional argument (after the
    format), as PyCryptodome's export_key(self, format="PEM", passphrase=None, ...) binds them.
    Given both ways, the TypeError that binding raises: taking either one would let the other
    decide silently whether the private key leaves protected."""
    if "passphrase" in kwargs and len(args) > 1:
        raise TypeError("PyCryptodomeKey.export_key() got multiple values for argument 'passphrase'")
    return kwargs["passphrase"] if "passphrase" in kwargs else args[1] if len(args) > 1 else None
