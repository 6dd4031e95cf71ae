// The registry of the POSIX platform: HKEY_LOCAL_MACHINE\Software and
// HKEY_LOCAL_MACHINE\SYSTEM are the SOFTWARE and SYSTEM hives of the Windows
// on the volume, read and edited with hivex.
//
// Deletions change a hive in memory only; CommitRegistry writes each changed
// hive once: to a new file created beside the old one (O_EXCL, relative to
// the folder opened without following links), given the old one's owner,
// mode and NTFS attributes, flushed, then renamed over the old one and the
// folder flushed. Until that rename the old hive is untouched, so a failure
// (or an interruption) at any point leaves it byte for byte as it was.
//
// hivex opens files by name; it is always handed /proc/self/fd/N of a file
// opened here, which names that open file and nothing a link could redirect
// (a copy in memory of the hive to read, the new file to write).
#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/crt.h"
#include "platform/posix/posix_internal.h"

namespace pf::posix {

namespace {

constexpr DWORD kErrorKeyDeleted = 1018;
constexpr DWORD kKeyWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x00010000;  // set value, create, link, delete
constexpr int kSoftware = 0, kSystem = 1;
// The name the new hive is written under, beside the old one, until the
// rename; an interrupted run may leave one behind.
constexpr size_t kLongestValueName = 16383;
// How ntfs-3g (and the kernel's ntfs3) show a file's NTFS attributes.
const char* const kNtfsAttributes[] = {"system.ntfs_attrib_be", "system.ntfs_attrib"};

struct KeyHandle {
    int hive = kSoftware;
    hive_node_h node = 0;
    bool write = false;
    bool deleted = false;  // the key was deleted while open
    std::string path;      // for the report
};

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

const char kNotClosedCleanly[] = "the hive was not closed cleanly (its log holds changes)";

// A hive whose two sequence numbers differ holds changes that only its log
// files carry; Windows would replay them over anything written here.
bool HiveCleanlyClosed(int fd, std::string* why) {
    unsigned char header[12];
    if (::pread(fd, header, sizeof header, 0) != ssize_t(sizeof header) ||
        std::memcmp(header, "regf", 4) != 0) {
        *why = "not a registry hive";
        return false;
    }
    if (std::memcmp(header + 4, header + 8, 4) != 0) {
        *why = kNotClosedCleanly;
        return false;
    }
    return true;
}

// hivex maps the file it opens: a hive cut short meanwhile (by anybody who
// may write the volume) would kill the scan with SIGBUS. It is handed a
// copy in memory, which nobody else can change; -1 with errno.
int CopyToMemory(int fd) {
    const int copy = ::memfd_create("hive", MFD_CLOEXEC);
    if (copy < 0) return -1;
    std::vector<char> buffer(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), at);
        if (got == 0) return copy;
        bool ok = got > 0;
        for (ssize_t put = 0; ok && put < got;) {
            const ssize_t n = ::write(copy, buffer.data() + put, size_t(got - put));
            ok = n > 0;
            put += n > 0 ? n : 0;
        }
        if (!ok) {
            const int saved = errno;
            ::close(copy);
            errno = saved ? saved : EIO;
            return -1;
        }
        at += got;
    }
}

// hivex on a copy in memory of an open file; null with errno. The copy
// stays open in *kept when asked for.
hive_h* OpenCopy(int fd, int flags, int* kept = nullptr) {
    const int copy = CopyToMemory(fd);
    if (copy < 0) return nullptr;
    hive_h* h = hivex_open(FdPath(copy).c_str(), flags);
    const int saved = errno;
    if (h && kept)
        *kept = copy;
    else
        ::close(copy);  // hivex holds its own
    errno = saved;
    return h;
}

// Opens a regular file of a folder without following a link, and nothing
// else (a device named SYSTEM is never opened); -1 with errno.
int OpenRegularAt(int dirFd, const char* name) { return OpenRegularFileAt(dirFd, name, O_RDONLY); }

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

bool ReadNtfsAttributes(int fd, std::string* name, std::string* bytes) {
    for (const char* attribute : kNtfsAttributes) {
        unsigned char value[64];
        const ssize_t n = ::fgetxattr(fd, attribute, value, sizeof value);
        if (n < 0) continue;  // not on NTFS, or not this form
        *name = attribute;
        bytes->assign(reinterpret_cast<const char*>(value), size_t(n));
        return true;
    }
    return false;
}

int PosixPlatform::RegistryFolder(std::string* why) {
    if (registryFd_ >= 0) return registryFd_;
    if (windows_.family == 4) {
        // 95/98/Me: SYSTEM.DAT and WININIT.INI in the Windows folder, reached
        // from the drive's folder one opened folder at a time.
        Located place;
        if (windows_.windowsDir.empty() || !Locate(windows_.windowsDir.c_str(), &place) || place.name.empty()) {
            *why = windows_.windowsDir.empty() ? "no Windows folder" : std::strerror(errno);
            return -1;
        }
        const int fd = OpenOnVolume(place.dirFd, place.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (fd < 0) {
            *why = std::strerror(errno);
            return -1;
        }
        registryFd_ = fd;
        return fd;
    }
    const std::string& hive = windows_.softwareHive;
    const std::string root = DriveRoot(windows_.drive);
    const size_t slash = hive.find_last_of('/');
    if (hive.empty() || root.empty() || slash == std::string::npos ||
        hive.compare(0, root.size(), root) != 0) {
        *why = "no registry hive";
        return -1;
    }
    // Every folder from the drive's root down, none of them through a link.
    const int fd = OpenParentBelow(root, hive);
    if (fd < 0) {
        *why = std::strerror(errno);
        return -1;
    }
    registryFd_ = fd;
    return fd;
}

bool PosixPlatform::LockRegistry(std::string* why) {
    const bool nineX = windows_.family == 4;
    if (registryLocked_ || (!nineX && windows_.softwareHive.empty())) return true;
    // A folder that cannot be opened holds no hive this run can change;
    // opening the hive reports it (on 95/98/Me: writing WININIT.INI, which
    // needs the lock).
    std::string folderWhy;
    const int fd = RegistryFolder(&folderWhy);
    if (fd < 0) return true;
    // One rule for every Windows: the folder of its registry (System32\config;
    // on 95/98/Me the Windows folder, where SYSTEM.DAT and WININIT.INI are),
    // not a file in it: a hive or WININIT.INI is replaced by a new file at
    // each commit, the folder stays. The lock ends with the run.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = errno == EWOULDBLOCK
                   ? std::string("another run of vendrika-scan is changing this Windows' registry") +
                         (nineX ? " or its WININIT.INI" : "") + "; run again once it has ended"
                   : std::string("its folder cannot be locked: ") + std::strerror(errno);
        return false;
    }
    registryLocked_ = true;
    return true;
}

std::vector<std::string> PosixPlatform::HiveLeftovers(bool remove, std::vector<bool>* removed) {
    std::vector<std::string> found;
    std::string why;
    const int dirFd = RegistryFolder(&why);
    if (dirFd < 0) return found;
    const int listFd = OpenOnVolume(dirFd, ".", O_RDONLY | O_DIRECTORY);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        return found;
    }
    const std::string folder = windows_.softwareHive.substr(0, windows_.softwareHive.find_last_of('/'));
    const size_t suffix = std::strlen(kNewHiveMark);
    while (const struct dirent* e = ::readdir(dir)) {
        const size_t length = std::strlen(e->d_name);
        if (length <= suffix || std::strcmp(e->d_name + length - suffix, kNewHiveMark) != 0) continue;
        struct stat st;
        if (Sys().fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)))
            continue;
        found.push_back(folder + "/" + e->d_name);
        removed->push_back(remove && registryLocked_ && !readOnly_ && ::unlinkat(dirFd, e->d_name, 0) == 0);
    }
    ::closedir(dir);
    return found;
}

PosixPlatform::Hive* PosixPlatform::OpenHive(int which) {
    if (hives_[which]) return hives_[which].get();
    if (hiveFailed_[which] || windows_.softwareHive.empty()) return nullptr;
    hiveFailed_[which] = true;  // until it is open
    const bool write = !readOnly_;
    const std::string folder = windows_.softwareHive.substr(0, windows_.softwareHive.find_last_of('/'));
    std::string name = which == kSoftware ? windows_.softwareHive.substr(folder.size() + 1) : "";
    std::string why;
    const int dirFd = RegistryFolder(&why);
    if (dirFd >= 0 && which == kSystem) {
        // Its name in any letter case; of several, one that is a hive.
        const int listFd = OpenOnVolume(dirFd, ".", O_RDONLY | O_DIRECTORY);
        DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (!dir && listFd >= 0) ::close(listFd);
        bool isHive = false;
        while (dir && !isHive) {
            const struct dirent* e = ::readdir(dir);
            if (!e) break;
            if (crt::stricmp(e->d_name, "SYSTEM") != 0) continue;
            const int fd = OpenRegularAt(dirFd, e->d_name);
            if (fd < 0) continue;
            char magic[4];
            isHive = ::pread(fd, magic, 4, 0) == 4 && std::memcmp(magic, "regf", 4) == 0;
            ::close(fd);
            if (isHive || name.empty()) name = e->d_name;
        }
        if (dir) ::closedir(dir);
        if (name.empty()) {
            Report(folder, "no SYSTEM hive: the services were not examined");
            return nullptr;
        }
    }
    const std::string path = folder + "/" + name;
    if (dirFd < 0) {
        Report(path, "registry hive cannot be opened: " + why + "; left as it is");
        return nullptr;
    }
    if (write && (!LockRegistry(&why) || !registryLocked_)) {
        Report(path, "registry hive not examined: " + why);
        return nullptr;
    }
    const int fd = OpenRegularAt(dirFd, name.c_str());
    if (fd < 0) {
        Report(path, std::string("registry hive cannot be opened: ") +
                         (errno == EINVAL ? "not a regular file" : std::strerror(errno)) + "; left as it is");
        return nullptr;
    }
    if (write && !HiveCleanlyClosed(fd, &why)) {
        ::close(fd);
        Report(path, "registry hive cannot be opened: " + why + "; left as it is");
        return nullptr;
    }
    // Read as it is, it may lack what its log holds (a worm's start-up value
    // written just before a crash): what is listed from it may be incomplete.
    if (!write && !HiveCleanlyClosed(fd, &why) && why == kNotClosedCleanly)
        Report(path, "registry hive read without its log: " + why +
                         ", which this program does not read; what is listed from it may be incomplete");
    int copyFd = -1;
    hive_h* h = OpenCopy(fd, write ? HIVEX_OPEN_WRITE : 0, &copyFd);
    if (!h) {
        const int saved = errno;
        ::close(fd);
        Report(path, std::string("registry hive cannot be opened: ") + std::strerror(saved) +
                         "; left as it is");
        return nullptr;
    }
    auto hive = std::make_unique<Hive>();
    hive->h = h;
    hive->write = write;
    hive->path = path;
    hive->name = name;
    hive->fd = fd;
    // Whether the new hive's file can be made (beside the old one, with its
    // owner) is tried now, before anything is changed: a hive that could
    // not be written back is not edited at all. The file itself is made at
    // the commit, so that the scan never meets it; a run killed during the
    // trial leaves it empty, named as a leftover, which the next removing
    // run removes.
    hive->copyFd = copyFd;
    if (write && !CreateNewHive(*hive, &why)) {
        hivex_close(h);
        ::close(fd);
        ::close(copyFd);
        Report(path, "registry hive cannot be written: " + why + "; left as it is");
        return nullptr;
    }
    DropNewHive(*hive);
    hiveFailed_[which] = false;
    hives_[which] = std::move(hive);
    return hives_[which].get();
}

bool PosixPlatform::CreateNewHive(Hive& hive, std::string* why) {
    const int dirFd = registryFd_;
    hive.newName = hive.name + kNewHiveMark;
    const char* const name = hive.newName.c_str();
    // An earlier run's leftover (or whatever was planted at the name) goes
    // first: a file or a link is unlinked itself, never what it points to.
    // The lock keeps every other run of ours away from it.
    struct stat st;
    if (Sys().fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            *why = "something that is not a file stands at " + hive.newName;
            return false;
        }
        if (::unlinkat(dirFd, name, 0) != 0) {
            *why = std::string("an earlier run's new hive cannot be removed: ") + std::strerror(errno);
            return false;
        }
    }
    // A new file or nothing: a name planted meanwhile makes this fail. Only
    // this user may open it until it has the old hive's mode.
    hive.newFd = OpenOnVolume(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (hive.newFd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    // The old hive's owner, now: a run that cannot give it changes nothing.
    struct stat original, mine;
    if (::fstat(hive.fd, &original) != 0 || ::fstat(hive.newFd, &mine) != 0 ||
        ((original.st_uid != mine.st_uid || original.st_gid != mine.st_gid) &&
         ::fchown(hive.newFd, original.st_uid, original.st_gid) != 0)) {
        *why = std::string("its owner cannot be kept: ") + std::strerror(errno);
        DropNewHive(hive);
        return false;
    }
    return true;
}

// Removes the new hive's file, if the name still holds it.
void PosixPlatform::DropNewHive(Hive& hive) {
    if (hive.newFd < 0) return;
    struct stat mine, there;
    if (::fstat(hive.newFd, &mine) == 0 &&
        Sys().fstatat(registryFd_, hive.newName.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino)
        ::unlinkat(registryFd_, hive.newName.c_str(), 0);
    ::close(hive.newFd);
    hive.newFd = -1;
}

void PosixPlatform::CloseHive() {
    for (auto& hive : hives_) {
        if (!hive) continue;
        DropNewHive(*hive);  // unchanged, or not committed
        if (hive->h) hivex_close(hive->h);
        if (hive->fd >= 0) ::close(hive->fd);
        if (hive->copyFd >= 0) ::close(hive->copyFd);
        hive.reset();
    }
    for (uintptr_t k : openKeys_) delete reinterpret_cast<KeyHandle*>(k);
    openKeys_.clear();
    keyNodes_.clear();
    if (registryFd_ >= 0) ::close(registryFd_);  // ends the lock
    registryFd_ = -1;
    registryLocked_ = false;
}

bool PosixPlatform::CommitRegistry() {
    bool ok = true;
    for (auto& hive : hives_) {
        if (hive && hive->changed) ok = CommitHive(*hive) && ok;
        if (hive) DropNewHive(*hive);
    }
    return ok;
}

bool PosixPlatform::CommitHive(Hive& hive) {
    const int dirFd = registryFd_;
    struct stat original, mine, st;
    std::string why;
    auto fail = [&](const std::string& reason) {
        if (why.empty()) why = reason;
        return false;
    };
    auto failErrno = [&](const char* step) { return fail(std::string(step) + std::strerror(errno)); };

    bool ok = registryLocked_ ? true : fail("the registry is not locked");
    if (ok && hive.newFd < 0 && !CreateNewHive(hive, &why)) ok = false;
    const int fd = hive.newFd;
    if (ok && (::fstat(hive.fd, &original) != 0 || ::fstat(fd, &mine) != 0)) ok = failErrno("");
    // hivex writes by name: the name of the open file, whatever happened
    // to the folder since.
    if (ok && hivex_commit(hive.h, FdPath(fd).c_str(), 0) != 0) ok = failErrno("");
    if (ok && (original.st_uid != mine.st_uid || original.st_gid != mine.st_gid))
        ok = fail("its owner cannot be kept");  // given when it was made
    // A file system without modes (FAT through fusefat) shows every file
    // with the same mode and refuses to change one: nothing to keep there.
    if (ok && (mine.st_mode & 07777) != (original.st_mode & 07777) &&
        ::fchmod(fd, original.st_mode & 07777) != 0)
        ok = failErrno("its mode cannot be kept: ");
    std::string attributeName, attributes;
    if (ok && ReadNtfsAttributes(hive.fd, &attributeName, &attributes) &&
        ::fsetxattr(fd, attributeName.c_str(), attributes.data(), attributes.size(), 0) != 0)
        ok = failErrno("its NTFS attributes cannot be kept: ");
    if (ok && Sys().fsync(fd) != 0) ok = failErrno("it cannot be flushed: ");
    if (ok && Sys().fsync(dirFd) != 0) ok = failErrno("its folder cannot be flushed: ");
    // Both names must still hold the files this run read and wrote.
    if (ok && (Sys().fstatat(dirFd, hive.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
               st.st_dev != original.st_dev || st.st_ino != original.st_ino))
        ok = fail("it was replaced while the scan ran");
    if (ok && (Sys().fstatat(dirFd, hive.newName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
               st.st_dev != mine.st_dev || st.st_ino != mine.st_ino))
        ok = fail("the new hive was replaced while the scan ran");
    // What the hive held is kept (with the quarantine) before it is replaced.
    std::vector<std::string> changes;
    for (const auto& value : hive.removedValues)
        changes.push_back("value \"" + value.second + "\" of " + value.first);
    for (const std::string& key : hive.removedKeys) changes.push_back("key " + key);
    std::string keptAs;
    if (ok && !KeptBeforeReplacement(hive.path, hive.fd, fd, "hive", &changes, &keptAs))
        ok = fail("it cannot be kept in the quarantine");
    if (ok && ::renameat(dirFd, hive.newName.c_str(), dirFd, hive.name.c_str()) != 0) ok = failErrno("");
    if (!keptAs.empty()) events_->AfterReplacement(keptAs.c_str(), ok);
    hive.changed = false;
    if (!ok) {
        Report(hive.path, "registry hive cannot be written: " + why + "; left as it is" +
                              (hive.removedValues.empty() && hive.removedKeys.empty()
                                   ? ""
                                   : ": what was reported removed from it is still there"));
        return false;
    }
    ::close(hive.newFd);
    hive.newFd = -1;
    ++hiveWrites;
    // Anybody who may write the folder can swap the new name between that
    // check and the rename (as they could the hive itself): say so.
    if (Sys().fstatat(dirFd, hive.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_dev != mine.st_dev || st.st_ino != mine.st_ino) {
        Report(hive.path, "registry hive was replaced by another program while it was written: "
                          "it is not the hive this run wrote; look at it");
        return false;
    }
    if (Sys().fsync(dirFd) != 0)
        Report(hive.path, std::string("registry hive written, but its folder cannot be flushed: ") +
                              std::strerror(errno) + "; a crash now could bring back the old one");
    if (original.st_nlink > 1)
        Report(hive.path, "registry hive had " + std::to_string(original.st_nlink - 1) +
                              " other name(s) (hard links): they keep its old contents");
    hive.removedValues.clear();
    hive.removedKeys.clear();
    hive.written = true;
    return true;
}

bool PosixPlatform::ReadNtVersion(const std::string& root, const std::string& hivePath, DWORD* major,
                                  DWORD* minor, std::string* systemRoot) {
    const int dirFd = OpenParentBelow(root, hivePath);
    if (dirFd < 0) return false;
    const int fd = OpenRegularFileAt(dirFd, hivePath.substr(hivePath.find_last_of('/') + 1).c_str(), O_RDONLY);
    ::close(dirFd);
    if (fd < 0) return false;
    hive_h* h = OpenCopy(fd, 0);
    ::close(fd);
    if (!h) return false;
    hive_node_h node = hivex_root(h);
    for (const char* name : {"Microsoft", "Windows NT", "CurrentVersion"})
        if (node) node = hivex_node_get_child(h, node, name);
    bool found = false;
    if (node) {
        DWORD type;
        std::string bytes;
        hive_value_h root = hivex_node_get_value(h, node, "SystemRoot");
        if (systemRoot && root && ValueBytes(h, root, &type, &bytes) && IsTextType(type))
            *systemRoot = bytes.c_str();
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

namespace {
KeyHandle* KeyOf(const std::vector<uintptr_t>& open, HKEY key) {
    for (uintptr_t k : open)
        if (k == reinterpret_cast<uintptr_t>(key)) return reinterpret_cast<KeyHandle*>(k);
    return nullptr;
}

std::string Folded(const char* name) {
    std::string folded(name);
    for (char& c : folded) c = crt::ToLower(c);
    return folded;
}

uint32_t Le(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// The name of a value as the hive stores it, read from the copy hivex
// opened (a value hivex cannot name was never rewritten by this run, so it
// stands there as read): UTF-16LE that is no text (a lone surrogate, which
// Windows accepts) turned into bytes that no other name gives: each unit
// as UTF-8 would write it, a surrogate alone included (never valid UTF-8,
// so never the name of a value hivex can name), an odd last byte as 0xFF
// and its two hex digits.
bool RawValueName(int copyFd, size_t value, std::string* name) {
    unsigned char head[0x18];  // cell size, "vk", name length, data, type, flags
    if (copyFd < 0 || ::pread(copyFd, head, sizeof head, off_t(value)) != ssize_t(sizeof head)) return false;
    const int64_t cell = int32_t(Le(head, 4));
    const size_t length = Le(head + 6, 2);
    if (cell >= 0 || head[4] != 'v' || head[5] != 'k' || -cell < int64_t(sizeof head) ||
        length > size_t(-cell) - sizeof head)
        return false;
    std::string raw(length, '\0');
    if (length && ::pread(copyFd, &raw[0], length, off_t(value + sizeof head)) != ssize_t(length)) return false;
    if (Le(head + 0x14, 2) & 1) {  // Latin-1
        name->clear();
        for (unsigned char c : raw) {
            if (c < 0x80) {
                *name += char(c);
            } else {
                *name += char(0xC0 | (c >> 6));
                *name += char(0x80 | (c & 0x3F));
            }
        }
        return true;
    }
    *name = TextOf(raw.data(), raw.size());
    if (raw.size() % 2) {
        char odd[4];
        std::snprintf(odd, sizeof odd, "%02X", unsigned(uint8_t(raw.back())));
        *name += '\xFF';
        *name += odd;
    }
    return true;
}

// Reads every value of a key once: its names (hivex's, or the raw ones
// where hivex cannot decode them) and its data. What cannot be read is
// said in `problems`, never passed over.
std::unique_ptr<ValueIndex> IndexValues(hive_h* h, int copyFd, hive_node_h node,
                                        std::vector<std::string>* problems) {
    auto index = std::make_unique<ValueIndex>();
    hive_value_h* values = hivex_node_values(h, node);
    if (!values) {
        problems->push_back(std::string("its values cannot be read (") + std::strerror(errno) +
                            "): not examined");
        return index;
    }
    index->readable = true;
    for (size_t i = 0; values[i]; ++i) {
        ValueIndex::Value v;
        v.handle = values[i];
        if (char* name = hivex_value_key(h, values[i])) {
            v.name = name;
            std::free(name);
        } else if (RawValueName(copyFd, values[i], &v.name)) {
            v.written = false;  // hivex takes names as UTF-8 text only
        } else {
            problems->push_back("a value's name cannot be read: the value is not examined");
            index->nameMissing = true;  // nor can the key's values be written back without it
            continue;
        }
        // Windows gives a program no value name longer than 16,383
        // characters, and the cleaner reads no longer one: such a value
        // cannot be examined, and is told.
        if (v.name.size() > kLongestValueName)
            problems->push_back("a value name of " + std::to_string(v.name.size()) +
                                " bytes, longer than Windows gives a program: that value is not examined");
        v.dataRead = ValueBytes(h, values[i], &v.type, &v.bytes);
        if (!v.dataRead) problems->push_back("value \"" + v.name + "\": its data cannot be read; not examined");
        const size_t at = index->values.size();
        if (!index->exact.emplace(v.name, at).second)
            problems->push_back("holds more than one value named \"" + v.name + "\": only the first is examined");
        index->folded.emplace(Folded(v.name.c_str()), at);
        index->values.push_back(std::move(v));
    }
    std::free(values);
    return index;
}

// Walks a path of key names below a node (empty names skipped, as the
// registry does with doubled backslashes); 0 when a key is missing.
hive_node_h Walk(hive_h* h, hive_node_h node, const std::string& path, size_t at) {
    while (node && at < path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(at, end - at);
        if (!name.empty()) node = hivex_node_get_child(h, node, name.c_str());
        at = end + 1;
    }
    return node;
}

// Which hive a path below HKEY_LOCAL_MACHINE lies in, and where the rest of
// the path begins; -1 for the keys the volume does not hold.
int HiveOfPath(const std::string& path, size_t* rest) {
    const size_t slash = path.find('\\');
    const std::string first = path.substr(0, slash);
    *rest = slash == std::string::npos ? path.size() : slash + 1;
    if (crt::stricmp(first.c_str(), "Software") == 0) return kSoftware;
    if (crt::stricmp(first.c_str(), "SYSTEM") == 0) return kSystem;
    return -1;
}

// CurrentControlSet exists only in a running system: here it is the set
// the hive's Select\Current names.
std::string ResolveCurrentControlSet(hive_h* h, const std::string& path, size_t rest) {
    const size_t end = path.find('\\', rest);
    const std::string second = path.substr(rest, end == std::string::npos ? std::string::npos : end - rest);
    if (crt::stricmp(second.c_str(), "CurrentControlSet") != 0) return path;
    hive_node_h select = hivex_node_get_child(h, hivex_root(h), "Select");
    hive_value_h v = select ? hivex_node_get_value(h, select, "Current") : 0;
    DWORD type = 0;
    std::string bytes;
    if (!v || !ValueBytes(h, v, &type, &bytes) || type != kRegDword || bytes.size() != 4) return path;
    uint32_t current;
    std::memcpy(&current, bytes.data(), 4);
    if (current == 0 || current > 999) return path;
    char set[16];
    std::snprintf(set, sizeof set, "ControlSet%03u", unsigned(current));
    return path.substr(0, rest) + set + (end == std::string::npos ? "" : path.substr(end));
}
}  // namespace

std::string PosixPlatform::HiveFileOf(const char* subKey) const {
    size_t rest = 0;
    const int which = HiveOfPath(subKey ? subKey : "", &rest);
    return which >= 0 && hives_[which] ? hives_[which]->path : std::string();
}

bool PosixPlatform::HiveWritten(const char* subKey) const {
    size_t rest = 0;
    const int which = HiveOfPath(subKey ? subKey : "", &rest);
    return which >= 0 && hives_[which] && hives_[which]->written;
}

const ValueIndex::Value* ValueIndex::Find(const char* name) const {
    const auto it = exact.find(name);
    if (it != exact.end()) return &values[it->second];
    const auto other = folded.find(Folded(name));
    return other != folded.end() ? &values[other->second] : nullptr;
}

const ValueIndex& PosixPlatform::ValuesOf(Hive& hive, size_t node, const std::string& keyPath) {
    std::unique_ptr<ValueIndex>& index = hive.valueIndex[node];
    if (!index) {
        std::vector<std::string> problems;
        index = IndexValues(hive.h, hive.copyFd, node, &problems);
        for (const std::string& p : problems) Report(hive.path, keyPath + ": " + p);
    }
    return *index;
}

// The node of HKEY_LOCAL_MACHINE\subKey with its hive, or 0 where it is not
// on the volume: only Software and SYSTEM live there, as hives.
hive_node_h PosixPlatform::KeyNode(const char* subKey, int* which, Hive** hive) {
    size_t rest = 0;
    std::string path(subKey);
    *which = HiveOfPath(path, &rest);
    if (*which < 0) return 0;
    *hive = OpenHive(*which);
    if (!*hive) return 0;
    // The start-up keys are opened again for every value a detection reads;
    // each walk down decodes every name beside the path. Until the next
    // change (to a file or a key) the same path is the same node.
    if (keyNodesGeneration_ != generation_) {
        keyNodes_.clear();
        keyNodesGeneration_ = generation_;
    }
    const std::string cacheKey = std::to_string(*which) + '\\' + Folded(subKey);
    const auto cached = keyNodes_.find(cacheKey);
    if (cached != keyNodes_.end()) {
        // Still a key of the hive (a deletion that failed half-way changes
        // it without being counted as a change).
        errno = 0;
        if (cached->second == 0 || hivex_node_timestamp((*hive)->h, cached->second) != -1 || errno == 0)
            return cached->second;
        keyNodes_.erase(cached);
    }
    if (*which == kSystem) path = ResolveCurrentControlSet((*hive)->h, path, rest);
    const hive_node_h node = Walk((*hive)->h, hivex_root((*hive)->h), path, rest);
    keyNodes_.emplace(cacheKey, node);
    return node;
}

LONG PosixPlatform::RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD access,
                                  HKEY* result) {
    if (!result) return LONG(kErrorInvalidParameter);
    *result = nullptr;
    if (root != kHkeyLocalMachine || !subKey) return LONG(kErrorFileNotFound);
    const bool write = (access & kKeyWriteRights) != 0;
    int which = -1;
    Hive* hive = nullptr;
    const hive_node_h node = KeyNode(subKey, &which, &hive);
    if (!node) return LONG(kErrorFileNotFound);
    // A report-only run opens keys for writing so that it can tell which
    // values would be deleted; the deletion itself is refused.
    auto* key = new KeyHandle;
    key->hive = which;
    key->node = node;
    key->write = write;
    key->path = std::string("HKEY_LOCAL_MACHINE\\") + subKey;
    openKeys_.push_back(reinterpret_cast<uintptr_t>(key));
    *result = reinterpret_cast<HKEY>(key);
    return 0;
}

LONG PosixPlatform::RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type,
                                     BYTE* data, DWORD* dataSize) {
    if (key == kHkeyPerformanceData) return LONG(kErrorFileNotFound);  // nothing runs
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hives_[k->hive]) return LONG(kErrorInvalidHandle);
    if (k->deleted) return LONG(kErrorKeyDeleted);
    const ValueIndex& index = ValuesOf(*hives_[k->hive], k->node, k->path);
    if (!index.readable) return LONG(kErrorAccessDenied);
    const ValueIndex::Value* v = index.Find(valueName ? valueName : "");
    if (!v) return LONG(kErrorFileNotFound);
    if (!v->dataRead) return LONG(kErrorAccessDenied);
    if (type) *type = v->type;
    return CopyData(v->bytes, data, dataSize);
}

LONG PosixPlatform::RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hives_[k->hive]) return LONG(kErrorInvalidHandle);
    if (k->deleted) return LONG(kErrorKeyDeleted);
    hive_h* h = hives_[k->hive]->h;
    if (subKeys) *subKeys = DWORD(hivex_node_nr_children(h, k->node));
    if (values) {
        const ValueIndex& index = ValuesOf(*hives_[k->hive], k->node, k->path);
        if (!index.readable) return LONG(kErrorAccessDenied);
        *values = DWORD(index.values.size());
    }
    return 0;
}

LONG PosixPlatform::RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*,
                                  DWORD* type, BYTE* data, DWORD* dataSize) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hives_[k->hive]) return LONG(kErrorInvalidHandle);
    if (k->deleted) return LONG(kErrorKeyDeleted);
    const ValueIndex& values = ValuesOf(*hives_[k->hive], k->node, k->path);
    if (!values.readable) return LONG(kErrorAccessDenied);
    if (index >= values.values.size()) return LONG(kErrorNoMoreItems);
    const ValueIndex::Value& v = values.values[index];
    const size_t length = v.name.size();
    if (!name || !nameSize || length >= *nameSize) return LONG(kErrorMoreData);
    std::memcpy(name, v.name.c_str(), length + 1);
    *nameSize = DWORD(length);
    if (!type && !data && !dataSize) return 0;
    if (!v.dataRead) return LONG(kErrorAccessDenied);
    if (type) *type = v.type;
    return dataSize ? CopyData(v.bytes, data, dataSize) : 0;
}

LONG PosixPlatform::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hives_[k->hive]) return LONG(kErrorInvalidHandle);
    if (k->deleted) return LONG(kErrorKeyDeleted);
    if (!name || !nameSize) return LONG(kErrorInvalidParameter);
    hive_h* h = hives_[k->hive]->h;
    hive_node_h* children = hivex_node_children(h, k->node);
    if (!children) return LONG(kErrorAccessDenied);
    size_t count = 0;
    while (children[count]) ++count;
    LONG result = 0;
    if (index >= count) {
        result = LONG(kErrorNoMoreItems);
    } else if (char* child = hivex_node_name(h, children[index])) {
        const size_t length = std::strlen(child);
        if (length >= *nameSize) {
            result = LONG(kErrorMoreData);
        } else {
            std::memcpy(name, child, length + 1);
            *nameSize = DWORD(length);
        }
        std::free(child);
    } else {
        result = LONG(kErrorAccessDenied);
    }
    std::free(children);
    return result;
}

LONG PosixPlatform::RegDeleteValueA(HKEY key, const char* valueName) {
    KeyHandle* k = KeyOf(openKeys_, key);
    if (!k || !hives_[k->hive]) return LONG(kErrorInvalidHandle);
    if (k->deleted) return LONG(kErrorKeyDeleted);
    Hive& hive = *hives_[k->hive];
    if (!k->write) return LONG(kErrorAccessDenied);
    hive_h* h = hive.h;
    const ValueIndex& index = ValuesOf(hive, k->node, k->path);
    if (!index.readable) return LONG(kErrorAccessDenied);
    const ValueIndex::Value* gone = index.Find(valueName ? valueName : "");
    // hivex sets a key's values as a whole: every value but the one named,
    // each by its name, which hivex takes as text only.
    std::vector<hive_set_value> keep;
    std::vector<char*> owned;
    const bool found = gone != nullptr;
    bool ok = true;
    std::string removedName;
    if (found) {
        removedName = gone->name;
        bool writable = !index.nameMissing;
        for (const ValueIndex::Value& v : index.values) writable = writable && (&v == gone || v.written);
        if (!writable) {
            // Said in a report-only run too: --remove could not do it either.
            Report(hive.path, k->path + ": value \"" + removedName +
                                  "\" cannot be removed: a value beside it has a name that is no UTF-16 "
                                  "text, which this program cannot write back; remove it with that "
                                  "Windows' registry editor");
            return LONG(kErrorAccessDenied);
        }
    }
    for (size_t i = 0; found && hive.write && ok && i < index.values.size(); ++i) {
        const ValueIndex::Value& v = index.values[i];
        if (&v == gone) continue;
        hive_type t;
        size_t length = 0;
        char* raw = hivex_value_value(h, v.handle, &t, &length);
        if (!raw) {
            ok = false;
            break;
        }
        owned.push_back(raw);
        keep.push_back(hive_set_value{const_cast<char*>(v.name.c_str()), t, length, raw});
    }
    LONG result = 0;
    if (!ok) {
        result = LONG(kErrorAccessDenied);
    } else if (!found) {
        result = LONG(kErrorFileNotFound);
    } else if (!hive.write || readOnly_) {
        result = LONG(kErrorAccessDenied);  // report-only
    } else if (hivex_node_set_values(h, k->node, keep.size(), keep.data(), 0) != 0) {
        result = LONG(kErrorAccessDenied);
    }
    for (char* p : owned) std::free(p);
    if (result == 0) hive.valueIndex.erase(k->node);  // read again when next asked
    if (result == 0) {
        Changed();
        hive.changed = true;
        hive.removedValues.emplace_back(k->path, removedName);
    }
    return result;
}

namespace {
// Whether `node` is `gone` or lies below it.
bool Below(hive_h* h, hive_node_h node, hive_node_h gone) {
    const hive_node_h root = hivex_root(h);
    for (int depth = 0; node && depth < 512; ++depth) {
        if (node == gone) return true;
        if (node == root) return false;
        node = hivex_node_parent(h, node);
    }
    return false;
}
}  // namespace

LONG PosixPlatform::RegDeleteKeyA(HKEY root, const char* subKey) {
    if (root != kHkeyLocalMachine || !subKey) return LONG(kErrorFileNotFound);
    int which = -1;
    Hive* hive = nullptr;
    const hive_node_h node = KeyNode(subKey, &which, &hive);
    if (!node) return LONG(kErrorFileNotFound);
    // The hive's own root cannot go; on the NT family neither can a key
    // that still has subkeys.
    if (node == hivex_root(hive->h) || hivex_node_nr_children(hive->h, node) > 0)
        return LONG(kErrorAccessDenied);
    if (!hive->write || readOnly_) return LONG(kErrorAccessDenied);
    for (uintptr_t k : openKeys_) {
        KeyHandle* open = reinterpret_cast<KeyHandle*>(k);
        if (open->hive == which && !open->deleted && Below(hive->h, open->node, node)) open->deleted = true;
    }
    if (hivex_node_delete_child(hive->h, node) != 0) return LONG(kErrorAccessDenied);
    Changed();
    hive->changed = true;
    hive->removedKeys.push_back(std::string("HKEY_LOCAL_MACHINE\\") + subKey);
    return 0;
}


LONG PosixPlatform::RegCloseKey(HKEY key) {
    if (key == kHkeyPerformanceData || key == kHkeyLocalMachine) return 0;
    for (size_t i = 0; i < openKeys_.size(); ++i) {
        if (openKeys_[i] != reinterpret_cast<uintptr_t>(key)) continue;
        openKeys_.erase(openKeys_.begin() + long(i));
        delete reinterpret_cast<KeyHandle*>(key);
        // What it changed waits in memory for CommitRegistry.
        return 0;
    }
    return LONG(kErrorInvalidHandle);
}

}  // namespace pf::posix
