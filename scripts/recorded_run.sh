#!/usr/bin/env bash
# Runs the benchmark under its launcher and writes the run record beside its
# results file: what the job ran on (every node), with which MPI and build,
# when, and how it ended.
#
#   scripts/recorded_run.sh LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY
#
# 1. Starts the node inventory once on every node of the job, with the job's
#    own launcher and host arguments, one process per node, standard input
#    closed, for at most PROCESSORS64_INVENTORY_TIMEOUT seconds (default 60):
#    a node that has not answered by then gets an error in its node record.
# 2. Runs `LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY` exactly as given, with
#    this script's standard input, output and error, and nothing else running
#    meanwhile. INT and TERM are passed on to the launcher.
# 3. Writes the run record (JSON) beside the results file the master wrote,
#    "X.txt" -> "X.run.json"; a job that made none gets
#    processors64-run-YYYYMMDDTHHMMSSZ-HOST.run.json in its working directory.
# Exits with the launcher's exit status; a record that cannot be written is
# one line on standard error.
#
# Environment:
#   PROCESSORS64_NODE_INVENTORY     the collector to start on every node
#                                   (default: node_inventory.sh beside this)
#   PROCESSORS64_INVENTORY_TIMEOUT  seconds to wait for the nodes (default 60)
set -euo pipefail
scripts_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$scripts_dir/common.sh"

# The keys of a node record after "host", in their order.
NODE_KEYS=(cpu_vendor cpu_model cpu_family cpu_model_number stepping microcode logical_cpus
    cores sockets numa_nodes smt hypervisor governor max_mhz memory_bytes kernel os)
RESULTS_PATTERN=results_processors_lite_mac_clusters

# What the job's arguments say, filled by read_launcher_arguments.
KIND=unknown
PROCESSES=""
HOSTFILE=""
HOST_LIST=""
WORK_DIR="$PWD"
COLLECTOR_ARGUMENTS=()
# The node records, in node order, and how the job ran.
NODE_RECORDS=()
STARTED="" ENDED="" START_SECONDS=0 JOB_STATUS=0
# The launcher process running now, the signal to pass on to it, a signal
# that came while the nodes were being asked, and the temporary directory.
CHILD_PID=""
OUTCOME=""
INTERRUPTED=""
TEMP_DIR=""

say() {
    echo "recorded_run.sh: $*" >&2
}

# $1 with each line feed shown as \n: one line on a terminal.
shown() {
    printf '%s' "${1//$'\n'/\\n}"
}

# ---- JSON --------------------------------------------------------------------

# The JSON string of $1: backslash, double quote and control characters escaped.
json_string() {
    local s=$1 i octal char code
    s=${s//\\/\\\\}
    s=${s//\"/\\\"}
    s=${s//$'\n'/\\n}
    s=${s//$'\r'/\\r}
    s=${s//$'\t'/\\t}
    if [[ $s == *[[:cntrl:]]* ]]; then
        for i in {1..31}; do
            printf -v octal '%03o' "$i"
            printf -v char %b "\\0$octal"
            printf -v code '\\u%04x' "$i"
            s=${s//"$char"/$code}
        done
    fi
    printf '"%s"' "$s"
}

# The JSON string of $1, or null where it is empty.
json_string_or_null() {
    if [ -n "$1" ]; then json_string "$1"; else printf null; fi
}

# $1 as a JSON number, or null where it is no whole number.
json_count() {
    if [[ $1 =~ ^[0-9]+$ ]]; then printf '%s' "$((10#$1))"; else printf null; fi
}

# The JSON list of the arguments, as strings.
json_list() {
    local separator="" word
    printf '['
    for word in "$@"; do
        printf '%s' "$separator"
        json_string "$word"
        separator=", "
    done
    printf ']'
}

# ---- The job's arguments -------------------------------------------------------

# Reads the launcher's arguments (without the binary): the process count, the
# hosts, the working directory, and the arguments a run of one process per
# node keeps (all but the count, the placement and the output form).
read_launcher_arguments() {
    local role values
    while [ $# -gt 0 ]; do
        read -r role values <<<"$(launcher_option "$KIND" "$1")"
        values=${values:-0}
        if [ $# -le "$values" ]; then
            COLLECTOR_ARGUMENTS+=("$@")
            return 0
        fi
        case "$role" in
        count) PROCESSES=$2 ;;
        hostfile) HOSTFILE=$2 ;;
        hosts) HOST_LIST=$2 ;;
        wdir) WORK_DIR=$2 ;;
        esac
        case "$role" in
        count | placement | output) ;;
        *) COLLECTOR_ARGUMENTS+=("${@:1:values + 1}") ;;
        esac
        shift $((values + 1))
    done
    [[ $WORK_DIR == /* ]] || WORK_DIR="$PWD/$WORK_DIR"
}

# The hosts of a hostfile in their order, each once: the first word of each
# line up to a ":" ("node1 slots=8", "node1:8"), comments left out.
hostfile_hosts() {
    awk '{ sub(/#.*/, ""); if ($1 == "") next; h = $1; sub(/:.*/, "", h)
           if (!(h in seen)) { seen[h] = 1; print h } }' "$1"
}

# The hosts of a host list ("node1,node2:4,node3"), each once.
host_list_hosts() {
    tr ',' '\n' <<<"$1" | hostfile_hosts /dev/stdin
}

# The job's nodes, one a line, first node first: Slurm's, else those of the
# host arguments, else this host.
expected_hosts() {
    local hosts=""
    if [ -n "${SLURM_JOB_NODELIST:-}" ]; then
        hosts="$(scontrol show hostnames "$SLURM_JOB_NODELIST" 2>/dev/null || true)"
    fi
    if [ -z "$hosts" ] && [ -n "$HOST_LIST" ]; then
        hosts="$(host_list_hosts "$HOST_LIST")"
    fi
    if [ -z "$hosts" ] && [ -n "$HOSTFILE" ] && [ -r "$HOSTFILE" ]; then
        hosts="$(hostfile_hosts "$HOSTFILE")"
    fi
    echo "${hosts:-$(uname -n)}"
}

# ---- The nodes -----------------------------------------------------------------

# The launcher with the arguments, as this script's child in the background.
# Bash starts such a child with INT and QUIT ignored, and the launcher would
# keep ignoring them: they are set back to their defaults first, so that the
# launcher ends its job on Ctrl-C or an INT passed on to it, as it would
# started by hand.
start_launcher() {
    trap - INT QUIT
    exec "$LAUNCHER" "$@"
}

# The node record of a node that did not answer: its name, the error, every
# other key null.
failed_node_record() { # host error
    local key
    printf '{"host": %s, "error": %s' "$(json_string_or_null "$1")" "$(json_string "$2")"
    for key in "${NODE_KEYS[@]}"; do
        printf ', "%s": null' "$key"
    done
    printf '}'
}

# Waits at most $2 seconds for process $1 (polled: the benchmark has not
# started yet) and ends it when time is up. Sets OUTCOME to "timeout" then,
# else to its exit status.
wait_at_most() { # pid seconds
    local ticks=0
    while kill -0 "$1" 2>/dev/null && [ "$ticks" -lt $(($2 * 10)) ] && [ -z "$INTERRUPTED" ]; do
        sleep 0.1
        ticks=$((ticks + 1))
    done
    if kill -0 "$1" 2>/dev/null; then
        kill -TERM "$1" 2>/dev/null || true
        for ticks in {1..50}; do
            kill -0 "$1" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
        OUTCOME=timeout
        return 0
    fi
    OUTCOME=0
    wait "$1" || OUTCOME=$?
}

# The collector's time limit in seconds.
inventory_timeout() {
    local seconds=${PROCESSORS64_INVENTORY_TIMEOUT:-60}
    if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
        say "PROCESSORS64_INVENTORY_TIMEOUT='$seconds' is no number of seconds; waiting 60 s"
        seconds=60
    fi
    echo "$((10#$seconds))"
}

# Starts the collector once on every node with the job's launcher and fills
# NODE_RECORDS, first node first: each node's line, or for a node that did
# not answer an error record.
collect_nodes() {
    local collector=${PROCESSORS64_NODE_INVENTORY:-$scripts_dir/node_inventory.sh}
    local seconds hosts=() host per_node=() rank_variable error line rank
    local found=() i count
    seconds="$(inventory_timeout)"
    while IFS= read -r host; do
        hosts+=("$host")
    done < <(expected_hosts)
    if ! rank_variable="$(launcher_rank_variable "$KIND")"; then
        say "$LAUNCHER is neither Open MPI's launcher nor MPICH's: no node records"
        for host in "${hosts[@]}"; do
            NODE_RECORDS+=("$(failed_node_record "$host" "the launcher is neither Open MPI's nor MPICH's")")
        done
        return 0
    fi
    while IFS= read -r line; do
        per_node+=("$line")
    done < <(launcher_per_node_flags "$KIND" "${#hosts[@]}")
    # Each node's lines go out prefixed with its rank, so they can be put in
    # node order (rank 0 runs on the first node, the master's).
    # shellcheck disable=SC2016  # the node's shell expands its own "$1"...
    start_launcher ${COLLECTOR_ARGUMENTS[@]+"${COLLECTOR_ARGUMENTS[@]}"} "${per_node[@]}" \
        /bin/sh -c 'eval "rank=\${$1:-}"
            "$2" </dev/null | while IFS= read -r line || [ -n "$line" ]; do
                printf "%s %s\n" "$rank" "$line"
            done' node_inventory "$rank_variable" "$collector" \
        </dev/null >"$TEMP_DIR/nodes" 2>"$TEMP_DIR/nodes.err" &
    CHILD_PID=$!
    wait_at_most "$CHILD_PID" "$seconds"
    CHILD_PID=""
    if [ "$OUTCOME" = timeout ]; then
        error="no answer within $seconds s"
    else
        error="no answer (the launcher of the node inventory exited with status $OUTCOME)"
    fi
    count=${#hosts[@]}
    while IFS= read -r line; do
        [[ $line =~ ^([0-9]+)\ (\{.*\})$ ]] || continue
        rank=$((10#${BASH_REMATCH[1]}))
        [ -n "${found[rank]+set}" ] || found[rank]=${BASH_REMATCH[2]}
        [ "$rank" -lt "$count" ] || count=$((rank + 1))
    done <"$TEMP_DIR/nodes"
    for ((i = 0; i < count; i++)); do
        if [ -n "${found[i]+set}" ]; then
            NODE_RECORDS+=("${found[i]}")
        else
            NODE_RECORDS+=("$(failed_node_record "${hosts[i]:-}" "$error")")
            say "node ${hosts[i]:-of rank $i}: $error; its node record holds the error"
        fi
    done
}

# ---- The job ------------------------------------------------------------------

# Passes signal $1 on to the launcher running now, or notes it for later.
pass_on() {
    if [ -n "$CHILD_PID" ]; then
        kill -"$1" "$CHILD_PID" 2>/dev/null || true
    fi
    INTERRUPTED=${INTERRUPTED:-$1}
}

# Runs the benchmark with the launcher as given, with this script's standard
# input (a background job would get /dev/null instead), and waits for it:
# nothing else runs meanwhile. Sets STARTED, ENDED and JOB_STATUS.
run_job() {
    START_SECONDS="$(date +%s)"
    STARTED="$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    (start_launcher "$@") <&0 &
    CHILD_PID=$!
    while :; do
        JOB_STATUS=0
        wait "$CHILD_PID" || JOB_STATUS=$?
        # A status above 128 with the launcher still there: the wait was
        # cut short by a signal passed on to it; wait again for its end.
        if [ "$JOB_STATUS" -gt 128 ] && kill -0 "$CHILD_PID" 2>/dev/null; then
            continue
        fi
        break
    done
    CHILD_PID=""
    ENDED="$(date -u +%Y-%m-%dT%H:%M:%SZ)"
}

# The modification time of file $1 in seconds since the epoch.
modified_seconds() {
    stat -c %Y "$1" 2>/dev/null || stat -f %m "$1"
}

# The results file the master wrote in the working directory during this
# job: the newest one modified since the job started (it may have rewritten
# an older file of the same name within the same second).
results_file() {
    local file seconds newest="" newest_seconds=-1
    for file in "$WORK_DIR/$RESULTS_PATTERN"*.txt; do
        [ -f "$file" ] || continue
        seconds="$(modified_seconds "$file")" || continue
        if [ "$seconds" -ge "$START_SECONDS" ] && [ "$seconds" -ge "$newest_seconds" ]; then
            newest=$file
            newest_seconds=$seconds
        fi
    done
    printf '%s' "$newest"
}

# ---- The record ---------------------------------------------------------------

# {"implementation", "version", "launcher"} of the launcher, from its --version.
mpi_json() {
    local text implementation="" version="" path
    text="$("$LAUNCHER" --version 2>&1 </dev/null || true)"
    case "$KIND" in
    openmpi) implementation="Open MPI" ;;
    mpich) implementation=MPICH ;;
    esac
    if [[ $text =~ Version:[[:space:]]*([0-9]+(\.[0-9]+)*) ]] ||
        [[ $text =~ ([0-9]+\.[0-9]+(\.[0-9]+)*) ]]; then
        version=${BASH_REMATCH[1]}
    fi
    path="$(command -v "$LAUNCHER" || true)"
    if [ -n "$path" ] && [[ $path != /* ]]; then
        path="$(cd "$(dirname "$path")" && pwd)/$(basename "$path")"
    fi
    printf '{"implementation": %s, "version": %s, "launcher": %s}' \
        "$(json_string_or_null "$implementation")" "$(json_string_or_null "$version")" \
        "$(json_string_or_null "$path")"
}

# The binary's build record (a JSON object), indented to sit inside the run
# record, or null.
build_json() {
    local file text
    file="$(build_record_file "$BINARY")"
    text=""
    [ -z "$file" ] || text="$(cat "$file" 2>/dev/null || true)"
    if [[ $text =~ ^[[:space:]]*\{.*\}[[:space:]]*$ ]]; then
        printf '%s' "${text//$'\n'/$'\n'  }"
    else
        printf null
    fi
}

# The job's Slurm variables, or null outside Slurm.
slurm_json() {
    if [ -z "${SLURM_JOB_ID:-}" ]; then
        printf null
        return 0
    fi
    printf '{"job_id": %s, "nodelist": %s, "partition": %s, "cpus_per_node": %s}' \
        "$(json_string_or_null "${SLURM_JOB_ID:-}")" \
        "$(json_string_or_null "${SLURM_JOB_NODELIST:-}")" \
        "$(json_string_or_null "${SLURM_JOB_PARTITION:-}")" \
        "$(json_string_or_null "${SLURM_JOB_CPUS_PER_NODE:-}")"
}

# The run record: results file $1 (or empty), command in the arguments.
run_record() { # results_file command...
    local results=$1 separator="" node
    shift
    printf '{\n'
    printf '  "results_file": %s,\n' "$(json_string_or_null "${results##*/}")"
    printf '  "started": %s,\n' "$(json_string "$STARTED")"
    printf '  "ended": %s,\n' "$(json_string "$ENDED")"
    printf '  "exit_status": %s,\n' "$JOB_STATUS"
    printf '  "command": %s,\n' "$(json_list "$@")"
    printf '  "processes": %s,\n' "$(json_count "$PROCESSES")"
    printf '  "mpi": %s,\n' "$(mpi_json)"
    printf '  "build": %s,\n' "$(build_json)"
    printf '  "slurm": %s,\n' "$(slurm_json)"
    printf '  "nodes": ['
    for node in ${NODE_RECORDS[@]+"${NODE_RECORDS[@]}"}; do
        printf '%s\n    %s' "$separator" "$node"
        separator=","
    done
    printf '\n  ]\n}\n'
}

# Where the record goes: beside the results file, X.txt -> X.run.json, else
# in the working directory under the job's start time and this host's name.
record_path() { # results_file
    local host stamp
    if [ -n "$1" ]; then
        printf '%s' "${1%.txt}.run.json"
        return 0
    fi
    host="$(uname -n)"
    stamp=${STARTED//[-:]/}
    printf '%s' "$WORK_DIR/processors64-run-$stamp-${host//\//_}.run.json"
}

# Writes the record whole and renames it into place; one line on standard
# error where it cannot.
write_record() { # command...
    local results path temp
    results="$(results_file)"
    path="$(record_path "$results")"
    temp="$(dirname "$path")/.processors64-run.$$.tmp"
    if ! { run_record "$results" "$@" >"$temp"; } 2>/dev/null || ! mv -f "$temp" "$path" 2>/dev/null; then
        rm -f "$temp" 2>/dev/null || true
        say "cannot write the run record '$(shown "$path")'"
    fi
}

cleanup() {
    [ -z "$TEMP_DIR" ] || rm -rf "$TEMP_DIR"
}

main() {
    if [ $# -lt 2 ]; then
        say "usage: recorded_run.sh LAUNCHER [LAUNCHER-ARGUMENTS...] BINARY"
        exit 2
    fi
    LAUNCHER=$1
    BINARY=${!#}
    KIND="$(launcher_kind "$LAUNCHER")"
    read_launcher_arguments "${@:2:$#-2}"
    TEMP_DIR="$(mktemp -d "${TMPDIR:-/tmp}/processors64-run.XXXXXX")"
    trap cleanup EXIT
    trap 'pass_on INT' INT
    trap 'pass_on TERM' TERM
    trap 'pass_on HUP' HUP
    collect_nodes
    if [ -n "$INTERRUPTED" ]; then
        say "stopped by SIG$INTERRUPTED before the benchmark started"
        exit $((128 + $(kill -l "$INTERRUPTED")))
    fi
    run_job "${@:2}"
    write_record "$@"
    exit "$JOB_STATUS"
}

# Sourced by the tests for its functions; run, it does its work.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
