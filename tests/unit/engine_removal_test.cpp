// Removal of matched files, the report lines, the summary and the restart
// question at the end of a scan.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "engine/removal.h"
#include "engine/scan_run.h"
#include "engine/signatures.h"
#include "scan_test_support.h"
#include "tests/support/second_detector.h"
#include "tests/unit/system_perf_block.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

using Texts = std::vector<std::string>;
const char kGen[] = "W32/Vendrika.Gen.Trojan";
const char kRestartText[] =
    "The system has to be restarted to remove the virus completely from your system. Open "
    "programs may ask to save their work first.\n\n Restart now?";

std::string Sample(int index) {
    static const std::vector<cvsamples::Record> records =
        cvsamples::RecordsFromSignatureTable(SignatureTable);
    cvsamples::Bytes bytes;
    EXPECT_TRUE(cvsamples::BuildInfected(records[index], 11, &bytes));
    return std::string(bytes.begin(), bytes.end());
}

Texts Summary(int scanned, int infected, int removed) {
    Texts t;
    if (infected > 0) t.push_back(" ");
    t.push_back("Scanning statistics");
    t.push_back("------------------------------");
    t.push_back("Total files scanned\t\t:  " + std::to_string(scanned));
    t.push_back("Total files infected\t\t:  " + std::to_string(infected));
    t.push_back("Total files removed\t\t:  " + std::to_string(removed));
    return t;
}

Texts Join(Texts a, const Texts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class RemovalTest : public ScanTest {
protected:
    // A process that runs the file and so keeps it from being deleted.
    pf::sim::SimProcess& Runs(const std::string& path, pf::sim::TerminateBehaviour how) {
        pf::sim::SimProcess& p = machine.AddProcess(path);
        p.terminate = how;
        return p;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// The removal ladder
// ---------------------------------------------------------------------------
TEST_F(RemovalTest, AttributesThatCannotBeResetEndTheAttempt) {
    PlantFile("C:\\v.exe");
    machine.FailCall("SetFileAttributesA");
    g_scan.restartNeeded = true;
    RemoveInfectedFile("C:\\v.exe", kGen);
    EXPECT_EQ(lines, (Texts{"C:\\v.exe     W32/Vendrika.Gen.Trojan Unable to remove"}));
    EXPECT_EQ(machine.CountCalls("DeleteFileA"), 0);
    EXPECT_TRUE(machine.pendingDeletes.empty());
    EXPECT_TRUE(g_scan.restartNeeded);  // untouched: nothing was scheduled
    EXPECT_EQ(g_scan.removedCount, 0);
    EXPECT_TRUE(machine.Exists("C:\\v.exe"));
}

TEST_F(RemovalTest, ReadOnlyHiddenSystemFileIsDeleted) {
    PlantFile("C:\\v.exe", "x",
              pf::kFileAttributeReadonly | pf::kFileAttributeHidden | pf::kFileAttributeSystem);
    RemoveInfectedFile("C:\\v.exe", kGen);
    EXPECT_EQ(lines, (Texts{"C:\\v.exe     W32/Vendrika.Gen.Trojan removed"}));
    EXPECT_EQ(ArgsOf("SetFileAttributesA"), (Texts{"C:\\v.exe"}));
    EXPECT_FALSE(machine.Exists("C:\\v.exe"));
    EXPECT_EQ(g_scan.removedCount, 1);
    EXPECT_TRUE(machine.processes.empty());
}

TEST_F(RemovalTest, RunningFileIsDeletedAfterItsProcessEnds) {
    PlantFile("C:\\WINDOWS\\v.exe");
    Runs("C:\\WINDOWS\\v.exe", pf::sim::TerminateBehaviour::Dies);
    RemoveInfectedFile("C:\\WINDOWS\\v.exe", kGen);
    EXPECT_EQ(lines, (Texts{"C:\\WINDOWS\\v.exe     W32/Vendrika.Gen.Trojan removed"}));
    EXPECT_EQ(machine.CountCalls("DeleteFileA"), 2);
    EXPECT_FALSE(machine.processes[0].alive);
    EXPECT_FALSE(machine.Exists("C:\\WINDOWS\\v.exe"));
    EXPECT_EQ(g_scan.removedCount, 1);
    EXPECT_FALSE(g_scan.restartNeeded);
}

TEST_F(RemovalTest, FileThatStaysLockedIsScheduled) {
    PlantFile("C:\\WINDOWS\\v.exe");
    Runs("C:\\WINDOWS\\v.exe", pf::sim::TerminateBehaviour::Refuses);
    RemoveInfectedFile("C:\\WINDOWS\\v.exe", kGen);
    EXPECT_EQ(lines, (Texts{"C:\\WINDOWS\\v.exe     W32/Vendrika.Gen.Trojan Unable to remove"}));
    EXPECT_EQ(machine.pendingDeletes, (Texts{"C:\\WINDOWS\\v.exe"}));
    EXPECT_TRUE(g_scan.restartNeeded);
    EXPECT_EQ(g_scan.removedCount, 0);
    EXPECT_TRUE(machine.Exists("C:\\WINDOWS\\v.exe"));
}

TEST_F(RemovalTest, APendingDeletionKeepsTheRestartOffer) {
    // On the 9x family the scheduling is a wininit.ini entry, which can fail.
    machine.SetVersion(pf::sim::WinVersion::Win98);
    PlantFolder(machine.windowsDirectory);
    PlantFile("C:\\a.exe");
    PlantFile("C:\\b.exe");
    machine.FindFile("C:\\a.exe")->denyDelete = true;
    machine.FindFile("C:\\b.exe")->denyDelete = true;
    RemoveInfectedFile("C:\\a.exe", kGen);
    EXPECT_TRUE(g_scan.restartNeeded);
    EXPECT_NE(machine.ReadFileText(machine.windowsDirectory + "\\wininit.ini").find("[rename]"),
              std::string::npos);
    machine.FailCall("_open", 1, true);
    machine.FailCall("fopen", 1, true);
    RemoveInfectedFile("C:\\b.exe", kGen);
    // a.exe still goes at the restart: the offer stays.
    EXPECT_TRUE(g_scan.restartNeeded);
    EXPECT_EQ(lines, (Texts{"C:\\a.exe     W32/Vendrika.Gen.Trojan Unable to remove",
                            "C:\\b.exe     W32/Vendrika.Gen.Trojan Unable to remove"}));
    // A failed scheduling alone offers nothing.
    g_scan.restartNeeded = false;
    RemoveInfectedFile("C:\\b.exe", kGen);
    EXPECT_FALSE(g_scan.restartNeeded);
}

TEST_F(RemovalTest, ARefusedSchedulingIsNotPending) {
    struct Case {
        pf::sim::WinVersion version;
        bool limited;
        bool pending;
    };
    const Case cases[] = {
        {pf::sim::WinVersion::WinXp, false, true},
        {pf::sim::WinVersion::WinXp, true, false},  // a limited account on XP
        {pf::sim::WinVersion::Nt4, true, false},
        {pf::sim::WinVersion::Win7, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.version) * 10 + c.limited);
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        m.SetVersion(c.version);
        m.limitedUser = c.limited;
        m.AddFile("C:\\v.exe", Sample(2));
        m.AddProcess("C:\\editor.exe").heldFiles = {"C:\\v.exe"};
        EXPECT_EQ(RunScan(), 1);
        EXPECT_EQ(g_scan.restartNeeded, c.pending);
        EXPECT_EQ(m.pendingDeletes.size(), c.pending ? 1u : 0u);
        // No restart question for a deletion nobody will carry out.
        int asked = 0;
        for (const pf::sim::Question& q : m.questions) asked += q.text == kRestartText;
        EXPECT_EQ(asked, c.pending ? 1 : 0);
        EXPECT_TRUE(m.Exists("C:\\v.exe"));
    }
}

TEST_F(RemovalTest, AWormNamedLikeASystemProgramWaitsForTheRestart) {
    machine.SetVersion(pf::sim::WinVersion::Nt4);
    PlantFile("C:\\TEMP\\csrss.exe");
    pf::sim::SimProcess& real = machine.AddProcess("C:\\WINNT\\system32\\csrss.exe");
    const pf::DWORD realPid = real.pid;
    const pf::DWORD worm = machine.AddProcess("C:\\TEMP\\csrss.exe").pid;
    perftest::Install(machine, perftest::BuildBlock(perftest::InstancesOf(machine)).bytes);
    RemoveInfectedFile("C:\\TEMP\\csrss.exe", kGen);
    EXPECT_TRUE(machine.FindProcess(realPid)->alive);
    EXPECT_TRUE(machine.FindProcess(worm)->alive);
    EXPECT_EQ(lines, (Texts{"C:\\TEMP\\csrss.exe     W32/Vendrika.Gen.Trojan Unable to remove"}));
    EXPECT_EQ(machine.pendingDeletes, (Texts{"C:\\TEMP\\csrss.exe"}));
    EXPECT_TRUE(g_scan.restartNeeded);
}

TEST_F(RemovalTest, WithoutAWindowNothingIsReportedButCountsMove) {
    g_scan.mainWindow = nullptr;
    PlantFile("C:\\v.exe");
    RemoveInfectedFile("C:\\v.exe", kGen);
    EXPECT_EQ(g_scan.removedCount, 1);
    EXPECT_TRUE(lines.empty());
}

// ---------------------------------------------------------------------------
// Whole scans: lines, summary, final status, restart question
// ---------------------------------------------------------------------------
TEST_F(RemovalTest, CleanMachineSummaryHasNoBlankLine) {
    PlantFile("C:\\a.txt");
    PlantFile("C:\\b\\c.dll");
    EXPECT_EQ(RunScan(), 1);
    EXPECT_EQ(lines, Summary(2, 0, 0));
    EXPECT_EQ(statuses.back(), "Scanning completed");
    EXPECT_TRUE(g_scan.summaryStarted);
    EXPECT_TRUE(machine.questions.empty());
}

TEST_F(RemovalTest, InfectedFilesAreReportedThenSummarised) {
    PlantFile("C:\\a.txt");
    PlantFile("C:\\games\\v1.exe", Sample(0));
    PlantFile("C:\\games\\v2.exe", Sample(40), pf::kFileAttributeReadonly);
    machine.SetDriveType('D', pf::kDriveFixed);
    PlantFile("D:\\v3.exe", Sample(73));
    EXPECT_EQ(RunScan(), 1);
    EXPECT_EQ(lines, Join({"C:\\games\\v1.exe     W32/Vendrika.Gen.Trojan removed",
                           "C:\\games\\v2.exe     W32/Vendrika.Gen.Trojan removed",
                           "D:\\v3.exe     W32/Vendrika.Gen.Trojan removed"},
                          Summary(4, 3, 3)))
        << AllLines();
    EXPECT_EQ(statuses.back(), "Scanning completed");
    EXPECT_TRUE(machine.Exists("C:\\a.txt"));
    EXPECT_FALSE(machine.Exists("D:\\v3.exe"));
    EXPECT_TRUE(machine.questions.empty());
}

TEST_F(RemovalTest, SummaryShowsLifetimeTotals) {
    g_scan.scannedCount = 10;
    g_scan.infectedCount = 2;
    g_scan.removedCount = 1;
    g_scan.cancelled = true;
    PlantFile("C:\\a.txt");
    RunScan();
    // Cancelled before it began: no file is scanned, the totals still show.
    EXPECT_EQ(lines, Summary(10, 2, 1));
    EXPECT_EQ(statuses, (Texts{"Scanning terminated"}));
}

TEST_F(RemovalTest, LockedInfectionEndsWithTheRestartQuestion) {
    using pf::sim::WinVersion;
    const std::string requested =
        "Restart requested: if a program refuses it, the removal waits for the next restart";
    const std::string failed = "Restart failed: restart the computer to complete the removal";
    struct Row {
        WinVersion version;
        int answer;
        const char* how;  // "" as it comes, "refuses": a program refuses, "unprivileged"
        std::vector<pf::UINT> requests;
        std::string lastLine;  // after the statistics; "" none
        bool restarts;
    };
    // Programs are asked and may save: never EWX_FORCE (4); EWX_FORCEIFHUNG
    // (0x10) from 2000 on, where the system knows it.
    const Row rows[] = {
        {WinVersion::WinXp, pf::kIdNo, "", {}, "", false},
        {WinVersion::WinXp, pf::kIdCancel, "", {}, "", false},
        {WinVersion::WinXp, pf::kIdOk, "", {}, "", false},
        {WinVersion::WinXp, pf::kIdYes, "", {0x12}, requested, true},
        {WinVersion::Win2000, pf::kIdYes, "", {0x12}, requested, true},
        {WinVersion::Win10, pf::kIdYes, "", {0x12}, requested, true},
        {WinVersion::Nt4, pf::kIdYes, "", {0x2}, requested, true},
        {WinVersion::Win98, pf::kIdYes, "", {0x2}, requested, true},
        {WinVersion::WinXp, pf::kIdYes, "refuses", {0x12}, requested, false},
        {WinVersion::Win98, pf::kIdYes, "refuses", {0x2}, requested, false},
        {WinVersion::WinXp, pf::kIdYes, "unprivileged", {}, failed, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(int(r.version)) + " " + std::to_string(r.answer) + " " + r.how);
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        ResetScanContextForTest();
        std::vector<std::string> added;
        m.windowProc = [&](pf::HWND, pf::UINT msg, pf::WPARAM, pf::LPARAM) -> pf::LRESULT {
            if (msg == WM_SCAN_ADDLINE) added.push_back(g_scan.reportLine);
            return 0;
        };
        g_scan.mainWindow = FakeMainWindow();
        m.SetVersion(r.version);
        m.programRefusesRestart = std::string(r.how) == "refuses";
        if (std::string(r.how) == "unprivileged") m.heldPrivileges.clear();
        m.AddFolder("C:\\WINDOWS\\TEMP");
        m.AddFile("C:\\v.exe", Sample(2));
        // Held open by another program, which the path-based termination
        // does not end.
        m.AddProcess("C:\\editor.exe").heldFiles = {"C:\\v.exe"};
        // Where the file's holder is looked for by name, the cleaner first
        // says that it could not end it.
        const bool byName = r.version == WinVersion::Win98 || r.version == WinVersion::Nt4 ||
                            r.version == WinVersion::Win10;
        if (byName) m.AnswerNext(pf::kIdOk);
        m.AnswerNext(r.answer);
        EXPECT_EQ(RunScan(), 1);
        ASSERT_EQ(m.questions.size(), byName ? 2u : 1u);
        const pf::sim::Question& q = m.questions.back();
        EXPECT_EQ(q.text, kRestartText);
        EXPECT_EQ(q.title, "CleanVendrika Ver 1.0");
        EXPECT_EQ(q.flags, 0x24u);
        EXPECT_TRUE(q.skinned);
        // Asked only after the summary and the final status.
        EXPECT_TRUE(g_scan.summaryStarted);
        EXPECT_STREQ(g_scan.statusText, "Scanning completed");
        EXPECT_EQ(m.rebootRequests, r.requests);
        EXPECT_EQ(m.rebootStarted, r.restarts);
        EXPECT_FALSE(m.unsavedWorkLost);
        ASSERT_FALSE(added.empty());
        EXPECT_EQ(added.back(), r.lastLine.empty() ? "Total files removed\t\t:  0" : r.lastLine);
        // The deletion stays scheduled whatever became of the restart.
        if (r.version == WinVersion::Win98)
            EXPECT_NE(m.ReadFileText("C:\\WINDOWS\\wininit.ini").find("NUL=C:\\v.exe\r\n"), std::string::npos);
        else
            EXPECT_EQ(m.pendingDeletes.size(), 1u);
    }
}

// Each detector is handed only the files of the lengths it declares; every
// file is counted all the same. A second detector beside the table is found,
// named and removed by the window's scan as the table's own is.
TEST_F(ScanTest, FilesNoDetectorCanMatchAreCountedButNeverOpened) {
    SetDetectors(second_detector::Table());
    machine.SetVersion(pf::sim::WinVersion::WinXp);
    machine.SetDriveType('C', pf::kDriveFixed);
    PlantFile("C:\\data\\marked.bin", second_detector::File(20));
    PlantFile("C:\\data\\too-long.bin", second_detector::File(100));
    PlantFile("C:\\data\\letter.txt", "Dear customer");
    PlantFile("C:\\Downloads\\setup.exe", Sample(0));
    RunScan();
    SetDetectors(nullptr);
    EXPECT_EQ(g_scan.scannedCount, 4);
    EXPECT_EQ(g_scan.infectedCount, 2);
    EXPECT_EQ(g_scan.removedCount, 2);
    EXPECT_FALSE(machine.Exists("C:\\data\\marked.bin"));
    EXPECT_TRUE(machine.Exists("C:\\data\\too-long.bin"));
    EXPECT_FALSE(machine.Exists("C:\\Downloads\\setup.exe"));
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        std::string("C:\\data\\marked.bin     ") + second_detector::kName + " removed"),
              lines.end())
        << AllLines();
    const Texts opened = ArgsOf("_open");
    for (const char* never : {"C:\\data\\too-long.bin", "C:\\data\\letter.txt"})
        EXPECT_EQ(std::count(opened.begin(), opened.end(), never), 0) << never;
    // Only the second detector takes 20 bytes.
    EXPECT_EQ(std::count(opened.begin(), opened.end(), "C:\\data\\marked.bin"), 1);
}
