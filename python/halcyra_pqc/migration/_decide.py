"""What happens to a stored item: the one place that decides, which the workers ask for every
item they read and the dry run for every item it looks at."""

from ._item import CLASSIC, FAILED, POST_QUANTUM

# Actions.
MIGRATE = "migrate"  # convert it (the conversion itself may still fail)
COPY = "copy"  # out of place: copy it unchanged (already post-quantum)
COPY_FAILED = "copy-failed"  # out of place: copy it unchanged, and report it as failed
LEAVE = "leave"  # in place: already post-quantum, nothing to do
DONE_EARLIER = "done-earlier"  # an earlier run recorded it as finished
RECOVERED = "recovered"  # finished by an earlier run that crashed before recording it
FAIL = "fail"  # in place: report it as failed, and keep it as it is


def not_a_file(*, link: bool, out: bool) -> str:
    """The action for what the listing found is no regular file (a link, a special file, a
    directory that cannot be read): out of place a link is copied as it is, as a link; the
    rest fails, and is left where it is."""
    return COPY_FAILED if out and link else FAIL


def settled(*, out: bool, recorded_identity, identity, output_exists) -> bool:
    """Whether an item is finished without reading it: out of place, the journal records this
    very source (`identity`: inode, size, modification time) as done and its output is there.
    `output_exists` is called only when the rest holds."""
    return out and recorded_identity is not None and list(recorded_identity) == list(identity) and output_exists()


def action(kind: str, *, out: bool, recorded: bool, has_backup) -> str:
    """The action for an item of `kind` (classify()'s) that is not settled. `recorded`: the
    journal has a record of it; `has_backup` is called, in place, to ask whether the backup
    tree holds an original of it (a post-quantum item with one was migrated by a run that
    crashed before recording it)."""
    if kind == CLASSIC:
        return MIGRATE
    if kind == FAILED:
        # Out of place the output is the whole store: what cannot be migrated is copied too.
        return COPY_FAILED if out else FAIL
    assert kind == POST_QUANTUM
    if out:
        return COPY
    if recorded:
        return DONE_EARLIER
    return RECOVERED if has_backup() else LEAVE
