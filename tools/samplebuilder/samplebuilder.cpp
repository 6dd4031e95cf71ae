#include "tools/samplebuilder/samplebuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace cvsamples {
namespace {

constexpr uint32_t kFileAlign = 0x200;
constexpr uint32_t kSectionAlign = 0x1000;
constexpr uint32_t kOptionalHeaderSize = 224;
// The scanner reads the section table here, whatever SizeOfOptionalHeader says.
constexpr uint32_t kScannerSectionTable = 4 + 20 + kOptionalHeaderSize;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr int kScannerMaxSections = 20;
// Windows closer than this share one section; farther apart, the gap becomes
// virtual space between two sections.
constexpr int64_t kClusterGap = 0x2000;
constexpr uint32_t kEntryCodeBytes = 16;
constexpr uint32_t kTailCodeBytes = 0x20;
constexpr uint64_t kImageBase32 = 0x400000;
constexpr uint64_t kImageBase64 = 0x140000000ull;

const char* const kImportDll = "KERNEL32.dll";

class Rng {
public:
    explicit Rng(uint32_t seed) : state_(seed * 2654435761u ^ 0x5EED5A11u) {
        if (state_ == 0) state_ = 1;
        Next();
    }
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 24); }

private:
    uint32_t state_;
};

int64_t AlignUp(int64_t v, int64_t a) { return (v + a - 1) / a * a; }
int64_t AlignDown(int64_t v, int64_t a) { return v / a * a; }

void Put16(Bytes& b, size_t at, uint32_t v) {
    if (at > b.size() || 2 > b.size() - at) return;
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    if (at > b.size() || 4 > b.size() - at) return;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, size_t at, uint64_t v) {
    Put32(b, at, static_cast<uint32_t>(v));
    Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
void PutBytes(Bytes& b, size_t at, const void* src, size_t n) {
    if (at > b.size() || n > b.size() - at) return;
    std::memcpy(b.data() + at, src, n);
}
uint32_t Get16(const uint8_t* d, size_t size, size_t at, bool* ok) {
    if (at > size || 2 > size - at) {
        *ok = false;
        return 0;
    }
    return d[at] | (d[at + 1] << 8);
}
uint32_t Get32(const uint8_t* d, size_t size, size_t at, bool* ok) {
    if (at > size || 4 > size - at) {
        *ok = false;
        return 0;
    }
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

enum class Kind { Packed, Code, Resource, Empty };

struct Section {
    std::string name;
    uint32_t va = 0, vs = 0, ptr = 0, raw = 0, chars = 0;
    Kind kind = Kind::Packed;
};

// A planned PE image: where every section, the entry point and the two
// pattern windows go.
struct Plan {
    bool pe64 = false;
    uint32_t peOffset = 0x80;
    uint32_t sizeOfHeaders = 0x400;
    uint32_t entry = 0;
    uint32_t fileSize = 0;
    uint32_t sizeOfImage = 0;
    uint32_t timeStamp = 0;
    std::vector<Section> sections;
    int entrySection = -1;
    uint32_t tailRva = 0;  // room after the entry point's cluster for code and imports
    uint32_t tailSize = 0;
    uint32_t firstRva = 0, secondRva = 0;
};

struct PlanOptions {
    bool pe64 = false;
    uint32_t tailSize = 0;
    int sectionCount = 0;  // pad with empty sections up to this many; 0: as laid out
    uint32_t extraHeaderRoom = 0;
    int resource = -1;  // a trailing resource section: -1 as the seed says, 0 never, 1 always
    bool growLast = false;  // spare file bytes go to the last section, not the first
    uint32_t seed = 0;
};

// The standard mapping of the planned image: the section whose raw data holds
// the rva. Returns false for an rva outside every section's raw data.
bool PlannedOffset(const Plan& p, uint32_t rva, uint32_t* offset) {
    for (const Section& s : p.sections) {
        if (s.raw == 0) continue;
        if (rva >= s.va && rva - s.va < std::min(s.raw, s.vs)) {
            *offset = s.ptr + (rva - s.va);
            return true;
        }
    }
    return false;
}

struct Cluster {
    int64_t lo, hi;  // relative to the entry point
};

bool MakePlan(const Record& r, const PlanOptions& o, Plan* p) {
    Rng rng(o.seed);
    if (r.fileSize <= 0) return false;
    p->pe64 = o.pe64;
    p->fileSize = static_cast<uint32_t>(r.fileSize);

    // Windows relative to the entry point: both patterns and the entry code.
    std::vector<Cluster> windows = {{r.firstOffset, int64_t(r.firstOffset) + kPatternBytes},
                                    {r.secondOffset, int64_t(r.secondOffset) + kPatternBytes},
                                    {0, kEntryCodeBytes}};
    std::sort(windows.begin(), windows.end(),
              [](const Cluster& a, const Cluster& b) { return a.lo < b.lo; });
    std::vector<Cluster> clusters;
    for (const Cluster& w : windows) {
        if (!clusters.empty() && w.lo < clusters.back().hi + kClusterGap)
            clusters.back().hi = std::max(clusters.back().hi, w.hi);
        else
            clusters.push_back(w);
    }
    int ec = -1;
    for (size_t k = 0; k < clusters.size(); ++k)
        if (clusters[k].lo <= 0 && 0 < clusters[k].hi) ec = static_cast<int>(k);
    if (ec < 0) return false;
    // The tail starts 16-aligned as an rva once the entry point is known.
    const int64_t tailFrom = clusters[ec].hi;
    if (o.tailSize) clusters[ec].hi += o.tailSize + 16;
    if (ec + 1 < static_cast<int>(clusters.size()) &&
        clusters[ec + 1].lo < clusters[ec].hi + int64_t(kSectionAlign))
        return false;

    const int m = static_cast<int>(clusters.size());
    bool resource = rng.Below(3) != 0;
    if (o.resource >= 0) resource = o.resource != 0;
    int count = m + (resource ? 1 : 0);
    if (o.sectionCount > 0) {
        if (o.sectionCount < count) return false;
        count = o.sectionCount;
    }
    static const uint32_t kPeOffsets[] = {0x80, 0xB0, 0xC0, 0xC8, 0xD0, 0xE0, 0xE8, 0xF0, 0x100};
    p->peOffset = kPeOffsets[rng.Below(sizeof kPeOffsets / sizeof kPeOffsets[0])];
    p->sizeOfHeaders = static_cast<uint32_t>(AlignUp(
        p->peOffset + kScannerSectionTable + count * kSectionHeaderSize + o.extraHeaderRoom,
        kFileAlign));
    p->timeStamp = 0x3A000000u + rng.Below(0x06000000u);

    // Virtual placement: the first cluster's section at 0x1000, each further
    // cluster's section aligned below its first window.
    std::vector<int64_t> va(m), lead(m), need(m);
    va[0] = kSectionAlign;
    lead[0] = 0x40 + 4 * rng.Below(0xF0);
    const int64_t entry = va[0] + lead[0] - clusters[0].lo;
    if (entry <= 0 || entry >= 0x7FFF0000) return false;
    for (int k = 1; k < m; ++k) {
        int64_t start = entry + clusters[k].lo;
        va[k] = AlignDown(start - 16 * rng.Below(32), kSectionAlign);
        int64_t prevEnd = va[k - 1] + lead[k - 1] + (clusters[k - 1].hi - clusters[k - 1].lo);
        if (va[k] < AlignUp(prevEnd, kSectionAlign)) return false;
        lead[k] = start - va[k];
    }
    int64_t total = p->sizeOfHeaders;
    for (int k = 0; k < m; ++k) {
        need[k] = AlignUp(lead[k] + (clusters[k].hi - clusters[k].lo) + 16 + 16 * rng.Below(8),
                          kFileAlign);
        total += need[k];
    }
    if (total > r.fileSize) return false;
    int64_t slack = AlignDown(r.fileSize - total, kFileAlign);
    int64_t resourceRaw = resource ? std::min<int64_t>(slack, kFileAlign * (1 + rng.Below(6))) : 0;
    slack -= resourceRaw;
    std::vector<int64_t> raw = need;
    for (int k = 0; k + 1 < m && slack > 0 && !o.growLast; ++k) {
        int64_t room = AlignDown(va[k + 1] - va[k], kFileAlign) - raw[k];
        int64_t give = std::max<int64_t>(0, std::min(room, slack));
        raw[k] += give;
        slack -= give;
    }
    raw[m - 1] += slack;

    static const char* const kCodeNames[] = {".text", "CODE", ".code", ".init"};
    static const char* const kDataNames[] = {".data", "DATA", ".pdata", ".packed"};
    p->sections.clear();
    int64_t ptr = p->sizeOfHeaders;
    for (int k = 0; k < m; ++k) {
        Section s;
        bool isEntry = k == ec;
        s.name = isEntry ? kCodeNames[rng.Below(4)] : kDataNames[rng.Below(4)];
        s.kind = isEntry ? Kind::Code : Kind::Packed;
        s.va = static_cast<uint32_t>(va[k]);
        s.vs = static_cast<uint32_t>(k + 1 < m ? va[k + 1] - va[k] : raw[k]);
        s.raw = static_cast<uint32_t>(raw[k]);
        s.ptr = static_cast<uint32_t>(ptr);
        s.chars = isEntry ? 0xE0000060u : (rng.Below(2) ? 0xC0000040u : 0xE0000060u);
        ptr += raw[k];
        p->sections.push_back(s);
    }
    p->entrySection = ec;
    uint32_t nextVa = static_cast<uint32_t>(
        AlignUp(int64_t(p->sections.back().va) + p->sections.back().vs, kSectionAlign));
    if (resource) {
        Section s;
        s.name = ".rsrc";
        s.kind = Kind::Resource;
        s.va = nextVa;
        s.raw = static_cast<uint32_t>(resourceRaw);
        s.vs = s.raw ? s.raw - 16 * rng.Below(8) : kFileAlign;
        s.ptr = s.raw ? static_cast<uint32_t>(ptr) : 0;
        s.chars = 0x40000040u;
        ptr += resourceRaw;
        p->sections.push_back(s);
        nextVa = static_cast<uint32_t>(AlignUp(int64_t(s.va) + s.vs, kSectionAlign));
    }
    for (int k = static_cast<int>(p->sections.size()); k < count; ++k) {
        Section s;
        char name[9];
        std::snprintf(name, sizeof name, ".bss%d", k);
        s.name = name;
        s.kind = Kind::Empty;
        s.va = nextVa;
        s.vs = kSectionAlign;
        s.chars = 0xC0000080u;
        p->sections.push_back(s);
        nextVa += kSectionAlign;
    }
    p->sizeOfImage = nextVa;
    p->entry = static_cast<uint32_t>(entry);
    p->tailRva = static_cast<uint32_t>(AlignUp(entry + tailFrom, 16));
    p->tailSize = o.tailSize;
    p->firstRva = static_cast<uint32_t>(entry + r.firstOffset);
    p->secondRva = static_cast<uint32_t>(entry + r.secondOffset);
    return true;
}

// Bytes that look like ordinary 32-bit compiler output.
void FillCode(Bytes& b, size_t from, size_t to, Rng& rng) {
    static const uint8_t kInstructions[][6] = {
        {1, 0x55}, {2, 0x8B, 0xEC}, {3, 0x83, 0xEC, 0x10}, {1, 0x53}, {1, 0x56}, {1, 0x57},
        {3, 0x8B, 0x45, 0x08}, {3, 0x8B, 0x4D, 0x0C}, {2, 0x33, 0xC0}, {2, 0x85, 0xC0},
        {2, 0x74, 0x0A}, {2, 0x75, 0x05}, {1, 0x5F}, {1, 0x5E}, {1, 0x5B}, {1, 0xC9},
        {1, 0xC3}, {3, 0xC2, 0x08, 0x00}, {2, 0x6A, 0x00}, {1, 0x50}, {3, 0x89, 0x45, 0xFC},
        {2, 0x8B, 0xF1}, {1, 0x90}, {2, 0x03, 0xC1}};
    const size_t n = sizeof kInstructions / sizeof kInstructions[0];
    size_t at = from;
    while (at < to) {
        const uint8_t* ins = kInstructions[rng.Below(static_cast<uint32_t>(n))];
        for (int i = 1; i <= ins[0] && at < to; ++i) b[at++] = ins[i];
        if (rng.Below(7) == 0 && at + 5 <= to) {  // a call with a random target
            b[at++] = 0xE8;
            for (int i = 0; i < 4; ++i) b[at++] = rng.Byte();
        }
    }
}

void FillRandom(Bytes& b, size_t from, size_t to, Rng& rng) {
    for (size_t i = from; i < to; ++i) b[i] = rng.Byte();
}

void FillResource(Bytes& b, size_t from, size_t to, Rng& rng) {
    static const char kText[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0";
    for (size_t i = from; i < to; ++i) b[i] = 0;
    if (to > from + 0x40 + sizeof kText) PutBytes(b, from + 0x40, kText, sizeof kText);
    for (size_t i = from + 0x100; i + 4 < to; i += 0x60 + rng.Below(0x80)) b[i] = rng.Byte();
}

struct Imports {
    uint32_t descriptorRva = 0, descriptorSize = 0;
    uint32_t iatRva = 0, iatSize = 0;
};

uint32_t ImportTailSize(bool pe64, const std::vector<std::string>& functions) {
    uint32_t thunk = pe64 ? 8 : 4;
    uint32_t size = kTailCodeBytes + 2 * 20;
    size += 2 * thunk * static_cast<uint32_t>(functions.size() + 1);
    for (const std::string& f : functions)
        size += static_cast<uint32_t>(AlignUp(2 + f.size() + 1, 2));
    size += static_cast<uint32_t>(AlignUp(std::strlen(kImportDll) + 1, 2));
    return static_cast<uint32_t>(AlignUp(size, 16));
}

// One import descriptor for kernel32 with the given functions, written into
// the tail after its code room.
Imports WriteImports(Bytes& b, const Plan& p, uint32_t tailFile,
                     const std::vector<std::string>& functions) {
    Imports im;
    const uint32_t thunk = p.pe64 ? 8 : 4;
    const uint32_t n = static_cast<uint32_t>(functions.size());
    uint32_t rel = kTailCodeBytes;
    const uint32_t desc = rel;
    rel += 2 * 20;
    const uint32_t ilt = rel;
    rel += thunk * (n + 1);
    const uint32_t iat = rel;
    rel += thunk * (n + 1);
    std::fill(b.begin() + tailFile + desc, b.begin() + tailFile + rel, 0);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t hint = rel;
        Put16(b, tailFile + hint, 0);
        PutBytes(b, tailFile + hint + 2, functions[i].c_str(), functions[i].size() + 1);
        rel += static_cast<uint32_t>(AlignUp(2 + functions[i].size() + 1, 2));
        if (p.pe64) {
            Put64(b, tailFile + ilt + i * thunk, p.tailRva + hint);
            Put64(b, tailFile + iat + i * thunk, p.tailRva + hint);
        } else {
            Put32(b, tailFile + ilt + i * thunk, p.tailRva + hint);
            Put32(b, tailFile + iat + i * thunk, p.tailRva + hint);
        }
    }
    const uint32_t dll = rel;
    PutBytes(b, tailFile + dll, kImportDll, std::strlen(kImportDll) + 1);
    Put32(b, tailFile + desc + 0, p.tailRva + ilt);   // OriginalFirstThunk
    Put32(b, tailFile + desc + 12, p.tailRva + dll);  // Name
    Put32(b, tailFile + desc + 16, p.tailRva + iat);  // FirstThunk
    im.descriptorRva = p.tailRva + desc;
    im.descriptorSize = 2 * 20;
    im.iatRva = p.tailRva + iat;
    im.iatSize = thunk * (n + 1);
    return im;
}

void WriteHeaders(Bytes& b, const Plan& p, const Imports& im) {
    static const uint8_t kDosStub[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD,
                                       0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
    static const char kDosText[] = "This program cannot be run in DOS mode.\r\r\n$";
    b[0] = 'M';
    b[1] = 'Z';
    Put16(b, 0x02, 0x90);
    Put16(b, 0x04, 3);
    Put16(b, 0x08, 4);
    Put16(b, 0x0C, 0xFFFF);
    Put16(b, 0x10, 0xB8);
    Put16(b, 0x18, 0x40);
    Put32(b, 0x3C, p.peOffset);
    PutBytes(b, 0x40, kDosStub, sizeof kDosStub);
    PutBytes(b, 0x40 + sizeof kDosStub, kDosText, sizeof kDosText - 1);

    const size_t pe = p.peOffset;
    PutBytes(b, pe, "PE\0\0", 4);
    const size_t fh = pe + 4;
    Put16(b, fh + 0, p.pe64 ? 0x8664 : 0x014C);
    Put16(b, fh + 2, static_cast<uint32_t>(p.sections.size()));
    Put32(b, fh + 4, p.timeStamp);
    Put16(b, fh + 16, kOptionalHeaderSize);
    Put16(b, fh + 18, p.pe64 ? 0x0023 : 0x010F);

    uint32_t sizeOfCode = 0, sizeOfData = 0, sizeOfBss = 0;
    for (const Section& s : p.sections) {
        if (s.chars & 0x20) sizeOfCode += s.raw;
        else if (s.chars & 0x80) sizeOfBss += s.vs;
        else sizeOfData += s.raw;
    }
    const Section& code = p.sections[p.entrySection];
    const size_t oh = pe + 24;
    Put16(b, oh + 0, p.pe64 ? 0x20B : 0x10B);
    b[oh + 2] = 6;
    Put32(b, oh + 4, sizeOfCode);
    Put32(b, oh + 8, sizeOfData);
    Put32(b, oh + 12, sizeOfBss);
    Put32(b, oh + 16, p.entry);
    Put32(b, oh + 20, code.va);
    size_t dirs;
    if (p.pe64) {
        Put64(b, oh + 24, kImageBase64);
    } else {
        Put32(b, oh + 24, p.sections.front().va);  // BaseOfData
        Put32(b, oh + 28, static_cast<uint32_t>(kImageBase32));
    }
    Put32(b, oh + 32, kSectionAlign);
    Put32(b, oh + 36, kFileAlign);
    const uint32_t major = p.pe64 ? 5 : 4, minor = p.pe64 ? 2 : 0;
    Put16(b, oh + 40, major);
    Put16(b, oh + 42, minor);
    Put16(b, oh + 48, major);
    Put16(b, oh + 50, minor);
    Put32(b, oh + 56, p.sizeOfImage);
    Put32(b, oh + 60, p.sizeOfHeaders);
    Put16(b, oh + 68, 2);  // GUI: no console window when started
    if (p.pe64) {
        Put64(b, oh + 72, 0x100000);
        Put64(b, oh + 80, 0x1000);
        Put64(b, oh + 88, 0x100000);
        Put64(b, oh + 96, 0x1000);
        Put32(b, oh + 108, 14);  // 14 directories keep the optional header at 224 bytes
        dirs = oh + 112;
    } else {
        Put32(b, oh + 72, 0x100000);
        Put32(b, oh + 76, 0x1000);
        Put32(b, oh + 80, 0x100000);
        Put32(b, oh + 84, 0x1000);
        Put32(b, oh + 92, 16);
        dirs = oh + 96;
    }
    Put32(b, dirs + 1 * 8, im.descriptorRva);
    Put32(b, dirs + 1 * 8 + 4, im.descriptorSize);
    Put32(b, dirs + 12 * 8, im.iatRva);
    Put32(b, dirs + 12 * 8 + 4, im.iatSize);

    size_t sh = pe + kScannerSectionTable;
    for (const Section& s : p.sections) {
        char name[8] = {};
        std::memcpy(name, s.name.c_str(), std::min<size_t>(8, s.name.size()));
        PutBytes(b, sh, name, 8);
        Put32(b, sh + 8, s.vs);
        Put32(b, sh + 12, s.va);
        Put32(b, sh + 16, s.raw);
        Put32(b, sh + 20, s.ptr);
        Put32(b, sh + 36, s.chars);
        sh += kSectionHeaderSize;
    }
}

bool Overlaps(uint64_t a, uint64_t aLen, uint64_t b, uint64_t bLen) {
    return a < b + bLen && b < a + aLen;
}

// Writes both patterns; false when they collide with different bytes.
bool WritePatterns(Bytes& b, const Record& r, uint32_t first, uint32_t second) {
    if (first > b.size() || kPatternBytes > b.size() - first) return false;
    if (second > b.size() || kPatternBytes > b.size() - second) return false;
    PutBytes(b, first, r.firstPattern, kPatternBytes);
    PutBytes(b, second, r.secondPattern, kPatternBytes);
    return std::memcmp(b.data() + first, r.firstPattern, kPatternBytes) == 0;
}

enum class EntryCode { Stub, Runnable };

const std::vector<std::string>& StubImports() {
    static const std::vector<std::string> names = {"LoadLibraryA", "GetProcAddress",
                                                   "VirtualProtect", "ExitProcess"};
    return names;
}
const std::vector<std::string>& RunnableImports() {
    static const std::vector<std::string> names = {"Sleep"};
    return names;
}

// Lays out and renders one matching image.
bool BuildImage(const Record& r, PlanOptions o, EntryCode code, Bytes* out, SampleInfo* info,
                Plan* planOut = nullptr) {
    const std::vector<std::string>& imports =
        code == EntryCode::Runnable ? RunnableImports() : StubImports();
    o.tailSize = ImportTailSize(o.pe64, imports);
    Plan p;
    if (!MakePlan(r, o, &p)) return false;
    Rng rng(o.seed ^ 0xF111u);
    Bytes b(p.fileSize, 0);
    for (const Section& s : p.sections) {
        if (s.raw == 0) continue;
        size_t from = s.ptr, to = size_t(s.ptr) + s.raw;
        if (to > b.size()) return false;
        if (s.kind == Kind::Code) FillCode(b, from, to, rng);
        else if (s.kind == Kind::Resource) FillResource(b, from, to, rng);
        else FillRandom(b, from, to, rng);
    }
    uint32_t used = p.sizeOfHeaders;
    for (const Section& s : p.sections) used = std::max(used, s.raw ? s.ptr + s.raw : 0);
    FillRandom(b, used, b.size(), rng);  // overlay

    uint32_t tailFile = 0, entryFile = 0, firstFile = 0, secondFile = 0;
    if (!PlannedOffset(p, p.tailRva, &tailFile) || !PlannedOffset(p, p.entry, &entryFile) ||
        !PlannedOffset(p, p.firstRva, &firstFile) || !PlannedOffset(p, p.secondRva, &secondFile))
        return false;
    if (size_t(tailFile) + p.tailSize > b.size()) return false;
    Imports im = WriteImports(b, p, tailFile, imports);
    WriteHeaders(b, p, im);

    const uint64_t imageBase = p.pe64 ? kImageBase64 : kImageBase32;
    if (code == EntryCode::Runnable) {
        // The entry point jumps over the pattern area to a loop that sleeps for ever.
        if (Overlaps(entryFile, 5, firstFile, kPatternBytes) ||
            Overlaps(entryFile, 5, secondFile, kPatternBytes))
            return false;
        b[entryFile] = 0xE9;
        Put32(b, entryFile + 1, p.tailRva - (p.entry + 5));
        for (uint32_t i = 5; i < kEntryCodeBytes; ++i) b[entryFile + i] = 0xCC;
        if (p.pe64) {
            static const uint8_t kLoop[] = {0x48, 0x83, 0xEC, 0x28,        // sub rsp, 40
                                            0xB9, 0xFF, 0xFF, 0xFF, 0xFF,  // mov ecx, INFINITE
                                            0xFF, 0x15, 0, 0, 0, 0,        // call [rip+Sleep]
                                            0xEB, 0xF3};                   // jmp back to mov
            PutBytes(b, tailFile, kLoop, sizeof kLoop);
            Put32(b, tailFile + 11, im.iatRva - (p.tailRva + 15));
        } else {
            static const uint8_t kLoop[] = {0x6A, 0xFF,                    // push INFINITE
                                            0xFF, 0x15, 0, 0, 0, 0,        // call [Sleep]
                                            0xEB, 0xF6};                   // jmp back to push
            PutBytes(b, tailFile, kLoop, sizeof kLoop);
            Put32(b, tailFile + 4, static_cast<uint32_t>(imageBase + im.iatRva));
        }
    } else {
        // An unpacker's first instructions: pushad; mov esi, src; lea edi, [esi+d]; push edi.
        uint8_t stub[kEntryCodeBytes] = {0x60, 0xBE, 0, 0, 0, 0, 0x8D, 0xBE, 0, 0, 0, 0, 0x57,
                                         0x83, 0xCD, 0xFF};
        uint32_t src = static_cast<uint32_t>(imageBase) + p.sections.front().va + 0x10;
        uint32_t delta = 0u - (p.sections.front().va + 0x10 - kSectionAlign);
        std::memcpy(stub + 2, &src, 4);
        std::memcpy(stub + 8, &delta, 4);
        PutBytes(b, entryFile, stub, sizeof stub);
    }
    if (!WritePatterns(b, r, firstFile, secondFile)) return false;
    if (info) {
        info->pe64 = p.pe64;
        info->peOffset = p.peOffset;
        info->entryPoint = p.entry;
        info->sizeOfHeaders = p.sizeOfHeaders;
        info->imageBase = static_cast<uint32_t>(imageBase);
        info->firstPatternOffset = firstFile;
        info->secondPatternOffset = secondFile;
        info->entryPointOffset = entryFile;
        info->sectionCount = static_cast<int>(p.sections.size());
    }
    if (planOut) *planOut = p;
    *out = std::move(b);
    return true;
}

// Replaces 20 bytes with filler that differs from what was there.
void Scramble(Bytes& b, uint32_t at, Rng& rng) {
    if (at > b.size() || kPatternBytes > b.size() - at) return;
    for (int i = 0; i < kPatternBytes; ++i) b[at + i] ^= static_cast<uint8_t>(1 + rng.Below(255));
}

std::string Name(const char* kind, int index, const char* what) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s_%02d_%s.exe", kind, index, what);
    return buf;
}

Sample Make(std::string name, Verdict v, int index, std::string reason, Bytes bytes) {
    Sample s;
    s.name = std::move(name);
    s.verdict = v;
    s.record = index;
    s.reason = std::move(reason);
    s.bytes = std::move(bytes);
    return s;
}

// A file without sections: the scanner then uses every rva as a file offset.
// `entry` is the entry point; each pattern is written at the file offset
// given, so callers decide where the scanner will and will not find them.
bool BuildFlat(const Record& r, uint32_t seed, uint32_t entry, uint32_t firstAt, uint32_t secondAt,
               Bytes* out, uint32_t* sizeOfHeaders) {
    if (r.fileSize <= 0) return false;
    Rng rng(seed);
    Plan p;
    p.peOffset = 0x80;
    p.sizeOfHeaders = static_cast<uint32_t>(AlignUp(p.peOffset + kScannerSectionTable, kFileAlign));
    p.entry = entry;
    p.fileSize = static_cast<uint32_t>(r.fileSize);
    p.sizeOfImage = static_cast<uint32_t>(AlignUp(p.fileSize, kSectionAlign));
    p.timeStamp = 0x3A000000u + rng.Below(0x06000000u);
    Section fake;  // only to give the headers a code base; not written to the table
    fake.va = p.sizeOfHeaders;
    fake.chars = 0x20;
    p.sections.push_back(fake);
    p.entrySection = 0;
    Bytes b(p.fileSize, 0);
    FillCode(b, p.sizeOfHeaders, b.size(), rng);
    WriteHeaders(b, p, Imports());
    Put16(b, p.peOffset + 6, 0);  // NumberOfSections
    std::fill(b.begin() + p.peOffset + kScannerSectionTable,
              b.begin() + p.peOffset + kScannerSectionTable + kSectionHeaderSize, 0);
    if (!WritePatterns(b, r, firstAt, secondAt)) return false;
    *sizeOfHeaders = p.sizeOfHeaders;
    *out = std::move(b);
    return true;
}

}  // namespace

bool BuildInfected(const Record& record, uint32_t seed, Bytes* out, SampleInfo* info) {
    PlanOptions o;
    o.seed = seed;
    return BuildImage(record, o, EntryCode::Stub, out, info);
}

bool BuildRunnable(const Record& record, bool pe64, Bytes* out, SampleInfo* info) {
    PlanOptions o;
    o.pe64 = pe64;
    o.seed = pe64 ? 0x64 : 0x32;
    return BuildImage(record, o, EntryCode::Runnable, out, info);
}

static std::vector<Sample> UnvettedDecoys(const Record& r, int index, uint32_t seed) {
    std::vector<Sample> out;
    Bytes base;
    SampleInfo info;
    if (!BuildInfected(r, seed, &base, &info)) return out;
    Rng rng(seed ^ 0xDEC0u);
    const Verdict clean = Verdict::Clean;

    Bytes b = base;
    Scramble(b, info.secondPatternOffset, rng);
    out.push_back(Make(Name("decoy", index, "first_only"), clean, index,
                       "only the first pattern is present", b));
    b = base;
    Scramble(b, info.firstPatternOffset, rng);
    out.push_back(Make(Name("decoy", index, "second_only"), clean, index,
                       "only the second pattern is present", b));

    if (r.sizeMode == 1) {
        b = base;
        b.push_back(0);
        out.push_back(Make(Name("decoy", index, "size_plus_1"), clean, index,
                           "file is one byte longer than the exact length", b));
        b = base;
        b.pop_back();
        out.push_back(Make(Name("decoy", index, "size_minus_1"), clean, index,
                           "file is one byte shorter than the exact length", b));
    } else if (r.sizeMode == 2) {
        for (int sign : {+1, -1}) {
            Record other = r;
            other.fileSize = r.fileSize + sign * 4096;
            if (BuildInfected(other, seed, &b))
                out.push_back(Make(Name("decoy", index, sign > 0 ? "size_plus_4096" : "size_minus_4096"),
                                   clean, index, "length differs by exactly 4096", b));
        }
    }

    b = base;
    Scramble(b, info.firstPatternOffset, rng);
    Scramble(b, info.secondPatternOffset, rng);
    PutBytes(b, info.firstPatternOffset + 1, r.firstPattern, kPatternBytes);
    PutBytes(b, info.secondPatternOffset + 1, r.secondPattern, kPatternBytes);
    out.push_back(Make(Name("decoy", index, "shifted_by_one"), clean, index,
                       "both patterns one byte after their places", b));

    b = base;
    Put32(b, info.peOffset, 0);
    out.push_back(Make(Name("decoy", index, "no_pe_signature"), clean, index,
                       "no PE signature at the header offset", b));

    b = base;
    b.resize(info.secondPatternOffset);
    out.push_back(Make(Name("decoy", index, "truncated"), clean, index,
                       "cut before the second pattern", b));

    PlanOptions o;
    o.seed = seed;
    o.sectionCount = kScannerMaxSections + 1;
    if (BuildImage(r, o, EntryCode::Stub, &b, nullptr))
        out.push_back(Make(Name("decoy", index, "sections_21"), clean, index,
                           "21 sections: more than the 20 the scanner reads", b));

    b = base;
    Put32(b, info.peOffset + 24 + 16, info.entryPoint + 4);
    out.push_back(Make(Name("decoy", index, "other_entry_point"), clean, index,
                       "both patterns present but the entry point is 4 bytes later", b));
    return out;
}

static std::vector<Sample> UnvettedEdgeFiles(const Record& r, int index, uint32_t seed) {
    std::vector<Sample> out;
    Bytes base;
    SampleInfo info;
    Plan plan;
    PlanOptions o;
    o.seed = seed;
    o.extraHeaderRoom = 16;  // room to move the section table for the optional-header files
    if (!BuildImage(r, o, EntryCode::Stub, &base, &info, &plan)) return out;
    const Verdict infected = Verdict::Infected, clean = Verdict::Clean;
    const size_t pe = info.peOffset;
    const size_t tableBytes = plan.sections.size() * kSectionHeaderSize;

    Bytes b = base;
    Put16(b, 62, 1);
    out.push_back(Make(Name("edge", index, "lfanew_high_bits_match"), infected, index,
                       "e_lfanew 0x0001xxxx: only its low 16 bits are used, and they point at the "
                       "PE header",
                       b));

    // The real header moved to 0x10000 + 0x40: a loader following the whole
    // e_lfanew finds it, the scanner reads at 0x40 (the DOS stub) and does not.
    const uint32_t far = 0x10040;
    const size_t block = kScannerSectionTable + tableBytes;
    if (far + block <= base.size() &&
        !Overlaps(far, block, info.firstPatternOffset, kPatternBytes) &&
        !Overlaps(far, block, info.secondPatternOffset, kPatternBytes) &&
        !Overlaps(far, block, info.entryPointOffset, kEntryCodeBytes)) {
        b = base;
        std::memcpy(b.data() + far, base.data() + pe, block);
        std::fill(b.begin() + pe, b.begin() + pe + block, 0);
        Put32(b, 60, far);
        out.push_back(Make(Name("edge", index, "lfanew_high_bits_nomatch"), clean, index,
                           "e_lfanew 0x00010040 points at a valid header, but its low 16 bits "
                           "(0x0040) point at the DOS stub",
                           b));
    }

    b = base;
    Put16(b, pe + 20, 240);
    out.push_back(Make(Name("edge", index, "optional_header_240_match"), infected, index,
                       "SizeOfOptionalHeader 240 is ignored: the section table is read at "
                       "header + 248, where it is",
                       b));

    if (pe + kScannerSectionTable + 16 + tableBytes <= plan.sizeOfHeaders) {
        b = base;
        Put16(b, pe + 20, 240);
        std::memmove(b.data() + pe + kScannerSectionTable + 16, b.data() + pe + kScannerSectionTable,
                     tableBytes);
        std::fill(b.begin() + pe + kScannerSectionTable,
                  b.begin() + pe + kScannerSectionTable + 16, 0);
        out.push_back(Make(Name("edge", index, "optional_header_240_nomatch"), clean, index,
                           "section table at header + 264 as SizeOfOptionalHeader 240 says, but "
                           "the scanner reads it at header + 248",
                           b));
    }

    b = base;
    b[0] = 0;
    b[1] = 0;
    out.push_back(Make(Name("edge", index, "no_mz_match"), infected, index,
                       "the MZ signature is not checked", b));

    o.sectionCount = kScannerMaxSections;
    o.extraHeaderRoom = 0;
    if (BuildImage(r, o, EntryCode::Stub, &b, nullptr))
        out.push_back(Make(Name("edge", index, "sections_20_match"), infected, index,
                           "20 sections: the most the scanner reads", b));

    // No sections at all: every rva is its own file offset.
    {
        const int64_t lowest = std::min<int64_t>({0, r.firstOffset, r.secondOffset});
        const int64_t entry = 0x200 + 0x40 - lowest;
        uint32_t soh = 0;
        if (entry + r.firstOffset + kPatternBytes <= r.fileSize &&
            entry + r.secondOffset + kPatternBytes <= r.fileSize && entry < 0x7FFF0000 &&
            BuildFlat(r, seed, static_cast<uint32_t>(entry),
                      static_cast<uint32_t>(entry + r.firstOffset),
                      static_cast<uint32_t>(entry + r.secondOffset), &b, &soh))
            out.push_back(Make(Name("edge", index, "no_sections_match"), infected, index,
                               "no sections: each pattern's rva is used as its file offset", b));
    }

    // The pattern with the lower offset sits at rva 0, which maps to offset 0
    // and is then read at SizeOfHeaders.
    {
        const bool firstLow = r.firstOffset <= r.secondOffset;
        const int64_t low = firstLow ? r.firstOffset : r.secondOffset;
        const int64_t high = firstLow ? r.secondOffset : r.firstOffset;
        const uint32_t entry = static_cast<uint32_t>(-low);
        const int64_t other = high - low;  // rva (and file offset) of the other pattern
        const uint32_t soh = 0x200;
        if (other >= soh + kPatternBytes && other + kPatternBytes <= r.fileSize) {
            uint32_t got = 0;
            uint32_t lowAt = soh, highAt = static_cast<uint32_t>(other);
            if (BuildFlat(r, seed, entry, firstLow ? lowAt : highAt, firstLow ? highAt : lowAt, &b,
                          &got) &&
                got == soh) {
                out.push_back(Make(Name("edge", index, "zero_offset_reads_size_of_headers_match"),
                                   infected, index,
                                   "a pattern at rva 0 maps to offset 0, which is read at "
                                   "SizeOfHeaders, where it is",
                                   b));
                Bytes z = b;
                Rng rng(seed ^ 0x2E40u);
                Scramble(z, soh, rng);
                const uint8_t* pattern = firstLow ? r.firstPattern : r.secondPattern;
                PutBytes(z, 0, pattern, kPatternBytes);
                out.push_back(Make(Name("edge", index, "zero_offset_at_zero_nomatch"), clean,
                                   index,
                                   "a pattern at rva 0 lies at file offset 0, but offset 0 is "
                                   "read at SizeOfHeaders",
                                   z));
            }
        }
    }

    // Section headers rewritten around unchanged bytes.
    const size_t table = pe + kScannerSectionTable;
    auto header = [&](Bytes& bytes, size_t k, size_t field, uint32_t value) {
        Put32(bytes, table + k * kSectionHeaderSize + field, value);
    };
    const Section& s0 = plan.sections[0];
    const uint32_t rvas[2] = {plan.firstRva, plan.secondRva};
    const uint32_t files[2] = {info.firstPatternOffset, info.secondPatternOffset};
    const uint8_t* patterns[2] = {r.firstPattern, r.secondPattern};

    // The first section starts 0x1000 later in both rva and file: its lowest
    // window now lies below every section, and still maps through it.
    if (s0.raw > kSectionAlign && s0.vs > kSectionAlign &&
        std::min(rvas[0], rvas[1]) < s0.va + kSectionAlign) {
        b = base;
        header(b, 0, 8, s0.vs - kSectionAlign);
        header(b, 0, 12, s0.va + kSectionAlign);
        header(b, 0, 16, s0.raw - kSectionAlign);
        header(b, 0, 20, s0.ptr + kSectionAlign);
        out.push_back(Make(Name("edge", index, "rva_below_first_section_match"), infected, index,
                           "a pattern below the first section maps through the first section", b));
    }

    // The first two section headers swapped: the section listed first ends
    // beyond both rvas, so it maps the pattern that lies in the other one.
    // The spare bytes go to the last section so that the two sections map
    // rvas to file offsets with different deltas.
    PlanOptions spread = o;
    spread.sectionCount = 0;
    spread.growLast = true;
    Plan sp;
    SampleInfo si;
    if (BuildImage(r, spread, EntryCode::Stub, &b, &si, &sp) && sp.sections.size() >= 2 &&
        sp.sections[1].kind != Kind::Resource && sp.sections[1].kind != Kind::Empty) {
        const size_t at = si.peOffset + kScannerSectionTable;
        std::swap_ranges(b.begin() + at, b.begin() + at + kSectionHeaderSize,
                         b.begin() + at + kSectionHeaderSize);
        out.push_back(Make(Name("edge", index, "sections_out_of_order_nomatch"), clean, index,
                           "sections listed high first: the first one ending beyond the rva is "
                           "used, not the one holding it",
                           b));
    }

    // The first section's raw data pointer far past the end: its patterns are
    // read at their rvas instead, where they are put.
    {
        b = base;
        Rng rng(seed ^ 0xE0Fu);
        bool ok = true, moved = false;
        for (int i = 0; i < 2; ++i) {
            if (rvas[i] < s0.va || rvas[i] - s0.va >= s0.vs) continue;
            const uint32_t to = rvas[i];
            if (to < plan.sizeOfHeaders || size_t(to) + kPatternBytes > b.size() ||
                Overlaps(to, kPatternBytes, files[1 - i], kPatternBytes) ||
                Overlaps(to, kPatternBytes, info.entryPointOffset, kEntryCodeBytes))
                ok = false;
            Scramble(b, files[i], rng);
            moved = true;
        }
        for (int i = 0; i < 2 && ok && moved; ++i)
            if (rvas[i] >= s0.va && rvas[i] - s0.va < s0.vs)
                PutBytes(b, rvas[i], patterns[i], kPatternBytes);
        header(b, 0, 20, 0x10000000u);
        if (ok && moved)
            out.push_back(Make(Name("edge", index, "offset_beyond_end_reads_rva_match"), infected,
                               index,
                               "the mapped offset lies beyond the end of the file, so the rva "
                               "itself is read, where the pattern is",
                               b));
    }

    // No section ends beyond the highest pattern: the last section maps it.
    {
        PlanOptions last = o;
        last.sectionCount = 0;
        last.resource = 0;
        Plan lp;
        SampleInfo li;
        if (BuildImage(r, last, EntryCode::Stub, &b, &li, &lp)) {
            const Section& s = lp.sections.back();
            const uint32_t high = std::max(lp.firstRva, lp.secondRva);
            if (high > s.va && high - s.va < s.vs && std::min(lp.firstRva, lp.secondRva) < s.va) {
                Put32(b, li.peOffset + kScannerSectionTable +
                             (lp.sections.size() - 1) * kSectionHeaderSize + 8,
                      high - s.va);
                out.push_back(Make(Name("edge", index, "beyond_last_section_match"), infected,
                                   index,
                                   "the highest pattern lies past the end of every section; the "
                                   "last section maps it",
                                   b));
            }
        }
    }
    return out;
}

namespace {

// Keeps the files whose verdict the scanner's reading confirms for this record.
std::vector<Sample> Vetted(std::vector<Sample> files, const Record& r) {
    std::vector<Sample> kept;
    const std::vector<Record> one = {r};
    for (Sample& s : files) {
        const int match = ScannerVerdict(s.bytes, one);
        if ((s.verdict == Verdict::Infected) == (match == 0)) kept.push_back(std::move(s));
    }
    return kept;
}

}  // namespace

std::vector<Sample> BuildDecoys(const Record& r, int index, uint32_t seed) {
    return Vetted(UnvettedDecoys(r, index, seed), r);
}

std::vector<Sample> BuildEdgeFiles(const Record& r, int index, uint32_t seed) {
    return Vetted(UnvettedEdgeFiles(r, index, seed), r);
}

std::vector<Sample> BuildAll(const std::vector<Record>& table, bool runnable,
                             std::vector<std::string>* problems) {
    std::vector<Sample> all;
    for (size_t i = 0; i < table.size(); ++i) {
        Bytes b;
        const int index = static_cast<int>(i);
        if (BuildInfected(table[i], index, &b)) {
            all.push_back(Make(Name("infected", index, "sample") , Verdict::Infected, index,
                               "both patterns at entry point + offset, exact length", b));
        } else if (problems) {
            problems->push_back(Name("infected", index, "sample") + ": cannot be laid out");
        }
    }
    // Decoys and edge files for the first record, the first of every other
    // length and the first with a positive first offset.
    std::vector<int> chosen;
    std::set<int32_t> sizes;
    bool positive = false;
    for (size_t i = 0; i < table.size(); ++i) {
        bool pick = sizes.insert(table[i].fileSize).second;
        if (!positive && table[i].firstOffset > 0) pick = positive = true;
        if (pick) chosen.push_back(static_cast<int>(i));
    }
    for (int index : chosen) {
        for (Sample& s : BuildDecoys(table[index], index, 1000 + index)) all.push_back(std::move(s));
        for (Sample& s : BuildEdgeFiles(table[index], index, 2000 + index))
            all.push_back(std::move(s));
    }
    if (runnable && !table.empty()) {
        for (bool pe64 : {false, true}) {
            Bytes b;
            std::string name = Name("runnable", 0, pe64 ? "pe64" : "pe32");
            if (BuildRunnable(table[0], pe64, &b))
                all.push_back(Make(name, Verdict::Infected, 0,
                                   pe64 ? "runs (x86-64) and sleeps; both patterns in place"
                                        : "runs (i386) and sleeps; both patterns in place",
                                   b));
            else if (problems)
                problems->push_back(name + ": cannot be laid out");
        }
    }
    // Keep only files whose verdict the scanner's reading confirms.
    std::vector<Sample> checked;
    for (Sample& s : all) {
        int match = ScannerVerdict(s.bytes, table);
        bool ok = s.verdict == Verdict::Infected ? match == s.record : match < 0;
        if (ok) checked.push_back(std::move(s));
        else if (problems)
            problems->push_back(s.name + ": scanner reading gives record " + std::to_string(match));
    }
    return checked;
}

std::string ManifestLine(const Sample& s) {
    return s.name + " " + (s.verdict == Verdict::Infected ? "infected" : "clean") + " " +
           std::to_string(s.record) + " " + s.reason;
}

int ScannerVerdict(const uint8_t* d, size_t size, const std::vector<Record>& table) {
    bool ok = true;
    const int64_t length = static_cast<int64_t>(size);
    const uint32_t pe = Get16(d, size, 60, &ok);
    const uint32_t sig = Get32(d, size, pe, &ok);
    if (!ok || sig != 0x00004550u) return -1;
    if (pe + 24u > size || 96 > size - (pe + 24u)) return -1;  // file and optional headers
    const uint32_t count = Get16(d, size, pe + 6, &ok);
    const uint32_t entry = Get32(d, size, pe + 24 + 16, &ok);
    const uint32_t sizeOfHeaders = Get32(d, size, pe + 24 + 60, &ok);
    if (!ok || count > static_cast<uint32_t>(kScannerMaxSections)) return -1;
    const size_t table0 = pe + kScannerSectionTable;
    if (count > 0 && (table0 > size || count * kSectionHeaderSize > size - table0)) return -1;
    auto map = [&](uint32_t rva) -> uint32_t {
        uint32_t offset = rva;
        if (count > 0) {
            uint32_t k = count - 1;
            for (uint32_t i = 0; i < count; ++i) {
                bool dummy = true;
                uint32_t vs = Get32(d, size, table0 + i * 40 + 8, &dummy);
                uint32_t va = Get32(d, size, table0 + i * 40 + 12, &dummy);
                if (va + vs > rva) {
                    k = i;
                    break;
                }
            }
            bool dummy = true;
            uint32_t va = Get32(d, size, table0 + k * 40 + 12, &dummy);
            uint32_t ptr = Get32(d, size, table0 + k * 40 + 20, &dummy);
            offset = rva + ptr - va;
        }
        if (offset >= static_cast<uint32_t>(length)) offset = rva;
        if (offset == 0) offset = sizeOfHeaders;
        return offset;
    };
    auto at = [&](uint32_t offset, const uint8_t* pattern) {
        return offset <= size && kPatternBytes <= size - offset &&
               std::memcmp(d + offset, pattern, kPatternBytes) == 0;
    };
    for (size_t i = 0; i < table.size(); ++i) {
        const Record& r = table[i];
        const int64_t diff = int64_t(r.fileSize) - length;
        if (r.sizeMode == 1) {
            if (diff != 0) continue;
        } else if (r.sizeMode == 2) {
            if (diff <= -4096 || diff >= 4096) continue;
        } else if (r.sizeMode != 3) {
            continue;
        }
        if (!at(map(entry + static_cast<uint32_t>(r.firstOffset)), r.firstPattern)) continue;
        if (!at(map(entry + static_cast<uint32_t>(r.secondOffset)), r.secondPattern)) continue;
        return static_cast<int>(i);
    }
    return -1;
}

}  // namespace cvsamples
