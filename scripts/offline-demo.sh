#!/usr/bin/env bash
# The demo machine of scripts/demo.sh as a mounted Windows XP volume, cleaned
# from Linux by vendrika-scan: first a report-only scan, then --remove, then
# what is left. Builds what it needs (host build) and removes the volume.
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
# Only the host build's packages are needed here.
missing=()
for p in cmake make g++ libhivex-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q "${missing[@]}" || exit 1
fi
build="${CV_BUILD_ROOT:-$root/build}/host"
log="$(mktemp /tmp/cv-offline-demo-build.XXXXXX.log)"
if ! { cmake -S "$root" -B "$build" && cmake --build "$build" -j"${CV_JOBS:-2}" \
    --target vendrika-scan vendrika-demo-volume; } >"$log" 2>&1; then
    tail -n 30 "$log"
    rm -f "$log"
    echo "offline demo: the build failed" >&2
    exit 1
fi
rm -f "$log"
volume="$(mktemp -d /tmp/cv-offline-demo.XXXXXX)"
trap 'rm -rf "$volume"' EXIT
"$build/offline/vendrika-demo-volume" "$volume" || exit 1
scan="$build/offline/vendrika-scan"
echo "The demo volume (C: = $volume):"
(cd "$volume" && find . -type f | sort | sed 's|^\./|    |')
echo
echo "\$ vendrika-scan $volume"
"$scan" "$volume"
echo "(exit status $?)"
echo
echo "\$ vendrika-scan --remove $volume"
"$scan" --remove "$volume"
rc=$?
echo "(exit status $rc)"
echo
echo "Left on the volume:"
(cd "$volume" && find . -type f | sort | sed 's|^\./|    |')
[ "$rc" -eq 1 ]
