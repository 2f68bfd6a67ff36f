#!/usr/bin/env bash
# Installs what is missing, builds with GCC and, where installed, with Clang,
# and runs every test through CTest. Exits non-zero on any failure.
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$source_dir/scripts/common.sh"

install_missing g++ make cmake openmpi-bin libopenmpi-dev libgtest-dev python3 binutils \
    iproute2 util-linux python3-matplotlib slurmctld slurmd slurm-client munge
jobs="$(core_count)"

build_and_test() { # name, C compiler, C++ compiler, ctest arguments...
    local dir="$source_dir/build/test-$1"
    cmake -S "$source_dir" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER="$2" -DCMAKE_CXX_COMPILER="$3" >/dev/null
    cmake --build "$dir" -j "$jobs"
    shift 3
    (cd "$dir" && ctest --output-on-failure "$@")
}

build_and_test gcc gcc g++
if command -v clang++ >/dev/null 2>&1 && command -v clang >/dev/null 2>&1; then
    # The real-size run and the cluster run prove the program, not the
    # compiler: once, with GCC, is enough.
    build_and_test clang clang clang++ -LE "real|cluster|slurm"
else
    echo "clang++ is not installed: the Clang build is skipped."
fi
