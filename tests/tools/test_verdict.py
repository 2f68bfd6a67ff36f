"""results.py verdict on made-up runs of 16 nodes: which nodes it flags and
drains, what it says changed on them, which it could not measure, over
windows of several jobs whose placement changes every week, with and
without window ids; and its drain list run by a shell and by --apply
against a stand-in for Slurm's sinfo and scontrol."""

import json
import os
import subprocess
import types
from datetime import datetime, timedelta

import pytest

import made_up
from processors64 import run
from processors64.window_verdict import after_window

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "results.py")
HOSTS = made_up.cluster_hosts(16, 2)
NODES = [f"node{n:02d}" for n in range(1, 17)]
STEADY = [{}] * 4
NEW_MICROCODE = "0xa0011d2"
MONDAY = datetime(2026, 11, 2, 6, 0, 0)  # the first week of made_up.write_weeks

# sinfo and scontrol as far as the verdict uses them: sinfo prints the nodes
# of states.json, scontrol logs its arguments and updates states.json.
FAKE_SLURM = r'''#!/usr/bin/python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
states_path = os.path.join(here, "states.json")
states = json.load(open(states_path))
if os.path.basename(sys.argv[0]) == "sinfo":
    for node, (state, reason) in states.items():
        print(f"{node}|{state}|{reason}")
    sys.exit(0)
with open(os.path.join(here, "calls.jsonl"), "a") as log:
    log.write(json.dumps(sys.argv[1:]) + "\n")
words = dict(word.split("=", 1) for word in sys.argv[2:])
for node in words["NodeName"].split(","):
    states[node] = (["drained", words["Reason"]] if words["State"] == "DRAIN" else ["idle", ""])
json.dump(states, open(states_path, "w"))
'''


def verdict(*args, cwd=None, env=None):
    job = subprocess.run([TOOL, "verdict", *args], capture_output=True, text=True, cwd=cwd,
                         env=env, stdin=subprocess.DEVNULL, timeout=120)
    assert "Traceback" not in job.stderr, job.stderr
    return job


def cluster(directory, factors, hosts=HOSTS, records=None):
    """Weekly runs, one per entry of `factors`; records: {run index: {host:
    node record}} writes those runs' records (the other nodes as made up)."""
    os.makedirs(directory, exist_ok=True)
    paths = made_up.write_history(str(directory), hosts, factors)
    for index, nodes in (records or {}).items():
        made_up.write_record(paths[index], hosts, nodes)
    return paths


def slow_node_microcode(directory, slow=("node7",)):
    """Four steady runs, then `slow` 20% slower with new microcode."""
    return cluster(directory, STEADY + [{host: 0.8 for host in slow}],
                   records={3: {}, 4: {host: made_up.node_record(
                       host, microcode=NEW_MICROCODE) for host in slow}})


def weekly_windows(directory, newest, **options):
    """16 nodes measured weekly by 4 jobs of 4 nodes, placed anew each week
    (made_up.write_weeks)."""
    return made_up.write_weeks(directory, NODES, newest, **options)


def node(document, host):
    return next(entry for entry in document["nodes"] if entry["host"] == host)


def drain_lines(text):
    return [line for line in text.splitlines() if line.startswith("scontrol ")]


@pytest.fixture
def slurm(tmp_path):
    """A stand-in for Slurm's commands on PATH: .env to run the tool with,
    .set_states({node: [state, reason]}), .calls() (the scontrol argument
    lists since the last call), .states (the file of the nodes' states)."""
    bin_dir = tmp_path / "slurm"
    bin_dir.mkdir()
    for name in ("sinfo", "scontrol"):
        (bin_dir / name).write_text(FAKE_SLURM)
        (bin_dir / name).chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")

    def set_states(states):
        (bin_dir / "states.json").write_text(json.dumps(states))

    def calls():
        log = bin_dir / "calls.jsonl"
        found = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []
        log.unlink(missing_ok=True)
        return found

    set_states({host: ["idle", ""] for host in dict.fromkeys(HOSTS)})
    return types.SimpleNamespace(env=env, set_states=set_states, calls=calls,
                                 states=bin_dir / "states.json")


def test_one_slow_node_with_new_microcode(tmp_path, slurm):
    env, calls = slurm.env, slurm.calls
    paths = slow_node_microcode(tmp_path / "runs")
    job = verdict(*paths)
    assert job.returncode == 1, job.stderr
    text = job.stdout
    assert text.startswith("verdict: nodes flagged; drain 1: node7\n"), text
    assert "16 nodes in 1 job (masters node1), 16 measured; 4 earlier windows\n" in text
    assert f"\n    microcode 0xa0011d1 -> {NEW_MICROCODE}\n" in text
    assert text.count(": drain\n") == 1 and "\nnode7: drain\n" in text
    assert text.endswith("\nhealthy: 15 nodes of 16\n"), text
    # The verdict's own files beside the results file, as the batch job
    # writes them, are no reports: results_* may name them.
    for suffix in (".verdict.txt", ".drain.sh"):
        with open(paths[-1][:-len(".txt")] + suffix, "w") as f:
            f.write(text)
    directory = os.path.dirname(paths[-1])
    job = verdict(*sorted(os.path.join(directory, name) for name in os.listdir(directory)))
    assert job.returncode == 1 and job.stdout == text and not job.stderr, job.stderr

    document = json.loads(verdict("--format", "json", *paths).stdout)
    assert document["verdict"] == "flagged" and document["exit_status"] == 1
    hosts = {entry["host"]: entry for entry in document["nodes"]}
    assert [host for host, entry in hosts.items() if entry["flagged"]] == ["node7"]
    node7 = hosts["node7"]
    assert node7["drain"] and node7["changes"] == [f"microcode 0xa0011d1 -> {NEW_MICROCODE}"]
    assert node7["class"] == {"cpu_model": "AMD EPYC 7B13", "logical_cpus": 8}
    for figures in node7["tests"].values():
        assert figures["peers"] == 16 and figures["z"] < -3.5 and figures["slow_vs_peers"]
        assert -0.23 < figures["rate"] / figures["peer_median"] - 1 < -0.17
        assert figures["degraded"] and figures["earlier_windows"] == 4
    assert len(node7["reasons"]) == 3 and all(
        reason.endswith("Streaming vs peers and own past") for reason in node7["reasons"])

    # The drain list, run by a shell: one scontrol with the words --apply uses.
    job = verdict("--drain-list", *paths, env=env)
    assert job.returncode == 1 and len(drain_lines(job.stdout)) == 1, job.stdout
    subprocess.run(["sh", "-c", job.stdout], env=env, check=True, cwd=tmp_path)
    (call,) = calls()
    reason = call[3][len("Reason="):]
    assert call[:3] == ["update", "NodeName=node7", "State=DRAIN"]
    assert call[3].startswith("Reason=") and reason.startswith("processors64: -2")
    assert reason.split()[2:3] in (["Float"], ["Integer"], ["Logic"]), reason
    assert f"; microcode 0xa0011d1 -> {NEW_MICROCODE}" in reason
    assert len(reason.encode()) <= 255 and reason.isprintable() and reason.isascii()


def test_whole_cluster_slower_is_cluster_wide(tmp_path):
    paths = cluster(tmp_path, STEADY + [{host: 0.85 for host in HOSTS}])
    job = verdict(*paths)
    assert job.returncode == 1 and job.stdout.startswith("verdict: cluster-wide"), job.stdout
    assert job.stdout.count("cluster-wide: ") == 4  # three tests and the class
    assert "drain\n" not in job.stdout
    assert drain_lines(verdict("--drain-list", *paths).stdout) == []
    document = json.loads(verdict("--format", "json", *paths).stdout)
    assert not any(entry["drain"] for entry in document["nodes"])
    assert all(entry["flagged"] and entry["verdict"] == "cluster-wide"
               for entry in document["nodes"])


def test_shell_syntax_in_host_names_and_records(tmp_path, slurm):
    env, calls = slurm.env, slurm.calls
    evil = "node5$(touch pwned);touch pwned"
    hosts = [evil if host == "node5" else host for host in HOSTS]
    kernel = 'x$(touch pwned)"; touch pwned; `touch pwned` \\ !x\n'
    bad_kernel = dict(made_up.node_record("node9"), kernel=kernel)
    paths = cluster(tmp_path / "runs", STEADY + [{evil: 0.7, "node9": 0.7}], hosts=hosts,
                    records={3: {}, 4: {"node9": bad_kernel}})
    for apply in ([], ["--apply"]):
        job = verdict("--drain-list", *apply, *paths, env=env, cwd=tmp_path)
        assert job.returncode == 1, job.stderr
        assert "is no valid Slurm node name" in job.stderr and "node5" not in job.stdout
        assert len(drain_lines(job.stdout)) == 1 and "NodeName=node9 " in job.stdout
        if not apply:
            subprocess.run(["sh", "-c", job.stdout], env=env, check=True, cwd=tmp_path)
        (call,) = calls()
        assert call[1] == "NodeName=node9" and "kernel 6.1.0-18-amd64 -> x?(touch pwned)?;" \
            in call[3], call
        assert not os.path.exists(tmp_path / "pwned")
    assert "node5$(touch pwned);touch pwned: drain" in verdict(*paths).stdout


def test_what_is_not_flagged(tmp_path):
    """8% slow among 16, and a class of 3 with one 30% slow: healthy."""
    xeons = ["xeon1", "xeon2", "xeon3"]
    hosts = HOSTS + [host for host in xeons for _ in range(2)]
    (path,) = made_up.write_history(str(tmp_path), hosts, [{"node4": 0.92, "xeon2": 0.7}])
    made_up.write_record(path, hosts, {host: made_up.node_record(
        host, cpu_model="Intel Xeon Gold 6338") for host in xeons})
    job = verdict(path)
    assert job.returncode == 0 and job.stdout.startswith("verdict: healthy\n"), job.stdout
    assert ("peers: class Intel Xeon Gold 6338, 8 logical CPUs has 3 hosts (xeon1, xeon2, "
            "xeon3): fewer than 4, no peer judgement") in job.stdout
    assert "not judged (no peers, no past): xeon1, xeon2, xeon3" in job.stdout
    hosts = json.loads(verdict("--format", "json", path).stdout)["nodes"]
    node4 = next(entry for entry in hosts if entry["host"] == "node4")
    assert not any(entry["flagged"] for entry in hosts) and node4["judged"]
    assert all(figures["z"] < -3.5 for figures in node4["tests"].values())


def test_inconclusive_and_unreadable(tmp_path):
    (alone,) = made_up.write_history(str(tmp_path), made_up.cluster_hosts(3, 2), [{}])
    job = verdict(alone)
    assert job.returncode == 3 and job.stdout.startswith("verdict: inconclusive\n"), job.stdout
    assert "nothing to judge" in job.stdout
    text = open(alone).read()
    cut = made_up.write_run(str(tmp_path), HOSTS, made_up.worker_rates(HOSTS),
                                 when=datetime(2026, 12, 9, 7, 0, 0))
    with open(cut, "w") as f:
        f.write(text[:text.index("Integer Streaming.")])
    job = verdict(cut)
    assert (job.returncode == 3 and "no node of the window was measured" in job.stdout and
            "node3: not measured: the report of node1 stopped early (it ends before Integer "
            "Streaming)" in job.stdout), job.stdout
    garbled = tmp_path / "results_garbled.txt"
    garbled.write_text("Thread(s): 3\nnot a report\n")
    job = verdict(str(garbled), alone)
    assert job.returncode == 2 and len(job.stderr.splitlines()) == 1, job.stderr
    assert "results_garbled.txt" in job.stderr
    assert json.loads(verdict("--format", "json", str(garbled), alone).stdout)["exit_status"] == 2
    assert verdict("--apply", alone).returncode == 2


def test_apply_drains_and_resumes_only_its_own(tmp_path, slurm):
    env, set_states, calls = slurm.env, slurm.set_states, slurm.calls
    states = {host: ["idle", ""] for host in dict.fromkeys(HOSTS)}
    states["node3"] = ["drained", "bad DIMM, ticket 4711"]
    states["node12"] = ["down*", "not responding"]
    set_states(states)
    paths = slow_node_microcode(tmp_path, slow=("node7", "node3"))
    job = verdict("--drain-list", "--apply", *paths, env=env)
    assert job.returncode == 1, job.stderr
    assert [call[1:3] for call in calls()] == [["NodeName=node7", "State=DRAIN"]]
    assert ("# left as it is: node3 is drained with a reason not written by this tool: "
            "bad DIMM, ticket 4711") in job.stdout

    # A later run with every node healthy: node7 comes back, node3 stays.
    later = made_up.write_run(str(tmp_path), HOSTS, made_up.worker_rates(HOSTS, 7),
                                   when=datetime(2026, 12, 9, 7, 0, 0))
    job = verdict("--drain-list", *paths, later, env=env)
    assert job.returncode == 0 and drain_lines(job.stdout) == [
        "scontrol update NodeName=node7 State=RESUME"], job.stdout
    assert verdict("--drain-list", "--apply", *paths, later, env=env).returncode == 0
    assert calls() == [["update", "NodeName=node7", "State=RESUME"]]
    after = json.loads(slurm.states.read_text())
    assert after["node3"] == states["node3"] and after["node12"] == states["node12"]
    assert after["node7"] == ["idle", ""]


def test_host_with_domain_is_slurm_node_of_first_label(tmp_path, slurm):
    env = slurm.env
    hosts = [f"{host}.example.org" for host in HOSTS]
    paths = cluster(tmp_path, STEADY + [{"node7.example.org": 0.8}], hosts=hosts)
    lines = drain_lines(verdict("--drain-list", *paths, env=env).stdout)
    assert len(lines) == 1 and lines[0].startswith("scontrol update NodeName=node7 State=DRAIN ")


def test_the_batch_jobs_verdict(tmp_path, capsys):
    """processors64-run --slurm --verdict, once every job of the window has
    written its record: the window of that id is judged, not a later one."""
    paths = weekly_windows(tmp_path, {"node07": 0.8})
    base = paths[0][:-len(".txt")]
    assert after_window(str(tmp_path), base, "1004", 0) == 1
    with open(base + ".verdict.txt") as f:
        text = f.read()
    assert text.startswith("verdict: nodes flagged; drain 1: node07\n")
    assert capsys.readouterr().out == text
    with open(base + ".drain.sh") as f:
        lines = drain_lines(f.read())
    assert len(lines) == 1 and lines[0].startswith("scontrol update NodeName=node07 State=DRAIN ")
    assert after_window(str(tmp_path), base, "1004", 137) == 137  # the window's own failure
    assert after_window(str(tmp_path), base, "1003", 0) == 0  # the week before: healthy
    # A sweep's: the files at a base of its own, the window found by its id.
    capsys.readouterr()
    assert after_window(str(tmp_path), str(tmp_path / "week-5"), "1004", 0) == 1
    assert [os.path.exists(tmp_path / f"week-5{suffix}") for suffix in (
        ".verdict.txt", ".drain.sh")] == [True, True]
    assert run.main(["--slurm", "--verdicts", paths[-1]]) == 2


def test_help_names_exit_statuses():
    job = subprocess.run([TOOL, "verdict", "--help"], capture_output=True, text=True)
    words = " ".join(job.stdout.split())
    assert job.returncode == 0 and all(status in words for status in (
        "0 healthy", "1 nodes flagged", "2 ", "3 inconclusive")), job.stdout


@pytest.mark.parametrize("ids", [True, False], ids=["window ids", "started by hand"])
def test_one_slow_node_among_jobs_placed_anew_each_week(tmp_path, ids):
    """The window is judged whole whatever its masters: node07 held against
    all 16 nodes and its own four earlier weeks, under other masters."""
    weekly_windows(tmp_path, {"node07": 0.8}, ids=ids,
                   records={"node07": made_up.node_record("node07", microcode=NEW_MICROCODE)})
    job = verdict(str(tmp_path))
    text = job.stdout
    assert job.returncode == 1 and text.startswith("verdict: nodes flagged; drain 1: node07\n")
    window = "window 1004" if ids else "window 2026-11-30T06:00:00Z"
    assert f"\n{window}, 2026-11-30 06:00:00 UTC: 16 nodes in 4 jobs (masters " in text, text
    assert ", 16 measured; 4 earlier windows\n" in text and text.count(": drain\n") == 1
    assert ("changed since the window of 2026-11-23 06:00:00 UTC:\n"
            f"    microcode 0xa0011d1 -> {NEW_MICROCODE}\n") in text
    assert text.endswith("\nhealthy: 15 nodes of 16\n") and "not measured" not in text
    document = json.loads(verdict("--format", "json", str(tmp_path)).stdout)
    assert len(document["nodes"]) == 16 and len(document["earlier_windows"]) == 4
    assert len(document["window"]["jobs"]) == 4 and document["window"]["groups"] == 4
    for figures in node(document, "node07")["tests"].values():
        assert figures["peers"] == 16 and figures["earlier_windows"] == 4 and figures["degraded"]
    history = subprocess.run([TOOL, "history", "--format", "csv", str(tmp_path)],
                             capture_output=True, text=True).stdout.splitlines()
    assert len(history) == 1 + 3 * 16 and all(line.split(",")[3] == "5" for line in history[1:])
    assert sorted(line.split(",")[2] for line in history[1:] if line.endswith(",true")) == \
        ["node07"] * 3


def test_a_failed_job_leaves_its_nodes_not_measured(tmp_path, slurm):
    """A job of the window made no results file: its 4 nodes are not
    measured, never healthy, never resumed; nothing flagged is inconclusive."""
    weekly_windows(tmp_path / "quiet", {}, failed=(3,))
    job = verdict(str(tmp_path / "quiet"))
    lines = [line for line in job.stdout.splitlines() if ": not measured: " in line]
    assert job.returncode == 3 and "inconclusive: 4 nodes of the window not measured" in job.stdout
    assert len(lines) == 4 and all("(group 3 of 4, master " in line and
                                   "ended with exit status 137 and made no results file" in line
                                   for line in lines), job.stdout
    missing = [line.split(":")[0] for line in lines]
    document = json.loads(verdict("--format", "json", str(tmp_path / "quiet")).stdout)
    assert [entry["host"] for entry in document["nodes"]
            if entry["verdict"] == "not measured"] == missing
    assert len(document["window"]["failed_jobs"]) == 1
    # Drained by this tool before: the healthy one comes back, the unmeasured stay.
    healthy = next(host for host in NODES if host not in missing)
    states = {host: ["idle", ""] for host in NODES}
    for host in (healthy, missing[0]):
        states[host] = ["drained", "processors64: -20% Float Streaming vs own past"]
    slurm.set_states(states)
    job = verdict("--drain-list", str(tmp_path / "quiet"), env=slurm.env)
    assert job.returncode == 3 and drain_lines(job.stdout) == [
        f"scontrol update NodeName={healthy} State=RESUME"], job.stdout
    assert f"# not measured, neither drained nor resumed: {', '.join(missing)}\n" in job.stdout
    # A slow node beside the failed job: flagged, and the four still named.
    weekly_windows(tmp_path / "slow", {healthy: 0.8}, failed=(3,))
    job = verdict(str(tmp_path / "slow"))
    assert (job.returncode == 1 and job.stdout.startswith(f"verdict: nodes flagged; drain 1: "
                                                          f"{healthy}\n") and
            job.stdout.count(": not measured: ") == 4), job.stdout


def test_a_host_measured_twice_within_minutes_is_two_windows(tmp_path):
    """Two runs by hand five minutes apart that both measured every node
    are two windows: the later one is judged, the earlier is its past."""
    for minutes in (0, 5):
        made_up.write_window(str(tmp_path), NODES, 4, 16, MONDAY + timedelta(minutes=minutes),
                             window_id=None, seed=minutes + 1)
    document = json.loads(verdict("--format", "json", str(tmp_path)).stdout)
    assert document["window"]["start"] == "2026-11-02 06:05:00 UTC"
    assert [window["start"] for window in document["earlier_windows"]] == \
        ["2026-11-02 06:00:00 UTC"]
    assert document["verdict"] == "healthy" and len(document["nodes"]) == 16
    job = verdict(str(tmp_path))
    assert job.returncode == 0 and ", 16 measured; 1 earlier window\n" in job.stdout


def test_a_failed_read_does_not_outlive_its_command(tmp_path, capsys):
    """Reading returns its failures: in one process (as the batch job's
    verdict runs after its own reading), a file that could not be read
    before leaves the next verdict's status alone."""
    from processors64 import cli
    paths = weekly_windows(tmp_path / "runs", {"node07": 0.8})
    garbled = tmp_path / "results_garbled.txt"
    garbled.write_text("Thread(s): 3\nnot a report\n")
    assert cli.main(["verdict", str(garbled)]) == 2
    assert cli.main(["verdict", str(tmp_path / "runs")]) == 1
    assert after_window(str(tmp_path / "runs"), paths[0][:-len(".txt")], "1004", 0) == 1
    capsys.readouterr()


def test_nodes_a_job_did_not_reach(tmp_path):
    """A window's node to which its job gave no worker, and one whose ranks
    were past the master's cap, are not measured, each with its reason; a
    node measured in part is named so."""
    paths = weekly_windows(tmp_path, {})
    with open(paths[0][:-len(".txt")] + ".run.json") as f:
        record = json.load(f)
    record["window"]["nodes"] += ["node17", "node18"]
    record["placement"] = [
        {"host": host, "cpus": 4, "workers": 4, "collected": 4} for host in NODES[:3]] + [
        {"host": "node09", "cpus": 6, "workers": 4, "collected": 4},
        {"host": "node17", "cpus": 2, "workers": 2, "collected": 0},
        {"host": "node18", "cpus": 2, "workers": 0, "collected": 0}]
    with open(paths[0][:-len(".txt")] + ".run.json", "w") as f:
        json.dump(record, f)
    job = verdict(str(tmp_path))
    assert job.returncode == 3, job.stdout
    assert ("node17: not measured: its ranks were past the master's cap: the master did not "
            "collect them\n") in job.stdout
    assert "node18: not measured: the job of " in job.stdout and "started no worker on it" \
        in job.stdout
    assert "measured in part: node09 (4 of 6 CPUs)" in job.stdout


@pytest.mark.parametrize("shape", ["jobs", "array", "array-task-ids", "named"])
def test_a_cluster_measured_node_by_node_is_one_window(tmp_path, shape):
    """16 one-node jobs a minute apart each week, however submitted (one by
    one, an array, older records of an array's tasks, a window name):
    node07, 20% slower in the newest week, is held against all 16 and its
    own past, and drained alone."""
    weekly_windows(tmp_path, {"node07": 0.8}, shape=shape, nodes_per_job=1,
                   apart=timedelta(minutes=1))
    job = verdict(str(tmp_path))
    assert job.returncode == 1 and job.stdout.startswith(
        "verdict: nodes flagged; drain 1: node07\n"), job.stdout
    assert ": 16 nodes in 16 jobs (masters " in job.stdout, job.stdout
    assert ", 16 measured; 4 earlier windows\n" in job.stdout
    summary = subprocess.run([TOOL, "summary", str(tmp_path)], capture_output=True,
                             text=True).stdout
    assert summary.count("\nwindow ") + summary.startswith("window ") == 5, summary
    assert "  its jobs started from 2026-11-30 06:00:00 UTC to 2026-11-30 06:15:00 UTC\n" \
        in summary


def test_a_named_window_measured_over_hours_is_one(tmp_path):
    """A window named once, its jobs 20 minutes apart over five hours, is
    judged whole: peers pooled over its 16 jobs. The same jobs without a
    name are windows of two jobs each (half an hour apart at most), too
    small to judge."""
    for name, where in (("week-5", "named"), (None, "by-time")):
        os.makedirs(tmp_path / where)
        made_up.write_window(str(tmp_path / where), NODES, 4, 1, MONDAY, window_id=name or "1",
                             shape="named" if name else "jobs", apart=timedelta(minutes=20),
                             factors={"node07": 0.8})
    job = verdict(str(tmp_path / "named"))
    assert job.returncode == 1 and "drain 1: node07\n" in job.stdout, job.stdout
    assert "\nwindow week-5, 2026-11-02 06:00:00 UTC: 16 nodes in 16 jobs" in job.stdout
    document = json.loads(verdict("--format", "json", str(tmp_path / "by-time")).stdout)
    assert document["verdict"] == "inconclusive" and len(document["nodes"]) == 2
    assert len(document["earlier_windows"]) == 7


def test_a_manifest_names_the_nodes_without_results(tmp_path):
    """A sweep's manifest: its nodes without results are not measured, each
    with why (left out with Slurm's reason, a job still to come, one whose
    job Slurm says was cancelled), never healthy: inconclusive with nothing
    flagged, and a slow node still drained."""
    from processors64 import manifest
    measured = NODES[:13]
    made_up.write_window(str(tmp_path), measured, 4, 1, MONDAY, window_id="sweep-1",
                         shape="named", apart=timedelta(minutes=1))
    jobs = [(str(100 + n), [host]) for n, host in enumerate(NODES[:15])] + [(None, [NODES[15]])]
    manifest.write(manifest.path_of(str(tmp_path), "sweep-1"), manifest.document(
        "sweep-1", NODES + ["node17"], jobs, [("node17", "drained", "bad DIMM, by hand")],
        created="2026-11-02T05:59:00Z"))
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "squeue").write_text("#!/bin/sh\necho '113|PENDING'\necho '999|RUNNING'\n")
    (bin_dir / "scontrol").write_text(
        "#!/bin/sh\n[ \"$4\" = 114 ] && echo 'JobId=114 JobState=CANCELLED ExitCode=0:15'\n")
    for tool in bin_dir.iterdir():
        tool.chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    job = verdict(str(tmp_path), env=env)
    assert job.returncode == 3 and "\ninconclusive: 4 nodes of the window not measured\n" \
        in job.stdout, job.stdout
    assert "window sweep-1, 2026-11-02 05:59:00 UTC: 17 nodes in 16 jobs" in job.stdout
    for line in ("node14: not measured: its job 113 is pending: no results yet",
                 "node15: not measured: its job 114 was cancelled",
                 "node16: not measured: its job was not submitted yet: no results yet",
                 "node17: not measured: left out of the window: Slurm had it drained, "
                 "reason: bad DIMM, by hand"):
        assert f"\n{line}\n" in job.stdout, job.stdout
    # Where Slurm cannot be asked, a job without results has none yet.
    job = verdict(str(tmp_path), env=dict(env, PATH="/nonexistent:/usr/bin:/bin"))
    assert "\nnode15: not measured: its job 114: no results yet\n" in job.stdout, job.stdout
    made_up.write_window(str(tmp_path), NODES[13:14], 4, 1, MONDAY + timedelta(hours=1),
                         window_id="sweep-1", shape="named", factors={"node14": 0.7})
    job = verdict(str(tmp_path), env=env)
    assert job.returncode == 1 and "drain 1: node14\n" in job.stdout, job.stdout
    assert job.stdout.count(": not measured: ") == 3
