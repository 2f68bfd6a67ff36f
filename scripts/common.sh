# shellcheck shell=bash
# Shared by run.sh, test.sh and the test scripts: installing what is missing,
# and the MPI launcher of a build with what it needs.

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

# The launcher that CMake found for the build in directory $1 (FindMPI's
# MPIEXEC_EXECUTABLE); empty when the build has not been configured.
build_launcher() {
    [ -f "$1/CMakeCache.txt" ] || return 0
    sed -n 's/^MPIEXEC_EXECUTABLE:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null | head -n 1
}

# The MPI family of launcher $1: "openmpi", "mpich" (Hydra) or "unknown".
launcher_kind() {
    local version
    version="$("$1" --version 2>&1 || true)"
    case "$version" in
    *"Open MPI"* | *OpenRTE*) echo openmpi ;;
    *HYDRA* | *Hydra*) echo mpich ;;
    *) echo unknown ;;
    esac
}

# Exports what launcher family $1 needs to start $2 processes as this user
# on $3 slots (default: this machine's cores). Open MPI refuses root unless
# told twice, and more processes than slots unless oversubscription is
# allowed; MPICH's Hydra needs neither.
launcher_environment() {
    [ "$1" = openmpi ] || return 0
    if [ "$(id -u)" -eq 0 ]; then
        export OMPI_ALLOW_RUN_AS_ROOT=1
        export OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
    fi
    if [ "$2" -gt "${3:-$(core_count)}" ]; then
        export OMPI_MCA_rmaps_base_oversubscribe=1
    fi
}

# The variable in which launcher family $1 gives each rank its number.
launcher_rank_variable() {
    case "$1" in
    openmpi) echo OMPI_COMM_WORLD_RANK ;;
    mpich) echo PMI_RANK ;;
    *) return 1 ;;
    esac
}

# The flags with which launcher family $1 starts its remote processes through
# agent $2 instead of ssh, one a line.
launcher_remote_agent_flags() {
    case "$1" in
    openmpi) printf '%s\n' --mca plm_rsh_agent "$2" ;;
    mpich) printf '%s\n' -launcher ssh -launcher-exec "$2" ;;
    *) return 1 ;;
    esac
}

# The hostfile line with which launcher family $1 gives host $2 $3 slots.
launcher_hostfile_line() {
    case "$1" in
    openmpi) echo "$2 slots=$3" ;;
    mpich) echo "$2:$3" ;;
    *) return 1 ;;
    esac
}

# The flags with which launcher family $1 starts one process on each of the
# job's $2 nodes, one a line (Open MPI counts the nodes itself).
launcher_per_node_flags() {
    case "$1" in
    openmpi) printf '%s\n' --map-by ppr:1:node ;;
    mpich) printf '%s\n' -ppn 1 -n "$2" ;;
    *) return 1 ;;
    esac
}

# What option $2 of launcher family $1 is, and how many values follow it:
# "count 1" (the process count), "placement N" (where or how many processes
# go: left out of a run of one process per node), "output N" (the form of
# the ranks' output), "hostfile 1", "hosts 1" (a host list), "wdir 1" (the
# processes' working directory), "other N" (any other option that takes
# values); nothing for a word that is none of these.
launcher_option() {
    case "$1:$2" in
    openmpi:-np | openmpi:--np | openmpi:-n | openmpi:--n | openmpi:-c) echo count 1 ;;
    openmpi:--map-by | openmpi:-map-by | openmpi:--rank-by | openmpi:-rank-by | \
        openmpi:--bind-to | openmpi:-bind-to | openmpi:--npernode | openmpi:-npernode | \
        openmpi:-N | openmpi:--npersocket | openmpi:-npersocket | openmpi:--ppr | openmpi:-ppr | \
        openmpi:--cpus-per-proc | openmpi:-cpus-per-proc | openmpi:--cpus-per-rank | \
        openmpi:-cpus-per-rank | openmpi:--rankfile | openmpi:-rf) echo placement 1 ;;
    openmpi:--pernode | openmpi:-pernode | openmpi:--bynode | openmpi:-bynode | \
        openmpi:--byslot | openmpi:-byslot) echo placement 0 ;;
    openmpi:--tag-output | openmpi:-tag-output | openmpi:--timestamp-output | \
        openmpi:-timestamp-output | openmpi:--xml | openmpi:-xml) echo output 0 ;;
    openmpi:--output-filename | openmpi:-output-filename) echo output 1 ;;
    openmpi:--hostfile | openmpi:-hostfile | openmpi:--machinefile | openmpi:-machinefile | \
        openmpi:--default-hostfile | openmpi:-default-hostfile) echo hostfile 1 ;;
    openmpi:--host | openmpi:-host | openmpi:-H) echo hosts 1 ;;
    openmpi:--wdir | openmpi:-wdir | openmpi:-wd) echo wdir 1 ;;
    openmpi:--mca | openmpi:-mca | openmpi:--gmca | openmpi:-gmca) echo other 2 ;;
    openmpi:-x | openmpi:--prefix | openmpi:-prefix | openmpi:--path | openmpi:-path) echo other 1 ;;
    mpich:-n | mpich:-np) echo count 1 ;;
    mpich:-ppn | mpich:-perhost | mpich:-bind-to | mpich:-binding | mpich:-map-by) echo placement 1 ;;
    mpich:-rr) echo placement 0 ;;
    mpich:-l | mpich:-prepend-rank) echo output 0 ;;
    mpich:-prepend-pattern | mpich:-outfile-pattern | mpich:-errfile-pattern) echo output 1 ;;
    mpich:-f | mpich:-hostfile | mpich:-machinefile) echo hostfile 1 ;;
    mpich:-hosts | mpich:-host) echo hosts 1 ;;
    mpich:-wdir) echo wdir 1 ;;
    mpich:-genv | mpich:-env) echo other 2 ;;
    mpich:-genvlist | mpich:-envlist | mpich:-launcher | mpich:-launcher-exec | mpich:-iface | \
        mpich:-bootstrap | mpich:-bootstrap-exec | mpich:-rmk) echo other 1 ;;
    esac
}

# ---- The build record ------------------------------------------------------

# The build record of binary $1: <binary>.build.json beside it, or the one an
# install puts in ../share/processors64/; nothing where it has none.
build_record_file() {
    local path=$1 dir name candidate
    # A binary named without a directory is the one the launcher finds on PATH.
    [[ $path == */* ]] || path="$(command -v "$path" || echo "$path")"
    path="$(resolved_path "$path")"
    dir="$(dirname "$path")"
    name="$(basename "$path")"
    for candidate in "$dir/$name.build.json" "$dir/../share/processors64/$name.build.json"; do
        if [ -f "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
}

# Path $1 with its symbolic links followed: /usr/bin/processors64_mpi_mac0 is
# one of update-alternatives' links to the binary of an MPI flavour.
resolved_path() {
    local path=$1 target
    while [ -L "$path" ]; do
        target="$(readlink "$path")"
        case "$target" in
        /*) path=$target ;;
        *) path="$(dirname "$path")/$target" ;;
        esac
    done
    echo "$path"
}

# The launcher named in build record $1, where it is an executable path
# written without escapes.
build_record_launcher() {
    local launcher
    launcher="$(sed -n 's/^ *"launcher": "\([^"\\]*\)",\{0,1\}$/\1/p' "$1" 2>/dev/null | head -n 1)"
    if [ -n "$launcher" ] && [ -x "$launcher" ]; then
        echo "$launcher"
    fi
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
