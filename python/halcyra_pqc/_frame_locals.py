"""No secret in a traceback: an exception keeps every frame it passed through alive, with its
locals, and error trackers that capture frame locals (TracebackException(capture_locals=True)
and the services built on it) would send the private key bytes, the pass phrase, the payload
key or the plaintext away with the report.

clear_locals_on_failure() wraps an entry point so that when it fails, before the exception
reaches the caller, every frame below the entry point has its locals cleared, and the entry
point's own frame drops its arguments. The exception's type, text and the traceback's file and
line numbers stay as they were; only the values are gone. The caller's own frame, and a
debugger stopped inside the call, still see whatever they held.
"""

import functools


def clear_locals_on_failure(function):
    @functools.wraps(function)
    def entry(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except BaseException as error:
            _clear_frames_below(error.__traceback__)
            del args, kwargs
            raise

    return entry


def _clear_frames_below(tb) -> None:
    # The first frame is the entry point's own, still running: its arguments are dropped by
    # hand. Every frame below it has finished. (traceback.clear_frames does the same, but the
    # traceback module costs the package's import a few milliseconds.)
    tb = tb.tb_next
    while tb is not None:
        try:
            tb.tb_frame.clear()
        except RuntimeError:
            # A frame still running (none should be, below an entry point that is failing)
            # keeps its locals rather than replacing the caller's exception.
            pass
        tb = tb.tb_next
