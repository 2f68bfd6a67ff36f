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
import re
import signal
import subprocess
import sys
import time

import pytest

from processors64 import (build_record, groups, job_arguments, launchers, relay, run, run_console,
                          run_record, schema, slurm)

# The fake launcher: each call's arguments and hostfile go to FAKE_CALLS (a
# JSON line), each --version to FAKE_VERSIONS. It runs its program (the first
# absolute path to an executable) as rank 0 on the hostfile's first host, or
# with --map-by (the inventory's one process per node) once per host, in
# order; FAKE_HOST tells the program its host.
FAKE_LAUNCHER = """#!PYTHON
import json, os, subprocess, sys
arguments = sys.argv[1:]
if arguments == ["--version"]:
    if os.environ.get("FAKE_VERSIONS"):
        with open(os.environ["FAKE_VERSIONS"], "a") as f:
            f.write("--version\\n")
    print("mpirun (Open MPI) 4.1.4")
    sys.exit(0)
at = next(n for n, word in enumerate(arguments) if word.startswith("/") and os.access(word, os.X_OK))
hostfile = arguments[arguments.index("--hostfile") + 1] if "--hostfile" in arguments[:at] else None
lines = open(hostfile).read().splitlines() if hostfile else []
if os.environ.get("FAKE_CALLS"):
    with open(os.environ["FAKE_CALLS"], "a") as f:
        f.write(json.dumps({"arguments": arguments[:at], "hostfile": lines}) + "\\n")
hosts = [line.split()[0] for line in lines] or [os.uname().nodename]
if "--map-by" not in arguments[:at]:
    hosts = hosts[:1]
for rank, host in enumerate(hosts):
    env = dict(os.environ, RANK_VARIABLE=str(rank), FAKE_HOST=host)
    if len(hosts) == 1:
        os.execve(arguments[at], arguments[at:], env)
    subprocess.run(arguments[at:], env=env)
""".replace("RANK_VARIABLE", launchers.KINDS["openmpi"].rank_variable).replace(
    "PYTHON", sys.executable)
FAKE_BENCHMARK = """#!/bin/sh
host=${FAKE_HOST:-$(uname -n)}
name() { echo "results_processors_lite_mac_clusters @ UTC time $(date -u -d "@$1" '+%a %b %e %H:%M:%S %Y')
 @ $2.txt"; }
now=$(date +%s)
[ -n "${FAKE_NO_RESULTS:-}" ] || echo "Thread(s): 1" > "$(name "$now" "$host")"
[ -z "${FAKE_TWICE:-}" ] || echo "Thread(s): 1" > "$(name "$((now + 1))" "$host")"
[ -z "${FAKE_OTHER_HOST:-}" ] || echo "Thread(s): 1" > "$(name "$now" other-master)"
[ -z "${FAKE_GONE:-}" ] || rmdir "$PWD"
read -r line || true
echo "read: $line"
[ -z "${FAKE_STARTED:-}" ] || echo "$host" >> "$FAKE_STARTED"
[ -z "${FAKE_WAIT:-}" ] || exec sleep 600
for failure in ${FAKE_FAIL:-}; do [ "${failure%:*}" != "$host" ] || exit "${failure#*:}"; done
exit "${FAKE_STATUS:-0}"
"""
# A collector that names the host the fake launcher gave it.
FAKE_COLLECTOR = """#!/bin/sh
printf '{"host": "%s"}\\n' "${FAKE_HOST:-$(uname -n)}"
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
    # A job left running gets a session of its own: the `background` fixture
    # ends what is left of it.
    job = subprocess.Popen(argv, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=environment, start_new_session=not wait)
    if not wait:
        return job
    out, err = job.communicate(timeout=300)
    return job.returncode, out.decode(errors="replace"), err.decode(errors="replace")


@pytest.fixture
def background():
    """recorded(..., wait=False), and after the test the end of whatever of
    the job is left (a program a signal left without its launcher)."""
    started = []

    def start(*arguments, **options):
        started.append(recorded(*arguments, wait=False, **options))
        return started[-1]
    yield start
    for job in started:
        try:
            os.killpg(job.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        job.wait()


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
    job = job_arguments.Job("openmpi", ["-np", "25", "--hostfile", "host file", "--map-by", "node",
                              "-x", "-np", "--mca", "plm_rsh_agent", "/a/agent", "--tag-output"])
    # The inventory keeps hosts and settings, not count, placement, output form.
    assert job.collector_arguments == ["--hostfile", "host file", "-x", "-np", "--mca",
                                       "plm_rsh_agent", "/a/agent"]
    assert (job.processes, job.hostfile, job.host_list, job.work_dir) == (
        "25", "host file", None, os.getcwd())


def test_mpich_arguments():
    # An option's values are never read as options; a relative -wdir.
    job = job_arguments.Job("mpich", ["-n", "4", "-f", "hosts", "-ppn", "2", "-genv", "A", "-n",
                            "-wdir", "run", "-hosts", "node1:2,node2"])
    assert job.collector_arguments == ["-f", "hosts", "-genv", "A", "-n", "-wdir", "run",
                                       "-hosts", "node1:2,node2"]
    assert (job.processes, job.hostfile, job.host_list, job.work_dir) == (
        "4", "hosts", "node1:2,node2", os.path.join(os.getcwd(), "run"))


def test_an_option_without_its_value_is_kept():
    assert job_arguments.Job("openmpi", ["-x", "A", "--hostfile"]).collector_arguments == [
        "-x", "A", "--hostfile"]


def test_expected_hosts(tmp_path, monkeypatch):
    monkeypatch.delenv("SLURM_JOB_NODELIST", raising=False)
    hostfile = tmp_path / "host file"
    hostfile.write_text("# the nodes\nnode1 slots=9\nnode2 slots=8  # the second\n\n"
                        "node3:8\nnode1 slots=1\n")
    assert job_arguments.Job("openmpi", ["--hostfile", str(hostfile)]).expected_hosts() == [
        "node1", "node2", "node3"]
    assert job_arguments.Job("mpich", ["-hosts", "a,b:2,a"]).expected_hosts() == ["a", "b"]
    assert job_arguments.Job("mpich", []).expected_hosts() == [os.uname().nodename]


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
            assert run_console.shown(name) in note
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
def test_a_signal_during_the_inventory(fake, tmp_path, background, number):
    """The launcher of the inventory gets it; the benchmark never starts."""
    launcher, benchmark, run_dir = fake
    asked = tmp_path / "asked"
    collector = executable(tmp_path / "collector", f"#!/bin/sh\n: > '{asked}'\nexec sleep 600\n")
    started = tmp_path / "started"
    job = background([launcher, "-np", "1", benchmark], run_dir,
                     env={"PROCESSORS64_NODE_INVENTORY": collector, "FAKE_STARTED": str(started)})
    wait_for(asked, job)
    job.send_signal(number)
    out, err = job.communicate(timeout=120)
    assert job.returncode == 128 + number
    assert err.decode() == (f"processors64-run: stopped by {signal.Signals(number).name} "
                            "before the benchmark started\n")
    assert not started.exists() and run_records(run_dir) == []


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_the_job(fake, tmp_path, background, number):
    """The launcher gets it; its exit status is the job's, in the record too."""
    launcher, benchmark, run_dir = fake
    started = tmp_path / "started"
    job = background([launcher, "-np", "1", benchmark], run_dir,
                     env={"FAKE_STARTED": str(started), "FAKE_WAIT": "1"})
    wait_for(started, job)
    job.send_signal(number)
    job.communicate(timeout=120)
    assert job.returncode == 128 + number
    record = load(run_dir / (results_name(run_dir)[:-len(".txt")] + ".run.json"))
    assert record["exit_status"] == 128 + number


def test_every_signal_reaches_the_launcher(fake, tmp_path, background):
    """A second INT (a launcher that shuts down on the first, as MPI's do,
    and is stopped at once by the second) is passed on too."""
    _, benchmark, run_dir = fake
    caught = tmp_path / "caught"
    launcher = executable(tmp_path / "launcher", f"""#!/bin/sh
case "$*" in *"{benchmark}"*) ;; *) exit 0 ;; esac  # the node inventory: none
n=0
trap 'n=$((n + 1)); echo INT >> "{caught}"; [ $n -lt 2 ] || exit 7' INT
echo > "{caught}"
while :; do sleep 0.05; done
""")
    job = background([launcher, benchmark], run_dir)
    lines_of(caught, 1, job)
    for count in (2, 3):
        job.send_signal(signal.SIGINT)
        if count == 2:
            lines_of(caught, count, job)
    assert job.wait(timeout=120) == 7 and open(caught).read().count("INT") == 2


# ---- A window of several jobs ----------------------------------------------------

@pytest.fixture
def hosts(fake, tmp_path):
    """The fake job with the short build's cap of 4 and a hostfile of hostA,
    hostB, hostC with 1, 2 and 3 CPUs (hostA's extra slot is the master's);
    the environment that notes the launcher's calls and names each node
    after the host the launcher gave it."""
    launcher, benchmark, run_dir = fake
    with open(benchmark + ".build.json", "w") as f:
        json.dump(dict(BUILD, cap=4, launcher=launcher), f)
    hostfile = tmp_path / "hosts"
    hostfile.write_text("hostA slots=2\nhostB slots=2\nhostC slots=3\n")
    env = {"PROCESSORS64_NODE_INVENTORY": executable(tmp_path / "collector", FAKE_COLLECTOR),
           "FAKE_CALLS": str(tmp_path / "calls"), "FAKE_VERSIONS": str(tmp_path / "versions")}
    return launcher, benchmark, run_dir, str(hostfile), env


def calls(env):
    """The fake launcher's calls that started the benchmark, not the
    inventory, in the order of their hostfiles' first hosts (the jobs start
    side by side, in any order)."""
    with open(env["FAKE_CALLS"]) as f:
        found = [json.loads(line) for line in f]
    return sorted((call for call in found if "--map-by" not in call["arguments"]),
                  key=lambda call: call["hostfile"][:1])


def window_records(directory):
    """The window's records in group order: one window, its groups numbered
    1 to n, each record's keys in the schema's order."""
    records = sorted((load(os.path.join(directory, name)) for name in run_records(directory)),
                     key=lambda record: record["window"]["group"])
    assert len({record["window"]["id"] for record in records}) == 1
    assert [(r["window"]["group"], r["window"]["groups"]) for r in records] == [
        (number, len(records)) for number in range(1, len(records) + 1)]
    assert all(list(record) == list(run_record.RUN_KEYS) for record in records)
    return records


def places(record):
    return [tuple(place.values()) for place in record["placement"]]


@pytest.mark.parametrize("per_job, expected", [
    (2, [[("hostA", 1, 1, 1), ("hostB", 2, 2, 2)], [("hostC", 3, 3, 3)]]),
    (1, [[("hostA", 1, 1, 1)], [("hostB", 2, 2, 2)], [("hostC", 3, 3, 3)]]),
])
def test_hosts_split_into_jobs_side_by_side(hosts, per_job, expected):
    launcher, benchmark, run_dir, hostfile, env = hosts
    status, out, err = recorded(["--nodes-per-job", str(per_job), launcher, "-np", "7",
                                 "--hostfile", hostfile, "--mca", "a", "b", benchmark], run_dir,
                                env=env)
    assert status == 0, err
    records = window_records(run_dir)
    assert [places(record) for record in records] == expected
    for record, call in zip(records, calls(env)):
        first = record["placement"][0]["host"]
        # Its own hostfile (the master's node one slot more) and count; the
        # given count and hostfile left out, every other argument kept.
        assert call["hostfile"] == [f"{host} slots={workers + (host == first)}"
                                    for host, _, workers, _ in places(record)]
        assert call["arguments"][:3] == ["--mca", "a", "b"] and "-np" not in call["arguments"]
        assert call["arguments"][-2:] == ["-n", str(record["processes"])]
        assert record["command"][1:] == call["arguments"] + [benchmark]
        assert record["results_file"].endswith(f" @ {first}.txt") and record["exit_status"] == 0
        assert [node["host"] for node in record["nodes"]] == [p[0] for p in places(record)]
        assert record["window"]["nodes"] == ["hostA", "hostB", "hostC"]
    # Standard input closed; each job's output whole; a line per group before.
    assert out == "read: \n" * len(expected)
    assert err.splitlines()[1:] == [
        f"processors64-run: group {n} of {len(expected)}: " + ", ".join(
            f"{host} ({workers} worker{'s' * (workers > 1)})" for host, _, workers, _ in group)
        for n, group in enumerate(expected, start=1)]
    # The launcher's --version was asked once for the whole window.
    with open(env["FAKE_VERSIONS"]) as f:
        assert f.read() == "--version\n"


def test_a_job_past_the_cap_runs_as_given(hosts):
    """Ranks 4 to 6 (hostC's) are not collected: said before, kept in the record."""
    launcher, benchmark, run_dir, hostfile, env = hosts
    command = [launcher, "-np", "7", "--hostfile", hostfile, benchmark]
    status, _, err = recorded(command, run_dir, env=env)
    assert status == 0
    assert err == ("processors64-run: the master collects at most 4 processes: ranks 4 to 6 "
                   "will not be measured: 3 on hostC\n")
    assert [call["arguments"] for call in calls(env)] == [command[1:-1]]
    [record] = window_records(run_dir)
    assert places(record) == [("hostA", 1, 1, 1), ("hostB", 2, 2, 2), ("hostC", 3, 3, 0)]
    assert record["window"]["nodes"] == ["hostA", "hostB", "hostC"] and record["processes"] == 7
    # A record of before windows, without window and placement, still loads.
    path = run_dir / run_records(run_dir)[0]
    path.write_text(json.dumps({key: value for key, value in record.items()
                                if key not in ("window", "placement")}))
    assert "window" not in run_record.load(path)[0]


def test_window_ids(fake):
    """Slurm's job id; else one made at start, unique to the run."""
    launcher, benchmark, run_dir = fake
    found = []
    for env in ({}, {}, {"SLURM_JOB_ID": "1234"}):
        directory = run_dir / str(len(found))
        directory.mkdir()
        assert recorded([launcher, "-np", "1", benchmark], directory, env=env)[0] == 0
        [record] = window_records(directory)
        assert record["window"]["nodes"] == [os.uname().nodename]
        assert places(record) == [(os.uname().nodename, None, 0, 0)]
        found.append(record["window"]["id"])
    host = re.escape(os.uname().nodename)
    assert all(re.fullmatch(rf"\d{{8}}T\d{{6}}Z-{host}-\d+", made) for made in found[:2])
    assert found[0] != found[1] and found[2:] == ["1234"]


ARRAY_TASK = {"SLURM_ARRAY_JOB_ID": "1234", "SLURM_ARRAY_TASK_ID": "7",
              "SLURM_ARRAY_TASK_COUNT": "16", "SLURM_ARRAY_TASK_MIN": "1",
              "SLURM_ARRAY_TASK_MAX": "16"}
NAMED = {"id": "week-49", "group": 1, "groups": 1, "named": True}


@pytest.mark.parametrize("arguments, env, expected", [
    # A task of a job array: the array's id, the task's number, the task count.
    ([], ARRAY_TASK, {"id": "1234", "group": 7, "groups": 16, "array": True}),
    # An array numbered from 0 without a count: one more each, from 1.
    ([], {"SLURM_ARRAY_JOB_ID": "1234", "SLURM_ARRAY_TASK_ID": "0",
          "SLURM_ARRAY_TASK_MIN": "0", "SLURM_ARRAY_TASK_MAX": "3"},
     {"id": "1234", "group": 1, "groups": 4, "array": True}),
    # A name wins over the array's id; the option over the variable.
    (["--window", "week-49"], ARRAY_TASK, NAMED),
    ([], dict(ARRAY_TASK, PROCESSORS64_WINDOW="week-49"), NAMED),
    (["--window=week-49"], {"PROCESSORS64_WINDOW": "other"}, NAMED),
])
def test_a_windows_identity(fake, arguments, env, expected):
    """The record of an array's task and of a named window's job: their own
    node, and the cluster's name in the record's Slurm variables."""
    launcher, benchmark, run_dir = fake
    env = dict(env, SLURM_JOB_ID="1240", SLURM_CLUSTER_NAME="north")
    status, _, err = recorded([*arguments, launcher, "-np", "1", benchmark], run_dir, env=env)
    assert (status, err) == (0, "")
    [record] = [load(run_dir / name) for name in run_records(run_dir)]
    assert record["window"] == dict(expected, nodes=[os.uname().nodename])
    assert record["slurm"]["job_id"] == "1240" and record["slurm"]["cluster"] == "north"


def test_a_named_window_of_several_jobs(hosts):
    """Each job of the split numbered in the name's window."""
    launcher, benchmark, run_dir, hostfile, env = hosts
    status, _, err = recorded(["--window", "sweep-1", "--nodes-per-job", "1", launcher,
                               "--hostfile", hostfile, benchmark], run_dir, env=env)
    assert status == 0, err
    assert "processors64-run: window sweep-1: 3 jobs side by side" in err
    assert [record["window"] for record in window_records(run_dir)] == [
        {"id": "sweep-1", "group": n, "groups": 3, "nodes": ["hostA", "hostB", "hostC"],
         "named": True} for n in (1, 2, 3)]


@pytest.mark.parametrize("arguments, env, message", [
    (["--window", "a b"], {}, "--window takes a window name (letters, digits and _.+-, at "
                              "most 64, a letter or digit first), not 'a b'"),
    (["--window", "w" * 65], {}, "--window takes a window name"),
    (["--window="], {}, "--window takes a window name"),
    ([], {"PROCESSORS64_WINDOW": "../up"}, "PROCESSORS64_WINDOW takes a window name"),
    (["--window"], {}, "--window takes a window name\nusage: "),
])
def test_a_bad_window_name(fake, arguments, env, message):
    launcher, benchmark, run_dir = fake
    command = [*arguments, launcher, "-np", "1", benchmark]
    if arguments == ["--window"]:
        command = ["--window"]
    status, out, err = recorded(command, run_dir, env=env)
    assert (status, out) == (2, "") and err.startswith(f"processors64-run: {message}"), err
    assert len(err.splitlines()) == (1 if "usage" not in message else 3)
    assert os.listdir(run_dir) == []


def test_the_first_group_that_failed(hosts):
    """Its status is the window's; a line for each failed group; every group
    has its record, of a name of its own where it made no results file."""
    launcher, benchmark, run_dir, hostfile, env = hosts
    status, _, err = recorded(["--nodes-per-job", "1", launcher, "--hostfile", hostfile, benchmark],
                              run_dir, env=dict(env, FAKE_FAIL="hostB:3 hostC:5", FAKE_NO_RESULTS="1"))
    assert status == 3
    assert err.splitlines()[-2:] == [
        "processors64-run: group 2 of 3 (hostB) failed: exit status 3",
        "processors64-run: group 3 of 3 (hostC) failed: exit status 5"]
    records = window_records(run_dir)
    assert [record["exit_status"] for record in records] == [0, 3, 5]
    assert [name.rsplit("-", 1)[1] for name in run_records(run_dir)] == [
        "hostA.run.json", "hostB.run.json", "hostC.run.json"]


def lines_of(path, count, job):
    """Waits until `path` has `count` lines (the job got that far) or the job ended."""
    while (not os.path.exists(path) or len(open(path).readlines()) < count) and job.poll() is None:
        time.sleep(0.05)
    assert job.poll() is None, job.communicate()


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_reaches_every_group(hosts, tmp_path, background, number):
    """During the inventories, and during the jobs: every launcher gets it."""
    launcher, benchmark, run_dir, hostfile, env = hosts
    command = ["--nodes-per-job", "1", launcher, "--hostfile", hostfile, benchmark]
    asked = tmp_path / "asked"
    hanging = executable(tmp_path / "hanging", f"#!/bin/sh\necho >> '{asked}'\nexec sleep 600\n")
    job = background(command, run_dir, env=dict(env, PROCESSORS64_NODE_INVENTORY=hanging))
    lines_of(asked, 3, job)
    job.send_signal(number)
    assert job.wait(timeout=120) == 128 + number and run_records(run_dir) == []

    started = tmp_path / "started"
    job = background(command, run_dir, env=dict(env, FAKE_WAIT="1", FAKE_STARTED=str(started)))
    lines_of(started, 3, job)
    job.send_signal(number)
    assert job.wait(timeout=120) == 128 + number
    assert [record["exit_status"] for record in window_records(run_dir)] == [128 + number] * 3


def in_process(monkeypatch, run_dir, env):
    """processors64-run in this process: in `run_dir`, with `env`."""
    monkeypatch.chdir(run_dir)
    for key, value in env.items():
        monkeypatch.setenv(key, value)


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_no_group_starts_once_a_signal_came(hosts, tmp_path, monkeypatch, capsys, number):
    """A signal right after the first group's launcher started: it gets the
    signal, no later group starts, none is left running; the handlers of
    before come back."""
    launcher, benchmark, run_dir, hostfile, env = hosts
    in_process(monkeypatch, run_dir, dict(env, FAKE_WAIT="1"))
    started = []
    start = relay.Launched.start

    def start_then_signal(self, command, **options):
        started.append(start(self, command, **options))
        if "--map-by" not in command:      # a group's job, not its inventory
            os.kill(os.getpid(), number)
        return started[-1]
    monkeypatch.setattr(relay.Launched, "start", start_then_signal)
    before = [signal.getsignal(passed) for passed in relay.PASSED_ON]
    assert run.main(["--nodes-per-job", "1", launcher, "--hostfile", hostfile,
                     benchmark]) == 128 + number
    assert [signal.getsignal(passed) for passed in relay.PASSED_ON] == before
    jobs = [child for child in started if "--map-by" not in child.args]
    assert len(jobs) == 1 and all(child.poll() is not None for child in started)
    [record] = [load(run_dir / name) for name in run_records(run_dir)]
    assert record["window"]["group"] == 1 and record["exit_status"] == 128 + number
    name = signal.Signals(number).name
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"processors64-run: stopped by {name}: groups 2 to 3 of 3 not started")


@pytest.fixture
def own_handlers():
    """Handlers of this test's for INT, TERM and HUP, noting each signal
    that came; those of before come back after the test."""
    came = []
    before = {number: signal.signal(number, lambda number, frame: came.append(number))
              for number in relay.PASSED_ON}
    yield came
    for number, handler in before.items():
        signal.signal(number, handler)


def test_signals_after_the_window_are_not_swallowed(hosts, tmp_path, monkeypatch, capsys,
                                                    own_handlers):
    """During the batch job's verdict, INT, TERM and HUP reach the handlers
    this process had before the window; Python's own INT ends it with 130."""
    launcher, benchmark, run_dir, _, env = hosts
    executable(tmp_path / "bin" / "scontrol", "#!/bin/sh\nprintf 'hostA\\n'\n")
    in_process(monkeypatch, run_dir, dict(
        env, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}", SLURM_JOB_ID="42",
        SLURM_JOB_NODELIST="hostA", SLURM_JOB_CPUS_PER_NODE="1"))

    def verdict_step(*arguments):
        for number in relay.PASSED_ON:
            os.kill(os.getpid(), number)
        return 7
    monkeypatch.setattr(run, "after_window", verdict_step)
    assert run.main(["--slurm", "--verdict", benchmark]) == 7
    assert own_handlers == list(relay.PASSED_ON)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    assert run.main(["--slurm", "--verdict", benchmark]) == 128 + signal.SIGINT
    assert capsys.readouterr().err.splitlines()[-1] == "processors64-run: stopped by SIGINT"


def test_the_verdict_of_a_window_without_results(hosts, tmp_path):
    """--verdict where no job made a results file: no verdict; inconclusive,
    or the window's own failure."""
    launcher, benchmark, run_dir, _, env = hosts
    executable(tmp_path / "bin" / "scontrol", "#!/bin/sh\nprintf 'hostA\\n'\n")
    env = dict(env, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}", SLURM_JOB_ID="42",
               SLURM_JOB_NODELIST="hostA", SLURM_JOB_CPUS_PER_NODE="1", FAKE_NO_RESULTS="1")
    for status, expected in (("0", 3), ("5", 5)):
        found, _, err = recorded(["--slurm", "--verdict", benchmark], run_dir,
                                 env=dict(env, FAKE_STATUS=status))
        assert found == expected
        assert err.endswith("processors64-run: no results file of this job: no verdict\n")


def test_a_slurm_allocation_past_the_cap(hosts, tmp_path):
    """Nodes of 1, 2 and 4 CPUs, a cap of 4: hostA and hostB a job, hostC
    one of its own with 3 of its 4 CPUs; an allocation that fits is one job
    as Slurm places it."""
    launcher, benchmark, run_dir, _, env = hosts
    executable(tmp_path / "bin" / "scontrol", "#!/bin/sh\nprintf 'hostA\\nhostB\\nhostC\\n'\n")
    env = dict(env, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}", SLURM_JOB_ID="42",
               SLURM_JOB_NODELIST="host[A-C]", SLURM_JOB_CPUS_PER_NODE="1,2,4")
    status, _, err = recorded(["--slurm", benchmark], run_dir, env=env)
    assert status == 0
    assert "processors64-run: hostC: 3 of its 4 CPUs measured: its job's master collects at " \
           "most 4 processes\n" in err
    records = window_records(run_dir)
    assert [places(record) for record in records] == [
        [("hostA", 1, 1, 1), ("hostB", 2, 2, 2)], [("hostC", 4, 3, 3)]]
    assert [call["hostfile"] for call in calls(env)] == [
        ["hostA slots=2", "hostB slots=2"], ["hostC slots=4"]]
    assert {record["window"]["id"] for record in records} == {"42"}
    assert records[0]["slurm"]["job_id"] == "42" and records[0]["slurm"]["cluster"] is None

    directory = run_dir / "fits"
    directory.mkdir()
    status, _, _ = recorded(["--slurm", benchmark], directory,
                            env=dict(env, SLURM_JOB_CPUS_PER_NODE="1(x3)"))
    [record] = window_records(directory)
    assert status == 0 and record["command"] == [launcher, "-np", "4", benchmark]
    assert places(record) == [("hostA", 1, 1, 1), ("hostB", 1, 1, 1), ("hostC", 1, 1, 1)]
    with open(env["FAKE_VERSIONS"]) as f:
        assert f.read() == "--version\n" * 2   # once a window


@pytest.mark.parametrize("arguments, status, message", [
    (["--nodes-per-job", "0", "L", "B"], 2,
     "--nodes-per-job takes a number of nodes, 1 or more, not '0'"),
    (["--nodes-per-job", "2", "L", "-np", "3", "B"], 2,
     "--nodes-per-job splits the hosts of a hostfile or host list: the job names none"),
    (["--nodes-per-job", "2", "L", "--host", "hostA:2,hostB", "B"], 2,
     "the job gives hostB no slots: --nodes-per-job needs every host's (hostB slots=N)"),
    (["--verdict", "L", "B"], 2, "usage: processors64-run [--window NAME] [--nodes-per-job K]"),
    (["--slurm", "B"], 1, "not inside a Slurm job (no SLURM_JOB_CPUS_PER_NODE"),
])
def test_what_cannot_run(hosts, arguments, status, message):
    launcher, benchmark, run_dir, _, env = hosts
    command = [{"L": launcher, "B": benchmark}.get(word, word) for word in arguments]
    found, out, err = recorded(command, run_dir, env=env)
    assert (found, out) == (status, "")
    assert err.startswith(f"processors64-run: {message}") and "Traceback" not in err
    assert run_records(run_dir) == []


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
