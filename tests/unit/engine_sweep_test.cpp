// Failure sweep: a whole scan over a small infected machine, run once to
// learn every system call it makes, then once more for every call with that
// call failing (once, and for good from there on). Whatever fails, the scan
// must not crash, must leave no handle open, must not delete anything that
// was not matched, and its counters must stay sane.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/scan_run.h"
#include "engine/signatures.h"
#include "scan_test_support.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

using pf::sim::SimMachine;

struct Infection {
    std::string path;
    std::string bytes;
};

struct Planted {
    std::vector<Infection> infected;
    std::vector<std::string> clean;
    int files = 0;
};

std::string Sample(int index) {
    static const std::vector<cvsamples::Record> records =
        cvsamples::RecordsFromSignatureTable(SignatureTable);
    cvsamples::Bytes bytes;
    EXPECT_TRUE(cvsamples::BuildInfected(records[index], 5, &bytes));
    return std::string(bytes.begin(), bytes.end());
}

const Planted& World() {
    static const Planted world = [] {
        Planted w;
        w.infected = {{"C:\\games\\v1.exe", Sample(0)},
                      {"C:\\games\\deep\\v2.exe", Sample(10)},
                      {"C:\\WINDOWS\\system32\\svch0st.exe", Sample(28)},
                      {"C:\\locked\\v3.exe", Sample(50)},
                      {"C:\\WINDOWS\\evil.exe", Sample(5)}};
        w.clean = {"C:\\a.txt", "C:\\Program Files\\app\\app.exe", "C:\\games\\decoy.exe",
                   "C:\\WINDOWS\\editor.exe", "C:\\WINDOWS\\notepad.exe"};
        w.files = int(w.infected.size() + w.clean.size());
        return w;
    }();
    return world;
}

struct Setup {
    pf::sim::WinVersion version;
    bool runningInfection;  // C:\WINDOWS\evil.exe is a live process
};

void Plant(SimMachine& m, const Setup& setup) {
    const pf::sim::WinVersion version = setup.version;
    m.SetVersion(version);
    m.AddFolder(m.windowsDirectory);
    m.AddFolder(m.systemDirectory);
    for (const Infection& i : World().infected) m.AddFile(i.path, i.bytes);
    m.FindFile("C:\\games\\deep\\v2.exe")->attributes =
        pf::kFileAttributeReadonly | pf::kFileAttributeHidden;
    std::string decoy = Sample(1);
    decoy += "tail";
    for (const std::string& c : World().clean)
        m.AddFile(c, c == "C:\\games\\decoy.exe" ? decoy : std::string("MZ clean"));
    m.SetString(pf::kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "svc",
                "C:\\WINDOWS\\system32\\svch0st.exe");
    // A program that keeps one infected file open, and a running infection.
    m.AddProcess("C:\\WINDOWS\\editor.exe").heldFiles = {"C:\\locked\\v3.exe"};
    if (setup.runningInfection) m.AddProcess("C:\\WINDOWS\\evil.exe");
    m.AddProcess("C:\\WINDOWS\\notepad.exe");
}

struct Outcome {
    bool exited = false;
    std::vector<pf::sim::Call> log;
    std::vector<std::string> lines;
};

// One scan on a fresh machine; `fault` (if any) is injected first.
Outcome Scan(const Setup& setup, const pf::sim::Fault* fault, std::string* problem) {
    SimMachine m;
    pf::sim::ScopedSimMachine use(m);
    ResetScanContextForTest();
    g_scan.mainWindow = reinterpret_cast<pf::HWND>(uintptr_t(0xC1EA));
    Outcome out;
    m.windowProc = [&](pf::HWND, pf::UINT msg, pf::WPARAM, pf::LPARAM) -> pf::LRESULT {
        if (msg == WM_SCAN_ADDLINE) out.lines.emplace_back(g_scan.reportLine);
        return 0;
    };
    Plant(m, setup);
    if (fault) m.FailCall(fault->op, fault->nth, fault->persistent, fault->error);
    try {
        RunScan();
    } catch (const pf::sim::ProcessExit&) {
        out.exited = true;  // the memory step may end the program
    }

    std::string p;
    auto check = [&p](bool ok, const std::string& what) {
        if (!ok) p += what + "; ";
    };
    // Every file scanned is still there or was deleted (the cleanup itself
    // may create one, wininit.ini).
    int filesNow = 0;
    for (const auto& entry : m.files) filesNow += !entry.second.isDirectory;
    int gone = 0;
    for (const Infection& i : World().infected) gone += !m.Exists(i.path);
    check(g_scan.scannedCount >= 0 && g_scan.scannedCount <= filesNow + gone,
          "scannedCount " + std::to_string(g_scan.scannedCount));
    check(g_scan.infectedCount >= 0 && g_scan.infectedCount <= 2 * int(World().infected.size()),
          "infectedCount " + std::to_string(g_scan.infectedCount));
    check(g_scan.removedCount >= 0 && g_scan.removedCount <= int(World().infected.size()),
          "removedCount " + std::to_string(g_scan.removedCount));
    for (const std::string& c : World().clean) check(m.Exists(c), "clean file deleted: " + c);
    check(gone >= g_scan.removedCount, "removedCount exceeds the files gone");
    check(m.openFiles.empty(), "file left open");
    check(m.finds.empty(), "search left open");
    check(m.streams.empty(), "stream left open");
    check(m.liveAllocations == 0, "memory block not freed");
    if (!out.exited) check(g_scan.summaryStarted, "no summary");
    *problem = p;
    out.log = m.log;
    ResetScanContextForTest();
    return out;
}

void Sweep(const Setup& version, int* runs) {
    std::string problem;
    const Outcome baseline = Scan(version, nullptr, &problem);
    ASSERT_EQ(problem, "");
    std::map<std::string, int> counts;
    for (const pf::sim::Call& call : baseline.log) ++counts[call.op];
    ASSERT_GT(counts["_read"], 0);
    ASSERT_GT(counts["DeleteFileA"], 0);
    for (const auto& [op, count] : counts) {
        for (int nth = 1; nth <= count; ++nth) {
            for (bool persistent : {false, true}) {
                pf::sim::Fault fault;
                fault.op = op;
                fault.nth = nth;
                fault.persistent = persistent;
                Scan(version, &fault, &problem);
                ++*runs;
                EXPECT_EQ(problem, "") << op << " #" << nth << (persistent ? " for good" : "");
            }
        }
    }
    ::testing::Test::RecordProperty("faultRuns", *runs);
    ::testing::Test::RecordProperty("callsInBaseline", int(baseline.log.size()));
}

}  // namespace

const Setup kXp{pf::sim::WinVersion::WinXp, false};
const Setup kXpRunning{pf::sim::WinVersion::WinXp, true};
const Setup k98Running{pf::sim::WinVersion::Win98, true};

int RemovedLines(const Outcome& o) {
    int removed = 0;
    for (const std::string& line : o.lines)
        removed += line.compare(0, 7, "System ") != 0 && line.size() > 8 &&
                   line.compare(line.size() - 8, 8, " removed") == 0;
    return removed;
}

TEST(ScanFailureSweep, BaselinesFindEveryInfection) {
    std::string problem;
    const Outcome xp = Scan(kXp, nullptr, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_FALSE(xp.exited);
    EXPECT_EQ(RemovedLines(xp), 4);  // v3.exe stays locked
    // On XP a running infection is ended and removed, and the scan goes on.
    const Outcome xpRunning = Scan(kXpRunning, nullptr, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_FALSE(xpRunning.exited);
    EXPECT_EQ(RemovedLines(xpRunning), 4);
    // On 98 it is ended and removed, and the scan goes on.
    const Outcome w98 = Scan(k98Running, nullptr, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_FALSE(w98.exited);
    EXPECT_EQ(RemovedLines(w98), 4);
}

TEST(ScanFailureSweep, EveryCallFailingOnWindowsXp) {
    int runs = 0;
    Sweep(kXp, &runs);
    EXPECT_GT(runs, 50);
}

TEST(ScanFailureSweep, EveryCallFailingOnWindowsXpWithARunningInfection) {
    int runs = 0;
    Sweep(kXpRunning, &runs);
    EXPECT_GT(runs, 20);
}

TEST(ScanFailureSweep, EveryCallFailingOnWindows98) {
    int runs = 0;
    Sweep(k98Running, &runs);
    EXPECT_GT(runs, 50);
}
