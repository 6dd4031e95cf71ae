#!/usr/bin/env bash
# Static checks of the 32-bit product's programs, CleanVendrika.exe and
# vendrika-scan.exe, for what no Wine test can show: that the loaders and
# processors of Windows 95 and NT 4.0 accept them.
#   - machine i386, GUI subsystem (console with CV_SUBSYSTEM=console),
#     subsystem and OS version 4.0;
#   - it needs no DLL beyond KERNEL32, USER32, GDI32, ADVAPI32, SHELL32 and
#     MSVCRT, and imports only the functions listed in product-imports.txt,
#     each exported by Windows 95 and NT 4.0;
#   - no instruction beyond the i486 (the Pentium, K5, K6, 6x86 and early C3
#     lack the Pentium Pro's; the 486 lacks the Pentium's), and no MMX, SSE
#     or AVX register;
#   - the embedded manifest's trustInfo carries exactly one namespace
#     declaration (XP SP2 without its later hotfix restarts the machine on
#     two, some XP builds reject it with none);
#   - a release build carries no symbols.
# Usage: [CV_SUBSYSTEM=console] check_product.sh EXE. Ends with "N passed, N failed"; exit 1 on any failure.
set -u
exe="$1"
here="$(cd "$(dirname "$0")" && pwd)"
allowed="${CV_ALLOWED_IMPORTS:-$here/product-imports.txt}"
objdump=i686-w64-mingw32-objdump
subsystem="${CV_SUBSYSTEM:-gui}"
. "$here/lib.sh"

[ -f "$exe" ] || { echo "no such file: $exe"; echo "0 passed, 1 failed"; exit 1; }
headers="$($objdump -p "$exe" 2>&1)" || { echo "$headers"; echo "0 passed, 1 failed"; exit 1; }
field() { printf '%s\n' "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }

# --- headers -------------------------------------------------------------------
off=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((off + 4)) -N2 "$exe" | tr -d ' ')
[ "$machine" = 014c ]
ok $? "machine is i386 (0x$machine)"
if [ "$subsystem" = console ]; then
    [ "$(field Subsystem)" = 00000003 ]
    ok $? "console subsystem ($(field Subsystem))"
else
    [ "$(field Subsystem)" = 00000002 ]
    ok $? "GUI subsystem ($(field Subsystem))"
fi
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
# Every section that holds code (flagged code or executable) is disassembled
# whole; each instruction must be one the i486 has (i486-instructions.txt),
# or a listed exception that runs only after a processor check
# (instruction-exceptions.txt). No operand may be an MMX, SSE or AVX register.
code_sections="$(
    hdr=$((off + 24))
    nsec=$(od -An -tu2 -j$((off + 6)) -N2 "$exe" | tr -d ' ')
    optsize=$(od -An -tu2 -j$((off + 20)) -N2 "$exe" | tr -d ' ')
    table=$((hdr + optsize))
    for ((i = 0; i < nsec; i++)); do
        entry=$((table + 40 * i))
        flags=$(od -An -tu4 -j$((entry + 36)) -N4 "$exe" | tr -d ' ')
        if (((flags & 0x20) || (flags & 0x20000000))); then
            dd if="$exe" bs=1 skip=$entry count=8 2>/dev/null | tr -d '\0'
            echo
        fi
    done)"
[ -n "$code_sections" ]
ok $? "sections holding code: $(echo $code_sections)"

# The linker puts the lists of static constructors and destructors into
# .text: -1, the functions' addresses, 0, twice over. They are data, and are
# not disassembled (their addresses would read as instructions).
lists_in() {  # SECTION: prints "START END" of the two lists, if found once
    local line vma size fileoff
    line="$($objdump -h "$exe" | awk -v s="$1" '$2 == s { print $3, $4, $6; exit }')"
    read -r size vma fileoff <<<"$line"
    od -An -v -tx1 -j $((16#$fileoff)) -N $((16#$size)) "$exe" | tr -s ' \n' '\n\n' | grep . |
        awk -v base=$((16#$vma)) -v size=$((16#$size)) '
        BEGIN { for (i = 0; i < 256; i++) v[sprintf("%02x", i)] = i }
        { b[n++] = $1 }
        function word(p) { return v[b[p]] + 256 * (v[b[p + 1]] + 256 * (v[b[p + 2]] + 256 * v[b[p + 3]])) }
        function list(p,   w) {  # end of a list at p, or -1
            if (p + 4 > n || word(p) != 4294967295) return -1
            for (p += 4; p + 4 <= n; p += 4) {
                w = word(p)
                if (w == 0) return p + 4
                if (w < base || w >= base + size) return -1
            }
            return -1
        }
        END {
            found = 0
            for (p = 0; p + 16 <= n; p++) {
                if (b[p] != "ff" || b[p + 1] != "ff" || b[p + 2] != "ff" || b[p + 3] != "ff") continue
                e = list(p)
                if (e < 0) continue
                e = list(e)
                if (e < 0) continue
                found++; start = p; end = e
            }
            if (found == 1) printf "%d %d\n", base + start, base + end
        }'
}

# One line per instruction: its mnemonic (prefixes dropped) and its operands.
listing=""
skipped=""
for s in $code_sections; do
    read -r from to <<<"$(lists_in "$s")"
    if [ -n "$from" ]; then
        skipped="$skipped $(printf '%s 0x%x-0x%x' "$s" "$from" "$to")"
        part="$($objdump -D -M intel --no-show-raw-insn -j "$s" --stop-address=$from "$exe"
            $objdump -D -M intel --no-show-raw-insn -j "$s" --start-address=$to "$exe")"
    else
        part="$($objdump -D -M intel --no-show-raw-insn -j "$s" "$exe")"
    fi
    listing="$listing$(printf '%s\n' "$part" | awk -F'\t' '/^ *[0-9a-f]+:\t/ {
        n = split($2, w, " ")
        i = 1
        while (i <= n && w[i] ~ /^(rep|repz|repnz|repe|repne|lock|data16|addr16|cs|ds|es|ss|fs|gs|bnd|notrack)$/) i++
        if (i > n) next
        ops = ""
        for (j = i + 1; j <= n; j++) ops = ops " " w[j]
        print w[i] "\t" ops }')
"
done
allowed_insns="$(grep -v -E '^\s*(#|$)' "$here/i486-instructions.txt" | tr -s ' \t' '\n' | sort -u)"
exceptions="$(grep -v -E '^\s*(#|$)' "${CV_INSTRUCTION_EXCEPTIONS:-$here/instruction-exceptions.txt}" | awk '{ print $1 " " $2 }')"
beyond="$(printf '%s\n' "$listing" | awk -F'\t' -v allowed="$allowed_insns" -v exceptions="$exceptions" '
    BEGIN {
        n = split(allowed, a, "\n"); for (i = 1; i <= n; i++) ok[a[i]] = 1
        n = split(exceptions, e, "\n"); for (i = 1; i <= n; i++) { split(e[i], f, " "); limit[f[1]] = f[2] }
    }
    $1 == "" { next }
    {
        m = $1
        if (m == "nop" && $2 ~ /[^ ]/) m = "nop(long,0F1F)"        # the multi-byte NOP of the Pentium Pro
        else if ($2 ~ /(^|[^a-z])[xyz]?mm[0-9]+/) m = m "(mmx/sse register)"
        else if (m in ok) next
        count[m]++
    }
    END {
        for (m in count) if (!(m in limit) || count[m] > limit[m]) print count[m] " " m
    }' | sort -k1,1nr -k2)"
total=$(printf '%s\n' "$beyond" | awk 'NF { t += $1 } END { print t + 0 }')
[ "$total" -eq 0 ]
ok $? "no instruction beyond the i486 ($(printf '%s\n' "$listing" | grep -c .) instructions read${skipped:+; constructor lists left out:}$skipped)${beyond:+; $total found: }$(printf '%s\n' "$beyond" | paste -sd, - | sed 's/,/, /g')"

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
