#!/usr/bin/env bash
# Builds the Debian packages of the benchmark into OUT_DIR.
#
#   scripts/build-packages.sh OUT_DIR
#
# As Debian does for programs built once per MPI (gromacs-openmpi and
# gromacs-mpich), there is one package per MPI flavour, each with its own
# suffixed binary, and both register the plain name with update-alternatives,
# Open MPI's at the higher priority as in Debian's own MPI alternatives:
#   processors64-openmpi  /usr/bin/processors64_mpi_mac0.openmpi
#   processors64-mpich    /usr/bin/processors64_mpi_mac0.mpich
#   processors64-tools    the results tool and the recorded run (the Python
#                         package processors64), the batch script, the node
#                         collector, the alert rules, the man pages and the
#                         documentation
# Needs both MPIs' compilers, cmake, dpkg-dev and binutils (./test.sh
# installs them).
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$source_dir/scripts/common.sh"

MAINTAINER="processors64 developers <processors64@lists.example.org>"
PROGRAM=processors64_mpi_mac0
FLAVOURS=(openmpi mpich)
declare -A PRIORITY=([openmpi]=50 [mpich]=40)
declare -A MPI_NAME=([openmpi]="Open MPI" [mpich]=MPICH)
# The package that holds the flavour's launcher, which the batch script runs.
declare -A LAUNCHER_PACKAGE=([openmpi]=openmpi-bin [mpich]=mpich)

fail() {
    echo "build-packages.sh: $*" >&2
    exit 1
}

# Configures and builds the benchmark against MPI flavour $1 for /usr, and
# installs it into the staging directory $2.
stage_flavour() {
    local flavour=$1 stage=$2 build="$work/build-$1" settings=()
    mapfile -t settings < <(mpi_cmake_settings "$flavour")
    [ ${#settings[@]} -gt 0 ] ||
        fail "the $flavour compilers and launcher (mpicxx.$flavour, mpiexec.$flavour) are not installed"
    # The project's own Release flags: the timed loops are compiled exactly
    # as in any other build. Only the linker gets Debian's hardening, which
    # leaves the code of the loops alone.
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPROCESSORS64_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" \
        "${settings[@]}" >/dev/null
    cmake --build "$build" --target "$PROGRAM" -j "$(core_count)" >/dev/null
    DESTDIR="$stage" cmake --install "$build" >/dev/null
}

# The version, defined once in CMake, as the build found it.
project_version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$work/build-openmpi/CMakeCache.txt"
}

# The date of the packaged source: the commit's, else now (RFC 2822).
source_date() {
    local epoch=${SOURCE_DATE_EPOCH:-}
    [ -n "$epoch" ] || epoch=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)
    LC_ALL=C date -u -R -d "@$epoch"
}

# Writes the copyright file and the changelog of package $1 into $2.
write_package_docs() {
    local package=$1 docs="$2/usr/share/doc/$1"
    install -d -m 0755 "$docs"
    cat > "$docs/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: processors64
Upstream-Contact: $MAINTAINER

Files: *
Copyright: 2020-2026 the processors64_mpi_mac0 authors
License: all-rights-reserved
 All rights reserved, as the benchmark's banner says; the source comes with
 no other licence. Ask its authors for terms.
EOF
    chmod 0644 "$docs/copyright"
    printf '%s (%s) unstable; urgency=medium\n\n  * Packaged from the processors64 source, one package per MPI flavour.\n\n -- %s  %s\n' \
        "processors64" "$version" "$MAINTAINER" "$(source_date)" | gzip -9n > "$docs/changelog.gz"
    chmod 0644 "$docs/changelog.gz"
}

# The shared libraries' dependencies of the ELF files $2... for package $1,
# as dpkg-shlibdeps finds them ("libc6 (>= 2.34), libopenmpi3 (>= 4.1.4)").
shlib_depends() {
    local package=$1 dir="$work/shlibdeps-$1"
    shift
    mkdir -p "$dir/debian"
    printf 'Source: processors64\n\nPackage: %s\nArchitecture: any\n' "$package" > "$dir/debian/control"
    (cd "$dir" && dpkg-shlibdeps -O "$@" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}

# Writes DEBIAN/control of the package in $1 with the fields that follow,
# adds Installed-Size and the md5sums, and builds the .deb into OUT_DIR.
build_deb() {
    local root=$1 package=$2 architecture=$3
    shift 3
    local size
    size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
    install -d -m 0755 "$root/DEBIAN"
    {
        printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: %s\nInstalled-Size: %s\n' \
            "$package" "$version" "$architecture" "$MAINTAINER" "$size"
        printf 'Section: science\nPriority: optional\n'
        printf '%s\n' "$@"
    } > "$root/DEBIAN/control"
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
        xargs -0 -r md5sum) > "$root/DEBIAN/md5sums"
    chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
    dpkg-deb --build --root-owner-group -Zxz "$root" \
        "$out_dir/${package}_${version}_${architecture}.deb" >/dev/null
    echo "$out_dir/${package}_${version}_${architecture}.deb"
}

# processors64-FLAVOUR: the suffixed binary, its build record, the link to
# the man page and the alternative.
package_flavour() {
    local flavour=$1 stage="$work/stage-$1" root="$work/processors64-$1"
    local binary="$root/usr/bin/$PROGRAM.$flavour" depends
    install -D -m 0755 "$stage/usr/bin/$PROGRAM" "$binary"
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$binary"
    install -D -m 0644 "$stage/usr/share/processors64/$PROGRAM.build.json" \
        "$root/usr/share/processors64/$PROGRAM.$flavour.build.json"
    install -d -m 0755 "$root/usr/share/man/man1"
    ln -s "$PROGRAM.1.gz" "$root/usr/share/man/man1/$PROGRAM.$flavour.1.gz"
    write_package_docs "processors64-$flavour" "$root"
    install -d -m 0755 "$root/DEBIAN"
    cat > "$root/DEBIAN/postinst" <<EOF
#!/bin/sh
set -e
if [ "\$1" = configure ]; then
    update-alternatives --install /usr/bin/$PROGRAM $PROGRAM /usr/bin/$PROGRAM.$flavour ${PRIORITY[$flavour]}
fi
EOF
    cat > "$root/DEBIAN/prerm" <<EOF
#!/bin/sh
set -e
if [ "\$1" = remove ] || [ "\$1" = deconfigure ]; then
    update-alternatives --remove $PROGRAM /usr/bin/$PROGRAM.$flavour
fi
EOF
    chmod 0755 "$root/DEBIAN/postinst" "$root/DEBIAN/prerm"
    depends=$(shlib_depends "processors64-$flavour" "$binary")
    [ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies of $binary"
    build_deb "$root" "processors64-$flavour" "$(dpkg --print-architecture)" \
        "Depends: $depends, ${LAUNCHER_PACKAGE[$flavour]}" \
        "Recommends: processors64-tools (= $version)" \
        "Description: CPU throughput benchmark for clusters (${MPI_NAME[$flavour]})" \
        " processors64_mpi_mac0 runs as one MPI job: the master times single-process" \
        " baselines of four workloads (sprintf conversions, x87 extended precision," \
        " 128-bit integers, logic) and every other rank runs them side by side, so" \
        " that the report shows how a node or a cluster scales from one process to" \
        " many, with the host of every worker." \
        " ." \
        " This package holds the build against ${MPI_NAME[$flavour]}, as" \
        " /usr/bin/$PROGRAM.$flavour; start it with that MPI's own launcher." \
        " It provides /usr/bin/$PROGRAM through update-alternatives."
}

# processors64-tools: everything that does not depend on the MPI, from the
# Open MPI staging tree (the batch script picks the binary's flavour itself).
package_tools() {
    local stage="$work/stage-openmpi" root="$work/processors64-tools" page command
    install -d -m 0755 "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/doc"
    # Debian's python3, as Debian's own Python programs name it.
    for command in processors64-results processors64-run; do
        sed '1s|^#!.*|#!/usr/bin/python3|' "$stage/usr/bin/$command" > "$root/usr/bin/$command"
        chmod 0755 "$root/usr/bin/$command"
    done
    cp -R "$stage/usr/share/processors64" "$root/usr/share/processors64"
    rm -f "$root/usr/share/processors64/$PROGRAM.build.json"
    for page in "$stage"/usr/share/man/man1/*.1; do
        gzip -9n -c "$page" > "$root/usr/share/man/man1/${page##*/}.gz"
    done
    cp -R "$stage/usr/share/doc/processors64" "$root/usr/share/doc/processors64-tools"
    gzip -9n "$root/usr/share/doc/processors64-tools/README.md"
    write_package_docs processors64-tools "$root"
    find "$root" -type d -exec chmod 0755 {} +
    find "$root" -type f ! -perm -u+x -exec chmod 0644 {} +
    build_deb "$root" processors64-tools all \
        "Depends: python3" \
        "Recommends: python3-matplotlib, processors64-openmpi | processors64-mpich" \
        "Suggests: slurm-client, prometheus-node-exporter" \
        "Description: CPU throughput benchmark for clusters (results tool, batch script)" \
        " processors64_mpi_mac0 runs as one MPI job and reports how a node or a" \
        " cluster scales from one process to many. This package holds what works" \
        " with either MPI flavour's build:" \
        "  - processors64-results, which summarises, compares, exports (CSV, JSON," \
        "    Prometheus metrics for the node exporter) and charts results files," \
        "    and follows each host's history across runs;" \
        "  - the Slurm batch script, which runs the installed benchmark with its" \
        "    own MPI's launcher and records what each run ran on;" \
        "  - alert rules for Prometheus, the man pages and the documentation."
}

main() {
    [ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 2; }
    if ! command -v dpkg-deb >/dev/null 2>&1 || ! command -v dpkg-shlibdeps >/dev/null 2>&1; then
        fail "dpkg-deb and dpkg-shlibdeps are needed (apt-get install dpkg-dev)"
    fi
    umask 022
    mkdir -p "$1"
    out_dir=$(cd "$1" && pwd)
    work=$(mktemp -d "${TMPDIR:-/tmp}/processors64-packages.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    local flavour
    for flavour in "${FLAVOURS[@]}"; do
        stage_flavour "$flavour" "$work/stage-$flavour"
    done
    version=$(project_version)
    for flavour in "${FLAVOURS[@]}"; do
        package_flavour "$flavour"
    done
    package_tools
}

main "$@"
