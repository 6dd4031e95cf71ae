#include "offline/hive_builder.h"

#include <hivex.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace offline {

namespace {
void Put16(std::string& b, size_t at, uint16_t v) {
    b[at] = char(v);
    b[at + 1] = char(v >> 8);
}
void Put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char(v >> (8 * i));
}
uint32_t Get32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(b[at + size_t(i)])) << (8 * i);
    return v;
}
}  // namespace

void WriteEmptyHive(const std::string& path) {
    // The base block (4096 bytes), then one hive bin of 4096 bytes holding
    // the root key ("nk") and its security record ("sk"); offsets in cells
    // count from the first bin.
    std::string base(4096, '\0'), bin(4096, '\0');
    const std::string rootName = "ROOT";
    const uint32_t nkAt = 0x20, nkSize = (4 + 0x4C + 4 + 7) / 8 * 8;
    const uint32_t skAt = nkAt + nkSize;
    std::string nk(0x4C + rootName.size(), '\0');
    nk.replace(0, 2, "nk");
    Put16(nk, 0x02, 0x2C);           // hive entry, no delete, compressed name
    Put32(nk, 0x10, 0xFFFFFFFF);     // no parent
    Put32(nk, 0x1C, 0xFFFFFFFF);     // no subkey list
    Put32(nk, 0x20, 0xFFFFFFFF);
    Put32(nk, 0x28, 0xFFFFFFFF);     // no value list
    Put32(nk, 0x2C, skAt);           // security
    Put32(nk, 0x30, 0xFFFFFFFF);     // no class name
    Put16(nk, 0x48, uint16_t(rootName.size()));
    nk.replace(0x4C, rootName.size(), rootName);
    // A self-relative security descriptor with no owner, group or lists.
    std::string sd(20, '\0');
    sd[0] = 1;
    Put16(sd, 2, 0x8004);
    std::string sk(0x14 + sd.size(), '\0');
    sk.replace(0, 2, "sk");
    Put32(sk, 0x04, skAt);  // the only record links to itself
    Put32(sk, 0x08, skAt);
    Put32(sk, 0x0C, 1);     // references
    Put32(sk, 0x10, uint32_t(sd.size()));
    sk.replace(0x14, sd.size(), sd);
    const uint32_t skSize = uint32_t(4 + sk.size() + 7) / 8 * 8;

    bin.replace(0, 4, "hbin");
    Put32(bin, 8, 4096);  // bin size
    Put32(bin, nkAt, uint32_t(-int32_t(nkSize)));  // negative: in use
    bin.replace(nkAt + 4, nk.size(), nk);
    Put32(bin, skAt, uint32_t(-int32_t(skSize)));
    bin.replace(skAt + 4, sk.size(), sk);
    Put32(bin, skAt + skSize, 4096 - (skAt + skSize));  // the rest is free

    base.replace(0, 4, "regf");
    Put32(base, 0x04, 1);  // sequence numbers, equal: closed cleanly
    Put32(base, 0x08, 1);
    Put32(base, 0x14, 1);  // version 1.3
    Put32(base, 0x18, 3);
    Put32(base, 0x20, 1);  // direct memory load format
    Put32(base, 0x24, nkAt);
    Put32(base, 0x28, 4096);  // size of the bins
    Put32(base, 0x2C, 1);
    uint32_t checksum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) checksum ^= Get32(base, i);
    Put32(base, 0x1FC, checksum);
    std::ofstream(path, std::ios::binary) << base << bin;
}

namespace {
// Sets values (name, type, raw bytes) on a key path, creating the keys.
bool SetRaw(const std::string& hive, const std::string& keyPath,
            const std::vector<std::pair<std::string, std::string>>& values, int type) {
    hive_h* h = hivex_open(hive.c_str(), HIVEX_OPEN_WRITE);
    if (!h) return false;
    hive_node_h node = hivex_root(h);
    std::istringstream in(keyPath);
    for (std::string part; node && std::getline(in, part, '\\');) {
        hive_node_h child = hivex_node_get_child(h, node, part.c_str());
        node = child ? child : hivex_node_add_child(h, node, part.c_str());
    }
    bool ok = node != 0;
    if (ok && hivex_node_nr_values(h, node) == 0 && values.size() > 1) {
        // A new key's values at once: one by one, hivex rewrites them all each time.
        std::vector<hive_set_value> all;
        for (const auto& v : values)
            all.push_back(hive_set_value{const_cast<char*>(v.first.c_str()), hive_type(type), v.second.size(),
                                         const_cast<char*>(v.second.data())});
        ok = hivex_node_set_values(h, node, all.size(), all.data(), 0) == 0;
    } else {
        for (const auto& v : values) {
            if (!ok) break;
            hive_set_value sv{const_cast<char*>(v.first.c_str()), hive_type(type), v.second.size(),
                              const_cast<char*>(v.second.data())};
            ok = hivex_node_set_value(h, node, &sv, 0) == 0;
        }
    }
    ok = ok && hivex_commit(h, nullptr, 0) == 0;
    hivex_close(h);
    return ok;
}
}  // namespace

bool SetHiveValues(const std::string& hive, const std::string& keyPath,
                   const std::vector<std::pair<std::string, std::string>>& values, int type) {
    std::vector<std::pair<std::string, std::string>> raw;
    for (const auto& v : values) {
        // UTF-8 to UTF-16LE, as Windows stores text.
        std::string utf16;
        const std::string text = v.second + std::string(1, '\0');
        for (size_t i = 0; i < text.size();) {
            const unsigned char c = uint8_t(text[i]);
            const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            uint32_t cp = n == 1 ? c : c & (0x3F >> (n - 1));
            for (size_t k = 1; k < n && i + k < text.size(); ++k) cp = (cp << 6) | (uint8_t(text[i + k]) & 0x3F);
            i += n;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                const uint32_t high = 0xD800 + (cp >> 10), low = 0xDC00 + (cp & 0x3FF);
                utf16 += {char(high & 0xFF), char(high >> 8), char(low & 0xFF), char(low >> 8)};
            } else {
                utf16 += {char(cp & 0xFF), char(cp >> 8)};
            }
        }
        raw.push_back({v.first, utf16});
    }
    return SetRaw(hive, keyPath, raw, type);
}

bool SetHiveDword(const std::string& hive, const std::string& keyPath, const std::string& name,
                  unsigned value) {
    std::string bytes(4, '\0');
    Put32(bytes, 0, value);
    return SetRaw(hive, keyPath, {{name, bytes}}, 4);
}

bool MarkHiveDirty(const std::string& path) {
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        bytes = all.str();
    }
    if (bytes.size() < 4096 || bytes.compare(0, 4, "regf") != 0) return false;
    // The primary sequence number is raised when a write begins, the
    // secondary one when it has ended.
    Put32(bytes, 0x04, Get32(bytes, 0x08) + 1);
    uint32_t checksum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) checksum ^= Get32(bytes, i);
    Put32(bytes, 0x1FC, checksum);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out);
}

}  // namespace offline
