"""`inspect`: what a key or ciphertext file is, without any secret.

Key bytes are classified by the core's own reader (and protected keys by its protection
module), packed ciphertexts by its envelope parser, so this command and the library never
disagree about a file. What is shown: kinds, sizes, parameters and public-key fingerprints;
never key material, pass phrase parameters beyond the published ones, or plaintext.
"""

import json

from .._envelope import MAGIC, MAX_PACKED_SIZE, HeldBytes, is_streamed, read_header, unpack_ciphertext
from .._key_reader import load_key, looks_like_key
from .._keys import LegacyKey
from .._params import MAX_KEY_BYTES, STREAM_CHUNK_SIZE, TAG_SIZE
from .._protection import protected_members
from .._stream import chunk_count, message_size
from .files import InputError, open_file
from .keyfiles import fingerprint

# Sizes a classic RSA ciphertext commonly has: the modulus sizes of 512 to 8192-bit keys in
# steps of 256 bits. Nothing in such a ciphertext says what it is, so this is only a guess.
_CLASSIC_SIZES = range(64, 1024 + 1, 32)


def inspect(args) -> bool:
    """Prints what each file is; returns False when some file could not be read."""
    results = [describe(path) for path in args.files]
    if args.json:
        print(json.dumps(results, indent=2))
    else:
        for result in results:
            print(f"{result['file']}: {result['summary']}")
    return all(result["kind"] != "unreadable" for result in results)


def describe(path: str) -> dict:
    # Regular files only: a FIFO would wait for a writer, a device may never end.
    try:
        with open_file(path, regular_only=True) as source:
            size = source.size
            data = source.read(MAX_KEY_BYTES + 1)
            if is_streamed(data):
                # Its header is all that says what it is; the file's size gives the rest.
                return _streamed(path, data, size)
            if data[: len(MAGIC)] == MAGIC:
                if size > MAX_PACKED_SIZE:
                    return _result(path, "unknown", "ciphertext", f"damaged post-quantum ciphertext: {size} bytes, "
                                   f"longer than any ({MAX_PACKED_SIZE})", size=size)
                data += source.read(MAX_PACKED_SIZE + 1 - len(data))
    except InputError as error:
        return _result(path, "unreadable", None, error.reason)
    if data[: len(MAGIC)] == MAGIC:
        return _ciphertext(path, data)
    if looks_like_key(data):
        described = _key(path, data)
        if described["kind"] != "unknown" or len(data) not in _CLASSIC_SIZES:
            return described
    if len(data) in _CLASSIC_SIZES:
        # A classic ciphertext is a number below the modulus, in exactly the modulus size.
        return _result(path, "classic-rsa", "ciphertext",
                       f"probably a classic RSA ciphertext (or signature): {len(data)} bytes, the size for "
                       f"a {len(data) * 8}-bit key; nothing in it says so (`migrate` tells with the key)",
                       size=len(data), certain=False)
    return _result(path, "unknown", None, f"unknown: {size} bytes, neither a key nor a ciphertext this tool reads",
                   size=size)


def _key(path: str, data: bytes) -> dict:
    try:
        members = protected_members(data)
    except ValueError as error:
        return _result(path, "unknown", "private-key", f"damaged protected key: {error}")
    if members is not None:
        return _result(path, "protected", "private-key",
                       f"private key protected by a pass phrase ({members['kdf']} with N=2**{members['log2_n']}, "
                       f"r={members['r']}, p={members['p']}; {members['cipher']}); the key inside is sealed too",
                       kdf=members["kdf"], cipher=members["cipher"])
    try:
        key = load_key(data, "key")
    except ValueError as error:
        return _result(path, "unknown", None, f"unknown: not usable as a key ({error})")
    kind = "private-key" if key.private else "public-key"
    role = "private key" if key.private else "public key"
    if isinstance(key, LegacyKey):
        bits = key.rsa_public.key_size
        return _result(path, "classic-rsa", kind,
                       f"classic RSA {role}, {bits} bits, {key.encoding}: reads data from before the "
                       f"switch, encrypts nothing new; {fingerprint(data, key)}",
                       bits=bits, encoding=key.encoding, fingerprint=fingerprint(data, key))
    if key.hybrid:
        bits = key.rsa_public.key_size
        return _result(path, "hybrid", kind, f"hybrid {key.label} {role} (RSA half {bits} bits); "
                       f"{fingerprint(data, key)}", algorithm=key.label, bits=bits,
                       fingerprint=fingerprint(data, key))
    return _result(path, "mlkem", kind, f"pure {key.label} {role}; {fingerprint(data, key)}",
                   algorithm=key.label, fingerprint=fingerprint(data, key))


def _ciphertext(path: str, data: bytes) -> dict:
    try:
        envelope = unpack_ciphertext(data)
    except ValueError as error:
        return _result(path, "unknown", "ciphertext", f"damaged post-quantum ciphertext: {error}", size=len(data))
    message = len(envelope.sealed) - TAG_SIZE
    return _described(path, envelope.header, len(data), message, "one-shot")


def _streamed(path: str, data: bytes, size: int) -> dict:
    try:
        header = read_header(HeldBytes(data).take)
    except ValueError as error:
        return _result(path, "unknown", "ciphertext", f"damaged post-quantum ciphertext: {error}", size=size)
    payload = size - len(header.raw)
    message = message_size(payload)
    if message is None:
        return _result(path, "unknown", "ciphertext",
                       f"damaged post-quantum ciphertext: streamed, but cut short or extended: no message "
                       f"gives {payload} bytes of chunks", size=size)
    return _described(path, header, size, message, "streamed",
                      chunks=chunk_count(message), chunk_size=STREAM_CHUNK_SIZE)


def _described(path: str, header, size: int, message: int, form: str, **details) -> dict:
    layout = f"{form}, {message} bytes of message"
    if form == "streamed":
        chunks = details["chunks"]
        layout += f" in {chunks} chunk{'s' if chunks > 1 else ''} of up to {STREAM_CHUNK_SIZE // 1024} KiB"
    if header.hybrid:
        bits = len(header.rsa_ct) * 8
        return _result(path, "hybrid", "ciphertext",
                       f"hybrid ML-KEM-768+RSA ciphertext for a key with a {bits}-bit RSA half; {layout}",
                       size=size, form=form, message_size=message, bits=bits, **details)
    return _result(path, "mlkem", "ciphertext", f"pure ML-KEM-768 ciphertext; {layout}",
                   size=size, form=form, message_size=message, **details)


def _result(path: str, kind: str, content: str | None, summary: str, **details) -> dict:
    return {"file": path, "kind": kind, "content": content, "summary": summary, **details}
