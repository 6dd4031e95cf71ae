#!/usr/bin/env bash
# Static checks of the 32-bit product, CleanVendrika.exe, for what no Wine
# test can show: that the loaders and processors of Windows 95 and NT 4.0
# accept it.
#   - machine i386, GUI subsystem, subsystem and OS version 4.0;
#   - it needs no DLL beyond KERNEL32, USER32, GDI32, ADVAPI32, SHELL32 and
#     MSVCRT, and imports only the functions listed in product-imports.txt,
#     each exported by Windows 95 and NT 4.0;
#   - no MMX or SSE instruction (the Pentium and 486 have none);
#   - the embedded manifest's trustInfo carries exactly one namespace
#     declaration (XP SP2 without its later hotfix restarts the machine on
#     two, some XP builds reject it with none);
#   - a release build carries no symbols.
# Usage: check_product.sh EXE. Ends with "N passed, N failed"; exit 1 on any failure.
set -u
exe="$1"
here="$(cd "$(dirname "$0")" && pwd)"
allowed="${CV_ALLOWED_IMPORTS:-$here/product-imports.txt}"
objdump=i686-w64-mingw32-objdump
passed=0
failed=0
ok() {  # ok CONDITION-STATUS "what"
    if [ "$1" -eq 0 ]; then
        passed=$((passed + 1))
        echo "ok    $2"
    else
        failed=$((failed + 1))
        echo "FAIL  $2"
    fi
}

[ -f "$exe" ] || { echo "no such file: $exe"; echo "0 passed, 1 failed"; exit 1; }
headers="$($objdump -p "$exe" 2>&1)" || { echo "$headers"; echo "0 passed, 1 failed"; exit 1; }
field() { printf '%s\n' "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }

# --- headers -------------------------------------------------------------------
off=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((off + 4)) -N2 "$exe" | tr -d ' ')
[ "$machine" = 014c ]
ok $? "machine is i386 (0x$machine)"
[ "$(field Subsystem)" = 00000002 ]
ok $? "GUI subsystem ($(field Subsystem))"
v="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
[ "$v" = 4.0 ]
ok $? "subsystem version 4.0 ($v)"
v="$(field MajorOSystemVersion).$(field MinorOSystemVersion)"
[ "$v" = 4.0 ]
ok $? "OS version 4.0 ($v)"

# --- imports -------------------------------------------------------------------
imports="$(printf '%s\n' "$headers" | awk '
    /DLL Name:/ { dll = toupper($3); next }
    /^$/ { next }
    dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll "!" $3 }' | sort -u)"
[ -n "$imports" ]
ok $? "the import table was read ($(printf '%s\n' "$imports" | wc -l) functions)"

bad_dlls="$(printf '%s\n' "$imports" | cut -d'!' -f1 | sort -u |
    grep -v -x -E 'KERNEL32\.DLL|USER32\.DLL|GDI32\.DLL|ADVAPI32\.DLL|SHELL32\.DLL|MSVCRT\.DLL')"
[ -z "$bad_dlls" ]
ok $? "needs no DLL beyond KERNEL32, USER32, GDI32, ADVAPI32, SHELL32, MSVCRT${bad_dlls:+: }$(echo $bad_dlls)"

# Every line of the list must name Windows 95 and NT 4.0 or earlier.
late="$(grep -v -E '^\s*(#|$)' "$allowed" |
    awk '!($2 ~ /^(95|95-stub|95\+crt)$/ && $3 ~ /^(3\.1|3\.5|3\.51|4\.0)$/) { print $1 " " $2 " " $3 }')"
[ -z "$late" ]
ok $? "every allowed import is exported by Windows 95 and NT 4.0${late:+: }$(echo $late)"

listed="$(grep -v -E '^\s*(#|$)' "$allowed" | awk '{ print toupper(substr($1, 1, index($1, "!"))) substr($1, index($1, "!") + 1) }' | sort -u)"
unlisted="$(comm -23 <(printf '%s\n' "$imports") <(printf '%s\n' "$listed"))"
[ -z "$unlisted" ]
ok $? "imports only allowed functions${unlisted:+; not allowed: }$(echo $unlisted)"

# --- instructions --------------------------------------------------------------
# Any MMX or XMM register operand, or an SSE-only instruction without one.
simd="$($objdump -d --no-show-raw-insn "$exe" |
    grep -E '%(x|y)?mm[0-9]|\s(ldmxcsr|stmxcsr|[slm]fence|prefetch(nta|t[012]|w)?|movnti|maskmovq|emms)(\s|$)' | head -n 5)"
[ -z "$simd" ]
ok $? "no MMX or SSE instruction${simd:+: }$(echo $simd)"

# --- manifest ------------------------------------------------------------------
trust="$(tr -d '\r' <"$exe" | grep -a -o '<trustInfo[^>]*>' | head -n 1)"
[ -n "$trust" ]
ok $? "the manifest has a trustInfo element"
ns=$(printf '%s' "$trust" | grep -o 'xmlns[:=][^ >]*' | wc -l)
[ "$ns" -eq 1 ]
ok $? "trustInfo carries exactly one namespace declaration ($ns: $trust)"

# --- symbols -------------------------------------------------------------------
if [ "${CV_RELEASE:-1}" = 1 ]; then
    syms=$($objdump -t "$exe" | grep -c '^\[')
    sections=$($objdump -h "$exe" | awk '$2 ~ /^\.debug/' | wc -l)
    [ "$syms" -eq 0 ] && [ "$sections" -eq 0 ]
    ok $? "stripped: no symbol table, no debug sections ($(stat -c %s "$exe") bytes)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
