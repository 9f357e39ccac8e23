"""Progress of a long run on standard error: a bar with count, rate and ETA on a terminal
(tqdm, from the optional `halcyra-pqc[cli]` extra), plain lines at a fixed interval
otherwise, for logs."""

import sys
import time

try:
    from tqdm import tqdm
except ImportError:  # the bar is optional: a cryptography library keeps its dependencies few
    tqdm = None
else:
    # No monitor thread: the migration forks its workers, and a process with threads must not.
    tqdm.monitor_interval = 0


class Progress:
    def __init__(self, total: int, *, label: str, interval: float, stream=None) -> None:
        self._stream = stream or sys.stderr
        self._total = total
        self._label = label
        self._interval = interval
        self._count = 0
        self._started = self._last = time.monotonic()
        self._bar = None
        if self._stream.isatty():
            if tqdm is not None:
                self._bar = tqdm(total=total, unit=" files", desc=label, file=self._stream,
                                 dynamic_ncols=True, smoothing=0.05, mininterval=0.25)
            else:
                self.note("(install halcyra-pqc[cli] for a progress bar)")

    def advance(self, count: int) -> None:
        self._count += count
        if self._bar is not None:
            self._bar.update(count)
            return
        now = time.monotonic()
        if now - self._last >= self._interval:
            self._last = now
            self._line(now)

    def _line(self, now: float) -> None:
        elapsed = now - self._started
        rate = self._count / elapsed if elapsed > 0 else 0.0
        share = f" ({100 * self._count / self._total:.1f}%)" if self._total else ""
        eta = f", ETA {clock((self._total - self._count) / rate)}" if rate > 0 else ""
        self.note(f"{self._label}: {self._count}/{self._total} files{share}, {rate:.1f} files/s{eta}")

    def note(self, text: str) -> None:
        """A line of its own, which a bar on the terminal moves below."""
        if self._bar is not None:
            self._bar.write(text, file=self._stream)
        else:
            print(text, file=self._stream, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
