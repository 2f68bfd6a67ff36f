#!/usr/bin/env bash
# The benchmark installed as cluster software.
#
#   tests/install/install_test.sh prefix BUILD_DIR PREFIX PYTHON
#       cmake --install into PREFIX (left there for the run of the installed
#       binary that follows it in CTest): what is installed, that it names no
#       file of the source or build tree, the modulefile under Lmod, the man
#       pages, the installed results tool with every sub-command, and a prefix
#       that cannot be written.
#   tests/install/install_test.sh packages PYTHON
#       scripts/build-packages.sh (debhelper), lintian, the three packages
#       installed (as root), both flavours run, the alternative with its man
#       page, the tools package alone, and removal leaving no file behind.
#
# Prints PASS or FAIL a check; exit 0 when all passed, 1 when one failed,
# 77 when the group cannot run here (a line "SKIP: why").
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
# shellcheck source-path=SCRIPTDIR source=../../scripts/common.sh
source "$source_dir/scripts/common.sh"
# shellcheck source-path=SCRIPTDIR source=../check.sh
source "$source_dir/tests/check.sh"
PROGRAM=processors64_mpi_mac0
PACKAGES=(processors64-tools processors64-openmpi processors64-mpich)
work=""  # this run's temporary directory, removed at exit

# Runs command $2... with its output in file $1, shown only when it fails.
quietly() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { tail -n 20 "$log" | sed 's/^/  /'; return 1; }
}

# Text $2 is text $1; else both are shown.
same() {
    [ "$1" = "$2" ] || { printf '  expected:\n%s\n  found:\n%s\n' "$1" "$2"; return 1; }
}

# Every path in $1 (one a line) exists under $2.
all_exist() {
    local path absent=0
    while IFS= read -r path; do
        [ -e "$2/$path" ] || { echo "  missing: $2/$path"; absent=1; }
    done <<< "$1"
    [ "$absent" = 0 ]
}

# `man --warnings` has nothing to say about the pages $@.
man_pages_clean() {
    local page out bad=0
    for page in "$@"; do
        out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || { echo "  $page: $out"; bad=1; }
    done
    [ "$bad" = 0 ]
}

# Every sub-command of the results tool $1 on made-up runs in $2.
results_tool_works() {
    local tool=$1 dir=$2 bad=0 command
    PYTHONPATH="$source_dir/tools:$source_dir/tests" "$python" -c 'import sys
import made_up
made_up.write_runs(sys.argv[1], 3, made_up.cluster_hosts(3, 2))' "$dir"
    local files=("$dir"/results_*)
    for command in "summary" "export --format csv" "export --format json" \
        "export --format prometheus" "history" "compare ${files[0]@Q} ${files[1]@Q}" \
        "plot --out ${dir@Q}/charts" "html --out ${dir@Q}/page.html"; do
        if [[ $command == compare* ]]; then
            eval "set -- $command"
        else
            eval "set -- $command" && set -- "$@" "${files[@]}"
        fi
        "$tool" "$@" >"$dir/out" 2>&1 </dev/null ||
            { echo "  $tool $1: exit $?: $(head -c 300 "$dir/out")"; bad=1; }
    done
    [ "$bad" = 0 ]
}

# The installed recorded run $1 of a one-process job of /bin/true under
# launcher $2, in a new directory $3: its exit status, and a record whose one
# node answered (the collector is the install's own).
recorded_run_works() {
    local record
    mkdir "$3"
    (cd "$3" && launcher_environment "$(launcher_kind "$2")" 1 &&
        env -u PROCESSORS64_NODE_INVENTORY "$1" "$2" -n 1 /bin/true </dev/null) ||
        { echo "  exit status $?"; return 1; }
    record=("$3"/processors64-run-*.run.json)
    "$python" -c 'import json, sys
record = json.load(open(sys.argv[1]))
sys.exit(record["exit_status"] != 0 or len(record["nodes"]) != 1 or "error" in record["nodes"][0])' \
        "${record[0]}" || { echo "  record: $(cat "${record[0]}")"; return 1; }
}

# ---- cmake --install -----------------------------------------------------------------
group_prefix() {
    local build=$1 prefix=$2 expected
    work=$(mktemp -d "${TMPDIR:-/tmp}/p64install.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    rm -rf "$prefix"
    check "cmake --install into a fresh prefix" \
        quietly "$work/install.log" cmake --install "$build" --prefix "$prefix"
    expected="bin/$PROGRAM
bin/processors64-results
share/processors64/$PROGRAM.build.json
share/processors64/processors64.sbatch
bin/processors64-run
bin/processors64-sweep
share/processors64/node_inventory.sh
share/processors64/processors64.rules.yml
share/processors64/python/processors64/report_format.py
share/processors64/python/processors64/cli.py
share/processors64/python/processors64/launchers.py
share/processors64/python/processors64/templates/page.html
share/processors64/python/processors64/templates/page.css
share/processors64/python/processors64/templates/page.js
share/man/man1/$PROGRAM.1
share/man/man1/processors64-results.1
share/man/man1/processors64-run.1
share/man/man1/processors64-sweep.1
share/doc/processors64/README.md
share/doc/processors64/docs/three-node-run.png
share/doc/processors64/docs/installing.md
share/modulefiles/processors64/1.0.0"
    check "every file installed" all_exist "$expected" "$prefix"
    check "the short build is not installed" \
        test -z "$(find "$prefix" -name '*short*' -print -quit)"
    # (The prefix itself lies in the build tree, for the run that follows.)
    check "nothing installed names the source or the build tree" \
        test -z "$(grep -rhoI -e "${source_dir}[^[:space:]\"']*" -e "${build}[^[:space:]\"']*" \
            "$prefix" | grep -v "^$prefix" || true)"
    check "the installed batch script runs the installed binary by default" \
        grep -qxF "installed_bindir=\"$prefix/bin\"" "$prefix/share/processors64/processors64.sbatch"
    check "man --warnings: the installed pages" man_pages_clean "$prefix"/share/man/man1/*.1

    # The modulefile under Lmod, in a shell of its own as a user's login.
    local session
    # shellcheck disable=SC2016  # the login shell expands its own "$1"
    session=$(env -i HOME="$work" PATH=/usr/bin:/bin bash -c '
        source /usr/share/lmod/lmod/init/bash >/dev/null 2>&1 || exit 3
        module use "$1/share/modulefiles" && module load processors64 || exit 4
        echo "binary=$(command -v processors64_mpi_mac0)"
        echo "tool=$(command -v processors64-results)"
        echo "root=$PROCESSORS64_ROOT"
        echo "man=$(man -w processors64_mpi_mac0)"
        module unload processors64
        # A packaged benchmark in /usr/bin may answer after the unload, but
        # never the one of the prefix.
        [ "$(command -v processors64_mpi_mac0)" = "$1/bin/processors64_mpi_mac0" ] ||
            echo "unloaded"' lmod "$prefix" 2>&1) ||
        session="$session (exit $?)"
    check "module load processors64 (Lmod): PATH, MANPATH and PROCESSORS64_ROOT" \
        same "binary=$prefix/bin/$PROGRAM
tool=$prefix/bin/processors64-results
root=$prefix
man=$prefix/share/man/man1/$PROGRAM.1
unloaded" "$session"

    mkdir "$work/runs"
    check "the installed results tool, every sub-command" \
        results_tool_works "$prefix/bin/processors64-results" "$work/runs"
    check "the installed recorded run: a job's record, its node from the installed collector" \
        recorded_run_works "$prefix/bin/processors64-run" "$(build_launcher "$build")" "$work/job"
    check "the installed sweep answers --help, naming its man page" \
        grep -q "processors64-sweep(1)" <("$prefix/bin/processors64-sweep" --help 2>&1)
    check "the installed commands wrote nothing into the install" \
        test -z "$(find "$prefix" -name __pycache__ -print -quit)"

    # A prefix that cannot be written (under a regular file, which even root
    # cannot make a directory in): CMake's own error, not a success.
    touch "$work/file"
    if cmake --install "$build" --prefix "$work/file/prefix" >"$work/bad.log" 2>&1; then
        fail "an install into an unwritable prefix reported success"
    elif grep -q "CMake Error" "$work/bad.log"; then
        pass "an unwritable prefix: CMake's error and a failed install"
    else
        fail "an unwritable prefix: no CMake error"; cat "$work/bad.log"
    fi
}

# ---- Debian packages -----------------------------------------------------------------
remove_packages() {
    local installed=()
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" &&
            installed+=("$package")
    done
    [ ${#installed[@]} -eq 0 ] || dpkg -r "${installed[@]}" >/dev/null
}

# The packaged binary of flavour $1, started with the launcher its build
# record names, at one process in directory $2; its report is checked.
packaged_run_works() {
    local flavour=$1 dir=$2 record launcher
    record="/usr/share/processors64/$PROGRAM.$flavour.build.json"
    launcher=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["launcher"])' \
        "$record") || return 1
    [ "$(launcher_kind "$launcher")" = "$flavour" ] || { echo "  $record names $launcher"; return 1; }
    mkdir -p "$dir"
    (cd "$dir" && launcher_environment "$flavour" 1 &&
        "$launcher" -n 1 "/usr/bin/$PROGRAM.$flavour" </dev/null >console.txt 2>stderr.txt) ||
        { echo "  the run failed: $(cat "$dir/stderr.txt")"; return 1; }
    "$python" "$source_dir/tests/e2e/check_saved_run.py" 1 "$dir" "$dir/console.txt" --cap 512 \
        --iterations 134217728 --host "$(uname -n)"
}

group_packages() {
    local out lists
    [ "$(id -u)" = 0 ] || skip "installing the packages needs root"
    command -v lintian >/dev/null 2>&1 || skip "lintian is not installed"
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" &&
            skip "$package is installed on this machine already; not touching it"
    done
    work=$(mktemp -d "${TMPDIR:-/tmp}/p64packages.XXXXXX")
    trap 'remove_packages; rm -rf "$work"' EXIT
    out="$work/out"
    check "scripts/build-packages.sh builds three packages" \
        "$source_dir/scripts/build-packages.sh" "$out"
    local debs=("$out"/*.deb)
    [ ${#debs[@]} -eq 3 ] || { fail "${#debs[@]} packages, not 3"; return; }
    for deb in "${debs[@]}"; do
        echo "--- $(basename "$deb")"
        dpkg-deb -c "$deb" | awk '{ print "  " $6, $7, $8 }'
    done
    lintian --tag-display-limit 0 "${debs[@]}" >"$work/lintian.txt" 2>&1 || true
    sed 's/^/  lintian: /' "$work/lintian.txt"
    check "lintian: no error" test -z "$(grep '^E:' "$work/lintian.txt" || true)"
    check "lintian: no warning" test -z "$(grep '^W:' "$work/lintian.txt" || true)"

    check "dpkg -i: both flavours beside the tools" quietly "$work/dpkg.log" dpkg -i "${debs[@]}"
    lists=$(dpkg -L "${PACKAGES[@]}" | sort -u)
    check "the Open MPI flavour runs against Open MPI's library" \
        grep -q "libmpi.so.40" <(readelf -d "/usr/bin/$PROGRAM.openmpi")
    check "the MPICH flavour runs against MPICH's library" \
        grep -q "libmpich.so.12" <(readelf -d "/usr/bin/$PROGRAM.mpich")
    check "the alternative: /usr/bin/$PROGRAM is Open MPI's, the higher priority" \
        test "$(readlink -f "/usr/bin/$PROGRAM")" = "/usr/bin/$PROGRAM.openmpi"
    check "the alternative carries the man page: Open MPI's" \
        test "$(readlink -f "/usr/share/man/man1/$PROGRAM.1.gz")" = \
        "/usr/share/man/man1/$PROGRAM.openmpi.1.gz"
    check "man --warnings: the packaged pages" man_pages_clean /usr/share/man/man1/processors64*.gz
    check "the Open MPI flavour, from the package, under its launcher" \
        packaged_run_works openmpi "$work/run-openmpi"
    check "the MPICH flavour, from the package, under its launcher" \
        packaged_run_works mpich "$work/run-mpich"
    check "the packaged results tool reads the packaged run" \
        quietly "$work/summary.txt" processors64-results summary "$work/run-mpich"/results_*
    check "the packaged recorded run: a job's record, its node from the packaged collector" \
        recorded_run_works /usr/bin/processors64-run /usr/bin/mpiexec.openmpi "$work/job"

    # The tools package alone: the batch script says which package to install.
    dpkg -r processors64-openmpi processors64-mpich >/dev/null
    local message
    message=$(cd "$work" && env SLURM_JOB_CPUS_PER_NODE=2 SLURM_SUBMIT_DIR="$work" \
        /usr/share/processors64/processors64.sbatch 2>&1 </dev/null) && message="exit 0: $message"
    check "the tools alone: the batch script fails naming the flavour packages" same \
        "processors64.sbatch: no benchmark installed at '/usr/bin/$PROGRAM': install the package of your MPI, processors64-openmpi or processors64-mpich (or cmake --install a build), or name the benchmark in PROCESSORS64_BINARY" \
        "$message"

    dpkg -r processors64-tools >/dev/null
    check "dpkg -r leaves no file behind" same "" "$(leftovers "$lists")"
}

# What is still there of the packages' files $1 (one a line; the shared
# directories aside) and of the alternative.
leftovers() {
    local path
    while IFS= read -r path; do
        if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then echo "$path"; fi
    done <<< "$1"
    for path in "/usr/bin/$PROGRAM" "/etc/alternatives/$PROGRAM" \
        "/var/lib/dpkg/alternatives/$PROGRAM" /usr/share/processors64 \
        /usr/share/doc/processors64-tools; do
        if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
    done
}

case "${1:-}" in
prefix)
    [ $# -eq 4 ] || { echo "usage: $0 prefix BUILD_DIR PREFIX PYTHON" >&2; exit 2; }
    python=$4
    group_prefix "$2" "$3"
    ;;
packages)
    [ $# -eq 2 ] || { echo "usage: $0 packages PYTHON" >&2; exit 2; }
    python=$2
    group_packages
    ;;
*)
    echo "usage: $0 prefix BUILD_DIR PREFIX PYTHON | packages PYTHON" >&2
    exit 2
    ;;
esac
checks_done "install test ($1)"
