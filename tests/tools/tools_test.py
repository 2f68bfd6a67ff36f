#!/usr/bin/env python3
"""The results tool, tools/results.py, run as users run it.

    tools_test.py real -- mpirun -np 4 ... BINARY   results files of the short build
    tools_test.py --binary BINARY cluster           ... across the three-node cluster
    tools_test.py made-up                           512 processes, one slow host
    tools_test.py records                           the run record beside a results file
    tools_test.py plot                              charts, and plot without matplotlib

Exit status 0 when every check passed, 1 when one failed, 77 when the group
cannot run here (the cluster needs root and namespaces; plot needs an
interpreter with matplotlib).
"""

import argparse
import csv
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
TOOL = os.path.join(ROOT, "tools", "results.py")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, HERE)
import make_results  # noqa: E402
import report  # noqa: E402
from run_e2e import results_files, run_job  # noqa: E402

COLUMNS = "file,test,rank,host,seconds,rate,form,slow"
COMPARE_COLUMNS = "test,host,old_rate,new_rate,ratio,changed"
TESTS = ("Float", "Integer", "Logic")
FAILURES = []


def expect(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL:", message)
    return condition


def tool(*args, env=None):
    """Runs the tool as a user would: the executable, its own interpreter."""
    job = subprocess.run([TOOL, *args], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, env=env, timeout=120)
    expect("Traceback" not in job.stderr, f"{args[0]}: a traceback: {job.stderr}")
    return job


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def expect_one_error(job, shown_name, what, words):
    """Exit 2 and one line on standard error naming the file, escaped."""
    lines = job.stderr.splitlines()
    expect(job.returncode == 2, f"{what}: exit status {job.returncode}, not 2")
    expect(len(lines) == 1, f"{what}: {len(lines)} lines on standard error: {job.stderr!r}")
    expect(lines and shown_name in lines[0] and words in lines[0],
           f"{what}: the message {job.stderr!r} does not name {shown_name!r} with {words!r}")


def expect_records(rows, values, names, nproc, host, what):
    """The exported records are the report's numbers, with the right forms."""
    expect(len(rows) == 3 * nproc, f"{what}: {len(rows)} records, not {3 * nproc}")
    for test in TESTS:
        mine = [row for row in rows if row["test"] == f"{test} Streaming"]
        expect([int(row["rank"]) for row in mine] == list(range(nproc)),
               f"{what}: {test} ranks {[row['rank'] for row in mine]}")
        rates = [float(row["rate"]) for row in mine]
        seconds = [float(row["seconds"]) for row in mine]
        expect(rates == values[f"{test}_single_rate"] + values[f"{test}_rate"],
               f"{what}: {test} rates {rates}")
        expect(seconds == values[f"{test}_single_time"] + values[f"{test}_time"],
               f"{what}: {test} seconds {seconds}")
        expect([row["host"] for row in mine] == [host] + names[f"{test}_rate"],
               f"{what}: {test} hosts {[row['host'] for row in mine]}")
        forms = [row["form"] for row in mine]
        special = "common" if test == "Logic" else "exponent-1"
        expect(forms == ["baseline", special] + ["common"] * (nproc - 2),
               f"{what}: {test} forms {forms}")
        slow = [row["rank"] for row in mine if row["slow"] == "true"]
        expect(slow == expected_slow(mine), f"{what}: {test} slow ranks {slow}")


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
    expect(job.returncode == 0 and not job.stderr, f"summary: {job.returncode} {job.stderr!r}")
    out = job.stdout
    expect(shown in out, "summary: the file is not named, escaped")
    expect(f"time zone UTC, master {host}, {nproc} processes ({nproc - 1} workers)" in out,
           f"summary: no run line: {out}")
    for test in TESTS:
        row = (f"{test} Streaming", values[f"{test}_single_rate"][0],
               values[f"{test}_overall"][0], values[f"{test}_ratio"][0],
               values[f"{test}_mean"][0])
        expect(any(line.split() == [row[0].split()[0], "Streaming"] + [f"{v:g}" for v in row[1:]]
                   for line in out.splitlines()), f"summary: no line {row} in {out}")

    job = tool("export", "--format", "csv", results_path)
    expect(job.stdout.split("\n", 1)[0] == COLUMNS, f"csv header: {job.stdout[:80]!r}")
    rows = csv_rows(job.stdout)
    expect(all(row["file"] == results_path for row in rows), "csv: the file column")
    expect_records(rows, values, names, nproc, host, "csv of the results file")
    expect(("slow workers: none" in out) == (not any(row["slow"] == "true" for row in rows)),
           f"summary: slow workers unlike the export's: {out}")

    job = tool("export", "--format", "json", results_path)
    document = json.loads(job.stdout)
    records = [{k: str(v).lower() if isinstance(v, bool) else v for k, v in r.items()}
               for r in document["records"]]
    expect(len(records) == len(rows) and all(
        float(r["rate"]) == float(row["rate"]) and r["form"] == row["form"] and
        r["slow"] == row["slow"] and r["host"] == row["host"] for r, row in zip(records, rows)),
        "json: the records differ from the csv's")
    run = document["runs"][0]
    expect(run["processes"] == nproc and run["complete"] and run["master"] == host and
           run["time_zone"] == "UTC", f"json: run summary {run}")
    expect([t["improvement"] for t in run["tests"]] ==
           [values[f"{test}_ratio"][0] for test in TESTS], "json: improvements")

    job = tool("export", "--format", "csv", console_path)
    console_rows = csv_rows(job.stdout)
    expect(job.returncode == 0, f"console log: exit {job.returncode} {job.stderr!r}")
    expect_records(console_rows, values, names, nproc, host, "csv of the console log")

    job = tool("compare", "--format", "csv", results_path, console_path)
    lines = job.stdout.splitlines()
    expect(lines[:1] == [COMPARE_COLUMNS], f"compare csv header: {lines[:1]}")
    expect(len(lines) > 3 and all(line.endswith(",1.0000,false") for line in lines[1:]),
           f"compare of a run with its own console log: {lines}")

    for path, where in cut_copies(directory, open(results_path).read(),
                                  os.path.basename(results_path)):
        what = f"a file that ends {where}"
        job = tool("export", "--format", "csv", path)
        expect(job.returncode == 0, f"{what}: exit status {job.returncode}")
        warning = job.stderr.splitlines()
        expect(len(warning) == 1 and "warning" in warning[0] and where in warning[0] and
               path.replace("\n", "\\n") in warning[0], f"{what}: warning {job.stderr!r}")
        rows = csv_rows(job.stdout)
        float_rows = [row for row in rows if row["test"] == "Float Streaming"]
        expect(len(float_rows) == (2 if where.startswith("inside Float") else nproc),
               f"{what}: {len(float_rows)} Float records")
        expect(all(float(row["rate"]) > 0 for row in rows), f"{what}: records {rows}")

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
    cases = [(empty, "empty file"), (other, "not a results file"),
             (broken, "is 'Multi-Thread Disabled:'"),
             (missing, "No such file"), (directory, "cannot read it")]
    for path, words in cases:
        for command in (["summary"], ["export", "--format", "csv"], ["plot", "--out", directory]):
            job = tool(*command, path)
            if command[0] == "plot" and "matplotlib" in job.stderr:
                continue
            expect_one_error(job, path.replace("\n", "\\n"), f"{command[0]} of {path!r}", words)
    job = tool("summary", empty, good)
    expect(job.returncode == 2 and "Float Streaming" in job.stdout,
           "a bad file beside a good one: the good one is still read, exit status 2")
    job = tool("compare", good, missing)
    expect_one_error(job, "no such\\nfile", "compare with a missing file", "No such file")
    job = tool("summary", "--slow", "abc", good)
    expect(job.returncode == 2 and len(job.stderr.splitlines()) == 1,
           f"a bad option: {job.returncode} {job.stderr!r}")


def group_real(args):
    """The short build at 4 processes on this machine."""
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        directory = os.path.realpath(directory)
        job = run_job(command, directory, 120)
        files = results_files(directory)
        if not expect(job.returncode == 0 and len(files) == 1,
                      f"the short build: exit {job.returncode}, files {files}: {job.stderr}"):
            return
        path = os.path.join(directory, files[0])
        values, names = report.check_report(job.stdout, open(path).read(), files[0], directory,
                                            4, 8192)
        console = os.path.join(directory, "console log.txt")
        with open(console, "w") as f:
            f.write(job.stdout)
        host = report.FILE_NAME.match(files[0]).group("host")
        check_real_file(directory, path, console, values, names, 4, host)


def group_cluster(args):
    """The short build across the simulated three-node cluster."""
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        job = subprocess.run([os.path.join(ROOT, "tests", "cluster", "cluster_test.sh"),
                              args.binary, directory], capture_output=True, text=True,
                             stdin=subprocess.DEVNULL, timeout=800)
        if job.returncode == 77:
            print(job.stdout.strip().splitlines()[-1])
            return 77
        if not expect(job.returncode == 0, f"the cluster run failed: {job.stdout}{job.stderr}"):
            return 1
        work = os.path.join(directory, os.listdir(directory)[0])
        run_dir = os.path.join(work, "three_nodes", "run")
        name = results_files(run_dir)[0]
        path = os.path.join(run_dir, name)
        console = os.path.join(work, "three_nodes", "console.txt")
        values, names = report.check_report(open(console).read(), open(path).read(), name,
                                            os.path.realpath(run_dir), 3, 8192, "node1")
        expect(names["Float_rate"] == ["node2", "node3"], f"cluster hosts {names}")
        check_real_file(directory, path, console, values, names, 3, "node1")
        out = tool("summary", path).stdout
        expect("    node2  1 (1);" in out and "    node3  1 (2);" in out,
               f"summary: no line per host: {out}")

        # The second run starts 6 ranks for a cap of 4: its console log
        # begins with mpirun's job map and its workers share node2.
        console = os.path.join(work, "two_per_node", "console.txt")
        rows = csv_rows(tool("export", "--format", "csv", console).stdout)
        hosts = [row["host"] for row in rows if row["test"] == "Logic Streaming"]
        expect(hosts == ["node1", "node1", "node2", "node2"], f"6 ranks, cap 4: hosts {hosts}")
    return None


def group_made_up(args):
    """512 processes on 64 nodes: one slow node; ranks 1 and 10 as slow as
    their forms are on some processors; a comparison with a later run."""
    hosts = make_results.cluster_hosts(64, 8)[:512]
    slow_ranks = [rank for rank in range(1, 512) if hosts[rank] == "node5"]
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        rates = make_results.worker_rates(hosts, slow_hosts=("node5",),
                                          special={1: 1 / 25, 10: 1 / 25})
        path = make_results.write_run(directory, hosts, rates)
        # The made-up file passes the program's own checks.
        values, _ = report.match_lines(open(path).read(),
                                       report.expected_lines(512, True, report.FILE_END), "file")
        report.check_numbers(values, 512, make_results.ITERATIONS)

        rows = csv_rows(tool("export", "--format", "csv", path).stdout)
        expect(len(rows) == 3 * 512, f"512 processes: {len(rows)} records")
        for test in TESTS:
            mine = [row for row in rows if row["test"] == f"{test} Streaming"]
            slow = [int(row["rank"]) for row in mine if row["slow"] == "true"]
            expect(slow == slow_ranks, f"{test}: slow ranks {slow}, not node5's {slow_ranks}")
            forms = {int(row["rank"]): row["form"] for row in mine if row["form"] != "common"}
            expected = {0: "baseline"} if test == "Logic" else {
                0: "baseline", 1: "exponent-1", 10: "sine-factor-minus-inf", 11: "sine-factor-0"}
            expect(forms == expected, f"{test}: forms {forms}")
        out = tool("summary", path).stdout
        expect("Float Streaming @node5: ranks 33-40:" in out, f"summary of the slow node: {out}")
        expect("rank 1:" not in out and "rank 10:" not in out, "ranks 1 and 10 called slow")
        rows = csv_rows(tool("export", "--format", "csv", "--slow", "40", path).stdout)
        expect(not any(row["slow"] == "true" for row in rows), "--slow 40 still finds some")

        # Host names with blanks are read line by line, with the same result.
        spaced = [host.replace("node", "node ") for host in hosts]
        spaced_path = make_results.write_run(os.path.join(directory), spaced, rates,
                                             make_results.datetime(2026, 12, 9, 1, 2, 3))
        spaced_rows = csv_rows(tool("export", "--format", "csv", spaced_path).stdout)
        expect([row["host"] for row in spaced_rows] == [r["host"].replace("node", "node ")
                                                        for r in csv_rows(tool(
                                                            "export", "--format", "csv",
                                                            path).stdout)],
               "host names with blanks")

        # A later run in which node7 lost a fifth of its speed.
        later = make_results.worker_rates(hosts, seed=2, slow_hosts=("node7",), slow_factor=0.8)
        later_path = make_results.write_run(directory, hosts, later,
                                            make_results.datetime(2026, 12, 8, 9, 0, 0))
        out = tool("compare", "--format", "csv", path, later_path).stdout
        rows = csv_rows(out)
        expect(out.split("\n", 1)[0] == COMPARE_COLUMNS, f"compare header {out[:60]!r}")
        expect(len(rows) == 3 * 64, f"compare: {len(rows)} rows, not one per test and host")
        changed = sorted({row["host"] for row in rows if row["changed"] == "true"})
        expect(changed == ["node5", "node7"], f"compare: changed hosts {changed}")
        node7 = [float(row["ratio"]) for row in rows if row["host"] == "node7"]
        expect(all(0.75 < ratio < 0.85 for ratio in node7), f"compare: node7 ratios {node7}")
        rows = csv_rows(tool("compare", "--format", "csv", "--threshold", "50",
                             path, later_path).stdout)
        expect(not any(row["changed"] == "true" for row in rows), "--threshold 50")
        out = tool("compare", path, later_path).stdout
        expect("Float Streaming    node7" in out, f"compare as text: {out[:300]}")


def record_of(path):
    return path[:-len(".txt")] + ".run.json"


def group_records(args):
    """Run records beside made-up results files: summary names the CPUs, MPI
    and build, compare what differs, export json carries the record; a record
    that cannot be read is one warning and the results are read without it."""
    hosts = make_results.cluster_hosts(3, 2)
    xeon = "Intel(R) Xeon(R) Gold 6248 CPU @ 2.50GHz"
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        old = make_results.write_run(directory, hosts, make_results.worker_rates(hosts))
        failed = dict.fromkeys(make_results.node_record("node3"), None)
        failed.update(host="node3", error="no answer within 60 s")
        old_record = make_results.write_record(old, hosts, {"node3": failed},
                                               build={"commit": "0cb595f-dirty"})
        new = make_results.write_run(directory, hosts, make_results.worker_rates(hosts, seed=2),
                                     make_results.datetime(2026, 12, 9, 1, 2, 3))
        make_results.write_record(new, hosts, {"node2": make_results.node_record(
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
            expect(line in lines, f"summary: no line {line!r} in {lines}")
        out = tool("summary", new, plain_new).stdout
        expect(f"  CPU {xeon}, microcode 0x5003604: node2" in out and
               "commit not from a git checkout" in out and "run record: none" in out,
               f"summary of the later run and of one without a record: {out}")

        out = tool("compare", old, new).stdout
        before_table = out[:out.find("median rate of each host")]
        for words in (f"node2: CPU model AMD EPYC 7B13 -> {xeon}",
                      "MPI Open MPI 4.1.4 (/usr/bin/mpiexec.openmpi) -> MPICH 4.0.2",
                      "commit 0cb595f-dirty -> not from a git checkout"):
            expect(words in before_table, f"compare: {words!r} not before the table: {out}")
        expect("\nnode1" not in before_table, f"compare: node1 did not change: {before_table}")
        out = tool("compare", plain_old, new).stdout
        expect("the old run has no run record" in out and "new run has no" not in out,
               f"compare with a run without a record: {out}")
        out = tool("compare", new, new).stdout
        expect("records show no difference" in out, f"compare of a run with itself: {out}")
        expect(tool("compare", "--format", "csv", old, new).stdout == tool(
            "compare", "--format", "csv", plain_old, plain_new).stdout,
               "compare --format csv changes with a run record")
        runs = json.loads(tool("export", old, plain_new).stdout)["runs"]
        expect(runs[0]["record"] == old_record and runs[1]["record"] is None,
               f"export json: the records {[run['record'] for run in runs]}")

        # results_* names each results file and its record; a record alone
        # stands for its results file; a job that made none is a warning.
        nothing = os.path.join(directory, "processors64-run-20261208T070357Z-node1.run.json")
        with open(nothing, "w") as f:
            json.dump(dict(old_record, results_file=None, exit_status=1), f)
        for command in (["summary"], ["export", "--format", "csv"], ["compare"]):
            alone = tool(*command, old, new)
            for named in ([record_of(old), old, record_of(new), new],
                          [record_of(old), nothing, record_of(new)]):
                job = tool(*command, *named)
                warned = [os.path.basename(nothing) + ": "] if nothing in named else []
                expect(job.stdout == alone.stdout and job.returncode == 0 and
                       len(job.stderr.splitlines()) == len(warned) and
                       all(words in job.stderr for words in warned),
                       f"{command[0]} of {named}: {job.returncode} {job.stderr!r}")

        # A record that cannot be read: one warning naming it, read without it.
        bad = {"bad\njson": '{"nodes": [\n', "nodes\nnot a list": json.dumps(
            dict(old_record, nodes={"node1": make_results.node_record("node1")}))}
        for name, text in bad.items():
            path = shutil.copy(old, os.path.join(directory, name + ".txt"))
            with open(record_of(path), "w") as f:
                f.write(text)
            for command in (["summary"], ["export"], ["compare", new]):
                job = tool(*command, path)
                warning = job.stderr.splitlines()
                expect(job.returncode == 0 and len(warning) == 1 and "warning" in warning[0] and
                       record_of(path).replace("\n", "\\n") + ": " in warning[0] and
                       "Float Streaming" in job.stdout, f"{command[0]} beside a record "
                       f"{name!r}: {job.returncode} {job.stderr!r}")

        # A console log has no record beside it, whatever its name.
        console = os.path.join(directory, "console.txt")
        with open(console, "w") as f:
            f.write(make_results.report_text(hosts, make_results.worker_rates(hosts), False))
        make_results.write_record(console, hosts)
        runs = json.loads(tool("export", console).stdout)["runs"]
        expect(runs and runs[0]["record"] is None, f"a console log's record: {runs}")


def has_matplotlib(python):
    return shutil.which(python) and subprocess.run(
        [python, "-c", "import matplotlib"], capture_output=True).returncode == 0


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def group_plot(args):
    """A chart of each run and the history of several, as PNGs."""
    with tempfile.TemporaryDirectory(prefix="p64tools-") as directory:
        hosts = make_results.cluster_hosts(4, 3)
        paths = make_results.write_runs(directory, 3, hosts, slow_hosts=("node2",))
        make_results.write_record(paths[0], hosts)  # its chart's title names CPU and MPI

        # Without matplotlib anywhere: how to install it, exit 2.
        fake = os.path.join(directory, "fake")
        os.makedirs(os.path.join(fake, "matplotlib"))
        with open(os.path.join(fake, "matplotlib", "__init__.py"), "w") as f:
            f.write("raise ImportError('no matplotlib here')\n")
        env = dict(os.environ, PYTHONPATH=fake)
        job = tool("plot", "--out", directory, paths[0], env=env)
        expect(job.returncode == 2 and "python3-matplotlib" in job.stderr and
               len(job.stderr.splitlines()) == 1, f"plot without matplotlib: {job.stderr!r}")
        for command in (["summary"], ["export"]):
            job = tool(*command, paths[0], env=env)
            expect(job.returncode == 0, f"{command[0]} without matplotlib: {job.stderr!r}")

        if not (has_matplotlib(sys.executable) or has_matplotlib("python3") or
                has_matplotlib("/usr/bin/python3")):
            print("SKIP: no Python here has matplotlib (apt-get install python3-matplotlib)")
            return 77
        out = os.path.join(directory, "charts")
        job = tool("plot", "--out", out, *paths)
        expect(job.returncode == 0, f"plot: exit {job.returncode}: {job.stderr}")
        charts = job.stdout.split()
        expect(len(charts) == 4 and charts[-1].endswith("-history.png"),
               f"plot: one chart per run and one history: {charts}")
        for chart in charts:
            size = png_size(chart) if os.path.exists(chart) else None
            expect(size is not None and size[0] >= 800, f"{chart}: a PNG {size} wide")
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=("real", "cluster", "made-up", "records", "plot"))
    parser.add_argument("--binary", help="the short build (cluster)")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="mpirun ... BINARY (real)")
    args = parser.parse_args()
    status = {"real": group_real, "cluster": group_cluster, "made-up": group_made_up,
              "records": group_records, "plot": group_plot}[args.group](args)
    if status == 77:
        return 77
    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed")
        return 1
    print(f"tools {args.group}: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
