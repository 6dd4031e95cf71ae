// Rules of the core that no other test states outright: the rights every open
// asks for, the order of a state flag and the lines it governs, exact names
// and boundaries, the attributes set before a deletion, when the second
// deletion is tried, and the status text of a match. One test per family,
// each a table of cases.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "engine/removal.h"
#include "engine/scan_run.h"
#include "engine/walk.h"
#include "persistence/delayed_delete.h"
#include "persistence/startup_registry.h"
#include "platform/crt.h"
#include "scan_test_support.h"
#include "system/memory_check.h"
#include "system/os_version.h"
#include "system/processes.h"
#include "system/services.h"
#include "tests/unit/system_perf_block.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

using pf::sim::TerminateBehaviour;
using pf::sim::WinVersion;
using Texts = std::vector<std::string>;

namespace {

std::string Infected() {
    static const std::string bytes = [] {
        cvsamples::Bytes b;
        EXPECT_TRUE(cvsamples::BuildInfected(cvsamples::BuiltInRecords()[0], 5, &b));
        return std::string(b.begin(), b.end());
    }();
    return bytes;
}

class CoreRulesTest : public ScanTest {
protected:
    // The rights asked by the opens whose names start with `op`.
    Texts Asked(const std::string& op) const {
        Texts out;
        for (const std::string& r : machine.rightsAsked)
            if (r.compare(0, op.size(), op) == 0) out.push_back(r);
        return out;
    }
    void RunMemoryStep() {
        try {
            RunMemoryCheck();
        } catch (const pf::sim::ProcessExit&) {
        }
    }
};

const std::string kPerflib = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";
const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kRunServices = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

}  // namespace

// Processes are opened for what each step needs and no more; keys are opened
// for reading except where a value is deleted; the service manager and the
// service with 0xF003F; the token for adjusting and querying.
TEST_F(CoreRulesTest, EveryOpenAsksForItsOwnRights) {
    struct Case {
        const char* what;
        std::function<void()> act;
        const char* op;  // which opens are compared
        Texts asked;
    };
    const Case cases[] = {
        {"snapshot termination",
         [&] {
             machine.SetVersion(WinVersion::Win98);
             machine.AddProcess("C:\\A\\FOO.EXE");
             TerminateBySnapshot("C:\\A\\FOO.EXE");
         },
         "OpenProcess", {"OpenProcess 0x401"}},
        {"module-path termination",
         [&] {
             machine.AddProcess("C:\\A\\FOO.EXE");
             TerminateByModulePath("C:\\A\\FOO.EXE");
         },
         "OpenProcess", {"OpenProcess 0x410", "OpenProcess 0x411"}},
        {"performance-data termination",
         [&] {
             machine.SetVersion(WinVersion::Nt4);
             machine.AddProcess("C:\\A\\FOO.EXE");
             perftest::Install(machine,
                               perftest::BuildBlock(perftest::InstancesOf(machine)).bytes);
             TerminateByPerfData("C:\\A\\FOO.EXE");
         },
         "", {"RegOpenKeyExA 0x20019 " + kPerflib, "OpenProcess 0x1"}},
        {"performance-data termination where psapi tells paths",
         [&] {
             machine.SetVersion(WinVersion::Win7);
             machine.AddProcess("C:\\A\\FOO.EXE");
             perftest::Install(machine,
                               perftest::BuildBlock(perftest::InstancesOf(machine)).bytes);
             TerminateByPerfData("C:\\A\\FOO.EXE");
         },
         "OpenProcess", {"OpenProcess 0x411"}},
        {"memory step, 9x",
         [&] {
             machine.SetVersion(WinVersion::Win98);
             machine.AddFile("C:\\W\\WORM.EXE", Infected());
             machine.AddProcess("C:\\W\\WORM.EXE");
             RunMemoryStep();
         },
         "OpenProcess", {"OpenProcess 0x401"}},
        {"memory step, XP, with the service fallback",
         [&] {
             machine.AddFile("C:\\W\\worm.exe", Infected());
             machine.AddProcess("C:\\W\\worm.exe").terminate = TerminateBehaviour::Refuses;
             machine.AddService("worm").stop = pf::sim::StopBehaviour::RefusesStop;
             RunMemoryStep();
         },
         "Open",
         {"OpenProcess 0x410", "OpenProcess 0x411", "OpenSCManagerA 0xf003f",
          "OpenServiceA 0xf003f worm"}},
        {"service stop",
         [&] {
             machine.AddService("wormsvc");
             StopService("wormsvc", 1);
         },
         "", {"OpenSCManagerA 0xf003f", "OpenServiceA 0xf003f wormsvc"}},
        {"start-up values",
         [&] {
             machine.SetString(pf::kHkeyLocalMachine, kRun, "agent", "C:\\W\\WORM.EXE -x");
             crt::CopyText(g_scan.inspectedPath, "C:\\W\\WORM.EXE");
             ScanStartupKey(pf::kHkeyLocalMachine, kRunKeyPath);
             ReadRegistryValue(pf::kHkeyLocalMachine, kRunServicesKeyPath, "x", g_scan.statusText);
             DeleteRegistryValue(pf::kHkeyLocalMachine, kRunServicesKeyPath, "x");
         },
         "RegOpenKeyExA",
         {"RegOpenKeyExA 0x20019 " + kRun, "RegOpenKeyExA 0x20019 " + kRun,
          "RegOpenKeyExA 0xf003f " + kRun, "RegOpenKeyExA 0x20019 " + kRunServices,
          "RegOpenKeyExA 0xf003f " + kRunServices}},
        {"privileges", [&] { EnablePrivilege("SeShutdownPrivilege"); }, "OpenProcessToken",
         {"OpenProcessToken 0x28"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine.processes.clear();
        machine.services.clear();
        machine.rightsAsked.clear();
        machine.SetVersion(WinVersion::WinXp);
        c.act();
        EXPECT_EQ(Asked(c.op), c.asked);
    }
}

// summaryStarted is set before the first summary line (the result list stops
// emptying itself at 150 lines from then on); every line of the walk comes
// while it is still clear. The final status follows the summary, and the
// restart question follows both.
TEST_F(CoreRulesTest, TheSummaryFlagIsSetBeforeItsLines) {
    struct Case {
        bool infected;
        bool locked;
        Texts walkLines;  // lines that come before the summary
    };
    const Case cases[] = {
        {false, false, {}},
        {true, false, {"C:\\v.exe     W32/Vendrika.Gen.Trojan removed"}},
        {true, true, {"C:\\v.exe     W32/Vendrika.Gen.Trojan Unable to remove"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.walkLines.size() + 10 * c.locked);
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        Texts order;  // each line or status with the flag as it arrived
        m.windowProc = [&](pf::HWND, pf::UINT message, pf::WPARAM, pf::LPARAM) -> pf::LRESULT {
            const std::string flag = g_scan.summaryStarted ? "[S] " : "[ ] ";
            if (message == WM_SCAN_ADDLINE) order.push_back(flag + g_scan.reportLine);
            if (message == WM_SCAN_STATUS && std::string(g_scan.statusText).rfind("Scanning", 0) == 0)
                order.push_back(flag + "status " + g_scan.statusText);
            return 0;
        };
        m.onQuestion = [&](const pf::sim::Question& q) { order.push_back("question"); };
        m.AddFile("C:\\v.exe", c.infected ? Infected() : std::string("MZ"));
        if (c.locked) m.AddProcess("C:\\editor.exe").heldFiles = {"C:\\v.exe"};
        RunScan();
        Texts wanted;
        for (const std::string& l : c.walkLines) wanted.push_back("[ ] " + l);
        if (c.infected) wanted.push_back("[S]  ");
        for (const char* l : {"Scanning statistics", "------------------------------"})
            wanted.push_back(std::string("[S] ") + l);
        wanted.push_back("[S] Total files scanned\t\t:  1");
        wanted.push_back(std::string("[S] Total files infected\t\t:  ") + (c.infected ? "1" : "0"));
        wanted.push_back(std::string("[S] Total files removed\t\t:  ") +
                         (c.infected && !c.locked ? "1" : "0"));
        wanted.push_back("[S] status Scanning completed");
        if (c.locked) wanted.push_back("question");
        EXPECT_EQ(order, wanted);
    }
}

// Only the entries named exactly "." and ".." are passed over; a folder
// whose pattern holds "\Program Files\" (both backslashes, that letter case)
// counts as the Program Files walk.
TEST_F(CoreRulesTest, ExactNamesDecideWhatTheWalkEntersAndMarks) {
    struct Case {
        const char* folder;  // one folder on C:, holding one file
        bool entered;
        bool marksProgramFiles;
    };
    const Case cases[] = {
        {"C:\\...", true, false},
        {"C:\\..x", true, false},
        {"C:\\.hidden", true, false},
        {"C:\\Program Files", true, true},
        {"C:\\Data\\Program Files", true, true},
        {"C:\\My Program Files", true, false},
        {"C:\\Program Files (x86)", true, false},
        {"C:\\Program Files2", true, false},
        {"C:\\PROGRAM FILES", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        ResetScanContextForTest();
        m.AddFile(std::string(c.folder) + "\\inside.txt", "x");
        WalkFolder("C:\\*.*");
        EXPECT_EQ(g_scan.scannedCount, c.entered ? 1 : 0);
        EXPECT_EQ(g_scan.programFilesVisited, c.marksProgramFiles);
    }
}

// The [rename] header is its first 8 characters, letter case aside; the
// section ends at the next line that begins with "[".
TEST_F(CoreRulesTest, RenameSectionBounds) {
    struct Case {
        std::string before;
        std::string wanted;
    };
    const std::string entry = "NUL=C:\\N.EXE\r\n";
    const Case cases[] = {
        {"[rename] ; note\r\n[x]\r\n", "[rename] ; note\r\n" + entry + "[x]\r\n"},
        {"[ReNaMe]\r\n[x]\r\n", "[ReNaMe]\r\n" + entry + "[x]\r\n"},
        {"[rename]more\r\n[x]\r\n", "[rename]more\r\n" + entry + "[x]\r\n"},  // 8 characters agree
        {"[renamed]\r\n[x]\r\n", "[renamed]\r\n[x]\r\n[rename]\r\n" + entry},
        {"[renam]\r\n[x]\r\n", "[renam]\r\n[x]\r\n[rename]\r\n" + entry},
        {" [rename]\r\n[x]\r\n", " [rename]\r\n[x]\r\n[rename]\r\n" + entry},
        {"[rename]\r\n [x]\r\nA=1\r\n[y\r\n", "[rename]\r\n [x]\r\nA=1\r\n" + entry + "[y\r\n"},
        {"[rename]\r\n;[x]\r\n", "[rename]\r\n;[x]\r\n" + entry},
        {"[x]\r\n[rename]\r\n[rename]\r\n", "[x]\r\n[rename]\r\n" + entry + "[rename]\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        m.SetVersion(WinVersion::Win98);
        m.AddFolder("C:\\WINDOWS\\TEMP");
        m.AddFile("C:\\WINDOWS\\wininit.ini", c.before);
        EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\N.EXE"));
        EXPECT_EQ(m.ReadFileText("C:\\WINDOWS\\wininit.ini"), c.wanted);
    }
}

// The service of a process file is its name after the last backslash, cut
// at the last dot; a dot in a folder name plays no part, nor does the trail
// byte 0x5C of a double-byte character (ソ in code page 932).
TEST_F(CoreRulesTest, ServiceNameIsCutAtTheLastDot) {
    struct Case {
        const char* image;
        const char* service;
        pf::UINT codePage = 1252;
    };
    const Case cases[] = {
        {"C:\\W\\worm.exe", "worm"},
        {"C:\\W\\my.worm.exe", "my.worm"},
        {"C:\\W.D\\worm", "worm"},
        {"C:\\W\\WORM.", "WORM"},
        {"C:\\W\\a.b.c", "a.b"},
        {"C:\\W\\\x83\x5C" "ft.exe", "\x83\x5C" "ft", 932},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        ResetScanContextForTest();
        m.ansiCodePage = c.codePage;
        m.AddFile(c.image, Infected());
        m.AddProcess(c.image).terminate = TerminateBehaviour::Refuses;
        try {
            RunMemoryCheck();
        } catch (const pf::sim::ProcessExit&) {
        }
        Texts opened;
        for (const pf::sim::Call& call : m.log)
            if (call.op == "OpenServiceA") opened.push_back(call.arg);
        EXPECT_EQ(opened, Texts{c.service});
    }
}

// Before the deletion the attributes become exactly FILE_ATTRIBUTE_ARCHIVE;
// the second deletion follows only a termination that reported success; a
// match shows the whole path as the status text, not the shortened one.
TEST_F(CoreRulesTest, RemovalLadderRules) {
    struct Case {
        WinVersion version;
        TerminateBehaviour how;
        int deletes;  // DeleteFileA calls
    };
    const Case cases[] = {
        {WinVersion::Win98, TerminateBehaviour::Refuses, 1},  // snapshot: 0, no second try
        {WinVersion::Win98, TerminateBehaviour::Dies, 2},
        {WinVersion::Nt4, TerminateBehaviour::Refuses, 1},    // performance data: 0
        {WinVersion::WinXp, TerminateBehaviour::Refuses, 2},  // module paths: always 1
    };
    const std::string path = "C:\\A Rather Long Folder Name\\With Another One Inside\\worm.exe";
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.version) * 10 + int(c.how));
        pf::sim::SimMachine m;
        pf::sim::ScopedSimMachine use(m);
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        m.SetVersion(c.version);
        m.AddFolder("C:\\WINDOWS\\TEMP");
        m.AddFile(path, Infected(),
                  pf::kFileAttributeReadonly | pf::kFileAttributeHidden | pf::kFileAttributeSystem);
        m.AddProcess(path).terminate = c.how;
        perftest::Install(m, perftest::BuildBlock(perftest::InstancesOf(m)).bytes);
        int statuses = 0;
        m.windowProc = [&](pf::HWND, pf::UINT message, pf::WPARAM, pf::LPARAM) -> pf::LRESULT {
            statuses += message == WM_SCAN_STATUS;
            return 0;
        };
        EXPECT_EQ(InspectFile("W32/Vendrika.Trojan", path.c_str()), 1);
        EXPECT_EQ(m.CountCalls("DeleteFileA"), c.deletes);
        if (const pf::sim::SimFile* left = m.FindFile(path)) {
            EXPECT_EQ(left->attributes, pf::kFileAttributeArchive);
        }
        EXPECT_EQ(std::string(g_scan.statusText), path);
        EXPECT_EQ(statuses, 0) << "the inspection sends no status of its own";
    }
}
