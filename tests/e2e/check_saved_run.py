#!/usr/bin/env python3
"""Checks the report of a run that has already happened.

    check_saved_run.py NP RUN_DIR CONSOLE_FILE [--cap N] [--iterations N] [--host H]
                       [--workers H1,H2,...] [--cut-short]
                       [--record --nodes H1,H2,... [--failed-node H] --launcher L
                        --binary B [--slurm-job ID --slurm-nodelist LIST]]
                       [--window --groups N --measured H1=W1,... [--failed-group G]
                        [--status S] [--side-by-side]]

RUN_DIR is the master's working directory, which holds the results file;
CONSOLE_FILE the console output of the run. Used by the cluster tests.
--workers names the host of every worker in rank order; --cut-short checks
a run that was stopped: its results file holds the first lines of the
report, at least up to the process count, and the console is not read.
--record checks the run record beside the results file (processors64-run):
the nodes named in order, each with this machine's CPU model (the simulated
nodes share it) or, for a --failed-node, an error; the MPI that launcher L
says it is; the build record of binary B; the Slurm job, where given.
--window checks a window of N jobs side by side instead (NP processes in
all): a run record per job in RUN_DIR, all of one window (the Slurm job's
id, where given) over the --nodes, each with its group's number; each job
that ended well has a results file named after its first node, whose
worker lines name the hosts its placement says; in all, each host has the
workers --measured gives it. --failed-group G is a job that failed: its
record holds its exit status and its results file, if any, is not read;
--status S is the window's, the first failed job's status (0: none failed).
--side-by-side: the jobs' run times overlap.

The checks are this file's tests, run by pytest on the run the command line
names (exit status 0 where all passed, 1 where one failed, 2 for a wrong
command line).
"""

import argparse
import json
import os
import re
import sys

import pytest

import report  # beside this script
from processors64 import build_record, launchers, run_record

UTC_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")
# The command line, for the tests (pytest runs them in this process).
ARGS = "P64_SAVED_RUN_ARGS"


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
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
    parser.add_argument("--window", action="store_true")
    parser.add_argument("--groups", type=int)
    parser.add_argument("--measured", default="", help="HOST=WORKERS of the window, comma-separated")
    parser.add_argument("--failed-group", type=int, action="append", default=[])
    parser.add_argument("--status", type=int)
    parser.add_argument("--side-by-side", action="store_true")
    return parser.parse_args(argv)


# ---- Fixtures: the run the command line names ------------------------------------

@pytest.fixture(scope="module")
def args():
    if ARGS not in os.environ:
        pytest.skip("no saved run named: run check_saved_run.py NP RUN_DIR CONSOLE_FILE ...")
    return parse(json.loads(os.environ[ARGS]))


@pytest.fixture(scope="module")
def results(args):
    """(the results file's name, its text): the run left exactly one."""
    if args.window:
        pytest.skip("a window: see its own checks")
    names = [n for n in os.listdir(args.run_dir)
             if n.startswith("results_processors_lite_mac_clusters") and n.endswith(".txt")]
    assert len(names) == 1, f"{len(names)} results files in {args.run_dir}"
    with open(os.path.join(args.run_dir, names[0]), errors="replace") as f:
        return names[0], f.read()


@pytest.fixture(scope="module")
def nproc(args):
    return min(args.np, args.cap)


@pytest.fixture(scope="module")
def hosts(args, results, nproc):
    """The report on the console and in the file, checked; {test: worker hosts}."""
    if args.cut_short:
        pytest.skip("a run cut short: its console is not read")
    with open(args.console, errors="replace") as f:
        console = f.read()
    _, found = report.check_report(console, results[1], results[0],
                                   os.path.realpath(args.run_dir), nproc, args.iterations,
                                   args.host)
    return found


@pytest.fixture(scope="module")
def record(args, results):
    """The run record beside the results file, named after it, of the format."""
    if not args.record:
        pytest.skip("no --record")
    path = os.path.join(args.run_dir, run_record.record_path(results[0]))
    record, warnings = run_record.load(path)
    assert not warnings, warnings
    return record


# ---- The report -------------------------------------------------------------------

def test_cut_short_file(args, results, nproc):
    """The file of a stopped run: the report's lines so far, through "Thread(s):"."""
    if not args.cut_short:
        pytest.skip("not cut short")
    name, text = results
    report.check_file_name(name, args.host)
    written = report.expected_lines(nproc, True, ("", ""))[:text.count("\n")]
    assert len(written) >= 3, f"the results file holds {len(written)} lines, not even the count"
    report.match_lines(text, written, "results file")


def test_report(hosts, nproc):
    """The console and the file have the report's layout, their numbers agree
    (the fixture checks both), and every test names a host per worker."""
    assert all(len(found) == nproc - 1 for found in hosts.values()), hosts


def test_workers(args, hosts):
    """Every worker line names the host its rank ran on."""
    if not args.workers:
        pytest.skip("no --workers")
    for key, found in sorted(hosts.items()):
        assert found == args.workers.split(","), f"{key}: the workers ran on {found}"


# ---- The run record -----------------------------------------------------------------

def test_record_of_the_run(args, results, record):
    assert list(record) == list(run_record.RUN_KEYS)
    assert record["results_file"] == results[0]
    assert record["results_file_note"] is None
    assert record["exit_status"] == 0
    assert UTC_TIME.fullmatch(record["started"]) and UTC_TIME.fullmatch(record["ended"])
    assert record["started"] <= record["ended"]
    assert record["command"][-1] == args.binary


def test_record_nodes(args, record):
    """One node record per host in order: this machine's CPU model, or the error."""
    assert [node.get("host") for node in record["nodes"]] == args.nodes.split(",")
    model = cpuinfo_model()
    for node in record["nodes"]:
        if node["host"] in args.failed_node:
            assert node.get("error") and all(node[key] is None for key in run_record.NODE_KEYS[1:])
        else:
            assert list(node) == list(run_record.NODE_KEYS) and node["cpu_model"] == model


@pytest.fixture(scope="module")
def mpi(args):
    """The MPI the launcher says it is."""
    implementation, _, number = launchers.version(args.launcher).rpartition(" ")
    return {"implementation": implementation, "version": number, "launcher": args.launcher}


def test_record_mpi_and_build(args, record, mpi):
    assert record["mpi"] == mpi
    path = args.build_record or args.binary + build_record.SUFFIX
    with open(path) as f:
        build = json.load(f)
    assert record["build"] == build
    # The build record names the launcher's MPI, the program's own flags and
    # its master's cap.
    assert list(build) == list(build_record.KEYS)
    assert build["mpi"] == {"implementation": mpi["implementation"], "version": mpi["version"]}
    assert build["launcher"] == mpi["launcher"]
    flags = (build["flags"] or "").split()
    short = "_short" in os.path.basename(path)
    assert ("-DPROCESSORS64_SHORT_BUILD" in flags) == short
    assert build["cap"] == (4 if short else 512)
    assert "-ffp-contract=off" in flags
    assert not re.search(r"(^| )(-I|-isystem|-o |-c )", build["flags"] or "")


def test_record_slurm(args, record):
    if args.slurm_job:
        assert record["slurm"] is not None
        assert record["slurm"]["job_id"] == args.slurm_job
        assert record["slurm"]["nodelist"] == args.slurm_nodelist
    else:
        assert record["slurm"] is None, "outside Slurm"


# ---- A window of jobs side by side ---------------------------------------------------

@pytest.fixture(scope="module")
def window(args):
    """The run records of the window's jobs, in group order."""
    if not args.window:
        pytest.skip("no --window")
    records = []
    for name in sorted(os.listdir(args.run_dir)):
        if name.endswith(run_record.RECORD_SUFFIX):
            record, warnings = run_record.load(os.path.join(args.run_dir, name))
            assert not warnings, warnings
            records.append(record)
    return sorted(records, key=lambda record: record["window"]["group"])


def test_window_records(args, window, mpi):
    """One record per job, of one window, in the schema's order of keys."""
    assert len(window) == args.groups
    ids = {record["window"]["id"] for record in window}
    assert ids == ({args.slurm_job} if args.slurm_job else ids) and len(ids) == 1
    for number, record in enumerate(window, start=1):
        assert list(record) == list(run_record.RUN_KEYS)
        assert record["window"] == {"id": record["window"]["id"], "group": number,
                                    "groups": args.groups, "nodes": args.nodes.split(",")}
        assert record["mpi"] == mpi and record["command"][-1] == args.binary
        with open(args.build_record or args.binary + build_record.SUFFIX) as f:
            assert record["build"] == json.load(f)
        assert (record["slurm"] or {}).get("job_id") == args.slurm_job
        assert (record["exit_status"] != 0) == (number in args.failed_group)
        # Its nodes: its placement's, in window order, each with its inventory.
        hosts = [place["host"] for place in record["placement"]]
        assert hosts == [node for node in args.nodes.split(",") if node in hosts]
        assert [node["host"] for node in record["nodes"]] == [
            place["host"] for place in record["placement"] if place["workers"]]
        assert all(node["cpu_model"] == cpuinfo_model() for node in record["nodes"])
    assert sum(record["processes"] for record in window) == args.np
    if args.status is not None:
        failed = [record["exit_status"] for record in window if record["exit_status"] != 0]
        assert (failed or [0])[0] == args.status


def test_window_results(args, window):
    """Every job that ended well has a results file of its master's node,
    whose worker lines name the hosts its placement gives workers; in all,
    every node has the workers --measured gives it."""
    measured = {}
    for record in window:
        placement = record["placement"]
        assert all(place["collected"] == place["workers"] <= place["cpus"] for place in placement)
        if record["window"]["group"] in args.failed_group:
            continue
        name = record["results_file"]
        assert name and name.endswith(f" @ {placement[0]['host']}.txt"), name
        with open(os.path.join(args.run_dir, name), errors="replace") as f:
            values, names = report.match_lines(f.read(), report.expected_lines(
                record["processes"], True, report.FILE_END), name)
        report.check_numbers(values, record["processes"], args.iterations)
        expected = {place["host"]: place["workers"] for place in placement if place["workers"]}
        for key, hosts in names.items():
            assert {host: hosts.count(host) for host in hosts} == expected, f"{name}: {key}"
        for host, workers in expected.items():
            measured[host] = measured.get(host, 0) + workers
    assert measured == {host: int(count) for host, count in
                        (pair.split("=") for pair in args.measured.split(","))}


def test_window_side_by_side(args, window):
    """Every job started before any ended (to the second)."""
    if not args.side_by_side:
        pytest.skip("no --side-by-side")
    assert max(record["started"] for record in window) < min(record["ended"] for record in window)


def cpuinfo_model():
    """The first "model name" of /proc/cpuinfo, as it stands there."""
    with open("/proc/cpuinfo", errors="replace") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                return value[1:].rstrip("\n")
    return None


def main(argv):
    parse(argv)  # a wrong command line: its usage, exit 2
    os.environ[ARGS] = json.dumps(argv)
    status = pytest.main(["-q", "-p", "no:cacheprovider", "-rs", "--no-header",
                          "-o", "console_output_style=classic", __file__])
    return 0 if status in (pytest.ExitCode.OK, pytest.ExitCode.NO_TESTS_COLLECTED) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
