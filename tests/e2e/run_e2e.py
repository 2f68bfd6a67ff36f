#!/usr/bin/env python3
"""Runs the benchmark under its MPI launcher in a fresh directory and checks
the report.

    run_e2e.py --np 3 --iterations 8192 --cap 4 -- mpiexec -n 3 ... BINARY

Standard input is closed, so the final prompt ends at once. The run must exit
0, leave exactly one results file, print the expected report on the console
and in the file, and no rank but the master may write anything.
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile

import report  # beside this script
from processors64 import launchers


def run_job(command, directory, timeout, stdin=subprocess.DEVNULL):
    """Runs `command` (a launcher and its flags, then the program) in
    `directory`, with each rank's output also kept per rank under
    directory/ranks, so that silent workers can be checked. Returns the job
    with the console output as the user would see it."""
    mpi = launchers.Launcher(command[0])
    ranks = mpi.table.rank_output(os.path.join(directory, "ranks"))
    os.makedirs(os.path.join(directory, "ranks"))
    command = [command[0], *ranks, *command[1:]]
    job = subprocess.run(command, cwd=directory, stdin=stdin, capture_output=True,
                         timeout=timeout, text=True, errors="replace")
    job.stdout, job.stderr = mpi.console(command, job.stdout, job.stderr)
    return job


def rank_outputs(directory):
    """{rank: (stdout, stderr)} from the per-rank files of run_job."""
    return launchers.rank_outputs(os.path.join(directory, "ranks"))


def results_files(directory):
    """The results files in `directory`, without the run records beside them."""
    return [name for name in os.listdir(directory)
            if name.startswith("results_processors_lite_mac_clusters")
            and not name.endswith(".run.json")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--np", type=int, required=True, help="processes started")
    parser.add_argument("--cap", type=int, required=True, help="the master's process cap")
    parser.add_argument("--iterations", type=int, required=True)
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--host", default=socket.gethostname(), help="the master's host name")
    parser.add_argument("--worker-names", default="",
                        help="space-separated names of workers 1, 2, ... (default: --host)")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    nproc = min(args.np, args.cap)
    if args.worker_names and (os.geteuid() != 0 or
                              subprocess.run(["unshare", "--uts", "true"]).returncode != 0):
        print("SKIP: giving ranks their own host names needs root and unshare --uts")
        return 77

    with tempfile.TemporaryDirectory(prefix="p64e2e-") as directory:
        directory = os.path.realpath(directory)
        job = run_job(command, directory, args.timeout)
        failures = []
        if job.returncode != 0:
            failures.append(f"exit status {job.returncode}")
        files = results_files(directory)
        if len(files) != 1:
            failures.append(f"{len(files)} results files: {files!r}")
        else:
            with open(os.path.join(directory, files[0]), errors="replace") as f:
                file_text = f.read()
            try:
                values, names = report.check_report(job.stdout, file_text, files[0], directory,
                                                    nproc, args.iterations, args.host)
                expected = args.worker_names.split() or [args.host] * (nproc - 1)
                for key, found in names.items():
                    if found != expected[:nproc - 1]:
                        failures.append(f"{key}: worker names {found!r}, not {expected!r}")
            except report.ReportError as error:
                failures.append(str(error))
        outputs = rank_outputs(directory)
        for rank in range(1, args.np):
            out, err = outputs.get(rank, ("", ""))
            if out or err:
                failures.append(f"rank {rank} wrote {out + err!r}")
        master_err = outputs.get(0, ("", ""))[1]
        expect_note = args.np > args.cap
        if expect_note != bool(master_err):
            failures.append(f"master's standard error: {master_err!r}")
        if failures:
            print(job.stdout)
            print(job.stderr, file=sys.stderr)
            for failure in failures:
                print("FAIL:", failure)
            return 1
        print(job.stdout)
        print(f"e2e np{args.np}: report, results file and exit status as expected")
        return 0


if __name__ == "__main__":
    sys.exit(main())
