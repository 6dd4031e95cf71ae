// The built-in table must hold exactly the variants the cleaner knows: the
// analysed rows byte for byte, and the rest within the rules every variant
// of the family follows.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "engine/signatures.h"

namespace {

int TableLength() {
    int n = 0;
    while (SignatureTable[n].name[0]) ++n;
    return n;
}

std::string PatternOf(const unsigned char* p) { return std::string(reinterpret_cast<const char*>(p), 20); }

std::string Hex(const char* text) {
    std::string out;
    for (const char* p = text; *p; p += 3) out += char(std::stoi(std::string(p, 2), nullptr, 16));
    return out;
}

void ExpectRow(int index, int32_t firstOffset, const char* first, int32_t secondOffset,
               const char* second, int32_t fileSize) {
    const SignatureRecord& r = SignatureTable[index];
    SCOPED_TRACE("record " + std::to_string(index + 1));
    EXPECT_STREQ(r.name, "W32/Vendrika.Gen.Trojan");
    EXPECT_EQ(ReadRecordField(r, 50), firstOffset);
    EXPECT_EQ(PatternOf(r.firstPattern), Hex(first));
    EXPECT_EQ(ReadRecordField(r, 75), secondOffset);
    EXPECT_EQ(PatternOf(r.secondPattern), Hex(second));
    EXPECT_EQ(ReadRecordField(r, 100), fileSize);
    EXPECT_EQ(ReadRecordField(r, 104), 1);
}

}  // namespace

TEST(SignatureTable, AnalysedRowsAreExact) {
    ExpectRow(0, -89583, "dd 40 08 10 14 84 6f 3f 72 18 33 c0 5f 5e 5b 57 20 c2 10 00 ", 376,
              "50 53 57 ff d5 58 61 8d 44 24 80 6a 00 39 c4 75 fa 83 ec 80 ", 92160);
    ExpectRow(10, -88994, "d3 d5 e7 f9 7e a6 7b 64 0c a1 d0 a7 65 e8 9a 46 61 d7 7c 78 ", 370,
              "60 28 7f 58 50 54 50 53 57 ff d5 58 61 8d 44 24 80 6a 00 39 ", 91648);
    ExpectRow(28, -89957, "e2 03 52 ff d7 80 74 43 c6 ba e3 14 f6 50 eb 1c 1f dc 69 8e ", 380,
              "d5 58 61 8d 44 24 80 6a 00 39 c4 75 fa 83 ec 80 e9 85 60 fd ", 92672);
}

TEST(SignatureTable, FollowsTheRulesOfTheFamily) {
    ASSERT_EQ(TableLength(), 74);
    // The end marker is 108 zero bytes.
    const unsigned char* marker = reinterpret_cast<const unsigned char*>(&SignatureTable[74]);
    for (int i = 0; i < 108; ++i) ASSERT_EQ(marker[i], 0) << "end marker byte " << i;

    std::map<int32_t, int> sizes;
    int positiveFirst = 0;
    std::set<std::pair<int32_t, std::string>> firstPairs;
    std::map<std::pair<int32_t, std::string>, int> secondPairs;
    for (int i = 0; i < 74; ++i) {
        const SignatureRecord& r = SignatureTable[i];
        SCOPED_TRACE("record " + std::to_string(i + 1));
        EXPECT_STREQ(r.name, "W32/Vendrika.Gen.Trojan");
        // Zero-filled after the name, and each pattern's 21st byte is 0.
        for (size_t k = std::strlen(r.name); k < sizeof r.name; ++k) EXPECT_EQ(r.name[k], 0);
        EXPECT_EQ(r.firstPattern[20], 0);
        EXPECT_EQ(r.secondPattern[20], 0);
        EXPECT_EQ(int32_t(r.sizeMode), 1);
        ++sizes[r.fileSize];
        const int32_t first = r.firstOffset;
        if (first > 0) {
            ++positiveFirst;
            EXPECT_EQ(first, 89251);
        } else {
            EXPECT_GE(first, -90069);
            EXPECT_LE(first, -88445);
        }
        const int32_t second = r.secondOffset;
        EXPECT_GE(second, 49);
        EXPECT_LE(second, 383);
        firstPairs.insert({first, PatternOf(r.firstPattern)});
        ++secondPairs[{second, PatternOf(r.secondPattern)}];
    }
    EXPECT_EQ(sizes, (std::map<int32_t, int>{{91136, 1}, {91648, 8}, {92160, 60}, {92672, 5}}));
    EXPECT_EQ(positiveFirst, 1);
    EXPECT_EQ(firstPairs.size(), 74u);
    EXPECT_EQ(secondPairs.size(), 60u);
    for (const auto& pair : secondPairs) EXPECT_LE(pair.second, 4) << "offset " << pair.first.first;
}
