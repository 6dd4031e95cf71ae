// A second detector for tests only: its own name and file lengths, and a
// marker at offset 0. With it beside the signature table, every front end
// must find, name and remove what it matches as it does the table's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/inspect.h"
#include "engine/walk.h"
#include "platform/platform.h"

namespace second_detector {

constexpr const char kName[] = "Test/Second.Marker";
constexpr const char kMarker[] = "2ND-MARK";  // 8 bytes at offset 0
constexpr uint64_t kShortest = 16, kLongest = 64;

inline bool CanMatchLength(uint64_t length) { return length >= kShortest && length <= kLongest; }

inline int Inspect(const char* name, const char* path) {
    const int fd = pf::Os()._open(path, pf::kOBinary, pf::kSIread);
    if (fd < 0) return 0;
    char head[8] = {};
    const bool marked = pf::Os()._read(fd, head, sizeof head) == int(sizeof head) &&
                        std::memcmp(head, kMarker, sizeof head) == 0;
    pf::Os()._close(fd);
    return marked ? HandleInfectedFile(path, name) : 0;
}

// The marker padded to `length` bytes.
inline std::string File(size_t length) {
    std::string bytes(kMarker);
    bytes.resize(length, '.');
    return bytes;
}

// The built-in table with this detector after it.
inline const DetectorEntry* Table() {
    static const DetectorEntry table[] = {DetectorTable[0], {kName, Inspect, CanMatchLength}, {nullptr, nullptr, nullptr}};
    return table;
}

}  // namespace second_detector
