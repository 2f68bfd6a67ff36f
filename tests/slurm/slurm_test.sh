#!/bin/bash
# The Slurm test: a real Slurm (munged, slurmctld, a slurmd on every node) on
# the simulated cluster (tests/sim/cluster.sh), three nodes that declare 1, 2
# and 4 CPUs: a plain -N 3 gets one CPU a node, -N 3 --exclusive all seven.
#
#   tests/slurm/slurm_test.sh SHORT_BINARY LONG_BINARY [CLUSTER]
#
# From node1, as a user would:
#   - submits scripts/processors64.sbatch with the short build to three
#     nodes: the job completes, the report has the layout of a single-host
#     run with 4 processes (3 CPUs + the master), worker 1 on node1, 2 on
#     node2, 3 on node3, and one results file from node1 in the job's
#     directory, with its run record beside it (nodes node1 to node3, the
#     job's id and node list, the build record of the short build);
#   - runs the short build directly with srun, the same layout;
#   - cancels a job of the long binary while it runs: it ends CANCELLED,
#     no process of it is left on any node, and its results file keeps the
#     report's first lines;
#   - submits the script with a binary that does not exist: the job fails
#     with the script's one-line message in its output file.
#   - installs the build into a prefix (cmake --install) and submits the
#     installed script with no binary named: it runs the installed benchmark
#     (the short build put in its place) with its build's launcher; without
#     an installed benchmark the job fails naming the packages to install.
#   - the verdict: on made-up runs of node1 to node3 (node2 20% slower than
#     its past) with node3 drained by hand, `results.py verdict --drain-list
#     --apply` drains node2 with the figure and the test first in its reason
#     (sinfo -R) and leaves node3 as it was; after a healthy run it resumes
#     node2 alone. `sbatch --wait ... --verdict` returns the verdict's status
#     (a first run of three hosts: inconclusive, 3) and writes the verdict and
#     the drain list beside the results file; a job that failed keeps its own.
#   - windows of the short build (cap 4) side by side: -N 3 --exclusive
#     passes the cap, so node1 and node2 run one job, node3 one of its own
#     with 3 workers on its 4 CPUs; --nodes-per-job 1 runs a job per node at
#     the same time; a job whose node2 ranks are killed fails the window with
#     its status while node3's job and record stand (see check_window); the
#     results tool's verdict on those directories measures every node of
#     the first (node3 in part: 3 of 4 CPUs) and names node1 and node2 of
#     the last not measured, for their job's exit status.
#   - node by node, one window each: an array of one-node tasks; one-node
#     jobs submitted by hand with --window NAME, and without a name; a sweep
#     of every node with node3 drained by hand (node1 and node2 measured,
#     node3 not measured with Slurm's reason, its reason as it was, and
#     --verdict's files); a sweep job cancelled while it runs (its node not
#     measured); the installed sweep with --max-jobs 1 (never two of its
#     jobs queued or running, as squeue shows them).
# CLUSTER is the link `cluster.sh up` made (ctest's fixture); without it the
# test brings up a cluster of its own and takes it down again.
#
# Exit status: 0 all checks passed, 1 a check failed, 2 usage error,
# 77 skipped (a line "SKIP: why").
#
# Environment:
#   PYTHON               Python 3 for the report checker (default python3)
#   SLURM_JOB_WAIT       seconds allowed for one job (default 300)
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
SBATCH_SCRIPT="$REPO/scripts/processors64.sbatch"
CHECKER=("${PYTHON:-python3}" "$REPO/tests/e2e/check_saved_run.py")
JOB_WAIT=${SLURM_JOB_WAIT:-300}
# shellcheck source-path=SCRIPTDIR source=../sim/cluster.sh
source "$REPO/tests/sim/cluster.sh"
# shellcheck source-path=SCRIPTDIR source=../../scripts/common.sh
source "$REPO/scripts/common.sh"
# shellcheck source-path=SCRIPTDIR source=../check.sh
source "$REPO/tests/check.sh"

log() { echo "slurm test: $*"; }
CHECK_LOG=log

if [ $# -lt 2 ] || [ $# -gt 3 ]; then echo "usage: $0 SHORT_BINARY LONG_BINARY [CLUSTER]" >&2; exit 2; fi
for binary in "$1" "$2"; do
    [ -x "$binary" ] || { log "FAIL: no executable at '$binary'"; exit 1; }
done
SHORT=$(realpath "$1") LONG=$(realpath "$2")
LAUNCHER=$(build_launcher "$(dirname "$SHORT")")
# The master goes on node1 on top of one worker per CPU. Slurm's srun places
# ranks 0 and 1 on node1, as Open MPI does within the allocation; MPICH's
# Hydra deals ranks round the nodes, so its worker on node1 is rank 3.
# srun speaks PMIx to Open MPI's ranks and PMI-2 to MPICH's.
case "$(launcher_kind "$LAUNCHER")" in
openmpi) WORKERS=node1,node2,node3 SRUN_MPI=pmix ;;
mpich) WORKERS=node2,node3,node1 SRUN_MPI=pmi2 ;;
*) log "FAIL: $LAUNCHER is neither Open MPI's launcher nor MPICH's"; exit 1 ;;
esac
JOBS=""

# The cluster ctest's fixture brought up, else one of this test's own; the
# jobs' directories go into its run directory.
open_cluster() {
    if [ -n "${1:-}" ]; then
        sim_open "$1" || skip "no simulated cluster at $1 (see the test that brings it up)"
    else
        local rc=0
        OWN_CLUSTER=$(mktemp -d /tmp/p64slurm.XXXXXX)
        trap '"$REPO/tests/sim/cluster.sh" down "$OWN_CLUSTER/cluster"; rm -rf "$OWN_CLUSTER"' EXIT
        SIM_OWNER=$$ "$REPO/tests/sim/cluster.sh" up "$OWN_CLUSTER/cluster" || rc=$?
        [ "$rc" = 0 ] || exit "$rc"
        sim_open "$OWN_CLUSTER/cluster"
    fi
    [ -f "$RUN/slurm" ] || skip "Slurm is not installed (packages slurmctld slurmd slurm-client munge)"
    JOBS="$RUN/jobs"
    rm -rf "$JOBS"
    log "${NODES[*]} up in $RUN"
}

# ---------------------------------------------------------------------------
# Jobs.
# ---------------------------------------------------------------------------
# The directory of one case, new and empty.
case_dir() {
    mkdir -p "$JOBS/$1"
    echo "$JOBS/$1"
}

# submit DIR BINARY SBATCH_OPTIONS... [-- SCRIPT_OPTIONS...]: submits the
# batch script from DIR on node1 and prints the job id.
submit() {
    local dir=$1 binary=$2 options=()
    shift 2
    while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
    [ $# -eq 0 ] || shift
    on_node node1 "$dir" env PROCESSORS64_BINARY="$binary" \
        sbatch --parsable "${options[@]}" "$SBATCH_SCRIPT" "$@"
}

# job_field ID NAME: the value of NAME in `scontrol show job ID`.
job_field() {
    on_node node1 / scontrol -o show job "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"
}

# wait_for_job ID: waits until the job has ended (at most JOB_WAIT seconds)
# and prints its final state. `sbatch --wait` polls far more slowly.
wait_for_job() {
    local state
    for _ in $(seq $((JOB_WAIT * 2))); do
        state=$(job_field "$1" JobState)
        case "$state" in
        PENDING | CONFIGURING | RUNNING | COMPLETING | SUSPENDED | "") sleep 0.5 ;;
        *) echo "$state"; return 0 ;;
        esac
    done
    echo "still-${state:-unknown}"
}

# check_report NAME DIR CONSOLE WORKERS [CHECKER-OPTIONS...]: the whole
# report of 4 processes (3 CPUs and the master), workers 1, 2, 3 on the
# nodes WORKERS names, one results file from node1 in DIR.
check_report() {
    local name=$1 dir=$2 console=$3 workers=$4
    shift 4
    if "${CHECKER[@]}" 4 "$dir" "$console" --workers "$workers" "$@"; then
        pass "$name: Thread(s): 4, workers on $workers, one results file from node1"
    else
        fail "$name: report"
        show "$console"
    fi
}

show() {
    local file
    for file in "$@"; do
        echo "----- $file -----"
        cat "$file" 2>/dev/null || true
    done
}

# check_state NAME ID STATE [EXIT_CODE]: the job ends in STATE (with
# EXIT_CODE, where given).
check_state() {
    local state code
    state=$(wait_for_job "$2")
    code=$(job_field "$2" ExitCode)
    if [ "$state" = "$3" ] && [ "$code" = "${4:-$code}" ]; then
        pass "$1: job $2 $state, exit code $code"
    else
        fail "$1: job $2 $state with exit code $code, expected $3${4:+ with $4}"
    fi
}

open_cluster "${3:-}"

# a. The batch script on three nodes.
DIR=$(case_dir sbatch)
JOB=$(submit "$DIR" "$SHORT" -N 3 --error=stderr.txt)
log "sbatch -N 3: job $JOB"
check_state "sbatch -N 3" "$JOB" COMPLETED 0:0
SBATCH_OUT="$DIR/slurm-$JOB.out"
check_report "sbatch -N 3 and its run record" "$DIR" "$SBATCH_OUT" "$WORKERS" --record \
    --nodes node1,node2,node3 --launcher "$LAUNCHER" \
    --binary "$SHORT" --slurm-job "$JOB" --slurm-nodelist "node[1-3]"
[ -s "$DIR/stderr.txt" ] && show "$DIR/stderr.txt"

# b. srun straight from node1, the same layout by hand.
DIR=$(case_dir srun)
log "srun --mpi=$SRUN_MPI -N 3 -n 4 --overcommit"
rc=0
on_node node1 "$DIR" timeout "$JOB_WAIT" srun --mpi="$SRUN_MPI" -N 3 -n 4 --overcommit "$SHORT" \
    >"$DIR/console.txt" 2>"$DIR/stderr.txt" || rc=$?
if [ "$rc" = 0 ]; then pass "srun: exit status 0"; else fail "srun: exit status $rc"; show "$DIR/stderr.txt"; fi
check_report "srun" "$DIR" "$DIR/console.txt" node1,node2,node3

# c. A job cancelled while it runs: wait for the report's first lines.
DIR=$(case_dir cancel)
JOB=$(submit "$DIR" "$LONG" -N 3 --error=stderr.txt)
log "sbatch -N 3 of the long binary: job $JOB, cancelled once running"
started=0
for _ in $(seq $((JOB_WAIT * 2))); do
    if grep -qs '^Effective Frequency\.$' "$DIR"/results_*; then started=1; break; fi
    case "$(job_field "$JOB" JobState)" in PENDING | CONFIGURING | RUNNING) ;; *) break ;; esac
    sleep 0.5
done
[ "$started" = 1 ] || fail "cancel: the long job wrote no report (state $(job_field "$JOB" JobState))"
on_node node1 / scancel "$JOB"
check_state "cancel" "$JOB" CANCELLED
left=""
for _ in $(seq 60); do
    left=$(job_processes)
    [ -z "$left" ] && break
    sleep 0.5
done
if [ -z "$left" ]; then pass "cancel: no process of the job is left on any node"
else fail "cancel: left on the nodes:"; echo "$left"; fi
if "${CHECKER[@]}" 4 "$DIR" /dev/null --cut-short --cap 512 --iterations 134217728; then
    pass "cancel: the results file keeps the lines written so far"
else
    fail "cancel: results file"
fi

# d. A binary that is not there.
DIR=$(case_dir missing)
JOB=$(submit "$DIR" "$DIR/no-such-binary" -N 3)
check_state "missing binary" "$JOB" FAILED 1:0
expected="processors64.sbatch: no executable benchmark at '$DIR/no-such-binary';"
if grep -qF "$expected" "$DIR/slurm-$JOB.out"; then
    pass "missing binary: the job's output names the path and how to build it"
else
    fail "missing binary: no line starting \"$expected\""
    show "$DIR/slurm-$JOB.out"
fi

# e. The installed batch script, submitted with no PROCESSORS64_BINARY, runs
#    the installed benchmark with the launcher its build record names. The
#    installed benchmark is swapped for the short build (and its record) so
#    that the job takes seconds. Then the same without the benchmark, as the
#    tools package alone installs it: the job fails naming the packages.
PREFIX="$JOBS/prefix"
INSTALLED_SBATCH="$PREFIX/share/processors64/processors64.sbatch"
if cmake --install "$(dirname "$SHORT")" --prefix "$PREFIX" >"$JOBS/install.log" 2>&1; then
    cp "$SHORT" "$PREFIX/bin/processors64_mpi_mac0"
    cp "$SHORT.build.json" "$PREFIX/share/processors64/processors64_mpi_mac0.build.json"
    DIR=$(case_dir installed)
    JOB=$(on_node node1 "$DIR" sbatch --parsable -N 3 --error=stderr.txt "$INSTALLED_SBATCH")
    check_state "installed batch script" "$JOB" COMPLETED 0:0
    check_report "installed batch script, the installed benchmark" "$DIR" "$DIR/slurm-$JOB.out" "$WORKERS" \
        --record --nodes node1,node2,node3 --launcher "$LAUNCHER" \
        --binary "$PREFIX/bin/processors64_mpi_mac0" --build-record "$SHORT.build.json" \
        --slurm-job "$JOB" --slurm-nodelist "node[1-3]"

    rm "$PREFIX/bin/processors64_mpi_mac0"
    DIR=$(case_dir installed-without-benchmark)
    JOB=$(on_node node1 "$DIR" sbatch --parsable -N 3 "$INSTALLED_SBATCH")
    check_state "installed, no benchmark" "$JOB" FAILED 1:0
    expected="processors64.sbatch: no benchmark installed at '$PREFIX/bin/processors64_mpi_mac0': install the package of your MPI, processors64-openmpi or processors64-mpich"
    if grep -qF "$expected" "$DIR/slurm-$JOB.out"; then
        pass "installed, no benchmark: the job's output names the flavour packages"
    else
        fail "installed, no benchmark: no line starting \"$expected\""
        show "$DIR/slurm-$JOB.out"
    fi
else
    fail "cmake --install of the build into $PREFIX"
    show "$JOBS/install.log"
fi

# f. The verdict after maintenance: its drain list applied to Slurm, and the
#    batch script's --verdict.
DIR=$(case_dir verdict)
made_up_runs() { # DIR PYTHON-STATEMENTS: made-up results files of node1 to node3 in DIR
    (cd "$1" && "${PYTHON:-python3}" -c "
from datetime import datetime
import made_up
hosts = made_up.cluster_hosts(3, 2)
$2")
}
apply_verdict() { # DIR OUT: verdict --drain-list --apply on DIR's runs; prints its status
    local status=0
    on_node node1 "$1" "$REPO/tools/results.py" verdict --drain-list --apply "$1"/results_* \
        >"$2" 2>&1 || status=$?
    echo "$status"
}
drain_reasons() { on_node node1 / sinfo -R --noheader --format='%N %E' | sort; }
made_up_runs "$DIR" 'made_up.write_history(".", hosts, [{}] * 4 + [{"node2": 0.8}])'
on_node node1 / scontrol update NodeName=node3 State=DRAIN Reason="bad DIMM, by hand"
log "sinfo -R before the verdict's --apply:"
on_node node1 / sinfo -R
check_equal "verdict --apply, node2 20% slower than its past: exit status 1" 1 \
    "$(apply_verdict "$DIR" "$DIR/apply-flagged.txt")"
log "sinfo -R after it:"
on_node node1 / sinfo -R
reasons=$(drain_reasons)
check "verdict --apply drains node2, the figure and the test first in its reason" \
    grep -qE '^node2 processors64: -[12][0-9]% (Float|Integer|Logic) Streaming vs own past' \
    <<<"$reasons"
check_equal "verdict --apply leaves node3, drained by hand, as it was" \
    "node3 bad DIMM, by hand" "$(grep '^node3' <<<"$reasons")"
made_up_runs "$DIR" \
    'made_up.write_run(".", hosts, made_up.worker_rates(hosts, 9), datetime(2026, 12, 9, 7))'
check_equal "verdict --apply of a later healthy run: exit status 0" 0 \
    "$(apply_verdict "$DIR" "$DIR/apply-healthy.txt")"
check_equal "verdict --apply resumes node2, which it drained, and not node3" \
    "node3 bad DIMM, by hand" "$(drain_reasons)"
on_node node1 / scontrol update NodeName=node2,node3 State=RESUME >/dev/null 2>&1 || true

DIR=$(case_dir verdict-job)
rc=0
on_node node1 "$DIR" env PROCESSORS64_BINARY="$SHORT" \
    sbatch --wait --quiet -N 3 --output=job.out "$SBATCH_SCRIPT" --verdict || rc=$?
check_equal "sbatch --wait ... --verdict: the verdict's status, inconclusive" 3 "$rc"
check "--verdict: the verdict and the drain list beside the results file" \
    test -f "$DIR"/results_*.verdict.txt -a -f "$DIR"/results_*.drain.sh
check "--verdict: the job's output holds the verdict" grep -qx 'verdict: inconclusive' "$DIR/job.out"
rc=0
on_node node1 "$DIR" env PROCESSORS64_BINARY="$DIR/no-such-binary" \
    sbatch --wait --quiet -N 3 --output=failed.out "$SBATCH_SCRIPT" --verdict || rc=$?
check_equal "sbatch --wait ... --verdict of a job that failed: its own status" 1 "$rc"

# g. Windows: jobs side by side within one allocation, their records of one
#    window. Each group's master on its first node, one worker per CPU.
WINDOWS=()

# wrapper NAME COMMANDS: a benchmark that runs the shell COMMANDS on every
# rank, then the short build; the short build's record lies beside it, and
# its CMake cache names the repository the batch script takes the recorded
# run from.
wrapper() {
    local dir="$JOBS/wrappers"
    mkdir -p "$dir"
    ln -sf "$(dirname "$SHORT")/CMakeCache.txt" "$dir/CMakeCache.txt"
    printf '#!/bin/bash\n%s\nexec %q\n' "$2" "$SHORT" > "$dir/$1"
    chmod +x "$dir/$1"
    cp "$SHORT.build.json" "$dir/$1.build.json"
    echo "$dir/$1"
}

# check_window NAME DIR JOB BINARY GROUPS NP MEASURED [CHECKER-OPTIONS...]:
# GROUPS jobs of NP processes in all, one window with the Slurm job's id over
# node1 to node3, each job's record and results file as check_saved_run.py
# --window checks them, every host with the workers MEASURED gives it.
check_window() {
    local name=$1 dir=$2 job=$3 binary=$4 groups=$5 np=$6 measured=$7
    shift 7
    WINDOWS+=("$dir/slurm-$job.out")
    if "${CHECKER[@]}" "$np" "$dir" "$dir/slurm-$job.out" --window --groups "$groups" \
        --measured "$measured" --nodes node1,node2,node3 --launcher "$LAUNCHER" \
        --binary "$binary" --build-record "$SHORT.build.json" --slurm-job "$job" "$@"; then
        pass "$name: $groups jobs of one window, their records and results files; measured $measured"
    else
        fail "$name: the window's records and results files"
        show "$dir/slurm-$job.out"
    fi
}

# Whole nodes pass the cap of 4: node1 and node2 (1 + 2 CPUs) are one job,
# node3's 4 CPUs one of its own with 3 workers.
DIR=$(case_dir window)
JOB=$(submit "$DIR" "$SHORT" -N 3 --exclusive)
check_state "sbatch -N 3 --exclusive" "$JOB" COMPLETED 0:0
check_window "past the cap" "$DIR" "$JOB" "$SHORT" 2 8 node1=1,node2=2,node3=3 --status 0

# A job per node, all at once: every rank waits 2 s before the benchmark, so
# jobs run one after the other could not overlap.
DIR=$(case_dir nodes-per-job)
SLOW=$(wrapper p64-slow "sleep 2")
JOB=$(submit "$DIR" "$SLOW" -N 3 --exclusive -- --nodes-per-job 1)
check_state "--nodes-per-job 1" "$JOB" COMPLETED 0:0
check_window "--nodes-per-job 1" "$DIR" "$JOB" "$SLOW" 3 9 node1=1,node2=2,node3=3 \
    --side-by-side --status 0

# node2 dies during its job: its ranks hold before the benchmark until they
# are killed. node1's and node2's job fails with the launcher's status, which
# is the window's; node3's job, results file and record stand.
DIR=$(case_dir dead-node)
# shellcheck disable=SC2016  # the wrapper expands its own $(hostname)
HOLD=$(wrapper p64-hold '[ "$(hostname)" != node2 ] || while :; do sleep 1; done')
JOB=$(submit "$DIR" "$HOLD" -N 3 --exclusive)
held=""
for _ in $(seq $((JOB_WAIT * 2))); do
    held=$(named_pids node2 p64-hold)
    [ "$(wc -w <<<"$held")" -lt 2 ] || break
    case "$(job_field "$JOB" JobState)" in PENDING | CONFIGURING | RUNNING) ;; *) break ;; esac
    sleep 0.5
done
log "node2's ranks: ${held//$'\n'/ }; killed"
# shellcheck disable=SC2086  # a list of pids
[ -z "$held" ] || kill -KILL $held
check_state "a dead node" "$JOB" FAILED
code=$(job_field "$JOB" ExitCode)
check_window "a dead node" "$DIR" "$JOB" "$HOLD" 2 8 node3=3 --failed-group 1 --status "${code%%:*}"

# The results tool reads the windows as the jobs left them: every node of
# the window past the cap measured, node3 in part; after the dead node, node1
# and node2 not measured, for their job's exit status.
node_verdicts() { # DIR: "host verdict [collected/cpus]" of each node of its window's verdict
    "${PYTHON:-python3}" "$REPO/tools/results.py" verdict --format json "$1" 2>/dev/null |
        "${PYTHON:-python3}" -c 'import json, sys
for node in sorted(json.load(sys.stdin)["nodes"], key=lambda node: node["host"]):
    part = node["measured_cpus"]
    why = (node["not_measured"] or "-").split(",")[0]
    print(node["host"], node["verdict"].replace(" ", "-"),
          "%d/%d" % (part["collected"], part["cpus"]) if part else why)'
}
check_equal "verdict of the window past the cap: every node measured, node3 in part" \
    "node1 not-judged -"$'\n'"node2 not-judged -"$'\n'"node3 not-judged 3/4" \
    "$(node_verdicts "$(dirname "${WINDOWS[0]}")")"
check_equal "verdict after the dead node: node1 and node2 not measured, their job's status" \
    "node1 not-measured its job (group 1 of 2"$'\n'"node2 not-measured its job (group 1 of 2"$'\n'"node3 not-judged 3/4" \
    "$(node_verdicts "$DIR")"

# h. Node by node: each way of measuring the cluster one node a job is one
#    window to the results tool.
SWEEP=("${PYTHON:-python3}" "$REPO/tools/sweep.py")
SWEEPS=()

# wait_for_queue: waits until no job is queued or running (at most JOB_WAIT s).
wait_for_queue() {
    for _ in $(seq $((JOB_WAIT * 2))); do
        [ -z "$(on_node node1 / squeue --noheader --all --format=%i)" ] && return 0
        sleep 0.5
    done
    fail "jobs still queued after $JOB_WAIT s:"
    on_node node1 / squeue --all
}

window_of() { # DIR: "ID NODES EARLIER-WINDOWS" of the window the verdict judges in DIR
    "${PYTHON:-python3}" "$REPO/tools/results.py" verdict --format json "$1" 2>/dev/null |
        "${PYTHON:-python3}" -c 'import json, sys
verdict = json.load(sys.stdin)
print(verdict["window"]["id"], verdict["window"]["nodes"], len(verdict["earlier_windows"]))'
}

not_measured() { # DIR HOST: why the verdict in DIR says HOST was not measured
    "${PYTHON:-python3}" "$REPO/tools/results.py" verdict --format json "$1" 2>/dev/null |
        "${PYTHON:-python3}" -c 'import json, sys
print(next(node["not_measured"] or "measured" for node in json.load(sys.stdin)["nodes"]
           if node["host"] == sys.argv[1]))' "$2"
}

# An array of one-node tasks: one window, the array's id.
DIR=$(case_dir array)
JOB=$(submit "$DIR" "$SHORT" --array=1-3 -N 1 --exclusive)
log "sbatch --array=1-3 -N 1 --exclusive: job $JOB"
wait_for_queue
check_equal "an array of three one-node tasks: one window of three nodes, the array's id" \
    "$JOB 3 0" "$(window_of "$DIR")"

# One-node jobs submitted by hand, with a name and without.
DIR=$(case_dir by-hand-named)
for node in node1 node2 node3; do
    submit "$DIR" "$SHORT" -N 1 --exclusive -w "$node" -- --window by-hand >/dev/null
done
wait_for_queue
check_equal "three one-node jobs with --window by-hand: one window of three nodes" \
    "by-hand 3 0" "$(window_of "$DIR")"
DIR=$(case_dir by-hand)
for node in node1 node2 node3; do
    submit "$DIR" "$SHORT" -N 1 --exclusive -w "$node" >/dev/null
done
wait_for_queue
window=$(window_of "$DIR") || true  # the verdict: inconclusive, 3
check_equal "three one-node jobs without a name, submitted together: one window of three nodes" \
    "3 0" "${window#* }"

# A sweep of every node with node3 drained by hand: node1 and node2 measured
# in one window, node3 named with Slurm's reason, which stays as it was.
DIR=$(case_dir sweep)
SWEEPS+=("$DIR/sweep.out")
on_node node1 / scontrol update NodeName=node3 State=DRAIN Reason="fan failed, by hand"
reason_before=$(drain_reasons)
rc=0
on_node node1 "$DIR" env PROCESSORS64_BINARY="$SHORT" PROCESSORS64_SWEEP_POLL=1 \
    "${SWEEP[@]}" --partition sim --window maint --verdict >"$DIR/sweep.out" 2>"$DIR/sweep.err" ||
    rc=$?
check_equal "sweep --verdict with node3 drained: inconclusive (a node not measured), 3" 3 "$rc"
check_equal "sweep: one window, maint, of node1 to node3" "maint 3 0" "$(window_of "$DIR")"
check_equal "sweep: node1 measured" measured "$(not_measured "$DIR" node1)"
check_equal "sweep: node2 measured" measured "$(not_measured "$DIR" node2)"
check_equal "sweep: node3 not measured, with Slurm's state and reason" \
    "left out of the window: Slurm had it drained, reason: fan failed, by hand" \
    "$(not_measured "$DIR" node3)"
check_equal "sweep: node3's reason as it was (sinfo -R)" "$reason_before" "$(drain_reasons)"
check "sweep --verdict: the verdict, the drain list and the page beside the manifest" \
    test -f "$DIR/maint.window.json" -a -f "$DIR/maint.verdict.txt" -a -f "$DIR/maint.drain.sh" \
    -a -f "$DIR/maint.html"
[ -s "$DIR/sweep.err" ] && show "$DIR/sweep.err"
on_node node1 / scontrol update NodeName=node3 State=RESUME >/dev/null 2>&1 || true

# A job of a sweep cancelled while it runs: its node not measured. node2's
# ranks wait before the benchmark, long enough to be cancelled.
DIR=$(case_dir sweep-cancel)
SWEEPS+=("$DIR/sweep.out")
# shellcheck disable=SC2016  # the wrapper expands its own $(hostname)
WAITING=$(wrapper p64-wait '[ "$(hostname)" != node2 ] || sleep 600')
on_node node1 "$DIR" env PROCESSORS64_BINARY="$WAITING" PROCESSORS64_SWEEP_POLL=1 \
    "${SWEEP[@]}" --partition sim --window cancelled --wait >"$DIR/sweep.out" 2>&1 &
sweeping=$!
JOB=""
for _ in $(seq $((JOB_WAIT * 2))); do
    JOB=$(on_node node1 / squeue --noheader --name=processors64-cancelled --nodelist=node2 \
        --states=RUNNING --format=%i)
    [ -n "$JOB" ] && [ -n "$(named_pids node2 p64-wait)" ] && break
    sleep 0.5
done
log "sweep: node2's job $JOB running; cancelled"
on_node node1 / scancel "$JOB"
rc=0
wait "$sweeping" || rc=$?
check "sweep --wait with a job cancelled: a failure ($rc)" test "$rc" -ne 0
why=$(not_measured "$DIR" node2) || true  # the verdict: inconclusive, 3
check "sweep: the cancelled job's node2 not measured, cancelled as Slurm says: $why" \
    grep -q "^its job $JOB was cancelled" <<<"$why"
check_equal "sweep: node1 and node3 measured" "measured measured" \
    "$(not_measured "$DIR" node1) $(not_measured "$DIR" node3)"

# --max-jobs 1, the installed sweep (its own batch script): never two of its
# jobs queued or running, as squeue shows them while it runs.
DIR=$(case_dir sweep-max-jobs)
SWEEPS+=("$DIR/sweep.out")
INSTALLED_SWEEP=("$PREFIX/bin/processors64-sweep")
[ -x "${INSTALLED_SWEEP[0]}" ] || INSTALLED_SWEEP=("${SWEEP[@]}")
on_node node1 "$DIR" env PROCESSORS64_BINARY="$SLOW" PROCESSORS64_SWEEP_POLL=0.5 \
    "${INSTALLED_SWEEP[@]}" --partition sim --window one-at-a-time --max-jobs 1 --wait \
    >"$DIR/sweep.out" 2>&1 &
sweeping=$!
most=0
while kill -0 "$sweeping" 2>/dev/null; do
    count=$(on_node node1 / squeue --noheader --name=processors64-one-at-a-time --format=%i | wc -l)
    [ "$count" -le "$most" ] || most=$count
    sleep 0.2
done
rc=0
wait "$sweeping" || rc=$?
check_equal "sweep --max-jobs 1 --wait: exit status 0" 0 "$rc"
check_equal "sweep --max-jobs 1: at most one of its jobs queued or running at a time" 1 "$most"
check_equal "sweep --max-jobs 1: one window of three nodes" "one-at-a-time 3 0" "$(window_of "$DIR")"

echo "===== output of the three-node sbatch job ====="
cat "$SBATCH_OUT"
echo "==============================================="
for out in "${WINDOWS[@]}"; do
    dir=$(dirname "$out")
    echo "===== ${dir##*/}: the recorded run's lines, the workers per host of each results file, the records ====="
    grep '^processors64-run: ' "$out" || true
    for results in "$dir"/results_*.txt; do
        [ -f "$results" ] || continue
        printf '%s:' "${results##*/}" | tr '\n' ' '
        awk 'match($0, /^Thread:[0-9]+ @[^ ]+/) { seen[substr($0, RSTART, RLENGTH)] = 1 }
            END { for (key in seen) { split(key, part, "@"); count[part[2]]++ }
                  for (host in count) printf " %s %d", host, count[host]; print "" }' "$results"
    done
    for record in "$dir"/*.run.json; do
        echo "--- ${record##*/}" | tr '\n' ' '
        echo
        grep -E '^  "(results_file|exit_status|processes|window)"|"workers"' "$record"
    done
done

for out in "${SWEEPS[@]}"; do
    echo "===== ${out#"$JOBS"/}: the sweep's output ====="
    cat "$out"
done
echo "===== the sweep's verdict with node3 drained by hand ====="
cat "$JOBS/sweep/maint.verdict.txt" 2>/dev/null || true

checks_done "slurm test"
