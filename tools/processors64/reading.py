"""Reading results files, console logs and run records into runs and failed
jobs (model.py), from files and directories named on the command line.

Reading returns what went wrong with what it read: a file that could not be
read is a failure (the command's exit status becomes 2), a record that
could not be read or a report that stopped early a warning. Many files are
read by several processes at once.
"""

import os
import re
from array import array
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field

from . import build_record, forms, manifest, report_format, results_name, run_record
from .model import TESTS, FailedJob, Manifest, Run, Test, stretches

THREAD_COUNT = re.compile(r"Thread\(s\): (\d+)\Z")
PARALLEL_FROM = 64    # files; fewer are read in this process


class InputError(Exception):
    """A file that cannot be read as a report."""


ESCAPES = {code: f"\\x{code:02x}" for code in list(range(32)) + [127]}
ESCAPES.update({ord("\n"): "\\n", ord("\t"): "\\t", ord("\\"): "\\\\"})


def shown(name):
    """A file name as messages show it: line feeds and other control
    characters escaped, so that one message stays one line."""
    return name.translate(ESCAPES)


@dataclass
class Problem:
    """A file that could not be read (a failure) or was read with a
    warning, and what is wrong with it."""
    path: str
    message: str
    failure: bool = True


@dataclass
class Reading:
    """What the command line's files hold: the runs read (in the order
    named), the jobs that made no results file, the windows' manifests, and
    the problems."""
    runs: list = field(default_factory=list)
    failed_jobs: list = field(default_factory=list)
    problems: list = field(default_factory=list)
    manifests: list = field(default_factory=list)

    @property
    def failures(self):
        return [problem for problem in self.problems if problem.failure]


# ---- The files to read ------------------------------------------------------------

def read_by_name(name):
    """Whether a directory's file of this name is read with it: a results
    file, a run record or a window manifest."""
    return bool(results_name.PATTERN.match(name) or name.endswith(run_record.RECORD_SUFFIX)
                or (name.endswith(manifest.SUFFIX) and not name.startswith(".")))


def _in_directory(directory, listed=None):
    """The results files, run records and window manifests in `directory`,
    by name; `listed` (where given) takes {the directory as the paths name
    it: (its entries (os.DirEntry), the names read, in order)}."""
    with os.scandir(directory) as found:
        entries = list(found)
    names = sorted(entry.name for entry in entries if read_by_name(entry.name))
    prefix = directory if directory.endswith(os.sep) else directory + os.sep
    if listed is not None:
        listed[os.path.dirname(prefix + "x")] = (entries, names)
    return [prefix + name for name in names]


def inputs(paths, listed=None):
    """(the reports to read, the records of jobs without a results file,
    the manifests, problems) for the command line's `paths`. A directory
    stands for every results file, run record and manifest in it. The
    verdict's files beside a results file are left out. A run record stands
    for its results file (results_* names both, as they sort together); a
    record whose job made no results file is a failed job of its window.
    `listed`: as _in_directory takes it."""
    problems = []
    expanded, named = [], set()
    for path in paths:
        if os.path.isdir(path):
            try:
                found = _in_directory(path, listed)
            except OSError as error:
                problems.append(Problem(path, f"cannot read the directory: "
                                              f"{error.strerror or error}"))
                continue
            if not found:
                problems.append(Problem(path, "no results file, run record or window manifest "
                                          "in this directory"))
            expanded += found
            # Absolute names of a directory's files from the directory's, once.
            cut = len(path.rstrip("/")) if path.rstrip("/") else 0
            directory = os.path.join(os.path.abspath(path), "")
            named.update(directory + name[cut:].lstrip("/") for name in found)
        else:
            expanded.append(path)
            named.add(os.path.abspath(path))
    reports, records, manifests = [], [], []
    spelled = set(expanded)
    for path in expanded:
        if path.endswith(manifest.SUFFIX):
            manifests.append(path)
            continue
        if path.endswith(run_record.VERDICT_SUFFIXES) and any(
                path.endswith(suffix) and
                os.path.lexists(path[:-len(suffix)] + run_record.RESULTS_SUFFIX)
                for suffix in run_record.VERDICT_SUFFIXES):
            continue  # the verdict on the results file beside it, no report
        if not path.endswith(run_record.RECORD_SUFFIX):
            reports.append(path)
            continue
        results = run_record.results_path(path)
        if results in spelled or os.path.abspath(results) in named:
            continue
        if os.path.lexists(results):
            reports.append(results)
            continue
        records.append(path)
    return list(dict.fromkeys(reports)), records, list(dict.fromkeys(manifests)), problems


# ---- One report -------------------------------------------------------------------

def _first(values, key):
    found = values.get(key)
    return found[0] if found else None


def bytes_of(path):
    """The whole file; raises InputError."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise InputError(f"cannot read it: {error.strerror or error}") from None
    if not data:
        raise InputError("empty file")
    return data


def _lines_of(data):
    lines = data.decode("utf-8", errors="replace").split("\n")
    # A line counts only with its line end: a last line without one was cut short.
    lines.pop()
    return lines


def _process_count(line, number, most):
    found = THREAD_COUNT.match(line)
    if not found or not 1 <= int(found.group(1)) <= most:
        raise InputError(f"line {number} is {line[:60]!r}; "
                         f"expected 'Thread(s): N', N from 1 to {most}")
    return int(found.group(1))


def read_run(path, data=None, cap=None, written=False):
    """Reads one results file or console log (`data`: its bytes, where
    already read); raises InputError. `cap`: the most processes the
    master of its build collects (from its run record's build record);
    where unknown, a report holds no more processes than lines. `written`:
    each test keeps its workers' numbers as a whole results file writes
    them (model.Test.written)."""
    data = bytes_of(path) if data is None else data
    head = data[:4096].decode("utf-8", errors="replace").split("\n")
    most = cap or max(data.count(b"\n"), 1)
    parsed = None
    if head[0] == report_format.TITLE and len(head) > 3:
        # A whole results file, read straight from its bytes.
        nproc = _process_count(head[2], 3, most)
        parsed = report_format.read_results_file(data, nproc)
    if parsed is not None:
        run = Run(path, nproc)
        values, names, _, run.ends, words = parsed
        run.name = results_name.parse(os.path.basename(path))
        return _tests(run, values, names, words if written else None)
    lines = _lines_of(data)
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
    run = Run(path, _process_count(lines[count_line], count_line + 1, most))
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
        run.name = results_name.parse(os.path.basename(path))
    else:
        run.name = results_name.parse(_saved_name(lines[count:]))
    return _tests(run, values, names)


def _tests(run, values, names, written=None):
    run.ef_overall = _first(values, "ef_overall")
    run.ef_mean = _first(values, "ef_mean")
    previous = None
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
        test.seconds, test.rates = array("d", times[:count]), array("d", rates[:count])
        words = (written or {}).get(f"{short}_time"), (written or {}).get(f"{short}_rate")
        if None not in words and count == len(times) == len(rates):
            test.written = words
        hosts = hosts[:count]
        if hosts is previous or hosts == previous:  # the usual case: work out once
            test.stretches = run.tests[0].stretches
        else:
            test.stretches, previous = stretches(hosts), hosts
        test.overall = _first(values, f"{short}_overall")
        test.improvement = _first(values, f"{short}_ratio")
        test.mean = _first(values, f"{short}_mean")
        if test.baseline is None and not test.rates:
            break  # the report ends before this test
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


def _record_beside(path):
    """(the run record beside the results file `path` or None, problems)."""
    record = run_record.record_path(path)
    if record is None or not os.path.lexists(record):
        return None, []
    try:
        found, warnings = run_record.load(record)
    except run_record.RecordError as error:
        return None, [Problem(record, f"{error}; the results file is read without it",
                              failure=False)]
    return found, [Problem(record, warning, failure=False) for warning in warnings]


def read_one(path, data=None, written=False):
    """(the run or None, problems) of one report (`data`: its bytes, where
    already read; `written`: as read_run takes it) and the record beside
    it. The record's build says how many processes the report may hold."""
    record, record_problems = _record_beside(path)
    try:
        run = read_run(path, data, build_record.cap(record["build"]) if record else None,
                       written)
    except InputError as error:
        return None, [Problem(path, str(error))]
    problems = []
    if run.ends is not None:
        problems.append(Problem(path, f"the run stopped early, its report ends {run.ends}; "
                                      "read as far as it goes", failure=False))
    if not run.console_log:  # a console log has no record beside it
        run.record = record
        problems += record_problems
    return run, problems


def read_record(path):
    """(the failed job or None, problems) of a record without its results file."""
    try:
        record, warnings = run_record.load(path)
    except run_record.RecordError as error:
        return None, [Problem(path, str(error))]
    problems = [Problem(path, warning, failure=False) for warning in warnings]
    if record["results_file"] is not None:
        return None, problems + [Problem(path, "its results file is not beside it: "
                                               f"{shown(record['results_file'])}")]
    return FailedJob(path, record), problems


def _workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def each(function, paths, *arguments):
    """function(batch of paths, *arguments) -> [result per path] over
    `paths`, in order: in batches by several processes where there are many
    files and more than one CPU, else in one batch here."""
    workers = min(_workers(), 8)
    if len(paths) < PARALLEL_FROM or workers < 2:
        yield from function(paths, *arguments)
        return
    size = max(1, min(64, len(paths) // (workers * 4)))
    batches = [paths[start:start + size] for start in range(0, len(paths), size)]
    with ProcessPoolExecutor(workers) as pool:
        for results in pool.map(function, batches, *([argument] * len(batches)
                                                     for argument in arguments)):
            yield from results


# Every record of a window names all its nodes (thousands): the list
# travels from a reading process as one text, one object a batch (pickled
# once with it), and is kept once per window.
_SEPARATOR = "\n"


def compact(item, texts):
    """The item with its window's node list as one text, the same object
    for every item of the batch that shares `texts`."""
    window = item.record.get("window") if item is not None and item.record else None
    if window:
        text = _SEPARATOR.join(window["nodes"])
        if text.count(_SEPARATOR) == max(len(window["nodes"]) - 1, 0):  # no name holds one
            window["nodes"] = texts.setdefault(text, text)
    return item


def expand(item, lists):
    """The item with its window's node list a list again, one list object
    for every item that shares it (`lists`: those seen)."""
    window = item.record.get("window") if item.record else None
    if window and isinstance(window["nodes"], str):
        text = window["nodes"]
        window["nodes"] = lists.get(text) or lists.setdefault(
            text, text.split(_SEPARATOR) if text else [])
    return item


def _read_batch(paths, slow_pct=None):
    texts, out = {}, []
    for path in paths:
        run, problems = read_one(path)
        if run is not None and slow_pct is not None:
            for test in run.tests:
                test.forget_workers(slow_pct)
        out.append((compact(run, texts), problems))
    return out


def _read_record_batch(paths):
    texts, out = {}, []
    for path in paths:
        job, problems = read_record(path)
        out.append((compact(job, texts), problems))
    return out


def read_items(reports, records, workers=True, slow_pct=None):
    """([(run or None, problems)] of `reports`, [(failed job or None,
    problems)] of `records`), in their order; see read()."""
    lists = {}
    kept = None if workers else (forms.SLOW if slow_pct is None else slow_pct)
    runs = [(expand(run, lists) if run is not None else None, found)
            for run, found in each(_read_batch, reports, kept)]
    jobs = [(expand(job, lists) if job is not None else None, found)
            for job, found in each(_read_record_batch, records)]
    return runs, jobs


def read_manifest(path):
    """(the window's Manifest or None, problems) of one manifest."""
    try:
        return Manifest(path, manifest.load(path)), []
    except manifest.RecordError as error:
        return None, [Problem(path, str(error))]


def read_manifests(paths):
    return [read_manifest(path) for path in paths]


def assemble(problems, manifests, runs, jobs):
    """The Reading of what was read: `problems` of finding the files, then
    each item's (read_manifests, read_items) in order."""
    reading = Reading(problems=list(problems))
    for items, into in ((manifests, reading.manifests), (runs, reading.runs),
                        (jobs, reading.failed_jobs)):
        for item, found in items:
            reading.problems += found
            if item is not None:
                into.append(item)
    return reading


def read(paths, workers=True, slow_pct=None):
    """Reads every report and record the command line names (files or
    directories); returns a Reading. workers=False keeps of each host only
    its figures (model.HostFigures, slow workers by `slow_pct`), not every
    worker's rate: what the verdict, history and the metrics need, read
    from thousands of files in a fraction of the memory."""
    reports, records, manifests, problems = inputs(paths)
    return assemble(problems, read_manifests(manifests),
                    *read_items(reports, records, workers, slow_pct))


def number(value):
    """A value as the program prints it (6 significant digits); '-' if absent."""
    return "-" if value is None else f"{value:g}"
