// Small, portable stand-ins for the runtime's text helpers (_stricmp,
// _strnicmp, _memicmp, _strlwr) and bounded copy/format helpers. Pure
// functions: no operating-system state, so they live outside the platform
// table. Letter case is ASCII only, as the single-byte "C" locale has it.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace crt {

inline char ToLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
inline char ToUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

int stricmp(const char* a, const char* b);
int strnicmp(const char* a, const char* b, size_t n);
int memicmp(const void* a, const void* b, size_t n);
char* strlwr(char* s);
char* strupr(char* s);

// DOS wildcard match without regard to case: '*' any run, '?' one character.
bool WildMatch(const char* mask, const char* name);

// Copies src into dst (capacity `size` bytes, terminator included). Returns
// true when all of src fit; otherwise copies what fits, terminates and
// returns false. Never writes past dst[size - 1].
bool CopyText(char* dst, size_t size, const char* src);
// Appends src to the text in dst under the same rule.
bool AppendText(char* dst, size_t size, const char* src);
// snprintf into dst, cut to fit and terminated; returns true when the whole
// text fit. The product's vsnprintf (runtime/format.h) answers -1 for a cut
// text where C99's gives the length of the whole text: both give false.
bool FormatText(char* dst, size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

template <size_t N>
bool CopyText(char (&dst)[N], const char* src) {
    return CopyText(dst, N, src);
}
template <size_t N>
bool AppendText(char (&dst)[N], const char* src) {
    return AppendText(dst, N, src);
}

}  // namespace crt
