// Test samples for the scanner: real PE files that carry the two patterns of
// a signature record where the scanner looks for them, files that must not
// match, and files whose verdict depends on how the scanner reads headers.
//
// Pure C++17, no operating-system calls: every builder returns the bytes of
// one file. Layouts are seeded, so the same record and seed always give the
// same bytes, while different records get slightly different layouts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvsamples {

constexpr int kPatternBytes = 20;

using Bytes = std::vector<uint8_t>;

// One signature, fields by value (no packing, no alignment concerns).
struct Record {
    int32_t firstOffset = 0;
    uint8_t firstPattern[kPatternBytes] = {};
    int32_t secondOffset = 0;
    uint8_t secondPattern[kPatternBytes] = {};
    int32_t fileSize = 0;
    int32_t sizeMode = 1;
};

enum class Verdict { Infected, Clean };

struct Sample {
    std::string name;     // file name, e.g. "infected_07.exe"
    Verdict verdict = Verdict::Clean;  // what the scanner must decide
    int record = -1;      // index of the record the file was built from
    std::string reason;   // one line: the rule that decides the verdict
    Bytes bytes;
};

// Where the last built image put things (for tests and callers that want to
// patch a sample further). Offsets are file offsets unless named rva.
struct SampleInfo {
    bool pe64 = false;
    uint32_t peOffset = 0;
    uint32_t entryPoint = 0;    // rva
    uint32_t sizeOfHeaders = 0;
    uint32_t imageBase = 0;     // low 32 bits
    uint32_t firstPatternOffset = 0;
    uint32_t secondPatternOffset = 0;
    uint32_t entryPointOffset = 0;
    int sectionCount = 0;
};

// A PE32 file of exactly record.fileSize bytes (clamped at 0) with both
// patterns at entry point + offset, as the scanner maps them. False when the
// record cannot be laid out in that many bytes.
bool BuildInfected(const Record& record, uint32_t seed, Bytes* out, SampleInfo* info = nullptr);

// A program that matches the record and stays alive when started: its entry
// point jumps over the pattern area to a loop around kernel32!Sleep(INFINITE).
// pe64 = false gives PE32 (i386), true gives PE32+ (x86-64). Its optional
// header is 224 bytes long in both forms, so the section table sits where the
// scanner reads it.
bool BuildRunnable(const Record& record, bool pe64, Bytes* out, SampleInfo* info = nullptr);

// Files built from one record that the scanner must not match: one pattern
// only (each), length off by one (4096 for size mode 2), both patterns one
// byte late, no PE signature, cut before the second pattern, 21 sections,
// another entry point.
std::vector<Sample> BuildDecoys(const Record& record, int index, uint32_t seed);

// Files whose verdict follows from how the scanner reads headers; each
// sample's reason names the rule. Some are infected, some clean.
//
// Both builders check every file against ScannerVerdict for this record and
// leave out any file a layout could not make come out as intended (none for
// the built-in table), so a caller can rely on each sample's verdict.
std::vector<Sample> BuildEdgeFiles(const Record& record, int index, uint32_t seed);

// Every infected sample of the table, decoys and edge files for a few
// records, and (when asked) the runnable samples. Each file has been checked
// against ScannerVerdict; a file that disagrees with its intended verdict is
// left out and its name reported in `problems`.
std::vector<Sample> BuildAll(const std::vector<Record>& table, bool runnable,
                             std::vector<std::string>* problems = nullptr);

// "name verdict record reason", the line written to the manifest.
std::string ManifestLine(const Sample& sample);

// How the scanner reads a file: the index of the first record that matches,
// or -1. Header offset from the low 16 bits at 60, no MZ check, section table
// at header + 248 whatever the optional-header size, at most 20 sections,
// the first section ending beyond the rva maps it, out-of-file offsets fall
// back to the rva and a zero offset reads at SizeOfHeaders. Safe on any bytes.
int ScannerVerdict(const uint8_t* data, size_t size, const std::vector<Record>& table);
inline int ScannerVerdict(const Bytes& file, const std::vector<Record>& table) {
    return ScannerVerdict(file.data(), file.size(), table);
}

}  // namespace cvsamples
