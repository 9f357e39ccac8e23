"""What a migration did, counted as it goes, and the summary an operator reads at the end."""

import os
from dataclasses import dataclass, field

# At most this many failures are listed in the summary; all are in the failure list file.
SHOWN_FAILURES = 20


@dataclass
class Tally:
    migrated: int = 0
    by_scheme: dict[str, int] = field(default_factory=dict)
    post_quantum: int = 0
    done_earlier: int = 0
    recovered: int = 0
    failures: list[tuple[str, str]] = field(default_factory=list)
    bytes_in: int = 0
    bytes_out: int = 0
    not_reached: int = 0

    def add_migrated(self, scheme: str | None, bytes_in: int = 0, bytes_out: int = 0) -> None:
        self.migrated += 1
        if scheme is not None:
            self.by_scheme[scheme] = self.by_scheme.get(scheme, 0) + 1
        self.bytes_in += bytes_in
        self.bytes_out += bytes_out

    def fail(self, relative: str, reason: str) -> None:
        self.failures.append((relative, reason))

    def counts(self) -> dict[str, int]:
        return {"migrated": self.migrated, "post_quantum": self.post_quantum, "done_earlier": self.done_earlier,
                "recovered": self.recovered, "failed": len(self.failures), "not_reached": self.not_reached}


def report(tally: Tally, *, in_place: bool, copied: bool, dry_run: bool, seconds: float, jobs: int,
           backup: str | None, source: str, journal: str | None, failure_list: str | None,
           leftovers: int, torn_bytes: int, interrupted: bool, stopped: str | None) -> str:
    lines = []
    if dry_run:
        lines.append("dry run: nothing was changed")
    elif stopped:
        lines.append(f"stopped: {stopped}")
    elif interrupted:
        lines.append("interrupted: the files in progress were finished and recorded")
    verb = "would migrate" if dry_run else "migrated"
    schemes = ", ".join(f"{_SCHEME_NAMES[s]}: {n}" for s, n in sorted(tally.by_scheme.items()))
    lines.append(f"  {verb + ':':<24}{tally.migrated}" + (f"  ({schemes})" if schemes else ""))
    found = "not yet recorded" if dry_run else "recorded now"
    earlier = f"  ({tally.recovered} found migrated, {found})" if tally.recovered else ""
    lines.append(f"  {'done by an earlier run:':<24}{tally.done_earlier + tally.recovered}{earlier}")
    kept = "left as they are" if not copied else ("would be copied unchanged" if dry_run else "copied unchanged")
    lines.append(f"  {'already post-quantum:':<24}{tally.post_quantum}  ({kept})")
    lines.append(f"  {('would fail:' if dry_run else 'failed:'):<24}{len(tally.failures)}"
                 + ("  (kept as they are)" if tally.failures and not dry_run else ""))
    tally.failures.sort()
    for relative, reason in tally.failures[:SHOWN_FAILURES]:
        lines.append(f"    {shown(relative)}: {reason}")
    if len(tally.failures) > SHOWN_FAILURES:
        more = f"{len(tally.failures) - SHOWN_FAILURES} more"
        lines.append(f"    ... and {more}" + (f", all listed in {failure_list}" if failure_list else ""))
    elif tally.failures and failure_list:
        lines.append(f"    (listed in {failure_list})")
    if tally.not_reached:
        lines.append(f"  {'not reached:':<24}{tally.not_reached}  (run the same command again to resume)")
    if leftovers:
        action = "would be removed" if dry_run else "removed"
        lines.append(f"  temporary files left by an interrupted run: {leftovers} ({action})")
    if torn_bytes:
        lines.append(f"  journal: an incomplete last record ({torn_bytes} bytes) from an interrupted run was dropped")
    if not dry_run:
        if tally.migrated and seconds > 0:
            workers = "1 worker" if jobs == 1 else f"{jobs} workers"
            lines.append(f"  throughput: {tally.migrated / seconds:.1f} files/s, "
                         f"{tally.bytes_in / 2**20 / seconds:.3f} MiB/s of classic ciphertext "
                         f"({tally.migrated} files, {_size(tally.bytes_in)} in {seconds:.1f} s, {workers})")
        if in_place:
            lines.append(f"  originals: kept in {backup} (never removed by this tool)")
        else:
            lines.append(f"  originals: untouched in {source}")
        if journal:
            lines.append(f"  journal: {journal}")
    v15 = tally.by_scheme.get("pkcs1v15", 0)
    if v15:
        where = f"in {backup}" if in_place else f"in {source}"
        lines.append(
            f"note: {v15} file(s) were read as PKCS#1 v1.5, whose padding check a file made for "
            f"another key of the same size passes by chance about once in 30,000 files. Keep the "
            f"originals ({where}) until your application has read the migrated files; if the data "
            f"was made with OAEP (PyCryptodome's PKCS1_OAEP), --scheme oaep-sha1 rules that out.")
    return "\n".join(lines)


def shown(path: str) -> str:
    """A file name as it can be printed: bytes that are not UTF-8 as backslash escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


_SCHEME_NAMES = {"oaep-sha1": "OAEP with SHA-1", "pkcs1v15": "PKCS#1 v1.5"}


def _size(count: int) -> str:
    if count < 1024:
        return f"{count} bytes"
    amount = float(count)
    for unit in ("KiB", "MiB", "GiB"):
        amount /= 1024
        if amount < 1024 or unit == "GiB":
            break
    return f"{amount:.1f} {unit}"
