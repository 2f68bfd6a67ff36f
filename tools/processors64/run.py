"""The recorded run: the benchmark under its launcher as a window of one or
more jobs side by side, and each job's run record beside its results file
(what the job ran on, with which MPI and build, when, and how it ended).

    processors64-run [--window NAME] [--nodes-per-job K] LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY
    processors64-run --slurm [--verdict] [--window NAME] [--nodes-per-job K] BINARY

A window is every job started at once to measure one allocation or host
list; its jobs are its groups (groups.py), most windows have one. For each:
1. Starts the node inventory (inventory.py) once on every node of the job,
   for at most PROCESSORS64_INVENTORY_TIMEOUT seconds (default 60): a node
   that has not answered by then gets an error in its node record. The
   groups' inventories run side by side and end before any benchmark starts.
2. Runs the jobs side by side, nothing else running meanwhile. INT, TERM and
   HUP are passed on to every launcher; once one came, no job starts and
   the window ends with 128 + its number, said in one line.
3. Writes each started job's run record (JSON) beside the results file its master
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
is judged (window_verdict.after_window) and the exit status is the verdict's.

--window NAME (else PROCESSORS64_WINDOW) names the window: every job given
one name is one window however far apart they run, this one's records
holding its own nodes and split. A task of a job array names its array's
window. window.py says how the id is chosen.

In a window of several groups, each group's report goes to standard output
whole when its job ends, and a line per group says before the run where its
job goes.

This module is the command line and the three windows it builds (of the
allocation, of a split host list, of a job as given); the window's run is
window_run.py, with relay.py (signals), job_arguments.py, results_file.py
and job_record.py; the window's identity window.py.

Environment:
  PROCESSORS64_NODE_INVENTORY     the collector to start on every node
                                  (default: node_inventory.sh of the install
                                  or of the repository)
  PROCESSORS64_INVENTORY_TIMEOUT  seconds to wait for the nodes (default 60)
  PROCESSORS64_WINDOW             the window's name, where --window gives none
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from typing import Optional

from . import build_record, exits, groups, launchers, run_record, slurm
from .job_arguments import Job
from .run_console import say, shown
from .window_verdict import after_window
from .window import given_name, identify
from .window_run import GroupRun, run_window

USAGE = ("usage: processors64-run [--window NAME] [--nodes-per-job K] LAUNCHER "
         "[LAUNCHER-ARGUMENTS...] BINARY\n"
         "       processors64-run --slurm [--verdict] [--window NAME] [--nodes-per-job K] BINARY")
# The collector in the repository: scripts/node_inventory.sh, two levels up.
REPOSITORY_COLLECTOR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts", "node_inventory.sh")


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


def slurm_window(binary, collector, verdict, nodes_per_job, name):
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
    window = identify(name, [host.name for host in hosts], len(split))
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
    if not verdict or ended.signal is not None:
        return ended.status
    if not ended.results:
        say("no results file of this job: no verdict")
        return ended.status or exits.INCONCLUSIVE
    # Beside the window's first results file X.txt: X.verdict.txt, ...
    first = ended.results[0]
    return after_window(os.path.dirname(first) or ".", first[:-len(run_record.RESULTS_SUFFIX)],
                        window.id, ended.status)


def split_window(argv, collector, nodes_per_job, name):
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
        return exits.USAGE
    cap = build_record.cap(build_record.of(binary))
    hosts = groups.from_slots(slotted)
    split = groups.split(hosts, cap, nodes_per_job)
    window = identify(name, [host.name for host in hosts], len(split))
    with tempfile.TemporaryDirectory(prefix="processors64-run.") as directory:
        runs = [group_run(group, launcher, description.kind, binary, job.group_arguments,
                          directory, group.processes) for group in split]
        announce(window, split, cap)
        return run_window(window, runs, description, binary, collector,
                          subprocess.DEVNULL).status


def given_window(argv, collector, name):
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
    window = identify(name, hosts, 1)
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
    window: Optional[str] = None


def parse(argv):
    """(Options, the words after them) or (None, what is wrong)."""
    options, words = Options(), list(argv)
    while words and words[0].startswith("-"):
        word = words.pop(0)
        if word == "--slurm":
            options.slurm = True
        elif word == "--verdict":
            options.verdict = True
        elif word == "--window" or word.startswith("--window="):
            if "=" not in word and not words:
                return None, f"--window takes a window name\n{USAGE}"
            options.window = word.partition("=")[2] if "=" in word else words.pop(0)
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
    name, problem = given_name(options.window) if options else (None, words)
    if problem:
        say(problem)
        return exits.USAGE
    try:
        if options.slurm:
            return slurm_window(os.path.abspath(words[0]), collector, options.verdict,
                                options.nodes_per_job, name)
        if options.nodes_per_job is not None:
            return split_window(words, collector, options.nodes_per_job, name)
        return given_window(words, collector, name)
    except KeyboardInterrupt:
        # INT outside the window's jobs (the verdict after them), where
        # Python's own handler is this process's.
        say("stopped by SIGINT")
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
