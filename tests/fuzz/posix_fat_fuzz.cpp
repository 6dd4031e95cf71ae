// The FAT directory reader over crafted volumes: boot sectors, FAT chains
// that loop or leave the volume, long-name pieces out of order, folders
// that contain themselves. It must never crash, read outside its buffers
// or hang.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/fat_volume.h"

using pf::posix::fat::FatEntry;
using pf::posix::fat::FatVolume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("fat", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
    for (size_t at = 0; at < size;) {
        const ssize_t n = pwrite(fd, data + at, size - at, off_t(at));
        if (n <= 0) return 0;
        at += size_t(n);
    }
    FatVolume volume;
    if (!volume.Open(fd)) return 0;
    // The root and, breadth first, a bounded number of the folders below.
    std::vector<uint32_t> folders{volume.RootCluster()};
    for (size_t i = 0; i < folders.size() && i < 32; ++i) {
        std::vector<FatEntry> entries;
        if (!volume.List(folders[i], &entries)) continue;
        for (const FatEntry& e : entries)
            if (e.folder && folders.size() < 64) folders.push_back(e.cluster);
    }
    return 0;
}
