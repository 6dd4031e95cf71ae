// Stack probe for frames larger than a page: GCC calls it with the frame size
// in EAX before it lowers ESP. Windows commits the stack one guard page at a
// time, so every page from the current top down to the new one is touched in
// order. Only the flags change; the caller moves ESP itself.
__asm__(
    "\t.text\n"
    "\t.globl ___chkstk_ms\n"
    "\t.def ___chkstk_ms; .scl 2; .type 32; .endef\n"
    "___chkstk_ms:\n"
    "\tpushl %ecx\n"
    "\tpushl %eax\n"
    "\tleal 12(%esp), %ecx\n"  // ESP as it was before the call
    "1:\tcmpl $0x1000, %eax\n"
    "\tjb 2f\n"
    "\tsubl $0x1000, %ecx\n"
    "\torl $0, (%ecx)\n"
    "\tsubl $0x1000, %eax\n"
    "\tjmp 1b\n"
    "2:\tsubl %eax, %ecx\n"
    "\torl $0, (%ecx)\n"
    "\tpopl %eax\n"
    "\tpopl %ecx\n"
    "\tret\n");
