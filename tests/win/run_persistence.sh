#!/usr/bin/env bash
# The persistence cleanup under Wine, where a test needs more than one run of
# win_tests.exe: values planted with `wine reg add` before the program starts,
# a locked file that must be gone after the prefix restarts (`wineboot -r`),
# and the 95/98/Me family's wininit.ini (Windows version win98).
#
#   tests/win/run_persistence.sh BUILD_DIR
#
# Prints one line per check and a closing "N passed, N failed"; exit code 0
# only when every check passed. Leaves no prefix or process behind.
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
# shellcheck source=../../scripts/lib/wine.sh
. "$root/scripts/lib/wine.sh"

build="${1:?usage: tests/win/run_persistence.sh BUILD_DIR}"
exe="$build/tests/win/win_tests.exe"
if [ ! -f "$exe" ]; then
    echo "run_persistence.sh: $exe not found (build the win_tests target first)" >&2
    exit 2
fi
cv_wine_pick_arch || exit 2
if ! cv_pe_matches_arch "$exe"; then
    echo "run_persistence.sh: $exe is not a $CV_WIN_ARCH program; Wine here runs $CV_WIN_ARCH only" >&2
    exit 2
fi
cv_wine_trap

passed=0
failed=0
check() {  # check "what" command...
    local what="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "PASS  $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
    fi
}

# A 64-bit program reads the 64-bit registry view; `wine reg` writes the
# 32-bit one unless told otherwise.
regview=()
[ "$CV_WIN_ARCH" = x86_64 ] && regview=(/reg:64)
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
services_key='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'

# Runs the persistence tests of win_tests.exe with extra environment; true
# when GoogleTest reports no failure.
run_tests() {
    local log rc
    log="$(mktemp /tmp/cv-persist.XXXXXX.log)"
    (export "$@" CV_WINE_TIMEOUT="${CV_WINE_TIMEOUT:-300}" &&
        cd "$WINEPREFIX/drive_c/cvtest" &&
        cv_wine_run 'C:\cvtest\win_tests.exe' --gtest_color=no \
            '--gtest_filter=PersistenceWin.*') >"$log" 2>&1
    rc=$?
    grep -E '^\[ +(OK|FAILED|SKIPPED) +\] Persistence|Failure|Expected|Which is|^  ' "$log" |
        grep -v '^\[  FAILED  \] [0-9]' | tr -d '\r' | sed 's/^/      /'
    rm -f "$log"
    return $rc
}

# Ends the prefix's programs and starts it again, as a restart of the system.
restart_prefix() {
    cv_wine_stop_server
    "$CV_WINE" wineboot -r >/dev/null 2>&1
    cv_wine_stop_server
}

value_present() {  # value_present KEY NAME
    "$CV_WINE" reg query "$1" /v "$2" "${regview[@]}" >/dev/null 2>&1
}
value_absent() { ! value_present "$@"; }

# ---- the NT family (Windows XP) ----
cv_wine_prefix_create || exit 2
cv_wine_install "$exe"
cv_wine_set_version winxp || exit 2
c="$WINEPREFIX/drive_c/cvtest"
: >"$c/planted target.exe"
# Planted values point at a file that is never run; RunServices values run
# when the prefix restarts, so they are removed (or checked gone) before that.
cv_wine_reg add "$run_key" /v CvPlantedRun /d '"C:\cvtest\PLANTED TARGET.exe" /silent' /f "${regview[@]}"
cv_wine_reg add "$services_key" /v CvPlantedSvc /t REG_EXPAND_SZ \
    /d '%SystemDrive%\cvtest\planted target.exe' /f "${regview[@]}"
check "values planted with reg add are there" value_present "$run_key" CvPlantedRun
check "winxp: persistence tests pass" run_tests \
    'CV_PERSIST_PLANTED=C:\cvtest\planted target.exe' 'CV_PERSIST_VICTIM=C:\cvtest\victim-nt.exe'
check "Run value gone (reg query)" value_absent "$run_key" CvPlantedRun
check "RunServices value gone (reg query)" value_absent "$services_key" CvPlantedSvc
cv_wine_stop_server
check "locked file still there before the restart" test -f "$c/victim-nt.exe"
restart_prefix
check "locked file gone after the restart (MoveFileExA)" test ! -e "$c/victim-nt.exe"

# ---- the 95/98/Me family (Windows 98) ----
cv_wine_set_version win98 || exit 2
check "win98: persistence tests pass" run_tests 'CV_PERSIST_VICTIM=C:\cvtest\victim9x.exe'
cv_wine_stop_server
ini="$WINEPREFIX/drive_c/windows/wininit.ini"
check "wininit.ini written in the Windows folder" grep -qi '^NUL=C:\\CVTEST\\VICTIM' "$ini"
check "locked file still there before the restart" test -f "$c/victim9x.exe"
restart_prefix
check "locked file gone after the restart (wininit.ini)" test ! -e "$c/victim9x.exe"

cv_wine_cleanup
echo "run_persistence: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
