// The simulated file system must behave like Windows where the cleaner
// depends on it; a wrong listing order or a too-lenient delete would make the
// engine's tests pass for the wrong reason.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

using namespace pf;
using pf::sim::SimMachine;
using pf::sim::WinVersion;

namespace {

std::vector<std::string> List(SimMachine& m, const char* pattern, DWORD* error = nullptr) {
    std::vector<std::string> names;
    FindDataA data;
    HANDLE h = m.FindFirstFileA(pattern, &data);
    if (h == kInvalidHandleValue) {
        if (error) *error = m.GetLastError();
        return names;
    }
    do names.push_back(data.cFileName);
    while (m.FindNextFileA(h, &data));
    if (error) *error = m.GetLastError();
    EXPECT_TRUE(m.FindClose(h));
    return names;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(SimFiles, ListingOrderDotsAndMasks) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\dir\\zeta.EXE", "z"));
    ASSERT_TRUE(m.AddFile("C:\\dir\\README", "r"));
    ASSERT_TRUE(m.AddFolder("C:\\dir\\sub"));
    ASSERT_TRUE(m.AddFile("C:\\dir\\a.txt", "a"));
    ASSERT_TRUE(m.AddFile("C:\\top.sys", "t"));

    EXPECT_EQ(List(m, "C:\\dir\\*.*"), (Names{".", "..", "zeta.EXE", "README", "sub", "a.txt"}));
    EXPECT_EQ(List(m, "C:\\dir\\*"), (Names{".", "..", "zeta.EXE", "README", "sub", "a.txt"}));
    // A drive root lists no "." and "..".
    EXPECT_EQ(List(m, "C:\\*.*"), (Names{"dir", "top.sys"}));
    EXPECT_EQ(List(m, "c:\\DIR\\*.exe"), (Names{"zeta.EXE"}));
    EXPECT_EQ(List(m, "C:\\dir\\?.txt"), (Names{"a.txt"}));
    EXPECT_EQ(List(m, "C:\\dir\\readme"), (Names{"README"}));  // exact path, case-blind

    FindDataA data;
    HANDLE h = m.FindFirstFileA("C:\\dir\\sub", &data);
    ASSERT_NE(h, kInvalidHandleValue);
    EXPECT_TRUE(data.dwFileAttributes & kFileAttributeDirectory);
    m.FindClose(h);
    h = m.FindFirstFileA("C:\\dir\\zeta.exe", &data);
    ASSERT_NE(h, kInvalidHandleValue);
    EXPECT_EQ(data.nFileSizeLow, 1u);
    EXPECT_FALSE(data.dwFileAttributes & kFileAttributeDirectory);
    m.FindClose(h);
    EXPECT_TRUE(m.finds.empty());
}

// The ANSI code page decides what a name is. Under 932 ア.exe (0x83 0x41)
// and ヂ.exe (0x83 0x61) are two files and ソ (0x83 0x5C) is one folder name,
// in paths and in registry value names alike; under 1252 the same bytes are
// one name in two letter cases, and 0x5C is a backslash. GetCPInfo gives
// each known code page's lead bytes; the UTF-16 conversion writes 932's
// kana as two bytes and anything it does not know as the default character.
TEST(SimFiles, TheAnsiCodePageDecidesWhatANameIs) {
    for (UINT codePage : {932u, 1252u}) {
        SCOPED_TRACE(codePage);
        const bool dbcs = codePage == 932;
        SimMachine m;
        m.ansiCodePage = codePage;
        ASSERT_TRUE(m.AddFile("C:\\APP\\\x83\x41.exe", "a"));
        ASSERT_TRUE(m.AddFile("C:\\APP\\\x83\x61.exe", "di"));
        EXPECT_EQ(m.ReadFileText("c:\\app\\\x83\x41.EXE"), dbcs ? "a" : "di");
        EXPECT_EQ(List(m, "C:\\APP\\*.exe").size(), dbcs ? 2u : 1u);
        ASSERT_TRUE(m.AddFile("C:\\\x83\x5C\\x.exe", "so"));
        EXPECT_EQ(List(m, "C:\\*"), dbcs ? (Names{"APP", "\x83\x5C"}) : (Names{"APP", "\x83"}));
        EXPECT_EQ(List(m, "C:\\\x83\x5C\\*.exe"), (Names{"x.exe"}));

        m.SetString(kHkeyLocalMachine, "Software\\Run", "\x83\x41", "a");
        m.SetString(kHkeyLocalMachine, "Software\\Run", "\x83\x61", "di");
        EXPECT_EQ(m.FindKey(kHkeyLocalMachine, "Software\\Run")->values.size(), dbcs ? 2u : 1u);

        CpInfo info;
        ASSERT_TRUE(m.GetCPInfo(kCpAcp, &info));
        EXPECT_EQ(info.MaxCharSize, dbcs ? 2u : 1u);
        EXPECT_EQ(info.LeadByte[0], dbcs ? 0x81 : 0);
    }
    SimMachine m;
    const struct {
        UINT codePage;
        std::vector<int> leads;
    } pages[] = {{932, {0x81, 0x9F, 0xE0, 0xFC, 0}}, {936, {0x81, 0xFE, 0}},
                 {949, {0x81, 0xFE, 0}}, {950, {0x81, 0xFE, 0}}, {1250, {0}}};
    for (const auto& page : pages) {
        CpInfo info;
        std::memset(&info, 0xEE, sizeof info);
        ASSERT_TRUE(m.GetCPInfo(page.codePage, &info)) << page.codePage;
        EXPECT_EQ(std::vector<int>(info.LeadByte, info.LeadByte + page.leads.size()), page.leads)
            << page.codePage;
        EXPECT_EQ(info.DefaultChar[0], '?');
    }
    CpInfo info;
    EXPECT_FALSE(m.GetCPInfo(12345, &info));
    EXPECT_EQ(m.GetLastError(), kErrorInvalidParameter);

    m.ansiCodePage = 932;
    const WCHAR wide[] = {0x30A2, 0x30BD, 'x', 0x8868, 0};  // ア ソ x 表
    char narrow[16];
    BOOL defaulted = 0;
    EXPECT_EQ(
        m.WideCharToMultiByte(kCpAcp, 0, wide, -1, narrow, sizeof narrow, nullptr, &defaulted), 7);
    EXPECT_STREQ(narrow, "\x83\x41\x83\x5Cx?");
    EXPECT_TRUE(defaulted);
    EXPECT_EQ(m.WideCharToMultiByte(kCpAcp, 0, wide, -1, narrow, 6, nullptr, nullptr), 0);
    EXPECT_EQ(m.GetLastError(), kErrorInsufficientBuffer);
}

TEST(SimFiles, ListingErrors) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\dir\\a.txt", "a"));
    DWORD error = 0;
    EXPECT_TRUE(List(m, "C:\\dir\\*.exe", &error).empty());
    EXPECT_EQ(error, kErrorFileNotFound);
    EXPECT_TRUE(List(m, "C:\\missing\\*.*", &error).empty());
    EXPECT_EQ(error, kErrorPathNotFound);
    EXPECT_TRUE(List(m, "C:\\dir\\a.txt\\*.*", &error).empty());  // a file is no folder
    EXPECT_EQ(error, kErrorPathNotFound);
    List(m, "C:\\dir\\*.*", &error);
    EXPECT_EQ(error, kErrorNoMoreFiles);

    FindDataA data;
    EXPECT_FALSE(m.FindNextFileA(reinterpret_cast<HANDLE>(uintptr_t(0x77)), &data));
    EXPECT_EQ(m.GetLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(m.FindClose(reinterpret_cast<HANDLE>(uintptr_t(0x77))));
}

TEST(SimFiles, EntryDeletedDuringListingIsNotReturned) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\d\\a", "1"));
    ASSERT_TRUE(m.AddFile("C:\\d\\b", "2"));
    ASSERT_TRUE(m.AddFile("C:\\d\\c", "3"));
    FindDataA data;
    HANDLE h = m.FindFirstFileA("C:\\d\\a", &data);
    m.FindClose(h);
    h = m.FindFirstFileA("C:\\d\\*.*", &data);  // "."
    ASSERT_TRUE(m.DeleteFileA("C:\\d\\b"));
    Names rest;
    while (m.FindNextFileA(h, &data)) rest.push_back(data.cFileName);
    m.FindClose(h);
    EXPECT_EQ(rest, (Names{"..", "a", "c"}));
}

TEST(SimFiles, DriveTypes) {
    SimMachine m;  // C: is fixed by default
    m.SetDriveType('e', kDriveCdrom);
    EXPECT_EQ(m.GetDriveTypeA("C:\\"), kDriveFixed);
    EXPECT_EQ(m.GetDriveTypeA("e:\\"), kDriveCdrom);
    EXPECT_EQ(m.GetDriveTypeA("D:\\"), kDriveNoRootDir);
    EXPECT_EQ(m.GetDriveTypeA("C:\\Windows"), kDriveNoRootDir);
    EXPECT_TRUE(m.Exists("E:\\"));
}

TEST(SimFiles, DeleteRefusesWhatWindowsRefuses) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\ro.exe", "x", kFileAttributeReadonly | kFileAttributeHidden));
    ASSERT_TRUE(m.AddFile("C:\\run.exe", "x"));
    ASSERT_TRUE(m.AddFile("C:\\held.dat", "x"));
    ASSERT_TRUE(m.AddFile("C:\\deny.exe", "x"));
    ASSERT_TRUE(m.AddFile("C:\\open.exe", "x"));
    ASSERT_TRUE(m.AddFolder("C:\\folder"));
    m.FindFile("C:\\deny.exe")->denyDelete = true;
    sim::SimProcess runner;
    runner.pid = 9;
    runner.imagePath = "c:\\RUN.exe";
    runner.heldFiles = {"C:\\held.dat"};
    m.processes.push_back(runner);

    for (const char* path : {"C:\\ro.exe", "C:\\run.exe", "C:\\held.dat", "C:\\deny.exe",
                             "C:\\folder"}) {
        EXPECT_FALSE(m.DeleteFileA(path)) << path;
        EXPECT_EQ(m.GetLastError(), kErrorAccessDenied) << path;
        EXPECT_TRUE(m.Exists(path)) << path;
    }
    const int fd = m._open("C:\\open.exe", kOBinary, kSIread);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(m.DeleteFileA("C:\\open.exe"));
    EXPECT_EQ(m.GetLastError(), kErrorSharingViolation);
    m._close(fd);
    EXPECT_TRUE(m.DeleteFileA("C:\\open.exe"));

    // Resetting the attributes makes the read-only file deletable; a dead
    // process no longer holds anything.
    EXPECT_TRUE(m.SetFileAttributesA("C:\\ro.exe", kFileAttributeArchive));
    EXPECT_TRUE(m.DeleteFileA("C:\\ro.exe"));
    m.processes[0].alive = false;
    EXPECT_TRUE(m.DeleteFileA("C:\\run.exe"));
    EXPECT_TRUE(m.DeleteFileA("C:\\held.dat"));
    EXPECT_FALSE(m.Exists("C:\\run.exe"));
    EXPECT_FALSE(m.DeleteFileA("C:\\run.exe"));
    EXPECT_EQ(m.GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(m.DeleteFileA("C:\\nodir\\x"));
    EXPECT_EQ(m.GetLastError(), kErrorPathNotFound);
    EXPECT_EQ(List(m, "C:\\*.*"), (Names{"deny.exe", "folder"}));
}

TEST(SimFiles, MoveCopyAndScheduledDeletes) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\a.txt", "abc", kFileAttributeHidden));
    EXPECT_TRUE(m.MoveFileExA("C:\\gone.exe", nullptr, kMovefileDelayUntilReboot));
    EXPECT_EQ(m.pendingDeletes, (Names{"C:\\gone.exe"}));

    EXPECT_TRUE(m.CopyFileA("C:\\a.txt", "C:\\b.txt", 1));
    EXPECT_EQ(m.ReadFileText("C:\\b.txt"), "abc");
    EXPECT_EQ(m.FindFile("C:\\b.txt")->attributes, kFileAttributeHidden);
    EXPECT_FALSE(m.CopyFileA("C:\\a.txt", "C:\\b.txt", 1));
    EXPECT_FALSE(m.CopyFileA("C:\\missing", "C:\\c.txt", 0));
    EXPECT_EQ(m.GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(m.CopyFileA("C:\\a.txt", "C:\\nodir\\c.txt", 0));
    EXPECT_EQ(m.GetLastError(), kErrorPathNotFound);

    EXPECT_FALSE(m.MoveFileExA("C:\\a.txt", "C:\\b.txt", 0));
    EXPECT_TRUE(m.MoveFileExA("C:\\a.txt", "C:\\b.txt", kMovefileReplaceExisting));
    EXPECT_FALSE(m.Exists("C:\\a.txt"));
    EXPECT_EQ(List(m, "C:\\*.*"), (Names{"b.txt"}));
}

TEST(SimFiles, SystemFoldersAndBufferSizes) {
    SimMachine m;
    m.windowsDirectory = "C:\\WINNT";
    char small[4] = "zzz";
    EXPECT_EQ(m.GetWindowsDirectoryA(small, sizeof small), 9u);  // needs 8 + terminator
    EXPECT_STREQ(small, "zzz");
    char buf[260];
    EXPECT_EQ(m.GetWindowsDirectoryA(buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "C:\\WINNT");
    EXPECT_EQ(m.GetSystemDirectoryA(buf, sizeof buf), m.systemDirectory.size());
    EXPECT_EQ(m.GetTempPathA(sizeof buf, buf), m.tempDirectory.size());

    m.environment["HOME"] = "C:\\Users\\me";
    EXPECT_EQ(m.ExpandEnvironmentStringsA("%windir%\\x %home% %nope%", buf, sizeof buf),
              std::strlen("C:\\WINNT\\x C:\\Users\\me %nope%") + 1);
    EXPECT_STREQ(buf, "C:\\WINNT\\x C:\\Users\\me %nope%");
    EXPECT_EQ(m.ExpandEnvironmentStringsA("%SystemRoot%", small, sizeof small), 9u);
}

TEST(SimFiles, ShortPathNames) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\Program Files\\Long Name.html", "x"));
    ASSERT_TRUE(m.AddFile("C:\\DOS\\EDIT.COM", "x"));
    char buf[260];
    EXPECT_EQ(m.GetShortPathNameA("C:\\Program Files\\Long Name.html", buf, sizeof buf),
              std::strlen("C:\\PROGRA~1\\LONGNA~1.HTM"));
    EXPECT_STREQ(buf, "C:\\PROGRA~1\\LONGNA~1.HTM");
    EXPECT_EQ(m.GetShortPathNameA("C:\\DOS\\EDIT.COM", buf, sizeof buf), 15u);
    EXPECT_STREQ(buf, "C:\\DOS\\EDIT.COM");
    EXPECT_EQ(m.GetShortPathNameA("C:\\DOS\\EDIT.COM", buf, 5), 16u);
    EXPECT_EQ(m.GetShortPathNameA("C:\\DOS\\none.exe", buf, sizeof buf), 0u);
    EXPECT_EQ(m.GetLastError(), kErrorFileNotFound);

    // The short form names the same file everywhere a path is taken.
    const char* shortPath = "C:\\PROGRA~1\\LONGNA~1.HTM";
    EXPECT_EQ(m.FindFile(shortPath), m.FindFile("C:\\Program Files\\Long Name.html"));
    EXPECT_EQ(m.LongPathOf("c:\\progra~1\\Long Name.html"), "C:\\Program Files\\Long Name.html");
    EXPECT_EQ(m._access(shortPath, 0), 0);
    FindDataA d;
    HANDLE h = m.FindFirstFileA(shortPath, &d);
    ASSERT_NE(h, kInvalidHandleValue);
    EXPECT_STREQ(d.cFileName, "Long Name.html");  // found by its alias, listed by its name
    EXPECT_STREQ(d.cAlternateFileName, "LONGNA~1.HTM");
    m.FindClose(h);
    const int fd = m._open(shortPath, kORdonly | kOBinary, 0);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(m.DeleteFileA("C:\\Program Files\\Long Name.html"));  // open under the other name
    EXPECT_EQ(m._close(fd), 0);
    m.AddProcess("C:\\Program Files\\Long Name.html");
    EXPECT_TRUE(m.IsLocked(shortPath));
    m.processes.clear();
    EXPECT_TRUE(m.AddFile("C:\\PROGRA~1\\new.txt", "n"));  // created in the long-named folder
    EXPECT_TRUE(m.Exists("C:\\Program Files\\new.txt"));
    EXPECT_TRUE(m.DeleteFileA(shortPath));
    EXPECT_FALSE(m.Exists("C:\\Program Files\\Long Name.html"));
}

// Windows refuses to copy onto a read-only file, and the NT family also onto
// a hidden or system file unless the copy carries those attributes too
// (CopyFileA creates the target with the source's attributes). Wine 8 copies
// onto all three, so this is pinned here and not in the conformance cases.
TEST(SimFiles, CopyRefusesGuardedTargets) {
    struct Case {
        WinVersion version;
        DWORD source, target;
        bool copies;
    };
    const DWORD hidden = kFileAttributeHidden, system = kFileAttributeSystem;
    const Case cases[] = {
        {WinVersion::WinXp, kFileAttributeArchive, kFileAttributeArchive, true},
        {WinVersion::WinXp, kFileAttributeArchive, hidden, false},
        {WinVersion::WinXp, kFileAttributeArchive, system, false},
        {WinVersion::Nt4, kFileAttributeArchive, hidden | system, false},
        {WinVersion::WinXp, hidden, hidden, true},
        {WinVersion::WinXp, hidden, hidden | system, false},
        {WinVersion::WinXp, hidden | system, hidden | system, true},
        {WinVersion::WinXp, kFileAttributeArchive, kFileAttributeReadonly, false},
        {WinVersion::Win98, kFileAttributeArchive, hidden | system, true},
        {WinVersion::Win95, kFileAttributeArchive, kFileAttributeReadonly, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.version)) + " " + std::to_string(c.source) + " onto " +
                     std::to_string(c.target));
        SimMachine m;
        m.SetVersion(c.version);
        ASSERT_TRUE(m.AddFile("C:\\new.ini", "new", c.source));
        ASSERT_TRUE(m.AddFile("C:\\WINDOWS\\wininit.ini", "old", c.target));
        EXPECT_EQ(m.CopyFileA("C:\\new.ini", "C:\\WINDOWS\\wininit.ini", 0) != 0, c.copies);
        if (!c.copies) EXPECT_EQ(m.GetLastError(), kErrorAccessDenied);
        EXPECT_EQ(m.ReadFileText("C:\\WINDOWS\\wininit.ini"), c.copies ? "new" : "old");
    }
}

// The 95/98/Me family has no MoveFileExA; on the NT family a limited account
// cannot schedule a deletion. Wine has the call in every version mode and
// runs as an administrator, so this is pinned here only.
TEST(SimFiles, DelayedMovesNeedTheNtFamilyAndAnAdministrator) {
    struct Case {
        WinVersion version;
        bool limited;
        DWORD error;  // 0: scheduled
    };
    const Case cases[] = {
        {WinVersion::Win95, false, 120}, {WinVersion::Win98, false, 120},
        {WinVersion::WinMe, false, 120}, {WinVersion::Nt4, false, 0},
        {WinVersion::WinXp, false, 0},   {WinVersion::WinXp, true, kErrorAccessDenied},
        {WinVersion::Win10, true, kErrorAccessDenied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.version)) + (c.limited ? " limited" : ""));
        SimMachine m;
        m.SetVersion(c.version);
        m.limitedUser = c.limited;
        m.lastError = 0;
        EXPECT_EQ(m.MoveFileExA("C:\\x.exe", nullptr, kMovefileDelayUntilReboot) != 0, c.error == 0);
        EXPECT_EQ(m.lastError, c.error);
        EXPECT_EQ(m.pendingDeletes.size(), c.error == 0 ? 1u : 0u);
    }
}

TEST(SimFiles, LowLevelReadsAndSeeks) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\f.bin", std::string("MZ\r\n\0abc", 8)));
    ASSERT_TRUE(m.AddFolder("C:\\dir"));
    EXPECT_EQ(m._open("C:\\none", kOBinary, 0), -1);
    EXPECT_EQ(m.lastErrno, kENOENT);
    EXPECT_EQ(m._open("C:\\dir", kOBinary, 0), -1);
    EXPECT_EQ(m.lastErrno, kEACCES);

    const int fd = m._open("c:\\F.BIN", kOBinary | kORdonly, kSIread | kSIwrite);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(m._filelength(fd), 8);
    char buf[16];
    EXPECT_EQ(m._read(fd, buf, 16), 8);  // binary: bytes as they are
    EXPECT_EQ(std::memcmp(buf, "MZ\r\n\0abc", 8), 0);
    EXPECT_EQ(m._read(fd, buf, 16), 0);  // at the end
    EXPECT_EQ(m._lseek(fd, -1, kSeekSet), -1);
    EXPECT_EQ(m.lastErrno, kEINVAL);
    EXPECT_EQ(m._lseek(fd, 100, kSeekSet), 100);  // beyond the end is allowed...
    EXPECT_EQ(m._read(fd, buf, 4), 0);            // ...and reads nothing
    EXPECT_EQ(m._lseek(fd, -3, kSeekEnd), 5);
    EXPECT_EQ(m._read(fd, buf, 16), 3);
    EXPECT_EQ(m._lseek(fd, -2, kSeekCur), 6);
    EXPECT_EQ(m._write(fd, "x", 1), -1);  // opened for reading only
    EXPECT_EQ(m.lastErrno, kEBADF);
    EXPECT_EQ(m._close(fd), 0);
    EXPECT_EQ(m._close(fd), -1);
    EXPECT_EQ(m._read(fd, buf, 1), -1);
    EXPECT_EQ(m.lastErrno, kEBADF);

    const int text = m._open("C:\\f.bin", kORdonly, 0);  // text mode: CR LF -> LF
    EXPECT_EQ(m._read(text, buf, 16), 7);
    EXPECT_EQ(std::memcmp(buf, "MZ\n\0abc", 7), 0);
    m._close(text);
    EXPECT_TRUE(m.openFiles.empty());
}

TEST(SimFiles, LowLevelWritesHonourCreateTruncateAppend) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\f.txt", "hello world"));
    int fd = m._open("C:\\f.txt", kOWronly | kOBinary, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(m._write(fd, "HE", 2), 2);  // no truncation without kOTrunc
    m._close(fd);
    EXPECT_EQ(m.ReadFileText("C:\\f.txt"), "HEllo world");

    fd = m._open("C:\\f.txt", kOWronly | kOAppend | kOBinary, 0);
    m._lseek(fd, 0, kSeekSet);
    m._write(fd, "!", 1);  // append always writes at the end
    m._close(fd);
    EXPECT_EQ(m.ReadFileText("C:\\f.txt"), "HEllo world!");

    fd = m._open("C:\\f.txt", kOWronly | kOTrunc, 0);  // text mode: LF -> CR LF
    m._write(fd, "a\nb", 3);
    m._close(fd);
    EXPECT_EQ(m.ReadFileText("C:\\f.txt"), "a\r\nb");

    EXPECT_EQ(m._open("C:\\new.txt", kOWronly, 0), -1);
    fd = m._open("C:\\new.txt", kOWronly | kOCreat | kOBinary, kSIread | kSIwrite);
    ASSERT_GE(fd, 0);
    m._lseek(fd, 2, kSeekSet);
    m._write(fd, "z", 1);
    m._close(fd);
    EXPECT_EQ(m.ReadFileText("C:\\new.txt"), std::string("\0\0z", 3));
    EXPECT_EQ(m._open("C:\\new.txt", kOWronly | kOCreat | kOExcl, kSIwrite), -1);
    EXPECT_EQ(m._open("C:\\nodir\\new.txt", kOWronly | kOCreat, kSIwrite), -1);
    EXPECT_EQ(m.lastErrno, kENOENT);

    ASSERT_TRUE(m.AddFile("C:\\ro.txt", "r", kFileAttributeReadonly));
    EXPECT_EQ(m._open("C:\\ro.txt", kORdwr, 0), -1);
    EXPECT_EQ(m.lastErrno, kEACCES);
    EXPECT_EQ(m._access("C:\\ro.txt", 0), 0);
    EXPECT_EQ(m._access("C:\\ro.txt", 2), -1);
    EXPECT_EQ(m._access("C:\\nodir", 0), -1);
    EXPECT_EQ(m.lastErrno, kENOENT);
}

TEST(SimFiles, TextStreams) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\w.ini", "[rename]\r\nNUL=C:\\x.exe\r\nlast"));
    FILE_STREAM s = m.fopen("C:\\w.ini", "r");
    ASSERT_NE(s, nullptr);
    char buf[8];
    EXPECT_STREQ(m.fgets(buf, sizeof buf, s), "[rename");  // at most size - 1
    EXPECT_STREQ(m.fgets(buf, sizeof buf, s), "]\n");
    EXPECT_STREQ(m.fgets(buf, sizeof buf, s), "NUL=C:\\");
    EXPECT_STREQ(m.fgets(buf, sizeof buf, s), "x.exe\n");
    EXPECT_STREQ(m.fgets(buf, sizeof buf, s), "last");
    EXPECT_EQ(m.fgets(buf, sizeof buf, s), nullptr);
    EXPECT_EQ(m.fclose(s), 0);
    EXPECT_EQ(m.fopen("C:\\none.ini", "r"), nullptr);
    EXPECT_EQ(m.lastErrno, kENOENT);
}

TEST(SimFiles, InjectedFaultsFailLikeTheRealCalls) {
    SimMachine m;
    ASSERT_TRUE(m.AddFile("C:\\f.bin", "abcdef"));
    m.FailCall("_open", 2);
    const int fd = m._open("C:\\f.bin", kOBinary, 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(m._open("C:\\f.bin", kOBinary, 0), -1);  // the second call fails once
    EXPECT_EQ(m.lastErrno, kEACCES);
    m.FailCall("_read", 1, true, kEBADF);
    char buf[4];
    EXPECT_EQ(m._read(fd, buf, 4), -1);
    EXPECT_EQ(m._read(fd, buf, 4), -1);  // for good
    m.FailCall("DeleteFileA", 1, false, kErrorSharingViolation);
    EXPECT_FALSE(m.DeleteFileA("C:\\x"));
    EXPECT_EQ(m.GetLastError(), kErrorSharingViolation);
    m.FailCall("FindFirstFileA");
    FindDataA data;
    EXPECT_EQ(m.FindFirstFileA("C:\\*.*", &data), kInvalidHandleValue);
    EXPECT_EQ(m.CountCalls("_open"), 2);
    EXPECT_TRUE(m.log[1].failedByFault);
}
