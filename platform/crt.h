// Small, portable stand-ins for the runtime's text helpers (_stricmp,
// _strnicmp, _memicmp, _strlwr) and bounded copy/format helpers. Pure
// functions: no operating-system state, so they live outside the platform
// table. Letter case is ASCII only, as the single-byte "C" locale has it.
//
// Names of files and programs are compared with CompareNames, which knows
// the double-byte characters of the system's ANSI code page (the caller
// asks the platform for them: pf::AnsiLeadBytes). The byte-wise helpers
// below it are for text that is ASCII where it matters: protocol words,
// section headers, UTF-8.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace crt {

// The lead bytes of a code page: each begins a two-byte character whose
// second (trail) byte may be any byte, letters and the backslash included
// (in code page 932, 0x83 0x41 and 0x83 0x61 are two katakana, 0x83 0x5C a
// third). A single-byte code page has none.
class LeadBytes {
public:
    LeadBytes() = default;
    // From CPINFO.LeadByte: pairs of first and last lead byte, ended by a
    // pair of zeros or by the end of the array.
    static LeadBytes FromRanges(const unsigned char* ranges, size_t size);
    // Every byte above 0x7F: what nothing can be wrongly joined to or cut
    // from when the code page is not known.
    static LeadBytes EveryHighByte();
    bool IsLead(unsigned char c) const { return (bits_[c >> 5] >> (c & 31)) & 1u; }

private:
    void Add(unsigned first, unsigned last);
    uint32_t bits_[8] = {};
};

// The character after the one at p: two bytes for a lead byte followed by
// its trail, one otherwise; p itself at the terminator.
const char* NextChar(const char* p, const LeadBytes& leads);
// The first and the last character `c` (an ASCII one) of s, never a trail
// byte of a double-byte character; null when there is none.
const char* FindChar(const char* s, char c, const LeadBytes& leads);
const char* FindLastChar(const char* s, char c, const LeadBytes& leads);

// Compares at most n bytes of two names as the system compares them: ASCII
// letters without regard to case, every other single byte exactly, and a
// double-byte character (lead and trail) byte for byte, never folded.
// Returns <0, 0 or >0 as strnicmp does.
int CompareNames(const char* a, const char* b, size_t n, const LeadBytes& leads);
inline bool SameName(const char* a, const char* b, const LeadBytes& leads) {
    return CompareNames(a, b, SIZE_MAX, leads) == 0;
}

// Command lines (start-up values, a service's ImagePath). The program of
// `command`: after any leading blanks and the opening quote, which sets
// *quoted.
const char* ProgramOf(const char* command, bool* quoted);
// Whether the program text at `program` (as ProgramOf gives it) is the file
// `path`: the text begins with the path, compared by CompareNames, and the
// path is followed by the closing quote (quoted), or by the end of the text
// or a blank (unquoted). "C:\update.exe /q" does not run "C:\update".
bool ProgramIsFile(const char* program, bool quoted, const char* path, const LeadBytes& leads);

// Byte by byte: every byte in A-Z and a-z is folded, a trail byte of a
// double-byte character too.
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
