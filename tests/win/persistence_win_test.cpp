// The persistence cleanup against the real registry and file system: start-up
// values removed, an infected hosts file deleted, a locked file scheduled for
// deletion at the next start (MoveFileExA on the NT family, wininit.ini on
// the 95/98/Me family). Every test puts back what it changed.
//
// Two tests act on values and files prepared from outside by
// tests/win/run_persistence.sh and are skipped without them:
//   CV_PERSIST_PLANTED  the program path that values planted with `reg add` launch
//   CV_PERSIST_VICTIM   a path to lock and schedule; the script restarts the
//                       prefix afterwards and checks that the file is gone
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "persistence/delayed_delete.h"
#include "persistence/hosts_file.h"
#include "persistence/startup_registry.h"
#include "platform/crt.h"
#include "system/os_version.h"
#include "tests/win/scan_harness.h"
#include "tests/win/win_test_util.h"

namespace {

using wintest::ScopedScan;
using wintest::TempFolder;
using wintest::WindowlessPlatform;

const char kRemovedLine[] = "System Registry     W32/Vendrika.Trojan removed";
const char kPlainPattern[] =
    "127.0.0.1www.quillon.com127.0.0.1update.quillon.com127.0.0.1download.quillon.com"
    "127.0.0.1liveupdate.";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool SetString(const char* key, const std::string& name, const std::string& data,
               DWORD type = REG_SZ) {
    HKEY k;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const LONG r = RegSetValueExA(k, name.c_str(), 0, type,
                                  reinterpret_cast<const BYTE*>(data.c_str()),
                                  DWORD(data.size() + 1));
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

bool HasValue(const char* key, const std::string& name) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    const LONG r = RegQueryValueExA(k, name.c_str(), nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

void DeleteValue(const char* key, const std::string& name) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
    RegDeleteValueA(k, name.c_str());
    RegCloseKey(k);
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
    int n = 0;
    for (const std::string& l : lines) n += l == line;
    return n;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

std::string WindowsFolder() {
    char buf[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(buf, MAX_PATH);
    return n && n < MAX_PATH ? buf : "";
}

// The hosts file where the cleaner looks for it on this system.
std::string HostsPath() {
    char buf[MAX_PATH];
    if (GetOsClass() == 5 && GetSystemDirectoryA(buf, MAX_PATH))
        return std::string(buf) + "\\drivers\\etc\\hosts";
    if (GetOsClass() == 4) return WindowsFolder() + "\\hosts";
    return "";
}

// Keeps a file's content (or its absence) and puts it back when destroyed.
class FileBackup {
public:
    explicit FileBackup(std::string path) : path_(std::move(path)), existed_(wintest::Exists(path_)) {
        if (existed_) content_ = wintest::ReadBytes(path_);
    }
    ~FileBackup() {
        SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (existed_)
            wintest::WriteBytes(path_, content_.data(), content_.size());
        else
            DeleteFileA(path_.c_str());
    }

private:
    std::string path_;
    bool existed_;
    std::vector<unsigned char> content_;
};

std::string Upper(std::string s) {
    crt::strupr(&s[0]);
    return s;
}

// Runs the cleanup after a match on `path`, as the inspection does.
void CleanAfterMatchOn(const std::string& path) {
    ASSERT_TRUE(crt::CopyText(g_scan.inspectedPath, path.c_str()));
    EXPECT_EQ(CleanPersistence("W32/Vendrika.Gen.Trojan"), 1);
}

}  // namespace

TEST(PersistenceWin, RunAndRunServicesValuesThatLaunchTheFileAreRemoved) {
    TempFolder dir(WindowsFolder());
    ASSERT_TRUE(dir.ok());
    const std::string file = dir / "Infected Tool.exe";
    ASSERT_TRUE(wintest::WriteText(file, "x"));
    const std::string folderName = dir.path().substr(WindowsFolder().size());  // "\cv..."

    ASSERT_TRUE(SetString(kRunKeyPath, "CvTestQuoted", "\"" + Upper(file) + "\" /background"));
    ASSERT_TRUE(SetString(kRunKeyPath, "CvTestExpand", "%windir%" + folderName + "\\infected tool.exe",
                          REG_EXPAND_SZ));
    ASSERT_TRUE(SetString(kRunKeyPath, "CvTestKeep", "C:\\nowhere\\other tool.exe"));
    ASSERT_TRUE(SetString(kRunServicesKeyPath, "CvTestSvc", file));

    WindowlessPlatform platform;
    {
        ScopedScan scan(&platform);
        CleanAfterMatchOn(file);
    }
    EXPECT_FALSE(HasValue(kRunKeyPath, "CvTestQuoted"));
    EXPECT_FALSE(HasValue(kRunKeyPath, "CvTestExpand"));
    EXPECT_FALSE(HasValue(kRunServicesKeyPath, "CvTestSvc"));
    EXPECT_TRUE(HasValue(kRunKeyPath, "CvTestKeep"));
    EXPECT_EQ(Count(platform.lines, kRemovedLine), 3) << Join(platform.lines);
    for (const char* name : {"CvTestQuoted", "CvTestExpand", "CvTestKeep"}) DeleteValue(kRunKeyPath, name);
    DeleteValue(kRunServicesKeyPath, "CvTestSvc");
}

TEST(PersistenceWin, ValuesPlantedFromOutsideAreRemoved) {
    const std::string planted = Env("CV_PERSIST_PLANTED");
    if (planted.empty()) GTEST_SKIP() << "needs CV_PERSIST_PLANTED (tests/win/run_persistence.sh)";
    ASSERT_TRUE(HasValue(kRunKeyPath, "CvPlantedRun"));
    ASSERT_TRUE(HasValue(kRunServicesKeyPath, "CvPlantedSvc"));
    WindowlessPlatform platform;
    {
        ScopedScan scan(&platform);
        CleanAfterMatchOn(planted);
    }
    EXPECT_FALSE(HasValue(kRunKeyPath, "CvPlantedRun"));
    EXPECT_FALSE(HasValue(kRunServicesKeyPath, "CvPlantedSvc"));
    EXPECT_EQ(Count(platform.lines, kRemovedLine), 2) << Join(platform.lines);
}

TEST(PersistenceWin, InfectedHostsFileIsDeletedAndAnOrdinaryOneKept) {
    const std::string hosts = HostsPath();
    if (hosts.empty()) GTEST_SKIP() << "no hosts file location on this system";
    FileBackup backup(hosts);
    ResetTextSignaturesForTest();

    const std::string ordinary = "# hosts\r\n127.0.0.1       localhost\r\n";
    ASSERT_TRUE(wintest::WriteText(hosts, ordinary));
    WindowlessPlatform platform;
    {
        ScopedScan scan(&platform);
        CleanPersistence("W32/Vendrika.Gen.Trojan");
    }
    EXPECT_TRUE(wintest::Exists(hosts));
    EXPECT_TRUE(platform.lines.empty()) << Join(platform.lines);

    // The pattern as hosts-file lines, split by spaces and line ends.
    std::string infected = "BEGIN\r\n";
    for (size_t i = 0; i < sizeof kPlainPattern - 1; i += 9)
        infected += std::string(kPlainPattern + i, std::min<size_t>(9, sizeof kPlainPattern - 1 - i)) +
                    (i % 2 ? " " : "\r\n");
    ASSERT_TRUE(wintest::WriteText(hosts, infected));
    {
        ScopedScan scan(&platform);
        CleanPersistence("W32/Vendrika.Gen.Trojan");
        EXPECT_EQ(g_scan.removedCount, 1);
        EXPECT_EQ(g_scan.infectedCount, 1);
    }
    EXPECT_FALSE(wintest::Exists(hosts));
    ASSERT_EQ(platform.lines.size(), 1u);
    EXPECT_EQ(crt::stricmp(platform.lines[0].c_str(), (hosts + "     W32/Nyxem.Worm removed").c_str()),
              0)
        << platform.lines[0];
    ResetTextSignaturesForTest();
}

// The NT family: the deletion is registered with the system.
TEST(PersistenceWin, LockedFileIsScheduledThroughMoveFileEx) {
    if (GetOsClass() != 5) GTEST_SKIP() << "NT family only";
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir / "locked program.exe";
    wintest::RunningProgram holder;
    ASSERT_TRUE(holder.StartHeldCopy(path));
    ASSERT_FALSE(DeleteFileA(path.c_str())) << "the running program's file should be locked";

    EXPECT_EQ(ScheduleDeleteOnReboot(path.c_str()), 1);

    // The pending operations list holds the path followed by an empty target.
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                            0, KEY_READ, &k),
              ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(k, "PendingFileRenameOperations", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    std::vector<char> data(size + 2, '\0');
    RegQueryValueExA(k, "PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(k);
    bool found = false;
    for (size_t i = 0; i < size && data[i];) {
        const std::string source = data.data() + i;
        i += source.size() + 1;
        const std::string target = i < data.size() ? data.data() + i : "";
        i += target.size() + 1;
        if (source.size() >= path.size() &&
            crt::stricmp(source.c_str() + source.size() - path.size(), path.c_str()) == 0 &&
            target.empty())
            found = true;
    }
    EXPECT_TRUE(found) << "no pending deletion of " << path;
}

// The 95/98/Me family: an entry in wininit.ini in the Windows folder.
TEST(PersistenceWin, LockedFileIsScheduledInWininitOn9x) {
    if (GetOsClass() != 4) GTEST_SKIP() << "95/98/Me family only (run with Windows version win98)";
    const std::string ini = WindowsFolder() + "\\wininit.ini";
    FileBackup backup(ini);
    DeleteFileA(ini.c_str());
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    const std::string first = dir / "Locked Program.exe";
    const std::string second = dir / "second.exe";
    ASSERT_TRUE(wintest::WriteText(first, "x"));
    ASSERT_TRUE(wintest::WriteText(second, "x"));
    char shortFirst[MAX_PATH], shortSecond[MAX_PATH];
    ASSERT_GT(GetShortPathNameA(first.c_str(), shortFirst, MAX_PATH), 0u);
    ASSERT_GT(GetShortPathNameA(second.c_str(), shortSecond, MAX_PATH), 0u);

    EXPECT_EQ(ScheduleDeleteOnReboot(first.c_str()), 1);
    const std::vector<unsigned char> created = wintest::ReadBytes(ini);
    EXPECT_EQ(std::string(created.begin(), created.end()),
              std::string("[rename]\r\nNUL=") + shortFirst + "\r\n");

    EXPECT_EQ(ScheduleDeleteOnReboot(second.c_str()), 1);
    const std::vector<unsigned char> both = wintest::ReadBytes(ini);
    EXPECT_EQ(std::string(both.begin(), both.end()),
              std::string("[rename]\r\nNUL=") + shortFirst + "\r\nNUL=" + shortSecond + "\r\n");
}

// Locks CV_PERSIST_VICTIM and schedules its deletion; the script restarts
// the prefix and checks that the file has gone.
TEST(PersistenceWin, VictimScheduledForTheNextStart) {
    const std::string victim = Env("CV_PERSIST_VICTIM");
    if (victim.empty()) GTEST_SKIP() << "needs CV_PERSIST_VICTIM (tests/win/run_persistence.sh)";
    wintest::RunningProgram holder;
    ASSERT_TRUE(holder.StartHeldCopy(victim));
    ASSERT_FALSE(DeleteFileA(victim.c_str()));
    EXPECT_EQ(ScheduleDeleteOnReboot(victim.c_str()), 1);
    holder.End();
    EXPECT_TRUE(wintest::Exists(victim)) << "deleted before the restart";
}
