#!/usr/bin/env python3
"""Checks the report of a run that has already happened.

    check_saved_run.py NP RUN_DIR CONSOLE_FILE [--cap N] [--iterations N] [--host H]

RUN_DIR is the master's working directory, which holds the results file;
CONSOLE_FILE the console output of the run. Used by the cluster test.
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
    args = parser.parse_args()
    names = [n for n in os.listdir(args.run_dir)
             if n.startswith("results_processors_lite_mac_clusters")]
    if len(names) != 1:
        print(f"FAIL: {len(names)} results files in {args.run_dir}")
        return 1
    with open(os.path.join(args.run_dir, names[0]), errors="replace") as f:
        file_text = f.read()
    with open(args.console, errors="replace") as f:
        console = f.read()
    try:
        report.check_report(console, file_text, names[0], os.path.realpath(args.run_dir),
                            min(args.np, args.cap), args.iterations, args.host)
    except report.ReportError as error:
        print("FAIL:", error)
        return 1
    print("report layout and numbers as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
