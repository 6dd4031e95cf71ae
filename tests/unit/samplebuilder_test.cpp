// The sample builder's files, judged twice: by the real inspection on the
// simulated machine (the authority on verdicts), and by a small PE reader
// written here that follows the standard layout (32-bit e_lfanew, MZ check,
// section table after SizeOfOptionalHeader), which shows that every quirk
// file is decided by the quirk it names and every decoy differs from a match
// only by its one fault.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "engine/inspect.h"
#include "engine/signatures.h"
#include "scan_test_support.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

using cvsamples::Bytes;
using cvsamples::Record;
using cvsamples::Sample;
using cvsamples::Verdict;

uint32_t U16(const Bytes& b, size_t at) {
    return at + 2 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8) : 0;
}
uint32_t U32(const Bytes& b, size_t at) {
    return at + 4 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
                                    uint32_t(b[at + 3]) << 24
                              : 0;
}

struct StdSection {
    uint32_t vs, va, raw, ptr, chars;
};

// A PE as a standard loader reads it.
struct StdPe {
    bool valid = false;
    bool pe64 = false;
    uint32_t machine = 0, peOffset = 0, optSize = 0, entry = 0, sizeOfHeaders = 0;
    uint32_t sizeOfImage = 0, sectionAlign = 0, fileAlign = 0, dirCount = 0;
    uint64_t imageBase = 0;
    uint32_t importRva = 0;
    std::vector<StdSection> sections;

    explicit StdPe(const Bytes& b) {
        if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z') return;
        peOffset = U32(b, 60);
        if (peOffset > b.size() || b.size() - peOffset < 24 || U32(b, peOffset) != 0x4550) return;
        machine = U16(b, peOffset + 4);
        uint32_t count = U16(b, peOffset + 6);
        optSize = U16(b, peOffset + 20);
        size_t oh = peOffset + 24;
        uint32_t magic = U16(b, oh);
        if (magic != 0x10B && magic != 0x20B) return;
        pe64 = magic == 0x20B;
        entry = U32(b, oh + 16);
        imageBase = pe64 ? (uint64_t(U32(b, oh + 28)) << 32 | U32(b, oh + 24)) : U32(b, oh + 28);
        sectionAlign = U32(b, oh + 32);
        fileAlign = U32(b, oh + 36);
        sizeOfImage = U32(b, oh + 56);
        sizeOfHeaders = U32(b, oh + 60);
        size_t dirs = oh + (pe64 ? 112 : 96);
        dirCount = U32(b, dirs - 4);
        if (dirCount > 1) importRva = U32(b, dirs + 8);
        size_t table = oh + optSize;
        if (table + size_t(count) * 40 > b.size()) return;
        for (uint32_t i = 0; i < count; ++i) {
            size_t s = table + i * 40;
            sections.push_back({U32(b, s + 8), U32(b, s + 12), U32(b, s + 16), U32(b, s + 20),
                                U32(b, s + 36)});
        }
        valid = true;
    }
    // Header bytes map to themselves; anything else must lie in a section's
    // raw data. -1 when the rva has no bytes in the file.
    int64_t Map(uint32_t rva) const {
        if (rva < sizeOfHeaders) return rva;
        for (const StdSection& s : sections) {
            const uint32_t span = s.vs ? s.vs : s.raw;  // only VirtualSize bytes are loaded
            if (rva >= s.va && rva - s.va < span && rva - s.va < s.raw)
                return int64_t(s.ptr) + (rva - s.va);
        }
        return -1;
    }
    const StdSection* SectionOf(uint32_t rva) const {
        for (const StdSection& s : sections)
            if (rva >= s.va && rva - s.va < s.vs) return &s;
        return nullptr;
    }
};

bool PatternAt(const Bytes& b, int64_t at, const uint8_t* pattern) {
    return at >= 0 && size_t(at) + cvsamples::kPatternBytes <= b.size() &&
           std::memcmp(b.data() + at, pattern, cvsamples::kPatternBytes) == 0;
}

bool StandardMatch(const Bytes& b, const Record& r) {
    StdPe pe(b);
    if (!pe.valid || b.size() != size_t(r.fileSize)) return false;
    return PatternAt(b, pe.Map(pe.entry + uint32_t(r.firstOffset)), r.firstPattern) &&
           PatternAt(b, pe.Map(pe.entry + uint32_t(r.secondOffset)), r.secondPattern);
}

const std::vector<Record>& Table() {
    static const std::vector<Record> table = cvsamples::BuiltInRecords();
    return table;
}

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

class SampleScanTest : public ScanTest {
protected:
    // Plants the bytes and runs the real inspection on them.
    int Inspect(const std::string& name, const Bytes& bytes) {
        std::string path = "C:\\samples\\" + name;
        EXPECT_TRUE(machine.AddFile(path, AsString(bytes))) << path;
        return InspectFile("W32/Vendrika.Trojan", path.c_str());
    }
};

}  // namespace

TEST(SampleBuilder, EveryRecordGivesAWellFormedPe32WithBothPatternsAtTheEntryPoint) {
    ASSERT_EQ(Table().size(), 74u);
    std::set<std::string> layouts;
    for (size_t i = 0; i < Table().size(); ++i) {
        const Record& r = Table()[i];
        SCOPED_TRACE("record " + std::to_string(i));
        Bytes b;
        ASSERT_TRUE(cvsamples::BuildInfected(r, uint32_t(i), &b));
        ASSERT_EQ(b.size(), size_t(r.fileSize));
        StdPe pe(b);
        ASSERT_TRUE(pe.valid);
        EXPECT_EQ(pe.machine, 0x14Cu);
        EXPECT_FALSE(pe.pe64);
        EXPECT_EQ(pe.optSize, 224u);
        EXPECT_LE(pe.sections.size(), 20u);
        EXPECT_TRUE(StandardMatch(b, r));

        // Sections as a loader demands: raw data aligned, inside the file,
        // after the headers and not overlapping; virtual space contiguous.
        uint32_t rawEnd = pe.sizeOfHeaders, vaEnd = pe.sectionAlign;
        for (const StdSection& s : pe.sections) {
            EXPECT_EQ(s.va, vaEnd);
            EXPECT_EQ(s.va % pe.sectionAlign, 0u);
            vaEnd = (s.va + s.vs + pe.sectionAlign - 1) / pe.sectionAlign * pe.sectionAlign;
            if (s.raw == 0) continue;
            EXPECT_EQ(s.ptr % pe.fileAlign, 0u);
            EXPECT_EQ(s.raw % pe.fileAlign, 0u);
            EXPECT_GE(s.ptr, rawEnd);
            EXPECT_LE(uint64_t(s.ptr) + s.raw, b.size());
            rawEnd = s.ptr + s.raw;
        }
        EXPECT_EQ(pe.sizeOfImage, vaEnd);
        const StdSection* code = pe.SectionOf(pe.entry);
        ASSERT_NE(code, nullptr);
        EXPECT_NE(code->chars & 0x20000000u, 0u) << "entry point not in an executable section";
        layouts.insert(std::to_string(pe.peOffset) + "/" + std::to_string(pe.sections.size()) +
                       "/" + std::to_string(pe.sizeOfHeaders));
    }
    EXPECT_GE(layouts.size(), 4u) << "layouts should vary between records";
}

TEST(SampleBuilder, SameSeedGivesSameBytes) {
    Bytes a, b, c;
    ASSERT_TRUE(cvsamples::BuildInfected(Table()[3], 7, &a));
    ASSERT_TRUE(cvsamples::BuildInfected(Table()[3], 7, &b));
    ASSERT_TRUE(cvsamples::BuildInfected(Table()[3], 8, &c));
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(SampleBuilder, RecordsThatCannotBeLaidOutAreRefused) {
    Record r = Table()[0];
    Bytes b;
    // A small file still works: the distance between the patterns becomes
    // virtual space between two sections.
    r.fileSize = 4096;
    ASSERT_TRUE(cvsamples::BuildInfected(r, 1, &b));
    EXPECT_EQ(b.size(), 4096u);
    EXPECT_EQ(cvsamples::ScannerVerdict(b, {r}), 0);
    EXPECT_TRUE(StandardMatch(b, r));
    r.fileSize = 1024;  // no room for headers and two sections
    EXPECT_FALSE(cvsamples::BuildInfected(r, 1, &b));
    r.fileSize = 0;
    EXPECT_FALSE(cvsamples::BuildInfected(r, 1, &b));
    r.fileSize = -5;
    EXPECT_FALSE(cvsamples::BuildInfected(r, 1, &b));

    // Overlapping patterns: possible only when the overlap agrees.
    r = Table()[0];
    r.firstOffset = r.secondOffset + 10;
    EXPECT_FALSE(cvsamples::BuildInfected(r, 1, &b));
    std::memcpy(r.firstPattern, r.secondPattern + 10, 10);
    for (int i = 10; i < 20; ++i) r.firstPattern[i] = uint8_t(i);
    ASSERT_TRUE(cvsamples::BuildInfected(r, 1, &b));
    EXPECT_EQ(cvsamples::ScannerVerdict(b, {r}), 0);
    EXPECT_TRUE(StandardMatch(b, r));
}

TEST(SampleBuilder, RunnableSamplesJumpOverThePatternsToASleepLoop) {
    for (bool pe64 : {false, true}) {
        SCOPED_TRACE(pe64 ? "PE32+" : "PE32");
        const Record& r = Table()[0];
        Bytes b;
        ASSERT_TRUE(cvsamples::BuildRunnable(r, pe64, &b));
        ASSERT_EQ(b.size(), size_t(r.fileSize));
        StdPe pe(b);
        ASSERT_TRUE(pe.valid);
        EXPECT_EQ(pe.pe64, pe64);
        EXPECT_EQ(pe.machine, pe64 ? 0x8664u : 0x14Cu);
        EXPECT_EQ(pe.optSize, 224u) << "the section table must sit at header + 248";
        EXPECT_EQ(pe.dirCount, pe64 ? 14u : 16u);
        EXPECT_TRUE(StandardMatch(b, r));

        // The import directory names KERNEL32.dll!Sleep.
        int64_t desc = pe.Map(pe.importRva);
        ASSERT_GE(desc, 0);
        int64_t dll = pe.Map(U32(b, desc + 12));
        ASSERT_GE(dll, 0);
        EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + dll), "KERNEL32.dll");
        const uint32_t iatRva = U32(b, desc + 16);
        int64_t iat = pe.Map(iatRva);
        ASSERT_GE(iat, 0);
        int64_t hint = pe.Map(U32(b, iat));
        ASSERT_GE(hint, 0);
        EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + hint + 2), "Sleep");
        const StdSection* iatSection = pe.SectionOf(iatRva);
        ASSERT_NE(iatSection, nullptr);
        EXPECT_NE(iatSection->chars & 0x80000000u, 0u) << "the loader writes the IAT";

        // Entry: a near jump past the second pattern to the loop.
        int64_t entry = pe.Map(pe.entry);
        ASSERT_GE(entry, 0);
        ASSERT_EQ(b[entry], 0xE9);
        const uint32_t loopRva = pe.entry + 5 + U32(b, entry + 1);
        EXPECT_GE(loopRva, pe.entry + uint32_t(r.secondOffset) + 20);
        const StdSection* code = pe.SectionOf(loopRva);
        ASSERT_NE(code, nullptr);
        EXPECT_NE(code->chars & 0x20000000u, 0u);
        int64_t loop = pe.Map(loopRva);
        ASSERT_GE(loop, 0);
        if (pe64) {
            const uint8_t head[] = {0x48, 0x83, 0xEC, 0x28, 0xB9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x15};
            EXPECT_EQ(std::memcmp(b.data() + loop, head, sizeof head), 0);
            EXPECT_EQ(loopRva + 15 + U32(b, loop + 11), iatRva) << "call must go through Sleep's slot";
            EXPECT_EQ(b[loop + 15], 0xEB);
            EXPECT_EQ(loop + 17 + int8_t(b[loop + 16]), loop + 4) << "jump back to mov ecx";
            EXPECT_EQ(pe.imageBase, 0x140000000ull);
        } else {
            const uint8_t head[] = {0x6A, 0xFF, 0xFF, 0x15};
            EXPECT_EQ(std::memcmp(b.data() + loop, head, sizeof head), 0);
            EXPECT_EQ(U32(b, loop + 4), uint32_t(pe.imageBase) + iatRva);
            EXPECT_EQ(b[loop + 8], 0xEB);
            EXPECT_EQ(loop + 10 + int8_t(b[loop + 9]), loop) << "jump back to push";
        }
    }
}

// The real inspection decides every file of the full set as its manifest
// says; the standard reading decides differently exactly where a header
// quirk or the section limit is the deciding rule.
TEST_F(SampleScanTest, RealInspectionAgreesWithEveryManifestVerdict) {
    std::vector<std::string> problems;
    std::vector<Sample> all = cvsamples::BuildAll(Table(), true, &problems);
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems[0];

    // Files where the standard reading disagrees with the scanner's, by suffix.
    const std::map<std::string, bool> standardSays = {
        {"lfanew_high_bits_match.exe", false},  {"lfanew_high_bits_nomatch.exe", true},
        {"optional_header_240_match.exe", false}, {"optional_header_240_nomatch.exe", true},
        {"no_mz_match.exe", false},               {"no_sections_match.exe", false},
        {"zero_offset_reads_size_of_headers_match.exe", false},
        {"zero_offset_at_zero_nomatch.exe", false}, {"sections_21.exe", true},
        {"rva_below_first_section_match.exe", false},
        {"sections_out_of_order_nomatch.exe", true},
        {"offset_beyond_end_reads_rva_match.exe", false},
        {"beyond_last_section_match.exe", false}};

    std::set<std::string> names, kinds;
    int infected = 0, clean = 0;
    for (const Sample& s : all) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(names.insert(s.name).second) << "duplicate name";
        EXPECT_EQ(s.name.find(' '), std::string::npos);
        std::string line = cvsamples::ManifestLine(s);
        EXPECT_EQ(line.substr(0, s.name.size() + 1), s.name + " ");
        EXPECT_EQ(line.find('\n'), std::string::npos);

        const int before = g_scan.infectedCount;
        const int got = Inspect(s.name, s.bytes);
        if (s.verdict == Verdict::Infected) {
            EXPECT_EQ(got, 1) << s.reason;
            EXPECT_EQ(g_scan.infectedCount, before + 1);
            ++infected;
        } else {
            EXPECT_EQ(got, 0) << s.reason;
            EXPECT_EQ(g_scan.infectedCount, before);
            EXPECT_TRUE(machine.Exists("C:\\samples\\" + s.name)) << "a clean file was removed";
            ++clean;
        }
        bool expectStandard = s.verdict == Verdict::Infected;
        size_t cut = s.name.find('_', s.name.find('_') + 1);
        std::string suffix = s.name.substr(cut + 1);
        auto it = standardSays.find(suffix);
        if (it != standardSays.end()) expectStandard = it->second;
        EXPECT_EQ(StandardMatch(s.bytes, Table()[s.record]), expectStandard)
            << "standard reading of " << s.name;
        kinds.insert(s.name.substr(0, s.name.find('_')) + ":" + suffix);
    }
    EXPECT_EQ(infected + clean, int(all.size()));
    // 74 infected samples, 2 runnable, 9 quirk matches for each of 5 chosen
    // records; 9 decoys and 4 quirk failures for each of them.
    EXPECT_EQ(infected, 74 + 2 + 9 * 5);
    EXPECT_EQ(clean, 9 * 5 + 4 * 5);
    EXPECT_TRUE(kinds.count("runnable:pe64.exe") && kinds.count("runnable:pe32.exe"));
}

// The builder vets its manifest with its own model of the scanner's reading;
// mutated headers must get the same answer from the model and from the real
// inspection, and neither may crash on them.
TEST_F(SampleScanTest, ScannerModelAndRealInspectionAgreeOnMutatedHeaders) {
    Bytes base;
    cvsamples::SampleInfo info;
    ASSERT_TRUE(cvsamples::BuildInfected(Table()[0], 11, &base, &info));
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    const size_t pe = info.peOffset;
    // Fields the reading depends on: e_lfanew, signature, section count,
    // entry point, SizeOfHeaders, the first section headers.
    const std::vector<size_t> hot = {60, 61, 62, pe, pe + 1, pe + 3, pe + 6, pe + 7,
                                     pe + 24 + 16, pe + 24 + 17, pe + 24 + 19, pe + 24 + 60,
                                     pe + 248 + 8, pe + 248 + 11, pe + 248 + 12, pe + 248 + 14,
                                     pe + 248 + 20, pe + 248 + 22, pe + 288 + 8, pe + 288 + 12,
                                     pe + 288 + 21, pe + 328 + 12};
    int agreed = 0, matched = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes b = base;
        int edits = 1 + next() % 3;
        for (int e = 0; e < edits; ++e) b[hot[next() % hot.size()]] = uint8_t(next());
        if (round % 10 == 0) b.resize(next() % b.size());
        const std::string name = "mut" + std::to_string(round) + ".exe";
        const int model = cvsamples::ScannerVerdict(b, Table());
        const int real = Inspect(name, b);
        EXPECT_EQ(real, model >= 0 ? 1 : 0) << name << " model record " << model;
        agreed += (real == (model >= 0 ? 1 : 0));
        matched += real;
    }
    EXPECT_EQ(agreed, 400);
    EXPECT_GT(matched, 0);
    EXPECT_LT(matched, 400);

    // Nothing but garbage, of every small length.
    for (size_t n = 0; n < 400; n += 7) {
        Bytes junk(n);
        for (uint8_t& x : junk) x = uint8_t(next());
        if (n > 64) {
            junk[60] = uint8_t(n - 4);
            junk[61] = 0;
        }
        EXPECT_EQ(cvsamples::ScannerVerdict(junk, Table()), -1);
    }
}

TEST(SampleBuilder, DecoysOfRecordsWithOtherSizeModes) {
    Record r = Table()[0];
    r.sizeMode = 2;
    std::vector<Sample> decoys = cvsamples::BuildDecoys(r, 0, 5);
    int sizeDecoys = 0;
    for (const Sample& s : decoys) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(cvsamples::ScannerVerdict(s.bytes, {r}), -1);
        if (s.name.find("size_") != std::string::npos) {
            ++sizeDecoys;
            EXPECT_EQ(std::abs(int64_t(s.bytes.size()) - r.fileSize), 4096);
        }
    }
    EXPECT_EQ(sizeDecoys, 2);
    // Within 4095 bytes still matches under mode 2.
    Record near = r;
    near.fileSize = r.fileSize + 4095;
    Bytes b;
    ASSERT_TRUE(cvsamples::BuildInfected(near, 5, &b));
    EXPECT_EQ(cvsamples::ScannerVerdict(b, {r}), 0);
}

// Every kind of decoy and edge file can be made for every record, so tests
// that use any record get the full set.
TEST(SampleBuilder, EveryRecordGetsEveryDecoyAndEdgeFile) {
    std::map<std::string, int> kinds;
    for (size_t i = 0; i < Table().size(); ++i) {
        std::vector<Sample> files = cvsamples::BuildDecoys(Table()[i], int(i), 3);
        EXPECT_EQ(files.size(), 9u) << "record " << i;
        std::vector<Sample> edges = cvsamples::BuildEdgeFiles(Table()[i], int(i), 3);
        EXPECT_EQ(edges.size(), 13u) << "record " << i;
        for (const Sample& s : edges) {
            EXPECT_EQ(s.verdict == Verdict::Infected, s.name.find("_match.exe") != std::string::npos)
                << s.name;
            kinds[s.name.substr(s.name.find('_', 5) + 1)]++;
        }
    }
    EXPECT_EQ(kinds.size(), 13u);
}
