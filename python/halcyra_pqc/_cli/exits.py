"""Exit codes, and the two failures a command reports as one line on standard error."""

OK = 0
# Decryption or verification failed, the output was cut off (a closed pipe), or some files
# of a migration failed.
FAILED = 1
# Nothing was done: bad arguments, a file that cannot be read or written, a key of the wrong
# kind, a wrong pass phrase (argparse exits with 2 for its own usage errors too).
USAGE = 2
# A migration stopped on an error of its own (or on its damaged journal, before any change);
# what it finished is kept and recorded.
STOPPED = 3
# Interrupted (Ctrl-C or SIGTERM): 128 + SIGINT, as shells report it.
INTERRUPTED = 130

SUMMARY = """\
exit codes:
  0    success
  1    decryption or verification failed, or the output was cut off (a
       closed pipe); migrate: some files failed (listed)
  2    usage error: bad arguments, a missing or unreadable file, a key of the
       wrong kind, a wrong pass phrase; nothing was changed
  3    migrate stopped on an error (a damaged journal, before any change; the
       journal or store unwritable, a worker died); finished files are kept and
       recorded: run it again
  130  interrupted (Ctrl-C, SIGTERM); finished files are kept: run it again"""


class UsageError(Exception):
    """The command cannot run as asked; nothing was changed (exit code 2)."""


class CommandFailed(Exception):
    """The command ran and its operation failed (exit code 1)."""
