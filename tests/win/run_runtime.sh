#!/usr/bin/env bash
# The product's own runtime (runtime/: start-up code, stack probe, C++
# support) run under Wine: builds cv_runtime_check, a small program linked
# exactly as the release product is (win32-thread i686 compilers, -nostdlib
# against runtime/ and MSVCRT.DLL), in a folder of its own, and runs it in a
# throwaway prefix. The Windows test builds keep MinGW-w64's runtime, so no
# other test runs these pieces.
#
#   tests/win/run_runtime.sh BUILD_DIR
#
# BUILD_DIR is the Windows test build the suite runs; the check program is
# built in BUILD_DIR/runtime-check (CV_RUNTIME_BUILD chooses another folder).
# Prints one line per check and "N passed, N failed"; exit code 0 only when
# every check passed. Where only 64-bit Wine runs, the 32-bit runtime cannot
# run: it says so and exits 0 (the static checks still cover the product).
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
# shellcheck source=../../scripts/lib/wine.sh
. "$root/scripts/lib/wine.sh"

build="${1:?usage: tests/win/run_runtime.sh BUILD_DIR}"
cv_wine_pick_arch || exit 2
if [ "$CV_WIN_ARCH" != i686 ]; then
    echo "run_runtime.sh: only 64-bit Wine runs here; the product's 32-bit runtime cannot be run"
    exit 0
fi

dir="${CV_RUNTIME_BUILD:-$build/runtime-check}"
log="$(mktemp /tmp/cv-runtime.XXXXXX.log)"
if ! { cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCV_TESTS=OFF &&
        cmake --build "$dir" --target cv_runtime_check -j"${CV_JOBS:-2}"; } >"$log" 2>&1; then
    tail -n 30 "$log"
    rm -f "$log"
    echo "run_runtime.sh: the check program could not be built"
    exit 1
fi
rm -f "$log"
exe="$dir/runtime/cv_runtime_check.exe"

cv_wine_trap
cv_wine_prefix_create || exit 2
cv_wine_install "$exe"
outfile="$(mktemp /tmp/cv-runtime.XXXXXX.out)"
(cd "$WINEPREFIX/drive_c/cvtest" && CV_WINE_TIMEOUT="${CV_WINE_TIMEOUT:-120}" \
    cv_wine_run 'C:\cvtest\cv_runtime_check.exe') >"$outfile" 2>/dev/null
rc=$?
out="$(tr -d '\r' <"$outfile")"
rm -f "$outfile"
[ -n "$out" ] && echo "$out"
passed="$(printf '%s\n' "$out" | grep -c '^PASS')"
failed="$(printf '%s\n' "$out" | grep -c '^FAIL')"
# Three checks; the exit code is the sum of the failed ones' numbers.
if [ "$rc" -ne 0 ] || [ "$passed" -ne 3 ]; then
    echo "cv_runtime_check: exit code $rc"
    [ "$failed" -eq 0 ] && failed=$((3 - passed))
fi
echo "$passed passed, $failed failed"
[ "$rc" -eq 0 ] && [ "$passed" -eq 3 ]
