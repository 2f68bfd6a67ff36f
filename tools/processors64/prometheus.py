"""export --format prometheus: the newest run of each master as gauges in
Prometheus's text format, for the node exporter's textfile collector.

Rates are in executions per second (the report's millions times 1e6, its
Giga times 1e9). A number the report printed as inf or nan is written as
the format writes it (+Inf, -Inf, NaN), not left out: the sample says what
the run printed.
"""

import math
import os
import signal
import sys
import tempfile

from . import history
from .forms import host_medians
from .reading import PROGRAM, InputError, read_all, shown

MILLION, GIGA = 1e6, 1e9
MASTER, TEST, HOST = ("master",), ("master", "test"), ("master", "test", "host")

# name: (labels, help); written in this order, each family's samples together.
FAMILIES = {
    "processors64_run_timestamp_seconds": (MASTER, "When the newest run of this master "
                                           "started, Unix time, from its results file's name."),
    "processors64_run_processes": (MASTER, "Processes of the run: the master and its workers."),
    "processors64_run_complete": (MASTER, "1 when the run's report is whole, 0 when the run "
                                  "stopped early (its metrics go as far as it got)."),
    "processors64_effective_frequency_executions_per_second": (
        MASTER, "Effective Frequency of the run, overall."),
    "processors64_baseline_executions_per_second": (
        TEST, "The master alone, before the workers run the test."),
    "processors64_overall_executions_per_second": (TEST, "All workers of the test together."),
    "processors64_improvement_ratio": (TEST, "Overall rate over the master's baseline."),
    "processors64_host_workers": (HOST, "Workers of the test on this host."),
    "processors64_host_slow_workers": (
        HOST, "Workers on this host more than --slow percent below the median of their form."),
    "processors64_host_median_executions_per_second": (
        HOST, "Median rate of the host's workers of the common form of the loop."),
    "processors64_host_info": (("master", "host", "cpu_model", "microcode"),
                               "The node's processor, from the run record; always 1."),
    "processors64_host_degraded": (
        HOST, "1 when the host's newest run is more than --drop percent below the median of "
        "its earlier runs (at least two), else 0; only where earlier runs were exported."),
}

_LABEL_ESCAPES = str.maketrans({"\\": "\\\\", '"': '\\"', "\n": "\\n"})
_HELP_ESCAPES = str.maketrans({"\\": "\\\\", "\n": "\\n"})


def value_text(value):
    if isinstance(value, int):
        return str(value)
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    # 12 digits drop the noise of the scaling; the report prints 6.
    return format(value, ".12g")


def _test_label(test):
    return test.name.split()[0].lower()


def run_samples(add, run, series, drop):
    """The samples of `run`, the newest of `series` (its master's runs)."""
    master = {"master": run.master}
    when = history.run_time(run)
    if when is None:
        print(f"{PROGRAM}: warning: {shown(run.path)}: time zone {run.zone!r} is not one this "
              "tool knows and no run record gives the start: its timestamp is left out and "
              "its runs ordered as if it were UTC", file=sys.stderr)
    else:
        add("processors64_run_timestamp_seconds", master, when)
    add("processors64_run_processes", master, run.nproc)
    add("processors64_run_complete", master, int(run.ends is None))
    if run.ef_overall is not None:
        add("processors64_effective_frequency_executions_per_second", master,
            run.ef_overall * GIGA)
    for test in run.tests:
        labels = dict(master, test=_test_label(test))
        if test.baseline:
            add("processors64_baseline_executions_per_second", labels, test.baseline[1] * MILLION)
        if test.overall is not None:
            add("processors64_overall_executions_per_second", labels, test.overall * MILLION)
        if test.improvement is not None:
            add("processors64_improvement_ratio", labels, test.improvement)
        workers, slow = {}, {}
        for host, flag in zip(test.hosts, test.slow):
            workers[host] = workers.get(host, 0) + 1
            slow[host] = slow.get(host, 0) + int(flag)
        medians = _host_medians(test)
        for host, count in workers.items():
            host_labels = dict(labels, host=host)
            add("processors64_host_workers", host_labels, count)
            add("processors64_host_slow_workers", host_labels, slow[host])
            if host in medians:
                add("processors64_host_median_executions_per_second", host_labels,
                    medians[host] * MILLION)
    nodes = run.record.get("nodes") if isinstance(run.record, dict) else None
    seen = set()
    for node in nodes if isinstance(nodes, list) else ():
        if isinstance(node, dict) and not node.get("error") and isinstance(node.get("host"), str) \
                and node["host"] not in seen:
            seen.add(node["host"])
            add("processors64_host_info", dict(master, host=node["host"],
                                               cpu_model=_text(node.get("cpu_model")),
                                               microcode=_text(node.get("microcode"))), 1)
    if len(series) > 1:
        for row in history.host_rows(series, drop):
            if row["latest"] is not None:
                add("processors64_host_degraded",
                    dict(master, test=row["test"].split()[0].lower(), host=row["host"]),
                    int(row["degraded"]))


def _host_medians(test):
    """host_medians, NaN for a host whose rates hold a NaN (no order to take
    a median in)."""
    medians = host_medians(test)
    for host in medians:
        rates = [rate for h, rate in zip(test.hosts, test.rates) if h == host]
        if any(map(math.isnan, rates)):
            medians[host] = math.nan
    return medians


def _text(value):
    return "" if value is None else str(value)


def exposition(runs, drop=history.DROP):
    """The metrics of the newest run of each master among `runs`, as text."""
    samples = {name: [] for name in FAMILIES}

    def add(name, labels, value):
        samples[name].append((labels, value))

    for series in history.histories(runs).values():
        run_samples(add, series[-1], series, drop)
    lines = []
    for name, (names, help_text) in FAMILIES.items():
        if not samples[name]:
            continue
        lines.append(f"# HELP {name} {help_text.translate(_HELP_ESCAPES)}")
        lines.append(f"# TYPE {name} gauge")
        for labels, value in samples[name]:
            pairs = ",".join(f'{label}="{str(labels[label]).translate(_LABEL_ESCAPES)}"'
                             for label in names)
            lines.append(f"{name}{{{pairs}}} {value_text(value)}")
    return "".join(line + "\n" for line in lines)


def write_file(path, text):
    """Writes `text` to a temporary file beside `path` and renames it into
    place, readable by all (the node exporter runs as another user): a
    reader sees the old file or the new one, never a part, and a failure or
    an interruption leaves no temporary file behind."""
    directory, base = os.path.split(path)
    try:
        # The textfile collector reads *.prom only: the temporary name is not one.
        handle, temporary = tempfile.mkstemp(dir=directory or ".", prefix=f".{base}.",
                                             suffix=".tmp")
    except OSError as error:
        raise InputError(f"{shown(path)}: cannot write it: {error.strerror or error}") from None
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), 0o644)
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise InputError(f"{shown(path)}: cannot write it: "
                             f"{error.strerror or error}") from None
        raise


def _stop(signum, frame):
    raise SystemExit(128 + signum)  # unwinds through write_file, which cleans up


def command_export(args):
    for number in (signal.SIGTERM, signal.SIGINT):
        if signal.getsignal(number) is not signal.SIG_IGN:  # as nohup and `&` leave them
            signal.signal(number, _stop)
    runs = read_all(args.files, args.slow)
    text = exposition(runs, args.drop)
    if args.out is None:
        sys.stdout.write(text)
    elif runs:  # with nothing read, the last good file stays
        write_file(args.out, text)
