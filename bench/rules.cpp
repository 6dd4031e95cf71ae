// bench_rules MODE: the signature table as rules of the peer scanners, for
// the benchmark. Every rule asks for the exact file length and at most 20
// sections (the cleaner reads no more and takes such files for clean).
//   yara-exact    both patterns at their place: each at
//                 pe.rva_to_offset(entry point rva + offset) (YARA's own
//                 mapping of an rva; it differs from the cleaner's only on
//                 deliberately odd headers)
//   yara-ep       the near pattern at the entry point's file offset + its
//                 distance, the far one anywhere
//   yara-strings  both patterns anywhere in the file, no PE module (no
//                 section limit either)
//   clamav        a logical signature per record: PE target and file size,
//                 the second pattern at EP+offset; the first pattern lies
//                 about 89 KB of virtual space away in another section,
//                 which ClamAV's offsets (file offsets from EP or a section
//                 start) cannot name, so it may stand anywhere
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/signatures.h"

namespace {
std::string Hex(const unsigned char* p, bool spaced) {
    std::string s;
    char b[4];
    for (int i = 0; i < kPatternLength; ++i) {
        std::snprintf(b, sizeof b, spaced ? "%02x " : "%02x", p[i]);
        s += b;
    }
    return s;
}
}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "yara-exact" && mode != "yara-ep" && mode != "yara-strings" && mode != "clamav") {
        std::fprintf(stderr, "usage: bench_rules yara-exact|yara-ep|yara-strings|clamav\n");
        return 2;
    }
    if (mode != "clamav" && mode != "yara-strings") std::printf("import \"pe\"\n\n");
    int n = 0;
    for (const SignatureRecord* r = SignatureTable; r->name[0]; ++r, ++n) {
        const int32_t first = ReadRecordField(*r, offsetof(SignatureRecord, firstOffset));
        const int32_t second = ReadRecordField(*r, offsetof(SignatureRecord, secondOffset));
        const int32_t size = ReadRecordField(*r, offsetof(SignatureRecord, fileSize));
        const int32_t sizeMode = ReadRecordField(*r, offsetof(SignatureRecord, sizeMode));
        if (sizeMode != 1) continue;  // the built-in table has exact lengths only
        if (mode == "clamav") {
            std::printf("Vendrika_%02d;Engine:81-255,Target:1,FileSize:%d-%d,NumberOfSections:0-20;0&1;EP%+d:%s;%s\n", n, size,
                        size, second, Hex(r->secondPattern, false).c_str(),
                        Hex(r->firstPattern, false).c_str());
            continue;
        }
        std::printf("rule Vendrika_%02d {\n  strings:\n    $a = { %s}\n    $b = { %s}\n  condition:\n", n,
                    Hex(r->firstPattern, true).c_str(), Hex(r->secondPattern, true).c_str());
        if (mode == "yara-exact")
            std::printf("    filesize == %d and pe.number_of_sections <= 20 and\n"
                        "    $a at pe.rva_to_offset((pe.entry_point_raw + %d) & 0xFFFFFFFF) and\n"
                        "    $b at pe.rva_to_offset((pe.entry_point_raw + %d) & 0xFFFFFFFF)\n}\n\n",
                        size, first, second);
        else if (mode == "yara-ep")
            std::printf("    filesize == %d and pe.number_of_sections <= 20 and\n"
                        "    $b at pe.entry_point + %d and $a\n}\n\n", size, second);
        else
            std::printf("    filesize == %d and $a and $b\n}\n\n", size);
    }
    return 0;
}
