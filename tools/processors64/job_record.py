"""The run record of one job of a window, written once the job has ended:
beside its results file, else under the job's start and first node."""

import os

from . import build_record, results_file, run_record, slurm
from .run_console import say, shown


def record_path(results, work_dir, started, host):
    """Beside the results file, X.txt -> X.run.json; else in the working
    directory under the job's start time and its first node's name (the
    groups of a window have nodes of their own)."""
    if results:
        return run_record.record_path(results)
    stamp = started.replace("-", "").replace(":", "")
    return os.path.join(work_dir, f"processors64-run-{stamp}-{host.replace('/', '_')}.run.json")


def write(run, window, mpi, binary, window_hosts):
    """Writes `run`'s record; its results file or None."""
    started = run_record.utc(run.started_ns // 10**9)
    ended = run_record.utc(run.ended_ns // 10**9)
    hosts = run.hosts() if window.groups > 1 else {
        node.get("host") for node in run.nodes if "error" not in node}
    results, note = results_file.find(run.job.work_dir, run.started_ns, run.started_ns / 1e9,
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
