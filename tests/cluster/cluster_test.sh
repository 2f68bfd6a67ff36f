#!/bin/bash
# Simulated three-node cluster test.
#
#   tests/cluster/cluster_test.sh <path-to-benchmark-binary> [<work-dir>]
#
# Builds a small cluster on this one machine out of Linux network namespaces,
# runs the benchmark across it with the real MPI launcher (Open MPI's mpirun
# or MPICH's Hydra, its ssh launch pointed at netns_rsh.sh instead of ssh),
# checks the report, and tears everything down again. The three-node runs go
# through the recorded run (processors64-run), as run.sh starts a job, and their run
# records are checked too: once with every node answering, once with node2's
# inventory hanging.
#
#      hub namespace:  bridge br0 --+-- h1 ==veth== clu0 (node1, 10.77.0.1/24)
#                                   +-- h2 ==veth== clu0 (node2, 10.77.0.2/24)
#                                   +-- h3 ==veth== clu0 (node3, 10.77.0.3/24)
#
# Nothing is created in the machine's own network namespace: the veth pairs
# are created inside the hub namespace with their node end placed straight
# into the node namespace, so the 10.77.0.0/24 subnet exists only on those
# devices and no packet can leave the namespaces made here.
#
# Exit status: 0 all checks passed, 1 a check failed, 2 usage error,
# 77 skipped (the machine cannot create namespaces; a line "SKIP: why").
#
# Environment:
#   CLUSTER_MPIEXEC       the launcher of the MPI the binary was built against
#                         (default: the launcher of the binary's CMake build,
#                         else mpirun)
#   CLUSTER_REPORT_CHECK  optional command, run as
#                         $CLUSTER_REPORT_CHECK <np> <run-dir> <console-file>
#                             --record --nodes node1,node2,node3 [--failed-node node2]
#                             --launcher <launcher> --binary <binary>
#                         after each 3-node run; the test fails if it fails.
#   CLUSTER_MPIRUN_TIMEOUT  seconds allowed for one job (default 300).
#
# Without <work-dir> everything goes into a temporary directory that is
# removed at the end.  With <work-dir> the run directories and console logs are
# kept there (in a fresh cluster.XXXXXX subdirectory) for inspection.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../../scripts/common.sh
source "$HERE/../../scripts/common.sh"
# shellcheck source-path=SCRIPTDIR source=../check.sh
source "$HERE/../check.sh"
AGENT="$HERE/netns_rsh.sh"
SCRIPTS=$(cd "$HERE/../../scripts" && pwd)
# The recorded run (processors64-run) of the repository.
RECORDED_RUN=(env "PYTHONPATH=$(cd "$HERE/../../tools" && pwd)" "$(python_command)"
    -m processors64.run)
MPIRUN_TIMEOUT=${CLUSTER_MPIRUN_TIMEOUT:-300}
SUBNET=10.77.0.0/24
NODES=(node1 node2 node3)

usage() { echo "usage: $0 <path-to-benchmark-binary> [<work-dir>]" >&2; exit 2; }
log()   { echo "cluster test: $*"; }
CHECK_LOG=log

if [ $# -lt 1 ] || [ $# -gt 2 ]; then usage; fi

# ---------------------------------------------------------------------------
# Can this machine do it at all?  Anything missing here is a reason to skip,
# never to pass.
# ---------------------------------------------------------------------------
[ "$(id -u)" = 0 ] || skip "network namespaces need root (running as uid $(id -u))"
# Another MPI's launcher would start three one-process jobs, so the default
# is the launcher the binary's own build was configured with.
MPIEXEC=${CLUSTER_MPIEXEC:-$(build_launcher "$(dirname "$1")")}
MPIEXEC=${MPIEXEC:-mpirun}
for tool in ip unshare mount hostname sysctl timeout "$MPIEXEC"; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed"
done
MPIEXEC=$(command -v "$MPIEXEC")
KIND=$(launcher_kind "$MPIEXEC")
if [ "$KIND" = unknown ]; then
    echo "cluster test: FAIL: $MPIEXEC is neither Open MPI's launcher nor MPICH's Hydra" >&2
    exit 1
fi
unshare --uts --mount true 2>/dev/null || skip "'unshare --uts --mount' is not permitted here"

# The benchmark binary itself must exist: a missing binary is a failure.
BIN=$1
if [ ! -f "$BIN" ] || [ ! -x "$BIN" ]; then
    echo "cluster test: FAIL: no executable at '$BIN'" >&2; exit 1
fi
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
[ -x "$AGENT" ] || { echo "cluster test: FAIL: launch agent $AGENT is not executable" >&2; exit 1; }
# Both launchers split the agent setting on spaces, so the path must not have any.
case "$AGENT" in *[[:space:]]*) echo "cluster test: FAIL: path of $AGENT contains white space" >&2; exit 1 ;; esac

# ---------------------------------------------------------------------------
# Names, directories and cleanup.
# ---------------------------------------------------------------------------
# A tag unique to this run (pid + random) prefixes every namespace name, so
# parallel runs or leftovers of a killed run never clash.  The host names
# inside the namespaces are still exactly node1..node3.
while :; do
    TAG="p64c$$r$RANDOM"
    ip netns list 2>/dev/null | grep -q "^$TAG-" || break
done
HUB_NS="$TAG-hub"
declare -A NS ADDR
for i in 1 2 3; do
    NS[node$i]="$TAG-node$i"
    ADDR[node$i]="10.77.0.$i"
done

CREATED_NS=()       # namespaces to delete, in creation order
LEFT_PIDS=""        # processes teardown could not end (should stay empty)
TMP_DIRS=()         # directories to delete
MPIRUN_PID=""

if [ $# -ge 2 ]; then
    mkdir -p "$2"
    WORK=$(mktemp -d "$(cd "$2" && pwd)/cluster.XXXXXX")      # kept
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/cluster_test.XXXXXX")
    TMP_DIRS+=("$WORK")
fi
# The MPI's session directories hold Unix socket paths (at most 107 bytes),
# so they get a short private base of their own rather than living in WORK.
SESSION_TMP=$(mktemp -d /tmp/p64c.XXXXXX)
TMP_DIRS+=("$SESSION_TMP")

# Kill every process that lives in one of our namespaces (the launcher, the
# agent's shells, its daemons or proxies, benchmark ranks), then delete the
# namespaces.
# Deleting a namespace that still has processes would only drop its name
# while the namespace itself lived on, hence the kill first.
teardown() {
    local ns pids i
    if [ -n "$MPIRUN_PID" ]; then
        kill -TERM "$MPIRUN_PID" 2>/dev/null || true
    fi
    for ns in "${CREATED_NS[@]}"; do
        pids=$(ip netns pids "$ns" 2>/dev/null || true)
        # shellcheck disable=SC2086  # a list of pids
        [ -z "$pids" ] || kill -TERM $pids 2>/dev/null || true
    done
    # Up to 5 s to exit politely, then SIGKILL and up to 2 s more.
    LEFT_PIDS=""
    for ns in "${CREATED_NS[@]}"; do
        for i in $(seq 70); do
            pids=$(ip netns pids "$ns" 2>/dev/null || true)
            [ -z "$pids" ] && break
            if [ "$i" -ge 50 ]; then
                # shellcheck disable=SC2086  # a list of pids
                kill -KILL $pids 2>/dev/null || true
            fi
            sleep 0.1
        done
        LEFT_PIDS="$LEFT_PIDS$pids"
    done
    if [ -n "$MPIRUN_PID" ]; then
        wait "$MPIRUN_PID" 2>/dev/null || true
        MPIRUN_PID=""
    fi
    # Nodes first, hub last: a veth pair disappears with either of its ends.
    for (( i=${#CREATED_NS[@]}-1; i>=0; i-- )); do
        ip netns del "${CREATED_NS[$i]}" 2>/dev/null || true
    done
    CREATED_NS=()
    if [ ${#TMP_DIRS[@]} -gt 0 ]; then
        rm -rf "${TMP_DIRS[@]}"
    fi
    TMP_DIRS=()
}
on_exit() {
    local rc=$?
    trap - EXIT INT TERM
    teardown
    exit "$rc"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------
# Build the network.
# ---------------------------------------------------------------------------
die() { log "FAIL: $*"; exit 1; }   # setup went wrong after it could start

new_ns() {
    ip netns add "$1" 2>/dev/null || return 1
    CREATED_NS+=("$1")
    # IPv6 off: the nodes talk IPv4 on one subnet only, and the MPI must not
    # try link-local IPv6 addresses.  (A kernel without IPv6 has nothing to
    # turn off.)
    if ip netns exec "$1" test -d /proc/sys/net/ipv6; then
        ip netns exec "$1" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1 >/dev/null \
            || die "cannot disable IPv6 in $1"
    fi
    ip -n "$1" link set lo up || die "cannot bring up lo in $1"
}

new_ns "$HUB_NS" || skip "'ip netns add' failed (no permission to create network namespaces)"
ip -n "$HUB_NS" link add br0 type bridge 2>/dev/null \
    || skip "cannot create a bridge inside a network namespace"
ip -n "$HUB_NS" link set br0 up || die "cannot bring up the bridge"

HOSTS_FILE="$WORK/hosts"         # bound over /etc/hosts inside every node
NODE_MAP="$WORK/node_map"        # read by the launch agent
printf '127.0.0.1\tlocalhost\n' > "$HOSTS_FILE"
: > "$NODE_MAP"
for i in 1 2 3; do
    node=node$i ns=${NS[node$i]}
    new_ns "$ns" || skip "'ip netns add' failed for $ns"
    # Create the pair in the hub and put the peer directly into the node, so
    # no device ever appears in the machine's own namespace.
    ip -n "$HUB_NS" link add "h$i" type veth peer name clu0 netns "$ns" 2>/dev/null \
        || skip "cannot create veth pairs inside network namespaces"
    ip -n "$HUB_NS" link set "h$i" master br0 up || die "cannot attach h$i to the bridge"
    ip -n "$ns" addr add "${ADDR[$node]}/24" dev clu0 || die "cannot address $node"
    ip -n "$ns" link set clu0 up || die "cannot bring up clu0 on $node"
    printf '%s\t%s\n' "${ADDR[$node]}" "$node" >> "$HOSTS_FILE"
    printf '%s %s %s\n' "$node" "$ns" "${ADDR[$node]}" >> "$NODE_MAP"
done

# Quick reachability check so that a broken network shows up as such rather
# than as an MPI time-out.
if command -v ping >/dev/null 2>&1; then
    for i in 2 3; do
        ip netns exec "${NS[node1]}" ping -c 1 -W 2 "10.77.0.$i" >/dev/null 2>&1 || {
            # The bridge may need a moment before it forwards; try once more.
            sleep 1
            ip netns exec "${NS[node1]}" ping -c 1 -W 3 "10.77.0.$i" >/dev/null 2>&1 \
                || die "node1 cannot reach node$i (10.77.0.$i)"
        }
    done
fi

# ---------------------------------------------------------------------------
# Running the launcher on node1.
# ---------------------------------------------------------------------------
# Both launchers start the other nodes' processes through our agent instead of
# ssh (the flags come from the launcher table), and what they need as root
# and with more processes than cores comes from there too.
mapfile -t AGENT_FLAGS < <(launchers remote-agent "$AGENT" --kind "$KIND")
# The MPI's own settings, all through the environment:
#  Open MPI
#  - plm=rsh; no tree spawn, so only mpirun launches daemons (one agent call
#    per remote node);
#  - oob (daemon wiring) and btl tcp (MPI traffic) restricted to the cluster
#    subnet; btl self,tcp and pml ob1, so ranks on one node also talk TCP and
#    nothing tries UCX, shared memory or fabric libraries;
#  - no core binding (all "nodes" share the same 2 cores);
#  - session directories in our private short temp base.
#  MPICH (built on UCX here)
#  - UCX's network traffic on the cluster device only. Shared memory stays
#    allowed: with TCP alone (UCX_TLS=tcp,self) MPICH 4.0.2's MPI_Finalize
#    now and then never returns, with a plain program of blocking calls too;
#  - Hydra's own connections on the cluster device, no core binding.
# The agent inherits the launcher's environment (unlike ssh), so the daemons
# on the other nodes see the same settings, as they would from a shared site
# config.
# shellcheck disable=SC2054  # the commas are in values, not separators
case "$KIND" in
openmpi)
    MPI_ENV=(
        OMPI_MCA_plm=rsh
        OMPI_MCA_plm_rsh_no_tree_spawn=1
        OMPI_MCA_oob_tcp_if_include="$SUBNET"
        OMPI_MCA_btl_tcp_if_include="$SUBNET"
        OMPI_MCA_btl=self,tcp
        OMPI_MCA_pml=ob1
        OMPI_MCA_osc=^ucx
        OMPI_MCA_hwloc_base_binding_policy=none
        OMPI_MCA_orte_tmpdir_base="$SESSION_TMP"
    ) ;;
mpich)
    MPI_ENV=(
        UCX_TLS=tcp,self,sm
        UCX_NET_DEVICES=clu0
        HYDRA_IFACE=clu0
        HYDRA_BINDING=none
    ) ;;
esac
MPI_ENV+=(
    TMPDIR="$SESSION_TMP"
    CLUSTER_NODE_MAP="$NODE_MAP"
    CLUSTER_HOSTS="$HOSTS_FILE"
)
launcher_environment "$KIND" 6

# run_on_node1 DIR OUT ERR argv...: run argv in node1's namespace with host
# name node1 and the cluster hosts file, in DIR, stdin closed.  The launcher
# has to run inside node1: it decides which hostfile entry is "local" by
# comparing it with its own host name, and the remote daemons must be able to
# connect back to it over the cluster subnet.
# It also gets a PID namespace of its own, whose first process is `timeout`:
# Open MPI's mpirun starts the remote daemons as `orted --daemonize`, so each orted
# forks away from the launch agent and is orphaned; on a real cluster the
# remote init adopts it, here it would be this machine's init, where exited
# daemons were seen lingering as zombies for a while.  In the PID namespace
# they are adopted by its first process instead, and when that exits the
# kernel kills and reaps everything left in the namespace, so no daemon
# outlives a run.  (unshare itself ignores SIGTERM while it waits, so
# teardown signals the processes in the namespaces directly; --kill-child
# still takes the namespace down should unshare be SIGKILLed.)
# Runs in the background so that a signal to this script is handled at once
# (see the traps).
run_on_node1() {
    local dir=$1 out=$2 err=$3
    shift 3
    # shellcheck disable=SC2016  # the inner script expands its own "$1"...
    env "${MPI_ENV[@]}" ip netns exec "${NS[node1]}" \
        unshare --uts --mount --pid --fork --kill-child --mount-proc sh -c '
        mount --bind "$1" /etc/hosts && hostname node1 && cd "$2" || exit 125
        shift 2
        exec "$@"' run_on_node1 "$HOSTS_FILE" "$dir" "$@" </dev/null >"$out" 2>"$err" &
    MPIRUN_PID=$!
    local rc=0
    wait "$MPIRUN_PID" || rc=$?
    MPIRUN_PID=""
    return "$rc"
}


# run_case NAME NP SLOTS [WRAPPER...]: writes a hostfile with SLOTS per node,
# runs the benchmark (started by WRAPPER, if given) with NP ranks from a fresh
# run directory and leaves CASE_DIR, RUN_DIR, OUT, ERR, RC and SECS for the
# checks. The launcher is started through RUNNER, where that is set.
RUNNER=()
run_case() {
    local name=$1 np=$2 slots=$3 node t0 t1
    local wrapper=("${@:4}")
    CASE_DIR="$WORK/$name"
    RUN_DIR="$CASE_DIR/run"
    OUT="$CASE_DIR/console.txt"
    ERR="$CASE_DIR/stderr.txt"
    mkdir -p "$RUN_DIR"
    for node in "${NODES[@]}"; do
        launchers hostfile-line "$node" "$slots" --kind "$KIND"
    done > "$CASE_DIR/hostfile"
    log "running $name: $(basename "$MPIEXEC") -np $np over ${NODES[*]} ($slots slot(s) each)"
    t0=$(date +%s.%N)
    RC=0
    run_on_node1 "$RUN_DIR" "$OUT" "$ERR" \
        timeout -k 15 "$MPIRUN_TIMEOUT" "${RUNNER[@]}" "$MPIEXEC" "${AGENT_FLAGS[@]}" \
        -hostfile "$CASE_DIR/hostfile" -np "$np" "${wrapper[@]}" "$BIN" || RC=$?
    t1=$(date +%s.%N)
    SECS=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
    log "$name finished in $SECS s with exit status $RC"
    # Anything on standard error is shown (briefly) even when all is well.
    if [ -s "$ERR" ]; then
        head -n 20 "$ERR" | sed 's/^/  stderr: /'
    fi
}

# 124 and 137 are what `timeout` returns when it had to stop the launcher.
timed_out() {
    case "$RC" in 124|137) echo " (timed out after ${MPIRUN_TIMEOUT} s)" ;; esac
}

show_logs() {
    echo "----- console output ($1) -----"
    cat "$OUT" 2>/dev/null || true
    echo "----- standard error ($1) -----"
    cat "$ERR" 2>/dev/null || true
    echo "-------------------------------"
}

# check_threads NP REQUIRED HOST_OF_RANK...: every "Thread:N @host" line in
# OUT must name the host that rank N runs on; each worker in REQUIRED (a
# comma-separated list) must have at least one line; and among lines of the
# same kind (same text after the host) the ranks must ascend.  Workers not in
# REQUIRED may be absent: the program may leave surplus ranks idle.  Prints
# the problems found and returns non-zero on any.
check_threads() {
    local np=$1 required=$2
    shift 2
    awk -v np="$np" -v required="$required" -v hosts="$*" '
        BEGIN { n = split(hosts, host, " "); bad = 0 }
        match($0, /Thread:[0-9]+ @[^ ]+/) {
            tok = substr($0, RSTART, RLENGTH)
            split(tok, parts, /[: @]+/)        # "Thread", N, host
            r = parts[2] + 0; h = parts[3]
            kind = substr($0, RSTART + RLENGTH)
            lines++
            if (r >= np) { print "  rank out of range: " $0; bad = 1; next }
            if (h != host[r + 1]) {
                print "  worker " r " shown on " h ", expected " host[r + 1] ": " $0; bad = 1
            }
            seen[r] = 1
            if ((kind in last) && r <= last[kind]) {
                print "  not in ascending rank order: " $0; bad = 1
            }
            last[kind] = r
        }
        END {
            if (lines == 0) { print "  no Thread: lines in the report"; exit 1 }
            n = split(required, req, ",")
            for (i = 1; i <= n; i++)
                if (!(req[i] in seen)) { print "  no Thread: line for worker " req[i]; bad = 1 }
            exit bad
        }' "$OUT"
}

# check_recorded_run NAME [CHECKER-OPTIONS...]: the report of the three-node
# run in RUN_DIR and OUT, and its run record.
check_recorded_run() {
    local name=$1 checker
    shift
    [ -n "${CLUSTER_REPORT_CHECK:-}" ] || return 0
    # Word-split on purpose so that "python3 check.py" works.
    read -r -a checker <<< "$CLUSTER_REPORT_CHECK"
    if "${checker[@]}" 3 "$RUN_DIR" "$OUT" --record --nodes node1,node2,node3 \
        --launcher "$MPIEXEC" --binary "$BIN" "$@"; then
        pass "$name: report layout and run record ($CLUSTER_REPORT_CHECK)"
    else
        fail "$name: report layout and run record ($CLUSTER_REPORT_CHECK)"
        return 1
    fi
}

# ---------------------------------------------------------------------------
# a. Three nodes, one rank each, started as run.sh starts a job.
# ---------------------------------------------------------------------------
RUNNER=("${RECORDED_RUN[@]}")
run_case three_nodes 3 1
RUNNER=()
A_OUT=$OUT
A_OK=1
if [ "$RC" = 0 ]; then pass "3 nodes: launcher exit status 0"
else fail "3 nodes: launcher exit status $RC$(timed_out)"; A_OK=0; fi

if problems=$(check_threads 3 1,2 node1 node2 node3); then
    pass "3 nodes: Thread:1 shown @node2 and Thread:2 @node3 in every line"
else
    fail "3 nodes: Thread: lines"; echo "$problems"; A_OK=0
fi

shopt -s nullglob
results=("$RUN_DIR"/results_*.txt)
shopt -u nullglob
if [ ${#results[@]} -eq 1 ] && [[ ${results[0]} == *"@ node1.txt" ]]; then
    pass "3 nodes: results file name ends in '@ node1.txt'"
else
    fail "3 nodes: expected one results file ending in '@ node1.txt', found ${#results[@]}:"
    A_OK=0
    for f in "${results[@]}"; do printf '  %q\n' "$(basename "$f")"; done
fi

check_recorded_run "3 nodes" || A_OK=0
[ "$A_OK" = 1 ] || show_logs "3 nodes"
A_SECS=$SECS

# ---------------------------------------------------------------------------
# b. Three nodes, two ranks each: with by-slot mapping ranks 0,1 run on
#    node1, 2,3 on node2 and 4,5 on node3.
# ---------------------------------------------------------------------------
# Each rank first notes its number and host in PLACEMENT, the ranks above
# the master's cap too, which the report does not name.
PLACEMENT="$WORK/placement"
# shellcheck disable=SC2016  # the wrapper expands its own "$1"...
run_case two_per_node 6 2 sh -c 'eval "rank=\${$1}" && echo "$rank $(hostname)" >> "$2" &&
    shift 2 && exec "$@"' record_placement "$(launchers rank-variable --kind "$KIND")" "$PLACEMENT"
B_OK=1
if [ "$RC" = 0 ]; then pass "6 ranks: launcher exit status 0"
else fail "6 ranks: launcher exit status $RC$(timed_out)"; B_OK=0; fi

# The short build's master collects at most 4 processes (and says so on
# standard error), so workers 1 to 3 are reported: 1 on node1, 2 and 3 on
# node2; any other Thread: line would be checked the same way.
if problems=$(check_threads 6 1,2,3 node1 node1 node2 node2 node3 node3); then
    pass "6 ranks: every Thread: line names its hostfile host, in ascending rank order"
else
    fail "6 ranks: Thread: lines"; echo "$problems"; B_OK=0
fi
if problems=$(awk -v hosts="node1 node1 node2 node2 node3 node3" '
        BEGIN { split(hosts, host, " ") }
        { r = $1 + 0; seen[r]++
          if (host[r + 1] != $2) { print "  rank " r " ran on " $2 ", expected " host[r + 1]; bad = 1 } }
        END { for (r = 0; r < 6; r++) if (seen[r] != 1) { print "  rank " r " noted " seen[r] + 0 " times"; bad = 1 }
              if (NR != 6) { print "  " NR " ranks noted, not 6"; bad = 1 }
              exit bad }' "$PLACEMENT" 2>&1); then
    pass "6 ranks: ranks 0-5 ran where the hostfile places them"
else
    fail "6 ranks: placement"; echo "$problems"; B_OK=0
fi
[ "$B_OK" = 1 ] || show_logs "6 ranks"
B_SECS=$SECS

# ---------------------------------------------------------------------------
# c. Three nodes, node2's inventory never answering: its node record holds
#    the error, the others theirs, and the benchmark runs all the same.
# ---------------------------------------------------------------------------
HANGING="$WORK/hanging_inventory.sh"
# shellcheck disable=SC2016  # the collector expands its own $(uname -n)
printf '#!/bin/sh\n[ "$(uname -n)" = node2 ] && exec sleep 600\nexec "%s"\n' \
    "$SCRIPTS/node_inventory.sh" > "$HANGING"
chmod +x "$HANGING"
RUNNER=(env PROCESSORS64_NODE_INVENTORY="$HANGING" PROCESSORS64_INVENTORY_TIMEOUT=5
    "${RECORDED_RUN[@]}")
run_case node2_silent 3 1
RUNNER=()
C_OK=1
if [ "$RC" = 0 ]; then pass "node2 silent: launcher exit status 0"
else fail "node2 silent: launcher exit status $RC$(timed_out)"; C_OK=0; fi
check_recorded_run "node2 silent" --failed-node node2 || C_OK=0
if grep -q "node node2: no answer within 5 s" "$ERR"; then
    pass "node2 silent: one line on standard error names the node"
else
    fail "node2 silent: no line on standard error names node2"; C_OK=0
fi
[ "$C_OK" = 1 ] || show_logs "node2 silent"
C_SECS=$SECS

if [ "$A_OK" = 1 ]; then
    echo "===== console report of the 3-node run ====="
    cat "$A_OUT"
    echo "============================================"
fi

# Tear down now (the EXIT trap would too) to prove nothing is left behind.
OURS=("${CREATED_NS[@]}")
teardown
left=""
for ns in "${OURS[@]}"; do
    ip netns list | awk '{ print $1 }' | grep -qxF "$ns" && left="$left $ns"
done
if [ -z "$left" ] && [ -z "$LEFT_PIDS" ]; then
    pass "teardown: all namespaces and their processes are gone"
else
    fail "teardown: left behind: namespaces:${left:- none}; processes: ${LEFT_PIDS:-none}"
fi

log "timings: 3 nodes ${A_SECS} s, 6 ranks ${B_SECS} s, node2 silent ${C_SECS} s"
checks_done "cluster test"
