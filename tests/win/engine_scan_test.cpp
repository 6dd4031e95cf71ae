// Whole scans on the real machine (the main window replaced): the running
// processes, every fixed drive, the start-up values, the summary and the
// questions at the end. The machine is restarted and the program ended only
// on paper (WindowlessPlatform records both).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "engine/scan_run.h"
#include "system/os_version.h"
#include "tests/win/scan_harness.h"
#include "tests/win/win_test_util.h"

#if CV_HAVE_SAMPLES
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

using wintest::ScopedScan;
using wintest::TempFolder;
using wintest::WindowlessPlatform;

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kTitle[] = "CleanVendrika Ver 1.0";
const char kRestartQuestion[] =
    "The system has to be restarted to remove the virus completely from your system. "
    "Open programs may ask to save their work first.\n\n Restart now?";

std::string SampleParent() {
    std::string drive = wintest::TestDrive();
    return drive.empty() ? std::string() : drive + "\\";
}

cvsamples::Bytes Infected(int record) {
    cvsamples::Bytes bytes;
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    EXPECT_TRUE(cvsamples::BuildInfected(table.at(record), 100 + record, &bytes));
    return bytes;
}

// A start-up value under HKLM\...\Run, removed again by the destructor when
// the scan left it.
class RunValue {
public:
    RunValue(const char* name, const std::string& command) : name_(name) {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &k, nullptr) == ERROR_SUCCESS) {
            ok_ = RegSetValueExA(k, name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(command.c_str()),
                                 DWORD(command.size() + 1)) == ERROR_SUCCESS;
            RegCloseKey(k);
        }
    }
    ~RunValue() {
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
            RegDeleteValueA(k, name_);
            RegCloseKey(k);
        }
    }
    bool ok() const { return ok_; }
    bool Exists() const {
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &k) != ERROR_SUCCESS) {
            return false;
        }
        bool found = RegQueryValueExA(k, name_, nullptr, nullptr, nullptr, nullptr) ==
                     ERROR_SUCCESS;
        RegCloseKey(k);
        return found;
    }

private:
    const char* name_;
    bool ok_ = false;
};

// The lines from the summary on.
std::vector<std::string> Summary(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "Scanning statistics") {
            return std::vector<std::string>(lines.begin() + (i > 0 ? i - 1 : 0), lines.end());
        }
    }
    return {};
}

}  // namespace

TEST(EngineScan, WholeMachineScanRemovesFilesAndStartupValuesAndSummarises) {
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    const std::string first = root / "setup.exe", second = root / "nested\\game.exe";
    ASSERT_TRUE(wintest::MakeFolder(root / "nested"));
    ASSERT_TRUE(wintest::WriteBytes(first, Infected(0).data(), Infected(0).size()));
    ASSERT_TRUE(wintest::WriteBytes(second, Infected(40).data(), Infected(40).size()));
    ASSERT_TRUE(wintest::WriteText(root / "readme.txt", "hello"));
    RunValue launcher("CvTestUpdater", "\"" + first + "\" /quiet");
    RunValue innocent("CvTestInnocent", "C:\\windows\\notepad.exe");
    ASSERT_TRUE(launcher.ok() && innocent.ok());

    WindowlessPlatform platform;
    ScopedScan scan(&platform);
    std::snprintf(g_scan.targetPath, sizeof g_scan.targetPath, "!:");
    EXPECT_EQ(1, RunScan());

    EXPECT_FALSE(wintest::Exists(first));
    EXPECT_FALSE(wintest::Exists(second));
    EXPECT_TRUE(wintest::Exists(root / "readme.txt"));
    EXPECT_FALSE(launcher.Exists());
    EXPECT_TRUE(innocent.Exists());

    const std::string removed = "     W32/Vendrika.Gen.Trojan removed";
    EXPECT_EQ(1u, platform.LinesWith(first + removed).size());
    EXPECT_EQ(1u, platform.LinesWith(second + removed).size());
    EXPECT_EQ(1u, platform.LinesWith("System Registry     W32/Vendrika.Trojan removed").size());
    EXPECT_EQ(2, g_scan.infectedCount);
    EXPECT_EQ(2, g_scan.removedCount);
    EXPECT_GT(g_scan.scannedCount, 3) << "drive C: was walked too";

    const std::vector<std::string> expected = {
        " ",
        "Scanning statistics",
        "------------------------------",
        "Total files scanned\t\t:  " + std::to_string(g_scan.scannedCount),
        "Total files infected\t\t:  2",
        "Total files removed\t\t:  2"};
    EXPECT_EQ(expected, Summary(platform.lines));
    EXPECT_EQ("Scanning completed", platform.lastStatus);
    EXPECT_TRUE(platform.questions.empty());
    EXPECT_TRUE(platform.rebootRequests.empty());
}

namespace {

// A scan in which one infected file stays locked (this program holds it open
// without sharing deletion), answered with `answer` at the restart question.
void ScanWithLockedFile(int answer, WindowlessPlatform* platform, bool* stillThere) {
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    const std::string locked = root / "locked.exe";
    ASSERT_TRUE(wintest::WriteBytes(locked, Infected(5).data(), Infected(5).size()));
    HANDLE hold = CreateFileA(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);

    platform->answers = {answer};
    {
        ScopedScan scan(platform);
        std::snprintf(g_scan.targetPath, sizeof g_scan.targetPath, "!:");
        RunScan();
        EXPECT_EQ(1u, platform->LinesWith(locked + "     W32/Vendrika.Gen.Trojan Unable to remove")
                          .size());
        EXPECT_TRUE(g_scan.restartNeeded);
    }
    *stillThere = wintest::Exists(locked);
    CloseHandle(hold);
}

}  // namespace

TEST(EngineScan, LockedFileEndsTheScanWithTheRestartQuestion) {
    if (GetOsClass() != 5) GTEST_SKIP() << "the deletion at restart is scheduled on NT only";
    WindowlessPlatform no;
    bool stillThere = false;
    ScanWithLockedFile(pf::kIdNo, &no, &stillThere);
    EXPECT_TRUE(stillThere);
    ASSERT_EQ(1u, no.questions.size());
    EXPECT_EQ(std::string(kRestartQuestion) + "|" + kTitle + "|36", no.questions[0]);
    EXPECT_TRUE(no.rebootRequests.empty()) << "No leaves the machine running";

    WindowlessPlatform yes;
    ScanWithLockedFile(pf::kIdYes, &yes, &stillThere);
    ASSERT_EQ(1u, yes.questions.size());
    ASSERT_EQ(1u, yes.rebootRequests.size()) << "Yes asks for a restart";
    // Programs may save first: never EWX_FORCE; EWX_FORCEIFHUNG from 2000 on.
    EXPECT_EQ(GetNtClass() == 5 ? 0x2u : 0x12u, yes.rebootRequests[0]);
}

TEST(EngineScan, RunningInfectionIsEndedAndRemovedAndTheScanGoesOn) {
    if (GetOsClass() != 5 || (GetNtClass() != 6 && wintest::UnderWine())) {
        GTEST_SKIP() << "needs an NT system whose processes can be listed here";
    }
    cvsamples::Bytes bytes;
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    ASSERT_TRUE(cvsamples::BuildRunnable(table[0], sizeof(void*) == 8, &bytes));
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    // A name no real service has: the service fallback may look for it.
    const std::string exe = root / "cvtestworm.exe";
    ASSERT_TRUE(wintest::WriteBytes(exe, bytes.data(), bytes.size()));
    wintest::RunningProgram program;
    ASSERT_TRUE(program.Start(exe, ""));

    WindowlessPlatform platform;
    platform.defaultAnswer = pf::kIdCancel;  // no restart, should it be offered
    ScopedScan scan(&platform);
    std::snprintf(g_scan.targetPath, sizeof g_scan.targetPath, "!:");
    int exitCode = -1;
    try {
        RunScan();
    } catch (const wintest::ProgramExit& e) {
        exitCode = e.code;
    }
    EXPECT_EQ(-1, exitCode) << "a find in memory does not end the program";
    EXPECT_TRUE(program.WaitGone(5000));
    EXPECT_FALSE(wintest::Exists(exe));
    std::vector<std::string> expected = {"System Memory    W32/Vendrika.Trojan removed",
                                         exe + "     W32/Vendrika.Trojan removed"};
    ASSERT_GE(platform.lines.size(), expected.size());
    EXPECT_EQ(expected, std::vector<std::string>(platform.lines.begin(), platform.lines.begin() + 2));
    EXPECT_FALSE(Summary(platform.lines).empty()) << "the drives were walked";
    EXPECT_TRUE(platform.rebootRequests.empty());
    // Whether the restart is offered depends on whether the ended process
    // could be "ended" a second time; if it is, it is this question.
    for (const std::string& q : platform.questions) {
        EXPECT_EQ(0u, q.find("W32/Vendrika.Trojan found in memory!")) << q;
    }
}

#endif  // CV_HAVE_SAMPLES
