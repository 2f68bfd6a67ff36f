#!/bin/sh
# Runs one rank in a UTS namespace of its own whose host name comes from
# P64_HOST_NAMES (space-separated, rank 0 first), so one machine can show
# workers whose processor names differ. Needs root. RANK_VARIABLE is the
# variable in which the launcher gives a rank its number.
#   mpiexec -np 3 (export P64_HOST_NAMES) with_host_name.sh RANK_VARIABLE BINARY
set -eu
case "$1" in
"" | [0-9]* | *[!A-Za-z0-9_]*) echo "with_host_name.sh: not a variable name: $1" >&2; exit 2 ;;
esac
rank=""
eval "rank=\${$1:?not started by an MPI launcher that sets $1}"
# shellcheck disable=SC2086
set -- "$2" $P64_HOST_NAMES
program=$1
shift "$((rank + 1))"
exec unshare --uts sh -c 'hostname "$1" && exec "$0"' "$program" "$1"
