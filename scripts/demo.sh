#!/usr/bin/env bash
# Sets up, builds and runs the cleaner's main job on its built-in demo
# machine: a throwaway Wine prefix whose drive D: holds a few infected
# programs, look-alikes and start-up values that launch the infection.
# The real CleanVendrika window opens on it: on the user's display when there
# is one (press SCAN, close with OK), otherwise under a private Xvfb display
# with SCAN pressed automatically. The result list is printed at the end with
# the screenshots' paths. Everything it started or made is removed at the end.
#
# CV_DEMO=console runs the scan without the window instead: the same engine
# through the real system, printing every line of its result list.
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
. "$root/scripts/lib/wine.sh"
exec </dev/null

"$root/scripts/setup.sh" || exit 1
cv_wine_pick_arch || exit 1

build="${CV_BUILD_ROOT:-$root/build}/win-$CV_WIN_ARCH"
echo "building the $CV_WIN_ARCH Windows program in $build ..."
mkdir -p "$(dirname "$build")"
log="$(mktemp /tmp/cv-demo-build.XXXXXX.log)"
if ! { cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$CV_WIN_TOOLCHAIN" \
    -DCV_MINGW_THREADS=posix &&
    cmake --build "$build" -j"${CV_JOBS:-2}" --target cvdemo CleanVendrika guidriver e2e_tool; } >"$log" 2>&1; then
    tail -n 40 "$log"
    rm -f "$log"
    echo "demo: the build failed" >&2
    exit 1
fi
rm -f "$log"

if [ "${CV_DEMO:-window}" != console ]; then
    exec bash "$root/tests/gui/demo_window.sh" "$build"
fi

ddrive=""
cleanup() {
    cv_wine_cleanup
    [ -n "$ddrive" ] && rm -rf "$ddrive"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

echo "making a throwaway Windows machine (Wine prefix, Windows XP, drive D:) ..."
ddrive="$(mktemp -d /tmp/cv-demo-d.XXXXXX)"
cv_wine_prefix_create || exit 1
cv_wine_add_drive d "$ddrive" || exit 1
cv_wine_set_version winxp || exit 1
cv_wine_install "$build/tools/demo/cvdemo.exe"
echo
(cd "$WINEPREFIX/drive_c/cvtest" && cv_wine_run 'C:\cvtest\cvdemo.exe' 'D:') 2>&1 | tr -d '\r'
rc=${PIPESTATUS[0]}
echo
[ "$rc" -eq 0 ] && echo "demo: every infected file and start-up value removed, nothing else touched"
[ "$rc" -ne 0 ] && echo "demo: finished with exit code $rc"
exit "$rc"
