#!/usr/bin/env bash
# The product's static checks must refuse a program linked with the
# posix-thread runtime: EXE is such a build of CleanVendrika.exe (the
# test build's: the prebuilt MinGW-w64 runtime and libstdc++, our code
# compiled for the compiler's default Pentium Pro). Passes when
# check_product.sh fails on it, naming the runtime's late imports and the
# Pentium Pro's conditional moves.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
out="$(CV_RELEASE=0 bash "$here/check_product.sh" "$1")"
rc=$?
printf '%s\n' "$out"
if [ "$rc" -ne 0 ] && printf '%s\n' "$out" | grep -q 'not allowed:.*GetTickCount64' &&
    printf '%s\n' "$out" | grep -q '^FAIL  no instruction beyond the i486.* found: .*cmov'; then
    echo "1 passed, 0 failed"
    exit 0
fi
echo "the checks did not refuse the posix-thread build (exit $rc)"
echo "0 passed, 1 failed"
exit 1
