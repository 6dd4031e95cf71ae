// The conversions between Windows' wide text and the UTF-8 the front ends
// word everything in (vendrika-scan.exe: a path of the ANSI code page goes
// through UTF-16 to UTF-8 for JSON, and from UTF-8 through UTF-16 to the
// console's code page for text).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "offline/output_text.h"

namespace {

using Wide = std::vector<uint16_t>;

struct Pair {
    const char* what;
    Wide utf16;
    std::string utf8;
};

// Each row both ways: the text is one a file name can hold.
const Pair kBothWays[] = {
    {"empty", {}, ""},
    {"ASCII", {'C', ':', '\\', 'a'}, "C:\\a"},
    {"two bytes (e acute)", {0x00E9}, "\xC3\xA9"},
    {"the last of two bytes", {0x07FF}, "\xDF\xBF"},
    {"three bytes (CJK)", {0x65E5, 0x672C}, "\xE6\x97\xA5\xE6\x9C\xAC"},
    {"the last before the surrogates", {0xD7FF}, "\xED\x9F\xBF"},
    {"U+FFFF", {0xFFFF}, "\xEF\xBF\xBF"},
    {"a surrogate pair (U+1F600)", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
    {"the last code point", {0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
    {"NUL inside", {'a', 0, 'b'}, std::string("a\0b", 3)},
};

TEST(OfflineText, Utf16AndUtf8BothWays) {
    for (const Pair& p : kBothWays) {
        EXPECT_EQ(offline::Utf8FromUtf16(p.utf16.data(), p.utf16.size()), p.utf8) << p.what;
        EXPECT_EQ(offline::Utf16FromUtf8(p.utf8), p.utf16) << p.what;
    }
}

// What has no faithful form becomes U+FFFD, one per broken unit or byte, and
// never swallows the text after it.
TEST(OfflineText, BrokenTextBecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        const char* what;
        Wide utf16;
        std::string utf8;
    } kUtf16[] = {
        {"a lone high surrogate", {0xD800, 'x'}, fffd + "x"},
        {"a lone low surrogate", {0xDC00, 'x'}, fffd + "x"},
        {"a high surrogate at the end", {'x', 0xDBFF}, "x" + fffd},
        {"two high surrogates, then a low one", {0xD800, 0xD800, 0xDC00}, fffd + "\xF0\x90\x80\x80"},
    };
    for (const auto& row : kUtf16)
        EXPECT_EQ(offline::Utf8FromUtf16(row.utf16.data(), row.utf16.size()), row.utf8) << row.what;

    const struct {
        const char* what;
        std::string utf8;
        Wide utf16;
    } kUtf8[] = {
        {"a byte of an ANSI code page", "caf\xE9.exe", {'c', 'a', 'f', 0xFFFD, '.', 'e', 'x', 'e'}},
        {"an overlong slash", "\xC0\xAF", {0xFFFD, 0xFFFD}},
        {"an encoded surrogate", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
        {"cut short at the end", "a\xE6\x97", {'a', 0xFFFD, 0xFFFD}},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
    };
    for (const auto& row : kUtf8) EXPECT_EQ(offline::Utf16FromUtf8(row.utf8), row.utf16) << row.what;
}

}  // namespace
