"""A window's jobs run side by side (GroupRun each): their node inventories
side by side, then the jobs side by side with signals passed on (relay.py),
then the record of each job that started (job_record.py)."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Optional

from . import inventory, job_record, launchers
from .job_arguments import Job
from .relay import Launched
from .run_console import say, shown


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
    passed on to every launcher meanwhile; once one came no job starts, and
    where a job was left unstarted the window ends with 128 + its number. The handlers this process had
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
        made = [job_record.write(run, window, description.record(), binary, window_hosts)
                for run in started]
    failed = [run for run in started if run.status != 0]
    if len(runs) > 1:
        for run in failed:
            hosts = ", ".join(map(shown, run.node_inventory.hosts))
            say(f"group {run.number} of {len(runs)} ({hosts}) failed: exit status {run.status}")
    results = [path for path in made if path]
    left = [run.number for run in runs if not run.started_ns]
    if launched.signal is not None and left:
        say(f"stopped by {signal.Signals(launched.signal).name}: " +
            (f"group {left[0]}" if len(left) == 1 else f"groups {left[0]} to {left[-1]}") +
            f" of {len(runs)} not started")
        return WindowEnd(128 + launched.signal, results, launched.signal)
    # Every job started: the window ends as its launchers did, which the
    # signal reached.
    return WindowEnd(failed[0].status if failed else 0, results, launched.signal)
