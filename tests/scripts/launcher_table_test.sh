#!/usr/bin/env bash
# run.sh's choice of MPI and the thin launcher helpers of scripts/common.sh
# (the launcher table itself is Python's: tests/launcher_test.py), against
# fake launchers and compilers on a PATH of their own.
#
#   tests/scripts/launcher_table_test.sh
#
# Prints PASS or FAIL a check and "N passed, N failed"; exit 0 when all passed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
# run.sh's functions, and through it those of scripts/common.sh.
# shellcheck source-path=SCRIPTDIR source=../../run.sh
source "$source_dir/run.sh"
# shellcheck source-path=SCRIPTDIR source=../check.sh
source "$here/../check.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/launcher table.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# fake DIR NAME TEXT: an executable DIR/NAME that prints TEXT for --version,
# with the shell's builtins alone (its PATH may hold nothing else).
fake() {
    mkdir -p "$1"
    # shellcheck disable=SC2016  # the fake expands its own "$line"
    printf '#!/bin/sh\nwhile IFS= read -r line; do echo "$line"; done <<"TEXT"\n%s\nTEXT\n' \
        "$3" > "$1/$2"
    chmod +x "$1/$2"
}
OPENMPI_VERSION="mpirun (Open MPI) 4.1.4

Report bugs to https://www.open-mpi.org/community/help/"
HYDRA_VERSION="HYDRA build details:
    Version:                                 4.0.2"

# ---- The family of a launcher -------------------------------------------------
fake "$work/bin" mpirun.fake "$OPENMPI_VERSION"
fake "$work/bin" hydra.fake "$HYDRA_VERSION"
fake "$work/bin" other.fake "mpiexec (some other MPI) 1.0"
check_equal "Open MPI's launcher is openmpi" openmpi "$(launcher_kind "$work/bin/mpirun.fake")"
check_equal "Hydra is mpich" mpich "$(launcher_kind "$work/bin/hydra.fake")"
check_equal "another launcher is unknown" unknown "$(launcher_kind "$work/bin/other.fake")"
check_equal "a missing launcher is unknown" unknown "$(launcher_kind "$work/bin/none")"

# ---- Which MPI is installed ------------------------------------------------------
fake "$work/mpich-only" mpiexec.mpich "$HYDRA_VERSION"
fake "$work/mpich-only" mpicc.mpich ""
fake "$work/mpich-only" mpicxx.mpich ""
fake "$work/openmpi-default" mpiexec "$OPENMPI_VERSION"
fake "$work/openmpi-default" mpiexec.mpich "$HYDRA_VERSION"
mkdir -p "$work/none"
check_equal "only MPICH installed: MPICH" mpich "$(PATH="$work/mpich-only" installed_mpi)"
check_equal "both installed: the default launcher's" openmpi \
    "$(PATH="$work/openmpi-default" installed_mpi)"
check_equal "no MPI: nothing installed" "" "$(PATH="$work/none" installed_mpi)"
check_equal "no MPI: run.sh chooses Open MPI" openmpi "$(PATH="$work/none" chosen_mpi)"
check_equal "only MPICH: run.sh chooses MPICH" mpich "$(PATH="$work/mpich-only" chosen_mpi)"
check_equal "MPICH's own compilers and launcher are named" \
    "-DMPI_C_COMPILER=$work/mpich-only/mpicc.mpich
-DMPI_CXX_COMPILER=$work/mpich-only/mpicxx.mpich
-DMPIEXEC_EXECUTABLE=$work/mpich-only/mpiexec.mpich" \
    "$(PATH="$work/mpich-only" mpi_cmake_settings mpich)"
check_equal "no Open MPI under its own name: FindMPI finds it" "" \
    "$(PATH="$work/mpich-only" mpi_cmake_settings openmpi)"
check_equal "the Debian packages of MPICH" "mpich libmpich-dev" "$(mpi_packages mpich)"

# ---- A build configured against another MPI is configured anew ----------------
# configured DIR LAUNCHER: a build directory whose cache names LAUNCHER.
configured() {
    mkdir -p "$1/CMakeFiles"
    printf 'MPIEXEC_EXECUTABLE:FILEPATH=%s\n' "$2" > "$1/CMakeCache.txt"
}
build_dir="$work/build dir"
check_equal "an unconfigured build has no launcher" "" "$(build_launcher "$build_dir")"
configured "$build_dir" "$work/bin/mpirun.fake"
check_equal "the launcher a build was configured with" "$work/bin/mpirun.fake" \
    "$(build_launcher "$build_dir")"
forget_other_mpi openmpi >/dev/null
check_equal "a build for the chosen MPI is kept" yes "$([ -f "$build_dir/CMakeCache.txt" ] && echo yes)"
forget_other_mpi mpich >/dev/null
check_equal "a build for another MPI is configured anew" no \
    "$([ -e "$build_dir/CMakeCache.txt" ] || [ -e "$build_dir/CMakeFiles" ] && echo yes || echo no)"
configured "$build_dir" "$work/bin/removed-launcher"
forget_other_mpi mpich >/dev/null
check_equal "a build whose launcher is gone is configured anew" no \
    "$([ -e "$build_dir/CMakeCache.txt" ] && echo yes || echo no)"

checks_done "launcher table (shell)"
