// File inspection: how PE headers are read, how an rva becomes a file
// offset, when a signature matches, and what a match does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "engine/signatures.h"
#include "engine/walk.h"
#include "scan_test_support.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

const char kFamily[] = "W32/Vendrika.Trojan";
const char kGen[] = "W32/Vendrika.Gen.Trojan";

std::string Pattern(int seed) {
    std::string p(20, '\0');
    for (int i = 0; i < 20; ++i) p[i] = char(seed * 31 + i * 7 + 1);
    return p;
}

SignatureRecord MakeRecord(int32_t firstOffset, const std::string& first, int32_t secondOffset,
                           const std::string& second, int32_t fileSize, int32_t sizeMode) {
    SignatureRecord r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.name, kGen);
    r.firstOffset = firstOffset;
    std::memcpy(r.firstPattern, first.data(), 20);
    r.secondOffset = secondOffset;
    std::memcpy(r.secondPattern, second.data(), 20);
    r.fileSize = fileSize;
    r.sizeMode = sizeMode;
    return r;
}

std::string ToString(const cvsamples::Bytes& b) { return std::string(b.begin(), b.end()); }

const std::vector<cvsamples::Record>& Records() {
    static const std::vector<cvsamples::Record> records =
        cvsamples::RecordsFromSignatureTable(SignatureTable);
    return records;
}

std::string InfectedSample(int index) {
    cvsamples::Bytes bytes;
    EXPECT_TRUE(cvsamples::BuildInfected(Records()[index], 7, &bytes)) << "record " << index;
    return ToString(bytes);
}

// A standard test image: one section VA 0x1000 / size 0x10000 at file 0x400,
// so an rva r (0x1000 <= r < 0x11000) lies at file offset r - 0xC00. Entry
// point 0x9000 (file 0x8400); pattern A at entry - 0x2000 (file 0x6400),
// pattern B at entry + 0x100 (file 0x8500).
constexpr size_t kImageSize = 0x10000;
constexpr uint32_t kEntry = 0x9000;
PeImage StandardImage() {
    PeImage image(kImageSize);
    image.SetEntryPoint(kEntry);
    image.SetSections({{0x1000, 0x10000, 0x400}});
    image.Put(0x6400, Pattern(1).data(), 20);
    image.Put(0x8500, Pattern(2).data(), 20);
    return image;
}

class InspectTest : public ScanTest {
protected:
    ~InspectTest() override {
        for (int fd : open_) machine._close(fd);
    }
    // Plants the image and opens it as the inspection does.
    int Open(const std::string& bytes, const char* path = "C:\\t.exe") {
        machine.AddFile(path, bytes);
        const int fd = machine._open(path, pf::kOBinary, pf::kSIread | pf::kSIwrite);
        EXPECT_GE(fd, 0);
        open_.push_back(fd);
        return fd;
    }
    bool Headers(const std::string& bytes) { return ReadPeHeaders(Open(bytes)); }
    // The record of `table` that matches the image, as an index, or -1.
    int Match(const std::string& bytes, const std::vector<SignatureRecord>& records) {
        std::vector<SignatureRecord> table = records;
        SignatureRecord end;
        std::memset(&end, 0, sizeof end);
        table.push_back(end);
        const int fd = Open(bytes);
        if (!ReadPeHeaders(fd)) return -2;
        const SignatureRecord* hit = FindMatchingRecord(fd, int32_t(bytes.size()), table.data());
        return hit ? int(hit - table.data()) : -1;
    }

private:
    std::vector<int> open_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Header reading
// ---------------------------------------------------------------------------
TEST_F(InspectTest, HeaderOffsetUsesOnlyTheLow16BitsAndMzIsNotChecked) {
    PeImage image(0x1000);
    image.Put32(0x3C, 0xABCD0080);
    EXPECT_TRUE(Headers(image.bytes));
    EXPECT_EQ(LastPeHeaders().peOffset, 0x80);

    image.Put(0, "ZM", 2);
    EXPECT_TRUE(Headers(image.bytes));

    image.Put(0x80, "PE\0\1", 4);
    EXPECT_FALSE(Headers(image.bytes));
    image.Put(0x80, "pe\0\0", 4);
    EXPECT_FALSE(Headers(image.bytes));
}

TEST_F(InspectTest, SectionTableIsReadAtHeaderPlus248WhateverTheOptionalHeaderSays) {
    PeImage image(0x4000);
    image.Put16(image.pe + 4 + 16, 240);  // optional header claims 240 bytes
    // The table the header size points at (pe + 264) maps rva 0x1100 to 0x900...
    image.SetSections({{0x1000, 0x1000, 0x800}}, image.pe + 24 + 240);
    // ...but the scanner takes the table at pe + 248, which maps it to 0x300.
    image.SetSections({{0x1000, 0x1000, 0x200}});
    const int fd = Open(image.bytes);
    ASSERT_TRUE(ReadPeHeaders(fd));
    EXPECT_EQ(RvaToFileOffset(0x1100, fd), 0x300u);
}

TEST_F(InspectTest, SectionCountLimitAndTruncatedHeaders) {
    PeImage image(0x2000);
    image.SetSectionCount(20);
    EXPECT_TRUE(Headers(image.bytes));
    image.SetSectionCount(21);
    EXPECT_FALSE(Headers(image.bytes));
    image.SetSectionCount(0xFFFF);
    EXPECT_FALSE(Headers(image.bytes));

    PeImage one(0x80 + 248 + 40);  // exactly one section's worth of table
    one.SetSections({{0x1000, 0x100, 0x200}});
    EXPECT_TRUE(Headers(one.bytes));
    for (size_t cut : {size_t(0), size_t(2), size_t(61), size_t(0x80 + 3), size_t(0x80 + 23),
                       size_t(0x80 + 24 + 95), size_t(0x80 + 248 + 39)}) {
        EXPECT_FALSE(Headers(one.bytes.substr(0, cut))) << "cut at " << cut;
    }
    // The header offset may point anywhere, also past the end of the file.
    PeImage far(0x100);
    far.Put32(0x3C, 0xFFFF);
    EXPECT_FALSE(Headers(far.bytes));
}

TEST_F(InspectTest, RvaToFileOffsetRules) {
    PeImage image(0x8000);
    image.SetSizeOfHeaders(0x3FF);
    image.SetSections({{0x2000, 0x1000, 0x400}, {0x3000, 0x1000, 0x1400}});
    const int fd = Open(image.bytes);
    ASSERT_TRUE(ReadPeHeaders(fd));
    EXPECT_EQ(RvaToFileOffset(0x2010, fd), 0x410u);   // inside the first section
    EXPECT_EQ(RvaToFileOffset(0x3500, fd), 0x1900u);  // the second
    // Below the first section: still mapped through it (its start is not compared).
    EXPECT_EQ(RvaToFileOffset(0x1F00, fd), 0x300u);
    // Beyond every section: the last one is used.
    EXPECT_EQ(RvaToFileOffset(0x9000, fd), 0x7400u);
    // An offset not smaller than the file's length gives the rva itself.
    EXPECT_EQ(RvaToFileOffset(0x9C00, fd), 0x9C00u);  // would be 0x8000 == length
    EXPECT_EQ(RvaToFileOffset(0x9BFF, fd), 0x7FFFu);
    // Below everything the subtraction wraps: huge, so the rva itself.
    EXPECT_EQ(RvaToFileOffset(0x100, fd), 0x100u);
    // An offset of 0 reads at SizeOfHeaders.
    EXPECT_EQ(RvaToFileOffset(0x1C00, fd), 0x3FFu);

    // Exactly at a section's end (VirtualAddress + VirtualSize) the rva
    // belongs to the next section, here stored apart from the first.
    PeImage apart(0x8000);
    apart.SetSections({{0x2000, 0x1000, 0x400}, {0x3000, 0x1000, 0x1800}});
    const int fd2 = Open(apart.bytes, "C:\\apart.exe");
    ASSERT_TRUE(ReadPeHeaders(fd2));
    EXPECT_EQ(RvaToFileOffset(0x2FFF, fd2), 0x13FFu);
    EXPECT_EQ(RvaToFileOffset(0x3000, fd2), 0x1800u);
}

TEST_F(InspectTest, RvaToFileOffsetWithoutSectionsAndWithWrappingEnds) {
    PeImage none(0x1000);
    none.SetSizeOfHeaders(0x200);
    const int fd = Open(none.bytes);
    ASSERT_TRUE(ReadPeHeaders(fd));
    EXPECT_EQ(RvaToFileOffset(0x123, fd), 0x123u);
    EXPECT_EQ(RvaToFileOffset(0, fd), 0x200u);
    EXPECT_EQ(RvaToFileOffset(0x5000, fd), 0x5000u);

    // VirtualAddress + VirtualSize is a 32-bit sum: this section "ends" at
    // 0x1000 and so does not reach rva 0x2000; the next one does.
    PeImage wrap(0x4000);
    wrap.SetSections({{0xFFFFF000, 0x2000, 0x100}, {0x2000, 0x1000, 0x3000}});
    const int fd2 = Open(wrap.bytes, "C:\\w.exe");
    ASSERT_TRUE(ReadPeHeaders(fd2));
    EXPECT_EQ(RvaToFileOffset(0x2004, fd2), 0x3004u);
    EXPECT_EQ(RvaToFileOffset(0x0800, fd2), 0x0800u + 0x100u + 0x1000u);  // through the first
}

// ---------------------------------------------------------------------------
// Matching against a table
// ---------------------------------------------------------------------------
TEST_F(InspectTest, SizeModes) {
    const std::string file = StandardImage().bytes;
    const int32_t n = int32_t(file.size());
    auto with = [&](int32_t size, int32_t mode) {
        return Match(file, {MakeRecord(-0x2000, Pattern(1), 0x100, Pattern(2), size, mode)});
    };
    EXPECT_EQ(with(n, 1), 0);
    EXPECT_EQ(with(n + 1, 1), -1);
    EXPECT_EQ(with(n - 1, 1), -1);
    EXPECT_EQ(with(n + 4095, 2), 0);
    EXPECT_EQ(with(n - 4095, 2), 0);
    EXPECT_EQ(with(n + 4096, 2), -1);
    EXPECT_EQ(with(n - 4096, 2), -1);
    EXPECT_EQ(with(0, 3), 0);
    EXPECT_EQ(with(-5, 3), 0);
    for (int32_t mode : {0, 4, -1, 0x7FFFFFFF}) EXPECT_EQ(with(n, mode), -1) << mode;
}

TEST_F(InspectTest, PatternBytesAndTableOrder) {
    const std::string file = StandardImage().bytes;
    const int32_t n = int32_t(file.size());
    SignatureRecord good = MakeRecord(-0x2000, Pattern(1), 0x100, Pattern(2), n, 1);
    SignatureRecord spare = good;
    spare.firstPattern[20] = 0xAA;  // the 21st byte takes no part
    spare.secondPattern[20] = 0x55;
    EXPECT_EQ(Match(file, {spare}), 0);

    for (int byte : {0, 19}) {
        SignatureRecord first = good, second = good;
        first.firstPattern[byte] ^= 1;
        second.secondPattern[byte] ^= 0x80;
        EXPECT_EQ(Match(file, {first}), -1) << byte;
        EXPECT_EQ(Match(file, {second}), -1) << byte;
    }
    // Patterns swapped between the positions do not match; the first record
    // that matches wins.
    SignatureRecord swapped = MakeRecord(0x100, Pattern(1), -0x2000, Pattern(2), n, 1);
    EXPECT_EQ(Match(file, {swapped, good, spare}), 1);
    // The "first" pattern may as well lie after the entry point.
    EXPECT_EQ(Match(file, {MakeRecord(0x100, Pattern(2), -0x2000, Pattern(1), n, 1)}), 0);
    // Nothing after an end marker is looked at.
    SignatureRecord end;
    std::memset(&end, 0, sizeof end);
    EXPECT_EQ(Match(file, {end, good}), -1);
    SignatureRecord other = good;
    other.sizeMode = 0;
    EXPECT_EQ(Match(file, {other, other, good}), 2);
}

TEST_F(InspectTest, SignedAndWrappingOffsets) {
    // Entry point 0x100; a pattern 0x200 before it lies at rva 0xFFFFFF00
    // (32-bit wrap). No section ends beyond that rva, so the last section
    // maps it: 0xFFFFFF00 + 0x600 - 0xFFFFFE00 = 0x700.
    PeImage image(0x2000);
    image.SetEntryPoint(0x100);
    image.SetSections({{0x1000, 0x800, 0x1000}, {0xFFFFFE00, 0x100, 0x600}});
    image.Put(0x700, Pattern(5).data(), 20);
    // +0x1000 from the entry: rva 0x1100 maps through the first section.
    image.Put(0x1100, Pattern(6).data(), 20);
    const int32_t n = int32_t(image.bytes.size());
    EXPECT_EQ(Match(image.bytes, {MakeRecord(-0x200, Pattern(5), 0x1000, Pattern(6), n, 1)}), 0);
    EXPECT_EQ(Match(image.bytes, {MakeRecord(-0x1FF, Pattern(5), 0x1000, Pattern(6), n, 1)}), -1);
    // Extreme distances never reach outside the file.
    EXPECT_EQ(Match(image.bytes, {MakeRecord(INT32_MIN, Pattern(5), INT32_MAX, Pattern(6), n, 3)}),
              -1);
}

TEST_F(InspectTest, PatternPastTheEndDoesNotMatch) {
    // Without sections an rva is its own offset; the last 19 bytes of the file
    // cannot hold a 20-byte pattern.
    PeImage image(0x1000);
    image.SetEntryPoint(0x0F00);
    image.Put(0x0FEC, Pattern(3).data(), 20);  // ends exactly at the end
    const int32_t n = 0x1000;
    EXPECT_EQ(Match(image.bytes, {MakeRecord(0xEC, Pattern(3), 0xEC, Pattern(3), n, 1)}), 0);
    image.bytes.resize(0x0FFF);
    EXPECT_EQ(Match(image.bytes, {MakeRecord(0xEC, Pattern(3), 0xEC, Pattern(3), n - 1, 1)}), -1);
}

// ---------------------------------------------------------------------------
// The built-in table against built samples
// ---------------------------------------------------------------------------
TEST_F(InspectTest, EverySampleOfTheTableIsFoundAndRemoved) {
    for (int i = 0; i < 74; ++i) {
        const std::string path = "C:\\s\\v" + std::to_string(i) + ".exe";
        PlantFile(path, InfectedSample(i));
        lines.clear();
        EXPECT_EQ(InspectFile(kFamily, path.c_str()), 1) << path;
        EXPECT_FALSE(machine.Exists(path)) << path;
        EXPECT_EQ(lines, (std::vector<std::string>{path + "     " + kGen + " removed"})) << path;
    }
    EXPECT_EQ(g_scan.infectedCount, 74);
    EXPECT_EQ(g_scan.removedCount, 74);
    EXPECT_STREQ(g_scan.detectedName, kGen);
    EXPECT_STREQ(g_scan.inspectedPath, "");
    EXPECT_TRUE(machine.openFiles.empty());
}

TEST_F(InspectTest, DecoysAndEdgeFilesGetTheVerdictTheirLayoutDemands) {
    int checked = 0;
    for (int i : {0, 10, 28, 73}) {
        std::vector<cvsamples::Sample> samples = cvsamples::BuildDecoys(Records()[i], i, 3);
        for (cvsamples::Sample& s : cvsamples::BuildEdgeFiles(Records()[i], i, 3))
            samples.push_back(std::move(s));
        for (const cvsamples::Sample& s : samples) {
            const std::string path = "C:\\e\\" + s.name;
            PlantFile(path, ToString(s.bytes));
            const int expected = s.verdict == cvsamples::Verdict::Infected ? 1 : 0;
            const int reads = machine.CountCalls("_read");
            EXPECT_EQ(InspectFile(kFamily, path.c_str()), expected) << s.name << ": " << s.reason;
            // Every record of the file's length is tried (60 share record
            // 0's), each pattern read at its place; the reads come from a
            // few blocks of the file, not a seek and a read per pattern.
            EXPECT_LE(machine.CountCalls("_read") - reads, 8) << s.name;
            EXPECT_EQ(machine.Exists(path), expected == 0) << s.name;
            ++checked;
        }
    }
    EXPECT_GT(checked, 8);
}

TEST_F(InspectTest, QuirksOnRealSamples) {
    std::string sample = InfectedSample(0);
    ASSERT_EQ(sample.size(), 92160u);

    std::string plus = sample + '\0';  // 92161 bytes: no record has that length
    PlantFile("C:\\plus.exe", plus);
    EXPECT_EQ(InspectFile(kFamily, "C:\\plus.exe"), 0);

    std::string highBytes = sample;
    highBytes[62] = '\x7F';
    highBytes[63] = '\x01';
    PlantFile("C:\\high.exe", highBytes);
    EXPECT_EQ(InspectFile(kFamily, "C:\\high.exe"), 1);

    std::string noMz = sample;
    noMz[0] = 'X';
    noMz[1] = 'Y';
    PlantFile("C:\\nomz.exe", noMz);
    EXPECT_EQ(InspectFile(kFamily, "C:\\nomz.exe"), 1);
    EXPECT_EQ(g_scan.infectedCount, 2);
    EXPECT_TRUE(machine.Exists("C:\\plus.exe"));
}

TEST_F(InspectTest, UnreadableAndForeignFilesAreCleanAndSilent) {
    PlantFile("C:\\locked.exe", InfectedSample(1));
    machine.FindFile("C:\\locked.exe")->denyOpen = true;
    PlantFile("C:\\text.txt", "just some text");
    PlantFile("C:\\empty.exe", "");
    for (const char* path : {"C:\\locked.exe", "C:\\text.txt", "C:\\empty.exe", "C:\\none.exe"})
        EXPECT_EQ(InspectFile(kFamily, path), 0) << path;
    EXPECT_TRUE(lines.empty()) << AllLines();
    EXPECT_EQ(g_scan.infectedCount, 0);
    EXPECT_TRUE(machine.openFiles.empty());
    EXPECT_STREQ(g_scan.inspectedPath, "");
    // A length query that fails counts as unreadable too.
    PlantFile("C:\\v.exe", InfectedSample(2));
    machine.FailCall("_filelength");
    EXPECT_EQ(InspectFile(kFamily, "C:\\v.exe"), 0);
    EXPECT_TRUE(machine.Exists("C:\\v.exe"));
    EXPECT_TRUE(machine.openFiles.empty());
}

TEST_F(InspectTest, MemoryModeRecordsButNeitherCountsNorRemoves) {
    PlantFile("C:\\WINDOWS\\evil.exe", InfectedSample(5));
    g_scan.memoryMode = true;
    EXPECT_EQ(WalkFolder("C:\\WINDOWS\\evil.exe"), 0);
    EXPECT_TRUE(g_scan.foundInMemory);
    EXPECT_EQ(g_scan.scannedCount, 0);
    EXPECT_EQ(g_scan.infectedCount, 1);
    EXPECT_EQ(g_scan.removedCount, 0);
    EXPECT_STREQ(g_scan.detectedName, kGen);
    EXPECT_STREQ(g_scan.statusText, "C:\\WINDOWS\\evil.exe");
    EXPECT_TRUE(machine.Exists("C:\\WINDOWS\\evil.exe"));
    EXPECT_TRUE(lines.empty()) << AllLines();
    EXPECT_EQ(statuses, (std::vector<std::string>{"C:\\WINDOWS\\evil.exe"}));

    // A clean image clears the flag again: every walk starts by clearing it.
    PlantFile("C:\\WINDOWS\\notepad.exe", "MZ");
    WalkFolder("C:\\WINDOWS\\notepad.exe");
    EXPECT_FALSE(g_scan.foundInMemory);
}

TEST_F(InspectTest, MemoryRemovalReportsWaitsThenRemoves) {
    PlantFile("C:\\WINDOWS\\evil.exe", InfectedSample(5));
    g_scan.memoryMode = true;
    g_scan.memoryRemoval = true;
    const size_t logBefore = machine.log.size();
    EXPECT_EQ(InspectFile(kFamily, "C:\\WINDOWS\\evil.exe"), 0);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "System Memory    W32/Vendrika.Trojan removed",
                         "C:\\WINDOWS\\evil.exe     W32/Vendrika.Trojan removed"}));
    EXPECT_EQ(machine.sleeps, (std::vector<pf::DWORD>{1000}));
    EXPECT_EQ(g_scan.removedCount, 1);
    EXPECT_EQ(g_scan.infectedCount, 0);  // counted by the first inspection, not here
    // Nothing was opened or read.
    for (size_t i = logBefore; i < machine.log.size(); ++i)
        EXPECT_NE(machine.log[i].op.substr(0, 1), "_") << machine.log[i].op;
    // The file really was handed over: the delete came after the wait.
    const std::vector<std::string> ops = machine.CallNames();
    EXPECT_LT(std::find(ops.begin(), ops.end(), "Sleep"), std::find(ops.begin(), ops.end(),
                                                                     "DeleteFileA"));

    // Without a main window the removal is not performed: the file is only
    // inspected (and in memory mode, recorded).
    PlantFile("C:\\WINDOWS\\evil2.exe", InfectedSample(6));
    g_scan.mainWindow = nullptr;
    EXPECT_EQ(InspectFile(kFamily, "C:\\WINDOWS\\evil2.exe"), 1);
    EXPECT_TRUE(machine.Exists("C:\\WINDOWS\\evil2.exe"));
}

TEST_F(InspectTest, PersistenceCleanupRunsOnceBeforeTheRemoval) {
    const std::string path = "C:\\WINDOWS\\system32\\svch0st.exe";
    PlantFile(path, InfectedSample(3));
    machine.SetString(pf::kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                      "svc", path);
    EXPECT_EQ(InspectFile(kFamily, path.c_str()), 1);
    EXPECT_EQ(lines, (std::vector<std::string>{"System Registry     W32/Vendrika.Trojan removed",
                                               path + "     " + kGen + " removed"}))
        << AllLines();
    EXPECT_EQ(machine.FindValue(pf::kHkeyLocalMachine,
                                "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "svc"),
              nullptr);
    EXPECT_STREQ(g_scan.runValueName, "svc");
    // runValueName is cleared only while nothing has been found yet.
    PlantFile("C:\\clean.exe", "MZ");
    InspectFile(kFamily, "C:\\clean.exe");
    EXPECT_STREQ(g_scan.runValueName, "svc");
    g_scan.infectedCount = 0;
    InspectFile(kFamily, "C:\\clean.exe");
    EXPECT_STREQ(g_scan.runValueName, "");
}
