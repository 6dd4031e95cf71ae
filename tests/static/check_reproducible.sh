#!/usr/bin/env bash
# The release product is reproducible: the same source, checked out in two
# differently named folders and built there from scratch, gives the same
# bytes, and neither folder's name is in the file; so does the console
# program, vendrika-scan.exe. With EXE (the product the other checks read)
# that file must be the same too, and with CV_CONSOLE_EXE the console program.
# Usage: [CV_CONSOLE_EXE=FILE] check_reproducible.sh SOURCE WORKDIR [EXE].
# WORKDIR is emptied and removed. Ends with "N passed, N failed"; exit 1 on
# any failure.
set -u
src="$(cd "$1" && pwd)"
work="$2"
exe="${3:-}"
console_exe="${CV_CONSOLE_EXE:-}"
jobs="${CV_JOBS:-2}"
. "$(cd "$(dirname "$0")" && pwd)/lib.sh"

# Two checkouts whose paths differ in name and in length.
rm -rf "$work"
trees=("$work/a/CleanVendrika" "$work/second-checkout-of-the-source/cv")
for tree in "${trees[@]}"; do
    mkdir -p "$tree"
    if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        # What the checkout holds, its uncommitted changes included.
        (cd "$src" && git ls-files -z --cached --others --exclude-standard |
            xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
            tar --null -T - -cf -) | tar -xf - -C "$tree"
    else
        (cd "$src" && tar --exclude=./build -cf - .) | tar -xf - -C "$tree"
    fi
done

built=()
consoles=()
for tree in "${trees[@]}"; do
    log="$work/$(basename "$(dirname "$tree")").log"
    if cmake -S "$tree" -B "$tree/build/product-i686" -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCV_TESTS=OFF >"$log" 2>&1 &&
        cmake --build "$tree/build/product-i686" -j"$jobs" --target CleanVendrika vendrika-scan >>"$log" 2>&1; then
        built+=("$tree/build/product-i686/app/CleanVendrika.exe")
        consoles+=("$tree/build/product-i686/offline/vendrika-scan.exe")
        ok 0 "built in $tree"
    else
        tail -n 20 "$log"
        ok 1 "built in $tree"
    fi
done

if [ ${#built[@]} -eq 2 ]; then
    sha256sum "${built[@]}" ${exe:+"$exe"}
    diff="$(cmp -l "${built[0]}" "${built[1]}" | wc -l)"
    [ "$diff" -eq 0 ] && [ "$(stat -c %s "${built[0]}")" = "$(stat -c %s "${built[1]}")" ]
    ok $? "the two builds are identical ($(stat -c %s "${built[0]}") bytes; $diff bytes differ)"
    if [ -n "$exe" ]; then
        cmp -s "$exe" "${built[0]}"
        ok $? "the product under test is the same file ($exe)"
    fi
    cmp -s "${consoles[0]}" "${consoles[1]}"
    ok $? "the two builds of vendrika-scan.exe are identical ($(stat -c %s "${consoles[0]}") bytes)"
    if [ -n "$console_exe" ]; then
        cmp -s "$console_exe" "${consoles[0]}"
        ok $? "the console program under test is the same file ($console_exe)"
    fi
    # Neither checkout's folder names appear, as ANSI or as UTF-16 text.
    found=""
    for name in a/CleanVendrika second-checkout-of-the-source "$work"; do
        for f in "${built[@]}" "${consoles[@]}"; do
            if strings -a "$f" | grep -q -F "$name" || strings -a -el "$f" | grep -q -F "$name"; then
                found="$found $name"
            fi
        done
    done
    [ -z "$found" ]
    ok $? "no build folder named in the file${found:+:}$found"
fi
rm -rf "$work"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
