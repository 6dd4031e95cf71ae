// The built-in signatures of the known variants.
//
// A record is 108 packed bytes, little-endian, with no padding: the 32-bit
// fields at offsets 50 and 75 are not 4-byte aligned. Never take a pointer or
// reference to a 32-bit member; read the members by value (the compiler emits
// unaligned loads for packed members) or through the Read* helpers below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr int kSignatureNameSize = 50;
constexpr int kPatternFieldSize = 21;  // 20 compared bytes and a 0 byte
constexpr int kPatternLength = 20;

#pragma pack(push, 1)
struct SignatureRecord {
    char name[kSignatureNameSize];           // 0: NUL-terminated; first byte 0 ends the table
    int32_t firstOffset;                     // 50: from the entry point, in rva bytes
    unsigned char firstPattern[kPatternFieldSize];   // 54
    int32_t secondOffset;                    // 75
    unsigned char secondPattern[kPatternFieldSize];  // 79
    int32_t fileSize;                        // 100: expected file length
    int32_t sizeMode;                        // 104: 1 exact, 2 within 4095, 3 any, else never
};
#pragma pack(pop)

static_assert(sizeof(SignatureRecord) == 108, "a signature record is 108 packed bytes");
static_assert(offsetof(SignatureRecord, name) == 0, "name at 0");
static_assert(offsetof(SignatureRecord, firstOffset) == 50, "firstOffset at 50");
static_assert(offsetof(SignatureRecord, firstPattern) == 54, "firstPattern at 54");
static_assert(offsetof(SignatureRecord, secondOffset) == 75, "secondOffset at 75");
static_assert(offsetof(SignatureRecord, secondPattern) == 79, "secondPattern at 79");
static_assert(offsetof(SignatureRecord, fileSize) == 100, "fileSize at 100");
static_assert(offsetof(SignatureRecord, sizeMode) == 104, "sizeMode at 104");

// The records, ended by one record of 108 zero bytes. There is no count:
// readers stop at the first record whose name starts with a 0 byte.
extern const SignatureRecord SignatureTable[];

// Reads a 32-bit field of a record from its raw bytes, alignment-safe.
inline int32_t ReadRecordField(const SignatureRecord& record, size_t offset) {
    int32_t value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof value);
    return value;
}
