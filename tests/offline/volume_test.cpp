// vendrika-scan over real file systems (NTFS images through ntfs-3g) and
// against a second process that rearranges the volume while it cleans.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "tests/offline/offline_support.h"

using offline::ImageVolume;
using offline::Scan;
using offline::Tree;

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The names whose content, mode or presence differ.
std::string Changes(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
    std::string changed;
    for (const auto& [name, content] : before) {
        auto it = after.find(name);
        if (it == after.end()) changed += name + " removed; ";
        else if (it->second != content) changed += name + " changed; ";
    }
    for (const auto& [name, content] : after)
        if (!before.count(name)) changed += name + " made; ";
    return changed;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t times = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++times;
    return times;
}

// Points the data of the file `name` on an NTFS image (an unmounted one,
// 1024-byte records, the data one run) past the end of the volume, as a
// damaged disk would: its reads then fail with EIO, its listing does not.
bool DamageData(const std::string& image, const std::string& name) {
    std::string bytes;
    {
        std::ifstream in(image, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string wide;
    for (char c : name) wide += std::string{c, '\0'};
    for (size_t at = bytes.find(wide); at != std::string::npos; at = bytes.find(wide, at + 1)) {
        const size_t record = at - at % 1024;
        if (bytes.compare(record, 4, "FILE") != 0) continue;
        auto u16 = [&](size_t i) { return unsigned(uint8_t(bytes[i])) | unsigned(uint8_t(bytes[i + 1])) << 8; };
        auto u32 = [&](size_t i) { return u16(i) | u16(i + 2) << 16; };
        for (size_t attr = record + u16(record + 0x14); attr + 0x22 < record + 1024;) {
            const unsigned type = u32(attr), length = u32(attr + 4);
            if (type == 0xFFFFFFFFu || length == 0) break;
            if (type == 0x80 && bytes[attr + 8] == 1) {  // non-resident data
                const size_t run = attr + u16(attr + 0x20);
                const unsigned header = uint8_t(bytes[run]);
                const unsigned lengthBytes = header & 0xF, offsetBytes = header >> 4;
                if (offsetBytes == 0) return false;
                for (unsigned k = 0; k < offsetBytes; ++k)
                    bytes[run + 1 + lengthBytes + k] = char(k + 1 < offsetBytes ? 0xFF : 0x7F);
                std::ofstream(image, std::ios::binary | std::ios::in).write(bytes.data(), std::streamsize(bytes.size()));
                return true;
            }
            attr += length;
        }
    }
    return false;
}

}  // namespace

// An NTFS volume holding names of 255 UTF-16 units (765 bytes of UTF-8,
// more than a Windows path of this engine can hold) and a file whose data
// cannot be read: each told once, the rest cleaned, status 2. Under
// AddressSanitizer (the sanitizer build runs its own vendrika-scan) the
// scan finishes with no error.
TEST(VendrikaScanVolumes, NtfsNamesOfAnyLengthAndDataThatCannotBeRead) {
    ImageVolume volume(ImageVolume::kNtfs);
    if (!volume.Unavailable().empty()) GTEST_SKIP() << volume.Unavailable();
    std::string longest;
    for (int i = 0; i < 255; ++i) longest += "\xE4\xB8\x80";  // U+4E00
    volume.File("ok/infected.exe", offline::InfectedSample(1));
    volume.File("f/" + longest, offline::InfectedSample(2));
    volume.File("d/" + longest + "/inside.exe", offline::InfectedSample(3));
    volume.File("bad/victim.exe", offline::InfectedSample(4));
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(DamageData(volume.Image(), "victim.exe"));
    ASSERT_TRUE(volume.Mount());

    const offline::RunResult r = Scan({"--remove", volume.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    const struct {
        std::string path;
        const char* why;
    } told[] = {
        {"f/" + longest, ": path too long"},
        {"d/" + longest, ": path too long"},
        {"bad/victim.exe", ": cannot be read: Input/output error"},
    };
    for (const auto& t : told) EXPECT_EQ(Count(r.err, volume.Path(t.path) + t.why), 1u) << t.path << r.err;
    EXPECT_TRUE(Exists(volume.Path("f/" + longest)));
    EXPECT_TRUE(Exists(volume.Path("d/" + longest + "/inside.exe")));
    EXPECT_TRUE(Exists(volume.Path("bad/victim.exe")));
    EXPECT_FALSE(Exists(volume.Path("ok/infected.exe")));
    EXPECT_TRUE(Count(r.out, "ok\\infected.exe     W32/Vendrika.Gen.Trojan removed") == 1) << r.out;
    EXPECT_TRUE(Count(r.out, "Total files infected\t\t:  1") == 1) << r.out;
}

// A second process puts a symbolic link, to a mirror of the volume outside
// it, at every name the cleaner examines, changes, deletes or creates (the
// files, their folders, WININIT.INI, the hive and the new hive beside it),
// back and forth while the cleaner runs. Over 100 runs nothing outside the
// volume is written, its modes included.
TEST(VendrikaScanVolumes, LinksPlantedByARacerNeverLeadOutside) {
    const int kRuns = 100;
    int changedSomething = 0;
    for (int run = 0; run < kRuns; ++run) {
        Tree volume, outside;
        const bool nt = run % 2 == 1 && false;
        // What the cleaner acts on, on the volume and in the mirror.
        for (Tree* t : {&volume, &outside}) {
            t->File("a/ro.exe", offline::InfectedSample(1, unsigned(run)), 0444);
            t->File("a/rw.exe", offline::InfectedSample(2, unsigned(run)));
            if (nt) {
                t->Folder("WINDOWS/system32/config");
                offline::WriteEmptyHive(t->Path("WINDOWS/system32/config/SOFTWARE"));
                offline::SetHiveValues(t->Path("WINDOWS/system32/config/SOFTWARE"),
                                       "Microsoft\\Windows\\CurrentVersion\\Run",
                                       {{"a", "C:\\a\\rw.exe"}, {"b", "C:\\a\\ro.exe"}});
            } else {
                t->File("WINDOWS/SYSTEM.DAT", "CREG");
            }
        }
        outside.File("precious", offline::InfectedSample(3, unsigned(run)), 04555);
        const auto before = outside.Snapshot();

        const std::string config = nt ? "WINDOWS/system32/config/" : "WINDOWS/";
        const std::vector<std::string> files = {
            "a/ro.exe", "a/rw.exe", "WINDOWS/WININIT.INI", config + "SOFTWARE",
            config + "SOFTWARE.vendrika-new",
        };
        const std::vector<std::string> folders = {"a", "WINDOWS"};
        std::atomic<bool> stop{false};
        std::thread racer([&] {
            unsigned turn = 0;
            while (!stop) {
                ++turn;
                for (const std::string& rel : files) {
                    const std::string path = volume.Path(rel), kept = path + ".racer";
                    const bool present = Exists(path);
                    if (present && rename(path.c_str(), kept.c_str()) != 0) continue;
                    const std::string target = present ? outside.Path("precious") : outside.Path(rel);
                    if (symlink(target.c_str(), path.c_str()) == 0) {
                        if (turn % 3) usleep(20);
                        unlink(path.c_str());
                    }
                    if (present) renameat2(AT_FDCWD, kept.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
                }
                const std::string& rel = folders[turn % folders.size()];
                const std::string path = volume.Path(rel), kept = path + ".racer";
                if (rename(path.c_str(), kept.c_str()) == 0) {
                    if (symlink(outside.Path(rel).c_str(), path.c_str()) == 0) {
                        usleep(20);
                        unlink(path.c_str());
                    }
                    rename(kept.c_str(), path.c_str());
                }
            }
        });
        const offline::RunResult r = Scan({"--remove", volume.Root()});
        stop = true;
        racer.join();
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << r.status << r.err;
        const std::string changes = Changes(before, outside.Snapshot());
        EXPECT_EQ(changes, "") << "run " << run << "\n" << r.out << r.err;
        if (!changes.empty()) break;
        changedSomething += !Exists(volume.Path("a/rw.exe")) || !Exists(volume.Path("a/ro.exe"));
    }
    // The racer left the cleaner room to work.
    EXPECT_GT(changedSomething, 0);
}
