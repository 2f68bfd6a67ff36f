#!/usr/bin/env bash
# The shell side of the launcher table (scripts/common.sh) and run.sh's choice
# of MPI, against fake launchers and compilers on a PATH of their own.
#
#   tests/scripts/launcher_table_test.sh PYTHON
#
# PYTHON runs tests/launcher.py, whose table the shell table must equal.
# Prints PASS or FAIL a check and "N passed, N failed"; exit 0 when all passed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
python="${1:?usage: $0 PYTHON}"
# run.sh's functions, and through it those of scripts/common.sh.
# shellcheck source=SCRIPTDIR/../../run.sh
source "$source_dir/run.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/launcher table.XXXXXX")"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() { # what, expected, actual
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
        echo "PASS: $1"
    else
        failed=$((failed + 1))
        printf 'FAIL: %s\n  expected: %q\n  found:    %q\n' "$1" "$2" "$3"
    fi
}

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
check "Open MPI's launcher is openmpi" openmpi "$(launcher_kind "$work/bin/mpirun.fake")"
check "Hydra is mpich" mpich "$(launcher_kind "$work/bin/hydra.fake")"
check "another launcher is unknown" unknown "$(launcher_kind "$work/bin/other.fake")"
check "a missing launcher is unknown" unknown "$(launcher_kind "$work/bin/none")"

# ---- The shell table equals the Python one ----------------------------------------
# The variables launcher_environment exports for KIND in an empty environment,
# with one process more than the cores.
exported() { # kind
    # shellcheck disable=SC2016  # the inner shell expands its own "$1"...
    env -i PATH="$PATH" bash -c 'source "$1/scripts/common.sh"
        launcher_environment "$2" "$(($(core_count) + 1))"
        env' shell "$source_dir" "$1" | grep -E '^(OMPI|HYDRA|MPICH|PMI)' | sort
}
shell_entries() { # kind
    local root oversubscribe
    root="$(exported "$1" | grep ALLOW_RUN_AS_ROOT | tr '\n' ' ' | sed 's/ $//')"
    oversubscribe="$(exported "$1" | grep -v ALLOW_RUN_AS_ROOT | tr '\n' ' ' | sed 's/ $//')"
    echo "rank variable: $(launcher_rank_variable "$1")"
    echo "hostfile line: $(launcher_hostfile_line "$1" node1 2)"
    echo "remote agent: $(launcher_remote_agent_flags "$1" AGENT | tr '\n' ' ' | sed 's/ $//')"
    echo "one per node: $(launcher_per_node_flags "$1" 3 | tr '\n' ' ' | sed 's/ $//')"
    echo "root: $root"
    echo "oversubscribe: $oversubscribe"
}
for kind in openmpi mpich; do
    expected="$("$python" "$source_dir/tests/launcher.py" table "$kind")"
    if [ "$(id -u)" -ne 0 ]; then
        # Not root: the root settings are not exported, whatever the table says.
        # shellcheck disable=SC2001  # a line of several, not a variable's whole value
        expected="$(sed 's/^root: .*/root: /' <<<"$expected")"
    fi
    check "$kind: the shell table says what tests/launcher.py says" \
        "$expected" "$(shell_entries "$kind")"
done

# ---- Which MPI is installed ------------------------------------------------------
fake "$work/mpich-only" mpiexec.mpich "$HYDRA_VERSION"
fake "$work/mpich-only" mpicc.mpich ""
fake "$work/mpich-only" mpicxx.mpich ""
fake "$work/openmpi-default" mpiexec "$OPENMPI_VERSION"
fake "$work/openmpi-default" mpiexec.mpich "$HYDRA_VERSION"
mkdir -p "$work/none"
check "only MPICH installed: MPICH" mpich "$(PATH="$work/mpich-only" installed_mpi)"
check "both installed: the default launcher's" openmpi \
    "$(PATH="$work/openmpi-default" installed_mpi)"
check "no MPI: nothing installed" "" "$(PATH="$work/none" installed_mpi)"
check "no MPI: run.sh chooses Open MPI" openmpi "$(PATH="$work/none" chosen_mpi)"
check "only MPICH: run.sh chooses MPICH" mpich "$(PATH="$work/mpich-only" chosen_mpi)"
check "MPICH's own compilers and launcher are named" \
    "-DMPI_C_COMPILER=$work/mpich-only/mpicc.mpich
-DMPI_CXX_COMPILER=$work/mpich-only/mpicxx.mpich
-DMPIEXEC_EXECUTABLE=$work/mpich-only/mpiexec.mpich" \
    "$(PATH="$work/mpich-only" mpi_cmake_settings mpich)"
check "no Open MPI under its own name: FindMPI finds it" "" \
    "$(PATH="$work/mpich-only" mpi_cmake_settings openmpi)"
check "the Debian packages of MPICH" "mpich libmpich-dev" "$(mpi_packages mpich)"

# ---- A build configured against another MPI is configured anew ----------------
# configured DIR LAUNCHER: a build directory whose cache names LAUNCHER.
configured() {
    mkdir -p "$1/CMakeFiles"
    printf 'MPIEXEC_EXECUTABLE:FILEPATH=%s\n' "$2" > "$1/CMakeCache.txt"
}
build_dir="$work/build dir"
check "an unconfigured build has no launcher" "" "$(build_launcher "$build_dir")"
configured "$build_dir" "$work/bin/mpirun.fake"
check "the launcher a build was configured with" "$work/bin/mpirun.fake" \
    "$(build_launcher "$build_dir")"
forget_other_mpi openmpi >/dev/null
check "a build for the chosen MPI is kept" yes "$([ -f "$build_dir/CMakeCache.txt" ] && echo yes)"
forget_other_mpi mpich >/dev/null
check "a build for another MPI is configured anew" no \
    "$([ -e "$build_dir/CMakeCache.txt" ] || [ -e "$build_dir/CMakeFiles" ] && echo yes || echo no)"
configured "$build_dir" "$work/bin/removed-launcher"
forget_other_mpi mpich >/dev/null
check "a build whose launcher is gone is configured anew" no \
    "$([ -e "$build_dir/CMakeCache.txt" ] && echo yes || echo no)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
