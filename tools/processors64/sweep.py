"""processors64-sweep: measures a set of Slurm nodes as one window, node by
node: one batch job per K nodes, each running the batch script with the
window's name, so that the results tools judge them together however far
apart they ran.

    processors64-sweep [--nodes HOSTLIST] [--partition P] [--reservation R]
        [--nodes-per-job K] [--max-jobs N] [--include-drained] [--window NAME]
        [-D DIR] [--wait | --verdict] [-- SBATCH-OPTION...]
    processors64-sweep --cancel NAME

1. The nodes: those of --nodes (Slurm's hostlist syntax), of --partition,
   or those of the list in the partition. A node drained or down now is
   left out (unless --include-drained, for a maintenance reservation) and
   named in the manifest with the state and reason Slurm gives; its reason
   is never touched.
2. The window manifest, DIR/NAME.window.json (manifest.py), written before
   the first job is submitted and rewritten whole as each job gets its id.
3. One job per K nodes: sbatch --parsable --job-name=processors64-NAME
   --nodelist=NODES -N K --exclusive [-p P] [--reservation R] -D DIR
   [SBATCH-OPTION...] BATCH_SCRIPT --window NAME, with this command's
   environment (sbatch's default), so PROCESSORS64_BINARY reaches the jobs.
   With --max-jobs N, at most N of them are queued or running at once: the
   sweep stays in the foreground and submits the next as one ends. A
   submission sbatch refuses for a limit (MaxJobCount, a QOS's
   MaxSubmitJobs) is tried again once one of the sweep's jobs has ended;
   with none left in flight, the refusal ends the sweep.
4. --wait follows the jobs (one squeue a look, every
   PROCESSORS64_SWEEP_POLL seconds) until every one has ended and exits
   like the batch script: 0, else the first failed job's status (its run
   record's exit_status, else Slurm's exit code). --verdict then judges the
   window and writes DIR/NAME.verdict.txt, .drain.sh and .html, and exits
   with the verdict's status.

INT, TERM or HUP stop the sweep where it is: jobs submitted stay queued
(--cancel NAME cancels them), the rest are never submitted (their id stays
null in the manifest); the exit status is 128 + the signal's number.
"""

import argparse
import os
import re
import signal
import sys
import time
from dataclasses import dataclass, field

from . import exits, manifest, run_record, slurm, window_verdict

PROGRAM = "processors64-sweep"
# The batch script in the repository: scripts/processors64.sbatch, two levels up.
REPOSITORY_BATCH_SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "processors64.sbatch")
POLL = 10.0  # seconds between two looks at the queue (PROCESSORS64_SWEEP_POLL)
# squeue failing this many looks in a row ends the wait: Slurm is gone.
UNANSWERED = 30
# What sbatch says when a limit refuses a job (MaxSubmitJobs: "Job violates
# accounting/QOS policy (job submit limit, ...)"; MaxJobCount: "Resource
# temporarily unavailable"): the same job may be taken once others end.
LIMIT_REFUSAL = re.compile(r"limit|temporarily|try again|too many", re.IGNORECASE)
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
RUNNING = ("RUNNING", "COMPLETING", "CONFIGURING", "STAGE_OUT", "SIGNALING", "RESIZING")


def say(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr, flush=True)


def tell(message):
    print(message, flush=True)


# ---- The command line --------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    def error(self, message):
        say(f"{message} (see '{PROGRAM} --help')")
        sys.exit(exits.USAGE)


def count(text):
    if not re.fullmatch(r"[0-9]+", text) or int(text) == 0:
        raise argparse.ArgumentTypeError(f"not a number from 1: {text!r}")
    return int(text)


def parser():
    top = Parser(prog=PROGRAM, formatter_class=argparse.RawDescriptionHelpFormatter,
                 usage=f"{PROGRAM} [--nodes HOSTLIST] [--partition P] [options] "
                       "[-- SBATCH-OPTION...]\n       " f"{PROGRAM} --cancel NAME",
                 description="Measures Slurm nodes as one window, one batch job per K "
                 "nodes; see processors64-sweep(1).",
                 epilog="Exit status: 0 every job submitted (with --wait: every job ended 0);\n"
                 "with --wait the first failed job's status; with --verdict the verdict's\n"
                 "(0 healthy, 1 nodes flagged, 3 inconclusive); 1 Slurm refused or could\n"
                 "not be asked; 2 a usage error; 128+N stopped by signal N.")
    top.add_argument("--nodes", metavar="HOSTLIST", help="the nodes, in Slurm's hostlist "
                     "syntax (node[001-128],gpu7)")
    top.add_argument("--partition", "-p", metavar="P", help="the partition's nodes (with "
                     "--nodes: those of the list in it); sbatch -p P")
    top.add_argument("--reservation", metavar="R", help="sbatch --reservation R")
    top.add_argument("--nodes-per-job", type=count, default=1, metavar="K",
                     help="nodes in each job (default 1)")
    top.add_argument("--max-jobs", type=count, metavar="N",
                     help="at most N jobs queued or running at once (default: no limit)")
    top.add_argument("--include-drained", action="store_true",
                     help="measure nodes drained or down too (a maintenance reservation)")
    top.add_argument("--window", metavar="NAME", help="the window's name (default "
                     "sweep-YYYYMMDDTHHMMSSZ)")
    top.add_argument("-D", "--chdir", dest="directory", default=".", metavar="DIR",
                     help="results directory (default: the current one)")
    top.add_argument("--wait", action="store_true", help="wait for every job to end")
    top.add_argument("--verdict", action="store_true", help="wait, then judge the window "
                     "and write its verdict, drain list and page")
    top.add_argument("--cancel", metavar="NAME", help="cancel every job of the window NAME")
    return top


def parse(argv):
    """(options, the words after `--` for sbatch); exits 2 on a usage error."""
    argv = list(argv)
    extra = []
    if "--" in argv:
        extra = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    top = parser()
    options = top.parse_args(argv)
    if options.cancel is not None:
        given = [word for word in argv if word.startswith("-") and word != "--cancel"
                 and not word.startswith("--cancel=")]
        if given or extra:
            top.error("--cancel NAME takes no other option")
        if not manifest.valid_name(options.cancel):
            top.error(f"--cancel: {options.cancel!r} is not a window name (letters, digits "
                      "and _.+-, at most 64)")
    elif options.nodes is None and options.partition is None:
        top.error("name the nodes to measure: --nodes HOSTLIST and/or --partition P")
    if options.window is not None and not manifest.valid_name(options.window):
        top.error(f"--window: {options.window!r} is not a window name (letters, digits and "
                  "_.+-, at most 64)")
    return options, extra


# ---- Which nodes ---------------------------------------------------------------------

@dataclass
class Selection:
    """The nodes the window means to measure, in order (those left out
    included), and those left out: [(host, state, reason or None)]."""
    nodes: list
    left_out: list

    @property
    def measured(self):
        out = {host for host, _, _ in self.left_out}
        return [node for node in self.nodes if node not in out]


@dataclass
class Problem:
    """Why no nodes were selected: one line, and the exit status (2 the
    user's mistake, 1 Slurm that could not be asked)."""
    message: str
    status: int = exits.USAGE


def listed(hostlist):
    """The names of a hostlist; (names, None) or (None, Problem)."""
    if not hostlist.strip() or any(c.isspace() for c in hostlist):
        return None, Problem(f"--nodes: {hostlist!r} is not a Slurm hostlist")
    try:
        names = slurm.hostnames(hostlist)
    except slurm.SlurmError as error:
        return None, Problem(f"--nodes: cannot read {hostlist!r}: {error}", 1)
    # scontrol prints nothing for "node[3-1]" and "node]" for "node[1-".
    bad = [name for name in names if not slurm.NODE_NAME.match(name)]
    if not names or bad:
        return None, Problem(f"--nodes: {hostlist!r} is not a Slurm hostlist")
    return list(dict.fromkeys(names)), None


def select(hostlist, partition, include_drained):
    """(Selection, None) or (None, Problem)."""
    names = None
    if hostlist is not None:
        names, problem = listed(hostlist)
        if problem:
            return None, problem
    if partition is not None:
        try:
            in_partition = slurm.partition_nodes(partition)
        except slurm.SlurmError as error:
            # scontrol: "Partition P not found" is the user's; else Slurm's.
            return None, Problem(f"--partition {partition}: {error}",
                                 exits.USAGE if "not found" in str(error) else 1)
        inside = set(in_partition)
        names = in_partition if names is None else [name for name in names if name in inside]
        if not names:
            return None, Problem(f"no nodes left to measure: none of --nodes in partition "
                                 f"{partition}")
    try:
        states = slurm.node_states()
    except slurm.SlurmError as error:
        return None, Problem(f"cannot read the nodes' states: {error}", 1)
    unknown = [name for name in names if name not in states]
    if unknown:
        return None, Problem(f"Slurm has no node {', '.join(unknown[:5])}"
                             f"{' ...' if len(unknown) > 5 else ''}")
    left_out = []
    if not include_drained:
        for name in names:
            state, reason = states[name]
            if slurm.is_drained(state) or slurm.is_down(state):
                left_out.append((name, state, reason or None))
    selection = Selection(names, left_out)
    if not selection.measured:
        return None, Problem("no nodes left to measure: every one is drained or down "
                             "(--include-drained measures them)")
    return selection, None


# ---- The sweep and its manifest -------------------------------------------------------

@dataclass
class Sweep:
    """The window being swept: its name, manifest path and what the
    manifest holds; jobs [[id or None, [node...]]] in submission order."""
    name: str
    directory: str
    selection: Selection
    jobs: list
    partition: object = None
    reservation: object = None
    nodes_per_job: int = 1
    cluster: object = None
    created: str = field(default_factory=run_record.utc)

    @property
    def path(self):
        return manifest.path_of(self.directory, self.name)

    def write(self):
        """Writes the manifest whole; raises OSError."""
        manifest.write(self.path, manifest.document(
            self.name, self.selection.nodes, self.jobs, self.selection.left_out,
            created=self.created, cluster=self.cluster, partition=self.partition,
            reservation=self.reservation, nodes_per_job=self.nodes_per_job))


def chunks(nodes, size):
    return [list(nodes[start:start + size]) for start in range(0, len(nodes), size)]


def job_options(sweep, nodes, extra):
    """sbatch's options for a job of `nodes`."""
    options = [f"--job-name={manifest.job_name(sweep.name)}", f"--nodelist={','.join(nodes)}",
               "-N", str(len(nodes)), "--exclusive"]
    if sweep.partition:
        options += ["-p", sweep.partition]
    if sweep.reservation:
        options += [f"--reservation={sweep.reservation}"]
    return options + ["-D", sweep.directory] + list(extra)


# ---- Following the jobs -----------------------------------------------------------

class Stop:
    """The first INT, TERM or HUP that came while the sweep ran: it stops
    submitting and waiting. Restores the handlers it found on leaving."""

    def __init__(self):
        self.signal = None
        self.before = {}

    def __enter__(self):
        for number in STOPPING:
            self.before[number] = signal.signal(number, self.caught)
        return self

    def __exit__(self, *exception):
        for number, handler in self.before.items():
            signal.signal(number, handler)

    def caught(self, number, frame):
        self.signal = self.signal or number

    def sleep(self, seconds):
        """Sleeps `seconds`, or less where a signal comes; False then."""
        end = time.monotonic() + seconds
        while self.signal is None and time.monotonic() < end:
            time.sleep(min(0.2, max(0.0, end - time.monotonic())))
        return self.signal is None


class Watch:
    """The sweep's jobs as squeue last showed them: those in flight (queued
    or running, or submitted since) and each one's last state."""

    def __init__(self, stop, poll):
        self.stop = stop
        self.poll = poll
        self.in_flight = []
        self.states = {}
        self.unanswered = 0

    def add(self, job):
        self.in_flight.append(job)
        self.states[job] = "PENDING"

    def look(self):
        """Asks squeue once; None, or what is wrong where it has not
        answered for UNANSWERED looks in a row."""
        try:
            queued = slurm.queue()
        except slurm.SlurmError as error:
            self.unanswered += 1
            if self.unanswered == 1:
                say(f"cannot ask squeue ({error}): asking again")
            return str(error) if self.unanswered >= UNANSWERED else None
        self.unanswered = 0
        for job in self.in_flight:
            # A job squeue no longer lists ended long enough ago for Slurm
            # to forget it (MinJobAge).
            self.states[job] = queued.get(job, "ENDED")
        self.in_flight = [job for job in self.in_flight if self.states[job] in slurm.ACTIVE]
        return None

    def wait_until(self, done, progress=None):
        """Looks at the queue until done(); None, or what stopped it (a
        signal: the signal's number; squeue gone: its error)."""
        while True:
            problem = self.look()
            if problem:
                return problem
            if progress:
                progress()
            if done():
                return None
            if not self.stop.sleep(self.poll):
                return self.stop.signal

    def counts(self):
        running = sum(1 for job in self.in_flight if self.states[job] in RUNNING)
        return len(self.states) - len(self.in_flight), running, len(self.in_flight) - running


class Progress:
    """A line on standard error, redrawn in place, only on a terminal."""

    def __init__(self, sweep, watch):
        self.sweep = sweep
        self.watch = watch
        self.on = sys.stderr.isatty()
        self.shown = False
        self.records = Records(sweep.directory, sweep.name)

    def __call__(self):
        if not self.on:
            return
        done, running, pending = self.watch.counts()
        total = len(self.sweep.jobs)
        unsubmitted = sum(1 for job, _ in self.sweep.jobs if job is None)
        measured = len(self.records.read().measured)
        line = (f"window {self.sweep.name}: {done} of {total} jobs done, {running} running, "
                f"{pending} pending" + (f", {unsubmitted} to submit" if unsubmitted else "")
                + f"; {measured} of {len(self.sweep.selection.measured)} nodes measured")
        sys.stderr.write(f"\r{line}\033[K")
        sys.stderr.flush()
        self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = False


class Records:
    """The run records of the window in the results directory, each read
    once: the nodes they measured and each job's exit statuses."""

    def __init__(self, directory, name):
        self.directory = directory
        self.name = name
        self.seen = set()
        self.measured = set()
        self.statuses = {}

    def read(self):
        try:
            names = [entry for entry in os.listdir(self.directory)
                     if entry.endswith(run_record.RECORD_SUFFIX) and entry not in self.seen]
        except OSError:
            return self
        for entry in names:
            self.seen.add(entry)
            try:
                record, _ = run_record.load(os.path.join(self.directory, entry))
            except run_record.RecordError:
                continue  # the results tools say what is wrong with it
            if (record.get("window") or {}).get("id") != self.name:
                continue
            job = (record.get("slurm") or {}).get("job_id")
            if job:
                self.statuses.setdefault(job, []).append(record["exit_status"])
            if record["results_file"] is not None:
                self.measured.update(node["host"] for node in record["nodes"])
        return self


# ---- The sweep -------------------------------------------------------------------------

def submit_all(sweep, watch, extra, max_jobs, script, progress):
    """Submits every job of the sweep, at most `max_jobs` in flight; None,
    or the exit status where it stopped (a refusal, a signal)."""
    for index, (_, nodes) in enumerate(sweep.jobs):
        if max_jobs and len(watch.in_flight) >= max_jobs:
            stopped = watch.wait_until(lambda: len(watch.in_flight) < max_jobs, progress)
            if stopped:
                return stopped_status(stopped)
        while True:
            if watch.stop.signal:
                return stopped_status(watch.stop.signal)
            try:
                job = slurm.submit(job_options(sweep, nodes, extra), script,
                                   ["--window", sweep.name])
                break
            except slurm.SlurmError as error:
                refused = str(error)
            if watch.stop.signal:
                return stopped_status(watch.stop.signal)
            if not (LIMIT_REFUSAL.search(refused) and watch.in_flight):
                progress.clear()
                say(f"{refused}: {len(sweep.jobs) - index} of {len(sweep.jobs)} jobs not "
                    f"submitted")
                return 1
            # A limit of the cluster's: once one of ours has ended, try again.
            waiting = len(watch.in_flight)
            progress.clear()
            say(f"sbatch refused job {index + 1} of {len(sweep.jobs)} ({refused.split(': ')[-1]}):"
                f" trying again once one of the {waiting} in flight has ended")
            stopped = watch.wait_until(lambda: len(watch.in_flight) < waiting, progress)
            if stopped:
                return stopped_status(stopped)
        sweep.jobs[index] = [job, nodes]
        watch.add(job)
        try:
            sweep.write()
        except OSError as error:
            say(f"{sweep.path}: cannot write the manifest: {error.strerror or error}")
            return 1
        progress.clear()
        tell(f"job {job}: {','.join(nodes)}")
    return None


def stopped_status(stopped):
    if isinstance(stopped, int):
        say(f"stopped by signal {stopped}: jobs submitted stay queued "
            f"(processors64-sweep --cancel NAME cancels them)")
        return 128 + stopped
    say(f"cannot follow the jobs: {stopped}")
    return 1


def exit_code(text, state):
    """The exit status of a job that ended from Slurm's ExitCode ("1:0",
    "0:15": 128 + the signal); 1 for a job that did not complete though
    its code says 0."""
    status, _, number = (text or "").partition(":")
    if status.isdigit() and int(status):
        return int(status)
    if number.isdigit() and int(number):
        return 128 + int(number)
    return 0 if state == "COMPLETED" else 1


def window_status(sweep, watch, records):
    """0 where every job ended 0, else the first failed job's status: from
    its run records, else from Slurm."""
    records.read()
    ask = [job for job, _ in sweep.jobs if job and job not in records.statuses
           and watch.states.get(job) != "COMPLETED"]
    slurm_states = (slurm.job_states(ask) or {}) if ask else {}
    for job, nodes in sweep.jobs:
        if job in records.statuses:
            status = next((status for status in records.statuses[job] if status), 0)
        elif watch.states.get(job) == "COMPLETED":
            status = 0
        elif job in slurm_states:
            status = exit_code(slurm_states[job].exit_code, slurm_states[job].state)
        else:
            say(f"job {job} ({','.join(nodes)}) ended without a run record, and Slurm no "
                "longer says how")
            status = 1
        if status:
            return status
    return 0


def judge_window(sweep, status):
    """The window's verdict, drain list and page beside its manifest
    (DIR/NAME.verdict.txt, .drain.sh, .html), as the batch job's --verdict
    writes them; the exit status is the verdict's, or the window's own
    where a job failed."""
    return window_verdict.after_window(sweep.directory,
                                       os.path.join(sweep.directory, sweep.name), sweep.name,
                                       status)


def cancel(name):
    job_name = manifest.job_name(name)
    try:
        slurm.cancel_named(job_name)
    except slurm.SlurmError as error:
        say(str(error))
        return 1
    tell(f"cancelled the jobs named {job_name}")
    return 0


def header(sweep, jobs):
    selection = sweep.selection
    size = f"{sweep.nodes_per_job} node{'s' if sweep.nodes_per_job > 1 else ''}"
    tell(f"window {sweep.name}: {len(selection.measured)} of {len(selection.nodes)} nodes in "
         f"{jobs} job{'s' if jobs > 1 else ''} of {size}; manifest {sweep.path}")
    for host, state, reason in selection.left_out:
        tell(f"left out: {host} {state}" + (f" ({reason})" if reason else ""))


def poll_seconds():
    text = os.environ.get("PROCESSORS64_SWEEP_POLL", "")
    try:
        seconds = float(text) if text else POLL
    except ValueError:
        seconds = -1
    if not 0 < seconds <= 3600:
        say(f"PROCESSORS64_SWEEP_POLL: {text!r} is not a number of seconds from 0 to 3600")
        return None
    return seconds


def main(argv=None, batch_script=None):
    """processors64-sweep's command line; `batch_script`: the installed
    command's processors64.sbatch (else the repository's)."""
    options, extra = parse(sys.argv[1:] if argv is None else argv)
    if options.cancel is not None:
        return cancel(options.cancel)
    poll = poll_seconds()
    if poll is None:
        return exits.USAGE
    script = batch_script or REPOSITORY_BATCH_SCRIPT
    if not os.path.isfile(script):
        say(f"no batch script at {script}")
        return 1
    directory = os.path.abspath(options.directory)
    if not os.path.isdir(directory):
        say(f"-D {options.directory}: no such directory")
        return exits.USAGE
    name = options.window or manifest.made_name()
    if os.path.exists(manifest.path_of(directory, name)):
        say(f"{manifest.path_of(directory, name)}: a window of that name was swept here "
            "already; give the sweep another --window NAME")
        return exits.USAGE
    selection, problem = select(options.nodes, options.partition, options.include_drained)
    if problem:
        say(problem.message)
        return problem.status
    sweep = Sweep(name, directory, selection,
                  [[None, nodes] for nodes in chunks(selection.measured, options.nodes_per_job)],
                  partition=options.partition, reservation=options.reservation,
                  nodes_per_job=options.nodes_per_job, cluster=slurm.cluster_name())
    try:
        sweep.write()
    except OSError as error:
        say(f"{sweep.path}: cannot write the manifest: {error.strerror or error}")
        return exits.USAGE
    header(sweep, len(sweep.jobs))
    with Stop() as stop:
        watch = Watch(stop, poll)
        progress = Progress(sweep, watch)
        stopped = submit_all(sweep, watch, extra, options.max_jobs, script, progress)
        if stopped is not None:
            return stopped
        if not (options.wait or options.verdict):
            return 0
        stopped = watch.wait_until(lambda: not watch.in_flight, progress)
        progress.clear()
        if stopped:
            return stopped_status(stopped)
    status = window_status(sweep, watch, progress.records)
    done = progress.records.read().measured
    tell(f"window {sweep.name}: {len(sweep.jobs)} jobs ended; {len(done)} of "
         f"{len(selection.measured)} nodes measured; exit status {status}")
    if options.verdict:
        return judge_window(sweep, status)
    return status


if __name__ == "__main__":
    sys.exit(main())
