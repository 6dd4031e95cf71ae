#pragma once

#include <cstdint>

// The inspection of one file against the signature table; 1 on a match.
int InspectFile(const char* detectionName, const char* path);
// Whether some record of the signature table accepts a file of this length.
bool SignatureLengthAccepted(uint64_t length);
// What follows any detector's match of the file at `path` (closed again):
// it is counted and told, its start-up values and the hosts file are
// cleaned, and it is removed (in memory mode, handed back to the memory
// step). Returns 1.
int HandleInfectedFile(const char* path, const char* detectionName);
// Reads the PE headers of the open file into the inspection state; the
// file's later reads (RvaToFileOffset, FindMatchingRecord) are answered
// from the blocks read for it until ReadPeHeaders is called again.
bool ReadPeHeaders(int fd);
// The same for a file whose length (_filelength) the caller has already.
bool ReadPeHeaders(int fd, int32_t fileLength);
// Maps a relative virtual address to a file offset through the section table.
uint32_t RvaToFileOffset(uint32_t rva, int fd);

struct SignatureRecord;
// Walks a signature table from its first record to its end marker against
// the open file whose headers ReadPeHeaders has read; the first record that
// matches, or null.
const SignatureRecord* FindMatchingRecord(int fd, int32_t fileLength,
                                          const SignatureRecord* table);

// What the last ReadPeHeaders took from the file (for tests and tools).
constexpr int kMaxSections = 20;
constexpr int kSectionHeaderSize = 40;
constexpr int kFileHeaderSize = 20;
constexpr int kOptionalHeaderPart = 96;
struct PeHeaders {
    uint16_t peOffset;  // the low 16 bits of e_lfanew
    unsigned char fileHeader[kFileHeaderSize];
    unsigned char optionalHeader[kOptionalHeaderPart];
    unsigned char sections[kMaxSections * kSectionHeaderSize];
};
const PeHeaders& LastPeHeaders();
