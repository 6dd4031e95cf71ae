// Plain restatements of what the hosts-file check and the wininit.ini
// rewrite must produce, written over whole strings and whole lines, so that
// random and fuzzed inputs can be checked against them. Shared by the unit
// tests and the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/crt.h"

namespace persistence_model {

// The built-in text signature, unscrambled.
inline const std::string& PlainPattern() {
    static const std::string plain =
        "127.0.0.1www.quillon.com127.0.0.1update.quillon.com127.0.0.1download.quillon.com"
        "127.0.0.1liveupdate.";
    return plain;
}

inline bool IsTextWhitespace(char c) { return (c >= 9 && c <= 13) || c == 32; }

// A file matches when it begins with "begin" in any case and the pattern
// lies in its first 4096 bytes once whitespace is taken out.
inline bool TextFileMatches(const std::string& file) {
    if (file.size() < 5 || crt::memicmp(file.data(), "begin", 5) != 0) return false;
    std::string head = file.substr(0, 4096);
    head.erase(std::remove_if(head.begin(), head.end(), IsTextWhitespace), head.end());
    return head.find(PlainPattern()) != std::string::npos;
}

// wininit.ini after the entry line (with its CR LF) was added to `original`.
inline std::string RewrittenWininit(const std::string& whole, const std::string& entry) {
    // The text ends at an end-of-file mark; the mark and what follows it
    // come after the entry, unchanged.
    const size_t mark = whole.find('\x1A');
    const std::string original = whole.substr(0, mark);
    const std::string rest = mark == std::string::npos ? std::string() : whole.substr(mark);
    std::string out;
    bool seen = false;
    bool placed = false;
    size_t start = 0;
    while (start < original.size()) {
        size_t end = original.find('\n', start);
        end = end == std::string::npos ? original.size() : end + 1;
        std::string line = original.substr(start, end - start);
        start = end;
        if (!placed) {
            if (seen && line[0] == '[') {
                out += entry;
                placed = true;
            } else if (!seen && line.size() >= 8 && crt::strnicmp(line.c_str(), "[rename]", 8) == 0) {
                seen = true;
            }
        }
        out += line;  // byte for byte, whatever its line end
    }
    if (!placed) {
        if (!out.empty() && out.back() != '\n') out += "\r\n";
        if (!seen) out += "[rename]\r\n";
        out += entry;
    }
    return out + rest;
}

// A small deterministic generator (xorshift32).
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 1) {}
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }

private:
    uint32_t state_;
};

}  // namespace persistence_model
