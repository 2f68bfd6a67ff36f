#!/usr/bin/env python3
"""How long tools/results.py takes on a large set of results files.

    PYTHONPATH=tools bench/results_speed.py [--files 100] [--nodes 64] [--per-node 8] [--repeat 5]

Writes --files results files of a 512-process job (64 nodes of 8 workers,
the master's cap) into a temporary directory, made up from the report's own
templates as the tests make them, then runs `tools/results.py summary` and
`export --format csv` on all of them --repeat times, as a user would (a new
process each time, start-up included), and prints the fastest and the
median wall time of each.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from bench import machine  # bench.py, beside this script
from processors64 import made_up

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

TOOL = os.path.join(ROOT, "tools", "results.py")


def timed(command, repeat):
    seconds = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        seconds.append(time.perf_counter() - start)
    return min(seconds), statistics.median(seconds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--nodes", type=int, default=64)
    parser.add_argument("--per-node", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    hosts = made_up.cluster_hosts(args.nodes, args.per_node)[:512]
    with tempfile.TemporaryDirectory(prefix="p64speed-") as directory:
        paths = made_up.write_runs(directory, args.files, hosts, slow_hosts=("node5",))
        size = sum(os.path.getsize(path) for path in paths)
        print(f"{args.files} results files of {len(hosts)} processes ({len(hosts) - 1} workers "
              f"on {args.nodes} nodes), {size / 1e6:.1f} MB; {machine()[0]}, "
              f"Python {sys.version.split()[0]}")
        for name, command in (("summary", [TOOL, "summary"]),
                              ("export --format csv", [TOOL, "export", "--format", "csv"])):
            best, median = timed(command + paths, args.repeat)
            print(f"{name}: fastest {best:.3f} s, median {median:.3f} s of {args.repeat} runs")


if __name__ == "__main__":
    main()
