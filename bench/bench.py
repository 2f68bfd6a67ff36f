#!/usr/bin/env python3
"""Measures the benchmark itself and writes bench/RESULTS.md.

    PYTHONPATH=tools bench/bench.py [--build-dir build/release] [--np 2 3] [--repeat 3] [--out FILE]
    PYTHONPATH=tools bench/bench.py --binary PROGRAM --mpiexec LAUNCHER ...

Runs the real binary of a build directory under the launcher of the MPI it was
built against (Open MPI's or MPICH's, from the build's CMakeCache.txt) at each
process count (default: 2 and cores + 1) in a temporary directory, stdin
closed, and records:
- per workload, nanoseconds per iteration (1e9 / rate): the master's
  single-process baseline and each worker;
- each streaming test's improvement against the ideal, the number of workers;
- the CPU share that waiting ranks take: every rank's CPU time is sampled from
  /proc while the console lines are time-stamped as they arrive, so the master
  is measured while it collects and the workers while the master runs a
  baseline;
- the harness overhead: the job's wall time minus the time spent in timed loops;
- the job's start-up time: from the launcher's start to the master's first line;
- the machine's load average before each run (other work running).
Linux only (it reads /proc).
"""

import argparse
import datetime
import os
import platform
import re
import subprocess
import sys
import tempfile
import threading
import time

from processors64 import launchers

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

TESTS = ("Float", "Integer", "Logic")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
ITER = 134217728
NUMBER = r"(-?[\d.]+(?:e[+-]\d+)?|inf|nan)"


def rank_processes(binary, rank_variable):
    """{rank: pid} of the running ranks of `binary`, each found by the number
    its launcher gave it in `rank_variable`."""
    ranks = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.realpath(f"/proc/{pid}/exe") != binary:
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        for item in env:
            if item.startswith(rank_variable.encode() + b"="):
                ranks[int(item.split(b"=")[1])] = int(pid)
    return ranks


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime
    except (OSError, IndexError):
        return None


class Sampler(threading.Thread):
    """Samples each rank's CPU time every `period` seconds."""

    def __init__(self, binary, rank_variable, period=0.05):
        super().__init__(daemon=True)
        self.binary, self.rank_variable, self.period = binary, rank_variable, period
        self.samples = {}  # rank -> [(time, cpu seconds)]
        self.done = threading.Event()

    def run(self):
        pids = {}
        while not self.done.is_set():
            if not pids or len(pids) < getattr(self, "expected", 0):
                pids = rank_processes(self.binary, self.rank_variable)
            now = time.monotonic()
            for rank, pid in pids.items():
                cpu = cpu_seconds(pid)
                if cpu is not None:
                    self.samples.setdefault(rank, []).append((now, cpu))
            time.sleep(self.period)

    def cpu_between(self, rank, start, end):
        """CPU seconds that `rank` used between two moments (interpolated)."""
        points = self.samples.get(rank, [])

        def at(moment):
            before = [p for p in points if p[0] <= moment]
            after = [p for p in points if p[0] >= moment]
            if not before or not after:
                return None
            (t0, c0), (t1, c1) = before[-1], after[0]
            return c0 if t1 == t0 else c0 + (c1 - c0) * (moment - t0) / (t1 - t0)

        a, b = at(start), at(end)
        return None if a is None or b is None else b - a


def run(mpi, binary, np, extra_flags):
    sampler = Sampler(binary, mpi.rank_variable)
    sampler.expected = np
    lines = []  # (arrival time, text)
    command = mpi.command(np, extra=extra_flags) + [binary]
    with tempfile.TemporaryDirectory(prefix="p64bench-") as directory:
        start = time.monotonic()
        job = subprocess.Popen(command, cwd=directory, env=mpi.environment(np),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        sampler.start()
        for text in job.stdout:
            lines.append((time.monotonic(), text.rstrip("\n")))
        status = job.wait()
        wall = time.monotonic() - start
        sampler.done.set()
        sampler.join()
    if status != 0:
        sys.exit(f"{' '.join(command)} exited with status {status}")
    return lines, sampler, wall, lines[0][0] - start if lines else None


def first_index(lines, text, after=0):
    for i in range(after, len(lines)):
        if lines[i][1].startswith(text):
            return i
    raise ValueError(f"no line starting with {text!r}")


def analyse(lines, sampler, wall, np):
    workers = np - 1
    result = {"np": np, "workers": workers, "wall": wall, "tests": {}}
    waiting_master, waiting_workers = [], []
    loops = 0.0

    ef = first_index(lines, "Effective Frequency.")
    ef_end = first_index(lines, "Overall, Effective Frequency was:", ef)
    ef_rate = float(re.search(NUMBER, lines[ef_end][1].split(":")[1]).group(1)) * 1e9
    result["ef_ns_per_worker"] = 1e9 / (ef_rate / workers) if workers and ef_rate else None
    waiting_master.append((lines[ef][0], lines[ef_end][0]))

    position = ef_end
    for test in TESTS:
        head = first_index(lines, f"{test} Streaming.", position)
        single_time = float(re.search(NUMBER, lines[head + 2][1][18:]).group(1))
        single_end = head + 3
        collect = first_index(lines, "Multi-Thread Enabled:", single_end)
        overall = first_index(lines, "Overall, It was:", collect)
        times = [float(re.search(r"spent: " + NUMBER, t).group(1))
                 for _, t in lines[collect + 1:overall] if "spent:" in t]
        improvement = float(re.search(NUMBER, lines[overall + 1][1][27:]).group(1))
        result["tests"][test] = {
            "single_ns": single_time / ITER * 1e9,
            "worker_ns": [t / ITER * 1e9 for t in times],
            "improvement": improvement,
        }
        waiting_workers.append((lines[head][0], lines[single_end][0]))
        waiting_master.append((lines[collect][0], lines[overall][0]))
        loops += single_time + (max(times) if times else 0.0)
        position = overall
    # The Effective Frequency loop: the slowest worker's time, from its rate.
    if result["ef_ns_per_worker"]:
        loops += result["ef_ns_per_worker"] * ITER / 1e9

    def share(rank, intervals):
        # An interval that began before the sampler had found the rank (the
        # master's first wait, when the job starts fast) is left out.
        sampled = [(sampler.cpu_between(rank, a, b), b - a) for a, b in intervals]
        sampled = [(used, span) for used, span in sampled if used is not None]
        span = sum(span for _, span in sampled)
        return sum(used for used, _ in sampled) / span if span > 0 else None

    result["master_wait_share"] = share(0, waiting_master)
    shares = [share(rank, waiting_workers) for rank in range(1, np)]
    result["worker_wait_share"] = max_known(shares)
    result["overhead"] = wall - loops
    return result


def machine():
    model = "unknown processor"
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                name, _, value = line.partition(":")
                fields.setdefault(name.strip(), value.strip())
    except OSError:
        pass
    if "model name" in fields:
        # A virtual machine may report only "AMD EPYC": the family and model
        # numbers still tell the processor generation.
        model = (f"{fields['model name']} (CPU family {fields.get('cpu family', '?')}, "
                 f"model {fields.get('model', '?')})")
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout
    return model, os.cpu_count(), compiler.splitlines()[0] if compiler else "unknown"


def percent(value):
    return "n/a" if value is None else f"{100 * value:.1f}%"


def max_known(values):
    known = [v for v in values if v is not None]
    return max(known) if known else None


def write_markdown(results, path, mpi):
    model, cores, compiler = machine()
    loads = [run["load"] for runs in results for run in runs]
    out = ["# Benchmark measurements", "",
           f"- Machine: {model}, {cores} logical cores, {platform.system()} "
           f"{platform.release()}",
           f"- Compiler: {compiler}",
           f"- MPI: {launchers.version(mpi.path)}, launched by `{mpi.path}`",
           f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}",
           f"- Load average (1 minute) before each run: {min(loads):.2f} to {max(loads):.2f} "
           f"on {cores} cores (above 0 means other work was running)",
           "- Reproduce: `./bench/bench.py --build-dir BUILD` (builds nothing: build the "
           "Release binary first with `./run.sh` or CMake), on an otherwise idle machine.", ""]
    for runs in results:
        # The table shows the run whose Float Streaming improvement is the
        # median; the spread over all runs follows it.
        runs = sorted(runs, key=lambda run: run["tests"]["Float"]["improvement"])
        r = runs[len(runs) // 2]
        out += [f"## {r['np']} processes ({r['workers']} worker(s) and the master)", "",
                f"- CPU model: {model}", "",
                "| Workload | ns/iteration, master alone | ns/iteration per worker "
                "| Improvement | Ideal | Improvement / ideal |",
                "|---|---|---|---|---|---|"]
        for test in TESTS:
            t = r["tests"][test]
            per_worker = ", ".join(f"{ns:.2f}" for ns in t["worker_ns"]) or "none"
            ideal = r["workers"]
            ratio = f"{t['improvement'] / ideal:.3f}" if ideal else "n/a"
            out.append(f"| {test} Streaming | {t['single_ns']:.2f} | {per_worker} "
                       f"| {t['improvement']:.3f} | {ideal} | {ratio} |")
        ef = r["ef_ns_per_worker"]
        out.append(f"| Effective Frequency | (no baseline) | "
                   f"{'n/a' if ef is None else f'{ef:.2f} (mean)'} | | | |")
        share = r["overhead"] / r["wall"]
        out.append("")
        if len(runs) > 1:
            spread = "; ".join(
                f"{test} " + ", ".join(f"{run['tests'][test]['improvement']:.3f}" for run in runs)
                for test in TESTS)
            out.append(f"- Improvements in all {len(runs)} runs (the table shows the median "
                       f"Float run): {spread}")
        master_share = max_known(run["master_wait_share"] for run in runs)
        worker_share = max_known(run["worker_wait_share"] for run in runs)
        out += [f"- CPU share of the waiting master while workers run: "
                f"{percent(master_share)} of a core (highest of {len(runs)} run(s))",
                f"- CPU share of the busiest waiting worker while the master runs a baseline: "
                f"{percent(worker_share)} of a core (highest of {len(runs)} run(s))",
                f"- Harness overhead: {r['overhead']:.2f} s of {r['wall']:.2f} s wall time "
                f"({100 * share:.1f}%) outside the timed loops",
                "- Job start-up (the launcher's start to the master's first line): "
                + ", ".join(f"{run['startup']:.2f} s" for run in runs), ""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def main():
    global ITER
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build/release"),
                        help="a configured build: its program and its MPI's launcher")
    parser.add_argument("--binary", help="the program (default: the build's)")
    parser.add_argument("--mpiexec", help="its MPI's launcher (default: the build's)")
    parser.add_argument("--np", type=int, nargs="+", default=[2, (os.cpu_count() or 1) + 1])
    parser.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    parser.add_argument("--iterations", type=int, default=ITER, help="for the short build")
    parser.add_argument("--repeat", type=int, default=3, help="runs at each process count")
    parser.add_argument("launcher_flags", nargs="*", help="more flags for the launcher")
    args = parser.parse_args()
    ITER = args.iterations
    binary = os.path.realpath(args.binary or
                              os.path.join(args.build_dir, "processors64_mpi_mac0"))
    mpiexec = args.mpiexec or launchers.build_launcher(args.build_dir)
    if not mpiexec:
        print(f"bench.py: {args.build_dir}: not a configured build (no CMakeCache.txt "
              "naming MPIEXEC_EXECUTABLE); give --mpiexec", file=sys.stderr)
        return 2
    try:
        mpi = launchers.Launcher(mpiexec)
    except launchers.UnknownLauncher as error:
        print(f"bench.py: {error}", file=sys.stderr)
        return 2
    results = []
    for np in args.np:
        runs = []
        for attempt in range(1, args.repeat + 1):
            print(f"running {binary} under {mpiexec} at {np} processes "
                  f"({attempt} of {args.repeat}) ...", flush=True)
            load = os.getloadavg()[0]
            lines, sampler, wall, startup = run(mpi, binary, np, args.launcher_flags)
            runs.append(dict(analyse(lines, sampler, wall, np), load=load, startup=startup))
        results.append(runs)
    write_markdown(results, args.out, mpi)
    print(open(args.out).read())


if __name__ == "__main__":
    sys.exit(main())
