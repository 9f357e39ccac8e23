"""The engine behind `halcyra-pqc migrate`, as the command calls it. Its interface follows
the command's needs and changes with them, so it has no stubs; programs convert stored items
with migrate_ciphertext().

make_plan() checks a run's arguments and its state directory and returns the plan; run()
carries the plan out, resumably (asked to stop, it finishes the files in progress), and
dry_run() reports what it would do. Both return the summary whose counts are those of the
disk. Refused means nothing was done; Damaged, that the state directory was found damaged
and nothing more was done. shown() spells a file name on one line, as the engine's lists do.
"""

from ._engine import dry_run, run
from ._errors import Damaged, Refused
from ._plan import make_plan
from ._text import shown

__all__ = ["Damaged", "Refused", "dry_run", "make_plan", "run", "shown"]
