// The performance-data reader against well-formed, malformed, truncated and
// random blocks. Blocks are copied into buffers of their exact size so the
// sanitizers see any read past the end.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "system/processes.h"
#include "tests/unit/system_perf_block.h"

namespace {

class PerfReaderTest : public ::testing::Test {
protected:
    PerfReaderTest() : guard_(machine) { machine.logEnabled = false; }

    int Read(const std::string& bytes, pf::DWORD pidIndex = perftest::kIdProcessIndex) {
        std::vector<pf::BYTE> exact(bytes.begin(), bytes.end());
        return ReadPerfTasks(exact.empty() ? nullptr : exact.data(), exact.size(), pidIndex, table);
    }

    pf::sim::SimMachine machine;
    PerfTaskEntry table[kPerfTaskTableSize];

private:
    pf::sim::ScopedSimMachine guard_;
};

std::vector<perftest::Instance> SomeInstances() {
    return {{u"System", 4}, {u"smss", 388}, {u"explorer", 1520}, {u"foo", 2044}, {u"Idle", 0}};
}

TEST_F(PerfReaderTest, ReadsEveryInstanceOfAWellFormedBlock) {
    const auto built = perftest::BuildBlock(SomeInstances());
    ASSERT_EQ(Read(built.bytes), 5);
    EXPECT_STREQ(table[0].name, "System");
    EXPECT_EQ(table[0].processId, 4u);
    EXPECT_STREQ(table[2].name, "explorer");
    EXPECT_EQ(table[2].processId, 1520u);
    EXPECT_EQ(table[4].processId, 0xFFFFFFFEu);
    EXPECT_EQ(table[5].processId, 0u);  // the rest of the table stays cleared
    EXPECT_STREQ(table[5].name, "");
}

TEST_F(PerfReaderTest, UsesTheFirstDefinitionCarryingTheIdIndex) {
    perftest::Layout layout;
    layout.counters = {6, 784, 784};  // the builder writes the id at the first slot
    ASSERT_EQ(Read(perftest::BuildBlock(SomeInstances(), layout).bytes), 5);
    EXPECT_EQ(table[1].processId, 388u);
    EXPECT_EQ(Read(perftest::BuildBlock(SomeInstances()).bytes, 12345), 0);  // no such counter
}

TEST_F(PerfReaderTest, NamesAreConvertedAndLongOnesLeftEmpty) {
    std::u16string latin = u"caf\u00e9";
    ASSERT_EQ(Read(perftest::BuildBlock({{latin, 1}, {u"\u4e2d\u6587", 2}, {std::u16string(17, u'x'), 3},
                                         {std::u16string(300, u'y'), 4}})
                       .bytes),
              4);
    EXPECT_STREQ(table[0].name, "caf\xe9");
    EXPECT_STREQ(table[1].name, "??");  // outside the code page: the default character
    EXPECT_STREQ(table[2].name, "");
    EXPECT_STREQ(table[3].name, "unknown");  // more than the 260-byte output holds
    EXPECT_EQ(table[3].processId, 4u);
}

TEST_F(PerfReaderTest, RejectsBlocksWithoutTheSignature) {
    std::string bytes = perftest::BuildBlock(SomeInstances()).bytes;
    EXPECT_EQ(Read(std::string()), 0);
    EXPECT_EQ(Read(bytes.substr(0, 7)), 0);
    bytes[1] = 1;  // 'P' as another UTF-16 character
    EXPECT_EQ(Read(bytes), 0);
}

TEST_F(PerfReaderTest, MalformedFieldsGiveFewerEntriesNeverAFault) {
    const auto built = perftest::BuildBlock(SomeInstances());
    const uint32_t object = built.objectOffset;
    const uint32_t second = built.instanceOffsets[1];
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        int expected;
    };
    const Case cases[] = {
        {"block header length past the end", 24, 0xFFFFFFF0u, 0},
        {"block header length near the end", 24, uint32_t(built.bytes.size() - 4), 0},
        {"object header length past the end", object + 8, 0x7FFFFFFFu, 0},
        {"no counters", object + 32, 0, 0},
        {"four billion counters, none matching past the block", object + 32, 0xFFFFFFFFu, 5},
        {"definition length past the end", object + 4, 0xFFFFFFFFu, 0},
        {"NumInstances -1 (taken unsigned, capped)", object + 40, 0xFFFFFFFFu, 5},
        {"NumInstances 2", object + 40, 2, 2},
        {"second name offset past the end", second + 16, 0x80000000u, 1},
        {"second byte length past the end", second + 0, 0xFFFFFFFFu, 1},
    };
    for (const Case& c : cases) {
        std::string bytes = built.bytes;
        perftest::Put32(bytes, c.at, c.value);
        EXPECT_EQ(Read(bytes), c.expected) << c.what;
    }
}

uint32_t Get32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}

TEST_F(PerfReaderTest, ACounterBlockOfLengthZeroCannotLoopForever) {
    const auto built = perftest::BuildBlock({{u"foo", 10}});
    std::string bytes = built.bytes;
    const uint32_t first = built.instanceOffsets[0];
    perftest::Put32(bytes, first + Get32(bytes, first), 0);  // next instance = this counter block
    perftest::Put32(bytes, built.objectOffset + 40, 1000);
    EXPECT_LE(Read(bytes), kPerfTaskMaxEntries);
    EXPECT_STREQ(table[0].name, "foo");
}

TEST_F(PerfReaderTest, ANameRunningToTheEndOfTheBlockStopsThere) {
    // A second instance whose name is the last thing in the block, with no
    // terminator and no room for its counter block.
    const auto built = perftest::BuildBlock({{u"ok", 1}});
    std::string bytes = built.bytes;
    const uint32_t tail = uint32_t(bytes.size());
    bytes += std::string(24, '\0');
    perftest::Put32(bytes, tail + 0, 40);
    perftest::Put32(bytes, tail + 16, 24);
    bytes += std::string("a\0b\0c\0", 6);
    perftest::Put32(bytes, built.objectOffset + 40, 2);
    EXPECT_EQ(Read(bytes), 1);
    EXPECT_STREQ(table[0].name, "ok");
    EXPECT_EQ(table[0].processId, 1u);
}

TEST_F(PerfReaderTest, EveryTruncationListsAPrefixOfTheWholeBlock) {
    const std::string whole = perftest::BuildBlock(SomeInstances()).bytes;
    PerfTaskEntry full[kPerfTaskTableSize];
    ASSERT_EQ(Read(whole), 5);
    std::memcpy(full, table, sizeof(full));
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        const int n = Read(whole.substr(0, cut));
        ASSERT_LE(n, 5) << cut;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(table[i].processId, full[i].processId) << cut;
            // The last entry's name may end at the cut; earlier ones are whole.
            if (i + 1 < n) EXPECT_STREQ(table[i].name, full[i].name) << cut;
        }
    }
}

TEST_F(PerfReaderTest, RandomAndMutatedBlocksNeverFault) {
    std::mt19937 rng(20261209);
    const std::string base = perftest::BuildBlock(SomeInstances()).bytes;
    for (int round = 0; round < 4000; ++round) {
        std::string bytes;
        if (round % 2 == 0) {
            // A valid block with a few bytes or words changed.
            bytes = base;
            const int edits = 1 + int(rng() % 6);
            for (int e = 0; e < edits; ++e) {
                const size_t at = rng() % bytes.size();
                if (rng() % 2 && at + 4 <= bytes.size())
                    perftest::Put32(bytes, at, rng() % 3 ? uint32_t(rng() % 512) : uint32_t(rng()));
                else
                    bytes[at] = char(rng());
            }
            bytes.resize(rng() % 4 ? bytes.size() : rng() % bytes.size());
        } else {
            // Noise behind a valid signature, offsets biased towards the block.
            bytes.resize(8 + rng() % 600);
            std::memcpy(&bytes[0], "P\0E\0R\0F\0", 8);
            for (size_t i = 8; i + 4 <= bytes.size(); i += 4)
                perftest::Put32(bytes, i, rng() % 2 ? uint32_t(rng() % bytes.size()) : uint32_t(rng()));
        }
        const int n = Read(bytes, rng() % 2 ? perftest::kIdProcessIndex : uint32_t(rng() % 512));
        ASSERT_GE(n, 0);
        ASSERT_LE(n, kPerfTaskMaxEntries);
        for (int i = 0; i < kPerfTaskTableSize; ++i)
            ASSERT_LE(std::strlen(table[i].name), size_t(kPerfTaskNameChars));
    }
}

// ---------------------------------------------------------------------------
// The counter names
// ---------------------------------------------------------------------------

struct Found {
    bool ok;
    std::string object;
    pf::DWORD counter;
};

Found Find(const std::string& names) {
    std::vector<char> exact(names.begin(), names.end());
    Found f{false, "", 0};
    char object[16] = "untouched";
    f.ok = FindProcessCounters(exact.data(), exact.size(), object, sizeof(object), &f.counter);
    if (f.ok) f.object = object;
    return f;
}

TEST(PerfCounterNames, FindsTheProcessObjectAndIdCounter) {
    const Found f = Find(perftest::CountersText());
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.object, "230");
    EXPECT_EQ(f.counter, 784u);
    // Names are compared without regard to case, but whole.
    EXPECT_FALSE(Find(perftest::CountersText({{"230", "Processes"}, {"784", "ID Process"}})).ok);
    EXPECT_TRUE(Find(perftest::CountersText({{"230", "PROCESS"}, {"784", "id PROCESS"}})).ok);
}

TEST(PerfCounterNames, MalformedListsAreReadSafely) {
    const std::string cases[] = {
        std::string(),
        std::string("Process", 7),                          // no terminator at all
        std::string("Process\0", 8),                        // the name comes first
        // (strings split where a digit follows a zero byte, so no octal escape forms)
        std::string("230\0Process\0" "784\0ID Process", 26),   // last string unterminated
        std::string("\0\0" "230\0Process\0", 14),              // empty string ends the list at once
        std::string("12345678901\0Process\0" "784\0ID Process\0\0", 36),  // index too long
        std::string("x\0Process\0y\0ID Process\0\0", 24),   // no digits
    };
    for (const std::string& c : cases) EXPECT_FALSE(Find(c).ok) << c.size();
    // A number is read back to the start of its string, and from the start of the list.
    const Found f = Find(std::string("230\0process\0" "784\0id process\0\0", 28));
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.object, "230");
    EXPECT_EQ(f.counter, 784u);
}

TEST(PerfCounterNames, RandomListsNeverFault) {
    std::mt19937 rng(7);
    const char* words[] = {"process", "id process", "230", "784", "", "1", "Process", "x9"};
    for (int round = 0; round < 3000; ++round) {
        std::string names;
        const int pieces = int(rng() % 12);
        for (int i = 0; i < pieces; ++i) {
            names += words[rng() % 8];
            if (rng() % 8) names += '\0';
        }
        Find(names);
    }
}

}  // namespace
