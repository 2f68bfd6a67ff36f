#!/usr/bin/env python3
"""Reads the benchmark's results files (and console logs saved from a run).

    results.py summary FILE...        each run: tests, hosts, slow workers
    results.py export [--format json|csv] FILE...
    results.py compare [--format text|csv] [--threshold PCT] OLD NEW
    results.py plot [--out DIR] FILE...

A worker is slow when its rate is more than --slow PCT (default 10) below the
median rate of the workers that run the same form of that test in the same
run. Forms with fewer than three workers have no median to compare against.

Exit status: 0 when every file could be read (a run that stopped early is
read as far as it goes, with a warning), 2 on a file that could not be read
or a usage error; the message names the file.
"""

import argparse
import csv
import json
import math
import os
import re
import statistics
import subprocess
import sys
from datetime import datetime

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report_format  # noqa: E402

PROGRAM = "results.py"
TESTS = tuple(f"{test} Streaming" for test in report_format.STREAMING_TESTS)
CSV_COLUMNS = ("file", "test", "rank", "host", "seconds", "rate", "form", "slow")
COMPARE_COLUMNS = ("test", "host", "old_rate", "new_rate", "ratio", "changed")
THREAD_COUNT = re.compile(r"Thread\(s\): (\d+)\Z")
DEBIAN_PYTHON = "/usr/bin/python3"
NO_REEXEC = "P64_RESULTS_NO_REEXEC"  # set once the tool has re-executed itself

# The forms of a loop. Float and Integer Streaming compute with three inputs
# that depend on the rank: the exponent 1 / rank (integer division), the sine
# factor log(rank XOR 10) and the shift rank % 64 of the multiplier. The
# master's baseline uses 1 / (process count), ln 11 and 1. The shift only
# changes the size of a finite multiplier (it is zero from a shift of 13 on):
# the same operations on finite values, so it makes no form of its own.
BASELINE = "baseline"
COMMON = "common"
EXPONENT_1 = "exponent-1"                        # rank 1: the value feeds on itself
SINE_FACTOR_MINUS_INF = "sine-factor-minus-inf"  # rank 10: log 0, infinite terms
SINE_FACTOR_0 = "sine-factor-0"                  # rank 11: log 1, the sine term vanishes
SPECIAL_RANKS = {1: EXPONENT_1, 10: SINE_FACTOR_MINUS_INF, 11: SINE_FACTOR_0}
SMALLEST_GROUP = 3  # fewer workers of a form have no median to compare against
MOST_PROCESSES = 512  # the master collects at most this many


class InputError(Exception):
    """A file that cannot be read as a report."""


ESCAPES = {code: f"\\x{code:02x}" for code in list(range(32)) + [127]}
ESCAPES.update({ord("\n"): "\\n", ord("\t"): "\\t", ord("\\"): "\\\\"})


def shown(name):
    """A file name as messages show it: line feeds and other control
    characters escaped, so that one message stays one line."""
    return name.translate(ESCAPES)


def forms_of(test, workers):
    """The form of `test`'s loop that each of `workers` workers runs."""
    forms = [COMMON] * workers
    if test != "Logic Streaming":  # its loop has no input that depends on the rank
        for rank, form in SPECIAL_RANKS.items():
            if rank <= workers:
                forms[rank - 1] = form
    return forms


class Test:
    """One streaming test of one run: the master's baseline, the workers'
    hosts, seconds, rates, forms and whether each is slow (lists in rank
    order from rank 1) and the summary lines; what the report did not reach
    is None."""

    def __init__(self, name):
        self.name = name
        self.baseline = None  # (seconds, rate)
        self.hosts, self.seconds, self.rates, self.forms, self.slow = [], [], [], [], []
        self.cuts = [0, 0]  # see host_cuts
        self.overall = self.improvement = self.mean = None


class Run:
    """One report, as far as it goes."""

    def __init__(self, path):
        self.path = path
        self.zone = self.when = self.master = None
        self.nproc = 0
        self.ends = None  # where the report stopped early, or None
        self.ef_overall = self.ef_mean = None
        self.tests = []

    def label(self):
        when = self.when.strftime("%Y-%m-%d %H:%M:%S") if self.when else "date unknown"
        return f"{when} {self.zone or ''}".rstrip()


def _first(values, key):
    found = values.get(key)
    return found[0] if found else None


def _lines_of(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise InputError(f"cannot read it: {error.strerror or error}") from None
    if not data:
        raise InputError("empty file")
    text = data.decode("utf-8", errors="replace")
    lines = text.split("\n")
    # A line counts only with its line end: a last line without one was cut short.
    lines.pop()
    return lines


def _name_parts(run, name):
    found = report_format.FILE_NAME.match(name)
    if found:
        run.zone, run.master = found.group("zone"), found.group("host")
        try:
            run.when = datetime.strptime(found.group("when"), "%a %b %d %H:%M:%S %Y")
        except ValueError:
            run.when = None


def read_run(path, slow_pct):
    """Reads one results file or console log; raises InputError."""
    lines = _lines_of(path)
    if lines[:1] == [report_format.TITLE]:
        for_file, count_line = True, 2
    elif report_format.TITLE in lines[1:] and lines[lines.index(report_format.TITLE) - 1] == "":
        # A console log may hold the launcher's own lines before the report.
        for_file, count_line = False, 6
        lines = lines[lines.index(report_format.TITLE) - 1:]
    else:
        first = lines[0] if lines else ""
        raise InputError(f"not a results file or console log of this benchmark "
                         f"(line 1 is {first[:60]!r})")
    if len(lines) <= count_line:
        raise InputError("ends before the process count: no results in it")
    found = THREAD_COUNT.match(lines[count_line])
    if not found or not 1 <= int(found.group(1)) <= MOST_PROCESSES:
        raise InputError(f"line {count_line + 1} is {lines[count_line][:60]!r}; "
                         f"expected 'Thread(s): N', N from 1 to {MOST_PROCESSES}")
    run = Run(path)
    run.nproc = int(found.group(1))
    try:
        values, names, count, run.ends = report_format.read_lines(
            lines, run.nproc, for_file, "report")
    except report_format.ReportError as error:
        raise InputError(str(error).replace("report: ", "", 1)) from None
    if for_file:
        if run.ends is None and len(lines) > count:
            raise InputError(f"unexpected line {count + 1} after the report: "
                             f"{lines[count][:60]!r}")
        _name_parts(run, os.path.basename(path))
    else:
        _name_parts(run, _saved_name(lines[count:]))

    run.ef_overall = _first(values, "ef_overall")
    run.ef_mean = _first(values, "ef_mean")
    for short, name in zip(report_format.STREAMING_TESTS, TESTS):
        test = Test(name)
        seconds = _first(values, f"{short}_single_time")
        rate = _first(values, f"{short}_single_rate")
        if seconds is not None and rate is not None:
            test.baseline = (seconds, rate)
        times = values.get(f"{short}_time", [])
        rates = values.get(f"{short}_rate", [])
        hosts = names.get(f"{short}_rate", [])
        count = min(len(times), len(rates))
        test.hosts, test.seconds, test.rates = hosts[:count], times[:count], rates[:count]
        if run.tests and run.tests[0].hosts == test.hosts:  # the usual case: work out once
            test.hosts, test.cuts = run.tests[0].hosts, run.tests[0].cuts
        else:
            test.cuts = host_cuts(test.hosts)
        test.overall = _first(values, f"{short}_overall")
        test.improvement = _first(values, f"{short}_ratio")
        test.mean = _first(values, f"{short}_mean")
        if test.baseline is None and not test.rates:
            break  # the report ends before this test
        mark_slow(test, slow_pct)
        run.tests.append(test)
    return run


def _saved_name(end_lines):
    """The results file's name from a console's end of run, if it is there:
    the path follows the "saved" text and runs over two lines."""
    for number, line in enumerate(end_lines[:-1]):
        if line.startswith(report_format.SAVED):
            return os.path.basename(line[len(report_format.SAVED):] + "\n" +
                                    end_lines[number + 1])
    return ""


def mark_slow(test, slow_pct):
    """Sets each worker's form and whether it is slow."""
    test.forms = forms_of(test.name, len(test.rates))
    floors = {form: median * (1 - slow_pct / 100)
              for form, (median, _) in form_medians(test).items()}
    common = floors.get(COMMON)
    test.slow = ([False] * len(test.rates) if common is None else
                 [rate < common for rate in test.rates])
    # The workers of another form are held against their own form's median.
    for i in range(min(len(test.forms), max(SPECIAL_RANKS))):
        if test.forms[i] != COMMON:
            floor = floors.get(test.forms[i])
            test.slow[i] = floor is not None and test.rates[i] < floor


def form_medians(test):
    """{form: (median rate, workers)} of the forms that have a median."""
    groups = {COMMON: list(test.rates)}
    special = [(rank, form) for rank, form in SPECIAL_RANKS.items()
               if rank <= len(test.forms) and test.forms[rank - 1] == form]
    for rank, form in sorted(special, reverse=True):
        groups.setdefault(form, []).append(groups[COMMON].pop(rank - 1))
    return {form: (statistics.median(rates), len(rates)) for form, rates in groups.items()
            if len(rates) >= SMALLEST_GROUP and not any(map(math.isnan, rates))}


def host_cuts(hosts):
    """Where the host changes from one rank to the next, with both ends."""
    cuts = [i for i, (a, b) in enumerate(zip(hosts, hosts[1:]), 1) if a != b]
    return [0] + cuts + [len(hosts)]


def hosts_of(test):
    """{host: [rank...]} and {host: [rate...]}, hosts in order of first rank.
    The ranks of a host usually follow each other, so the lists are cut in
    runs of one host rather than built a worker at a time."""
    hosts, rates, cuts = test.hosts, test.rates, test.cuts
    by_rank, by_rate = {}, {}
    for start, end in zip(cuts, cuts[1:]):
        by_rank.setdefault(hosts[start], []).extend(range(start + 1, end + 1))
        by_rate.setdefault(hosts[start], []).extend(rates[start:end])
    return by_rank, by_rate


def rank_ranges(ranks):
    """[1, 2, 3, 7] -> '1-3,7'."""
    parts = []
    start = previous = ranks[0]
    for rank in ranks[1:] + [None]:
        if rank is not None and rank == previous + 1:
            previous = rank
            continue
        parts.append(str(start) if start == previous else f"{start}-{previous}")
        start = previous = rank
    return ",".join(parts)


def number(value):
    """A value as the program prints it (6 significant digits); '-' if absent."""
    return "-" if value is None else f"{value:g}"


def warn_ends(run):
    if run.ends is not None:
        print(f"{PROGRAM}: warning: {shown(run.path)}: the run stopped early, its report ends "
              f"{run.ends}; read as far as it goes", file=sys.stderr)


# ---------------------------------------------------------------- summary

def counted(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "es" if noun.endswith("s") else "s")


def summary_text(run, slow_pct):
    out = [f"{shown(run.path)}"]
    master = run.master or "unknown"
    zone = run.zone or "unknown"
    when = run.when.strftime("%a %Y-%m-%d %H:%M:%S") if run.when else "unknown"
    out.append(f"  date {when}, time zone {zone}, master {master}, "
               f"{counted(run.nproc, 'process')} ({counted(run.nproc - 1, 'worker')})")
    if run.ends:
        out.append(f"  the run stopped early: the report ends {run.ends}")
    out.append(f"  Effective Frequency: overall {number(run.ef_overall)}, "
               f"mean {number(run.ef_mean)} Giga Executions/sec")
    out.append(f"  {'test':<18} {'baseline':>10} {'overall':>10} {'improvement':>12} "
               f"{'mean':>10}   (Millions Executions/sec)")
    for test in run.tests:
        base = test.baseline[1] if test.baseline else None
        out.append(f"  {test.name:<18} {number(base):>10} {number(test.overall):>10} "
                   f"{number(test.improvement):>12} {number(test.mean):>10}")
    if any(test.rates for test in run.tests):
        out.append("  per host: workers (ranks); min / median / max rate of each test")
        ranks, _ = hosts_of(run.tests[0])
        width = max(len(host) for host in ranks)
        rates_of = [(test, hosts_of(test)[1]) for test in run.tests]
        for host, host_ranks in ranks.items():
            cells = []
            for test, host_rates in rates_of:
                rates = host_rates.get(host)
                if rates:
                    cells.append(f"{test.name.split()[0]} {number(min(rates))} / "
                                 f"{number(statistics.median(rates))} / {number(max(rates))}")
            out.append(f"    {host:<{width}}  {len(host_ranks)} ({rank_ranges(host_ranks)}); "
                       + "; ".join(cells))
    slow = [test for test in run.tests if any(test.slow)]
    if not slow:
        out.append(f"  slow workers: none (none more than {slow_pct:g}% below "
                   "the median of their form)")
        return "\n".join(out)
    out.append(f"  slow workers (more than {slow_pct:g}% below the median of their form), "
               "by host:")
    for test in slow:
        medians = form_medians(test)
        by_host = {}
        for i, flag in enumerate(test.slow):
            if flag:
                by_host.setdefault(test.hosts[i], []).append(i)
        for host, indexes in by_host.items():
            rates = [test.rates[i] for i in indexes]
            median, count = medians[test.forms[indexes[0]]]
            ranks = "rank" if len(indexes) == 1 else "ranks"
            low, high = min(rates), max(rates)
            span = f"{number(low)}, {(low / median - 1) * 100:+.0f}%" if low == high else (
                f"{number(low)} to {number(high)}, {(low / median - 1) * 100:+.0f}% to "
                f"{(high / median - 1) * 100:+.0f}%")
            out.append(f"    {test.name} @{host}: {ranks} {rank_ranges([i + 1 for i in indexes])}: "
                       f"{span} against the median {number(median)} of {count} workers")
    return "\n".join(out)


def command_summary(args):
    runs = read_all(args.files, args.slow)
    texts = [summary_text(run, args.slow) for run in runs]
    if texts:
        sys.stdout.write("\n\n".join(texts) + "\n")


# ---------------------------------------------------------------- export

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
    }


def command_export(args):
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


# ---------------------------------------------------------------- compare

def host_medians(test):
    """{host: median rate of its workers of the common form}."""
    rates = {}
    for host, rate, form in zip(test.hosts, test.rates, test.forms):
        if form == COMMON:
            rates.setdefault(host, []).append(rate)
    return {host: statistics.median(values) for host, values in rates.items()}


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
    runs = read_all([args.old, args.new], slow_pct=10)
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
    print(f"median rate of each host's workers of the common form, in Millions "
          f"Executions/sec; changed: moved by more than {args.threshold:g}%")
    width = max([len(row[1]) for row in rows] + [4])
    print(f"{'test':<18} {'host':<{width}} {'old':>10} {'new':>10} {'ratio':>7}  changed")
    for test, host, a, b, ratio, changed in rows:
        print(f"{test:<18} {host:<{width}} {number(a):>10} {number(b):>10} "
              f"{'-' if ratio is None else f'{ratio:.3f}':>7}  {'yes' if changed else 'no'}")


# ---------------------------------------------------------------- plot

def load_matplotlib():
    """pyplot with a file-only backend. Where this interpreter lacks
    matplotlib and Debian's python3 has it (python3-matplotlib), the tool
    runs again under that one; else it says how to install it."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
        return pyplot
    except ImportError:
        pass
    if (not os.environ.get(NO_REEXEC) and os.path.realpath(sys.executable) !=
            os.path.realpath(DEBIAN_PYTHON) and os.access(DEBIAN_PYTHON, os.X_OK)):
        probe = subprocess.run([DEBIAN_PYTHON, "-c", "import matplotlib"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        if probe.returncode == 0:
            sys.stdout.flush()
            os.environ[NO_REEXEC] = "1"
            os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON, os.path.abspath(__file__)] + sys.argv[1:])
    raise InputError("plot needs matplotlib, which this Python does not have: install it "
                     "with 'apt-get install python3-matplotlib' (Debian, Ubuntu) or "
                     "'python3 -m pip install matplotlib'")


def png_name(run, taken, suffix=""):
    if run.master and run.when:
        stem = f"{run.master}-{run.when:%Y%m%d-%H%M%S}"
    else:
        stem = os.path.basename(run.path)
    stem = re.sub(r"[^A-Za-z0-9._-]+", "_", stem).strip("_") or "run"
    name, n = f"{stem}{suffix}.png", 2
    while name in taken:
        name, n = f"{stem}{suffix}-{n}.png", n + 1
    taken.add(name)
    return name


LEGEND_HOSTS = 12  # more hosts are named above the chart instead


def plot_run(pyplot, run, path, slow_pct):
    """Every worker's rate in rank order, one panel per streaming test."""
    from matplotlib.patches import Patch
    tests = [test for test in run.tests if test.rates or test.baseline]
    figure, axes = pyplot.subplots(len(tests), 1, figsize=(12, 3.6 * len(tests) + 0.8),
                                   dpi=100, squeeze=False)
    hosts = list(hosts_of(tests[0])[0]) if tests else []
    palette = pyplot.get_cmap("tab10" if len(hosts) <= 10 else "tab20")
    colour = {host: palette(i % palette.N) for i, host in enumerate(hosts)}
    for axis, test in zip(axes[:, 0], tests):
        ranks = list(range(1, len(test.rates) + 1))
        rates = test.rates
        bars = axis.bar(ranks, rates, width=0.8 if len(ranks) < 64 else 1.0,
                        color=[colour.get(host, "grey") for host in test.hosts])
        for bar, form in zip(bars, test.forms):
            if form != COMMON:
                bar.set_hatch("//")
                bar.set_edgecolor("black")
        if test.baseline:
            axis.axhline(test.baseline[1], color="black", linestyle="--", linewidth=1.2,
                         label=f"master alone (baseline) {test.baseline[1]:g}")
        slow = [(i + 1, rate) for i, (rate, flag) in enumerate(zip(rates, test.slow)) if flag]
        if slow:
            axis.plot([s[0] for s in slow], [s[1] for s in slow], linestyle="none",
                      marker="v", color="red", markersize=8,
                      label=f"slow (over {slow_pct:g}% below its form's median)")
        handles = axis.get_legend_handles_labels()[0]
        if len(hosts) <= LEGEND_HOSTS:
            handles += [Patch(color=colour[host], label=host) for host in hosts]
        else:  # too many for a legend: each host's name above its ranks
            by_rank = hosts_of(test)[0]
            top = axis.secondary_xaxis("top")
            top.set_xticks([(ranks[0] + ranks[-1]) / 2 for ranks in by_rank.values()])
            top.set_xticklabels(list(by_rank), rotation=90, fontsize=6)
        others = [str(i + 1) for i, form in enumerate(test.forms) if form != COMMON]
        if others:
            handles.append(Patch(facecolor="white", edgecolor="black", hatch="//",
                                 label=f"another form of the loop: rank {', '.join(others)}"))
        axis.set_title(f"{test.name}: improvement {number(test.improvement)}, "
                       f"overall {number(test.overall)}")
        axis.set_ylabel("Millions Executions/sec")
        axis.set_xlim(0.3, max(ranks + [1]) + 0.7)
        if len(ranks) <= 32:
            axis.set_xticks(ranks)
        axis.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    if tests:
        axes[-1, 0].set_xlabel("worker rank")
    figure.suptitle(f"{run.master or shown(os.path.basename(run.path))}, {run.label()}: "
                    f"{run.nproc} processes, workers on {len(hosts)} host(s)")
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)


def plot_history(pyplot, runs, path):
    """Each test's overall rate and improvement per run, over time."""
    runs = sorted(runs, key=lambda run: run.when)
    figure, axes = pyplot.subplots(2, len(TESTS), figsize=(14, 7), dpi=100, squeeze=False)
    for column, name in enumerate(TESTS):
        points = [(run.when, test) for run in runs for test in run.tests if test.name == name]
        for row, (what, value) in enumerate((("overall, Millions Executions/sec",
                                              lambda t: t.overall),
                                             ("improvement", lambda t: t.improvement))):
            axis = axes[row, column]
            shown_points = [(when, value(test)) for when, test in points
                            if value(test) is not None]
            axis.plot([p[0] for p in shown_points], [p[1] for p in shown_points], marker="o")
            axis.set_title(f"{name}: {what}", fontsize=10)
            axis.tick_params(axis="x", labelrotation=30, labelsize=8)
    figure.suptitle(f"{runs[0].master}: {len(runs)} runs, {runs[0].label()} to "
                    f"{runs[-1].label()}")
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)


def command_plot(args):
    pyplot = load_matplotlib()
    runs = read_all(args.files, args.slow)
    os.makedirs(args.out, exist_ok=True)
    taken = set()
    for run in runs:
        if not run.tests:
            print(f"{PROGRAM}: warning: {shown(run.path)}: no streaming test to chart",
                  file=sys.stderr)
            continue
        path = os.path.join(args.out, png_name(run, taken))
        plot_run(pyplot, run, path, args.slow)
        print(path)
    clusters = {}
    for run in runs:
        if run.when and run.master and run.tests:
            hosts = tuple(sorted(hosts_of(run.tests[0])[0]))
            # A console log and the results file of one run count once.
            clusters.setdefault((run.master, hosts), {}).setdefault(run.when, run)
    for cluster in clusters.values():
        cluster = list(cluster.values())
        if len(cluster) > 1:
            path = os.path.join(args.out, png_name(cluster[0], taken, "-history"))
            plot_history(pyplot, cluster, path)
            print(path)


# ---------------------------------------------------------------- main

FAILED = []


def read_all(paths, slow_pct):
    """The runs that could be read; each file that could not is one line on
    standard error, and the exit status becomes 2."""
    runs = []
    for path in paths:
        try:
            run = read_run(path, slow_pct)
        except InputError as error:
            print(f"{PROGRAM}: {shown(path)}: {error}", file=sys.stderr)
            FAILED.append(path)
            continue
        warn_ends(run)
        runs.append(run)
    return runs


class Parser(argparse.ArgumentParser):
    def error(self, message):
        print(f"{PROGRAM}: {message} (see '{self.prog} --help')", file=sys.stderr)
        sys.exit(2)


def percent(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 <= value < 100:
        raise argparse.ArgumentTypeError(f"not a percentage from 0 to under 100: {text!r}")
    return value


def parser():
    top = Parser(prog=PROGRAM, description=__doc__.split("\n\n")[0],
                 formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True
    slow = Parser(add_help=False)
    slow.add_argument("--slow", type=percent, default=10, metavar="PCT",
                      help="slow: more than PCT%% below the median of its form (default 10)")
    files = Parser(add_help=False)
    files.add_argument("files", nargs="+", metavar="FILE",
                       help="results files or console logs")

    one = commands.add_parser("summary", parents=[slow, files],
                              help="each run's tests, hosts and slow workers")
    one.set_defaults(run=command_summary)
    one = commands.add_parser("export", parents=[slow, files],
                              help="every worker's record, as JSON or CSV")
    one.add_argument("--format", choices=("json", "csv"), default="json")
    one.set_defaults(run=command_export)
    one = commands.add_parser("compare", help="each host's rates in two runs")
    one.add_argument("--format", choices=("text", "csv"), default="text")
    one.add_argument("--threshold", type=percent, default=5, metavar="PCT",
                     help="changed: moved by more than PCT%% (default 5)")
    one.add_argument("old", metavar="OLD")
    one.add_argument("new", metavar="NEW")
    one.set_defaults(run=command_compare)
    one = commands.add_parser("plot", parents=[slow, files], help="PNG charts")
    one.add_argument("--out", default=".", metavar="DIR", help="where the PNGs go (default .)")
    one.set_defaults(run=command_plot)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        args.run(args)
        sys.stdout.flush()
    except InputError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        print(f"{PROGRAM}: {shown(getattr(error, 'filename', None) or '')}: "
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    return 2 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main())
