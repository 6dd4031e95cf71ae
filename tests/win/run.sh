#!/usr/bin/env bash
# Runs the Windows-side tests (win_tests.exe from BUILD_DIR) in a throwaway
# Wine prefix whose drive D: is a fresh temporary folder, prints GoogleTest's
# summary and leaves nothing behind. Extra arguments go to the program
# (e.g. --gtest_filter=RealPlatform.*). Exit code: the program's.
#
#   tests/win/run.sh BUILD_DIR [gtest arguments]
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
# shellcheck source=../../scripts/lib/wine.sh
. "$root/scripts/lib/wine.sh"

build="${1:?usage: tests/win/run.sh BUILD_DIR [gtest arguments]}"
shift
exe="$build/tests/win/win_tests.exe"
if [ ! -f "$exe" ]; then
    echo "run.sh: $exe not found (build the win_tests target first)" >&2
    exit 2
fi

cv_wine_pick_arch || exit 2
if ! cv_pe_matches_arch "$exe"; then
    echo "run.sh: $exe is not a $CV_WIN_ARCH program; Wine here runs $CV_WIN_ARCH only" >&2
    exit 2
fi

ddrive=""
cleanup() {
    cv_wine_cleanup
    [ -n "$ddrive" ] && rm -rf "$ddrive"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

ddrive="$(mktemp -d /tmp/cv-ddrive.XXXXXX)"
cv_wine_prefix_create || exit 2
cv_wine_add_drive d "$ddrive" || exit 2
# Windows XP by default: the cleaner's own generation, where processes are
# listed through psapi (Wine has no performance data to list them by).
cv_wine_set_version "${CV_WIN_VERSION:-winxp}" || exit 2
cv_wine_xvfb_start || exit 2
cv_wine_install "$exe"

log="$(mktemp /tmp/cv-wintests.XXXXXX.log)"
start=$SECONDS
(cd "$WINEPREFIX/drive_c/cvtest" &&
    CV_TEST_DRIVE=D: CV_WINE_TIMEOUT="${CV_WINE_TIMEOUT:-900}" \
        cv_wine_run 'C:\cvtest\win_tests.exe' --gtest_color=no "$@") >"$log" 2>&1
rc=$?
if [ "${CV_VERBOSE:-0}" = 1 ] || [ $rc -ne 0 ]; then
    # Failures in full; the rest of a passing run stays quiet.
    grep -v '^\[ *\(RUN\|OK\) *\]' "$log" | tr -d '\r'
else
    grep -E '^\[==========\]|^\[  PASSED  \]|^\[  SKIPPED \]|^\[  FAILED  \]|tests? ran' "$log" | tr -d '\r'
fi
echo "win_tests: exit code $rc in $((SECONDS - start)) s"
rm -f "$log"
exit $rc
