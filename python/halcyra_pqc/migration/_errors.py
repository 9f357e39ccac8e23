"""The two ways a migration ends before its work: refused, or stopped on damaged state."""


class Refused(Exception):
    """The migration cannot run as asked, and nothing was changed: the arguments, the keys,
    the state directory or another run of the same store (the command's exit code 2)."""


class Damaged(Exception):
    """The state of the migration (its journal or identity) is damaged; nothing was changed,
    and the message says where and what to do (the command's exit code 3)."""
