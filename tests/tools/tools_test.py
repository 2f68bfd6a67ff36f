"""The results tool, tools/results.py, run as users run it. One test a group
(CTest runs each: python3 -m pytest tools_test.py::test_GROUP):

    test_real --job=mpirun --job=-np --job=4 ... --job=BINARY
                        results files of the short build
    test_cluster --cluster-run DIR
                        ... across the three-node cluster (the cluster test's cases)
    test_made_up        512 processes, one slow host
    test_records        the run record beside a results file
    test_plot           charts, and plot without matplotlib
    test_history        each host across weekly made-up runs
    test_prometheus     metrics, checked by promtool and served by the node exporter

A group that cannot run here is skipped (the cluster needs the cluster
test's cases; plot needs an interpreter with matplotlib; prometheus needs
promtool and the node exporter), and pytest's exit status is then 77.
"""

import calendar
import csv
import io
import json
import math
import os
import random
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

import pytest

import report  # tests/e2e, on PYTHONPATH
import made_up
from processors64 import forms, history, model, prometheus, reading
from run_e2e import results_files, run_job

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
TOOL = os.path.join(ROOT, "tools", "results.py")

COLUMNS = "file,test,rank,host,seconds,rate,form,slow,window,group"
COMPARE_COLUMNS = "test,host,old_rate,new_rate,ratio,changed"
HISTORY_COLUMNS = "window,test,host,windows,median_rate,latest_rate,change,degraded"
TESTS = ("Float", "Integer", "Logic")


def tool(*args, env=None):
    """Runs the tool as a user would: the executable, its own interpreter."""
    job = subprocess.run([TOOL, *args], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, env=env, timeout=120)
    assert "Traceback" not in job.stderr, f"{args[0]}: a traceback: {job.stderr}"
    return job


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def expect_one_error(job, shown_name, what, words):
    """Exit 2 and one line on standard error naming the file, escaped."""
    lines = job.stderr.splitlines()
    assert job.returncode == 2, f"{what}: exit status {job.returncode}, not 2"
    assert len(lines) == 1, f"{what}: {len(lines)} lines on standard error: {job.stderr!r}"
    assert lines and shown_name in lines[0] and words in lines[0], (
        f"{what}: the message {job.stderr!r} does not name {shown_name!r} with {words!r}")


def expect_records(rows, values, names, nproc, host, what):
    """The exported records are the report's numbers, with the right forms."""
    assert len(rows) == 3 * nproc, f"{what}: {len(rows)} records, not {3 * nproc}"
    for test in TESTS:
        mine = [row for row in rows if row["test"] == f"{test} Streaming"]
        assert [int(row["rank"]) for row in mine] == list(range(nproc)), (
            f"{what}: {test} ranks {[row['rank'] for row in mine]}")
        rates = [float(row["rate"]) for row in mine]
        seconds = [float(row["seconds"]) for row in mine]
        assert rates == values[f"{test}_single_rate"] + values[f"{test}_rate"], (
            f"{what}: {test} rates {rates}")
        assert seconds == values[f"{test}_single_time"] + values[f"{test}_time"], (
            f"{what}: {test} seconds {seconds}")
        assert [row["host"] for row in mine] == [host] + names[f"{test}_rate"], (
            f"{what}: {test} hosts {[row['host'] for row in mine]}")
        forms = [row["form"] for row in mine]
        special = "common" if test == "Logic" else "exponent-1"
        assert forms == ["baseline", special] + ["common"] * (nproc - 2), (
            f"{what}: {test} forms {forms}")
        slow = [row["rank"] for row in mine if row["slow"] == "true"]
        assert slow == expected_slow(mine), f"{what}: {test} slow ranks {slow}"


def expected_slow(rows):
    """The ranks more than 10% below the median of the workers of their form,
    for forms of three workers or more."""
    slow = []
    for form in {row["form"] for row in rows} - {"baseline"}:
        rates = sorted(float(row["rate"]) for row in rows if row["form"] == form)
        if len(rates) >= 3:
            middle = len(rates) // 2
            median = rates[middle] if len(rates) % 2 else (rates[middle - 1] + rates[middle]) / 2
            slow += [row["rank"] for row in rows
                     if row["form"] == form and float(row["rate"]) < 0.9 * median]
    return sorted(slow, key=int)


def cut_copies(directory, text, name):
    """Copies of a report that stop early: (path, test it ends in, workers
    of Float Streaming still there)."""
    lines = text.split("\n")
    float_worker = lines.index(next(l for l in lines if l.startswith("Thread:2 @")))
    integer = lines.index("Integer Streaming.")
    logic = lines.index("Logic Streaming.")
    cuts = [
        ("inside Float Streaming", "\n".join(lines[:float_worker]) + "\n" + lines[float_worker][:12]),
        ("before Integer Streaming", "\n".join(lines[:integer]) + "\n"),
        ("inside Logic Streaming", "\n".join(lines[:logic + 3]) + "\n"),
    ]
    paths = []
    for number, (where, cut) in enumerate(cuts):
        path = os.path.join(directory, f"cut {number}\n{name}")
        with open(path, "w") as f:
            f.write(cut)
        paths.append((path, where))
    return paths


def check_real_file(directory, results_path, console_path, values, names, nproc, host):
    """Every sub-command on one real results file and its console log."""
    shown = os.path.basename(results_path).replace("\n", "\\n")

    job = tool("summary", results_path)
    assert job.returncode == 0 and not job.stderr, f"summary: {job.returncode} {job.stderr!r}"
    out = job.stdout
    assert shown in out, "summary: the file is not named, escaped"
    assert f"time zone UTC, master {host}, {nproc} processes ({nproc - 1} workers)" in out, (
        f"summary: no run line: {out}")
    for test in TESTS:
        row = (f"{test} Streaming", values[f"{test}_single_rate"][0],
               values[f"{test}_overall"][0], values[f"{test}_ratio"][0],
               values[f"{test}_mean"][0])
        assert (any(line.split() == [row[0].split()[0], "Streaming"] + [f"{v:g}" for v in row[1:]]
                   for line in out.splitlines())), f"summary: no line {row} in {out}"

    job = tool("export", "--format", "csv", results_path)
    assert job.stdout.split("\n", 1)[0] == COLUMNS, f"csv header: {job.stdout[:80]!r}"
    rows = csv_rows(job.stdout)
    assert all(row["file"] == results_path for row in rows), "csv: the file column"
    window = {(row["window"], row["group"]) for row in rows}
    assert len(window) == 1 and window.pop()[1] == "1", f"csv: one window, group 1: {window}"
    expect_records(rows, values, names, nproc, host, "csv of the results file")
    assert ("slow workers: none" in out) == (not any(row["slow"] == "true" for row in rows)), (
        f"summary: slow workers unlike the export's: {out}")

    job = tool("export", "--format", "json", results_path)
    document = json.loads(job.stdout)
    records = [{k: str(v).lower() if isinstance(v, bool) else v for k, v in r.items()}
               for r in document["records"]]
    assert (len(records) == len(rows) and all(
        float(r["rate"]) == float(row["rate"]) and r["form"] == row["form"] and
        r["slow"] == row["slow"] and r["host"] == row["host"] for r, row in zip(records, rows))), (
        "json: the records differ from the csv's")
    run = document["runs"][0]
    assert (run["processes"] == nproc and run["complete"] and run["master"] == host and
           run["time_zone"] == "UTC"), f"json: run summary {run}"
    assert ([t["improvement"] for t in run["tests"]] ==
           [values[f"{test}_ratio"][0] for test in TESTS]), "json: improvements"

    job = tool("export", "--format", "csv", console_path)
    console_rows = csv_rows(job.stdout)
    assert job.returncode == 0, f"console log: exit {job.returncode} {job.stderr!r}"
    expect_records(console_rows, values, names, nproc, host, "csv of the console log")

    job = tool("compare", "--format", "csv", results_path, console_path)
    lines = job.stdout.splitlines()
    assert lines[:1] == [COMPARE_COLUMNS], f"compare csv header: {lines[:1]}"
    assert len(lines) > 3 and all(line.endswith(",1.0000,false") for line in lines[1:]), (
        f"compare of a run with its own console log: {lines}")

    for path, where in cut_copies(directory, open(results_path).read(),
                                  os.path.basename(results_path)):
        what = f"a file that ends {where}"
        job = tool("export", "--format", "csv", path)
        assert job.returncode == 0, f"{what}: exit status {job.returncode}"
        warning = job.stderr.splitlines()
        assert (len(warning) == 1 and "warning" in warning[0] and where in warning[0] and
               path.replace("\n", "\\n") in warning[0]), f"{what}: warning {job.stderr!r}"
        rows = csv_rows(job.stdout)
        float_rows = [row for row in rows if row["test"] == "Float Streaming"]
        assert len(float_rows) == (2 if where.startswith("inside Float") else nproc), (
            f"{what}: {len(float_rows)} Float records")
        assert all(float(row["rate"]) > 0 for row in rows), f"{what}: records {rows}"

    check_bad_files(directory, results_path)


def check_bad_files(directory, good):
    """Bad input: one line naming the file, exit status 2, never a traceback."""
    empty = os.path.join(directory, "empty\nfile .txt")
    open(empty, "w").close()
    other = os.path.join(directory, "not results.txt")
    with open(other, "w") as f:
        f.write("just some text\n")
    broken = os.path.join(directory, "broken\nreport.txt")
    with open(good) as f:
        text = f.read()
    with open(broken, "w") as f:
        f.write(text.replace("Multi-Thread Enabled:", "Multi-Thread Disabled:", 1))
    missing = os.path.join(directory, "no such\nfile")
    nothing = os.path.join(directory, "no\nresults")
    os.mkdir(nothing)
    cases = [(empty, "empty file"), (other, "not a results file"),
             (broken, "is 'Multi-Thread Disabled:'"),
             (missing, "No such file"), (nothing, "no results file, run record or window manifest in this")]
    for path, words in cases:
        for command in (["summary"], ["export", "--format", "csv"], ["plot", "--out", directory]):
            job = tool(*command, path)
            if command[0] == "plot" and "matplotlib" in job.stderr:
                continue
            expect_one_error(job, path.replace("\n", "\\n"), f"{command[0]} of {path!r}", words)
    job = tool("summary", empty, good)
    assert job.returncode == 2 and "Float Streaming" in job.stdout, (
        "a bad file beside a good one: the good one is still read, exit status 2")
    job = tool("compare", good, missing)
    expect_one_error(job, "no such\\nfile", "compare with a missing file", "No such file")
    job = tool("summary", "--slow", "abc", good)
    assert job.returncode == 2 and len(job.stderr.splitlines()) == 1, (
        f"a bad option: {job.returncode} {job.stderr!r}")


def test_real(pytestconfig):
    """The short build at 4 processes on this machine."""
    command = pytestconfig.getoption("job")
    if not command:
        pytest.skip("no job to run: --job=mpirun --job=-np ... --job=BINARY")
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        directory = os.path.realpath(directory)
        job = run_job(command, directory, 120)
        files = results_files(directory)
        assert job.returncode == 0 and len(files) == 1, (
            f"the short build: exit {job.returncode}, files {files}: {job.stderr}")
        path = os.path.join(directory, files[0])
        values, names = report.check_report(job.stdout, open(path).read(), files[0], directory,
                                            4, 8192)
        console = os.path.join(directory, "console log.txt")
        with open(console, "w") as f:
            f.write(job.stdout)
        host = report.FILE_NAME.match(files[0]).group("host")
        check_real_file(directory, path, console, values, names, 4, host)


@pytest.fixture
def cluster_run(pytestconfig):
    """The directory where the cluster test (tests/cluster/cluster_test.sh)
    left its cases, skipped where it has none (the cluster could not be
    made here)."""
    work = pytestconfig.getoption("cluster_run")
    if not work or not os.path.isdir(os.path.join(work, "three_nodes", "run")):
        pytest.skip(f"no cluster run in {work} (the cluster test did not run): --cluster-run")
    return work


def test_cluster(cluster_run, tmp_path):
    """The short build across the simulated three-node cluster."""
    work = cluster_run
    run_dir = os.path.join(work, "three_nodes", "run")
    name = results_files(run_dir)[0]
    path = os.path.join(run_dir, name)
    console = os.path.join(work, "three_nodes", "console.txt")
    values, names = report.check_report(open(console).read(), open(path).read(), name,
                                        os.path.realpath(run_dir), 3, 8192, "node1")
    assert names["Float_rate"] == ["node2", "node3"], f"cluster hosts {names}"
    check_real_file(str(tmp_path), path, console, values, names, 3, "node1")
    job = tool("summary", path)
    assert "    node2  1 (1);" in job.stdout and "    node3  1 (2);" in job.stdout, (
        f"summary: no line per host: {job.stdout}")
    # The run record the cluster run wrote beside its results file.
    with open("/proc/cpuinfo") as f:
        model = next(line.split(":", 1)[1].strip() for line in f
                     if line.startswith("model name"))
    assert (not job.stderr and any(line.startswith(f"  CPU {model}") and
                                  line.endswith(": node1, node2, node3")
                                  for line in job.stdout.splitlines())), (
        f"summary: the CPU of node1 to node3 from the run record: {job.stderr}{job.stdout}")

    # The second run starts 6 ranks for a cap of 4: its console log
    # begins with mpirun's job map and its workers share node2.
    console = os.path.join(work, "two_per_node", "console.txt")
    rows = csv_rows(tool("export", "--format", "csv", console).stdout)
    hosts = [row["host"] for row in rows if row["test"] == "Logic Streaming"]
    assert hosts == ["node1", "node1", "node2", "node2"], f"6 ranks, cap 4: hosts {hosts}"


def test_made_up():
    """512 processes on 64 nodes: one slow node; ranks 1 and 10 as slow as
    their forms are on some processors; a comparison with a later run."""
    hosts = made_up.cluster_hosts(64, 8)[:512]
    slow_ranks = [rank for rank in range(1, 512) if hosts[rank] == "node5"]
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        rates = made_up.worker_rates(hosts, slow_hosts=("node5",),
                                          special={1: 1 / 25, 10: 1 / 25})
        path = made_up.write_run(directory, hosts, rates)
        # The made-up file passes the program's own checks.
        values, _ = report.match_lines(open(path).read(),
                                       report.expected_lines(512, True, report.FILE_END), "file")
        report.check_numbers(values, 512, made_up.ITERATIONS)

        rows = csv_rows(tool("export", "--format", "csv", path).stdout)
        assert len(rows) == 3 * 512, f"512 processes: {len(rows)} records"
        for test in TESTS:
            mine = [row for row in rows if row["test"] == f"{test} Streaming"]
            slow = [int(row["rank"]) for row in mine if row["slow"] == "true"]
            assert slow == slow_ranks, f"{test}: slow ranks {slow}, not node5's {slow_ranks}"
            forms = {int(row["rank"]): row["form"] for row in mine if row["form"] != "common"}
            expected = {0: "baseline"} if test == "Logic" else {
                0: "baseline", 1: "exponent-1", 10: "sine-factor-minus-inf", 11: "sine-factor-0"}
            assert forms == expected, f"{test}: forms {forms}"
        out = tool("summary", path).stdout
        assert "Float Streaming @node5: ranks 33-40:" in out, f"summary of the slow node: {out}"
        assert "rank 1:" not in out and "rank 10:" not in out, "ranks 1 and 10 called slow"
        rows = csv_rows(tool("export", "--format", "csv", "--slow", "40", path).stdout)
        assert not any(row["slow"] == "true" for row in rows), "--slow 40 still finds some"

        # Host names with blanks are read line by line, with the same result.
        spaced = [host.replace("node", "node ") for host in hosts]
        spaced_path = made_up.write_run(os.path.join(directory), spaced, rates,
                                             made_up.datetime(2026, 12, 9, 1, 2, 3))
        spaced_rows = csv_rows(tool("export", "--format", "csv", spaced_path).stdout)
        assert ([row["host"] for row in spaced_rows] == [r["host"].replace("node", "node ")
                                                        for r in csv_rows(tool(
                                                            "export", "--format", "csv",
                                                            path).stdout)]), (
            "host names with blanks")

        # A later run in which node7 lost a fifth of its speed.
        later = made_up.worker_rates(hosts, seed=2, slow_hosts=("node7",), slow_factor=0.8)
        later_path = made_up.write_run(directory, hosts, later,
                                            made_up.datetime(2026, 12, 8, 9, 0, 0))
        out = tool("compare", "--format", "csv", path, later_path).stdout
        rows = csv_rows(out)
        assert out.split("\n", 1)[0] == COMPARE_COLUMNS, f"compare header {out[:60]!r}"
        assert len(rows) == 3 * 64, f"compare: {len(rows)} rows, not one per test and host"
        changed = sorted({row["host"] for row in rows if row["changed"] == "true"})
        assert changed == ["node5", "node7"], f"compare: changed hosts {changed}"
        node7 = [float(row["ratio"]) for row in rows if row["host"] == "node7"]
        assert all(0.75 < ratio < 0.85 for ratio in node7), f"compare: node7 ratios {node7}"
        rows = csv_rows(tool("compare", "--format", "csv", "--threshold", "50",
                             path, later_path).stdout)
        assert not any(row["changed"] == "true" for row in rows), "--threshold 50"
        out = tool("compare", path, later_path).stdout
        assert "Float Streaming    node7" in out, f"compare as text: {out[:300]}"


def record_of(path):
    return path[:-len(".txt")] + ".run.json"


def test_records():
    """Run records beside made-up results files: summary names the CPUs, MPI
    and build, compare what differs, export json carries the record; a record
    that cannot be read is one warning and the results are read without it."""
    hosts = made_up.cluster_hosts(3, 2)
    xeon = "Intel(R) Xeon(R) Gold 6248 CPU @ 2.50GHz"
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        old = made_up.write_run(directory, hosts, made_up.worker_rates(hosts))
        failed = dict.fromkeys(made_up.node_record("node3"), None)
        failed.update(host="node3", error="no answer within 60 s")
        old_record = made_up.write_record(old, hosts, {"node3": failed},
                                               build={"commit": "0cb595f-dirty"})
        new = made_up.write_run(directory, hosts, made_up.worker_rates(hosts, seed=2),
                                     made_up.datetime(2026, 12, 9, 1, 2, 3))
        made_up.write_record(new, hosts, {"node2": made_up.node_record(
            "node2", xeon, "0x5003604")}, ("MPICH", "4.0.2"), {"commit": None})
        plain = os.path.join(directory, "plain")  # the same results files without records
        os.mkdir(plain)
        plain_old, plain_new = (shutil.copy(path, plain) for path in (old, new))

        lines = tool("summary", old).stdout.splitlines()
        for line in ("  CPU AMD EPYC 7B13, microcode 0xa0011d1: node1, node2",
                     "  node3: no node record (no answer within 60 s)",
                     "  MPI Open MPI 4.1.4, launcher /usr/bin/mpiexec.openmpi",
                     "  build: compiler GNU 12.2.0, flags -O3 -DNDEBUG -Wall -Wextra "
                     "-ffp-contract=off, commit 0cb595f-dirty"):
            assert line in lines, f"summary: no line {line!r} in {lines}"
        out = tool("summary", new, plain_new).stdout
        assert (f"  CPU {xeon}, microcode 0x5003604: node2" in out and
               "commit not from a git checkout" in out and "run record: none" in out), (
            f"summary of the later run and of one without a record: {out}")
        alone = os.path.join(directory, "alone")  # one process: the master, no worker
        os.mkdir(alone)
        alone = made_up.write_run(alone, ["node1"], made_up.worker_rates(["node1"]))
        made_up.write_record(alone, ["node1"])
        job = tool("summary", alone)
        assert (job.returncode == 0 and "  CPU AMD EPYC 7B13, microcode 0xa0011d1: node1" in
               job.stdout), f"summary of one process with a record: {job.stderr}{job.stdout}"

        out = tool("compare", old, new).stdout
        before_table = out[:out.find("median rate of each host")]
        for words in (f"node2: CPU model AMD EPYC 7B13 -> {xeon}",
                      "MPI Open MPI 4.1.4 (/usr/bin/mpiexec.openmpi) -> MPICH 4.0.2",
                      "commit 0cb595f-dirty -> not from a git checkout"):
            assert words in before_table, f"compare: {words!r} not before the table: {out}"
        assert "\nnode1" not in before_table, f"compare: node1 did not change: {before_table}"
        out = tool("compare", plain_old, new).stdout
        assert ("the old window has a run without a run record" in out and
                "new window has" not in out), (
            f"compare with a run without a record: {out}")
        out = tool("compare", new, new).stdout
        assert "records show no difference" in out, f"compare of a run with itself: {out}"
        assert (tool("compare", "--format", "csv", old, new).stdout == tool(
            "compare", "--format", "csv", plain_old, plain_new).stdout), (
            "compare --format csv changes with a run record")
        runs = json.loads(tool("export", old, plain_new).stdout)["runs"]
        assert runs[0]["record"] == old_record and runs[1]["record"] is None, (
            f"export json: the records {[run['record'] for run in runs]}")

        # results_* names each results file and its record; a record alone
        # stands for its results file; the record of a job that made none
        # (here, started with the old run) is a failed job of its window.
        nothing = os.path.join(directory, "processors64-run-20261208T070357Z-node1.run.json")
        with open(nothing, "w") as f:
            json.dump(dict(old_record, results_file=None, exit_status=1), f)
        for command in (["summary"], ["export", "--format", "csv"], ["compare"]):
            alone = tool(*command, old, new)
            for named in ([record_of(old), old, record_of(new), new],
                          [record_of(old), nothing, record_of(new)]):
                job = tool(*command, *named)
                out = job.stdout
                if nothing in named:  # its window starts when that job did
                    out = out.replace("07:03:50", "07:03:57")
                if nothing in named and command == ["summary"]:
                    failed = f"  failed job: {nothing}: exit status 1, no results file\n"
                    assert failed in out and "2 jobs (masters node1; 1 failed)" in out, out
                    out = out.replace(failed, "").replace("2 jobs (masters node1; 1 failed)",
                                                          "1 job (masters node1)")
                assert (out == alone.stdout and job.returncode == 0 and not job.stderr), (
                    f"{command[0]} of {named}: {job.returncode} {job.stderr!r}")
        assert "failed_jobs" in json.loads(tool("export", directory).stdout)

        # A record that cannot be read: one warning naming it, read without it.
        bad = {"bad\njson": '{"nodes": [\n', "nodes\nnot a list": json.dumps(
            dict(old_record, nodes={"node1": made_up.node_record("node1")}))}
        for name, text in bad.items():
            path = shutil.copy(old, os.path.join(directory, name + ".txt"))
            with open(record_of(path), "w") as f:
                f.write(text)
            for command in (["summary"], ["export"], ["compare", new]):
                job = tool(*command, path)
                warning = job.stderr.splitlines()
                assert (job.returncode == 0 and len(warning) == 1 and "warning" in warning[0] and
                       record_of(path).replace("\n", "\\n") + ": " in warning[0] and
                       "Float Streaming" in job.stdout), (
                    f"{command[0]} beside a record {name!r}: {job.returncode} {job.stderr!r}")

        # A console log has no record beside it, whatever its name.
        console = os.path.join(directory, "console.txt")
        with open(console, "w") as f:
            f.write(made_up.report_text(hosts, made_up.worker_rates(hosts), False))
        made_up.write_record(console, hosts)
        runs = json.loads(tool("export", console).stdout)["runs"]
        assert runs and runs[0]["record"] is None, f"a console log's record: {runs}"


def has_matplotlib(python):
    return shutil.which(python) and subprocess.run(
        [python, "-c", "import matplotlib"], capture_output=True).returncode == 0


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def test_plot():
    """A chart of each run and the history of several, as PNGs."""
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        hosts = made_up.cluster_hosts(4, 3)
        paths = made_up.write_runs(directory, 3, hosts, slow_hosts=("node2",))
        made_up.write_record(paths[0], hosts)  # its chart's title names CPU and MPI

        # Without matplotlib anywhere: how to install it, exit 2.
        fake = os.path.join(directory, "fake")
        os.makedirs(os.path.join(fake, "matplotlib"))
        with open(os.path.join(fake, "matplotlib", "__init__.py"), "w") as f:
            f.write("raise ImportError('no matplotlib here')\n")
        env = dict(os.environ, PYTHONPATH=fake)
        job = tool("plot", "--out", directory, paths[0], env=env)
        assert (job.returncode == 2 and "python3-matplotlib" in job.stderr and
               len(job.stderr.splitlines()) == 1), f"plot without matplotlib: {job.stderr!r}"
        for command in (["summary"], ["export"]):
            job = tool(*command, paths[0], env=env)
            assert job.returncode == 0, f"{command[0]} without matplotlib: {job.stderr!r}"

        if not (has_matplotlib(sys.executable) or has_matplotlib("python3") or
                has_matplotlib("/usr/bin/python3")):
            pytest.skip("no Python here has matplotlib (apt-get install python3-matplotlib)")
        out = os.path.join(directory, "charts")
        job = tool("plot", "--out", out, *paths)
        assert job.returncode == 0, f"plot: exit {job.returncode}: {job.stderr}"
        charts = job.stdout.split()
        assert (len(charts) == 7 and charts[3].endswith("-history.png") and
               [chart.rsplit("-", 2)[1] for chart in charts[4:]] == ["float", "integer", "logic"]
               and all(chart.endswith("-heatmap.png") for chart in charts[4:])), (
            f"plot: one chart per run, one history and a heatmap per test: {charts}")
        for chart in charts:
            size = png_size(chart) if os.path.exists(chart) else None
            assert size is not None and size[0] >= 800, f"{chart}: a PNG {size} wide"

def subdir(directory, name):
    path = os.path.join(directory, name)
    os.makedirs(path, exist_ok=True)
    return path


def history_rows(*args):
    job = tool("history", "--format", "csv", *args)
    assert job.stdout.startswith(HISTORY_COLUMNS + "\n"), f"history csv: {job.stdout[:80]!r}"
    return csv_rows(job.stdout)


def degraded(rows):
    return sorted({row["host"] for row in rows if row["degraded"] == "true"})


def test_history_cells_and_medians():
    """The history table's cells, made in bulk for thousands of hosts, are
    cell() of each rate against the row's reference, whatever the numbers;
    forms.median is statistics.median with NaN standing for no order."""
    odd = [None, math.nan, math.inf, -math.inf, 0.0, 1e-300, 0.994, 1.005, 1.0, 2.5, 1e300]
    for reference in odd:
        row = history.Row("Float Streaming", "node1", odd, reference, odd[-1], None, False,
                          reference)
        assert history._cells(row) == [history.cell(rate, reference) for rate in odd], reference
    spread = random.Random(5)
    for count in (1, 2, 3, 50, 51):
        values = [spread.uniform(10, 30) for _ in range(count)] + [spread.randint(1, 9)]
        assert forms.median(values) == statistics.median(values)
        assert math.isnan(forms.median(values + [math.nan]))
        assert forms.median(iter(values)) == statistics.median(values)
    with pytest.raises(statistics.StatisticsError):
        forms.median([])


def test_history():
    """history over weekly made-up runs of 8 nodes of 4 workers: one node
    slows, all slow together, one run, two masters, hosts that come and go."""
    hosts = made_up.cluster_hosts(8, 4)
    steady = [{}] * 4
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        one = made_up.write_history(subdir(directory, "one"), hosts,
                                         steady + [{"node6": 0.8}])
        rows = history_rows(*one)
        changes = [float(row["change"]) for row in rows if row["degraded"] == "true"]
        assert (len(rows) == 3 * 8 and degraded(rows) == ["node6"] and
               len(changes) == 3 and all(-0.23 < change < -0.17 for change in changes)), (
            f"one node 20% slower: {degraded(rows)} {changes}")
        out = tool("history", *one).stdout
        assert (len(re.findall(r"(?m)^    \w+ Streaming +node6 .*, -(1[89]|2[0-2])%$", out)) == 3
               and len(re.findall(r"(?m)^    node6 .*  degraded$", out)) == 3 and
               out.count("degraded") == 4), f"history text of one slow node: {out}"
        assert degraded(history_rows("--drop", "25", *one)) == [], "--drop 25 still flags"
        # The newest run's console log beside its results file counts once.
        with open(one[-1] + ".console", "w") as f:
            f.write(made_up.report_text(hosts, made_up.worker_rates(
                hosts, 104, factors={"node6": 0.8}), for_file=False) +
                "\n".join(report.end_of_run_console(one[-1])) + "\n")
        assert history_rows(*one, one[-1] + ".console") == rows, "a console log counted apart"

        everyone = made_up.write_history(subdir(directory, "all"), hosts,
                                              steady + [{f"node{n}": 0.85 for n in range(1, 9)}])
        rows = history_rows(*everyone)
        out = tool("summary", everyone[-1]).stdout
        slow = [row for row in csv_rows(tool("export", "--format", "csv", everyone[-1]).stdout)
                if row["slow"] == "true"]
        assert (len(rows) == 3 * 8 and all(row["degraded"] == "true" for row in rows) and
               "slow workers: none" in out and not slow), (
            f"every node 15% slower: degraded {degraded(rows)}, slow workers {slow}")

        job = tool("history", one[0])
        assert ("this is the only window" in job.stdout and all(
            row["degraded"] == "false" and row["median_rate"] == "" and row["windows"] == "1"
            for row in history_rows(one[0]))), f"one run: {job.stdout}"

        # node2 is missing from run 2, node3 from the newest; node8 joins in
        # run 4: only node2 has the two earlier windows to be judged against.
        # Three gpu hosts under a master of their own in the same weeks are
        # in the same windows, rows of their own.
        mixed = subdir(directory, "mixed")
        layouts = [["node8"], ["node8", "node2"], ["node8"], [], ["node3"]]
        made_up.write_history(mixed, [[host for host in hosts if host not in left]
                                           for left in layouts],
                                   steady + [{"node2": 0.8, "node8": 0.5}])
        gpus = [host.replace("node", "gpu") for host in made_up.cluster_hosts(3, 2)]
        made_up.write_history(mixed, gpus, steady[:3])
        paths = [os.path.join(mixed, name) for name in sorted(os.listdir(mixed))]
        rows = {row["host"]: row for row in history_rows(*paths)
                if row["test"] == "Float Streaming"}
        assert (degraded(rows.values()) == ["node2"] and len(rows) == 8 + 3 and
               [rows[f"node{n}"]["windows"] for n in (2, 3, 8)] == ["4", "4", "2"] and
               float(rows["node8"]["change"]) < -0.4 and
               rows["node3"]["latest_rate"] == rows["node3"]["change"] == ""
               and rows["gpu2"]["windows"] == "3"), f"hosts that come and go: {rows}"
        assert history_rows(mixed) == history_rows(*paths), "a directory is not its files"
        out = tool("history", mixed).stdout
        assert (out.startswith("11 hosts, 5 windows, ") and
               "not in the newest window: node3, gpu1, gpu2, gpu3" in out and
               re.search(r"\n    node8 +\S+ +- +- +- +\S+ +\S+\n", out)), (
            f"history text of two masters: {out}")


SAMPLE = re.compile(r"(processors64_\w+)(?:\{(.*)\})? (\S+)\Z")
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


def samples(text):
    """{(name, ((label, value), ...)): value} of our metrics in an exposition."""
    found = {}
    for sample in filter(None, map(SAMPLE.match, text.splitlines())):
        labels = [(name, re.sub(r"\\(.)", lambda m: "\n" if m[1] == "n" else m[1], value))
                  for name, value in LABEL.findall(sample[2] or "")]
        found[(sample[1], tuple(sorted(labels)))] = float(sample[3])
    return found


def sample(found, name, **labels):
    return found.get((f"processors64_{name}", tuple(sorted(labels.items()))))


NODE_EXPORTER = "/usr/bin/prometheus-node-exporter"


@pytest.fixture
def node_exporter():
    """serve(directory): /metrics of a node exporter of our own with only its
    textfile collector, reading `directory`, on a free port of 127.0.0.1;
    each one is stopped when the test ends, failed or not."""
    if not shutil.which(NODE_EXPORTER):
        pytest.skip(f"{NODE_EXPORTER} is not installed (apt-get install prometheus-node-exporter)")
    started = []
    yield lambda directory: served(directory, started)
    for exporter in started:
        exporter.terminate()
        try:
            exporter.wait(timeout=10)
        except subprocess.TimeoutExpired:
            exporter.kill()
            exporter.wait()


def served(directory, started):
    """/metrics of a new node exporter reading `directory` (noted in `started`)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    exporter = subprocess.Popen([NODE_EXPORTER, f"--web.listen-address=127.0.0.1:{port}",
                                 "--collector.disable-defaults", "--collector.textfile",
                                 f"--collector.textfile.directory={directory}"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    started.append(exporter)
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    for _ in range(200):
        try:
            with direct.open(f"http://127.0.0.1:{port}/metrics", timeout=10) as page:
                return page.read().decode()
        except OSError:
            if exporter.poll() is not None:
                break
            time.sleep(0.1)
    raise AssertionError(f"the node exporter did not answer (exit {exporter.poll()})")


def check_out_failures(directory, paths):
    """--out that cannot be written: one line, exit 2, nothing left behind.
    Root writes into any directory: the read-only one is tried as nobody."""
    open(os.path.join(directory, "file"), "w").close()
    os.mkdir(os.path.join(directory, "directory"))
    os.mkdir(os.path.join(directory, "read-only"), 0o555)
    before = list(os.walk(directory))
    command = [TOOL]
    if os.geteuid() == 0:
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                   "/usr/bin/python3", TOOL]
    cases = [("no such directory/p.prom", [TOOL]), ("file/p.prom", [TOOL]), ("directory", [TOOL])]
    if subprocess.run(command + ["--help"], capture_output=True).returncode == 0:
        cases.append(("read-only/p.prom", command))
    else:  # a checkout that nobody may read
        print(f"note: --out into a read-only directory not tried: {command} cannot run")
    for out, prefix in cases:
        out = os.path.join(directory, out)
        job = subprocess.run(prefix + ["export", "--format", "prometheus", "--out", out, *paths],
                             capture_output=True, text=True, stdin=subprocess.DEVNULL)
        expect_one_error(job, out, f"--out {out}", "cannot write it")
    assert list(os.walk(directory)) == before, "a failed --out left something behind"


ODD_HOSTS = ['lab\\"1'] + ['no"de\\2'] * 3 + ["node 3"] * 3
NODES = [f"node{n:02d}" for n in range(1, 17)]


def exposition_of(*paths, window=30):
    """The module's exposition of the files or directories `paths`."""
    found = reading.read(list(paths), workers=False, slow_pct=10)
    windows = [w for w in model.windows(found.runs, found.failed_jobs, window) if w.dated()]
    return prometheus.exposition(windows, 10)


def prometheus_runs(directory):
    """(weekly made-up runs of 8 nodes, node6 slower in the newest; a run of
    odd host names) and their exposition: a backslash and a double quote
    come from the report; a line feed only from a run record."""
    weekly = made_up.write_history(subdir(directory, "weekly"), made_up.cluster_hosts(8, 4),
                                   [{}] * 4 + [{"node6": 0.8}])
    odd_path = made_up.write_run(subdir(directory, "odd"), ODD_HOSTS,
                                 made_up.worker_rates(ODD_HOSTS))
    failed = dict.fromkeys(made_up.node_record("node 3"), None)
    failed.update(host="node 3", error="no answer within 60 s")
    made_up.write_record(odd_path, ODD_HOSTS, {
        'lab\\"1': dict(made_up.node_record("lab\n1"), cpu_model='AMD "EPYC" \\ 7',
                        microcode=None),
        "node 3": failed})
    return weekly, odd_path


def test_prometheus():
    """export --format prometheus: the newest window by host, the verdict's
    gauges, host names the format must escape, time zones; --out."""
    hosts = made_up.cluster_hosts(8, 4)
    odd = ODD_HOSTS
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        os.chmod(directory, 0o755)  # nobody reads it in check_out_failures
        weekly, odd_path = prometheus_runs(directory)
        text = exposition_of(*weekly)
        found = samples(text)
        flagged = [key for key, value in found.items() if "degraded" in key[0] and value == 1]
        assert (len(flagged) == 3 and all(("host", "node6") in key[1] for key in flagged) and
               len([key for key in found if "degraded" in key[0]]) == 3 * 8 and
               sample(found, "baseline_executions_per_second", master="node1", test="logic")
               == 900e6 and sample(found, "effective_frequency_executions_per_second",
                                   master="node1") == 0.0026 * 32 * 1e9 and
               sample(found, "run_timestamp_seconds", master="node1") ==
               sample(found, "window_timestamp_seconds") ==
               calendar.timegm((2026, 11, 30, 6, 0, 0))), f"degraded {flagged}, or units"
        verdict = {key[1][0][1]: value for key, value in found.items()
                   if key[0] == "processors64_host_flagged"}
        assert (verdict == {f"node{n}": int(n == 6) for n in range(1, 9)} and
               {value for key, value in found.items() if "not_measured" in key[0]} == {0} and
               sample(found, "window_nodes") == 8 and sample(found, "window_cluster_wide") == 0 and
               sample(found, "host_workers", test="float", host="node6") == 4), (
            f"the verdict's gauges: {verdict}")
        job = tool("export", "--format", "prometheus", os.path.dirname(weekly[0]))
        assert not job.stderr and samples(job.stdout) == found, (
            f"the command's export is not the module's: {job.stderr}")

        found = samples(tool("export", "--format", "prometheus", odd_path).stdout)
        info = [key for key in found if key[0].endswith("_info") and "host" in dict(key[1])]
        assert (info == [("processors64_host_info", (("cpu_model", 'AMD "EPYC" \\ 7'),
                                                    ("host", "lab\n1"), ("microcode", ""))),
                         ("processors64_host_info", (("cpu_model", "AMD EPYC 7B13"),
                                                    ("host", 'no"de\\2'),
                                                    ("microcode", "0xa0011d1")))] and
               sample(found, "host_workers", test="float", host='no"de\\2') == 3), (
            f"odd names: {info}")

        early = os.path.join(subdir(directory, "early"), os.path.basename(weekly[-1]))
        with open(weekly[-1]) as f, open(early, "w") as cut:
            cut.write(f.read().split("Logic Streaming.")[0])
        found = samples(tool("export", "--format", "prometheus", early).stdout)
        assert (sample(found, "run_complete", master="node1") == 0 and
               sample(found, "overall_executions_per_second", master="node1", test="integer")
               and not [key for key in found if ("test", "logic") in key[1]]), (
            f"a run that stopped early: {sorted(found)[:6]}")

        # CET is known, XYZ is not: the run's timestamp is left out, and
        # where its record gives the start, that stands in.
        zones = subdir(directory, "zones")
        for names, zone in ((hosts, "CET"), (odd, "XYZ")):
            made_up.write_run(zones, names, made_up.worker_rates(names),
                                   made_up.datetime(2026, 12, 1, 7, 0), zone)
        job = tool("export", "--format", "prometheus", "--window", "120", zones)
        found = samples(job.stdout)
        assert (sample(found, "run_timestamp_seconds", master="node1") ==
               calendar.timegm((2026, 12, 1, 6, 0, 0)) and
               sample(found, "run_timestamp_seconds", master='lab\\"1') is None and
               sample(found, "run_processes", master='lab\\"1') == 7 and
               len(job.stderr.splitlines()) == 1 and "'XYZ'" in job.stderr), (
            f"time zones CET and XYZ: {job.stderr!r}")
        xyz = [os.path.join(zones, name) for name in os.listdir(zones) if "lab" in name][0]
        made_up.write_record(xyz, odd, started=made_up.datetime(2026, 12, 8, 7, 4, 0))
        found = samples(tool("export", "--format", "prometheus", xyz).stdout)
        assert (sample(found, "run_timestamp_seconds", master='lab\\"1') ==
               calendar.timegm((2026, 12, 8, 7, 4, 0))), "an unknown zone: the record's start"

        out = os.path.join(subdir(directory, "out"), "processors64.prom")
        job = tool("export", "--format", "prometheus", "--out", out, *weekly)
        assert (job.returncode == 0 and os.listdir(os.path.dirname(out)) == ["processors64.prom"]
               and os.stat(out).st_mode & 0o777 == 0o644 and
               open(out).read() == tool("export", "--format", "prometheus", *weekly).stdout), (
            f"--out: exit {job.returncode} {job.stderr!r}")
        check_out_failures(subdir(directory, "failures"), weekly)


def alert_tests(text, rules, fired):
    """promtool's unit test of the shipped `rules` (parsed YAML) on the
    samples of `text`, held for five minutes: the alerts of `fired`
    ({alert name: [labels...]}) fire with their annotations, no other."""
    series = [{"series": line.rsplit(" ", 1)[0], "values": f"{line.rsplit(' ', 1)[1]}x5"}
              for line in text.splitlines() if line and not line.startswith("#")]
    alerts = {rule["alert"]: rule for group in rules["groups"] for rule in group["rules"]}
    tests = []
    for name, label_sets in fired.items():
        rule = alerts[name]
        expected = []
        for labels in label_sets:
            annotations = {}
            for key, value in rule["annotations"].items():
                for label, word in labels.items():
                    value = value.replace("{{ $labels.%s }}" % label, word)
                annotations[key] = value
            expected.append({"exp_labels": dict(rule["labels"], **labels),
                             "exp_annotations": annotations})
        tests.append({"eval_time": "3m", "alertname": name, "exp_alerts": expected})
    return {"evaluation_interval": "1m", "tests": [
        {"interval": "1m", "input_series": series, "alert_rule_test": tests}]}


def test_prometheus_served(tmp_path, node_exporter):
    """The exposition checked by promtool and read back from the node
    exporter's textfile collector; the shipped alert rules fire for the
    slow node and the nodes a failed job left unmeasured, and no other."""
    if not shutil.which("promtool"):
        pytest.skip("promtool is not installed (apt-get install prometheus)")
    yaml = pytest.importorskip("yaml")
    directory = str(tmp_path)
    made_up.write_weeks(subdir(directory, "weeks"), NODES, {"node07": 0.8}, failed=(3,))
    text = exposition_of(os.path.join(directory, "weeks"))
    job = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                         text=True)
    assert job.returncode == 0, f"promtool check metrics: {job.stdout}{job.stderr}"
    rules_file = os.path.join(ROOT, "tools", "processors64.rules.yml")
    job = subprocess.run(["promtool", "check", "rules", rules_file], capture_output=True,
                         text=True)
    assert job.returncode == 0 and "SUCCESS: 4 rules found" in job.stdout, (
        f"promtool check rules: {job.stdout}{job.stderr}")
    found = samples(text)
    missing = sorted(key[1][0][1] for key, value in found.items()
                     if key[0] == "processors64_host_not_measured" and value == 1)
    assert len(missing) == 4 and "node07" not in missing, f"not measured: {missing}"
    with open(rules_file) as f:
        rules = yaml.safe_load(f)
    unit = alert_tests(text, rules, {
        "Processors64NodeFlagged": [{"host": "node07"}],
        "Processors64NodeNotMeasured": [{"host": host} for host in missing],
        "Processors64HostDegraded": [{"host": "node07", "test": test}
                                     for test in ("float", "integer", "logic")]})
    unit["rule_files"] = [rules_file]
    with open(os.path.join(directory, "alerts.yml"), "w") as f:
        json.dump(unit, f)  # JSON is YAML
    job = subprocess.run(["promtool", "test", "rules", os.path.join(directory, "alerts.yml")],
                         capture_output=True, text=True)
    assert job.returncode == 0, f"promtool test rules: {job.stdout}{job.stderr}"
    prometheus.write_file(os.path.join(subdir(directory, "textfiles"), "p64.prom"), text)
    page = node_exporter(os.path.join(directory, "textfiles"))
    assert "\nnode_textfile_scrape_error 0\n" in page and samples(page) == samples(text), (
        f"the node exporter serves other metrics: {page[-2000:]}")


def test_records_schema(tmp_path):
    """The record formats are one JSON Schema: Debian's jsonschema and the
    tool's own check agree on good and bad records; a node record that lacks
    keys (a site's own collector) is read with them unknown, and a warning."""
    jsonschema = pytest.importorskip("jsonschema")
    from processors64 import run_record, schema
    paths = made_up.write_window(str(tmp_path), NODES[:6], 2, 3, made_up.datetime(2026, 12, 1),
                                 failed=(2,))
    good = [run_record.load(path if path.endswith(".json") else record_of(path))[0]
            for path in paths]
    whole = schema.schema()
    validator = jsonschema.Draft202012Validator(whole)
    build = jsonschema.Draft202012Validator({"$ref": "#/$defs/build", "$defs": whole["$defs"]})
    record = good[0]
    bad = [dict(record, exit_status="0"), dict(record, window=dict(record["window"], group=0)),
           dict(record, window=dict(record["window"], nodes=["node01", 2])),
           {key: value for key, value in record.items() if key != "mpi"},
           dict(record, nodes=[dict(record["nodes"][0], smt="yes")]),
           dict(record, build=dict(record["build"], cap=True)),
           dict(record, placement=[{"host": "node01", "cpus": 2, "workers": 2}])]
    for value in good:
        validator.validate(value)
        schema.check(value, "run")
    for value in bad:
        assert not validator.is_valid(value), value
        with pytest.raises(schema.RecordError):
            schema.check(value, "run")
    for binary_record in [dict(record["build"], cap=512), dict(record["build"])]:
        build.validate(binary_record)
        schema.check(binary_record, "build")

    # A site's collector without "governor" and "kernel": unknown, one warning.
    results = paths[0]
    with open(record_of(results)) as f:
        text = json.load(f)
    for node in text["nodes"]:
        del node["governor"], node["kernel"]
    with open(record_of(results), "w") as f:
        json.dump(text, f)
    job = tool("summary", results)
    warnings = job.stderr.splitlines()
    assert (job.returncode == 0 and len(warnings) == 3 and
            all("has no 'governor', 'kernel': read as unknown" in line for line in warnings) and
            "  CPU AMD EPYC 7B13" in job.stdout), f"{job.returncode} {job.stderr!r}"
