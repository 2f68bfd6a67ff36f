#!/usr/bin/env bash
# Installs what is missing, builds with GCC and, where installed, with Clang
# against Open MPI, and with GCC against MPICH, and runs every test through
# CTest. Exits non-zero on any failure.
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$source_dir/scripts/common.sh"

# shellcheck disable=SC2046  # lists of package names
install_missing g++ make cmake $(mpi_packages openmpi) $(mpi_packages mpich) libgtest-dev \
    python3 python3-pytest python3-jsonschema python3-yaml binutils iproute2 util-linux python3-matplotlib slurmctld slurmd \
    slurm-client munge prometheus prometheus-node-exporter lmod man-db dpkg-dev debhelper dh-python \
    lintian openssh-server openssh-client python3-jinja2 chromium chromium-driver python3-selenium \
    postgresql python3-psycopg
jobs="$(core_count)"

# build_and_test NAME CC CXX [CMAKE_SETTING...] -- [CTEST_ARGUMENT...]
build_and_test() {
    local dir="$source_dir/build/test-$1" cc="$2" cxx="$3"
    shift 3
    local settings=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        settings+=("$1")
        shift
    done
    [ $# -eq 0 ] || shift
    cmake -S "$source_dir" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "${settings[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure "$@")
}

# Each build names its MPI's own compilers and launcher, whichever MPI is the
# system's default.
mapfile -t openmpi < <(mpi_cmake_settings openmpi)
mapfile -t mpich < <(mpi_cmake_settings mpich)

build_and_test gcc gcc g++ "${openmpi[@]}" --
if command -v clang++ >/dev/null 2>&1 && command -v clang >/dev/null 2>&1; then
    # The real-size run and the cluster run prove the program, not the
    # compiler: once, with GCC, is enough.
    build_and_test clang clang clang++ "${openmpi[@]}" -- -LE "real|cluster|slurm"
else
    echo "clang++ is not installed: the Clang build is skipped."
fi
# Everything again under MPICH but the real-size runs, which prove the
# program's constants once, under Open MPI.
if [ ${#mpich[@]} -gt 0 ]; then
    build_and_test mpich gcc g++ "${mpich[@]}" -- -LE real
elif [ "$(uname -s)" = Darwin ]; then
    echo "Homebrew installs one MPI at a time: the MPICH build is skipped."
else
    echo "MPICH's own compilers and launcher (mpicxx.mpich, mpiexec.mpich) were not found." >&2
    exit 1
fi
