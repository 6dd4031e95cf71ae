#!/usr/bin/env bash
# The whole program, end to end: for each scenario a fresh throwaway Wine
# prefix with a planted machine, the real CleanVendrika.exe under Xvfb driven
# from outside like a user, then its result list and the machine checked.
#
#   tests/e2e/run.sh BUILD_DIR [SCENARIO ...]
#
# BUILD_DIR is the Windows build Wine can run here (see scripts/lib/wine.sh);
# it must hold app/CleanVendrika.exe, tools/guidriver/guidriver.exe,
# tests/e2e/e2e_tool.exe and tests/e2e/e2e_hook.dll. Screenshots of every
# state are kept in BUILD_DIR/e2e-screenshots. Prints one line per scenario
# and a summary; exits non-zero when any check failed.
set -u
E2E_DIR="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$E2E_DIR/../.." && pwd)"
# shellcheck source=../../scripts/lib/wine.sh
. "$root/scripts/lib/wine.sh"

build="$(cd "${1:?usage: tests/e2e/run.sh BUILD_DIR [SCENARIO ...]}" && pwd)" || exit 2
shift
# CV_PRODUCT_EXE: the program under test when it is not the build's own (the release product).
programs=("${CV_PRODUCT_EXE:-$build/app/CleanVendrika.exe}" "$build/tools/guidriver/guidriver.exe"
    "$build/tests/e2e/e2e_tool.exe" "$build/tests/e2e/e2e_hook.dll")
for p in "${programs[@]}"; do
    if [ ! -f "$p" ]; then
        echo "e2e: $p not found (build the Windows targets first)" >&2
        exit 2
    fi
done
cv_wine_pick_arch || exit 2
if ! cv_pe_matches_arch "${programs[0]}"; then
    echo "e2e: ${programs[0]} is not a $CV_WIN_ARCH program; Wine here runs $CV_WIN_ARCH only" >&2
    exit 2
fi

scenarios=()
if [ $# -gt 0 ]; then
    for s in "$@"; do scenarios+=("$E2E_DIR/scenarios/${s%.sh}.sh"); done
else
    for s in "$E2E_DIR"/scenarios/*.sh; do scenarios+=("$s"); done
fi

E2E_SHOTS="$build/e2e-screenshots"
rm -rf "$E2E_SHOTS"
mkdir -p "$E2E_SHOTS"
E2E_ROOT="$(mktemp -d /tmp/cv-e2e.XXXXXX)"

cleanup() { cv_wine_cleanup_below "$E2E_ROOT"; }
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

t0=$SECONDS
cv_wine_xvfb_start || exit 2
# One base prefix per run; each scenario works on a copy of it.
cv_wine_prefix_create || exit 2
base="$WINEPREFIX"
cv_wine_stop_server
echo "e2e: base prefix ready in $((SECONDS - t0)) s ($CV_WIN_ARCH)"

passed=0
failed=0
summary=()
for scenario in "${scenarios[@]}"; do
    name="$(basename "$scenario" .sh)"
    work="$E2E_ROOT/$name"
    mkdir -p "$work/d" "$work/e"
    s0=$SECONDS
    (
        set -u
        export E2E_NAME="$name" E2E_WORK="$work" E2E_DDRIVE="$work/d" E2E_EDRIVE="$work/e"
        export E2E_SHOTS E2E_DIR
        E2E_SHOT_LIST=()
        cp -a "$base" "$work/prefix"
        rm -f "$work/prefix/wineserver"   # its own socket folder, recorded anew
        export WINEPREFIX="$work/prefix"
        cv_wine_env
        # shellcheck source=lib.sh
        . "$E2E_DIR/lib.sh"
        # shellcheck disable=SC1090
        . "$scenario"
        ln -s "$E2E_DDRIVE" "$WINEPREFIX/dosdevices/d:"
        ln -s "$E2E_EDRIVE" "$WINEPREFIX/dosdevices/e:"
        # The Windows version, and E: a network drive; both apply to programs
        # started after the wineserver has gone.
        printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n"Version"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n"e:"="network"\r\n' \
            "$E2E_VERSION" >"$E2E_EDRIVE/settings.reg"
        wine_ regedit /S 'E:\settings.reg' >/dev/null 2>&1
        rm -f "$E2E_EDRIVE/settings.reg"
        "$CV_WINESERVER" -k >/dev/null 2>&1
        "$CV_WINESERVER" -w >/dev/null 2>&1
        cp "${programs[@]}" "$E2E_EDRIVE/"
        echo "--- $name ($E2E_VERSION): $E2E_TITLE"
        p0=$SECONDS
        scenario_plant
        plant_commit
        e2e_log "planted in $((SECONDS - p0)) s"
        p0=$SECONDS
        scenario_drive
        e2e_log "driven and checked in $((SECONDS - p0)) s"
        "$CV_WINESERVER" -k >/dev/null 2>&1
        for f in "${E2E_SHOT_LIST[@]}"; do e2e_log "screenshot $f"; done
        echo "$E2E_CHECKS $E2E_FAILS" >"$work/result"
    )
    cv_wine_remove_prefix "$work/prefix"
    read -r checks fails <"$work/result" 2>/dev/null || { checks=0; fails=1; }
    if [ "$fails" = 0 ] && [ "$checks" -gt 0 ]; then
        passed=$((passed + 1))
        summary+=("PASS $name ($checks checks, $((SECONDS - s0)) s)")
    else
        failed=$((failed + 1))
        summary+=("FAIL $name ($fails of $checks checks failed, $((SECONDS - s0)) s)")
    fi
    rm -rf "$work"
done

echo "=== end to end"
printf '%s\n' "${summary[@]}"
echo "e2e: $passed passed, $failed failed in $((SECONDS - t0)) s; screenshots in $E2E_SHOTS"
[ "$failed" = 0 ]
