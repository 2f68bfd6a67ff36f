# shellcheck shell=bash
# A three-node Slurm cluster on this one machine, for the Slurm test.
# Sourced by slurm_test.sh; every function here has one job.
#
#   hub (network namespace): bridge br0 --+-- h1 ==veth== eth0 node1 (10.78.0.1/24)
#                                         +-- h2 ==veth== eth0 node2 (10.78.0.2/24)
#                                         +-- h3 ==veth== eth0 node3 (10.78.0.3/24)
#
# Each node is one holder process in new network, UTS, mount and PID
# namespaces: its host name is nodeN, /etc/hosts names the three nodes, and
# Slurm's TmpFS path is a directory of that node's own. The holder is the
# first process of the node's PID namespace, so killing it takes down every
# process on that node (slurmd, slurmstepd, the job's ranks) at once, and its
# mounts vanish with its mount namespace. node1 also runs munged and
# slurmctld. Nothing is created in the machine's own network namespace, and
# no namespace gets a name, so nothing of ours ever shows in `ip netns list`.
#
# Every run keeps its files in STATE_ROOT/PID (short: Unix socket paths are
# limited to 108 bytes) and records there which holders it started, with
# their start times, so that a later run can end the holders of a run that
# was killed before it could clean up, and only those.

STATE_ROOT=${P64_SLURM_STATE_ROOT:-/tmp/p64slurm}
SUBNET_PREFIX=10.78.0
NODE_NAMES=(node1 node2 node3)
RUN=""              # this run's directory
declare -A HOLDER   # node (or "hub") -> pid of its holder, the PID namespace's first process

# The start time of process $1 in clock ticks since boot (field 22 of its
# stat), which tells a process from a later one that got the same pid.
start_time() {
    local stat fields
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    # Fields after the name, which may hold blanks and ends at the last ")".
    read -r -a fields <<< "${stat##*) }"
    echo "${fields[19]}"
}

# Kills process $1 if it still is the process that started at time $2.
kill_if_same() {
    local now
    now=$(start_time "$1") || return 0
    if [ "$now" = "$2" ]; then
        kill -KILL "$1" 2>/dev/null || true
    fi
}

# Ends the holders listed in run directory $1 and waits up to 10 s for them
# to be gone. A holder's death takes down its namespaces and every process
# in them.
end_holders() {
    local pid started i left
    [ -f "$1/holders" ] || return 0
    while read -r pid started; do
        kill_if_same "$pid" "$started"
    done < "$1/holders"
    for i in $(seq 100); do
        left=0
        while read -r pid started; do
            [ "$(start_time "$pid" || true)" = "$started" ] && left=1
        done < "$1/holders"
        [ "$left" = 0 ] && return 0
        sleep 0.1
    done
    echo "slurm test: holders of $1 did not end" >&2
    return 1
}

# Ends the holders of run directory $1 and removes the directory.
remove_run() {
    end_holders "$1" || true
    rm -rf "$1"
}

# Removes what earlier runs left behind: a run directory whose test process
# (its "owner" line) is no longer alive belongs to an interrupted run.
remove_stale_runs() {
    local dir pid started
    [ -d "$STATE_ROOT" ] || return 0
    for dir in "$STATE_ROOT"/*/; do
        [ -d "$dir" ] || continue
        dir=${dir%/}
        read -r pid started < "$dir/owner" 2>/dev/null || { remove_run "$dir"; continue; }
        [ "$(start_time "$pid" || true)" = "$started" ] && continue
        echo "slurm test: removing the leftovers of an interrupted run in $dir"
        remove_run "$dir"
    done
}

# Creates this run's directory with its owner line and the per-node directories.
make_run_dir() {
    local node
    mkdir -p "$STATE_ROOT"
    RUN="$STATE_ROOT/$$"
    rm -rf "$RUN"
    mkdir -m 0700 "$RUN"
    echo "$$ $(start_time $$)" > "$RUN/owner"
    mkdir -p "$RUN/ctld" "$RUN/munge" "$RUN/tmp" "$RUN/jobs"
    chmod 0700 "$RUN/munge"
    for node in "${NODE_NAMES[@]}"; do
        mkdir -p "$RUN/$node/spool" "$RUN/$node/tmp"
    done
}

# start_holder NAME UNSHARE_FLAGS... -- SETUP: starts a holder in new
# namespaces that runs the shell commands SETUP, then sits as the reaping
# first process of its PID namespace. Records its pid in HOLDER[NAME] and in
# the run's holders file.
start_holder() {
    local name=$1 flags=() pid child i
    shift
    while [ "$1" != -- ]; do flags+=("$1"); shift; done
    shift
    # shellcheck disable=SC2016  # the holder's own shell expands $!
    unshare "${flags[@]}" --fork --kill-child --pid --mount-proc bash -c "$1"'
        touch "'"$RUN/$name.ready"'"
        while :; do sleep 3600 & wait $!; done' </dev/null >"$RUN/$name.holder.log" 2>&1 &
    pid=$!
    disown "$pid"
    # Recorded at once: killing unshare (--kill-child) kills its child too,
    # so even a run stopped right here leaves nothing a later run cannot end.
    echo "$pid $(start_time "$pid")" >> "$RUN/holders"
    for i in $(seq 100); do
        [ -f "$RUN/$name.ready" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    child=$(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true)
    child=${child%% *}
    if [ ! -f "$RUN/$name.ready" ] || [ -z "$child" ]; then
        cat "$RUN/$name.holder.log" >&2
        return 1
    fi
    echo "$child $(start_time "$child")" >> "$RUN/holders"
    HOLDER[$name]=$child
}

# Writes the hosts file every node sees as /etc/hosts.
write_hosts_file() {
    local i
    printf '127.0.0.1\tlocalhost\n' > "$RUN/hosts"
    for i in 1 2 3; do
        printf '%s.%s\tnode%s\n' "$SUBNET_PREFIX" "$i" "$i" >> "$RUN/hosts"
    done
}

# Starts the hub and the three nodes and wires them to the hub's bridge.
start_network() {
    local i node
    start_holder hub --net -- 'ip link set lo up && ip link add br0 type bridge && ip link set br0 up' ||
        return 1
    for i in 1 2 3; do
        node=node$i
        start_holder "$node" --net --uts --mount --propagation private -- "
            set -e
            hostname $node
            mount --bind '$RUN/hosts' /etc/hosts
            mount --bind '$RUN/$node/tmp' '$RUN/tmp'
            ip link set lo up" || return 1
        in_ns hub ip link add "h$i" type veth peer name eth0 netns "${HOLDER[$node]}" &&
            in_ns hub ip link set "h$i" master br0 up &&
            in_ns "$node" ip addr add "$SUBNET_PREFIX.$i/24" dev eth0 &&
            in_ns "$node" ip link set eth0 up || return 1
    done
}

# in_ns NAME COMMAND...: runs COMMAND in holder NAME's namespaces.
in_ns() {
    local name=$1
    shift
    if [ "$name" = hub ]; then
        nsenter -t "${HOLDER[hub]}" -n "$@"
    else
        nsenter -t "${HOLDER[$name]}" -n -u -m -p "$@"
    fi
}

# on_node NODE DIR COMMAND...: runs COMMAND on NODE with DIR as its working
# directory, standard input closed, as a user logged in there would.
on_node() {
    local node=$1 dir=$2
    shift 2
    in_ns "$node" --wd="$dir" env SLURM_CONF="$RUN/slurm.conf" "$@" </dev/null
}

# Writes slurm.conf: every path under the run directory; one CPU per node,
# so that three nodes make three CPUs (config_overrides: slurmd reports the
# CPUs declared here, not the machine's); TmpFS, where Slurm's PMIx plugin
# keeps its sockets, is the path each node has bound to a directory of its
# own.
write_slurm_conf() {
    local i
    cat > "$RUN/slurm.conf" <<EOF
ClusterName=p64sim
SlurmctldHost=node1($SUBNET_PREFIX.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$RUN/munge/munge.sock
StateSaveLocation=$RUN/ctld
SlurmctldPidFile=$RUN/ctld/slurmctld.pid
SlurmctldLogFile=$RUN/ctld/slurmctld.log
SlurmdSpoolDir=$RUN/%n/spool
SlurmdPidFile=$RUN/%n/slurmd.pid
SlurmdLogFile=$RUN/%n/slurmd.log
SlurmdParameters=config_overrides
TmpFS=$RUN/tmp
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
KillWait=5
MailProg=/bin/true
EOF
    for i in 1 2 3; do
        echo "NodeName=node$i NodeAddr=$SUBNET_PREFIX.$i CPUs=1 State=UNKNOWN" >> "$RUN/slurm.conf"
    done
    echo "PartitionName=sim Nodes=node[1-3] Default=YES MaxTime=INFINITE State=UP" >> "$RUN/slurm.conf"
}

# Starts munged with a key of its own, then slurmctld on node1 and slurmd on
# every node.
start_daemons() {
    local node
    mungekey --create --keyfile="$RUN/munge/munge.key" >/dev/null 2>&1 ||
        dd if=/dev/urandom of="$RUN/munge/munge.key" bs=1024 count=1 status=none
    chmod 0600 "$RUN/munge/munge.key"
    in_ns node1 munged --force --socket="$RUN/munge/munge.sock" \
        --key-file="$RUN/munge/munge.key" --pid-file="$RUN/munge/munged.pid" \
        --log-file="$RUN/munge/munged.log" --seed-file="$RUN/munge/munged.seed" || return 1
    on_node node1 "$RUN" slurmctld -i || return 1
    for node in "${NODE_NAMES[@]}"; do
        on_node "$node" "$RUN" slurmd -N "$node" || return 1
    done
}

# Waits up to 60 s until all three nodes are idle.
wait_for_nodes() {
    local i idle
    for i in $(seq 120); do
        idle=$(on_node node1 "$RUN" sinfo -h -N -t idle -o %N 2>/dev/null | sort -u | wc -l || true)
        [ "$idle" = 3 ] && return 0
        sleep 0.5
    done
    on_node node1 "$RUN" sinfo -N >&2 || true
    return 1
}

# Ends every holder of this run (and with them every process and mount in
# their namespaces) and removes the run directory, unless KEEP_RUN is set.
stop_cluster() {
    [ -n "$RUN" ] || return 0
    if [ -n "${KEEP_RUN:-}" ]; then
        end_holders "$RUN" || true
    else
        remove_run "$RUN"
    fi
    RUN=""
}
