"""What key or ciphertext bytes are, without any secret.

Key bytes are classified by the key reader (and protected keys by the protection module),
packed ciphertexts by the envelope parser, so a description and the functions that use the
bytes never disagree. A description holds kinds, sizes, parameters and public-key
fingerprints; never key material, pass phrase parameters beyond the published ones, or
plaintext.
"""

from ._envelope import MAGIC, MAX_PACKED_SIZE, HeldBytes, is_streamed, read_header, unpack_ciphertext
from ._inputs import key_data
from ._key_reader import fingerprint, load_exact, load_key, looks_like_key
from ._keys import LegacyKey
from ._params import MAX_KEY_BYTES, STREAM_CHUNK_SIZE, TAG_SIZE
from ._protection import protected_members
from ._stream import chunk_count, message_size

# Sizes a classic RSA ciphertext commonly has: the modulus sizes of 512 to 8192-bit keys in
# steps of 256 bits. Nothing in such a ciphertext says what it is, so this is only a guess.
_CLASSIC_SIZES = range(64, 1024 + 1, 32)
_COUNTED_STEP = 1 << 20


def describe(source, size=None) -> dict:
    """What the bytes of a file are: bytes-like (the whole file), or a binary file object
    read from where it stands. `size` is the whole's size, by which a streamed ciphertext is
    described: its header is all that is read of it. Without `size`, a file object is read to
    its end to count it (a step at a time, nothing held).

    Returns a dict with "kind" (hybrid, mlkem, protected, classic-rsa or unknown), "content"
    (private-key, public-key, ciphertext or None), "summary" (one line for people) and the
    details that apply: sizes, "form" (streamed or one-shot), "fingerprint", "bits", ...
    Content that is no key or ciphertext is described as unknown, never refused.
    """
    read, held = _reader(source)
    data = read(MAX_KEY_BYTES + 1)
    if size is None:
        size = held if held is not None else len(data) + _count(read)
    if is_streamed(data):
        # Its header is all that says what it is; the size gives the rest.
        return _streamed(data, size)
    if data[: len(MAGIC)] == MAGIC:
        if size > MAX_PACKED_SIZE:
            return _result("unknown", "ciphertext", f"damaged post-quantum ciphertext: {size} bytes, "
                           f"longer than any ({MAX_PACKED_SIZE})", size=size)
        return _ciphertext(data + read(MAX_PACKED_SIZE + 1 - len(data)))
    if looks_like_key(data):
        described = _key_or_unknown(data)
        if described["kind"] != "unknown" or len(data) not in _CLASSIC_SIZES:
            return described
    if len(data) in _CLASSIC_SIZES:
        # A classic ciphertext is a number below the modulus, in exactly the modulus size.
        return _result("classic-rsa", "ciphertext",
                       f"probably a classic RSA ciphertext (or signature): {len(data)} bytes, the size for "
                       f"a {len(data) * 8}-bit key; nothing in it says so (`migrate` tells with the key)",
                       size=len(data), certain=False)
    return _result("unknown", None, f"unknown: {size} bytes, neither a key nor a ciphertext this tool reads",
                   size=size)


def describe_key(key_bytes) -> dict:
    """describe() of key bytes, which must be a key: ValueError, with the reader's reason,
    for anything else (a damaged protected key included). A protected key is described
    from its published members, without its pass phrase."""
    data = key_data(key_bytes, "key_bytes")
    members = protected_members(data)
    if members is not None:
        return _protected(members)
    return _parsed(data, load_exact(data))


def _key_or_unknown(data: bytes) -> dict:
    try:
        members = protected_members(data)
    except ValueError as error:
        return _result("unknown", "private-key", f"damaged protected key: {error}")
    if members is not None:
        return _protected(members)
    try:
        key = load_key(data, "key")
    except ValueError as error:
        return _result("unknown", None, f"unknown: not usable as a key ({error})")
    return _parsed(data, key)


def _protected(members: dict) -> dict:
    return _result("protected", "private-key",
                   f"private key protected by a pass phrase ({members['kdf']} with N=2**{members['log2_n']}, "
                   f"r={members['r']}, p={members['p']}; {members['cipher']}); the key inside is sealed too",
                   kdf=members["kdf"], cipher=members["cipher"])


def _parsed(data: bytes, key) -> dict:
    kind = "private-key" if key.private else "public-key"
    role = "private key" if key.private else "public key"
    found = fingerprint(data, key)
    if isinstance(key, LegacyKey):
        bits = key.rsa_public.key_size
        return _result("classic-rsa", kind,
                       f"classic RSA {role}, {bits} bits, {key.encoding}: reads data from before the "
                       f"switch, encrypts nothing new; {found}",
                       bits=bits, encoding=key.encoding, fingerprint=found)
    if key.hybrid:
        bits = key.rsa_public.key_size
        return _result("hybrid", kind, f"hybrid {key.label} {role} (RSA half {bits} bits); {found}",
                       algorithm=key.label, bits=bits, fingerprint=found)
    return _result("mlkem", kind, f"pure {key.label} {role}; {found}", algorithm=key.label, fingerprint=found)


def _ciphertext(data: bytes) -> dict:
    try:
        envelope = unpack_ciphertext(data)
    except ValueError as error:
        return _result("unknown", "ciphertext", f"damaged post-quantum ciphertext: {error}", size=len(data))
    message = len(envelope.sealed) - TAG_SIZE
    return _described(envelope.header, len(data), message, "one-shot")


def _streamed(data: bytes, size: int) -> dict:
    try:
        header = read_header(HeldBytes(data).take)
    except ValueError as error:
        return _result("unknown", "ciphertext", f"damaged post-quantum ciphertext: {error}", size=size)
    payload = size - len(header.raw)
    message = message_size(payload)
    if message is None:
        return _result("unknown", "ciphertext",
                       f"damaged post-quantum ciphertext: streamed, but cut short or extended: no message "
                       f"gives {payload} bytes of chunks", size=size)
    return _described(header, size, message, "streamed", chunks=chunk_count(message), chunk_size=STREAM_CHUNK_SIZE)


def _described(header, size: int, message: int, form: str, **details) -> dict:
    layout = f"{form}, {message} bytes of message"
    if form == "streamed":
        chunks = details["chunks"]
        layout += f" in {chunks} chunk{'s' if chunks > 1 else ''} of up to {STREAM_CHUNK_SIZE // 1024} KiB"
    if header.hybrid:
        bits = len(header.rsa_ct) * 8
        return _result("hybrid", "ciphertext",
                       f"hybrid ML-KEM-768+RSA ciphertext for a key with a {bits}-bit RSA half; {layout}",
                       size=size, form=form, message_size=message, bits=bits, **details)
    return _result("mlkem", "ciphertext", f"pure ML-KEM-768 ciphertext; {layout}",
                   size=size, form=form, message_size=message, **details)


def _result(kind: str, content: str | None, summary: str, **details) -> dict:
    return {"kind": kind, "content": content, "summary": summary, **details}


def _reader(source):
    """(read(n), which returns the next n bytes of the source, fewer only at its end; the
    size of bytes held in memory, or None for a file object)."""
    read = getattr(source, "read", None)
    if read is None:
        with memoryview(source) as view, view.cast("B") as octets:
            held = HeldBytes(bytes(octets))
        return held.take, len(held.view)
    if not callable(read):
        raise TypeError(f"source must be bytes-like or a binary file object, not {type(source).__name__!r}")

    def read_up_to(n: int) -> bytes:
        parts, left = [], n
        while left > 0:
            chunk = read(left)
            if not chunk:
                break
            if not isinstance(chunk, (bytes, bytearray)):
                raise TypeError(f"source.read() must return bytes, not {type(chunk).__name__!r}: "
                                f"open it in binary mode")
            parts.append(bytes(chunk))
            left -= len(chunk)
        return b"".join(parts)

    return read_up_to, None


def _count(read) -> int:
    count = 0
    while step := len(read(_COUNTED_STEP)):
        count += step
    return count

