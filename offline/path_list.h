// PATH lists (-f FILE) of both command-line front ends: one PATH per line,
// each line ended by LF; a CR before the LF is dropped (a list written on
// Windows), an empty line is skipped, the last line may lack its LF; nothing
// else is trimmed. Lines of any length.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace offline {

struct ListedPath {
    std::string path;
    long line;  // its line number in the list
};

// Reads the list to its end. False, with the reason, when it cannot be read
// or holds a NUL byte: then nothing is scanned.
inline bool ReadPathList(FILE* f, std::vector<ListedPath>* paths, std::string* why) {
    std::string line;
    long number = 1;
    errno = 0;
    for (int c; (c = std::fgetc(f)) != EOF;) {
        if (c == '\0') {
            *why = "line " + std::to_string(number) + " holds a NUL byte, which no path can";
            return false;
        }
        if (c != '\n') {
            line += char(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) paths->push_back({line, number});
        line.clear();
        ++number;
    }
    if (std::ferror(f)) {
        *why = std::strerror(errno ? errno : EIO);
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths->push_back({line, number});
    return true;
}

}  // namespace offline
