#!/usr/bin/env bash
# The shell side of the launcher table (scripts/common.sh), run.sh's choice
# of MPI, and the recorded run (scripts/recorded_run.sh), against fake
# launchers and compilers on a PATH of their own.
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
# shellcheck source=SCRIPTDIR/../../scripts/recorded_run.sh
source "$source_dir/scripts/recorded_run.sh"

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

# ---- The recorded run: what a job's arguments say --------------------------------
# arguments_of KIND ARGUMENTS...: what read_launcher_arguments makes of them.
arguments_of() {
    (
        KIND=$1
        shift
        read_launcher_arguments "$@"
        printf '%s\n' "${COLLECTOR_ARGUMENTS[@]}" "processes=$PROCESSES" "hostfile=$HOSTFILE" \
            "hosts=$HOST_LIST" "wdir=$WORK_DIR"
    )
}
check "Open MPI: the inventory keeps hosts and settings, not count, placement, output form" \
    "--hostfile
$work/host file
-x
-np
--mca
plm_rsh_agent
/a/agent
processes=25
hostfile=$work/host file
hosts=
wdir=$PWD" \
    "$(arguments_of openmpi -np 25 --hostfile "$work/host file" --map-by node -x -np \
        --mca plm_rsh_agent /a/agent --tag-output)"
check "MPICH: an option's values are never read as options; a relative -wdir" \
    "-f
hosts
-genv
A
-n
-wdir
run
-hosts
node1:2,node2
processes=4
hostfile=hosts
hosts=node1:2,node2
wdir=$PWD/run" \
    "$(arguments_of mpich -n 4 -f hosts -ppn 2 -genv A -n -wdir run -hosts node1:2,node2)"
printf '# the nodes\nnode1 slots=9\nnode2 slots=8  # the second\n\nnode3:8\nnode1 slots=1\n' \
    > "$work/host file"
check "the nodes of a hostfile, in order, each once" "node1 node2 node3" \
    "$(unset SLURM_JOB_NODELIST; HOSTFILE="$work/host file"; expected_hosts | xargs)"
check "the nodes of a host list" "a b" \
    "$(unset SLURM_JOB_NODELIST; HOST_LIST=a,b:2,a; expected_hosts | xargs)"

# ---- The recorded run of a fake job ----------------------------------------------
# The fake launcher runs its program (the first absolute path to an
# executable) as rank 0; the fake benchmark writes a results file named as
# the master names it (unless FAKE_NO_RESULTS), echoes a line of its standard
# input, may remove its working directory (FAKE_GONE), and exits FAKE_STATUS.
cat > "$work/bin/mpirun.recorded" <<'FAKE'
#!/bin/sh
if [ "$1" = --version ]; then echo "mpirun (Open MPI) 4.1.4"; exit 0; fi
while [ $# -gt 0 ]; do case "$1" in /*) [ -x "$1" ] && break ;; esac; shift; done
OMPI_COMM_WORLD_RANK=0 exec "$@"
FAKE
cat > "$work/bin/benchmark" <<'FAKE'
#!/bin/sh
[ -n "${FAKE_NO_RESULTS:-}" ] || echo "Thread(s): 1" > "results_processors_lite_mac_clusters @ UTC time Tue Dec  8 07:03:57 2026
 @ $(uname -n).txt"
[ -z "${FAKE_GONE:-}" ] || rmdir "$PWD"
read -r line || true
echo "read: $line"
exit "${FAKE_STATUS:-0}"
FAKE
printf '{\n  "version": "1.0.0",\n  "commit": null\n}\n' > "$work/bin/benchmark.build.json"
chmod +x "$work/bin/mpirun.recorded" "$work/bin/benchmark"
# The build record of a binary named on PATH, or behind update-alternatives'
# two links (/usr/bin/NAME -> /etc/alternatives/NAME -> NAME.flavour).
ln -s "$work/bin/benchmark" "$work/alternative"
ln -s "$work/alternative" "$work/bin/plain name"
check "the build record of a binary found on PATH, and behind links" \
    "$work/bin/benchmark.build.json $work/bin/benchmark.build.json" \
    "$(PATH="$work/bin:$PATH" build_record_file benchmark) $(build_record_file "$work/bin/plain name")"
# A host name with a double quote, a backslash and a tab, where this user
# may set one (root, in a UTS namespace of its own); else this host's name.
odd_host=$'n"o\\de\t1'
as_host() { # command...
    # shellcheck disable=SC2016  # Python's own code
    if [ "$(id -u)" -eq 0 ] && unshare --uts true 2>/dev/null; then
        unshare --uts "$python" -c 'import os, socket, sys
socket.sethostname(sys.argv[1]); os.execvp(sys.argv[2], sys.argv[2:])' "$odd_host" "$@"
    else
        odd_host="$(uname -n)"
        "$@"
    fi
}
# record_problems RECORD RESULTS HOST STATUS COMMAND...: what is wrong with
# the run record (nothing where all is as expected).
record_problems() {
    "$python" - "$@" <<'PY'
import json, sys
path, results, host, status, *command = sys.argv[1:]
try:
    with open(path) as f:
        record = json.load(f)
    with open(command[-1] + ".build.json") as f:
        build = json.load(f)
except (OSError, ValueError) as error:
    sys.exit(print(f"no valid record: {error}"))
expected = {"results_file": results or None, "exit_status": int(status), "command": command,
            "processes": 2, "build": build, "slurm": None,
            "mpi": {"implementation": "Open MPI", "version": "4.1.4", "launcher": command[0]}}
problems = [f"{key} {record.get(key)!r}" for key, value in expected.items() if record.get(key) != value]
if [node["host"] for node in record["nodes"]] != [host] or "error" in record["nodes"][0]:
    problems.append(f"nodes {record['nodes']}")
print("; ".join(problems))
PY
}
run_dir="$work/run dir"
mkdir -p "$run_dir"
touch -t 200001010000 "$run_dir/results_processors_lite_mac_clusters @ an older run.txt"
command=("$work/bin/mpirun.recorded" -np 2 "$work/bin/benchmark")
status=0
console="$(cd "$run_dir" && echo yes | FAKE_STATUS=3 as_host "$source_dir/scripts/recorded_run.sh" \
    "${command[@]}" 2>"$work/stderr")" || status=$?
check "a recorded job: its exit status, its standard input and output" "3 read: yes" "$status $console"
results="results_processors_lite_mac_clusters @ UTC time Tue Dec  8 07:03:57 2026
 @ $odd_host"
check "its run record beside the results file, with the host's node record" "" \
    "$(record_problems "$run_dir/$results.run.json" "$results.txt" "$odd_host" 3 "${command[@]}")"
rm -f "$run_dir/$results".*
status=0
(cd "$run_dir" && FAKE_NO_RESULTS=1 "$source_dir/scripts/recorded_run.sh" "${command[@]}" \
    </dev/null >/dev/null 2>>"$work/stderr") || status=$?
records=("$run_dir"/processors64-run-*-"$(uname -n)".run.json)
check "a job without a results file: its record under its start time and host" "0 1 " \
    "$status ${#records[@]} $(record_problems "${records[0]}" "" "$(uname -n)" 0 "${command[@]}")"
check "nothing on standard error while all goes well" "" "$(cat "$work/stderr")"
mkdir "$work/gone"
status=0
(cd "$work/gone" && FAKE_NO_RESULTS=1 FAKE_GONE=1 FAKE_STATUS=5 \
    "$source_dir/scripts/recorded_run.sh" "${command[@]}" </dev/null >/dev/null 2>"$work/stderr") ||
    status=$?
check "a record that cannot be written: one line on standard error, the job's status" \
    "5 1 recorded_run.sh: cannot write the run record" \
    "$status $(wc -l <"$work/stderr") $(cut -d"'" -f1 "$work/stderr" | sed 's/ $//')"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
