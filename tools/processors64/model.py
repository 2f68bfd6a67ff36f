"""What the tools reason about: a run (one job's report and its record),
its streaming tests, a job that made no results file, a window's manifest
(what a window measured node by node means to cover), and the window (every
job of one maintenance run, however many masters) that holds them.

Every sub-command reads the same model: reading.py makes the runs and
failed jobs, windows() groups them, and summary, compare, history, the
verdict, export and the page work on windows.
"""

import calendar
import math
import re
from array import array
from dataclasses import dataclass, field
from datetime import datetime
from typing import Optional

from . import forms, results_name

TESTS = ("Float Streaming", "Integer Streaming", "Logic Streaming")
SLOW = forms.SLOW
WINDOW_MINUTES = 30  # one-job windows that started this close are one window
# The id a task of a job array had in older records: the array's and the task's.
ARRAY_TASK = re.compile(r"([0-9]+)_([0-9]+)\Z")


def _sorted_median(ordered):
    n = len(ordered)
    return ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2


def stretches(hosts):
    """(host, first, end) of each stretch of workers on one host, in rank
    order: indexes into the workers' lists, end not included."""
    cuts = [0] + [i for i, (a, b) in enumerate(zip(hosts, hosts[1:]), 1) if a != b]
    return tuple((hosts[start], start, end) for start, end in zip(cuts, cuts[1:] + [len(hosts)])
                 if hosts)


@dataclass(frozen=True)
class HostFigures:
    """One host in one streaming test of one run: its workers, the median
    rate of those of the common form of the loop (None where it has none:
    the host's rate, held against its peers and its past), the lowest,
    median and highest rate of all of them, and its slow workers (rank,
    rate)."""
    workers: int
    rate: Optional[float]
    low: float
    middle: float
    high: float
    slow: tuple


@dataclass(eq=False)
class Test:
    """One streaming test of one run: the master's baseline (seconds, rate),
    each worker's seconds and rate in rank order from rank 1 and the hosts
    they ran on (as stretches of one host), and the summary lines; what the
    report did not reach is None (or empty)."""
    name: str
    baseline: Optional[tuple] = None
    seconds: array = field(default_factory=lambda: array("d"))
    rates: array = field(default_factory=lambda: array("d"))
    stretches: tuple = ()
    overall: Optional[float] = None
    improvement: Optional[float] = None
    mean: Optional[float] = None
    slow: list = field(default_factory=list)  # set by forms.mark_slow
    # Each host's figures, worked out where the run was read when the
    # workers' rates are not kept (seconds and rates then are None).
    figures: Optional[dict] = None
    figures_slow: Optional[float] = None
    # The workers' seconds and rates as a whole results file writes them
    # (bytes, a space between), where the reader asked (the store keeps
    # them so: a third of their size as doubles, once compressed).
    written: Optional[tuple] = None

    @property
    def forms(self):
        return forms.forms_of(self.name, len(self.rates))

    @property
    def hosts(self):
        """The host of each worker, in rank order."""
        return [host for host, start, end in self.stretches for _ in range(start, end)]

    def host_ranks(self):
        """{host: [rank...]}, hosts in order of first rank."""
        found = {}
        for host, start, end in self.stretches:
            found.setdefault(host, []).extend(range(start + 1, end + 1))
        return found

    def host_rates(self):
        """{host: [rate...]} in the same order."""
        found = {}
        for host, start, end in self.stretches:
            found.setdefault(host, []).extend(self.rates[start:end])
        return found

    def host_medians(self):
        """{host: median rate of its workers of the common form}."""
        if self.rates is None:
            return {host: figures.rate for host, figures in self.figures.items()
                    if figures.rate is not None}
        if not hasattr(self, "_medians"):
            self._medians = forms.host_medians(self)
        return self._medians

    def host_figures(self, slow_pct=SLOW):
        """{host: HostFigures}, hosts in order of first rank."""
        if self.figures is not None and self.figures_slow == slow_pct:
            return self.figures
        if self.rates is None:
            raise ValueError("the workers' rates were not kept")
        floors = forms.slow_floors(self, slow_pct)
        floor = floors.get(forms.COMMON)
        special = forms.special_indexes(self)
        slow = None  # each worker's flag, worked out where a host may have a slow one
        rates, ranks = {}, {}
        for host, start, end in self.stretches:
            rates.setdefault(host, []).extend(self.rates[start:end])
            ranks.setdefault(host, []).extend(range(start, end))
        self.figures = {}
        any_nan = any(map(math.isnan, self.rates))
        for host, mine in rates.items():
            ordered = sorted(mine)
            middle = _sorted_median(ordered)
            indexes = ranks[host]
            common = middle
            nan = any_nan and any(map(math.isnan, mine))
            if nan:  # no order to take a median in
                middle = common = math.nan
            elif special and indexes[0] < forms.LAST_SPECIAL:
                common = _sorted_median(sorted(
                    self.rates[i] for i in indexes if i not in special)) if any(
                    i not in special for i in indexes) else None
            found = ()
            if nan or (floor is not None and ordered[0] < floor) or (
                    special and indexes[0] < forms.LAST_SPECIAL):
                slow = slow or forms.slow_flags(self, slow_pct, floors)
                found = tuple((i + 1, self.rates[i]) for i in indexes if slow[i])
            self.figures[host] = HostFigures(len(mine), common, ordered[0], middle,
                                             ordered[-1], found)
        self.figures_slow = slow_pct
        return self.figures

    def forget_workers(self, slow_pct=SLOW):
        """Keeps each host's figures and lets the workers' rates go."""
        self.host_figures(slow_pct)
        self.seconds = self.rates = self.written = None


@dataclass(eq=False)
class Run:
    """One report (a results file or a console log), as far as it goes,
    and the run record beside it."""
    path: str
    nproc: int
    name: Optional[results_name.Name] = None  # from the file's name or the console's end
    ends: Optional[str] = None  # where the report stopped early, or None
    ef_overall: Optional[float] = None
    ef_mean: Optional[float] = None
    tests: list = field(default_factory=list)
    record: Optional[dict] = None
    console_log: bool = False

    @property
    def master(self):
        return self.name.host if self.name else None

    @property
    def when(self):
        return self.name.when if self.name else None

    @property
    def zone(self):
        return self.name.zone if self.name else None

    def time(self):
        """The run's Unix time from the date and zone in its name, else from
        its record's start; None when neither can be had. Worked out once:
        grouping thousands of runs into windows asks it many times."""
        if "_time" not in self.__dict__:
            known = self.name.seconds() if self.name else None
            self._time = known if known is not None else record_time(self.record)
        return self._time

    def label(self):
        when = self.when.strftime("%Y-%m-%d %H:%M:%S") if self.when else "date unknown"
        return f"{when} {self.zone or ''}".rstrip()

    def hosts(self):
        """The hosts of its workers, in order of first rank."""
        return list(dict.fromkeys(host for host, _, _ in self.tests[0].stretches)) \
            if self.tests else []

    def record_hosts(self):
        """The hosts of its record's node list, in its order."""
        return [node["host"] for node in (self.record or {}).get("nodes", [])]

    @property
    def complete(self):
        """Whether its report went to its end. A run that stopped early
        measured nothing: its hosts are not measured, its rates are no one's
        past."""
        return self.ends is None

    def window_key(self):
        return window_of(self.record)


@dataclass(eq=False)
class FailedJob:
    """The run record of a job that made no results file: a group of a
    window whose job failed before its master wrote one."""
    path: str
    record: dict

    def time(self):
        return record_time(self.record)

    def hosts(self):
        """The nodes its job was to run workers on (the master's first)."""
        placement = self.record.get("placement")
        if placement:
            return [entry["host"] for n, entry in enumerate(placement)
                    if entry["workers"] or n == 0]
        return [node["host"] for node in self.record["nodes"]]

    def window_key(self):
        return window_of(self.record)


def record_time(record):
    try:
        started = datetime.strptime(record["started"], "%Y-%m-%dT%H:%M:%SZ")
    except (TypeError, ValueError, KeyError):
        return None
    return calendar.timegm(started.timetuple())


def window_of(record):
    """The record's window key, or None (older records, runs by hand)."""
    return record.get("window") if isinstance(record, dict) else None


def joins_by_id(window):
    """Whether a record's window key (not None) makes its job one window
    with every other of its id, however far apart they ran: jobs side by
    side in one allocation, the tasks of a job array, jobs given one name.
    A job that is a window of its own joins the one-job windows that
    started close to it instead."""
    return bool(window.get("named") or window.get("array") or window["groups"] > 1
                or ARRAY_TASK.match(window["id"]))


def window_name(window):
    """(named, id) of the window a record's window key belongs to: a task's
    id of older records, 1234_7, is its array's, 1234."""
    if window.get("named"):
        return True, window["id"]
    found = ARRAY_TASK.match(window["id"])
    return False, found.group(1) if found else window["id"]


@dataclass(frozen=True)
class Manifest:
    """A window's manifest (manifest.py): its name, every node it means to
    measure, its jobs ({"id", "nodes"}) and the nodes it left out
    ({"host", "state", "reason"})."""
    path: str
    document: dict

    @property
    def name(self):
        return self.document["window"]

    def time(self):
        return record_time({"started": self.document["created"]})

    def left_out(self):
        return {entry["host"]: entry for entry in self.document["left_out"]}

    def job_of(self):
        """{node: its job} of the jobs submitted or to be."""
        return {node: job for job in self.document["jobs"] for node in job["nodes"]}


def same_host(a, b):
    """Whether two names are one host: the same, or the same first label
    where one of them has a domain (Slurm's node1, the report's node1.lan)."""
    return a == b or (("." in a) != ("." in b) and a.split(".")[0] == b.split(".")[0])


def _group(item):
    window = item.window_key()
    return window["group"] if window and joins_by_id(window) else 0


@dataclass(eq=False)
class Window:
    """The jobs of one maintenance run: the runs its groups made (in group
    order), the jobs that made no results file, every node it was to
    measure, in order, and when it started (None: undated)."""
    id: str
    runs: list
    failed: list
    nodes: list
    start: Optional[float]
    copies: list = field(default_factory=list)  # other files of its runs (console logs)
    ids: frozenset = frozenset()  # the window ids of its jobs' records
    manifest: Optional[Manifest] = None
    # {job id: slurm.JobState} of its manifest's jobs without results, as
    # Slurm answered (console.load asks); None where it was not asked or
    # could not be.
    job_states: Optional[dict] = None
    # {test: {host: rate}} as host_rates gives it, worked out where the
    # window was read (its runs then hold no figures); None: from its runs.
    rates: Optional[dict] = None

    def dated(self):
        return self.start is not None

    def label(self):
        if self.start is None:
            return "date unknown"
        return datetime.utcfromtimestamp(self.start).strftime("%Y-%m-%d %H:%M:%S UTC")

    def groups(self):
        """How many jobs the window has: as its records or its manifest say,
        else counted."""
        said = [item.window_key()["groups"] for item in self.runs + self.failed
                if item.window_key() and joins_by_id(item.window_key())]
        if self.manifest:
            said.append(len(self.manifest.document["jobs"]))
        return max(said + [len(self.runs) + len(self.failed)])

    def span(self):
        """(first, last) start of its jobs, Unix times; None where undated."""
        times = [item.time() for item in self.runs + self.failed]
        times = [known for known in times if known is not None]
        return (min(times), max(times)) if times else None

    def unreported_jobs(self):
        """The ids of its manifest's jobs that made no results file (no
        record, or a failed job's): what Slurm is asked about."""
        if self.manifest is None:
            return []
        done = {item.record["slurm"].get("job_id") for item in self.runs
                if item.record and item.record.get("slurm")}
        return [job["id"] for job in self.manifest.document["jobs"]
                if job["id"] and job["id"] not in done]

    def masters(self):
        return [run.master or "unknown" for run in self.runs]

    def measured(self):
        """{host: the run that measured it}, in the order of the runs: a run
        that stopped early measured none."""
        found = {}
        for run in self.runs:
            if run.complete:
                for host in run.hosts():
                    found.setdefault(host, run)
        return found

    def not_measured(self):
        """{node: why} of the window's nodes that no complete report has a
        worker of: their job failed, was left out, is still to come or was
        cancelled, their ranks were past the master's cap, they are missing
        from their group's report, or that report stopped early."""
        measured = self.measured()
        short = {host.split(".")[0] for host in measured}
        why = {}
        reasons = None
        for node in self.nodes:
            if node in measured or (node.split(".")[0] in short and any(
                    same_host(node, host) for host in measured)):
                continue
            reasons = reasons or _Reasons(self)
            why[node] = reasons.why(node)
        return why

    def partly_measured(self):
        """{host: (CPUs, collected workers)} of the nodes whose CPUs the job
        measured in part (a node larger than a job, ranks past the cap)."""
        found = {}
        for run in self.runs:
            for entry in (run.record or {}).get("placement") or []:
                if entry["cpus"] and 0 < entry["collected"] < entry["cpus"]:
                    found[entry["host"]] = (entry["cpus"], entry["collected"])
        return found


class _Reasons:
    """Why a node of a window was not measured, from its jobs' records, its
    runs' placement and reports, and its manifest; looked up by host."""

    def __init__(self, window):
        self.window = window
        self.failed = _by_host((host, job) for job in window.failed for host in job.hosts())
        self.placed, self.in_job = {}, {}
        for run in window.runs:
            for entry in (run.record or {}).get("placement") or []:
                self.placed.setdefault(entry["host"], (run, entry))
            for host in run.record_hosts() + run.hosts():
                self.in_job.setdefault(host, run)
        self.placed_by = _by_host(self.placed.items())
        self.in_job_by = _by_host(self.in_job.items())
        manifest = window.manifest
        self.left_out = _by_host(manifest.left_out().items()) if manifest else {}
        self.jobs = _by_host(manifest.job_of().items()) if manifest else {}

    def why(self, node):
        job = _find(self.failed, node)
        if job is not None:
            ran = (job.record.get("slurm") or {}).get("job_id")
            state = (self.window.job_states or {}).get(ran)
            if state is not None and state.state.startswith("CANCELLED"):
                return (f"its job {ran} was cancelled: it ended with exit status "
                        f"{job.record['exit_status']} and made no results file")
            window = window_of(job.record)
            group = (f"group {window['group']} of {window['groups']}, "
                     if window and joins_by_id(window) else "")
            return (f"its job ({group}master {job.hosts()[0]}) ended with exit status "
                    f"{job.record['exit_status']} and made no results file")
        placed = _find(self.placed_by, node)
        run, entry = placed if placed else (None, None)
        if entry is not None and not entry["workers"]:
            return (f"the job of {run.master} started no worker on it: its other nodes "
                    "had as many CPUs as the job's master collects")
        if entry is not None and not entry["collected"]:
            return "its ranks were past the master's cap: the master did not collect them"
        run = run or _find(self.in_job_by, node)
        if run is not None and run.ends and node in run.hosts():
            return f"the report of {run.master} stopped early (it ends {run.ends})"
        if run is not None and run.ends:
            return (f"missing from the report of {run.master}, which stopped early "
                    f"(it ends {run.ends})")
        if run is not None:
            return f"missing from the report of {run.master}"
        left = _find(self.left_out, node)
        if left is not None:
            reason = f", reason: {left['reason']}" if left["reason"] else ", no reason given"
            return f"left out of the window: Slurm had it {left['state']}{reason}"
        job = _find(self.jobs, node)
        if job is not None:
            return self.job_text(job)
        return "in the window's node list, in no report"

    def job_text(self, job):
        if not job["id"]:
            return "its job was not submitted yet: no results yet"
        states = self.window.job_states
        state = states.get(job["id"]) if states else None
        if state is None:
            return f"its job {job['id']}: no results yet"
        if state.active:
            return f"its job {job['id']} is {state.state.lower()}: no results yet"
        if state.state.startswith("CANCELLED"):
            return f"its job {job['id']} was cancelled"
        code = f", exit code {state.exit_code}" if state.exit_code else ""
        return f"its job {job['id']} ended {state.state}{code} without results"


def _by_host(pairs):
    """{first label: [(host, value)...]} for looking hosts up by name."""
    found = {}
    for host, value in pairs:
        found.setdefault(host.split(".")[0], []).append((host, value))
    return found


def _find(by_host, node):
    """The value of the first host of `by_host` that is `node`, or None."""
    for host, value in by_host.get(node.split(".")[0], ()):
        if same_host(node, host):
            return value
    return None


def _hosts_of(item):
    return item.hosts() if isinstance(item, Run) else []


def windows(runs, failed=(), minutes=WINDOW_MINUTES, manifests=()):
    """The windows of `runs`, `failed` jobs and `manifests`, oldest first. A
    run whose name gives no master or date (a console log cut before its
    end) is a window of its own, undated, before all others.

    Jobs whose records share a window id form one window when that id is
    more than one job's: jobs side by side in one allocation, a job array's
    tasks, jobs given one name (joins_by_id); a manifest joins the window of
    its name. Jobs that are each a window of their own, and runs without a
    record (older records, runs started by hand), form one window when they
    started within `minutes` of the window's first and measured no host it
    measured already. A console log and the results file of one run count
    once (the one with a run record, else the first named)."""
    seen, copies, undated = {}, {}, []
    for run in runs:
        if run.name is None or run.when is None:
            undated.append(run)
            continue
        key = (run.when, run.zone, run.master)
        if key in seen and (seen[key].record is not None or run.record is None):
            copies.setdefault(key, []).append(run)
            continue
        if key in seen:
            copies.setdefault(key, []).append(seen[key])
        seen[key] = run
    items = list(seen.values()) + list(failed)
    by_id, loose = {}, []
    for item in items:
        window = item.window_key()
        if window and joins_by_id(window):
            by_id.setdefault(window_name(window), []).append(item)
        elif item.time() is not None or isinstance(item, Run):
            loose.append(item)
    named = {}
    for found in manifests:
        named.setdefault((True, found.name), found)
        by_id.setdefault((True, found.name), [])
    found = [_window(key[1], members, named.get(key)) for key, members in by_id.items()]
    loose.sort(key=_order)
    current, hosts = [], set()
    for item in loose:
        mine = set(_hosts_of(item))
        if current and (_order(item) - _order(current[0]) > minutes * 60 or mine & hosts):
            found.append(_window(None, current))
            current, hosts = [], set()
        current.append(item)
        hosts |= mine
    if current:
        found.append(_window(None, current))
    for window in found:
        window.copies = [copy for run in window.runs
                         for copy in copies.get((run.when, run.zone, run.master), ())]
    found.sort(key=lambda window: (window.start is None, window.start or 0, window.id))
    return [Window(f"undated {n}", [run], [], run.hosts(), None)
            for n, run in enumerate(undated, 1)] + found


def _order(item):
    """An item's time; a run whose zone is unknown as if its name were UTC."""
    known = item.time()
    if known is None and isinstance(item, Run) and item.when:
        return calendar.timegm(item.when.timetuple())
    return known if known is not None else 0


def _window(key, members, manifest=None):
    """The Window of `members` (runs and failed jobs): of id `key`, else of
    its jobs' ids (the first and last where they are several), else of its
    start."""
    def order(item):
        return (_group(item), _order(item))
    runs = sorted((item for item in members if isinstance(item, Run)), key=order)
    failed = sorted((item for item in members if isinstance(item, FailedJob)), key=order)
    # The records of a window of jobs side by side each name all its nodes:
    # the same list (often the same object), taken once.
    lists, seen = [], set()
    if manifest is not None:
        lists.append(manifest.document["nodes"])
    for item in members:
        window = item.window_key()
        if window and id(window["nodes"]) not in seen:
            seen.add(id(window["nodes"]))
            lists.append(window["nodes"])
    distinct, seen = [], set()
    for names in lists:
        if tuple(names) not in seen:
            seen.add(tuple(names))
            distinct.append(names)
    nodes = _unique_hosts([name for names in distinct for name in names])
    known = set(nodes)
    others = []
    for item in runs + failed:
        others += [name for name in (item.hosts() if isinstance(item, FailedJob) else
                                     item.record_hosts() + item.hosts()) if name not in known]
    if others:
        nodes = _unique_hosts(nodes + others)
    times = [_order(item) for item in members if item.time() is not None or isinstance(item, Run)]
    if manifest is not None and manifest.time() is not None:
        times.append(manifest.time())
    start = min(times) if times else None
    ids = frozenset(item.window_key()["id"] for item in members if item.window_key())
    if key is None:
        by_time = sorted(members, key=_order)
        named = list(dict.fromkeys(window_name(item.window_key())[1] for item in by_time
                                   if item.window_key()))
        key = (named[0] if len(named) == 1 else f"{named[0]}..{named[-1]}" if named else
               datetime.utcfromtimestamp(start).strftime("%Y-%m-%dT%H:%M:%SZ")
               if start is not None else "unknown")
    return Window(key, runs, failed, nodes, start, ids=ids | {key}, manifest=manifest)


def _unique_hosts(names):
    """The names in order, each host once (node1 and node1.lan are one)."""
    names = list(dict.fromkeys(names))
    if "." not in "".join(names):
        return names
    out, by_label = [], {}
    for name in names:
        label = name.split(".")[0]
        if label in by_label and any(same_host(name, other) for other in by_label[label]):
            continue
        by_label.setdefault(label, []).append(name)
        out.append(name)
    return out


def host_rates(window, test_name):
    """{host: median rate of its workers of the common form} in `window`,
    each host from the run that measured it first (a run that stopped early
    measured none)."""
    if window.rates is not None:
        return window.rates.get(test_name, {})
    found = {}
    for run in window.runs:
        if not run.complete:
            continue
        test = next((test for test in run.tests if test.name == test_name), None)
        if test is not None:
            for host, rate in test.host_medians().items():
                found.setdefault(host, rate)
    return found

