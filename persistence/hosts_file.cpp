#include "persistence/hosts_file.h"

#include <cstring>

#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "platform/crt.h"
#include "platform/platform.h"

const uint8_t kTextPatternKey = 0xA7;

// Hosts-file lines that send the maker's update and download sites to the
// local machine, run together as they are once whitespace is taken out;
// stored scrambled so the plain text never stands in the program file.
TextSignatureRecord TextSignatureTable[kTextSignatureCount] = {
    {
        "W32/Nyxem.Worm",
        134042,  // textExpectedSize
        1888,    // textOffset
        100,     // textPatternLength
        0,       // textBlock: head
        {
            0x96, 0x95, 0x90, 0x89, 0x97, 0x89, 0x97, 0x89, 0x96, 0xD0,
            0xD0, 0xD0, 0x89, 0xD6, 0xD2, 0xCE, 0xCB, 0xCB, 0xC8, 0xC9,
            0x89, 0xC4, 0xC8, 0xCA, 0x96, 0x95, 0x90, 0x89, 0x97, 0x89,
            0x97, 0x89, 0x96, 0xD2, 0xD7, 0xC3, 0xC6, 0xD3, 0xC2, 0x89,
            0xD6, 0xD2, 0xCE, 0xCB, 0xCB, 0xC8, 0xC9, 0x89, 0xC4, 0xC8,
            0xCA, 0x96, 0x95, 0x90, 0x89, 0x97, 0x89, 0x97, 0x89, 0x96,
            0xC3, 0xC8, 0xD0, 0xC9, 0xCB, 0xC8, 0xC6, 0xC3, 0x89, 0xD6,
            0xD2, 0xCE, 0xCB, 0xCB, 0xC8, 0xC9, 0x89, 0xC4, 0xC8, 0xCA,
            0x96, 0x95, 0x90, 0x89, 0x97, 0x89, 0x97, 0x89, 0x96, 0xCB,
            0xCE, 0xD1, 0xC2, 0xD2, 0xD7, 0xC3, 0xC6, 0xD3, 0xC2, 0x89,
        },
        1,   // textSearchMode: anywhere
        0,
        18,  // textSizeMode: no size check
        0,
        {},
    },
};

namespace {

bool g_patternUnscrambled = false;

// Combines the first textPatternLength pattern bytes of every record with
// the key; applied once it unscrambles, applied again it scrambles back.
void TogglePatterns() {
    for (TextSignatureRecord& record : TextSignatureTable) {
        int length = record.textPatternLength;
        if (length > kTextPatternSize) length = kTextPatternSize;
        for (int i = 0; i < length; ++i) record.textPattern[i] ^= kTextPatternKey;
    }
}

bool IsTextWhitespace(uint8_t c) { return (c >= 9 && c <= 13) || c == 32; }

// Reads exactly `count` bytes at `offset` (from `origin`); false on a failed
// seek or a short read.
bool ReadAt(int fd, int32_t offset, int origin, int32_t expectedPosition, uint8_t* buffer,
            int count) {
    if (pf::Os()._lseek(fd, offset, origin) != expectedPosition) return false;
    return pf::Os()._read(fd, buffer, static_cast<unsigned>(count)) == count;
}

bool SizeCheckPasses(const TextSignatureRecord& record, int32_t fileLength) {
    const int64_t expected = record.textExpectedSize;
    switch (record.textSizeMode) {
        case 16:
            return expected == fileLength;
        case 17:
            return expected >= int64_t(fileLength) - kTextBlockSize &&
                   expected <= int64_t(fileLength) + kTextBlockSize;
        default:
            return true;
    }
}

}  // namespace

int StripWhitespace(uint8_t* block, int length) {
    int kept = 0;
    for (int i = 0; i < length; ++i)
        if (!IsTextWhitespace(block[i])) block[kept++] = block[i];
    return kept;
}

bool FindPattern(const uint8_t* block, int blockSize, int range, const uint8_t* pattern,
                 int length) {
    if (length <= 0 || length > blockSize) return false;
    if (range > blockSize) range = blockSize;
    // The last start at which the whole pattern still lies inside the block.
    const int lastStart = blockSize - length;
    for (int pos = 0; pos < range && pos <= lastStart; ++pos) {
        if (block[pos] != pattern[0]) continue;
        if (std::memcmp(block + pos, pattern, static_cast<size_t>(length)) == 0) return true;
    }
    return false;
}

const TextSignatureRecord* MatchTextSignature(int fd) {
    const int32_t fileLength = pf::Os()._filelength(fd);
    if (fileLength < 0) return nullptr;

    uint8_t header[5];
    if (!ReadAt(fd, 0, pf::kSeekSet, 0, header, sizeof header)) return nullptr;
    if (crt::memicmp(header, "begin", sizeof header) != 0) return nullptr;

    uint8_t head[kTextBlockSize];
    uint8_t tail[kTextBlockSize];
    int headLength;
    int tailLength;
    int range;
    if (fileLength < kTextBlockSize) {
        if (!ReadAt(fd, 0, pf::kSeekSet, 0, head, fileLength)) return nullptr;
        headLength = StripWhitespace(head, fileLength);
        std::memcpy(tail, head, static_cast<size_t>(headLength));
        tailLength = headLength;
        range = fileLength;
    } else {
        if (!ReadAt(fd, 0, pf::kSeekSet, 0, head, kTextBlockSize)) return nullptr;
        if (!ReadAt(fd, -kTextBlockSize, pf::kSeekEnd, fileLength - kTextBlockSize, tail,
                    kTextBlockSize))
            return nullptr;
        headLength = StripWhitespace(head, kTextBlockSize);
        tailLength = StripWhitespace(tail, kTextBlockSize);
        range = kTextBlockSize;
    }

    uint8_t work[kTextBlockSize];
    for (const TextSignatureRecord& record : TextSignatureTable) {
        const int length = record.textPatternLength;
        // A record longer than its own pattern field could never be compared
        // safely; it is treated like a disabled one.
        if (length == 0 || length > kTextPatternSize || length > fileLength) continue;
        if (!SizeCheckPasses(record, fileLength)) continue;

        const bool useTail = record.textBlock == 1;
        const uint8_t* block = useTail ? tail : head;
        const int blockLength = useTail ? tailLength : headLength;
        std::memset(work, 0, sizeof work);
        bool agreed;
        if (record.textSearchMode == 1) {
            std::memcpy(work, block, static_cast<size_t>(blockLength));
            agreed = FindPattern(work, kTextBlockSize, range, record.textPattern, length);
        } else {
            // Fixed position: 100 bytes from the head at textOffset, or from
            // the tail at textOffset before its end; only bytes that lie
            // inside the stripped block are taken, the rest stays zero.
            const int start = useTail ? tailLength - record.textOffset : record.textOffset;
            if (start >= 0 && start < blockLength) {
                int count = blockLength - start;
                if (count > kTextPatternSize) count = kTextPatternSize;
                std::memcpy(work, block + start, static_cast<size_t>(count));
            }
            agreed = std::memcmp(work, record.textPattern, static_cast<size_t>(length)) == 0;
        }
        if (agreed) {
            ++g_scan.infectedCount;
            return &record;
        }
    }
    return nullptr;
}

const char* HostsFileTail(int osClass, bool* inSystemFolder) {
    *inSystemFolder = osClass == 5;
    return osClass == 5 ? "\\drivers\\etc\\hosts" : osClass == 4 ? "\\hosts" : nullptr;
}

int CheckTextFile(const char* detectionName, const char* path) {
    if (!g_patternUnscrambled) {
        TogglePatterns();
        g_patternUnscrambled = true;
    }
    if (!path) return 0;
    const int fd = pf::Os()._open(path, pf::kORdonly | pf::kOBinary, 0);
    if (fd == -1) return 0;
    const TextSignatureRecord* record = MatchTextSignature(fd);
    // The record's name is zero-filled, but a terminated copy costs nothing.
    char name[kTextNameSize + 1] = {};
    if (record) {
        std::memcpy(name, record->textName, kTextNameSize);
        crt::CopyText(g_scan.detectedName, name);
        crt::CopyText(g_scan.statusText, path);
    }
    pf::Os()._close(fd);
    if (!record) return 0;
    scan::Events().Found(path, name, scan::Where::kHostsFile);

    // A worm marks its hosts file read-only so that it survives a plain
    // deletion: the attributes go first, as for an infected program. Should
    // that fail, the deletion still has its chance and tells.
    pf::Os().SetFileAttributesA(path, pf::kFileAttributeArchive);
    if (pf::Os().DeleteFileA(path)) {
        ++g_scan.removedCount;
        scan::Events().Removed(path, name, scan::Where::kHostsFile);
    } else {
        scan::Events().NotRemoved(path, name, scan::Where::kHostsFile, pf::Os().GetLastError());
    }
    return 1;
}

void ResetTextSignaturesForTest() {
    if (g_patternUnscrambled) TogglePatterns();
    g_patternUnscrambled = false;
}
