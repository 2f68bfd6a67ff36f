#!/bin/sh
# Runs one rank in a UTS namespace of its own whose host name comes from
# P64_HOST_NAMES (space-separated, rank 0 first), so one machine can show
# workers whose processor names differ. Needs root.
#   mpirun -np 3 -x P64_HOST_NAMES with_host_name.sh BINARY
set -eu
rank=${OMPI_COMM_WORLD_RANK:?not started by mpirun}
# shellcheck disable=SC2086
set -- "$1" $P64_HOST_NAMES
program=$1
shift "$((rank + 1))"
exec unshare --uts sh -c 'hostname "$1" && exec "$0"' "$program" "$1"
