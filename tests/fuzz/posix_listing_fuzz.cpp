// Builds a real folder tree from the input (names of any bytes a Linux file
// system takes, 1 to 255 of them, folders nested as deep as the input says)
// and walks it with the scan's own walk through the POSIX platform, report
// only. Every file whose Windows path the walk can hold is scanned, and its
// Windows path maps back onto it; every entry it cannot hold (too long, a
// backslash in its name) is reported exactly once; nothing else is. Any
// crash, overrun or other outcome stops the fuzzer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "engine/walk.h"
#include "platform/posix/posix_platform.h"

namespace {

struct Node {
    std::string name;
    bool folder;
    int parent;  // -1: the drive's root
    int fd;      // folders only, while building
};

struct Problems : pf::posix::Events {
    std::map<std::string, int> told;
    void Problem(const std::string& what, const std::string&) override { ++told[what]; }
};

void RemoveTree(int dirFd) {
    // Depth first, by descriptor: the tree may be deeper than PATH_MAX.
    for (;;) {
        const int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY);
        DIR* dir = fdopendir(listFd);
        if (!dir) std::abort();
        std::vector<std::string> names;
        while (struct dirent* e = readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(dir);
        if (names.empty()) return;
        for (const std::string& n : names) {
            if (unlinkat(dirFd, n.c_str(), 0) == 0) continue;
            const int child = openat(dirFd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (child < 0) std::abort();
            RemoveTree(child);
            close(child);
            if (unlinkat(dirFd, n.c_str(), AT_REMOVEDIR) != 0) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char name[] = "/tmp/cv-listing-fuzz.XXXXXX";
    static const std::string base = [] {
        if (!mkdtemp(name)) std::abort();
        std::atexit([] { rmdir(name); });  // emptied after every input
        return std::string(name);
    }();
    const int rootFd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    if (rootFd < 0) std::abort();

    // Each step: a kind byte (file, folder and go in, come out, folder), a
    // length byte, the name's bytes.
    std::vector<Node> nodes;
    int current = -1;
    size_t at = 0;
    while (at + 2 <= size && nodes.size() < 48) {
        const uint8_t kind = data[at] & 3;
        const size_t length = 1 + data[at + 1] % 255;
        at += 2;
        if (kind == 2) {
            if (current >= 0) current = nodes[size_t(current)].parent;
            continue;
        }
        std::string name;
        for (size_t i = 0; i < length; ++i) {
            const char c = at < size ? char(data[at++]) : 'n';
            name += (c == '/' || c == '\0') ? 'x' : c;
        }
        if (name == "." || name == "..") name += 'x';
        const int parentFd = current < 0 ? rootFd : nodes[size_t(current)].fd;
        Node node{name, kind != 0, current, -1};
        if (node.folder) {
            if (mkdirat(parentFd, name.c_str(), 0755) != 0) continue;
            node.fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (node.fd < 0) std::abort();
        } else {
            const int fd = openat(parentFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0) continue;
            if (write(fd, "MZ", 2) != 2) std::abort();
            close(fd);
        }
        nodes.push_back(node);
        if (kind == 1) current = int(nodes.size()) - 1;
    }

    // What the walk can hold, worked out from the names alone.
    struct Expect {
        std::string windows, posix;
        bool usable;
    };
    std::vector<Expect> expect(nodes.size());
    std::map<std::string, int> unusable;
    size_t scannable = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        const bool parentUsable = n.parent < 0 || expect[size_t(n.parent)].usable;
        const std::string parentWindows = n.parent < 0 ? "C:" : expect[size_t(n.parent)].windows;
        const std::string parentPosix = n.parent < 0 ? base : expect[size_t(n.parent)].posix;
        expect[i].windows = parentWindows + "\\" + n.name;
        expect[i].posix = parentPosix + "/" + n.name;
        const size_t limit = n.folder ? 260 - 4 : 260;  // a folder's "\*.*" after it
        expect[i].usable = parentUsable && n.name.find('\\') == std::string::npos &&
                           expect[i].windows.size() < limit;
        if (parentUsable && !expect[i].usable) ++unusable[expect[i].posix];
        if (expect[i].usable && !n.folder) ++scannable;
    }

    {
        pf::posix::PosixPlatform platform;
        Problems problems;
        platform.SetEvents(&problems);
        platform.SetReadOnly(true);
        std::string why;
        if (!platform.AddDrive(base, &why)) std::abort();
        pf::SetPlatform(&platform);
        ResetScanContextForTest();
        WalkFolder("C:\\*.*");
        if (g_scan.scannedCount != int32_t(scannable)) std::abort();
        if (problems.told != unusable) std::abort();
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (!expect[i].usable) continue;
            std::string posix;
            if (!platform.Resolve(expect[i].windows.c_str(), &posix) || posix != expect[i].posix) std::abort();
        }
        pf::SetPlatform(nullptr);
    }

    for (Node& n : nodes)
        if (n.fd >= 0) close(n.fd);
    RemoveTree(rootFd);
    close(rootFd);
    return 0;
}
