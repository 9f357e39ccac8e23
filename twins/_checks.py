"""What the native functions check outside their statements: the exact built-in type of
some arguments, before the body runs, and the exact type of some results. The twins call
these from their own lines; living in this file, the checks add no record of the twin's."""


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
