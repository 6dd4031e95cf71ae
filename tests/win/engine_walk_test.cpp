// The scan engine on a real file system: the walk, the inspection and the
// removal run against the real system (the main window replaced), over a
// folder tree of sample files on a fixed drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "engine/walk.h"
#include "system/os_version.h"
#include "tests/win/scan_harness.h"
#include "tests/win/win_test_util.h"

#if CV_HAVE_SAMPLES
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"
#endif

namespace {

using wintest::ScopedScan;
using wintest::TempFolder;
using wintest::WindowlessPlatform;

const char kDetection[] = "W32/Vendrika.Gen.Trojan";
const char kSep[] = "     ";

// The folder the samples go to: on the test drive (D:) when there is one,
// otherwise in the temporary folder.
std::string SampleParent() {
    std::string drive = wintest::TestDrive();
    return drive.empty() ? std::string() : drive + "\\";
}

std::string Pattern(const std::string& folder) { return folder + "\\*.*"; }

}  // namespace

#if CV_HAVE_SAMPLES

namespace {

struct PlacedSample {
    std::string path;
    cvsamples::Sample sample;
};

// Spreads the samples over a small tree: the root, nested folders, a folder
// with a space in its name and a hidden folder, so that the walk has to
// descend to find them all.
std::vector<PlacedSample> PlantTree(const std::string& root,
                                    const std::vector<cvsamples::Sample>& samples) {
    const std::vector<std::string> folders = {
        "", "apps", "apps\\deep", "apps\\deep\\deeper", "Program Files\\Vendor", "hidden dir"};
    for (size_t i = 1; i < folders.size(); ++i) {
        std::string path = root;
        size_t start = 0;
        // Create each level of the folder.
        while (true) {
            size_t slash = folders[i].find('\\', start);
            path = root + "\\" + folders[i].substr(0, slash);
            wintest::MakeFolder(path);
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
    }
    SetFileAttributesA((root + "\\hidden dir").c_str(), FILE_ATTRIBUTE_HIDDEN);
    std::vector<PlacedSample> placed;
    for (size_t i = 0; i < samples.size(); ++i) {
        const std::string& folder = folders[i % folders.size()];
        std::string path = root + (folder.empty() ? "" : "\\" + folder) + "\\" + samples[i].name;
        if (!wintest::WriteBytes(path, samples[i].bytes.data(), samples[i].bytes.size())) {
            ADD_FAILURE() << "cannot write " << path;
            continue;
        }
        placed.push_back({path, samples[i]});
    }
    return placed;
}

}  // namespace

TEST(EngineWalk, FindsEveryVariantAndNoDecoyInARealTree) {
    std::vector<std::string> problems;
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    ASSERT_EQ(74u, table.size());
    std::vector<cvsamples::Sample> samples = cvsamples::BuildAll(table, false, &problems);
    for (const std::string& p : problems) ADD_FAILURE() << "sample builder: " << p;

    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    std::vector<PlacedSample> placed = PlantTree(root.path(), samples);
    ASSERT_EQ(samples.size(), placed.size());

    // One infected file is read-only, hidden and system: it goes all the same.
    const PlacedSample* guarded = nullptr;
    for (const PlacedSample& p : placed) {
        if (p.sample.verdict == cvsamples::Verdict::Infected) {
            guarded = &p;
            break;
        }
    }
    ASSERT_NE(nullptr, guarded);
    ASSERT_TRUE(SetFileAttributesA(guarded->path.c_str(), FILE_ATTRIBUTE_READONLY |
                                                              FILE_ATTRIBUTE_HIDDEN |
                                                              FILE_ATTRIBUTE_SYSTEM));

    WindowlessPlatform platform;
    ScopedScan scan(&platform);
    const int32_t result = WalkFolder(Pattern(root.path()).c_str());

    std::set<int> recordsFound;
    int infected = 0;
    for (const PlacedSample& p : placed) {
        const std::vector<std::string> mentions = platform.LinesWith(p.path + kSep);
        if (p.sample.verdict == cvsamples::Verdict::Infected) {
            ++infected;
            EXPECT_FALSE(wintest::Exists(p.path)) << p.sample.name << ": " << p.sample.reason;
            ASSERT_EQ(1u, mentions.size()) << p.sample.name << ": " << p.sample.reason;
            EXPECT_EQ(p.path + kSep + kDetection + " removed", mentions[0]);
            recordsFound.insert(p.sample.record);
        } else {
            EXPECT_TRUE(wintest::Exists(p.path)) << p.sample.name << ": " << p.sample.reason;
            EXPECT_TRUE(mentions.empty()) << p.sample.name << ": " << p.sample.reason;
        }
    }
    EXPECT_EQ(table.size(), recordsFound.size()) << "every variant of the table was removed";
    EXPECT_EQ(int32_t(placed.size()), g_scan.scannedCount);
    EXPECT_EQ(int32_t(placed.size()), result);
    EXPECT_EQ(infected, g_scan.infectedCount);
    EXPECT_EQ(infected, g_scan.removedCount);
    EXPECT_EQ(size_t(infected), platform.lines.size()) << "no line beyond the removals";
    EXPECT_FALSE(g_scan.restartNeeded);
    EXPECT_TRUE(platform.questions.empty());
    EXPECT_TRUE(platform.plainBoxes.empty());
    EXPECT_EQ('\0', g_scan.inspectedPath[0]) << "no inspection left open";
    // The status line showed every entry, the folders' own ones included.
    EXPECT_GE(platform.statusCount, int(placed.size()));
}

namespace {

// A sample that runs and stays alive, for this program's own architecture.
bool BuildRunningSample(cvsamples::Bytes* bytes) {
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    return !table.empty() && cvsamples::BuildRunnable(table[0], sizeof(void*) == 8, bytes);
}

// Whether the cleaner can end processes on this system by itself: the
// process snapshot (9x) or psapi (2000/XP) lists them everywhere; the
// performance-data method used on other NT versions finds nothing under Wine.
bool TerminationWorksHere() {
    if (GetOsClass() == 4) return true;
    if (GetOsClass() == 5 && GetNtClass() == 6) return true;
    return !wintest::UnderWine();
}

}  // namespace

TEST(EngineWalk, RunningSampleIsEndedAndRemoved) {
    if (!TerminationWorksHere()) {
        GTEST_SKIP() << "processes are listed through performance data here, which Wine lacks";
    }
    cvsamples::Bytes bytes;
    ASSERT_TRUE(BuildRunningSample(&bytes));
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    std::string exe = root / "vendrika running.exe";
    ASSERT_TRUE(wintest::WriteBytes(exe, bytes.data(), bytes.size()));
    wintest::RunningProgram program;
    ASSERT_TRUE(program.Start(exe, "")) << "the runnable sample did not start";
    ASSERT_FALSE(DeleteFileA(exe.c_str())) << "a running program file is locked";

    WindowlessPlatform platform;
    ScopedScan scan(&platform);
    WalkFolder(Pattern(root.path()).c_str());

    EXPECT_TRUE(program.WaitGone(5000)) << "the sample's process was ended";
    EXPECT_FALSE(wintest::Exists(exe));
    ASSERT_EQ(1u, platform.lines.size());
    EXPECT_EQ(exe + kSep + kDetection + " removed", platform.lines[0]);
    EXPECT_EQ(1, g_scan.removedCount);
    EXPECT_FALSE(g_scan.restartNeeded);
}

TEST(EngineWalk, RunningSampleThatCannotBeEndedIsUnableToRemoveUntilItsProcessEnds) {
    cvsamples::Bytes bytes;
    ASSERT_TRUE(BuildRunningSample(&bytes));
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    std::string exe = root / "held.exe";
    ASSERT_TRUE(wintest::WriteBytes(exe, bytes.data(), bytes.size()));
    wintest::RunningProgram program;
    ASSERT_TRUE(program.Start(exe, ""));

    WindowlessPlatform platform;
    platform.refuseTermination = true;
    {
        ScopedScan scan(&platform);
        WalkFolder(Pattern(root.path()).c_str());
        EXPECT_TRUE(program.Running()) << "the process may not be ended";
        EXPECT_TRUE(wintest::Exists(exe));
        ASSERT_EQ(1u, platform.lines.size());
        EXPECT_EQ(exe + kSep + kDetection + " Unable to remove", platform.lines[0]);
        EXPECT_EQ(1, g_scan.infectedCount);
        EXPECT_EQ(0, g_scan.removedCount);
        // NT schedules the deletion for the next start whatever happens.
        if (GetOsClass() == 5) {
            EXPECT_TRUE(g_scan.restartNeeded);
        }
    }

    // Once its process has ended, the next walk removes the file.
    program.End();
    ASSERT_TRUE(program.WaitGone(5000));
    platform.lines.clear();
    platform.refuseTermination = false;
    ScopedScan scan(&platform);
    WalkFolder(Pattern(root.path()).c_str());
    EXPECT_FALSE(wintest::Exists(exe));
    ASSERT_EQ(1u, platform.lines.size());
    EXPECT_EQ(exe + kSep + kDetection + " removed", platform.lines[0]);
    EXPECT_EQ(1, g_scan.removedCount);
}

#endif  // CV_HAVE_SAMPLES

TEST(EngineWalk, UnreadableAndEmptyFilesAreCountedAndKept) {
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    ASSERT_TRUE(wintest::WriteBytes(root / "empty.exe", "", 0));
    ASSERT_TRUE(wintest::WriteText(root / "text.txt", "not a program"));
    std::string pe = "MZ" + std::string(58, '\0') + "\x40\x00\x00\x00PE";  // cut short
    ASSERT_TRUE(wintest::WriteBytes(root / "short.exe", pe.data(), pe.size()));
    // Held open without sharing: the inspection cannot even open it.
    std::string lockedPath = root / "locked.exe";
    ASSERT_TRUE(wintest::WriteText(lockedPath, "MZ"));
    HANDLE locked = CreateFileA(lockedPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    ASSERT_TRUE(wintest::MakeFolder(root / "only folders"));
    ASSERT_TRUE(wintest::MakeFolder(root / "only folders\\inner"));

    WindowlessPlatform platform;
    ScopedScan scan(&platform);
    EXPECT_EQ(4, WalkFolder(Pattern(root.path()).c_str()));
    CloseHandle(locked);
    EXPECT_EQ(4, g_scan.scannedCount);
    EXPECT_EQ(0, g_scan.infectedCount);
    EXPECT_TRUE(platform.lines.empty());
    for (const char* name : {"empty.exe", "text.txt", "short.exe", "locked.exe"}) {
        EXPECT_TRUE(wintest::Exists(root / name)) << name;
    }
}

// A folder link back up the tree: the walk shows it and passes it over as a
// folder. The link is made with CreateSymbolicLinkA where the system has it
// and lets this account use it. Wine 8.0 answers success but no such link
// can be found afterwards (error 2), so there the case is skipped and the
// simulated machine's junctions stand in.
TEST(EngineWalk, AFolderLinkBackUpTheTreeIsNotEntered) {
    using CreateLink = BOOLEAN(WINAPI*)(const char*, const char*, DWORD);
    const auto createLink = reinterpret_cast<CreateLink>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
    if (!createLink) GTEST_SKIP() << "no CreateSymbolicLinkA on this system";
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    ASSERT_TRUE(wintest::MakeFolder(root / "a"));
    ASSERT_TRUE(wintest::WriteText(root / "a\\f.txt", "x"));
    const std::string link = root / "a\\up";
    if (!createLink(link.c_str(), root.path().c_str(), 1 /* SYMBOLIC_LINK_FLAG_DIRECTORY */))
        GTEST_SKIP() << "folder links cannot be made here (error " << GetLastError() << ")";
    // Removed before the folder, so that the clean-up never goes through it.
    struct Unlink {
        std::string path;
        ~Unlink() { RemoveDirectoryA(path.c_str()); }
    } unlink{link};
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(link.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the link made cannot be listed here (error " << GetLastError()
                     << ", attributes " << std::hex << GetFileAttributesA(link.c_str()) << ")";
    FindClose(find);
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "this system lists the link without FILE_ATTRIBUTE_REPARSE_POINT ("
                     << std::hex << data.dwFileAttributes << ")";
    ASSERT_TRUE(wintest::Exists(link + "\\a\\f.txt"));  // the link leads back up

    WindowlessPlatform platform;
    ScopedScan scan(&platform);
    EXPECT_EQ(1, WalkFolder(Pattern(root.path()).c_str()));
    EXPECT_EQ(1, g_scan.scannedCount);
}

TEST(EngineWalk, EscapeAnsweredYesStopsEveryLevelOfTheWalk) {
    TempFolder root(SampleParent());
    ASSERT_TRUE(root.ok());
    ASSERT_TRUE(wintest::MakeFolder(root / "a"));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(wintest::WriteText(root / ("a\\f" + std::to_string(i) + ".txt"), "x"));
    }
    WindowlessPlatform platform;
    platform.answers = {pf::kIdYes};
    ScopedScan scan(&platform);
    // The Escape key waits in this thread's real message queue.
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_KEYDOWN, VK_ESCAPE, 0));
    EXPECT_EQ(0, WalkFolder(Pattern(root.path()).c_str()));
    EXPECT_TRUE(g_scan.cancelled);
    ASSERT_EQ(1u, platform.questions.size());
    EXPECT_EQ("Terminate the Scan now?|CleanVendrika Ver 1.0|36", platform.questions[0]);
    EXPECT_EQ(0, g_scan.scannedCount);
}
