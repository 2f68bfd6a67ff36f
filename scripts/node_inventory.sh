#!/bin/sh
# The node record: what the node this runs on is, as ONE JSON object on ONE
# line, for the run record of a job (processors64-run starts it once on every
# node of the job and gathers the lines).
#
#   scripts/node_inventory.sh
#
# Keys, in this order: host, cpu_vendor, cpu_model, cpu_family,
# cpu_model_number, stepping, microcode, logical_cpus, cores, sockets,
# numa_nodes, smt, hypervisor, governor, max_mhz, memory_bytes, kernel, os.
# A field that cannot be read is null, never a guess; the exit status is 0
# all the same. Linux: /proc, /sys, /etc/os-release, lscpu where installed;
# macOS: sysctl and sw_vers. POSIX shell, so it runs on any node.
set -u
export LC_ALL=C

# ---- JSON values -------------------------------------------------------------

# The JSON string of $1 (backslash, double quote and control characters
# escaped), or null when $1 is empty.
json_string() {
    if [ -z "$1" ]; then
        printf 'null'
        return
    fi
    # From the environment: awk -v would read the backslashes as escapes.
    JSON_VALUE=$1 awk 'BEGIN {
        for (i = 1; i < 32; i++) code[sprintf("%c", i)] = sprintf("\\u%04x", i)
        code["\b"] = "\\b"; code["\f"] = "\\f"; code["\n"] = "\\n"
        code["\r"] = "\\r"; code["\t"] = "\\t"; code["\\"] = "\\\\"; code["\""] = "\\\""
        s = ENVIRON["JSON_VALUE"]; out = ""
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            out = out ((c in code) ? code[c] : c)
        }
        printf "\"%s\"", out
    }'
}

# $1 as a JSON number: a whole number, or a decimal one; null otherwise.
json_number() {
    case "$1" in
    '' | *[!0-9.]* | *.*.* | .* | *.) printf 'null' ;;
    *) printf '%s' "$1" ;;
    esac
}

# $1 as a JSON boolean: true for 1 or true, false for 0 or false, else null.
json_boolean() {
    case "$1" in
    1 | true) printf 'true' ;;
    0 | false) printf 'false' ;;
    *) printf 'null' ;;
    esac
}

# ---- Reading ------------------------------------------------------------------

# The first line of file $1, or nothing where it cannot be read.
first_line() {
    [ -r "$1" ] || return 0
    head -n 1 "$1" 2>/dev/null
}

# The value of key $1 in the first processor's block of /proc/cpuinfo,
# exactly as it stands after "KEY<tabs>: ".
cpuinfo_field() {
    [ -r /proc/cpuinfo ] || return 0
    awk -v key="$1" '
        /^$/ { if (seen) exit; next }
        { seen = 1 }
        {
            at = index($0, ":")
            if (at == 0) next
            name = substr($0, 1, at - 1)
            sub(/[ \t]+$/, "", name)
            if (name != key) next
            value = substr($0, at + 1)
            sub(/^ /, "", value)
            print value
            exit
        }' /proc/cpuinfo
}

# The number of distinct values that the processors of /proc/cpuinfo have
# for the keys in $1 (comma-separated) taken together: "processor" counts
# logical CPUs, "physical id,core id" cores. Nothing where no processor has
# them all.
cpuinfo_distinct() {
    [ -r /proc/cpuinfo ] || return 0
    awk -v keys="$1" '
        BEGIN { n = split(keys, key, ",") }
        function flush(   i, joined) {
            joined = ""
            for (i = 1; i <= n; i++) {
                if (!(i in part)) { split("", part); return }
                joined = joined "/" part[i]
            }
            seen[joined] = 1
            split("", part)
        }
        {
            at = index($0, ":")
            if (at == 0) { flush(); next }
            name = substr($0, 1, at - 1)
            sub(/[ \t]+$/, "", name)
            value = substr($0, at + 1)
            gsub(/^[ \t]+|[ \t]+$/, "", value)
            for (i = 1; i <= n; i++) if (name == key[i]) part[i] = value
        }
        END {
            flush()
            count = 0
            for (k in seen) count++
            if (count > 0) print count
        }' /proc/cpuinfo
}

# The value after "KEY:" in lscpu's output, where lscpu is installed.
lscpu_field() {
    command -v lscpu >/dev/null 2>&1 || return 0
    lscpu 2>/dev/null | awk -v key="$1" '
        index($0, key ":") == 1 {
            value = substr($0, length(key) + 2)
            gsub(/^[ \t]+|[ \t]+$/, "", value)
            print value
            exit
        }'
}

# The distinct values in the files named by the pattern $1 (topology from
# /sys where /proc/cpuinfo has none, as on ARM).
sys_distinct() {
    # shellcheck disable=SC2086  # the pattern is to be expanded
    cat $1 2>/dev/null | sort -u | wc -l | awk '$1 > 0 { print $1 }'
}

# The number of NUMA nodes /sys shows, or nothing where it shows none.
numa_node_count() {
    [ -d /sys/devices/system/node ] || return 0
    # shellcheck disable=SC2012  # names of the form nodeN, nothing odd
    ls -d /sys/devices/system/node/node[0-9]* 2>/dev/null | wc -l | awk '$1 > 0 { print $1 }'
}

# PRETTY_NAME of /etc/os-release (or /usr/lib/os-release), unquoted.
os_pretty_name() {
    file=/etc/os-release
    [ -r "$file" ] || file=/usr/lib/os-release
    [ -r "$file" ] || return 0
    sed -n 's/^PRETTY_NAME=//p' "$file" | head -n 1 |
        sed -e 's/^"\(.*\)"$/\1/' -e "s/^'\\(.*\\)'\$/\\1/" -e 's/\\\([\\"$`]\)/\1/g'
}

# The hypervisor's name: "none" where the processor's flags lack the
# hypervisor flag; else lscpu's "Hypervisor vendor" or /sys/hypervisor/type;
# nothing where the node is a virtual machine whose hypervisor has no name
# here.
hypervisor_name() {
    flags=$(cpuinfo_field flags)
    if [ -n "$flags" ]; then
        case " $flags " in
        *" hypervisor "*) ;;
        *) echo none; return ;;
        esac
    fi
    name=$(lscpu_field "Hypervisor vendor")
    [ -n "$name" ] || name=$(first_line /sys/hypervisor/type)
    echo "$name"
}

# kHz (cpufreq) or MHz (lscpu) as MHz; nothing where neither says.
max_mhz() {
    khz=$(first_line /sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq)
    case "$khz" in
    '' | *[!0-9]*) ;;
    *) awk -v khz="$khz" 'BEGIN { printf "%.10g\n", khz / 1000 }'; return ;;
    esac
    mhz=$(lscpu_field "CPU max MHz")
    case "$mhz" in
    '' | *[!0-9.]*) ;;
    *) awk -v mhz="$mhz" 'BEGIN { printf "%.10g\n", mhz + 0 }' ;;
    esac
}

# MemTotal in bytes.
memory_bytes() {
    [ -r /proc/meminfo ] || return 0
    awk '$1 == "MemTotal:" && $3 == "kB" { printf "%.0f\n", $2 * 1024; exit }' /proc/meminfo
}

# SMT from /sys where the kernel says; else whether there are more logical
# CPUs than cores, where both are known.
smt_active() { # logical_cpus cores
    active=$(first_line /sys/devices/system/cpu/smt/active)
    if [ -n "$active" ]; then
        echo "$active"
    elif [ -n "$1" ] && [ -n "$2" ]; then
        if [ "$1" -gt "$2" ]; then echo true; else echo false; fi
    fi
}

# ---- The record ---------------------------------------------------------------

# One key and its (already JSON) value; a comma before every key but the first.
SEPARATOR=""
field() {
    printf '%s"%s": %s' "$SEPARATOR" "$1" "$2"
    SEPARATOR=", "
}

linux_record() {
    logical=$(cpuinfo_distinct processor)
    [ -n "$logical" ] || logical=$(getconf _NPROCESSORS_ONLN 2>/dev/null || true)
    cores=$(cpuinfo_distinct "physical id,core id")
    [ -n "$cores" ] ||
        cores=$(sys_distinct "/sys/devices/system/cpu/cpu[0-9]*/topology/core_cpus_list")
    sockets=$(cpuinfo_distinct "physical id")
    [ -n "$sockets" ] ||
        sockets=$(sys_distinct "/sys/devices/system/cpu/cpu[0-9]*/topology/physical_package_id")
    field host "$(json_string "$(uname -n)")"
    field cpu_vendor "$(json_string "$(cpuinfo_field vendor_id)")"
    field cpu_model "$(json_string "$(cpuinfo_field "model name")")"
    field cpu_family "$(json_number "$(cpuinfo_field "cpu family")")"
    field cpu_model_number "$(json_number "$(cpuinfo_field model)")"
    field stepping "$(json_number "$(cpuinfo_field stepping)")"
    field microcode "$(json_string "$(cpuinfo_field microcode)")"
    field logical_cpus "$(json_number "$logical")"
    field cores "$(json_number "$cores")"
    field sockets "$(json_number "$sockets")"
    field numa_nodes "$(json_number "$(numa_node_count)")"
    field smt "$(json_boolean "$(smt_active "$logical" "$cores")")"
    field hypervisor "$(json_string "$(hypervisor_name)")"
    field governor "$(json_string "$(first_line /sys/devices/system/cpu/cpu0/cpufreq/scaling_governor)")"
    field max_mhz "$(json_number "$(max_mhz)")"
    field memory_bytes "$(json_number "$(memory_bytes)")"
    field kernel "$(json_string "$(uname -r)")"
    field os "$(json_string "$(os_pretty_name)")"
}

# sysctl value of $1, or nothing.
sysctl_value() {
    sysctl -n "$1" 2>/dev/null || true
}

macos_record() {
    logical=$(sysctl_value hw.logicalcpu)
    cores=$(sysctl_value hw.physicalcpu)
    hypervisor=""
    case "$(sysctl_value kern.hv_vmm_present)" in
    0) hypervisor=none ;;
    esac
    hz=$(sysctl_value hw.cpufrequency_max)
    mhz=""
    [ -z "$hz" ] || mhz=$(awk -v hz="$hz" 'BEGIN { printf "%.10g\n", hz / 1000000 }')
    os=""
    if command -v sw_vers >/dev/null 2>&1; then
        os="$(sw_vers -productName 2>/dev/null) $(sw_vers -productVersion 2>/dev/null)"
        [ "$os" != " " ] || os=""
    fi
    field host "$(json_string "$(uname -n)")"
    field cpu_vendor "$(json_string "$(sysctl_value machdep.cpu.vendor)")"
    field cpu_model "$(json_string "$(sysctl_value machdep.cpu.brand_string)")"
    field cpu_family "$(json_number "$(sysctl_value machdep.cpu.family)")"
    field cpu_model_number "$(json_number "$(sysctl_value machdep.cpu.model)")"
    field stepping "$(json_number "$(sysctl_value machdep.cpu.stepping)")"
    field microcode "$(json_string "$(sysctl_value machdep.cpu.microcode_version)")"
    field logical_cpus "$(json_number "$logical")"
    field cores "$(json_number "$cores")"
    field sockets "$(json_number "$(sysctl_value hw.packages)")"
    field numa_nodes null
    field smt "$(json_boolean "$(smt_active "$logical" "$cores")")"
    field hypervisor "$(json_string "$hypervisor")"
    field governor null
    field max_mhz "$(json_number "$mhz")"
    field memory_bytes "$(json_number "$(sysctl_value hw.memsize)")"
    field kernel "$(json_string "$(uname -r)")"
    field os "$(json_string "$os")"
}

printf '{'
if [ "$(uname -s)" = Darwin ]; then
    macos_record
else
    linux_record
fi
printf '}\n'
exit 0
