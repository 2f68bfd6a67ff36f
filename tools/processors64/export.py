"""export: every worker's record and each run's summary, as CSV or JSON."""

import csv
import json
import math
import statistics
import sys

from . import prometheus
from .forms import BASELINE
from .reading import InputError, hosts_of, number, read_all

CSV_COLUMNS = ("file", "test", "rank", "host", "seconds", "rate", "form", "slow")


def records(run):
    """Every worker of every streaming test, the master's baseline as rank 0."""
    for test in run.tests:
        if test.baseline:
            yield (run.path, test.name, 0, run.master or "", test.baseline[0],
                   test.baseline[1], BASELINE, False)
        for rank, host, seconds, rate, form, slow in zip(
                range(1, len(test.rates) + 1), test.hosts, test.seconds, test.rates, test.forms,
                test.slow):
            yield run.path, test.name, rank, host, seconds, rate, form, slow


def _json_number(value):
    return value if value is not None and math.isfinite(value) else None


def run_summary(run):
    tests = []
    for test in run.tests:
        ranks, rates = hosts_of(test)
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
        "effective_frequency": {"overall": _json_number(run.ef_overall),
                                "mean": _json_number(run.ef_mean)},
        "tests": tests,
        "record": run.record,  # the run record as its file has it, or None
    }


def command_export(args):
    if args.format == "prometheus":
        return prometheus.command_export(args)
    if args.out is not None:
        raise InputError("--out is for --format prometheus; json and csv go to standard output")
    runs = read_all(args.files, args.slow)
    if args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(CSV_COLUMNS)
        for run in runs:
            for record in records(run):
                writer.writerow(record[:4] + (number(record[4]), number(record[5]), record[6],
                                              "true" if record[7] else "false"))
        return
    document = {
        "runs": [run_summary(run) for run in runs],
        "records": [dict(zip(CSV_COLUMNS, record[:4] + (_json_number(record[4]),
                                                        _json_number(record[5])) + record[6:]))
                    for run in runs for record in records(run)],
    }
    json.dump(document, sys.stdout, indent=1)
    sys.stdout.write("\n")

