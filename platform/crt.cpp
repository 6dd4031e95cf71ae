#include "platform/crt.h"

#include <cstdio>
#include <cstring>

namespace crt {

void LeadBytes::Add(unsigned first, unsigned last) {
    for (unsigned c = first; c <= last && c < 256; ++c) bits_[c >> 5] |= 1u << (c & 31);
}

LeadBytes LeadBytes::FromRanges(const unsigned char* ranges, size_t size) {
    LeadBytes leads;
    for (size_t i = 0; i + 1 < size && (ranges[i] || ranges[i + 1]); i += 2)
        leads.Add(ranges[i], ranges[i + 1]);
    return leads;
}

LeadBytes LeadBytes::EveryHighByte() {
    LeadBytes leads;
    leads.Add(0x80, 0xFF);
    return leads;
}

const char* NextChar(const char* p, const LeadBytes& leads) {
    if (*p == '\0') return p;
    // A lead byte right before the terminator stands alone.
    if (leads.IsLead((unsigned char)*p) && p[1] != '\0') return p + 2;
    return p + 1;
}

const char* FindChar(const char* s, char c, const LeadBytes& leads) {
    for (const char* p = s; *p; p = NextChar(p, leads))
        if (*p == c) return p;
    return nullptr;
}

const char* FindLastChar(const char* s, char c, const LeadBytes& leads) {
    const char* last = nullptr;
    for (const char* p = s; *p; p = NextChar(p, leads))
        if (*p == c) last = p;
    return last;
}

int CompareNames(const char* a, const char* b, size_t n, const LeadBytes& leads) {
    size_t i = 0;
    while (i < n) {
        // Both texts are at the start of a character here: every byte before
        // was equal, letters aside, and no letter is a lead byte.
        const int ca = (unsigned char)ToLower(a[i]);
        const int cb = (unsigned char)ToLower(b[i]);
        if (ca != cb || ca == 0) return ca - cb;
        ++i;
        if (!leads.IsLead((unsigned char)ca) || i >= n) continue;
        // The trail byte of a double-byte character: exactly.
        const int ta = (unsigned char)a[i];
        const int tb = (unsigned char)b[i];
        if (ta != tb || ta == 0) return ta - tb;
        ++i;
    }
    return 0;
}

const char* ProgramOf(const char* command, bool* quoted) {
    while (*command == ' ' || *command == '\t') ++command;
    *quoted = *command == '"';
    return *quoted ? command + 1 : command;
}

bool ProgramIsFile(const char* program, bool quoted, const char* path, const LeadBytes& leads) {
    if (!path[0]) return false;
    const size_t length = std::strlen(path);
    if (CompareNames(program, path, length, leads) != 0) return false;
    const char next = program[length];
    if (quoted) return next == '"';
    return next == '\0' || next == ' ' || next == '\t';
}

int stricmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int ca = (unsigned char)ToLower(*a);
        const int cb = (unsigned char)ToLower(*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

int strnicmp(const char* a, const char* b, size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        const int ca = (unsigned char)ToLower(*a);
        const int cb = (unsigned char)ToLower(*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
    return 0;
}

int memicmp(const void* a, const void* b, size_t n) {
    const char* pa = static_cast<const char*>(a);
    const char* pb = static_cast<const char*>(b);
    for (size_t i = 0; i < n; ++i) {
        const int ca = (unsigned char)ToLower(pa[i]);
        const int cb = (unsigned char)ToLower(pb[i]);
        if (ca != cb) return ca - cb;
    }
    return 0;
}

char* strlwr(char* s) {
    for (char* p = s; *p; ++p) *p = ToLower(*p);
    return s;
}

char* strupr(char* s) {
    for (char* p = s; *p; ++p) *p = ToUpper(*p);
    return s;
}

bool CopyText(char* dst, size_t size, const char* src) {
    if (size == 0) return false;
    const size_t len = std::strlen(src);
    const size_t n = len < size ? len : size - 1;
    std::memmove(dst, src, n);
    dst[n] = '\0';
    return n == len;
}

bool AppendText(char* dst, size_t size, const char* src) {
    const size_t used = strnlen(dst, size);
    if (used >= size) return false;  // dst was not terminated within size
    return CopyText(dst + used, size - used, src);
}

bool FormatText(char* dst, size_t size, const char* format, ...) {
    if (size == 0) return false;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(dst, size, format, args);
    va_end(args);
    return n >= 0 && size_t(n) < size;
}

bool WildMatch(const char* mask, const char* name) {
    const char* starMask = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*mask == '*') {
            starMask = ++mask;
            starName = name;
        } else if (*mask == '?' || (*mask && ToUpper(*mask) == ToUpper(*name))) {
            ++mask;
            ++name;
        } else if (starMask) {
            mask = starMask;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*mask == '*') ++mask;
    return *mask == '\0';
}

}  // namespace crt
