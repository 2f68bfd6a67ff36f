"""What this package knows of Slurm: the allocation a job runs in (its
nodes and their CPUs, from Slurm's variables), the window's id, node names,
a partition's nodes, the nodes' states and reasons (sinfo), jobs' states,
and running scontrol, sbatch and scancel.

Every Slurm command runs with standard input closed and a time limit; one
that cannot run or fails raises SlurmError with one line saying why.
"""

import os
import re
import shlex
import shutil
import subprocess
from dataclasses import dataclass
from typing import Optional

TIMEOUT = 120  # seconds for a Slurm command to answer
# A Slurm node name as the drain list accepts one: nothing a shell or
# scontrol's own syntax (commas, brackets, '=') could read otherwise.
NODE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}\Z")


class SlurmError(Exception):
    """A Slurm command that could not be run or failed."""


def command(argv):
    """The standard output of a Slurm command; raises SlurmError."""
    if shutil.which(argv[0]) is None:
        raise SlurmError(f"{argv[0]}: not found")
    try:
        job = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, errors="surrogateescape", timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        raise SlurmError(f"{argv[0]}: no answer within {TIMEOUT} s") from None
    except OSError as error:
        raise SlurmError(f"{argv[0]}: {error.strerror or error}") from None
    if job.returncode != 0:
        lines = job.stderr.strip().splitlines()
        message = lines[-1].strip() if lines else f"exit status {job.returncode}"
        raise SlurmError(f"{' '.join(map(shlex.quote, argv))}: {message}")
    return job.stdout


# ---- The allocation ---------------------------------------------------------

def cpus_per_node(text):
    """The CPUs of each node, in order, from SLURM_JOB_CPUS_PER_NODE:
    "8(x2),4" is [8, 8, 4]; None where the text is not of that form."""
    counts = []
    for group in text.split(","):
        found = re.fullmatch(r"([0-9]+)(?:\(x([0-9]+)\))?", group)
        if not found:
            return None
        counts += [int(found.group(1))] * int(found.group(2) or 1)
    return counts


def hostnames(nodelist):
    """The node names of a Slurm node list ("node[1-3]"), in Slurm's order;
    raises SlurmError."""
    return command(["scontrol", "show", "hostnames", nodelist]).split()


def partition_nodes(partition):
    """The node names of the partition `partition`, in Slurm's order ([] for
    a partition without nodes); raises SlurmError, for a partition Slurm
    does not have too ("Partition X not found")."""
    text = command(["scontrol", "--oneliner", "show", "partition", partition])
    fields = dict(word.split("=", 1) for word in text.split() if "=" in word)
    nodes = fields.get("Nodes", "")
    return hostnames(nodes) if nodes and nodes != "(null)" else []


def cluster_name():
    """The cluster's name (ClusterName of Slurm's configuration), or None
    where scontrol cannot say."""
    try:
        text = command(["scontrol", "show", "config"])
    except SlurmError:
        return None
    found = re.search(r"^ClusterName\s*=\s*(\S+)", text, re.MULTILINE)
    return found.group(1) if found else None


def job_nodes(environ=None):
    """The names of the job's nodes (SLURM_JOB_NODELIST) in Slurm's order;
    [] outside Slurm or where scontrol cannot read the list."""
    environ = os.environ if environ is None else environ
    try:
        return hostnames(environ["SLURM_JOB_NODELIST"]) if environ.get("SLURM_JOB_NODELIST") else []
    except SlurmError:
        return []


@dataclass(frozen=True)
class Node:
    """A node of the allocation and the CPUs Slurm gave the job on it."""
    name: str
    cpus: int


def allocation(environ=None):
    """The nodes of the job's allocation, in Slurm's order, each with its
    CPUs; None outside an allocation (no SLURM_JOB_CPUS_PER_NODE of the
    form "8(x2),4"). Raises SlurmError where the node list cannot be read
    or does not match the CPU counts."""
    environ = os.environ if environ is None else environ
    counts = cpus_per_node(environ.get("SLURM_JOB_CPUS_PER_NODE", ""))
    if not counts:
        return None
    nodelist = environ.get("SLURM_JOB_NODELIST", "")
    names = hostnames(nodelist) if nodelist else []
    if len(names) != len(counts):
        raise SlurmError(f"the node list '{nodelist}' names {len(names)} nodes, "
                         f"SLURM_JOB_CPUS_PER_NODE {len(counts)}")
    return [Node(name, cpus) for name, cpus in zip(names, counts)]


def job_variables(environ=None):
    """The job's Slurm variables as the run record keeps them, or None
    outside Slurm."""
    environ = os.environ if environ is None else environ
    if not environ.get("SLURM_JOB_ID"):
        return None
    return {"job_id": environ.get("SLURM_JOB_ID") or None,
            "nodelist": environ.get("SLURM_JOB_NODELIST") or None,
            "partition": environ.get("SLURM_JOB_PARTITION") or None,
            "cpus_per_node": environ.get("SLURM_JOB_CPUS_PER_NODE") or None,
            "cluster": environ.get("SLURM_CLUSTER_NAME") or None}


@dataclass(frozen=True)
class JobWindow:
    """The window a Slurm job belongs to as Slurm tells it: the job's id,
    or for a task of a job array the array's id with the task's number and
    the array's task count."""
    id: str
    task: Optional[int] = None
    tasks: Optional[int] = None

    @property
    def array(self):
        return self.task is not None


def window_id(environ=None):
    """The JobWindow of the job, or None outside Slurm. A task's number is
    SLURM_ARRAY_TASK_ID, the count SLURM_ARRAY_TASK_COUNT (else
    SLURM_ARRAY_TASK_MAX); in an array numbered from 0 both are one more,
    as a window's jobs are numbered from 1."""
    environ = os.environ if environ is None else environ

    def number(name):
        text = environ.get(name, "")
        return int(text) if re.fullmatch(r"[0-9]+", text) else None
    array, task = environ.get("SLURM_ARRAY_JOB_ID"), number("SLURM_ARRAY_TASK_ID")
    if array and task is not None:
        shift = 1 if 0 in (task, number("SLURM_ARRAY_TASK_MIN")) else 0
        count = number("SLURM_ARRAY_TASK_COUNT")
        if count is None:
            count = (number("SLURM_ARRAY_TASK_MAX") or task) + shift
        return JobWindow(array, task + shift, count)
    job = environ.get("SLURM_JOB_ID")
    return JobWindow(job) if job else None


# ---- Nodes' states ----------------------------------------------------------

def node_states():
    """{node name: (state, reason)} as sinfo reports them; raises SlurmError."""
    nodes = {}
    for line in command(["sinfo", "--noheader", "--Node", "--format=%N|%T|%E"]).splitlines():
        parts = line.split("|", 2)
        if len(parts) == 3:
            nodes.setdefault(parts[0].strip(), (parts[1].strip().lower(), parts[2].strip()))
    return nodes


def _state_words(state):
    return set(state.rstrip("*~#!%$@^-").split("+"))


def is_drained(state):
    return bool(_state_words(state) & {"drained", "draining", "drain", "drng"})


def is_down(state):
    return bool(_state_words(state) & {"down", "fail", "failing"})


def node_name(host, known):
    """The Slurm node of `host`: as reported, or its first label where the
    report has a domain and Slurm does not; None where Slurm has no such
    node (known: Slurm's nodes, None where Slurm could not be asked)."""
    if known is None or host in known:
        return host
    first = host.split(".")[0]
    return first if "." in host and first in known else None


# ---- Jobs' states -------------------------------------------------------------

ACTIVE = ("PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED",
          "RESIZING", "SIGNALING", "STAGE_OUT")


@dataclass(frozen=True)
class JobState:
    """A job as Slurm reports it: its state (PENDING, RUNNING, COMPLETED,
    CANCELLED, FAILED, ...) and, once ended, its exit code ("1:0"; None
    where not known)."""
    state: str
    exit_code: object = None

    @property
    def active(self):
        return self.state in ACTIVE


def _ended_states(ids):
    """{id: JobState} of ended jobs Slurm still holds (scontrol, for
    MinJobAge after their end), else from accounting (sacct)."""
    found = {}
    for job in ids:
        try:
            text = command(["scontrol", "-o", "show", "job", job])
        except SlurmError:
            continue
        fields = dict(word.split("=", 1) for word in text.split() if "=" in word)
        if fields.get("JobState"):
            found[job] = JobState(fields["JobState"], fields.get("ExitCode"))
    rest = [job for job in ids if job not in found]
    if rest:
        try:
            text = command(["sacct", "--noheader", "--parsable2", "--allocations",
                            "--format=JobID,State,ExitCode", "--jobs", ",".join(rest)])
        except SlurmError:
            return found
        for line in text.splitlines():
            parts = line.split("|")
            if len(parts) == 3 and parts[0] in rest:
                found.setdefault(parts[0], JobState(parts[1].split()[0], parts[2] or None))
    return found


def queue():
    """{job id: state} of every job squeue lists, queued, running or lately
    ended (PENDING, RUNNING, COMPLETED, ...): one call, however many jobs
    are asked after. Raises SlurmError."""
    # squeue refuses a list with an id it has never heard of: the whole
    # queue, filtered by the caller.
    text = command(["squeue", "--noheader", "--all", "--states=all", "--format=%i|%T"])
    states = {}
    for line in text.splitlines():
        job, _, state = line.strip().partition("|")
        if job:
            states[job] = state.strip()
    return states


def job_states(ids):
    """{job id: JobState} of the jobs `ids` (strings) that Slurm knows:
    those queued or running from squeue, those ended from scontrol or
    sacct; None where squeue cannot be asked (not where Slurm runs)."""
    ids = [job for job in dict.fromkeys(ids) if job]
    if not ids:
        return {}
    try:
        queued = queue()
    except SlurmError:
        return None
    found = {job: JobState(queued[job]) for job in ids if job in queued}
    ended = [job for job in ids if job not in found or not found[job].active]
    found.update(_ended_states(ended))
    return found


# ---- Submitting and cancelling ---------------------------------------------------

def submit(options, script, arguments=()):
    """Submits `script` with its `arguments` by `sbatch --parsable OPTIONS`;
    returns the job's id. Raises SlurmError (sbatch refused it: its message)."""
    text = command(["sbatch", "--parsable", *options, script, *arguments]).strip()
    # --parsable prints "id", or "id;cluster" where there are several clusters.
    job = text.splitlines()[-1].split(";")[0].strip() if text else ""
    if not job.isdigit():
        raise SlurmError(f"sbatch printed no job id: {text!r}")
    return job


def cancel_named(name):
    """Cancels every job named `name` (scancel --name); raises SlurmError."""
    command(["scancel", f"--name={name}"])
