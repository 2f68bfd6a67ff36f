#!/usr/bin/env python3
"""How long the results tool takes, and how much memory, on a cluster's
worth of results files: read from the files, and through the store.

    PYTHONPATH=tools:tests bench/results_speed.py [--nodes 512 4096] [--cpus 64]
        [--nodes-per-job 7] [--windows 10] [--repeat 3] [--data DIR] [--tool PATH]
        [--store] [--sweep]

For each node count, writes --windows weekly windows of made-up results
files and run records (each window: the nodes in jobs of --nodes-per-job
nodes of --cpus workers each, placement shuffled every week, one node 20%
slower in the newest), made from the report's own templates as the tests
make them, into --data (kept there for the next run), then runs
`verdict`, `history` and `export --format prometheus` on the directory as a
user would (a new process each time, start-up included) and prints the
fastest and the median wall time and the largest peak memory (resident
set) of each. --tool measures another copy of tools/results.py (an older
commit's, which takes files rather than a directory: --files passes them).

--store measures the store: each command with --no-store (before, once),
the first fill (verdict on a directory without a store), each command with
the store filled, a new window added and judged (then taken away again),
and the store's size against the text's. --sweep makes the windows in a
sweep's shape instead: every node its own one-node job, the jobs of a
window sharing its name ({"id": NAME, "named": true, "group": 1,
"groups": 1, "nodes": [node]}).
"""

import argparse
import glob
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta

import made_up  # tests/, on PYTHONPATH
from bench import machine  # bench.py, beside this script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "tools", "results.py")
COMMANDS = (("verdict", ["verdict"]), ("history", ["history"]),
            ("export --format prometheus", ["export", "--format", "prometheus"]))
PAGE = ("html", ["html", "--out", os.path.join(tempfile.gettempdir(),
                                               "processors64-results-speed.html")])


START = datetime(2026, 9, 28, 6, 0, 0)
STORE = ".processors64.sqlite"


def write_week(directory, names, cpus, per_job, week, slow, sweep):
    """One weekly window: jobs of `per_job` nodes placed anew, or (`sweep`)
    one-node jobs of a named window, a second apart."""
    when = START + timedelta(days=7 * week)
    if not sweep:
        order = names[:]
        random.Random(7 + week).shuffle(order)
        made_up.write_window(directory, order, cpus, per_job, when, window_id=str(4000 + week),
                             factors=slow, seed=week + 1)
        return
    name = f"sweep-{when:%Y%m%dT%H%M%SZ}"
    for n, node in enumerate(names):
        hosts = made_up.group_hosts([node], cpus)
        started = when + timedelta(seconds=n)
        path = made_up.write_run(directory, hosts, made_up.worker_rates(
            hosts, week * 10000 + n, factors=slow), started)
        made_up.write_record(path, hosts, window={"id": name, "named": True, "group": 1,
                                                  "groups": 1, "nodes": [node]},
                             started=started)


def write_windows(directory, nodes, cpus, per_job, windows, sweep=False):
    """The made-up windows, oldest first, in `directory` (written once)."""
    done = os.path.join(directory, ".complete")
    if os.path.exists(done):
        return
    os.makedirs(directory, exist_ok=True)
    names = [f"node{n:04d}" for n in range(1, nodes + 1)]
    for week in range(windows):
        slow = {"node0007": 0.8} if week == windows - 1 else {}
        write_week(directory, names, cpus, per_job, week, slow, sweep)
    open(done, "w").close()


def measured(command, repeat):
    """(fastest, median wall seconds, largest peak resident MB) of `repeat` runs."""
    seconds, peaks = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        seconds.append(time.perf_counter() - start)
        peaks.append(usage.ru_maxrss / 1024)  # kilobytes on Linux
        code = os.waitstatus_to_exitcode(status)
        if code not in (0, 1, 3):  # the verdict's statuses; 2 is a failure
            sys.exit(f"{' '.join(command[:2])}: exit status {code}")
    return min(seconds), statistics.median(seconds), max(peaks)


def text_size(directory):
    return sum(entry.stat().st_size for entry in os.scandir(directory)
               if entry.name.startswith(("results_", "processors64-run-")) or
               entry.name.endswith(".window.json"))


def remove_store(directory):
    for suffix in ("", "-wal", "-shm", "-journal"):
        path = os.path.join(directory, STORE + suffix)
        if os.path.exists(path):
            os.unlink(path)


def line(name, found, repeat):
    best, median, peak = found
    return (f"  {name}: fastest {best:.2f} s, median {median:.2f} s of {repeat} runs, "
            f"peak memory {peak:.0f} MB")


def measure_store(args, directory, nodes, windows, sweep):
    """Before (the files), the first fill, after (the store), a new window."""
    commands = COMMANDS + (PAGE,)
    print(f"  text: {text_size(directory) / 1e6:.0f} MB of results files, run records "
          "and manifests")
    for name, command in commands:
        print("  before (--no-store)" + line(name, measured(
            [args.tool, *command, "--no-store", directory], 1), 1)[1:], flush=True)
    remove_store(directory)
    print("  first fill" + line("and verdict", measured([args.tool, "verdict", directory], 1),
                                1)[1:], flush=True)
    print(f"  store: {os.path.getsize(os.path.join(directory, STORE)) / 1e6:.0f} MB",
          flush=True)
    for name, command in commands:
        print("  after (store)" + line(name, measured(
            [args.tool, *command, directory], args.repeat), args.repeat)[1:], flush=True)
    added = tempfile.mkdtemp(dir=args.data)
    names = [f"node{n:04d}" for n in range(1, nodes + 1)]
    write_week(added, names, args.cpus, args.nodes_per_job, windows, {"node0011": 0.8}, sweep)
    new = os.listdir(added)
    for name in new:
        os.rename(os.path.join(added, name), os.path.join(directory, name))
    os.rmdir(added)
    try:
        print("  a new window" + line(f"of {len([n for n in new if n.endswith('.txt')])} jobs "
                                      "added and judged", measured(
                                          [args.tool, "verdict", directory], 1), 1)[1:],
              flush=True)
    finally:
        for name in new:
            os.unlink(os.path.join(directory, name))
        subprocess.run([args.tool, "history", directory], stdout=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)  # the store forgets them


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, nargs="+", default=[512, 4096])
    parser.add_argument("--cpus", type=int, default=64)
    parser.add_argument("--nodes-per-job", type=int, default=7)
    parser.add_argument("--windows", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", default="/tmp/processors64-results-speed")
    parser.add_argument("--tool", default=TOOL)
    parser.add_argument("--files", action="store_true",
                        help="name every results file instead of the directory")
    parser.add_argument("--store", action="store_true",
                        help="measure the files against the store (see above)")
    parser.add_argument("--sweep", action="store_true",
                        help="windows of one-node jobs sharing a name")
    args = parser.parse_args()
    print(f"{machine()[0]}, Python {sys.version.split()[0]}, {args.tool}")
    for nodes in args.nodes:
        per_job = 1 if args.sweep else args.nodes_per_job
        directory = os.path.join(args.data, f"{nodes}x{args.cpus}-{per_job}-{args.windows}"
                                 + ("-sweep" if args.sweep else ""))
        started = time.perf_counter()
        write_windows(directory, nodes, args.cpus, per_job, args.windows, args.sweep)
        files = sorted(glob.glob(os.path.join(directory, "results_*.txt")))
        size = sum(os.path.getsize(path) for path in files)
        print(f"{nodes} nodes of {args.cpus} CPUs, jobs of {per_job} nodes"
              f"{' (a sweep: named windows)' if args.sweep else ''}, "
              f"{args.windows} windows: {len(files)} results files, {size / 1e6:.0f} MB "
              f"(ready in {time.perf_counter() - started:.0f} s)", flush=True)
        if args.store:
            measure_store(args, directory, nodes, args.windows, args.sweep)
            continue
        for name, command in COMMANDS:
            inputs = files if args.files else [directory]
            # The files alone, as every command read them before the store.
            best, median, peak = measured([args.tool, *command, "--no-store", *inputs],
                                          args.repeat)
            print(f"  {name}: fastest {best:.2f} s, median {median:.2f} s of {args.repeat} "
                  f"runs, peak memory {peak:.0f} MB")


if __name__ == "__main__":
    main()
