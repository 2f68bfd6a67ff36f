"""Results files of any size, shaped exactly like the program's, for runs no
test can start here (512 processes, many nodes, one slow node).

The lines come from the same templates the tests check the program against;
only the numbers are made up, and they agree with each other as the
program's do (rate = iterations / seconds, overall = sum, ratio, mean).
"""

import json
import os
import random
from datetime import datetime, timedelta

from processors64 import report_format, results_name

ITERATIONS = 134217728
# Typical rates, Millions Executions/sec, of the master alone and of a worker.
RATES = {"Float": 20.0, "Integer": 15.0, "Logic": 900.0}


def cluster_hosts(nodes, per_node):
    """The host of each rank, the master (rank 0) on the first node with one
    extra process: ['node1', 'node1', ..., 'node2', ...]."""
    return [f"node{1 + max(rank - 1, 0) // per_node}" for rank in range(nodes * per_node + 1)]


def worker_rates(hosts, seed=1, slow_hosts=(), slow_factor=0.7, special=None, factors=None):
    """{test: [rate of rank 1, 2, ...]}: every worker near the typical rate
    (within 2%), the workers of `slow_hosts` `slow_factor` times as fast, of
    the hosts in `factors` ({host: factor}) that factor times as fast, and
    the ranks in `special` ({rank: factor}) that much slower in Float and
    Integer Streaming, as ranks 1 and 10 are on some processors."""
    pick = random.Random(seed)
    special = special or {}
    factors = factors or {}
    rates = {}
    for test, typical in RATES.items():
        row = []
        for rank in range(1, len(hosts)):
            rate = typical * pick.uniform(0.98, 1.02)
            if hosts[rank] in slow_hosts:
                rate *= slow_factor
            rate *= factors.get(hosts[rank], 1.0)
            if test != "Logic":
                rate *= special.get(rank, 1.0)
            row.append(float(f"{rate:g}"))
        rates[test] = row
    return rates


def file_name(when, master, zone="UTC"):
    return results_name.build(when, master, zone)


def report_text(hosts, rates, for_file=True):
    """The report of a run whose ranks ran on `hosts`, with these rates."""
    nproc = len(hosts)
    workers = nproc - 1
    numbers = {}

    def printed(value):
        return float(f"{value:g}")

    ef = [printed(0.0026 * workers)] + ([printed(0.0026 * workers / workers)] if workers else [])
    numbers["ef_overall"], numbers["ef_mean"] = ef[:1], ef[1:]
    for test, row in rates.items():
        single = RATES[test]
        numbers[f"{test}_single_time"] = [printed(ITERATIONS / single / 1e6)]
        numbers[f"{test}_single_rate"] = [printed(single)]
        numbers[f"{test}_time"] = [printed(ITERATIONS / rate / 1e6) for rate in row]
        numbers[f"{test}_rate"] = list(row)
        overall = printed(sum(row))
        numbers[f"{test}_overall"] = [overall]
        numbers[f"{test}_ratio"] = [printed(overall / single)]
        numbers[f"{test}_mean"] = [printed(overall / workers)] if workers else []
    end = report_format.FILE_END if for_file else ()
    lines = []
    rank = 0
    for template, key in report_format.expected_lines(nproc, for_file, end):
        line = template
        if template.startswith("Thread:"):
            rank = int(template[len("Thread:"):template.index(" ")])
            line = line.replace("{*}", hosts[rank], 1)
        elif "{*}" in line:
            line = "Copyright and contact lines of the banner"
        if key:
            line = line.replace("{N}", f"{numbers[key].pop(0):g}", 1)
        lines.append(line)
    return "\n".join(lines) + "\n"


def write_run(directory, hosts, rates, when=datetime(2026, 12, 8, 7, 3, 57), zone="UTC"):
    """Writes one results file into `directory`; returns its path."""
    path = os.path.join(directory, file_name(when, hosts[0], zone))
    with open(path, "w") as f:
        f.write(report_text(hosts, rates))
    return path


def write_runs(directory, count, hosts, seed=1, **kwargs):
    """`count` results files of the same cluster, an hour apart."""
    start = datetime(2026, 12, 1, 8, 0, 0)
    return [write_run(directory, hosts, worker_rates(hosts, seed + n, **kwargs),
                      start + timedelta(hours=n)) for n in range(count)]


def node_record(host, cpu_model="AMD EPYC 7B13", microcode="0xa0011d1"):
    """A node that answered, with the CPU of this name."""
    return {"host": host, "cpu_vendor": "AuthenticAMD", "cpu_model": cpu_model,
            "cpu_family": 25, "cpu_model_number": 1, "stepping": 0, "microcode": microcode,
            "logical_cpus": 8, "cores": 8, "sockets": 1, "numa_nodes": 1, "smt": False,
            "hypervisor": "KVM", "governor": None, "max_mhz": None,
            "memory_bytes": 33554432000, "kernel": "6.1.0-18-amd64",
            "os": "Debian GNU/Linux 12 (bookworm)"}


def write_record(results_path, hosts, nodes=None, mpi=("Open MPI", "4.1.4"), build=None,
                 window=None, exit_status=0, record_path=None, started=None):
    """Writes a made-up run record beside the results file `results_path`:
    one node record per host of `hosts` (first the master's), `nodes`
    ({host: node record}) in place of the made-up ones, the MPI, and a build
    record with the keys of `build` changed (build=False: none), and the
    `window` key where given. A job that made no results file: results_path
    None and the record's own `record_path`. `started`: the job's start (a
    datetime, UTC), else a fixed one. Returns it."""
    launcher = "/usr/bin/mpiexec." + ("openmpi" if mpi[0] == "Open MPI" else "mpich")
    built = {"version": "1.0.0", "commit": "0cb595f", "build_type": "Release",
             "compiler": "GNU 12.2.0", "flags": "-O3 -DNDEBUG -Wall -Wextra -ffp-contract=off",
             "mpi": {"implementation": mpi[0], "version": mpi[1]}, "launcher": launcher}
    built.update(build or {})
    nodes = nodes or {}
    started = started or datetime(2026, 12, 8, 7, 3, 50)
    record = {"results_file": results_path and os.path.basename(results_path),
              "started": f"{started:%Y-%m-%dT%H:%M:%SZ}",
              "ended": f"{started + timedelta(seconds=7):%Y-%m-%dT%H:%M:%SZ}",
              "exit_status": exit_status, "command": [launcher, "-np", str(len(hosts)), "processors64"],
              "processes": len(hosts),
              "mpi": {"implementation": mpi[0], "version": mpi[1], "launcher": launcher},
              "build": None if build is False else built, "slurm": None,
              "nodes": [nodes.get(host) or node_record(host) for host in dict.fromkeys(hosts)]}
    if window is not None:
        record["window"] = window
    with open(record_path or results_path[:-len(".txt")] + ".run.json", "w") as f:
        json.dump(record, f, indent=1)
    return record


def write_history(directory, hosts, factors, start=datetime(2026, 11, 2, 6, 0, 0), zone="UTC"):
    """Weekly runs of one cluster, one per entry of `factors` ({host: factor}
    of that run, see worker_rates); `hosts` is one list for every run or a
    list per run. Returns the paths, oldest first."""
    paths = []
    for n, factor in enumerate(factors):
        ranks = hosts[n] if isinstance(hosts[0], list) else hosts
        paths.append(write_run(directory, ranks, worker_rates(ranks, 100 + n, factors=factor),
                               start + timedelta(days=7 * n), zone))
    return paths


def group_hosts(nodes, per_node):
    """The host of each rank of a job on `nodes`: the master on the first
    node, then `per_node` workers on each node in order."""
    return [nodes[0]] + [node for node in nodes for _ in range(per_node)]


def window_key(shape, window_id, number, groups, nodes, group):
    """The run record's window key of job `number` of `groups` as each way
    of measuring a cluster writes it: "window" (jobs side by side in one
    allocation), "jobs" (jobs submitted one by one, each a window of its
    own with Slurm's next job id), "array" (the tasks of a job array),
    "array-task-ids" (the same as older records wrote it, 1234_7), "named"
    (jobs given one window name, as a sweep's)."""
    if shape == "window":
        return {"id": window_id, "group": number, "groups": groups, "nodes": list(nodes)}
    if shape == "jobs":
        return {"id": str(int(window_id) + number - 1), "group": 1, "groups": 1,
                "nodes": list(group)}
    if shape == "array":
        return {"id": window_id, "group": number, "groups": groups, "nodes": list(group),
                "array": True}
    if shape == "array-task-ids":
        return {"id": f"{window_id}_{number}", "group": 1, "groups": 1, "nodes": list(group)}
    assert shape == "named", shape
    return {"id": window_id, "group": 1, "groups": 1, "nodes": list(group), "named": True}


def write_window(directory, nodes, per_node, nodes_per_job, when, window_id="1234",
                 factors=None, seed=1, failed=(), records=None, apart=timedelta(0),
                 zone="UTC", shape="window"):
    """One window: `nodes` (in the order Slurm gave them) split into jobs of
    `nodes_per_job` nodes, each job's results file named after its master,
    its first node, and its run record with the window's key as `shape`
    says (window_key; none where window_id is None: runs started by hand),
    each job `apart` after the one before. `factors` ({host: factor}) slows
    hosts down; the jobs numbered in `failed` (from 1) made no results
    file, only a record of exit status 137; `records` ({host: node record})
    replaces made-up node records. Returns the paths written, results files
    and failed jobs' records."""
    groups = [nodes[i:i + nodes_per_job] for i in range(0, len(nodes), nodes_per_job)]
    paths = []
    for number, group in enumerate(groups, 1):
        hosts = group_hosts(group, per_node)
        started = when + apart * (number - 1)
        window = None if window_id is None else window_key(shape, window_id, number,
                                                           len(groups), nodes, group)
        if number in failed:
            stamp = started.strftime("%Y%m%dT%H%M%SZ")
            path = os.path.join(directory, f"processors64-run-{stamp}-{group[0]}.run.json")
            write_record(None, hosts, records, window=window, exit_status=137, record_path=path,
                         started=started)
        else:
            path = write_run(directory, hosts,
                             worker_rates(hosts, seed * 1000 + number, factors=factors),
                             started, zone)
            write_record(path, hosts, records, window=window, started=started)
        paths.append(path)
    return paths


def write_weeks(directory, nodes, newest, weeks=5, ids=True, failed=(), records=None,
                per_node=4, nodes_per_job=4, start=datetime(2026, 11, 2, 6, 0, 0),
                shape="window", apart=timedelta(minutes=3)):
    """`nodes` measured weekly by jobs of `nodes_per_job` nodes, placed anew
    every week, each `apart` after the one before, their records' window
    keys of `shape` (window_key; week N's id 1000 + N, "jobs" 1000 + 100 N
    and on, named "week-N"); `newest` ({host: factor}) slows hosts in the
    newest week, whose jobs numbered in `failed` made no results file and
    whose node records `records` replaces. Without ids the jobs start by
    hand. Returns the newest window's paths."""
    os.makedirs(directory, exist_ok=True)
    place = random.Random(3)
    for week in range(weeks):
        order = list(nodes)
        place.shuffle(order)
        last = week == weeks - 1
        paths = write_window(
            str(directory), order, per_node, nodes_per_job, start + timedelta(days=7 * week),
            window_id=(f"week-{week + 1}" if shape == "named" else
                       str(1000 + (100 if shape == "jobs" else 1) * week))
            if ids else None, apart=apart, factors=newest if last else {}, seed=week + 1,
            failed=failed if last else (), records=records if last else None, shape=shape)
    return paths
