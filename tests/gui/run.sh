#!/usr/bin/env bash
# The window tests: the real CleanVendrika.exe under Wine on a private X display (Xvfb),
# driven from outside by guidriver as a user would drive it.
#
#   tests/gui/run.sh BUILD_DIR
#
# BUILD_DIR is a Windows build of the architecture Wine runs here; it must hold
# app/CleanVendrika.exe, tools/guidriver/guidriver.exe and tests/gui/resview.exe
# (tests/e2e/e2e_tool.exe, when built, plants an infected file so the list shows a find).
# One throwaway prefix serves every run of the program: C: and a D: with a few thousand
# ordinary files, so a scan lasts long enough to be stopped. Screenshots of the Ready,
# Scanning, question and Finished states (and of a stop confirmed while the scan was starting)
# go to BUILD_DIR/screenshots/gui/.
# Prints one line per check and "N checks, M failed"; exits 1 when any check failed.
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/scripts/lib/wine.sh"
exec </dev/null

build="$(cd "${1:?usage: tests/gui/run.sh BUILD_DIR}" && pwd)"
# CV_PRODUCT_EXE: the program under test when it is not the build's own (the release product).
exe="${CV_PRODUCT_EXE:-$build/app/CleanVendrika.exe}"
driver_exe="$build/tools/guidriver/guidriver.exe"
resview_exe="$build/tests/gui/resview.exe"
tool_exe="$build/tests/e2e/e2e_tool.exe"
shots="$build/screenshots/gui"
TITLE="CleanVendrika Ver 1.0"
# Ordinary files on D:: enough that the walk outlasts, with room to spare, the stop questions
# asked and answered while it runs (each key is pressed and released as a keyboard does,
# and the checks that a release asks nothing wait for it). 16,000 files were walked before
# the last of them here; 60,000 take about half a minute more to plant and walk.
BULK=${CV_GUI_BULK_FILES:-60000}

for f in "$exe" "$driver_exe" "$resview_exe"; do
    [ -f "$f" ] || { echo "missing $f"; exit 1; }
done
cv_wine_pick_arch || exit 1
if ! cv_pe_matches_arch "$exe"; then
    echo "$exe is not a $CV_WIN_ARCH program: Wine here runs $CV_WIN_ARCH"
    exit 1
fi

CHECKS=0
FAILS=0
work=""
CLEANER_PID=""
t_start=$SECONDS

XPOINTER_PID=""
cleanup() {
    [ -n "$CLEANER_PID" ] && kill "$CLEANER_PID" 2>/dev/null
    [ -n "$XPOINTER_PID" ] && kill "$XPOINTER_PID" 2>/dev/null && wait "$XPOINTER_PID" 2>/dev/null
    cv_wine_cleanup
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

# check WHAT COMMAND...: one named check.
check() {
    local what="$1"
    shift
    CHECKS=$((CHECKS + 1))
    if "$@"; then
        printf 'ok   %s\n' "$what"
        return 0
    fi
    FAILS=$((FAILS + 1))
    printf 'FAIL %s\n' "$what"
    return 1
}

# The driver, run from C:\cvtest; carriage returns dropped.
drv() {
    (cd "$WINEPREFIX/drive_c/cvtest" &&
        timeout -k 5 400 "$CV_WINE" 'C:\cvtest\guidriver.exe' "$@") 2>/dev/null | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

# Windows-side "reg" for the view the program reads (a 64-bit program: the 64-bit view).
reg_() {
    local view=""
    [ "$CV_WIN_ARCH" = x86_64 ] && view="/reg:64"
    cv_wine_reg "$@" $view
}

start_cleaner() {
    (cd "$WINEPREFIX/drive_c/cvtest" && exec "$CV_WINE" 'C:\cvtest\CleanVendrika.exe') \
        >/dev/null 2>&1 &
    CLEANER_PID=$!
    check "the window opens" eval 'drv wait-window 60000 >"$work/window.txt"'
}

# Waits for the program's process to end; true when it did within SECONDS.
ended_within() {
    local pid="$1" secs="$2" i
    for i in $(seq 1 $((secs * 10))); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
        sleep 0.1
    done
    return 1
}

closes() {  # WHAT: the window and its process go away
    check "$1 closes the window" eval 'drv wait-gone 20000 >/dev/null'
    check "$1 ends the process" ended_within "$CLEANER_PID" 20
    CLEANER_PID=""
}

# controls LABEL ITEM...: each ITEM is ID:STATE with STATE one of shown, hidden, on, off,
# shown+on, shown+off, hidden+on, hidden+off (shown = visible, on = enabled).
controls() {
    local label="$1" item id want v e out
    shift
    drv controls >"$work/controls.txt"
    for item in "$@"; do
        id="${item%%:*}"
        want="${item#*:}"
        out="$(grep "^control $id " "$work/controls.txt")"
        v="$(sed -n 's/.* visible=\([01]\).*/\1/p' <<<"$out")"
        e="$(sed -n 's/.* enabled=\([01]\).*/\1/p' <<<"$out")"
        case "$want" in
            shown) check "$label: $id shown" test "$v" = 1 ;;
            hidden) check "$label: $id hidden" test "$v" = 0 ;;
            on) check "$label: $id enabled" test "$e" = 1 ;;
            off) check "$label: $id disabled" test "$e" = 0 ;;
            shown+on) check "$label: $id shown and enabled" test "$v$e" = 11 ;;
            shown+off) check "$label: $id shown and disabled" test "$v$e" = 10 ;;
            hidden+on) check "$label: $id hidden and enabled" test "$v$e" = 01 ;;
            hidden+off) check "$label: $id hidden and disabled" test "$v$e" = 00 ;;
        esac
    done
}

text_is() {  # ID TEXT
    local got
    got="$(drv text "$1")"
    check "control $1 reads \"$2\"" test "$got" = "text $1 \"$2\""
}

# shows LABEL ID NAME: control ID shows bitmap NAME on screen, pixel for pixel.
shows() {
    local sid="$2" sname="$3"
    check "$1: $2 shows $3" eval 'drv shows "$sid" "$sname" >"$work/shows.txt"' ||
        sed 's/^/    /' "$work/shows.txt"
}

screenshot() {  # NAME
    local f="$shots/$1.png"
    if import -display "$DISPLAY" -window root "$f" 2>/dev/null; then
        SHOT_LIST+=("$f")
    else
        check "screenshot $1" false
    fi
}

# The box's output has a "message" and a "buttons" line.
expect_box() {  # CAPTION TEXT BUTTONS
    drv wait-box "$1" 60000 >"$work/box.txt"
    check "question titled \"$1\" is up" grep -q '^box ' "$work/box.txt" || return 1
    check "question text \"$2\"" grep -qxF "message \"$2\"" "$work/box.txt"
    check "question buttons $3" grep -qx "buttons $3" "$work/box.txt"
}

# box_size FILE: "W H" of the box described in FILE (guidriver's wait-box output).
box_size() {
    sed -n 's/^box .* rect=[0-9-]*,[0-9-]*,\([0-9]*\),\([0-9]*\) .*/\1 \2/p' "$1"
}

box_gone() { check "$1" eval 'drv wait-no-box 20000 >/dev/null'; }

# One quick look (the walk goes on meanwhile): CANCEL still up, OK still hidden.
still_scanning() {  # WHAT
    controls "$1" 2:shown+on 1070:hidden
}

scanning_layout() {  # LABEL
    controls "$1" 1052:shown+off 1053:shown+on 1054:shown+on 1077:hidden+off 1080:hidden+off \
        2:shown+on 1070:hidden+on 1074:hidden 1075:hidden 1072:hidden 1076:shown 1055:shown \
        1065:shown 1064:shown 1034:shown 1068:shown 1085:shown
    text_is 1064 "Scanning"
    text_is 1076 "Searching for W32/Vendrika Trojan and its variants"
}

finished_layout() {  # LABEL
    controls "$1" 1070:shown+on 2:hidden 1076:hidden 1052:shown+off 1053:shown+on 1054:shown+on \
        1077:hidden 1080:hidden 1074:hidden 1072:hidden 1075:hidden 1055:shown 1065:shown \
        1064:shown 1034:shown 1068:shown 1085:shown
    text_is 1064 ""
}

# Presses SCAN and waits until the walk shows a file of D: (C: is quick; D: is big).
scan_until_d() {
    drv park-mouse >/dev/null
    drv click 1052 >/dev/null
    check "the status line shows the walk on D:" eval 'drv wait-text 1065 "D:\\" 120000 >/dev/null'
}

wait_end() {  # STATUS
    local final_status="$1"
    check "the status line ends with \"$1\"" eval 'drv wait-text 1065 "$final_status" 300000 >/dev/null'
    check "the statistics are in the list" eval 'drv wait-list "Total files scanned" 20000 >/dev/null'
}

# ---------------------------------------------------------------------------------------
mkdir -p "$shots"
rm -f "$shots"/*.png
SHOT_LIST=()
work="$(mktemp -d /tmp/cv-gui.XXXXXX)"
ddrive="$work/d"
mkdir -p "$ddrive"

cv_wine_xvfb_start || exit 1
# The pointer goes to a corner and stays there (see xpointer.py).
python3 "$root/tests/gui/xpointer.py" >"$work/xpointer.txt" 2>&1 &
XPOINTER_PID=$!
for _ in $(seq 1 50); do
    grep -q parked "$work/xpointer.txt" && break
    sleep 0.1
done
cv_wine_prefix_create || exit 1
cv_wine_add_drive d "$ddrive" || exit 1
cv_wine_install "$exe" "$driver_exe" "$resview_exe"
[ -f "$tool_exe" ] && cv_wine_install "$tool_exe"

# D: holds nested folders of small files, and one infected program when the sample tool is
# built.
python3 - "$ddrive" "$BULK" <<'PY'
import os, sys
base, n = sys.argv[1], int(sys.argv[2])
for i in range(1, n + 1):
    d = os.path.join(base, "Archive", "y%d" % (i % 40), "m%d" % (i % 12))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "r%d.txt" % i), "wb") as f:
        f.write(b"record %d\r\n" % i)
PY
mkdir -p "$ddrive/Downloads"
infected_path=""
if [ -f "$tool_exe" ]; then
    if (cd "$WINEPREFIX/drive_c/cvtest" &&
        "$CV_WINE" 'C:\cvtest\e2e_tool.exe' infected 0 'D:\Downloads\setup.exe') >/dev/null 2>&1; then
        infected_path='D:\Downloads\setup.exe'
    fi
fi
echo "prefix, D: and programs ready after $((SECONDS - t_start)) s"

# ---- the program's resources, read from the program itself ----
(cd "$WINEPREFIX/drive_c/cvtest" && "$CV_WINE" 'C:\cvtest\resview.exe' check 'C:\cvtest\CleanVendrika.exe') \
    2>/dev/null | tr -d '\r' >"$work/resources.txt"
check "resources of the program: templates, pictures, icon, version ($(tail -n 1 "$work/resources.txt"))" \
    grep -q '^[0-9]* checks, 0 failed$' "$work/resources.txt" || grep '^FAIL' "$work/resources.txt"

drv park-mouse >/dev/null

# The bare message box template, as the dialog manager sizes it here, for the growth check.
(cd "$WINEPREFIX/drive_c/cvtest" &&
    exec "$CV_WINE" 'C:\cvtest\resview.exe' show142 153 "Terminate the Scan now?") >/dev/null 2>&1 &
resview_pid=$!
drv wait-box 60000 >"$work/template-box.txt"
drv box-key esc >/dev/null
ended_within "$resview_pid" 20
read -r template_w template_h <<<"$(box_size "$work/template-box.txt")"
check "the bare message box template measures ${template_w:-?} x ${template_h:-?}" \
    test -n "$template_w"

# ---- Ready, no product: position, region, layout, texts; Enter; second start; Escape ----
echo "-- ready"
start_cleaner
read -r _ _ _ _ rect _ <<<"$(grep '^window ' "$work/window.txt")"
rect="${rect#rect=}"
IFS=, read -r wx wy ww wh <<<"$rect"
IFS=, read -r ax ay aw ah <<<"$(sed -n 's/^workarea //p' "$work/window.txt")"
check "window is 600 x 462 (got ${ww}x${wh})" test "$ww,$wh" = "600,462"
check "window is centred on the work area (at $wx,$wy)" \
    test "$wx,$wy" = "$((ax + (aw - 600) / 2)),$((ay + (ah - 462) / 2))"
check "window region is the 527 x 338 picture" grep -qx 'region 0,0,527,338' "$work/window.txt"
check "window text is the program title" grep -q "text=\"$TITLE\"\$" "$work/window.txt"
controls "ready" 1052:shown+on 1053:shown+on 1054:shown+on 1068:shown 1072:shown 1074:shown \
    1077:shown+on 1080:shown+on 1085:shown 1070:hidden+off 2:hidden 1064:hidden 1065:hidden \
    1076:hidden 1075:hidden 1034:hidden 1055:hidden
text_is 1074 "CleanVendrika Ver 1.0 - Tool to detect and remove all the variants of W32/Vendrika Trojan"
text_is 1068 "for W32/Vendrika Trojan"
text_is 1065 "Static"
check "SCAN has the focus" grep -qx 'focus 1052' "$work/window.txt"
shows "ready" 1052 SCAN_FOCUS
shows "ready" 1053 DOWNLOAD_NOTFOCUS
shows "ready" 1054 X_NOTFOCUS
shows "ready" 1077 DLINK_NOTFOCUS
shows "ready" 1080 ULINK_NOTFOCUS
shows "ready" 1085 QUILLONLOGO_NOTFOCUS
screenshot ready

drv key enter >/dev/null
sleep 1
check "Enter leaves the window open" eval '! drv wait-gone 500 >/dev/null'
controls "after Enter" 1052:shown+on 1055:hidden 2:hidden

first_pid=$CLEANER_PID
(cd "$WINEPREFIX/drive_c/cvtest" && exec "$CV_WINE" 'C:\cvtest\CleanVendrika.exe') >/dev/null 2>&1 &
second_pid=$!
check "a second start ends by itself" ended_within "$second_pid" 30
check "a second start shows no window of its own" \
    eval 'drv count-title "$TITLE" | grep -qx "count 1"'
drv window >"$work/window2.txt"
check "the first window stays where it was" \
    eval 'test "$(grep ^window "$work/window.txt")" = "$(grep ^window "$work/window2.txt")"'
CLEANER_PID=$first_pid

# The mouse over a button highlights it and gives it the focus; leaving it drops the
# highlight and keeps the focus.
drv hover 400 80 >"$work/hover.txt"
check "hovering over DOWNLOAD gives it the focus" grep -qx 'focus 1053' "$work/hover.txt"
shows "hovered" 1053 DOWNLOAD_FOCUS
drv hover 300 150 >"$work/hover.txt"
check "leaving DOWNLOAD keeps the focus on it" grep -qx 'focus 1053' "$work/hover.txt"
shows "left" 1053 DOWNLOAD_NOTFOCUS

# Pressing on the body and moving the mouse drags the captionless window; the logo does not.
drv drag 260 80 40 30 >"$work/drag.txt"
check "dragging the body moves the window by 40,30" \
    grep -q "^window .* rect=$((wx + 40)),$((wy + 30)),600,462 " "$work/drag.txt"
drv drag 490 295 -50 -50 >"$work/drag.txt"
check "dragging from the logo leaves the window where it is" \
    grep -q "^window .* rect=$((wx + 40)),$((wy + 30)),600,462 " "$work/drag.txt"
drv park-mouse >/dev/null

drv key esc >/dev/null
closes "Escape before a scan"

# ---- the maker's product installed: DOWNLOAD disabled, no link, the notice ----
echo "-- product installed"
reg_ add 'HKLM\Software\Quillon\Wardenix 2000' /v 'Installed Folder' /d 'C:\Program Files\Wardenix' /f
start_cleaner
controls "product installed" 1053:shown+off 1077:hidden+off 1075:shown 1052:shown+on 1080:shown+on
text_is 1075 "This program is a part of Wardenix antivirus software."
shows "product installed" 1053 DOWNLOAD_DISABLE
screenshot ready-product
drv click 1054 >/dev/null
closes "X before a scan"

echo "-- product key without its value"
reg_ delete 'HKLM\Software\Quillon\Wardenix 2000' /v 'Installed Folder' /f
start_cleaner
controls "key without value" 1053:shown+on 1077:shown+on 1075:hidden
drv sysclose >/dev/null
closes "the system close command before a scan"
reg_ delete 'HKLM\Software\Quillon\Wardenix 2000' /f

# ---- a whole scan; stop questions answered No on the way ----
echo "-- scan to the end"
start_cleaner
scan_until_d
screenshot scanning

# While a question is up the walk waits for the answer, so the layout is checked then.
drv click 2 >/dev/null
expect_box "$TITLE" "Terminate the Scan now?" "6 7"
screenshot question
# The 23-character question grows the box by 12 x 7 pixels; the box is centred over the
# main window and shows the question icon and the 92 x 24 YES and NO images.
read -r bw bh <<<"$(box_size "$work/box.txt")"
check "the question box is the template grown by 12 x 7 (${bw:-?} x ${bh:-?})" \
    test "${bw:-0},${bh:-0}" = "$((template_w + 12)),$((template_h + 7))"
IFS=, read -r bx by _ _ <<<"$(sed -n 's/^box .* rect=\([0-9,-]*\) .*/\1/p' "$work/box.txt")"
drv window >"$work/window-now.txt"
IFS=, read -r mx my _ _ <<<"$(sed -n 's/^window .* rect=\([0-9,-]*\) .*/\1/p' "$work/window-now.txt")"
dx=$(((2 * bx + bw) - (2 * mx + 600)))
dy=$(((2 * by + bh) - (2 * my + 462)))
check "the question box is centred over the main window (off by $dx/2, $dy/2)" \
    test "${dx#-}" -le 1 -a "${dy#-}" -le 1
check "YES is 92 x 24" grep -q '^control 6 class=Button visible=1 enabled=1 rect=[0-9-]*,[0-9-]*,92,24 ' "$work/box.txt"
check "NO is 92 x 24" grep -q '^control 7 class=Button visible=1 enabled=1 rect=[0-9-]*,[0-9-]*,92,24 ' "$work/box.txt"
box_shows() {
    local sid="$1" sname="$2"
    check "question: $1 shows $2" eval 'drv box-shows "$sid" "$sname" >"$work/shows.txt"' ||
        sed 's/^/    /' "$work/shows.txt"
}
box_shows 1085 "#153"
box_shows 7 NO_NOTFOCUS
scanning_layout "scanning, asked to stop"
shows "scanning" 1052 SCAN_DISABLE
drv box-click 7 >/dev/null
box_gone "NO closes the question"
still_scanning "after NO to CANCEL"

drv click 1054 >/dev/null
expect_box "DialogBoxTitle" "Terminate the Scan now?" "6 7"
drv box-key esc >/dev/null
box_gone "Escape closes the question"
still_scanning "after Escape in the question"
# The release of that Escape reaches the window once the question has gone.
check "the release of the Escape that answered asks nothing" eval '! drv wait-box 700 >/dev/null'

# The walk's own question, asked by a press of Escape and answered by another.
drv key esc >/dev/null
expect_box "$TITLE" "Terminate the Scan now?" "6 7"
drv box-key esc >/dev/null
box_gone "Escape closes the walk's Escape question"
still_scanning "after Escape in the walk's Escape question"
check "the release of the Escape that answered the walk's question asks nothing" \
    eval '! drv wait-box 700 >/dev/null'

drv click 1054 >/dev/null
expect_box "DialogBoxTitle" "Terminate the Scan now?" "6 7"
drv box-close >/dev/null
box_gone "the question's close box closes it"
still_scanning "after closing the question"

# Enter in either stop question presses the focused button: Tab takes the focus from YES
# to NO, and Enter then answers NO in the window's question and in the walk's alike.
drv click 2 >/dev/null
expect_box "$TITLE" "Terminate the Scan now?" "6 7"
drv box-key tab >/dev/null
drv box-key enter >/dev/null
box_gone "Enter on NO closes the CANCEL question"
still_scanning "after Enter on NO in the CANCEL question"
drv key esc >/dev/null
expect_box "$TITLE" "Terminate the Scan now?" "6 7"
drv box-key tab >/dev/null
drv box-key enter >/dev/null
box_gone "Enter on NO closes the walk's Escape question"
still_scanning "after Enter on NO in the walk's Escape question"

drv key enter >/dev/null
still_scanning "after Enter during the scan"
check "Enter during the scan asks nothing" eval '! drv wait-box 300 >/dev/null'

wait_end "Scanning completed"
finished_layout "finished"
drv list >"$work/list.txt"
count=$(sed -n 's/^count //p' "$work/list.txt")
check "the list holds the statistics ($count lines)" grep -q 'Total files removed' "$work/list.txt"
check "the newest line is selected" grep -qx "selected $((count - 1))" "$work/list.txt"
if [ -n "$infected_path" ]; then
    check "the list reports the infected file removed" \
        grep -qF "line 0 \"${infected_path//\\/\\\\}     W32/Vendrika.Gen.Trojan removed\"" "$work/list.txt"
    check "the infected file is gone from D:" test ! -e "$ddrive/Downloads/setup.exe"
fi
check "every ordinary file of D: is still there" \
    test "$(find "$ddrive/Archive" -type f | wc -l)" -eq "$BULK"
screenshot finished
sed -n 's/^line [0-9]* /  list: /p' "$work/list.txt"

drv key enter >/dev/null
sleep 1
check "Enter after the scan leaves the window open" eval '! drv wait-gone 500 >/dev/null'
drv click 1070 >/dev/null
closes "OK after the scan"

# ---- stops confirmed with CANCEL, X and Escape ----
stop_run() {  # HOW CAPTION CLOSE-AFTER
    local how="$1" caption="$2" close="$3"
    echo "-- stop with $how"
    start_cleaner
    scan_until_d
    case "$how" in
        CANCEL) drv click 2 >/dev/null ;;
        X) drv click 1054 >/dev/null ;;
        Escape) drv key esc >/dev/null ;;
    esac
    expect_box "$caption" "Terminate the Scan now?" "6 7"
    drv box-click 6 >/dev/null
    box_gone "YES closes the question"
    if [ "$how" != Escape ]; then
        # A confirmed stop swaps CANCEL for OK at once, before the walk ends.
        controls "stop with $how confirmed" 1070:shown+on 2:hidden
    fi
    wait_end "Scanning terminated"
    finished_layout "stopped with $how"
    case "$close" in
        esc) drv key esc >/dev/null ;;
        x) drv click 1054 >/dev/null ;;
        sys) drv sysclose >/dev/null ;;
    esac
    closes "$close after a stopped scan"
}
# ---- a stop asked while the scan is starting, before the scan timer's first tick ----
echo "-- stop asked while the scan is starting"
start_cleaner
drv park-mouse >/dev/null
drv clicks 1052 2 >/dev/null
expect_box "$TITLE" "Terminate the Scan now?" "6 7"
sleep 1
# (The status line may read empty: the question disabled the window, and the enable
# notification shows the still empty status text.)
check "no file is walked under the question" eval '! drv wait-text 1065 ":\\" 300 >/dev/null'
check "no scan runs under the question" eval '! drv wait-list "Total files" 300 >/dev/null'
drv box-click 6 >/dev/null
box_gone "YES closes the question"
controls "stop confirmed while starting" 1070:shown+on 2:hidden
wait_end "Scanning terminated"
drv list >"$work/list.txt"
check "a stop confirmed while starting scans nothing" \
    grep -qF 'Total files scanned\t\t:  0"' "$work/list.txt"
screenshot stopped-while-starting
drv click 1070 >/dev/null
closes "OK after a stop confirmed while starting"

stop_run CANCEL "$TITLE" esc
stop_run X "DialogBoxTitle" x
stop_run Escape "$TITLE" sys

echo
echo "screenshots:"
for f in "${SHOT_LIST[@]}"; do echo "  $f"; done
echo "time $((SECONDS - t_start)) s"
echo "$CHECKS checks, $FAILS failed"
[ "$FAILS" -eq 0 ]
