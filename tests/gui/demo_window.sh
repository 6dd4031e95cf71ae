#!/usr/bin/env bash
# The real CleanVendrika window on a small infected demo machine, under Wine.
#
#   tests/gui/demo_window.sh BUILD_DIR
#
# BUILD_DIR is a Windows build of the architecture Wine runs here, holding
# app/CleanVendrika.exe, tools/guidriver/guidriver.exe and tests/e2e/e2e_tool.exe (which
# plants the infected programs). A throwaway prefix gets a drive D: with infected programs,
# a look-alike, ordinary files, and a start-up value that launches one infection.
#
# With a usable X display (DISPLAY) the window opens there: press SCAN, watch, close it with
# OK. Without one it runs on a private Xvfb display, SCAN is pressed automatically, any
# question is answered No, and the screenshots are kept. Either way the result list is
# printed at the end. Everything started or made here is removed afterwards.
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/scripts/lib/wine.sh"
exec </dev/null

build="$(cd "${1:?usage: tests/gui/demo_window.sh BUILD_DIR}" && pwd)"
exe="$build/app/CleanVendrika.exe"
driver_exe="$build/tools/guidriver/guidriver.exe"
tool_exe="$build/tests/e2e/e2e_tool.exe"
shots="$build/screenshots/demo"
for f in "$exe" "$driver_exe" "$tool_exe"; do
    [ -f "$f" ] || { echo "missing $f"; exit 1; }
done
cv_wine_pick_arch || exit 1
cv_pe_matches_arch "$exe" || { echo "$exe is not a $CV_WIN_ARCH program"; exit 1; }

work=""
CLEANER_PID=""
XPOINTER_PID=""
cleanup() {
    [ -n "$CLEANER_PID" ] && kill "$CLEANER_PID" 2>/dev/null
    [ -n "$XPOINTER_PID" ] && kill "$XPOINTER_PID" 2>/dev/null && wait "$XPOINTER_PID" 2>/dev/null
    cv_wine_cleanup
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

# Runs a program from C:\cvtest; carriage returns dropped, the program's exit code kept.
in_cvtest() {
    (cd "$WINEPREFIX/drive_c/cvtest" && timeout -k 5 900 "$CV_WINE" "$@") 2>/dev/null | tr -d '\r'
    return "${PIPESTATUS[0]}"
}
drv() { in_cvtest 'C:\cvtest\guidriver.exe' "$@"; }
tool() { in_cvtest 'C:\cvtest\e2e_tool.exe' "$@" >/dev/null; }

interactive=0
if [ -n "${DISPLAY:-}" ] && xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    interactive=1
else
    unset DISPLAY
    cv_wine_xvfb_start || exit 1
    # The pointer goes to a corner and stays there, off the window (see xpointer.py).
    python3 "$root/tests/gui/xpointer.py" >/dev/null 2>&1 &
    XPOINTER_PID=$!
fi

work="$(mktemp -d /tmp/cv-demo-window.XXXXXX)"
mkdir -p "$work/d" "$shots"
rm -f "$shots"/*.png
echo "making a throwaway Windows machine (Wine prefix, drive D:) ..."
cv_wine_prefix_create || exit 1
cv_wine_add_drive d "$work/d" || exit 1
cv_wine_install "$exe" "$driver_exe" "$tool_exe"

# The infected machine: three infected programs (one read-only and hidden), a look-alike
# that must stay, ordinary files, and a Run value that launches one of the infections.
mkdir -p "$work/d/Downloads" "$work/d/Games" "$work/d/Documents" "$WINEPREFIX/drive_c/windows"
tool infected 0 'D:\Downloads\setup.exe'
tool infected 10 'D:\Games\patch.exe'
tool attrib 'D:\Games\patch.exe' rh
tool decoy 10 first_only 'D:\Games\patch_old.exe'
tool infected 28 'C:\windows\vendrika.exe'
printf 'Dear friend,\r\nsee you soon.\r\n' >"$work/d/Documents/letter.txt"
printf 'high scores\r\n' >"$work/d/Games/scores.txt"
view=""
[ "$CV_WIN_ARCH" = x86_64 ] && view="/reg:64"
cv_wine_reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v WinLoader \
    /t REG_EXPAND_SZ /d '%windir%\vendrika.exe -s' /f $view

(cd "$WINEPREFIX/drive_c/cvtest" && exec "$CV_WINE" 'C:\cvtest\CleanVendrika.exe') >/dev/null 2>&1 &
CLEANER_PID=$!
if ! drv wait-window 60000 >/dev/null; then
    echo "the window did not open"
    exit 1
fi

shot() { import -display "$DISPLAY" -window root "$shots/$1.png" 2>/dev/null && echo "  $shots/$1.png"; }

if [ "$interactive" = 1 ]; then
    echo "The CleanVendrika window is open on $DISPLAY: press SCAN, then OK (or X) to close it."
    # Keep the latest copy of the list while the window lives; print it when it closes.
    while kill -0 "$CLEANER_PID" 2>/dev/null; do
        drv list >"$work/list.new" 2>/dev/null && grep -q '^count ' "$work/list.new" &&
            mv -f "$work/list.new" "$work/list.txt"
        sleep 1
    done
    CLEANER_PID=""
else
    echo "no display: the window runs on a private X server; pressing SCAN ..."
    echo "screenshots:"
    drv park-mouse >/dev/null
    shot ready
    drv click 1052 >/dev/null
    drv wait-text 1065 ":\\" 60000 >/dev/null && shot scanning
    # Until the status line shows the end: any question (a restart offer) is answered No.
    asked=0
    for _ in $(seq 1 600); do
        drv wait-text 1065 "Scanning completed" 1000 >/dev/null && break
        if drv wait-box 200 >"$work/box.txt"; then
            [ "$asked" = 0 ] && shot question
            asked=1
            echo "  question: $(sed -n 's/^message //p' "$work/box.txt") -> No"
            drv box-click 7 >/dev/null
            drv wait-no-box 10000 >/dev/null
        fi
    done
    drv list >"$work/list.txt"
    shot finished
    drv click 1070 >/dev/null
    drv wait-gone 20000 >/dev/null
fi

echo
echo "result list:"
sed -n 's/^line [0-9]* "\(.*\)"$/  \1/p' "$work/list.txt" 2>/dev/null |
    sed -e 's/\\t/\t/g' -e 's/\\"/"/g' -e 's/\\\\/\\/g'
echo
left=0
for p in d/Downloads/setup.exe d/Games/patch.exe; do
    [ -e "$work/$p" ] && left=$((left + 1))
done
[ -e "$WINEPREFIX/drive_c/windows/vendrika.exe" ] && left=$((left + 1))
if [ "$left" = 0 ] && [ -e "$work/d/Games/patch_old.exe" ] && [ -e "$work/d/Documents/letter.txt" ]; then
    echo "demo: the three infected programs are gone; the look-alike and the documents are untouched"
else
    echo "demo: $left infected program(s) still on the drives"
fi
