"""File names as they can be printed: one line each, whatever bytes they hold."""

import os

_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def shown(path: str) -> str:
    """A name with its backslashes doubled, line breaks, tabs and other characters that are
    not printable as escapes, and bytes that are not UTF-8 as \\xNN: never more than one line,
    and no two names shown alike."""
    text = os.fsencode(path).decode("utf-8", "surrogateescape")
    return "".join(_escaped(character) for character in text)


def _escaped(character: str) -> str:
    if character in _ESCAPES:
        return _ESCAPES[character]
    code = ord(character)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as surrogateescape holds it
        return f"\\x{code - 0xDC00:02x}"
    if character.isprintable():
        return character
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"
