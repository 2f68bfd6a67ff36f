"""processors64-sweep (tools/sweep.py) against stand-ins for Slurm's
commands: which nodes it measures and which it leaves out (drained or down,
with Slurm's reason, never touched), the manifest written before the first
sbatch and as each job gets its id, jobs of K nodes, --max-jobs never passed,
a submission refused for a limit tried again once a job has ended, --wait's
exit status, a signal stopping the sweep, and --cancel."""

import json
import os
import pty
import signal
import subprocess
import time
import types

import pytest

import made_up
from processors64 import manifest
from test_verdict import slurm  # noqa: F401  (the stand-in sinfo and scontrol)

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "sweep.py")
SCRIPT = os.path.join(ROOT, "scripts", "processors64.sbatch")
QOS_REFUSAL = ("sbatch: error: Batch job submission failed: Job violates accounting/QOS "
               "policy (job submit limit, user's size and/or time limits)")

# sbatch, squeue and scancel, and scontrol's show, as far as the sweep uses
# them, over cluster.json; scontrol's update goes on to the verdict's
# stand-in (which keeps the nodes' states). A job moves on one state a
# squeue: PENDING, RUNNING, then its end (cluster.json "ends": {node:
# [state, exit code]}, else COMPLETED 0:0). sbatch refuses a job while
# "limit" jobs are queued or running (a QOS's MaxSubmitJobs), and logs each
# submission with the jobs in flight and the manifest as it was then.
FAKE_SLURM = r'''#!/usr/bin/python3
import glob, json, os, re, sys
here = os.path.dirname(os.path.abspath(__file__))
path = os.path.join(here, "cluster.json")
cluster = json.load(open(path))
command, args = os.path.basename(sys.argv[0]), sys.argv[1:]
ACTIVE = ("PENDING", "RUNNING")

def save():
    json.dump(cluster, open(path, "w"))

def expand(hostlist):
    if hostlist.count("[") != hostlist.count("]"):
        return [hostlist.split("[")[0] + "]"]  # as scontrol reads "node[1-"
    names = []
    for part in re.findall(r"[^,\[]+(?:\[[^\]]*\])?", hostlist):
        found = re.fullmatch(r"([^\[]+)\[([^\]]+)\]", part)
        if not found:
            names.append(part)
            continue
        for span in found.group(2).split(","):
            low, _, high = span.partition("-")
            if high and int(high) < int(low):
                sys.stderr.write(f"Invalid hostlist: {hostlist}\n")
                sys.exit(0)
            for n in range(int(low), int(high or low) + 1):
                names.append(found.group(1) + str(n).zfill(len(low)))
    return names

def active():
    return [job for job in cluster["jobs"] if job["state"] in ACTIVE]

if command == "scontrol":
    words = [word for word in args if word not in ("-o", "--oneliner")]
    if words[:2] == ["show", "hostnames"]:
        print("\n".join(expand(words[2])))
    elif words[:2] == ["show", "partition"]:
        if words[2] not in cluster["partitions"]:
            sys.stderr.write(f"Partition {words[2]} not found\n")
            sys.exit(1)
        print(f"PartitionName={words[2]} Nodes={','.join(cluster['partitions'][words[2]])}")
    elif words[:2] == ["show", "config"]:
        print("ClusterName = fake")
    elif words[:2] == ["show", "job"]:
        job = next(job for job in cluster["jobs"] if job["id"] == words[2])
        print(f"JobId={job['id']} JobState={job['state']} ExitCode={job['exit']}")
    else:
        os.execv(os.path.join(here, "..", "slurm", "scontrol"), ["scontrol", *args])
elif command == "sbatch":
    options = dict(word.split("=", 1) for word in args if word.startswith("--") and "=" in word)
    directory = args[args.index("-D") + 1]
    manifests = glob.glob(os.path.join(directory, "*.window.json"))
    with open(os.path.join(here, "submitted.jsonl"), "a") as log:
        log.write(json.dumps({"args": args, "in_flight": len(active()),
                              "binary": os.environ.get("PROCESSORS64_BINARY"),
                              "manifest": json.load(open(manifests[0])) if manifests else None})
                  + "\n")
    if cluster.get("refuse"):
        sys.stderr.write(f"sbatch: error: {cluster['refuse']}\n")
        sys.exit(1)
    if cluster.get("limit") is not None and len(active()) >= cluster["limit"]:
        sys.stderr.write(QOS_REFUSAL + "\n")
        sys.exit(1)
    job = {"id": str(cluster["next"]), "name": options["--job-name"],
           "nodes": options["--nodelist"].split(","), "state": "PENDING", "exit": "0:0"}
    cluster["next"] += 1
    cluster["jobs"].append(job)
    save()
    print(job["id"] + (";fake" if cluster["next"] % 2 else ""))
elif command == "squeue":
    print("\n".join(f"{job['id']}|{job['state']}" for job in cluster["jobs"]))
    for job in active():
        if job["state"] == "PENDING":
            job["state"] = "RUNNING"
        else:
            job["state"], job["exit"] = cluster["ends"].get(job["nodes"][0], ["COMPLETED", "0:0"])
    save()
elif command == "scancel":
    name = args[0].partition("=")[2] if args[0].startswith("--name=") else None
    for job in active():
        if job["name"] == name or job["id"] == args[0]:
            job["state"], job["exit"] = "CANCELLED", "0:15"
    save()
'''.replace("QOS_REFUSAL", repr(QOS_REFUSAL))


@pytest.fixture
def cluster(tmp_path, slurm):  # noqa: F811
    """The verdict's stand-in sinfo and scontrol (its .set_states,
    .calls) and before it on PATH those of the sweep: .set(**cluster.json
    keys), .submitted() (sbatch's log), .jobs(), .env, .dir (an empty
    results directory)."""
    bin_dir = tmp_path / "sweep-slurm"
    bin_dir.mkdir()
    for name in ("sbatch", "squeue", "scancel", "scontrol"):
        (bin_dir / name).write_text(FAKE_SLURM)
        (bin_dir / name).chmod(0o755)
    state = bin_dir / "cluster.json"
    nodes = [f"node{n}" for n in range(1, 7)]
    slurm.set_states({node: ["idle", ""] for node in nodes})

    def set(**keys):
        current = json.loads(state.read_text()) if state.exists() else {}
        current.update(keys)
        state.write_text(json.dumps(current))

    def submitted():
        log = bin_dir / "submitted.jsonl"
        return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []

    set(partitions={"batch": nodes, "gpu": ["node5", "node6"]}, jobs=[], next=100, ends={},
        limit=None, refuse=None)
    results = tmp_path / "results"
    results.mkdir()
    env = dict(slurm.env, PATH=f"{bin_dir}{os.pathsep}{slurm.env['PATH']}",
               PROCESSORS64_SWEEP_POLL="0.01", PROCESSORS64_BINARY="/opt/p64/bin/bench")
    return types.SimpleNamespace(set=set, submitted=submitted, env=env, dir=results,
                                 set_states=slurm.set_states, calls=slurm.calls,
                                 jobs=lambda: json.loads(state.read_text())["jobs"],
                                 next_id=lambda: json.loads(state.read_text())["next"])


def sweep(cluster, *args, name="w1"):
    words = (["--window", name] if name else []) + [*args]
    job = subprocess.run([TOOL, "-D", str(cluster.dir), *words], capture_output=True, text=True,
                         env=cluster.env, stdin=subprocess.DEVNULL, timeout=120)
    assert "Traceback" not in job.stderr, job.stderr
    return job


def window_manifest(cluster, name="w1"):
    return manifest.load(manifest.path_of(str(cluster.dir), name))


def option(submission, name):
    args = submission["args"]
    found = [word.partition("=")[2] for word in args if word.startswith(name + "=")]
    return found[0] if found else args[args.index(name) + 1]


# ---- Which nodes ------------------------------------------------------------------

def test_drained_and_down_nodes_are_left_out_with_slurms_reason(cluster):
    cluster.set_states({"node1": ["idle", ""], "node2": ["mixed", ""],
                        "node3": ["drained", "bad DIMM, by hand"],
                        "node4": ["down*", "Not responding"],
                        "node5": ["draining", "kernel update"], "node6": ["idle", ""]})
    job = sweep(cluster, "--nodes", "node[1-4],node6")
    assert job.returncode == 0, job.stderr
    document = window_manifest(cluster)
    assert document["nodes"] == ["node1", "node2", "node3", "node4", "node6"]
    assert document["left_out"] == [
        {"host": "node3", "state": "drained", "reason": "bad DIMM, by hand"},
        {"host": "node4", "state": "down*", "reason": "Not responding"}]
    assert [option(s, "--nodelist") for s in cluster.submitted()] == ["node1", "node2", "node6"]
    assert "left out: node3 drained (bad DIMM, by hand)\n" in job.stdout
    assert cluster.calls() == []  # no scontrol update: every reason as it was

    cluster.dir = cluster.dir.parent / "again"
    cluster.dir.mkdir()
    job = sweep(cluster, "--nodes", "node[1-4]", "--include-drained", name="w2")
    assert job.returncode == 0, job.stderr
    assert window_manifest(cluster, "w2")["left_out"] == []
    assert [option(s, "--nodelist") for s in cluster.submitted()[3:]] == [
        "node1", "node2", "node3", "node4"]


def test_partition_and_list_in_partition(cluster):
    job = sweep(cluster, "--partition", "gpu", "--reservation", "maint", "--", "--qos=high")
    assert job.returncode == 0, job.stderr
    first = cluster.submitted()[0]
    assert [option(s, "--nodelist") for s in cluster.submitted()] == ["node5", "node6"]
    assert option(first, "-p") == "gpu" and option(first, "--reservation") == "maint"
    assert first["args"][-4:] == ["--qos=high", SCRIPT, "--window", "w1"]
    document = window_manifest(cluster)
    assert (document["partition"], document["reservation"], document["cluster"]) == (
        "gpu", "maint", "fake")

    cluster.dir = cluster.dir.parent / "again"
    cluster.dir.mkdir()
    job = sweep(cluster, "--partition", "gpu", "--nodes", "node[4-6]", name="w2")
    assert job.returncode == 0, job.stderr
    assert window_manifest(cluster, "w2")["nodes"] == ["node5", "node6"]


@pytest.mark.parametrize("args, message", [
    (["--nodes", "node[3-1]"], "is not a Slurm hostlist"),
    (["--nodes", "node[1-"], "is not a Slurm hostlist"),
    (["--nodes", "node9"], "Slurm has no node node9"),
    (["--partition", "nosuch"], "Partition nosuch not found"),
    (["--partition", "gpu", "--nodes", "node1"], "no nodes left to measure"),
    (["--nodes", "node[1-2]", "--window", "a b"], "is not a window name"),
    (["--nodes", "node1", "--nodes-per-job", "0"], "not a number from 1"),
    ([], "name the nodes to measure"),
    (["--cancel", "w1", "--nodes", "node1"], "--cancel NAME takes no other option"),
])
def test_user_errors(cluster, args, message):
    job = sweep(cluster, *args, name=None)
    assert job.returncode == 2, job.stderr
    assert job.stderr.count("\n") == 1 and message in job.stderr, job.stderr
    assert cluster.submitted() == [] and os.listdir(cluster.dir) == []


def test_every_node_drained_and_a_name_taken(cluster):
    cluster.set_states({"node1": ["drained", "x"], "node2": ["down", "y"]})
    job = sweep(cluster, "--nodes", "node[1-2]")
    assert job.returncode == 2 and "no nodes left to measure" in job.stderr, job.stderr
    cluster.set_states({"node1": ["idle", ""], "node2": ["idle", ""]})
    assert sweep(cluster, "--nodes", "node1").returncode == 0
    job = sweep(cluster, "--nodes", "node2")
    assert job.returncode == 2 and "a window of that name was swept here" in job.stderr
    assert len(cluster.submitted()) == 1


# ---- The jobs and the manifest -----------------------------------------------------------

def test_manifest_before_each_sbatch_and_jobs_of_k_nodes(cluster):
    job = sweep(cluster, "--nodes", "node[1-5]", "--nodes-per-job", "2", "--", "--time=30")
    assert job.returncode == 0, job.stderr
    submitted = cluster.submitted()
    assert [option(s, "--nodelist") for s in submitted] == ["node1,node2", "node3,node4", "node5"]
    assert [option(s, "-N") for s in submitted] == ["2", "2", "1"]
    for n, submission in enumerate(submitted):
        # Written before the first sbatch, each job's id in it before the next.
        assert [entry["id"] for entry in submission["manifest"]["jobs"]] == (
            [str(100 + k) for k in range(n)] + [None] * (3 - n))
        assert option(submission, "--job-name") == "processors64-w1"
        assert "--exclusive" in submission["args"] and "--time=30" in submission["args"]
        assert option(submission, "-D") == str(cluster.dir)
        assert submission["binary"] == "/opt/p64/bin/bench"  # the sweep's environment
    document = window_manifest(cluster)
    assert document["jobs"] == [{"id": "100", "nodes": ["node1", "node2"]},
                                {"id": "101", "nodes": ["node3", "node4"]},
                                {"id": "102", "nodes": ["node5"]}]
    assert document["nodes_per_job"] == 2 and document["window"] == "w1"
    assert job.stdout.splitlines()[1:] == ["job 100: node1,node2", "job 101: node3,node4",
                                           "job 102: node5"]


def test_max_jobs_never_passed(cluster):
    job = sweep(cluster, "--nodes", "node[1-6]", "--max-jobs", "2")
    assert job.returncode == 0, job.stderr
    submitted = cluster.submitted()
    assert len(submitted) == 6
    assert max(s["in_flight"] for s in submitted) == 1  # one more makes two
    assert [j["state"] for j in cluster.jobs()].count("COMPLETED") >= 4


def test_a_limit_refusal_is_tried_again_once_a_job_has_ended(cluster):
    cluster.set(limit=2)
    job = sweep(cluster, "--nodes", "node[1-5]")
    assert job.returncode == 0, job.stderr
    assert [j["nodes"] for j in cluster.jobs()] == [[f"node{n}"] for n in range(1, 6)]
    assert "sbatch refused job 3 of 5" in job.stderr and "trying again" in job.stderr
    assert [e["id"] for e in window_manifest(cluster)["jobs"]] == [str(n) for n in range(100, 105)]


@pytest.mark.parametrize("keys", [
    {"limit": 0}, {"refuse": "Invalid account or account/partition combination specified"}])
def test_a_refusal_with_nothing_in_flight_ends_the_sweep(cluster, keys):
    cluster.set(**keys)
    job = sweep(cluster, "--nodes", "node[1-3]")
    assert job.returncode == 1
    assert job.stderr.count("\n") == 1 and "3 of 3 jobs not submitted" in job.stderr
    assert [e["id"] for e in window_manifest(cluster)["jobs"]] == [None] * 3


def test_wait_exits_like_the_batch_script(cluster):
    job = sweep(cluster, "--nodes", "node[1-3]", "--wait")
    assert job.returncode == 0, job.stderr
    assert job.stdout.endswith("window w1: 3 jobs ended; 0 of 3 nodes measured; exit status 0\n")
    assert job.stderr == ""  # no progress where standard error is no terminal

    # On a terminal, a line of progress on standard error, redrawn in place.
    cluster.dir = cluster.dir.parent / "terminal"
    cluster.dir.mkdir()
    leader, follower = pty.openpty()
    job = subprocess.run([TOOL, "-D", str(cluster.dir), "--window", "tty", "--nodes", "node[1-3]",
                          "--max-jobs", "2", "--wait"], stdout=subprocess.PIPE, stderr=follower,
                         env=cluster.env, stdin=subprocess.DEVNULL, timeout=120)
    os.close(follower)
    terminal = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # EIO: the terminal's other side is closed and read
            break
        if not chunk:
            break
        terminal += chunk
    os.close(leader)
    terminal = terminal.decode()
    assert job.returncode == 0, terminal
    assert ("\rwindow tty: 0 of 3 jobs done, 0 running, 2 pending, 1 to submit; "
            "0 of 3 nodes measured\033[K") in terminal
    assert terminal.endswith("\r\033[K") and b"\033" not in job.stdout

    # node2's job fails (Slurm's exit code), node3's is killed by signal 9.
    cluster.set(ends={"node2": ["FAILED", "4:0"], "node3": ["FAILED", "0:9"]})
    cluster.dir = cluster.dir.parent / "failed"
    cluster.dir.mkdir()
    job = sweep(cluster, "--nodes", "node[1-3]", "--wait", name="w2")
    assert job.returncode == 4, job.stderr
    cluster.set(ends={"node2": ["COMPLETED", "0:0"], "node3": ["FAILED", "0:9"]})
    cluster.dir = cluster.dir.parent / "killed"
    cluster.dir.mkdir()
    job = sweep(cluster, "--nodes", "node[1-3]", "--wait", name="w3")
    assert job.returncode == 128 + 9, job.stderr

    # The run record's exit status goes before Slurm's; a node measured.
    cluster.set(ends={"node1": ["FAILED", "1:0"]})
    cluster.dir = cluster.dir.parent / "recorded"
    cluster.dir.mkdir()
    next_id = str(cluster.next_id())
    results = made_up.write_run(str(cluster.dir), made_up.cluster_hosts(1, 2),
                                made_up.worker_rates(made_up.cluster_hosts(1, 2)))
    record = made_up.write_record(results, made_up.cluster_hosts(1, 2), exit_status=5,
                                  window={"id": "w4", "group": 1, "groups": 1,
                                          "nodes": ["node1"], "named": True})
    record["slurm"] = {"job_id": next_id, "nodelist": "node1", "partition": None,
                       "cpus_per_node": "2"}
    with open(results[:-len(".txt")] + ".run.json", "w") as f:
        json.dump(record, f)
    job = sweep(cluster, "--nodes", "node1", "--wait", name="w4")
    assert job.returncode == 5, job.stderr
    assert "1 of 1 nodes measured; exit status 5" in job.stdout


# ---- Stopping it ---------------------------------------------------------------------------

def test_cancel_names_the_windows_jobs(cluster):
    assert sweep(cluster, "--nodes", "node[1-2]").returncode == 0
    assert sweep(cluster, "--nodes", "node[3-4]", name="other").returncode == 0
    job = subprocess.run([TOOL, "--cancel", "w1"], capture_output=True, text=True,
                         env=cluster.env, stdin=subprocess.DEVNULL, timeout=60)
    assert job.returncode == 0, job.stderr
    assert [j["state"] for j in cluster.jobs()] == ["CANCELLED"] * 2 + ["PENDING"] * 2


def test_a_signal_stops_submitting(cluster):
    """INT, TERM or HUP: jobs submitted stay, the rest are never submitted."""
    env = dict(cluster.env, PROCESSORS64_SWEEP_POLL="600")
    sweeping = subprocess.Popen([TOOL, "-D", str(cluster.dir), "--nodes", "node[1-3]",
                                 "--max-jobs", "1", "--window", "w1"], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(600):
            if cluster.submitted():
                break
            time.sleep(0.05)
        time.sleep(0.5)  # into its wait for a job to end
        sweeping.send_signal(signal.SIGTERM)
        out, err = sweeping.communicate(timeout=60)
    finally:
        sweeping.kill()
    assert sweeping.returncode == 128 + signal.SIGTERM, err
    assert "stopped by signal 15" in err and "Traceback" not in err
    assert [e["id"] for e in window_manifest(cluster)["jobs"]] == ["100", None, None]
    assert len(cluster.jobs()) == 1


def test_verdict_names_the_nodes_without_results(cluster):
    """--verdict: the window's verdict beside its manifest; a node left out
    and nodes whose jobs ended without results are not measured, so it is
    inconclusive."""
    cluster.set_states({"node1": ["idle", ""], "node2": ["idle", ""],
                        "node3": ["drained", "fan failed"]})
    cluster.set(ends={"node2": ["CANCELLED", "0:15"]})
    job = sweep(cluster, "--nodes", "node[1-3]", "--verdict")
    assert job.returncode == 128 + 15, job.stderr  # the cancelled job's, as the batch job's
    text = (cluster.dir / "w1.verdict.txt").read_text()
    assert job.stdout.endswith(text)
    assert ("node3: not measured: left out of the window: Slurm had it drained, "
            "reason: fan failed") in text
    assert "node2: not measured: its job 101 was cancelled" in text
    assert (cluster.dir / "w1.drain.sh").exists()
