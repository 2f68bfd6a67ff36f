#!/usr/bin/env bash
# Builds the Debian packages of the benchmark into OUT_DIR.
#
#   scripts/build-packages.sh OUT_DIR
#
# The packaging is debhelper's (packaging/debian): dpkg-buildpackage builds,
# in a copy of the source tree, one package per MPI flavour with its own
# suffixed binary, each registering the plain name with update-alternatives
# (Open MPI's at the higher priority), and one package for the rest:
#   processors64-openmpi  /usr/bin/processors64_mpi_mac0.openmpi
#   processors64-mpich    /usr/bin/processors64_mpi_mac0.mpich
#   processors64-tools    the results tool, the batch script and its helpers,
#                         the alert rules, the man pages and the documentation
# The version is the one CMakeLists.txt defines. Needs the build dependencies
# of packaging/debian/control (./test.sh installs them).
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$source_dir/scripts/common.sh"

MAINTAINER="processors64 developers <processors64@lists.example.org>"
work=""  # the temporary directory of the build, removed at exit

fail() {
    echo "build-packages.sh: $*" >&2
    exit 1
}

# The version, defined once, in the project() line of CMakeLists.txt.
project_version() {
    local version
    version=$(sed -n 's/^project([A-Za-z0-9_]* VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
    [ -n "$version" ] || fail "no version in the project() line of $source_dir/CMakeLists.txt"
    echo "$version"
}

# True when the source directory is the top of a git checkout.
is_checkout() {
    command -v git >/dev/null 2>&1 &&
        [ "$(git -C "$source_dir" rev-parse --show-toplevel 2>/dev/null)" = "$source_dir" ]
}

# The date of the packaged source: the commit's, else now (RFC 2822).
source_date() {
    local epoch=${SOURCE_DATE_EPOCH:-}
    if [ -z "$epoch" ] && is_checkout; then
        epoch=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || true)
    fi
    LC_ALL=C date -u -R -d "@${epoch:-$(date +%s)}"
}

# Copies the source tree into directory $1: in a checkout, the files a commit
# would hold (tracked or not ignored), else everything but the build trees.
copy_source() {
    mkdir -p "$1"
    if is_checkout; then
        (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' path; do
                [ -e "$path" ] && printf '%s\0' "$path"
            done | tar --null -T - -cf -) | tar -C "$1" -xf -
    else
        tar -C "$source_dir" --exclude=./.git --exclude='./build*' --exclude=./debian \
            --exclude=__pycache__ -cf - . | tar -C "$1" -xf -
    fi
}

# Makes debian/ of the copy $1 from packaging/debian, with a changelog of
# version $2.
add_debian_tree() {
    rm -rf "$1/debian"
    cp -R "$source_dir/packaging/debian" "$1/debian"
    printf '%s (%s) unstable; urgency=medium\n\n  * Packaged from the processors64 source, one package per MPI flavour.\n\n -- %s  %s\n' \
        processors64 "$2" "$MAINTAINER" "$(source_date)" > "$1/debian/changelog"
}

main() {
    [ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 2; }
    command -v dpkg-buildpackage >/dev/null 2>&1 ||
        fail "dpkg-buildpackage is needed (apt-get install dpkg-dev debhelper dh-python)"
    umask 022
    mkdir -p "$1"
    local out_dir version tree commit="" deb
    out_dir=$(cd "$1" && pwd)
    version=$(project_version)
    work=$(mktemp -d "${TMPDIR:-/tmp}/processors64-packages.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    tree="$work/processors64-$version"
    copy_source "$tree"
    add_debian_tree "$tree" "$version"
    # The copy is no checkout: the build record gets the commit from here.
    if is_checkout; then
        commit=$(git -C "$source_dir" describe --always --dirty 2>/dev/null || true)
    fi
    if ! (cd "$tree" && PROCESSORS64_SOURCE_COMMIT="$commit" \
        dpkg-buildpackage -b -us -uc -j"$(core_count)") >"$work/build.log" 2>&1; then
        tail -n 40 "$work/build.log" >&2
        fail "dpkg-buildpackage failed (above: the end of its log)"
    fi
    for deb in "$work"/*.deb; do
        mv "$deb" "$out_dir/"
        echo "$out_dir/${deb##*/}"
    done
}

main "$@"
