#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. the packages (scripts/setup.sh);
#   2. host build and unit tests;
#   3. host build under AddressSanitizer and UndefinedBehaviorSanitizer, unit tests;
#   4. libFuzzer targets (clang), each run for CV_FUZZ_SECONDS (default 20) seconds;
#   5. the product (32-bit, release), its static checks and two more builds of
#      it that must give the same file, then both Windows
#      test builds (the one Wine runs here is tested);
#   6. the Wine suite scripts that exist (run.sh, then run_*.sh) in tests/win,
#      app/tests (the window code against real controls), tests/gui, tests/e2e.
# Ends with one line "N passed, N failed" (a suite is a test program, a fuzz
# target or a suite script; a build that fails counts as failed) and exits
# non-zero when anything failed.
#
# Build folders live under CV_BUILD_ROOT (default: build/ of this checkout);
# logs under CV_BUILD_ROOT/logs. -jN from CV_JOBS (default 2).
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
. "$root/scripts/lib/wine.sh"

builds="${CV_BUILD_ROOT:-$root/build}"
logs="$builds/logs"
jobs="${CV_JOBS:-2}"
fuzz_seconds="${CV_FUZZ_SECONDS:-20}"
mkdir -p "$logs"
exec </dev/null

passed=0
failed=0
failures=()
t_start=$SECONDS

note() { printf '== %s\n' "$*"; }

# step NAME COMMAND...: runs a step with its output in logs/NAME.log; counts it.
step() {
    local name="$1"
    shift
    local t0=$SECONDS
    "$@" >"$logs/$name.log" 2>&1
    report "$name" $? "$t0"
}

# report NAME STATUS T0: counts and prints a step that has run, its output in
# logs/NAME.log, started at T0 (seconds of this script).
report() {
    local name="$1" rc="$2" t0="$3"
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
        printf 'PASS  %-28s %4d s  %s\n' "$name" $((SECONDS - t0)) "$(summary_of "$logs/$name.log")"
        return 0
    fi
    failed=$((failed + 1))
    failures+=("$name")
    printf 'FAIL  %-28s %4d s  (log: %s)\n' "$name" $((SECONDS - t0)) "$logs/$name.log"
    tail -n 30 "$logs/$name.log" | sed 's/^/      | /'
    return 1
}

# Quiet build step: not counted as a suite unless it fails.
build() {
    local name="$1"
    shift
    local t0=$SECONDS
    if "$@" >"$logs/$name.log" 2>&1; then
        printf 'built %-28s %4d s\n' "$name" $((SECONDS - t0))
        return 0
    fi
    failed=$((failed + 1))
    failures+=("$name")
    printf 'FAIL  %-28s %4d s  (log: %s)\n' "$name" $((SECONDS - t0)) "$logs/$name.log"
    grep -E 'error|Error' "$logs/$name.log" | head -n 20 | sed 's/^/      | /'
    return 1
}

# A test that says it skips (exit 77, with its reason in the log) passes.
skipped_is_passed() {
    "$@"
    local rc=$?
    [ "$rc" -eq 77 ] && return 0
    return "$rc"
}

summary_of() {
    tr -d '\r' <"$1" | grep -E '^\[  PASSED  \]|^\[  FAILED  \]|^Done [0-9]+ runs|tests? ran|passed,|checks,|^SKIP' |
        tail -n 2 | tr '\n' ' '
}

configure_and_build() {  # DIR [CMAKE-ARGS...] [--target TARGET...]
    local dir="$1"
    shift
    local args=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = "--target" ]; then
            shift
            targets=("$@")
            break
        fi
        args+=("$1")
        shift
    done
    cmake -S "$root" -B "$dir" "${args[@]}" &&
        cmake --build "$dir" -j"$jobs" ${targets[@]+--target "${targets[@]}"}
}

# Only the fuzz targets are built with the fuzzing flags.
build_fuzzers() {  # DIR TARGET...
    local dir="$1"
    shift
    cmake -S "$root" -B "$dir" -DCV_FUZZ=ON -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ && cmake --build "$dir" -j"$jobs" --target "$@"
}

# --- 1. packages -------------------------------------------------------------
note "setup"
if ! "$root/scripts/setup.sh"; then
    echo "setup failed"
    echo "0 passed, 1 failed"
    exit 1
fi

# --- 2./3. host builds and unit tests ----------------------------------------
note "host"
if build host-build configure_and_build "$builds/host"; then
    step host-unit-tests "$builds/host/tests/unit/unit_tests" --gtest_color=no
    step host-offline-tests "$builds/host/tests/offline/offline_tests" --gtest_color=no
    # vendrika-scan installed into a throwaway prefix, its manual page
    # rendered by man and naming every option of --help (77: skipped).
    step host-manual-page skipped_is_passed "$root/tests/offline/check_manual.sh" "$builds/host"
fi
note "host with AddressSanitizer and UndefinedBehaviorSanitizer"
if build sanitize-build configure_and_build "$builds/sanitize" -DCV_SANITIZE=ON \
    --target unit_tests offline_tests; then
    step sanitize-unit-tests env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1 "$builds/sanitize/tests/unit/unit_tests" --gtest_color=no
    step sanitize-offline-tests env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1 "$builds/sanitize/tests/offline/offline_tests" --gtest_color=no
fi

# --- 4. fuzzers ----------------------------------------------------------------
shopt -s nullglob
fuzz_sources=("$root"/tests/fuzz/*_fuzz.cpp)
if [ ${#fuzz_sources[@]} -gt 0 ]; then
    note "libFuzzer targets, ${fuzz_seconds} s each"
    fuzz_targets=()
    for src in "${fuzz_sources[@]}"; do fuzz_targets+=("$(basename "$src" .cpp)"); done
    if build fuzz-build build_fuzzers "$builds/fuzz" "${fuzz_targets[@]}"; then
        # Each target is one process on one core: CV_JOBS of them at a
        # time, told in their order once each batch has ended.
        fuzz_one() {
            local name="$1" corpus="$builds/fuzz/corpus-$1" seeds=()
            mkdir -p "$corpus"
            [ -d "$root/tests/fuzz/corpus/$name" ] && seeds=("$root/tests/fuzz/corpus/$name")
            timeout -k 10 $((fuzz_seconds + 60)) "$builds/fuzz/tests/fuzz/$name" \
                -max_total_time="$fuzz_seconds" -rss_limit_mb=1024 -timeout=10 \
                -artifact_prefix="$builds/fuzz/$name-" "$corpus" "${seeds[@]}" >"$logs/$name.log" 2>&1
        }
        batch=()
        pids=()
        t0=$SECONDS
        for target in "${fuzz_targets[@]}" ""; do
            if [ -n "$target" ]; then
                fuzz_one "$target" &
                pids+=($!)
                batch+=("$target")
            fi
            if [ ${#batch[@]} -gt 0 ] && { [ -z "$target" ] || [ ${#batch[@]} -ge "$jobs" ]; }; then
                for i in "${!batch[@]}"; do
                    wait "${pids[$i]}"
                    report "${batch[$i]}" $? "$t0"
                done
                batch=()
                pids=()
                t0=$SECONDS
            fi
        done
    fi
fi

# --- 5. Windows builds ----------------------------------------------------------
# The product: 32-bit, win32-thread runtime, release, stripped; then the static
# checks that its imports, headers and instructions suit Windows 95 and NT 4.0
# and the i486, and that two more builds of the source, in two other folders,
# give the same file.
note "the product"
product="$builds/product-i686"
if build product-i686-build configure_and_build "$product" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCV_TESTS=OFF --target CleanVendrika vendrika-scan; then
    step product-static-checks bash "$root/tests/static/check_product.sh" "$product/app/CleanVendrika.exe"
    step product-static-checks-console env CV_SUBSYSTEM=console \
        bash "$root/tests/static/check_product.sh" "$product/offline/vendrika-scan.exe"
    step product-reproducible env CV_JOBS="$jobs" CV_CONSOLE_EXE="$product/offline/vendrika-scan.exe" \
        bash "$root/tests/static/check_reproducible.sh" "$root" "$builds/reproducible" "$product/app/CleanVendrika.exe"
fi
# The test programs need the posix-thread runtime (GoogleTest): both builds
# use it, and the i686 one shows that the checks above catch its imports.
note "Windows test builds"
cv_wine_pick_arch || true
wine_build=""
for arch in i686 x86_64; do
    dir="$builds/win-$arch"
    if build "windows-$arch-build" configure_and_build "$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCV_MINGW_THREADS=posix; then
        [ "$arch" = "${CV_WIN_ARCH:-}" ] && wine_build="$dir"
    fi
done
if [ -f "$builds/win-i686/app/CleanVendrika.exe" ]; then
    step product-checks-catch-posix-runtime bash "$root/tests/static/catches_posix_runtime.sh" \
        "$builds/win-i686/app/CleanVendrika.exe"
fi

# --- 6. Wine suites ------------------------------------------------------------
if [ -z "${CV_WIN_ARCH:-}" ]; then
    echo "no usable Wine here: the Wine suites cannot run"
    failed=$((failed + 1))
    failures+=("wine")
elif [ -z "$wine_build" ]; then
    echo "the $CV_WIN_ARCH Windows build failed: the Wine suites cannot run"
else
    # Where 32-bit Wine runs, the window and end-to-end suites run the release
    # product itself rather than the test build's copy of it.
    if [ "$CV_WIN_ARCH" = i686 ] && [ -f "$product/app/CleanVendrika.exe" ]; then
        export CV_PRODUCT_EXE="$product/app/CleanVendrika.exe"
        [ -f "$product/offline/vendrika-scan.exe" ] && export CV_CONSOLE_EXE="$product/offline/vendrika-scan.exe"
    fi
    note "Wine suites ($CV_WIN_ARCH build: $wine_build${CV_PRODUCT_EXE:+; program under test: $CV_PRODUCT_EXE})"
    # In each folder run.sh first, then its further run_*.sh scripts.
    for dir in tests/win app/tests tests/gui tests/e2e; do
        for script in "$root/$dir/run.sh" "$root/$dir"/run_*.sh; do
            [ -f "$script" ] || continue
            name="$(echo "$dir" | tr '/' '-')"
            base="$(basename "$script" .sh)"
            [ "$base" != run ] && name="$name-${base#run_}"
            # A hung program must not hold the whole run: 25 minutes a suite.
            step "$name" timeout -k 30 1500 bash "$script" "$wine_build"
        done
    done
    # The running sample the end-to-end scenarios start, run on its own:
    # PE32 under a 32-bit Wine, PE32+ under a 64-bit one.
    if [ -x "$builds/host/tools/samplebuilder/samplebuilder" ]; then
        step samplebuilder-runnable bash "$root/tools/samplebuilder/check_runnable.sh" \
            "$builds/host" "$wine_build"
    fi
fi

echo
echo "total time $((SECONDS - t_start)) s"
[ ${#failures[@]} -gt 0 ] && echo "failed: ${failures[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
