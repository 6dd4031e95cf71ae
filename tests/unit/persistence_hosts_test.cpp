// The hosts-file check: where the file is looked for, what matches, and what
// happens to a matching file.
#include <cstring>
#include <string>

#include "persistence/hosts_file.h"
#include "persistence/startup_registry.h"
#include "scan_test_support.h"

using namespace pf;

namespace {

// The text the built-in record looks for, once whitespace is taken out.
const std::string kPlain =
    "127.0.0.1www.quillon.com127.0.0.1update.quillon.com127.0.0.1download.quillon.com"
    "127.0.0.1liveupdate.";
// The same entries as a worm writes them into a hosts file.
const std::string kWormLines =
    "127.0.0.1 www.quillon.com\r\n127.0.0.1\tupdate.quillon.com\r\n"
    "127.0.0.1   download.quillon.com\n127.0.0.1 liveupdate.\x0b\x0cquillon.com\r\n";
const char kNtHosts[] = "C:\\WINDOWS\\system32\\drivers\\etc\\hosts";
const char k9xHosts[] = "C:\\WINDOWS\\hosts";

class HostsFileTest : public ScanTest {
protected:
    HostsFileTest() { ResetTextSignaturesForTest(); }
    ~HostsFileTest() override {
        ResetTextSignaturesForTest();
        EXPECT_TRUE(machine.openFiles.empty()) << "a file was left open";
    }
    int Check(const std::string& content, const char* path = kNtHosts) {
        machine.AddFile(path, content);
        return CheckTextFile("W32/Vendrika.Gen.Trojan", path);
    }
};

}  // namespace

TEST_F(HostsFileTest, TablePatternIsStoredScrambledAndUnscrambledOnce) {
    TextSignatureRecord& record = TextSignatureTable[0];
    EXPECT_STREQ(record.textName, "W32/Nyxem.Worm");
    EXPECT_EQ(int(record.textPatternLength), 100);  // by value: the field is unaligned
    ASSERT_EQ(kPlain.size(), 100u);
    EXPECT_NE(std::memcmp(record.textPattern, kPlain.data(), 100), 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(record.textPattern[i] ^ kTextPatternKey, uint8_t(kPlain[i])) << i;

    // A first check unscrambles; the second and third leave it plain.
    CheckTextFile("x", "C:\\missing");
    EXPECT_EQ(std::memcmp(record.textPattern, kPlain.data(), 100), 0);
    CheckTextFile("x", "C:\\missing");
    EXPECT_EQ(Check("begin\n" + kWormLines), 1);
    EXPECT_EQ(std::memcmp(record.textPattern, kPlain.data(), 100), 0);
}

TEST_F(HostsFileTest, MatchingFileIsDeletedAndReported) {
    EXPECT_EQ(Check("BeGiN 644 hosts\n" + kWormLines + "end\n"), 1);
    EXPECT_FALSE(machine.Exists(kNtHosts));
    EXPECT_EQ(lines, std::vector<std::string>{std::string(kNtHosts) + "     W32/Nyxem.Worm removed"});
    EXPECT_EQ(g_scan.infectedCount, 1);
    EXPECT_EQ(g_scan.removedCount, 1);
    EXPECT_STREQ(g_scan.detectedName, "W32/Nyxem.Worm");
    EXPECT_STREQ(g_scan.statusText, kNtHosts);
    EXPECT_TRUE(statuses.empty());  // no status notification

    // Once deleted, a later check finds nothing and writes nothing.
    EXPECT_EQ(CheckTextFile("x", kNtHosts), 0);
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(HostsFileTest, ReadOnlyFileLosesItsAttributesAndGoes) {
    machine.AddFile(kNtHosts, "BEGIN" + kPlain, kFileAttributeReadonly | kFileAttributeHidden);
    EXPECT_EQ(CheckTextFile("x", kNtHosts), 1);
    EXPECT_FALSE(machine.Exists(kNtHosts));
    EXPECT_EQ(lines, std::vector<std::string>{std::string(kNtHosts) + "     W32/Nyxem.Worm removed"});
    EXPECT_EQ(g_scan.removedCount, 1);
}

TEST_F(HostsFileTest, FailedDeletionIsReportedAndCountedAsInfectedOnly) {
    // The attributes give way but the file does not; nor does a file whose
    // attributes cannot be reset.
    for (bool attributesFail : {false, true}) {
        SCOPED_TRACE(attributesFail);
        lines.clear();
        g_scan.infectedCount = 0;
        machine.AddFile(kNtHosts, "BEGIN" + kPlain, kFileAttributeReadonly);
        machine.FindFile(kNtHosts)->denyDelete = !attributesFail;
        if (attributesFail) machine.FailCall("SetFileAttributesA");
        EXPECT_EQ(CheckTextFile("x", kNtHosts), 1);
        EXPECT_TRUE(machine.Exists(kNtHosts));
        EXPECT_EQ(lines, std::vector<std::string>{std::string(kNtHosts) +
                                                  "     W32/Nyxem.Worm Remove failed"});
        EXPECT_EQ(g_scan.infectedCount, 1);
        EXPECT_EQ(g_scan.removedCount, 0);
    }
}

TEST_F(HostsFileTest, OrdinaryHostsFilesNeverMatch) {
    const std::string normal =
        "# Copyright (c) 1993-1999 Microsoft Corp.\r\n#\r\n127.0.0.1       localhost\r\n";
    EXPECT_EQ(Check(normal), 0);
    EXPECT_EQ(Check(normal + kWormLines), 0);     // the pattern, but not the header
    EXPECT_EQ(Check(" begin" + kPlain), 0);         // the header must be the first bytes
    EXPECT_EQ(Check("begin\n127.0.0.1 localhost\n"), 0);
    EXPECT_EQ(Check("begin" + kPlain.substr(0, 99)), 0);  // one byte short
    EXPECT_EQ(Check("begi"), 0);
    EXPECT_EQ(Check(""), 0);
    std::string changed = kPlain;
    changed[50] = 'X';
    EXPECT_EQ(Check("begin" + changed), 0);
    EXPECT_TRUE(machine.Exists(kNtHosts));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(g_scan.infectedCount, 0);
}

TEST_F(HostsFileTest, PatternIsSearchedInTheFirst4096BytesWithoutWhitespace) {
    // Whitespace before the pattern does not push it out of the head block.
    std::string spaced = "begin" + std::string(3000, ' ') + kWormLines;
    EXPECT_EQ(Check(spaced), 1);

    // But the head block is the first 4096 bytes of the file itself.
    std::string late = "begin" + std::string(4100, '\n') + kPlain;
    EXPECT_EQ(Check(late), 0);
    std::string straddling = "begin" + std::string(4096 - 5 - 50, 'z') + kPlain;
    EXPECT_EQ(Check(straddling), 0);
    std::string endsAtBlock = "begin" + std::string(4096 - 5 - 100, 'z') + kPlain + "tail";
    EXPECT_EQ(Check(endsAtBlock), 1);
    // A file longer than a block whose tail alone holds the pattern.
    std::string tailOnly = "begin" + std::string(6000, 'q') + kPlain;
    EXPECT_EQ(Check(tailOnly), 0);
}

TEST_F(HostsFileTest, HostsFileLocationFollowsTheOsClass) {
    const std::string infected = "begin" + kPlain;
    machine.AddFile(kNtHosts, infected);
    machine.AddFile(k9xHosts, infected);

    machine.SetVersion(sim::WinVersion::Win98);
    CleanPersistence("n");
    EXPECT_FALSE(machine.Exists(k9xHosts));
    EXPECT_TRUE(machine.Exists(kNtHosts));

    machine.AddFile(k9xHosts, infected);
    machine.SetVersion(sim::WinVersion::Win2000);
    CleanPersistence("n");
    EXPECT_TRUE(machine.Exists(k9xHosts));
    EXPECT_FALSE(machine.Exists(kNtHosts));

    machine.AddFile(kNtHosts, infected);
    machine.log.clear();
    machine.version.dwPlatformId = kVerPlatformWin32s;  // another platform
    CleanPersistence("n");
    machine.versionQueryFails = true;  // no answer
    CleanPersistence("n");
    EXPECT_TRUE(machine.Exists(kNtHosts));
    EXPECT_TRUE(machine.Exists(k9xHosts));
    EXPECT_EQ(machine.CountCalls("_open"), 0);

    // A system folder whose name does not fit leaves the hosts file alone.
    machine.SetVersion(sim::WinVersion::WinXp);
    machine.systemDirectory = "C:\\" + std::string(300, 'd');
    CleanPersistence("n");
    EXPECT_EQ(machine.CountCalls("_open"), 0);
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(HostsFileTest, ReadFailuresMeanNoMatch) {
    const std::string infected = "begin" + kPlain + std::string(5000, 'x');
    for (const char* op : {"_filelength", "_lseek", "_read"}) {
        for (int nth = 1; nth <= 3; ++nth) {
            machine.ClearFaults();
            machine.FailCall(op, nth);
            machine.AddFile(kNtHosts, infected);
            const int calls = machine.CountCalls(op);
            const int result = CheckTextFile("x", kNtHosts);
            const bool hit = machine.CountCalls(op) - calls >= nth;
            if (hit) {
                EXPECT_EQ(result, 0) << op << " " << nth;
            }
            EXPECT_EQ(machine.Exists(kNtHosts), result == 0) << op << " " << nth;
        }
    }
    machine.ClearFaults();
    machine.FailCall("_open");
    EXPECT_EQ(CheckTextFile("x", kNtHosts), 0);
}

TEST_F(HostsFileTest, FixedPositionAndSizeModes) {
    // The matching rules do not depend on the one record's settings; change
    // them for this test and put them back after.
    TextSignatureRecord& record = TextSignatureTable[0];
    CheckTextFile("x", "C:\\missing");  // unscramble first
    const TextSignatureRecord saved = record;

    const std::string body = "begin" + kPlain + "after";  // pattern at stripped offset 5
    record.textSearchMode = 0;
    record.textOffset = 5;
    EXPECT_EQ(Check(body), 1);
    record.textOffset = 6;
    EXPECT_EQ(Check(body), 0);
    record.textOffset = 30000;  // beyond the block: compares zeros, no read outside
    EXPECT_EQ(Check(body), 0);
    record.textOffset = -5;
    EXPECT_EQ(Check(body), 0);

    record.textBlock = 1;  // from the tail: tail length minus offset
    record.textOffset = int16_t(kPlain.size() + 5);
    EXPECT_EQ(Check(body), 1);
    record.textOffset = 2000;  // would start before the tail block
    EXPECT_EQ(Check(body), 0);

    record.textSearchMode = 1;
    record.textBlock = 0;
    record.textSizeMode = 16;
    record.textExpectedSize = int32_t(body.size());
    EXPECT_EQ(Check(body), 1);
    record.textExpectedSize = int32_t(body.size()) + 1;
    EXPECT_EQ(Check(body), 0);
    record.textSizeMode = 17;
    record.textExpectedSize = int32_t(body.size()) + 4096;
    EXPECT_EQ(Check(body), 1);
    record.textExpectedSize = int32_t(body.size()) + 4097;
    EXPECT_EQ(Check(body), 0);
    record.textExpectedSize = INT32_MIN;  // no overflow in the range test
    EXPECT_EQ(Check(body), 0);

    record.textSizeMode = 18;
    record.textPatternLength = 0;  // a disabled record
    EXPECT_EQ(Check(body), 0);
    record.textPatternLength = 101;  // longer than its pattern field: never read past it
    EXPECT_EQ(Check(body), 0);
    record = saved;
}

TEST(TextSearch, StripWhitespaceRemovesExactlyTheSixWhitespaceBytes) {
    uint8_t block[] = {'a', 9, 'b', 10, 11, 12, 13, 32, 'c', 8, 14, 0, 0xA0, 'd'};
    const int n = StripWhitespace(block, sizeof block);
    const uint8_t want[] = {'a', 'b', 'c', 8, 14, 0, 0xA0, 'd'};
    ASSERT_EQ(n, int(sizeof want));
    EXPECT_EQ(std::memcmp(block, want, sizeof want), 0);
}

TEST(TextSearch, FindPatternRespectsRangeAndBlockEnd) {
    uint8_t block[16] = {};
    std::memcpy(block + 10, "abcdef", 6);
    const uint8_t* pattern = reinterpret_cast<const uint8_t*>("abcdef");
    EXPECT_TRUE(FindPattern(block, 16, 16, pattern, 6));
    EXPECT_TRUE(FindPattern(block, 16, 11, pattern, 6));
    EXPECT_FALSE(FindPattern(block, 16, 10, pattern, 6));  // start 10 is outside the range
    EXPECT_FALSE(FindPattern(block, 16, 16, pattern, 7));  // "abcdef\0" would need byte 16
    EXPECT_FALSE(FindPattern(block, 16, 16, pattern, 0));
    EXPECT_FALSE(FindPattern(block, 4, 4, pattern, 6));
    // A repeated first byte does not hide a later full agreement.
    const uint8_t aab[] = {'a', 'a', 'a', 'b'};
    const uint8_t ab[] = {'a', 'b'};
    EXPECT_TRUE(FindPattern(aab, 4, 4, ab, 2));
}
