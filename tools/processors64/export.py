"""export: every worker's record and each run's summary, with the window
and group of its job, as CSV or JSON; or the newest window by host as
Prometheus metrics (prometheus.py)."""

import csv
import json
import math
import statistics
import sys

from . import console, exits, forms, prometheus
from .forms import BASELINE
from .reading import InputError, number

CSV_COLUMNS = ("file", "test", "rank", "host", "seconds", "rate", "form", "slow", "window",
               "group")


def worker_records(run, window, group):
    """Every worker of every streaming test, the master's baseline as rank 0."""
    for test in run.tests:
        if test.baseline:
            yield (run.path, test.name, 0, run.master or "", test.baseline[0],
                   test.baseline[1], BASELINE, False, window, group)
        for rank, host, seconds, rate, form, slow in zip(
                range(1, len(test.rates) + 1), test.hosts, test.seconds, test.rates, test.forms,
                test.slow):
            yield run.path, test.name, rank, host, seconds, rate, form, slow, window, group


def _json_number(value):
    return value if value is not None and math.isfinite(value) else None


def run_summary(run, window):
    tests = []
    for test in run.tests:
        ranks, rates = test.host_ranks(), test.host_rates()
        tests.append({
            "test": test.name,
            "baseline_seconds": _json_number(test.baseline[0]) if test.baseline else None,
            "baseline_rate": _json_number(test.baseline[1]) if test.baseline else None,
            "overall": _json_number(test.overall),
            "improvement": _json_number(test.improvement),
            "mean": _json_number(test.mean),
            "hosts": [{"host": host, "workers": len(ranks[host]),
                       "min": _json_number(min(rates[host])),
                       "median": _json_number(statistics.median(rates[host])),
                       "max": _json_number(max(rates[host]))} for host in ranks],
            "slow": [i + 1 for i, slow in enumerate(test.slow) if slow],
        })
    return {
        "file": run.path,
        "date": run.when.isoformat() if run.when else None,
        "time_zone": run.zone,
        "master": run.master,
        "processes": run.nproc,
        "complete": run.ends is None,
        "ends": run.ends,
        "window": {"id": window.id, "group": _group(run, window),
                   "groups": window.groups()},
        "effective_frequency": {"overall": _json_number(run.ef_overall),
                                "mean": _json_number(run.ef_mean)},
        "tests": tests,
        "record": run.record,  # the run record as its file has it, or None
    }


def _group(run, window):
    """The run's group in its window: as its record says, else its place."""
    key = run.window_key()
    if key:
        return key["group"]
    return next((n for n, other in enumerate(window.runs, 1) if other is run), None)


def _placed(loaded):
    """Each run read, in the order named, with the id of its window and its
    group there."""
    where = {}
    for window in loaded.windows:
        for run in window.runs:
            where[id(run)] = (window, _group(run, window))
        for copy in window.copies:
            twin = next(run for run in window.runs if (run.when, run.master) ==
                        (copy.when, copy.master))
            where[id(copy)] = (window, _group(twin, window))
    return [(run, *where[id(run)]) for run in loaded.runs]


def command_export(args):
    if args.format == "prometheus":
        return prometheus.command_export(args)
    if args.out is not None:
        raise InputError("--out is for --format prometheus; json and csv go to standard output")
    loaded = console.load(args.files, args.window, options=args)
    forms.mark_slow(loaded.runs, args.slow)
    placed = _placed(loaded)
    if args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(CSV_COLUMNS)
        for run, window, group in placed:
            for record in worker_records(run, window.id, group):
                writer.writerow(record[:4] + (number(record[4]), number(record[5]), record[6],
                                              "true" if record[7] else "false", record[8],
                                              "" if record[9] is None else record[9]))
        return exits.UNREADABLE if loaded.failed else 0
    document = {
        "runs": [run_summary(run, window) for run, window, _ in placed],
        "records": [dict(zip(CSV_COLUMNS, record[:4] + (_json_number(record[4]),
                                                        _json_number(record[5])) + record[6:]))
                    for run, window, group in placed
                    for record in worker_records(run, window.id, group)],
        "failed_jobs": [{"record": job.path, "window": window.id,
                         "group": (job.window_key() or {}).get("group"),
                         "exit_status": job.record["exit_status"]}
                        for window in loaded.windows for job in window.failed],
    }
    json.dump(document, sys.stdout, indent=1)
    sys.stdout.write("\n")
    return exits.UNREADABLE if loaded.failed else 0
