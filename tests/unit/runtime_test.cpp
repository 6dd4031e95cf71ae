// The product's own formatting and 64-bit division (runtime/), against the
// host's C library and processor.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/format.h"

namespace {

// Formats with both at several buffer sizes (truncated, exact, ample):
// same text, same length returned.
void Same(const char* format, ...) {
    SCOPED_TRACE(format);
    va_list args;
    va_start(args, format);
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(400)}) {
        char theirs[400], ours[400];
        std::memset(theirs, '#', sizeof theirs);
        std::memset(ours, '#', sizeof ours);
        va_list a, b;
        va_copy(a, args);
        va_copy(b, args);
        const int n = std::vsnprintf(size ? theirs : nullptr, size, format, a);
        const int m = cvrt::FormatV(size ? ours : nullptr, size, format, b);
        va_end(a);
        va_end(b);
        EXPECT_EQ(m, n) << "size " << size;
        EXPECT_EQ(std::string(ours, sizeof ours), std::string(theirs, sizeof theirs)) << "size " << size;
    }
    va_end(args);
}

std::string Ours(const char* format, ...) {
    char out[64];
    va_list args;
    va_start(args, format);
    cvrt::FormatV(out, sizeof out, format, args);
    va_end(args);
    return out;
}

}  // namespace

TEST(Runtime, FormatsAsTheCLibraryDoes) {
    Same("plain text, 100%% sure");
    Same("%d %d %d %d %i", 0, -1, INT_MIN, INT_MAX, 42);
    Same("[%5d|%-5d|%05d|%+d|% d|%+i|% 05d|%-+6d]", 42, 42, -42, 5, 5, -5, 7, 7);
    Same("[%.3d|%.0d|%5.3d|%-8.4x|%08.3d|%.0x]", 7, 0, -7, 0xab, 5, 0);
    Same("%u %o %x %X", UINT_MAX, UINT_MAX, UINT_MAX, 0xbeefu);
    Same("[%#x|%#X|%#o|%#o|%#.0o|%#x|%#5o|%#08x]", 255, 255, 8, 0, 0, 0, 8, 0x1f);
    Same("%hhd %hhu %hd %hu", 300, 300, 70000, 70000);
    Same("%ld %lu %lld %llu", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX);
    Same("%lx %llx %llo %llX", 0xdeadbeefUL, 0x123456789abcdef0ULL, 01777777777777777777777ULL, 0xfULL);
    Same("%zu %zd %td %jd %ju", std::size_t(12345), std::size_t(99), std::ptrdiff_t(-3), INTMAX_MIN, UINTMAX_MAX);
    Same("[%*d|%-*d|%*d|%.*d|%.*d]", 6, 1, 6, 2, -6, 3, 4, 5, -1, 6);
    Same("[%s|%10s|%-10s|%.2s|%10.2s|%.*s|%s]", "abc", "abc", "abc", "abc", "abc", 1, "abc", "");
    Same("[%c|%3c|%-3c]", 'x', 'y', 'z');
    Same("%p", reinterpret_cast<void*>(0x12345678));
    Same("%s\\%03x", "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib", 9);
    Same("Total files scanned\t\t:  %d", 123456);
    Same("%s     %s removed", std::string(300, 'p').c_str(), "W32/Vendrika.Gen.Trojan");
}

// Conversions it does not format are written as they stand; their arguments
// are skipped, and %n stores nothing.
TEST(Runtime, UnformattedConversionsAreCopied) {
    int stored = 7;
    EXPECT_EQ(Ours("%f|%Lg|%d", 1.5, 2.5L, 3), "%f|%Lg|3");
    EXPECT_EQ(Ours("a%nb%d", &stored, 4), "a%nb4");
    EXPECT_EQ(stored, 7);
    EXPECT_EQ(Ours("%ls|%lc|%d|%", L"w", L'c', 5), "%ls|%lc|5|%");
}

TEST(Runtime, DividesAs64BitHardwareDoes) {
    const std::uint64_t edges[] = {0, 1, 2, 3, 7, 10, 0x7fffffff, 0x80000000, 0xffffffff, 0x100000000,
                                   0x100000001, 0x123456789abcdef0, 0x7fffffffffffffff,
                                   0x8000000000000000, 0xfffffffffffffffe, 0xffffffffffffffff};
    std::uint64_t state = 0x9e3779b97f4a7c15;
    auto next = [&state] {  // 64-bit values of every width
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> (state >> 58);
    };
    auto check = [](std::uint64_t n, std::uint64_t d) {
        if (d == 0) return;
        std::uint64_t r = 1;
        ASSERT_EQ(cvrt::UDivMod64(n, d, &r), n / d) << n << " / " << d;
        ASSERT_EQ(r, n % d) << n << " % " << d;
        const std::int64_t sn = std::int64_t(n), sd = std::int64_t(d);
        if (sn == INT64_MIN && sd == -1) return;  // overflows; checked below
        std::int64_t sr = 1;
        ASSERT_EQ(cvrt::DivMod64(sn, sd, &sr), sn / sd) << sn << " / " << sd;
        ASSERT_EQ(sr, sn % sd) << sn << " % " << sd;
    };
    for (std::uint64_t n : edges)
        for (std::uint64_t d : edges) check(n, d);
    for (int i = 0; i < 200000; ++i) check(next(), next());
    std::int64_t r = 1;
    EXPECT_EQ(cvrt::DivMod64(INT64_MIN, -1, &r), INT64_MIN);  // wraps, as the compiler's helper does
    EXPECT_EQ(r, 0);
}
