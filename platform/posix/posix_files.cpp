// Drives, folders and files of the POSIX platform: Windows paths onto the
// mounted volumes, listings, low-level reads and writes, deletion.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crt.h"
#include "platform/posix/posix_internal.h"

namespace pf::posix {
namespace {

constexpr int kFirstFd = 3;
constexpr int kMaxSlots = 64;
constexpr unsigned kReadAhead = 4096;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorAlreadyExists = 183;
constexpr DWORD kErrorFileExists = 80;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "*.*" matches every name, dotted or not.
bool WildMatch(const char* mask, const char* name) {
    if (std::strcmp(mask, "*") == 0 || std::strcmp(mask, "*.*") == 0) return true;
    return crt::WildMatch(mask, name);
}

DWORD Win32ErrorOf(int error) {
    switch (error) {
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EEXIST: return kErrorAlreadyExists;
        case ENOMEM: return kErrorNotEnoughMemory;
        case ENAMETOOLONG: return kErrorPathNotFound;
        default: return kErrorAccessDenied;
    }
}

int CrtErrnoOf(int error) {
    switch (error) {
        case ENOENT: case ENOTDIR: return kENOENT;
        case EBADF: return kEBADF;
        case EINVAL: return kEINVAL;
        case EMFILE: case ENFILE: return kEMFILE;
        case ENOSPC: return kENOSPC;
        default: return kEACCES;
    }
}

// A folder or file that could not be read is worth telling; one that is
// simply not there is not.
bool WorthReporting(int error) { return error != ENOENT && error != ENOTDIR; }

// An entry its folder's listing shows but whose name leads nowhere: on a
// volume where nothing else runs, a damaged folder index (NTFS, FAT) or a
// driver that cannot reach the file. Never clean: told, not scanned.
std::string WhyNotExamined(int error) {
    if (error == ENOENT)
        return "listed in its folder, but not found by its name (a damaged folder index?); not scanned";
    return std::string("cannot be examined: ") + std::strerror(error);
}

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

}  // namespace

namespace {
int RealOpenat(int dirFd, const char* name, int flags, mode_t mode) { return ::openat(dirFd, name, flags, mode); }
int RealFstatat(int dirFd, const char* name, struct stat* st, int flags) { return ::fstatat(dirFd, name, st, flags); }
int RealFsync(int fd) { return ::fsync(fd); }
const SystemCalls kRealCalls = {RealOpenat, RealFstatat, RealFsync};
SystemCalls g_calls = kRealCalls;
}  // namespace

SystemCalls& Sys() { return g_calls; }
const SystemCalls& RealSystemCalls() { return kRealCalls; }

int OpenOnVolume(int dirFd, const char* name, int flags, mode_t mode) {
    flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (!(flags & (O_PATH | O_CREAT))) {
        const int fd = Sys().openat(dirFd, name, flags | O_NOATIME, mode);
        if (fd >= 0 || errno != EPERM) return fd;
    }
    return Sys().openat(dirFd, name, flags, mode);
}

int OpenRegularFileAt(int dirFd, const char* name, int flags, unsigned mode, struct stat* identity) {
    const int access = flags & (O_ACCMODE | O_TRUNC | O_APPEND);
    for (int tries = 0; tries < 8; ++tries) {
        const int held = OpenOnVolume(dirFd, name, O_PATH | O_NOFOLLOW);
        if (held < 0) {
            if (errno != ENOENT || !(flags & O_CREAT)) return -1;
            // Nothing there: a new file, or nothing if anything appeared
            // meanwhile (then looked at again).
            const int made = OpenOnVolume(dirFd, name, access | O_CREAT | O_EXCL | O_NOFOLLOW, mode_t(mode));
            if (made < 0 && errno == EEXIST && !(flags & O_EXCL)) continue;
            if (made < 0) return -1;
            struct stat st;
            if (::fstat(made, &st) != 0 || !S_ISREG(st.st_mode)) {
                ::close(made);
                errno = EINVAL;
                return -1;
            }
            if (identity) *identity = st;
            return made;
        }
        struct stat was;
        const bool regular = ::fstat(held, &was) == 0 && S_ISREG(was.st_mode);
        if (!regular || ((flags & O_CREAT) && (flags & O_EXCL))) {
            const int error = !regular ? EINVAL : EEXIST;
            ::close(held);
            errno = error;
            return -1;
        }
        // Through the hold: the file checked, whatever the name holds now.
        // Without /proc there is no such way, and nothing is opened.
        const std::string self = "/proc/self/fd/" + std::to_string(held);
        const int fd = OpenOnVolume(AT_FDCWD, self.c_str(), access);
        int error = fd < 0 ? (errno == ENOENT ? ENOSYS : errno) : 0;
        struct stat now;
        if (fd >= 0 && (::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != was.st_dev ||
                        now.st_ino != was.st_ino)) {
            ::close(fd);
            error = EACCES;
        }
        ::close(held);
        if (error) {
            errno = error;
            return -1;
        }
        if (identity) *identity = now;
        return fd;
    }
    errno = EEXIST;
    return -1;
}

PosixPlatform::PosixPlatform() : slots_(kMaxSlots) { lastPath_[0] = '\0'; }

PosixPlatform::~PosixPlatform() {
    CloseHive();
    for (Listing* l : openListings_) ::close(l->dirFd);
    if (cached_) ::close(cached_->dirFd);
    for (const Drive& d : drives_) ::close(d.fd);
    for (OpenSlot& s : slots_)
        if (s.used && s.fd >= 0) ::close(s.fd);
}

// ---------------------------------------------------------------------------
// Drives and paths
// ---------------------------------------------------------------------------
bool PosixPlatform::AddDrive(const std::string& folder, std::string* why, char letter) {
    if (drives_.size() >= 24) {
        *why = "more folders than drive letters C: to Z:";
        return false;
    }
    // The next free letter from C:, or the one asked for.
    if (letter == 0)
        for (letter = 'C'; !DriveRoot(letter).empty(); ++letter) {
        }
    letter = crt::ToUpper(letter);
    if (letter < 'A' || letter > 'Z' || !DriveRoot(letter).empty()) {
        *why = std::string("the drive letter ") + letter + ": is taken";
        return false;
    }
    // The folder as the user named it, a link to a mount point included; it
    // is opened once here, and nothing below it is reached through a link.
    const int fd = OpenOnVolume(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        *why = errno == ENOTDIR ? "not a folder" : std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        ::close(fd);
        return false;
    }
    std::string root = folder;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    drives_.push_back({letter, root, fd, uint64_t(st.st_dev)});
    return true;
}

std::string PosixPlatform::DriveRoot(char letter) const {
    for (const Drive& d : drives_)
        if (d.letter == crt::ToUpper(letter)) return d.root;
    return std::string();
}

const PosixPlatform::Drive* PosixPlatform::DriveOf(const char* path) const {
    if (!path || !path[0] || path[1] != ':') return nullptr;
    for (const Drive& d : drives_)
        if (d.letter == crt::ToUpper(path[0])) return &d;
    return nullptr;
}

PosixPlatform::Located::~Located() {
    if (dirFd >= 0) ::close(dirFd);
}

int PosixPlatform::Located::Release() {
    const int fd = dirFd;
    dirFd = -1;
    return fd;
}

namespace {
// Whether `folder` (an entry of the open folder dirFd) is a folder holding
// an entry named `next` in any letter case.
bool HoldsEntry(int dirFd, const char* folder, const std::string& next) {
    const int fd = OpenOnVolume(dirFd, folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st;
    if (Sys().fstatat(fd, next.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        ::close(fd);
        return true;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool holds = false;
    while (struct dirent* e = ::readdir(dir))
        if (crt::stricmp(e->d_name, next.c_str()) == 0) holds = true;
    ::closedir(dir);
    return holds;
}

// The entry of an open folder that Windows would take for `wanted`: of the
// name itself and those whose letters differ only in case, the first that
// holds `next` (the path's next component, when there is one), so that an
// empty decoy in another case on a case-sensitive mount hides nothing; else
// the name itself, else the first in another case. False, errno set, when
// there is none.
bool FindInFolder(int dirFd, const std::string& wanted, const std::string& next, std::string* actual,
                  struct stat* st) {
    const bool exact = Sys().fstatat(dirFd, wanted.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exact && errno != ENOENT) return false;
    if (exact) {
        *actual = wanted;
        struct stat below;
        if (next.empty() || !S_ISDIR(st->st_mode) ||
            Sys().fstatat(dirFd, (wanted + "/" + next).c_str(), &below, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
    }
    const int listFd = OpenOnVolume(dirFd, ".", O_RDONLY | O_DIRECTORY);
    if (listFd < 0) return exact;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return exact;
    }
    bool found = exact;
    int error = ENOENT;
    int tries = 0;
    while (struct dirent* e = ::readdir(dir)) {
        if (crt::stricmp(e->d_name, wanted.c_str()) != 0 || (exact && wanted == e->d_name)) continue;
        if (found && (next.empty() || ++tries > 16)) break;
        struct stat other;
        if (Sys().fstatat(dirFd, e->d_name, &other, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            continue;
        }
        const bool holds = !next.empty() && S_ISDIR(other.st_mode) && HoldsEntry(dirFd, e->d_name, next);
        if (!found || holds) {
            *actual = e->d_name;
            *st = other;
            found = true;
        }
        if (holds || next.empty()) break;
    }
    ::closedir(dir);
    errno = error;
    return found;
}
}  // namespace

bool PosixPlatform::Locate(const char* windowsPath, Located* place, bool lastMayBeMissing) {
    const Drive* drive = DriveOf(windowsPath);
    if (!drive) {
        errno = ENOENT;
        return false;
    }
    Located here;
    here.dirFd = ::fcntl(drive->fd, F_DUPFD_CLOEXEC, 0);
    if (here.dirFd < 0) return false;
    here.posix = drive->root == "/" ? std::string() : drive->root;
    const char* p = windowsPath + 2;
    std::string component, actual;
    for (;;) {
        while (IsSeparator(*p)) ++p;
        if (!*p) break;
        const char* end = p;
        while (*end && !IsSeparator(*end)) ++end;
        component.assign(p, end);
        p = end;
        while (IsSeparator(*p)) ++p;
        const bool last = *p == '\0';
        if (component == "." || component == "..") {
            errno = ENOENT;  // never leave the drive
            return false;
        }
        const char* nextEnd = p;
        while (*nextEnd && !IsSeparator(*nextEnd)) ++nextEnd;
        const std::string following(p, nextEnd);
        struct stat st;
        if (!FindInFolder(here.dirFd, component, following, &actual, &st)) {
            if (errno != ENOENT || !last || !lastMayBeMissing) return false;
            actual = component;  // to be made
        } else if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;  // links are not followed
            return false;
        } else if (!last && !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        here.posix += "/" + actual;
        if (last) {
            here.name = actual;
            break;
        }
        const int next = OpenOnVolume(here.dirFd, actual.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (next < 0) return false;
        ::close(here.dirFd);
        here.dirFd = next;
    }
    if (here.posix.empty()) here.posix = "/";
    if (place->dirFd >= 0) ::close(place->dirFd);
    place->dirFd = here.Release();
    place->name.swap(here.name);
    place->posix.swap(here.posix);
    return true;
}

bool PosixPlatform::Resolve(const char* windowsPath, std::string* out, bool lastMayBeMissing) {
    Located place;
    if (!Locate(windowsPath, &place, lastMayBeMissing)) return false;
    *out = place.posix;
    return true;
}

bool PosixPlatform::PlaceOf(const char* path, Located* place, int* dirFd, const char** name,
                            bool lastMayBeMissing) {
    if (IsLastEntry(path)) {
        *dirFd = lastDirFd_;
        *name = lastName_;
        return true;
    }
    if (!Locate(path, place, lastMayBeMissing)) {
        lastError_ = Win32ErrorOf(errno);
        return false;
    }
    if (place->name.empty()) {  // the drive itself
        lastError_ = kErrorAccessDenied;
        errno = EISDIR;
        return false;
    }
    *dirFd = place->dirFd;
    *name = place->name.c_str();
    return true;
}

std::string PosixPlatform::Display(const char* windowsPath) {
    if (IsLastEntry(windowsPath)) {
        // The entry just listed: its folder is known, no lookup needed.
        const Listing* folder = cached_ && cached_->dirFd == lastDirFd_ ? cached_ : nullptr;
        for (const Listing* l : openListings_)
            if (l->dirFd == lastDirFd_) folder = l;
        if (folder) return (folder->posixFolder == "/" ? "" : folder->posixFolder) + "/" + lastName_;
    }
    std::string posix;
    if (Resolve(windowsPath, &posix, true)) return posix;
    return windowsPath ? windowsPath : "";
}

void PosixPlatform::Report(const std::string& what, const std::string& why) {
    if (events_) events_->Problem(what, why);
}

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------
PosixPlatform::Listing* PosixPlatform::NewListing() {
    for (auto& l : listingPool_)
        if (!l->inUse) {
            l->inUse = true;
            return l.get();
        }
    listingPool_.push_back(std::make_unique<Listing>());
    listingPool_.back()->inUse = true;
    return listingPool_.back().get();
}

void PosixPlatform::ReleaseListing(Listing* listing) {
    if (listing->dirFd >= 0) {
        if (listing->dirFd == lastDirFd_) {
            lastDirFd_ = -1;
            lastPathLength_ = 0;
            lastPath_[0] = '\0';
        }
        ::close(listing->dirFd);
    }
    listing->dirFd = -1;
    listing->entries.clear();
    listing->names.clear();
    listing->inUse = false;
}

namespace {
// What the walk can be given: a name that fits the 260-byte cFileName and
// makes a path of fewer than 260 characters (a folder's with "\\*.*" after
// it), and names no other Windows path: a backslash inside a name would.
// Nor a reparse point the mount shows as a link but Windows reads as the
// file itself (a program compressed by Windows, a deduplicated file, a
// cloud placeholder), whose contents this mount does not give.
enum Unusable : unsigned char { kFits = 0, kTooLong, kBackslash, kReparse, kReparseUnreadable, kOtherFileSystem };
constexpr size_t kMaxWindowsPath = 260;
constexpr size_t kFolderPatternTail = 4;  // "\\*.*"

unsigned char UsableAsWindowsName(size_t folderLength, const char* name, size_t length, bool isDir) {
    if (length >= sizeof FindDataA::cFileName ||
        folderLength + length + (isDir ? kFolderPatternTail : 0) >= kMaxWindowsPath)
        return kTooLong;
    return std::memchr(name, '\\', length) ? kBackslash : kFits;
}

std::string WhyUnusable(unsigned char why, uint32_t reparseTag) {
    switch (why) {
        case kTooLong: return "path too long for Windows (more than 259 characters); not scanned";
        case kBackslash: return "name holds a backslash, which no Windows name can; not scanned";
        case kReparse: {
            char tag[16];
            std::snprintf(tag, sizeof tag, "0x%08X", unsigned(reparseTag));
            return std::string("reparse point (tag ") + tag +
                   ") whose contents this mount does not give; Windows reads it as a file: not scanned";
        }
        default:
            return std::string("shown as a link, but whether it is one (its reparse data) cannot be read: ") +
                   std::strerror(int(reparseTag)) + "; not scanned";
    }
}

// Reparse tags of the links Windows itself follows elsewhere: the target
// is scanned where it lies (or lies outside the volumes given).
constexpr uint32_t kReparseTagSymlink = 0xA000000C;
constexpr uint32_t kReparseTagMountPoint = 0xA0000003;
// How ntfs-3g gives a file's reparse point: its whole buffer, the tag first.
const char kReparseAttribute[] = "system.ntfs_reparse_data";

// What a listed link is: kFits for a link of the mount's own or a Windows
// symbolic link or junction (passed over), kReparse with the tag for any
// other reparse point, kReparseUnreadable with the errno when its reparse
// data cannot be read.
unsigned char ClassifyLink(int dirFd, const char* name, uint32_t* tagOrErrno) {
    // The entry itself, never what it points to: lgetxattr through the
    // folder's descriptor.
    const std::string path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
    // Its size first: ntfs-3g answers a buffer too small with EIO.
    std::vector<unsigned char> data;
    for (int tries = 0;; ++tries) {
        ssize_t n = ::lgetxattr(path.c_str(), kReparseAttribute, nullptr, 0);
        if (n > 0) {
            data.resize(size_t(n));
            n = ::lgetxattr(path.c_str(), kReparseAttribute, data.data(), data.size());
        }
        if (n >= 4) {
            *tagOrErrno = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                          uint32_t(data[3]) << 24;
            return *tagOrErrno == kReparseTagSymlink || *tagOrErrno == kReparseTagMountPoint ? kFits
                                                                                            : kReparse;
        }
        if (n >= 0) {  // no tag at all
            *tagOrErrno = EINVAL;
            return kReparseUnreadable;
        }
        const int error = errno;
        // No reparse point: a link of the mount's own (ext4, an ntfs-3g link).
        if (error == ENODATA || error == EOPNOTSUPP || error == ENOTSUP) return kFits;
        if (error == ERANGE && tries < 4) continue;  // grown meanwhile
        *tagOrErrno = uint32_t(error);
        return kReparseUnreadable;
    }
}
}  // namespace

std::string PosixPlatform::PosixPathIn(const Listing& listing, const char* name) const {
    return (listing.posixFolder == "/" ? std::string() : listing.posixFolder) + "/" + name;
}

bool PosixPlatform::FillListing(Listing* listing, int dirFd) {
    listing->dirFd = dirFd;
    listing->entries.clear();
    listing->names.clear();
    listing->cursor = 0;
    listing->generation = generation_;
    const size_t folderLength = listing->winFolder.size();
    // --one-file-system: the file system of the folders' drive.
    const Drive* drive = oneFileSystem_ ? DriveOf(listing->winFolder.c_str()) : nullptr;
    alignas(8) static char buffer[64 * 1024];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, dirFd, buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) break;
        for (long at = 0; at < n;) {
            const auto* d = reinterpret_cast<const linux_dirent64*>(buffer + at);
            at += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            Entry e;
            e.type = d->d_type;
            int64_t device = -1;  // a folder's, where the listing looked (drive set)
            if (e.type == DT_UNKNOWN) {
                struct stat st;
                if (Sys().fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    // Listed but not to be examined (a folder that may be
                    // read but not searched, a damaged record): not clean.
                    if (listing->firstPass) Report(PosixPathIn(*listing, name), WhyNotExamined(errno));
                    continue;
                }
                e.type = S_ISDIR(st.st_mode)   ? DT_DIR
                         : S_ISREG(st.st_mode) ? DT_REG
                         : S_ISLNK(st.st_mode) ? DT_LNK
                                               : DT_UNKNOWN;
                e.size = st.st_size;
                e.readOnly = (st.st_mode & 0222) == 0;
                e.statted = true;
                device = int64_t(st.st_dev);
            }
            // A folder's file system costs one fstatat per folder, none per
            // file; an automount point is not mounted by looking.
            if (drive && e.type == DT_DIR && device < 0) {
                struct stat st;
                if (Sys().fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0)
                    device = int64_t(st.st_dev);
            }
            // Links, devices, pipes and sockets are no files to scan; a
            // reparse point shown as a link may be one.
            uint32_t reparse = 0;
            unsigned char linkIs = kFits;
            if (e.type == DT_LNK) {
                linkIs = ClassifyLink(dirFd, name, &reparse);
                if (linkIs == kFits) continue;
            } else if (e.type != DT_DIR && e.type != DT_REG) {
                continue;
            }
            const size_t length = std::strlen(name);
            e.unusable = linkIs != kFits ? linkIs : UsableAsWindowsName(folderLength, name, length, e.type == DT_DIR);
            if (drive && e.type == DT_DIR && device >= 0 && uint64_t(device) != drive->device)
                e.unusable = kOtherFileSystem;
            e.reparseTag = reparse;
            e.nameOffset = uint32_t(listing->names.size());
            e.nameLength = uint16_t(e.unusable == kTooLong ? 0 : length);
            listing->names.insert(listing->names.end(), name, name + length + 1);
            listing->entries.push_back(e);
        }
    }
    return true;
}

bool PosixPlatform::NextEntry(Listing* listing, FindDataA* data) {
    while (listing->cursor < listing->entries.size()) {
        Entry& e = listing->entries[listing->cursor++];
        const char* name = listing->names.data() + e.nameOffset;
        if (!listing->wholeMask && !WildMatch(listing->mask, name)) continue;
        if (e.unusable == kOtherFileSystem) {
            if (listing->firstPass && events_)
                events_->NotScanned(PosixPathIn(*listing, name), "not scanned: another file system");
            continue;
        }
        if (e.unusable != kFits) {
            // Passed over, never cut short into another name; said once,
            // by the folder's first listing.
            if (listing->firstPass) Report(PosixPathIn(*listing, name), WhyUnusable(e.unusable, e.reparseTag));
            continue;
        }
        const bool isDir = e.type == DT_DIR;
        if (!isDir && !e.statted) {
            struct stat st;
            if (Sys().fstatat(listing->dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (listing->firstPass) Report(PosixPathIn(*listing, name), WhyNotExamined(errno));
                continue;
            }
            if (!S_ISREG(st.st_mode)) continue;  // no longer a plain file
            e.size = st.st_size;
            e.readOnly = (st.st_mode & 0222) == 0;
            e.statted = true;
        }
        const size_t folderLength = listing->winFolder.size();
        // Every field set, the 260-character name only up to its end (the
        // name fits: see UsableAsWindowsName).
        std::memset(data, 0, offsetof(FindDataA, cFileName));
        data->cAlternateFileName[0] = '\0';
        data->dwFileAttributes = isDir ? kFileAttributeDirectory
                                       : (kFileAttributeArchive |
                                          (e.readOnly ? kFileAttributeReadonly : 0));
        if (!isDir) {
            data->nFileSizeLow = DWORD(uint64_t(e.size));
            data->nFileSizeHigh = DWORD(uint64_t(e.size) >> 32);
        }
        std::memcpy(data->cFileName, name, e.nameLength + 1u);

        lastDirFd_ = listing->dirFd;
        lastName_ = name;
        lastIsFile_ = !isDir;
        std::memcpy(lastPath_, listing->winFolder.data(), folderLength);
        std::memcpy(lastPath_ + folderLength, name, e.nameLength + 1u);
        lastPathLength_ = folderLength + e.nameLength;
        return true;
    }
    return false;
}

bool PosixPlatform::IsLastEntry(const char* path) const {
    if (!path || lastPathLength_ == 0 || lastDirFd_ < 0) return false;
    return std::strncmp(path, lastPath_, lastPathLength_ + 1) == 0;
}

HANDLE PosixPlatform::FindFirstFileA(const char* pattern, FindDataA* data) {
    const char* slash = pattern ? std::strrchr(pattern, '\\') : nullptr;
    if (!data || !slash || !DriveOf(pattern)) {
        lastError_ = kErrorPathNotFound;
        return kInvalidHandleValue;
    }
    const char* mask = slash + 1;
    const size_t folderLength = size_t(slash - pattern) + 1;
    if (folderLength >= kMaxWindowsPath) {
        lastError_ = kErrorPathNotFound;
        return kInvalidHandleValue;
    }
    static_assert(kMaxWindowsPath <= kPathBuffer, "a listed entry's path fits lastPath_");
    if (std::strlen(mask) >= sizeof(Listing::mask) || mask[0] == '\0') {
        lastError_ = kErrorFileNotFound;
        return kInvalidHandleValue;
    }
    const bool whole = std::strcmp(mask, "*") == 0 || std::strcmp(mask, "*.*") == 0;
    // The walk lists each folder twice, its files and then its subfolders,
    // both times with "*.*": what it cannot be given is told the first time.
    const bool firstPass = lastUnfitFolder_.size() != folderLength ||
                           std::memcmp(lastUnfitFolder_.data(), pattern, folderLength) != 0;
    if (firstPass) lastUnfitFolder_.assign(pattern, folderLength);

    Listing* listing = nullptr;
    // The folder pass right after the file pass of the same folder.
    if (cached_ && cached_->generation == generation_ &&
        cached_->winFolder.size() == folderLength &&
        std::memcmp(cached_->winFolder.data(), pattern, folderLength) == 0) {
        listing = cached_;
        cached_ = nullptr;
        listing->cursor = 0;
    } else {
        if (cached_) {
            ReleaseListing(cached_);
            cached_ = nullptr;
        }
        int dirFd = -1;
        std::string posixFolder;
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
        const Listing* parent = nullptr;
        if (lastIsFile_ == false && lastPathLength_ + 1 == folderLength &&
            std::memcmp(lastPath_, pattern, lastPathLength_) == 0 && lastDirFd_ >= 0) {
            for (Listing* l : openListings_)
                if (l->dirFd == lastDirFd_) parent = l;
        }
        if (parent) {
            // The folder just listed by its parent.
            dirFd = OpenOnVolume(lastDirFd_, lastName_, flags);
            posixFolder = PosixPathIn(*parent, lastName_);
        } else {
            std::string folder(pattern, folderLength);
            Located place;
            if (Locate(folder.c_str(), &place)) {
                // The drive's root is opened afresh too: a duplicate of the
                // drive's descriptor would share its read position, and a
                // second listing of the root would start where the first
                // ended, empty.
                dirFd = OpenOnVolume(place.dirFd, place.name.empty() ? "." : place.name.c_str(), flags);
                posixFolder = place.posix;
            } else {
                posixFolder = Display(folder.c_str());
            }
        }
        if (dirFd < 0) {
            const int error = errno;
            // A folder its parent just listed is there, or the listing lied.
            if ((WorthReporting(error) || (parent && error == ENOENT)) && posixFolder != lastReportedFolder_) {
                lastReportedFolder_ = posixFolder;
                Report(posixFolder, parent && error == ENOENT ? WhyNotExamined(error)
                                                              : std::string("cannot be read: ") + std::strerror(error));
            }
            lastError_ = Win32ErrorOf(error);
            return kInvalidHandleValue;
        }
        listing = NewListing();
        listing->winFolder.assign(pattern, folderLength);
        listing->posixFolder = posixFolder;
        listing->firstPass = firstPass;
        if (!FillListing(listing, dirFd)) {
            const int error = errno;
            if (posixFolder != lastReportedFolder_) {
                lastReportedFolder_ = posixFolder;
                Report(posixFolder, std::string("cannot be read: ") + std::strerror(error));
            }
            ReleaseListing(listing);
            lastError_ = Win32ErrorOf(error);
            return kInvalidHandleValue;
        }
    }
    std::strcpy(listing->mask, mask);
    listing->wholeMask = whole;
    listing->firstPass = firstPass;
    openListings_.push_back(listing);
    if (!NextEntry(listing, data)) {
        FindClose(reinterpret_cast<HANDLE>(listing));
        lastError_ = kErrorFileNotFound;
        return kInvalidHandleValue;
    }
    return reinterpret_cast<HANDLE>(listing);
}

BOOL PosixPlatform::FindNextFileA(HANDLE find, FindDataA* data) {
    Listing* listing = reinterpret_cast<Listing*>(find);
    bool known = false;
    for (Listing* l : openListings_) known = known || l == listing;
    if (!known || !data) {
        lastError_ = kErrorInvalidHandle;
        return 0;
    }
    if (NextEntry(listing, data)) return 1;
    lastError_ = kErrorNoMoreFiles;
    return 0;
}

BOOL PosixPlatform::FindClose(HANDLE find) {
    Listing* listing = reinterpret_cast<Listing*>(find);
    for (size_t i = 0; i < openListings_.size(); ++i) {
        if (openListings_[i] != listing) continue;
        openListings_.erase(openListings_.begin() + long(i));
        // A whole folder listed by its file pass serves the folder pass next.
        if (listing->wholeMask && listing->generation == generation_) {
            if (cached_) ReleaseListing(cached_);
            cached_ = listing;
        } else {
            ReleaseListing(listing);
        }
        return 1;
    }
    lastError_ = kErrorInvalidHandle;
    return 0;
}

UINT PosixPlatform::GetDriveTypeA(const char* root) {
    if (!root || !root[0] || root[1] != ':') return kDriveNoRootDir;
    if (root[2] != '\0' && !(IsSeparator(root[2]) && root[3] == '\0')) return kDriveNoRootDir;
    return DriveOf(root) ? kDriveFixed : kDriveNoRootDir;
}

// ---------------------------------------------------------------------------
// Changes to files
// ---------------------------------------------------------------------------
namespace {
// Changes the mode of the file behind a descriptor opened with O_PATH: as
// the file it names, never through a link.
int ChangeModeOf(int pathFd, mode_t mode) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", pathFd);
    if (::chmod(self, mode) == 0) return 0;
    // No /proc: no way to reach the file held without opening whatever its
    // name holds by then; nothing is changed.
    if (errno == ENOENT) errno = ENOSYS;
    return -1;
}
}  // namespace

BOOL PosixPlatform::SetFileAttributesA(const char* path, DWORD attributes) {
    if (readOnly_) {
        changeErrno_ = EACCES;
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    Located place;
    int dirFd;
    const char* name;
    if (!PlaceOf(path, &place, &dirFd, &name)) {
        changeErrno_ = errno;
        return 0;
    }
    // The file itself, held while it is checked and changed: a link put in
    // its place is never followed, whatever moment it appears.
    const int fd = OpenOnVolume(dirFd, name, O_PATH | O_NOFOLLOW);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        changeErrno_ = errno;
        lastError_ = Win32ErrorOf(errno);
        if (fd >= 0) ::close(fd);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {  // a link, a folder, a device: not the file examined
        ::close(fd);
        changeErrno_ = EACCES;
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    if (ReplacedSinceInspected(path, st)) {
        ::close(fd);
        return 0;
    }
    // Read-only is a file without write permission; taking it off gives
    // the owner write permission back.
    mode_t mode = st.st_mode & 07777;
    if (attributes & kFileAttributeReadonly)
        mode &= mode_t(~0222);
    else if ((mode & 0222) == 0)
        mode |= S_IWUSR;
    BOOL ok = 1;
    if (mode != (st.st_mode & 07777)) {
        if (!KeptBeforeChange(path, dirFd, name, st, false)) {
            ::close(fd);
            return 0;
        }
        Changed();
        if (ChangeModeOf(fd, mode) != 0) {
            changeErrno_ = errno;
            lastError_ = Win32ErrorOf(errno);
            ok = 0;
        }
    }
    ::close(fd);
    return ok;
}

int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    struct stat st;
    if (Sys().fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return ::renameat(fromDir, from, toDir, to);
}

int OpenFolderBelow(const std::string& root, const std::string& relative) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t at = 0; fd >= 0 && at < relative.size();) {
        size_t end = relative.find('/', at);
        if (end == std::string::npos) end = relative.size();
        const std::string name = relative.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == "." || name == "..") {
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(fd);
        fd = next;
        errno = error;
    }
    return fd;
}

bool PosixPlatform::BelowDrive(const Drive* drive, const std::string& posix, std::string* root,
                               std::string* relative) const {
    *root = drive ? drive->root : "";
    relative->clear();
    const std::string prefix = *root == "/" ? "/" : *root + "/";
    if (drive && posix.size() > prefix.size() && posix.compare(0, prefix.size(), prefix) == 0)
        *relative = posix.substr(prefix.size());
    return !relative->empty();
}

bool PosixPlatform::KeptBeforeReplacement(const std::string& posixPath, int oldFd, int newFd, const char* kind,
                                          const std::vector<std::string>* changes, std::string* windowsPath) {
    windowsPath->clear();
    if (!keepChanges_ || !events_) return true;
    std::string root, relative;
    const Drive* drive = nullptr;
    for (const Drive& d : drives_)
        if (d.letter == windows_.drive) drive = &d;
    struct stat st = {};
    if (!BelowDrive(drive, posixPath, &root, &relative) || (oldFd >= 0 && ::fstat(oldFd, &st) != 0)) {
        Report(posixPath, "cannot be kept before it is replaced: not found below its drive's folder; left as it is");
        return false;
    }
    *windowsPath = std::string(1, windows_.drive) + ":\\" + relative;
    std::replace(windowsPath->begin(), windowsPath->end(), '/', '\\');
    FileChange change{windowsPath->c_str(), root, relative, oldFd, st, false};
    change.newFd = newFd;
    change.kind = kind;
    change.changes = changes;
    errno = 0;
    if (events_->BeforeChange(change)) return true;
    windowsPath->clear();
    return false;
}

bool PosixPlatform::KeptBeforeChange(const char* path, int dirFd, const char* name, const struct stat& st,
                                     bool deletion) {
    if (!keepChanges_ || !events_) return true;
    const std::string posix = Display(path);
    std::string root, relative;
    BelowDrive(DriveOf(path), posix, &root, &relative);
    struct stat now;
    const int fd = relative.empty() ? -1 : OpenRegularFileAt(dirFd, name, O_RDONLY, 0, &now);
    int error = relative.empty() ? ENOENT : errno;
    bool kept = false;
    if (fd >= 0 && (now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
        error = EACCES;  // not the file checked: nothing is changed
    } else if (fd >= 0) {
        errno = 0;
        kept = events_->BeforeChange(FileChange{path, root, relative, fd, now, deletion});
        error = errno ? errno : EIO;
    } else {
        Report(posix, std::string("cannot be read to be kept before it is changed: ") + std::strerror(error) +
                          "; left as it is");
    }
    if (fd >= 0) ::close(fd);
    if (kept) return true;
    changeErrno_ = error;
    lastError_ = Win32ErrorOf(error);
    return false;
}

BOOL PosixPlatform::DeleteFileA(const char* path) {
    if (readOnly_) {
        changeErrno_ = EACCES;
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    Located place;
    int dirFd;
    const char* name;
    if (!PlaceOf(path, &place, &dirFd, &name)) {
        changeErrno_ = errno;
        return 0;
    }
    // Only a plain file is deleted; a link put in its place is refused,
    // never reported removed.
    struct stat st;
    if (Sys().fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        changeErrno_ = errno;
        lastError_ = Win32ErrorOf(errno);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        changeErrno_ = EACCES;
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    if (ReplacedSinceInspected(path, st)) return 0;
    if (!KeptBeforeChange(path, dirFd, name, st, true)) return 0;
    // Moved first to a name of the cleaner's own in the same folder, and
    // deleted there only if it is still the file checked: whatever another
    // process puts at the old name meanwhile is put back, not deleted.
    Changed();
    // The name says what the file was, should the run be killed before the
    // deletion ("setup.exe.vendrika-deleting-PID-N"); a name too long for
    // that loses its first part.
    char tail[64];
    std::snprintf(tail, sizeof tail, "%s%ld-%lu", kDeletingMark, long(::getpid()), ++deletions_);
    const std::string ownName = std::strlen(name) + std::strlen(tail) <= NAME_MAX ? name + std::string(tail) : tail;
    const char* own = ownName.c_str();
    if (RenameNoReplace(dirFd, name, dirFd, own) != 0) {
        changeErrno_ = errno;
        lastError_ = errno == EISDIR ? kErrorAccessDenied : Win32ErrorOf(errno);
        return 0;
    }
    struct stat moved;
    const bool same = Sys().fstatat(dirFd, own, &moved, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(moved.st_mode) &&
                      moved.st_dev == st.st_dev && moved.st_ino == st.st_ino;
    if (same && ::unlinkat(dirFd, own, 0) == 0) return 1;
    const int error = same ? errno : EACCES;
    RenameNoReplace(dirFd, own, dirFd, name);
    changeErrno_ = error;
    lastError_ = Win32ErrorOf(error);
    return 0;
}

BOOL PosixPlatform::MoveFileExA(const char* existing, const char* newName, DWORD flags) {
    // A deletion at the next start of Windows needs that Windows running.
    if (!newName || (flags & kMovefileDelayUntilReboot)) {
        lastError_ = kErrorNotSupported;
        return 0;
    }
    if (readOnly_) {
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    Located from, to;
    if (!Locate(existing, &from) || !Locate(newName, &to, true)) {
        lastError_ = Win32ErrorOf(errno);
        return 0;
    }
    struct stat st;
    if (from.name.empty() || to.name.empty() ||
        Sys().fstatat(from.dirFd, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    Changed();
    ForgetInspected(existing);
    ForgetInspected(newName);
    const int moved = (flags & kMovefileReplaceExisting)
                          ? ::renameat(from.dirFd, from.name.c_str(), to.dirFd, to.name.c_str())
                          : RenameNoReplace(from.dirFd, from.name.c_str(), to.dirFd, to.name.c_str());
    if (moved != 0) {
        lastError_ = Win32ErrorOf(errno);
        return 0;
    }
    return 1;
}

BOOL PosixPlatform::CopyFileA(const char* existing, const char* newName, BOOL failIfExists) {
    if (readOnly_) {
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    Located from, to;
    if (!Locate(existing, &from) || !Locate(newName, &to, true)) {
        lastError_ = Win32ErrorOf(errno);
        return 0;
    }
    if (from.name.empty() || to.name.empty()) {
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    struct stat st;
    const int in = OpenRegularFileAt(from.dirFd, from.name.c_str(), O_RDONLY, 0, &st);
    if (in < 0) {
        lastError_ = errno == EINVAL ? kErrorAccessDenied : Win32ErrorOf(errno);
        return 0;
    }
    Changed();
    ForgetInspected(newName);
    const int out = OpenRegularFileAt(to.dirFd, to.name.c_str(), O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : 0),
                                      st.st_mode & 0777);
    if (out < 0) {
        lastError_ = errno == EEXIST ? kErrorFileExists : errno == EINVAL ? kErrorAccessDenied : Win32ErrorOf(errno);
        ::close(in);
        return 0;
    }
    // Emptied only once it is known to be a plain file (it is: see above).
    bool ok = ::ftruncate(out, 0) == 0;
    std::vector<char> buffer(16384);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0 || ::write(out, buffer.data(), size_t(n)) != n) ok = false;
    }
    ::close(in);
    ok = ::close(out) == 0 && ok;
    if (!ok) lastError_ = kErrorAccessDenied;
    return ok ? 1 : 0;
}

namespace {
UINT CopyOut(const std::string& text, char* buffer, UINT size) {
    if (text.empty()) return 0;
    if (!buffer || size <= text.size()) return UINT(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return UINT(text.size());
}
}  // namespace

UINT PosixPlatform::GetWindowsDirectoryA(char* buffer, UINT size) {
    return CopyOut(windows_.windowsDir, buffer, size);
}

UINT PosixPlatform::GetSystemDirectoryA(char* buffer, UINT size) {
    return CopyOut(windows_.systemDir, buffer, size);
}

DWORD PosixPlatform::GetTempPathA(DWORD size, char* buffer) {
    if (windows_.windowsDir.empty()) return 0;
    std::string temp = windows_.windowsDir + "\\TEMP";
    std::string posix;
    struct stat st;
    if (Resolve(temp.c_str(), &posix) && ::lstat(posix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        temp += "\\";
    else
        temp = windows_.windowsDir + "\\";
    return CopyOut(temp, buffer, size);
}

// %ProgramFiles% as that Windows sets it: from the ProgramFilesDir value of
// its SOFTWARE hive ("C:\Programme" on a German XP), else the usual name.
const std::string& PosixPlatform::ProgramFilesDir(const std::string& systemDrive) {
    if (programFilesRead_) return programFiles_;
    programFilesRead_ = true;
    programFiles_ = systemDrive + "\\Program Files";
    if (windows_.family != 5 || windows_.softwareHive.empty()) return programFiles_;
    const DWORD error = lastError_;
    HKEY key = nullptr;
    if (RegOpenKeyExA(kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion", 0, kKeyRead, &key) == 0) {
        char value[kPathBuffer] = {};
        DWORD type = 0, length = sizeof value - 1;
        if (RegQueryValueExA(key, "ProgramFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(value), &length) == 0 &&
            (type == kRegSz || type == kRegExpandSz)) {
            value[length < sizeof value ? length : sizeof value - 1] = '\0';
            const size_t n = std::strlen(value);
            // A drive's path ("X:\..."), nothing that would name another place.
            if (n >= 3 && value[1] == ':' && value[2] == '\\' && !std::strchr(value, '%')) programFiles_ = value;
        }
        RegCloseKey(key);
    }
    lastError_ = error;
    return programFiles_;
}

DWORD PosixPlatform::ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) {
    if (!src) return 0;
    // The variables a start-up value uses, as the Windows on the volume sets them.
    std::string out;
    const std::string systemDrive = windows_.windowsDir.size() >= 2 ? windows_.windowsDir.substr(0, 2)
                                                                     : std::string("C:");
    for (const char* p = src; *p;) {
        if (*p == '%') {
            const char* end = std::strchr(p + 1, '%');
            if (end) {
                const std::string name(p + 1, end);
                const char* value = nullptr;
                const std::string& programFiles = ProgramFilesDir(systemDrive);
                if (!windows_.windowsDir.empty() &&
                    (crt::stricmp(name.c_str(), "SystemRoot") == 0 ||
                     crt::stricmp(name.c_str(), "windir") == 0))
                    value = windows_.windowsDir.c_str();
                else if (crt::stricmp(name.c_str(), "SystemDrive") == 0)
                    value = systemDrive.c_str();
                else if (crt::stricmp(name.c_str(), "ProgramFiles") == 0)
                    value = programFiles.c_str();
                if (value) {
                    out += value;
                    p = end + 1;
                    continue;
                }
            }
        }
        out += *p++;
    }
    const DWORD needed = DWORD(out.size() + 1);
    if (dst && size >= needed) std::memcpy(dst, out.c_str(), needed);
    return needed;
}

// ---------------------------------------------------------------------------
// Low-level file calls
// ---------------------------------------------------------------------------
int PosixPlatform::NewSlot() {
    for (int i = 0; i < int(slots_.size()); ++i)
        if (!slots_[i].used) {
            OpenSlot& s = slots_[i];
            s.used = true;
            s.writable = s.append = s.readFailed = false;
            s.fd = -1;
            s.size = s.position = s.cacheOffset = 0;
            s.cacheLength = -1;
            return i;
        }
    return -1;
}

PosixPlatform::OpenSlot* PosixPlatform::Slot(int fd) {
    const int i = fd - kFirstFd;
    if (i < 0 || i >= int(slots_.size()) || !slots_[i].used) return nullptr;
    return &slots_[i];
}

int PosixPlatform::_open(const char* path, int flags, int mode) {
    const int access = flags & (kOWronly | kORdwr);
    const bool writing = access != kORdonly || (flags & (kOCreat | kOTrunc | kOAppend));
    if (writing && readOnly_) {
        crtErrno_ = kEACCES;
        return -1;
    }
    const int slot = NewSlot();
    if (slot < 0) {
        crtErrno_ = kEMFILE;
        return -1;
    }
    OpenSlot& s = slots_[slot];
    const bool entry = IsLastEntry(path);
    int oflags = access == kOWronly ? O_WRONLY : access == kORdwr ? O_RDWR : O_RDONLY;
    if (flags & kOCreat) oflags |= O_CREAT;
    if (flags & kOTrunc) oflags |= O_TRUNC;
    if (flags & kOExcl) oflags |= O_EXCL;
    if (flags & kOAppend) oflags |= O_APPEND;
    const mode_t perm = (mode & kSIwrite) ? 0666 : 0444;
    Located place;
    int fd = -1;
    struct stat st;
    // Only a regular file is ever opened: a device or a pipe planted at the
    // hosts file's name, say, is refused before any open could reach it.
    if (entry) {
        fd = OpenRegularFileAt(lastDirFd_, lastName_, oflags, perm, &st);
    } else if (Locate(path, &place, (flags & kOCreat) != 0)) {
        if (place.name.empty())
            errno = EISDIR;
        else
            fd = OpenRegularFileAt(place.dirFd, place.name.c_str(), oflags, perm, &st);
    }
    if (fd < 0) {
        const int error = errno;
        s.used = false;
        crtErrno_ = CrtErrnoOf(error == EINVAL ? EACCES : error);
        if (!writing && (WorthReporting(error) || (entry && error == ENOENT)))
            Report(entry || place.posix.empty() ? Display(path) : place.posix,
                   error == EINVAL   ? std::string("not a regular file (a device, pipe or socket); not opened")
                   : error == ENOENT ? WhyNotExamined(error)
                                     : std::string("cannot be read: ") + std::strerror(error));
        return -1;
    }
    if (readOnly_ && !writing && found_.count({uint64_t(st.st_dev), uint64_t(st.st_ino)})) {
        ::close(fd);  // found already, and unchanged since: nothing to tell twice
        s.used = false;
        crtErrno_ = kENOENT;
        return -1;
    }
    s.windowsPath.assign(path);
    if (writing) Changed();
    if (writing)
        ForgetInspected(path);
    else
        Inspected(path, st);
    ++filesOpened;
    s.fd = fd;
    s.size = st.st_size;
    s.writable = writing;
    s.append = (flags & kOAppend) != 0;
    return kFirstFd + slot;
}

void PosixPlatform::Inspected(const char* windowsPath, const struct stat& st) {
    InspectedFile& slot = inspected_[inspectedNext_++ % (sizeof inspected_ / sizeof inspected_[0])];
    slot.windowsPath.assign(windowsPath);
    slot.device = uint64_t(st.st_dev);
    slot.inode = uint64_t(st.st_ino);
}

void PosixPlatform::ForgetInspected(const char* windowsPath) {
    for (InspectedFile& f : inspected_)
        if (!f.windowsPath.empty() && windowsPath && crt::stricmp(f.windowsPath.c_str(), windowsPath) == 0)
            f.windowsPath.clear();
}

// Another file put at the name since it was read (by anybody who may write
// the volume) is not the one the scan found: it is left alone, and told.
bool PosixPlatform::ReplacedSinceInspected(const char* windowsPath, const struct stat& st) {
    const InspectedFile* read = nullptr;
    const size_t count = sizeof inspected_ / sizeof inspected_[0];
    for (size_t i = 1; i <= count && !read; ++i) {  // the latest first
        const InspectedFile& f = inspected_[(inspectedNext_ + count - i) % count];
        if (!f.windowsPath.empty() && windowsPath && crt::stricmp(f.windowsPath.c_str(), windowsPath) == 0)
            read = &f;
    }
    if (!read || (read->device == uint64_t(st.st_dev) && read->inode == uint64_t(st.st_ino))) return false;
    changeErrno_ = ESTALE;
    lastError_ = kErrorAccessDenied;
    Report(Display(windowsPath), "replaced by another file since it was examined: that file is not the one "
                                 "found infected; left as it is");
    return true;
}

void PosixPlatform::MarkFound(const char* windowsPath) {
    const DWORD error = lastError_;  // the core's own, as it left it
    const int savedErrno = errno;
    struct Restore {
        DWORD& to;
        DWORD value;
        int saved;
        ~Restore() { to = value, errno = saved; }
    } restore{lastError_, error, savedErrno};
    Located place;
    int dirFd;
    const char* name;
    struct stat st;
    if (!windowsPath || !PlaceOf(windowsPath, &place, &dirFd, &name) ||
        Sys().fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return;
    found_.insert({uint64_t(st.st_dev), uint64_t(st.st_ino)});
}

int32_t PosixPlatform::_lseek(int fd, int32_t offset, int origin) {
    OpenSlot* s = Slot(fd);
    if (!s) {
        crtErrno_ = kEBADF;
        return -1;
    }
    int64_t base;
    switch (origin) {
        case kSeekSet: base = 0; break;
        case kSeekCur: base = s->position; break;
        case kSeekEnd: base = s->writable ? int64_t(_filelength(fd)) : s->size; break;
        default: crtErrno_ = kEINVAL; return -1;
    }
    const int64_t target = base + offset;
    if (target < 0 || target > INT32_MAX) {
        crtErrno_ = kEINVAL;
        return -1;
    }
    s->position = target;
    return int32_t(target);
}

// A file that opens but cannot be read (a bad block) is no clean file:
// told once, as every reader takes the failure for "not a PE file".
void PosixPlatform::ReadFailed(OpenSlot* s, int error) {
    crtErrno_ = kEACCES;
    if (s->readFailed) return;
    s->readFailed = true;
    Report(Display(s->windowsPath.c_str()), std::string("cannot be read: ") + std::strerror(error));
}

int PosixPlatform::_read(int fd, void* buffer, unsigned count) {
    OpenSlot* s = Slot(fd);
    if (!s || !buffer || count > INT_MAX) {
        crtErrno_ = s ? kEINVAL : kEBADF;
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    // Header reads are small and close together: one read-ahead serves them.
    if (count <= kReadAhead) {
        if (s->position >= s->cacheOffset && s->cacheLength >= 0 &&
            s->position + count <= s->cacheOffset + s->cacheLength) {
            std::memcpy(out, s->cache + (s->position - s->cacheOffset), count);
            s->position += count;
            return int(count);
        }
        const ssize_t n = ::pread(s->fd, s->cache, kReadAhead, s->position);
        if (n < 0) {
            s->cacheLength = -1;
            ReadFailed(s, errno);
            return -1;
        }
        s->cacheOffset = s->position;
        s->cacheLength = n;
        const unsigned got = unsigned(n) < count ? unsigned(n) : count;
        std::memcpy(out, s->cache, got);
        s->position += got;
        return int(got);
    }
    const ssize_t n = ::pread(s->fd, out, count, s->position);
    if (n < 0) {
        ReadFailed(s, errno);
        return -1;
    }
    s->position += n;
    return int(n);
}

int PosixPlatform::_write(int fd, const void* buffer, unsigned count) {
    OpenSlot* s = Slot(fd);
    if (!s || !s->writable || count > INT_MAX) {
        crtErrno_ = kEBADF;
        return -1;
    }
    s->cacheLength = -1;
    ssize_t n;
    if (s->append) {
        n = ::write(s->fd, buffer, count);
        if (n >= 0) s->position = ::lseek(s->fd, 0, SEEK_END);
    } else {
        n = ::pwrite(s->fd, buffer, count, s->position);
        if (n > 0) s->position += n;
    }
    if (n < 0) {
        crtErrno_ = CrtErrnoOf(errno);
        return -1;
    }
    return int(n);
}

int32_t PosixPlatform::_filelength(int fd) {
    OpenSlot* s = Slot(fd);
    if (!s) {
        crtErrno_ = kEBADF;
        return -1;
    }
    int64_t size = s->size;
    if (s->writable) {
        struct stat st;
        if (::fstat(s->fd, &st) != 0) return -1;
        size = st.st_size;
    }
    return size > INT32_MAX ? -1 : int32_t(size);
}

int PosixPlatform::_close(int fd) {
    OpenSlot* s = Slot(fd);
    if (!s) {
        crtErrno_ = kEBADF;
        return -1;
    }
    const int result = ::close(s->fd);
    s->used = false;
    return result == 0 ? 0 : -1;
}

int PosixPlatform::_access(const char* path, int mode) {
    Located place;
    if (!Locate(path, &place)) {
        crtErrno_ = CrtErrnoOf(errno);
        return -1;
    }
    int how = F_OK;
    if (mode & 2) how |= W_OK;
    if (mode & 4) how |= R_OK;
    if (::faccessat(place.dirFd, place.name.empty() ? "." : place.name.c_str(), how,
                    AT_SYMLINK_NOFOLLOW) != 0) {
        crtErrno_ = CrtErrnoOf(errno);
        return -1;
    }
    return 0;
}

// Streams: the whole file is read at open (wininit.ini is small); text
// mode turns each carriage return and line feed into a line feed.
FILE_STREAM PosixPlatform::fopen(const char* path, const char* mode) {
    if (!mode || mode[0] != 'r' || std::strchr(mode, '+')) {
        crtErrno_ = kEINVAL;
        return nullptr;
    }
    const int fd = _open(path, kORdonly | kOBinary, 0);
    if (fd < 0) return nullptr;
    auto stream = std::make_unique<Stream>();
    char buffer[16384];
    for (;;) {
        const int n = _read(fd, buffer, sizeof buffer);
        if (n < 0) {
            _close(fd);
            return nullptr;
        }
        if (n == 0) break;
        stream->data.append(buffer, size_t(n));
        if (stream->data.size() > (64u << 20)) break;  // far beyond any wininit.ini
    }
    _close(fd);
    if (!std::strchr(mode, 'b')) {
        std::string text;
        for (size_t i = 0; i < stream->data.size(); ++i) {
            if (stream->data[i] == '\r' && i + 1 < stream->data.size() && stream->data[i + 1] == '\n')
                continue;
            text += stream->data[i];
        }
        stream->data.swap(text);
    }
    streams_.push_back(std::move(stream));
    return reinterpret_cast<FILE_STREAM>(streams_.back().get());
}

char* PosixPlatform::fgets(char* buffer, int size, FILE_STREAM stream) {
    Stream* s = nullptr;
    for (auto& st : streams_)
        if (reinterpret_cast<FILE_STREAM>(st.get()) == stream) s = st.get();
    if (!s || !buffer || size <= 0 || s->position >= s->data.size()) return nullptr;
    int n = 0;
    while (n < size - 1 && s->position < s->data.size()) {
        const char c = s->data[s->position++];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return buffer;
}

int PosixPlatform::fclose(FILE_STREAM stream) {
    for (size_t i = 0; i < streams_.size(); ++i)
        if (reinterpret_cast<FILE_STREAM>(streams_[i].get()) == stream) {
            streams_.erase(streams_.begin() + long(i));
            return 0;
        }
    return -1;
}

// ---------------------------------------------------------------------------
// Process-wide
// ---------------------------------------------------------------------------
void* PosixPlatform::GlobalAlloc(UINT flags, size_t bytes) {
    void* block = (flags & kGmemZeroinit) ? std::calloc(1, bytes ? bytes : 1)
                                          : std::malloc(bytes ? bytes : 1);
    if (!block) lastError_ = kErrorNotEnoughMemory;
    return block;
}

void* PosixPlatform::GlobalFree(void* block) {
    std::free(block);
    return nullptr;
}

// Nothing runs on the volume, so there is nothing to wait for.
void PosixPlatform::Sleep(DWORD) {}

DWORD PosixPlatform::GetTickCount() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return DWORD(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

void PosixPlatform::exit(int code) {
    std::fflush(nullptr);
    std::exit(code);
}

BOOL PosixPlatform::GetVersionExA(OsVersionInfoA* info) {
    if (!info || windows_.family == 0) {
        lastError_ = kErrorNotSupported;
        return 0;
    }
    const DWORD size = info->dwOSVersionInfoSize;
    std::memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = size;
    info->dwPlatformId = windows_.family == 4 ? kVerPlatformWin32Windows : kVerPlatformWin32Nt;
    info->dwMajorVersion = windows_.major;
    info->dwMinorVersion = windows_.minor;
    return 1;
}

DWORD PosixPlatform::GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

// The names this platform gives are the mount's own, UTF-8, converted to
// nothing: the ANSI code page is answered as Windows answers for UTF-8
// (65001): up to four bytes a character and no lead bytes, since no byte of
// a longer UTF-8 character is an ASCII letter or a backslash.
BOOL PosixPlatform::GetCPInfo(UINT codePage, CpInfo* info) {
    constexpr UINT kCpUtf8 = 65001;
    if (!info || (codePage != kCpAcp && codePage != kCpUtf8)) {
        lastError_ = kErrorInvalidParameter;
        return 0;
    }
    std::memset(info, 0, sizeof *info);
    info->MaxCharSize = 4;
    info->DefaultChar[0] = '?';
    return 1;
}

int PosixPlatform::WideCharToMultiByte(UINT, DWORD, const WCHAR* wide, int wideCount, char* out,
                                       int outSize, const char*, BOOL* usedDefault) {
    if (!wide) return 0;
    if (usedDefault) *usedDefault = 0;
    int count = wideCount;
    if (count < 0) {
        count = 0;
        while (wide[count]) ++count;
        ++count;  // the terminator too
    }
    if (outSize == 0) return count;
    if (!out || outSize < count) {
        lastError_ = kErrorInsufficientBuffer;
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        const WCHAR c = wide[i];
        out[i] = c < 0x80 ? char(c) : '?';
        if (c >= 0x80 && usedDefault) *usedDefault = 1;
    }
    return count;
}

}  // namespace pf::posix

namespace pf::posix {
namespace {
// A POSIX path below a drive's folder as that drive's Windows path.
std::string WindowsPathOf(char letter, const std::string& root, const std::string& posix) {
    std::string rest = posix.substr(root == "/" ? 0 : root.size());
    for (char& c : rest)
        if (c == '/') c = '\\';
    return std::string(1, letter) + ":" + rest;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Every entry of `folder` named `name` in any letter case (links too; the
// callers' checks refuse them), the exact spelling first, at most `limit`.
std::vector<std::string> SpellingsOf(const std::string& folder, const char* name, size_t limit = 16) {
    std::vector<std::string> found;
    const std::string base = folder == "/" ? std::string() : folder;
    const int fd = OpenOnVolume(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) ::close(fd);
        return found;
    }
    bool exact = false;
    while (struct dirent* e = ::readdir(dir)) {
        if (crt::stricmp(e->d_name, name) != 0) continue;
        if (std::strcmp(e->d_name, name) == 0) {
            exact = true;
            continue;
        }
        if (found.size() < limit) found.push_back(base + "/" + e->d_name);
    }
    ::closedir(dir);
    if (exact) found.insert(found.begin(), base + "/" + name);
    return found;
}
}  // namespace

int OpenParentBelow(const std::string& root, const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (root.empty() || slash == std::string::npos || path.compare(0, root.size(), root) != 0 ||
        (root != "/" && path.size() > root.size() && path[root.size()] != '/')) {
        errno = ENOENT;
        return -1;
    }
    int fd = OpenOnVolume(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY);
    size_t at = root == "/" ? 0 : root.size();
    while (fd >= 0 && at < slash) {
        while (at < slash && path[at] == '/') ++at;
        size_t end = path.find('/', at);
        if (end == std::string::npos || end > slash) end = slash;
        if (end == at) break;
        const std::string part = path.substr(at, end - at);
        const int next = OpenOnVolume(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fd = next;
        at = end;
    }
    return fd;
}

namespace {
// The drive letter a path such as "D:\\WINDOWS" begins with; 0 when it is
// no such path.
char LetterOf(const std::string& path) {
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\') return 0;
    const char letter = crt::ToUpper(path[0]);
    return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

// The letter a 95/98/Me Windows gives the drive of its folder: MSDOS.SYS at
// the drive's root, a text file ("[Paths]" ... "WinDir=C:\\WINDOWS"); 0 when
// it cannot be read or tells none.
char WinDirLetterOf(const std::string& root) {
    for (const std::string& path : SpellingsOf(root, "MSDOS.SYS")) {
        const int dirFd = OpenParentBelow(root, path);
        if (dirFd < 0) continue;
        const int fd = OpenRegularFileAt(dirFd, path.substr(path.find_last_of('/') + 1).c_str(), O_RDONLY);
        ::close(dirFd);
        if (fd < 0) continue;
        std::string text(64 * 1024, '\0');  // the real one holds about 2 KB
        const ssize_t n = ::read(fd, &text[0], text.size());
        ::close(fd);
        if (n <= 0) continue;
        text.resize(size_t(n));
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find_first_of("\r\n", at);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line.size() > 7 && crt::strnicmp(line.c_str(), "WinDir=", 7) == 0)
                return LetterOf(line.substr(7));
        }
    }
    return 0;
}
}  // namespace

// Every Windows folder on the drive, the one that wins first. A Windows
// folder wins by what it holds: a SOFTWARE hive in System32\config, else
// SYSTEM.DAT, else a System32\config without a hive. Every spelling of
// every name is looked at, so an empty decoy in another letter case cannot
// hide the real one; each folder counts once, by the best it holds.
std::vector<WindowsInstall> PosixPlatform::FindEveryWindows(PosixPlatform& platform, char letter) {
    std::vector<std::pair<int, WindowsInstall>> found;  // rank, install
    const std::string root = platform.DriveRoot(letter);
    if (root.empty()) return {};
    for (const char* folder : {"Windows", "WINNT"}) {
        for (const std::string& windows : SpellingsOf(root, folder)) {
            if (!IsFolder(windows)) continue;
            const std::string windowsDir = WindowsPathOf(letter, root, windows);
            int bestRank = 0;
            WindowsInstall best;
            // The NT family keeps its hives in System32\config.
            for (const std::string& system : SpellingsOf(windows, "System32")) {
                if (!IsFolder(system)) continue;
                for (const std::string& config : SpellingsOf(system, "config")) {
                    if (!IsFolder(config)) continue;
                    std::string hive;
                    for (const std::string& h : SpellingsOf(config, "SOFTWARE"))
                        if (hive.empty() && IsFile(h)) hive = h;
                    const int rank = hive.empty() ? 1 : 3;
                    if (rank <= bestRank) continue;
                    bestRank = rank;
                    best = WindowsInstall();
                    best.family = 5;
                    best.drive = letter;
                    best.windowsDir = windowsDir;
                    best.systemDir = WindowsPathOf(letter, root, system);
                    best.softwareHive = hive;
                    // Without a readable hive the generation is unknown: the
                    // newest the cleaner knows nothing particular about.
                    best.major = 6;
                    best.minor = 0;
                    std::string systemRoot;
                    if (!hive.empty()) ReadNtVersion(root, hive, &best.major, &best.minor, &systemRoot);
                    best.ownLetter = LetterOf(systemRoot);
                }
            }
            // The 95/98/Me family keeps SYSTEM.DAT in the Windows folder.
            bool systemDat = false;
            for (const std::string& dat : SpellingsOf(windows, "SYSTEM.DAT"))
                systemDat = systemDat || IsFile(dat);
            if (systemDat && bestRank < 2) {
                bestRank = 2;
                best = WindowsInstall();
                best.family = 4;
                best.drive = letter;
                best.major = 4;
                best.minor = 10;
                best.windowsDir = windowsDir;
                best.systemDir = windowsDir + "\\SYSTEM";
                for (const std::string& system : SpellingsOf(windows, "SYSTEM"))
                    if (IsFolder(system)) {
                        best.systemDir = WindowsPathOf(letter, root, system);
                        break;
                    }
                best.ownLetter = WinDirLetterOf(root);
            }
            if (bestRank > 0) found.emplace_back(bestRank, best);
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const std::pair<int, WindowsInstall>& a, const std::pair<int, WindowsInstall>& b) {
                         return a.first > b.first;
                     });
    std::vector<WindowsInstall> every;
    for (auto& f : found) every.push_back(f.second);
    return every;
}

WindowsInstall PosixPlatform::FindWindows(PosixPlatform& platform, char letter) {
    std::vector<WindowsInstall> every = FindEveryWindows(platform, letter);
    return every.empty() ? WindowsInstall() : every.front();
}

}  // namespace pf::posix
