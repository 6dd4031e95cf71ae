// Short (8.3) names and wininit.ini of the POSIX platform.
//
// The 95/98/Me family deletes a file at its next start only through an entry
// of wininit.ini, read in real mode, where only short names are understood.
// Linux shows the long names; the short ones are in the FAT directories. They
// are read here from the volume behind the mount: the block device of a
// kernel mount, or the image or device a FUSE driver holds open. A short name
// is believed only where the FAT directories lead, name by name, to the very
// file that is mounted (same long names, same length); anything else gives no
// short name, and the caller tells the user to delete the file by hand.
//
// Everything read here comes from a volume the malware controlled: each size,
// cluster number and chain is checked, and every walk is bounded.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/crt.h"
#include "platform/posix/fat_volume.h"
#include "platform/posix/posix_internal.h"

namespace pf::posix {
namespace {

using fat::FatEntry;
using fat::FatVolume;
using fat::ReadAt;

constexpr DWORD kErrorFileNotFoundHere = 2;
constexpr size_t kMaxWininitBytes = 1u << 20;

// The one entry a name as Linux shows it stands for: its long name, or its
// short name where it has none (a lower-case 8.3 name has no long one).
const FatEntry* EntryNamed(const std::vector<FatEntry>& entries, const std::string& name) {
    const FatEntry* found = nullptr;
    for (const FatEntry& e : entries) {
        const std::string& shown = e.longName.empty() ? e.shortName : e.longName;
        if (crt::stricmp(shown.c_str(), name.c_str()) != 0) continue;
        if (found) return nullptr;  // two: no telling which
        found = &e;
    }
    return found;
}

// A short name wininit.ini can carry and DOS reads back as this entry: the
// characters 8.3 names may hold (no separator, blank, control or lower-case
// letter that would make another line, path or name of it), and no other
// entry of the folder called so by either of its names.
bool UsableShortName(const std::vector<FatEntry>& entries, const FatEntry& entry) {
    const std::string& name = entry.shortName;
    const size_t dot = name.find('.');
    const size_t baseLength = dot == std::string::npos ? name.size() : dot;
    if (baseLength == 0 || baseLength > 8 || (dot != std::string::npos && name.size() - dot - 1 > 3)) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (i == dot) continue;
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80 ||
                             std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
        if (!allowed || c == 0) return false;
    }
    for (const FatEntry& other : entries) {
        if (&other == &entry) continue;
        if (crt::stricmp(other.shortName.c_str(), name.c_str()) == 0 ||
            crt::stricmp(other.longName.c_str(), name.c_str()) == 0)
            return false;
    }
    return true;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Mount {
    std::string root;        // the folder of the file system mounted there
    std::string mountPoint;
    std::string type;
    std::string source;
};

// The mount holding `folder` (an absolute path without links), by device.
bool MountOf(const std::string& folder, dev_t device, Mount* mount) {
    std::ifstream in("/proc/self/mountinfo");
    bool found = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, options, field;
        fields >> id >> parent >> numbers >> root >> point >> options;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        unsigned major = 0, minor = 0;
        if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) != 2 ||
            makedev(major, minor) != device)
            continue;
        point = Unescape(point);
        const bool below = point == "/" || folder == point ||
                           (folder.compare(0, point.size(), point) == 0 && folder[point.size()] == '/');
        // Of mounts over one another the last one listed is the one seen.
        if (below && (!found || point.size() >= mount->mountPoint.size())) {
            *mount = Mount{Unescape(root), point, type, Unescape(source)};
            found = true;
        }
    }
    return found;
}

// What a FUSE driver reads its volume from: the files and devices held open
// by the processes that hold /dev/fuse.
std::vector<std::string> FuseBackings() {
    std::vector<std::string> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (struct dirent* p = ::readdir(proc)) {
        if (p->d_name[0] < '1' || p->d_name[0] > '9') continue;
        const std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (!dir) continue;
        std::vector<std::string> held;
        bool fuse = false;
        while (struct dirent* f = ::readdir(dir)) {
            if (f->d_name[0] == '.') continue;
            const std::string link = fds + "/" + f->d_name;
            char target[PATH_MAX];
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (std::strcmp(target, "/dev/fuse") == 0) {
                fuse = true;
                continue;
            }
            struct stat st;
            if (held.size() < 16 && ::stat(link.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
                held.push_back(link);
        }
        ::closedir(dir);
        if (fuse) found.insert(found.end(), held.begin(), held.end());
        if (found.size() > 64) break;
    }
    ::closedir(proc);
    return found;
}

}  // namespace

namespace {
// Whether the options of a mount (comma-separated) hold `option`.
bool HasOption(const std::string& options, const char* option) {
    std::istringstream in(options);
    for (std::string o; std::getline(in, o, ',');)
        if (o == option) return true;
    return false;
}

// The mount of a drive's folder with its per-mount options in `options`.
bool MountOfFolder(const std::string& folder, Mount* mount, std::string* options) {
    char* real = ::realpath(folder.c_str(), nullptr);
    if (!real) return false;
    const std::string path = real;
    std::free(real);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !MountOf(path, st.st_dev, mount)) return false;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, opts;
        fields >> id >> parent >> numbers >> root >> point >> opts;
        if (Unescape(point) == mount->mountPoint) *options = opts;  // the last one listed is the one seen
    }
    return true;
}

}  // namespace

std::string PosixPlatform::AccessTimesNotKept(char letter) const {
    const std::string root = DriveRoot(letter);
    Mount mount;
    std::string options;
    if (root.empty() || !MountOfFolder(root, &mount, &options)) return std::string();
    // A kernel file system keeps the times itself and honours O_NOATIME; a
    // FUSE driver keeps them in its own process, and ntfs-3g updates them as
    // files are read whatever the reader asks, unless mounted so.
    if (mount.type.compare(0, 4, "fuse") != 0 || HasOption(options, "ro") || HasOption(options, "noatime"))
        return std::string();
    return root + " is a FUSE mount (" + mount.type + ", " + mount.source +
           ") whose driver keeps the access times itself and may update them as files are read (ntfs-3g "
           "does, whatever a reader asks): to keep them, mount it read-only or with -o noatime";
}

// The short form of a whole path, as Windows gives it; it fails when any of
// its names cannot be read from the volume behind the mount.
DWORD PosixPlatform::GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) {
    const Drive* drive = DriveOf(longPath);
    std::string posix;
    struct stat file;
    if (!drive || !Resolve(longPath, &posix) || ::lstat(posix.c_str(), &file) != 0 ||
        !S_ISREG(file.st_mode)) {
        lastError_ = kErrorFileNotFoundHere;
        return 0;
    }
    lastError_ = kErrorFileNotFoundHere;
    char* real = ::realpath(drive->root.c_str(), nullptr);
    if (!real) return 0;
    const std::string root = real;
    std::free(real);
    struct stat rootStat;
    Mount mount;
    if (::stat(root.c_str(), &rootStat) != 0 || !MountOf(root, rootStat.st_dev, &mount)) return 0;
    // The folders from the file system's top to the drive, then the path.
    std::vector<std::string> above = Components(mount.root);
    for (const std::string& c : Components(root.substr(mount.mountPoint == "/" ? 0 : mount.mountPoint.size())))
        above.push_back(c);
    const std::string rootPosix = drive->root == "/" ? std::string() : drive->root;
    const std::vector<std::string> below = Components(posix.substr(rootPosix.size()));
    if (below.empty()) return 0;

    std::vector<std::string> backings;
    if (mount.type == "vfat" || mount.type == "msdos" || mount.type == "fuseblk")
        backings.push_back(mount.source);
    if (mount.type.compare(0, 4, "fuse") == 0)
        for (const std::string& b : FuseBackings()) backings.push_back(b);

    for (const std::string& backing : backings) {
        const int fd = OpenOnVolume(AT_FDCWD, backing.c_str(), O_RDONLY);
        if (fd < 0) continue;
        FatVolume volume;
        std::string shortForm(1, drive->letter);
        shortForm += ':';
        bool ok = volume.Open(fd);
        uint32_t cluster = ok ? volume.RootCluster() : 0;
        const size_t total = above.size() + below.size();
        for (size_t i = 0; ok && i < total; ++i) {
            const bool last = i + 1 == total;
            const std::string& name = i < above.size() ? above[i] : below[i - above.size()];
            std::vector<FatEntry> entries;
            const FatEntry* e = volume.List(cluster, &entries) ? EntryNamed(entries, name) : nullptr;
            // The same kind of entry, and for the file the same length.
            ok = e && e->folder == !last && (!last || e->size == uint64_t(file.st_size)) &&
                 (last || e->cluster != 0);
            if (!ok) break;
            if (i >= above.size()) {
                ok = UsableShortName(entries, *e);
                if (!ok) break;
                shortForm += "\\" + e->shortName;
            }
            cluster = e->cluster;
        }
        ::close(fd);
        if (!ok) continue;
        lastError_ = 0;
        if (!shortPath || size <= shortForm.size()) return DWORD(shortForm.size() + 1);
        std::memcpy(shortPath, shortForm.c_str(), shortForm.size() + 1);
        return DWORD(shortForm.size());
    }
    return 0;
}

// wininit.ini of the 95/98/Me Windows: the entry at the end of its [rename]
// section, every other byte as it was. The new content goes to a new file
// in the Windows folder (opened without links), flushed, then renamed over
// the old one; nothing is copied anywhere else.
bool PosixPlatform::RewriteWininit(const std::function<std::string(const std::string&)>& edit,
                                   std::string* why) {
    if (readOnly_) {
        *why = "report-only";
        return false;
    }
    // Written only under the lock a removing run takes on the Windows folder
    // (LockRegistry): two runs would each add their entry to the same old
    // content, and the last one's file would lose the other's.
    std::string lockWhy;
    if (windows_.family != 4 || !LockRegistry(&lockWhy) || !registryLocked_) {
        *why = windows_.family != 4 ? std::string("not a 95/98/Me Windows")
               : lockWhy.empty()    ? std::string("the Windows folder cannot be found or locked")
                                    : lockWhy;
        return false;
    }
    const int dirFd = ::fcntl(registryFd_, F_DUPFD_CLOEXEC, 0);
    if (dirFd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    // Its name in any letter case.
    std::string name;
    if (DIR* dir = ::fdopendir(OpenOnVolume(dirFd, ".", O_RDONLY | O_DIRECTORY))) {
        while (struct dirent* e = ::readdir(dir))
            if (crt::stricmp(e->d_name, "wininit.ini") == 0) name = e->d_name;
        ::closedir(dir);
    }
    std::string old;
    struct stat st = {};
    bool exists = false;
    if (!name.empty()) {
        // Only a regular file is opened: a device or pipe at its name never.
        const int in = OpenRegularFileAt(dirFd, name.c_str(), O_RDONLY, 0, &st);
        if (in < 0 || size_t(st.st_size) > kMaxWininitBytes) {
            *why = in < 0 && errno != EINVAL ? std::strerror(errno) : "not a plain file of a sensible size";
            if (in >= 0) ::close(in);
            ::close(dirFd);
            return false;
        }
        old.resize(size_t(st.st_size));
        const bool read = ReadAt(in, 0, &old[0], old.size());
        ::close(in);
        if (!read) {
            *why = "it cannot be read";
            ::close(dirFd);
            return false;
        }
        exists = true;
    } else {
        name = "WININIT.INI";
    }

    const std::string content = edit(old);

    // A name no earlier run can have left: tried until one is free.
    std::string temp;
    int out = -1;
    for (int i = 0; i < 100 && out < 0; ++i) {
        char candidate[16];
        std::snprintf(candidate, sizeof candidate, "WININIT.V%02d", i);
        out = OpenOnVolume(dirFd, candidate, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                           exists ? (st.st_mode & 0777) : 0644);
        if (out >= 0) temp = candidate;
        else if (errno != EEXIST) break;
    }
    if (out < 0) {
        *why = std::string("a new file cannot be made beside it: ") + std::strerror(errno);
        ::close(dirFd);
        return false;
    }
    bool ok = true;
    for (size_t at = 0; ok && at < content.size();) {
        const ssize_t n = ::write(out, content.data() + at, content.size() - at);
        ok = n > 0;
        if (ok) at += size_t(n);
    }
    if (!ok) *why = std::string("the new file cannot be written: ") + std::strerror(errno);
    if (ok && Sys().fsync(out) != 0) {
        ok = false;
        *why = std::string("the new file cannot be flushed: ") + std::strerror(errno);
    }
    // What it held (or that there was none) is kept before it is replaced.
    std::string keptAs;
    if (ok) {
        const int oldFd = exists ? OpenRegularFileAt(dirFd, name.c_str(), O_RDONLY) : -1;
        struct stat now;
        if (exists && (oldFd < 0 || ::fstat(oldFd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
            ok = false;
            *why = "it was replaced while it was read";
        } else if (!KeptBeforeReplacement(Display(windows_.windowsDir.c_str()) + "/" + name, oldFd, out, "wininit",
                                          nullptr, &keptAs)) {
            ok = false;
            *why = "it cannot be kept in the quarantine";
        }
        if (oldFd >= 0) ::close(oldFd);
    }
    ::close(out);
    if (ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        ok = false;
        *why = std::string("it cannot be replaced: ") + std::strerror(errno);
    }
    if (!keptAs.empty()) events_->AfterReplacement(keptAs.c_str(), ok);
    if (!ok) ::unlinkat(dirFd, temp.c_str(), 0);
    if (ok) Sys().fsync(dirFd);
    ::close(dirFd);
    Changed();
    return ok;
}

}  // namespace pf::posix
