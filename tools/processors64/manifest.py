"""The window manifest: what a window measured node by node means to
cover. processors64-sweep writes NAME.window.json into the results directory
before it submits a job, and again as each job is submitted: the window's
name, every node it means to measure, its jobs (Slurm's id, null until
submitted, and their nodes) and the nodes it left out with the state and
reason Slurm gave. The results tools read it with the window's results: a
node of the manifest without results is not measured, never healthy.
The keys are in records.schema.json ("manifest").
"""

import json
import re
import time

from . import atomic, run_record, schema
from .schema import RecordError

SUFFIX = ".window.json"
# A window's name is a file name, a Slurm job name and a word of the
# command line alike: nothing a shell, a path or Slurm's syntax reads otherwise.
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.+-]{0,63}\Z")


def valid_name(name):
    return bool(NAME.match(name or ""))


def made_name(prefix="sweep"):
    """A window name unique to this second: sweep-20261209T201500Z."""
    return f"{prefix}-{time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())}"


def path_of(directory, name):
    return f"{directory.rstrip('/') or '/'}/{name}{SUFFIX}" if directory else name + SUFFIX


def job_name(name):
    """The Slurm job name every job of the window shares (scancel --name)."""
    return f"processors64-{name}"


def document(name, nodes, jobs, left_out, created=None, cluster=None, partition=None,
             reservation=None, nodes_per_job=1):
    """A manifest: `jobs` [(id or None, [node...])], `left_out`
    [(host, state, reason or None)]."""
    return {"window": name,
            "created": created or run_record.utc(),
            "cluster": cluster, "partition": partition, "reservation": reservation,
            "nodes_per_job": nodes_per_job, "nodes": list(nodes),
            "jobs": [{"id": job, "nodes": list(names)} for job, names in jobs],
            "left_out": [{"host": host, "state": state, "reason": reason}
                         for host, state, reason in left_out]}


def write(path, manifest):
    """Writes the manifest whole; raises OSError."""
    atomic.write(path, json.dumps(manifest, indent=1, ensure_ascii=False) + "\n")


def load(path):
    """The manifest in `path`, checked; raises RecordError."""
    try:
        with open(path, "rb") as f:
            manifest = json.loads(f.read())
    except OSError as error:
        raise RecordError(f"cannot read it: {error.strerror or error}") from None
    except (ValueError, RecursionError) as error:
        raise RecordError(f"not JSON ({error})") from None
    schema.check(manifest, "manifest", "the manifest")
    if not valid_name(manifest["window"]):
        raise RecordError(f"the manifest's window name {manifest['window']!r} is not a name "
                          "of letters, digits and _.+-")
    return manifest
