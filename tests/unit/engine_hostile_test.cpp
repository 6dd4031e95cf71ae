// Hostile headers, generated deterministically: thousands of files with
// random and half-plausible PE headers go through the inspection. Nothing
// may crash or read out of bounds (the sanitizer build watches), every file
// is closed again, and the verdict must agree with the sample builder's
// independent model of how the scanner reads a file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "engine/signatures.h"
#include "engine/walk.h"
#include "scan_test_support.h"
#include "tools/samplebuilder/samplebuilder.h"

namespace {

class Rng {
public:
    explicit Rng(uint32_t seed) : s_(seed ? seed : 1) {}
    uint32_t Next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return s_;
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }
    // Mostly small numbers, sometimes values near the 32-bit edges.
    uint32_t Field() {
        switch (Below(6)) {
            case 0: return 0;
            case 1: return Below(0x100);
            case 2: return Below(0x4000);
            case 3: return 0xFFFFFFFFu - Below(0x4000);
            case 4: return 0x80000000u - Below(0x100) + Below(0x200);
            default: return Next();
        }
    }

private:
    uint32_t s_;
};

void Put32(std::string& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        if (at + i < b.size()) b[at + i] = char(v >> (8 * i));
}
void Put16(std::string& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 2; ++i)
        if (at + i < b.size()) b[at + i] = char(v >> (8 * i));
}

std::string HostileFile(Rng& rng) {
    static const uint32_t kSizes[] = {0, 1, 61, 62, 63, 64, 0x100, 0x200, 0x400, 0x1000, 0x2400};
    size_t size = rng.Chance(40) ? rng.Below(0x3000) : kSizes[rng.Below(11)] + rng.Below(3);
    std::string b(size, '\0');
    if (rng.Chance(40))
        for (char& c : b) c = char(rng.Next());
    if (rng.Chance(85)) {
        // Mostly early in the file, where the whole header fits.
        const uint32_t pe = rng.Chance(60)   ? rng.Below(0x100)
                            : rng.Chance(60) ? rng.Below(uint32_t(size) + 8)
                                             : rng.Next();
        Put32(b, 60, rng.Chance(80) ? (pe & 0xFFFF) : pe);
        const uint32_t at = pe & 0xFFFF;
        if (rng.Chance(90)) Put32(b, at, 0x00004550);
        const uint32_t sections = rng.Chance(50)   ? rng.Below(4)
                                  : rng.Chance(80) ? rng.Below(23)
                                                   : rng.Next() & 0xFFFF;
        Put16(b, at + 6, sections);
        Put16(b, at + 20, rng.Field());                 // SizeOfOptionalHeader
        Put32(b, at + 24 + 16, rng.Field());            // AddressOfEntryPoint
        Put32(b, at + 24 + 60, rng.Field());            // SizeOfHeaders
        for (uint32_t i = 0; i < sections && i < 22; ++i) {
            const uint64_t h = uint64_t(at) + 248 + i * 40;
            Put32(b, h + 8, rng.Field());
            Put32(b, h + 12, rng.Field());
            Put32(b, h + 20, rng.Field());
        }
    }
    return b;
}

// Records that read at many places: zero patterns (random files are full of
// zeros), one pattern taken from the file itself, every size mode.
std::vector<SignatureRecord> HostileTable(Rng& rng, const std::string& file) {
    std::vector<SignatureRecord> table;
    for (int i = 0; i < 4; ++i) {
        SignatureRecord r;
        std::memset(&r, 0, sizeof r);
        std::strcpy(r.name, "W32/Vendrika.Gen.Trojan");
        r.firstOffset = int32_t(rng.Chance(50) ? rng.Below(0x800) - 0x400 : rng.Next());
        r.secondOffset = int32_t(rng.Chance(50) ? rng.Below(0x800) - 0x400 : rng.Next());
        if (i == 3 && file.size() >= 20) {
            const size_t at = rng.Below(uint32_t(file.size() - 19));
            std::memcpy(r.firstPattern, file.data() + at, 20);
        }
        const int32_t modes[] = {1, 2, 3, 3, 0, 7};
        r.sizeMode = modes[rng.Below(6)];
        r.fileSize = int32_t(file.size()) + int32_t(rng.Below(9000)) - 4500;
        if (rng.Chance(30)) r.fileSize = int32_t(file.size());
        table.push_back(r);
    }
    SignatureRecord end;
    std::memset(&end, 0, sizeof end);
    table.push_back(end);
    return table;
}

std::vector<cvsamples::Record> AsBuilderRecords(const std::vector<SignatureRecord>& table) {
    std::vector<cvsamples::Record> out;
    for (const SignatureRecord& r : table) {
        if (!r.name[0]) break;
        cvsamples::Record c;
        c.firstOffset = r.firstOffset;
        std::memcpy(c.firstPattern, r.firstPattern, 20);
        c.secondOffset = r.secondOffset;
        std::memcpy(c.secondPattern, r.secondPattern, 20);
        c.fileSize = r.fileSize;
        c.sizeMode = r.sizeMode;
        out.push_back(c);
    }
    return out;
}

class HostileTest : public ScanTest {};

}  // namespace

TEST_F(HostileTest, RandomHeadersAgreeWithTheIndependentModel) {
    Rng rng(0xC0FFEE);
    int headersRead = 0, matched = 0;
    for (int i = 0; i < 6000; ++i) {
        const std::string file = HostileFile(rng);
        const std::vector<SignatureRecord> table = HostileTable(rng, file);
        machine.AddFile("C:\\h\\f.exe", file);
        const int fd = machine._open("C:\\h\\f.exe", pf::kOBinary, 0);
        ASSERT_GE(fd, 0);
        int ours = -1;
        if (ReadPeHeaders(fd)) {
            ++headersRead;
            const SignatureRecord* hit = FindMatchingRecord(fd, int32_t(file.size()), table.data());
            ours = hit ? int(hit - table.data()) : -1;
        }
        machine._close(fd);
        const int model = cvsamples::ScannerVerdict(
            reinterpret_cast<const uint8_t*>(file.data()), file.size(), AsBuilderRecords(table));
        ASSERT_EQ(ours, model) << "file " << i << " of " << file.size() << " bytes";
        matched += ours >= 0;
        // The whole inspection with the built-in table: nothing matches, and
        // the file is closed again.
        ASSERT_EQ(InspectFile("W32/Vendrika.Trojan", "C:\\h\\f.exe"), 0) << i;
        ASSERT_TRUE(machine.openFiles.empty());
    }
    // The generator must really reach the interesting paths.
    EXPECT_GT(headersRead, 1000);
    EXPECT_GT(matched, 40);
    EXPECT_EQ(g_scan.infectedCount, 0);
}

TEST_F(HostileTest, RandomFoldersOfHostileFilesAreWalkedSafely) {
    Rng rng(1234);
    for (int i = 0; i < 200; ++i) PlantFile("C:\\w\\f" + std::to_string(i), HostileFile(rng));
    EXPECT_EQ(WalkFolder("C:\\w\\*.*"), 200);
    g_scan.memoryMode = true;
    EXPECT_EQ(WalkFolder("C:\\w\\f7"), 200);
    EXPECT_TRUE(machine.openFiles.empty());
    EXPECT_TRUE(machine.finds.empty());
    EXPECT_TRUE(lines.empty());
}
