// The built-in signature table as sample-builder records.
#pragma once

#include <cstring>
#include <vector>

#include "engine/signatures.h"
#include "tools/samplebuilder/samplebuilder.h"

namespace cvsamples {

// Reads records up to the end marker (a name starting with 0). The 32-bit
// fields are unaligned in the packed record, so they are copied bytewise.
inline std::vector<Record> RecordsFromSignatureTable(const SignatureRecord* table) {
    std::vector<Record> records;
    for (const SignatureRecord* r = table; r->name[0] != 0; ++r) {
        Record out;
        out.firstOffset = ReadRecordField(*r, 50);
        std::memcpy(out.firstPattern, r->firstPattern, kPatternBytes);
        out.secondOffset = ReadRecordField(*r, 75);
        std::memcpy(out.secondPattern, r->secondPattern, kPatternBytes);
        out.fileSize = ReadRecordField(*r, 100);
        out.sizeMode = ReadRecordField(*r, 104);
        records.push_back(out);
    }
    return records;
}

inline std::vector<Record> BuiltInRecords() { return RecordsFromSignatureTable(SignatureTable); }

}  // namespace cvsamples
