#!/usr/bin/env python3
"""How long the results tool takes, and how much memory, on a cluster's
worth of results files.

    PYTHONPATH=tools:tests bench/results_speed.py [--nodes 512 4096] [--cpus 64]
        [--nodes-per-job 7] [--windows 10] [--repeat 3] [--data DIR] [--tool PATH]

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
"""

import argparse
import glob
import os
import random
import statistics
import subprocess
import sys
import time
from datetime import datetime, timedelta

import made_up  # tests/, on PYTHONPATH
from bench import machine  # bench.py, beside this script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "tools", "results.py")
COMMANDS = (("verdict", ["verdict"]), ("history", ["history"]),
            ("export --format prometheus", ["export", "--format", "prometheus"]))


def write_windows(directory, nodes, cpus, per_job, windows):
    """The made-up windows, oldest first, in `directory` (written once)."""
    done = os.path.join(directory, ".complete")
    if os.path.exists(done):
        return
    os.makedirs(directory, exist_ok=True)
    names = [f"node{n:04d}" for n in range(1, nodes + 1)]
    shuffle = random.Random(7)
    start = datetime(2026, 9, 28, 6, 0, 0)
    for week in range(windows):
        order = names[:]
        shuffle.shuffle(order)
        slow = {"node0007": 0.8} if week == windows - 1 else {}
        made_up.write_window(directory, order, cpus, per_job, start + timedelta(days=7 * week),
                             window_id=str(4000 + week), factors=slow, seed=week + 1)
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
    args = parser.parse_args()
    print(f"{machine()[0]}, Python {sys.version.split()[0]}, {args.tool}")
    for nodes in args.nodes:
        directory = os.path.join(args.data, f"{nodes}x{args.cpus}-{args.nodes_per_job}"
                                 f"-{args.windows}")
        started = time.perf_counter()
        write_windows(directory, nodes, args.cpus, args.nodes_per_job, args.windows)
        files = sorted(glob.glob(os.path.join(directory, "results_*.txt")))
        size = sum(os.path.getsize(path) for path in files)
        print(f"{nodes} nodes of {args.cpus} CPUs, jobs of {args.nodes_per_job} nodes, "
              f"{args.windows} windows: {len(files)} results files, {size / 1e6:.0f} MB "
              f"(ready in {time.perf_counter() - started:.0f} s)")
        for name, command in COMMANDS:
            inputs = files if args.files else [directory]
            best, median, peak = measured([args.tool, *command, *inputs], args.repeat)
            print(f"  {name}: fastest {best:.2f} s, median {median:.2f} s of {args.repeat} "
                  f"runs, peak memory {peak:.0f} MB")


if __name__ == "__main__":
    main()
