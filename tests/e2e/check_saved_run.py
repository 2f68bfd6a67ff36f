#!/usr/bin/env python3
"""Checks the report of a run that has already happened.

    check_saved_run.py NP RUN_DIR CONSOLE_FILE [--cap N] [--iterations N] [--host H]
                       [--workers H1,H2,...] [--cut-short]

RUN_DIR is the master's working directory, which holds the results file;
CONSOLE_FILE the console output of the run. Used by the cluster tests.
--workers names the host of every worker in rank order; --cut-short checks
a run that was stopped: its results file holds the first lines of the
report, at least up to the process count, and the console is not read.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("np", type=int)
    parser.add_argument("run_dir")
    parser.add_argument("console")
    parser.add_argument("--cap", type=int, default=4)
    parser.add_argument("--iterations", type=int, default=8192)
    parser.add_argument("--host", default="node1")
    parser.add_argument("--workers", help="host of each worker in rank order, comma-separated")
    parser.add_argument("--cut-short", action="store_true")
    args = parser.parse_args()
    nproc = min(args.np, args.cap)
    names = [n for n in os.listdir(args.run_dir)
             if n.startswith("results_processors_lite_mac_clusters")]
    if len(names) != 1:
        print(f"FAIL: {len(names)} results files in {args.run_dir}")
        return 1
    with open(os.path.join(args.run_dir, names[0]), errors="replace") as f:
        file_text = f.read()
    try:
        if args.cut_short:
            check_cut_short(file_text, names[0], nproc, args.host)
            print(f"the results file holds the report's first {file_text.count(chr(10))} lines")
            return 0
        with open(args.console, errors="replace") as f:
            console = f.read()
        _, hosts = report.check_report(console, file_text, names[0],
                                       os.path.realpath(args.run_dir), nproc,
                                       args.iterations, args.host)
        if args.workers:
            check_workers(hosts, args.workers.split(","))
    except report.ReportError as error:
        print("FAIL:", error)
        return 1
    print("report layout and numbers as expected")
    return 0


def check_cut_short(file_text, name, nproc, host):
    """The file of a stopped run: the report's lines so far, through "Thread(s):"."""
    report.check_file_name(name, host)
    written = report.expected_lines(nproc, True, ("", ""))[:file_text.count("\n")]
    if len(written) < 3:
        raise report.ReportError(f"the results file holds {len(written)} lines, "
                                 "not even the process count")
    report.match_lines(file_text, written, "results file")


def check_workers(hosts, expected):
    """Every worker line names the host its rank ran on."""
    for key, found in sorted(hosts.items()):
        if found != expected:
            raise report.ReportError(f"{key}: the workers ran on {found}, expected {expected}")


if __name__ == "__main__":
    sys.exit(main())
