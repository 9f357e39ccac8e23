"""The summary an operator reads at the end of a migration: the engine's counts, which are
those of the disk, and file names escaped so that each takes one line."""

from ..migration.engine import shown

# At most this many failures are listed in the summary; all are in the failure list file.
SHOWN_FAILURES = 20


def report(summary) -> str:
    tally, plan, dry_run = summary.tally, summary.plan, summary.dry_run
    copied = plan.out is not None
    lines = []
    if dry_run:
        lines.append("dry run: nothing was changed")
    elif summary.stopped:
        lines.append(f"stopped: {summary.stopped}")
    elif summary.interrupted:
        lines.append("interrupted: the files in progress were finished and recorded")
    verb = "would migrate" if dry_run else "migrated"
    schemes = ", ".join(f"{_SCHEME_NAMES[s]}: {n}" for s, n in sorted(tally.by_scheme.items()))
    lines.append(f"  {verb + ':':<24}{tally.migrated}" + (f"  ({schemes})" if schemes else ""))
    found = "not yet recorded" if dry_run else "recorded now"
    earlier = f"  ({tally.recovered} found migrated, {found})" if tally.recovered else ""
    lines.append(f"  {'done by an earlier run:':<24}{tally.done_earlier + tally.recovered}{earlier}")
    kept = "left as they are" if not copied else ("would be copied unchanged" if dry_run else "copied unchanged")
    lines.append(f"  {'already post-quantum:':<24}{tally.post_quantum}  ({kept})")
    failed = len(tally.failures)
    note = ""
    if failed and not dry_run:
        note = "  (kept as they are" + (f"; {tally.copied_failures} copied unchanged" if copied else "") + ")"
    lines.append(f"  {('would fail:' if dry_run else 'failed:'):<24}{failed}{note}")
    tally.failures.sort()
    for relative, reason in tally.failures[:SHOWN_FAILURES]:
        lines.append(f"    {shown(relative)}: {reason}")
    if failed > SHOWN_FAILURES:
        more = f"{failed - SHOWN_FAILURES} more"
        lines.append(f"    ... and {more}" + (f", all listed in {summary.failure_list}" if summary.failure_list else ""))
    elif failed and summary.failure_list:
        lines.append(f"    (listed in {summary.failure_list})")
    for label, count, why in summary.more_counts:
        lines.append(f"  {label + ' ':<24}{count}  ({why})")
    if tally.not_reached:
        lines.append(f"  {'not reached:':<24}{tally.not_reached}  (run the same command again to resume)")
    if summary.departed:
        where = (f"their outputs {'would be ' if dry_run else ''}moved to {summary.withdrawn or 'STATE/withdrawn'}"
                 if copied else "their originals stay in the backup")
        lines.append(f"  left the store since an earlier run: {summary.departed} ({where})")
    for (what, why), files, directories in _lost(tally):
        counted = " and ".join(f"{n} {one if n == 1 else many}" for n, one, many in
                               ((files, "file", "files"), (directories, "directory", "directories")) if n)
        lines.append(f"  not kept: {what} of {counted} ({why})")
    if summary.unrecorded:
        lines.append(f"  not recorded in the journal: {summary.unrecorded} finished files (the next run finds "
                     f"them again)")
    if summary.leftovers:
        action = "would be removed" if dry_run else "removed"
        lines.append(f"  temporary files left by an interrupted run: {summary.leftovers} ({action})")
    if summary.torn_bytes:
        lines.append(f"  journal: an incomplete last record ({summary.torn_bytes} bytes) from an interrupted run "
                     f"{'would be' if dry_run else 'was'} dropped")
    if not dry_run:
        seconds = summary.seconds
        if tally.migrated and seconds > 0:
            workers = summary.workers or ("1 worker" if plan.jobs == 1 else f"{plan.jobs} workers")
            unit = summary.unit
            lines.append(f"  throughput: {tally.migrated / seconds:.1f} {unit}/s, "
                         f"{tally.bytes_in / 2**20 / seconds:.3f} MiB/s of classic ciphertext "
                         f"({tally.migrated} {unit}, {_size(tally.bytes_in)} in {seconds:.1f} s, {workers})")
        if plan.database is not None:
            lines.append(f"  originals: kept in {summary.backup} (never dropped by this tool)")
        elif plan.in_place:
            lines.append(f"  originals: kept in {summary.backup} (never removed by this tool)")
        else:
            lines.append(f"  originals: untouched in {plan.source}")
        if summary.journal:
            lines.append(f"  journal: {summary.journal}")
    v15 = tally.by_scheme.get("pkcs1v15", 0)
    if v15:
        where = f"in {summary.backup}" if plan.in_place else f"in {plan.source}"
        lines.append(
            f"note: {v15} {summary.unit[:-1]}(s) were read as PKCS#1 v1.5, whose padding check a "
            f"{summary.unit[:-1]} made for another key of the same size passes by chance about once in "
            f"30,000 {summary.unit}. Keep the "
            f"originals ({where}) until your application has read the migrated files; if the data "
            f"was made with OAEP (PyCryptodome's PKCS1_OAEP), --scheme oaep-sha1 rules that out.")
    return "\n".join(lines)


def _lost(tally):
    """((what, why), files, directories) of each thing that could not be kept."""
    keys = sorted(set(tally.lost_files) | set(tally.lost_directories))
    return [(key, tally.lost_files[key], tally.lost_directories[key]) for key in keys]


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
