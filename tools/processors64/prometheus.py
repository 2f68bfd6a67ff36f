"""export --format prometheus: the newest window by host, as gauges in
Prometheus's text format for the node exporter's textfile collector.

A host's series are labelled by host (and test), never by master: a host
keeps its series whichever job of the window measured it. The jobs'
figures (baseline, overall, improvement) are labelled by their master. The
verdict on the window adds, for each of its nodes, whether it is flagged
for draining and whether it was not measured.

Rates are in executions per second (the report's millions times 1e6, its
Giga times 1e9). A number the report printed as inf or nan is written as
the format writes it (+Inf, -Inf, NaN), not left out: the sample says what
the run printed.

Debian's python3-prometheus-client writes text files without flushing them
to disk, with the user's umask and leaving its temporary file behind on a
failure, and the tool runs under interpreters without Debian's packages:
the exposition is written here, and whole (atomic.py).
"""

import math
import signal
import sys

from . import atomic, console, exits, history, judge
from .reading import InputError, shown

MILLION, GIGA = 1e6, 1e9
NONE, MASTER, TEST, HOST, HOST_TEST = (), ("master",), ("master", "test"), ("host",), \
    ("test", "host")

# name: (labels, help); written in this order, each family's samples together.
FAMILIES = {
    "processors64_window_timestamp_seconds": (NONE, "When the newest window started, Unix "
                                              "time, from its results files' names."),
    "processors64_window_info": (("window",), "The newest window's id (Slurm's job id, or one "
                                 "made when its run started); always 1."),
    "processors64_window_nodes": (NONE, "Nodes of the newest window, measured or not."),
    "processors64_window_cluster_wide": (NONE, "1 when the verdict on the newest window finds "
                                         "the whole cluster or a class slower, else 0."),
    "processors64_run_timestamp_seconds": (MASTER, "When the run of this master in the newest "
                                           "window started, Unix time, from its results "
                                           "file's name."),
    "processors64_run_processes": (MASTER, "Processes of the run: the master and its workers."),
    "processors64_run_complete": (MASTER, "1 when the run's report is whole, 0 when the run "
                                  "stopped early (its metrics go as far as it got)."),
    "processors64_effective_frequency_executions_per_second": (
        MASTER, "Effective Frequency of the run, overall."),
    "processors64_baseline_executions_per_second": (
        TEST, "The master alone, before the workers run the test."),
    "processors64_overall_executions_per_second": (TEST, "All workers of the test together."),
    "processors64_improvement_ratio": (TEST, "Overall rate over the master's baseline."),
    "processors64_host_workers": (HOST_TEST, "Workers of the test on this host."),
    "processors64_host_slow_workers": (
        HOST_TEST, "Workers on this host more than --slow percent below the median of their "
        "form."),
    "processors64_host_median_executions_per_second": (
        HOST_TEST, "Median rate of the host's workers of the common form of the loop."),
    "processors64_host_info": (("host", "cpu_model", "microcode"),
                               "The node's processor, from the run record; always 1."),
    "processors64_host_degraded": (
        HOST_TEST, "1 when the host's newest window is more than --drop percent below the "
        "median of its earlier windows (at least two), else 0; only where earlier windows "
        "were exported."),
    "processors64_host_flagged": (HOST, "1 when the verdict on the newest window drains this "
                                  "node, else 0."),
    "processors64_host_not_measured": (
        HOST, "1 when the newest window was to measure this node and did not (its job failed, "
        "its ranks were past the master's cap, it is missing from its report), else 0."),
}

_LABEL_ESCAPES = str.maketrans({"\\": "\\\\", '"': '\\"', "\n": "\\n"})
_HELP_ESCAPES = str.maketrans({"\\": "\\\\", "\n": "\\n"})


def value_text(value):
    if isinstance(value, int):
        return str(value)
    if value != value:
        return "NaN"
    if value in (math.inf, -math.inf):
        return "+Inf" if value > 0 else "-Inf"
    # 12 digits drop the noise of the scaling; the report prints 6.
    return format(value, ".12g")


def _test_label(name):
    return name.split()[0].lower()


def _text(value):
    return "" if value is None else str(value)


def run_samples(add, run, slow):
    """The samples of one job of the window, and of the hosts it measured
    that no job before it in the window did (`add` returns whether the
    host's series was new)."""
    master = {"master": run.master}
    when = run.time()
    if when is None:
        console.warn(f"time zone {run.zone!r} is not one this tool knows and no run record "
                     "gives the start: its timestamp is left out", run.path)
    else:
        add("processors64_run_timestamp_seconds", master, when)
    add("processors64_run_processes", master, run.nproc)
    add("processors64_run_complete", master, int(run.ends is None))
    if run.ef_overall is not None:
        add("processors64_effective_frequency_executions_per_second", master,
            run.ef_overall * GIGA)
    for test in run.tests:
        labels = dict(master, test=_test_label(test.name))
        if test.baseline:
            add("processors64_baseline_executions_per_second", labels, test.baseline[1] * MILLION)
        if test.overall is not None:
            add("processors64_overall_executions_per_second", labels, test.overall * MILLION)
        if test.improvement is not None:
            add("processors64_improvement_ratio", labels, test.improvement)
        for host, figures in test.host_figures(slow).items():
            host_labels = {"test": _test_label(test.name), "host": host}
            add("processors64_host_workers", host_labels, figures.workers)
            add("processors64_host_slow_workers", host_labels, len(figures.slow))
            if figures.rate is not None:
                add("processors64_host_median_executions_per_second", host_labels,
                    figures.rate * MILLION)
    for node in (run.record or {}).get("nodes", ()):
        if not node.get("error"):
            add("processors64_host_info", {"host": node["host"],
                                           "cpu_model": _text(node.get("cpu_model")),
                                           "microcode": _text(node.get("microcode"))}, 1)


def exposition(windows, slow, drop=history.DROP):
    """The metrics of the newest of `windows` (dated, oldest first), as text."""
    samples = {name: {} for name in FAMILIES}

    def add(name, labels, value):
        key = tuple(map(labels.__getitem__, FAMILIES[name][0]))
        samples[name].setdefault(key, value)  # a host's first job in the window counts

    if windows:
        window = windows[-1]
        if window.start is not None:
            add("processors64_window_timestamp_seconds", {}, window.start)
        add("processors64_window_info", {"window": window.id}, 1)
        add("processors64_window_nodes", {}, len(window.nodes))
        for run in window.runs:
            run_samples(add, run, slow)
        judgement = judge.judge(windows, slow, drop)
        if len(windows) > 1:  # each measured node against its own past, as history has it
            for node in judgement.nodes:
                for name, figures in node.tests.items():
                    add("processors64_host_degraded",
                        {"test": _test_label(name), "host": node.host}, int(figures.degraded))
        add("processors64_window_cluster_wide", {}, int(bool(judgement.cluster_wide)))
        for node in judgement.nodes:
            add("processors64_host_flagged", {"host": node.host}, int(node.drain))
            add("processors64_host_not_measured", {"host": node.host},
                int(node.verdict == judge.NOT_MEASURED))
    lines, escaped = [], _Escaped()
    for name, (names, help_text) in FAMILIES.items():
        if not samples[name]:
            continue
        lines.append(f"# HELP {name} {help_text.translate(_HELP_ESCAPES)}")
        lines.append(f"# TYPE {name} gauge")
        labels = ",".join(f'{label}="{{}}"' for label in names)
        sample = f"{name}{{{{{labels}}}}} {{}}" if names else f"{name} {{}}"
        for key, value in samples[name].items():
            lines.append(sample.format(*map(escaped.__getitem__, key), value_text(value)))
    return "".join(line + "\n" for line in lines)


class _Escaped(dict):
    """{label value: as the exposition writes it, escaped where it must be},
    each worked out once (a host's name is in a dozen families)."""

    def __missing__(self, part):
        text = str(part)
        if "\\" in text or '"' in text or "\n" in text:
            text = text.translate(_LABEL_ESCAPES)
        self[part] = text
        return text


def write_file(path, text):
    """Writes `text` to `path` whole (see atomic.write); raises InputError."""
    try:
        atomic.write(path, text)
    except OSError as error:
        raise InputError(f"{shown(path)}: cannot write it: {error.strerror or error}") from None


def _stop(signum, frame):
    raise SystemExit(128 + signum)  # unwinds through atomic.write, which cleans up


def command_export(args):
    for number in (signal.SIGTERM, signal.SIGINT):
        if signal.getsignal(number) is not signal.SIG_IGN:  # as nohup and `&` leave them
            signal.signal(number, _stop)
    loaded = console.load(args.files, args.window, workers=False, slow_pct=args.slow,
                          options=args, whole="newest")
    windows = console.dated(loaded.windows, "the metrics")
    text = exposition(windows, args.slow, args.drop)
    if args.out is None:
        sys.stdout.write(text)
    elif loaded.runs:  # with nothing read, the last good file stays
        write_file(args.out, text)
    return exits.UNREADABLE if loaded.failed else 0
