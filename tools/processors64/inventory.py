"""The node inventory of a job: the collector (scripts/node_inventory.sh, or
a site's own) started once on every node of the job with the job's own
launcher and host arguments, one process per node, standard input closed;
and the node records read back, first node first, with an error record for
a node that did not answer.

The inventories of a window's jobs run side by side: start() each, wait()
for them all, then nodes() of each. What went wrong comes back as warnings
for the caller to say.
"""

import json
import os
import re
import subprocess
import time
from dataclasses import dataclass
from typing import Optional

from . import launchers, run_record

# Each node's lines go out prefixed with its rank, so they can be put in node
# order (rank 0 runs on the first node, the master's). The node's own shell
# reads its rank from the launcher's rank variable ($1) and runs the collector
# ($2): the nodes need no Python.
NODE_COMMAND = ('eval "rank=\\${$1:-}"\n'
                '"$2" </dev/null | while IFS= read -r line || [ -n "$line" ]; do\n'
                '    printf "%s %s\\n" "$rank" "$line"\n'
                'done')
NEITHER = "the launcher is neither Open MPI's nor MPICH's"
DEFAULT_TIMEOUT = 60


def timeout(environ=None):
    """(the seconds to wait for the nodes, PROCESSORS64_INVENTORY_TIMEOUT or
    60; a warning or None)."""
    text = (os.environ if environ is None else environ).get(
        "PROCESSORS64_INVENTORY_TIMEOUT", str(DEFAULT_TIMEOUT))
    if not re.fullmatch(r"[0-9]+", text) or int(text) == 0:
        return DEFAULT_TIMEOUT, (f"PROCESSORS64_INVENTORY_TIMEOUT='{text}' is no number of "
                                 f"seconds; waiting {DEFAULT_TIMEOUT} s")
    return int(text), None


@dataclass
class Inventory:
    """The node inventory of one job: the nodes it expects, where their lines
    go, its launcher, and why a node that did not answer did not."""
    hosts: list
    output: str
    child: Optional[subprocess.Popen] = None
    silence: str = ""


def start(launch, launcher, job, collector, directory, environment=None):
    """Starts the inventory of the job whose arguments `job` (job_arguments.Job) holds,
    under `launcher`, through launch(command, **Popen options), its files in
    `directory`."""
    inventory = Inventory(job.expected_hosts(), os.path.join(directory, "nodes"))
    if job.kind not in launchers.KINDS:
        inventory.silence = NEITHER
        return inventory
    table = launchers.KINDS[job.kind]
    command = [launcher, *job.collector_arguments, *table.per_node(len(inventory.hosts)),
               "/bin/sh", "-c", NODE_COMMAND, "node_inventory", table.rank_variable, collector]
    with open(inventory.output, "wb") as out, \
            open(os.path.join(directory, "nodes.err"), "wb") as err:
        try:
            inventory.child = launch(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     env=environment)
        except OSError as error:
            inventory.silence = (f"no answer (the launcher of the node inventory could not be "
                                 f"started: {error.strerror})")
    return inventory


def wait(inventories, seconds, stopped):
    """Waits at most `seconds` for every inventory (polled: `stopped()`, a
    signal come, ends the wait) and ends those still running then."""
    running = [inventory for inventory in inventories if inventory.child]
    deadline = time.monotonic() + seconds
    while (any(inventory.child.poll() is None for inventory in running)
           and time.monotonic() < deadline and not stopped()):
        time.sleep(0.1)
    for inventory in running:
        if inventory.child.poll() is None:
            end(inventory.child)
            inventory.silence = f"no answer within {seconds} s"
        else:
            inventory.silence = (f"no answer (the launcher of the node inventory exited with "
                                 f"status {launchers.exit_status(inventory.child.returncode)})")


def end(child):
    child.terminate()
    try:
        child.wait(5)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()


def nodes(inventory):
    """(the node records, first node first: each node's line, or for a node
    that did not answer an error record; a warning for each such node)."""
    found = {}
    try:
        with open(inventory.output, "rb") as f:
            lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    except OSError:
        lines = []
    for line in lines:
        match = re.fullmatch(r"([0-9]+) (\{.*\})", line)
        if match:
            found.setdefault(int(match.group(1)), match.group(2))
    records, warnings = [], []
    for rank in range(max(len(inventory.hosts), max(found, default=-1) + 1)):
        host = inventory.hosts[rank] if rank < len(inventory.hosts) else None
        node = node_record(found.get(rank))
        if node is None:
            node = run_record.failed_node(host, inventory.silence if rank not in found else
                                          "its node record is no JSON object")
            if inventory.silence != NEITHER:
                warnings.append(f"node {host if host else f'of rank {rank}'}: {node['error']}; "
                                "its node record holds the error")
        records.append(node)
    return records, warnings


def node_record(line):
    """A node's line as an object, or None."""
    if line is None:
        return None
    try:
        node = json.loads(line)
    except ValueError:
        return None
    return node if isinstance(node, dict) else None
