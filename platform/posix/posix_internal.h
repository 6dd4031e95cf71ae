// The POSIX platform's own records (shared by its source files only).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_syscalls.h"

struct hive_h;  // hivex's handle
struct stat;

namespace pf::posix {


// The folder that holds the last component of `path`, a POSIX path below
// the drive folder `root`: every folder from the root down is opened without
// following a link. -1 with errno (ENOENT for a path outside the root).
int OpenParentBelow(const std::string& root, const std::string& path);

// The values of one key, read once (names and data) and kept until this
// run changes that key: a look-up by name costs what the name does, not
// what the key holds.
struct ValueIndex {
    struct Value {
        size_t handle = 0;      // hivex's
        std::string name;       // as hivex gives it (UTF-8), or from the raw bytes
        bool written = true;    // hivex can write the name back (false: not UTF-16 text)
        bool dataRead = false;
        DWORD type = 0;
        std::string bytes;      // text as the engine reads it
    };
    bool readable = false;  // the key's value list could be read
    bool nameMissing = false;  // a value left out: its name could not be read
    std::vector<Value> values;
    std::unordered_map<std::string, size_t> exact;   // the first value of each name
    std::unordered_map<std::string, size_t> folded;  // the same, letter case folded
    const Value* Find(const char* name) const;
};

struct PosixPlatform::Hive {
    hive_h* h = nullptr;
    bool write = false;
    std::string path;       // POSIX path, for the reports
    std::string name;       // its entry in the hives' folder
    int copyFd = -1;        // the copy hivex opened, as read: raw bytes of names it cannot decode
    std::unordered_map<size_t, std::unique_ptr<ValueIndex>> valueIndex;  // by key node
    int fd = -1;            // the file as read: its identity and attributes
    int newFd = -1;         // the new hive, created when the hive is opened for writing
    std::string newName;
    bool changed = false;
    bool written = false;   // its changes reached the volume
    // What the commit makes true, told once it is.
    std::vector<std::pair<std::string, std::string>> removedValues;  // key, value
    std::vector<std::string> removedKeys;
};

struct PosixPlatform::Entry {
    uint32_t nameOffset = 0;  // into Listing::names
    uint16_t nameLength = 0;
    unsigned char type = 0;   // DT_DIR or DT_REG (DT_LNK: a reparse point not to be given)
    bool statted = false;     // size and readOnly are known
    unsigned char unusable = 0;  // kFits, or why the walk cannot be given it
    bool readOnly = false;
    int64_t size = 0;
    uint32_t reparseTag = 0;  // kReparse: its tag; kReparseUnreadable: the errno
};

// One folder as the find calls hand it out.
struct PosixPlatform::Listing {
    bool inUse = false;
    std::string winFolder;    // the pattern up to its last backslash, included
    std::string posixFolder;
    int dirFd = -1;
    std::vector<Entry> entries;
    std::vector<char> names;  // the names, each ended by a 0
    size_t cursor = 0;
    uint64_t generation = 0;  // changes made before it was read
    char mask[264] = {};
    bool wholeMask = true;
    bool firstPass = true;    // the folder's first listing: its problems are told
};

struct PosixPlatform::OpenSlot {
    bool used = false;
    bool writable = false;
    bool append = false;
    int fd = -1;
    int64_t size = 0;
    int64_t position = 0;
    int64_t cacheOffset = 0;
    int64_t cacheLength = -1;
    bool readFailed = false;  // reported already
    std::string windowsPath;  // what a failed read reports
    unsigned char cache[4096];
};

struct PosixPlatform::Stream {
    std::string data;
    size_t position = 0;
};

}  // namespace pf::posix
