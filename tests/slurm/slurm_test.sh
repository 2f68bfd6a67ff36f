#!/bin/bash
# Simulated three-node Slurm cluster test.
#
#   tests/slurm/slurm_test.sh <short-binary> <long-binary>
#
# Brings up a real Slurm (munged, slurmctld, three slurmd) on three simulated
# nodes of one CPU each (see sim_cluster.sh), then, from node1 as a user
# would:
#   - submits scripts/processors64.sbatch with the short build to three
#     nodes: the job completes, the report has the layout of a single-host
#     run with 4 processes (3 CPUs + the master), worker 1 on node1, 2 on
#     node2, 3 on node3, and one results file from node1 in the job's
#     directory, with its run record beside it (nodes node1 to node3, the
#     job's id and node list, the build record of the short build);
#   - runs the short build directly with `srun --mpi=pmix`, the same layout;
#   - cancels a job of the long binary while it runs: it ends CANCELLED,
#     no process of it is left on any node, and its results file keeps the
#     report's first lines;
#   - submits the script with a binary that does not exist: the job fails
#     with the script's one-line message in its output file.
#   - installs the build into a prefix (cmake --install) and submits the
#     installed script with no binary named: it runs the installed benchmark
#     (the short build put in its place) with its build's launcher; without
#     an installed benchmark the job fails naming the packages to install.
# Then it takes the cluster down and checks that nothing of it is left.
#
# Exit status: 0 all checks passed, 1 a check failed, 2 usage error,
# 77 skipped (a line "SKIP: why").
#
# Environment:
#   PYTHON               Python 3 for the report checker (default python3)
#   SLURM_JOB_WAIT       seconds allowed for one job (default 300)
#   KEEP_RUN             keep the run directory (jobs, logs) for inspection
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
SBATCH_SCRIPT="$REPO/scripts/processors64.sbatch"
CHECKER=("${PYTHON:-python3}" "$REPO/tests/e2e/check_saved_run.py")
JOB_WAIT=${SLURM_JOB_WAIT:-300}
# shellcheck source-path=SCRIPTDIR source=sim_cluster.sh
source "$HERE/sim_cluster.sh"
# shellcheck source-path=SCRIPTDIR source=../../scripts/common.sh
source "$REPO/scripts/common.sh"
# shellcheck source-path=SCRIPTDIR source=../check.sh
source "$REPO/tests/check.sh"

usage() { echo "usage: $0 <short-binary> <long-binary>" >&2; exit 2; }
log()   { echo "slurm test: $*"; }
CHECK_LOG=log

[ $# -eq 2 ] || usage
SHORT=$1 LONG=$2

# ---------------------------------------------------------------------------
# Can this machine do it at all? Anything missing is a reason to skip.
# ---------------------------------------------------------------------------
[ "$(id -u)" = 0 ] || skip "the simulated cluster needs root for its namespaces (running as uid $(id -u))"
for tool in slurmctld slurmd munged sbatch srun scontrol scancel sinfo; do
    command -v "$tool" >/dev/null 2>&1 ||
        skip "'$tool' is not installed (packages slurmctld slurmd slurm-client munge)"
done
for tool in ip unshare nsenter mount; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed"
done
unshare --net --uts --mount --pid --fork true 2>/dev/null ||
    skip "new network, UTS, mount and PID namespaces are not permitted here"
for binary in "$SHORT" "$LONG"; do
    if [ ! -f "$binary" ] || [ ! -x "$binary" ]; then
        log "FAIL: no executable at '$binary'"
        exit 1
    fi
done
SHORT=$(realpath "$SHORT") LONG=$(realpath "$LONG")
# MPICH's Hydra does start a job through Slurm here, but its UCX takes the
# simulated nodes, which share one kernel, for one host: shared memory
# between them fails, and over TCP alone the ranks never leave MPI_Finalize.
KIND=$(launcher_kind "$(build_launcher "$(dirname "$SHORT")")")
[ "$KIND" = openmpi ] ||
    skip "the build's launcher is $KIND's, not Open MPI's: the simulated nodes share one kernel, which MPICH's UCX mistakes for one host"

# ---------------------------------------------------------------------------
# The cluster; taken down on any exit.
# ---------------------------------------------------------------------------
on_exit() {
    local rc=$?
    trap - EXIT INT TERM
    stop_cluster
    exit "$rc"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

remove_stale_runs
make_run_dir
write_hosts_file
write_slurm_conf
start_network || skip "cannot build the simulated network (namespaces, veth pairs or a bridge)"
start_daemons || { log "FAIL: the Slurm daemons did not start"; exit 1; }
if ! wait_for_nodes; then
    log "FAIL: the three nodes did not come up"
    tail -n 20 "$RUN/ctld/slurmctld.log" "$RUN"/node*/slurmd.log >&2 || true
    exit 1
fi
log "three nodes up in $RUN"


# ---------------------------------------------------------------------------
# Jobs.
# ---------------------------------------------------------------------------
# The directory of one case, new and empty.
case_dir() {
    mkdir -p "$RUN/jobs/$1"
    echo "$RUN/jobs/$1"
}

# submit DIR BINARY SBATCH_OPTIONS...: submits the batch script from DIR on
# node1 and prints the job id.
submit() {
    local dir=$1 binary=$2
    shift 2
    on_node node1 "$dir" env PROCESSORS64_BINARY="$binary" \
        sbatch --parsable "$@" "$SBATCH_SCRIPT"
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

# The processes on the nodes other than the nodes' own (holder, munged,
# Slurm's daemons), as "node pid name" lines.
job_processes() {
    local node pidns pid name
    for node in "${NODE_NAMES[@]}"; do
        pidns=$(readlink "/proc/${HOLDER[$node]}/ns/pid")
        for pid in /proc/[0-9]*; do
            pid=${pid#/proc/}
            [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" = "$pidns" ] || continue
            name=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
            case "$name" in
            bash | sleep | munged | slurmctld | slurmscriptd | slurmd) ;;
            *) echo "$node $pid $name" ;;
            esac
        done
    done
}

# check_report NAME DIR CONSOLE [CHECKER-OPTIONS...]: the whole report of 4
# processes (3 CPUs and the master), workers 1, 2, 3 on node1, node2, node3,
# one results file from node1 in DIR.
check_report() {
    local name=$1 dir=$2 console=$3
    shift 3
    if "${CHECKER[@]}" 4 "$dir" "$console" --workers node1,node2,node3 "$@"; then
        pass "$name: Thread(s): 4, workers on node1, node2, node3, one results file from node1"
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

# a. The batch script on three nodes.
DIR=$(case_dir sbatch)
JOB=$(submit "$DIR" "$SHORT" -N 3 --error=stderr.txt)
log "sbatch -N 3: job $JOB"
check_state "sbatch -N 3" "$JOB" COMPLETED 0:0
SBATCH_OUT="$DIR/slurm-$JOB.out"
check_report "sbatch -N 3 and its run record" "$DIR" "$SBATCH_OUT" --record \
    --nodes node1,node2,node3 --launcher "$(build_launcher "$(dirname "$SHORT")")" \
    --binary "$SHORT" --slurm-job "$JOB" --slurm-nodelist "node[1-3]"
[ -s "$DIR/stderr.txt" ] && show "$DIR/stderr.txt"

# b. srun straight from node1, the same layout by hand.
DIR=$(case_dir srun)
log "srun --mpi=pmix -N 3 -n 4 --overcommit"
rc=0
on_node node1 "$DIR" timeout "$JOB_WAIT" srun --mpi=pmix -N 3 -n 4 --overcommit "$SHORT" \
    >"$DIR/console.txt" 2>"$DIR/stderr.txt" || rc=$?
if [ "$rc" = 0 ]; then pass "srun: exit status 0"; else fail "srun: exit status $rc"; show "$DIR/stderr.txt"; fi
check_report "srun" "$DIR" "$DIR/console.txt"

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
PREFIX="$RUN/prefix"
INSTALLED_SBATCH="$PREFIX/share/processors64/processors64.sbatch"
if cmake --install "$(dirname "$SHORT")" --prefix "$PREFIX" >"$RUN/install.log" 2>&1; then
    cp "$SHORT" "$PREFIX/bin/processors64_mpi_mac0"
    cp "$SHORT.build.json" "$PREFIX/share/processors64/processors64_mpi_mac0.build.json"
    DIR=$(case_dir installed)
    JOB=$(on_node node1 "$DIR" sbatch --parsable -N 3 --error=stderr.txt "$INSTALLED_SBATCH")
    check_state "installed batch script" "$JOB" COMPLETED 0:0
    check_report "installed batch script, the installed benchmark" "$DIR" "$DIR/slurm-$JOB.out" \
        --record --nodes node1,node2,node3 --launcher "$(build_launcher "$(dirname "$SHORT")")" \
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
    show "$RUN/install.log"
fi

echo "===== output of the three-node sbatch job ====="
cat "$SBATCH_OUT"
echo "==============================================="

# Take the cluster down now (the EXIT trap would too) and prove it is gone.
HOLDERS=$(cat "$RUN/holders")
stop_cluster
left=""
while read -r pid started; do
    [ "$(start_time "$pid" || true)" = "$started" ] && left="$left $pid"
done <<< "$HOLDERS"
if [ -z "$left" ]; then pass "teardown: every node, its daemons and its mounts are gone"
else fail "teardown: holders still alive:$left"; fi

checks_done "slurm test"
