// Start-up values under Run and RunServices that launch an infected file are
// removed; everything else stays.
#include <cstring>
#include <string>

#include "persistence/hosts_file.h"
#include "persistence/startup_registry.h"
#include "platform/crt.h"
#include "scan_test_support.h"

using namespace pf;

namespace {

const char kLine[] = "System Registry     W32/Vendrika.Trojan removed";
const char kGenName[] = "W32/Vendrika.Gen.Trojan";

class StartupRegistryTest : public ScanTest {
protected:
    StartupRegistryTest() { ResetTextSignaturesForTest(); }
    ~StartupRegistryTest() override {
        EXPECT_TRUE(machine.openKeys.empty()) << "a registry key was left open";
    }

    void Inspect(const char* path) { ASSERT_TRUE(crt::CopyText(g_scan.inspectedPath, path)); }
    void Run(const std::string& name, const std::string& data, DWORD type = kRegSz) {
        machine.SetString(kHkeyLocalMachine, kRunKeyPath, name, data, type);
    }
    void RunServices(const std::string& name, const std::string& data) {
        machine.SetString(kHkeyLocalMachine, kRunServicesKeyPath, name, data);
    }
    bool InRun(const std::string& name) {
        return machine.FindValue(kHkeyLocalMachine, kRunKeyPath, name) != nullptr;
    }
    bool InRunServices(const std::string& name) {
        return machine.FindValue(kHkeyLocalMachine, kRunServicesKeyPath, name) != nullptr;
    }
    int CountLine(const std::string& line) const {
        int n = 0;
        for (const std::string& l : lines) n += l == line;
        return n;
    }
};

}  // namespace

TEST_F(StartupRegistryTest, FullPathValuesMatchByTheWholeCaseBlindPath) {
    Inspect("C:\\Program Files\\Tools\\EvilApp.exe");
    Run("Updater", "\"c:\\PROGRAM FILES\\tools\\evilapp.EXE\" /autorun");
    Run("Unquoted", "C:\\Program Files\\Tools\\EvilApp.exe -s");
    Run("Other", "C:\\Program Files\\Tools\\Good.exe");
    Run("Sibling", "C:\\Program Files\\EvilApp.exe");
    RunServices("Svc", "c:\\program files\\tools\\evilapp.exe");
    // The 32-bit view of a 64-bit Windows, examined after the others.
    machine.SetString(kHkeyLocalMachine, kWow64RunKeyPath, "Other32", "C:\\Program Files\\Good.exe");
    machine.SetString(kHkeyLocalMachine, kWow64RunServicesKeyPath, "Svc32",
                      "C:\\Program Files\\Tools\\EvilApp.exe /32");

    EXPECT_EQ(CleanPersistence(kGenName), 1);

    EXPECT_FALSE(InRun("Updater"));
    EXPECT_FALSE(InRun("Unquoted"));
    EXPECT_FALSE(InRunServices("Svc"));
    EXPECT_TRUE(InRun("Other"));
    EXPECT_TRUE(InRun("Sibling"));
    EXPECT_FALSE(machine.FindValue(kHkeyLocalMachine, kWow64RunServicesKeyPath, "Svc32"));
    EXPECT_TRUE(machine.FindValue(kHkeyLocalMachine, kWow64RunKeyPath, "Other32"));
    EXPECT_EQ(CountLine(kLine), 4) << AllLines();
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_STREQ(g_scan.runValueName, "Svc32");  // the last one removed
    // The comparison folds nothing: the inspected path is left as it was.
    EXPECT_STREQ(g_scan.inspectedPath, "C:\\Program Files\\Tools\\EvilApp.exe");

    // The path ends where the command's program ends: at its end, its
    // closing quote or a blank. A file without an extension does not start
    // the programs whose names begin with its own.
    lines.clear();
    Inspect("C:\\WINDOWS\\update");
    Run("Longer", "C:\\WINDOWS\\update.exe /q");
    Run("Helper", "\"C:\\WINDOWS\\update-helper.exe\"");
    Run("QuotedLonger", "\"C:\\WINDOWS\\update /q\"");  // quoted: all of it is the path
    Run("Exact", "C:\\WINDOWS\\update");
    Run("Arguments", "C:\\WINDOWS\\UPDATE\t/q");
    Run("Quoted", "\"c:\\windows\\update\" /q");
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("Longer"));
    EXPECT_TRUE(InRun("Helper"));
    EXPECT_TRUE(InRun("QuotedLonger"));
    EXPECT_FALSE(InRun("Exact"));
    EXPECT_FALSE(InRun("Arguments"));
    EXPECT_FALSE(InRun("Quoted"));
    EXPECT_EQ(CountLine(kLine), 3) << AllLines();
}

// Only a command without any backslash is a bare name. A rooted one names a
// path on the drive of the Windows folder; a network path never names a
// file of this machine.
TEST_F(StartupRegistryTest, BareNamesOnlyForFilesInSystemFolders) {
    Run("Bare", "evil.exe");
    Run("Rooted", "\\evil.exe /q");
    Run("Elsewhere", "D:\\evil.exe");
    Run("Network", "\\\\fileserver\\tools\\evil.exe /logon");
    Run("OtherRoot", "\\Tools\\evil.exe");
    Run("RootedHere", "\"\\WINDOWS\\system32\\EVIL.EXE\" /q");

    Inspect("C:\\Temp\\evil.exe");
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("Bare"));
    EXPECT_TRUE(InRun("Rooted"));
    EXPECT_TRUE(lines.empty()) << AllLines();
    EXPECT_EQ(g_scan.runValueName[0], '\0');

    // Only the program's whole name counts, whatever follows it.
    Run("Quoted", "\"Evil.exe\" /s");
    Run("Longer", "notevil.exe");            // ends in the name
    Run("Argument", "rundll32.exe evil.exe");  // names it after the program
    Run("Stem", "evil.exe2");
    Inspect("C:\\WINDOWS\\System32\\evil.exe");
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("Bare"));
    EXPECT_TRUE(InRun("Rooted"));  // C:\evil.exe
    EXPECT_TRUE(InRun("Network"));
    EXPECT_TRUE(InRun("OtherRoot"));
    EXPECT_FALSE(InRun("RootedHere"));
    EXPECT_FALSE(InRun("Quoted"));
    EXPECT_TRUE(InRun("Elsewhere"));  // a full path to another file
    EXPECT_TRUE(InRun("Longer"));
    EXPECT_TRUE(InRun("Argument"));
    EXPECT_TRUE(InRun("Stem"));
    EXPECT_EQ(CountLine(kLine), 3);
    EXPECT_STREQ(g_scan.runValueName, "Quoted");  // the bare-name rule remembers too

    // Windows 98's own tray and the control panel's rundll32 stay when the
    // worm is called TRAY.EXE or ll32.exe.
    Run("SystemTray", "SysTray.Exe");
    Run("Panel", "RUNDLL32.EXE shell32.dll,Control_RunDLL");
    for (const char* worm : {"C:\\WINDOWS\\SYSTEM\\TRAY.EXE", "C:\\WINDOWS\\SYSTEM\\ll32.exe"}) {
        Inspect(worm);
        CleanPersistence(kGenName);
    }
    EXPECT_TRUE(InRun("SystemTray"));
    EXPECT_TRUE(InRun("Panel"));

    Run("Nine", "EVIL.EXE");
    Inspect("C:\\WINDOWS\\SYSTEM\\evil.exe");
    lines.clear();
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("Nine"));
    // "Quoted" was remembered and is gone already: one line for "Nine" only.
    EXPECT_EQ(lines.size(), 1u) << AllLines();

    // With Windows on D:, a rooted path is one of D:.
    machine.windowsDirectory = "D:\\WINDOWS";
    Run("RootedThere", "\\WINDOWS\\System32\\evil.exe");
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("RootedThere"));
    Inspect("D:\\WINDOWS\\System32\\evil.exe");
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("RootedThere"));
    EXPECT_TRUE(InRun("Rooted"));
}

// In a double-byte code page a trail byte can be a letter or a backslash:
// C:\APP\ア.exe (0x83 0x41) and C:\APP\ヂ.exe (0x83 0x61) are two files, and
// ソft.exe (0x83 0x5C 'f' 't') is one name, not "ft.exe" in a folder. Where
// the code page has single bytes only, the same bytes spell one name in two
// letter cases and a backslash; where it cannot be learned, nothing is joined.
TEST_F(StartupRegistryTest, DoubleByteNamesAreComparedInTheSystemsCodePage) {
    const std::string a = "\x83\x41", di = "\x83\x61", so = "\x83\x5C";
    struct Case {
        UINT codePage;
        bool codePageUnknown;  // GetCPInfo fails
        bool singleByte;
    };
    const Case cases[] = {
        {932, false, false}, {949, false, false}, {950, false, false},
        {1252, false, true}, {932, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.codePage) + (c.codePageUnknown ? " unknown" : ""));
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.hklm.subkeys.clear();
        machine.ClearFaults();
        lines.clear();
        machine.ansiCodePage = c.codePage;
        if (c.codePageUnknown) machine.FailCall("GetCPInfo", 1, true);
        const std::string worm = "C:\\APP\\" + a + ".exe";
        Run("Worm", worm + " /s");
        Run("Other", "\"C:\\APP\\" + di + ".exe\"");
        Run("Tail", "ft.exe");
        Run("Whole", so + "ft.exe");
        Inspect(worm.c_str());
        CleanPersistence(kGenName);
        EXPECT_FALSE(InRun("Worm"));
        EXPECT_EQ(InRun("Other"), !c.singleByte);
        EXPECT_EQ(std::string(g_scan.inspectedPath), worm);  // never folded into another name
        // The other program given the remembered name stays too.
        const std::string remembered = g_scan.runValueName;
        ASSERT_FALSE(remembered.empty());
        Run(remembered, "C:\\APP\\" + di + ".exe");
        Inspect("C:\\Unrelated\\x.exe");
        CleanPersistence(kGenName);
        EXPECT_EQ(InRun(remembered), !c.singleByte);

        // The file's name is what follows its last backslash.
        Inspect(("C:\\WINDOWS\\SYSTEM\\" + so + "ft.exe").c_str());
        CleanPersistence(kGenName);
        EXPECT_EQ(InRun("Tail"), !c.singleByte);
        EXPECT_EQ(InRun("Whole"), c.singleByte);
    }
}

TEST_F(StartupRegistryTest, DeletingAValueDoesNotSkipTheNextOne) {
    Inspect("C:\\Bad\\x.exe");
    Run("A", "c:\\bad\\x.exe");
    Run("B", "c:\\bad\\x.exe");
    Run("Keep", "c:\\good\\x.exe");
    Run("C", "\"c:\\bad\\x.exe\"");
    Run("D", "c:\\bad\\x.exe");
    CleanPersistence(kGenName);
    ASSERT_EQ(machine.FindKey(kHkeyLocalMachine, kRunKeyPath)->values.size(), 1u);
    EXPECT_TRUE(InRun("Keep"));
    EXPECT_EQ(CountLine(kLine), 4);
}

TEST_F(StartupRegistryTest, EnvironmentVariablesMatchThroughTheirExpansion) {
    machine.windowsDirectory = "C:\\WINNT";
    Inspect("C:\\WINNT\\msagent.exe");
    Run("Expand", "%windir%\\MSAGENT.EXE -boot", kRegExpandSz);
    Run("Quoted", "\"%SystemRoot%\\msagent.exe\"", kRegExpandSz);
    Run("Unknown", "%nowhere%\\msagent.exe", kRegExpandSz);
    machine.environment["AGENT"] = "C:\\WINNT\\msagent.exe";
    Run("Whole", "%agent% /s", kRegExpandSz);  // no backslash until expanded
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("Expand"));
    EXPECT_FALSE(InRun("Quoted"));
    EXPECT_FALSE(InRun("Whole"));
    EXPECT_TRUE(InRun("Unknown"));

    // A value whose expansion fails is passed over.
    Run("Later", "%windir%\\msagent.exe", kRegExpandSz);
    machine.FailCall("ExpandEnvironmentStringsA", 1, true);
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("Later"));
}

TEST_F(StartupRegistryTest, RememberedValueGoesFromBothKeysWhileItLaunchesAnInfectedFile) {
    Inspect("C:\\Bad\\first.exe");
    Run("Agent", "c:\\bad\\first.exe");
    CleanPersistence(kGenName);
    ASSERT_STREQ(g_scan.runValueName, "Agent");
    lines.clear();

    // The same name given to another program's value, under both keys: it stays.
    Run("Agent", "c:\\elsewhere\\second.exe");
    RunServices("agent", "\"C:\\Program Files\\second.exe\" /tray");
    Inspect("C:\\Unrelated\\third.exe");
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("Agent"));
    EXPECT_TRUE(InRunServices("agent"));
    EXPECT_TRUE(lines.empty()) << AllLines();

    // The worm writes it again for the file found before, or for the one
    // being inspected now: gone from both keys, one line each.
    Run("Agent", "\"C:\\BAD\\FIRST.EXE\" -q");
    RunServices("agent", "c:\\unrelated\\third.exe");
    Inspect("C:\\Unrelated\\third.exe");
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("Agent"));
    EXPECT_FALSE(InRunServices("agent"));
    ASSERT_EQ(lines.size(), 2u) << AllLines();
    EXPECT_EQ(lines[0], "System Registry     W32/Vendrika.Gen.Trojan removed");
    EXPECT_EQ(lines[1], "System Registry     W32/Vendrika.Gen.Trojan removed");

    // Gone from both: no line.
    lines.clear();
    CleanPersistence(kGenName);
    EXPECT_TRUE(lines.empty());
}

TEST_F(StartupRegistryTest, FailedDeletionsWriteNothingAndAreRetriedLater) {
    Inspect("C:\\Bad\\x.exe");
    Run("Stuck", "c:\\bad\\x.exe");
    machine.FindValue(kHkeyLocalMachine, kRunKeyPath, "Stuck")->failDelete = true;
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("Stuck"));
    EXPECT_TRUE(lines.empty());
    EXPECT_STREQ(g_scan.runValueName, "Stuck");  // remembered all the same

    machine.FindValue(kHkeyLocalMachine, kRunKeyPath, "Stuck")->failDelete = false;
    g_scan.inspectedPath[0] = '\0';
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("Stuck"));
    EXPECT_EQ(lines, std::vector<std::string>{"System Registry     W32/Vendrika.Gen.Trojan removed"});

    // A bare name whose deletion fails is not remembered.
    ResetScanContextForTest();
    g_scan.mainWindow = FakeMainWindow();
    Inspect("C:\\WINDOWS\\system32\\x.exe");
    Run("BareStuck", "x.exe");
    machine.FindValue(kHkeyLocalMachine, kRunKeyPath, "BareStuck")->failDelete = true;
    CleanPersistence(kGenName);
    EXPECT_EQ(g_scan.runValueName[0], '\0');
}

TEST_F(StartupRegistryTest, KeysAndValuesThatCannotBeReadAreSkippedSilently) {
    Inspect("C:\\Bad\\x.exe");
    Run("Unreadable", "c:\\bad\\x.exe");
    machine.FindValue(kHkeyLocalMachine, kRunKeyPath, "Unreadable")->failRead = true;
    Run("Unlisted", "c:\\bad\\x.exe");
    Run("Fine", "c:\\bad\\x.exe");
    RunServices("Hidden", "c:\\bad\\x.exe");
    machine.FindKey(kHkeyLocalMachine, kRunServicesKeyPath)->denyOpen = true;
    machine.FailCall("RegEnumValueA", 2);  // the second name cannot be enumerated
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("Unreadable"));
    EXPECT_TRUE(InRun("Unlisted"));
    EXPECT_FALSE(InRun("Fine"));
    EXPECT_TRUE(InRunServices("Hidden"));
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(StartupRegistryTest, DataThatIsNotTerminatedTextIsTerminatedBeforeComparing) {
    Inspect("C:\\Bad\\x.exe");
    // Raw bytes without any terminator: used as text up to their end.
    machine.SetValue(kHkeyLocalMachine, kRunKeyPath, "Raw", kRegBinary, "c:\\bad\\x.exe /s");
    // Numbers and bytes with zeros compare as the text before the first zero.
    machine.SetValue(kHkeyLocalMachine, kRunKeyPath, "Number", kRegDword,
                     std::string("\x01\x00\x00\x00", 4));
    // Exactly a full buffer with no terminator, and more than a buffer: unreadable.
    machine.SetValue(kHkeyLocalMachine, kRunKeyPath, "Full", kRegBinary,
                     "c:\\bad\\x.exe " + std::string(kMaxPath - 13, 'A'));
    machine.SetValue(kHkeyLocalMachine, kRunKeyPath, "Huge", kRegSz,
                     "c:\\bad\\x.exe " + std::string(5000, 'B') + std::string(1, '\0'));
    // A full buffer that ends in its own terminator is fine.
    machine.SetValue(kHkeyLocalMachine, kRunKeyPath, "Exact", kRegSz,
                     "c:\\bad\\x.exe " + std::string(kMaxPath - 14, 'C') + std::string(1, '\0'));
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("Raw"));
    EXPECT_TRUE(InRun("Number"));
    EXPECT_TRUE(InRun("Full"));
    EXPECT_TRUE(InRun("Huge"));
    EXPECT_FALSE(InRun("Exact"));
}

TEST_F(StartupRegistryTest, ReadRegistryValueFitsItsBufferOrFails) {
    const char* key = "Software\\Test";
    char buffer[kMaxPath];
    machine.SetString(kHkeyLocalMachine, key, "Short", "abc");
    EXPECT_EQ(ReadRegistryValue(kHkeyLocalMachine, key, "Short", buffer), 1);
    EXPECT_STREQ(buffer, "abc");
    machine.SetValue(kHkeyLocalMachine, key, "Over", kRegSz, std::string(kMaxPath + 1, 'x'));
    EXPECT_EQ(ReadRegistryValue(kHkeyLocalMachine, key, "Over", buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(ReadRegistryValue(kHkeyLocalMachine, key, "Missing", buffer), 0);
    EXPECT_EQ(ReadRegistryValue(kHkeyLocalMachine, "Software\\None", "Short", buffer), 0);
    machine.FailCall("RegCloseKey");
    EXPECT_EQ(ReadRegistryValue(kHkeyLocalMachine, key, "Short", buffer), 0);
    // The failed close still released nothing else: a second read works.
    EXPECT_EQ(ReadRegistryValue(kHkeyLocalMachine, key, "Short", buffer), 1);
    machine.openKeys.clear();  // the handle whose close was made to fail
}

TEST_F(StartupRegistryTest, DeleteRegistryValueNeedsOpenDeleteAndClose) {
    const char* key = "Software\\Test";
    machine.SetString(kHkeyLocalMachine, key, "A", "1");
    machine.SetString(kHkeyLocalMachine, key, "B", "2");
    EXPECT_EQ(DeleteRegistryValue(kHkeyLocalMachine, key, "A"), 1);
    EXPECT_EQ(DeleteRegistryValue(kHkeyLocalMachine, key, "A"), 0);
    EXPECT_EQ(DeleteRegistryValue(kHkeyLocalMachine, "Software\\None", "B"), 0);
    machine.FailCall("RegCloseKey");
    EXPECT_EQ(DeleteRegistryValue(kHkeyLocalMachine, key, "B"), 0);
    EXPECT_EQ(machine.FindValue(kHkeyLocalMachine, key, "B"), nullptr);  // deleted all the same
    machine.openKeys.clear();
}

TEST_F(StartupRegistryTest, OddInspectedPathsAndNamesAreHandledSafely) {
    // No backslash at all: the key is left, and closed.
    Inspect("nofolder.exe");
    Run("V", "nofolder.exe");
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("V"));

    // A path ending in a backslash has no file name: bare values stay.
    Inspect("C:\\WINDOWS\\system32\\");
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun("V"));

    // A removed value whose name does not fit runValueName is not
    // remembered in a cut form that could name another value.
    const std::string longName(200, 'n');
    const std::string cut(kRunValueNameSize - 1, 'n');
    Inspect("C:\\Bad\\x.exe");
    Run(longName, "c:\\bad\\x.exe");
    Run(cut, "harmless.exe");
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun(longName));
    EXPECT_EQ(g_scan.runValueName[0], '\0');
    CleanPersistence(kGenName);
    EXPECT_TRUE(InRun(cut));
}

TEST_F(StartupRegistryTest, NoLinesWithoutAMainWindow) {
    g_scan.mainWindow = nullptr;
    Inspect("C:\\Bad\\x.exe");
    Run("A", "c:\\bad\\x.exe");
    CleanPersistence(kGenName);
    EXPECT_FALSE(InRun("A"));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(machine.CountCalls("SendMessageA"), 0);
}
