#include "runtime/format.h"

#include <type_traits>

namespace cvrt {
namespace {

// Output that counts everything and stores what fits (one byte is kept for
// the terminator).
struct Out {
    char* buffer;
    std::size_t size;
    std::size_t length;

    void Put(char c) {
        if (length + 1 < size) buffer[length] = c;
        ++length;
    }
    void Repeat(char c, int n) {
        for (; n > 0; --n) Put(c);
    }
    void Text(const char* s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) Put(s[i]);
    }
};

enum Flags { kLeft = 1, kPlus = 2, kSpace = 4, kAlternate = 8, kZero = 16 };
enum Length { kInt, kChar, kShort, kLong, kLongLong, kIntMax, kSize, kPtrDiff, kLongDouble };

// Digits of v in the given base, last digit first; returns their count.
int Digits(std::uint64_t v, unsigned base, bool upper, char* out) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = 0;
    if ((v >> 32) == 0) {  // the common case without a 64-bit division
        std::uint32_t w = std::uint32_t(v);
        while (w) {
            out[n++] = digits[w % base];
            w /= base;
        }
        return n;
    }
    while (v) {
        std::uint64_t rest;
        v = UDivMod64(v, base, &rest);
        out[n++] = digits[unsigned(rest)];
    }
    return n;
}

void Integer(Out& out, std::uint64_t magnitude, bool negative, char conversion, int flags, int width,
             int precision) {
    const unsigned base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X' || conversion == 'p') ? 16 : 10;
    const bool isSigned = conversion == 'd' || conversion == 'i';
    char digits[24];
    int n = Digits(magnitude, base, conversion == 'X', digits);

    char prefix[2];
    int prefixLength = 0;
    if (isSigned) {
        if (negative) prefix[prefixLength++] = '-';
        else if (flags & kPlus) prefix[prefixLength++] = '+';
        else if (flags & kSpace) prefix[prefixLength++] = ' ';
    }
    if ((flags & kAlternate) && magnitude != 0 && (base == 16)) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = conversion == 'X' ? 'X' : 'x';
    }

    // Precision: the least number of digits; 0 with a zero value writes none.
    int zeros = 0;
    if (precision >= 0) {
        if (precision > n) zeros = precision - n;
    } else if (n == 0) {
        zeros = 1;
    }
    if (base == 8 && (flags & kAlternate) && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;

    int padding = width - prefixLength - zeros - n;
    if (padding < 0) padding = 0;
    if (!(flags & kLeft) && !((flags & kZero) && precision < 0)) out.Repeat(' ', padding);
    out.Text(prefix, std::size_t(prefixLength));
    if (!(flags & kLeft) && (flags & kZero) && precision < 0) out.Repeat('0', padding);
    out.Repeat('0', zeros);
    while (n > 0) out.Put(digits[--n]);
    if (flags & kLeft) out.Repeat(' ', padding);
}

void Chars(Out& out, const char* s, std::size_t n, int flags, int width) {
    const int padding = width > int(n) ? width - int(n) : 0;
    if (!(flags & kLeft)) out.Repeat(' ', padding);
    out.Text(s, n);
    if (flags & kLeft) out.Repeat(' ', padding);
}

}  // namespace

int FormatV(char* buffer, std::size_t size, const char* format, std::va_list args) {
    Out out{buffer, size, 0};
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        const char* spec = p++;
        int flags = 0;
        for (;; ++p) {
            if (*p == '-') flags |= kLeft;
            else if (*p == '+') flags |= kPlus;
            else if (*p == ' ') flags |= kSpace;
            else if (*p == '#') flags |= kAlternate;
            else if (*p == '0') flags |= kZero;
            else break;
        }
        // Width and precision saturate rather than overflow.
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                flags |= kLeft;
                width = width < -99999999 ? 99999999 : -width;
            }
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p) width = width > 99999999 ? width : width * 10 + (*p - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                if (precision < 0) precision = -1;
                ++p;
            } else {
                for (; *p >= '0' && *p <= '9'; ++p)
                    precision = precision > 99999999 ? precision : precision * 10 + (*p - '0');
            }
        }
        Length length = kInt;
        switch (*p) {
            case 'h':
                ++p;
                length = *p == 'h' ? (++p, kChar) : kShort;
                break;
            case 'l':
                ++p;
                length = *p == 'l' ? (++p, kLongLong) : kLong;
                break;
            case 'j': ++p; length = kIntMax; break;
            case 'z': ++p; length = kSize; break;
            case 't': ++p; length = kPtrDiff; break;
            case 'L': ++p; length = kLongDouble; break;
            default: break;
        }
        const char conversion = *p;
        if (conversion) ++p;
        switch (conversion) {
            case 'd':
            case 'i': {
                std::int64_t v;
                switch (length) {
                    case kChar: v = static_cast<signed char>(va_arg(args, int)); break;
                    case kShort: v = static_cast<short>(va_arg(args, int)); break;
                    case kLong: v = va_arg(args, long); break;
                    case kLongLong: v = va_arg(args, long long); break;
                    case kIntMax: v = va_arg(args, std::intmax_t); break;
                    case kSize: v = static_cast<std::make_signed<std::size_t>::type>(va_arg(args, std::size_t)); break;
                    case kPtrDiff: v = va_arg(args, std::ptrdiff_t); break;
                    default: v = va_arg(args, int); break;
                }
                const std::uint64_t magnitude = v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v);
                Integer(out, magnitude, v < 0, conversion, flags, width, precision);
                break;
            }
            case 'u':
            case 'o':
            case 'x':
            case 'X': {
                std::uint64_t v;
                switch (length) {
                    case kChar: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
                    case kShort: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
                    case kLong: v = va_arg(args, unsigned long); break;
                    case kLongLong: v = va_arg(args, unsigned long long); break;
                    case kIntMax: v = va_arg(args, std::uintmax_t); break;
                    case kSize: v = va_arg(args, std::size_t); break;
                    case kPtrDiff: v = std::uint64_t(va_arg(args, std::ptrdiff_t)); break;
                    default: v = va_arg(args, unsigned); break;
                }
                Integer(out, v, false, conversion, flags, width, precision);
                break;
            }
            case 'p': {
                const void* v = va_arg(args, void*);
                if (v) Integer(out, std::uintptr_t(v), false, 'p', flags | kAlternate, width, precision);
                else Chars(out, "(nil)", 5, flags, width);
                break;
            }
            case 'c': {
                if (length != kInt) goto unknown;
                const char c = static_cast<char>(va_arg(args, int));
                Chars(out, &c, 1, flags, width);
                break;
            }
            case 's': {
                if (length != kInt) goto unknown;
                const char* s = va_arg(args, const char*);
                if (!s) s = "(null)";
                std::size_t n = 0;
                while ((precision < 0 || n < std::size_t(precision)) && s[n]) ++n;
                Chars(out, s, n, flags, width);
                break;
            }
            case '%': out.Put('%'); break;
            default:
            unknown:
                // Not formatted: its argument is skipped where its type is known,
                // and the conversion is copied as it stands.
                switch (conversion) {
                    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
                        if (length == kLongDouble) (void)va_arg(args, long double);
                        else (void)va_arg(args, double);
                        break;
                    case 'n': (void)va_arg(args, void*); break;
                    case 'c': (void)va_arg(args, unsigned); break;
                    case 's': (void)va_arg(args, void*); break;
                    default: break;
                }
                out.Text(spec, std::size_t(p - spec));
                break;
        }
    }
    if (size > 0) buffer[out.length < size ? out.length : size - 1] = '\0';
    return out.length > 0x7fffffff ? -1 : int(out.length);
}

}  // namespace cvrt
