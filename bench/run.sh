#!/usr/bin/env bash
# The offline scanner's benchmark, in one command:
#
#   bench/run.sh [FILES] [RUNS] [PEER_RUNS]
#
# Builds vendrika-scan and the benchmark helpers (Release, build/bench),
# installs ClamAV, YARA and GNU time with apt-get when they are missing,
# generates a corpus of FILES files (default 30000) in nested folders (about
# 3% PE files: infected samples and look-alikes from the sample builder, and
# ordinary PE files), and measures on a warm cache, in interleaved rounds:
#   vendrika-scan (report-only);
#   a walker that reads every entry's metadata only (getdents, fstatat);
#   a walker that also opens every file and reads its PE headers;
#   YARA 4 with rules equivalent to the signature table (three forms; the
#   fastest that finds exactly the same files counts);
#   clamscan with an equivalent logical-signature database (and nothing else).
# RUNS rounds (default 7) for the scanner and the walkers, the first
# PEER_RUNS (default 3) of them also for YARA and clamscan, which take far
# longer. Medians of the wall-clock times give files per second; CPU times
# are shown too, since other work on the machine stretches wall time. Every
# scanner's detections are compared with the corpus' list of infected files.
# Then peak resident memory of vendrika-scan at FILES and at 3 x FILES.
# Everything generated is removed at the end.
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
files="${1:-30000}"
runs="${2:-7}"
peer_runs="${3:-3}"
build="${CV_BUILD_ROOT:-$root/build}/bench"

need=()
command -v clamscan >/dev/null || need+=(clamav)
command -v yara >/dev/null || need+=(yara)
[ -x /usr/bin/time ] || need+=(time)
dpkg-query -W -f='${Status}' libhivex-dev 2>/dev/null | grep -q "ok installed" || need+=(libhivex-dev)
if [ ${#need[@]} -gt 0 ]; then
    echo "bench: installing ${need[*]}"
    sudo_=(); [ "$(id -u)" -eq 0 ] || sudo_=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_[@]}" apt-get install -y -q "${need[@]}" >/dev/null || exit 1
fi

echo "bench: building (Release) in $build ..."
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCV_TESTS=OFF &&
    cmake --build "$build" -j"${CV_JOBS:-2}" --target vendrika-scan bench_corpus bench_walk bench_rules; } \
    >"$build.log" 2>&1; then
    tail -n 30 "$build.log"
    exit 1
fi
scan="$build/offline/vendrika-scan"
B="$build/bench"

work="$(mktemp -d /tmp/cv-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
trap 'rm -rf "$work"; exit 130' INT TERM
corpus="$work/corpus"
"$B/bench_corpus" "$corpus" "$files" || exit 1
sort -u "$corpus.expected" >"$work/expected.txt"
"$B/bench_rules" yara-exact >"$work/exact.yar"
"$B/bench_rules" yara-ep >"$work/ep.yar"
"$B/bench_rules" yara-strings >"$work/strings.yar"
"$B/bench_rules" clamav >"$work/vendrika.ldb"

# name -> command; each prints detections its own way, normalised to paths.
declare -A cmd norm
cmd[vendrika-scan]="$scan --quiet $corpus"
norm[vendrika-scan]="sed -n 's/: W32\/Vendrika.Gen.Trojan FOUND\$//p'"
cmd[metadata-walker]="$B/bench_walk $corpus"
cmd[header-walker]="$B/bench_walk --headers $corpus"
cmd[yara-exact]="yara -r $work/exact.yar $corpus"
cmd[yara-ep]="yara -r $work/ep.yar $corpus"
cmd[yara-strings]="yara -r $work/strings.yar $corpus"
for y in yara-exact yara-ep yara-strings; do norm[$y]="awk '{print \$2}'"; done
cmd[clamscan]="clamscan --no-summary --infected -r -d $work/vendrika.ldb $corpus"
norm[clamscan]="sed -n 's/: Vendrika_[0-9]*\.UNOFFICIAL FOUND\$//p'"
fast=(vendrika-scan metadata-walker header-walker)
peers=(yara-exact yara-ep yara-strings clamscan)

# run NAME ROUND: one timed run; wall, user+system CPU and peak memory kept.
run() {
    local name="$1" out="$work/out-$1-$2" t0 t1
    # Wall time to the nanosecond around the command itself (GNU time only
    # counts to 10 ms); CPU time from GNU time. No shell in between.
    t0=$(date +%s%N)
    # shellcheck disable=SC2086
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" ${cmd[$name]} >"$out" 2>/dev/null
    t1=$(date +%s%N)
    # (GNU time puts "Command exited with non-zero status" before its line.)
    read -r wall user sys rss < <(tail -n 1 "$work/time") || { wall=0; user=0; sys=0; rss=0; }
    echo "$t0 $t1" | awk '{printf "%.4f\n", ($2 - $1) / 1e9}' >>"$work/wall-$name"
    echo "$user $sys" | awk '{print $1 + $2}' >>"$work/cpu-$name"
    if [ -n "${norm[$name]:-}" ]; then
        bash -c "${norm[$name]}" <"$out" | sort -u >"$work/found-$name"
    fi
}
median() { sort -g "$1" | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

echo "bench: warming the cache ..."
for name in "${fast[@]}" yara-strings; do run "$name" warm; done
rm -f "$work"/wall-* "$work"/cpu-*
for ((i = 1; i <= runs; i++)); do
    echo "bench: round $i of $runs"
    # The order turns from round to round, so no scanner always runs first.
    order=("${fast[@]}")
    [ "$i" -le "$peer_runs" ] && order+=("${peers[@]}")
    n=${#order[@]}
    for ((k = 0; k < n; k++)); do run "${order[$(((k + i) % n))]}" "$i"; done
done

count=$(find "$corpus" -type f | wc -l)
echo
echo "corpus: $count files, $(wc -l <"$work/expected.txt") infected, $(du -sm "$corpus" | cut -f1) MB"
printf '%-16s %8s %10s %8s %11s %s\n' scanner "wall s" "files/s" "cpu s" "files/cpu-s" detections
declare -A rate cpurate same
for name in "${fast[@]}" "${peers[@]}"; do
    w=$(median "$work/wall-$name")
    c=$(median "$work/cpu-$name")
    rate[$name]=$(awk -v n="$count" -v t="$w" 'BEGIN {printf "%.0f", (t > 0 ? n / t : 0)}')
    cpurate[$name]=$(awk -v n="$count" -v t="$c" 'BEGIN {printf "%.0f", (t > 0 ? n / t : 0)}')
    d="-"
    if [ -f "$work/found-$name" ]; then
        miss=$(comm -23 "$work/expected.txt" "$work/found-$name" | wc -l)
        extra=$(comm -13 "$work/expected.txt" "$work/found-$name" | wc -l)
        if [ "$miss" -eq 0 ] && [ "$extra" -eq 0 ]; then d="same"; same[$name]=1; else d="misses $miss, over-reports $extra"; fi
    fi
    printf '%-16s %8s %10s %8s %11s %s\n' "$name" "$w" "${rate[$name]}" "$c" "${cpurate[$name]}" "$d"
done

best_yara=""
for y in yara-exact yara-ep yara-strings; do
    [ -n "${same[$y]:-}" ] || continue
    if [ -z "$best_yara" ] || [ "${rate[$y]}" -gt "${rate[$best_yara]}" ]; then best_yara=$y; fi
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
v=${rate[vendrika-scan]}
vc=${cpurate[vendrika-scan]}
echo
ok=1
check() {  # LABEL RATIO MIN CPU-RATIO
    local verdict=PASS
    awk -v r="$2" -v m="$3" 'BEGIN {exit !(r >= m)}' || { verdict=FAIL; ok=0; }
    printf '%-52s %8s (needs >= %s; by CPU time %s)  %s\n' "$1" "$2" "$3" "$4" "$verdict"
}
check "vendrika-scan / metadata-only walker" "$(ratio "$v" "${rate[metadata-walker]}")" 0.7 \
    "$(ratio "$vc" "${cpurate[metadata-walker]}")"
if [ -n "$best_yara" ]; then
    check "vendrika-scan / fastest YARA with the same files ($best_yara)" \
        "$(ratio "$v" "${rate[$best_yara]}")" 20 "$(ratio "$vc" "${cpurate[$best_yara]}")"
else
    echo "no YARA rule found exactly the same files"; ok=0
fi
check "vendrika-scan / clamscan" "$(ratio "$v" "${rate[clamscan]}")" 100 "$(ratio "$vc" "${cpurate[clamscan]}")"
[ -n "${same[vendrika-scan]:-}" ] || { echo "vendrika-scan's detections differ from the corpus list"; ok=0; }
[ -n "${same[clamscan]:-}" ] || echo "clamscan's detections differ (see above)"
echo "vendrika-scan / header walker: $(ratio "$v" "${rate[header-walker]}")"

# Memory as the corpus grows.
rss_small=$(/usr/bin/time -f "%M" "$scan" --quiet "$corpus" 2>&1 >/dev/null | tail -n 1)
big="$work/big"
"$B/bench_corpus" "$big" $((files * 3)) 7 >/dev/null || exit 1
rss_big=$(/usr/bin/time -f "%M" "$scan" --quiet "$big" 2>&1 >/dev/null | tail -n 1)
echo "peak resident memory of vendrika-scan: $rss_small KB at $files files, $rss_big KB at $((files * 3)) files"
[ "$ok" -eq 1 ]
