"""The core's edge: every key, message, ciphertext and pass phrase is copied once into an
exact bytes object, its size checked before anything is copied. Nothing later consults the
caller's object again, so no method of it (encode, __len__, __buffer__, __hash__, __eq__)
can change what is checked, cached or used after the fact."""

from ._errors import invalid_key
from ._params import MAX_KEY_BYTES, MAX_PASSPHRASE_BYTES


def exact_bytes(value, name: str, check_size, *, accepted: str = "a bytes-like object", head: int = 0) -> bytes:
    """`value` (any bytes-like object) as bytes. `check_size(size)` raises ValueError for a
    size that is refused; it runs on the size the buffer declares, before any copy. With
    `head`, it is check_size(size, the first `head` bytes), for data that says how long it
    may be."""
    if type(value) is bytes:
        check_size(len(value), value[:head]) if head else check_size(len(value))
        return value
    view = buffer_of(value)
    if view is None:
        raise TypeError(f"{name} must be {accepted}, not {type(value).__name__!r}")
    with view:
        if head and view.c_contiguous:
            with view.cast("B") as octets:
                check_size(view.nbytes, octets[:head].tobytes())
        elif head:
            # A strided buffer has no first bytes to read without a copy: judged as if it
            # said nothing of its length.
            check_size(view.nbytes, b"")
        else:
            check_size(view.nbytes)
        return view.tobytes()


def buffer_of(value) -> memoryview | None:
    """A view of a bytes-like object, or None; the TypeError that says why not is dropped
    here, so that the error raised in its place has no context."""
    try:
        return memoryview(value)
    except TypeError:
        return None


def at_most(limit: int, name: str):
    """A check_size that refuses more than `limit` bytes."""

    def check(size: int) -> None:
        if size > limit:
            raise ValueError(f"{name} is too long: {size} bytes, at most {limit} are allowed")

    return check


def key_data(value, name: str) -> bytes:
    """Key bytes: any bytes-like object, or the same text as str (encoded as UTF-8)."""
    if issubclass(type(value), str):
        data = _utf8(value, _check_key_size)
        if data is None:
            raise invalid_key("the text is not valid Unicode")
        return data
    return exact_bytes(value, name, _check_key_size, accepted="bytes, a bytes-like object or str")


def passphrase_bytes(value) -> bytes:
    """A pass phrase: str (encoded as UTF-8) or any bytes-like object, never empty."""
    if issubclass(type(value), str):
        secret = _utf8(value, _check_passphrase_size)
        if secret is None:
            raise ValueError("the pass phrase is not valid Unicode")
    else:
        secret = exact_bytes(value, "passphrase", _check_passphrase_size,
                             accepted="str, bytes or a bytes-like object")
    if not secret:
        raise ValueError("the pass phrase is empty")
    return secret


def _utf8(text, check_size) -> bytes | None:
    """The UTF-8 encoding of a str, read through str's own methods so that a subclass cannot
    change it, or None for lone surrogates; check_size as for exact_bytes()."""
    # A character takes at least one byte: its length bounds the work before encoding.
    check_size(str.__len__(text))
    try:
        data = str.encode(text, "utf-8")
    except UnicodeEncodeError:
        return None
    check_size(len(data))
    return data


def _check_key_size(size: int) -> None:
    if size > MAX_KEY_BYTES:
        raise invalid_key(f"longer than {MAX_KEY_BYTES} bytes")


def _check_passphrase_size(size: int) -> None:
    if size > MAX_PASSPHRASE_BYTES:
        raise ValueError(f"the pass phrase is longer than {MAX_PASSPHRASE_BYTES} bytes")
