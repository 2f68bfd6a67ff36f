#!/bin/bash
# Launch agent for the simulated cluster: a stand-in for `ssh` that Open MPI's
# rsh launcher (--mca plm_rsh_agent) or MPICH's Hydra (-launcher-exec) calls
# to start its daemons or proxies on the "remote" nodes.  Each node is a
# Linux network namespace on this machine.
#
# Usage, as for ssh:   netns_rsh.sh [ssh options] [user@]HOST command words...
#
# It skips ssh-style options, maps HOST (node name or address) to that node's
# namespace, and runs the command words joined by spaces through `sh -c`, the
# way sshd hands a remote command to the login shell.  The command runs:
#   - inside the node's network namespace (so it only sees the node's veth),
#   - in a private UTS namespace whose host name is the node name, so that
#     gethostname()/uname() -- and therefore MPI_Get_processor_name -- report
#     node1/node2/node3,
#   - in a private mount namespace where the cluster's hosts file is bound
#     over /etc/hosts, so node1..node3 resolve to the cluster addresses and no
#     DNS lookup is ever attempted from inside a namespace.
#
# The cluster is described by the environment that cluster_test.sh gives to
# the launcher (which passes it on to us):
#   CLUSTER_NODE_MAP   file with lines "NODE NETNS ADDRESS"
#   CLUSTER_HOSTS      hosts file to bind over /etc/hosts inside the node
set -euo pipefail

die() { echo "netns_rsh: $*" >&2; exit 255; }   # 255: what ssh returns on its own errors

: "${CLUSTER_NODE_MAP:?netns_rsh: CLUSTER_NODE_MAP is not set}"
: "${CLUSTER_HOSTS:?netns_rsh: CLUSTER_HOSTS is not set}"

# --- skip ssh options ------------------------------------------------------
# Options that take an argument (as in ssh(1)): -b -c -D -E -e -F -I -i -J -L
# -l -m -O -o -p -Q -R -S -W -w.  The argument may be attached (-p22,
# -oFoo=bar) or the next word (-p 22, -o Foo=bar).  Every other option is a
# flag (-x -t -T -n -q -4 -6 -A -a -C -f -g -k -K -M -N -s -v -V -X -Y ...).
while [ $# -gt 0 ]; do
    case "$1" in
        --) shift; break ;;
        -[bcDEeFIiJLlmOopQRSWw])
            [ $# -ge 2 ] || die "option $1 needs an argument"
            shift 2 ;;
        -*) shift ;;          # a flag, flags bundled (-xT), or -oFoo=bar / -p22
        *) break ;;
    esac
done

[ $# -ge 1 ] || die "no host given"
host=${1#*@}        # drop a user@ prefix, as "-l user" above
shift
[ $# -ge 1 ] || die "no command given for $host (interactive logins are not supported)"
cmd="$*"            # sshd joins the words with spaces and gives them to the shell

# --- map the host to its namespace ----------------------------------------
node="" ns=""
while read -r m_node m_ns m_addr; do
    if [ "$host" = "$m_node" ] || [ "$host" = "$m_addr" ]; then
        node=$m_node ns=$m_ns
        break
    fi
done < "$CLUSTER_NODE_MAP"
[ -n "$ns" ] || die "unknown host '$host'"

# --- run the command on the node ------------------------------------------
# The inner script gets hosts file, node name and command as positional
# parameters, so the command string is never re-quoted by us: it reaches
# `sh -c` exactly as a real sshd would pass it.  The daemon starts in $HOME
# like an ssh login would.  `exec` keeps the chain a single process, so a
# signal sent to this agent reaches the remote command itself.
# shellcheck disable=SC2016  # the inner script expands its own "$1"...
exec ip netns exec "$ns" unshare --uts --mount sh -c '
    mount --bind "$1" /etc/hosts || exit 255
    hostname "$2" || exit 255
    cd "${HOME:-/}" 2>/dev/null || cd /
    exec sh -c "$3"' netns_rsh "$CLUSTER_HOSTS" "$node" "$cmd"
