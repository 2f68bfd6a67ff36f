#!/usr/bin/env bash
# Builds the benchmark and runs it under mpirun in the current directory.
#
#   ./run.sh                              one worker per core plus the master
#   ./run.sh -np 16 --hostfile hosts      the arguments go to mpirun instead
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$source_dir/scripts/common.sh"

install_missing g++ make cmake openmpi-bin libopenmpi-dev
build_dir="$source_dir/build/release"
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPROCESSORS64_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target processors64_mpi_mac0 -j "$(core_count)" >/dev/null

allow_root_if_needed
if [ $# -eq 0 ]; then
    # The master only collects while the workers run, so every core gets a
    # worker: cores + 1 processes, one more than the cores.
    export OMPI_MCA_rmaps_base_oversubscribe=1
    set -- -np $(($(core_count) + 1))
fi
exec mpirun "$@" "$build_dir/processors64_mpi_mac0"
