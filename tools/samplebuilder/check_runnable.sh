#!/bin/bash
# check_runnable.sh HOST_BUILD_DIR WIN_BUILD_DIR
#
# Proves under Wine that the runnable sample is a real program: in a
# throwaway prefix it starts, stays alive without faulting, keeps its file locked against
# DeleteFileA while it runs, and the file can be deleted once it is ended.
# The sample's bitness follows the Windows build Wine can run here.
# Exit code 0 when every check holds.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
host="${1:?usage: check_runnable.sh HOST_BUILD_DIR WIN_BUILD_DIR}"
win="${2:?usage: check_runnable.sh HOST_BUILD_DIR WIN_BUILD_DIR}"
. "$root/scripts/lib/wine.sh"
cv_wine_trap

fail=0
check() {  # check NAME CONDITION-RESULT
    if [ "$2" = 0 ]; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}

cv_wine_pick_arch || exit 1
trydelete="$win/tools/samplebuilder/trydelete.exe"
[ -f "$trydelete" ] || { echo "missing $trydelete"; exit 1; }
if ! cv_pe_matches_arch "$trydelete"; then
    echo "$trydelete is not built for $CV_WIN_ARCH"
    exit 1
fi
out="$(mktemp -d /tmp/cv-samples.XXXXXX)"
trap 'rm -rf "$out"; cv_wine_cleanup' EXIT
"$host/tools/samplebuilder/samplebuilder" "$out" --runnable >/dev/null || exit 1
if [ "$CV_WIN_ARCH" = x86_64 ]; then sample="$out/runnable_00_pe64.exe"; else sample="$out/runnable_00_pe32.exe"; fi

cv_wine_prefix_create || exit 1
cp "$sample" "$out/sample.exe"
cv_wine_install "$out/sample.exe" "$trydelete"

"$CV_WINE" 'C:\cvtest\sample.exe' >/dev/null 2>"$out/sample.err" &
pid=$!
sleep 4
kill -0 "$pid" 2>/dev/null
check "the sample is still running after 4 s" $?
# A sample that faults stays alive too, held by the debugger Wine starts for
# it; Wine says so on the standard error whatever WINEDEBUG says.
! grep -qi 'unhandled\|starting debugger' "$out/sample.err"
rc=$?
check "the sample did not fault" $rc
[ $rc = 0 ] || head -5 "$out/sample.err"
# Wine's own process list (tasklist prints nothing under Wine 8).
tasks="$(timeout 60 "$CV_WINE" winedbg --command 'info proc' 2>/dev/null | tr -d '\r')"
printf '%s\n' "$tasks" | grep -qi 'sample\.exe'
rc=$?
check "winedbg's process list shows sample.exe" $rc
[ $rc = 0 ] || printf '%s\n' "$tasks" | head -20

result="$(cv_wine_run 'C:\cvtest\trydelete.exe' 'C:\cvtest\sample.exe' 2>/dev/null | tr -d '\r')"
[ "$result" = "failed 5" ]
check "DeleteFileA fails with error 5 while it runs (got: $result)" $?
[ -f "$WINEPREFIX/drive_c/cvtest/sample.exe" ]
check "the file is still there" $?

"$CV_WINE" taskkill /f /im sample.exe >/dev/null 2>&1
for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$pid" 2>/dev/null
check "taskkill ends it" $?
wait "$pid" 2>/dev/null

result="$(cv_wine_run 'C:\cvtest\trydelete.exe' 'C:\cvtest\sample.exe' 2>/dev/null | tr -d '\r')"
[ "$result" = "deleted" ]
check "DeleteFileA succeeds once it is ended (got: $result)" $?
[ ! -e "$WINEPREFIX/drive_c/cvtest/sample.exe" ]
check "the file is gone" $?

exit $fail
