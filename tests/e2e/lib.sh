# The end-to-end harness's vocabulary, sourced by run.sh and the scenarios.
#
# A scenario plants a machine with the helpers below (each one also records
# what must hold afterwards), drives the real CleanVendrika.exe from outside
# and compares the lines its result list received with the lines written by
# hand in expected/. After the run every planted infection must be gone or
# scheduled for deletion, every planted launching value gone, every decoy and
# ordinary file byte for byte unchanged, the unrelated values and processes
# still there.
#
# The prefix: C: (the prefix's own drive) and D: (a folder of the scenario)
# are the only fixed drives. The harness's own programs and logs sit on E:,
# a network drive, which the cleaner never walks, so they change no count.

E2E_FAILS=0
E2E_CHECKS=0
E2E_INFECTED=()      # Windows paths that must be gone (or scheduled, see E2E_SCHEDULED)
E2E_SCHEDULED=()     # Windows paths whose deletion must be pending, then done by a restart
E2E_UNCHANGED=()     # "windows-path sha256" of decoys and ordinary files
E2E_VALUES_GONE=()   # "KEY|NAME" of values that launch an infection
E2E_VALUES_KEPT=()   # "KEY|NAME|DATA" of values that must stay
E2E_KEEP_PIDS=()     # Linux process ids of unrelated programs that must survive
E2E_HOSTS=""         # "worm" or "normal": what the hosts file was

E2E_RUN_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
E2E_RUNSERVICES_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'

e2e_log() { printf '  %s\n' "$*"; }

# check NAME CONDITION-COMMAND...: one named check, counted.
check() {
    local _what="$1"
    shift
    E2E_CHECKS=$((E2E_CHECKS + 1))
    if "$@"; then
        return 0
    fi
    E2E_FAILS=$((E2E_FAILS + 1))
    printf '  FAIL %s\n' "$_what"
    return 1
}

# The Linux path of a Windows path on C:, D: or E:.
unixpath() {
    local p="$1" drive rest base
    drive="$(printf '%s' "${p:0:1}" | tr 'A-Z' 'a-z')"
    rest="${p:2}"
    rest="${rest//\\//}"
    case "$drive" in
        c) base="$WINEPREFIX/drive_c" ;;
        d) base="$E2E_DDRIVE" ;;
        e) base="$E2E_EDRIVE" ;;
        *) return 1 ;;
    esac
    printf '%s%s' "$base" "$rest"
}

wine_() { (cd "$E2E_EDRIVE" && timeout -k 5 "${E2E_CALL_TIMEOUT:-120}" "$CV_WINE" "$@"); }
tool() { wine_ 'E:\e2e_tool.exe' "$@"; }
driver() { wine_ 'E:\guidriver.exe' "$@"; }

# Registry view of the program under test: a 64-bit program reads the 64-bit
# view, which `wine reg` only writes when told so.
regview() { [ "$CV_WIN_ARCH" = x86_64 ] && printf '/reg:64'; }
reg_() { wine_ reg "$@" $(regview) >/dev/null 2>&1; }

mkparent() { mkdir -p "$(dirname "$(unixpath "$1")")"; }

# ---- planting ----
# The helpers write one plan that e2e_tool carries out in one start
# (plant_commit); files are hashed and programs started after it.

E2E_PENDING_HASH=()
E2E_STARTS=()

plan() {  # ARGS...: one line of the plan, tab-separated
    local IFS=$'\t'
    printf '%s\n' "$*" >>"$E2E_WORK/plan"
}

infected() {  # REC PATH [ATTRIBUTES]
    mkparent "$2"
    plan infected "$1" "$2"
    [ -n "${3:-}" ] && plan attrib "$2" "$3"
    E2E_INFECTED+=("$2")
}

scheduled() {  # PATH: an infection whose deletion must end up pending
    E2E_SCHEDULED+=("$1")
}

runnable() {  # REC PATH
    mkparent "$2"
    plan runnable "$1" "$2"
    E2E_INFECTED+=("$2")
}

remember_unchanged() {
    E2E_PENDING_HASH+=("$1")
}

decoy() {  # REC KIND PATH
    mkparent "$3"
    plan decoy "$1" "$2" "$3"
    remember_unchanged "$3"
}

ordinary() {  # PATH TEXT
    mkparent "$1"
    printf '%s\r\n' "$2" >"$(unixpath "$1")"
    remember_unchanged "$1"
}

hosts_path() {  # the hosts file the cleaner checks in this Windows mode
    case "$E2E_VERSION" in
        win95 | win98 | winme) printf 'C:\\windows\\hosts' ;;
        *) printf 'C:\\windows\\system32\\drivers\\etc\\hosts' ;;
    esac
}

worm_hosts() {
    local h
    h="$(hosts_path)"
    mkparent "$h"
    plan hosts "$h"
    E2E_HOSTS=worm
    E2E_INFECTED+=("$h")
}

normal_hosts() {
    local h
    h="$(hosts_path)"
    mkparent "$h"
    printf '# hosts of a clean machine\r\n127.0.0.1 localhost\r\n::1 localhost\r\n' >"$(unixpath "$h")"
    E2E_HOSTS=normal
    remember_unchanged "$h"
}

# "HKLM\Sub\Key" without its root, as e2e_tool takes it.
subkey() { printf '%s' "${1#HKLM\\}"; }

launch_value() {  # KEY NAME REG_SZ|REG_EXPAND_SZ DATA: a value that launches an infection
    local type=sz
    [ "$3" = REG_EXPAND_SZ ] && type=expand
    plan reg "$(subkey "$1")" "$2" "$type" "$4"
    E2E_VALUES_GONE+=("$1|$2")
}

unrelated_value() {  # KEY NAME DATA
    plan reg "$(subkey "$1")" "$2" sz "$3"
    E2E_VALUES_KEPT+=("$1|$2|$3")
}

product_key() {
    plan reg 'Software\Quillon\Wardenix 2000' 'Installed Folder' sz 'C:\Program Files\Wardenix'
}

# start PATH: runs a planted program; it stays alive until killed.
start_program() {
    E2E_STARTS+=("start|$1")
}

# hold PATH: an unrelated program keeps PATH open: readable, not deletable.
# lock PATH: the same, but not even readable.
hold_file() { E2E_STARTS+=("hold|$1"); }
lock_file() { E2E_STARTS+=("lock|$1"); }

# The session of the prefix (its wineserver) lives while a program of it
# runs, and lingers a few seconds after the last one. The first program of a
# new session has Wine run wineboot, which starts every RunServices value it
# finds: planted launching values would start their infected files (no real
# programs: they crash into the debugger, which keeps them locked). A 64-bit
# Wine cannot start these 32-bit files at all; a 32-bit one does.
# session_keep starts a program that keeps the session alive and returns once
# the session's start-up is over; session_release ends that program.
E2E_SESSION_PID=""
session_keep() {
    local i list
    : >"$E2E_EDRIVE/session.txt"
    (cd "$E2E_EDRIVE" && exec "$CV_WINE" 'E:\e2e_tool.exe' hold 'E:\session.txt') \
        >"$E2E_WORK/session.log" 2>&1 &
    E2E_SESSION_PID=$!
    for i in $(seq 1 300); do
        if grep -q holding "$E2E_WORK/session.log" 2>/dev/null; then
            list="$(tool procs 2>/dev/null | tr -d '\r')"
            if printf '%s\n' "$list" | grep -qi ' services\.exe$' &&
                ! printf '%s\n' "$list" | grep -qi ' wineboot\.exe$'; then
                return 0
            fi
        fi
        sleep 0.1
    done
    e2e_log "the prefix's session did not start in 30 s"
}

session_release() {
    [ -n "$E2E_SESSION_PID" ] || return 0
    kill "$E2E_SESSION_PID" 2>/dev/null
    wait "$E2E_SESSION_PID" 2>/dev/null
    E2E_SESSION_PID=""
    rm -f "$E2E_EDRIVE/session.txt"
}

# Plants the machine and starts its programs within one session, so that
# the planted RunServices values are never seen by a starting session
# (the programs started here keep the session alive afterwards).
plant_commit() {
    local p entry how
    session_keep
    if [ -s "$E2E_WORK/plan" ]; then
        cp "$E2E_WORK/plan" "$E2E_EDRIVE/plan.txt"
        check "machine planted" eval 'tool batch "E:\plan.txt" | tr -d "\r" | sed "s/^/    /"; test ${PIPESTATUS[0]} = 0'
        rm -f "$E2E_EDRIVE/plan.txt"
    fi
    for p in "${E2E_PENDING_HASH[@]}"; do
        E2E_UNCHANGED+=("$p $(sha256sum "$(unixpath "$p")" | cut -d' ' -f1)")
    done
    for entry in "${E2E_STARTS[@]}"; do
        how="${entry%%|*}"
        p="${entry#*|}"
        if [ "$how" = start ]; then
            tool start "$p" >/dev/null || echo "  cannot start $p"
        else
            (cd "$E2E_EDRIVE" && exec "$CV_WINE" 'E:\e2e_tool.exe' "$how" "$p") >/dev/null 2>&1 &
            E2E_KEEP_PIDS+=("$!")
        fi
    done
    session_release
}

# Many small ordinary files in nested folders of D:, so that a scan takes a
# while (the stop scenarios).
bulk_files() {  # COUNT
    local base="$E2E_DDRIVE/Bulk" i j
    for i in $(seq 0 19); do
        for j in $(seq 0 6); do mkdir -p "$base/f$i/g$j"; done
    done
    for ((i = 1; i <= $1; i++)); do
        printf 'file %d\r\n' "$i" >"$base/f$((i % 20))/g$((i % 7))/n$i.txt"
    done
}

# ---- driving ----

screenshot() {  # NAME
    local f="$E2E_SHOTS/$E2E_NAME-$1.png"
    import -display "$DISPLAY" -window root "$f" 2>/dev/null && E2E_SHOT_LIST+=("$f")
}

# Starts the cleaner from E:\ as a user would (double click), with the line
# recorder hooked in first.
start_cleaner() {
    stop_recorder
    rm -f "$E2E_EDRIVE/lines.txt" "$E2E_EDRIVE/status.txt" "$E2E_EDRIVE/stop"
    (cd "$E2E_EDRIVE" && exec "$CV_WINE" 'E:\e2e_tool.exe' hook 600000 'E:\stop') \
        >"$E2E_WORK/hook.log" 2>&1 &
    E2E_HOOK_PID=$!
    local i
    for i in $(seq 1 100); do
        grep -q hooked "$E2E_WORK/hook.log" 2>/dev/null && break
        sleep 0.1
    done
    (cd "$E2E_EDRIVE" && exec "$CV_WINE" 'E:\CleanVendrika.exe') >/dev/null 2>&1 &
    E2E_CLEANER_PID=$!
    driver wait-window 30000 >/dev/null
}

stop_recorder() {
    touch "$E2E_EDRIVE/stop"
    [ -n "${E2E_HOOK_PID:-}" ] && wait "$E2E_HOOK_PID" 2>/dev/null
    E2E_HOOK_PID=""
}

# The number of files on the fixed drives now: what a complete walk counts.
count_files() {
    find "$WINEPREFIX/drive_c" "$E2E_DDRIVE" -type f | wc -l
}

press_scan() {
    E2E_FILES=$(count_files)
    driver click 1052 >/dev/null
}

# expect_box CAPTION TEXT BUTTONS: a skinned question with this caption, text
# and visible buttons is up.
expect_box() {
    local out
    out="$(driver wait-box "$1" 60000 | tr -d '\r')"
    check "question \"$2\"" grep -qF "message \"$2\"" <<<"$out" ||
        printf '%s\n' "$out" | sed 's/^/    /'
    check "question buttons $3" grep -qx "buttons $3" <<<"$out"
}

answer_box() {  # BUTTON-ID
    driver box-click "$1" >/dev/null
    driver wait-no-box 10000 >/dev/null
}

# The plain system message box the process termination shows when it could
# not end the program holding a file.
expect_plain_box() {  # CAPTION TEXT
    local out
    out="$(tool plainbox "$1" 60000 | tr -d '\r')"
    check "plain box \"$2\" over $1" grep -qF "text \"$2\"" <<<"$out" || printf '    %s\n' "$out"
}

wait_status() {  # TEXT
    check "status \"$1\"" driver wait-text 1065 "$1" 120000 >/dev/null
}

control_is() {  # ID STATE...
    local id="$1" s out
    shift
    out="$(driver state "$id" | tr -d '\r')"
    for s in "$@"; do
        case "$s" in
            visible) check "control $id visible" grep -q 'visible=1' <<<"$out" ;;
            hidden) check "control $id hidden" grep -q 'visible=0' <<<"$out" ;;
            enabled) check "control $id enabled" grep -q 'enabled=1' <<<"$out" ;;
            disabled) check "control $id disabled" grep -q 'enabled=0' <<<"$out" ;;
        esac
    done
}

# Waits until the cleaner's process has ended.
wait_cleaner_gone() {
    local i
    for i in $(seq 1 300); do
        kill -0 "$E2E_CLEANER_PID" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# ---- comparing the result list ----

# The lines the window shows now, unquoted (guidriver's escapes undone).
window_lines() {
    driver list | tr -d '\r' | sed -n 's/^line [0-9]* "\(.*\)"$/\1/p' |
        sed -e 's/\\t/\t/g' -e 's/\\"/"/g' -e 's/\\\\/\\/g'
}

# expected FILE: the hand-written lines with their counters filled in.
#   @FILES@ / @FILES-N@  the files on the fixed drives when SCAN was pressed (less N)
#   @PARTIAL@            any number from 0 up to, not including, @FILES@
#   \t                   a tab
expected_lines() {
    local line n
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in '#'*) continue ;; esac
        while [[ "$line" =~ @FILES-([0-9]+)@ ]]; do
            n=$((E2E_FILES - BASH_REMATCH[1]))
            line="${line/${BASH_REMATCH[0]}/$n}"
        done
        line="${line//@FILES@/$E2E_FILES}"
        printf '%s\n' "${line//\\t/$'\t'}"
    done <"$1"
}

# compare_lines WHAT EXPECTED-FILE ACTUAL-FILE
compare_lines() {
    local what="$1" exp="$2" act="$3" ok=1 i=0 e a
    local -a el al
    mapfile -t el <"$exp"
    mapfile -t al <"$act"
    if [ "${#el[@]}" -ne "${#al[@]}" ]; then ok=0; fi
    for ((i = 0; i < ${#el[@]} || i < ${#al[@]}; i++)); do
        e="${el[i]-<none>}"
        a="${al[i]-<none>}"
        if [ "$e" = "$a" ]; then continue; fi
        if [[ "$e" == *@PARTIAL@* ]]; then
            local pre="${e%%@PARTIAL@*}" num
            num="${a#"$pre"}"
            if [[ "$a" == "$pre"* && "$num" =~ ^[0-9]+$ && "$num" -lt "$E2E_FILES" ]]; then continue; fi
        fi
        ok=0
    done
    E2E_CHECKS=$((E2E_CHECKS + 1))
    if [ $ok = 1 ]; then
        e2e_log "ok $what: ${#al[@]} lines as expected"
        return 0
    fi
    E2E_FAILS=$((E2E_FAILS + 1))
    echo "  FAIL $what differs (- expected, + actual):"
    diff <(cat "$exp") <(cat "$act") | sed -n 's/^\([<>]\)/    \1/p' | sed 's/^    </    -/; s/^    >/    +/'
    return 1
}

# check_run_lines NAME: the recorder's lines of this run against expected/NAME.txt,
# and the window's own list too when the window is still there.
check_run_lines() {
    local name="$1" exp="$E2E_WORK/$1.expected" rec="$E2E_WORK/$1.recorded"
    expected_lines "$E2E_DIR/expected/$name.txt" >"$exp"
    tr -d '\r' <"$E2E_EDRIVE/lines.txt" 2>/dev/null | grep -v '^@@reset$' >"$rec"
    compare_lines "$name: lines received by the result list" "$exp" "$rec"
    if [ "${2:-}" = window ]; then
        window_lines >"$E2E_WORK/$name.window"
        compare_lines "$name: lines shown by the result list" "$exp" "$E2E_WORK/$name.window"
    fi
}

# ---- the machine afterwards ----

value_exists() {  # KEY NAME
    wine_ reg query "$1" /v "$2" $(regview) >/dev/null 2>&1
}

pending_deletions() {
    wine_ reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
        /v PendingFileRenameOperations $(regview) 2>/dev/null | tr -d '\r'
}

is_scheduled() {  # PATH
    local p="$1" w
    case "$E2E_VERSION" in
        win95 | win98 | winme)
            w="$WINEPREFIX/drive_c/windows/wininit.ini"
            [ -f "$w" ] && tr -d '\r' <"$w" | grep -qixF "NUL=$p"
            ;;
        *) pending_deletions | grep -qiF "$p" ;;
    esac
}

is_scheduled_list() {
    local s
    for s in "${E2E_SCHEDULED[@]}"; do [ "$s" = "$1" ] && return 0; done
    return 1
}

# check_machine [restarted]: the state every cleaning scenario must leave.
check_machine() {
    local p u entry key name data
    for p in "${E2E_INFECTED[@]}"; do
        u="$(unixpath "$p")"
        if is_scheduled_list "$p" && [ "${1:-}" != restarted ]; then
            check "$p still there until the restart" test -e "$u"
            check "$p scheduled for deletion" is_scheduled "$p"
        else
            check "$p gone" test ! -e "$u"
        fi
    done
    for entry in "${E2E_UNCHANGED[@]}"; do
        p="${entry% *}"
        u="$(unixpath "$p")"
        check "$p unchanged" test "$(sha256sum "$u" 2>/dev/null | cut -d' ' -f1)" = "${entry##* }"
    done
    for entry in "${E2E_VALUES_GONE[@]}"; do
        key="${entry%%|*}"
        name="${entry#*|}"
        check "value $name gone" eval '! value_exists "$key" "$name"'
    done
    for entry in "${E2E_VALUES_KEPT[@]}"; do
        key="${entry%%|*}"
        name="${entry#*|}"
        data="${name#*|}"
        name="${name%%|*}"
        check "value $name kept" value_exists "$key" "$name"
    done
    if [ "${1:-}" != restarted ]; then
        for p in "${E2E_KEEP_PIDS[@]}"; do
            check "unrelated process $p still running" kill -0 "$p"
        done
    fi
}

# Ends every program of the prefix and starts it again the way Windows
# starts: pending deletions and wininit.ini are carried out.
restart_prefix() {
    stop_recorder
    "$CV_WINESERVER" -k >/dev/null 2>&1
    "$CV_WINESERVER" -w >/dev/null 2>&1
    wine_ wineboot -r >/dev/null 2>&1
    "$CV_WINESERVER" -w >/dev/null 2>&1
}

E2E_RESTART_QUESTION='The system has to be restarted to remove the virus completely from your system. Open programs may ask to save their work first.\n\n Restart now?'
E2E_STOP_QUESTION='Terminate the Scan now?'

# The NT family with a running sample: the memory step ends it and removes its
# file, and the same start goes on to walk the drives and clean the rest.
# nt_one_start EXPECTED PLAIN-BOX(yes|no) RESTART-ANSWER(6|7)
nt_one_start() {
    local expected="$1" plain="$2" answer="$3"
    start_cleaner
    screenshot ready
    check "the sample runs before the scan" eval 'tool procs | tr -d "\r" | grep -qix "process [0-9]* runner.exe"'
    press_scan
    if [ "$plain" = yes ]; then
        expect_plain_box 'D:\Locked\held.exe' 'Could not kill process'
    fi
    expect_box 'CleanVendrika Ver 1.0' "$E2E_RESTART_QUESTION" '6 7'
    screenshot restart-question
    check "the running sample ended" eval '! tool procs | tr -d "\r" | grep -qix "process [0-9]* runner.exe"'
    check "the running sample's file removed" test ! -e "$(unixpath 'C:\Data\Run\runner.exe')"
    check_run_lines "$expected" window
    check_machine
    if [ "$answer" = 6 ]; then
        # Yes: a restart of the prefix, in which every program is asked to
        # end; the cleaner agrees and ends, and the pending deletions are
        # carried out. Windows ends console programs at a restart whether it
        # is forced or not; Wine's unforced restart leaves them running and
        # still carries out the pending deletions, which then fail on the
        # files they hold. The holders are ended first, as Windows ends them.
        local p
        for p in "${E2E_KEEP_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
        answer_box 6
        check "the restart ends the program" wait_cleaner_gone
        # Bounded: a program the restart failed to end would keep the server.
        timeout 60 "$CV_WINESERVER" -w >/dev/null 2>&1 || "$CV_WINESERVER" -k >/dev/null 2>&1
        restart_prefix
        check_machine restarted
        return
    fi
    answer_box 7
    wait_status 'Scanning completed'
    control_is 1070 visible enabled
    control_is 2 hidden
    screenshot finished
    driver click 1070 >/dev/null
    check "the window closes with OK" wait_cleaner_gone
    check_machine
    restart_prefix
    check_machine restarted
}

# stop_scan CONTROL|esc CAPTION: asks to stop a running scan and confirms.
# CANCEL is first answered No (the scan goes on), then Yes.
stop_scan() {
    local how="$1" caption="$2"
    ask_stop() {
        if [ "$how" = esc ]; then driver key esc >/dev/null; else driver click "$how" >/dev/null; fi
        expect_box "$caption" "$E2E_STOP_QUESTION" '6 7'
    }
    ask_stop
    screenshot stop-question
    if [ "$how" = 2 ]; then
        answer_box 7
        control_is 2 visible enabled
        check "the scan goes on after No" eval '! driver wait-text 1065 "Scanning " 300 >/dev/null'
        ask_stop
    fi
    answer_box 6
    if [ "$how" != esc ]; then
        # The stop controls show OK at once; Escape leaves the buttons to the run's end.
        control_is 1070 visible
        control_is 2 hidden
    fi
    # The key's release carries the Escape code too; a second question for it
    # is answered Yes as well.
    if [ "$how" = esc ] && driver wait-box 1500 >/dev/null 2>&1; then
        e2e_log "note: Escape's key release asked the stop question again"
        answer_box 6
    fi
    wait_status 'Scanning terminated'
    control_is 1070 visible enabled
    control_is 2 hidden
    screenshot stopped
    check_run_lines stopped window
    driver key esc >/dev/null
    check "Escape closes the window after the scan" wait_cleaner_gone
    check_machine
}
