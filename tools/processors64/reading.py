"""Reading results files and console logs into runs: one Run per report,
one Test per streaming test, as far as the report goes."""

import os
import re
import sys
from datetime import datetime

from . import report_format, results_name, run_record

from .forms import mark_slow

PROGRAM = os.path.basename(sys.argv[0]) or "results.py"
TESTS = tuple(f"{test} Streaming" for test in report_format.STREAMING_TESTS)
THREAD_COUNT = re.compile(r"Thread\(s\): (\d+)\Z")
MOST_PROCESSES = 512  # the master collects at most this many


class InputError(Exception):
    """A file that cannot be read as a report."""


ESCAPES = {code: f"\\x{code:02x}" for code in list(range(32)) + [127]}
ESCAPES.update({ord("\n"): "\\n", ord("\t"): "\\t", ord("\\"): "\\\\"})


def shown(name):
    """A file name as messages show it: line feeds and other control
    characters escaped, so that one message stays one line."""
    return name.translate(ESCAPES)


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
        self.record = None  # the run record beside the results file, a dict
        self.console_log = False  # read from a console log: no record beside it

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
    found = results_name.parse(name)
    if found:
        run.zone, run.master, run.when = found.zone, found.host, found.when


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
    run.console_log = not for_file
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

def host_cuts(hosts):
    """Where the host changes from one rank to the next, with both ends."""
    if not hosts:  # a job of one process: no worker, no host
        return [0]
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



def number(value):
    """A value as the program prints it (6 significant digits); '-' if absent."""
    return "-" if value is None else f"{value:g}"


def warn_ends(run):
    if run.ends is not None:
        print(f"{PROGRAM}: warning: {shown(run.path)}: the run stopped early, its report ends "
              f"{run.ends}; read as far as it goes", file=sys.stderr)



FAILED = []


def read_all(paths, slow_pct):
    """The runs that could be read; each file that could not is one line on
    standard error, and the exit status becomes 2. A run record named among
    `paths` stands for its results file; the record beside each results file
    is read into its run."""
    runs = []
    for path in reports_named(paths):
        try:
            run = read_run(path, slow_pct)
        except InputError as error:
            print(f"{PROGRAM}: {shown(path)}: {error}", file=sys.stderr)
            FAILED.append(path)
            continue
        warn_ends(run)
        if not run.console_log:
            attach(run)
        runs.append(run)
    return runs



def warn(path, message):
    print(f"{PROGRAM}: warning: {shown(path)}: {message}", file=sys.stderr)


def attach(run):
    """Reads the record beside the results file of `run` into run.record."""
    path = run_record.record_path(run.path)
    if path is None or not os.path.lexists(path):
        return
    try:
        run.record, warnings = run_record.load(path)
    except run_record.RecordError as error:
        warn(path, f"{error}; the results file is read without it")
        return
    for warning in warnings:
        warn(path, warning)


def reports_named(paths):
    """The files to read for the command line's `paths`. The verdict's files
    beside a results file are left out. A run record stands for its results
    file (results_* names all of them, as they sort together): where
    that file is named too the record adds nothing, else the results file
    beside it is read in its place."""
    named = {os.path.abspath(path) for path in paths}
    reports = []
    for path in paths:
        if any(path.endswith(suffix) and
               os.path.lexists(path[:-len(suffix)] + run_record.RESULTS_SUFFIX)
               for suffix in run_record.VERDICT_SUFFIXES):
            continue  # the verdict on the results file beside it, no report
        if not path.endswith(run_record.RECORD_SUFFIX):
            reports.append(path)
            continue
        results = run_record.results_path(path)
        if os.path.abspath(results) in named:
            continue
        if os.path.lexists(results):
            reports.append(results)
            continue
        try:
            record, _ = run_record.load(path)
        except run_record.RecordError as error:
            print(f"{PROGRAM}: {shown(path)}: {error}", file=sys.stderr)
            FAILED.append(path)
            continue
        if record["results_file"] is None:
            warn(path, f"the record of a job that made no results file (exit status "
                       f"{record['exit_status']}, started {record['started']}); nothing to read")
        else:
            print(f"{PROGRAM}: {shown(path)}: its results file is not beside it: "
                  f"{shown(record['results_file'])}", file=sys.stderr)
            FAILED.append(path)
    return reports
