#!/bin/bash
# A simulated cluster on this one machine, for every multi-node test.
#
#   tests/sim/cluster.sh up LINK [--nodes N]   bring up N nodes (default 3);
#                                              LINK becomes a link to its directory
#   tests/sim/cluster.sh down LINK             take it down, check nothing is left
#   tests/sim/cluster.sh clean                 remove what interrupted runs left
#   tests/sim/cluster.sh on LINK NODE COMMAND...   run COMMAND on NODE
#
# Test scripts source this file and call sim_open LINK, on_node, node_pids...
#
#   hub netns: bridge br0 --+-- h1 ==veth== clu0 node1 (10.77.0.1/24)
#                           +-- h2 ==veth== clu0 node2 (10.77.0.2/24) ...
#
# Each node is a named network namespace and, in it, a holder process with
# UTS and mount namespaces of its own: host name nodeN, and bound over the
# machine's files, the cluster's /etc/hosts, a home directory /root shared
# by the nodes (the run's ssh keys, known_hosts and client configuration, and
# MPICH's Hydra configuration), Open MPI's site parameter file, a /run and a
# temporary directory of the node's own. Every node runs Debian's sshd on its
# cluster address; node1 runs munged and slurmctld, every node slurmd. The
# nodes share the machine's PID namespace: MPICH's shared memory between
# ranks needs it.
#
# Every process of a node lives in the node's network namespace, so
# `ip netns pids` finds them all, whoever started them. A run's directory,
# SIM_ROOT/ID, names its owner (the process that brought it up: ctest, or the
# test script) with its start time and the namespaces it made; a run whose
# owner is gone is removed by the next `up` or `clean`, and only such runs.
#
# Exit status: 0 done, 1 failed, 2 usage, 77 this machine cannot do it.

SIM_ROOT=${P64_SIM_ROOT:-/tmp/p64sim}
SIM_PREFIX=10.77.0
SIM_SUBNET=$SIM_PREFIX.0/24
SIM_DEVICE=clu0
# The CPUs Slurm declares on node1, node2, node3 (1 on any further node):
# more than the machine has, so that a whole-node allocation (--exclusive)
# passes the short build's cap of 4 processes with a group of two nodes and
# a node past the cap, while a plain -N 3 still gets one CPU a node.
SIM_CPUS=(1 2 4)
RUN=""       # the cluster's run directory
NODES=()     # node1 .. nodeN

sim_log() { echo "sim cluster: $*" >&2; }

# ---- Runs and their owners ---------------------------------------------------

# The start time of process $1 in clock ticks since boot (field 22 of its
# stat), which tells a process from a later one with the same pid; nothing
# for a process that has ended, a zombie too.
start_time() {
    local stat fields
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    read -r -a fields <<< "${stat##*) }"
    [ "${fields[0]}" != Z ] || return 1
    echo "${fields[19]}"
}

# Whether the run in directory $1 still has its owner.
owner_alive() {
    local pid started
    read -r pid started < "$1/owner" 2>/dev/null || return 1
    [ "$(start_time "$pid" || true)" = "$started" ]
}

# Makes the run directory of owner $1 (written before the directory gets its
# name, so `clean` never sees a run without its owner).
make_run_dir() {
    local tmp
    mkdir -p "$SIM_ROOT"
    tmp=$(mktemp -d "$SIM_ROOT/.XXXXXX")
    echo "$1 $(start_time "$1")" > "$tmp/owner"
    RUN="$SIM_ROOT/${tmp##*/.}"
    mv "$tmp" "$RUN"
}

# Kills every process in the namespaces run directory $1 made, politely
# first, then deletes the namespaces.
stop_namespaces() {
    local ns signal pids all i
    [ -f "$1/namespaces" ] || return 0
    for signal in TERM KILL; do
        for i in $(seq 30); do
            all=""
            while read -r ns; do
                pids=$(ip netns pids "$ns" 2>/dev/null || true)
                # shellcheck disable=SC2086  # a list of pids
                [ -z "$pids" ] || { kill -"$signal" $pids 2>/dev/null || true; all+=" $pids"; }
            done < "$1/namespaces"
            [ -z "$all" ] && break 2
            sleep 0.1
        done
    done
    # Nodes first, hub last: a veth pair goes with either of its ends.
    tac "$1/namespaces" | while read -r ns; do ip netns del "$ns" 2>/dev/null || true; done
    [ -z "$all" ] || { sim_log "processes that did not end:${all//$'\n'/ }"; return 1; }
}

remove_run() {
    local rc=0
    stop_namespaces "$1" || rc=1
    rm -rf "$1"
    return "$rc"
}

# Removes the runs whose owner is gone: what an interrupted run left.
remove_stale_runs() {
    local dir
    for dir in "$SIM_ROOT"/*/; do
        [ -d "$dir" ] || continue
        dir=${dir%/}
        owner_alive "$dir" && continue
        sim_log "removing what an interrupted run left in $dir"
        remove_run "$dir" || true
    done
}

# What of run directory $1 (namespace names $2) is still there, if anything.
leftovers() {
    local ns
    for ns in $2; do
        ip netns list | awk '{ print $1 }' | grep -qxF "$ns" && echo "namespace $ns"
    done
    [ -d "$1" ] && echo "directory $1"
    grep -F "${1##*/}" /proc/self/mountinfo | awk '{ print "mount " $5 }'
    return 0
}

# ---- The network and the nodes ------------------------------------------------

# The network namespace of this run's node (or hub) $1.
ns_name() {
    echo "p64sim-${RUN##*/}-$1"
}

# add_namespace NAME: a network namespace of this run, recorded before it exists.
add_namespace() {
    ns_name "$1" >> "$RUN/namespaces"
    ip netns add "$(ns_name "$1")" && ip -n "$(ns_name "$1")" link set lo up
}

# The hub with its bridge, and every node wired to it. IPv6 is off in the
# nodes: the MPIs must not try link-local addresses.
make_network() {
    local i ns hub
    hub=$(ns_name hub)
    add_namespace hub && ip -n "$hub" link add br0 type bridge && ip -n "$hub" link set br0 up ||
        return 77
    for i in "${!NODES[@]}"; do
        ns=$(ns_name "${NODES[$i]}")
        add_namespace "${NODES[$i]}" || return 1
        ip netns exec "$ns" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1 >/dev/null 2>&1 || true
        ip -n "$hub" link add "h$((i + 1))" type veth peer name "$SIM_DEVICE" netns "$ns" &&
            ip -n "$hub" link set "h$((i + 1))" master br0 up &&
            ip -n "$ns" addr add "$SIM_PREFIX.$((i + 1))/24" dev "$SIM_DEVICE" &&
            ip -n "$ns" link set "$SIM_DEVICE" up || return 1
    done
}

# start_holder NODE: the node's holder, which makes the node's host name and
# mounts and then keeps its UTS and mount namespaces alive.
start_holder() {
    local node=$1 pid
    # The node's own sysfs shows its network devices; the cgroups Slurm's
    # daemons read are carried over from the machine's.
    # shellcheck disable=SC2016  # the holder expands its own "$1"...
    nsenter --net="/run/netns/$(ns_name "$node")" \
        unshare --uts --mount --propagation private sh -c '
        set -e
        hostname "$1"
        mkdir "$2/$1/cgroup"
        mount --rbind /sys/fs/cgroup "$2/$1/cgroup"
        mount -t sysfs sysfs /sys
        mount --move "$2/$1/cgroup" /sys/fs/cgroup
        mount --bind "$2/hosts" /etc/hosts
        mount --bind "$2/home" /root
        if [ -f /etc/openmpi/openmpi-mca-params.conf ]; then
            mount --bind "$2/openmpi-mca-params.conf" /etc/openmpi/openmpi-mca-params.conf
        fi
        mount --bind "$2/$1/tmp" "$2/tmp"
        mount -t tmpfs -o mode=0755 run /run
        mkdir -m 0755 /run/sshd
        touch "$2/$1/ready"
        exec sleep infinity' holder "$node" "$RUN" </dev/null >"$RUN/$node/holder.log" 2>&1 &
    pid=$!
    echo "$node $pid" >> "$RUN/holders"
    for _ in $(seq 100); do
        [ -f "$RUN/$node/ready" ] && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    cat "$RUN/$node/holder.log" >&2
    return 1
}

# ---- What the nodes see ----------------------------------------------------

write_hosts_file() {
    local i
    printf '127.0.0.1\tlocalhost\n' > "$RUN/hosts"
    for i in "${!NODES[@]}"; do
        printf '%s.%s\t%s\n' "$SIM_PREFIX" "$((i + 1))" "${NODES[$i]}" >> "$RUN/hosts"
    done
}

# The root key pair, a host key per node, known_hosts naming every node by
# name and address, the client configuration and each node's sshd_config.
write_ssh_files() {
    local ssh="$RUN/home/.ssh" i node
    mkdir -m 0700 "$ssh"
    ssh-keygen -q -t ed25519 -N '' -C root@p64sim -f "$ssh/id_ed25519"
    cp "$ssh/id_ed25519.pub" "$ssh/authorized_keys"
    for i in "${!NODES[@]}"; do
        node=${NODES[$i]}
        ssh-keygen -q -t ed25519 -N '' -C "$node" -f "$RUN/$node/ssh_host_ed25519_key"
        echo "$node,$SIM_PREFIX.$((i + 1)) $(cut -d ' ' -f 1,2 "$RUN/$node/ssh_host_ed25519_key.pub")" >> "$ssh/known_hosts"
        cat > "$RUN/$node/sshd_config" <<EOF
ListenAddress $SIM_PREFIX.$((i + 1))
HostKey $RUN/$node/ssh_host_ed25519_key
PidFile $RUN/$node/sshd.pid
UsePAM no
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
AuthorizedKeysFile /root/.ssh/authorized_keys
PrintMotd no
X11Forwarding no
EOF
    done
    cat > "$ssh/config" <<EOF
Host *
    IdentityFile /root/.ssh/id_ed25519
    UserKnownHostsFile /root/.ssh/known_hosts
    GlobalKnownHostsFile /dev/null
    StrictHostKeyChecking yes
    BatchMode yes
    ConnectTimeout 10
    LogLevel ERROR
EOF
}

# The MPIs' settings, in the files a site would put them in: Open MPI's MCA
# parameter file (TCP on the cluster subnet only, no UCX, no core binding:
# the nodes share this machine's cores; one ssh from mpirun per node) and
# Hydra's configuration in the home directory (its connections and UCX's on
# the cluster device; UCX keeps shared memory: over TCP alone MPICH 4.0's
# MPI_Finalize now and then never returns).
write_mpi_settings() {
    cat > "$RUN/openmpi-mca-params.conf" <<EOF
btl_base_warn_component_unused = 0
mtl = ^ofi
btl = self,tcp
pml = ob1
osc = ^ucx,pt2pt
btl_tcp_if_include = $SIM_SUBNET
oob_tcp_if_include = $SIM_SUBNET
hwloc_base_binding_policy = none
plm_rsh_no_tree_spawn = 1
orte_tmpdir_base = $RUN/tmp
EOF
    # Hydra reads its configuration file as one line of options.
    echo "-iface $SIM_DEVICE -bind-to none -genv UCX_TLS tcp,self,sm -genv UCX_NET_DEVICES $SIM_DEVICE" \
        > "$RUN/home/.mpiexec.hydra.conf"
}

# Slurm: every path in the run directory; the CPUs of SIM_CPUS per node
# (config_overrides: slurmd takes the CPUs declared here, not the machine's);
# TmpFS, where the PMIx plugin keeps its sockets, is the path each node binds
# to its own.
write_slurm_conf() {
    local i
    cat > "$RUN/slurm.conf" <<EOF
ClusterName=p64sim
SlurmctldHost=node1($SIM_PREFIX.1)
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
    for i in "${!NODES[@]}"; do
        echo "NodeName=${NODES[$i]} NodeAddr=$SIM_PREFIX.$((i + 1)) CPUs=${SIM_CPUS[$i]:-1} State=UNKNOWN" >> "$RUN/slurm.conf"
    done
    echo "PartitionName=sim Nodes=node[1-${#NODES[@]}] Default=YES MaxTime=INFINITE State=UP" >> "$RUN/slurm.conf"
}

# ---- Daemons -------------------------------------------------------------

start_sshd() {
    in_node "$1" /usr/sbin/sshd -f "$RUN/$1/sshd_config" -E "$RUN/$1/sshd.log" \
        </dev/null >>"$RUN/$1/daemons.log" 2>&1
}

# Every node answers ssh from node1 under its own name.
wait_for_ssh() {
    local node
    for node in "${NODES[@]}"; do
        [ "$(on_node node1 / ssh "$node" hostname 2>&1)" = "$node" ] && continue
        sim_log "node1 cannot ssh to $node:"
        on_node node1 / ssh "$node" hostname >&2 || true
        return 1
    done
}

# munged with a key of its own and slurmctld on node1, slurmd on every node.
# Their output goes to a log: a daemon holding ctest's pipe would hold ctest.
start_slurm() {
    local node
    mkdir -m 0700 "$RUN/munge"
    mkdir -p "$RUN/ctld"
    mungekey --create --keyfile="$RUN/munge/munge.key" >/dev/null 2>&1 ||
        dd if=/dev/urandom of="$RUN/munge/munge.key" bs=1024 count=1 status=none
    chmod 0600 "$RUN/munge/munge.key"
    in_node node1 munged --force --socket="$RUN/munge/munge.sock" \
        --key-file="$RUN/munge/munge.key" --pid-file="$RUN/munge/munged.pid" \
        --log-file="$RUN/munge/munged.log" --seed-file="$RUN/munge/munged.seed" \
        </dev/null >>"$RUN/node1/daemons.log" 2>&1 || return 1
    on_node node1 "$RUN" slurmctld -i >>"$RUN/node1/daemons.log" 2>&1 || return 1
    for node in "${NODES[@]}"; do
        on_node "$node" "$RUN" slurmd -N "$node" >>"$RUN/$node/daemons.log" 2>&1 || return 1
    done
}

# Waits up to 60 s until every node is idle.
wait_for_slurm() {
    local idle
    for _ in $(seq 120); do
        idle=$(on_node node1 / sinfo -h -N -t idle -o %N 2>/dev/null | sort -u | wc -l || true)
        [ "$idle" = "${#NODES[@]}" ] && return 0
        sleep 0.5
    done
    on_node node1 / sinfo -N >&2 || true
    tail -n 20 "$RUN/ctld/slurmctld.log" "$RUN"/node*/slurmd.log >&2 || true
    return 1
}

# ---- For the tests -----------------------------------------------------------

# sim_open LINK: the cluster LINK points to, for on_node and the rest.
sim_open() {
    local node
    RUN=$(readlink -f "$1") && [ -f "$RUN/holders" ] || return 1
    NODES=()
    while read -r node _; do NODES+=("$node"); done < "$RUN/holders"
}

# in_node NODE COMMAND...: runs COMMAND in NODE's namespaces.
in_node() {
    local node=$1
    shift
    nsenter -t "$(awk -v n="$node" '$1 == n { print $2 }' "$RUN/holders")" -n -u -m "$@"
}

# on_node NODE DIR COMMAND...: runs COMMAND on NODE in DIR, as a user logged in
# there would: root's environment of a login and Slurm's configuration, no
# standard input.
on_node() {
    local node=$1 dir=$2
    shift 2
    in_node "$node" --wd="$dir" env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        SLURM_CONF="$RUN/slurm.conf" "$@" </dev/null
}

# The pids of the processes on NODE.
node_pids() {
    ip netns pids "$(ns_name "$1")"
}

# named_pids NODE NAME: the pids of NODE's processes named NAME (their comm,
# a program's name cut to 15 bytes).
named_pids() {
    local pid
    for pid in $(node_pids "$1"); do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != "$2" ] || echo "$pid"
    done
}

# The processes on the nodes other than the cluster's own (holder, sshd,
# munged, Slurm's daemons), as "node pid name" lines.
job_processes() {
    local node pid name
    for node in "${NODES[@]}"; do
        for pid in $(node_pids "$node"); do
            name=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
            case "$name" in
            sleep | sshd | munged | slurmctld | slurmscriptd | slurmd) ;;
            *) echo "$node $pid $name" ;;
            esac
        done
    done
}

# ---- Commands ----------------------------------------------------------------

# Whether every command named is installed.
have() {
    local tool
    for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || return 1; done
}

# Whether this machine can make the cluster at all; prints why not.
cannot_run() {
    [ "$(id -u)" = 0 ] || { echo "the simulated cluster needs root (running as uid $(id -u))"; return 0; }
    local tool
    for tool in ip unshare nsenter /usr/sbin/sshd ssh ssh-keygen; do
        have "$tool" || { echo "'$tool' is not installed"; return 0; }
    done
    unshare --net --uts --mount true 2>/dev/null ||
        echo "new network, UTS and mount namespaces are not permitted here"
}

# up LINK [--nodes N]
sim_up() {
    local link=$1 count=3 why i rc=0
    [ "${2:-}" != --nodes ] || count=$3
    why=$(cannot_run)
    [ -z "$why" ] || { echo "SKIP: $why"; return 77; }
    remove_stale_runs
    if [ -d "$link" ] && owner_alive "$link"; then
        sim_log "$link is the cluster of a run still going on"
        return 1
    fi
    rm -f "$link"
    make_run_dir "${SIM_OWNER:-$PPID}"
    for i in $(seq "$count"); do
        NODES+=("node$i")
        mkdir -p "$RUN/node$i/tmp" "$RUN/node$i/spool"
    done
    mkdir -p "$RUN/tmp" "$RUN/home"
    ln -sfn "$RUN" "$link"
    write_hosts_file
    write_ssh_files
    write_mpi_settings
    write_slurm_conf
    make_network || rc=$?
    if [ "$rc" = 77 ]; then
        echo "SKIP: cannot make network namespaces with a bridge and veth pairs here"
        return 77
    fi
    [ "$rc" = 0 ]
    for i in "${NODES[@]}"; do
        start_holder "$i"
        start_sshd "$i"
    done
    wait_for_ssh
    # Slurm where it is installed (packages slurmctld, slurmd, slurm-client, munge).
    if have munged slurmctld slurmd sinfo sbatch; then
        if ! { start_slurm && wait_for_slurm; }; then
            sim_log "Slurm did not come up"
            tail -n 5 "$RUN"/node*/daemons.log "$RUN/munge/munged.log" >&2 || true
            return 1
        fi
        touch "$RUN/slurm"
    fi
    echo "sim cluster: ${NODES[*]} up in $RUN"
}

# down LINK: takes the cluster down and fails if anything of it is left.
sim_down() {
    local link=$1 names left
    sim_open "$link" || { rm -f "$link"; return 0; }
    names=$(cat "$RUN/namespaces" 2>/dev/null || true)
    remove_run "$RUN" || return 1
    rm -f "$link"
    left=$(leftovers "$RUN" "$names")
    [ -z "$left" ] || { sim_log "left behind: $left"; return 1; }
    echo "sim cluster: $RUN and its namespaces, processes and mounts are gone"
}

sim_main() {
    set -euo pipefail
    case "${1:-} $#" in
    "up 2" | "up 4")
        # A cluster that did not come up is taken down at once.
        # shellcheck disable=SC2064  # the link is known now
        trap "[ -z \"\$RUN\" ] || { remove_run \"\$RUN\"; rm -f '$2'; }" EXIT
        sim_up "$2" "${@:3}"
        trap - EXIT ;;
    "down 2") sim_down "$2" ;;
    "clean 1") remove_stale_runs ;;
    on\ *) [ $# -ge 4 ] || exit 2; sim_open "$2"; on_node "$3" / "${@:4}" ;;
    *) echo "usage: $0 up LINK [--nodes N] | down LINK | clean | on LINK NODE COMMAND..." >&2; exit 2 ;;
    esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    sim_main "$@"
fi
