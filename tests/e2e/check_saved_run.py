#!/usr/bin/env python3
"""Checks the report of a run that has already happened.

    check_saved_run.py NP RUN_DIR CONSOLE_FILE [--cap N] [--iterations N] [--host H]
                       [--workers H1,H2,...] [--cut-short]
                       [--record --nodes H1,H2,... [--failed-node H] --launcher L
                        --binary B [--slurm-job ID --slurm-nodelist LIST]]

RUN_DIR is the master's working directory, which holds the results file;
CONSOLE_FILE the console output of the run. Used by the cluster tests.
--workers names the host of every worker in rank order; --cut-short checks
a run that was stopped: its results file holds the first lines of the
report, at least up to the process count, and the console is not read.
--record checks the run record beside the results file (scripts/recorded_run.sh):
the nodes named in order, each with this machine's CPU model (the simulated
nodes share it) or, for a --failed-node, an error; the MPI that launcher L
says it is; the build record of binary B; the Slurm job, where given.
"""

import argparse
import json
import os
import re
import sys

import report  # beside this script
from processors64 import launchers

RUN_KEYS = ["results_file", "started", "ended", "exit_status", "command", "processes", "mpi",
            "build", "slurm", "nodes"]
NODE_KEYS = ["host", "cpu_vendor", "cpu_model", "cpu_family", "cpu_model_number", "stepping",
             "microcode", "logical_cpus", "cores", "sockets", "numa_nodes", "smt", "hypervisor",
             "governor", "max_mhz", "memory_bytes", "kernel", "os"]
BUILD_KEYS = ["version", "commit", "build_type", "compiler", "flags", "mpi", "launcher"]
UTC_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


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
    parser.add_argument("--record", action="store_true")
    parser.add_argument("--nodes", default="", help="the job's nodes in order, comma-separated")
    parser.add_argument("--failed-node", action="append", default=[])
    parser.add_argument("--launcher")
    parser.add_argument("--binary")
    parser.add_argument("--build-record", help="the build record the run carries "
                        "(default: BINARY.build.json)")
    parser.add_argument("--slurm-job")
    parser.add_argument("--slurm-nodelist")
    args = parser.parse_args()
    nproc = min(args.np, args.cap)
    names = [n for n in os.listdir(args.run_dir)
             if n.startswith("results_processors_lite_mac_clusters") and n.endswith(".txt")]
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
        if args.record:
            check_run_record(args.run_dir, names[0], args)
    except report.ReportError as error:
        print("FAIL:", error)
        return 1
    print("report layout and numbers as expected" + (", and its run record" if args.record else ""))
    return 0


def check_cut_short(file_text, name, nproc, host):
    """The file of a stopped run: the report's lines so far, through "Thread(s):"."""
    report.check_file_name(name, host)
    written = report.expected_lines(nproc, True, ("", ""))[:file_text.count("\n")]
    if len(written) < 3:
        raise report.ReportError(f"the results file holds {len(written)} lines, "
                                 "not even the process count")
    report.match_lines(file_text, written, "results file")


def check_run_record(run_dir, results_name, args):
    """The run record beside the results file, named after it."""
    name = results_name[:-len(".txt")] + ".run.json"
    try:
        with open(os.path.join(run_dir, name)) as f:
            record = json.load(f)
    except (OSError, ValueError) as error:
        raise report.ReportError(f"run record {name!r}: {error}")
    expect(list(record) == RUN_KEYS, f"run record keys {list(record)}")
    expect(record["results_file"] == results_name, f"results_file {record['results_file']!r}")
    expect(record["exit_status"] == 0, f"exit_status {record['exit_status']}")
    expect(all(UTC_TIME.fullmatch(record[key] or "") for key in ("started", "ended"))
           and record["started"] <= record["ended"],
           f"started {record['started']!r}, ended {record['ended']!r}")
    expect(record["command"][-1] == args.binary, f"command {record['command']}")
    check_nodes(record["nodes"], args.nodes.split(","), args.failed_node)
    implementation, _, number = launchers.version(args.launcher).rpartition(" ")
    said = {"implementation": implementation, "version": number, "launcher": args.launcher}
    expect(record["mpi"] == said, f"mpi {record['mpi']}, the launcher says {said}")
    build_record = args.build_record or args.binary + ".build.json"
    with open(build_record) as f:
        build = json.load(f)
    expect(record["build"] == build, f"build {record['build']}, the binary's {build}")
    check_build(build, said, os.path.basename(build_record))
    if args.slurm_job:
        expect(record["slurm"] is not None and record["slurm"]["job_id"] == args.slurm_job
               and record["slurm"]["nodelist"] == args.slurm_nodelist, f"slurm {record['slurm']}")
    else:
        expect(record["slurm"] is None, f"slurm {record['slurm']} outside Slurm")


def check_nodes(nodes, hosts, failed):
    """One node record per host in order: this machine's CPU model, or the error."""
    expect([node.get("host") for node in nodes] == hosts,
           f"node records of {[node.get('host') for node in nodes]}, expected {hosts}")
    model = cpuinfo_model()
    for node in nodes:
        if node["host"] in failed:
            expect(node.get("error") and all(node[key] is None for key in NODE_KEYS[1:]),
                   f"the failed node's record {node}")
        else:
            expect(list(node) == NODE_KEYS and node["cpu_model"] == model,
                   f"node record {node}, expected cpu_model {model!r}")


def check_build(build, mpi, program):
    """The build record names the launcher's MPI and the program's own flags."""
    expect(list(build) == BUILD_KEYS, f"build record keys {list(build)}")
    expect(build["mpi"] == {"implementation": mpi["implementation"], "version": mpi["version"]}
           and build["launcher"] == mpi["launcher"], f"build record's MPI {build}")
    flags = build["flags"] or ""
    expect(("-DPROCESSORS64_SHORT_BUILD" in flags.split()) == ("_short" in program)
           and "-ffp-contract=off" in flags.split()
           and not re.search(r"(^| )(-I|-isystem|-o |-c )", flags), f"build flags {flags!r}")


def cpuinfo_model():
    """The first "model name" of /proc/cpuinfo, as it stands there."""
    with open("/proc/cpuinfo", errors="replace") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                return value[1:].rstrip("\n")
    return None


def expect(condition, what):
    if not condition:
        raise report.ReportError(f"run record: {what}")


def check_workers(hosts, expected):
    """Every worker line names the host its rank ran on."""
    for key, found in sorted(hosts.items()):
        if found != expected:
            raise report.ReportError(f"{key}: the workers ran on {found}, expected {expected}")


if __name__ == "__main__":
    sys.exit(main())
