// The C names under which the compiler and the MinGW headers reach the
// helpers of this folder, and the few C library functions that the
// MSVCRT.DLL of Windows 95 and NT 4.0 lacks.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/format.h"

extern "C" {

// <stdio.h> sends vsnprintf and snprintf here: in this program they answer
// -1 for a text that was cut, as MSVCRT.DLL's _vsnprintf does, and always
// terminate it. The unbounded vsprintf and sprintf have no entry point: a
// use of one is an undefined reference when the program is linked.
int __mingw_vsnprintf(char* buffer, std::size_t size, const char* format, va_list args) {
    return cvrt::FormatV(buffer, size, format, args);
}

// 64-bit division on the i386.
std::uint64_t __udivdi3(std::uint64_t n, std::uint64_t d) { return cvrt::UDivMod64(n, d, nullptr); }
std::uint64_t __umoddi3(std::uint64_t n, std::uint64_t d) {
    std::uint64_t r;
    cvrt::UDivMod64(n, d, &r);
    return r;
}
std::uint64_t __udivmoddi4(std::uint64_t n, std::uint64_t d, std::uint64_t* r) { return cvrt::UDivMod64(n, d, r); }
std::int64_t __divdi3(std::int64_t n, std::int64_t d) { return cvrt::DivMod64(n, d, nullptr); }
std::int64_t __moddi3(std::int64_t n, std::int64_t d) {
    std::int64_t r;
    cvrt::DivMod64(n, d, &r);
    return r;
}
std::int64_t __divmoddi4(std::int64_t n, std::int64_t d, std::int64_t* r) { return cvrt::DivMod64(n, d, r); }

// stdin, stdout and stderr: MSVCRT.DLL's _iob array. The headers reach this
// through an import pointer, as if it were a function of the DLL.
static FILE* __cdecl StandardStream(unsigned index) { return &_iob[index]; }
FILE* (*importedStandardStream)(unsigned) __asm__("__imp____acrt_iob_func") = StandardStream;

std::size_t strnlen(const char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n && s[i]) ++i;
    return i;
}

}  // extern "C"
