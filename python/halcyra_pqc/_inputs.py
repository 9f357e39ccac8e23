"""Argument checks for byte-string inputs."""


def byte_view(value, name: str) -> memoryview:
    """Returns a flat byte view of any bytes-like `value`, copying only non-contiguous data."""
    try:
        view = memoryview(value)
    except TypeError:
        raise TypeError(
            f"{name} must be a bytes-like object, not {type(value).__name__!r}"
        ) from None
    if not view.c_contiguous:
        return memoryview(view.tobytes())
    return view.cast("B")


def as_bytes(value, name: str, *, limit: int | None = None) -> bytes:
    """Returns `value` as bytes, checking its size against `limit` before any copy is made."""
    if type(value) is bytes:
        size = len(value)
    else:
        view = byte_view(value, name)
        size = view.nbytes
    if limit is not None and size > limit:
        raise ValueError(f"{name} is too long: {size} bytes, at most {limit} are allowed")
    return value if type(value) is bytes else view.tobytes()
