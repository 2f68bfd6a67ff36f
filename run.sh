#!/usr/bin/env bash
# Builds the benchmark and runs it under its MPI's launcher in the current
# directory; the run record (what it ran on) goes beside the results file.
#
#   ./run.sh                              one worker per core plus the master
#   ./run.sh -np 16 --hostfile hosts      the arguments go to the launcher instead
#
# It uses the MPI installed here (Open MPI or MPICH) and installs Open MPI
# only where there is none.
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$source_dir/scripts/common.sh"
build_dir="$source_dir/build/release"

# The MPI to build against: the one installed, with what it takes to build
# with it; Open MPI where none is installed.
chosen_mpi() {
    local mpi
    mpi="$(installed_mpi)"
    echo "${mpi:-openmpi}"
}

# A build configured against another MPI is configured anew: its binary would
# not run under this MPI's launcher.
forget_other_mpi() { # mpi
    local launcher
    launcher="$(build_launcher "$build_dir")"
    [ -n "$launcher" ] || return 0
    if [ ! -x "$launcher" ] || [ "$(launcher_kind "$launcher")" != "$1" ]; then
        echo "$build_dir was configured for $launcher; configuring it for $1."
        rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
    fi
}

# The MPI's packages where its compilers are missing (a cluster's own MPI,
# found on PATH, is used as it is).
install_what_is_missing() { # mpi
    local packages=(g++ make cmake python3)
    if ! command -v "mpicxx.$1" >/dev/null 2>&1 && ! command -v mpicxx >/dev/null 2>&1; then
        # shellcheck disable=SC2207  # a list of package names
        packages+=($(mpi_packages "$1"))
    fi
    install_missing "${packages[@]}"
}

build() { # mpi
    local settings=() setting
    while IFS= read -r setting; do
        settings+=("$setting")
    done < <(mpi_cmake_settings "$1")
    forget_other_mpi "$1"
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPROCESSORS64_TESTS=OFF \
        "${settings[@]}" >/dev/null
    cmake --build "$build_dir" --target processors64_mpi_mac0 -j "$(core_count)" >/dev/null
}

# Builds the benchmark and starts it with the arguments given, or with one
# worker per core plus the master.
main() {
    local mpi launcher np
    # The launcher table that tells the MPIs apart is Python.
    install_missing python3
    mpi="$(chosen_mpi)"
    install_what_is_missing "$mpi"
    build "$mpi"
    launcher="$(build_launcher "$build_dir")"
    if [ $# -eq 0 ]; then
        # The master only collects while the workers run, so every core gets
        # a worker: cores + 1 processes, one more than the cores.
        np=$(($(core_count) + 1))
        launcher_environment "$(launcher_kind "$launcher")" "$np"
        set -- -np "$np"
    else
        # The process count is the caller's: only what this user needs.
        launcher_environment "$(launcher_kind "$launcher")" 1
    fi
    # The job as it would run by hand, with its run record written beside
    # the results file (processors64-run).
    PYTHONPATH="$source_dir/tools" exec "$(python_command)" -m processors64.run \
        "$launcher" "$@" "$build_dir/processors64_mpi_mac0"
}

# Sourced by the tests for its functions; run, it does its work.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
