#!/usr/bin/env bash
# The whole program's scan time against a bare walker, outside the test suite.
#
#   tests/e2e/bench.sh BUILD_DIR [RUNS] [FILES]     (CV_BENCH_STATUS=1: also +status)
#
# One throwaway prefix whose D: holds FILES (default 20000) files in nested
# folders (one in ten a program of a length the scan accepts, which it opens
# and reads, the rest small texts). Each run times:
#   program   SCAN pressed -> status line "Scanning completed" (e2e_tool scantime)
#   bare      tools/barewalker: the same find calls and header reads, no window
#   +pump     the bare walker taking a window message twice per entry of the
#             file pass and once per entry of the folder pass, as the walk does
#   described the walk's whole described work per entry: the pumping, and each
#             path, shortened, sent synchronously to a window of the thread
#             (barewalker --notify); the floor for the program's scan
#   +status   (CV_BENCH_STATUS=1 only) the pumping and each path painted in a
#             static control, as a status line painting every path would
#   console   (when the build holds offline/vendrika-scan.exe) the console
#             program's whole report-only run, which pumps no messages,
#             against the whole run of the bare walker reading the headers
#             of the same files (barewalker --accepted: those whose length
#             the scan accepts), both timed from outside (start-up included,
#             the console program's memory step too)
# all over the same fixed drives, in turn, after one warm-up each.
# Prints the median of each, and the program's median against the bare
# walker's and against the described-work walker's; beside them the median
# processor time of the scanning thread (program) and the walking thread
# (described), which the other load of the machine disturbs less.
set -u
E2E_DIR="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$E2E_DIR/../.." && pwd)"
# shellcheck source=../../scripts/lib/wine.sh
. "$root/scripts/lib/wine.sh"

build="$(cd "${1:?usage: tests/e2e/bench.sh BUILD_DIR [RUNS] [FILES]}" && pwd)" || exit 2
runs="${2:-5}"
files="${3:-20000}"
programs=("$build/app/CleanVendrika.exe" "$build/tools/barewalker/barewalker.exe"
    "$build/tests/e2e/e2e_tool.exe" "$build/tools/guidriver/guidriver.exe")
for p in "${programs[@]}"; do
    [ -f "$p" ] || { echo "bench: $p not found" >&2; exit 2; }
done
cv_wine_pick_arch || exit 2

work="$(mktemp -d /tmp/cv-bench.XXXXXX)"
cleanup() {
    cv_wine_cleanup
    rm -rf "$work"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

cv_wine_xvfb_start || exit 2
cv_wine_prefix_create || exit 2
mkdir -p "$work/d" "$work/e"
ln -s "$work/d" "$WINEPREFIX/dosdevices/d:"
ln -s "$work/e" "$WINEPREFIX/dosdevices/e:"
for view in /reg:32 /reg:64; do
    "$CV_WINE" reg add 'HKLM\Software\Wine\Drives' /v e: /d network /f $view >/dev/null 2>&1
done
cv_wine_set_version winxp
cp "${programs[@]}" "$work/e/"
console=""
[ -f "$build/offline/vendrika-scan.exe" ] && console=yes && cp "$build/offline/vendrika-scan.exe" "$work/e/"

# The drive: 20 folders of 10 subfolders of files; every tenth file is the
# sample builder's decoy (a program of the signature's length and its first
# pattern, not its second: opened, read, no match), linked, not copied.
(cd "$work/e" && "$CV_WINE" 'E:\e2e_tool.exe' decoy 0 first_only 'E:\pe-head') >/dev/null 2>&1 &&
    [ -s "$work/e/pe-head" ] || { echo "bench: no decoy made" >&2; exit 2; }
per=$((files / 200))
n=0
for a in $(seq -w 1 20); do
    for b in $(seq -w 1 10); do
        dir="$work/d/Folder$a/Sub$b"
        mkdir -p "$dir"
        for c in $(seq 1 "$per"); do
            n=$((n + 1))
            if [ $((n % 10)) = 0 ]; then
                ln "$work/e/pe-head" "$dir/prog$c.exe"
            else
                printf 'ordinary file %d of the benchmark drive\r\n' "$n" >"$dir/file$c.txt"
            fi
        done
    done
done
echo "bench: D: holds $(find "$work/d" -type f | wc -l) files; C: holds $(find "$WINEPREFIX/drive_c" -type f | wc -l)"

w() { (cd "$work/e" && timeout -k 5 600 "$CV_WINE" "$@"); }

# Each prints "MS CPU": the elapsed time and the walking thread's own
# processor time meanwhile (what a loaded machine disturbs less).
bare_once() {
    w 'E:\barewalker.exe' "$@" | tr -d '\r' | awk '/^ms /{m=$2} /^cpu /{c=$2} END {print m, c}'
}

program_once() {
    (cd "$work/e" && exec "$CV_WINE" 'E:\CleanVendrika.exe') >/dev/null 2>&1 &
    local pid=$! out
    w 'E:\guidriver.exe' wait-window 30000 >/dev/null
    out="$(w 'E:\e2e_tool.exe' scantime 600000 | tr -d '\r' | awk '/^ms /{m=$2} /^cpu /{c=$2} END {print m, c}')"
    w 'E:\guidriver.exe' click 1070 >/dev/null
    wait "$pid" 2>/dev/null
    echo "$out"
}

# A whole run of a program, in ms, timed from outside; its output in
# $work/whole.out.
whole_ms() {
    local t0
    t0=$(date +%s%N)
    w "$@" >"$work/whole.out" 2>&1
    echo $((($(date +%s%N) - t0) / 1000000))
}

median() { sort -n | awk '{a[NR]=$1} END {if (NR % 2) print a[(NR + 1) / 2]; else print int((a[NR / 2] + a[NR / 2 + 1]) / 2)}'; }

# A program that stays running keeps Wine's own processes (the service
# manager among them) up between the timed runs, as Windows keeps its own:
# otherwise the first program to open the service manager after a pause
# waits for Wine to start it again.
: >"$work/e/held"
(cd "$work/e" && exec "$CV_WINE" 'E:\e2e_tool.exe' hold 'E:\held') >/dev/null 2>&1 &
sleep 2

echo "bench: warm-up"
bare_once >/dev/null
program_once >/dev/null
[ -n "$console" ] && whole_ms 'E:\vendrika-scan.exe' --json >/dev/null && whole_ms 'E:\barewalker.exe' --accepted >/dev/null
ratio() { awk -v p="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? p / b : 0)}'; }
bare=()
pump=()
desc=()
stat=()
prog=()
desccpu=()
progcpu=()
cons=()
barew=()
for i in $(seq 1 "$runs"); do
    read -r b _ <<<"$(bare_once)"
    read -r u _ <<<"$(bare_once --pump)"
    read -r d dc <<<"$(bare_once --notify)"
    read -r p pc <<<"$(program_once)"
    line="bench: run $i: program $p ms, bare walker $b ms, +pump $u ms, described $d ms"
    if [ "${CV_BENCH_STATUS:-0}" = 1 ]; then
        read -r s _ <<<"$(bare_once --status)"
        stat+=("$s")
        line="$line, +status $s ms"
    fi
    if [ -n "$console" ]; then
        cw=$(whole_ms 'E:\vendrika-scan.exe' --json)
        cs="$(sed -n 's/.*"type":"summary".*"scanned":\([0-9]*\),.*/\1/p' "$work/whole.out")"
        bw=$(whole_ms 'E:\barewalker.exe' --accepted)
        bs="$(tr -d '\r' <"$work/whole.out" | sed -n 's/^files //p')"
        bp="$(tr -d '\r' <"$work/whole.out" | sed -n 's/^pe //p')"
        cons+=("$cw")
        barew+=("$bw")
        line="$line, console $cw ms (${cs:-?} files), bare walker's whole run $bw ms (${bs:-?} files, ${bp:-?} programs read)"
    fi
    echo "$line (program/described $(ratio "$p" "$d"); thread time $pc ms / $dc ms)"
    bare+=("$b")
    pump+=("$u")
    desc+=("$d")
    prog+=("$p")
    desccpu+=("${dc:-0}")
    progcpu+=("${pc:-0}")
done
mb="$(printf '%s\n' "${bare[@]}" | median)"
mu="$(printf '%s\n' "${pump[@]}" | median)"
md="$(printf '%s\n' "${desc[@]}" | median)"
mp="$(printf '%s\n' "${prog[@]}" | median)"
line="bench: median bare walker $mb ms, +pump $mu ms ($(ratio "$mu" "$mb")), described $md ms ($(ratio "$md" "$mb"))"
if [ "${#stat[@]}" -gt 0 ]; then
    ms="$(printf '%s\n' "${stat[@]}" | median)"
    line="$line, +status $ms ms ($(ratio "$ms" "$mb"))"
fi
echo "$line"
mdc="$(printf '%s\n' "${desccpu[@]}" | median)"
mpc="$(printf '%s\n' "${progcpu[@]}" | median)"
echo "bench: median thread time: program $mpc ms, described $mdc ms ($(ratio "$mpc" "$mdc"))"
echo "bench: median program $mp ms: $(ratio "$mp" "$mb") x the bare walker, $(ratio "$mp" "$md") x the described-work walker"
if [ -n "$console" ]; then
    mcw="$(printf '%s\n' "${cons[@]}" | median)"
    mbw="$(printf '%s\n' "${barew[@]}" | median)"
    echo "bench: median console program $mcw ms, bare walker's whole run $mbw ms: $(ratio "$mcw" "$mbw") x"
fi
