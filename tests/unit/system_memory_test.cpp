// The memory step on the simulated machine: every branch for each Windows
// generation, with real infected samples as the processes' program files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/scan_run.h"
#include "engine/signatures.h"
#include "scan_test_support.h"
#include "system/memory_check.h"
#include "tests/unit/system_perf_block.h"
#include "tests/unit/system_support.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

using pf::sim::StopBehaviour;
using pf::sim::TerminateBehaviour;
using pf::sim::WinVersion;
using Texts = std::vector<std::string>;

namespace {

const char kMemoryLine[] = "System Memory    W32/Vendrika.Trojan removed";
const char kQuestion[] =
    "W32/Vendrika.Trojan found in memory! registry entries created by the worm are removed. You "
    "must restart the computer and run this program to continue scanning.\n\nRestart the "
    "computer now?";
constexpr int kReturned = -1;

std::string Infected() {
    static const std::string bytes = [] {
        cvsamples::Bytes b;
        EXPECT_TRUE(cvsamples::BuildInfected(cvsamples::BuiltInRecords()[0], 3, &b));
        return std::string(b.begin(), b.end());
    }();
    return bytes;
}

std::string Removed(const std::string& path) { return path + "     W32/Vendrika.Trojan removed"; }

class MemoryCheckTest : public ScanTest {
protected:
    ~MemoryCheckTest() override {
        EXPECT_TRUE(machine.processHandles.empty());
        EXPECT_TRUE(machine.serviceHandles.empty());
        EXPECT_TRUE(machine.snapshots.empty());
        EXPECT_EQ(machine.liveAllocations, 0u);
    }

    // A running process of an infected (or clean) program file.
    pf::DWORD Runs(const std::string& path, bool infected = true,
                   TerminateBehaviour how = TerminateBehaviour::Dies) {
        PlantFile(path, infected ? Infected() : std::string("MZ clean program"));
        pf::sim::SimProcess& p = machine.AddProcess(path);
        p.terminate = how;
        return p.pid;
    }
    bool Alive(pf::DWORD pid) { return machine.FindProcess(pid)->alive; }

    // Runs the step; the exit code when the program was ended, else kReturned.
    int Check() {
        try {
            RunMemoryCheck();
        } catch (const pf::sim::ProcessExit& e) {
            return e.code;
        }
        return kReturned;
    }

    // The service's keys in both control sets, with the ImagePath it runs.
    void PlantServiceKeys(const std::string& name, const std::string& imagePath = "") {
        for (const char* set : {"SYSTEM\\ControlSet001\\Services\\", "SYSTEM\\ControlSet002\\Services\\"}) {
            machine.CreateKey(pf::kHkeyLocalMachine, set + name + "\\Enum");
            machine.CreateKey(pf::kHkeyLocalMachine, set + name + "\\Security");
            if (!imagePath.empty())
                machine.SetString(pf::kHkeyLocalMachine, set + name, "ImagePath", imagePath, pf::kRegExpandSz);
        }
    }
    bool HasServiceKey(const std::string& name) {
        return machine.FindKey(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\" + name) ||
               machine.FindKey(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\" + name);
    }
};

// ---------------------------------------------------------------------------
// Windows 9x: the snapshot variant, and the scan goes on
// ---------------------------------------------------------------------------

TEST_F(MemoryCheckTest, NinetyFiveFamilyEndsTheProcessRemovesTheFileAndGoesOn) {
    machine.SetVersion(WinVersion::Win98);
    const pf::DWORD clean = Runs("C:\\WINDOWS\\EXPLORER.EXE", false);
    const pf::DWORD worm = Runs("C:\\WINDOWS\\SYSTEM\\WORM.EXE");
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(Alive(clean));
    EXPECT_FALSE(Alive(worm));
    EXPECT_FALSE(machine.Exists("C:\\WINDOWS\\SYSTEM\\WORM.EXE"));
    EXPECT_TRUE(machine.Exists("C:\\WINDOWS\\EXPLORER.EXE"));
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed("C:\\WINDOWS\\SYSTEM\\WORM.EXE")})) << AllLines();
    EXPECT_TRUE(machine.questions.empty());
    EXPECT_FALSE(g_scan.memoryMode);
    EXPECT_FALSE(g_scan.memoryRemoval);
    EXPECT_EQ(g_scan.infectedCount, 1);
    EXPECT_EQ(g_scan.scannedCount, 0);  // process files are not counted
    EXPECT_EQ(machine.sleeps, (std::vector<pf::DWORD>{1000}));  // only the removal's own wait
}

TEST_F(MemoryCheckTest, NinetyFiveFamilyFollowsTheShortPathTheLoaderSaw) {
    machine.SetVersion(WinVersion::WinMe);
    const std::string path = "C:\\Program Files\\Worm Folder\\wormprogram.exe";
    const pf::DWORD worm = Runs(path);
    machine.FindProcess(worm)->startedByShortPath = true;
    const std::string shortPath = "C:\\PROGRA~1\\WORMFO~1\\WORMPR~1.EXE";
    EXPECT_EQ(Check(), kReturned);
    EXPECT_FALSE(Alive(worm));
    EXPECT_FALSE(machine.Exists(path));
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed(shortPath)})) << AllLines();
}

// A process that survives is not called removed: the list says so, and its
// file goes the removal's own way (here: scheduled).
TEST_F(MemoryCheckTest, NinetyFiveFamilySaysSoWhenTheProcessSurvives) {
    machine.SetVersion(WinVersion::Win95);
    const pf::DWORD worm = Runs("C:\\WINDOWS\\WORM.EXE", true, TerminateBehaviour::Refuses);
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(Alive(worm));
    EXPECT_EQ(lines, (Texts{"System Memory    W32/Vendrika.Trojan Unable to remove",
                            "C:\\WINDOWS\\WORM.EXE     W32/Vendrika.Trojan Unable to remove"}))
        << AllLines();
    EXPECT_TRUE(machine.Exists("C:\\WINDOWS\\WORM.EXE"));
    EXPECT_TRUE(g_scan.restartNeeded);
    EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 0);
}

// A worm named like the shell, outside the Windows folder and listed after
// the shell, whose first ending fails: the removal ends it by its path, and
// the shell runs on. Also where the snapshot gives file names only (Wine).
TEST_F(MemoryCheckTest, NinetyEightEndsAWormNamedLikeTheShellAndKeepsTheShell) {
    for (bool namesOnly : {false, true}) {
        SCOPED_TRACE(namesOnly);
        machine.processes.clear();
        lines.clear();
        machine.SetVersion(WinVersion::Win98);
        const pf::DWORD shell = Runs("C:\\WINDOWS\\EXPLORER.EXE", false);
        const std::string path = "C:\\WINDOWS\\SYSTEM\\EXPLORER.EXE";
        const pf::DWORD worm = Runs(path);
        if (namesOnly)
            for (auto& p : machine.processes) p.snapshotName = "EXPLORER.EXE";
        machine.FailCall("OpenProcess");  // the memory step's own attempt
        EXPECT_EQ(Check(), kReturned);
        EXPECT_TRUE(Alive(shell));
        EXPECT_FALSE(Alive(worm));
        EXPECT_FALSE(machine.Exists(path));
        EXPECT_TRUE(machine.Exists("C:\\WINDOWS\\EXPLORER.EXE"));
        EXPECT_EQ(lines, (Texts{"System Memory    W32/Vendrika.Trojan Unable to remove", Removed(path)}))
            << AllLines();
    }
}

// Japanese Windows (code page 932): a worm C:\APP\ア.exe (0x83 0x41) beside
// another program C:\APP\ヂ.exe (0x83 0x61), listed before it, each started
// by a start-up value. The memory step's own ending of the worm fails, so the
// removal ends it by its path: only the worm is ended, only its value goes.
TEST_F(MemoryCheckTest, AWormWithADoubleByteNameEndsNoOtherProgram) {
    const std::string worm = "C:\\APP\\\x83\x41.exe";
    const std::string other = "C:\\APP\\\x83\x61.exe";
    const char* const run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    struct Case {
        WinVersion version;
        int memoryStepOpen;     // which OpenProcess is the memory step's attempt
        const char* detection;  // in the removal's line: the memory step's, or the walk's
    };
    for (const Case c : {Case{WinVersion::Win98, 1, "W32/Vendrika.Trojan"},
                         Case{WinVersion::WinXp, 3, "W32/Vendrika.Gen.Trojan"},
                         Case{WinVersion::Win7, 3, "W32/Vendrika.Gen.Trojan"}}) {
        SCOPED_TRACE(int(c.version));
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.processes.clear();
        machine.hklm.subkeys.clear();
        machine.DeleteFileA(worm.c_str());
        lines.clear();
        machine.SetVersion(c.version);
        machine.ansiCodePage = 932;
        const pf::DWORD kept = Runs(other, false);
        const pf::DWORD ended = Runs(worm);
        perftest::Install(machine,
                          perftest::BuildBlock({{u"\u30C2", kept}, {u"\u30A2", ended}}).bytes);
        machine.SetString(pf::kHkeyLocalMachine, run, "Worm", worm + " /s");
        machine.SetString(pf::kHkeyLocalMachine, run, "Other", "\"" + other + "\" /tray");
        machine.FailCall("OpenProcess", c.memoryStepOpen);
        EXPECT_EQ(RunScan(), 1);
        EXPECT_FALSE(Alive(ended));
        EXPECT_TRUE(Alive(kept));
        EXPECT_FALSE(machine.Exists(worm));
        EXPECT_TRUE(machine.Exists(other));
        EXPECT_FALSE(machine.FindValue(pf::kHkeyLocalMachine, run, "Worm"));
        EXPECT_TRUE(machine.FindValue(pf::kHkeyLocalMachine, run, "Other"));
        EXPECT_TRUE(HasLine(worm + "     " + c.detection + " removed")) << AllLines();
    }
}

// The list is taken once. While the cleaner waits on a first worm (98: the
// "Could not kill process" box; XP: the poll of its service's stop), a second
// listed worm ends and an editor started then takes its id: the editor runs
// on and no line claims its removal; the second worm's file is left to the
// walk.
TEST_F(MemoryCheckTest, AnIdThatChangedHandsMeanwhileEndsNotTheNewProgram) {
    const std::string first = "C:\\WINDOWS\\SYSTEM\\WORMSVC.EXE";
    const std::string second = "C:\\WINDOWS\\WORM2.EXE";
    const std::string editor = "C:\\Program Files\\Editor\\editor.exe";
    for (WinVersion v : {WinVersion::Win98, WinVersion::WinXp}) {
        SCOPED_TRACE(int(v));
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.processes.clear();
        machine.services.clear();
        machine.questions.clear();
        machine.DeleteFileA(second.c_str());
        lines.clear();
        machine.SetVersion(v);
        const pf::DWORD one = Runs(first, true, TerminateBehaviour::Refuses);
        const pf::DWORD two = Runs(second);
        bool handedOver = false;
        auto handOver = [&] {
            if (handedOver) return;
            handedOver = true;
            machine.FindProcess(two)->alive = false;
            machine.idReusedBy[two] = editor;
        };
        if (v == WinVersion::Win98) {
            machine.onQuestion = [&](const pf::sim::Question& q) {
                if (q.text == "Could not kill process") handOver();
            };
        } else {
            pf::sim::SimService& service = machine.AddService("wormsvc");
            service.stop = StopBehaviour::PendingThenStopped;
            service.processId = one;
            service.imagePath = first;
            PlantServiceKeys("wormsvc", first);
            machine.onSleep = [&](pf::DWORD) {
                if (machine.FindService("wormsvc")->stopRequests > 0) handOver();
            };
        }
        Check();
        machine.onQuestion = nullptr;
        machine.onSleep = nullptr;
        ASSERT_TRUE(handedOver);
        ASSERT_EQ(machine.FindProcess(two)->imagePath, editor);
        EXPECT_TRUE(Alive(two));
        EXPECT_EQ(machine.FindProcess(two)->terminateCalls, 0);
        EXPECT_TRUE(machine.Exists(second));
        EXPECT_FALSE(HasLine(Removed(second))) << AllLines();
        const Texts wanted = v == WinVersion::Win98
                                 ? Texts{"System Memory    W32/Vendrika.Trojan Unable to remove",
                                         first + "     W32/Vendrika.Trojan Unable to remove"}
                                 : Texts{kMemoryLine, Removed(first)};  // ended with its service
        EXPECT_EQ(lines, wanted) << AllLines();
    }
}

// The cleaner's own file infected (a copy downloaded onto the infected
// machine): its process is never ended, its file never deleted nor
// scheduled; one line says to replace it, and the scan goes on to the worm
// beside it and over the drives, without saying it twice.
TEST_F(MemoryCheckTest, TheCleanersOwnInfectedFileIsToldNotEndedNorDeleted) {
    const std::string own = "C:\\Downloads\\CleanVendrika.exe";
    const std::string ownLine =
        own + "     W32/Vendrika.Trojan in this program's own file: not removed, replace it from clean media";
    for (WinVersion v : {WinVersion::Win98, WinVersion::WinXp}) {
        SCOPED_TRACE(int(v));
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.processes.clear();
        machine.pendingDeletes.clear();
        lines.clear();
        machine.SetVersion(v);
        const pf::DWORD self = Runs(own);
        machine.currentProcessId = self;
        const pf::DWORD worm = Runs("C:\\WINDOWS\\worm.exe");
        EXPECT_EQ(RunScan(), 1);
        EXPECT_TRUE(Alive(self));
        EXPECT_EQ(machine.FindProcess(self)->terminateCalls, 0);
        EXPECT_TRUE(machine.Exists(own));
        EXPECT_TRUE(machine.pendingDeletes.empty());
        EXPECT_FALSE(Alive(worm));
        EXPECT_FALSE(machine.Exists("C:\\WINDOWS\\worm.exe"));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), ownLine), 1) << AllLines();
        EXPECT_TRUE(HasLine(Removed("C:\\WINDOWS\\worm.exe"))) << AllLines();
    }
}

// The worm in a program the system cannot run without: its process is
// never ended (the machine would stop), no service is stopped or removed
// for it, the file is neither deleted nor scheduled, and the line says how
// to restore it; System File Checker from 2000 on.
TEST_F(MemoryCheckTest, ACriticalProgramOfTheSystemIsToldNeverEnded) {
    struct Case {
        WinVersion version;
        const char* name;
        bool sfc;
    };
    for (const Case c : {Case{WinVersion::Nt4, "csrss.exe", false},
                         Case{WinVersion::Win2000, "svchost.exe", true},
                         Case{WinVersion::WinXp, "winlogon.exe", true},
                         Case{WinVersion::Win7, "wininit.exe", true}}) {
        SCOPED_TRACE(c.name);
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.processes.clear();
        machine.services.clear();
        machine.pendingDeletes.clear();
        machine.questions.clear();
        lines.clear();
        machine.SetVersion(c.version);
        machine.modules.insert("psapi.dll");
        const std::string path = machine.systemDirectory + "\\" + c.name;
        const pf::DWORD critical = Runs(path, true, TerminateBehaviour::DiesThenRefuses);
        const std::string service = std::string(c.name).substr(0, std::string(c.name).size() - 4);
        machine.AddService(service).imagePath = path;
        PlantServiceKeys(service, path);
        EXPECT_EQ(RunScan(), 1);
        EXPECT_FALSE(machine.systemStopped) << machine.systemStopCause;
        EXPECT_TRUE(Alive(critical));
        EXPECT_EQ(machine.FindProcess(critical)->terminateCalls, 0);
        EXPECT_EQ(machine.FindService(service)->stopRequests, 0);
        EXPECT_TRUE(HasServiceKey(service));
        EXPECT_TRUE(machine.Exists(path));
        EXPECT_TRUE(machine.pendingDeletes.empty());
        const std::string line =
            path + "     W32/Vendrika.Trojan in a program of Windows itself: not ended nor removed, "
                   "restore it from the installation media" +
            (c.sfc ? " or with System File Checker (sfc /scannow)" : "");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << AllLines();
        EXPECT_FALSE(HasLine(kMemoryLine)) << AllLines();
    }
}

TEST_F(MemoryCheckTest, NinetyFiveFamilyWithoutAListChecksNothing) {
    machine.SetVersion(WinVersion::WinMe);
    const pf::DWORD worm = Runs("C:\\WINDOWS\\WORM.EXE");
    Runs("C:\\WINDOWS\\OTHER.EXE", false);
    machine.FailCall("GlobalAlloc", 3);  // the second list entry: the list is abandoned
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(Alive(worm));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(g_scan.infectedCount, 0);
}

// ---------------------------------------------------------------------------
// NT family: the module-path variant, and the program ends on a find
// ---------------------------------------------------------------------------

TEST_F(MemoryCheckTest, XpProcessEndedByTheFirstAttemptOnlyRunsTheFallbackAndAsks) {
    machine.SetVersion(WinVersion::WinXp);
    const std::string path = "C:\\WINDOWS\\system32\\wormsvc.exe";
    const pf::DWORD worm = Runs(path, true, TerminateBehaviour::DiesThenRefuses);
    PlantServiceKeys("wormsvc", "%SystemRoot%\\system32\\wormsvc.exe");
    // Once ended and let go, its id may serve a new program.
    const std::string editor = "C:\\Program Files\\Editor\\editor.exe";
    machine.idReusedBy[worm] = editor;
    machine.AnswerNext(pf::kIdOk);
    EXPECT_EQ(Check(), 0);
    EXPECT_FALSE(machine.FindProcess(worm)->imagePath == editor && !Alive(worm));

    EXPECT_FALSE(Alive(worm));
    EXPECT_EQ(machine.FindProcess(worm)->terminateCalls, 2);
    EXPECT_EQ(systest::FirstArg(machine, "OpenServiceA"), "wormsvc");
    EXPECT_FALSE(HasServiceKey("wormsvc"));
    EXPECT_TRUE(g_scan.memoryRegistryCleaned);
    // Handed back once, because the first attempt worked.
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed(path)})) << AllLines();
    EXPECT_FALSE(machine.Exists(path));
    ASSERT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(machine.questions[0].text, kQuestion);
    EXPECT_EQ(machine.questions[0].title, "CleanVendrika Ver 1.0");
    EXPECT_EQ(machine.questions[0].flags, 0x41u);
    EXPECT_TRUE(machine.questions[0].skinned);
    EXPECT_EQ(machine.rebootRequests, (std::vector<pf::UINT>{0x12}));  // programs may save
    // No wait before, between or after the attempts: only the removal's.
    EXPECT_EQ(machine.sleeps, (std::vector<pf::DWORD>{1000}));
    // The listing's open, then both attempts on one handle, then the service.
    const Texts trace = systest::Trace(machine, {"OpenProcess", "TerminateProcess", "CloseHandle", "OpenSCManagerA"});
    const Texts wanted = {"OpenProcess(" + std::to_string(worm) + ")", "CloseHandle()",
                          "OpenProcess(" + std::to_string(worm) + ")", "TerminateProcess(0)",
                          "TerminateProcess(0)", "CloseHandle()", "OpenSCManagerA(983103)"};
    EXPECT_EQ(Texts(trace.begin(), trace.begin() + std::min(trace.size(), wanted.size())), wanted);
}

// A running sample whose file name is that of an installed service, its
// image in another folder: the sample is ended and removed, the service runs
// on and keeps its keys in both control sets, and nothing claims otherwise.
TEST_F(MemoryCheckTest, AServiceThatOnlySharesTheFilesNameIsLeftAlone) {
    for (TerminateBehaviour how : {TerminateBehaviour::DiesThenRefuses, TerminateBehaviour::Refuses}) {
        SCOPED_TRACE(int(how));
        machine.processes.clear();
        machine.services.clear();
        lines.clear();
        machine.SetVersion(WinVersion::WinXp);
        const std::string path = "C:\\Data\\alg.exe";
        const pf::DWORD worm = Runs(path, true, how);
        const pf::DWORD real = machine.AddProcess("C:\\WINDOWS\\system32\\alg.exe").pid;
        pf::sim::SimService& alg = machine.AddService("ALG");
        alg.imagePath = "%SystemRoot%\\System32\\alg.exe";
        alg.processId = real;
        PlantServiceKeys("ALG", "%SystemRoot%\\System32\\alg.exe");
        EXPECT_EQ(Check(), kReturned);
        EXPECT_EQ(machine.FindService("ALG")->state, pf::kServiceRunning);
        EXPECT_EQ(machine.FindService("ALG")->stopRequests, 0);
        EXPECT_TRUE(Alive(real));
        for (const char* set : {"SYSTEM\\ControlSet001\\Services\\ALG", "SYSTEM\\ControlSet002\\Services\\ALG"}) {
            EXPECT_TRUE(machine.FindKey(pf::kHkeyLocalMachine, std::string(set) + "\\Enum")) << set;
            EXPECT_TRUE(machine.FindKey(pf::kHkeyLocalMachine, std::string(set) + "\\Security")) << set;
        }
        EXPECT_FALSE(g_scan.memoryRegistryCleaned);
        EXPECT_TRUE(machine.questions.empty());
        const bool ended = how == TerminateBehaviour::DiesThenRefuses;
        EXPECT_EQ(Alive(worm), !ended);
        EXPECT_EQ(machine.Exists(path), !ended);
        EXPECT_EQ(lines, ended ? (Texts{kMemoryLine, Removed(path)}) : Texts()) << AllLines();
    }
}

// A find in memory that nothing could end: the scan goes on over the drives,
// the removal schedules the running file, and the summary and the restart
// question say what happened.
TEST_F(MemoryCheckTest, AFindNothingCouldEndLetsTheScanGoOn) {
    for (WinVersion v : {WinVersion::Win2000, WinVersion::Win7}) {
        SCOPED_TRACE(int(v));
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.processes.clear();
        machine.questions.clear();
        machine.pendingDeletes.clear();
        lines.clear();
        statuses.clear();
        machine.SetVersion(v);
        const std::string path = "C:\\Windows\\worm" + std::to_string(int(v)) + ".exe";
        const pf::DWORD worm = Runs(path, true, TerminateBehaviour::Refuses);
        PlantFile("C:\\Data\\other.exe", Infected());
        EXPECT_EQ(RunScan(), 1);
        EXPECT_TRUE(Alive(worm));
        EXPECT_FALSE(machine.Exists("C:\\Data\\other.exe"));  // the walk went on
        EXPECT_TRUE(HasLine(path + "     W32/Vendrika.Gen.Trojan Unable to remove")) << AllLines();
        EXPECT_TRUE(HasLine("Total files infected\t\t:  3")) << AllLines();  // memory, then the walk
        EXPECT_EQ(statuses.back(), "Scanning completed");
        EXPECT_EQ(machine.pendingDeletes.size(), 1u);
        ASSERT_FALSE(machine.questions.empty());
        EXPECT_EQ(machine.questions.back().text,
                  "The system has to be restarted to remove the virus completely from your system. "
                  "Open programs may ask to save their work first.\n\n Restart now?");
        machine.processes.clear();
        machine.DeleteFileA(path.c_str());
    }
}

// Cancel, or an OK whose restart the system does not take: the scan goes on,
// and a restart that was not requested is never left unsaid.
TEST_F(MemoryCheckTest, NoRestartGoesOnWithTheScan) {
    struct Case {
        int answer;
        bool privilege;
        Texts extraLines;
    } cases[] = {
        {pf::kIdCancel, true, {}},
        {pf::kIdOk, false, {"Restart failed: restart the computer and run this program again"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        machine.processes.clear();
        machine.questions.clear();
        lines.clear();
        if (!c.privilege) machine.heldPrivileges.clear();
        machine.SetVersion(WinVersion::WinXp);
        Runs("C:\\WINDOWS\\worm.exe", true, TerminateBehaviour::DiesThenRefuses);
        PlantServiceKeys("worm", "C:\\WINDOWS\\worm.exe");
        machine.AnswerNext(c.answer);
        EXPECT_EQ(Check(), kReturned);
        EXPECT_EQ(machine.questions.size(), 1u);
        EXPECT_TRUE(machine.rebootRequests.empty());
        EXPECT_FALSE(g_scan.memoryMode);
        Texts wanted = {kMemoryLine, Removed("C:\\WINDOWS\\worm.exe")};
        wanted.insert(wanted.end(), c.extraLines.begin(), c.extraLines.end());
        EXPECT_EQ(lines, wanted) << AllLines();
    }
}

TEST_F(MemoryCheckTest, SecondAttemptSucceedingEndsTheProgramWithoutAQuestion) {
    machine.SetVersion(WinVersion::Win2000);
    const pf::DWORD worm = Runs("C:\\WINNT\\worm.exe");
    machine.FailCall("TerminateProcess");  // the first attempt fails
    EXPECT_EQ(Check(), kReturned);
    EXPECT_FALSE(Alive(worm));
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed("C:\\WINNT\\worm.exe")})) << AllLines();
    EXPECT_TRUE(machine.questions.empty());
    EXPECT_FALSE(g_scan.memoryRegistryCleaned);
    EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 0);
}

TEST_F(MemoryCheckTest, AStoppedServiceHandsTheFileBackWithoutTheQuestion) {
    machine.SetVersion(WinVersion::WinXp);
    const std::string path = "C:\\WINDOWS\\system32\\wormsvc.exe";
    const pf::DWORD worm = Runs(path, true, TerminateBehaviour::Refuses);
    pf::sim::SimService& service = machine.AddService("wormsvc");
    service.stop = StopBehaviour::PendingThenStopped;
    service.pendingPolls = 1;
    service.processId = worm;
    service.imagePath = "\"" + path + "\" -service";
    PlantServiceKeys("wormsvc", path);
    EXPECT_EQ(Check(), kReturned);
    EXPECT_FALSE(Alive(worm));  // ended with its service
    EXPECT_FALSE(HasServiceKey("wormsvc"));
    EXPECT_FALSE(g_scan.memoryRegistryCleaned);
    EXPECT_TRUE(machine.questions.empty());
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed(path)})) << AllLines();
    EXPECT_EQ(machine.sleeps, (std::vector<pf::DWORD>{1000, 1000}));  // one poll, the removal
}

TEST_F(MemoryCheckTest, AProcessThatCannotBeEndedIsNotHandedBack) {
    machine.SetVersion(WinVersion::WinXp);
    const std::string path = "C:\\WINDOWS\\system32\\wormsvc.exe";
    const pf::DWORD worm = Runs(path, true, TerminateBehaviour::Refuses);
    machine.AddService("wormsvc").stop = StopBehaviour::RefusesStop;
    machine.FindService("wormsvc")->imagePath = path;
    PlantServiceKeys("wormsvc", "\\??\\" + path);
    machine.AnswerNext(pf::kIdCancel);
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(Alive(worm));
    EXPECT_TRUE(lines.empty()) << AllLines();
    EXPECT_TRUE(machine.Exists(path));
    EXPECT_FALSE(HasServiceKey("wormsvc"));
    EXPECT_TRUE(g_scan.memoryRegistryCleaned);
    EXPECT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(g_scan.infectedCount, 1);
}

TEST_F(MemoryCheckTest, NtFourTakesTheFallbackWhenPsapiIsInstalled) {
    machine.SetVersion(WinVersion::Nt4);
    const pf::DWORD worm = Runs("C:\\WINNT\\system32\\worm.exe", true, TerminateBehaviour::Refuses);
    EXPECT_EQ(Check(), kReturned);  // no psapi: nothing is checked
    EXPECT_TRUE(Alive(worm));
    EXPECT_EQ(g_scan.infectedCount, 0);

    // No service keys to delete: nothing is said to be removed.
    machine.modules.insert("psapi.dll");
    machine.windowsDirectory = "C:\\WINNT";
    EXPECT_EQ(Check(), kReturned);
    EXPECT_FALSE(g_scan.memoryRegistryCleaned);
    EXPECT_TRUE(machine.questions.empty());

    PlantServiceKeys("worm", "\\SystemRoot\\system32\\worm.exe");
    machine.AnswerNext(pf::kIdCancel);
    EXPECT_EQ(Check(), kReturned);
    EXPECT_EQ(systest::FirstArg(machine, "OpenServiceA"), "worm");
    EXPECT_EQ(machine.CountCalls("RegDeleteKeyA"), 6);
    EXPECT_FALSE(HasServiceKey("worm"));
    EXPECT_TRUE(g_scan.memoryRegistryCleaned);
    EXPECT_EQ(machine.questions.size(), 1u);
}

TEST_F(MemoryCheckTest, VistaAndLaterSkipTheServiceFallback) {
    for (WinVersion v : {WinVersion::Vista, WinVersion::Win7, WinVersion::Win10}) {
        machine.processes.clear();
        machine.log.clear();
        machine.SetVersion(v);
        const pf::DWORD worm = Runs("C:\\Windows\\worm.exe", true, TerminateBehaviour::Refuses);
        PlantServiceKeys("worm", "C:\\Windows\\worm.exe");
        EXPECT_EQ(Check(), kReturned);
        EXPECT_TRUE(Alive(worm));
        EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 0);
        EXPECT_EQ(machine.CountCalls("RegDeleteKeyA"), 0);
        EXPECT_TRUE(HasServiceKey("worm"));
        EXPECT_FALSE(g_scan.memoryRegistryCleaned);
        EXPECT_TRUE(machine.questions.empty());
        EXPECT_TRUE(lines.empty());  // neither attempt worked: not handed back
    }
}

TEST_F(MemoryCheckTest, VistaFirstAttemptWorkingHandsBackWithoutAQuestion) {
    machine.SetVersion(WinVersion::Win7);
    const pf::DWORD worm = Runs("C:\\Windows\\worm.exe");
    EXPECT_EQ(Check(), kReturned);
    EXPECT_FALSE(Alive(worm));
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed("C:\\Windows\\worm.exe")})) << AllLines();
    EXPECT_TRUE(machine.questions.empty());
}

TEST_F(MemoryCheckTest, EveryInfectedProcessIsHandledBeforeOneQuestion) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD a = Runs("C:\\A\\one.exe", true, TerminateBehaviour::DiesThenRefuses);
    const pf::DWORD clean = Runs("C:\\A\\clean.exe", false);
    const pf::DWORD b = Runs("C:\\B\\two.exe", true, TerminateBehaviour::DiesThenRefuses);
    PlantServiceKeys("one", "C:\\A\\one.exe");
    PlantServiceKeys("two", "C:\\B\\two.exe");
    machine.AnswerNext(pf::kIdCancel);
    EXPECT_EQ(Check(), kReturned);
    EXPECT_FALSE(Alive(a));
    EXPECT_FALSE(Alive(b));
    EXPECT_TRUE(Alive(clean));
    EXPECT_EQ(lines, (Texts{kMemoryLine, Removed("C:\\A\\one.exe"), kMemoryLine, Removed("C:\\B\\two.exe")}))
        << AllLines();
    EXPECT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(g_scan.infectedCount, 2);
}

TEST_F(MemoryCheckTest, NothingInfectedChangesNothing) {
    for (WinVersion v : {WinVersion::Win98, WinVersion::WinXp, WinVersion::Win10}) {
        machine.processes.clear();
        machine.SetVersion(v);
        const pf::DWORD clean = Runs("C:\\A\\clean.exe", false);
        EXPECT_EQ(Check(), kReturned);
        EXPECT_TRUE(Alive(clean));
        EXPECT_TRUE(lines.empty());
        EXPECT_FALSE(g_scan.memoryMode);
        EXPECT_EQ(machine.CountCalls("TerminateProcess"), 0);
    }
}

TEST_F(MemoryCheckTest, UnreadablePathsAreNeverInspectedNorEnded) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD hidden = Runs("C:\\WINDOWS\\hidden.exe");
    machine.FindFile("C:\\WINDOWS\\hidden.exe")->denyAccess = true;
    // A system-internal form of a path names no file.
    const pf::DWORD internal = machine.AddProcess("\\SystemRoot\\System32\\smss.exe").pid;
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(Alive(hidden));
    EXPECT_TRUE(Alive(internal));
    EXPECT_EQ(g_scan.infectedCount, 0);
    EXPECT_EQ(machine.CountCalls("TerminateProcess"), 0);
}

TEST_F(MemoryCheckTest, ProtectedProcessesAreListedWithTheDebugPrivilege) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD worm = Runs("C:\\WINDOWS\\system32\\worm.exe");
    pf::sim::SimProcess* p = machine.FindProcess(worm);
    p->needsDebugPrivilege = true;
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(machine.enabledPrivileges.count("SeDebugPrivilege"));
    EXPECT_FALSE(Alive(worm));
}

TEST_F(MemoryCheckTest, ACancelledScanFindsNothingFurther) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD worm = Runs("C:\\WINDOWS\\worm.exe");
    machine.PostMessageToQueue(pf::Msg{nullptr, pf::kWmQuit, 0, 0, 0, {0, 0}});
    EXPECT_EQ(Check(), kReturned);
    EXPECT_TRUE(g_scan.cancelled);
    EXPECT_TRUE(Alive(worm));
    EXPECT_EQ(g_scan.infectedCount, 0);
}

// The image path is one file: a folder beside it whose name is the image's
// base name ("C:\\tools\\a\\" beside "C:\\tools\\a.exe") is never walked.
TEST_F(MemoryCheckTest, OnlyTheImageItselfIsInspected) {
    for (WinVersion v : {WinVersion::Win98, WinVersion::WinXp}) {
        SCOPED_TRACE(int(v));
        machine.processes.clear();
        machine.log.clear();
        machine.sleeps.clear();
        lines.clear();
        machine.SetVersion(v);
        const std::string image = v == WinVersion::Win98 ? "C:\\tools\\a.exe" : "C:\\tools\\b.exe";
        const std::string sibling = v == WinVersion::Win98 ? "C:\\tools\\a" : "C:\\tools\\b";
        PlantFile(sibling + "\\one.txt");
        PlantFile(sibling + "\\two.exe", Infected());
        const pf::DWORD worm = Runs(image, true, TerminateBehaviour::DiesThenRefuses);
        machine.AnswerNext(pf::kIdCancel);
        Check();
        EXPECT_FALSE(Alive(worm));
        EXPECT_EQ(lines, (Texts{kMemoryLine, Removed(image)})) << AllLines();
        EXPECT_EQ(machine.sleeps, (std::vector<pf::DWORD>{1000}));
        EXPECT_TRUE(machine.Exists(sibling + "\\two.exe"));
        for (const std::string& pattern : systest::ArgsOf(machine, "FindFirstFileA"))
            EXPECT_EQ(pattern, image);
    }
}

// A file called ".exe" names no service: no service is stopped and no key
// under "...\\Services\\" is touched.
TEST_F(MemoryCheckTest, AnImageWithoutANameHasNoServiceStep) {
    for (WinVersion v : {WinVersion::Nt4, WinVersion::WinXp}) {
        SCOPED_TRACE(int(v));
        machine.processes.clear();
        machine.log.clear();
        machine.SetVersion(v);
        machine.modules.insert("psapi.dll");
        g_scan.memoryRegistryCleaned = false;
        const pf::DWORD worm = Runs("C:\\WINDOWS\\.exe", true, TerminateBehaviour::Refuses);
        machine.AddService("");
        PlantServiceKeys("Enum");  // a service called Enum, with its own subkeys
        machine.CreateKey(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Security");
        EXPECT_EQ(Check(), kReturned);
        EXPECT_TRUE(Alive(worm));
        EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 0);
        EXPECT_EQ(machine.CountCalls("RegDeleteKeyA"), 0);
        EXPECT_TRUE(machine.FindKey(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Enum\\Enum"));
        EXPECT_TRUE(machine.FindKey(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\Security"));
        // Nothing was cleaned, so the restart question does not say so.
        EXPECT_FALSE(g_scan.memoryRegistryCleaned);
        EXPECT_TRUE(machine.questions.empty());
    }
}

TEST_F(MemoryCheckTest, OtherClassesCheckNothing) {
    Runs("C:\\WINDOWS\\worm.exe");
    machine.versionQueryFails = true;
    EXPECT_EQ(Check(), kReturned);
    machine.versionQueryFails = false;
    machine.version.dwPlatformId = pf::kVerPlatformWin32s;
    EXPECT_EQ(Check(), kReturned);
    EXPECT_EQ(machine.CountCalls("EnumProcesses"), 0);
    EXPECT_EQ(machine.CountCalls("CreateToolhelp32Snapshot"), 0);
    EXPECT_FALSE(g_scan.memoryMode);
}

}  // namespace
