"""The recorded run (processors64-run, processors64.run) with a fake launcher
and a fake benchmark, and with this build's own launcher and short binary.

    python3 -m pytest tests/run_test.py

The fake launcher runs its program (the first absolute path to an
executable) as rank 0; the fake benchmark writes a results file named as the
master names it (unless FAKE_NO_RESULTS; FAKE_TWICE: a second one named a
second later, FAKE_OTHER_HOST: another job's, named after another master),
echoes a line of its standard input, notes its start in FAKE_STARTED and
then waits (FAKE_WAIT), may remove its working directory (FAKE_GONE), and
exits FAKE_STATUS. With P64_RUN_TEST_MPIEXEC and P64_RUN_TEST_BINARY, jobs of
the real launcher run under an odd host name.
"""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from processors64 import build_record, groups, launchers, run, run_record, schema, slurm

FAKE_LAUNCHER = """#!/bin/sh
if [ "$1" = --version ]; then echo "mpirun (Open MPI) 4.1.4"; exit 0; fi
while [ $# -gt 0 ]; do case "$1" in /*) [ -x "$1" ] && break ;; esac; shift; done
RANK_VARIABLE=0 exec "$@"
""".replace("RANK_VARIABLE", launchers.KINDS["openmpi"].rank_variable)
FAKE_BENCHMARK = """#!/bin/sh
name() { echo "results_processors_lite_mac_clusters @ UTC time $(date -u -d "@$1" '+%a %b %e %H:%M:%S %Y')
 @ $2.txt"; }
now=$(date +%s)
[ -n "${FAKE_NO_RESULTS:-}" ] || echo "Thread(s): 1" > "$(name "$now" "$(uname -n)")"
[ -z "${FAKE_TWICE:-}" ] || echo "Thread(s): 1" > "$(name "$((now + 1))" "$(uname -n)")"
[ -z "${FAKE_OTHER_HOST:-}" ] || echo "Thread(s): 1" > "$(name "$now" other-master)"
[ -z "${FAKE_GONE:-}" ] || rmdir "$PWD"
read -r line || true
echo "read: $line"
[ -z "${FAKE_STARTED:-}" ] || : > "$FAKE_STARTED"
[ -z "${FAKE_WAIT:-}" ] || exec sleep 600
exit "${FAKE_STATUS:-0}"
"""
# Odd bytes for a host name or a directory: the record must stay valid JSON
# and name them exactly.
ODD = [b'"', b"\\", b"\t", b"\xff"]
BUILD = dict.fromkeys(build_record.KEYS, None)
BUILD["version"] = "1.0.0"
TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(run.__file__)))


def executable(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return str(path)


@pytest.fixture
def fake(tmp_path):
    """(the fake launcher, the fake benchmark with its build record, the run directory)."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    launcher = executable(bin_dir / "mpirun.fake", FAKE_LAUNCHER)
    benchmark = executable(bin_dir / "benchmark", FAKE_BENCHMARK)
    with open(benchmark + ".build.json", "w") as f:
        json.dump(BUILD, f, indent=2)
    run_dir = tmp_path / "run dir"
    run_dir.mkdir()
    return launcher, benchmark, run_dir


def can_set_host_name():
    return os.geteuid() == 0 and subprocess.run(
        ["unshare", "--uts", "true"], stdin=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL).returncode == 0


def recorded(command, cwd, host=None, stdin=subprocess.DEVNULL, env=None, wait=True):
    """processors64-run of `command` in `cwd` (bytes or str), under host name
    `host` (bytes, in a UTS namespace of its own) where given."""
    argv = [sys.executable, "-m", "processors64.run", *command]
    if host is not None:
        argv = ["unshare", "--uts", sys.executable, "-c",
                "import os, socket, sys\n"
                "socket.sethostname(os.fsencode(sys.argv[1]))\n"
                "os.execvp(sys.argv[2], sys.argv[2:])", os.fsdecode(host), *argv]
    environment = dict(os.environ, PYTHONPATH=TOOLS, **(env or {}))
    job = subprocess.Popen(argv, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=environment)
    if not wait:
        return job
    out, err = job.communicate(timeout=300)
    return job.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def run_records(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".run.json"))


def load(path):
    """The record as strict JSON of valid UTF-8, and of the format."""
    with open(path, "rb") as f:
        record = json.loads(f.read().decode("utf-8"))
    schema.check(record, "run")
    return record


def results_name(directory):
    names = [name for name in os.listdir(directory) if name.endswith(".txt")]
    assert len(names) == 1, names
    return names[0]


# ---- What a job's arguments say ------------------------------------------------

def test_open_mpi_arguments(tmp_path):
    job = run.Job("openmpi", ["-np", "25", "--hostfile", "host file", "--map-by", "node",
                              "-x", "-np", "--mca", "plm_rsh_agent", "/a/agent", "--tag-output"])
    # The inventory keeps hosts and settings, not count, placement, output form.
    assert job.collector_arguments == ["--hostfile", "host file", "-x", "-np", "--mca",
                                       "plm_rsh_agent", "/a/agent"]
    assert (job.processes, job.hostfile, job.host_list, job.work_dir) == (
        "25", "host file", None, os.getcwd())


def test_mpich_arguments():
    # An option's values are never read as options; a relative -wdir.
    job = run.Job("mpich", ["-n", "4", "-f", "hosts", "-ppn", "2", "-genv", "A", "-n",
                            "-wdir", "run", "-hosts", "node1:2,node2"])
    assert job.collector_arguments == ["-f", "hosts", "-genv", "A", "-n", "-wdir", "run",
                                       "-hosts", "node1:2,node2"]
    assert (job.processes, job.hostfile, job.host_list, job.work_dir) == (
        "4", "hosts", "node1:2,node2", os.path.join(os.getcwd(), "run"))


def test_an_option_without_its_value_is_kept():
    assert run.Job("openmpi", ["-x", "A", "--hostfile"]).collector_arguments == [
        "-x", "A", "--hostfile"]


def test_expected_hosts(tmp_path, monkeypatch):
    monkeypatch.delenv("SLURM_JOB_NODELIST", raising=False)
    hostfile = tmp_path / "host file"
    hostfile.write_text("# the nodes\nnode1 slots=9\nnode2 slots=8  # the second\n\n"
                        "node3:8\nnode1 slots=1\n")
    assert run.Job("openmpi", ["--hostfile", str(hostfile)]).expected_hosts() == [
        "node1", "node2", "node3"]
    assert run.Job("mpich", ["-hosts", "a,b:2,a"]).expected_hosts() == ["a", "b"]
    assert run.Job("mpich", []).expected_hosts() == [os.uname().nodename]


def test_allocated_cpus():
    assert slurm.cpus_per_node("8(x2),4") == [8, 8, 4]
    assert slurm.cpus_per_node("8,4(x3)") == [8, 4, 4, 4]
    assert slurm.cpus_per_node("8(x2)4") is None


# ---- The groups of a window -------------------------------------------------------

def nodes(*cpus):
    return [groups.Host(f"n{number}", count) for number, count in enumerate(cpus, start=1)]


def layout(split):
    """Each group as [(host, cpus, workers)]; every worker is collected."""
    for group in split:
        assert all(place.collected == place.workers for place in group.places)
    return [[(place.host, place.cpus, place.workers) for place in group.places] for group in split]


@pytest.mark.parametrize("cpus, cap, per_job, expected", [
    # 128(x3),64 fit 511 workers; 700 passes them: a group of its own, cut to 511.
    ((128, 128, 128, 64, 700, 128, 128), 512, None,
     [[("n1", 128, 128), ("n2", 128, 128), ("n3", 128, 128), ("n4", 64, 64)],
      [("n5", 700, 511)], [("n6", 128, 128), ("n7", 128, 128)]]),
    # Whole nodes only: a node that does not fit starts the next group.
    ((300, 300, 200), 512, None, [[("n1", 300, 300)], [("n2", 300, 300), ("n3", 200, 200)]]),
    # The simulated cluster's nodes with the short build: a two-node group
    # and a node past the cap.
    ((1, 2, 4), 4, None, [[("n1", 1, 1), ("n2", 2, 2)], [("n3", 4, 3)]]),
    ((1, 2, 4), 4, 1, [[("n1", 1, 1)], [("n2", 2, 2)], [("n3", 4, 3)]]),
    # K nodes whatever their size: the last nodes of a group are cut to fit,
    # down to none.
    ((128,) * 5, 512, 8, [[("n1", 128, 128), ("n2", 128, 128), ("n3", 128, 128),
                           ("n4", 128, 127), ("n5", 128, 0)]]),
    ((300, 300, 2), 512, 2, [[("n1", 300, 300), ("n2", 300, 211)], [("n3", 2, 2)]]),
    ((700, 1), 512, 1, [[("n1", 700, 511)], [("n2", 1, 1)]]),
    # An allocation that fits is one group, however it is asked for.
    ((1, 1, 1), 4, None, [[("n1", 1, 1), ("n2", 1, 1), ("n3", 1, 1)]]),
    ((1, 1, 1), 4, 5, [[("n1", 1, 1), ("n2", 1, 1), ("n3", 1, 1)]]),
])
def test_groups_of_an_allocation(cpus, cap, per_job, expected):
    split = groups.split(nodes(*cpus), cap, per_job)
    assert layout(split) == expected
    assert [group.number for group in split] == list(range(1, len(expected) + 1))
    for group in split:
        # A master and its workers, never more than it collects.
        assert group.processes == sum(place.workers for place in group.places) + 1 <= cap
        assert group.cut() == [place for place in group.places if place.workers < place.cpus]


def test_a_groups_hostfile():
    """The master's node one process more; a node cut to no worker left out."""
    group = groups.split(nodes(2, 128, 128), 8, 3)[0]
    assert group.slots() == [("n1", 3), ("n2", 5)] and group.processes == 8
    assert group.hosts() == ["n1", "n2"]
    assert group.shown() == "n1 (2 workers), n2 (5 workers of 128 CPUs), n3 (0 workers of 128 CPUs)"


def test_hosts_from_their_slots():
    lines = ["# the nodes", "node1 slots=9 max_slots=12", "node2:8  # MPICH's form", "",
             "node3", "node4 slots=x", "node1 slots=1"]
    assert groups.slotted_hosts(lines) == [("node1", 10), ("node2", 8), ("node3", None),
                                           ("node4", None)]
    assert groups.slotted_hosts("a:2,b:3,a".split(",")) == [("a", None), ("b", 3)]
    # The README's hostfile: one slot more on the first node, the master's.
    assert groups.from_slots([("node1", 9), ("node2", 8)]) == [groups.Host("node1", 8),
                                                              groups.Host("node2", 8)]


@pytest.mark.parametrize("processes, expected", [
    # Both MPIs fill each host's slots in order: ranks 4 and 5 on node3 pass the cap of 4.
    (6, [("node1", 1, 1, 1), ("node2", 2, 2, 2), ("node3", 2, 2, 0)]),
    (3, [("node1", 1, 1, 1), ("node2", 2, 1, 1), ("node3", 2, 0, 0)]),
    (7, None),      # past the slots: where the launcher puts the rest is its own
    (None, None),   # no count given
])
def test_placement_of_a_job_as_given(processes, expected):
    found = groups.as_given([("node1", 2), ("node2", 2), ("node3", 2)], processes, 4)
    assert (None if found is None else
            [(p.host, p.cpus, p.workers, p.collected) for p in found]) == expected


def test_build_record_on_path_and_behind_links(fake, tmp_path, monkeypatch):
    _, benchmark, _ = fake
    # update-alternatives' two links: /usr/bin/NAME -> /etc/alternatives/NAME -> NAME.flavour
    os.symlink(benchmark, tmp_path / "alternative")
    os.symlink(tmp_path / "alternative", tmp_path / "bin" / "plain name")
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:{os.environ['PATH']}")
    assert build_record.path_of("benchmark") == benchmark + ".build.json"
    assert build_record.path_of(str(tmp_path / "bin" / "plain name")) == (
        benchmark + ".build.json")
    assert build_record.of(benchmark) == BUILD


# ---- Recorded jobs ------------------------------------------------------------------

def test_a_recorded_job(fake):
    launcher, benchmark, run_dir = fake
    older = run_dir / "results_processors_lite_mac_clusters @ UTC time Sat Jan  1 00:00:00 2000\n @ x.txt"
    older.write_text("Thread(s): 1\n")
    os.utime(older, (946684800, 946684800))
    command = [launcher, "-np", "2", benchmark]
    read, write = os.pipe()
    os.write(write, b"yes\n")
    os.close(write)
    status, out, err = recorded(command, run_dir, stdin=read, env={"FAKE_STATUS": "3"})
    os.close(read)
    # Its exit status, its standard input and output; nothing on standard error.
    assert (status, out, err) == (3, "read: yes\n", "")
    results = [name for name in os.listdir(run_dir) if name.endswith(".txt") and "2000" not in name]
    assert len(results) == 1
    assert run_records(run_dir) == [results[0][:-len(".txt")] + ".run.json"]
    record = load(run_dir / run_records(run_dir)[0])
    assert record["results_file"] == results[0]
    assert record["results_file_note"] is None
    assert record["exit_status"] == 3 and record["command"] == command
    assert record["processes"] == 2 and record["slurm"] is None
    assert record["build"] == BUILD
    assert record["mpi"] == {"implementation": "Open MPI", "version": "4.1.4",
                             "launcher": launcher}
    assert [node["host"] for node in record["nodes"]] == [os.uname().nodename]
    assert "error" not in record["nodes"][0]


def test_a_job_without_a_results_file(fake):
    launcher, benchmark, run_dir = fake
    status, _, err = recorded([launcher, "-np", "2", benchmark], run_dir,
                              env={"FAKE_NO_RESULTS": "1"})
    assert (status, err) == (0, "")
    names = run_records(run_dir)
    assert len(names) == 1 and names[0].startswith("processors64-run-")
    assert names[0].endswith(f"-{os.uname().nodename}.run.json")
    assert load(run_dir / names[0])["results_file"] is None


def test_a_record_that_cannot_be_written(fake):
    launcher, benchmark, run_dir = fake
    status, _, err = recorded([launcher, "-np", "2", benchmark], run_dir,
                              env={"FAKE_GONE": "1", "FAKE_NO_RESULTS": "1", "FAKE_STATUS": "5"})
    assert status == 5
    assert len(err.splitlines()) == 1
    assert err.startswith("processors64-run: cannot write the run record ")


def test_two_candidate_results_files(fake):
    """Two results files of this job's master and time: none is taken, the
    record names both and says why, and a warning says so."""
    launcher, benchmark, run_dir = fake
    status, _, err = recorded([launcher, "-np", "1", benchmark], run_dir,
                              env={"FAKE_TWICE": "1"})
    assert status == 0
    names = run_records(run_dir)
    assert len(names) == 1 and names[0].startswith("processors64-run-")
    record = load(run_dir / names[0])
    assert record["results_file"] is None
    note = record["results_file_note"]
    assert note.startswith("no results file taken: 2 ")
    for name in os.listdir(run_dir):
        if name.endswith(".txt"):
            assert run.shown(name) in note
    assert len(err.splitlines()) == 1 and "the run record names none" in err


def test_another_jobs_results_file_is_not_taken(fake):
    launcher, benchmark, run_dir = fake
    status, _, err = recorded([launcher, "-np", "1", benchmark], run_dir,
                              env={"FAKE_OTHER_HOST": "1"})
    assert (status, err) == (0, "")
    ours = [name for name in os.listdir(run_dir) if name.endswith(".txt")
            and not name.endswith("other-master.txt")]
    record = load(run_dir / (ours[0][:-len(".txt")] + ".run.json"))
    assert record["results_file"] == ours[0]
    assert "other-master" in record["results_file_note"]


def test_a_collector_that_hangs(fake, tmp_path):
    launcher, benchmark, run_dir = fake
    hanging = executable(tmp_path / "hanging", "#!/bin/sh\nexec sleep 600\n")
    status, _, err = recorded([launcher, "-np", "1", benchmark], run_dir,
                              env={"PROCESSORS64_NODE_INVENTORY": hanging,
                                   "PROCESSORS64_INVENTORY_TIMEOUT": "1"})
    assert status == 0
    assert err == (f"processors64-run: node {os.uname().nodename}: no answer within 1 s; "
                   "its node record holds the error\n")
    record = load(run_dir / run_records(run_dir)[0])
    node = record["nodes"][0]
    assert node["host"] == os.uname().nodename and node["error"] == "no answer within 1 s"
    assert all(node[key] is None for key in run_record.NODE_KEYS[1:])


def test_a_timeout_that_is_no_number(fake):
    launcher, benchmark, run_dir = fake
    status, _, err = recorded([launcher, "-np", "1", benchmark], run_dir,
                              env={"PROCESSORS64_INVENTORY_TIMEOUT": "soon"})
    assert status == 0
    assert err == ("processors64-run: PROCESSORS64_INVENTORY_TIMEOUT='soon' is no number "
                   "of seconds; waiting 60 s\n")


def test_a_launcher_of_neither_mpi(fake, tmp_path):
    _, benchmark, run_dir = fake
    other = executable(tmp_path / "other",
                       '#!/bin/sh\n[ "$1" = --version ] && { echo "other 1.0"; exit 0; }\n'
                       'shift 2; exec "$@"\n')
    status, _, err = recorded([other, "-n", "1", benchmark], run_dir)
    assert status == 0
    assert "neither Open MPI's launcher nor MPICH's: no node records" in err
    record = load(run_dir / run_records(run_dir)[0])
    assert record["mpi"]["implementation"] is None
    assert record["nodes"][0]["error"] == "the launcher is neither Open MPI's nor MPICH's"


def wait_for(path, job):
    """Waits until `path` exists (the job got that far) or the job ended."""
    while not os.path.exists(path) and job.poll() is None:
        time.sleep(0.05)
    assert job.poll() is None, job.communicate()


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_the_inventory(fake, tmp_path, number):
    """The launcher of the inventory gets it; the benchmark never starts."""
    launcher, benchmark, run_dir = fake
    asked = tmp_path / "asked"
    collector = executable(tmp_path / "collector", f"#!/bin/sh\n: > '{asked}'\nexec sleep 600\n")
    started = tmp_path / "started"
    job = recorded([launcher, "-np", "1", benchmark], run_dir, wait=False,
                   env={"PROCESSORS64_NODE_INVENTORY": collector, "FAKE_STARTED": str(started)})
    wait_for(asked, job)
    job.send_signal(number)
    out, err = job.communicate(timeout=120)
    assert job.returncode == 128 + number
    assert err.decode() == (f"processors64-run: stopped by {signal.Signals(number).name} "
                            "before the benchmark started\n")
    assert not started.exists() and run_records(run_dir) == []


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_the_job(fake, tmp_path, number):
    """The launcher gets it; its exit status is the job's, in the record too."""
    launcher, benchmark, run_dir = fake
    started = tmp_path / "started"
    job = recorded([launcher, "-np", "1", benchmark], run_dir, wait=False,
                   env={"FAKE_STARTED": str(started), "FAKE_WAIT": "1"})
    wait_for(started, job)
    job.send_signal(number)
    job.communicate(timeout=120)
    assert job.returncode == 128 + number
    record = load(run_dir / (results_name(run_dir)[:-len(".txt")] + ".run.json"))
    assert record["exit_status"] == 128 + number


@pytest.mark.parametrize("odd", ODD, ids=["quote", "backslash", "tab", "not-utf8"])
def test_an_odd_host_name_and_directory(fake, odd):
    """The record is valid JSON and names the results file exactly."""
    if not can_set_host_name():
        pytest.skip("setting a host name needs root and a UTS namespace")
    launcher, benchmark, run_dir = fake
    host = b"n" + odd + b"de1"
    directory = os.path.join(os.fsencode(run_dir), b"w" + odd + b"d")
    os.mkdir(directory)
    status, _, err = recorded([launcher, "-np", "1", benchmark], directory, host=host)
    assert (status, err) == (0, "")
    names = os.listdir(directory)
    results = [name for name in names if name.endswith(b".txt")]
    assert len(results) == 1 and results[0].endswith(b" @ " + host + b".txt")
    record = load(os.path.join(directory, results[0][:-len(b".txt")] + b".run.json"))
    assert os.fsencode(record["results_file"]) == results[0]
    assert os.fsencode(record["nodes"][0]["host"]) == host


# ---- This build's own launcher -----------------------------------------------------

@pytest.fixture
def real():
    launcher = os.environ.get("P64_RUN_TEST_MPIEXEC")
    binary = os.environ.get("P64_RUN_TEST_BINARY")
    if not launcher or not binary:
        pytest.skip("no real launcher and binary given (P64_RUN_TEST_MPIEXEC, P64_RUN_TEST_BINARY)")
    return launcher, binary


@pytest.mark.parametrize("odd", ODD, ids=["quote", "backslash", "tab", "not-utf8"])
def test_a_real_job_under_an_odd_host_name(real, tmp_path, odd):
    """Open MPI refuses some host names: such a job fails, and its record
    still carries its exit status; where it runs, its results file is named
    exactly."""
    if not can_set_host_name():
        pytest.skip("setting a host name needs root and a UTS namespace")
    launcher, binary = real
    host = b"n" + odd + b"de1"
    directory = os.path.join(os.fsencode(tmp_path), b"w" + odd + b"d")
    os.mkdir(directory)
    env = launchers.settings(launchers.kind_of(launcher), 1)
    status, _, _ = recorded([launcher, "-n", "1", binary], directory, host=host, env=env)
    names = os.listdir(directory)
    found = [name for name in names if name.endswith(b".run.json")]
    assert len(found) == 1, names
    record = load(os.path.join(directory, found[0]))
    assert record["exit_status"] == status
    results = [name for name in names if name.endswith(b".txt")]
    if status == 0:
        assert len(results) == 1 and results[0].endswith(b" @ " + host + b".txt")
        assert os.fsencode(record["results_file"]) == results[0]
    else:
        assert record["results_file"] is None or os.fsencode(record["results_file"]) in results
