// File inspection: the PE headers, the entry point and the two 20-byte
// patterns of each signature at their distances from it.
//
// Every number comes from a file that may have been made to break scanners:
// reads are bounded by the buffers they fill, offsets are unsigned 32-bit
// and wrap, and a seek or read that does not deliver simply means "no match".
#include "engine/inspect.h"

#include <climits>
#include <cstring>

#include "engine/removal.h"
#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "engine/signatures.h"
#include "persistence/startup_registry.h"
#include "platform/crt.h"
#include "system/processes.h"

namespace {

PeHeaders g_pe;

constexpr int32_t kDosPeOffsetField = 0x3C;
constexpr uint32_t kPeSignatureSize = 4;
constexpr uint32_t kOptionalHeaderStart = 24;
// Where the section table starts when the optional header has its usual
// 224 bytes; the header's own size field is not consulted.
constexpr uint32_t kSectionTableStart = 248;
constexpr int kSizeTolerance = 4096;

uint16_t Le16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint16_t NumberOfSections() { return Le16(g_pe.fileHeader + 2); }
uint32_t AddressOfEntryPoint() { return Le32(g_pe.optionalHeader + 16); }
uint32_t SizeOfHeaders() { return Le32(g_pe.optionalHeader + 60); }

// Seeks to an absolute offset and reads exactly `count` bytes.
bool ReadFromFile(int fd, uint32_t offset, void* buffer, unsigned count) {
    if (offset > 0x7FFFFFFFu) return false;  // beyond what the runtime can seek to
    if (pf::Os()._lseek(fd, int32_t(offset), pf::kSeekSet) < 0) return false;
    return pf::Os()._read(fd, buffer, count) == int(count);
}

// The file being inspected (from ReadPeHeaders on), read in blocks: its
// header reads and the pattern reads of every record of its length (dozens
// of 20-byte reads, a seek each) fall into a few blocks, each read once. A
// request that the blocks cannot answer whole (a failed or short block
// read, the end of the file) goes to the file itself, so every answer is
// the one an unbuffered read gives.
class BlockReader {
public:
    void Begin(int fd, int32_t length) {
        fd_ = fd;
        length_ = length;
        for (Block& b : blocks_) b.size = 0;
        next_ = 0;
    }
    void End() { fd_ = -1; }
    bool Serves(int fd) const { return fd_ >= 0 && fd == fd_; }
    int32_t Length() const { return length_; }

    bool Read(uint32_t offset, void* buffer, unsigned count) {
        if (offset > 0x7FFFFFFFu) return false;
        unsigned char* out = static_cast<unsigned char*>(buffer);
        uint64_t at = offset;
        const uint64_t end = uint64_t(offset) + count;
        while (at < end) {
            const uint32_t start = uint32_t(at) & ~(kBlockSize - 1);
            const Block* b = Find(start);
            if (!b) b = Load(start);
            if (at + 1 > uint64_t(start) + b->size) return ReadFromFile(fd_, offset, buffer, count);
            const uint64_t stop = end < uint64_t(start) + b->size ? end : uint64_t(start) + b->size;
            std::memcpy(out, b->bytes + (at - start), size_t(stop - at));
            out += stop - at;
            at = stop;
        }
        return true;
    }

private:
    static constexpr uint32_t kBlockSize = 4096;
    struct Block {
        uint32_t start;
        unsigned size;  // bytes held from `start` (0: none)
        unsigned char bytes[kBlockSize];
    };

    const Block* Find(uint32_t start) const {
        for (const Block& b : blocks_)
            if (b.size > 0 && b.start == start) return &b;
        return nullptr;
    }
    const Block* Load(uint32_t start) {
        Block& b = blocks_[next_];
        next_ = (next_ + 1) % kBlocks;
        b.start = start;
        b.size = 0;
        if (pf::Os()._lseek(fd_, int32_t(start), pf::kSeekSet) >= 0) {
            const int n = pf::Os()._read(fd_, b.bytes, kBlockSize);
            if (n > 0) b.size = unsigned(n);
        }
        return &b;
    }

    static constexpr int kBlocks = 4;
    Block blocks_[kBlocks];
    int next_ = 0;
    int fd_ = -1;
    int32_t length_ = 0;
};

BlockReader g_reader;

bool ReadAt(int fd, uint32_t offset, void* buffer, unsigned count) {
    return g_reader.Serves(fd) ? g_reader.Read(offset, buffer, count) : ReadFromFile(fd, offset, buffer, count);
}

bool SizeAccepted(const SignatureRecord& record, int32_t fileLength) {
    const int32_t expected = record.fileSize;
    switch (record.sizeMode) {
        case 1: return fileLength == expected;
        case 2: {
            const int64_t difference = int64_t(expected) - fileLength;
            return difference > -kSizeTolerance && difference < kSizeTolerance;
        }
        case 3: return true;
        default: return false;
    }
}

bool PatternAt(int fd, uint32_t entryPoint, int32_t distance, const unsigned char* pattern) {
    const uint32_t offset = RvaToFileOffset(entryPoint + uint32_t(distance), fd);
    unsigned char bytes[kPatternLength];
    if (!ReadAt(fd, offset, bytes, sizeof bytes)) return false;
    return std::memcmp(bytes, pattern, kPatternLength) == 0;
}

void ClearInspectedPath() { std::memset(g_scan.inspectedPath, 0, sizeof g_scan.inspectedPath); }

}  // namespace

const PeHeaders& LastPeHeaders() { return g_pe; }

bool SignatureLengthAccepted(uint64_t length) {
    if (length > uint64_t(INT32_MAX)) return false;  // beyond what _filelength reports
    for (const SignatureRecord* record = SignatureTable; record->name[0]; ++record)
        if (SizeAccepted(*record, int32_t(length))) return true;
    return false;
}

const SignatureRecord* FindMatchingRecord(int fd, int32_t fileLength,
                                          const SignatureRecord* table) {
    const uint32_t entryPoint = AddressOfEntryPoint();
    for (const SignatureRecord* record = table; record->name[0]; ++record) {
        if (!SizeAccepted(*record, fileLength)) continue;
        if (!PatternAt(fd, entryPoint, record->firstOffset, record->firstPattern)) continue;
        if (!PatternAt(fd, entryPoint, record->secondOffset, record->secondPattern)) continue;
        return record;
    }
    return nullptr;
}

bool ReadPeHeaders(int fd) { return ReadPeHeaders(fd, pf::Os()._filelength(fd)); }

bool ReadPeHeaders(int fd, int32_t fileLength) {
    std::memset(g_pe.fileHeader, 0, sizeof g_pe.fileHeader);
    g_pe.peOffset = 0;
    g_reader.Begin(fd, fileLength);

    unsigned char field[2];
    if (!ReadAt(fd, kDosPeOffsetField, field, sizeof field)) return false;
    g_pe.peOffset = Le16(field);  // the high half of e_lfanew is ignored

    const uint32_t pe = g_pe.peOffset;
    unsigned char signature[kPeSignatureSize];
    if (!ReadAt(fd, pe, signature, sizeof signature)) return false;
    if (std::memcmp(signature, "PE\0\0", kPeSignatureSize) != 0) return false;
    if (!ReadAt(fd, pe + kPeSignatureSize, g_pe.fileHeader, sizeof g_pe.fileHeader)) return false;
    if (!ReadAt(fd, pe + kOptionalHeaderStart, g_pe.optionalHeader, sizeof g_pe.optionalHeader))
        return false;

    const unsigned sections = NumberOfSections();
    if (sections > kMaxSections) return false;
    std::memset(g_pe.sections, 0, sizeof g_pe.sections);
    return ReadAt(fd, pe + kSectionTableStart, g_pe.sections, sections * kSectionHeaderSize);
}

uint32_t RvaToFileOffset(uint32_t rva, int fd) {
    unsigned count = NumberOfSections();
    if (count > kMaxSections) count = kMaxSections;  // the table holds no more
    uint32_t offset = rva;
    if (count > 0) {
        // The first section that ends beyond rva; its start is not compared,
        // so an rva below every section maps through the first one. When no
        // section reaches that far, the last one is used.
        unsigned chosen = count - 1;
        for (unsigned i = 0; i < count; ++i) {
            const unsigned char* header = g_pe.sections + i * kSectionHeaderSize;
            if (Le32(header + 12) + Le32(header + 8) > rva) {
                chosen = i;
                break;
            }
        }
        const unsigned char* header = g_pe.sections + chosen * kSectionHeaderSize;
        offset = rva + Le32(header + 20) - Le32(header + 12);
    }
    const int32_t length = g_reader.Serves(fd) ? g_reader.Length() : pf::Os()._filelength(fd);
    if (offset >= uint32_t(length)) offset = rva;
    if (offset == 0) offset = SizeOfHeaders();
    return offset;
}

int InspectFile(const char* detectionName, const char* path) {
    if (g_scan.memoryRemoval && g_scan.mainWindow) {
        RemoveProcessImage(path, detectionName);
        return 0;
    }
    if (g_scan.infectedCount == 0)
        std::memset(g_scan.runValueName, 0, sizeof g_scan.runValueName);

    const int fd = pf::Os()._open(path, pf::kOBinary, pf::kSIread | pf::kSIwrite);
    if (fd < 0) return 0;
    ClearInspectedPath();
    crt::CopyText(g_scan.inspectedPath, path);

    const int32_t fileLength = pf::Os()._filelength(fd);
    const SignatureRecord* record = nullptr;
    if (fileLength != -1 && ReadPeHeaders(fd, fileLength)) record = FindMatchingRecord(fd, fileLength, SignatureTable);
    g_reader.End();
    pf::Os()._close(fd);
    if (record) return HandleInfectedFile(path, record->name);
    ClearInspectedPath();
    return 0;
}

int HandleInfectedFile(const char* path, const char* detectionName) {
    ClearInspectedPath();
    crt::CopyText(g_scan.inspectedPath, path);
    ++g_scan.infectedCount;
    scan::Events().Found(path, detectionName, g_scan.memoryMode ? scan::Where::kMemory : scan::Where::kFile);
    CleanPersistence(detectionName);
    crt::CopyText(g_scan.detectedName, detectionName);
    crt::CopyText(g_scan.statusText, path);
    if (g_scan.memoryMode) {
        // The memory step ends the process and hands the file back.
        g_scan.foundInMemory = true;
        ClearInspectedPath();
        return 1;
    }
    // The cleaner's own file and the system's critical programs are told,
    // never deleted (the memory step has told those it met running).
    if (!SpareProtectedProgram(path, detectionName)) RemoveInfectedFile(path, detectionName);
    ClearInspectedPath();
    return 1;
}
