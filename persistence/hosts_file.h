// The hosts-file check: a second, text-oriented signature format. A file
// that begins with "begin" and holds the built-in pattern once whitespace is
// taken out is deleted whole; any other file is left as it is.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kTextNameSize = 25;
constexpr int kTextPatternSize = 100;
// The head and tail blocks of a file are 4096 bytes each, and so is the
// work area the pattern is searched in.
constexpr int kTextBlockSize = 4096;

// A record is 170 packed bytes, little-endian. The 32-bit field sits at
// offset 25: read members by value, never through a pointer to them.
#pragma pack(push, 1)
struct TextSignatureRecord {
    char textName[kTextNameSize];       // 0: NUL-terminated, zero-filled
    int32_t textExpectedSize;           // 25: for size modes 16 and 17
    int16_t textOffset;                 // 29: pattern position in fixed-position mode
    uint16_t textPatternLength;         // 31: bytes compared; 0 disables the record
    int16_t textBlock;                  // 33: 0 head block, 1 tail block
    uint8_t textPattern[kTextPatternSize];  // 35: scrambled until the first check
    int16_t textSearchMode;             // 135: 1 search anywhere, else fixed position
    uint16_t unused137;                 // 137
    int16_t textSizeMode;               // 139: 16 exact, 17 within 4096, else no check
    uint16_t unused141;                 // 141
    uint8_t unused143[27];              // 143: zero
};
#pragma pack(pop)

static_assert(sizeof(TextSignatureRecord) == 170, "a text signature record is 170 bytes");
static_assert(offsetof(TextSignatureRecord, textName) == 0, "textName at 0");
static_assert(offsetof(TextSignatureRecord, textExpectedSize) == 25, "textExpectedSize at 25");
static_assert(offsetof(TextSignatureRecord, textOffset) == 29, "textOffset at 29");
static_assert(offsetof(TextSignatureRecord, textPatternLength) == 31, "textPatternLength at 31");
static_assert(offsetof(TextSignatureRecord, textBlock) == 33, "textBlock at 33");
static_assert(offsetof(TextSignatureRecord, textPattern) == 35, "textPattern at 35");
static_assert(offsetof(TextSignatureRecord, textSearchMode) == 135, "textSearchMode at 135");
static_assert(offsetof(TextSignatureRecord, textSizeMode) == 139, "textSizeMode at 139");
static_assert(offsetof(TextSignatureRecord, unused143) == 143, "zero tail at 143");

// The one built-in record. Its pattern is unscrambled in place by the first
// CheckTextFile of the program's run, so the table is not const.
constexpr int kTextSignatureCount = 1;
extern TextSignatureRecord TextSignatureTable[kTextSignatureCount];
// Every pattern byte is stored combined by exclusive-or with this key.
extern const uint8_t kTextPatternKey;

// Where a Windows keeps its hosts file: below its system folder on the NT
// family (os class 5, "\\drivers\\etc\\hosts"), below its Windows folder on
// 95/98/Me (4, "\\hosts"); null for a system with none the cleaner knows.
// `inSystemFolder` says which folder the tail follows.
const char* HostsFileTail(int osClass, bool* inSystemFolder);

// Checks the file at `path` against the table and deletes it when it
// matches. Returns 1 on a match, whatever the deletion's outcome, else 0.
// `detectionName` is not used in any output.
int CheckTextFile(const char* detectionName, const char* path);

// The record that matches the open file `fd`, or null. Counts a match in
// infectedCount. The pattern must already be unscrambled.
const TextSignatureRecord* MatchTextSignature(int fd);

// Removes the whitespace bytes 9-13 and 32 from block[0..length) in place;
// returns the new length.
int StripWhitespace(uint8_t* block, int length);

// Looks for `pattern` (length bytes) starting at any of the first `range`
// positions of `block` (blockSize bytes); a position counts only when the
// whole pattern fits inside the block.
bool FindPattern(const uint8_t* block, int blockSize, int range, const uint8_t* pattern,
                 int length);

// Tests only: forget that the pattern was unscrambled and restore the
// scrambled table, as at program start.
void ResetTextSignaturesForTest();
