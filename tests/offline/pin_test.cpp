// Rules of vendrika-scan and its POSIX platform that no other test held:
// access times kept, a listed entry that leads nowhere, one removing run per
// 95/98/Me Windows, every flush at a commit, escapes, opens that never
// block, the identity check before a change, environment strings of
// start-up values and services, --quiet's deferred notes, a dirty hive.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <hivex.h>
#include <iconv.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "persistence/delayed_delete.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_syscalls.h"
#include "scan/scan_context.h"
#include "tests/offline/offline_support.h"

using offline::RunOptions;
using offline::Scan;
using offline::Tree;

namespace {

const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char kName[] = "W32/Vendrika.Gen.Trojan";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
    size_t times = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++times;
    return times;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// An XP Windows with a hive, a SYSTEM hive, a hosts file and two infected
// programs whose start-up values it holds.
struct Xp {
    std::string hive, system;
    explicit Xp(Tree& tree) {
        tree.Folder("WINDOWS/system32/config");
        hive = tree.Path("WINDOWS/system32/config/SOFTWARE");
        system = tree.Path("WINDOWS/system32/config/SYSTEM");
        offline::WriteEmptyHive(system);
        offline::SetHiveValues(system, "ControlSet001\\Services\\Tcpip",
                               {{"ImagePath", "system32\\DRIVERS\\tcpip.sys"}}, 2);
        offline::WriteSoftwareHive(hive);
        offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "5.1"}});
        offline::SetHiveValues(hive, kRun,
                               {{"Updater", "\"C:\\Downloads\\setup.exe\" /silent"},
                                {"Autorun", "C:\\autorun.exe"},
                                {"Notepad", "notepad.exe"}});
        tree.File("WINDOWS/system32/drivers/etc/hosts", "127.0.0.1 localhost\r\n");
        tree.File("autorun.exe", offline::InfectedSample(3));
        tree.File("Downloads/setup.exe", offline::InfectedSample(0));
        tree.File("Documents/letter.txt", "Dear customer,\r\n");
    }
};

// The bytes of a JSON string field, every escape undone (\uXXXX beyond
// ASCII and surrogate pairs included); "<missing>" when there is none.
std::string JsonText(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    size_t at = line.find(key);
    if (at == std::string::npos) return "<missing>";
    std::string out;
    auto put = [&](uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6)), out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12)), out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18)), out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
        }
    };
    for (at += key.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            out += line[at];
            continue;
        }
        const char c = line[++at];
        if (c != 'u') {
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'b' ? '\b' : c == 'f' ? '\f' : c;
            continue;
        }
        uint32_t cp = uint32_t(std::stoul(line.substr(at + 1, 4), nullptr, 16));
        at += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && line.compare(at + 1, 2, "\\u") == 0) {
            const uint32_t low = uint32_t(std::stoul(line.substr(at + 3, 4), nullptr, 16));
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            at += 6;
        }
        put(cp);
    }
    return out;
}

bool ValidUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "UTF-8");
    if (cd == iconv_t(-1)) return false;
    std::string in = text, out(text.size() * 2 + 16, '\0');
    char* inp = &in[0];
    char* outp = &out[0];
    size_t inLeft = in.size(), outLeft = out.size();
    const bool ok = iconv(cd, &inp, &inLeft, &outp, &outLeft) != size_t(-1) && inLeft == 0;
    iconv_close(cd);
    return ok;
}

// ---- access times ----
std::map<std::string, struct timespec>* g_times = nullptr;
const struct timespec kOld = {978307200, 0};  // 2001-01-01

int SetOldAtime(const char* path, const struct stat*, int, struct FTW*) {
    const struct timespec times[2] = {kOld, {0, UTIME_OMIT}};
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

// Each folder's time as it was before this walk read its listing.
int NoteAtime(const char* path, const struct stat* st, int, struct FTW*) {
    (*g_times)[path] = st->st_atim;
    return 0;
}

std::map<std::string, struct timespec> Atimes(const std::string& root) {
    std::map<std::string, struct timespec> times;
    g_times = &times;
    nftw(root.c_str(), NoteAtime, 16, FTW_PHYS);
    g_times = nullptr;
    return times;
}

}  // namespace

// Fault 1: a report-only run reads the files and folders of the volume
// without changing their access times (O_NOATIME), on a tmpfs mounted with
// strictatime, where every read updates them. As a user who owns none of
// the files (O_NOATIME refused: EPERM) the same run still reads them all.
TEST(VendrikaScanPins, ReportOnlyRunKeepsAccessTimes) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    Tree tree;
    if (std::system(("mount -t tmpfs -o strictatime,mode=0777 cv-atime '" + tree.Root() + "'").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs mount here";
    struct Unmount {
        std::string at;
        ~Unmount() { std::system(("umount '" + at + "'").c_str()); }
    } unmount{tree.Root()};
    Xp xp(tree);
    tree.File("Games/game.exe", offline::InfectedSample(10));
    tree.File("probe", "read me");
    // Post-order: a folder's time is set once its listing has been read.
    auto setOld = [&] { return nftw(tree.Root().c_str(), SetOldAtime, 16, FTW_PHYS | FTW_DEPTH); };
    ASSERT_EQ(setOld(), 0);
    // The mount updates access times: a plain read of the probe changes its.
    offline::ReadFile(tree.Path("probe"));
    struct stat probe;
    ASSERT_EQ(stat(tree.Path("probe").c_str(), &probe), 0);
    ASSERT_NE(probe.st_atim.tv_sec, kOld.tv_sec) << "this mount keeps no access times";
    ASSERT_EQ(SetOldAtime(tree.Path("probe").c_str(), nullptr, 0, nullptr), 0);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{tree.Root()}, std::vector<std::string>{"--json", tree.Root()}}) {
        ASSERT_EQ(setOld(), 0);
        const offline::RunResult r = Scan(args);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, "would be removed with --remove") || Has(r.out, "would_remove")) << r.out;
        for (const auto& [path, atime] : Atimes(tree.Root()))
            EXPECT_EQ(atime.tv_sec, kOld.tv_sec) << path << " was given a new access time by " << args[0];
    }
    RunOptions nobody;
    nobody.asNobody = true;
    const offline::RunResult user = Scan({tree.Root()}, nobody);
    EXPECT_EQ(user.status, 1) << user.out << user.err;
    EXPECT_EQ(Count(user.out, std::string(kName) + " FOUND"), 3u) << user.out;
    EXPECT_EQ(user.err, "");
}

namespace {
// Renames, in place, the key `from` of a folder's index root ($INDEX_ROOT,
// resident in the folder's record) on an unmounted NTFS image to `to` (the
// same length), leaving the file's own record as it was: the folder's
// listing then shows `to`, and a look-up of `to` searches the sorted index
// and finds nothing, as in a folder index that a crash or a bad sector left
// out of order. False when there is no such key (or it lies across a
// sector's update sequence number).
bool DamageIndexKey(const std::string& image, const std::string& from, const std::string& to) {
    std::string bytes;
    {
        std::ifstream in(image, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto wide = [](const std::string& s) {
        std::string w;
        for (char c : s) w += std::string{c, '\0'};
        return w;
    };
    const std::string wf = wide(from), wt = wide(to);
    auto u16 = [&](size_t i) { return unsigned(uint8_t(bytes[i])) | unsigned(uint8_t(bytes[i + 1])) << 8; };
    auto u32 = [&](size_t i) { return u16(i) | u16(i + 2) << 16; };
    for (size_t record = 0; record + 1024 <= bytes.size(); record += 1024) {
        if (bytes.compare(record, 4, "FILE") != 0) continue;
        for (size_t attr = record + u16(record + 0x14); attr + 8 < record + 1024;) {
            const unsigned type = u32(attr), length = u32(attr + 4);
            if (type == 0xFFFFFFFFu || length == 0 || attr + length > record + 1024) break;
            if (type == 0x90) {
                const size_t at = bytes.find(wf, attr);
                if (at != std::string::npos && at + wf.size() <= attr + length) {
                    for (size_t k = at; k < at + wf.size(); ++k)
                        if ((k - record) % 512 >= 510) return false;
                    bytes.replace(at, wt.size(), wt);
                    std::ofstream(image, std::ios::binary | std::ios::in)
                        .write(bytes.data(), std::streamsize(bytes.size()));
                    return true;
                }
            }
            attr += length;
        }
    }
    return false;
}
}  // namespace

// Fault 2: an entry its folder's listing shows but whose name leads nowhere
// (a damaged NTFS folder index, made on an image and mounted with ntfs-3g):
// a file and a folder, each told once as not scanned, status 2; the rest of
// the folder is scanned.
TEST(VendrikaScanPins, ListedEntryThatLeadsNowhereIsTold) {
    offline::ImageVolume volume(offline::ImageVolume::kNtfs);
    if (!volume.Unavailable().empty()) GTEST_SKIP() << volume.Unavailable();
    volume.File("idx/bbb.exe", offline::InfectedSample(1));
    volume.File("idx/qqq/inside.exe", offline::InfectedSample(2));
    volume.File("idx/mmm.txt", "plain");
    volume.File("idx/ppp.exe", offline::InfectedSample(3));
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(DamageIndexKey(volume.Image(), "ppp.exe", "aaa.exe"));
    ASSERT_TRUE(DamageIndexKey(volume.Image(), "qqq", "aab"));
    ASSERT_TRUE(volume.Mount());
    struct stat st;
    ASSERT_NE(lstat(volume.Path("idx/aaa.exe").c_str(), &st), 0);  // listed, but no such name
    ASSERT_EQ(errno, ENOENT);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{volume.Root()}, std::vector<std::string>{"--remove", volume.Root()}}) {
        const offline::RunResult r = Scan(args);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        for (const char* entry : {"idx/aaa.exe", "idx/aab"})
            EXPECT_EQ(Count(r.err, volume.Path(entry) + ": listed in its folder, but not found by its name "
                                                        "(a damaged folder index?); not scanned"),
                      1u)
                << entry << r.err;
        EXPECT_TRUE(Has(r.out, "Total files infected\t\t:  1")) << r.out;
    }
    EXPECT_FALSE(Exists(volume.Path("idx/bbb.exe")));
}

namespace {
// Whether process `pid` holds a flock on the file `path` (by /proc/locks,
// which a test reads without taking the lock itself).
bool HoldsFlock(pid_t pid, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    std::ifstream locks("/proc/locks");
    char inode[64];
    std::snprintf(inode, sizeof inode, ":%lu ", (unsigned long)st.st_ino);
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string n, kind, advisory, mode, owner, where;
        fields >> n >> kind >> advisory >> mode >> owner >> where;
        if (kind == "FLOCK" && owner == std::to_string(pid) && Has(where + " ", inode)) return true;
    }
    return false;
}

pid_t Start(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0), dup2(null, 1), dup2(null, 2);
        std::vector<char*> argv{const_cast<char*>(CV_VENDRIKA_SCAN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}
}  // namespace

// Fault 3: two removing runs on one 95/98/Me Windows. While a first run
// holds the lock on its Windows folder (a real run, stopped once it holds
// it), a second one is refused before it changes anything; a report-only
// run needs no lock. The lock is the NT family's rule: the registry's folder.
TEST(VendrikaScanPins, OneRemovingRunAtATimeOn9x) {
    Tree w98;
    w98.File("WINDOWS/SYSTEM.DAT", "CREG");
    w98.File("MSDOS.SYS", offline::MsdosSys());
    w98.File("WINDOWS/WININIT.INI", "[rename]\r\nNUL=C:\\OLD.EXE\r\n");
    for (int i = 0; i < 3000; ++i) w98.File("many/f" + std::to_string(i) + ".txt", "x");
    w98.File("GAMES/X.EXE", offline::InfectedSample(5));
    const std::string windows = w98.Path("WINDOWS");

    const pid_t first = Start({"--remove", w98.Root()});
    bool held = false;
    for (int i = 0; i < 20000 && !held; ++i) {
        held = HoldsFlock(first, windows);
        if (held) kill(first, SIGSTOP);
        else usleep(100);
    }
    ASSERT_TRUE(held) << "the first run never held its Windows folder";
    const auto before = w98.Snapshot();
    const offline::RunResult second = Scan({"--remove", w98.Root()});
    EXPECT_EQ(second.status, 2);
    EXPECT_TRUE(Has(second.err, "another run of vendrika-scan is changing this Windows' registry or its "
                                "WININIT.INI; run again once it has ended: nothing was done"))
        << second.err;
    EXPECT_EQ(w98.Snapshot(), before);
    EXPECT_EQ(Scan({w98.Root()}).status, 1);  // report-only
    kill(first, SIGCONT);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;  // its registry is not examined
    EXPECT_FALSE(Exists(w98.Path("GAMES/X.EXE")));

    // The lock taken by hand, as a run takes it.
    w98.File("GAMES/Y.EXE", offline::InfectedSample(6));
    const int folder = open(windows.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    EXPECT_EQ(Scan({"--remove", w98.Root()}).status, 2);
    EXPECT_TRUE(Exists(w98.Path("GAMES/Y.EXE")));
    close(folder);
    EXPECT_EQ(Scan({"--remove", w98.Root()}).status, 2);
    EXPECT_FALSE(Exists(w98.Path("GAMES/Y.EXE")));
}

// Fault 3, the entries: two removing runs one after the other, each with a
// file of a read-only FAT volume (D:) to delete at the next start: the
// WININIT.INI of the Windows on C: holds both entries and its old lines.
// Needs root and FUSE (fusefat, mtools).
TEST(VendrikaScanPins, SequentialRunsKeepEachOthersWininitEntries) {
    offline::ImageVolume c(offline::ImageVolume::kFat32), d(offline::ImageVolume::kFat32);
    if (!c.Unavailable().empty()) GTEST_SKIP() << c.Unavailable();
    const std::string old = "[Rename]\r\nNUL=C:\\OLDPROG\\OLD.EXE\r\n";
    c.File("WINDOWS/SYSTEM.DAT", "CREG");
    c.File("MSDOS.SYS", offline::MsdosSys());
    c.File("WINDOWS/WININIT.INI", old);
    ASSERT_TRUE(d.Unmount());
    Tree samples;
    samples.File("a.exe", offline::InfectedSample(0));
    samples.File("b.exe", offline::InfectedSample(5));
    const std::string m = "MTOOLS_SKIP_CHECK=1 ", image = " -i '" + d.Image() + "' ";
    ASSERT_EQ(std::system((m + "mmd" + image + "::/ONE ::/TWO && " + m + "mcopy" + image + "'" + samples.Path("a.exe") +
                           "' ::/ONE/A.EXE && " + m + "mcopy" + image + "'" + samples.Path("b.exe") + "' ::/TWO/B.EXE")
                              .c_str()),
              0);
    ASSERT_TRUE(d.Mount(true));
    const offline::RunResult one = Scan({"--remove", c.Root(), "--drive", "D:=" + d.Path("ONE")});
    EXPECT_TRUE(Has(one.out, "NUL=D:\\A.EXE added")) << one.out << one.err;
    const offline::RunResult two = Scan({"--remove", c.Root(), "--drive", "D:=" + d.Path("TWO")});
    EXPECT_TRUE(Has(two.out, "NUL=D:\\B.EXE added")) << two.out << two.err;
    EXPECT_EQ(offline::ReadFile(c.Path("WINDOWS/WININIT.INI")), old + "NUL=D:\\A.EXE\r\nNUL=D:\\B.EXE\r\n");
}

namespace {
struct Flush {
    unsigned long device, inode;
    bool folder;
};
std::vector<Flush>* g_flushes = nullptr;
int g_failFlush = 0;

int RecordingFsync(int fd) {
    struct stat st;
    if (g_flushes && fstat(fd, &st) == 0)
        g_flushes->push_back({(unsigned long)st.st_dev, (unsigned long)st.st_ino, S_ISDIR(st.st_mode)});
    if (g_failFlush) {
        errno = g_failFlush;
        return -1;
    }
    return pf::posix::RealSystemCalls().fsync(fd);
}

// The system calls of the platform swapped for a test's, put back at the end.
struct SwappedCalls {
    pf::posix::SystemCalls saved = pf::posix::Sys();
    ~SwappedCalls() { pf::posix::Sys() = saved; }
};

size_t FlushesOf(const std::vector<Flush>& flushes, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    size_t n = 0;
    for (const Flush& f : flushes) n += f.device == st.st_dev && f.inode == st.st_ino;
    return n;
}
}  // namespace

// Rule 4a: at a commit each new hive is flushed before it replaces the old
// one, and its folder with it (before and after the rename); so are the new
// WININIT.INI and its folder. A flush that fails leaves the hive as it was.
// Seen through the platform's table of system calls.
TEST(VendrikaScanPins, EveryCommitIsFlushed) {
    Tree tree;
    Xp xp(tree);
    ASSERT_TRUE(offline::SetHiveValues(xp.system, "ControlSet001\\Services\\evil",
                                       {{"ImagePath", "C:\\Downloads\\setup.exe"}}));
    SwappedCalls swapped;
    pf::posix::Sys().fsync = RecordingFsync;
    std::vector<Flush> flushes;
    g_flushes = &flushes;
    auto change = [&](pf::posix::PosixPlatform& platform) {
        std::string why;
        ASSERT_TRUE(platform.AddDrive(tree.Root(), &why)) << why;
        platform.SetWindows(pf::posix::PosixPlatform::FindWindows(platform, 'C'));
        ASSERT_TRUE(platform.LockRegistry(&why)) << why;
        pf::HKEY key = nullptr;
        ASSERT_EQ(platform.RegOpenKeyExA(pf::kHkeyLocalMachine, (std::string("Software\\") + kRun).c_str(), 0,
                                         0x20006, &key), 0);
        ASSERT_EQ(platform.RegDeleteValueA(key, "Autorun"), 0);
        platform.RegCloseKey(key);
        ASSERT_EQ(platform.RegDeleteKeyA(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\evil"), 0);
    };
    {
        pf::posix::PosixPlatform platform;
        change(platform);
        EXPECT_TRUE(platform.CommitRegistry());
    }
    EXPECT_EQ(FlushesOf(flushes, xp.hive), 1u);
    EXPECT_EQ(FlushesOf(flushes, xp.system), 1u);
    EXPECT_EQ(FlushesOf(flushes, tree.Path("WINDOWS/system32/config")), 4u);  // twice per hive
    for (const Flush& f : flushes) EXPECT_TRUE(f.folder || FlushesOf({f}, xp.hive) || FlushesOf({f}, xp.system));

    // A flush that fails: the hive stays byte for byte, and it is said.
    offline::SetHiveValues(xp.hive, kRun, {{"Autorun", "C:\\autorun.exe"}});
    offline::SetHiveValues(xp.system, "ControlSet001\\Services\\evil", {{"ImagePath", "C:\\Downloads\\setup.exe"}});
    const std::string before = offline::ReadFile(xp.hive);
    flushes.clear();
    g_failFlush = EIO;
    {
        pf::posix::PosixPlatform platform;
        change(platform);
        EXPECT_FALSE(platform.CommitRegistry());
    }
    g_failFlush = 0;
    EXPECT_EQ(offline::ReadFile(xp.hive), before);
    EXPECT_FALSE(Exists(xp.hive + ".vendrika-new"));

    // WININIT.INI of a 95/98/Me Windows.
    Tree w98;
    w98.File("WINDOWS/SYSTEM.DAT", "CREG");
    w98.File("MSDOS.SYS", offline::MsdosSys());
    w98.File("WINDOWS/WININIT.INI", "[rename]\r\n");
    flushes.clear();
    {
        pf::posix::PosixPlatform platform;
        std::string why;
        ASSERT_TRUE(platform.AddDrive(w98.Root(), &why));
        platform.SetWindows(pf::posix::PosixPlatform::FindWindows(platform, 'C'));
        EXPECT_TRUE(platform.RewriteWininit(
            [](const std::string& old) { return WithRenameEntry(old, "NUL", "D:\\X.EXE"); }, &why))
            << why;
    }
    g_flushes = nullptr;
    EXPECT_EQ(offline::ReadFile(w98.Path("WINDOWS/WININIT.INI")), "[rename]\r\nNUL=D:\\X.EXE\r\n");
    EXPECT_EQ(FlushesOf(flushes, w98.Path("WINDOWS/WININIT.INI")), 1u);
    EXPECT_EQ(FlushesOf(flushes, w98.Path("WINDOWS")), 1u);
}

// Rule 4b: names holding control characters, C1 controls, line separators
// and bidirectional controls: in text each such character is shown as \xHH
// per byte (exactly these bytes, nothing else changed); in JSON the line is
// valid UTF-8, holds none of them raw (each is a \u escape) and its field
// gives the name's exact bytes back, with no "_hex" twin.
TEST(VendrikaScanPins, ControlAndBidiCharactersAreEscaped) {
    const std::vector<std::string> characters = {
        "\x01", "\x1b", "\x7f", "\xc2\x80", "\xc2\x85", "\xc2\x9b", "\xc2\x9f", "\xe2\x80\x8e", "\xe2\x80\x8f",
        "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaa", "\xe2\x80\xab", "\xe2\x80\xac", "\xe2\x80\xad",
        "\xe2\x80\xae", "\xe2\x81\xa6", "\xe2\x81\xa7", "\xe2\x81\xa8", "\xe2\x81\xa9",
    };
    Tree tree;
    std::map<std::string, std::string> shown;  // the path as planted, as text must show it
    for (size_t i = 0; i < characters.size(); ++i) {
        const std::string rel = "n" + std::to_string(i) + "/a" + characters[i] + "b.exe";
        tree.File(rel, offline::InfectedSample(int(i % 20) + 1));
        std::string escaped;
        for (unsigned char c : characters[i]) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            escaped += hex;
        }
        shown[tree.Path(rel)] = tree.Path("n" + std::to_string(i) + "/a" + escaped + "b.exe");
    }
    tree.File("plain/caf\xc3\xa9 \xe6\x97\xa5.exe", offline::InfectedSample(21));  // shown as it is
    shown[tree.Path("plain/caf\xc3\xa9 \xe6\x97\xa5.exe")] = tree.Path("plain/caf\xc3\xa9 \xe6\x97\xa5.exe");

    const offline::RunResult text = Scan({tree.Root()});
    EXPECT_EQ(text.status, 1) << text.err;
    for (const auto& [planted, line] : shown)
        EXPECT_EQ(Count(text.out, line + ": " + kName + " FOUND\n"), 1u) << line << "\n" << text.out;

    const offline::RunResult json = Scan({"--json", tree.Root()});
    EXPECT_TRUE(ValidUtf8(json.out));
    std::set<std::string> paths;
    for (const std::string& line : json.Lines()) {
        for (unsigned char c : line) EXPECT_GE(c, 0x20) << line;
        for (const std::string& c : characters)
            if (c.size() > 1) EXPECT_FALSE(Has(line, c)) << line;
        if (!Has(line, "\"type\":\"detection\"")) continue;
        EXPECT_FALSE(Has(line, "_hex")) << line;
        paths.insert(JsonText(line, "path"));
    }
    std::set<std::string> planted;
    for (const auto& [path, line] : shown) planted.insert(path);
    EXPECT_EQ(paths, planted);
    EXPECT_TRUE(Has(json.out, "a\\u202eb.exe")) << json.out;
    EXPECT_TRUE(Has(json.out, "a\\u009bb.exe")) << json.out;
}

// Rule 4c: every open of the volume is non-blocking (O_NONBLOCK; and, for
// what exists, O_NOATIME first), in report-only and removing runs, folders,
// files, hives, the hosts file and the new hive included: a build of
// vendrika-scan that logs every open the platform makes.
TEST(VendrikaScanPins, EveryOpenOfTheVolumeIsNonBlocking) {
    for (const char* mode : {"report", "--remove", "--json"}) {
        Tree tree;
        Xp xp(tree);
        Tree logs;
        const std::string log = logs.Path("calls");
        setenv("CV_SYSCALL_LOG", log.c_str(), 1);
        RunOptions options;
        options.program = CV_VENDRIKA_SCAN_SYSCALL_LOG;
        std::vector<std::string> args;
        if (std::string(mode) != "report") args.push_back(mode);
        args.push_back(tree.Root());
        const offline::RunResult r = Scan(args, options);
        unsetenv("CV_SYSCALL_LOG");
        EXPECT_TRUE(r.status == 1) << mode << r.out << r.err;
        std::istringstream in(offline::ReadFile(log));
        size_t opens = 0, files = 0, made = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, 7, "openat ") != 0) continue;
            ++opens;
            const int flags = int(std::stoul(line.substr(7), nullptr, 16));
            EXPECT_TRUE(flags & O_NONBLOCK) << mode << ": " << line;
            EXPECT_TRUE(flags & O_CLOEXEC) << mode << ": " << line;
            if (!(flags & (O_PATH | O_CREAT)) && Has(line, "/proc/self/fd/")) ++files;
            if (flags & O_CREAT) ++made;
        }
        EXPECT_GT(opens, 20u) << mode;
        EXPECT_GE(files, 3u) << mode;  // the infected programs, the hives, the hosts file
        if (std::string(mode) == "--remove") EXPECT_GE(made, 1u);  // the new hive
    }
}

namespace {
// The POSIX platform with a second program of the volume replacing the file
// at a name, by another file, at the moment the cleaner acts on it.
class Replacing : public pf::posix::PosixPlatform {
public:
    std::string posix;     // the file's name on this machine
    std::string when;      // "attributes" or "delete"
    pf::BOOL SetFileAttributesA(const char* path, pf::DWORD attributes) override {
        if (when == "attributes") Replace();
        return PosixPlatform::SetFileAttributesA(path, attributes);
    }
    pf::BOOL DeleteFileA(const char* path) override {
        if (when == "delete") Replace();
        return PosixPlatform::DeleteFileA(path);
    }

private:
    void Replace() {
        std::ofstream(posix + ".other", std::ios::binary) << "the user's own file";
        chmod((posix + ".other").c_str(), 0444);
        rename((posix + ".other").c_str(), posix.c_str());
        when.clear();
    }
};
}  // namespace

// Rule 4d: a file replaced by another one of the same name between its
// inspection and its removal (before its attributes are changed, or before
// it is deleted) is not touched: the other file stays with its mode, and
// the removal is told as failed. Without a replacement the file goes.
TEST(VendrikaScanPins, FileReplacedAfterItsInspectionIsNotRemoved) {
    for (const char* when : {"attributes", "delete", ""}) {
        Tree tree;
        tree.File("Downloads/setup.exe", offline::InfectedSample(0));
        Replacing platform;
        platform.posix = tree.Path("Downloads/setup.exe");
        platform.when = when;
        std::string why;
        ASSERT_TRUE(platform.AddDrive(tree.Root(), &why)) << why;
        pf::SetPlatform(&platform);
        ResetScanContextForTest();
        EXPECT_EQ(InspectFile(kName, "C:\\Downloads\\setup.exe"), 1) << when;
        const unsigned removed = g_scan.removedCount;
        ResetScanContextForTest();
        pf::SetPlatform(nullptr);
        if (!when[0]) {
            EXPECT_EQ(removed, 1u);
            EXPECT_FALSE(Exists(tree.Path("Downloads/setup.exe")));
            continue;
        }
        EXPECT_EQ(removed, 0u) << when;
        EXPECT_EQ(offline::ReadFile(tree.Path("Downloads/setup.exe")), "the user's own file") << when;
        struct stat st;
        ASSERT_EQ(stat(tree.Path("Downloads/setup.exe").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0444u) << when;
    }
}

// Rule 4e: start-up values and service ImagePaths with environment strings,
// as the Windows on the volume expands them: %windir% and %ProgramFiles%
// (and %SystemRoot% in a REG_EXPAND_SZ ImagePath) name its files; a REG_SZ
// ImagePath holding "%SystemRoot%" is not expanded by the service manager
// (it reads ImagePath as REG_EXPAND_SZ only when so typed: ReactOS's
// ScmReadString, Microsoft's KB 237789), so it starts nothing of the volume
// and its key stays.
TEST(VendrikaScanPins, EnvironmentStringsAsWindowsExpandsThem) {
    Tree tree;
    Xp xp(tree);
    tree.File("WINDOWS/system32/evil.exe", offline::InfectedSample(12));
    tree.File("Program Files/Tools/tool.exe", offline::InfectedSample(28));
    ASSERT_TRUE(offline::SetHiveValues(xp.hive, kRun,
                                       {{"ByWindir", "%windir%\\system32\\evil.exe /s"},
                                        {"ByProgramFiles", "\"%ProgramFiles%\\Tools\\tool.exe\""}},
                                       2));
    struct Service {
        const char* name;
        const char* imagePath;
        int type;
        bool worms;
    } services[] = {
        {"expandsz", "%SystemRoot%\\system32\\evil.exe -k x", 2, true},
        {"windir", "%windir%\\system32\\evil.exe", 2, true},
        {"programfiles", "\"%ProgramFiles%\\Tools\\tool.exe\" -service", 2, true},
        {"plainsz", "%SystemRoot%\\system32\\evil.exe -k x", 1, false},
        {"plainpf", "%ProgramFiles%\\Tools\\tool.exe", 1, false},
        {"rootsz", "\\SystemRoot\\System32\\evil.exe", 1, true},  // the kernel's own form, no variable
    };
    for (const Service& s : services)
        ASSERT_TRUE(offline::SetHiveValues(xp.system, std::string("ControlSet001\\Services\\") + s.name,
                                           {{"ImagePath", s.imagePath}}, s.type));
    const offline::RunResult report = Scan({tree.Root()});
    EXPECT_EQ(report.status, 1) << report.err;
    for (const char* value : {"ByWindir", "ByProgramFiles"})
        EXPECT_TRUE(Has(report.out, std::string("CurrentVersion\\Run\\") + value + " (" + xp.hive +
                                        "): would be removed with --remove"))
            << value << report.out;
    for (const Service& s : services)
        EXPECT_EQ(Has(report.out, std::string("Services\\") + s.name + " (" + xp.system + "): would be removed"),
                  s.worms)
            << s.name << report.out;

    const offline::RunResult r = Scan({"--remove", tree.Root()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    std::map<std::string, std::string> values;
    for (const Service& s : services)
        EXPECT_EQ(offline::HiveValues(xp.system, std::string("ControlSet001\\Services\\") + s.name, &values),
                  !s.worms)
            << s.name;
    ASSERT_TRUE(offline::HiveValues(xp.hive, kRun, &values));
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"Notepad", "notepad.exe"}}));

    // %ProgramFiles% is what the hive's ProgramFilesDir says (a German XP).
    Tree german;
    Xp de(german);
    german.File("Programme/Tools/tool.exe", offline::InfectedSample(28));
    german.File("Program Files/Tools/tool.exe", "not the worm");
    ASSERT_TRUE(offline::SetHiveValues(de.hive, "Microsoft\\Windows\\CurrentVersion",
                                       {{"ProgramFilesDir", "C:\\Programme"}}));
    ASSERT_TRUE(offline::SetHiveValues(de.hive, kRun, {{"Tool", "%ProgramFiles%\\Tools\\tool.exe"}}, 2));
    const offline::RunResult programme = Scan({german.Root()});
    EXPECT_TRUE(Has(programme.out, "CurrentVersion\\Run\\Tool (" + de.hive + "): would be removed with --remove"))
        << programme.out;
}

// Rule 4f: with --quiet the notes (which Windows, what was not examined)
// are held back to the end and shown only when something was found.
TEST(VendrikaScanPins, QuietRunShowsItsNotesOnlyAfterADetection) {
    Tree plain, w98, xpTree;
    plain.File("a/b.txt", "hello");
    w98.File("WINDOWS/SYSTEM.DAT", "CREG");
    w98.File("MSDOS.SYS", offline::MsdosSys());
    Xp xp(xpTree);
    std::remove(xpTree.Path("autorun.exe").c_str());
    std::remove(xpTree.Path("Downloads/setup.exe").c_str());
    const struct {
        Tree* tree;
        const char* note;  // "" for none with --quiet
    } volumes[] = {
        {&plain, "no Windows found on any PATH"},
        {&w98, "its registry (SYSTEM.DAT, USER.DAT) is not examined"},
        {&xpTree, ""},  // a Windows whose registry is examined: nothing to tell
    };
    for (const auto& v : volumes) {
        const offline::RunResult loud = Scan({v.tree->Root()});
        EXPECT_EQ(loud.status, 0) << loud.out << loud.err;
        EXPECT_TRUE(Has(loud.out, v.note[0] ? v.note : "Windows: ")) << loud.out;
        const offline::RunResult clean = Scan({"--quiet", v.tree->Root()});
        EXPECT_EQ(clean.status, 0) << clean.err;
        EXPECT_EQ(clean.out, "") << v.note;
        EXPECT_EQ(clean.err, "") << v.note;

        v.tree->File("infected/x.exe", offline::InfectedSample(7));
        const offline::RunResult found = Scan({"--quiet", v.tree->Root()});
        EXPECT_EQ(found.status, 1) << found.err;
        const std::vector<std::string> lines = found.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(Has(lines.front(), "x.exe: " + std::string(kName) + " FOUND")) << found.out;
        EXPECT_EQ(lines.size(), v.note[0] ? 2u : 1u) << found.out;
        if (v.note[0]) EXPECT_TRUE(Has(lines.back(), v.note)) << found.out;
        std::remove(v.tree->Path("infected/x.exe").c_str());
    }
}

// Rule 4g: a hive Windows left dirty (its sequence numbers differ: the
// newer changes are in its log) but whose header checksum is valid, so
// that hivex reads it: a removing run leaves it byte for byte and says why;
// the files are cleaned all the same. A report-only run reads it, lists
// what --remove would remove from it and says that its log was not read.
TEST(VendrikaScanPins, DirtyHiveWithAValidChecksumIsLeftAlone) {
    Tree tree;
    Xp xp(tree);
    ASSERT_TRUE(offline::MarkHiveDirty(xp.hive));
    hive_h* h = hivex_open(xp.hive.c_str(), 0);
    ASSERT_NE(h, nullptr) << "hivex refuses the hive: " << strerror(errno);
    hivex_close(h);
    const std::string before = offline::ReadFile(xp.hive);
    const offline::RunResult report = Scan({tree.Root()});
    EXPECT_EQ(report.status, 2) << report.out << report.err;
    EXPECT_EQ(Count(report.err, xp.hive + ": registry hive read without its log: the hive was not closed cleanly"),
              1u)
        << report.err;
    EXPECT_TRUE(Has(report.out, "Run\\Autorun (" + xp.hive + "): would be removed with --remove")) << report.out;
    EXPECT_EQ(offline::ReadFile(xp.hive), before);
    const offline::RunResult r = Scan({"--remove", tree.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, xp.hive + ": registry hive cannot be opened: the hive was not closed cleanly (its log "
                                      "holds changes); left as it is"))
        << r.err;
    EXPECT_EQ(offline::ReadFile(xp.hive), before);
    EXPECT_FALSE(Exists(xp.hive + ".vendrika-new"));
    EXPECT_FALSE(Exists(tree.Path("Downloads/setup.exe")));
    EXPECT_FALSE(Exists(tree.Path("autorun.exe")));
}

namespace {
// Holds a write lease on a file, as a program sharing the volume does (a
// Samba oplock): any open of it by another process is made to wait until
// the lease is given back or the system breaks it (lease-break-time,
// 45 s by default), or fails at once with EWOULDBLOCK when non-blocking.
struct Lease {
    int fd = -1;
    explicit Lease(const std::string& path) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Lease() {
        if (fd < 0) return;
        fcntl(fd, F_SETLEASE, F_UNLCK);
        close(fd);
    }
};
}  // namespace

// Rule 4c, as a program on the volume sees it: files that another process
// holds a lease on (an infected program, the hosts file, the hive) are told
// as unreadable at once, never waited for; the run ends in seconds.
TEST(VendrikaScanPins, LeasedFilesAreNeverWaitedFor) {
    Tree tree;
    Xp xp(tree);
    const std::string leased[] = {tree.Path("Downloads/setup.exe"), tree.Path("WINDOWS/system32/drivers/etc/hosts"),
                                  xp.hive};
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGIO, &ignore, &saved);  // the lease holder's notice of a break
    {
        std::vector<std::unique_ptr<Lease>> leases;
        for (const std::string& path : leased) {
            leases.push_back(std::make_unique<Lease>(path));
            if (leases.back()->fd < 0) {
                sigaction(SIGIO, &saved, nullptr);
                GTEST_SKIP() << "no lease can be taken here: " << strerror(errno);
            }
        }
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        const offline::RunResult r = Scan({tree.Root()});
        clock_gettime(CLOCK_MONOTONIC, &end);
        EXPECT_LT(end.tv_sec - start.tv_sec, 20) << "the run waited for a lease";
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        for (const std::string& path : leased)
            EXPECT_TRUE(Has(r.err, path + ": ") && Has(r.err, strerror(EWOULDBLOCK))) << path << "\n" << r.err;
        EXPECT_TRUE(Has(r.out, tree.Path("autorun.exe") + ": " + kName + " FOUND")) << r.out;
    }
    sigaction(SIGIO, &saved, nullptr);
}

// Fault 1 on NTFS through ntfs-3g, which keeps the access times in its own
// process and updates them as it reads, O_NOATIME or not: mounted so (its
// default, relatime) a report-only run says so before it reads anything;
// mounted with -o noatime (or read-only) it keeps every access time, and
// says nothing. A removing run, which changes the volume, does not say it.
// Needs root and FUSE (mkntfs, ntfs-3g).
TEST(VendrikaScanPins, NtfsThroughNtfs3gKeepsAccessTimesOnlyWhenMountedSo) {
    offline::ImageVolume volume(offline::ImageVolume::kNtfs);
    if (!volume.Unavailable().empty()) GTEST_SKIP() << volume.Unavailable();
    volume.File("Games/game.exe", offline::InfectedSample(10));
    volume.File("Documents/letter.txt", "Dear customer,\r\n");
    const std::string game = volume.Path("Games/game.exe");
    auto setOld = [&] { return nftw(volume.Root().c_str(), SetOldAtime, 16, FTW_PHYS | FTW_DEPTH); };

    ASSERT_EQ(setOld(), 0);
    const offline::RunResult loud = Scan({volume.Root()});
    EXPECT_EQ(loud.status, 1) << loud.out << loud.err;
    EXPECT_EQ(Count(loud.out, volume.Root() + " is a FUSE mount (fuse"), 1u) << loud.out;
    EXPECT_TRUE(Has(loud.out, "mount it read-only or with -o noatime")) << loud.out;
    EXPECT_LT(loud.out.find(volume.Root() + " is a FUSE mount"), loud.out.find(" FOUND")) << loud.out;
    struct stat st;
    ASSERT_EQ(stat(game.c_str(), &st), 0);
    EXPECT_NE(st.st_atim.tv_sec, kOld.tv_sec) << "ntfs-3g kept the time: the note would be untrue";
    EXPECT_FALSE(Has(Scan({"--remove", volume.Root()}).out, "FUSE mount"));  // it changes the volume anyway
    volume.File("Games/game.exe", offline::InfectedSample(10));

    ASSERT_TRUE(volume.Unmount());
    ASSERT_EQ(std::system(("ntfs-3g -o noatime '" + volume.Image() + "' '" + volume.Root() + "'").c_str()), 0);
    struct Unmount {
        std::string at;
        ~Unmount() { std::system(("umount '" + at + "' 2>/dev/null").c_str()); }
    } unmount{volume.Root()};
    ASSERT_EQ(setOld(), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{volume.Root()}, std::vector<std::string>{"--json", volume.Root()}}) {
        const offline::RunResult quiet = Scan(args);
        EXPECT_EQ(quiet.status, 1) << quiet.out << quiet.err;
        EXPECT_FALSE(Has(quiet.out, "FUSE mount")) << quiet.out;
        for (const auto& [path, atime] : Atimes(volume.Root()))
            EXPECT_EQ(atime.tv_sec, kOld.tv_sec) << path << " was given a new access time";
    }
}
