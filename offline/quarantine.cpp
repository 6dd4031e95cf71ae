// The quarantine: keeping what --remove changes, listing it, putting it back.
#include "offline/quarantine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <map>

#include "offline/output_text.h"
#include "platform/crt.h"

namespace offline {

namespace {

const char kManifest[] = "manifest";
// What every item begins with: no program, no text a scanner looks for.
const char kItemHeader[16] = {'V', 'E', 'N', 'D', 'R', 'I', 'K', 'A', '-', 'Q', 'U', 'A', 'R', '\n', '1', '\n'};

// ---- SHA-256 (FIPS 180-4) ----
class Sha256 {
public:
    Sha256() { Reset(); }
    void Reset() {
        static const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
        std::memcpy(h_, kInit, sizeof h_);
        length_ = 0;
        used_ = 0;
    }
    void Update(const unsigned char* p, size_t n) {
        length_ += n;
        while (n > 0) {
            const size_t take = std::min(n, sizeof block_ - used_);
            std::memcpy(block_ + used_, p, take);
            used_ += take;
            p += take;
            n -= take;
            if (used_ == sizeof block_) {
                Block(block_);
                used_ = 0;
            }
        }
    }
    std::string Hex() {
        const uint64_t bits = length_ * 8;
        const unsigned char one = 0x80, zero = 0;
        Update(&one, 1);
        while (used_ != 56) Update(&zero, 1);
        unsigned char tail[8];
        for (int i = 0; i < 8; ++i) tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        Update(tail, 8);
        static const char kHex[] = "0123456789abcdef";
        std::string out;
        for (uint32_t word : h_)
            for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(word >> shift) & 15];
        return out;
    }

private:
    static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void Block(const unsigned char* b) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(b[4 * i]) << 24 | uint32_t(b[4 * i + 1]) << 16 | uint32_t(b[4 * i + 2]) << 8 | b[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], bb = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & bb) ^ (a & c) ^ (bb & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = bb, bb = a, a = t1 + t2;
        }
        h_[0] += a, h_[1] += bb, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
    }
    uint32_t h_[8];
    uint64_t length_;
    unsigned char block_[64];
    size_t used_;
};

// The stream an item's bytes are combined with (xorshift64*, from the
// item's id): the same call stores and recovers them.
class Keystream {
public:
    explicit Keystream(long id) : state_(0x9E3779B97F4A7C15ull ^ uint64_t(id) * 0xD1B54A32D192ED03ull) {
        if (state_ == 0) state_ = 1;
    }
    void Apply(unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            state_ ^= state_ >> 12;
            state_ ^= state_ << 25;
            state_ ^= state_ >> 27;
            p[i] ^= static_cast<unsigned char>((state_ * 0x2545F4914F6CDD1Dull) >> 56);
        }
    }

private:
    uint64_t state_;
};

std::string ItemName(long id) {
    char name[32];
    std::snprintf(name, sizeof name, "%08ld.item", id);
    return name;
}

std::string Hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, std::string* out) {
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            const char c = hex[k];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out->push_back(char(v));
    }
    return true;
}

bool WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(char(cp));
    } else if (cp < 0x800) {
        out->push_back(char(0xC0 | (cp >> 6)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(char(0xE0 | (cp >> 12)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    }
}

// One manifest line: a flat object of strings and whole numbers, as the
// writer makes them. False for anything else (a line cut short included).
bool ParseLine(const std::string& line, std::map<std::string, std::string>* fields) {
    size_t i = 0;
    auto space = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    };
    auto string = [&](std::string* out) {
        if (i >= line.size() || line[i] != '"') return false;
        ++i;
        out->clear();
        while (i < line.size() && line[i] != '"') {
            if (line[i] != '\\') {
                out->push_back(line[i++]);
                continue;
            }
            if (++i >= line.size()) return false;
            const char e = line[i++];
            if (e == 'u') {
                if (line.size() - i < 4) return false;
                uint32_t cp = 0;
                for (int k = 0; k < 4; ++k) {
                    const char c = line[i++];
                    const int d = c >= '0' && c <= '9'   ? c - '0'
                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
                    if (d < 0) return false;
                    cp = cp * 16 + uint32_t(d);
                }
                AppendUtf8(cp, out);
            } else if (e == '"' || e == '\\' || e == '/') {
                out->push_back(e);
            } else if (e == 'n') {
                out->push_back('\n');
            } else if (e == 't') {
                out->push_back('\t');
            } else if (e == 'r') {
                out->push_back('\r');
            } else {
                return false;
            }
        }
        if (i >= line.size()) return false;
        ++i;
        return true;
    };
    space();
    if (i >= line.size() || line[i++] != '{') return false;
    for (bool first = true;; first = false) {
        space();
        if (i < line.size() && line[i] == '}' && first) {
            ++i;
            break;
        }
        std::string name, value;
        if (!string(&name)) return false;
        space();
        if (i >= line.size() || line[i++] != ':') return false;
        space();
        if (i < line.size() && line[i] == '"') {
            if (!string(&value)) return false;
        } else {
            const size_t start = i;
            if (i < line.size() && line[i] == '-') ++i;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
            if (i == start || (i == start + 1 && line[start] == '-')) return false;
            value = line.substr(start, i - start);
        }
        (*fields)[name] = value;
        space();
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i < line.size() && line[i] == '}') {
            ++i;
            break;
        }
        return false;
    }
    space();
    return i == line.size();
}

// A text field: its exact bytes from its "_hex" twin where there is one.
std::string Text(const std::map<std::string, std::string>& f, const std::string& name) {
    auto hex = f.find(name + "_hex");
    std::string bytes;
    if (hex != f.end() && FromHex(hex->second, &bytes)) return bytes;
    auto it = f.find(name);
    return it == f.end() ? "" : it->second;
}

bool Number(const std::map<std::string, std::string>& f, const char* name, int64_t* out) {
    auto it = f.find(name);
    if (it == f.end() || it->second.empty() || it->second.size() > 20) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(it->second.c_str(), &end, 10);
    if (errno || *end) {
        // Identities beyond the signed range.
        const unsigned long long u = std::strtoull(it->second.c_str(), &end, 10);
        if (errno || *end || it->second[0] == '-') return false;
        *out = int64_t(u);
        return true;
    }
    *out = v;
    return true;
}

std::string ItemLine(const QuarantineItem& item) {
    JsonObject o("item");
    o.Number("id", item.id)
        .Text("kind", item.kind)
        .Text("detection", item.detection)
        .Text("windows_path", item.windowsPath)
        .Text("posix_path", item.posixPath)
        .Text("root_hex", Hex(item.root))
        .Text("relative_hex", Hex(item.relative))
        .Unsigned("size", item.size)
        .Text("sha256", item.sha256)
        .Number("mode", long(item.mode))
        .Number("uid", long(item.uid))
        .Number("gid", long(item.gid))
        .Number("atime", long(item.atime))
        .Number("atime_ns", long(item.atimeNs))
        .Number("mtime", long(item.mtime))
        .Number("mtime_ns", long(item.mtimeNs))
        .Unsigned("dev", item.dev)
        .Unsigned("ino", item.ino)
        .Text("store", ItemName(item.id));
    if (!item.ntfsName.empty()) o.Text("ntfs_xattr", item.ntfsName).Text("ntfs_attrib_hex", Hex(item.ntfsBytes));
    if (item.replacement)
        o.Number("replacement", 1).Number("absent", item.absent).Text("new_sha256", item.newSha256)
            .Unsigned("new_size", item.newSize).Text("changes", item.changes);
    return o.Done();
}

bool ItemOfLine(const std::map<std::string, std::string>& f, QuarantineItem* item) {
    int64_t v[11];
    const char* names[11] = {"id", "size", "mode", "uid", "gid", "atime", "atime_ns", "mtime", "mtime_ns", "dev", "ino"};
    for (int k = 0; k < 11; ++k)
        if (!Number(f, names[k], &v[k])) return false;
    item->id = long(v[0]);
    item->size = uint64_t(v[1]);
    item->mode = unsigned(v[2]);
    item->uid = unsigned(v[3]);
    item->gid = unsigned(v[4]);
    item->atime = v[5];
    item->atimeNs = v[6];
    item->mtime = v[7];
    item->mtimeNs = v[8];
    item->dev = uint64_t(v[9]);
    item->ino = uint64_t(v[10]);
    item->kind = Text(f, "kind");
    item->detection = Text(f, "detection");
    item->windowsPath = Text(f, "windows_path");
    item->posixPath = Text(f, "posix_path");
    item->sha256 = Text(f, "sha256");
    auto root = f.find("root_hex"), relative = f.find("relative_hex");
    if (root == f.end() || relative == f.end() || !FromHex(root->second, &item->root) ||
        !FromHex(relative->second, &item->relative) || item->root.empty() || item->relative.empty() ||
        item->sha256.size() != 64 || item->id <= 0)
        return false;
    item->ntfsName = Text(f, "ntfs_xattr");
    auto ntfs = f.find("ntfs_attrib_hex");
    if (!item->ntfsName.empty() && (ntfs == f.end() || !FromHex(ntfs->second, &item->ntfsBytes))) return false;
    int64_t replacement = 0, absent = 0, newSize = 0;
    if (Number(f, "replacement", &replacement) && replacement == 1) {
        item->replacement = true;
        item->newSha256 = Text(f, "new_sha256");
        item->changes = Text(f, "changes");
        if (!Number(f, "absent", &absent) || !Number(f, "new_size", &newSize) || item->newSha256.size() != 64)
            return false;
        item->absent = absent != 0;
        item->newSize = uint64_t(newSize);
    }
    return true;
}

// The SHA-256 and length of an open file's bytes; false with errno.
bool HashOf(int fd, std::string* sha, uint64_t* size) {
    Sha256 h;
    std::vector<unsigned char> buffer(1 << 16);
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), off_t(total));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        h.Update(buffer.data(), size_t(n));
        total += uint64_t(n);
    }
    *sha = h.Hex();
    *size = total;
    return true;
}

}  // namespace

int OpenQuarantineFolder(const std::string& dir) {
    return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

namespace {

// One run at a time changes a quarantine: a removal adding to it, or a
// restore putting its items back.
bool LockQuarantine(int dirFd, std::string* why) {
    if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return true;
    *why = errno == EWOULDBLOCK ? std::string("another run of vendrika-scan is using it now")
                                : std::string("cannot be locked: ") + std::strerror(errno);
    return false;
}

}  // namespace

bool ReadManifest(int dirFd, Manifest* manifest, std::string* why) {
    *manifest = Manifest();
    const int fd = ::openat(dirFd, kManifest, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *why = std::string("its manifest cannot be read: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *why = "its manifest is not a file";
        return false;
    }
    std::string text;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::string("its manifest cannot be read: ") + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buffer.data(), size_t(n));
    }
    ::close(fd);
    std::map<long, size_t> byId;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        const bool last = end == std::string::npos;
        if (last) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        std::map<std::string, std::string> f;
        int64_t id = 0;
        if (!ParseLine(line, &f) || !Number(f, "id", &id)) {
            if (last)
                manifest->cutShort = true;
            else
                ++manifest->unreadableLines;
            continue;
        }
        const std::string type = Text(f, "type");
        if (type == "item") {
            QuarantineItem item;
            if (!ItemOfLine(f, &item) || byId.count(item.id)) {
                ++manifest->unreadableLines;
                continue;
            }
            byId[item.id] = manifest->items.size();
            manifest->items.push_back(item);
            continue;
        }
        auto it = byId.find(long(id));
        if (it == byId.end()) {
            ++manifest->unreadableLines;
            continue;
        }
        QuarantineItem& item = manifest->items[it->second];
        int64_t dev = 0, ino = 0;
        if (type == "outcome") {
            item.outcome = Text(f, "action");
        } else if (type == "restored") {
            item.restored = true;
        } else if (type == "restoring" && Number(f, "dev", &dev) && Number(f, "ino", &ino)) {
            item.restoring.emplace_back(uint64_t(dev), uint64_t(ino));
        } else {
            ++manifest->unreadableLines;
        }
    }
    return true;
}

bool InsideAnyPath(const std::string& dir, const std::vector<std::string>& paths, size_t* which) {
    std::vector<std::pair<uint64_t, uint64_t>> roots;
    for (const std::string& p : paths) {
        struct stat st;
        roots.emplace_back(::stat(p.c_str(), &st) == 0 ? std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino))
                                                       : std::make_pair(~uint64_t(0), ~uint64_t(0)));
    }
    // The part of DIR that exists, with its links resolved; then every
    // folder from there up to /.
    std::string existing = dir;
    char* real = nullptr;
    while (!(real = ::realpath(existing.c_str(), nullptr))) {
        const size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos) {
            existing = ".";
        } else if (slash == 0) {
            existing = "/";
        } else {
            existing.resize(slash);
        }
        if (existing == "." || existing == "/") {
            real = ::realpath(existing.c_str(), nullptr);
            break;
        }
    }
    if (!real) return false;
    std::string folder = real;
    std::free(real);
    for (;;) {
        struct stat st;
        if (::stat(folder.c_str(), &st) == 0)
            for (size_t i = 0; i < roots.size(); ++i)
                if (roots[i] == std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino))) {
                    *which = i;
                    return true;
                }
        if (folder == "/") return false;
        const size_t slash = folder.find_last_of('/');
        folder = slash == 0 ? "/" : folder.substr(0, slash);
    }
}

Quarantine::~Quarantine() {
    if (manifestFd_ >= 0) ::close(manifestFd_);
    if (dirFd_ >= 0) ::close(dirFd_);
}

bool Quarantine::Open(const std::string& dir, std::string* why) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = std::string("cannot be made: ") + std::strerror(errno);
        return false;
    }
    dirFd_ = OpenQuarantineFolder(dir);
    struct stat st;
    if (dirFd_ < 0 || ::fstat(dirFd_, &st) != 0) {
        *why = std::string("cannot be opened as a folder (a link is not followed): ") + std::strerror(errno);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *why = "belongs to another user";
        return false;
    }
    if (!LockQuarantine(dirFd_, why)) return false;
    if ((st.st_mode & 07777) != 0700 && ::fchmod(dirFd_, 0700) != 0) {
        *why = std::string("cannot be given mode 0700: ") + std::strerror(errno);
        return false;
    }
    Manifest manifest;
    if (!ReadManifest(dirFd_, &manifest, why)) return false;
    for (const QuarantineItem& item : manifest.items) nextId_ = std::max(nextId_, item.id + 1);
    manifestFd_ = ::openat(dirFd_, kManifest, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (manifestFd_ < 0) {
        *why = std::string("its manifest cannot be written: ") + std::strerror(errno);
        return false;
    }
    // A line cut short by a killed run stays a line of its own.
    const off_t size = ::lseek(manifestFd_, 0, SEEK_END);
    char lastByte = '\n';
    if (size > 0 && ::pread(manifestFd_, &lastByte, 1, size - 1) != 1) lastByte = '\n';
    if (lastByte != '\n' && (!WriteAll(manifestFd_, "\n", 1) || ::fsync(manifestFd_) != 0)) {
        *why = std::string("its manifest cannot be written: ") + std::strerror(errno);
        return false;
    }
    if (::fsync(dirFd_) != 0) {
        *why = std::string("cannot be flushed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool Quarantine::Append(const std::string& text, std::string* why) {
    const std::string line = text + "\n";
    const off_t before = ::lseek(manifestFd_, 0, SEEK_END);
    const ssize_t n = ::write(manifestFd_, line.data(), line.size());
    if (n != ssize_t(line.size()) || ::fsync(manifestFd_) != 0) {
        const int error = n < 0 || n == ssize_t(line.size()) ? errno : ENOSPC;
        // No part of a line stays: the next one starts a line of its own.
        if (n > 0 && before >= 0) (void)::ftruncate(manifestFd_, before);
        *why = std::string("its manifest cannot be written: ") + std::strerror(error);
        errno = error;
        return false;
    }
    return true;
}

bool Quarantine::Keep(const pf::posix::FileChange& change, const std::string& kind, const std::string& detection,
                      std::string* why) {
    if (dirFd_ < 0 || manifestFd_ < 0) {
        *why = "no quarantine folder";
        errno = EBADF;
        return false;
    }
    QuarantineItem item;
    item.kind = kind;
    item.detection = detection;
    item.windowsPath = change.windowsPath;
    if (change.root.empty()) {
        *why = "its drive's folder is not known";
        errno = EINVAL;
        return false;
    }
    // The drive's folder as named, from wherever the restore is run.
    item.root = change.root;
    if (item.root[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (!cwd) {
            *why = std::string("the current folder cannot be told: ") + std::strerror(errno);
            return false;
        }
        item.root = std::string(cwd) + (std::strcmp(cwd, "/") == 0 ? "" : "/") + item.root;
        std::free(cwd);
    }
    item.relative = change.relative;
    item.posixPath = (change.root == "/" ? "" : change.root) + "/" + change.relative;
    item.dev = uint64_t(change.st.st_dev);
    item.ino = uint64_t(change.st.st_ino);
    item.mode = unsigned(change.st.st_mode & 07777);
    item.uid = unsigned(change.st.st_uid);
    item.gid = unsigned(change.st.st_gid);
    item.atime = change.st.st_atim.tv_sec;
    item.atimeNs = change.st.st_atim.tv_nsec;
    item.mtime = change.st.st_mtim.tv_sec;
    item.mtimeNs = change.st.st_mtim.tv_nsec;
    if (change.fd >= 0) pf::posix::ReadNtfsAttributes(change.fd, &item.ntfsName, &item.ntfsBytes);
    if (change.newFd >= 0) {
        // The new file, opened again for reading (it was made write-only).
        item.replacement = true;
        item.absent = change.fd < 0;
        for (size_t i = 0; change.changes && i < change.changes->size(); ++i)
            item.changes += (i ? "; " : "") + (*change.changes)[i];
        const std::string self = "/proc/self/fd/" + std::to_string(change.newFd);
        const int in = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
        const bool hashed = in >= 0 && HashOf(in, &item.newSha256, &item.newSize);
        const int error = errno;
        if (in >= 0) ::close(in);
        if (!hashed) {
            *why = std::string("its new bytes cannot be read: ") + std::strerror(error);
            errno = error;
            return false;
        }
    }

    // Kept already (its mode changed before its deletion): the same file
    // with the same bytes needs nothing more.
    std::string sha;
    uint64_t size = 0;
    for (const QuarantineItem& k : items_) {
        if (item.replacement || k.dev != item.dev || k.ino != item.ino || k.relative != item.relative) continue;
        if (!HashOf(change.fd, &sha, &size)) {
            *why = std::string("it cannot be read: ") + std::strerror(errno);
            return false;
        }
        if (sha == k.sha256 && size == k.size) {
            if (std::find(waiting_.begin(), waiting_.end(), k.id) == waiting_.end()) waiting_.push_back(k.id);
            return true;
        }
    }

    int out = -1;
    for (int tries = 0; tries < 1000 && out < 0; ++tries) {
        item.id = nextId_++;
        out = ::openat(dirFd_, ItemName(item.id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600);
        if (out < 0 && errno != EEXIST) break;  // (one left by a killed run: the next id)
    }
    if (out < 0) {
        *why = std::string("no item can be made: ") + std::strerror(errno);
        return false;
    }
    const std::string name = ItemName(item.id);
    auto fail = [&](const std::string& what) {
        const int error = errno;
        ::close(out);
        ::unlinkat(dirFd_, name.c_str(), 0);
        *why = what + std::strerror(error);
        errno = error;
        return false;
    };
    if (!WriteAll(out, kItemHeader, sizeof kItemHeader)) return fail("its item cannot be written: ");
    Sha256 h;
    Keystream stream(item.id);
    std::vector<unsigned char> buffer(1 << 16);
    uint64_t total = 0;
    while (change.fd >= 0) {  // (none: a file that did not exist, kept as such)
        const ssize_t n = ::pread(change.fd, buffer.data(), buffer.size(), off_t(total));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("it cannot be read: ");
        if (n == 0) break;
        h.Update(buffer.data(), size_t(n));
        stream.Apply(buffer.data(), size_t(n));
        if (!WriteAll(out, buffer.data(), size_t(n))) return fail("its item cannot be written: ");
        total += uint64_t(n);
    }
    item.size = total;
    item.sha256 = h.Hex();
    if (::fsync(out) != 0) return fail("its item cannot be flushed: ");
    if (::close(out) != 0) {
        const int error = errno;
        ::unlinkat(dirFd_, name.c_str(), 0);
        *why = std::string("its item cannot be written: ") + std::strerror(error);
        errno = error;
        return false;
    }
    if (::fsync(dirFd_) != 0 || !Append(ItemLine(item), why)) {
        const int error = errno;
        if (why->empty()) *why = std::string("the quarantine folder cannot be flushed: ") + std::strerror(error);
        ::unlinkat(dirFd_, name.c_str(), 0);
        errno = error;
        return false;
    }
    items_.push_back(item);
    waiting_.push_back(item.id);
    ++kept_;
    return true;
}

bool Quarantine::Outcome(const std::string& windowsPath, bool changed, std::string* why) {
    for (size_t i = waiting_.size(); i-- > 0;) {
        const long id = waiting_[i];
        const auto item = std::find_if(items_.begin(), items_.end(), [&](const QuarantineItem& k) { return k.id == id; });
        if (item == items_.end() || item->windowsPath != windowsPath) continue;
        waiting_.erase(waiting_.begin() + long(i));
        const char* action = item->replacement ? (changed ? "replaced" : "not_replaced")
                                               : (changed ? "removed" : "not_removed");
        return Append(JsonObject("outcome").Number("id", id).Text("action", action).Done(), why);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Restore

namespace {

struct RestoreRun {
    int dirFd = -1;
    int manifestFd = -1;
    unsigned long made = 0;

    bool Append(const std::string& text, std::string* why) {
        const std::string line = text + "\n";
        if (manifestFd < 0 || ::write(manifestFd, line.data(), line.size()) != ssize_t(line.size()) ||
            ::fsync(manifestFd) != 0) {
            *why = std::string("the manifest cannot be written: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
};

// Gives an open file the owner, mode, NTFS attributes and times it had,
// and flushes it (always when its bytes were just `written`); what it has
// already is left alone (a file never removed may sit on a volume mounted
// read-only). False with the reason.
bool GiveBack(int fd, const QuarantineItem& item, std::string* why, bool written = false) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    bool changed = false;
    if (st.st_uid != item.uid || st.st_gid != item.gid) {
        if (::fchown(fd, item.uid, item.gid) != 0) {
            *why = std::string("its owner cannot be given back: ") + std::strerror(errno);
            return false;
        }
        changed = true;
    }
    // (After fchown, which takes set-user-ID bits off.)
    if (::fstat(fd, &st) != 0 || ((st.st_mode & 07777) != item.mode && ::fchmod(fd, item.mode) != 0)) {
        *why = std::string("its mode cannot be given back: ") + std::strerror(errno);
        return false;
    }
    changed = changed || (st.st_mode & 07777) != item.mode;
    if (!item.ntfsName.empty()) {
        std::string name, bytes;
        if (!pf::posix::ReadNtfsAttributes(fd, &name, &bytes) || name != item.ntfsName || bytes != item.ntfsBytes) {
            if (::fsetxattr(fd, item.ntfsName.c_str(), item.ntfsBytes.data(), item.ntfsBytes.size(), 0) != 0) {
                *why = std::string("its NTFS attributes cannot be given back: ") + std::strerror(errno);
                return false;
            }
            changed = true;
        }
    }
    struct timespec times[2];
    times[0].tv_sec = time_t(item.atime);
    times[0].tv_nsec = long(item.atimeNs);
    times[1].tv_sec = time_t(item.mtime);
    times[1].tv_nsec = long(item.mtimeNs);
    if (::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (st.st_atim.tv_sec != times[0].tv_sec || st.st_atim.tv_nsec != times[0].tv_nsec ||
        st.st_mtim.tv_sec != times[1].tv_sec || st.st_mtim.tv_nsec != times[1].tv_nsec) {
        if (::futimens(fd, times) != 0) {
            *why = std::string("its times cannot be given back: ") + std::strerror(errno);
            return false;
        }
        changed = true;
    }
    if ((changed || written) && ::fsync(fd) != 0) {
        *why = std::string("it cannot be flushed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Whether the entry `name` of the folder is this item's file: a plain file
// of an identity it had (or was given by a restore) with its bytes.
bool IsTheFile(int folderFd, const char* name, const QuarantineItem& item) {
    struct stat st;
    if (::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
    const auto id = std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino));
    bool known = item.moved || id == std::make_pair(item.dev, item.ino);
    for (const auto& r : item.restoring) known = known || r == id;
    if (!known) return false;
    const int fd = pf::posix::OpenRegularFileAt(folderFd, name, O_RDONLY, 0, &st);
    if (fd < 0) return false;
    std::string sha;
    uint64_t size = 0;
    const bool same = st.st_dev == dev_t(id.first) && st.st_ino == ino_t(id.second) && HashOf(fd, &sha, &size) &&
                      sha == item.sha256 && size == item.size;
    ::close(fd);
    return same;
}

// The item's bytes, back from DIR into `out`; false with the reason when
// they cannot be read or are not the bytes kept.
bool CopyBack(int dirFd, const QuarantineItem& item, int out, std::string* why) {
    const int in = ::openat(dirFd, ItemName(item.id).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        *why = std::string("its item cannot be read: ") + std::strerror(errno);
        return false;
    }
    char header[sizeof kItemHeader];
    bool ok = ::read(in, header, sizeof header) == ssize_t(sizeof header) &&
              std::memcmp(header, kItemHeader, sizeof header) == 0;
    if (!ok) *why = "its item is not one of this quarantine";
    Sha256 h;
    Keystream stream(item.id);
    std::vector<unsigned char> buffer(1 << 16);
    uint64_t total = 0;
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::string("its item cannot be read: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        stream.Apply(buffer.data(), size_t(n));
        h.Update(buffer.data(), size_t(n));
        total += uint64_t(n);
        if (total > item.size) break;  // longer than kept: told below
        if (!WriteAll(out, buffer.data(), size_t(n))) {
            *why = std::string("it cannot be written: ") + std::strerror(errno);
            ok = false;
        }
    }
    ::close(in);
    if (ok && (total != item.size || h.Hex() != item.sha256)) {
        *why = "its item does not match the SHA-256 kept with it (damaged)";
        ok = false;
    }
    return ok;
}

// Some drivers (FAT through FUSE) stamp a file written with the time it is
// closed: its times once more at `leaf`, while that is still the file made
// (`made`). False with the reason.
bool TimesAfterClose(int folderFd, const std::string& leaf, const struct stat& made, const QuarantineItem& item,
                     std::string* why) {
    struct stat now;
    const int fd = pf::posix::OpenRegularFileAt(folderFd, leaf.c_str(), O_RDONLY, 0, &now);
    if (fd < 0 || now.st_dev != made.st_dev || now.st_ino != made.st_ino) {
        *why = fd < 0 ? std::string(std::strerror(errno)) : "it was replaced as it was put back";
        if (fd >= 0) ::close(fd);
        return false;
    }
    const bool given = GiveBack(fd, item, why);
    ::close(fd);
    return given;
}

// The entries of the folder named `leaf` followed by `mark` (or, where such
// a name would be too long, beginning with the mark).
std::vector<std::string> NamesBeside(int folderFd, const std::string& leaf, const char* mark) {
    std::vector<std::string> names;
    const int copy = ::dup(folderFd);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0) ::close(copy);
        return names;
    }
    ::rewinddir(listing);  // (the copy shares the folder's offset)
    const std::string prefix = leaf + mark;
    while (dirent* e = ::readdir(listing)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 ||
            (prefix.size() > NAME_MAX && name.compare(0, std::strlen(mark), mark) == 0))
            names.push_back(name);
    }
    ::closedir(listing);
    return names;
}

// Removes what an earlier restore of the item made beside its place and
// never put there (a restore killed midway): the files it recorded, and an
// empty one under its mark, made by a restore killed before it could record
// it (nothing is written into a file before it is recorded).
void DropOwnFiles(int folderFd, const std::string& leaf, const QuarantineItem& item) {
    for (const std::string& name : NamesBeside(folderFd, leaf, pf::posix::kRestoringMark)) {
        struct stat r;
        if (::fstatat(folderFd, name.c_str(), &r, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(r.st_mode)) continue;
        bool own = r.st_size == 0;
        for (const auto& id : item.restoring) own = own || id == std::make_pair(uint64_t(r.st_dev), uint64_t(r.st_ino));
        if (own) ::unlinkat(folderFd, name.c_str(), 0);
    }
}

// A name of the restore's own for a file it makes beside `leaf`.
std::string OwnName(RestoreRun& run, const std::string& leaf) {
    char tail[64];
    std::snprintf(tail, sizeof tail, "%s%ld-%lu", pf::posix::kRestoringMark, long(::getpid()), ++run.made);
    return leaf.size() + std::strlen(tail) <= NAME_MAX ? leaf + tail : tail;
}

// Makes the item's file at `leaf` of the folder, where there is none: a new
// file, unnamed until complete where the file system can, else under a name
// of the restore's own; linked into place without replacing whatever
// appeared there meanwhile. `done` says it restored.
using Done = std::function<void(const char*)>;

void PutNewFile(RestoreRun& run, const QuarantineItem& item, int folderFd, const std::string& leaf, const Done& done,
                RestoreResult* result) {
    std::string why;
    struct stat st;
    std::string own;
    int fd = ::openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        own = OwnName(run, leaf);
        fd = ::openat(folderFd, own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        result->message = std::string("no file can be made in its folder: ") + std::strerror(errno);
        return;
    }
    auto drop = [&](const std::string& message) {
        ::close(fd);
        if (!own.empty()) ::unlinkat(folderFd, own.c_str(), 0);
        result->message = message;
    };
    if (::fstat(fd, &st) != 0) return drop(std::strerror(errno));
    // Said before it gets a name, so that a restore run again knows it.
    if (!run.Append(JsonObject("restoring").Number("id", item.id).Unsigned("dev", uint64_t(st.st_dev))
                        .Unsigned("ino", uint64_t(st.st_ino)).Done(),
                    &why))
        return drop(why);
    if (!CopyBack(run.dirFd, item, fd, &why) || !GiveBack(fd, item, &why, true)) return drop(why);
    int placed;
    if (own.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        placed = ::linkat(AT_FDCWD, self.c_str(), folderFd, leaf.c_str(), AT_SYMLINK_FOLLOW);
    } else {
        placed = pf::posix::RenameNoReplace(folderFd, own.c_str(), folderFd, leaf.c_str());
    }
    if (placed != 0) {
        const int error = errno;
        drop(error == EEXIST ? "another file appeared there meanwhile: it is not overwritten"
                             : std::string("it cannot be put in place: ") + std::strerror(error));
        if (error == EEXIST) result->action = "place_taken";
        return;
    }
    ::close(fd);
    if (!TimesAfterClose(folderFd, leaf, st, item, &why)) {
        result->message = "put back, but " + why;
        return;
    }
    done("put back");
}

// A hive or WININIT.INI replaced whole: its old bytes back in place of the
// file the run wrote, only while that file is still there as written, and
// under the lock a removing run takes on that folder.
void ReplaceBack(RestoreRun& run, const QuarantineItem& item, int folderFd, const std::string& leaf,
                 const Done& done, RestoreResult* result) {
    if (::flock(folderFd, LOCK_EX | LOCK_NB) != 0) {
        result->message = errno == EWOULDBLOCK
                              ? std::string("a run of vendrika-scan is changing this Windows' registry now; "
                                            "restore once it has ended")
                              : std::string("its folder cannot be locked: ") + std::strerror(errno);
        return;
    }
    DropOwnFiles(folderFd, leaf, item);
    // The run's new hive, left beside the hive by a run killed before it
    // was put in place: known by its SHA-256, it goes.
    if (item.kind == "hive") {
        const std::string left = leaf + pf::posix::kNewHiveMark;
        struct stat ls;
        const int lf = pf::posix::OpenRegularFileAt(folderFd, left.c_str(), O_RDONLY, 0, &ls);
        std::string lsha;
        uint64_t lsize = 0;
        struct stat now;
        if (lf >= 0 && HashOf(lf, &lsha, &lsize) && lsha == item.newSha256 && lsize == item.newSize &&
            ::fstatat(folderFd, left.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == ls.st_dev &&
            now.st_ino == ls.st_ino)
            ::unlinkat(folderFd, left.c_str(), 0);
        if (lf >= 0) ::close(lf);
    }
    struct stat st;
    const int fd = pf::posix::OpenRegularFileAt(folderFd, leaf.c_str(), O_RDONLY, 0, &st);
    if (fd < 0 && errno == ENOENT) {
        if (item.absent) return done("there is none, as before the run");
        return PutNewFile(run, item, folderFd, leaf, done, result);
    }
    if (fd < 0) {
        result->message = std::string("it cannot be read: ") + std::strerror(errno);
        return;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::string sha, why;
    uint64_t size = 0;
    if (!HashOf(fd, &sha, &size)) {
        result->message = std::string("it cannot be read: ") + std::strerror(errno);
        return;
    }
    if (!item.absent && sha == item.sha256 && size == item.size) {
        // Never replaced, or put back by a restore stopped before it said so.
        if (!GiveBack(fd, item, &why)) {
            result->message = why;
            return;
        }
        return done("in its place as it was: its attributes and times given back");
    }
    if (sha != item.newSha256 || size != item.newSize) {
        result->action = "place_taken";
        result->message = "it changed after the run replaced it (was that Windows started since?): it is not "
                          "overwritten" +
                          (item.changes.empty() ? std::string() : "; what the run removed from it: " + item.changes);
        return;
    }
    // Right before it goes, the name must still hold the file just read.
    auto stillThere = [&] {
        struct stat now;
        return ::fstatat(folderFd, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
               now.st_ino == st.st_ino;
    };
    if (item.absent) {
        if (!stillThere() || ::unlinkat(folderFd, leaf.c_str(), 0) != 0) {
            result->message = "the file the run made cannot be removed";
            return;
        }
        return done("removed: there was none before the run");
    }
    const std::string own = OwnName(run, leaf);
    const int out = ::openat(folderFd, own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat mine;
    if (out < 0 || ::fstat(out, &mine) != 0) {
        result->message = std::string("no file can be made in its folder: ") + std::strerror(errno);
        if (out >= 0) ::close(out);
        return;
    }
    auto drop = [&](const std::string& message) {
        ::close(out);
        ::unlinkat(folderFd, own.c_str(), 0);
        result->message = message;
    };
    if (!run.Append(JsonObject("restoring").Number("id", item.id).Unsigned("dev", uint64_t(mine.st_dev))
                        .Unsigned("ino", uint64_t(mine.st_ino)).Done(),
                    &why))
        return drop(why);
    if (!CopyBack(run.dirFd, item, out, &why) || !GiveBack(out, item, &why, true)) return drop(why);
    if (!stillThere()) {
        drop("it changed while its old bytes were written: it is not overwritten");
        result->action = "place_taken";
        return;
    }
    if (::renameat(folderFd, own.c_str(), folderFd, leaf.c_str()) != 0)
        return drop(std::string("it cannot be put in place: ") + std::strerror(errno));
    ::close(out);
    if (!TimesAfterClose(folderFd, leaf, mine, item, &why)) {
        result->message = "put back, but " + why;
        return;
    }
    done("put back in place of the file the run wrote");
}

void RestoreItem(RestoreRun& run, const QuarantineItem& item, RestoreResult* result) {
    result->item = item;
    result->action = "not_restored";
    if (item.restored) {
        result->action = "already_restored";
        return;
    }
    const size_t slash = item.relative.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : item.relative.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? item.relative : item.relative.substr(slash + 1);
    const int folderFd = pf::posix::OpenFolderBelow(item.root, folder);
    if (folderFd < 0) {
        result->message = std::string("its folder cannot be opened (no link is followed): ") + std::strerror(errno) +
                          (item.moved ? "" : "; where its drive is mounted elsewhere now, say where with --drive");
        return;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{folderFd};
    std::string why;
    auto done = [&](const char* message) {
        if (::fsync(folderFd) != 0) {
            result->message = std::string("its folder cannot be flushed: ") + std::strerror(errno);
            return;
        }
        if (!run.Append(JsonObject("restored").Number("id", item.id).Done(), &why)) {
            result->message = "put back, but " + why;
            return;
        }
        result->action = "restored";
        result->message = message;
    };
    auto giveBackAt = [&](const char* name, const char* message) {
        struct stat st;
        const int fd = pf::posix::OpenRegularFileAt(folderFd, name, O_RDONLY, 0, &st);
        if (fd < 0 || !GiveBack(fd, item, &why)) {
            result->message = fd < 0 ? std::string(std::strerror(errno)) : why;
            if (fd >= 0) ::close(fd);
            return false;
        }
        ::close(fd);
        done(message);
        return true;
    };

    if (item.replacement) return ReplaceBack(run, item, folderFd, leaf, done, result);
    struct stat st;
    if (::fstatat(folderFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // The file itself (never deleted, or put back by a restore that was
        // stopped before it said so): its attributes and times.
        if (IsTheFile(folderFd, leaf.c_str(), item)) {
            giveBackAt(leaf.c_str(), "in its place: its attributes and times given back");
            return;
        }
        result->action = "place_taken";
        result->message = "another file is there now: it is not overwritten";
        return;
    }
    if (errno != ENOENT) {
        result->message = std::strerror(errno);
        return;
    }
    // What a killed run left beside: the file under the name it is
    // deleted with (put back under its own), and files this restore made.
    DropOwnFiles(folderFd, leaf, item);
    for (const std::string& name : NamesBeside(folderFd, leaf, pf::posix::kDeletingMark)) {
        if (!IsTheFile(folderFd, name.c_str(), item)) continue;
        if (pf::posix::RenameNoReplace(folderFd, name.c_str(), folderFd, leaf.c_str()) != 0) {
            result->message = std::string("it cannot be given its name back: ") + std::strerror(errno);
            if (errno == EEXIST) result->action = "place_taken";
            return;
        }
        giveBackAt(leaf.c_str(), "its deletion had not finished: given its name back");
        return;
    }
    PutNewFile(run, item, folderFd, leaf, done, result);
}

}  // namespace

bool Restore(const std::string& dir, const std::vector<long>& ids, const std::vector<MovedDrive>& moved,
             std::vector<RestoreResult>* results, std::string* why) {
    RestoreRun run;
    run.dirFd = OpenQuarantineFolder(dir);
    if (run.dirFd < 0) {
        *why = std::string("cannot be opened as a folder (a link is not followed): ") + std::strerror(errno);
        return false;
    }
    Manifest manifest;
    if (!LockQuarantine(run.dirFd, why) || !ReadManifest(run.dirFd, &manifest, why)) {
        ::close(run.dirFd);
        return false;
    }
    run.manifestFd = ::openat(run.dirFd, kManifest, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (run.manifestFd >= 0 && manifest.cutShort) (void)::write(run.manifestFd, "\n", 1);
    // Files first; then each file replaced whole, the last replacement
    // first (each put back the bytes the one before it wrote).
    std::vector<const QuarantineItem*> order;
    for (const QuarantineItem& item : manifest.items)
        if (!item.replacement) order.push_back(&item);
    for (size_t i = manifest.items.size(); i-- > 0;)
        if (manifest.items[i].replacement) order.push_back(&manifest.items[i]);
    for (const QuarantineItem* kept : order) {
        if (!ids.empty() && std::find(ids.begin(), ids.end(), kept->id) == ids.end()) continue;
        QuarantineItem item = *kept;
        for (const MovedDrive& drive : moved)
            if (item.windowsPath.size() > 1 && item.windowsPath[1] == ':' &&
                crt::ToUpper(item.windowsPath[0]) == drive.letter) {
                item.root = drive.root;
                item.posixPath = (drive.root == "/" ? "" : drive.root) + "/" + item.relative;
                item.moved = true;
            }
        results->emplace_back();
        RestoreItem(run, item, &results->back());
    }
    for (long id : ids) {
        const bool held = std::any_of(manifest.items.begin(), manifest.items.end(),
                                      [&](const QuarantineItem& k) { return k.id == id; });
        if (held) continue;
        RestoreResult missing;
        missing.item.id = id;
        missing.action = "not_restored";
        missing.message = "no such item in this quarantine";
        results->push_back(missing);
    }
    if (run.manifestFd >= 0) ::close(run.manifestFd);
    ::close(run.dirFd);
    return true;
}

}  // namespace offline
