// Deletion at the next start of the system: wininit.ini on the 95/98/Me
// family, MoveFileExA on the NT family.
#include <string>

#include "persistence/delayed_delete.h"
#include "persistence_model.h"
#include "scan_test_support.h"

using namespace pf;
using namespace std::string_literals;

namespace {

const char kIni[] = "C:\\WINDOWS\\wininit.ini";
const char kLocked[] = "C:\\Program Files\\Some Folder\\locked program.exe";

class WininitTest : public ScanTest {
protected:
    WininitTest() {
        machine.SetVersion(sim::WinVersion::Win98);
        PlantFolder("C:\\WINDOWS\\TEMP");
    }
    ~WininitTest() override { EXPECT_TRUE(machine.openFiles.empty()) << "a file was left open"; }
    std::string Ini() { return machine.ReadFileText(kIni); }
    // No stray working file may stay behind in the Windows or temporary folder.
    bool OnlyExpectedFilesIn(const std::string& folder, size_t expected) {
        sim::SimFile* f = machine.FindFile(folder);
        return f && f->children.size() == expected;
    }
};

}  // namespace

TEST_F(WininitTest, MissingFileIsCreatedWithExactlyTwoLines) {
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\PROGRA~1\\X.EXE"));
    EXPECT_EQ(Ini(), "[rename]\r\nNUL=C:\\PROGRA~1\\X.EXE\r\n");

    // Through the scheduler the short form of the path is written.
    machine.DeleteFileA(kIni);
    PlantFile(kLocked);
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 1);
    char shortPath[kMaxPath];
    ASSERT_GT(machine.GetShortPathNameA(kLocked, shortPath, kMaxPath), 0u);
    EXPECT_EQ(Ini(), std::string("[rename]\r\nNUL=") + shortPath + "\r\n");
    EXPECT_NE(std::string(shortPath), kLocked);
}

TEST_F(WininitTest, EntryGoesToTheEndOfTheRenameSectionBeforeTheNextHeader) {
    PlantFile(kIni, "[Rename]\r\nNUL=C:\\OLD.EXE\r\n\r\n[Other]\r\nkey=value\r\n");
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\NEW.EXE"));
    // Copied lines keep their CR LF; the entry gets one too.
    EXPECT_EQ(Ini(),
              "[Rename]\r\nNUL=C:\\OLD.EXE\r\n\r\nNUL=C:\\NEW.EXE\r\n[Other]\r\nkey=value\r\n");
    // A copy of the earlier content stays in the temporary folder.
    EXPECT_EQ(machine.ReadFileText("C:\\WINDOWS\\TEMP\\wininit.ini"),
              "[Rename]\r\nNUL=C:\\OLD.EXE\r\n\r\n[Other]\r\nkey=value\r\n");
    EXPECT_TRUE(OnlyExpectedFilesIn("C:\\WINDOWS\\TEMP", 1));
}

TEST_F(WininitTest, UpperCaseHeaderAndTwoFailuresGiveTwoEntriesInOneSection) {
    PlantFile(kIni, "[boot]\r\nx=1\r\n[RENAME]\r\n");
    PlantFile("C:\\A\\one.exe");
    PlantFile("C:\\A\\two.exe");
    EXPECT_EQ(ScheduleDeleteOnReboot("C:\\A\\one.exe"), 1);
    EXPECT_EQ(ScheduleDeleteOnReboot("C:\\A\\two.exe"), 1);
    // The first entry was copied like every other line by the second rewrite.
    EXPECT_EQ(Ini(),
              "[boot]\r\nx=1\r\n[RENAME]\r\nNUL=C:\\A\\one.exe\r\nNUL=C:\\A\\two.exe\r\n");
}

TEST_F(WininitTest, FileWithoutRenameSectionGetsOneAtItsEnd) {
    PlantFile(kIni, "[boot]\r\nshell=explorer.exe");  // no line end after the last line
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\X.EXE"));
    EXPECT_EQ(Ini(), "[boot]\r\nshell=explorer.exe\r\n[rename]\r\nNUL=C:\\X.EXE\r\n");
    // Lines that end in a bare line feed keep it.
    PlantFile(kIni, "[boot]\nshell=explorer.exe\n");
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\X.EXE"));
    EXPECT_EQ(Ini(), "[boot]\nshell=explorer.exe\n[rename]\r\nNUL=C:\\X.EXE\r\n");

    PlantFile(kIni, "");
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\X.EXE"));
    EXPECT_EQ(Ini(), "[rename]\r\nNUL=C:\\X.EXE\r\n");

    // A last section without a final line end: the entry still gets a line.
    PlantFile(kIni, "[rename]\r\nNUL=C:\\A.EXE");
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\B.EXE"));
    EXPECT_EQ(Ini(), "[rename]\r\nNUL=C:\\A.EXE\r\nNUL=C:\\B.EXE\r\n");
}

TEST_F(WininitTest, LongLinesComeThroughWholeAndAreNeverTakenForHeaders) {
    // 647 characters fill one read exactly; the rest starts with "[".
    const std::string longLine = std::string(647, 'a') + "[rename] not a header" +
                                 std::string(1500, 'b') + "\r" + std::string(2, 'c');
    const std::string crAtCut = std::string(646, 'd') + "\r\n";  // CR LF split by a read
    PlantFile(kIni, "[rename]\r\n" + longLine + "\r\n" + crAtCut + "[x]\r\n");
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\X.EXE"));
    EXPECT_EQ(Ini(), "[rename]\r\n" + longLine + "\r\n" + crAtCut + "NUL=C:\\X.EXE\r\n[x]\r\n");

    // Zero bytes inside the lines are kept as well.
    const std::string odd = std::string("a\0b", 3) + "\x01" + "tail";
    PlantFile(kIni, "[rename]\r\n" + odd + "\r\n");
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\Y.EXE"));
    EXPECT_EQ(Ini(), "[rename]\r\n" + odd + "\r\nNUL=C:\\Y.EXE\r\n");
}

// The start-up reader stops at the end-of-file mark (Ctrl-Z): the entry goes
// before it, nothing before it is lost, and the mark and what follows it
// stay as they were.
TEST_F(WininitTest, TheEntryStandsBeforeAnEndOfFileMark) {
    struct Case {
        const char* why;
        std::string before;
        std::string wanted;
    };
    const std::string z = "\x1a";
    const Case cases[] = {
        {"mark after the last line", "[rename]\r\nNUL=C:\\OLD.EXE\r\n" + z,
         "[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=C:\\N.EXE\r\n" + z},
        {"mark ends the last line", "[rename]\r\nNUL=C:\\OLD.EXE" + z + "\r\n",
         "[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=C:\\N.EXE\r\n" + z + "\r\n"},
        {"sections after the mark are not read", "[rename]\r\n" + z + "[boot]\r\nx=1\r\n",
         "[rename]\r\nNUL=C:\\N.EXE\r\n" + z + "[boot]\r\nx=1\r\n"},
        {"a header after the mark is not the section", "[boot]\r\nx=1\r\n" + z + "[rename]\r\n",
         "[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\N.EXE\r\n" + z + "[rename]\r\n"},
        {"a header before the mark still ends the section", "[rename]\r\n[boot]\r\n" + z,
         "[rename]\r\nNUL=C:\\N.EXE\r\n[boot]\r\n" + z},
        {"a carriage return before the mark", "[rename]\r\nA=B\r" + z,
         "[rename]\r\nA=B\r\r\nNUL=C:\\N.EXE\r\n" + z},
        {"nothing but the mark", z, "[rename]\r\nNUL=C:\\N.EXE\r\n" + z},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        PlantFile(kIni, c.before);
        EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\N.EXE"));
        EXPECT_EQ(Ini(), c.wanted);
        // What the start-up reader sees holds the entry.
        const std::string seen = Ini().substr(0, Ini().find('\x1a'));
        EXPECT_NE(seen.find("NUL=C:\\N.EXE\r\n"), std::string::npos);
    }
}

TEST_F(WininitTest, EveryFailureLeavesTheFileAsItWas) {
    const std::string original = "[rename]\r\nNUL=C:\\OLD.EXE\r\n[boot]\r\n" +
                                 std::string(3000, 'l') + "\r\nend\r\n";
    const std::string wanted = "[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=C:\\NEW.EXE\r\n[boot]\r\n" +
                               std::string(3000, 'l') + "\r\nend\r\n";
    const char* ops[] = {"GetWindowsDirectoryA", "_access", "GetTempPathA", "CopyFileA",
                         "_open", "_filelength", "fopen", "fgets", "_write", "_close"};
    int failures = 0;
    for (const char* op : ops) {
        for (int nth = 1; nth <= 12; ++nth) {
            PlantFile(kIni, original);
            machine.DeleteFileA("C:\\WINDOWS\\TEMP\\wininit.ini");
            machine.ClearFaults();
            machine.FailCall(op, nth);
            const bool result = AddWininitRenameEntry("NUL", "C:\\NEW.EXE");
            machine.ClearFaults();
            if (result) {
                EXPECT_EQ(Ini(), wanted) << op << " #" << nth;
            } else {
                ++failures;
                EXPECT_EQ(Ini(), original) << op << " #" << nth;
            }
            EXPECT_FALSE(machine.Exists("C:\\WINDOWS\\TEMP\\wininit.$$$")) << op << " #" << nth;
            EXPECT_TRUE(machine.openFiles.empty()) << op << " #" << nth;
            EXPECT_TRUE(machine.streams.empty()) << op << " #" << nth;
        }
    }
    EXPECT_GE(failures, 10);  // every op was hit at least once

    // A failure while a new file is created removes the incomplete file.
    for (int nth = 1; nth <= 4; ++nth) {
        machine.DeleteFileA(kIni);
        machine.FailCall("_write", nth);
        EXPECT_FALSE(AddWininitRenameEntry("NUL", "C:\\NEW.EXE"));
        machine.ClearFaults();
        EXPECT_FALSE(machine.Exists(kIni)) << nth;
    }
    // A read-only wininit.ini is not replaced.
    PlantFile(kIni, original, kFileAttributeReadonly);
    EXPECT_FALSE(AddWininitRenameEntry("NUL", "C:\\NEW.EXE"));
    EXPECT_EQ(Ini(), original);
    // Once writable again, the read-only copy left behind does not stand in the way.
    machine.SetFileAttributesA(kIni, kFileAttributeArchive);
    EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\NEW.EXE"));
    EXPECT_EQ(Ini(), wanted);
}

TEST_F(WininitTest, SchedulingFollowsTheOsClass) {
    PlantFile(kLocked);
    // 9x: a path without a short form is written as it is.
    machine.FailCall("GetShortPathNameA");
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 1);
    EXPECT_EQ(Ini(), std::string("[rename]\r\nNUL=") + kLocked + "\r\n");
    // 9x, wininit.ini cannot be written: not scheduled.
    machine.DeleteFileA(kIni);
    machine.FailCall("_open", 1, true);
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 0);
    machine.ClearFaults();
    EXPECT_TRUE(machine.pendingDeletes.empty());

    // NT: MoveFileExA with no new name; a refused request is not pending.
    machine.SetVersion(sim::WinVersion::Nt4);
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 1);
    EXPECT_EQ(machine.pendingDeletes, std::vector<std::string>{kLocked});
    machine.SetVersion(sim::WinVersion::Win10);
    machine.FailCall("MoveFileExA");
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 0);
    machine.limitedUser = true;
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 0);
    machine.limitedUser = false;
    EXPECT_EQ(machine.pendingDeletes.size(), 1u);
    EXPECT_FALSE(machine.Exists(kIni));

    // Any other class: nothing is scheduled.
    machine.log.clear();
    machine.versionQueryFails = true;
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 0);
    machine.versionQueryFails = false;
    machine.version.dwPlatformId = kVerPlatformWin32s;
    EXPECT_EQ(ScheduleDeleteOnReboot(kLocked), 0);
    EXPECT_EQ(machine.CountCalls("MoveFileExA"), 0);
    EXPECT_EQ(machine.CountCalls("_open"), 0);
}

// One rule for where the entry goes: the window's writer (through the
// system's file calls) and the whole-file form the offline writer uses give
// the test model's bytes for the same files.
TEST_F(WininitTest, BothWritersPlaceTheEntryAsTheModelDoes) {
    const std::string cases[] = {
        "",
        "[rename]\r\nNUL=C:\\A.EXE\r\n[x]\nk=v\n",
        "[Rename]\nNUL=C:\\A.EXE",
        "[x]\r\nk=v\r\n",
        "[rename]\r\nA=B\r\n\x1A\xff junk",
        "\x1A[rename]\r\n",
        "[rename]\r\n[rename]\r\nX=Y\r\n",
        std::string(700, 'a') + "[rename]\r\n[x]\r\n",
        "[ren\0ame]\r\n[rename]\nz\n[y]"s,
    };
    for (const std::string& old : cases) {
        const std::string want = persistence_model::RewrittenWininit(old, "NUL=C:\\EVIL~1.EXE\r\n");
        EXPECT_EQ(WithRenameEntry(old, "NUL", "C:\\EVIL~1.EXE"), want) << old;
        ASSERT_TRUE(machine.AddFile(kIni, old));
        EXPECT_TRUE(AddWininitRenameEntry("NUL", "C:\\EVIL~1.EXE")) << old;
        EXPECT_EQ(machine.ReadFileText(kIni), want) << old;
    }
}
