"""The recorded run: the benchmark under its launcher, and the run record
beside its results file (what the job ran on, with which MPI and build, when,
and how it ended).

    processors64-run LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY
    processors64-run --slurm [--verdict] BINARY   (inside a Slurm allocation)

1. Starts the node inventory once on every node of the job, with the job's
   own launcher and host arguments, one process per node, standard input
   closed, for at most PROCESSORS64_INVENTORY_TIMEOUT seconds (default 60): a
   node that has not answered by then gets an error in its node record.
2. Runs `LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY` exactly as given, with this
   process's standard input, output and error, and nothing else running
   meanwhile. INT, TERM and HUP are passed on to the launcher.
3. Writes the run record (JSON) beside the results file the master wrote,
   "X.txt" -> "X.run.json"; a job that made none gets
   processors64-run-YYYYMMDDTHHMMSSZ-HOST.run.json in its working directory.
Exits with the launcher's exit status (128 + N for a launcher ended by
signal N); a record that cannot be written is one line on standard error.

With --slurm, the job is the one the batch script starts: one worker per
CPU Slurm allocated and the master on top of them, under the launcher the
binary was built for (its build record's, else its CMake build's, else
mpirun), standard input closed. With --verdict, after a run that ended
well, the results files of the working directory are judged as
`processors64-results verdict` judges them; the verdict goes to standard
output and, with the drain list, beside the results file (X.verdict.txt,
X.drain.sh), and the exit status is the verdict's.

Environment:
  PROCESSORS64_NODE_INVENTORY     the collector to start on every node
                                  (default: node_inventory.sh of the install
                                  or of the repository)
  PROCESSORS64_INVENTORY_TIMEOUT  seconds to wait for the nodes (default 60)
"""

import calendar
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from . import build_record, launchers, results_name, run_record, slurm

PROGRAM = "processors64-run"
# The collector in the repository: scripts/node_inventory.sh, two levels up.
REPOSITORY_COLLECTOR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "node_inventory.sh")
PASSED_ON = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Each node's lines go out prefixed with its rank, so they can be put in node
# order (rank 0 runs on the first node, the master's). The node's own shell
# reads its rank from the launcher's rank variable ($1) and runs the collector
# ($2): the nodes need no Python.
NODE_COMMAND = ('eval "rank=\\${$1:-}"\n'
                '"$2" </dev/null | while IFS= read -r line || [ -n "$line" ]; do\n'
                '    printf "%s %s\\n" "$rank" "$line"\n'
                'done')


def say(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)


def shown(text):
    """`text` on one line of a terminal: each line feed as \\n."""
    return text.replace("\n", "\\n")


class Interrupted:
    """The launcher running now, and the first of INT, TERM, HUP that came."""
    child = None
    signal = None


def pass_on(number, frame):
    """Passes signal `number` on to the launcher running now, and notes it."""
    if Interrupted.child is not None and Interrupted.child.poll() is None:
        try:
            Interrupted.child.send_signal(number)
        except OSError:
            pass
    Interrupted.signal = Interrupted.signal or number


def default_quit():
    """A shell starts a background job with INT and QUIT ignored, and the
    launcher would keep ignoring QUIT: it gets its default back, as it would
    started by hand (INT, TERM and HUP are caught here, so they come back to
    their defaults at exec)."""
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)


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
        options = launchers.KINDS[kind].options if kind in launchers.KINDS else {}
        words = list(arguments)
        while words:
            role, values = options.get(words[0], (None, 0))
            if len(words) <= values:  # an option without its values: kept as it is
                self.collector_arguments += words
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
            del words[:values + 1]

    def expected_hosts(self):
        """The job's nodes, first node first: Slurm's, else those of the host
        arguments, else this host."""
        hosts = []
        if os.environ.get("SLURM_JOB_NODELIST"):
            try:
                hosts = subprocess.run(
                    ["scontrol", "show", "hostnames", os.environ["SLURM_JOB_NODELIST"]],
                    stdin=subprocess.DEVNULL, capture_output=True, text=True,
                    errors="surrogateescape", timeout=60).stdout.split()
            except (OSError, subprocess.SubprocessError):
                hosts = []
        if not hosts and self.host_list:
            hosts = unique_hosts(self.host_list.split(","))
        if not hosts and self.hostfile:
            try:
                with open(self.hostfile, errors="surrogateescape") as f:
                    hosts = unique_hosts(f)
            except OSError:
                hosts = []
        return hosts or [os.uname().nodename]


def unique_hosts(lines):
    """The hosts of hostfile lines ("node1 slots=8", "node1:8", comments left
    out) or of a host list's entries, in their order, each once."""
    hosts = []
    for line in lines:
        words = line.split("#", 1)[0].split()
        if words:
            host = words[0].split(":", 1)[0]
            if host not in hosts:
                hosts.append(host)
    return hosts


# ---- The nodes ---------------------------------------------------------------

def inventory_timeout():
    text = os.environ.get("PROCESSORS64_INVENTORY_TIMEOUT", "60")
    if not re.fullmatch(r"[0-9]+", text) or int(text) == 0:
        say(f"PROCESSORS64_INVENTORY_TIMEOUT='{shown(text)}' is no number of seconds; "
            "waiting 60 s")
        return 60
    return int(text)


def wait_at_most(child, seconds):
    """Waits at most `seconds` for `child` (polled: the benchmark has not
    started yet, and a signal passed on ends the wait) and ends it when time
    is up. Its exit status, or None where it had to be ended."""
    deadline = time.monotonic() + seconds
    while child.poll() is None and time.monotonic() < deadline and Interrupted.signal is None:
        time.sleep(0.1)
    if child.poll() is not None:
        return child.returncode
    child.terminate()
    try:
        child.wait(5)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
    return None


def collect_nodes(launcher, job, collector, temp_dir):
    """The node records, first node first: each node's line, or for a node
    that did not answer an error record."""
    hosts = job.expected_hosts()
    if job.kind not in launchers.KINDS:
        say(f"{shown(launcher)} is neither Open MPI's launcher nor MPICH's: no node records")
        return [run_record.failed_node(host, "the launcher is neither Open MPI's nor MPICH's")
                for host in hosts]
    table = launchers.KINDS[job.kind]
    seconds = inventory_timeout()
    command = [launcher, *job.collector_arguments, *table.per_node(len(hosts)),
               "/bin/sh", "-c", NODE_COMMAND, "node_inventory", table.rank_variable, collector]
    output = os.path.join(temp_dir, "nodes")
    with open(output, "wb") as out, open(os.path.join(temp_dir, "nodes.err"), "wb") as err:
        try:
            Interrupted.child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                                 stderr=err, preexec_fn=default_quit)
            status = wait_at_most(Interrupted.child, seconds)
        except OSError as error:
            status = f"could not be started: {error.strerror}"
        finally:
            Interrupted.child = None
    if Interrupted.signal is not None:
        return []  # no record is written: the benchmark will not run
    if status is None:
        error = f"no answer within {seconds} s"
    elif isinstance(status, str):
        error = f"no answer (the launcher of the node inventory {status})"
    else:
        error = (f"no answer (the launcher of the node inventory exited with status "
                 f"{exit_status(status)})")
    found = {}
    with open(output, "rb") as f:
        for line in f.read().decode("utf-8", "surrogateescape").splitlines():
            match = re.fullmatch(r"([0-9]+) (\{.*\})", line)
            if match:
                found.setdefault(int(match.group(1)), match.group(2))
    nodes = []
    for rank in range(max(len(hosts), max(found, default=-1) + 1)):
        host = hosts[rank] if rank < len(hosts) else None
        node = node_record(found.get(rank))
        if node is None:
            node = run_record.failed_node(host, error if rank not in found else
                                       "its node record is no JSON object")
            say(f"node {shown(host) if host else f'of rank {rank}'}: {node['error']}; "
                "its node record holds the error")
        nodes.append(node)
    return nodes


def node_record(line):
    """A node's line as an object, or None."""
    if line is None:
        return None
    try:
        node = json.loads(line)
    except ValueError:
        return None
    return node if isinstance(node, dict) else None


# ---- The job -----------------------------------------------------------------

def exit_status(returncode):
    """A shell's exit status of a process: 128 + N where signal N ended it."""
    return 128 - returncode if returncode < 0 else returncode


def run_job(command):
    """Runs the benchmark with the launcher as given, with this process's
    standard streams, and waits for its end (signals passed on meanwhile).
    Its exit status."""
    try:
        Interrupted.child = subprocess.Popen(command, preexec_fn=default_quit)
    except OSError as error:
        say(f"cannot start {shown(command[0])}: {error.strerror}")
        return 127 if isinstance(error, FileNotFoundError) else 126
    try:
        return exit_status(Interrupted.child.wait())
    finally:
        Interrupted.child = None


# ---- The results file ----------------------------------------------------------

def results_file(work_dir, started_ns, started, ended, hosts):
    """(the results file's path or None, a note or None): the one results file
    the master of this job wrote in the working directory.

    A candidate is a file of the program's results file name in the job's
    working directory that
    - was last modified after this job's launcher started (nanoseconds: a
      file of an earlier job finished before; the master writes its file
      well after the launcher's start);
    - names one of this job's nodes as its master's, where the node
      inventory heard from any (`hosts`: the host names their node records
      hold; the host in the name is the master's processor name, which is
      its host name);
    - names a time within this job's run (to the second), where the name's
      time zone is this machine's or UTC, so the time can be read.
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
        found = results_name.PATTERN.match(name)
        path = os.path.join(work_dir, name)
        try:
            status = os.stat(path)
        except OSError:
            continue
        if not found or not os.path.isfile(path) or status.st_mtime_ns < started_ns:
            continue
        if hosts and found.group("host") not in hosts:
            others.append(f"'{shown(name)}' (its master {shown(found.group('host'))} is none of "
                          "this job's nodes)")
        elif not named_time_within(found.group("zone"), found.group("when"), started, ended):
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


def named_time_within(zone, when, started, ended):
    """Whether the time in a results file's name (its zone's abbreviation and
    an asctime text) lies within [started, ended] (seconds since the epoch);
    True where the zone is neither UTC nor this machine's."""
    try:
        named = time.strptime(" ".join(when.split()), "%a %b %d %H:%M:%S %Y")
    except ValueError:
        return True
    if zone in ("UTC", "GMT"):
        seconds = calendar.timegm(named)
    elif zone in time.tzname:
        seconds = time.mktime(named[:8] + (-1,))
    else:
        return True
    return int(started) - 1 <= seconds <= int(ended) + 1


# ---- The record ----------------------------------------------------------------

def mpi_of(launcher, kind):
    """{"implementation", "version", "launcher"} of the launcher, from its --version."""
    try:
        text = subprocess.run([launcher, "--version"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace",
                              timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        text = ""
    number = (re.search(r"Version:\s*([0-9]+(?:\.[0-9]+)*)", text) or
              re.search(r"([0-9]+\.[0-9]+(?:\.[0-9]+)*)", text))
    path = shutil.which(launcher)
    return {"implementation": {"openmpi": "Open MPI", "mpich": "MPICH"}.get(kind),
            "version": number.group(1) if number else None,
            "launcher": os.path.abspath(path) if path else None}


def utc(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def record_path(results, work_dir, started):
    """Beside the results file, X.txt -> X.run.json; else in the working
    directory under the job's start time and this host's name."""
    if results:
        return run_record.record_path(results)
    stamp = started.replace("-", "").replace(":", "")
    host = os.uname().nodename.replace("/", "_")
    return os.path.join(work_dir, f"processors64-run-{stamp}-{host}.run.json")


def recorded_run(argv, collector, then=None):
    """The recorded run of `argv` (LAUNCHER [ARGUMENTS...] BINARY); its exit
    status, or where `then` is given, then(exit status, results file or
    None) once the record is written."""
    launcher, binary = argv[0], argv[-1]
    try:
        kind = launchers.kind_of(launcher)
    except launchers.UnknownLauncher:
        kind = None
    job = Job(kind, argv[1:-1])
    for number in PASSED_ON:
        signal.signal(number, pass_on)
    with tempfile.TemporaryDirectory(prefix="processors64-run.") as temp_dir:
        nodes = collect_nodes(launcher, job, collector, temp_dir)
    if Interrupted.signal is not None:
        say(f"stopped by {signal.Signals(Interrupted.signal).name} before the benchmark started")
        return 128 + Interrupted.signal
    started_ns = time.time_ns()
    status = run_job(argv)
    ended_ns = time.time_ns()
    started, ended = utc(started_ns // 10**9), utc(ended_ns // 10**9)
    hosts = {node.get("host") for node in nodes if "error" not in node}
    results, note = results_file(job.work_dir, started_ns, started_ns / 1e9, ended_ns / 1e9,
                                 hosts)
    record = {
        "results_file": os.path.basename(results) if results else None,
        "results_file_note": note,
        "started": started,
        "ended": ended,
        "exit_status": status,
        "command": list(argv),
        "processes": int(job.processes) if re.fullmatch(r"[0-9]+", job.processes or "") else None,
        "mpi": mpi_of(launcher, kind),
        "build": build_record.of(binary),
        "slurm": slurm.job_variables(),
        "nodes": nodes,
    }
    path = record_path(results, job.work_dir, started)
    try:
        run_record.write(path, record)
    except OSError:
        say(f"cannot write the run record '{shown(path)}'")
    return then(status, results) if then else status


# ---- Inside a Slurm allocation ---------------------------------------------------

def binary_launcher(binary):
    """The launcher the binary was built for: the one its build record names
    (where it is executable), else the one of its CMake build, else mpirun."""
    build = build_record.of(binary) or {}
    launcher = build.get("launcher")
    if isinstance(launcher, str) and os.access(launcher, os.X_OK):
        return launcher
    return launchers.build_launcher(os.path.dirname(binary)) or "mpirun"


def slurm_job(binary, collector, verdict=False):
    """One worker per allocated CPU and the master on top of them: the master
    only waits while the workers run, so it needs no CPU of its own. Open MPI
    takes Slurm's CPUs as its slots; the master is one process more than
    that, and goes on the first node with rank order by node."""
    text = os.environ.get("SLURM_JOB_CPUS_PER_NODE", "")
    counts = slurm.cpus_per_node(text) if text else None
    cpus = sum(counts) if counts else None
    if cpus is None:
        say("not inside a Slurm job (no SLURM_JOB_CPUS_PER_NODE of the form 8(x2),4)")
        return 1
    launcher = binary_launcher(binary)
    np = cpus + 1
    try:
        os.environ.update(launchers.settings(launchers.kind_of(launcher), np, cpus))
    except launchers.UnknownLauncher:
        pass  # the recorded run says so, and the launcher runs as it is
    # Standard input closed: the program ends at its closing prompt at once.
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    os.close(devnull)
    then = None
    if verdict:
        from .verdict import after_window
        def then(status, results):
            return after_window(status, [results] if results else [], slurm.window_id())
    return recorded_run([launcher, "-np", str(np), binary], collector, then)


def main(argv=None, collector=None):
    """processors64-run's command line; `collector`: the installed command's
    node_inventory.sh (else the repository's)."""
    argv = sys.argv[1:] if argv is None else argv
    collector = os.environ.get("PROCESSORS64_NODE_INVENTORY") or collector or REPOSITORY_COLLECTOR
    if argv[:1] == ["--slurm"] and len(argv) == 2 + (argv[1:2] == ["--verdict"]):
        return slurm_job(os.path.abspath(argv[-1]), collector, verdict=len(argv) == 3)
    if len(argv) < 2 or argv[0].startswith("-"):
        say("usage: processors64-run LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY\n"
            "       processors64-run --slurm [--verdict] BINARY")
        return 2
    return recorded_run(argv, collector)


if __name__ == "__main__":
    sys.exit(main())
