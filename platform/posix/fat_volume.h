// A FAT12/16/32 file system read from a device or image, for the short (8.3)
// names of its entries (the POSIX platform's use; also its fuzz target).
// Every size, cluster number and chain read from it is checked, every walk
// bounded: the volume may have been crafted against the reader.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pf::posix::fat {

constexpr uint32_t kMaxDirectoryBytes = 65536 * 32;  // the most entries a FAT folder holds

inline uint16_t Get16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline bool ReadAt(int fd, uint64_t offset, void* buffer, size_t count) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pread(fd, out, count, off_t(offset));
        if (n <= 0) return false;
        out += n;
        offset += uint64_t(n);
        count -= size_t(n);
    }
    return true;
}

inline void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xC0 | (cp >> 6));
        *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += char(0xE0 | (cp >> 12));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    } else {
        *out += char(0xF0 | (cp >> 18));
        *out += char(0x80 | ((cp >> 12) & 0x3F));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    }
}

struct FatEntry {
    std::string longName;   // UTF-8; empty when the entry has none
    std::string shortName;  // "INFECT~1.EXE"
    bool folder = false;
    uint32_t cluster = 0;
    uint32_t size = 0;
};

// One FAT12/16/32 file system read from a device or image.
class FatVolume {
public:
    bool Open(int fd) {
        fd_ = fd;
        unsigned char boot[512];
        if (!ReadAt(fd, 0, boot, sizeof boot) || boot[510] != 0x55 || boot[511] != 0xAA) return false;
        bytesPerSector_ = Get16(boot + 11);
        const uint32_t sectorsPerCluster = boot[13];
        const uint32_t reserved = Get16(boot + 14);
        const uint32_t fats = boot[16];
        const uint32_t rootEntries = Get16(boot + 17);
        const uint32_t total = Get16(boot + 19) ? Get16(boot + 19) : Get32(boot + 32);
        const uint32_t fatSectors = Get16(boot + 22) ? Get16(boot + 22) : Get32(boot + 36);
        if ((bytesPerSector_ != 512 && bytesPerSector_ != 1024 && bytesPerSector_ != 2048 &&
             bytesPerSector_ != 4096) ||
            sectorsPerCluster == 0 || (sectorsPerCluster & (sectorsPerCluster - 1)) != 0 ||
            reserved == 0 || fats == 0 || fats > 4 || fatSectors == 0)
            return false;
        clusterBytes_ = bytesPerSector_ * sectorsPerCluster;
        const uint64_t rootSectors = (uint64_t(rootEntries) * 32 + bytesPerSector_ - 1) / bytesPerSector_;
        const uint64_t meta = uint64_t(reserved) + uint64_t(fats) * fatSectors + rootSectors;
        if (meta >= total) return false;
        clusters_ = uint32_t((total - meta) / sectorsPerCluster);
        fatOffset_ = uint64_t(reserved) * bytesPerSector_;
        fatBytes_ = uint64_t(fatSectors) * bytesPerSector_;
        rootOffset_ = (uint64_t(reserved) + uint64_t(fats) * fatSectors) * bytesPerSector_;
        rootBytes_ = uint32_t(rootSectors * bytesPerSector_);
        dataOffset_ = meta * bytesPerSector_;
        bits_ = clusters_ < 4085 ? 12 : clusters_ < 65525 ? 16 : 32;
        rootCluster_ = bits_ == 32 ? Get32(boot + 44) & 0x0FFFFFFF : 0;
        if (bits_ == 32 && !ValidCluster(rootCluster_)) return false;
        if (bits_ != 32 && rootEntries == 0) return false;
        // The FAT must hold an entry for every cluster.
        return (uint64_t(clusters_) + 2) * uint64_t(bits_) / 8 <= fatBytes_;
    }

    uint32_t RootCluster() const { return rootCluster_; }  // 0: the fixed FAT12/16 root

    // The entries of a folder (cluster 0: the root of FAT12/16).
    bool List(uint32_t cluster, std::vector<FatEntry>* entries) {
        std::vector<unsigned char> bytes;
        if (cluster == 0 && bits_ != 32) {
            bytes.resize(rootBytes_);
            if (!ReadAt(fd_, rootOffset_, bytes.data(), bytes.size())) return false;
        } else {
            // The chain, never longer than the volume nor than a folder can be.
            for (uint32_t steps = 0;; ++steps) {
                if (!ValidCluster(cluster) || steps > clusters_ ||
                    bytes.size() + clusterBytes_ > kMaxDirectoryBytes + clusterBytes_)
                    return false;
                const size_t at = bytes.size();
                bytes.resize(at + clusterBytes_);
                if (!ReadAt(fd_, dataOffset_ + uint64_t(cluster - 2) * clusterBytes_, &bytes[at],
                            clusterBytes_))
                    return false;
                uint32_t next;
                if (!Next(cluster, &next)) return false;
                if (next >= EndOfChain()) break;
                cluster = next;
            }
        }
        Parse(bytes, entries);
        return true;
    }

private:
    bool ValidCluster(uint32_t c) const { return c >= 2 && c - 2 < clusters_; }
    uint32_t EndOfChain() const { return bits_ == 12 ? 0xFF8 : bits_ == 16 ? 0xFFF8 : 0x0FFFFFF8; }

    bool Next(uint32_t cluster, uint32_t* next) {
        unsigned char b[4] = {};
        if (bits_ == 32) {
            if (!ReadAt(fd_, fatOffset_ + uint64_t(cluster) * 4, b, 4)) return false;
            *next = Get32(b) & 0x0FFFFFFF;
        } else if (bits_ == 16) {
            if (!ReadAt(fd_, fatOffset_ + uint64_t(cluster) * 2, b, 2)) return false;
            *next = Get16(b);
        } else {
            if (!ReadAt(fd_, fatOffset_ + uint64_t(cluster) * 3 / 2, b, 2)) return false;
            const uint16_t v = Get16(b);
            *next = (cluster & 1) ? v >> 4 : v & 0xFFF;
        }
        return true;
    }

    static void Parse(const std::vector<unsigned char>& bytes, std::vector<FatEntry>* entries) {
        uint16_t parts[20][13];
        unsigned expected = 0, seen = 0;
        unsigned char checksum = 0;
        for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
            const unsigned char* e = &bytes[at];
            if (e[0] == 0) break;  // no entry after this one
            if (e[0] == 0xE5) {
                expected = 0;
                continue;
            }
            if (e[11] == 0x0F) {  // a piece of a long name, last piece first
                const unsigned order = e[0] & 0x1F;
                if (e[0] & 0x40) {
                    expected = order;
                    seen = 0;
                    checksum = e[13];
                }
                if (order == 0 || order > 20 || order > expected || e[13] != checksum) {
                    expected = 0;
                    continue;
                }
                static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
                for (int k = 0; k < 13; ++k) parts[order - 1][k] = Get16(e + kOffsets[k]);
                seen |= 1u << (order - 1);
                continue;
            }
            if (e[11] & 0x08) {  // the volume label
                expected = 0;
                continue;
            }
            FatEntry entry;
            unsigned char sum = 0;
            for (int k = 0; k < 11; ++k) sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + e[k]);
            if (expected > 0 && sum == checksum && seen == (1u << expected) - 1) {
                uint32_t high = 0;
                bool done = false;
                for (unsigned p = 0; p < expected && !done; ++p)
                    for (int k = 0; k < 13 && !done; ++k) {
                        const uint16_t u = parts[p][k];
                        if (u == 0) {
                            done = true;
                        } else if (u >= 0xD800 && u < 0xDC00) {
                            high = u;
                        } else if (u >= 0xDC00 && u < 0xE000 && high) {
                            AppendUtf8(0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00), &entry.longName);
                            high = 0;
                        } else {
                            AppendUtf8(u, &entry.longName);
                            high = 0;
                        }
                    }
            }
            expected = 0;
            std::string base(reinterpret_cast<const char*>(e), 8), ext(reinterpret_cast<const char*>(e + 8), 3);
            if (base[0] == 0x05) base[0] = char(0xE5);
            while (!base.empty() && base.back() == ' ') base.pop_back();
            while (!ext.empty() && ext.back() == ' ') ext.pop_back();
            if (base == "." || base == "..") continue;
            entry.shortName = ext.empty() ? base : base + "." + ext;
            entry.folder = (e[11] & 0x10) != 0;
            entry.cluster = (uint32_t(Get16(e + 20)) << 16) | Get16(e + 26);
            entry.size = Get32(e + 28);
            entries->push_back(entry);
        }
    }

    int fd_ = -1;
    uint32_t bytesPerSector_ = 0, clusterBytes_ = 0, clusters_ = 0, rootBytes_ = 0, rootCluster_ = 0;
    uint64_t fatOffset_ = 0, fatBytes_ = 0, rootOffset_ = 0, dataOffset_ = 0;
    int bits_ = 0;
};

}  // namespace pf::posix::fat
