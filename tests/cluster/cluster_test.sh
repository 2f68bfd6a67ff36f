#!/bin/bash
# The short build across the simulated cluster (tests/sim/cluster.sh),
# started on node1 as a user starts a job there: the MPI's own launcher with
# a hostfile, reaching the other nodes over ssh, with the MPI's settings from
# the nodes' configuration files.
#
#   tests/cluster/cluster_test.sh BINARY WORK_DIR [CLUSTER]
#
# CLUSTER is the link `cluster.sh up` made (ctest's fixture brings the
# cluster up once for every test that needs it); without it the test brings
# up a cluster of its own and takes it down again. The cases go to
# WORK_DIR/CASE (console.txt, stderr.txt, run/ with the results file and its
# run record), where the tools tests read them.
#
# Exit status: 0 all checks passed, 1 a check failed, 2 usage error,
# 77 skipped (a line "SKIP: why").
#
# Environment:
#   CLUSTER_MPIEXEC       the launcher of the binary's MPI (default: its build's)
#   CLUSTER_REPORT_CHECK  run as $CLUSTER_REPORT_CHECK NP RUN_DIR CONSOLE --record
#                         --nodes node1,node2,node3 [--failed-node node2]
#                         --launcher L --binary B after each 3-node run
#   CLUSTER_MPIRUN_TIMEOUT  seconds allowed for one job (default 300)
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
# shellcheck source-path=SCRIPTDIR source=../../scripts/common.sh
source "$REPO/scripts/common.sh"
# shellcheck source-path=SCRIPTDIR source=../sim/cluster.sh
source "$REPO/tests/sim/cluster.sh"
# shellcheck source-path=SCRIPTDIR source=../check.sh
source "$REPO/tests/check.sh"
# The recorded run (processors64-run) of the repository.
RECORDED_RUN=(env "PYTHONPATH=$REPO/tools" "$(python_command)" -m processors64.run)
MPIRUN_TIMEOUT=${CLUSTER_MPIRUN_TIMEOUT:-300}

log() { echo "cluster test: $*"; }
CHECK_LOG=log

if [ $# -lt 2 ] || [ $# -gt 3 ]; then echo "usage: $0 BINARY WORK_DIR [CLUSTER]" >&2; exit 2; fi
BIN=$(realpath "$1")
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
# No case of an earlier run is left for the tools tests to take for this one's.
rm -rf "$WORK/three_nodes" "$WORK/two_per_node" "$WORK/node2_silent" "$WORK/nodes_per_job"
[ -x "$BIN" ] || { log "FAIL: no executable at '$1'"; exit 1; }
MPIEXEC=$(command -v "${CLUSTER_MPIEXEC:-$(build_launcher "$(dirname "$BIN")")}") ||
    { log "FAIL: no launcher for $BIN"; exit 1; }
KIND=$(launcher_kind "$MPIEXEC")
[ "$KIND" != unknown ] || { log "FAIL: $MPIEXEC is neither Open MPI's launcher nor MPICH's"; exit 1; }

# The cluster ctest's fixture brought up, else one of this test's own.
open_cluster() {
    if [ -n "${1:-}" ]; then
        sim_open "$1" || skip "no simulated cluster at $1 (see the test that brings it up)"
        return 0
    fi
    local rc=0
    SIM_OWNER=$$ "$REPO/tests/sim/cluster.sh" up "$WORK/cluster" || rc=$?
    [ "$rc" = 0 ] || exit "$rc"
    trap '"$REPO/tests/sim/cluster.sh" down "$WORK/cluster"' EXIT
    sim_open "$WORK/cluster"
}

# run_case NAME NP SLOTS [COMMAND...]: a hostfile of SLOTS per node and NP
# ranks of the binary (started by COMMAND, if given) launched on node1 from
# WORK/NAME/run; leaves CASE_DIR, RUN_DIR, OUT, ERR and RC. RUNNER, where
# set, starts the launcher.
RUNNER=()
run_case() {
    local name=$1 np=$2 slots=$3 node settings
    CASE_DIR="$WORK/$name" RUN_DIR="$WORK/$name/run"
    OUT="$CASE_DIR/console.txt" ERR="$CASE_DIR/stderr.txt"
    rm -rf "$CASE_DIR"
    mkdir -p "$RUN_DIR"
    for node in "${NODES[@]}"; do
        launchers hostfile-line "$node" "$slots" --kind "$KIND"
    done > "$CASE_DIR/hostfile"
    # What the launcher needs as root (and with more ranks than slots).
    mapfile -t settings < <(launchers settings --np "$np" --slots $((slots * ${#NODES[@]})) --kind "$KIND")
    log "$name: $(basename "$MPIEXEC") -hostfile -np $np on node1 (${#NODES[@]} nodes, $slots slot(s) each)"
    RC=0
    on_node node1 "$RUN_DIR" env "${settings[@]}" timeout -k 15 "$MPIRUN_TIMEOUT" \
        "${RUNNER[@]}" "$MPIEXEC" -hostfile "$CASE_DIR/hostfile" -np "$np" "${@:4}" "$BIN" \
        >"$OUT" 2>"$ERR" || RC=$?
    [ ! -s "$ERR" ] || head -n 20 "$ERR" | sed 's/^/  stderr: /'
}

check_status() {
    if [ "$RC" = 0 ]; then pass "$1: launcher exit status 0"
    else fail "$1: launcher exit status $RC"; show_logs; fi
}

show_logs() {
    echo "----- console output -----"
    cat "$OUT" 2>/dev/null || true
    echo "----- standard error -----"
    cat "$ERR" 2>/dev/null || true
}

# check_threads NAME NP REQUIRED HOST_OF_RANK...: every "Thread:N @host" line
# names the host of rank N, each worker in REQUIRED (comma-separated) has
# one, and lines of one kind ascend in rank.
check_threads() {
    local name=$1 np=$2 required=$3 problems
    shift 3
    if problems=$(awk -v np="$np" -v required="$required" -v hosts="$*" '
        BEGIN { split(hosts, host, " ") }
        match($0, /Thread:[0-9]+ @[^ ]+/) {
            split(substr($0, RSTART, RLENGTH), part, /[: @]+/)
            r = part[2] + 0; kind = substr($0, RSTART + RLENGTH); lines++
            if (r >= np) { print "  rank out of range: " $0; bad = 1; next }
            if (part[3] != host[r + 1]) { print "  worker " r " shown on " part[3] ", expected " host[r + 1]; bad = 1 }
            if ((kind in last) && r <= last[kind]) { print "  not in ascending rank order: " $0; bad = 1 }
            seen[r] = 1; last[kind] = r
        }
        END {
            if (!lines) { print "  no Thread: lines in the report"; exit 1 }
            n = split(required, req, ",")
            for (i = 1; i <= n; i++) if (!(req[i] in seen)) { print "  no Thread: line for worker " req[i]; bad = 1 }
            exit bad
        }' "$OUT"); then
        pass "$name: every Thread: line names its rank's host, in ascending rank order"
    else
        fail "$name: Thread: lines"
        echo "$problems"
    fi
}

# check_record NAME [CHECKER-OPTIONS...]: the report in RUN_DIR and OUT and
# the run record beside the results file.
check_record() {
    local name=$1 checker
    shift
    [ -n "${CLUSTER_REPORT_CHECK:-}" ] || return 0
    read -r -a checker <<< "$CLUSTER_REPORT_CHECK"
    if "${checker[@]}" 3 "$RUN_DIR" "$OUT" --record --nodes node1,node2,node3 \
        --launcher "$MPIEXEC" --binary "$BIN" "$@"; then
        pass "$name: report layout and run record"
    else
        fail "$name: report layout and run record"
    fi
}

# a. Three nodes, one rank each, started as run.sh starts a job.
case_three_nodes() {
    local results
    RUNNER=("${RECORDED_RUN[@]}")
    run_case three_nodes 3 1
    RUNNER=()
    check_status "3 nodes"
    check_threads "3 nodes" 3 1,2 node1 node2 node3
    results=$(find "$RUN_DIR" -name 'results_*.txt' -printf . | wc -c)
    if [ "$results" = 1 ] && [ -f "$(find "$RUN_DIR" -name 'results_*@ node1.txt' -print -quit)" ]; then
        pass "3 nodes: one results file, its name ending in '@ node1.txt'"
    else
        fail "3 nodes: $results results files, expected one ending in '@ node1.txt'"
    fi
    check_record "3 nodes"
}

# b. Two ranks a node: by slot, ranks 0,1 on node1, 2,3 on node2, 4,5 on
#    node3; each rank notes where it ran, those above the master's cap too.
case_two_per_node() {
    local placement="$WORK/two_per_node.placement" problems
    rm -f "$placement"
    # shellcheck disable=SC2016  # the wrapper expands its own "$1"...
    run_case two_per_node 6 2 sh -c 'eval "rank=\${$1}" && echo "$rank $(hostname)" >> "$2" &&
        shift 2 && exec "$@"' placement "$(launchers rank-variable --kind "$KIND")" "$placement"
    check_status "6 ranks"
    # The short build's master collects at most 4 processes: workers 1 to 3.
    check_threads "6 ranks" 6 1,2,3 node1 node1 node2 node2 node3 node3
    if problems=$(sort -n "$placement" | tr '\n' ' ') &&
        [ "$problems" = "0 node1 1 node1 2 node2 3 node2 4 node3 5 node3 " ]; then
        pass "6 ranks: ranks 0-5 ran where the hostfile places them"
    else
        fail "6 ranks: placement: ${problems:-none noted}"
    fi
}

# c. node2's inventory never answers: its node record holds the error, and
#    the benchmark runs all the same.
case_node2_silent() {
    local hanging="$WORK/hanging_inventory.sh"
    # shellcheck disable=SC2016  # the collector expands its own $(uname -n)
    printf '#!/bin/sh\n[ "$(uname -n)" = node2 ] && exec sleep 600\nexec "%s"\n' \
        "$REPO/scripts/node_inventory.sh" > "$hanging"
    chmod +x "$hanging"
    RUNNER=(env PROCESSORS64_NODE_INVENTORY="$hanging" PROCESSORS64_INVENTORY_TIMEOUT=5
        "${RECORDED_RUN[@]}")
    run_case node2_silent 3 1
    RUNNER=()
    check_status "node2 silent"
    check_record "node2 silent" --failed-node node2
    if grep -q "node node2: no answer within 5 s" "$ERR"; then
        pass "node2 silent: one line on standard error names the node"
    else
        fail "node2 silent: no line on standard error names node2"
    fi
}

# d. The hostfile's hosts as jobs side by side (processors64-run
#    --nodes-per-job 2): node1 (1 CPU and the master's slot), node2 (2 CPUs)
#    and node3 (1) are two jobs, node1 with node2 and node3 alone, each with
#    its own hostfile, results file and run record of one window.
case_nodes_per_job() {
    local name=nodes_per_job checker node record
    CASE_DIR="$WORK/$name" RUN_DIR="$WORK/$name/run"
    OUT="$CASE_DIR/console.txt" ERR="$CASE_DIR/stderr.txt"
    mkdir -p "$RUN_DIR"
    for node in node1:2 node2:2 node3:1; do
        launchers hostfile-line "${node%:*}" "${node#*:}" --kind "$KIND"
    done > "$CASE_DIR/hostfile"
    log "$name: processors64-run --nodes-per-job 2 $(basename "$MPIEXEC") -hostfile on node1"
    RC=0
    on_node node1 "$RUN_DIR" timeout -k 15 "$MPIRUN_TIMEOUT" "${RECORDED_RUN[@]}" \
        --nodes-per-job 2 "$MPIEXEC" -hostfile "$CASE_DIR/hostfile" -np 5 "$BIN" \
        >"$OUT" 2>"$ERR" || RC=$?
    sed 's/^/  stderr: /' "$ERR"
    check_status "--nodes-per-job 2"
    [ -n "${CLUSTER_REPORT_CHECK:-}" ] || return 0
    read -r -a checker <<< "$CLUSTER_REPORT_CHECK"
    if "${checker[@]}" 6 "$RUN_DIR" "$OUT" --window --groups 2 --measured node1=1,node2=2,node3=1 \
        --nodes node1,node2,node3 --launcher "$MPIEXEC" --binary "$BIN" --status 0; then
        pass "--nodes-per-job 2: two jobs of one window, their results files and run records"
    else
        fail "--nodes-per-job 2: the window's results files and run records"
    fi
    for record in "$RUN_DIR"/*.run.json; do
        grep -E '^  "(results_file|window)"|"workers"' "$record" | sed 's/^/  /'
    done
}

# e. ssh reaches the nodes, and only them: not node1 itself by another name,
#    nor an address of the subnet that is no node.
case_ssh() {
    if [ "$(on_node node1 / ssh node3 hostname 2>&1)" = node3 ] &&
        ! on_node node1 / ssh localhost true 2>/dev/null &&
        ! on_node node1 / ssh "$SIM_PREFIX.99" true 2>/dev/null; then
        pass "ssh: node1 reaches node3, and no host outside the cluster"
    else
        fail "ssh: node3 unreachable, or a host outside the cluster answered"
    fi
}

# f. A run killed with everything up: its owner (ctest, or a test) dies with
#    a job still running on its node. The next clean-up removes its
#    namespaces, processes and files, and leaves this cluster alone.
case_killed_run() {
    local owner link="$WORK/killed-cluster" ours=$RUN nodes=("${NODES[@]}") dead names job left
    sleep 600 >/dev/null 2>&1 &
    owner=$!
    disown "$owner"
    SIM_OWNER=$owner "$REPO/tests/sim/cluster.sh" up "$link" --nodes 1 >/dev/null
    sim_open "$link"
    dead=$RUN names=$(cat "$RUN/namespaces")
    rm -f "$WORK/killed.job"
    # shellcheck disable=SC2016  # the job writes its own pid
    on_node node1 / sh -c 'echo $$ > "$1" && exec sleep 600' job "$WORK/killed.job" >/dev/null 2>&1 &
    disown $!
    for _ in $(seq 100); do [ -s "$WORK/killed.job" ] && break; sleep 0.05; done
    job=$(cat "$WORK/killed.job")
    kill -KILL "$owner"
    "$REPO/tests/sim/cluster.sh" clean
    left=$(leftovers "$dead" "$names")
    case "$(ps -o stat= -p "$job" || true)" in "" | Z*) ;; *) left+=" the job's process $job" ;; esac
    RUN=$ours NODES=("${nodes[@]}")
    rm -f "$link"
    if [ -z "$left" ] && [ "$(on_node node1 / ssh node2 hostname 2>&1)" = node2 ]; then
        pass "killed run: its namespaces, processes and files are gone, this cluster still up"
    else
        fail "killed run: left behind: ${left:-nothing}, or this cluster was touched"
    fi
}

open_cluster "${3:-}"
case_ssh
case_three_nodes
case_two_per_node
case_node2_silent
case_nodes_per_job
case_killed_run
log "console report of the 3-node run:"
cat "$WORK/three_nodes/console.txt"
checks_done "cluster test"
