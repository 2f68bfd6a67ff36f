# shellcheck shell=bash
# Shared by run.sh, test.sh and the test scripts: installing what is missing,
# building, and the MPI launcher of a build with what it needs. Not installed:
# the batch script and the recorded run need none of it.

# Installs the Debian packages that are not installed yet, with apt-get as
# root or through sudo. On macOS it prints the Homebrew line instead.
install_missing() {
    if [ "$(uname -s)" = "Darwin" ]; then
        command -v mpirun >/dev/null 2>&1 && command -v cmake >/dev/null 2>&1 ||
            echo "Install the tools first: brew install cmake open-mpi googletest"
        return 0
    fi
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "No dpkg here: install $* with your package manager." >&2
        return 0
    fi
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "Missing packages: ${missing[*]}; run as root or install them first." >&2
            return 1
        fi
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# ---- The MPI launcher ------------------------------------------------------
# A binary must be started by the launcher of the MPI it was built against:
# another MPI's launcher starts N separate one-process jobs instead of one.
# What each launcher needs lives in one place, the launcher table of the
# Python package (tools/processors64/launchers.py); these ask it.

common_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# The Python to run the project's package with: the system's own where there
# is one (the first python3 on PATH may be a user's interpreter without
# its packages), else the first on PATH.
python_command() {
    if [ -x /usr/bin/python3 ]; then echo /usr/bin/python3; else echo python3; fi
}

# The launcher table's answer to its arguments (see `launchers --help`).
launchers() {
    PYTHONPATH="$common_dir/../tools" "$(python_command)" -m processors64.launchers "$@"
}

# The launcher that CMake found for the build in directory $1 (FindMPI's
# MPIEXEC_EXECUTABLE); empty when the build has not been configured.
build_launcher() {
    [ -f "$1/CMakeCache.txt" ] || return 0
    sed -n 's/^MPIEXEC_EXECUTABLE:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null | head -n 1
}

# The MPI family of launcher $1: "openmpi", "mpich" (Hydra) or "unknown".
launcher_kind() {
    launchers kind "$1" 2>/dev/null || echo unknown
}

# Exports what launcher family $1 needs to start $2 processes as this user
# on $3 slots (default: this machine's cores): root and oversubscription.
launcher_environment() {
    local setting
    [ "$1" = openmpi ] || [ "$1" = mpich ] || return 0
    while IFS= read -r setting; do
        export "${setting?}"
    done < <(launchers settings --np "$2" ${3:+--slots "$3"} --kind "$1")
}

# ---- Which MPI -------------------------------------------------------------

# The MPI family installed here ("openmpi" or "mpich"): the one whose launcher
# is the default mpiexec (or mpirun), else one whose own launcher Debian
# installed beside the other's; nothing when no MPI is installed.
installed_mpi() {
    local name kind
    for name in mpiexec mpirun mpiexec.openmpi mpiexec.mpich; do
        command -v "$name" >/dev/null 2>&1 || continue
        kind="$(launcher_kind "$(command -v "$name")")"
        if [ "$kind" != unknown ]; then
            echo "$kind"
            return 0
        fi
    done
}

# The Debian packages of MPI family $1: its launcher and its compilers.
mpi_packages() {
    case "$1" in
    openmpi) echo openmpi-bin libopenmpi-dev ;;
    mpich) echo mpich libmpich-dev ;;
    *) return 1 ;;
    esac
}

# FindMPI's settings that pick MPI family $1, one a line: its own compilers
# and launcher where they are installed under its name (Debian's mpicc.mpich,
# mpiexec.openmpi, ...); none where the family's are the only ones on PATH.
mpi_cmake_settings() {
    local cc cxx launcher
    cc="$(command -v "mpicc.$1" || true)"
    cxx="$(command -v "mpicxx.$1" || true)"
    launcher="$(command -v "mpiexec.$1" || true)"
    if [ -n "$cc" ] && [ -n "$cxx" ] && [ -n "$launcher" ]; then
        printf '%s\n' "-DMPI_C_COMPILER=$cc" "-DMPI_CXX_COMPILER=$cxx" \
            "-DMPIEXEC_EXECUTABLE=$launcher"
    fi
}

core_count() {
    getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1
}
