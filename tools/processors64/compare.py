"""compare: each host's rates in two runs of the same cluster."""

import csv
import sys

from . import describe
from .forms import host_medians
from .reading import FAILED, InputError, number, read_all, reports_named, shown

COMPARE_COLUMNS = ("test", "host", "old_rate", "new_rate", "ratio", "changed")


def comparison(old, new, threshold):
    """Rows (test, host, old rate, new rate, ratio, changed); a host in one
    run only has None for the other and counts as changed."""
    rows = []
    new_tests = {test.name: test for test in new.tests}
    for old_test in old.tests:
        if old_test.name not in new_tests:
            continue
        before, after = host_medians(old_test), host_medians(new_tests[old_test.name])
        for host in list(before) + [h for h in after if h not in before]:
            a, b = before.get(host), after.get(host)
            ratio = b / a if a and b is not None else None
            changed = ratio is None or abs(ratio - 1) > threshold / 100
            rows.append((old_test.name, host, a, b, ratio, changed))
    return rows


def command_compare(args):
    paths = reports_named(args.files)  # OLD/results_* names a record too
    if len(paths) != 2 and not FAILED:
        raise InputError(f"compare takes two runs, OLD and NEW, not {len(paths)} (a results "
                         "file and its run record count as one)")
    runs = read_all(paths, slow_pct=10)
    if len(runs) < 2:
        return
    old, new = runs
    rows = comparison(old, new, args.threshold)
    if args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(COMPARE_COLUMNS)
        for test, host, a, b, ratio, changed in rows:
            writer.writerow((test, host, "" if a is None else f"{a:g}",
                             "" if b is None else f"{b:g}",
                             "" if ratio is None else f"{ratio:.4f}",
                             "true" if changed else "false"))
        return
    print(f"old: {shown(old.path)} ({old.label()})")
    print(f"new: {shown(new.path)} ({new.label()})")
    print("\n".join(describe.differences(old, new)))
    print(f"median rate of each host's workers of the common form, in Millions "
          f"Executions/sec; changed: moved by more than {args.threshold:g}%")
    width = max([len(row[1]) for row in rows] + [4])
    print(f"{'test':<18} {'host':<{width}} {'old':>10} {'new':>10} {'ratio':>7}  changed")
    for test, host, a, b, ratio, changed in rows:
        print(f"{test:<18} {host:<{width}} {number(a):>10} {number(b):>10} "
              f"{'-' if ratio is None else f'{ratio:.3f}':>7}  {'yes' if changed else 'no'}")

