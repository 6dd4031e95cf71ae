// Runs the product's own start-up code and C++ support (runtime/) as the
// product runs them: linked the same way, started by the system. Checks
//   1  a frame of more than two pages is probed page by page (chkstk.cpp),
//   2  the static constructors of several files ran once each, before
//      WinMain, by priority and then in the order GCC's own start-up runs
//      them (startup.cpp),
//   4  a function-local static is built once (cxx_support.cpp).
// Exit code: the sum of the numbers of the checks that failed (0: all
// passed); one line per check on standard output.
// Lines are formatted by the runtime's own snprintf (runtime/format.cpp).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "runtime/tests/runtime_check.h"

namespace {

char g_order[16];
int g_orderCount;

}  // namespace

void NoteConstructed(char letter) {
    if (g_orderCount < int(sizeof g_order) - 1) g_order[g_orderCount++] = letter;
}

Mark mainM('m');

namespace {

bool Report(bool passed, const char* what, const char* seen) {
    char line[256];
    std::snprintf(line, sizeof line, "%s  %s (%s)\n", passed ? "PASS" : "FAIL", what, seen);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, DWORD(std::strlen(line)), &written, nullptr);
    return passed;
}

// ---- 1: the stack probe -----------------------------------------------------

constexpr unsigned kPage = 4096;
constexpr unsigned kStackPages = 32;
// Six pages and a part of one: the probe has to touch each page on the way.
constexpr unsigned kFrameBytes = 6 * kPage + 0x123;

// Calls fn with ESP at `top`, then returns to the caller's own stack.
extern "C" int CallOnStack(int (*fn)(), void* top);
__asm__(
    "\t.text\n"
    "\t.globl _CallOnStack\n"
    "_CallOnStack:\n"
    "\tpushl %ebp\n"
    "\tmovl %esp, %ebp\n"
    "\tmovl 12(%ebp), %esp\n"
    "\tcall *8(%ebp)\n"
    "\tmovl %ebp, %esp\n"
    "\tpopl %ebp\n"
    "\tret\n");

// A frame larger than a page: the compiler calls the probe before it moves
// ESP. The body writes only the lowest byte.
__attribute__((noinline)) int BigFrame() {
    volatile char buffer[kFrameBytes];
    buffer[0] = 1;
    return buffer[0];
}

// Runs BigFrame on a stack of its own whose writes the system records
// (MEM_WRITE_WATCH): every page from the top down to the frame's lowest one
// must have been written, none skipped.
bool CheckStackProbe() {
    char seen[96] = "";
    auto* base = static_cast<char*>(VirtualAlloc(nullptr, kStackPages * kPage,
                                                 MEM_RESERVE | MEM_COMMIT | MEM_WRITE_WATCH,
                                                 PAGE_READWRITE));
    if (!base) return Report(false, "stack probe", "no write-watched memory");
    ResetWriteWatch(base, kStackPages * kPage);
    char* top = base + kStackPages * kPage - 64;
    const int result = CallOnStack(BigFrame, top);
    void* written[kStackPages];
    ULONG_PTR count = kStackPages;
    ULONG granularity = 0;
    bool passed = false;
    if (result == 1 &&
        GetWriteWatch(0, base, kStackPages * kPage, written, &count, &granularity) == 0 &&
        granularity == kPage) {
        // The frame's lowest byte lies kFrameBytes and a few words below top.
        const unsigned topPage = unsigned((top - 1 - base) / kPage);
        const unsigned lowestPage = unsigned((top - kFrameBytes - 16 - base) / kPage);
        bool pages[kStackPages] = {};
        for (ULONG_PTR i = 0; i < count; ++i)
            pages[(static_cast<char*>(written[i]) - base) / kPage] = true;
        unsigned missing = 0;
        for (unsigned p = lowestPage; p <= topPage; ++p)
            if (!pages[p]) ++missing;
        passed = missing == 0 && count >= topPage - lowestPage + 1 && pages[lowestPage];
        std::snprintf(seen, sizeof seen, "%lu pages written, %u of pages %u-%u missing",
                      static_cast<unsigned long>(count), missing, lowestPage, topPage);
    } else {
        std::snprintf(seen, sizeof seen, "result %d, no write record", result);
    }
    VirtualFree(base, 0, MEM_RELEASE);
    return Report(passed, "stack probe touches every page of a 6-page frame", seen);
}

// ---- 2: static constructors --------------------------------------------------

// Priorities first (101, then 200), then the default priority one file at a
// time, each in its own order of definition: the file linked last first
// (this file, runtime_check_first.cpp, runtime_check_second.cpp).
const char kConstructionOrder[] = "QPcabm";

bool CheckConstructors(const char* atWinMain) {
    bool same = true;
    for (int i = 0;; ++i) {
        if (atWinMain[i] != kConstructionOrder[i]) same = false;
        if (!atWinMain[i] || !kConstructionOrder[i]) break;
    }
    return Report(same, "static constructors of three files, once each, in order, before WinMain",
                  atWinMain);
}

// ---- 4: function-local statics ---------------------------------------------

int g_built;

struct Counted {
    int value;
    Counted() : value(42) { ++g_built; }
};

__attribute__((noinline)) Counted& Shared() {
    static Counted shared;
    return shared;
}

bool CheckLocalStatic() {
    Counted& (*volatile get)() = Shared;
    int sum = 0;
    for (int i = 0; i < 3; ++i) sum += get().value;
    char seen[64];
    std::snprintf(seen, sizeof seen, "built %d times, values %d", g_built, sum);
    return Report(g_built == 1 && sum == 3 * 42 && &get() == &get(),
                  "a function-local static is built once", seen);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char atWinMain[sizeof g_order];
    for (unsigned i = 0; i < sizeof g_order; ++i) atWinMain[i] = g_order[i];
    int failed = 0;
    if (!CheckStackProbe()) failed += 1;
    if (!CheckConstructors(atWinMain)) failed += 2;
    if (!CheckLocalStatic()) failed += 4;
    return failed;
}
