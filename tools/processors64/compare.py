"""compare: each host's rates in two windows of the same cluster, and what
changed between their records.

OLD and NEW are each a directory (its newest window) or a run (a results
file, a console log or a run record): `compare old/ .` or `compare
OLD.txt NEW.txt`. Given any other files (`compare old/results_*
results_*`), the two newest windows among them are compared.
"""

import csv
import os
import sys

from . import console, describe, exits, model, reading, run_record
from .history import natural
from .reading import number, shown

COMPARE_COLUMNS = ("test", "host", "old_rate", "new_rate", "ratio", "changed")


def comparison(old, new, threshold):
    """Rows (test, host, old rate, new rate, ratio, changed), hosts by name;
    a host in one window only has None for the other and counts as changed."""
    rows = []
    for name in model.TESTS:
        before, after = model.host_rates(old, name), model.host_rates(new, name)
        if not before or not after:
            continue
        for host in sorted(set(before) | set(after), key=natural):
            a, b = before.get(host), after.get(host)
            ratio = b / a if a and b is not None else None
            changed = ratio is None or abs(ratio - 1) > threshold / 100
            rows.append((name, host, a, b, ratio, changed))
    return rows


def _one_side(path):
    """Whether `path` names one side on its own: a directory or one run."""
    return os.path.isdir(path) or not path.endswith(tuple(run_record.VERDICT_SUFFIXES))


def _same_run(paths):
    """Whether two paths are one run: a results file and its record."""
    reports = [reading.inputs([path])[0] for path in paths]
    return reports[0] == reports[1] and paths[0] != paths[1]


def sides(args):
    """(OLD, NEW) windows and whether a file could not be read; raises
    reading.InputError where there are not two."""
    if len(args.files) == 2 and all(map(_one_side, args.files)) and not _same_run(args.files):
        # A side named on its own is compared whatever its name says.
        loaded = [console.load([path], args.window, options=args) for path in args.files]
        if any(side.failed or not side.windows for side in loaded):
            return None, None, True
        return loaded[0].windows[-1], loaded[1].windows[-1], False
    loaded = console.load(args.files, args.window, options=args)
    windows = console.dated(loaded.windows, "the comparison")
    if len(windows) < 2:
        if loaded.failed:
            return None, None, True
        raise reading.InputError(
            f"compare takes two windows, OLD and NEW; these files hold {len(windows)} (a "
            "directory or a run on each side, or files of two windows or more)")
    return windows[-2], windows[-1], loaded.failed


def window_label(window):
    masters = ", ".join(map(shown, window.masters())) or "no master"
    return f"window {shown(window.id)}, {window.label()} ({masters})"


def command_compare(args):
    old, new, failed = sides(args)
    if old is None:
        return exits.UNREADABLE
    rows = comparison(old, new, args.threshold)
    if args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(COMPARE_COLUMNS)
        for test, host, a, b, ratio, changed in rows:
            writer.writerow((test, host, "" if a is None else f"{a:g}",
                             "" if b is None else f"{b:g}",
                             "" if ratio is None else f"{ratio:.4f}",
                             "true" if changed else "false"))
        return exits.UNREADABLE if failed else 0
    print(f"old: {window_label(old)}")
    print(f"new: {window_label(new)}")
    print("\n".join(describe.differences(old, new)))
    print(f"median rate of each host's workers of the common form, in Millions "
          f"Executions/sec; changed: moved by more than {args.threshold:g}%")
    width = max([len(shown(row[1])) for row in rows] + [4])
    print(f"{'test':<18} {'host':<{width}} {'old':>10} {'new':>10} {'ratio':>7}  changed")
    for test, host, a, b, ratio, changed in rows:
        print(f"{test:<18} {shown(host):<{width}} {number(a):>10} {number(b):>10} "
              f"{'-' if ratio is None else f'{ratio:.3f}':>7}  {'yes' if changed else 'no'}")
    return exits.UNREADABLE if failed else 0
