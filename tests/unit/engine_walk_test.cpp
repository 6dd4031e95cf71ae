// The folder walk and the drive loop: which folders are visited in which
// order, what is counted, how the user stops a scan, what the status line
// shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "engine/scan_run.h"
#include "engine/walk.h"
#include "platform/crt.h"
#include "scan_test_support.h"

namespace {

using Texts = std::vector<std::string>;

bool AnyLength(uint64_t) { return true; }
// The inspection, handed files of every length: the walk's order shows in
// what it opens. (The table's own detector is never handed a file whose
// length no signature accepts: see FilesNoDetectorCanMatchAreCountedButNeverOpened.)
const DetectorEntry kEveryLength[] = {{"W32/Vendrika.Trojan", InspectFile, AnyLength}, {nullptr, nullptr, nullptr}};

class WalkTest : public ScanTest {
protected:
    WalkTest() { SetDetectors(kEveryLength); }
    ~WalkTest() override { SetDetectors(nullptr); }
    // The files the inspection opened, in order.
    Texts Inspected() const { return ArgsOf("_open"); }
    void Press(pf::UINT message, pf::WPARAM wParam) { machine.PressKey(wParam, message); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Drives
// ---------------------------------------------------------------------------
TEST_F(WalkTest, DrivesCToZInOrderOnlyFixedOnesWalked) {
    machine.SetDriveType('A', pf::kDriveFixed);
    machine.SetDriveType('B', pf::kDriveFixed);
    machine.SetDriveType('D', pf::kDriveCdrom);
    machine.SetDriveType('E', pf::kDriveFixed);
    machine.SetDriveType('F', pf::kDriveRemote);
    machine.SetDriveType('G', pf::kDriveRemovable);
    machine.SetDriveType('H', pf::kDriveRamdisk);
    machine.SetDriveType('Z', pf::kDriveFixed);
    for (const char* path : {"A:\\a.exe", "B:\\b.exe", "C:\\c.exe", "D:\\d.exe", "E:\\e.exe",
                             "F:\\f.exe", "G:\\g.exe", "H:\\h.exe", "Z:\\z.exe"})
        PlantFile(path);

    EXPECT_EQ(RunScan(), 1);

    Texts roots;
    for (char c = 'C'; c <= 'Z'; ++c) roots.push_back(std::string(1, c) + ":\\");
    EXPECT_EQ(ArgsOf("GetDriveTypeA"), roots);
    EXPECT_EQ(Inspected(), (Texts{"C:\\c.exe", "E:\\e.exe", "Z:\\z.exe"}));
    EXPECT_EQ(g_scan.scannedCount, 3);
    for (const std::string& pattern : ArgsOf("FindFirstFileA"))
        EXPECT_TRUE(pattern[0] == 'C' || pattern[0] == 'E' || pattern[0] == 'Z') << pattern;
}

// The folders a command line names replace the drives: only they are walked,
// in their order, whatever their drive's type; the end is the whole scan's.
TEST_F(WalkTest, NamedFoldersAreWalkedInsteadOfTheDrives) {
    machine.SetDriveType('D', pf::kDriveFixed);
    machine.SetDriveType('F', pf::kDriveRemote);
    for (const char* path : {"C:\\c.exe", "C:\\Data\\in.exe", "D:\\d.exe", "F:\\Share\\f.exe"}) PlantFile(path);
    const char* const folders[] = {"F:\\Share\\*.*", "C:\\Data\\*.*", nullptr};

    EXPECT_EQ(RunScan(folders), 1);

    EXPECT_TRUE(ArgsOf("GetDriveTypeA").empty());
    EXPECT_EQ(Inspected(), (Texts{"F:\\Share\\f.exe", "C:\\Data\\in.exe"}));
    EXPECT_EQ(g_scan.scannedCount, 2);
    EXPECT_EQ(statuses.back(), "Scanning completed");
    EXPECT_TRUE(HasLine("Total files scanned\t\t:  2"));

    // A scan stopped before them walks none of them.
    const size_t listed = ArgsOf("FindFirstFileA").size();
    ResetScanContextForTest();
    g_scan.cancelled = true;
    EXPECT_EQ(RunScan(folders), 1);
    EXPECT_EQ(ArgsOf("FindFirstFileA").size(), listed);
}

// ---------------------------------------------------------------------------
// Order and counting
// ---------------------------------------------------------------------------
TEST_F(WalkTest, FilesFirstThenSubfoldersDepthFirst) {
    PlantFile("C:\\b.txt");
    PlantFile("C:\\dirA\\x.txt");
    PlantFile("C:\\dirA\\sub\\y.txt");
    PlantFile("C:\\dirA\\w.txt");
    PlantFile("C:\\a.txt");
    PlantFile("C:\\dirB\\z.txt");
    PlantFolder("C:\\onlyFolders\\inner\\deeper");
    PlantFile("C:\\.hidden", "x", pf::kFileAttributeHidden | pf::kFileAttributeSystem);

    EXPECT_EQ(WalkFolder("C:\\*.*"), 7);
    EXPECT_EQ(Inspected(), (Texts{"C:\\b.txt", "C:\\a.txt", "C:\\.hidden", "C:\\dirA\\x.txt",
                                  "C:\\dirA\\w.txt", "C:\\dirA\\sub\\y.txt", "C:\\dirB\\z.txt"}));
    EXPECT_EQ(g_scan.scannedCount, 7);
    // Every listed entry, folders and dots included, is shown; dots are never entered.
    EXPECT_EQ(statuses, (Texts{"C:\\b.txt", "C:\\dirA", "C:\\a.txt", "C:\\dirB", "C:\\onlyFolders",
                               "C:\\.hidden",
                               "C:\\dirA\\.", "C:\\dirA\\..", "C:\\dirA\\x.txt",
                               "C:\\dirA\\sub", "C:\\dirA\\w.txt",
                               "C:\\dirA\\sub\\.", "C:\\dirA\\sub\\..", "C:\\dirA\\sub\\y.txt",
                               "C:\\dirB\\.", "C:\\dirB\\..", "C:\\dirB\\z.txt",
                               "C:\\onlyFolders\\.", "C:\\onlyFolders\\..",
                               "C:\\onlyFolders\\inner",
                               "C:\\onlyFolders\\inner\\.", "C:\\onlyFolders\\inner\\..",
                               "C:\\onlyFolders\\inner\\deeper",
                               "C:\\onlyFolders\\inner\\deeper\\.",
                               "C:\\onlyFolders\\inner\\deeper\\.."}));
    EXPECT_TRUE(machine.finds.empty());
    EXPECT_TRUE(machine.openFiles.empty());
}

// Every folder is entered, whatever its attributes or name, except junctions
// and folder links: those are shown and passed over as folders, as their
// target is walked where it stands.
TEST_F(WalkTest, WhichFoldersAreEntered) {
    struct Row {
        const char* folder;
        pf::DWORD attributes;  // added to FILE_ATTRIBUTE_DIRECTORY
        bool junction;
        bool entered;
    };
    const Row rows[] = {
        {"C:\\Hidden", pf::kFileAttributeHidden, false, true},
        {"C:\\System", pf::kFileAttributeSystem | pf::kFileAttributeHidden, false, true},
        {"C:\\ReadOnly", pf::kFileAttributeReadonly, false, true},
        {"C:\\$Recycle.Bin", pf::kFileAttributeHidden | pf::kFileAttributeSystem, false, true},
        {"C:\\.git", 0, false, true},
        {"C:\\Documents and Settings", pf::kFileAttributeHidden | pf::kFileAttributeSystem, true,
         false},
        {"C:\\Link", 0, true, false},
    };
    PlantFile("C:\\Target\\t.exe");
    Texts wanted{"C:\\Target\\t.exe"};
    for (const Row& r : rows) {
        if (r.junction)
            ASSERT_TRUE(machine.AddJunction(r.folder, "C:\\Target",
                                            pf::kFileAttributeDirectory | r.attributes));
        else
            ASSERT_TRUE(machine.AddFolder(r.folder, pf::kFileAttributeDirectory | r.attributes));
        const std::string inside = std::string(r.folder) + "\\f.exe";
        if (!r.junction) PlantFile(inside);
        if (r.entered) wanted.push_back(inside);
    }
    // Through a junction the target's file is there all the same.
    ASSERT_TRUE(machine.Exists("C:\\Link\\t.exe"));
    WalkFolder("C:\\*.*");
    Texts inspected = Inspected();
    std::sort(inspected.begin(), inspected.end());
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(inspected, wanted);
    EXPECT_EQ(g_scan.scannedCount, int(wanted.size()));
    for (const Row& r : rows)
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), r.folder), statuses.end()) << r.folder;
}

TEST_F(WalkTest, AJunctionBackToItsDriveIsNotWalkedAgain) {
    PlantFile("C:\\a.exe");
    PlantFile("C:\\d\\b.exe");
    ASSERT_TRUE(machine.AddJunction("C:\\d\\loop", "C:\\"));
    EXPECT_EQ(WalkFolder("C:\\*.*"), 2);
    EXPECT_EQ(Inspected(), (Texts{"C:\\a.exe", "C:\\d\\b.exe"}));
    EXPECT_EQ(machine.CountCalls("FindFirstFileA"), 4);  // two passes over C:\ and over d
}

TEST_F(WalkTest, EveryFileIsCountedWhateverItsContent) {
    PlantFile("C:\\d\\empty", "");
    PlantFile("C:\\d\\locked.exe", "MZ");
    machine.FindFile("C:\\d\\locked.exe")->denyOpen = true;
    PlantFile("C:\\d\\noext", "plain");
    EXPECT_EQ(WalkFolder("C:\\d\\*.*"), 3);
    // The count runs on across walks; the result is the running total.
    EXPECT_EQ(WalkFolder("C:\\d\\*.*"), 6);
    EXPECT_TRUE(lines.empty());
}

TEST_F(WalkTest, MissingFolderGivesNothingAndNoLine) {
    EXPECT_EQ(WalkFolder("C:\\nowhere\\*.*"), 0);
    machine.FailCall("FindFirstFileA", 1, true, pf::kErrorAccessDenied);
    PlantFile("C:\\d\\a.exe");
    EXPECT_EQ(WalkFolder("C:\\d\\*.*"), 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(WalkTest, PatternWithoutDotIsAnErrorAsSoonAsAPathMustBeBuilt) {
    PlantFile("C:\\d\\a.exe");
    PlantFolder("C:\\e\\sub");
    EXPECT_EQ(WalkFolder("C:\\d\\*"), -1);     // at the first entry of the file pass
    EXPECT_EQ(WalkFolder("C:\\e\\su"), -1);    // no file; the folder pattern ends "su*" and lists "sub"
    EXPECT_EQ(WalkFolder("C:\\e\\none"), 0);   // nothing listed: no path to build
    EXPECT_TRUE(Inspected().empty());
    EXPECT_TRUE(machine.finds.empty());
}

// ---------------------------------------------------------------------------
// Program Files
// ---------------------------------------------------------------------------
TEST_F(WalkTest, ProgramFilesIsRememberedAtADriveRootAndWalkedOnce) {
    PlantFile("C:\\Program Files\\app\\app.exe");
    PlantFile("C:\\x.exe");
    EXPECT_EQ(RunScan(), 1);
    EXPECT_TRUE(g_scan.programFilesVisited);
    EXPECT_STREQ(g_scan.programFilesPattern, "C:\\Program Files\\*.*");
    EXPECT_TRUE(g_scan.programFilesPending);  // stays set: the walk already went there
    EXPECT_EQ(Inspected(), (Texts{"C:\\x.exe", "C:\\Program Files\\app\\app.exe"}));
}

TEST_F(WalkTest, ProgramFilesNotReachedByTheWalkIsWalkedSeparately) {
    PlantFile("C:\\Program Files\\app.exe");
    PlantFile("C:\\x.exe");
    // The root's folder listing fails: the walk never goes into Program Files.
    machine.FailCall("FindFirstFileA", 2);
    RunScan();
    EXPECT_FALSE(g_scan.programFilesVisited);
    EXPECT_FALSE(g_scan.programFilesPending);
    EXPECT_EQ(Inspected(), (Texts{"C:\\x.exe", "C:\\Program Files\\app.exe"}));
    EXPECT_EQ(g_scan.scannedCount, 2);
}

TEST_F(WalkTest, ProgramFilesPatternOnlyFromShortPatterns) {
    crt::CopyText(g_scan.programFilesPattern, "untouched");
    PlantFolder("C:\\Program Files");
    WalkFolder("C:\\d\\*.*");
    EXPECT_STREQ(g_scan.programFilesPattern, "untouched");
    EXPECT_FALSE(g_scan.programFilesPending);

    machine.SetDriveType('D', pf::kDriveFixed);  // no Program Files there
    WalkFolder("D:\\*.*");
    EXPECT_STREQ(g_scan.programFilesPattern, "D:\\Program Files");
    EXPECT_FALSE(g_scan.programFilesPending);

    WalkFolder("C:\\*.*");
    EXPECT_STREQ(g_scan.programFilesPattern, "C:\\Program Files\\*.*");
    EXPECT_TRUE(g_scan.programFilesPending);
    EXPECT_EQ(ArgsOf("_access"), (Texts{"D:\\Program Files", "C:\\Program Files"}));
}

TEST_F(WalkTest, ProgramFilesMarkIsCaseSensitive) {
    // A folder spelt differently is walked, but does not count as the
    // Program Files folder, so the scan lists it once more on its own.
    PlantFile("C:\\PROGRAM FILES\\a.exe");
    RunScan();
    EXPECT_FALSE(g_scan.programFilesVisited);
    EXPECT_EQ(Inspected(), (Texts{"C:\\PROGRAM FILES\\a.exe", "C:\\Program Files\\a.exe"}));
}

// ---------------------------------------------------------------------------
// Messages and cancelling
// ---------------------------------------------------------------------------
TEST_F(WalkTest, PumpsTwicePerFileEntryAndOncePerFolderEntry) {
    PlantFile("C:\\d\\a");
    PlantFile("C:\\d\\b");
    WalkFolder("C:\\d\\*.*");  // four entries: ".", "..", a, b
    EXPECT_EQ(machine.CountCalls("PeekMessageA"), 4 * 2 + 4);
}

TEST_F(WalkTest, EscapeAnsweredNoLosesTheKeyAndGoesOn) {
    PlantFile("C:\\d\\a");
    PlantFile("C:\\d\\b");
    machine.TypeKey(pf::kVkEscape);  // pressed and released: one question
    machine.AnswerNext(pf::kIdNo);
    std::vector<pf::UINT> dispatched;
    auto record = machine.windowProc;
    machine.windowProc = [&](pf::HWND w, pf::UINT m, pf::WPARAM wp, pf::LPARAM lp) {
        dispatched.push_back(m);
        return record(w, m, wp, lp);
    };
    EXPECT_EQ(WalkFolder("C:\\d\\*.*"), 2);
    ASSERT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(machine.questions[0].text, "Terminate the Scan now?");
    EXPECT_EQ(machine.questions[0].title, "CleanVendrika Ver 1.0");
    EXPECT_EQ(machine.questions[0].flags, 0x24u);
    EXPECT_TRUE(machine.questions[0].skinned);
    EXPECT_TRUE(machine.messageQueue.empty());
    EXPECT_FALSE(g_scan.cancelled);
    EXPECT_EQ(std::count(dispatched.begin(), dispatched.end(), pf::kWmKeyDown), 0);
    // The release goes its ordinary way.
    EXPECT_EQ(std::count(dispatched.begin(), dispatched.end(), pf::kWmKeyUp), 1);
}

TEST_F(WalkTest, OnlyAPressOfEscapeAsks) {
    // Releases, characters and other messages that carry the code 27 are
    // handed on; only the low 16 bits of a press's wParam count.
    Press(pf::kWmKeyUp, pf::kVkEscape);
    Press(pf::kWmChar, pf::kVkEscape);
    Press(0x0401, 0x7FFF0000 | pf::kVkEscape);
    Press(pf::kWmKeyDown, 0x1B00);  // not Escape
    Press(pf::kWmKeyDown, 0x7FFF0000 | pf::kVkEscape);
    for (int i = 0; i < 5; ++i) PumpScanMessages();
    EXPECT_EQ(machine.questions.size(), 1u);
    EXPECT_EQ(machine.CountCalls("DispatchMessageA"), 4);
    EXPECT_FALSE(g_scan.cancelled);  // answered No by default
}

TEST_F(WalkTest, EscapeAnsweredYesStopsEveryLevel) {
    PlantFile("C:\\top\\a.exe");
    PlantFile("C:\\top\\mid\\b.exe");
    PlantFile("C:\\top\\mid\\deep\\c.exe");
    PlantFile("C:\\top\\mid\\deep\\d.exe");
    PlantFile("C:\\top\\mid\\later.exe");
    PlantFile("C:\\top\\z\\e.exe");
    PlantFile("C:\\zz\\f.exe");
    // The user presses Escape while c.exe is on the status line.
    auto record = machine.windowProc;
    machine.windowProc = [&](pf::HWND w, pf::UINT m, pf::WPARAM wp, pf::LPARAM lp) {
        if (m == WM_SCAN_STATUS && std::string(g_scan.statusText) == "C:\\top\\mid\\deep\\c.exe")
            machine.TypeKey(pf::kVkEscape);
        return record(w, m, wp, lp);
    };
    machine.AnswerNext(pf::kIdYes);

    EXPECT_EQ(RunScan(), 1);
    EXPECT_TRUE(g_scan.cancelled);
    // c.exe was already being inspected; nothing after it is.
    EXPECT_EQ(Inspected(), (Texts{"C:\\top\\a.exe", "C:\\top\\mid\\b.exe",
                                  "C:\\top\\mid\\later.exe", "C:\\top\\mid\\deep\\c.exe"}));
    EXPECT_EQ(g_scan.scannedCount, 4);
    EXPECT_EQ(statuses.back(), "Scanning terminated");
    EXPECT_TRUE(HasLine("Scanning statistics"));
    EXPECT_TRUE(HasLine("Total files scanned\t\t:  4"));
    EXPECT_TRUE(machine.finds.empty());
}

TEST_F(WalkTest, CancelledWalkReturnsZeroAtTheFirstCheck) {
    PlantFile("C:\\d\\a.exe");
    g_scan.cancelled = true;
    EXPECT_EQ(WalkFolder("C:\\d\\*.*"), 0);
    EXPECT_TRUE(Inspected().empty());
    EXPECT_TRUE(machine.finds.empty());
}

TEST_F(WalkTest, QuitAndDestroyCancelWithoutAQuestion) {
    for (pf::UINT message : {pf::kWmQuit, pf::kWmDestroy}) {
        g_scan.cancelled = false;
        Press(message, 0);
        PumpScanMessages();
        EXPECT_TRUE(g_scan.cancelled) << message;
        EXPECT_TRUE(machine.messageQueue.empty());
    }
    EXPECT_TRUE(machine.questions.empty());
    EXPECT_EQ(machine.CountCalls("DispatchMessageA"), 0);

    // Any other message goes to the window, one per pump.
    g_scan.cancelled = false;
    Press(0x0111, 5);
    Press(0x0111, 6);
    PumpScanMessages();
    EXPECT_EQ(machine.CountCalls("TranslateMessage"), 1);
    EXPECT_EQ(machine.CountCalls("DispatchMessageA"), 1);
    EXPECT_EQ(machine.messageQueue.size(), 1u);
    EXPECT_FALSE(g_scan.cancelled);
}

TEST_F(WalkTest, StopButtonDuringTheWalkIsNoticedAtTheNextCheck) {
    PlantFile("C:\\d\\a.exe");
    PlantFile("C:\\d\\b.exe");
    // A dispatched message whose handler sets the flag, as the stop button does.
    auto record = machine.windowProc;
    machine.windowProc = [&](pf::HWND w, pf::UINT m, pf::WPARAM wp, pf::LPARAM lp) {
        if (m == 0x0111) g_scan.cancelled = true;
        return record(w, m, wp, lp);
    };
    Press(0x0111, 0);
    EXPECT_EQ(WalkFolder("C:\\d\\*.*"), 0);
    EXPECT_TRUE(Inspected().empty());
}

// ---------------------------------------------------------------------------
// Status line
// ---------------------------------------------------------------------------
TEST(ShortenPath, SixtyCharacters) {
    char out[300];
    const std::string p59(59, 'a'), p60(60, 'b');
    ShortenPathForDisplay(p59.c_str(), out, 60);
    EXPECT_EQ(std::string(out), p59);
    ShortenPathForDisplay(p60.c_str(), out, 60);
    EXPECT_EQ(std::string(out), p60);

    std::string p61;
    for (int i = 0; i < 61; ++i) p61 += char('!' + i);
    ShortenPathForDisplay(p61.c_str(), out, 60);
    EXPECT_EQ(std::string(out), p61.substr(0, 29) + ".." + p61.substr(61 - 29));
    EXPECT_EQ(std::string(out).size(), 60u);

    const std::string p259 = "C:\\" + std::string(256, 'x');
    ShortenPathForDisplay(p259.c_str(), out, 60);
    EXPECT_EQ(std::string(out), p259.substr(0, 29) + ".." + p259.substr(259 - 29));
}

TEST(ShortenPath, OtherWidths) {
    char out[300];
    ShortenPathForDisplay("abcdefghij", out, 7);  // half 2: "ab", 3 dots, "ij"
    EXPECT_STREQ(out, "ab...ij");
    ShortenPathForDisplay("abcdefghij", out, 3);  // half 0: unchanged
    EXPECT_STREQ(out, "abcdefghij");
    ShortenPathForDisplay("abcdefghij", out, 0);
    EXPECT_STREQ(out, "abcdefghij");
    ShortenPathForDisplay("", out, 60);
    EXPECT_STREQ(out, "");
}

TEST_F(WalkTest, StatusShowsTheShortenedPath) {
    const std::string folder = "C:\\" + std::string(40, 'f');
    const std::string file = folder + "\\" + std::string(30, 'n') + ".exe";
    PlantFile(file);
    WalkFolder((folder + "\\*.*").c_str());
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[2], file.substr(0, 29) + ".." + file.substr(file.size() - 29));
}

// ---------------------------------------------------------------------------
// Paths at the length limit
// ---------------------------------------------------------------------------
TEST_F(WalkTest, PathsThatWouldNotFitArePassedOver) {
    // A folder whose pattern just fits: "C:\<250 chars>\*.*" is 257 characters.
    const std::string folder = "C:\\" + std::string(250, 'd');
    PlantFile(folder + "\\" + std::string(5, 'a'));  // full path 259: fits
    PlantFile(folder + "\\" + std::string(6, 'b'));  // 260: does not
    PlantFolder(folder + "\\" + std::string(2, 's'));  // child pattern 257 + 3 + 4: does not
    PlantFile(folder + "\\" + std::string(2, 's') + "\\x");
    PlantFolder(folder + "\\q");  // child pattern "...\q\*.*" is 259: fits
    PlantFile(folder + "\\q\\y");  // and its file's path is 257 characters: fits

    EXPECT_EQ(WalkFolder((folder + "\\*.*").c_str()), 2);
    EXPECT_EQ(Inspected(), (Texts{folder + "\\aaaaa", folder + "\\q\\y"}));
    EXPECT_TRUE(machine.finds.empty());
    for (const std::string& s : statuses) EXPECT_LE(s.size(), 60u);
}

