// vendrika-scan over real file systems (NTFS images through ntfs-3g) and
// against a second process that rearranges the volume while it cleans.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

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

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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
// back and forth while the cleaner runs. Over 100 runs (20 in the sanitizer
// build) nothing outside the volume is written, its modes included.
TEST(VendrikaScanVolumes, LinksPlantedByARacerNeverLeadOutside) {
#if defined(__SANITIZE_ADDRESS__)
    const int kRuns = 20;  // each sanitized start is slow; the host build runs all 100
#else
    const int kRuns = 100;
#endif
    int changedSomething = 0;
    for (int run = 0; run < kRuns; ++run) {
        Tree volume, outside;
        const bool nt = run % 2 == 1;
        // What the cleaner acts on, on the volume and in the mirror.
        for (Tree* t : {&volume, &outside}) {
            t->File("a/ro.exe", offline::InfectedSample(1, unsigned(run)), 0444);
            t->File("a/rw.exe", offline::InfectedSample(2, unsigned(run)));
            if (nt) {
                t->Folder("WINDOWS/system32/config");
                offline::WriteSoftwareHive(t->Path("WINDOWS/system32/config/SOFTWARE"));
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
        // "removed" only for a file that is gone (not for a link unlinked
        // in its place while the file waited elsewhere).
        for (const char* name : {"ro", "rw"}) {
            const bool claimed = r.out.find(std::string("C:\\a\\") + name + ".exe     W32/Vendrika.Gen.Trojan removed") !=
                                 std::string::npos;
            EXPECT_FALSE(claimed && Exists(volume.Path(std::string("a/") + name + ".exe"))) << run << r.out;
        }
        if (!changes.empty()) break;
        changedSomething += !Exists(volume.Path("a/rw.exe")) || !Exists(volume.Path("a/ro.exe"));
    }
    // The racer left the cleaner room to work.
    EXPECT_GT(changedSomething, 0);
}

namespace {
// Rewrites a short directory entry of a FAT image in place, with the
// checksum its long-name pieces carry brought up to date.
bool PatchShortName(const std::string& image, const std::string& from, const std::string& to) {
    std::string bytes = offline::ReadFile(image);
    size_t at = bytes.find(from);
    while (at != std::string::npos && at % 32 != 0) at = bytes.find(from, at + 1);
    if (at == std::string::npos || to.size() != 11) return false;
    bytes.replace(at, 11, to);
    unsigned char sum = 0;
    for (char c : to) sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(c));
    for (size_t piece = at; piece >= 32 && bytes[piece - 32 + 11] == 0x0F; piece -= 32) bytes[piece - 32 + 13] = char(sum);
    std::ofstream(image, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
    return true;
}

std::string MtypeFile(const std::string& image, const std::string& path) {
    const std::string command = "MTOOLS_SKIP_CHECK=1 mtype -i '" + image + "' '::" + path + "' 2>/dev/null";
    FILE* in = popen(command.c_str(), "r");
    std::string bytes;
    char buffer[4096];
    size_t n;
    while (in && (n = fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
    if (in) pclose(in);
    return bytes;
}
}  // namespace

// A 95/98/Me Windows on a FAT32 volume (C:) and a second, read-only FAT32
// volume (D:) whose infected files cannot be deleted now: WININIT.INI gets
// one entry per file, by the 8.3 names its volume holds (as mdir shows
// them), its other lines byte for byte, and no copy anywhere. Where no short
// name can be read (a folder that is no FAT volume), the file is to be
// deleted by hand and WININIT.INI stays as it was. Needs root and FUSE.
TEST(VendrikaScanVolumes, Win98WininitNamesFilesByTheirShortNames) {
    ImageVolume c(ImageVolume::kFat32), d(ImageVolume::kFat32);
    if (!c.Unavailable().empty()) GTEST_SKIP() << c.Unavailable();
    const std::string oldLines = "[Rename]\r\nNUL=C:\\OLDPROG\\OLD.EXE\r\n[Other]\nkey=value\n";
    c.File("WINDOWS/SYSTEM.DAT", "CREG");
    c.File("MSDOS.SYS", offline::MsdosSys());
    c.File("WINDOWS/WININIT.INI", oldLines);
    c.File("My Documents/letter.txt", "Dear customer,\r\n");
    // D:'s folders and files made as Windows makes them, with mtools (the
    // FUSE driver writes no proper short names of its own).
    ASSERT_TRUE(d.Unmount());
    Tree samples;
    samples.File("a.exe", offline::InfectedSample(0));
    samples.File("b.exe", offline::InfectedSample(5));
    const std::string m = "MTOOLS_SKIP_CHECK=1 ";
    const std::string image = " -i '" + d.Image() + "' ";
    ASSERT_EQ(std::system((m + "mmd" + image + "'::/Shared Stuff' '::/Shared Stuff/Long Folder Name' ::/GAMES && " + m +
                           "mcopy" + image + "'" + samples.Path("a.exe") +
                           "' '::/Shared Stuff/Long Folder Name/infected program.exe' && " + m + "mcopy" + image +
                           "'" + samples.Path("b.exe") + "' ::/GAMES/X.EXE")
                              .c_str()),
              0);
    const std::string expected =
        "NUL=D:\\" + offline::MdirShortName(d.Image(), "/", "Shared Stuff") + "\\" +
        offline::MdirShortName(d.Image(), "/Shared Stuff", "Long Folder Name") + "\\" +
        offline::MdirShortName(d.Image(), "/Shared Stuff/Long Folder Name", "infected program.exe") + "\r\n";
    ASSERT_EQ(expected.find("\\\\"), std::string::npos) << expected;
    ASSERT_TRUE(d.Mount(true));  // read-only: nothing on it can be deleted now
    const auto beforeC = Tree::SnapshotOf(c.Root());

    const offline::RunResult r = Scan({"--remove", c.Root(), "--drive", "D:=" + d.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;  // not removed yet
    EXPECT_TRUE(Has(r.out, "W32/Vendrika.Gen.Trojan Unable to remove")) << r.out;
    EXPECT_TRUE(Has(r.out, "NUL=D:\\GAMES\\X.EXE added")) << r.out;
    EXPECT_EQ(Count(r.err, "delete it by hand"), 0u) << r.err;
    auto afterC = Tree::SnapshotOf(c.Root());
    const std::string written = offline::ReadFile(c.Path("WINDOWS/WININIT.INI"));
    afterC.erase("WINDOWS/WININIT.INI");
    auto expectedC = beforeC;
    expectedC.erase("WINDOWS/WININIT.INI");
    EXPECT_EQ(Changes(expectedC, afterC), "");  // no copy, no new file
    ASSERT_TRUE(c.Unmount());
    // The entries at the end of [Rename], the other lines as they were.
    const std::string inImage = MtypeFile(c.Image(), "/WINDOWS/WININIT.INI");
    EXPECT_EQ(inImage, written);
    const size_t other = oldLines.find("[Other]");
    EXPECT_TRUE(inImage == oldLines.substr(0, other) + expected + "NUL=D:\\GAMES\\X.EXE\r\n" + oldLines.substr(other) ||
                inImage == oldLines.substr(0, other) + "NUL=D:\\GAMES\\X.EXE\r\n" + expected + oldLines.substr(other))
        << inImage;

    // No FAT volume behind D:: no short name can be known.
    ASSERT_TRUE(c.Mount());
    Tree plain, mount;
    plain.File("Long Name/evil program.exe", offline::InfectedSample(2));
    const std::string bind = "mount --bind '" + plain.Root() + "' '" + mount.Root() + "' && mount -o remount,ro,bind '" +
                             mount.Root() + "'";
    ASSERT_EQ(std::system(bind.c_str()), 0);
    const std::string before = offline::ReadFile(c.Path("WINDOWS/WININIT.INI"));
    const offline::RunResult none = Scan({"--remove", c.Root(), "--drive", "D:=" + mount.Root()});
    std::system(("umount '" + mount.Root() + "'").c_str());
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(Has(none.err, mount.Root() + "/Long Name/evil program.exe: its short (8.3) name cannot be read "
                                             "from its FAT volume, and WININIT.INI takes no other: delete it by hand"))
        << none.err;
    EXPECT_EQ(offline::ReadFile(c.Path("WINDOWS/WININIT.INI")), before);

    // Short names crafted against WININIT.INI: one that another entry of the
    // folder also bears (DOS would delete that one), one holding a line
    // break (a forged entry). Neither is written.
    struct Crafted {
        const char* what;
        const char* from;  // the short entry as stored (11 bytes)
        const char* to;
    } crafted[] = {
        {"shared by another entry", "EVILON~2EXE", "EVILON~1EXE"},
        {"a line break", "EVILON~1EXE", "EV\r\nLO~1EXE"},
    };
    samples.File("plain.txt", "not a program");
    for (const Crafted& k : crafted) {
        ImageVolume e(ImageVolume::kFat32);
        ASSERT_TRUE(e.Unmount());
        const std::string img = " -i '" + e.Image() + "' ";
        ASSERT_EQ(std::system((m + "mmd" + img + "'::/Bad Names' && " + m + "mcopy" + img + "'" +
                               samples.Path("a.exe") + "' '::/Bad Names/evil one.exe' && " + m + "mcopy" + img +
                               "'" + samples.Path("plain.txt") + "' '::/Bad Names/EVILON~2.EXE'")
                                  .c_str()),
                  0);
        ASSERT_TRUE(PatchShortName(e.Image(), k.from, k.to)) << k.what;
        ASSERT_TRUE(e.Mount(true));
        const std::string unchanged = offline::ReadFile(c.Path("WINDOWS/WININIT.INI"));
        const offline::RunResult crafty = Scan({"--remove", c.Root(), "--drive", "D:=" + e.Root()});
        EXPECT_EQ(crafty.status, 2) << k.what;
        EXPECT_TRUE(Has(crafty.err, e.Root() + "/Bad Names/evil one.exe: its short (8.3) name cannot be read"))
            << k.what << crafty.err;
        EXPECT_EQ(offline::ReadFile(c.Path("WINDOWS/WININIT.INI")), unchanged) << k.what;
    }
}

// A FAT32 volume through FUSE (fusefat): the same walk, the same removal, a
// folder path too long for Windows told once.
TEST(VendrikaScanVolumes, Fat32VolumeThroughFuse) {
    ImageVolume volume(ImageVolume::kFat32);
    if (!volume.Unavailable().empty()) GTEST_SKIP() << volume.Unavailable();
    const std::string deep = "D/" + std::string(250, 'F') + "/" + std::string(10, 'G');
    volume.File("GAMES/X.EXE", offline::InfectedSample(5));
    volume.File("DOCS/LETTER.TXT", "Dear customer,\r\n");
    volume.File(deep + "/IN.EXE", offline::InfectedSample(6));
    const offline::RunResult r = Scan({"--remove", volume.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(Count(r.err, volume.Path(deep) + ": path too long"), 1u) << r.err;
    EXPECT_FALSE(Exists(volume.Path("GAMES/X.EXE")));
    EXPECT_TRUE(Exists(volume.Path("DOCS/LETTER.TXT")));
    EXPECT_TRUE(Exists(volume.Path(deep + "/IN.EXE")));
}

#ifdef CV_DEMO_VOLUME
// The demo volume, on a folder tree and on NTFS and FAT32 images, cleaned as
// a rescue user cleans it: --remove takes the infection at the volume's root
// and every one below it, with their start-up values, and a second run finds
// nothing. (A removal at the root once ended the walk of the whole volume.)
TEST(VendrikaScanVolumes, DemoVolumeIsCleanedFromItsRootDown) {
    const std::vector<std::string> infected = {"autorun.exe", "Downloads/setup.exe", "Games/Arcade/game.exe",
                                               "Program Files/Tools/tool.exe", "Documents/invoice.pdf.exe"};
    // Planted in a folder tree, then copied file by file (FAT keeps no modes).
    Tree demo;
    ASSERT_EQ(std::system((std::string(CV_DEMO_VOLUME) + " '" + demo.Root() + "'").c_str()), 0);
    auto clean = [&](const std::string& what, const std::string& root, const std::string& config,
                     const std::function<void(const std::string&, const std::string&)>& file) {
        const std::string hive = config + "/SOFTWARE", system = config + "/SYSTEM";
        for (const auto& [name, content] : demo.Snapshot())
            if (name.back() != '/') file(name, content.substr(0, content.rfind("|mode=")));
        for (const std::string& file : infected) ASSERT_TRUE(Exists(root + "/" + file)) << what << file;
        const offline::RunResult r = Scan({"--remove", root});
        EXPECT_EQ(r.status, 1) << what << r.out << r.err;
        for (const std::string& file : infected) EXPECT_FALSE(Exists(root + "/" + file)) << what << file;
        EXPECT_TRUE(Has(r.out, "Total files infected\t\t:  5")) << what << r.out;
        EXPECT_TRUE(Has(r.out, "Total files removed\t\t:  5")) << what << r.out;
        EXPECT_TRUE(Exists(root + "/Documents/letter.txt")) << what;
        std::map<std::string, std::string> run;
        ASSERT_TRUE(offline::HiveValues(hive, "Microsoft\\Windows\\CurrentVersion\\Run", &run)) << what;
        EXPECT_EQ(run, (std::map<std::string, std::string>{{"DemoNotepad", "notepad.exe"}})) << what;
        std::map<std::string, std::string> values;
        EXPECT_FALSE(offline::HiveValues(system, "ControlSet001\\Services\\DemoToolService", &values)) << what;
        EXPECT_TRUE(offline::HiveValues(system, "ControlSet001\\Services\\Tcpip", &values)) << what;
        const offline::RunResult again = Scan({root});
        EXPECT_TRUE(Has(again.out, "Total files infected\t\t:  0")) << what << again.out;
    };
    {
        Tree tree;
        clean("folder tree", tree.Root(), tree.Path("WINDOWS/system32/config"),
              [&](const std::string& name, const std::string& bytes) { tree.File(name, bytes); });
    }
    for (const ImageVolume::Kind kind : {ImageVolume::kNtfs, ImageVolume::kFat32}) {
        ImageVolume volume(kind);
        if (!volume.Unavailable().empty()) {
            std::printf("image volume skipped: %s\n", volume.Unavailable().c_str());
            continue;
        }
        clean(kind == ImageVolume::kNtfs ? "NTFS image" : "FAT32 image", volume.Root(),
              volume.Path("WINDOWS/system32/config"),
              [&](const std::string& name, const std::string& bytes) { volume.File(name, bytes); });
    }
}
#endif

namespace {
// Gives an entry of an ntfs-3g volume a reparse point, as Windows would
// have left it: a symbolic link or junction to C:\Windows (ntfs-3g checks
// those), any other tag with a few bytes of data.
bool PlantReparsePoint(const std::string& path, uint32_t tag) {
    std::string body;
    auto u16 = [&](size_t v) { body += char(v & 0xFF), body += char(v >> 8); };
    auto wide = [](const std::string& s) {
        std::string w;
        for (char c : s) w += std::string{c, '\0'};
        return w;
    };
    const std::string target = wide("\\??\\C:\\Windows"), shown = wide("C:\\Windows");
    if (tag == 0xA000000C) {  // substitute name, print name, flags
        u16(0), u16(target.size()), u16(target.size()), u16(shown.size());
        body += std::string(4, '\0') + target + shown;
    } else if (tag == 0xA0000003) {  // each name ended by a 0
        u16(0), u16(target.size()), u16(target.size() + 2), u16(shown.size());
        body += target + std::string(2, '\0') + shown + std::string(2, '\0');
    } else {
        body = std::string(8, '\0');
    }
    std::string point;
    for (int i = 0; i < 4; ++i) point += char(uint8_t(tag >> (8 * i)));
    point += char(body.size() & 0xFF), point += char(body.size() >> 8), point += std::string(2, '\0');
    point += body;
    return lsetxattr(path.c_str(), "system.ntfs_reparse_data", point.data(), point.size(), 0) == 0;
}
}  // namespace

// ntfs-3g shows a file with a reparse point it cannot read as a symbolic
// link. Windows follows only its symbolic links and junctions; every other
// reparse point it reads as the file itself (a program Windows compressed,
// a deduplicated file, a cloud placeholder and what lies below it): each
// such entry is told as not scanned, status 2. Real links stay unsaid.
TEST(VendrikaScanVolumes, ReparsePointsWindowsReadsAreNeverPassedInSilence) {
    ImageVolume volume(ImageVolume::kNtfs);
    if (!volume.Unavailable().empty()) GTEST_SKIP() << volume.Unavailable();
    const struct {
        const char* path;
        bool folder;
        uint32_t tag;
        bool told;
    } points[] = {
        {"compact/app.exe", false, 0x80000017, true},  // compact /exe, CompactOS
        {"dedup/data.exe", false, 0x80000013, true},
        {"cloud", true, 0x9000601A, true},  // a placeholder folder, its files below
        {"links/target.exe", false, 0xA000000C, false},
        {"links/junction", true, 0xA0000003, false},
    };
    volume.File("ok/infected.exe", offline::InfectedSample(1));
    for (const auto& p : points) {
        volume.File(p.folder ? std::string(p.path) + "/inside.exe" : p.path, offline::InfectedSample(2));
        ASSERT_TRUE(PlantReparsePoint(volume.Path(p.path), p.tag)) << p.path << ": " << strerror(errno);
    }
    ASSERT_EQ(symlink("ok/infected.exe", volume.Path("links/own-link.exe").c_str()), 0);  // ntfs-3g's own

    const offline::RunResult r = Scan({volume.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    for (const auto& p : points)
        EXPECT_EQ(Count(r.err, volume.Path(p.path) + ": reparse point"), p.told ? 1u : 0u) << p.path << r.err;
    EXPECT_FALSE(Has(r.err, volume.Path("links"))) << r.err;
    EXPECT_TRUE(Has(r.out, "Total files infected\t\t:  1")) << r.out;
}
