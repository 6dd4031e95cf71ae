#!/usr/bin/env bash
# vendrika-scan.exe, the console program, end to end: for each Windows
# version mode a fresh throwaway Wine prefix with the infected machine of the
# window's scenarios (running sample, locked file, decoys, start-up values, a
# worm hosts file), then the program run as a script would run it:
#
#   report-only (text, then JSON): every infection listed, exit 1, nothing
#     changed (every file of C: and D: hashed before and after, the values,
#     the running sample);
#   --remove --json --log: every JSON line parsed, one summary and last, the
#     log the same lines, the infections gone or scheduled, the values and
#     the hosts file gone, the running sample ended, exit 3 (a restart
#     finishes the removal); after the restart a scan finds nothing, exit 0;
#   wrong arguments and a PATH that is no folder: exit 2, nothing scanned;
#   Ctrl-C: the scan stops with its summary, exit 2.
#
# No run may create a window or show a message box: each one runs with
# Wine's window and dialog trace channels on, and a window created by the
# program fails the check (its own process only: a session of the prefix is
# kept running, so no other Wine process starts with the program's output).
#
#   tests/e2e/run_console.sh BUILD_DIR [MODE ...]     MODE: win98 winxp win7 (the default: all three)
#
# BUILD_DIR is the Windows build Wine can run here; it must hold
# offline/vendrika-scan.exe and tests/e2e/e2e_tool.exe. CV_CONSOLE_EXE: the
# program under test when it is not the build's own (the release product).
# CV_CONSOLE_OUT=DIR keeps each run's output and Wine trace there.
set -u
E2E_DIR="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$E2E_DIR/../.." && pwd)"
# shellcheck source=../../scripts/lib/wine.sh
. "$root/scripts/lib/wine.sh"

build="$(cd "${1:?usage: tests/e2e/run_console.sh BUILD_DIR [MODE ...]}" && pwd)" || exit 2
shift
programs=("${CV_CONSOLE_EXE:-$build/offline/vendrika-scan.exe}" "$build/tests/e2e/e2e_tool.exe")
for p in "${programs[@]}"; do
    if [ ! -f "$p" ]; then
        echo "console: $p not found (build the Windows targets first)" >&2
        exit 2
    fi
done
cv_wine_pick_arch || exit 2
if ! cv_pe_matches_arch "${programs[0]}"; then
    echo "console: ${programs[0]} is not a $CV_WIN_ARCH program; Wine here runs $CV_WIN_ARCH only" >&2
    exit 2
fi
modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(winxp win98 win7)

E2E_ROOT="$(mktemp -d /tmp/cv-console.XXXXXX)"
cleanup() { cv_wine_cleanup_below "$E2E_ROOT"; }
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

t0=$SECONDS
# A display, as on a desktop: a window or box the program made would be real.
cv_wine_xvfb_start || exit 2
cv_wine_prefix_create || exit 2
base="$WINEPREFIX"
cv_wine_stop_server
echo "console: base prefix ready in $((SECONDS - t0)) s ($CV_WIN_ARCH)"

# ---- the program, run as a script runs it ----
# vscan NAME ARGS...: runs it once with the trace channels on; its standard
# output in $E2E_WORK/NAME.out, its exit status in VSCAN_RC. Fails a check
# when the program made a window or a message box.
VSCAN_TRACE='+pid,trace+win,trace+msgbox,trace+dialog'
vscan() {
    local name="$1"
    shift
    session_keep
    WINEDEBUG="$VSCAN_TRACE" wine_ 'E:\vendrika-scan.exe' "$@" >"$E2E_WORK/$name.out" 2>"$E2E_WORK/$name.err"
    VSCAN_RC=$?
    session_release
    tr -d '\r' <"$E2E_WORK/$name.out" >"$E2E_WORK/$name.txt"
    local windows
    windows="$(grep -E 'trace:(win|msgbox|dialog):.*(CreateWindow|MessageBox|DialogBox)' "$E2E_WORK/$name.err" | head -n 3)"
    check "$name: no window and no message box" test -z "$windows" || printf '    %s\n' "$windows"
    e2e_log "$name: exit $VSCAN_RC, $(wc -l <"$E2E_WORK/$name.txt") lines"
}

status_is() {  # NAME EXPECTED
    check "$1: exit status $2" test "$VSCAN_RC" = "$2" || sed -n '1,15s/^/    | /p' "$E2E_WORK/$1.txt" "$E2E_WORK/$1.err" | grep -v ':trace:\|:fixme:'
}

# Every file of C: and D: with its SHA-256.
drive_hashes() {
    (cd "$WINEPREFIX/drive_c" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum | sed 's|^|C |')
    (cd "$E2E_DDRIVE" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum | sed 's|^|D |')
}

sample_runs() { tool procs | tr -d '\r' | grep -qix 'process [0-9]* runner.exe'; }

# The text report names each infection as "PATH: NAME FOUND".
text_lists_every_infection() {  # NAME
    local p missing=""
    for p in "${E2E_INFECTED[@]}"; do
        grep -qiF -- "$p: " "$E2E_WORK/$1.txt" || missing="$missing $p"
    done
    check "$1: every infection listed FOUND" test -z "$missing" || e2e_log "missing:$missing"
    # Each once, and counted once: nothing changes, so a file found is not
    # looked at again (the hosts file, which every detection checks; the
    # running sample, met in memory and again by the walk).
    check "$1: each infection FOUND once" test "$(grep -c ' FOUND$' "$E2E_WORK/$1.txt")" = "${#E2E_INFECTED[@]}"
    check "$1: each infection counted once" \
        grep -qx "Total files infected.*:  ${#E2E_INFECTED[@]}" "$E2E_WORK/$1.txt"
    local line path others=""
    while IFS= read -r line; do
        path="${line%: * FOUND}"
        for p in "${E2E_INFECTED[@]}"; do
            [ "${path,,}" = "${p,,}" ] && continue 2
        done
        others="$others $path"
    done < <(grep ' FOUND$' "$E2E_WORK/$1.txt")
    check "$1: FOUND lines only for infections" test -z "$others" || e2e_log "not planted as infections:$others"
}

# json_check NAME EXIT ACTIONS: every line one JSON object, one summary, the
# last, with exit_code EXIT; each infection has a detection (or hosts)
# object, and every such object's action is one of ACTIONS (comma-separated).
json_check() {
    local name="$1" code="$2" actions="$3" out
    out="$(python3 - "$E2E_WORK/$name.txt" "$code" "$actions" "${E2E_INFECTED[@]}" <<'EOF'
import json, sys
path, code, actions, infected = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(","), sys.argv[4:]
lines = [l for l in open(path, encoding="utf-8").read().split("\n") if l]
objects, bad = [], []
for l in lines:
    try:
        o = json.loads(l)
        if not isinstance(o, dict) or "type" not in o:
            raise ValueError("not an object with a type")
        objects.append(o)
    except ValueError as e:
        bad.append("%r: %s" % (l[:80], e))
for b in bad:
    print("unparsed " + b)
summaries = [o for o in objects if o["type"] == "summary"]
if len(summaries) != 1 or objects[-1]["type"] != "summary":
    print("summaries: %d, last line %s" % (len(summaries), objects[-1]["type"] if objects else "none"))
elif summaries[0].get("exit_code") != code:
    print("summary exit_code %r" % summaries[0].get("exit_code"))
detections = [o for o in objects if o["type"] in ("detection", "hosts")]
for o in detections:
    if o.get("action") not in actions:
        print("%s: %s" % (o.get("windows_path"), o.get("action")))
for p in infected:
    if not any(o.get("windows_path", "").lower() == p.lower() for o in detections):
        print("no detection of " + p)
print("objects %d" % len(objects))
EOF
)"
    check "$name: JSON lines parse, one summary last, every infection $actions" \
        test "$(printf '%s\n' "$out" | grep -vc '^objects ')" = 0 || printf '    %s\n' "$out"
    e2e_log "$name: $(printf '%s\n' "$out" | grep '^objects ')"
}

# ---- one Windows version mode ----
run_mode() {
    E2E_VERSION="$1"
    # Ctrl-C once, in the first mode (a long drive of its own takes a while).
    mode_ctrl_c=no
    [ "$1" = "${modes[0]}" ] && mode_ctrl_c=yes
    . "$E2E_DIR/scenarios/common.inc"
    plant_infected_machine
    worm_hosts
    plant_commit

    # Report-only: everything listed, nothing changed.
    check "the sample runs before the scan" sample_runs
    local before values=()
    before="$(drive_hashes)"
    vscan report
    status_is report 1
    text_lists_every_infection report
    check "report: the statistics and the final status" grep -qx 'Scanning completed' "$E2E_WORK/report.txt"
    vscan report-json --json
    status_is report-json 1
    json_check report-json 1 found,would_remove
    check "report-json: summary infected ${#E2E_INFECTED[@]}" grep -q "\"infected\":${#E2E_INFECTED[@]}," \
        "$E2E_WORK/report-json.txt"
    check "report-only: every file of C: and D: unchanged" test "$(drive_hashes)" = "$before" ||
        diff <(printf '%s\n' "$before") <(drive_hashes) | head -n 6 | sed 's/^/    /'
    local entry
    for entry in "${E2E_VALUES_GONE[@]}"; do
        check "report-only: value ${entry#*|} kept" value_exists "${entry%%|*}" "${entry#*|}"
    done
    check "report-only: the sample still runs" sample_runs
    check "report-only: no deletion scheduled" eval '! is_scheduled "D:\Locked\held.exe"'

    # Wrong arguments and a PATH that is not a folder: nothing scanned.
    vscan wrong -r
    status_is wrong 2
    check "wrong: nothing on standard output" test ! -s "$E2E_WORK/wrong.txt"
    vscan nopath --json 'D:\No Such Folder'
    status_is nopath 2
    check "nopath: nothing on standard output" test ! -s "$E2E_WORK/nopath.txt"
    # A report that cannot be written stops the scan: exit 2, told on standard error.
    session_keep
    wine_ 'E:\vendrika-scan.exe' --json >/dev/full 2>"$E2E_WORK/full.err"
    VSCAN_RC=$?
    session_release
    : >"$E2E_WORK/full.txt"
    status_is full 2
    check "full: told on standard error" grep -q 'the report cannot be written.*the scan was stopped there' "$E2E_WORK/full.err"

    # --remove: cleaned as the window cleans, the restart told by its status.
    vscan remove --remove --json --log 'E:\scan.json'
    status_is remove 3
    json_check remove 3 removed,not_removed
    check "remove: the locked file's deletion told as scheduled" \
        grep -qiF '"type":"scheduled","path":"D:\\Locked\\held.exe"' "$E2E_WORK/remove.txt"
    check "remove: the restart told" grep -q '"type":"restart"' "$E2E_WORK/remove.txt"
    check "remove: the log holds the same lines" cmp -s <(tr -d '\r' <"$E2E_EDRIVE/scan.json") "$E2E_WORK/remove.txt"
    check "remove: the running sample ended" eval '! sample_runs'
    check_machine
    restart_prefix
    check_machine restarted

    # After the restart: nothing left, exit 0; a folder of its own too.
    vscan clean --json
    status_is clean 0
    check "clean: summary infected 0" grep -q '"infected":0,' "$E2E_WORK/clean.txt"
    # The folder from a PATH list written on Windows (CR LF).
    printf 'D:\\Docs\r\n\r\n' >"$E2E_EDRIVE/paths.txt"
    vscan folder -f 'E:\paths.txt'
    status_is folder 0
    check "folder: only the named folder walked" grep -q 'Total files scanned.*:  2$' "$E2E_WORK/folder.txt"

    # A name outside ASCII (D:\Café\café.exe): the text report in the
    # console's code page (with no console the OEM one, 437 here: é is
    # 0x82), the JSON in UTF-8.
    mkdir -p "$E2E_DDRIVE/Café"
    tool infected 8 'E:\accent.exe' >/dev/null 2>&1
    mv "$E2E_EDRIVE/accent.exe" "$E2E_DDRIVE/Café/café.exe"
    LC_ALL=C.UTF-8 vscan accent 'D:\Café'
    status_is accent 1
    check "accent: the path in the console's code page" \
        env LC_ALL=C grep -qF "$(printf 'D:\\Caf\x82\\caf\x82.exe: W32/')" "$E2E_WORK/accent.txt"
    LC_ALL=C.UTF-8 vscan accent-json --json 'D:\Café'
    check "accent-json: the path in UTF-8" python3 -c '
import json, sys
o = json.loads(open(sys.argv[1], encoding="utf-8").readline())
sys.exit(0 if o["path"] == "D:\\Caf\u00e9\\caf\u00e9.exe" else 1)' "$E2E_WORK/accent-json.txt"
    rm -rf "$E2E_DDRIVE/Café"
    [ "$mode_ctrl_c" = yes ] && ctrl_c
}

# Ctrl-C in the middle of a long scan (Wine turns SIGINT into the console's
# CTRL_C_EVENT): the walk stops, the summary follows, exit 2.
ctrl_c() {
    python3 -c '
import os, sys
for i in range(20000):
    d = os.path.join(sys.argv[1], "f%d" % (i % 40), "g%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    open(os.path.join(d, "n%d.txt" % i), "w").write("file %d\r\n" % i)
' "$E2E_DDRIVE/Bulk"
    local files pid i scanned
    files=$(count_files)
    session_keep
    (cd "$E2E_EDRIVE" && WINEDEBUG="$VSCAN_TRACE" exec "$CV_WINE" 'E:\vendrika-scan.exe' --json --log 'E:\stopped.json') \
        >"$E2E_WORK/stopped.out" 2>"$E2E_WORK/stopped.err" &
    pid=$!
    # Interrupted as soon as its log is there (the stop is in place then):
    # during the memory step or early in the walk of the 20,000 files.
    for i in $(seq 1 200); do
        [ -e "$E2E_EDRIVE/stopped.json" ] && break
        sleep 0.05
    done
    kill -INT "$pid"
    for i in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    wait "$pid"
    VSCAN_RC=$?
    session_release
    tr -d '\r' <"$E2E_WORK/stopped.out" >"$E2E_WORK/stopped.txt"
    e2e_log "stopped: exit $VSCAN_RC, $(wc -l <"$E2E_WORK/stopped.txt") lines, $files files on the drives"
    status_is stopped 2
    check "stopped: the summary last, the scan terminated" \
        eval 'tail -n 1 "$E2E_WORK/stopped.txt" | grep -q "\"type\":\"summary\".*\"status\":\"Scanning terminated\""'
    scanned="$(tail -n 1 "$E2E_WORK/stopped.txt" | sed -n 's/.*"scanned":\([0-9]*\),.*/\1/p')"
    check "stopped: fewer files scanned than there are (${scanned:-none} of $files)" test "${scanned:-$files}" -lt "$files"
    check "stopped: the log holds the same lines" cmp -s <(tr -d '\r' <"$E2E_EDRIVE/stopped.json") "$E2E_WORK/stopped.txt"
    local windows
    windows="$(grep -E 'trace:(win|msgbox|dialog):.*(CreateWindow|MessageBox|DialogBox)' "$E2E_WORK/stopped.err" | head -n 3)"
    check "stopped: no window and no message box" test -z "$windows" || printf '    %s\n' "$windows"
}

passed=0
failed=0
summary=()
for mode in "${modes[@]}"; do
    work="$E2E_ROOT/$mode"
    mkdir -p "$work/d" "$work/e"
    s0=$SECONDS
    (
        set -u
        export E2E_NAME="console-$mode" E2E_WORK="$work" E2E_DDRIVE="$work/d" E2E_EDRIVE="$work/e" E2E_DIR
        cp -a "$base" "$work/prefix"
        rm -f "$work/prefix/wineserver"
        export WINEPREFIX="$work/prefix"
        cv_wine_env
        # shellcheck source=lib.sh
        . "$E2E_DIR/lib.sh"
        ln -s "$E2E_DDRIVE" "$WINEPREFIX/dosdevices/d:"
        ln -s "$E2E_EDRIVE" "$WINEPREFIX/dosdevices/e:"
        printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n"Version"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n"e:"="network"\r\n' \
            "$mode" >"$E2E_EDRIVE/settings.reg"
        (cd "$E2E_EDRIVE" && timeout 120 "$CV_WINE" regedit /S 'E:\settings.reg') >/dev/null 2>&1
        rm -f "$E2E_EDRIVE/settings.reg"
        "$CV_WINESERVER" -k >/dev/null 2>&1
        "$CV_WINESERVER" -w >/dev/null 2>&1
        cp "${programs[@]}" "$E2E_EDRIVE/"
        echo "--- console $mode"
        run_mode "$mode"
        "$CV_WINESERVER" -k >/dev/null 2>&1
        # CV_CONSOLE_OUT=DIR keeps what the program printed, per mode.
        if [ -n "${CV_CONSOLE_OUT:-}" ]; then
            mkdir -p "$CV_CONSOLE_OUT/$mode" && cp "$work"/*.txt "$work"/*.err "$CV_CONSOLE_OUT/$mode/" 2>/dev/null
        fi
        echo "$E2E_CHECKS $E2E_FAILS" >"$work/result"
    )
    cv_wine_remove_prefix "$work/prefix"
    read -r checks fails <"$work/result" 2>/dev/null || { checks=0; fails=1; }
    if [ "$fails" = 0 ] && [ "$checks" -gt 0 ]; then
        passed=$((passed + 1))
        summary+=("PASS console-$mode ($checks checks, $((SECONDS - s0)) s)")
    else
        failed=$((failed + 1))
        summary+=("FAIL console-$mode ($fails of $checks checks failed, $((SECONDS - s0)) s)")
    fi
    rm -rf "$work"
done

echo "=== vendrika-scan.exe"
printf '%s\n' "${summary[@]}"
echo "console: $passed passed, $failed failed in $((SECONDS - t0)) s"
[ "$failed" = 0 ]
