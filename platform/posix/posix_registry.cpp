// The registry of the POSIX platform: HKEY_LOCAL_MACHINE\Software is the
// SOFTWARE hive of the Windows on the volume, read and edited with hivex.
//
// A deleted value changes the hive in memory; closing the key writes the
// whole hive to a new file beside the old one, flushes it and renames it over
// the old one. Until that rename the old hive is untouched, so a failure (or
// an interruption) at any point leaves it byte for byte as it was.
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/crt.h"
#include "platform/posix/posix_internal.h"

namespace pf::posix {

namespace {

constexpr DWORD kErrorWriteFault = 29;
constexpr DWORD kKeyWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x00010000;  // set value, create, link, delete

struct KeyHandle {
    hive_node_h node = 0;
    bool write = false;
    std::vector<std::string> removed;  // values deleted through this handle
    std::string path;                  // for the report
};

// A hive whose two sequence numbers differ holds changes that only its log
// files carry; Windows would replay them over anything written here.
bool HiveCleanlyClosed(const std::string& path, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    unsigned char header[12];
    const bool read = ::pread(fd, header, sizeof header, 0) == ssize_t(sizeof header);
    ::close(fd);
    if (!read || std::memcmp(header, "regf", 4) != 0) {
        *why = "not a registry hive";
        return false;
    }
    if (std::memcmp(header + 4, header + 8, 4) != 0) {
        *why = "the hive was not closed cleanly (its log holds changes)";
        return false;
    }
    return true;
}

// UTF-16LE registry text to the single-byte text the engine reads (UTF-8 for
// characters beyond ASCII), the terminator kept when the data had one.
std::string TextOf(const char* data, size_t length) {
    std::string out;
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint32_t c = uint8_t(data[i]) | (uint32_t(uint8_t(data[i + 1])) << 8);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool IsTextType(DWORD type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// Copies data the way RegQueryValueExA and RegEnumValueA do.
LONG CopyData(const std::string& bytes, BYTE* data, DWORD* dataSize) {
    const DWORD needed = DWORD(bytes.size());
    if (!dataSize) return data ? kErrorInvalidParameter : 0;
    if (!data) {
        *dataSize = needed;
        return 0;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return LONG(kErrorMoreData);
    }
    std::memcpy(data, bytes.data(), needed);
    *dataSize = needed;
    return 0;
}

bool ValueBytes(hive_h* h, hive_value_h v, DWORD* type, std::string* bytes) {
    hive_type t;
    size_t length = 0;
    char* raw = hivex_value_value(h, v, &t, &length);
    if (!raw) return false;
    *type = DWORD(t);
    *bytes = IsTextType(*type) ? TextOf(raw, length) : std::string(raw, length);
    std::free(raw);
    return true;
}

}  // namespace

PosixPlatform::Hive* PosixPlatform::SoftwareHive(bool write) {
    if (hive_) return hive_.get();
    if (hiveFailed_ || windows_.softwareHive.empty()) return nullptr;
    std::string why;
    if (write && !HiveCleanlyClosed(windows_.softwareHive, &why)) {
        hiveFailed_ = true;
        Report(windows_.softwareHive, "registry hive cannot be opened: " + why + "; left as it is");
        return nullptr;
    }
    hive_h* h = hivex_open(windows_.softwareHive.c_str(), write ? HIVEX_OPEN_WRITE : 0);
    if (!h) {
        hiveFailed_ = true;
        Report(windows_.softwareHive, std::string("registry hive cannot be opened: ") +
                                          std::strerror(errno) + "; left as it is");
        return nullptr;
    }
    hive_ = std::make_unique<Hive>();
    hive_->h = h;
    hive_->write = write;
    hive_->path = windows_.softwareHive;
    return hive_.get();
}

void PosixPlatform::CloseHive() {
    if (hive_ && hive_->h) hivex_close(hive_->h);
    hive_.reset();
}

bool PosixPlatform::CommitHive() {
    const std::string path = hive_->path;  // a copy: the hive may be read again below
    const std::string temp = path + ".vendrika-new";
    struct stat original;
    std::string why;
    bool ok = ::lstat(path.c_str(), &original) == 0;
    if (!ok) why = std::strerror(errno);
    // Whatever stands at the new name (a leftover, a planted link) goes first.
    if (ok && ::unlink(temp.c_str()) != 0 && errno != ENOENT) {
        ok = false;
        why = std::strerror(errno);
    }
    if (ok && hivex_commit(hive_->h, temp.c_str(), 0) != 0) {
        ok = false;
        why = std::strerror(errno);
    }
    if (ok) {
        const int fd = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        ok = fd >= 0;
        if (ok) {
            ::fchmod(fd, original.st_mode & 07777);
            if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
                // A hive owned by someone else keeps our ownership; Windows
                // does not look at it.
            }
            ok = ::fsync(fd) == 0;
            ok = ::close(fd) == 0 && ok;
        }
        if (!ok) why = std::strerror(errno);
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        why = std::strerror(errno);
    }
    if (ok) {
        const std::string folder = path.substr(0, path.find_last_of('/') + 1);
        const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }
    ::unlink(temp.c_str());
    Report(path, "registry hive cannot be written: " + why + "; left as it is");
    // What is in memory no longer matches the hive on disk: read it again.
    CloseHive();
    hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (h) {
        hive_ = std::make_unique<Hive>();
        hive_->h = h;
        hive_->write = true;
        hive_->path = path;
    } else {
        hiveFailed_ = true;
    }
    return false;
}

bool PosixPlatform::ReadNtVersion(const std::string& hivePath, DWORD* major, DWORD* minor) {
    hive_h* h = hivex_open(hivePath.c_str(), 0);
    if (!h) return false;
    hive_node_h node = hivex_root(h);
    for (const char* name : {"Microsoft", "Windows NT", "CurrentVersion"})
        if (node) node = hivex_node_get_child(h, node, name);
    bool found = false;
    if (node) {
        DWORD type;
        std::string bytes;
        hive_value_h v = hivex_node_get_value(h, node, "CurrentMajorVersionNumber");
        if (v && ValueBytes(h, v, &type, &bytes) && type == kRegDword && bytes.size() >= 4) {
            std::memcpy(major, bytes.data(), 4);
            *minor = 0;
            hive_value_h m = hivex_node_get_value(h, node, "CurrentMinorVersionNumber");
            if (m && ValueBytes(h, m, &type, &bytes) && type == kRegDword && bytes.size() >= 4)
                std::memcpy(minor, bytes.data(), 4);
            found = true;
        } else if ((v = hivex_node_get_value(h, node, "CurrentVersion")) &&
                   ValueBytes(h, v, &type, &bytes) && IsTextType(type)) {
            unsigned a = 0, b = 0;
            if (std::sscanf(bytes.c_str(), "%u.%u", &a, &b) >= 1) {
                *major = a;
                *minor = b;
                found = true;
            }
        }
    }
    hivex_close(h);
    return found;
}

LONG PosixPlatform::RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD access,
                                  HKEY* result) {
    if (!result) return LONG(kErrorInvalidParameter);
    *result = nullptr;
    if (root != kHkeyLocalMachine || !subKey) return LONG(kErrorFileNotFound);
    const bool write = (access & kKeyWriteRights) != 0;
    if (write && readOnly_) return LONG(kErrorAccessDenied);
    // Only HKEY_LOCAL_MACHINE\Software lives on the volume as a hive here.
    std::string path(subKey);
    const size_t slash = path.find('\\');
    const std::string first = path.substr(0, slash);
    if (crt::stricmp(first.c_str(), "Software") != 0) return LONG(kErrorFileNotFound);
    Hive* hive = SoftwareHive(!readOnly_);
    if (!hive) return LONG(kErrorFileNotFound);
    hive_node_h node = hivex_root(hive->h);
    size_t at = slash == std::string::npos ? path.size() : slash + 1;
    while (node && at < path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(at, end - at);
        if (!name.empty()) node = hivex_node_get_child(hive->h, node, name.c_str());
        at = end + 1;
    }
    if (!node) return LONG(kErrorFileNotFound);
    auto* key = new KeyHandle;
    key->node = node;
    key->write = write;
    key->path = std::string("HKEY_LOCAL_MACHINE\\") + subKey;
    openKeys_.push_back(reinterpret_cast<uintptr_t>(key));
    *result = reinterpret_cast<HKEY>(key);
    return 0;
}

namespace {
KeyHandle* KeyOf(const std::vector<uintptr_t>& open, HKEY key) {
    for (uintptr_t k : open)
        if (k == reinterpret_cast<uintptr_t>(key)) return reinterpret_cast<KeyHandle*>(k);
    return nullptr;
}
}  // namespace

LONG PosixPlatform::RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type,
                                     BYTE* data, DWORD* dataSize) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (key == kHkeyPerformanceData) return LONG(kErrorFileNotFound);  // nothing runs
    if (!k || !hive_) return LONG(kErrorInvalidHandle);
    hive_value_h v = hivex_node_get_value(hive_->h, k->node, valueName ? valueName : "");
    if (!v) return LONG(kErrorFileNotFound);
    DWORD t;
    std::string bytes;
    if (!ValueBytes(hive_->h, v, &t, &bytes)) return LONG(kErrorAccessDenied);
    if (type) *type = t;
    return CopyData(bytes, data, dataSize);
}

LONG PosixPlatform::RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hive_) return LONG(kErrorInvalidHandle);
    if (subKeys) *subKeys = DWORD(hivex_node_nr_children(hive_->h, k->node));
    if (values) *values = DWORD(hivex_node_nr_values(hive_->h, k->node));
    return 0;
}

LONG PosixPlatform::RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*,
                                  DWORD* type, BYTE* data, DWORD* dataSize) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hive_) return LONG(kErrorInvalidHandle);
    hive_value_h* values = hivex_node_values(hive_->h, k->node);
    if (!values) return LONG(kErrorAccessDenied);
    size_t count = 0;
    while (values[count]) ++count;
    LONG result = 0;
    if (index >= count) {
        result = LONG(kErrorNoMoreItems);
    } else {
        char* valueName = hivex_value_key(hive_->h, values[index]);
        if (!valueName) {
            result = LONG(kErrorAccessDenied);
        } else {
            const size_t length = std::strlen(valueName);
            if (!name || !nameSize || length >= *nameSize) {
                result = LONG(kErrorMoreData);
            } else {
                std::memcpy(name, valueName, length + 1);
                *nameSize = DWORD(length);
                if (type || data || dataSize) {
                    DWORD t;
                    std::string bytes;
                    if (!ValueBytes(hive_->h, values[index], &t, &bytes)) {
                        result = LONG(kErrorAccessDenied);
                    } else {
                        if (type) *type = t;
                        if (dataSize) result = CopyData(bytes, data, dataSize);
                    }
                }
            }
            std::free(valueName);
        }
    }
    std::free(values);
    return result;
}

LONG PosixPlatform::RegDeleteValueA(HKEY key, const char* valueName) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hive_) return LONG(kErrorInvalidHandle);
    if (!k->write || !hive_->write || readOnly_) return LONG(kErrorAccessDenied);
    hive_value_h* values = hivex_node_values(hive_->h, k->node);
    if (!values) return LONG(kErrorAccessDenied);
    // hivex sets a key's values as a whole: every value but the one named.
    std::vector<hive_set_value> keep;
    std::vector<char*> owned;
    bool found = false;
    bool ok = true;
    std::string removedName;
    for (size_t i = 0; values[i] && ok; ++i) {
        char* name = hivex_value_key(hive_->h, values[i]);
        if (!name) {
            ok = false;
            break;
        }
        owned.push_back(name);
        if (!found && crt::stricmp(name, valueName ? valueName : "") == 0) {
            found = true;
            removedName = name;
            continue;
        }
        hive_type t;
        size_t length = 0;
        char* raw = hivex_value_value(hive_->h, values[i], &t, &length);
        if (!raw) {
            ok = false;
            break;
        }
        owned.push_back(raw);
        keep.push_back(hive_set_value{name, t, length, raw});
    }
    std::free(values);
    LONG result = 0;
    if (!ok)
        result = LONG(kErrorAccessDenied);
    else if (!found)
        result = LONG(kErrorFileNotFound);
    else if (hivex_node_set_values(hive_->h, k->node, keep.size(), keep.data(), 0) != 0)
        result = LONG(kErrorAccessDenied);
    for (char* p : owned) std::free(p);
    if (result == 0) {
        Changed();
        k->removed.push_back(removedName);
    }
    return result;
}

LONG PosixPlatform::RegDeleteKeyA(HKEY, const char*) {
    // Service keys live in the SYSTEM hive, which is not edited offline.
    return LONG(kErrorFileNotFound);
}

LONG PosixPlatform::RegCloseKey(HKEY key) {
    if (key == kHkeyPerformanceData || key == kHkeyLocalMachine) return 0;
    for (size_t i = 0; i < openKeys_.size(); ++i) {
        if (openKeys_[i] != reinterpret_cast<uintptr_t>(key)) continue;
        openKeys_.erase(openKeys_.begin() + long(i));
        KeyHandle* k = reinterpret_cast<KeyHandle*>(key);
        LONG result = 0;
        if (!k->removed.empty() && hive_) {
            const std::string hivePath = hive_->path;
            if (CommitHive()) {
                if (events_)
                    for (const std::string& v : k->removed) events_->ValueRemoved(hivePath, k->path, v);
            } else {
                result = LONG(kErrorWriteFault);
            }
        }
        delete k;
        return result;
    }
    return LONG(kErrorInvalidHandle);
}

}  // namespace pf::posix
