"""The recorded run: the benchmark under its launcher as a window of one or
more jobs side by side, and each job's run record beside its results file
(what the job ran on, with which MPI and build, when, and how it ended).

    processors64-run [--nodes-per-job K] LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY
    processors64-run --slurm [--verdict] [--nodes-per-job K] BINARY

A window is every job started at once to measure one allocation or host
list; its jobs are its groups (groups.py), most windows have one. For each:
1. Starts the node inventory (inventory.py) once on every node of the job,
   for at most PROCESSORS64_INVENTORY_TIMEOUT seconds (default 60): a node
   that has not answered by then gets an error in its node record. The
   groups' inventories run side by side and end before any benchmark starts.
2. Runs the jobs side by side, nothing else running meanwhile. INT, TERM and
   HUP are passed on to every launcher.
3. Writes each job's run record (JSON) beside the results file its master
   wrote, "X.txt" -> "X.run.json"; a job that made none gets
   processors64-run-YYYYMMDDTHHMMSSZ-HOST.run.json in its working directory,
   HOST the job's first node. Every record names the window (its id, the
   group's number, how many groups, every node) and, where known, how many
   workers went to each node of the job and how many of them were measured.
Exits 0 where every job ended 0, else with the status of the first group
that failed (128 + N for a launcher ended by signal N); in a window of
several, one line on standard error names each group that failed. A record
that cannot be written is one line on standard error.

Without --nodes-per-job, `LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY` runs
exactly as given, with this process's standard input, output and error.
Where its process count passes the master's cap (the binary's build record),
the ranks and hosts the master will not collect are named before the run;
the record's placement keeps them. With --nodes-per-job K, the hosts of the
job's hostfile or host list, each with its slots (the first host's CPUs one
fewer: its extra slot is the master's), are split into groups of K, each
started with a hostfile of its own and its own process count (the given
count, hostfile and host list left out), standard input closed.

With --slurm, the window measures the allocation: one worker per CPU Slurm
allocated and a master on top of them, under the launcher the binary was
built for (its build record's, else its CMake build's, else mpirun),
standard input closed. Where the CPUs + 1 fit the master's cap it is one job,
`LAUNCHER -np CPUS+1 BINARY`, placed by Slurm. Else, or with --nodes-per-job,
the nodes are split into groups, each started with a hostfile of its nodes
(the first with one slot more, for the master): each MPI's launcher starts
its daemons there as a step of the allocation (srun --nodelist). With
--verdict, once every group has ended and its record is written, the window
is judged (verdict.after_window) and the exit status is the verdict's.

In a window of several groups, each group's report goes to standard output
whole when its job ends, and a line per group says before the run where its
job goes.

Environment:
  PROCESSORS64_NODE_INVENTORY     the collector to start on every node
                                  (default: node_inventory.sh of the install
                                  or of the repository)
  PROCESSORS64_INVENTORY_TIMEOUT  seconds to wait for the nodes (default 60)
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Optional

from . import build_record, groups, inventory, launchers, results_name, run_record, slurm
from .verdict import after_window

PROGRAM = "processors64-run"
USAGE = ("usage: processors64-run [--nodes-per-job K] LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY\n"
         "       processors64-run --slurm [--verdict] [--nodes-per-job K] BINARY")
# The collector in the repository: scripts/node_inventory.sh, two levels up.
REPOSITORY_COLLECTOR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "node_inventory.sh")
PASSED_ON = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def say(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr, flush=True)


def shown(text):
    """`text` on one line of a terminal: each line feed as \\n."""
    return text.replace("\n", "\\n")


def default_quit():
    """A shell starts a background job with INT and QUIT ignored, and the
    launcher would keep ignoring QUIT: it gets its default back, as it would
    started by hand (INT, TERM and HUP are caught here, so they come back to
    their defaults at exec)."""
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)


class Launched:
    """The launchers this run started (a window's run side by side), and
    the first of INT, TERM, HUP that came: each is passed on to every
    launcher still running. A context: the handlers this process had before
    come back at its end, once the window's jobs have ended."""

    def __init__(self):
        self.children = []
        self.signal = None
        self.told = set()      # (pid, signal) passed on: each once
        self.previous = {}

    def __enter__(self):
        for number in PASSED_ON:
            self.previous[number] = signal.signal(number, self.pass_on)
        return self

    def __exit__(self, *exception):
        for number, handler in self.previous.items():
            signal.signal(number, signal.SIG_DFL if handler is None else handler)
        return False

    def pass_on(self, number, frame):
        self.signal = self.signal or number
        for child in self.children:
            self.tell(child, number)

    def tell(self, child, number):
        if child.poll() is None and (child.pid, number) not in self.told:
            self.told.add((child.pid, number))
            try:
                child.send_signal(number)
            except OSError:
                pass

    def start(self, command, **options):
        """Starts `command` (subprocess.Popen's options); raises OSError. A
        signal that came while it started is passed on to it too."""
        child = subprocess.Popen(command, preexec_fn=default_quit, **options)
        self.children.append(child)
        if self.signal is not None:
            self.tell(child, self.signal)
        return child


# ---- The job's arguments ---------------------------------------------------

class Job:
    """What the launcher's arguments (without the binary) say."""

    def __init__(self, kind, arguments):
        self.kind = kind
        self.processes = None
        self.hostfile = None
        self.host_list = None
        self.work_dir = os.getcwd()
        # The arguments a run of one process per node keeps: all but the
        # count, the placement and the output form.
        self.collector_arguments = []
        # The arguments every group of a split keeps: all but the count and
        # the hosts, which are the group's own.
        self.group_arguments = []
        options = launchers.KINDS[kind].options if kind in launchers.KINDS else {}
        words = list(arguments)
        while words:
            role, values = options.get(words[0], (None, 0))
            if len(words) <= values:  # an option without its values: kept as it is
                self.collector_arguments += words
                self.group_arguments += words
                break
            value = words[1] if values else None
            if role == "count":
                self.processes = value
            elif role == "hostfile":
                self.hostfile = value
            elif role == "hosts":
                self.host_list = value
            elif role == "wdir":
                self.work_dir = os.path.join(os.getcwd(), value)
            if role not in ("count", "placement", "output"):
                self.collector_arguments += words[:values + 1]
            if role not in ("count", "hostfile", "hosts"):
                self.group_arguments += words[:values + 1]
            del words[:values + 1]

    def count(self):
        """The process count given, as a number, or None."""
        return int(self.processes) if re.fullmatch(r"[0-9]+", self.processes or "") else None

    def slotted(self):
        """[(host, slots or None)] of the job's host list or hostfile, in
        order; [] where it names neither, None where the hostfile cannot be
        read."""
        if self.host_list:
            return groups.slotted_hosts(self.host_list.split(","))
        if self.hostfile:
            try:
                with open(self.hostfile, errors="surrogateescape") as f:
                    return groups.slotted_hosts(f)
            except OSError:
                return None
        return []

    def expected_hosts(self):
        """The job's nodes, first node first: those of its host arguments,
        else Slurm's, else this host."""
        return ([host for host, _ in self.slotted() or []] or slurm.job_nodes()
                or [os.uname().nodename])


# ---- The window ------------------------------------------------------------------

@dataclass(frozen=True)
class Window:
    """Every job started at once to measure one allocation or host list."""
    id: str
    nodes: tuple
    groups: int

    def record(self, number):
        """The run record's "window" of group `number`."""
        return {"id": self.id, "group": number, "groups": self.groups, "nodes": list(self.nodes)}


def made_window_id():
    """An id for a window outside Slurm, unique to this run: the time, this
    host and this process."""
    return f"{time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())}-{os.uname().nodename}-{os.getpid()}"


@dataclass
class GroupRun:
    """One job of a window: what it runs, on which nodes, and how it went."""
    number: int
    command: list
    job: Job
    environment: Optional[dict]   # None: this process's
    placement: Optional[tuple]    # groups.Place of every node, None where not known
    processes: Optional[int]
    first_node: str               # the master's node
    node_inventory: Optional[inventory.Inventory] = None
    nodes: list = field(default_factory=list)
    output: Optional[str] = None  # where its standard output is kept meanwhile
    child: Optional[subprocess.Popen] = None
    status: Optional[int] = None
    started_ns: int = 0
    ended_ns: int = 0

    def hosts(self):
        """The names its master may give its results file: the nodes whose
        inventory answered, and the job's own node names."""
        names = {node.get("host") for node in self.nodes if "error" not in node}
        return names | {place.host for place in self.placement or ()} | {self.first_node}


# ---- The jobs ----------------------------------------------------------------

def run_jobs(launched, runs, stdin, output_dir):
    """Starts every job at once and waits for those started, signals passed
    on meanwhile; once a signal came no job starts (its run keeps no
    status). With `output_dir` (a window of several), each job's standard
    output is kept there and written out whole when its job ends."""
    for run in runs:
        if launched.signal is not None:
            break
        run.started_ns = time.time_ns()
        out = None
        if output_dir:
            run.output = os.path.join(output_dir, f"group{run.number}.out")
            out = open(run.output, "wb")
        try:
            run.child = launched.start(run.command, stdin=stdin, stdout=out, env=run.environment)
        except OSError as error:
            say(f"cannot start {shown(run.command[0])}: {error.strerror}")
            run.status = 127 if isinstance(error, FileNotFoundError) else 126
            run.ended_ns = time.time_ns()
        finally:
            if out:
                out.close()
    started = [run for run in runs if run.started_ns]
    while any(run.status is None for run in started):
        for run in started:
            if run.status is None and run.child.poll() is not None:
                run.ended_ns = time.time_ns()
                run.status = launchers.exit_status(run.child.returncode)
                if run.output:
                    write_out(run.output)
        time.sleep(0.1)


def write_out(path):
    """Writes the file at `path` to standard output."""
    sys.stdout.flush()
    with open(path, "rb") as f:
        shutil.copyfileobj(f, sys.stdout.buffer)
    sys.stdout.buffer.flush()


# ---- The results file ----------------------------------------------------------

def results_file(work_dir, started_ns, started, ended, hosts, window_hosts=frozenset()):
    """(the results file's path or None, a note or None): the one results file
    the master of this job wrote in the working directory.

    A candidate is a file of the program's results file name in the job's
    working directory that
    - was last modified after this job's launcher started (nanoseconds: a
      file of an earlier job finished before; the master writes its file
      well after the launcher's start);
    - names one of this job's nodes as its master's, where any is known
      (`hosts`: the host names of the job's node records and nodes; the host
      in the name is the master's processor name, which is its host name); a
      file of another group of the window (its master one of `window_hosts`)
      is left out without a word;
    - names a time within this job's run (to the second), where the name's
      time zone is one results_name knows.
    One candidate is the job's. Where several are left (another job with the
    same master wrote its own file here at the same time), none is taken: the
    record holds null and a note naming them, and a warning says so; the
    choice is never a guess. Files left out for their host or time are named
    in the note too."""
    try:
        names = sorted(os.listdir(work_dir))
    except OSError:
        return None, None
    candidates, others = [], []
    for name in names:
        found = results_name.parse(name)
        path = os.path.join(work_dir, name)
        try:
            status = os.stat(path)
        except OSError:
            continue
        if not found or not os.path.isfile(path) or status.st_mtime_ns < started_ns:
            continue
        if hosts and found.host not in hosts:
            if found.host not in window_hosts:
                others.append(f"'{shown(name)}' (its master {shown(found.host)} is none of "
                              "this job's nodes)")
        elif not named_time_within(found, started, ended):
            others.append(f"'{shown(name)}' (its time is not this job's)")
        else:
            candidates.append(path)
    note = None
    if others:
        note = "written during the run but another job's: " + ", ".join(others)
    if len(candidates) > 1:
        listed = ", ".join(f"'{shown(os.path.basename(path))}'" for path in candidates)
        note = (f"no results file taken: {len(candidates)} of this job's nodes and time "
                f"were written during the run: {listed}") + (f"; {note}" if note else "")
        say(f"{note}; the run record names none")
        return None, note
    return (candidates[0] if candidates else None), note


def named_time_within(name, started, ended):
    """Whether the time in a results file's name (results_name.Name) lies
    within [started, ended] (seconds since the epoch); True where its zone is
    not one results_name knows."""
    seconds = name.seconds()
    return seconds is None or int(started) - 1 <= seconds <= int(ended) + 1


# ---- The records ---------------------------------------------------------------

def utc(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def record_path(results, work_dir, started, host):
    """Beside the results file, X.txt -> X.run.json; else in the working
    directory under the job's start time and its first node's name (the
    groups of a window have nodes of their own)."""
    if results:
        return run_record.record_path(results)
    stamp = started.replace("-", "").replace(":", "")
    return os.path.join(work_dir, f"processors64-run-{stamp}-{host.replace('/', '_')}.run.json")


def write_record(run, window, mpi, binary, window_hosts):
    """Writes `run`'s record; its results file or None."""
    started, ended = utc(run.started_ns // 10**9), utc(run.ended_ns // 10**9)
    hosts = run.hosts() if window.groups > 1 else {
        node.get("host") for node in run.nodes if "error" not in node}
    results, note = results_file(run.job.work_dir, run.started_ns, run.started_ns / 1e9,
                                 run.ended_ns / 1e9, hosts, window_hosts - hosts)
    values = {
        "results_file": os.path.basename(results) if results else None,
        "results_file_note": note,
        "started": started,
        "ended": ended,
        "exit_status": run.status,
        "command": list(run.command),
        "processes": run.processes,
        "mpi": mpi,
        "build": build_record.of(binary),
        "slurm": slurm.job_variables(),
        "window": window.record(run.number),
        "placement": (None if run.placement is None
                      else [place.record() for place in run.placement]),
        "nodes": run.nodes,
    }
    path = record_path(results, run.job.work_dir, started, run.first_node)
    try:
        run_record.write(path, {key: values[key] for key in run_record.RUN_KEYS})
    except OSError:
        say(f"cannot write the run record '{shown(path)}'")
    return results


@dataclass
class WindowEnd:
    """How a window's run ended: its exit status, the results files its
    jobs made, and the signal that stopped it (None: none came)."""
    status: int
    results: list
    signal: Optional[int] = None


def run_window(window, runs, description, binary, collector, stdin):
    """The recorded run of the window's jobs (GroupRun, in group order):
    their inventories side by side, then the jobs side by side, then the
    record of each job that started; a WindowEnd. INT, TERM and HUP are
    passed on to every launcher meanwhile; once one came no job starts and
    the window ends with 128 + its number. The handlers this process had
    before come back once the jobs have ended."""
    with Launched() as launched, tempfile.TemporaryDirectory(
            prefix="processors64-run.") as temp_dir:
        if description.kind is None:
            say(f"{shown(runs[0].command[0])} is neither Open MPI's launcher nor MPICH's: "
                "no node records")
        for run in runs:
            if launched.signal is not None:
                break
            directory = os.path.join(temp_dir, f"group{run.number}")
            os.mkdir(directory)
            run.node_inventory = inventory.start(launched.start, run.command[0], run.job,
                                                 collector, directory, run.environment)
        seconds, warning = inventory.timeout()
        if warning:
            say(shown(warning))
        inventory.wait([run.node_inventory for run in runs if run.node_inventory], seconds,
                       lambda: launched.signal)
        if launched.signal is None:
            for run in runs:
                run.nodes, warnings = inventory.nodes(run.node_inventory)
                for warning in warnings:
                    say(shown(warning))
            run_jobs(launched, runs, stdin, temp_dir if len(runs) > 1 else None)
        started = [run for run in runs if run.started_ns]
        if not started:
            name = signal.Signals(launched.signal).name
            say(f"stopped by {name} before the benchmark started")
            return WindowEnd(128 + launched.signal, [], launched.signal)
        window_hosts = set().union(*(run.hosts() for run in runs)) if len(runs) > 1 else set()
        made = [write_record(run, window, description.record(), binary, window_hosts)
                for run in started]
    failed = [run for run in started if run.status != 0]
    if len(runs) > 1:
        for run in failed:
            hosts = ", ".join(map(shown, run.node_inventory.hosts))
            say(f"group {run.number} of {len(runs)} ({hosts}) failed: exit status {run.status}")
    results = [path for path in made if path]
    if launched.signal is not None:
        left = [run.number for run in runs if not run.started_ns]
        said = f"stopped by {signal.Signals(launched.signal).name}"
        if left:
            said += (f": group {left[0]}" if len(left) == 1 else
                     f": groups {left[0]} to {left[-1]}") + f" of {len(runs)} not started"
        say(said)
        return WindowEnd(128 + launched.signal, results, launched.signal)
    return WindowEnd(failed[0].status if failed else 0, results)


def described(launcher):
    """The launcher's Description; one that cannot be run is of no family."""
    try:
        return launchers.describe(launcher)
    except launchers.UnknownLauncher:
        return launchers.Description(None, None, None)


# ---- A window of groups ----------------------------------------------------------

def group_run(group, launcher, kind, binary, arguments, directory, slots):
    """The GroupRun of `group`: the launcher with the job's `arguments`, a
    hostfile of the group's nodes (the master's one process more) and the
    group's process count; what the launcher needs as this user for that
    count on `slots` slots."""
    table = launchers.KINDS[kind]
    hostfile = os.path.join(directory, f"hosts.group{group.number}")
    with open(hostfile, "w", errors="surrogateescape") as f:
        f.writelines(table.hostfile_line(host, count) + "\n" for host, count in group.slots())
    job_arguments = [*arguments, table.hostfile_option, hostfile, "-n", str(group.processes)]
    environment = dict(os.environ, **launchers.settings(kind, group.processes, slots))
    return GroupRun(group.number, [launcher, *job_arguments, binary], Job(kind, job_arguments),
                    environment, group.places, group.processes, group.places[0].host)


def announce(window, split, cap):
    """Says before the run where a window of several jobs goes, and which
    nodes get fewer workers than CPUs."""
    if len(split) > 1:
        say(f"window {shown(window.id)}: {len(split)} jobs side by side, each a master and at "
            f"most {cap - 1} workers")
    for group in split:
        if len(split) > 1:
            say(f"group {group.number} of {len(split)}: {shown(group.shown())}")
        for place in group.cut():
            say(f"{shown(place.host)}: {place.workers or 'none'} of its {place.cpus} CPUs "
                f"measured: its job's master collects at most {cap} processes")


def slurm_window(binary, collector, verdict, nodes_per_job):
    """The window of the Slurm allocation this runs in: one job where it fits
    the master's cap, else its groups side by side."""
    try:
        allocation = slurm.allocation()
    except slurm.SlurmError as error:
        say(f"cannot read the allocation: {error}")
        return 1
    if allocation is None:
        say("not inside a Slurm job (no SLURM_JOB_CPUS_PER_NODE of the form 8(x2),4)")
        return 1
    launcher = binary_launcher(binary)
    description = described(launcher)
    cap = build_record.cap(build_record.of(binary))
    hosts = [groups.Host(node.name, node.cpus) for node in allocation]
    split = groups.split(hosts, cap, nodes_per_job)
    window = Window(slurm.window_id() or made_window_id(), tuple(host.name for host in hosts),
                    len(split))
    with tempfile.TemporaryDirectory(prefix="processors64-run.") as directory:
        if len(split) == 1 and not split[0].cut():
            # One job, as Slurm places it: Open MPI takes Slurm's CPUs as its
            # slots, the master is one process more than that, on the first
            # node (Hydra puts it there too).
            group = groups.one_job(hosts)
            np = group.processes
            environment = dict(os.environ)
            if description.kind:
                environment.update(launchers.settings(description.kind, np, group.cpus))
            runs = [GroupRun(1, [launcher, "-np", str(np), binary],
                             Job(description.kind, ["-np", str(np)]), environment,
                             group.places, np, hosts[0].name)]
        elif description.kind is None:
            say(f"{shown(launcher)} is neither Open MPI's launcher nor MPICH's: cannot start "
                "the allocation's groups")
            return 1
        else:
            runs = [group_run(group, launcher, description.kind, binary, [], directory, group.cpus)
                    for group in split]
        announce(window, split, cap)
        ended = run_window(window, runs, description, binary, collector, subprocess.DEVNULL)
    if verdict and ended.signal is None:
        return after_window(ended.status, ended.results, window.id)
    return ended.status


def split_window(argv, collector, nodes_per_job):
    """The hosts of the job's hostfile or host list as groups of
    `nodes_per_job` side by side; exit status 2 where they cannot be split."""
    launcher, binary = argv[0], argv[-1]
    description = described(launcher)
    job = Job(description.kind, argv[1:-1])
    slotted = job.slotted()
    problem = None
    if description.kind is None:
        problem = f"{shown(launcher)} is neither Open MPI's launcher nor MPICH's: no hosts to split"
    elif slotted is None:
        problem = f"cannot read the hostfile '{shown(job.hostfile)}'"
    elif not slotted:
        problem = "--nodes-per-job splits the hosts of a hostfile or host list: the job names none"
    else:
        unknown = [host for host, slots in slotted if slots is None]
        if unknown:
            line = launchers.KINDS[description.kind].hostfile_line(shown(unknown[0]), "N")
            problem = (f"the job gives {shown(unknown[0])} no slots: --nodes-per-job needs "
                       f"every host's ({line})")
    if problem:
        say(problem)
        return 2
    cap = build_record.cap(build_record.of(binary))
    hosts = groups.from_slots(slotted)
    split = groups.split(hosts, cap, nodes_per_job)
    window = Window(slurm.window_id() or made_window_id(), tuple(host.name for host in hosts),
                    len(split))
    with tempfile.TemporaryDirectory(prefix="processors64-run.") as directory:
        runs = [group_run(group, launcher, description.kind, binary, job.group_arguments,
                          directory, group.processes) for group in split]
        announce(window, split, cap)
        return run_window(window, runs, description, binary, collector,
                          subprocess.DEVNULL).status


def given_window(argv, collector):
    """The job exactly as given: a window of one. Where its count passes the
    master's cap, says before the run which ranks will not be collected."""
    launcher, binary = argv[0], argv[-1]
    description = described(launcher)
    job = Job(description.kind, argv[1:-1])
    hosts = job.expected_hosts()
    processes = job.count()
    cap = build_record.cap(build_record.of(binary))
    placement = given_placement(job, processes, cap, hosts[0])
    if processes is not None and processes > cap:
        ranks = f"rank {cap}" if processes == cap + 1 else f"ranks {cap} to {processes - 1}"
        where = ", ".join(f"{place.workers - place.collected} on {shown(place.host)}"
                          for place in placement or () if place.collected < place.workers)
        say(f"the master collects at most {cap} processes: {ranks} will not be measured"
            + (f": {where}" if where else ""))
    window = Window(slurm.window_id() or made_window_id(), tuple(hosts), 1)
    run = GroupRun(1, list(argv), job, None, placement, processes, hosts[0])
    return run_window(window, [run], description, binary, collector, None).status


def given_placement(job, processes, cap, host):
    """Where the workers of a job as given go, or None where that is not
    known: by the hosts' slots, or all on this host where the job names no
    hosts outside Slurm."""
    slotted = job.slotted()
    if slotted:
        return groups.as_given(slotted, processes, cap)
    if slotted is None or processes is None or slurm.job_nodes():
        return None
    return (groups.Place(host, None, processes - 1, min(processes, cap) - 1),)


def binary_launcher(binary):
    """The launcher the binary was built for: the one its build record names
    (where it is executable), else the one of its CMake build, else mpirun."""
    build = build_record.of(binary) or {}
    launcher = build.get("launcher")
    if isinstance(launcher, str) and os.access(launcher, os.X_OK):
        return launcher
    return launchers.build_launcher(os.path.dirname(binary)) or "mpirun"


# ---- The command line -------------------------------------------------------------

@dataclass
class Options:
    slurm: bool = False
    verdict: bool = False
    nodes_per_job: Optional[int] = None


def parse(argv):
    """(Options, the words after them) or (None, what is wrong)."""
    options, words = Options(), list(argv)
    while words and words[0].startswith("-"):
        word = words.pop(0)
        if word == "--slurm":
            options.slurm = True
        elif word == "--verdict":
            options.verdict = True
        elif word == "--nodes-per-job" or word.startswith("--nodes-per-job="):
            value = word.partition("=")[2] if "=" in word else (words.pop(0) if words else "")
            if not re.fullmatch(r"[0-9]+", value) or int(value) == 0:
                return None, ("--nodes-per-job takes a number of nodes, 1 or more, "
                              f"not '{shown(value)}'")
            options.nodes_per_job = int(value)
        else:
            return None, f"unknown option '{shown(word)}'\n{USAGE}"
    if options.slurm and len(words) != 1:
        return None, USAGE
    if not options.slurm and (options.verdict or len(words) < 2):
        return None, USAGE
    return options, words


def main(argv=None, collector=None):
    """processors64-run's command line; `collector`: the installed command's
    node_inventory.sh (else the repository's)."""
    argv = sys.argv[1:] if argv is None else argv
    collector = os.environ.get("PROCESSORS64_NODE_INVENTORY") or collector or REPOSITORY_COLLECTOR
    options, words = parse(argv)
    if options is None:
        say(words)
        return 2
    try:
        if options.slurm:
            return slurm_window(os.path.abspath(words[0]), collector, options.verdict,
                                options.nodes_per_job)
        if options.nodes_per_job is not None:
            return split_window(words, collector, options.nodes_per_job)
        return given_window(words, collector)
    except KeyboardInterrupt:
        # INT outside the window's jobs (the verdict after them), where
        # Python's own handler is this process's.
        say("stopped by SIGINT")
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
