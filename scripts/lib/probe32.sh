# cv_can_run_32bit: true when this kernel executes 32-bit x86 programs.
# It runs a 96-byte static ELF32 program that only exits with code 42
# (mov eax,1; mov ebx,42; int 0x80); no package is needed for the probe.
cv_can_run_32bit() {
    local f rc
    f="$(mktemp /tmp/cv-probe32.XXXXXX)" || return 1
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'\
'\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'\
'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'\
'\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'\
'\270\001\000\000\000\273\052\000\000\000\315\200' >"$f"
    chmod +x "$f"
    "$f" 2>/dev/null
    rc=$?
    rm -f "$f"
    [ "$rc" -eq 42 ]
}
