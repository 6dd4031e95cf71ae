#!/usr/bin/env bash
# Installs everything the project needs on Debian 12 (idempotent): the host
# compilers and GoogleTest, clang with libFuzzer, MinGW-w64, Wine, Xvfb and
# the X and image tools of the window tests, the FAT tools (mkfs, mtools and
# a FUSE driver) of the offline tests, and man for the manual page's test.
# When every package is present already it only says so.
#
# wine32 (from the i386 architecture) is wanted only where this kernel runs
# 32-bit x86 code; elsewhere the i386 architecture is never added and the
# Wine suites run the 64-bit build. Package indexes can be briefly
# inconsistent on the mirrors: a failed index is retried a few times and then
# left behind, and the set-up stops only when a package the project needs
# cannot be installed, naming it.
#
# Runs as root, or through sudo when that is available. No questions asked.
# CV_SETUP_TRIES (default 3) sets how often a failed download is retried;
# CV_WINE32=no leaves 32-bit Wine out even where it could run (yes: always).
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib/probe32.sh"

needed=(
    cmake make g++ git file
    clang libclang-rt-14-dev
    googletest
    mingw-w64
    wine wine64
    xvfb x11-utils imagemagick
    libhivex-dev libhivex-bin
    ntfs-3g dosfstools mtools fusefat
    man-db
)
optional=()
case "${CV_WINE32:-auto}" in
    no) ;;
    yes) optional+=(wine32:i386) ;;
    *) cv_can_run_32bit && optional+=(wine32:i386) ;;
esac
tries="${CV_SETUP_TRIES:-3}"

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
missing_of() { local p; for p in "$@"; do installed "$p" || echo "$p"; done; }

mapfile -t missing < <(missing_of "${needed[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]+"${optional[@]}"}")
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup: missing ${missing[*]} ${missing_optional[*]}; run as root (or install sudo)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt_get() { "${as_root[@]}" apt-get -q -o Acquire::Retries=2 "$@"; }

# retry N COMMAND...: runs COMMAND up to N times, pausing between tries, as
# long as its failure is a download that may go through later. A package
# that cannot be resolved fails at once.
retry() {
    local n="$1" i out
    shift
    out="$(mktemp /tmp/cv-setup.XXXXXX)"
    for ((i = 1; i <= n; i++)); do
        if "$@" 2>&1 | tee "$out"; [ "${PIPESTATUS[0]}" -eq 0 ]; then
            rm -f "$out"
            return 0
        fi
        grep -q -E 'Failed to fetch|Unable to fetch|unexpected size|Hash Sum mismatch|Temporary failure|Could not connect|Connection (failed|timed out)' "$out" || break
        [ "$i" -lt "$n" ] && { echo "setup: '$*' failed (try $i of $n); trying again" >&2; sleep $((i * 5)); }
    done
    rm -f "$out"
    return 1
}

added_i386=no
if [ ${#missing_optional[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: this kernel runs 32-bit code: adding the i386 architecture for wine32"
    "${as_root[@]}" dpkg --add-architecture i386 && added_i386=yes
fi

# An index that still fails after the tries (a mirror in the middle of a
# sync) is left behind: what it lists may well not be needed.
if ! retry "$tries" apt_get update; then
    echo "setup: some package indexes could not be updated; going on with the ones that could" >&2
fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if ! retry "$tries" apt_get install -y "${missing[@]}"; then
        mapfile -t still < <(missing_of "${needed[@]}")
        if [ ${#still[@]} -gt 0 ]; then
            for p in "${still[@]}"; do
                candidate="$(apt-cache policy "$p" 2>/dev/null | awk '/Candidate:/ { print $2 }')"
                if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
                    why="no installable version in the package indexes"
                else
                    why="version $candidate is listed, but it or a dependency could not be installed"
                fi
                echo "setup: needed package $p cannot be installed: $why" >&2
            done
            exit 1
        fi
    fi
fi

if [ ${#missing_optional[@]} -gt 0 ]; then
    echo "setup: installing ${missing_optional[*]} (32-bit Wine, for the 32-bit build)"
    if ! retry "$tries" apt_get install -y "${missing_optional[@]}"; then
        echo "setup: ${missing_optional[*]} could not be installed; the Wine suites will run the 64-bit build" >&2
        # Leave the machine as it was: an architecture nothing uses only
        # makes every later index update longer and likelier to fail.
        if [ "$added_i386" = yes ] && [ -z "$(dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -x i386)" ]; then
            "${as_root[@]}" dpkg --remove-architecture i386 && echo "setup: the i386 architecture is removed again"
        fi
    fi
fi
echo "setup: done"
