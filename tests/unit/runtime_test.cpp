// The product's own formatting and 64-bit division (runtime/), against the
// C library's C99 vsnprintf and the processor. Built into the host unit tests
// and into the Windows-side tests (tests/win), where the formatting runs over
// MSVCRT.DLL's _vsnprintf, as in the product.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/format.h"

namespace {

constexpr std::size_t kRoom = 800;

// Formats with both at a few small sizes, at the report line's size and
// around the text's own length (cut by one, exactly filled, ample): the same
// bytes in the buffer (the text cut to fit and terminated, nothing after it
// touched), and the text's length when it fit, -1 when it was cut.
void Same(const char* format, ...) {
    SCOPED_TRACE(format);
    va_list args;
    va_start(args, format);
    va_list probe;
    va_copy(probe, args);
    const int length = std::vsnprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (length < 0 || std::size_t(length) + 2 > kRoom) {
        ADD_FAILURE() << "length " << length;
        va_end(args);
        return;
    }
    const std::size_t whole = std::size_t(length);
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(640),
                             whole, whole + 1, whole + 2, kRoom}) {
        char theirs[kRoom], ours[kRoom];
        std::memset(theirs, '#', sizeof theirs);
        std::memset(ours, '#', sizeof ours);
        va_list a, b;
        va_copy(a, args);
        va_copy(b, args);
        std::vsnprintf(theirs, size, format, a);
        const int m = cvrt::FormatV(ours, size, format, b);
        va_end(a);
        va_end(b);
        EXPECT_EQ(m, whole < size ? length : -1) << "size " << size;
        EXPECT_EQ(std::string(ours, sizeof ours), std::string(theirs, sizeof theirs)) << "size " << size;
    }
    va_end(args);
}

}  // namespace

// The conversions the program formats (%s, %d, %03x) and their near kin, all
// of which MSVCRT.DLL and C99 write alike.
TEST(Runtime, FormatsAsTheCLibraryDoes) {
    Same("");
    Same("plain text, 100%% sure");
    Same("%d %d %d %d %i", 0, -1, INT_MIN, INT_MAX, 42);
    Same("[%5d|%-5d|%05d|%+d|% d|%+i|%-+6d]", 42, 42, -42, 5, 5, -5, 7);
    Same("[%.3d|%5.3d|%-8.4x]", 7, -7, 0xab);
    Same("%u %o %x %X [%03x|%03x|%08X]", UINT_MAX, UINT_MAX, UINT_MAX, 0xbeefu, 9, 0x1234, 0xabcu);
    Same("[%*d|%-*d|%.*d]", 6, 1, 6, 2, 4, 5);
    Same("[%s|%10s|%-10s|%.2s|%10.2s|%.*s|%s]", "abc", "abc", "abc", "abc", "abc", 1, "abc", "");
    Same("[%c|%3c|%-3c]", 'x', 'y', 'z');
    Same("%s\\%03x", "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib", 9);
    Same("Total files scanned\t\t:  %d", 123456);
    Same("%s     %s removed", std::string(260, 'p').c_str(), "W32/Vendrika.Gen.Trojan");
    // Longer than a report line: cut there.
    Same("%s     %s Unable to remove", std::string(700, 'q').c_str(), "W32/Vendrika.Gen.Trojan");
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
