#!/bin/bash
# Runs window_tests.exe (the window code against real controls) under Wine
# and Xvfb in a throwaway prefix. Usage: app/tests/run.sh WINDOWS_BUILD_DIR
# Prints GoogleTest's summary; exits non-zero on any failure.
set -u
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${1:?usage: app/tests/run.sh WINDOWS_BUILD_DIR}"
EXE="$BUILD/app/window_tests.exe"
[ -f "$EXE" ] || { echo "window_tests.exe not built in $BUILD" >&2; exit 1; }
source "$ROOT/scripts/lib/wine.sh"
cv_wine_pick_arch || exit 1
if ! cv_pe_matches_arch "$EXE"; then
    echo "$EXE is not a $CV_WIN_ARCH program; build with $CV_WIN_TOOLCHAIN" >&2
    exit 1
fi
cv_wine_trap
cv_wine_xvfb_start || exit 1
cv_wine_prefix_create || exit 1
cv_wine_install "$EXE"
CV_WINE_TIMEOUT=300 cv_wine_run 'C:\cvtest\window_tests.exe' "${@:2}"
