// Process listing and termination by path on the simulated machine, for each
// Windows generation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "system/processes.h"
#include "tests/unit/system_perf_block.h"
#include "tests/unit/system_support.h"

using pf::sim::SimMachine;
using pf::sim::SimProcess;
using pf::sim::TerminateBehaviour;
using pf::sim::WinVersion;
using Sleeps = std::vector<pf::DWORD>;

namespace {

class ProcessTest : public ::testing::Test {
protected:
    ProcessTest() : guard_(machine) {}
    ~ProcessTest() override {
        // Every handle and block is given back on every road.
        EXPECT_TRUE(machine.processHandles.empty());
        EXPECT_TRUE(machine.snapshots.empty());
        EXPECT_TRUE(machine.openKeys.empty());
        EXPECT_TRUE(machine.tokenHandles.empty());
        EXPECT_EQ(machine.liveAllocations, 0u);
    }

    pf::DWORD Add(const std::string& path, TerminateBehaviour how = TerminateBehaviour::Dies) {
        SimProcess& p = machine.AddProcess(path);
        p.terminate = how;
        return p.pid;
    }
    bool Alive(pf::DWORD pid) { return machine.FindProcess(pid)->alive; }
    void InstallPerf() { perftest::Install(machine, perftest::BuildBlock(perftest::InstancesOf(machine)).bytes); }
    int KillBoxes() const {
        int n = 0;
        for (const auto& q : machine.questions)
            if (q.text == "Could not kill process") ++n;
        return n;
    }

    SimMachine machine;

private:
    pf::sim::ScopedSimMachine guard_;
};

std::vector<std::string> Names(ProcessEntry* list) {
    std::vector<std::string> out;
    for (ProcessEntry* e = list; e; e = e->next) out.push_back(e->imagePath);
    return out;
}

// ---------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------

// A worm named like the shell, in another folder and listed after it, is
// ended and the shell runs on; a program of the same name elsewhere is
// another program. Where the snapshot gives file names only (as Wine's does
// in every version mode), the module list tells the path.
TEST_F(ProcessTest, WindowsNinetyFiveFamilyUsesTheSnapshotByWholePath) {
    for (WinVersion v : {WinVersion::Win95, WinVersion::Win98, WinVersion::WinMe}) {
        for (bool namesOnly : {false, true}) {
            SCOPED_TRACE(namesOnly ? "file names only" : "full paths");
            machine.processes.clear();
            machine.questions.clear();
            machine.SetVersion(v);
            const pf::DWORD shell = Add("C:\\WINDOWS\\EXPLORER.EXE");
            const pf::DWORD worm = Add("C:\\WINDOWS\\SYSTEM\\EXPLORER.EXE");
            const pf::DWORD other = Add("C:\\OTHER\\FOO.EXE");
            if (namesOnly)
                for (SimProcess& p : machine.processes)
                    p.snapshotName = p.imagePath.substr(p.imagePath.rfind('\\') + 1);
            EXPECT_EQ(TerminateProcessesByPath("c:\\windows\\system\\explorer.exe"), 1);
            EXPECT_TRUE(Alive(shell));
            EXPECT_FALSE(Alive(worm));
            EXPECT_EQ(TerminateProcessesByPath("C:\\WINDOWS\\foo.exe"), 0);
            EXPECT_TRUE(Alive(other));
            EXPECT_EQ(machine.CountCalls("EnumProcesses"), 0);
            EXPECT_EQ(KillBoxes(), 1);
        }
    }
}

TEST_F(ProcessTest, SnapshotEndsOnlyTheFirstEqualProcessWithItsWaits) {
    machine.SetVersion(WinVersion::Win98);
    const pf::DWORD explorer = Add("C:\\WINDOWS\\EXPLORER.EXE");
    const pf::DWORD first = Add("C:\\WINDOWS\\FOO.EXE");
    const pf::DWORD second = Add("C:\\TEMP\\foo.exe");
    machine.clock = 0;
    EXPECT_EQ(TerminateBySnapshot("C:\\WINDOWS\\FOO.EXE"), 1);
    EXPECT_TRUE(Alive(explorer));
    EXPECT_FALSE(Alive(first));
    EXPECT_TRUE(Alive(second));
    // Load, snapshot, then per further entry: lookup, 100, fetch, 100;
    // at the match 50 before and 500 after the attempt.
    EXPECT_EQ(machine.sleeps, (Sleeps{100, 100, 100, 100, 50, 500}));
    EXPECT_EQ(machine.clock, 950u);
    EXPECT_EQ(systest::ArgsOf(machine, "OpenProcess"), (std::vector<std::string>{std::to_string(first)}));
    EXPECT_EQ(systest::FirstArg(machine, "CreateToolhelp32Snapshot"), "2");
}

TEST_F(ProcessTest, SnapshotComparesTheFirstEntryAndWholeNames) {
    machine.SetVersion(WinVersion::Win95);
    const pf::DWORD first = Add("C:\\A\\FOOBAR.EXE");
    const pf::DWORD exact = Add("C:\\B\\FOO.EXE");
    EXPECT_EQ(TerminateBySnapshot("FOO.EXE"), 0);  // a bare name is no process's path
    EXPECT_EQ(TerminateBySnapshot("C:\\B\\FOO.EXE"), 1);
    EXPECT_TRUE(Alive(first));
    EXPECT_FALSE(Alive(exact));

    machine.sleeps.clear();
    const pf::DWORD head = Add("C:\\Z\\BAR.EXE");
    machine.processes.erase(machine.processes.begin(), machine.processes.end() - 1);
    EXPECT_EQ(TerminateBySnapshot("D:\\Z\\BAR.EXE"), 0);
    machine.sleeps.clear();
    EXPECT_EQ(TerminateBySnapshot("c:\\z\\bar.exe"), 1);
    EXPECT_FALSE(Alive(head));
    EXPECT_EQ(machine.sleeps, (Sleeps{100, 100, 50, 500}));  // matched at the first entry
}

TEST_F(ProcessTest, SnapshotFailuresGiveZeroAndTheDispatcherSaysSo) {
    machine.SetVersion(WinVersion::WinMe);
    const pf::DWORD refusing = Add("C:\\W\\LOCKED.EXE", TerminateBehaviour::Refuses);
    EXPECT_EQ(TerminateProcessesByPath("C:\\W\\LOCKED.EXE"), 0);
    ASSERT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(machine.questions[0].text, "Could not kill process");
    EXPECT_EQ(machine.questions[0].title, "C:\\W\\LOCKED.EXE");
    EXPECT_EQ(machine.questions[0].flags, 0u);
    EXPECT_FALSE(machine.questions[0].skinned);
    EXPECT_TRUE(Alive(refusing));
    EXPECT_EQ(machine.sleeps.back(), 500u);  // the wait follows a failed attempt too

    // No such process; an empty snapshot; no kernel32; no tool-help.
    EXPECT_EQ(TerminateBySnapshot("C:\\W\\NONE.EXE"), 0);
    machine.processes.clear();
    EXPECT_EQ(TerminateBySnapshot("C:\\W\\LOCKED.EXE"), 0);
    machine.sleeps.clear();
    machine.modules.erase("kernel32.dll");
    EXPECT_EQ(TerminateBySnapshot("C:\\W\\LOCKED.EXE"), 0);
    EXPECT_EQ(machine.sleeps, (Sleeps{100}));  // the wait follows the load whatever it gave
    machine.SetVersion(WinVersion::Nt4);       // NT 4.0's kernel32 has no tool-help
    EXPECT_EQ(TerminateBySnapshot("C:\\W\\LOCKED.EXE"), 0);
    machine.SetVersion(WinVersion::Win98);
    machine.FailCall("GlobalAlloc");
    EXPECT_EQ(TerminateBySnapshot("C:\\W\\LOCKED.EXE"), 0);
}

TEST_F(ProcessTest, SnapshotWalkEndsWhenNextEntryCannotBeHad) {
    machine.SetVersion(WinVersion::Win98);
    Add("C:\\A\\ONE.EXE");
    const pf::DWORD target = Add("C:\\A\\TWO.EXE");
    machine.FailCall("Process32Next");
    EXPECT_EQ(TerminateBySnapshot("C:\\A\\TWO.EXE"), 0);
    EXPECT_TRUE(Alive(target));
    machine.entryPoints.erase("kernel32.dll!Process32Next");
    EXPECT_EQ(TerminateBySnapshot("C:\\A\\TWO.EXE"), 0);
    EXPECT_TRUE(Alive(target));
}

TEST_F(ProcessTest, WindowsTwoThousandAndXpUseModulePathsAndAlwaysReturnOne) {
    for (WinVersion v : {WinVersion::Win2000, WinVersion::WinXp}) {
        machine.processes.clear();
        machine.questions.clear();
        machine.SetVersion(v);
        const pf::DWORD a = Add("C:\\WINDOWS\\FOO.EXE");
        const pf::DWORD b = Add("c:\\windows\\foo.exe");  // the same path in other letters
        const pf::DWORD other = Add("C:\\OTHER\\FOO.EXE");
        machine.sleeps.clear();
        EXPECT_EQ(TerminateProcessesByPath("C:\\Windows\\Foo.exe"), 1);
        EXPECT_FALSE(Alive(a));
        EXPECT_FALSE(Alive(b));
        EXPECT_TRUE(Alive(other));
        EXPECT_EQ(machine.sleeps, (Sleeps{500, 500}));
        // Nothing runs the file: still 1, never the box.
        EXPECT_EQ(TerminateProcessesByPath("C:\\NOWHERE\\X.EXE"), 1);
        EXPECT_EQ(KillBoxes(), 0);
        EXPECT_EQ(machine.CountCalls("CreateToolhelp32Snapshot"), 0);
    }
}

TEST_F(ProcessTest, ModulePathComparisonIsOfTheWholeExactPath) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD longer = Add("C:\\WINDOWS\\FOO.EXE.BAK");
    const pf::DWORD shorter = Add("C:\\WINDOWS\\FO.EXE");
    const pf::DWORD shortForm = Add("C:\\PROGRA~1\\FOO.EXE");
    const pf::DWORD device = Add("\\??\\C:\\Program Files\\FOO.EXE");
    const pf::DWORD refusing = Add("C:\\Program Files\\FOO.EXE", TerminateBehaviour::Refuses);
    machine.sleeps.clear();
    EXPECT_EQ(TerminateByModulePath("C:\\Program Files\\FOO.EXE"), 1);
    EXPECT_TRUE(Alive(longer));
    EXPECT_TRUE(Alive(shorter));
    EXPECT_TRUE(Alive(shortForm));
    EXPECT_TRUE(Alive(device));
    EXPECT_TRUE(Alive(refusing));
    EXPECT_EQ(machine.FindProcess(refusing)->terminateCalls, 1);
    EXPECT_TRUE(machine.sleeps.empty());  // no wait after a failed attempt
}

// Two processes of the file are listed once; during the wait after the
// first is ended the second ends too and an editor started then takes its
// id: the editor runs on. The system's own program is never ended.
TEST_F(ProcessTest, ModulePathEndsOnlyWhatStillRunsTheFile) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD first = Add("C:\\W\\WORM.EXE");
    const pf::DWORD second = Add("C:\\W\\WORM.EXE");
    const std::string editor = "C:\\Program Files\\Editor\\editor.exe";
    machine.onSleep = [&](pf::DWORD) {
        if (machine.FindProcess(second)->imagePath == editor) return;
        machine.FindProcess(second)->alive = false;
        machine.idReusedBy[second] = editor;
    };
    EXPECT_EQ(TerminateByModulePath("C:\\W\\WORM.EXE"), 1);
    machine.onSleep = nullptr;
    EXPECT_FALSE(Alive(first));
    ASSERT_EQ(machine.FindProcess(second)->imagePath, editor);
    EXPECT_TRUE(Alive(second));
    EXPECT_EQ(machine.FindProcess(second)->terminateCalls, 0);

    const pf::DWORD winlogon = Add(machine.systemDirectory + "\\WINLOGON.EXE");
    EXPECT_EQ(TerminateProcessesByPath((machine.systemDirectory + "\\winlogon.exe").c_str()), 1);
    EXPECT_TRUE(Alive(winlogon));
    EXPECT_FALSE(machine.systemStopped);
}

TEST_F(ProcessTest, ModulePathWithoutPsapiGivesZeroUnchanged) {
    machine.SetVersion(WinVersion::WinXp);
    Add("C:\\A\\FOO.EXE");
    machine.modules.erase("psapi.dll");
    EXPECT_EQ(TerminateProcessesByPath("C:\\A\\FOO.EXE"), 0);
    EXPECT_EQ(KillBoxes(), 0);
    machine.SetVersion(WinVersion::WinXp);
    machine.entryPoints.erase("psapi.dll!GetModuleFileNameExA");
    EXPECT_EQ(TerminateByModulePath("C:\\A\\FOO.EXE"), 0);
    machine.SetVersion(WinVersion::WinXp);
    machine.processes.clear();
    EXPECT_EQ(TerminateByModulePath("C:\\A\\FOO.EXE"), 0);  // no process reported
    // Processes listed, none with a readable path: the caller tries again.
    Add("C:\\A\\FOO.EXE");
    machine.processes.back().moduleReadable = false;
    Add("C:\\B\\BAR.EXE");
    machine.processes.back().denyOpen = true;
    EXPECT_EQ(TerminateByModulePath("C:\\A\\FOO.EXE"), 1);
    EXPECT_EQ(TerminateProcessesByPath("C:\\A\\FOO.EXE"), 1);
    EXPECT_EQ(KillBoxes(), 0);
}

TEST_F(ProcessTest, ModulePathListingOutOfMemoryCompareNothingAndReturnsOne) {
    machine.SetVersion(WinVersion::WinXp);
    const pf::DWORD a = Add("C:\\A\\FOO.EXE");
    Add("C:\\A\\BAR.EXE");
    machine.FailCall("GlobalAlloc", 2);
    EXPECT_EQ(TerminateByModulePath("C:\\A\\FOO.EXE"), 1);
    EXPECT_TRUE(Alive(a));
    EXPECT_EQ(machine.CountCalls("TerminateProcess"), 0);
}

// Instance names pick the candidates; where psapi can tell their program
// files, only the processes of the file itself are ended. Names alone decide
// only without psapi (NT 4.0 as installed).
TEST_F(ProcessTest, NtFourAndVistaOnUseThePerformanceDataByNameThenPath) {
    struct Case {
        WinVersion version;
        bool psapi;
    };
    for (const Case c : {Case{WinVersion::Nt4, false}, Case{WinVersion::Nt4, true},
                         Case{WinVersion::Vista, true}, Case{WinVersion::Win7, true},
                         Case{WinVersion::Win10, true}}) {
        SCOPED_TRACE(int(c.version) * 10 + c.psapi);
        machine.processes.clear();
        machine.SetVersion(c.version);
        if (c.psapi) machine.modules.insert("psapi.dll");
        const pf::DWORD foo = Add("C:\\WINNT\\foo.exe");
        const pf::DWORD foobar = Add("C:\\ELSEWHERE\\foobar.exe");
        const pf::DWORD bar = Add("C:\\X\\bar.exe");
        const pf::DWORD fo = Add("C:\\X\\fo.exe");
        const pf::DWORD other = Add("C:\\OTHER\\FOO.EXE");
        const pf::DWORD file = Add("c:\\x\\foo.exe");
        InstallPerf();
        machine.sleeps.clear();
        EXPECT_EQ(TerminateProcessesByPath("C:\\X\\FOO.EXE"), 1);
        EXPECT_FALSE(Alive(file));
        // Names only: any folder, any letter case.
        EXPECT_EQ(Alive(foo), c.psapi);
        EXPECT_EQ(Alive(other), c.psapi);
        // A name that merely begins with the target is another program.
        EXPECT_TRUE(Alive(foobar));
        EXPECT_TRUE(Alive(bar));
        EXPECT_TRUE(Alive(fo));
        EXPECT_EQ(machine.sleeps, (Sleeps{500, 500, 500}));  // one per equal name
        EXPECT_EQ(KillBoxes(), 0);
        EXPECT_EQ(machine.CountCalls("EnumProcesses"), 0);
        // The perflib key and the performance data are both closed.
        EXPECT_EQ(machine.CountCalls("RegCloseKey"), 2);
        machine.log.clear();
    }
}

// A worm in the Windows folder named like the service host: no service host
// of System32 is ended, whichever method the generation has, and the machine
// keeps running. The worm itself is ended where it runs.
TEST_F(ProcessTest, AWormNamedLikeTheServiceHostEndsNoServiceHost) {
    for (WinVersion v : {WinVersion::Win2000, WinVersion::Win7, WinVersion::Win10}) {
        for (bool wormRuns : {true, false}) {
            SCOPED_TRACE(int(v) * 10 + wormRuns);
            machine.processes.clear();
            machine.questions.clear();
            machine.SetVersion(v);
            machine.systemDirectory = "C:\\Windows\\System32";
            std::vector<pf::DWORD> hosts;
            for (int i = 0; i < 3; ++i) hosts.push_back(Add("C:\\Windows\\System32\\svchost.exe"));
            machine.AddFile("C:\\Windows\\svchost.exe", "MZ worm");
            const pf::DWORD worm = wormRuns ? Add("C:\\Windows\\svchost.exe")
                                            : Add("C:\\Program Files\\holder.exe");
            if (!wormRuns) machine.processes.back().heldFiles.push_back("C:\\Windows\\svchost.exe");
            InstallPerf();
            const int result = TerminateProcessesByPath("C:\\Windows\\svchost.exe");
            for (pf::DWORD host : hosts) EXPECT_TRUE(Alive(host));
            EXPECT_FALSE(machine.systemStopped) << machine.systemStopCause;
            EXPECT_EQ(Alive(worm), !wormRuns);
            EXPECT_EQ(machine.DeleteFileA("C:\\Windows\\svchost.exe") != 0, wormRuns);
            // 2000's module-path method leaves the decision to the second delete.
            EXPECT_EQ(result, (wormRuns || v == WinVersion::Win2000) ? 1 : 0);
        }
    }
}

// In a double-byte code page a trail byte can be a letter or a backslash:
// C:\APP\ア.exe (0x83 0x41) and C:\APP\ヂ.exe (0x83 0x61) are two programs,
// and the name of C:\APP\ソft.exe (0x83 0x5C 'f' 't') is not "ft". Every
// method ends the worm and only the worm, the other program listed first.
TEST_F(ProcessTest, DoubleByteNamesAreComparedInTheSystemsCodePage) {
    struct Case {
        WinVersion version;
        bool psapi;
        bool namesOnly;            // the snapshot gives file names only
        const char* worm;          // the file, run by the worm
        const char16_t* wormName;  // the worm's performance-data instance name
        const char* other;         // the program that must run on
        const char16_t* otherName;
    };
    const char* const a = "C:\\APP\\\x83\x41.exe";
    const char* const di = "C:\\APP\\\x83\x61.exe";
    const char* const soft = "C:\\APP\\\x83\x5C" "ft.exe";
    const Case cases[] = {
        {WinVersion::Win98, false, false, a, u"", di, u""},
        {WinVersion::Win98, false, true, a, u"", di, u""},
        {WinVersion::WinXp, true, false, a, u"", di, u""},
        {WinVersion::Win7, true, false, a, u"\u30A2", di, u"\u30C2"},
        {WinVersion::Nt4, false, false, a, u"\u30A2", di, u"\u30C2"},
        {WinVersion::Nt4, false, false, soft, u"\u30BD" u"ft", "C:\\X\\ft.exe", u"ft"},
        {WinVersion::Win7, true, false, soft, u"\u30BD" u"ft", "C:\\X\\ft.exe", u"ft"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.version) * 10 + c.namesOnly);
        machine.processes.clear();
        machine.questions.clear();
        machine.SetVersion(c.version);
        machine.ansiCodePage = 932;
        if (c.psapi) machine.modules.insert("psapi.dll");
        const pf::DWORD other = Add(c.other);
        const pf::DWORD worm = Add(c.worm);
        if (c.namesOnly)
            for (SimProcess& p : machine.processes)
                p.snapshotName = p.imagePath.substr(std::strlen("C:\\APP\\"));
        perftest::Install(machine,
                          perftest::BuildBlock({{c.otherName, other}, {c.wormName, worm}}).bytes);
        EXPECT_EQ(TerminateProcessesByPath(c.worm), 1);
        EXPECT_FALSE(Alive(worm));
        EXPECT_TRUE(Alive(other));
    }
}

// Names alone cannot tell a worm called like a system program from the real
// one: without psapi, the critical programs of the generation, the idle and
// System processes and the cleaner itself are never ended, and the file is
// left to the restart. With psapi the path tells the worm from the program.
TEST_F(ProcessTest, PerfDataNeverEndsItselfIdleSystemOrCriticalPrograms) {
    struct Case {
        WinVersion version;
        bool psapi;
        const char* running;  // the process that must survive
        pf::DWORD pid;        // 0: the next free one
        const char* perfName; // "": its base name without extension
        const char* file;     // the infected file, run by a worm process too
        bool wormEnded;       // false: names cannot tell the two apart
    };
    const pf::DWORD self = 4242;
    const Case cases[] = {
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\csrss.exe", 0, "", "C:\\TEMP\\csrss.exe", false},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\winlogon.exe", 0, "", "C:\\TEMP\\WINLOGON.EXE", false},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\lsass.exe", 0, "", "D:\\x\\Lsass.exe", false},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\services.exe", 0, "", "C:\\w\\services.exe", false},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\smss.exe", 0, "", "C:\\w\\SMSS.exe", false},
        // Later generations' critical sets, should psapi be missing there.
        {WinVersion::Win7, false, "C:\\Windows\\System32\\wininit.exe", 0, "", "C:\\w\\wininit.exe", false},
        {WinVersion::Win10, false, "C:\\Windows\\System32\\svchost.exe", 0, "", "C:\\w\\svchost.exe", false},
        // With psapi the worm is told from the program by its path.
        {WinVersion::Vista, true, "C:\\WINDOWS\\system32\\lsass.exe", 0, "", "D:\\x\\Lsass.exe", true},
        {WinVersion::Win7, true, "C:\\WINDOWS\\system32\\wininit.exe", 0, "", "C:\\w\\wininit.exe", true},
        {WinVersion::Win10, true, "C:\\WINDOWS\\system32\\smss.exe", 0, "", "C:\\w\\SMSS.exe", true},
        {WinVersion::Nt4, true, "C:\\WINNT\\system32\\csrss.exe", 0, "", "C:\\TEMP\\csrss.exe", true},
        {WinVersion::Nt4, false, "C:\\tools\\cleaner.exe", self, "", "C:\\w\\cleaner.exe", true},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\ntoskrnl.exe", 2, "System", "C:\\w\\system.exe", true},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\ntoskrnl.exe", 8, "System", "C:\\w\\system.exe", true},
        {WinVersion::Win7, true, "C:\\Windows\\system32\\ntoskrnl.exe", 4, "System", "C:\\w\\system.exe", true},
        {WinVersion::Win7, true, "C:\\Windows\\idle", 0xFFFFFFFEu, "Idle", "C:\\w\\idle.exe", true},
        // A file whose name is only an extension has an empty name, as has
        // every process whose name is too long to be kept: it ends none.
        {WinVersion::Win7, false, "C:\\Windows\\System32\\SearchProtocolHost.exe", 0, "", "C:\\w\\.exe", false},
        {WinVersion::Win10, false, "C:\\Windows\\System32\\ApplicationFrameHost.exe", 0, "", "C:\\w\\.exe", false},
        {WinVersion::Nt4, false, "C:\\WINNT\\system32\\LongProgramName17.exe", 0, "", "C:\\w\\.exe", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.running) + " / " + c.file);
        machine.processes.clear();
        machine.questions.clear();
        machine.SetVersion(c.version);
        if (c.psapi)
            machine.modules.insert("psapi.dll");
        else
            machine.modules.erase("psapi.dll");
        machine.currentProcessId = self;
        SimProcess& p = machine.AddProcess(c.running);
        if (c.pid) p.pid = c.pid;
        p.perfName = c.perfName;
        const pf::DWORD survivor = p.pid;
        const pf::DWORD worm = Add(c.file);
        std::vector<perftest::Instance> instances = perftest::InstancesOf(machine);
        if (c.pid == 0xFFFFFFFEu) instances[0].pid = 0;  // the idle process reports id 0
        perftest::Install(machine, perftest::BuildBlock(instances).bytes);
        EXPECT_EQ(TerminateProcessesByPath(c.file), c.wormEnded ? 1 : 0);
        EXPECT_TRUE(Alive(survivor));
        EXPECT_EQ(Alive(worm), !c.wormEnded);
        EXPECT_FALSE(machine.systemStopped);
        // As for any process that could not be ended: the box, then (in the
        // removal step) the deletion at the next start.
        EXPECT_EQ(KillBoxes(), c.wormEnded ? 0 : 1);
    }
}

TEST_F(ProcessTest, NoMethodEndsTheCleanerItself) {
    const pf::DWORD self = 4242;
    machine.currentProcessId = self;
    // The 9x snapshot: its own file name is passed over, a later equal one is ended.
    machine.SetVersion(WinVersion::Win98);
    machine.AddProcess("C:\\TOOLS\\CLEANER.EXE").pid = self;
    const pf::DWORD later = Add("C:\\WORM\\CLEANER.EXE");
    EXPECT_EQ(TerminateProcessesByPath("C:\\WORM\\CLEANER.EXE"), 1);
    EXPECT_TRUE(Alive(self));
    EXPECT_FALSE(Alive(later));
    machine.processes.clear();
    machine.AddProcess("C:\\TOOLS\\CLEANER.EXE").pid = self;
    EXPECT_EQ(TerminateBySnapshot("C:\\W\\CLEANER.EXE"), 0);
    EXPECT_TRUE(Alive(self));
    // Module paths: not even its own exact path.
    machine.SetVersion(WinVersion::WinXp);
    machine.log.clear();
    EXPECT_EQ(TerminateByModulePath("C:\\TOOLS\\CLEANER.EXE"), 1);
    EXPECT_TRUE(Alive(self));
    EXPECT_EQ(machine.CountCalls("TerminateProcess"), 0);
}

TEST_F(ProcessTest, PerfDataReadsTheEnglishNamesAndQueriesTheProcessObject) {
    machine.SetVersion(WinVersion::Nt4);
    Add("C:\\X\\foo.exe");
    InstallPerf();
    EXPECT_EQ(TerminateByPerfData("C:\\X\\FOO.EXE"), 1);
    EXPECT_EQ(systest::FirstArg(machine, "RegOpenKeyExA"),
              "software\\microsoft\\windows nt\\currentversion\\perflib\\009");
    // Counters twice (size, then data), then the process object by number.
    EXPECT_EQ(systest::ArgsOf(machine, "RegQueryValueExA"),
              (std::vector<std::string>{"Counters", "Counters", "230"}));
    EXPECT_EQ(systest::ArgsOf(machine, "OpenProcess").size(), 1u);
    EXPECT_EQ(systest::FirstArg(machine, "GlobalAlloc"), std::to_string(perftest::CountersText().size() + 2));

    // Vista and later list thousands of counters, hundreds of kilobytes.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 12000; ++i)
        pairs.push_back({std::to_string(1000 + 2 * i), "Counter of some object " + std::to_string(i)});
    pairs.push_back({"230", "Process"});
    pairs.push_back({"784", "ID Process"});
    const std::string counters = perftest::CountersText(pairs);
    ASSERT_GT(counters.size(), 300000u);
    machine.log.clear();
    const pf::DWORD foo = Add("C:\\X\\foo.exe");
    perftest::Install(machine, perftest::BuildBlock(perftest::InstancesOf(machine)).bytes, counters);
    EXPECT_EQ(TerminateByPerfData("C:\\X\\FOO.EXE"), 1);
    EXPECT_FALSE(Alive(foo));
}

TEST_F(ProcessTest, PerfDataFailuresAndTheDispatcherBox) {
    machine.SetVersion(WinVersion::Nt4);
    const pf::DWORD foo = Add("C:\\X\\foo.exe");
    InstallPerf();
    // At most four characters: nothing is read at all.
    EXPECT_EQ(TerminateProcessesByPath("A.EX"), 0);
    EXPECT_EQ(machine.CountCalls("RegOpenKeyExA"), 0);
    EXPECT_EQ(KillBoxes(), 1);
    EXPECT_EQ(machine.questions.back().title, "A.EX");
    // An empty name after the cut would begin every name: nothing is ended.
    EXPECT_EQ(TerminateProcessesByPath("C:\\X\\.EXE"), 0);
    EXPECT_TRUE(Alive(foo));
    EXPECT_EQ(KillBoxes(), 2);
    // Five characters: "A.EXE" gives the target "A".
    const pf::DWORD a = Add("C:\\A.EXE");
    InstallPerf();
    EXPECT_EQ(TerminateByPerfData("A.EXE"), 1);
    EXPECT_FALSE(Alive(a));
    // A refusing process: 0, and the box.
    machine.FindProcess(foo)->terminate = TerminateBehaviour::Refuses;
    EXPECT_EQ(TerminateProcessesByPath("C:\\X\\foo.exe"), 0);
    EXPECT_EQ(KillBoxes(), 3);
}

TEST_F(ProcessTest, PerfDataListsNothingWhenNamesOrDataAreMissing) {
    machine.SetVersion(WinVersion::Vista);
    const pf::DWORD foo = Add("C:\\X\\foo.exe");
    const std::string block = perftest::BuildBlock(perftest::InstancesOf(machine)).bytes;
    struct Case {
        const char* why;
        std::string counters;
    };
    const Case cases[] = {
        {"no process object", perftest::CountersText({{"784", "ID Process"}})},
        {"no id counter", perftest::CountersText({{"230", "Process"}})},
        {"no number before the name", std::string("Process\0", 8) + std::string("784\0ID Process\0\0", 16)},
        {"empty value", std::string()},
    };
    for (const Case& c : cases) {
        perftest::Install(machine, block, c.counters);
        EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0) << c.why;
        EXPECT_TRUE(Alive(foo)) << c.why;
    }
    perftest::Install(machine, block);
    machine.FindKey(pf::kHkeyLocalMachine, perftest::kPerflibKey)->denyOpen = true;
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    machine.FindKey(pf::kHkeyLocalMachine, perftest::kPerflibKey)->denyOpen = false;

    // The block lacks its signature, or the query fails.
    std::string unsigned_ = block;
    unsigned_[0] = 'Q';
    machine.perfData = unsigned_;
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    machine.perfData = block;
    machine.FailCall("RegQueryValueExA", 3);
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    machine.perfData.clear();
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    EXPECT_TRUE(Alive(foo));
    // The process-id counter is absent from the definitions.
    perftest::Layout layout;
    layout.counters = {perftest::kProcessorTimeIndex, perftest::kThreadCountIndex};
    machine.perfData = perftest::BuildBlock(perftest::InstancesOf(machine), layout).bytes;
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    EXPECT_TRUE(Alive(foo));
}

TEST_F(ProcessTest, PerfDataLaterPairReplacesEarlierOne) {
    machine.SetVersion(WinVersion::Nt4);
    const pf::DWORD foo = Add("C:\\X\\foo.exe");
    perftest::Layout layout;
    layout.counters = {784, 999};
    layout.pidCounter = 999;  // the second "ID Process" index names the real counter
    perftest::Install(machine, perftest::BuildBlock(perftest::InstancesOf(machine), layout).bytes,
                      perftest::CountersText({{"230", "process"}, {"784", "ID Process"},
                                              {"238", "PROCESS"}, {"999", "id process"}}));
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 1);
    EXPECT_FALSE(Alive(foo));
    EXPECT_EQ(systest::ArgsOf(machine, "RegQueryValueExA").back(), "238");
}

TEST_F(ProcessTest, PerfDataGrowsItsBufferWhileTheSystemAsksForMore) {
    machine.SetVersion(WinVersion::Nt4);
    const pf::DWORD foo = Add("C:\\X\\foo.exe");
    std::vector<perftest::Instance> many = perftest::InstancesOf(machine);
    many.resize(200, perftest::Instance{u"padding_name_xx", 7});
    std::string block = perftest::BuildBlock(many).bytes;
    block.resize(100000, '\0');  // larger than the first two buffers
    perftest::Install(machine, block);
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 1);
    EXPECT_FALSE(Alive(foo));
    EXPECT_EQ(machine.perfQueries, 3);
    const auto allocs = systest::ArgsOf(machine, "GlobalAlloc");
    ASSERT_EQ(allocs.size(), 4u);  // names, then 51200, 76800, 102400
    EXPECT_EQ(allocs[1], "51200");
    EXPECT_EQ(allocs[2], "76800");
    EXPECT_EQ(allocs[3], "102400");

    // A buffer that cannot be grown lists nothing.
    machine.processes.clear();
    const pf::DWORD again = Add("C:\\X\\foo.exe");
    machine.FailCall("GlobalAlloc", 3);
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    EXPECT_TRUE(Alive(again));
}

TEST_F(ProcessTest, PerfDataGivesUpOnASystemThatNeverStopsAskingForMore) {
    machine.SetVersion(WinVersion::Nt4);
    Add("C:\\X\\foo.exe");
    std::string block = perftest::BuildBlock(perftest::InstancesOf(machine)).bytes;
    block.resize(3u * 1024 * 1024, '\0');  // beyond any real process object
    perftest::Install(machine, block);
    machine.logEnabled = false;
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);
    EXPECT_EQ(machine.perfQueries, 80);  // 51200 + 79 * 25600 is the last size asked
}

TEST_F(ProcessTest, PerfDataExaminesAtMost254Instances) {
    machine.SetVersion(WinVersion::Nt4);
    std::vector<perftest::Instance> instances;
    for (uint32_t i = 0; i < 300; ++i) instances.push_back({u"foo", 5000 + i});
    perftest::Install(machine, perftest::BuildBlock(instances).bytes);
    EXPECT_EQ(TerminateByPerfData("C:\\X\\foo.exe"), 0);  // none of those ids runs
    const auto opened = systest::ArgsOf(machine, "OpenProcess");
    ASSERT_EQ(opened.size(), 254u);
    EXPECT_EQ(opened.front(), "5000");
    EXPECT_EQ(opened.back(), "5253");
    EXPECT_EQ(machine.sleeps.size(), 254u);  // the wait follows a failed open too
}

TEST_F(ProcessTest, PerfDataNamesIdsAndConversion) {
    machine.SetVersion(WinVersion::Nt4);
    const pf::DWORD sixteen = Add("C:\\X\\abcdefghijklmnop.exe");   // 16 characters: kept
    const pf::DWORD seventeen = Add("C:\\X\\abcdefghijklmnopq.exe");  // 17: name left empty
    InstallPerf();
    EXPECT_EQ(TerminateByPerfData("C:\\X\\ABCDEFGHIJKLMNOPQ.EXE"), 0);
    EXPECT_TRUE(Alive(seventeen));
    EXPECT_EQ(TerminateByPerfData("C:\\X\\abcdefghijklmnop.exe"), 1);
    EXPECT_FALSE(Alive(sixteen));
    // Where psapi tells paths, a name too long to be stored is no hiding
    // place: its path decides, and another long name elsewhere stays.
    machine.modules.insert("psapi.dll");
    const pf::DWORD elsewhere = Add("C:\\Y\\abcdefghijklmnopq.exe");
    InstallPerf();
    EXPECT_EQ(TerminateByPerfData("C:\\X\\ABCDEFGHIJKLMNOPQ.EXE"), 1);
    EXPECT_FALSE(Alive(seventeen));
    EXPECT_TRUE(Alive(elsewhere));
    machine.modules.erase("psapi.dll");

    // Id 0 (the idle process) is kept as 0xFFFFFFFE and never opened; a name
    // that cannot be converted reads "unknown".
    machine.log.clear();
    perftest::Install(machine, perftest::BuildBlock({{u"Idle", 0}, {u"unknown", 400}, {u"x", 800}}).bytes);
    EXPECT_EQ(TerminateByPerfData("C:\\X\\idle.exe"), 0);
    EXPECT_TRUE(systest::ArgsOf(machine, "OpenProcess").empty());
    machine.log.clear();
    machine.FailCall("WideCharToMultiByte", 3);  // the third instance's name
    EXPECT_EQ(TerminateByPerfData("C:\\X\\unknown.exe"), 0);
    EXPECT_EQ(systest::ArgsOf(machine, "OpenProcess"), (std::vector<std::string>{"400", "800"}));
}

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------

TEST_F(ProcessTest, SnapshotListingKeepsTheSystemsOrderAndPaths) {
    machine.SetVersion(WinVersion::Win98);
    Add("C:\\WINDOWS\\EXPLORER.EXE");
    Add("C:\\PROGRAM FILES\\APP\\APP.EXE");
    const pf::DWORD gone = Add("C:\\GONE.EXE");
    machine.FindProcess(gone)->alive = false;
    ProcessEntry* list = ListProcessesBySnapshot();
    EXPECT_EQ(Names(list), (std::vector<std::string>{"C:\\WINDOWS\\EXPLORER.EXE",
                                                     "C:\\PROGRAM FILES\\APP\\APP.EXE"}));
    EXPECT_EQ(list->processId, machine.processes[0].pid);
    FreeProcessList(list);
    EXPECT_TRUE(machine.sleeps.empty());  // the listing makes no waits

    // A program started by its short path is listed so on 9x.
    machine.AddFile("C:\\Program Files\\Some App\\longprogram.exe", "MZ");
    Add("C:\\Program Files\\Some App\\longprogram.exe");
    machine.processes.back().startedByShortPath = true;
    list = ListProcessesBySnapshot();
    EXPECT_EQ(Names(list).back(), "C:\\PROGRA~1\\SOMEAP~1\\LONGPR~1.EXE");
    FreeProcessList(list);

    // NT's tool-help gives file names only: the module list tells the
    // paths; without it (or for a process it cannot read) the name stays.
    machine.SetVersion(WinVersion::WinXp);
    machine.processes[1].needsDebugPrivilege = true;
    list = ListProcessesBySnapshot();
    EXPECT_EQ(Names(list), (std::vector<std::string>{"C:\\WINDOWS\\EXPLORER.EXE", "APP.EXE",
                                                     "C:\\Program Files\\Some App\\longprogram.exe"}));
    FreeProcessList(list);
    machine.entryPoints.erase("kernel32.dll!Module32First");
    list = ListProcessesBySnapshot();
    EXPECT_EQ(Names(list), (std::vector<std::string>{"EXPLORER.EXE", "APP.EXE", "longprogram.exe"}));
    FreeProcessList(list);
}

TEST_F(ProcessTest, SnapshotListingIsAbandonedOnAnyFailure) {
    machine.SetVersion(WinVersion::Win98);
    Add("C:\\A.EXE");
    Add("C:\\B.EXE");
    Add("C:\\C.EXE");
    machine.FailCall("GlobalAlloc", 3);  // record, A, then B fails
    EXPECT_EQ(ListProcessesBySnapshot(), nullptr);
    machine.FailCall("GetProcAddress", 3);  // Create, First, then Next's lookup
    EXPECT_EQ(ListProcessesBySnapshot(), nullptr);
    machine.FailCall("CreateToolhelp32Snapshot");
    EXPECT_EQ(ListProcessesBySnapshot(), nullptr);
    machine.processes.clear();
    EXPECT_EQ(ListProcessesBySnapshot(), nullptr);
    // A fetch that fails ends the list normally.
    Add("C:\\A.EXE");
    Add("C:\\B.EXE");
    machine.FailCall("Process32Next");
    ProcessEntry* list = ListProcessesBySnapshot();
    EXPECT_EQ(Names(list), (std::vector<std::string>{"C:\\A.EXE"}));
    FreeProcessList(list);
}

TEST_F(ProcessTest, ModulePathListingAndThePrivilegeRequest) {
    machine.SetVersion(WinVersion::WinXp);
    Add("C:\\WINDOWS\\system32\\smss.exe");
    machine.processes.back().needsDebugPrivilege = true;
    Add("C:\\A\\APP.EXE");
    Add("C:\\A\\SYSTEM.EXE");
    machine.processes.back().moduleReadable = false;

    // Without the request the protected process is left out.
    ProcessEntry* list = ListProcessesByModulePath(false);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"C:\\A\\APP.EXE"}));
    FreeProcessList(list);
    EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 0);
    EXPECT_EQ(systest::FirstArg(machine, "EnumProcesses"), "4096");

    // With it: SeDebugPrivilege after the access-denied open, then again.
    list = ListProcessesByModulePath(true);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"C:\\WINDOWS\\system32\\smss.exe",
                                                     "C:\\A\\APP.EXE"}));
    FreeProcessList(list);
    EXPECT_TRUE(machine.enabledPrivileges.count("SeDebugPrivilege"));
    EXPECT_EQ(systest::FirstArg(machine, "LookupPrivilegeValueA"), "SeDebugPrivilege");
    EXPECT_TRUE(machine.questions.empty());
}

TEST_F(ProcessTest, ModulePathListingShowsFalseWhenTheTokenCannotBeOpened) {
    machine.SetVersion(WinVersion::Win2000);
    Add("C:\\WINNT\\system32\\csrss.exe");
    machine.processes.back().needsDebugPrivilege = true;
    machine.tokenOpenFails = true;
    ProcessEntry* list = ListProcessesByModulePath(true);
    EXPECT_EQ(list, nullptr);
    ASSERT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(machine.questions[0].text, "false");
    EXPECT_EQ(machine.questions[0].title, "TEMP");
    EXPECT_EQ(machine.questions[0].flags, 0u);
    EXPECT_FALSE(machine.questions[0].skinned);
    EXPECT_EQ(machine.CountCalls("OpenProcess"), 2);  // the second open is still made

    // A privilege the account does not hold: no box, still a second open.
    machine.questions.clear();
    machine.tokenOpenFails = false;
    machine.heldPrivileges.clear();
    EXPECT_EQ(ListProcessesByModulePath(true), nullptr);
    EXPECT_TRUE(machine.questions.empty());
    EXPECT_EQ(machine.CountCalls("OpenProcess"), 4);
}

TEST_F(ProcessTest, ModulePathListingLeavesOutPathsThatDoNotFit) {
    machine.SetVersion(WinVersion::WinXp);
    const std::string longest = "C:\\" + std::string(252, 'a') + ".exe";  // 259 characters
    const std::string tooLong = "C:\\" + std::string(253, 'b') + ".exe";  // 260 characters
    Add(longest);
    Add(tooLong);
    // Up to XP the cut path comes back without a terminator, later with one;
    // either way the length tells, and the cut path is left out.
    for (pf::sim::ModuleNameCut cut :
         {pf::sim::ModuleNameCut::Unterminated, pf::sim::ModuleNameCut::Terminated}) {
        machine.moduleNameCut = cut;
        ProcessEntry* list = ListProcessesByModulePath(false);
        EXPECT_EQ(Names(list), (std::vector<std::string>{longest}));
        FreeProcessList(list);
    }
    EXPECT_EQ(TerminateByModulePath(tooLong.substr(0, 259).c_str()), 1);
    EXPECT_EQ(machine.CountCalls("TerminateProcess"), 0);

    // What each model leaves in the buffer.
    pf::HANDLE h = machine.OpenProcess(0x410, 0, machine.processes.back().pid);
    for (bool terminated : {false, true}) {
        machine.moduleNameCut =
            terminated ? pf::sim::ModuleNameCut::Terminated : pf::sim::ModuleNameCut::Unterminated;
        char buffer[12];
        std::memset(buffer, 'z', sizeof buffer);
        EXPECT_EQ(machine.GetModuleFileNameExA(h, nullptr, buffer, 10), 10u);
        EXPECT_EQ(std::string(buffer, 9), tooLong.substr(0, 9));
        EXPECT_EQ(buffer[9], terminated ? '\0' : tooLong[9]);
        EXPECT_EQ(buffer[10], 'z');
    }
    machine.CloseHandle(h);
    machine.SetVersion(WinVersion::Win2000);
    EXPECT_EQ(machine.moduleNameCut, pf::sim::ModuleNameCut::Unterminated);
    machine.SetVersion(WinVersion::Win7);
    EXPECT_EQ(machine.moduleNameCut, pf::sim::ModuleNameCut::Terminated);
}

TEST_F(ProcessTest, ClassesWithoutAMethodEndNothingAndReturnOne) {
    Add("C:\\A\\FOO.EXE");
    machine.versionQueryFails = true;
    EXPECT_EQ(TerminateProcessesByPath("C:\\A\\FOO.EXE"), 1);
    machine.versionQueryFails = false;
    machine.version.dwPlatformId = pf::kVerPlatformWin32s;
    EXPECT_EQ(TerminateProcessesByPath("C:\\A\\FOO.EXE"), 1);
    EXPECT_EQ(machine.CountCalls("OpenProcess"), 0);
    EXPECT_TRUE(machine.processes[0].alive);
    EXPECT_TRUE(machine.questions.empty());
}

}  // namespace
