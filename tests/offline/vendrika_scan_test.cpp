// vendrika-scan, the real program, over folder trees on this machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hivex.h>
#include <iconv.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "scan/scan_context.h"
#include "app/window_report.h"
#include "engine/scan_run.h"
#include "persistence/delayed_delete.h"
#include "persistence/hosts_file.h"
#include "platform/posix/posix_platform.h"
#include "platform/sim/sim_machine.h"
#include "system/services.h"
#include "tests/offline/offline_support.h"
#include "tests/support/second_detector.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

using offline::RunOptions;
using offline::Scan;
using offline::Tree;

namespace {

const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServices[] = "Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kName[] = "W32/Vendrika.Gen.Trojan";

std::set<std::string> FoundPaths(const offline::RunResult& r) {
    std::set<std::string> found;
    const std::string tail = std::string(": ") + kName + " FOUND";
    for (const std::string& line : r.Lines())
        if (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            found.insert(line.substr(0, line.size() - tail.size()));
    return found;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Whether the bytes are UTF-8 by the C library's own decoder.
bool ValidUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "UTF-8");
    if (cd == iconv_t(-1)) return false;
    std::string in = text, out(text.size() * 2 + 16, '\0');
    char* inp = &in[0];
    char* outp = &out[0];
    size_t inLeft = in.size(), outLeft = out.size();
    const bool ok = iconv(cd, &inp, &inLeft, &outp, &outLeft) != size_t(-1) && inLeft == 0;
    iconv_close(cd);
    return ok;
}

// The bytes a JSON line gives for a field: its "_hex" twin where there is
// one, else the string with its escapes undone.
std::string JsonField(const std::string& line, const std::string& name) {
    const std::string hexKey = "\"" + name + "_hex\":\"";
    size_t at = line.find(hexKey);
    std::string bytes;
    if (at != std::string::npos) {
        for (at += hexKey.size(); line[at] != '"'; at += 2)
            bytes += char(std::stoi(line.substr(at, 2), nullptr, 16));
        return bytes;
    }
    const std::string key = "\"" + name + "\":\"";
    at = line.find(key);
    if (at == std::string::npos) return "<missing>";
    for (at += key.size(); line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            bytes += line[at];
            continue;
        }
        const char c = line[++at];
        if (c != 'u') {
            bytes += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
            continue;
        }
        const unsigned cp = unsigned(std::stoi(line.substr(at + 1, 4), nullptr, 16));
        at += 4;
        // Escaped beyond ASCII: C1 controls, separators and bidi controls
        // (none of them a surrogate).
        if (cp >= 0xD800 && cp < 0xE000) return "<surrogate: " + line.substr(at - 5, 6) + ">";
        if (cp < 0x80) {
            bytes += char(cp);
        } else if (cp < 0x800) {
            bytes += char(0xC0 | (cp >> 6)), bytes += char(0x80 | (cp & 0x3F));
        } else {
            bytes += char(0xE0 | (cp >> 12)), bytes += char(0x80 | ((cp >> 6) & 0x3F)), bytes += char(0x80 | (cp & 0x3F));
        }
    }
    return bytes;
}

// An XP volume: its hive (with the version and start-up values), a hosts
// file, infected programs (one at the volume's root, where worms like to
// sit, one read-only, one in Program Files), a look-alike and a letter. A
// removal at the root changes the root's listing before its folders are
// walked: every removing test meets that case.
struct XpVolume {
    Tree tree;
    std::string hive;
    std::string system;
    XpVolume(bool infectedHosts = false) {
        tree.Folder("WINDOWS/system32/config");
        hive = tree.Path("WINDOWS/system32/config/SOFTWARE");
        system = tree.Path("WINDOWS/system32/config/SYSTEM");
        offline::WriteEmptyHive(system);
        offline::SetHiveValues(system, "ControlSet001\\Services\\Tcpip",
                               {{"ImagePath", "system32\\DRIVERS\\tcpip.sys"}}, 2);
        offline::WriteSoftwareHive(hive);
        offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "5.1"}});
        offline::SetHiveValues(hive, kRun,
                               {{"Updater", "\"C:\\Downloads\\setup.exe\" /silent"},
                                {"Autorun", "C:\\autorun.exe"},
                                {"Notepad", "notepad.exe"},
                                {"Tool", "%SystemDrive%\\Program Files\\Tools\\tool.exe"}});
        offline::SetHiveValues(hive, kRunServices, {{"Arcade", "c:\\games\\GAME.EXE"}});
        tree.File("WINDOWS/system32/drivers/etc/hosts",
                  infectedHosts ? offline::InfectedHosts() : "127.0.0.1 localhost\r\n");
        tree.File("autorun.exe", offline::InfectedSample(3));
        tree.File("Downloads/setup.exe", offline::InfectedSample(0));
        tree.File("Games/game.exe", offline::InfectedSample(10), 0444);
        tree.File("Program Files/Tools/tool.exe", offline::InfectedSample(28));
        tree.File("Documents/look-alike.exe", offline::DecoySample(0));
        tree.File("Documents/letter.txt", "Dear customer,\r\n");
    }
};

}  // namespace

// Detection lines, quiet and JSON output, exit statuses 0 and 1, and a
// report-only run that changes nothing.
TEST(VendrikaScan, ReportsEveryInfectedSampleAndChangesNothing) {
    Tree tree;
    std::vector<std::string> problems;
    const auto samples = cvsamples::BuildAll(cvsamples::BuiltInRecords(), false, &problems);
    std::set<std::string> infected;
    for (size_t i = 0; i < samples.size(); ++i) {
        // Deeper and deeper folders, so the walk's recursion is exercised.
        const std::string rel = "s/" + std::to_string(i % 7) + "/" + std::to_string(i % 3) + "/" + samples[i].name;
        tree.File(rel, std::string(samples[i].bytes.begin(), samples[i].bytes.end()));
        if (samples[i].verdict == cvsamples::Verdict::Infected) infected.insert(tree.Path(rel));
    }
    for (int i = 0; i < 50; ++i) tree.File("plain/f" + std::to_string(i) + ".txt", std::string(size_t(i) * 37, 'x'));
    const auto before = tree.Snapshot();

    const offline::RunResult r = Scan({tree.Root()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(FoundPaths(r), infected);
    EXPECT_TRUE(Has(r.out, "Total files scanned\t\t:  " + std::to_string(samples.size() + 50)));
    EXPECT_TRUE(Has(r.out, "Total files infected\t\t:  " + std::to_string(infected.size())));
    EXPECT_TRUE(Has(r.out, "Total files removed\t\t:  0"));
    EXPECT_EQ(r.err, "");  // no terminal: no progress line
    EXPECT_EQ(tree.Snapshot(), before);

    // Quiet: the detections, then what could not be examined.
    const offline::RunResult quiet = Scan({"--quiet", tree.Root()});
    EXPECT_EQ(quiet.status, 1);
    ASSERT_EQ(quiet.Lines().size(), infected.size() + 1);
    EXPECT_TRUE(Has(quiet.Lines().back(), "no Windows found on any PATH")) << quiet.out;

    // Only the files whose length some signature accepts are opened.
    const offline::RunResult json = Scan({"--json", tree.Root()});
    size_t detections = 0;
    for (const std::string& line : json.Lines()) {
        ASSERT_EQ(line.front(), '{');
        ASSERT_EQ(line.back(), '}');
        if (Has(line, "\"type\":\"detection\"")) {
            ++detections;
            EXPECT_TRUE(Has(line, "\"action\":\"found\""));
        }
    }
    EXPECT_EQ(detections, infected.size());
    size_t candidates = 0;
    const auto table = cvsamples::BuiltInRecords();
    for (const auto& s : samples) {
        bool accepted = false;
        for (const auto& rec : table)
            accepted = accepted || (rec.sizeMode == 1 && int64_t(s.bytes.size()) == rec.fileSize) ||
                       (rec.sizeMode == 2 && std::llabs(int64_t(s.bytes.size()) - rec.fileSize) < 4096);
        candidates += accepted;
    }
    EXPECT_TRUE(Has(json.Lines().back(), "\"opened\":" + std::to_string(candidates) + ","))
        << json.Lines().back();

    // On Windows volumes: nothing changes (hive, hosts file, modes, WININIT.INI),
    // and what --remove would remove from the registry and the hosts file is
    // listed, in text and JSON.
    XpVolume xp(true);
    offline::SetHiveValues(xp.system, "ControlSet001\\Services\\evil",
                           {{"ImagePath", "\\??\\C:\\Downloads\\setup.exe"}}, 2);
    Tree w98;
    w98.File("WINDOWS/SYSTEM.DAT", "CREG");
    w98.File("WINDOWS/HOSTS", offline::InfectedHosts());
    w98.File("WINDOWS/WININIT.INI", "[rename]\r\nNUL=C:\\OLD.EXE\n", 0444);
    w98.File("GAMES/X.EXE", offline::InfectedSample(5), 0444);
    for (Tree* volume : {&xp.tree, &w98}) {
        const auto untouched = volume->Snapshot();
        const offline::RunResult listed = Scan({volume->Root()});
        const offline::RunResult listedJson = Scan({"--json", volume->Root()});
        EXPECT_EQ(volume->Snapshot(), untouched) << listed.out;
        EXPECT_EQ(listed.status, 1) << listed.out << listed.err;
        const bool nt = volume == &xp.tree;
        EXPECT_TRUE(Has(listed.out, nt ? "C:\\WINDOWS\\system32\\drivers\\etc\\hosts     W32/Nyxem.Worm would be "
                                         "removed with --remove\n"
                                       : "C:\\WINDOWS\\hosts     W32/Nyxem.Worm would be removed with --remove\n"))
            << listed.out;
        EXPECT_TRUE(Has(listedJson.out, "\"type\":\"hosts\",")) << listedJson.out;
        if (!nt) continue;
        for (const char* value : {"Run\\Updater", "Run\\Autorun", "Run\\Tool", "RunServices\\Arcade"}) {
            EXPECT_TRUE(Has(listed.out, "start-up value HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\"
                                        "CurrentVersion\\" + std::string(value) + " (" + xp.hive +
                                        "): would be removed with --remove\n"))
                << value << listed.out;
        }
        EXPECT_FALSE(Has(listed.out, "Notepad")) << listed.out;
        EXPECT_TRUE(Has(listed.out, "service HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\evil (" +
                                        xp.system + "): would be removed with --remove\n"))
            << listed.out;
        size_t wouldRemove = 0;
        for (const std::string& line : listedJson.Lines())
            wouldRemove += Has(line, "\"action\":\"would_remove\"");
        EXPECT_EQ(wouldRemove, 6u) << listedJson.out;  // 4 values, 1 service, the hosts file
    }

    Tree clean;
    clean.File("a/b.txt", "hello");
    const offline::RunResult none = Scan({clean.Root()});
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(FoundPaths(none).empty());
    EXPECT_TRUE(Has(none.out, "Scanning completed"));
}

// Bad arguments: a clear message, status 2, nothing read or changed.
TEST(VendrikaScan, BadArgumentsTouchNothing) {
    XpVolume volume;
    const auto before = volume.tree.Snapshot();
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--remove"}, "no path to scan"},
        {{"--remove", "--frobnicate", volume.tree.Root()}, "unknown option '--frobnicate'"},
        {{"--remove", volume.tree.Root(), volume.tree.Path("missing")}, "No such file or directory"},
        {{"--remove", volume.tree.Root(), volume.tree.Path("Documents/letter.txt")}, "not a folder"},
        {{"--remove", volume.tree.Root(), ""}, "an empty path"},
        // Scanners' "recursive" must not delete.
        {{"-r", volume.tree.Root()}, "'-r' is refused: removal has no short option, it is '--remove'"},
        // After "--" an option's name is a path like any other.
        {{volume.tree.Root(), "--", "--remove"}, "--remove: No such file or directory"},
    };
    for (const Case& c : cases) {
        const offline::RunResult r = Scan(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_TRUE(Has(r.err, c.message)) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(volume.tree.Snapshot(), before) << c.message;
    }
    const offline::RunResult help = Scan({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "Usage: vendrika-scan"));
    for (const char* documented : {"\\xHH", "\"_hex\"", "\"found\"", "\"removed\"", "\"not_removed\"",
                                   "\"would_remove\"", "\"version\""})
        EXPECT_TRUE(Has(help.out, documented)) << documented;
    const offline::RunResult version = Scan({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(Has(version.out, "vendrika-scan 1.0"));
}

// --remove on a tree gives the window's lines and statistics for the same
// machine (the engine on the simulated Windows), and cleans the hive, which
// reopens intact with its other values.
TEST(VendrikaScan, RemoveGivesTheWindowsResult) {
    // (An infected hosts file would be deleted at the first detection, and
    // counted or not depending on the listing order.)
    XpVolume volume;
    // The same machine, simulated, as the window sees it.
    pf::sim::SimMachine machine;
    machine.SetVersion(pf::sim::WinVersion::WinXp);
    machine.SetDriveType('C', pf::kDriveFixed);
    for (const auto& [rel, content] : volume.tree.Snapshot()) {
        std::string path = "C:\\" + rel;
        std::replace(path.begin(), path.end(), '/', '\\');
        if (rel.back() == '/') {
            path.pop_back();
            machine.AddFolder(path);
            continue;
        }
        const std::string bytes = content.substr(0, content.rfind("|mode="));
        machine.AddFile(path, bytes,
                        Has(content, "|mode=292") ? pf::kFileAttributeReadonly : pf::kFileAttributeArchive);
    }
    const pf::HKEY hklm = pf::kHkeyLocalMachine;
    machine.SetString(hklm, std::string("Software\\") + kRun, "Updater", "\"C:\\Downloads\\setup.exe\" /silent");
    machine.SetString(hklm, std::string("Software\\") + kRun, "Autorun", "C:\\autorun.exe");
    machine.SetString(hklm, std::string("Software\\") + kRun, "Notepad", "notepad.exe");
    machine.SetString(hklm, std::string("Software\\") + kRun, "Tool",
                      "%SystemDrive%\\Program Files\\Tools\\tool.exe");
    machine.SetString(hklm, std::string("Software\\") + kRunServices, "Arcade", "c:\\games\\GAME.EXE");
    machine.environment["SYSTEMDRIVE"] = "C:";
    std::vector<std::string> window;
    ResetScanContextForTest();
    ResetTextSignaturesForTest();
    {
        pf::sim::ScopedSimMachine guard(machine);
        app::ScopedWindowReport report;
        g_scan.mainWindow = reinterpret_cast<pf::HWND>(uintptr_t(0xC1EA));
        machine.windowProc = [&](pf::HWND, pf::UINT message, pf::WPARAM, pf::LPARAM) -> pf::LRESULT {
            if (message == WM_SCAN_ADDLINE) window.emplace_back(g_scan.reportLine);
            return 0;
        };
        RunScan();
    }
    ResetScanContextForTest();
    ResetTextSignaturesForTest();

    const offline::RunResult r = Scan({"--remove", volume.tree.Root()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    std::vector<std::string> lines;
    for (const std::string& line : r.Lines())
        if (!Has(line, " FOUND") && line != "Scanning completed" && line.rfind("Windows: ", 0) != 0)
            lines.push_back(line);
    EXPECT_TRUE(Has(r.out, "Windows: C:\\WINDOWS (" + volume.tree.Root() + "), Windows XP (NT 5.1); registry " +
                               volume.hive + "; hosts file C:\\WINDOWS\\system32\\drivers\\etc\\hosts\n"))
        << r.out;
    // Detections come in the order of each system's listing: compare the
    // lines before the summary as a set, the summary as it is.
    ASSERT_GE(window.size(), 6u);
    ASSERT_GE(lines.size(), 6u);
    std::vector<std::string> windowSummary(window.end() - 6, window.end());
    std::vector<std::string> scanSummary(lines.end() - 6, lines.end());
    EXPECT_EQ(scanSummary, windowSummary);
    window.resize(window.size() - 6);
    lines.resize(lines.size() - 6);
    std::sort(window.begin(), window.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, window);
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "System Registry     W32/Vendrika.Trojan removed") >= 4);
    EXPECT_TRUE(Has(r.out, "Total files removed\t\t:  4"));

    EXPECT_FALSE(Exists(volume.tree.Path("autorun.exe")));
    EXPECT_FALSE(Exists(volume.tree.Path("Downloads/setup.exe")));
    EXPECT_FALSE(Exists(volume.tree.Path("Games/game.exe")));  // read-only, removed all the same
    EXPECT_FALSE(Exists(volume.tree.Path("Program Files/Tools/tool.exe")));
    EXPECT_TRUE(Exists(volume.tree.Path("WINDOWS/system32/drivers/etc/hosts")));
    EXPECT_TRUE(Exists(volume.tree.Path("Documents/look-alike.exe")));
    std::map<std::string, std::string> run, runServices;
    ASSERT_TRUE(offline::HiveValues(volume.hive, kRun, &run));
    ASSERT_TRUE(offline::HiveValues(volume.hive, kRunServices, &runServices));
    EXPECT_EQ(run, (std::map<std::string, std::string>{{"Notepad", "notepad.exe"}}));
    EXPECT_TRUE(runServices.empty());
    std::map<std::string, std::string> version;
    ASSERT_TRUE(offline::HiveValues(volume.hive, "Microsoft\\Windows NT\\CurrentVersion", &version));
    EXPECT_EQ(version["CurrentVersion"], "5.1");
    EXPECT_FALSE(Exists(volume.hive + ".vendrika-new"));

    // A second run finds nothing left.
    EXPECT_EQ(Scan({"--remove", volume.tree.Root()}).status, 0);
}

// Plants an NT Windows in `tree` under `system32` (folders as spelled
// there), with its version and start-up values; returns the hive's path.
std::string PlantWindows(Tree& tree, const std::string& system32, const char* version,
                         const std::vector<std::pair<std::string, std::string>>& run) {
    tree.Folder(system32 + "/config");
    const std::string hive = tree.Path(system32 + "/config/SOFTWARE");
    offline::WriteSoftwareHive(hive);
    offline::WriteEmptyHive(tree.Path(system32 + "/config/SYSTEM"));
    offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", version}});
    offline::SetHiveValues(hive, kRun, run);
    return hive;
}

// Which Windows the cleanup uses, and that its start-up values meet its
// files: folders in any letter case, a decoy in another case beside the real
// one (case-sensitive mounts), WINNT, the Windows volume given second (still
// C: to its registry), two Windows volumes (the first one's registry), paths
// beyond ASCII; no Windows at all, and a 95/98/Me volume, clean the files
// but exit 2, saying what was not examined.
TEST(VendrikaScan, FindsTheWindowsWhateverItsNamesAndPlace) {
    struct Case {
        const char* what;
        // Plants the first and second PATH; the hive whose Run key must end empty.
        std::function<std::string(Tree&, Tree&)> plant;
        bool secondFirst;  // the second tree is the first PATH
        const char* note;
        int status;
        const char* gone = nullptr;  // a file of the first tree that must be removed
        char told = 0;               // the second tree's letter, told with --drive
    } cases[] = {
        {"letter case", [](Tree& a, Tree&) {
             a.File("a/b.exe", offline::InfectedSample(3));
             return PlantWindows(a, "windows/SYSTEM32", "5.1", {{"x", "C:\\A\\B.EXE"}});
         }, false, "Windows: C:\\windows (", 1},
        {"decoy System32", [](Tree& a, Tree&) {
             a.Folder("WINDOWS/System32");  // empty, beside the real one
             a.File("Downloads/setup.exe", offline::InfectedSample(0));
             return PlantWindows(a, "WINDOWS/system32", "5.1", {{"Updater", "C:\\Downloads\\setup.exe"}});
         }, false, "Windows XP (NT 5.1); registry ", 1},
        {"WINNT", [](Tree& a, Tree&) {
             a.File("Tools/t.exe", offline::InfectedSample(4));
             return PlantWindows(a, "WINNT/system32", "5.0", {{"t", "\"c:\\tools\\t.exe\" -s"}});
         }, false, "Windows: C:\\WINNT (", 1},
        {"Windows volume second", [](Tree& a, Tree& b) {
             a.File("Programs/evil.exe", offline::InfectedSample(5));
             b.File("Data/other.exe", offline::InfectedSample(6));
             return PlantWindows(a, "WINDOWS/system32", "5.1",
                                 {{"e", "C:\\Programs\\evil.exe"}, {"o", "D:\\Data\\other.exe"}});
         }, true, ", PATH 2)", 2},  // D: may be another volume to that Windows
        {"second volume's letter told", [](Tree& a, Tree& b) {
             a.File("Programs/evil.exe", offline::InfectedSample(5));
             b.File("Data/other.exe", offline::InfectedSample(6));
             return PlantWindows(a, "WINDOWS/system32", "5.1",
                                 {{"e", "C:\\Programs\\evil.exe"}, {"o", "E:\\Data\\other.exe"}});
         }, false, "Windows: C:\\WINDOWS (", 1, nullptr, 'E'},
        {"two Windows volumes", [](Tree& a, Tree& b) {
             a.File("x.exe", offline::InfectedSample(7));
             // The second Windows: its registry is not the one cleaned.
             PlantWindows(b, "WINDOWS/system32", "5.1", {{"keep", "D:\\y.exe"}});
             return PlantWindows(a, "WINDOWS/system32", "5.1", {{"x", "C:\\x.exe"}});
         }, false, "another Windows: D:\\WINDOWS (", 2},
        {"WINNT beside WINDOWS", [](Tree& a, Tree&) {
             a.File("x.exe", offline::InfectedSample(7));
             a.Folder("WINNT/system32/config");
             offline::WriteSoftwareHive(a.Path("WINNT/system32/config/SOFTWARE"), "C:\\WINNT");
             a.File("WINNT/system32/drivers/etc/hosts", offline::InfectedHosts());
             return PlantWindows(a, "WINDOWS/system32", "5.1", {{"x", "C:\\x.exe"}});
         }, false, "another Windows: C:\\WINNT (", 2, "WINNT/system32/drivers/etc/hosts"},
        {"Windows calling itself D:", [](Tree& a, Tree&) {
             a.File("Downloads/setup.exe", offline::InfectedSample(0));
             const std::string hive = PlantWindows(a, "WINDOWS/system32", "5.1", {{"u", "D:\\Downloads\\setup.exe"}});
             offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"SystemRoot", "D:\\WINDOWS"}});
             return hive;
         }, false, "Windows: D:\\WINDOWS (", 1, "Downloads/setup.exe"},
        {"no SystemRoot", [](Tree& a, Tree&) {
             a.File("x.exe", offline::InfectedSample(7));
             a.Folder("WINDOWS/system32/config");
             const std::string hive = a.Path("WINDOWS/system32/config/SOFTWARE");
             offline::WriteEmptyHive(hive);
             offline::SetHiveValues(hive, kRun, {{"x", "C:\\x.exe"}});
             return hive;
         }, false, "cannot be read (no SystemRoot in its SOFTWARE hive): taken as C:", 2},
        {"95/98/Me calling itself D:", [](Tree& a, Tree&) {
             a.File("x.exe", offline::InfectedSample(7));
             a.File("WINDOWS/SYSTEM.DAT", "CREG");
             a.File("msdos.sys", offline::MsdosSys("D:\\WINDOWS"));
             return std::string();  // its registry is not examined: exit 2
         }, false, "Windows: D:\\WINDOWS (", 2, "x.exe"},
        {"beyond ASCII", [](Tree& a, Tree&) {
             a.File("Donn\xc3\xa9" "es/\xc3\xa9t\xc3\xa9.exe", offline::InfectedSample(8));
             return PlantWindows(a, "WINDOWS/system32", "5.1",
                                 {{"v", "C:\\Donn\xc3\xa9" "es\\\xc3\xa9t\xc3\xa9.exe"}});
         }, false, "Windows XP", 1},
        {"no Windows", [](Tree& a, Tree&) {
             a.File("x.exe", offline::InfectedSample(9));
             return std::string();
         }, false, "no Windows found on any PATH", 2},
    };
    for (const Case& c : cases) {
        Tree a, b;
        const std::string hive = c.plant(a, b);
        std::map<std::string, std::string> otherBefore;
        const std::string otherHive = b.Path("WINDOWS/system32/config/SOFTWARE");
        offline::HiveValues(otherHive, kRun, &otherBefore);
        const offline::RunResult r =
            Scan(c.secondFirst ? std::vector<std::string>{"--remove", b.Root(), a.Root()}
                 : c.told      ? std::vector<std::string>{"--remove", a.Root(), "--drive",
                                                     std::string(1, c.told) + ":=" + b.Root()}
                               : std::vector<std::string>{"--remove", a.Root(), b.Root()});
        if (c.gone) EXPECT_FALSE(Exists(a.Path(c.gone))) << c.what << r.out;
        EXPECT_EQ(r.status, c.status) << c.what << r.out << r.err;
        EXPECT_TRUE(Has(r.out, c.note)) << c.what << r.out;
        EXPECT_EQ(FoundPaths(r).size(), Has(c.what, "second") ? 2u : 1u) << c.what << r.out;
        const size_t hostsFiles = c.gone && Has(c.gone, "hosts") ? 1 : 0;  // counted, not a program
        EXPECT_TRUE(Has(r.out, "Total files removed\t\t:  " + std::to_string(FoundPaths(r).size() + hostsFiles)))
            << c.what << r.out;
        if (hive.empty()) continue;
        std::map<std::string, std::string> run, otherAfter;
        ASSERT_TRUE(offline::HiveValues(hive, kRun, &run)) << c.what;
        EXPECT_TRUE(run.empty()) << c.what << run.begin()->second;
        offline::HiveValues(otherHive, kRun, &otherAfter);
        EXPECT_EQ(otherAfter, otherBefore) << c.what;
    }

    // A decoy in the very spelling asked for on the way to the hosts file:
    // the folder that holds the rest of the path wins.
    {
        Tree a;
        a.Folder("WINDOWS/system32/drivers");
        a.File("WINDOWS/system32/DRIVERS/etc/hosts", offline::InfectedHosts());
        a.File("x.exe", offline::InfectedSample(2));
        PlantWindows(a, "WINDOWS/system32", "5.1", {});
        const offline::RunResult r = Scan({"--remove", a.Root()});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_FALSE(Exists(a.Path("WINDOWS/system32/DRIVERS/etc/hosts"))) << r.out;
    }

    // Letter case in every name, JSON, the hosts file and a worm's name.
    Tree tree;
    tree.Folder("windows/SYSTEM32/Config");
    const std::string hive = tree.Path("windows/SYSTEM32/Config/software");
    offline::WriteSoftwareHive(hive);
    offline::WriteEmptyHive(tree.Path("windows/SYSTEM32/Config/system"));
    offline::SetHiveValues(hive, "microsoft\\windows\\currentversion\\run", {{"x", "C:\\A\\B.EXE"}});
    tree.File("windows/SYSTEM32/Drivers/ETC/HOSTS", offline::InfectedHosts());
    tree.File("a/b.exe", offline::InfectedSample(3));
    const offline::RunResult r = Scan({"--remove", "--json", tree.Root()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"action\":\"removed\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"type\":\"registry\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"name\":\"W32/Nyxem.Worm\"")) << r.out;
    EXPECT_FALSE(Exists(tree.Path("windows/SYSTEM32/Drivers/ETC/HOSTS")));
    std::map<std::string, std::string> run;
    ASSERT_TRUE(offline::HiveValues(hive, "Microsoft\\Windows\\CurrentVersion\\Run", &run));
    EXPECT_TRUE(run.empty());

    Tree old;
    old.File("WINDOWS/SYSTEM.DAT", "CREG");
    old.File("WINDOWS/HOSTS", offline::InfectedHosts());
    old.File("GAMES/X.EXE", offline::InfectedSample(5));
    const offline::RunResult w98 = Scan({"--remove", old.Root()});
    EXPECT_EQ(w98.status, 2) << w98.out << w98.err;
    EXPECT_TRUE(Has(w98.out, "Windows 95/98/Me; hosts file C:\\WINDOWS\\hosts; its registry (SYSTEM.DAT, "
                             "USER.DAT) is not examined")) << w98.out;
    EXPECT_FALSE(Exists(old.Path("GAMES/X.EXE")));
    EXPECT_FALSE(Exists(old.Path("WINDOWS/HOSTS")));  // where that Windows keeps it
}

// Links not followed (but a link given as PATH), unreadable folders and
// files, names too long for Windows or spelling another path, files that
// cannot be removed: reported, skipped, status 2.
TEST(VendrikaScan, ReportsWhatItCannotReadOrRemove) {
    Tree tree;
    tree.File("ok/infected.exe", offline::InfectedSample(1));
    Tree outside;
    outside.File("elsewhere.exe", offline::InfectedSample(2));
    tree.Folder("loop");
    ASSERT_EQ(symlink("..", tree.Path("loop/up").c_str()), 0);
    ASSERT_EQ(symlink(outside.Path("elsewhere.exe").c_str(), tree.Path("ok/link.exe").c_str()), 0);
    ASSERT_EQ(symlink(outside.Root().c_str(), tree.Path("outside").c_str()), 0);
    const offline::RunResult links = Scan({tree.Root()});
    EXPECT_EQ(links.status, 1) << links.err;
    EXPECT_EQ(FoundPaths(links), std::set<std::string>{tree.Path("ok/infected.exe")});
    EXPECT_TRUE(Has(links.out, "Total files scanned\t\t:  1"));

    // A symbolic link given as PATH (a rescue system's /mnt/win) is the
    // folder it names: followed once, there and nowhere below.
    const std::string named = outside.Path("named-link");
    ASSERT_EQ(symlink(tree.Root().c_str(), named.c_str()), 0);
    const offline::RunResult viaLink = Scan({named});
    EXPECT_EQ(viaLink.status, 1) << viaLink.out << viaLink.err;
    EXPECT_EQ(FoundPaths(viaLink), std::set<std::string>{named + "/ok/infected.exe"});

    // Names the walk cannot be given: each told exactly once, never cut
    // short into another name or read as another path; status 2.
    struct Unusable {
        const char* what;
        std::string file;  // infected
        std::string told;  // the path reported
        const char* why;
    } unusable[] = {
        {"file path over 259 characters", "d/" + std::string(200, 'x') + "/" + std::string(60, 'y') + ".exe",
         "d/" + std::string(200, 'x') + "/" + std::string(60, 'y') + ".exe", ": path too long"},
        {"folder path over 259 characters", "e/" + std::string(250, 'f') + "/" + std::string(10, 'g') + "/in.exe",
         "e/" + std::string(250, 'f') + "/" + std::string(10, 'g'), ": path too long"},
        {"backslash in a name", "Downloads\\setup.exe", "Downloads\\setup.exe", ": name holds a backslash"},
    };
    for (const Unusable& u : unusable) {
        Tree volume;
        volume.File(u.file, offline::InfectedSample(4));
        // A clean program at the Windows path the backslash name spells,
        // and its start-up value: neither is the worm's.
        volume.Folder("WINDOWS/system32/config");
        const std::string hive = volume.Path("WINDOWS/system32/config/SOFTWARE");
        offline::WriteSoftwareHive(hive);
        offline::SetHiveValues(hive, kRun, {{"Updater", "C:\\Downloads\\setup.exe"}});
        volume.File("Downloads/setup.exe", "MZ clean program");
        const offline::RunResult r = Scan({"--remove", volume.Root()});
        EXPECT_EQ(r.status, 2) << u.what << r.out << r.err;
        const std::string told = volume.Path(u.told) + u.why;
        size_t times = 0;
        for (size_t at = r.err.find(told); at != std::string::npos; at = r.err.find(told, at + 1)) ++times;
        EXPECT_EQ(times, 1u) << u.what << r.err;
        EXPECT_TRUE(Exists(volume.Path(u.file))) << u.what;
        EXPECT_TRUE(Exists(volume.Path("Downloads/setup.exe"))) << u.what;
        std::map<std::string, std::string> run;
        ASSERT_TRUE(offline::HiveValues(hive, kRun, &run));
        EXPECT_EQ(run.size(), 1u) << u.what;
        EXPECT_FALSE(Has(r.out, " FOUND")) << u.what << r.out;
    }

    if (geteuid() != 0) GTEST_SKIP() << "permission cases need root to switch user";
    // As an ordinary user: a folder that cannot be read, a candidate file
    // that cannot be read, an infected file in a folder that cannot change.
    tree.File("closed/hidden.exe", offline::InfectedSample(6));
    chmod(tree.Path("closed").c_str(), 0);
    tree.File("unreadable/sample.exe", offline::InfectedSample(7), 0);
    tree.File("fixed/stuck.exe", offline::InfectedSample(8));
    chmod(tree.Path("fixed").c_str(), 0555);
    // A folder that may be read but not searched: its names are listed,
    // its files cannot be examined.
    tree.File("listable/unseen.exe", offline::InfectedSample(9));
    chmod(tree.Path("listable").c_str(), 0444);
    RunOptions nobody;
    nobody.asNobody = true;
    const offline::RunResult r = Scan({"--remove", tree.Root()}, nobody);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, tree.Path("closed") + ": cannot be read: Permission denied")) << r.err;
    EXPECT_TRUE(Has(r.err, tree.Path("unreadable/sample.exe") + ": cannot be read")) << r.err;
    EXPECT_TRUE(Has(r.err, tree.Path("listable/unseen.exe") + ": cannot be examined: Permission denied"))
        << r.err;
    EXPECT_TRUE(Has(r.out, "C:\\fixed\\stuck.exe     W32/Vendrika.Gen.Trojan Unable to remove")) << r.out;
    EXPECT_TRUE(Has(r.out, "C:\\ok\\infected.exe     W32/Vendrika.Gen.Trojan removed")) << r.out;
    EXPECT_TRUE(Has(r.err, tree.Path("fixed/stuck.exe") + ": cannot be removed: Permission denied")) << r.err;
    EXPECT_TRUE(Exists(tree.Path("fixed/stuck.exe")));

    // Quiet still says what could not be removed; JSON carries the outcome,
    // the problems (also as text on standard error) and the exit status.
    const offline::RunResult quiet = Scan({"--remove", "--quiet", tree.Root()}, nobody);
    EXPECT_EQ(quiet.status, 2);
    EXPECT_TRUE(Has(quiet.out, "C:\\fixed\\stuck.exe     W32/Vendrika.Gen.Trojan Unable to remove")) << quiet.out;
    const offline::RunResult json = Scan({"--remove", "--json", tree.Root()}, nobody);
    EXPECT_EQ(json.status, 2);
    EXPECT_TRUE(Has(json.out, "\"windows_path\":\"C:\\\\fixed\\\\stuck.exe\",\"name\":\"W32/Vendrika.Gen.Trojan\","
                              "\"action\":\"not_removed\"}")) << json.out;
    EXPECT_TRUE(Has(json.out, "{\"type\":\"error\",\"path\":\"" + tree.Path("closed") +
                                  "\",\"message\":\"cannot be read: Permission denied\"}")) << json.out;
    EXPECT_TRUE(Has(json.err, tree.Path("closed") + ": cannot be read: Permission denied")) << json.err;
    EXPECT_TRUE(Has(json.Lines().back(), "\"infected\":1,\"removed\":0,")) << json.out;
    EXPECT_TRUE(Has(json.Lines().back(), "\"exit_code\":2}")) << json.out;

    // A read-only volume: its cause once, however many files stay.
    Tree readOnly;
    for (int i = 0; i < 3; ++i) readOnly.File("f" + std::to_string(i) + ".exe", offline::InfectedSample(i));
    Tree mount;
    const std::string bind = "mount --bind '" + readOnly.Root() + "' '" + mount.Root() + "' && mount -o remount,ro,bind '" +
                             mount.Root() + "'";
    if (std::system((bind + " 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "read-only case needs mount (root)";
    const offline::RunResult ro = Scan({"--remove", mount.Root()});
    std::system(("umount '" + mount.Root() + "'").c_str());
    EXPECT_EQ(ro.status, 2);
    size_t unable = 0, causes = 0;
    for (const std::string& line : ro.Lines()) unable += Has(line, "Unable to remove");
    for (size_t at = ro.err.find("read-only file system"); at != std::string::npos;
         at = ro.err.find("read-only file system", at + 1))
        ++causes;
    EXPECT_EQ(unable, 3u) << ro.out;
    EXPECT_EQ(causes, 1u) << ro.err;
    EXPECT_TRUE(Has(ro.err, mount.Root() + ": read-only file system: nothing on it can be removed")) << ro.err;
}

// A hive that cannot be opened or written is reported and stays byte for
// byte as it was; the files are cleaned all the same.
TEST(VendrikaScan, HiveThatCannotBeWrittenStaysAsItWas) {
    struct Case {
        const char* what;
        void (*spoil)(XpVolume&);
        bool needsUser;
    } cases[] = {
        // The hive itself may be written: only a new hive beside it may not.
        {"folder not writable", [](XpVolume& v) {
             chmod(v.hive.c_str(), 0666);
             chmod(v.tree.Path("WINDOWS/system32/config").c_str(), 0555);
         }, true},
        {"not a hive", [](XpVolume& v) {
             std::string bytes = offline::ReadFile(v.hive);
             bytes[0] = 'X';
             v.tree.File("WINDOWS/system32/config/SOFTWARE", bytes);
         }, false},
        {"log pending", [](XpVolume& v) {
             std::string bytes = offline::ReadFile(v.hive);
             bytes[4] = char(bytes[4] + 1);
             v.tree.File("WINDOWS/system32/config/SOFTWARE", bytes);
         }, false},
        // The new hive could be written, but not given the old one's owner.
        {"owner cannot be kept", [](XpVolume& v) {
             chmod(v.hive.c_str(), 0666);
             chmod(v.system.c_str(), 0666);
         }, true},
        // Not a leftover of ours: never removed, nothing written.
        {"folder at the new name", [](XpVolume& v) {
             v.tree.Folder("WINDOWS/system32/config/SOFTWARE.vendrika-new/x");
             v.tree.Folder("WINDOWS/system32/config/SYSTEM.vendrika-new/x");
         }, false},
    };
    for (const Case& c : cases) {
        if (c.needsUser && geteuid() != 0) continue;
        XpVolume volume;
        c.spoil(volume);
        const std::string before = offline::ReadFile(volume.hive);
        RunOptions options;
        options.asNobody = c.needsUser;
        const offline::RunResult r = Scan({"--remove", volume.tree.Root()}, options);
        EXPECT_EQ(r.status, 2) << c.what << r.out << r.err;
        EXPECT_TRUE(Has(r.err, "registry hive cannot be")) << c.what << r.err;
        EXPECT_EQ(offline::ReadFile(volume.hive), before) << c.what;
        EXPECT_EQ(Exists(volume.hive + ".vendrika-new/x"), std::string(c.what) == "folder at the new name");
        EXPECT_FALSE(Exists(volume.tree.Path("Downloads/setup.exe"))) << c.what;
        EXPECT_FALSE(Has(r.out, "System Registry")) << c.what;
    }
}

// SIGINT or SIGTERM in the middle of a removal, or an output that fails (a
// closed pipe, a full disk): the scan stops at the next entry, reports
// "Scanning terminated" where it still can, exits 2; every infected file and
// its start-up value are either both gone or both there, and the hive reopens.
TEST(VendrikaScan, InterruptedRunLeavesNothingHalfWritten) {
    struct Case {
        const char* what;
        int signal;
        bool closePipe;
        const char* outputTo;
        const char* message;  // on standard error
    } cases[] = {
        {"Ctrl-C", SIGINT, false, nullptr, nullptr},
        {"SIGTERM", SIGTERM, false, nullptr, nullptr},
        {"closed pipe", 0, true, nullptr, "standard output cannot be written: Broken pipe"},
        {"full output", 0, false, "/dev/full", "standard output cannot be written: No space left"},
    };
    for (const Case& c : cases) {
        Tree tree;
        tree.Folder("WINDOWS/system32/config");
        const std::string hive = tree.Path("WINDOWS/system32/config/SOFTWARE");
        offline::WriteSoftwareHive(hive);
        std::vector<std::pair<std::string, std::string>> values;
        const int kInfected = 60;
        for (int i = 0; i < kInfected; ++i) {
            const std::string folder = "data/" + std::to_string(i);
            tree.File(folder + "/evil.exe", offline::InfectedSample(i % 70, unsigned(i)));
            for (int k = 0; k < 150; ++k) tree.File(folder + "/f" + std::to_string(k), "x");
            values.push_back({"v" + std::to_string(i), "C:\\data\\" + std::to_string(i) + "\\evil.exe"});
        }
        ASSERT_TRUE(offline::SetHiveValues(hive, kRun, values));
        RunOptions options;
        // Interrupt once the first file is gone: a fixed delay can outlast the
        // whole run on a quick machine.
        if (!c.outputTo) {
            options.interruptWhen = [&] {
                for (int i = 0; i < kInfected; ++i)
                    if (!Exists(tree.Path("data/" + std::to_string(i) + "/evil.exe"))) return true;
                return false;
            };
        }
        options.interruptSignal = c.signal;
        options.closeOutputOnInterrupt = c.closePipe;
        options.outputTo = c.outputTo;
        const offline::RunResult r = Scan({"--remove", tree.Root()}, options);
        EXPECT_EQ(r.status, 2) << c.what << r.out << r.err;
        if (c.message) {
            EXPECT_TRUE(Has(r.err, c.message)) << c.what << r.err;
        } else {
            EXPECT_TRUE(Has(r.out, "Scanning terminated")) << c.what << r.out;
            EXPECT_TRUE(Has(r.out, "Total files scanned")) << c.what << r.out;
        }
        std::map<std::string, std::string> left;
        ASSERT_TRUE(offline::HiveValues(hive, kRun, &left)) << c.what;
        int removed = 0;
        for (int i = 0; i < kInfected; ++i) {
            const bool file = Exists(tree.Path("data/" + std::to_string(i) + "/evil.exe"));
            const bool value = left.count("v" + std::to_string(i)) == 1;
            EXPECT_EQ(file, value) << c.what << i;
            removed += !file;
        }
        // A full output fails at its first line, before any removal.
        if (!c.outputTo) {
            EXPECT_GT(removed, 0) << c.what;
        }
        EXPECT_LT(removed, kInfected) << c.what << ": the run ended before the interruption";
        EXPECT_FALSE(Exists(hive + ".vendrika-new")) << c.what;
    }
}

// Names of any bytes: in text no name starts a line of its own or reaches
// the terminal as a control; JSON is valid UTF-8 and gives every name's
// exact bytes back.
TEST(VendrikaScan, NamesCannotForgeALine) {
    const std::string names[] = {
        "x\n/tmp/win/explorer.exe: W32/Vendrika.Gen.Trojan FOUND\nScanning completed\n",
        "\x1b[2K\x1b[1A\rescape.exe",
        "lead \xf5\xff\xfe.exe",
        "overlong \xc0\xaf.exe",
        "surrogate \xed\xa0\x80.exe",
        "cut \xe2\x80.exe",
        "c1 \xc2\x9b" "2J.exe",
        "separator \xe2\x80\xa8 and bidi \xe2\x80\xae.exe",
        "quote \"q\"\ttab\x7f.exe",  // (backslashes: in every windows_path)
        "caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80.exe",
    };
    Tree tree;
    std::set<std::string> planted;
    for (size_t i = 0; i < std::size(names); ++i) {
        const std::string rel = "n" + std::to_string(i) + "/" + names[i];
        tree.File(rel, offline::InfectedSample(int(i) + 1));
        planted.insert(tree.Path(rel));
    }
    const offline::RunResult text = Scan({tree.Root()});
    EXPECT_EQ(text.status, 1) << text.err;
    EXPECT_TRUE(ValidUtf8(text.out)) << text.out;
    for (const char* control : {"\x1b", "\r", "\x7f", "\xc2\x9b", "\xe2\x80\xa8", "\xe2\x80\xae"})
        EXPECT_FALSE(Has(text.out, control)) << text.out;
    size_t found = 0;
    for (const std::string& line : text.Lines()) {
        EXPECT_FALSE(Has(line, "\t") && !Has(line, "Total files")) << line;
        if (Has(line, " FOUND")) {
            ++found;
            EXPECT_EQ(line.rfind(tree.Root() + "/n", 0), 0u) << line;
        }
    }
    EXPECT_EQ(found, planted.size()) << text.out;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), long(found) + 1 + 6 + 1) << text.out;

    const offline::RunResult json = Scan({"--json", tree.Root()});
    EXPECT_TRUE(ValidUtf8(json.out)) << json.out;
    std::set<std::string> paths;
    for (const std::string& line : json.Lines())
        if (Has(line, "\"type\":\"detection\"")) paths.insert(JsonField(line, "path"));
    EXPECT_EQ(paths, planted);
}

// On a terminal the progress line shows files, rate and the current path
// shortened to 60 characters; without one there is none (checked above).
TEST(VendrikaScan, ShowsProgressOnATerminal) {
    Tree tree;
    // The first status already names the long folder.
    const std::string folder = std::string(90, 'q');
    for (int i = 0; i < 300; ++i) tree.File(folder + "/f" + std::to_string(i), "x");
    RunOptions terminal;
    terminal.terminal = true;
    const offline::RunResult r = Scan({tree.Root()}, terminal);  // the terminal's text is in err
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(Has(r.out, "files/s"));
    int shortened = 0;
    for (size_t at = r.err.find(" files/s, "); at != std::string::npos;
         at = r.err.find(" files/s, ", at + 1)) {
        const std::string shown = r.err.substr(at + 10, r.err.find_first_of("\r\033", at + 10) - at - 10);
        EXPECT_LE(shown.size(), 60u) << shown;
        shortened += shown.size() == 60 && Has(shown, "..");
    }
    EXPECT_GT(shortened, 0) << r.err;

    // Detections on the same terminal: each on a line of its own, the
    // progress line cleared before it.
    for (int i = 0; i < 5; ++i) tree.File(folder + "/e" + std::to_string(i) + ".exe", offline::InfectedSample(i));
    terminal.outputOnTerminal = true;
    const offline::RunResult both = Scan({tree.Root()}, terminal);
    EXPECT_EQ(both.status, 1) << both.err;
    int found = 0;
    for (size_t at = both.err.find(" FOUND"); at != std::string::npos; at = both.err.find(" FOUND", at + 1)) {
        ++found;
        const size_t start = both.err.rfind(tree.Root(), at);
        ASSERT_NE(start, std::string::npos);
        const std::string before = both.err.substr(0, start);
        EXPECT_TRUE(start == 0 || before.back() == '\n' ||
                    (before.size() >= 3 && before.compare(before.size() - 3, 3, "\033[K") == 0))
            << before.substr(before.size() > 80 ? before.size() - 80 : 0);
    }
    EXPECT_EQ(found, 5) << both.err;
}

// The WININIT.INI entry of a 95/98/Me Windows: at the end of its [rename]
// section, every other byte kept, the mode kept, nothing else left in the
// folder; a link in its place is not followed.
TEST(VendrikaScan, WininitEntryKeepsEveryOtherByte) {
    const std::string entry = "NUL=D:\\SHARED~1\\INFECT~1.EXE\r\n";
    struct Case {
        const char* what;
        const char* old;  // nullptr: no WININIT.INI yet
        std::string expected;
        unsigned mode;
    } cases[] = {
        {"none yet", nullptr, "[rename]\r\n" + entry, 0644},
        {"section before another", "[rename]\r\nNUL=C:\\A.EXE\r\n[x]\nk=v\n",
         "[rename]\r\nNUL=C:\\A.EXE\r\n" + entry + "[x]\nk=v\n", 0644},
        {"last section, no final newline", "[Rename]\nNUL=C:\\A.EXE", "[Rename]\nNUL=C:\\A.EXE\r\n" + entry, 0444},
        {"no section", "[x]\r\nk=v\r\n", "[x]\r\nk=v\r\n[rename]\r\n" + entry, 0644},
        {"end-of-file mark", "[rename]\r\nA=B\r\n\x1A\xff junk", "[rename]\r\nA=B\r\n" + entry + "\x1A\xff junk",
         0644},
    };
    for (const Case& c : cases) {
        Tree tree;
        tree.File("WINDOWS/SYSTEM.DAT", "CREG");
        if (c.old) tree.File("WINDOWS/WININIT.INI", c.old, c.mode);
        pf::posix::PosixPlatform platform;
        std::string why;
        ASSERT_TRUE(platform.AddDrive(tree.Root(), &why)) << why;
        platform.SetWindows(pf::posix::PosixPlatform::FindWindows(platform, 'C'));
        EXPECT_TRUE(platform.RewriteWininit(
            [](const std::string& old) { return WithRenameEntry(old, "NUL", "D:\\SHARED~1\\INFECT~1.EXE"); }, &why))
            << c.what << why;
        const auto after = tree.Snapshot();
        EXPECT_EQ(after.size(), 3u) << c.what;  // the folder, SYSTEM.DAT, WININIT.INI
        EXPECT_EQ(after.at("WINDOWS/WININIT.INI"), c.expected + "|mode=" + std::to_string(c.mode)) << c.what;
    }

    Tree tree, outside;
    tree.File("WINDOWS/SYSTEM.DAT", "CREG");
    outside.File("precious", "keep");
    ASSERT_EQ(symlink(outside.Path("precious").c_str(), tree.Path("WINDOWS/WININIT.INI").c_str()), 0);
    pf::posix::PosixPlatform platform;
    std::string why;
    ASSERT_TRUE(platform.AddDrive(tree.Root(), &why));
    platform.SetWindows(pf::posix::PosixPlatform::FindWindows(platform, 'C'));
    EXPECT_FALSE(platform.RewriteWininit([](const std::string& old) { return WithRenameEntry(old, "NUL", "D:\\X.EXE"); },
                                         &why));
    EXPECT_EQ(offline::ReadFile(outside.Path("precious")), "keep");
    EXPECT_EQ(tree.Snapshot().size(), 3u);  // the link as it was, nothing beside it
    EXPECT_EQ(tree.Snapshot().at("WINDOWS/WININIT.INI"), "-> " + outside.Path("precious"));
}

namespace {
// Counts what is renamed into a folder under a name, while it runs.
class RenameCounter {
public:
    // `prefix`: names that begin with `name` count.
    RenameCounter(const std::string& folder, const std::string& name, bool prefix = false)
        : name_(name), prefix_(prefix) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO);
    }
    ~RenameCounter() { close(fd_); }
    int Count() {
        alignas(struct inotify_event) char buffer[65536];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* p = buffer; p < buffer + n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(p);
                if (e->len && (prefix_ ? std::string(e->name).rfind(name_, 0) == 0 : name_ == e->name)) ++count_;
                p += sizeof *e + e->len;
            }
        return count_;
    }

private:
    int fd_;
    std::string name_;
    bool prefix_;
    int count_ = 0;
};
}  // namespace

// What a run killed with SIGKILL leaves: a file it was deleting, under a
// name that says what it was, and new hives never put in place. Every run
// tells them; --remove removes them (a link itself, never its target).
TEST(VendrikaScan, WhatAKilledRunLeftIsToldAndRemoved) {
    XpVolume volume;
    Tree outside;
    outside.File("precious", "keep");
    const std::string config = volume.tree.Path("WINDOWS/system32/config/");
    volume.tree.File("Downloads/setup.exe.vendrika-deleting-999-1", offline::InfectedSample(4));
    volume.tree.File("WINDOWS/system32/config/SOFTWARE.vendrika-new", "regf, half written");
    volume.tree.File("WINDOWS/system32/config/SYSTEM.vendrika-new", "");
    ASSERT_EQ(symlink(outside.Path("precious").c_str(), (config + "SAM.vendrika-new").c_str()), 0);
    const auto before = volume.tree.Snapshot();

    const offline::RunResult report = Scan({volume.tree.Root()});
    EXPECT_EQ(report.status, 1) << report.out << report.err;
    EXPECT_EQ(volume.tree.Snapshot(), before);
    EXPECT_TRUE(Has(report.out, volume.tree.Path("Downloads/setup.exe.vendrika-deleting-999-1") +
                                    ": left by an interrupted run of vendrika-scan while it deleted the file setup.exe"))
        << report.out;
    for (const char* hive : {"SOFTWARE", "SYSTEM", "SAM"})
        EXPECT_TRUE(Has(report.out, config + hive + ".vendrika-new: a new hive left by an interrupted run of "
                                                     "vendrika-scan, never put in place (the hive beside it is as it "
                                                     "was): would be removed with --remove"))
            << hive << report.out;

    RenameCounter deleting(volume.tree.Path("Games"), "game.exe.vendrika-deleting-", true);
    const offline::RunResult r = Scan({"--remove", volume.tree.Root()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(deleting.Count(), 1);  // the file being deleted is named after itself
    EXPECT_FALSE(Exists(volume.tree.Path("Downloads/setup.exe.vendrika-deleting-999-1")));
    for (const char* hive : {"SOFTWARE", "SYSTEM", "SAM"}) {
        EXPECT_FALSE(Exists(config + hive + ".vendrika-new")) << hive;
        EXPECT_TRUE(Has(r.out, config + hive + ".vendrika-new: a new hive left")) << hive << r.out;
    }
    EXPECT_EQ(offline::ReadFile(outside.Path("precious")), "keep");
}

// Each hive is written once per run, through a new file beside it that
// takes the old one's place with its owner and mode; an earlier run's
// leftover goes first (a link by itself, never its target); other names of
// the hive keep the old contents and are reported.
TEST(VendrikaScan, HiveIsWrittenOnceAsTheOldOneWas) {
    XpVolume volume;
    std::vector<std::pair<std::string, std::string>> values;
    for (int i = 0; i < 13; ++i) {
        volume.tree.File("apps/p" + std::to_string(i) + ".exe", offline::InfectedSample(i * 5, unsigned(i)));
        values.push_back({"t" + std::to_string(i), "C:\\apps\\p" + std::to_string(i) + ".exe"});
    }
    ASSERT_TRUE(offline::SetHiveValues(volume.hive, kRun, values));
    ASSERT_EQ(chmod(volume.hive.c_str(), 0604), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(volume.hive.c_str(), 4321, 8765), 0);
    }
    Tree outside;
    outside.File("target", "not the hive");
    const std::string config = volume.tree.Path("WINDOWS/system32/config/");
    ASSERT_EQ(symlink(outside.Path("target").c_str(), (config + "SOFTWARE.vendrika-new").c_str()), 0);
    volume.tree.File("WINDOWS/system32/config/SYSTEM.vendrika-new", "an earlier run's");
    ASSERT_EQ(link(volume.hive.c_str(), (config + "software.bak").c_str()), 0);
    const std::string old = offline::ReadFile(volume.hive);

    RenameCounter software(config, "SOFTWARE"), system(config, "SYSTEM");
    const offline::RunResult r = Scan({"--remove", volume.tree.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;  // the other name
    EXPECT_EQ(software.Count(), 1);
    EXPECT_EQ(system.Count(), 0);  // nothing of the worm's in it
    EXPECT_TRUE(Has(r.err, "1 other name(s) (hard links): they keep its old contents")) << r.err;
    std::map<std::string, std::string> run;
    ASSERT_TRUE(offline::HiveValues(volume.hive, kRun, &run));
    EXPECT_EQ(run, (std::map<std::string, std::string>{{"Notepad", "notepad.exe"}}));
    EXPECT_EQ(offline::ReadFile(config + "software.bak"), old);
    EXPECT_EQ(offline::ReadFile(outside.Path("target")), "not the hive");
    EXPECT_FALSE(Exists(config + "SOFTWARE.vendrika-new"));
    EXPECT_FALSE(Exists(config + "SYSTEM.vendrika-new"));
    struct stat st;
    ASSERT_EQ(lstat(volume.hive.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 8765u);
    }
}

// A second removing run over the same Windows is refused before it
// changes anything, while the first holds the hives' folder.
TEST(VendrikaScan, OneRemovingRunAtATime) {
    XpVolume volume;
    const auto before = volume.tree.Snapshot();
    const int folder = open(volume.tree.Path("WINDOWS/system32/config").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    const offline::RunResult second = Scan({"--remove", volume.tree.Root()});
    EXPECT_EQ(second.status, 2);
    EXPECT_TRUE(Has(second.err, "another run of vendrika-scan is changing this Windows' registry")) << second.err;
    EXPECT_EQ(volume.tree.Snapshot(), before);
    // A report-only run changes nothing and needs no lock.
    EXPECT_EQ(Scan({volume.tree.Root()}).status, 1);
    close(folder);
    EXPECT_EQ(Scan({"--remove", volume.tree.Root()}).status, 1);
}

// The worm's services, found in every control set by an ImagePath that
// names the infected file, and its start-up values in the 32-bit view of a
// 64-bit Windows: listed by a report-only run, removed by --remove; the
// services of other programs stay, whatever their names.
TEST(VendrikaScan, RemovesTheWormsServicesAndWow64Values) {
    XpVolume volume;
    volume.tree.File("WINDOWS/system32/evil.exe", offline::InfectedSample(12));
    volume.tree.File("WINDOWS/system32/alg.exe", "the real service");
    const char kWow[] = "Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
    ASSERT_TRUE(offline::SetHiveValues(volume.hive, kWow,
                                       {{"Up32", "C:\\Downloads\\setup.exe -q"}, {"Keep32", "C:\\other.exe"}}));
    struct Service {
        const char* name;
        const char* imagePath;
        int type;
        bool worms;
        const char* serviceDll;  // hosted in a shared svchost (Type 0x20)
    } services[] = {
        {"evil", "\"C:\\Downloads\\setup.exe\" -service", 1, true},
        {"evildrv", "\\??\\c:\\downloads\\SETUP.EXE", 1, true},
        {"evilroot", "\\SystemRoot\\System32\\evil.exe", 1, true},
        {"evilexp", "%SystemRoot%\\system32\\EVIL.exe -k x", 2, true},
        {"evilrel", "System32\\evil.exe", 2, true},
        {"setup", "C:\\Program Files\\setup.exe", 1, false},         // same name, another folder
        {"alg", "%SystemRoot%\\System32\\alg.exe", 2, false},
        {"prefix", "C:\\Downloads\\setup.exe.bak", 1, false},        // a longer name
        {"quoted", "\"C:\\Downloads\\setup.exe -q\"", 1, false},      // a quoted other file
        {"evilhosted", "%SystemRoot%\\system32\\svchost.exe -k netsvcs", 2, true, "%SystemRoot%\\system32\\evil.exe"},
        {"RpcSs", "%SystemRoot%\\system32\\svchost.exe -k rpcss", 2, false, "%SystemRoot%\\system32\\rpcss.dll"},
    };
    for (const char* set : {"ControlSet001", "ControlSet002"})
        for (const Service& s : services) {
            const std::string key = std::string(set) + "\\Services\\" + s.name;
            ASSERT_TRUE(offline::SetHiveValues(volume.system, key, {{"ImagePath", s.imagePath}}, s.type));
            ASSERT_TRUE(offline::SetHiveValues(volume.system, key + "\\Enum", {{"0", "Root\\LEGACY"}}));
            if (!s.serviceDll) continue;
            ASSERT_TRUE(offline::SetHiveDword(volume.system, key, "Type", 0x20));
            ASSERT_TRUE(offline::SetHiveValues(volume.system, key + "\\Parameters", {{"ServiceDll", s.serviceDll}}, 2));
        }
    const auto before = volume.tree.Snapshot();

    const offline::RunResult report = Scan({volume.tree.Root()});
    EXPECT_EQ(report.status, 1) << report.err;
    EXPECT_EQ(volume.tree.Snapshot(), before);
    for (const char* set : {"ControlSet001", "ControlSet002"})
        for (const Service& s : services) {
            const std::string line = std::string("service HKEY_LOCAL_MACHINE\\SYSTEM\\") + set + "\\Services\\" +
                                     s.name + " (" + volume.system + "): would be removed with --remove";
            EXPECT_EQ(Has(report.out, line), s.worms) << line << report.out;
        }
    EXPECT_TRUE(Has(report.out, "start-up value HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\"
                                "CurrentVersion\\Run\\Up32 (" + volume.hive + "): would be removed with --remove"))
        << report.out;

    RenameCounter written(volume.tree.Path("WINDOWS/system32/config"), "SYSTEM");
    const offline::RunResult r = Scan({"--remove", volume.tree.Root()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(written.Count(), 1);  // twelve keys, one write
    std::map<std::string, std::string> values;
    for (const char* set : {"ControlSet001", "ControlSet002"})
        for (const Service& s : services) {
            const std::string key = std::string(set) + "\\Services\\" + s.name;
            EXPECT_EQ(offline::HiveValues(volume.system, key, &values), !s.worms) << key;
            EXPECT_EQ(offline::HiveValues(volume.system, key + "\\Enum", &values), !s.worms) << key;
        }
    ASSERT_TRUE(offline::HiveValues(volume.system, "ControlSet001\\Services\\Tcpip", &values));
    ASSERT_TRUE(offline::HiveValues(volume.hive, kWow, &values));
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"Keep32", "C:\\other.exe"}}));
    EXPECT_FALSE(Exists(volume.tree.Path("WINDOWS/system32/evil.exe")));
}

// Windows' own service host replaced by the worm: it is told with how to
// restore it and stays, and so does every service it hosts (their keys are
// what Windows needs to start); a worm's service the host runs goes.
TEST(VendrikaScan, AnInfectedServiceHostKeepsTheServicesItHosts) {
    XpVolume volume;
    volume.tree.File("WINDOWS/system32/svchost.exe", offline::InfectedSample(12));
    volume.tree.File("WINDOWS/system32/services.exe", offline::InfectedSample(14));
    volume.tree.File("WINDOWS/system32/wormsvc.dll", offline::InfectedSample(5));
    struct Service {
        const char* name;
        const char* imagePath;
        unsigned type;
        const char* serviceDll;
        bool worms;
    } services[] = {
        {"RpcSs", "%SystemRoot%\\system32\\svchost.exe -k rpcss", 0x20, "%SystemRoot%\\system32\\rpcss.dll", false},
        {"DcomLaunch", "%SystemRoot%\\system32\\svchost.exe -k DcomLaunch", 0x20, "%SystemRoot%\\system32\\rpcss.dll", false},
        {"Dhcp", "%SystemRoot%\\system32\\svchost.exe -k netsvcs", 0x20, "%SystemRoot%\\system32\\dhcpcsvc.dll", false},
        {"Eventlog", "%SystemRoot%\\system32\\services.exe", 0x20, nullptr, false},
        {"wormsvc", "%SystemRoot%\\system32\\svchost.exe -k netsvcs", 0x20, "%SystemRoot%\\system32\\wormsvc.dll", true},
    };
    for (const char* set : {"ControlSet001", "ControlSet002"})
        for (const Service& s : services) {
            const std::string key = std::string(set) + "\\Services\\" + s.name;
            ASSERT_TRUE(offline::SetHiveValues(volume.system, key, {{"ImagePath", s.imagePath}}, 2));
            ASSERT_TRUE(offline::SetHiveDword(volume.system, key, "Type", s.type));
            if (s.serviceDll)
                ASSERT_TRUE(offline::SetHiveValues(volume.system, key + "\\Parameters", {{"ServiceDll", s.serviceDll}}, 2));
        }

    const offline::RunResult r = Scan({"--remove", volume.tree.Root()});
    // Two programs of Windows could not be removed: not all of it went.
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    for (const char* program : {"svchost.exe", "services.exe"}) {
        EXPECT_TRUE(Exists(volume.tree.Path(std::string("WINDOWS/system32/") + program))) << program;
        EXPECT_TRUE(Has(r.out, std::string("C:\\WINDOWS\\system32\\") + program +
                                   "     W32/Vendrika.Gen.Trojan in a program of Windows itself: not ended nor removed, "
                                   "restore it from the installation media"))
            << r.out;
    }
    EXPECT_FALSE(Exists(volume.tree.Path("WINDOWS/system32/wormsvc.dll")));
    std::map<std::string, std::string> values;
    for (const char* set : {"ControlSet001", "ControlSet002"})
        for (const Service& s : services) {
            const std::string key = std::string(set) + "\\Services\\" + s.name;
            EXPECT_EQ(offline::HiveValues(volume.system, key, &values), !s.worms) << key << r.out;
        }
}

// A second process plants symbolic links to a file outside the volume at
// every name the cleaner creates beside the hives, as fast as it can, over
// 100 removing runs: each run cleans or reports that it could not write a
// hive, and nothing outside the volume is ever written.
TEST(VendrikaScan, LinksPlantedBesideTheHiveRedirectNothing) {
    Tree outside;
    outside.File("target", "outside the volume", 0644);
    const std::string target = outside.Path("target");
    int cleaned = 0, refused = 0, swapped = 0;
    XpVolume model;
    for (int round = 0; round < 100; ++round) {
        Tree tree;
        ASSERT_EQ(std::system(("cp -a '" + model.tree.Root() + "/.' '" + tree.Root() + "'").c_str()), 0);
        const std::string config = tree.Path("WINDOWS/system32/config/");
        const std::string hive = config + "SOFTWARE";
        const pid_t planter = fork();
        if (planter == 0) {
            const std::string names[] = {config + "SOFTWARE.vendrika-new", config + "SYSTEM.vendrika-new"};
            const std::string spare = config + "planted";
            for (unsigned i = 0;; ++i) {
                const std::string& name = names[i % 2];
                if (i % 97 == 0 && round % 2) {
                    // Over whatever stands there, the cleaner's own file too.
                    if (symlink(target.c_str(), spare.c_str()) == 0) rename(spare.c_str(), name.c_str());
                } else {
                    symlink(target.c_str(), name.c_str());  // where nothing stands
                }
                usleep(i % 7 * 20);
            }
        }
        ASSERT_GT(planter, 0);
        const offline::RunResult r = Scan({"--remove", tree.Root()});
        kill(planter, SIGKILL);
        waitpid(planter, nullptr, 0);
        ASSERT_EQ(offline::ReadFile(target), "outside the volume") << "run " << round;
        ASSERT_TRUE(r.status == 1 || r.status == 2) << r.out << r.err;
        // A link the planter made and took away again while the walk looked
        // at the folder is told as not scanned: true, and no other problem.
        bool onlyTransient = true;
        std::istringstream errors(r.err);
        for (std::string line; std::getline(errors, line);) {
            const bool planters = Has(line, config + "planted: ") || Has(line, ".vendrika-new: ");
            if (!(planters && Has(line, "not scanned"))) onlyTransient = false;
        }
        std::map<std::string, std::string> run;
        if (r.status == 1 || onlyTransient) {
            ASSERT_TRUE(offline::HiveValues(hive, kRun, &run)) << r.err;
            EXPECT_EQ(run.size(), 1u) << r.err;
            ++cleaned;
        } else if (Has(r.err, "registry hive was replaced by another program")) {
            ++swapped;  // the planter's link now stands at the hive's name
        } else {
            ASSERT_TRUE(offline::HiveValues(hive, kRun, &run)) << r.err;
            EXPECT_TRUE(Has(r.err, "registry hive cannot be written")) << r.err;
            ++refused;
        }
    }
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, geteuid());
    std::printf("100 runs: %d cleaned, %d refused to write a hive, %d saw it swapped\n", cleaned, refused,
                swapped);
}

// On NTFS through ntfs-3g (root, /dev/fuse, mkntfs): the new hive keeps the
// old one's NTFS attributes (hidden, system, archive).
TEST(VendrikaScan, HiveKeepsItsNtfsAttributes) {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0 ||
        std::system("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null") != 0)
        GTEST_SKIP() << "needs root, /dev/fuse, mkntfs and ntfs-3g";
    Tree work;
    const std::string image = work.Path("ntfs.img"), mount = work.Path("mnt");
    work.Folder("mnt");
    ASSERT_EQ(std::system(("truncate -s 16M " + image + " && mkntfs -F -f -q " + image +
                           " >/dev/null 2>&1 && ntfs-3g " + image + " " + mount).c_str()),
              0);
    struct Unmount {
        std::string at;
        ~Unmount() { EXPECT_EQ(std::system(("umount " + at).c_str()), 0); }
    } unmount{mount};
    const std::string config = mount + "/WINDOWS/system32/config/";
    std::system(("mkdir -p " + config + " " + mount + "/apps").c_str());
    offline::WriteSoftwareHive(config + "SOFTWARE");
    offline::WriteEmptyHive(config + "SYSTEM");
    EXPECT_TRUE(offline::SetHiveValues(config + "SOFTWARE", kRun, {{"t", "C:\\apps\\p.exe"}, {"k", "x.exe"}}));
    std::ofstream(mount + "/apps/p.exe", std::ios::binary) << offline::InfectedSample(3);
    const unsigned char hiddenSystemArchive[4] = {0, 0, 0, 0x26};  // big-endian
    EXPECT_EQ(setxattr((config + "SOFTWARE").c_str(), "system.ntfs_attrib_be", hiddenSystemArchive, 4, 0), 0);

    const offline::RunResult r = Scan({"--remove", mount});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    std::map<std::string, std::string> run;
    EXPECT_TRUE(offline::HiveValues(config + "SOFTWARE", kRun, &run));
    EXPECT_EQ(run.size(), 1u);
    unsigned char attributes[4] = {};
    EXPECT_EQ(getxattr((config + "SOFTWARE").c_str(), "system.ntfs_attrib_be", attributes, 4), 4);
    EXPECT_EQ(std::string(attributes, attributes + 4), std::string(hiddenSystemArchive, hiddenSystemArchive + 4));
}

// The engine's own service-key calls, offline: the SYSTEM hive answers them
// as Windows would (CurrentControlSet through Select\Current, a key that
// still has subkeys refused, an open handle of a deleted key), and the
// deletions are written once.
TEST(VendrikaScan, SystemHiveAnswersTheEnginesServiceCalls) {
    XpVolume volume;
    ASSERT_TRUE(offline::SetHiveDword(volume.system, "Select", "Current", 2));
    for (const std::string set : {"ControlSet001", "ControlSet002"}) {
        const std::string key = set + "\\Services\\evil";
        ASSERT_TRUE(offline::SetHiveValues(volume.system, key, {{"ImagePath", "C:\\Downloads\\setup.exe"}}));
        ASSERT_TRUE(offline::SetHiveValues(volume.system, key + "\\Enum", {{"0", "Root\\LEGACY_EVIL"}}));
        ASSERT_TRUE(offline::SetHiveValues(volume.system, key + "\\Security", {{"Security", "x"}}));
    }
    ASSERT_TRUE(offline::SetHiveValues(volume.system, "ControlSet001\\Services\\evil\\Parameters", {{"p", "x"}}));
    pf::posix::PosixPlatform platform;
    std::string why;
    ASSERT_TRUE(platform.AddDrive(volume.tree.Root(), &why)) << why;
    platform.SetWindows(pf::posix::PosixPlatform::FindWindows(platform, 'C'));
    ASSERT_TRUE(platform.LockRegistry(&why)) << why;
    const pf::HKEY hklm = pf::kHkeyLocalMachine;
    pf::HKEY key = nullptr;
    ASSERT_EQ(platform.RegOpenKeyExA(hklm, "SYSTEM\\CurrentControlSet\\Services\\EVIL", 0, pf::kKeyRead, &key), 0);
    char data[64] = {};
    pf::DWORD size = sizeof data, type = 0;
    EXPECT_EQ(platform.RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<pf::BYTE*>(data), &size), 0);
    EXPECT_STREQ(data, "C:\\Downloads\\setup.exe");

    pf::SetPlatform(&platform);
    EXPECT_EQ(DeleteServiceKeys("evil"), 1);
    pf::SetPlatform(nullptr);
    size = sizeof data;
    EXPECT_EQ(platform.RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<pf::BYTE*>(data), &size),
              1018);  // ERROR_KEY_DELETED
    EXPECT_EQ(platform.RegCloseKey(key), 0);
    EXPECT_EQ(platform.RegDeleteKeyA(hklm, "SYSTEM\\ControlSet001\\Services\\evil"), pf::LONG(pf::kErrorAccessDenied));
    EXPECT_EQ(platform.RegDeleteKeyA(hklm, "SYSTEM\\ControlSet009\\Services\\evil"), pf::LONG(pf::kErrorFileNotFound));
    EXPECT_EQ(platform.RegDeleteKeyA(hklm, "SYSTEM"), pf::LONG(pf::kErrorAccessDenied));
    EXPECT_EQ(platform.hiveWrites, 0);
    EXPECT_TRUE(platform.CommitRegistry());
    EXPECT_EQ(platform.hiveWrites, 1);

    std::map<std::string, std::string> values;
    EXPECT_TRUE(offline::HiveValues(volume.system, "ControlSet001\\Services\\evil\\Parameters", &values));
    EXPECT_FALSE(offline::HiveValues(volume.system, "ControlSet001\\Services\\evil\\Enum", &values));
    EXPECT_FALSE(offline::HiveValues(volume.system, "ControlSet001\\Services\\evil\\Security", &values));
    EXPECT_FALSE(offline::HiveValues(volume.system, "ControlSet002\\Services\\evil", &values));
    EXPECT_TRUE(offline::HiveValues(volume.system, "ControlSet001\\Services\\Tcpip", &values));
}

// A second detector beside the signature table (its own name and lengths)
// is seen by the Linux front end as by the window: found, named and removed,
// in text and JSON; a file of its marker but of a length it does not take
// is never handed to it.
TEST(VendrikaScan, ASecondDetectorIsFoundNamedAndRemoved) {
    RunOptions second;
    second.program = CV_VENDRIKA_SCAN_SECOND;
    for (const bool json : {false, true}) {
        Tree tree;
        tree.File("data/marked.bin", second_detector::File(20));
        tree.File("data/too-long.bin", second_detector::File(100));
        tree.File("Downloads/setup.exe", offline::InfectedSample(0));
        std::vector<std::string> args = {"--remove", tree.Root()};
        if (json) args.insert(args.begin(), "--json");
        const offline::RunResult r = Scan(args, second);
        EXPECT_EQ(r.status, 2) << r.out << r.err;  // no Windows on it: no registry examined
        EXPECT_FALSE(Exists(tree.Path("data/marked.bin"))) << json;
        EXPECT_TRUE(Exists(tree.Path("data/too-long.bin"))) << json;
        EXPECT_FALSE(Exists(tree.Path("Downloads/setup.exe"))) << json;
        const std::string marked = tree.Path("data/marked.bin");
        if (json) {
            EXPECT_TRUE(Has(r.out, "{\"type\":\"detection\",\"path\":\"" + marked +
                                       "\",\"windows_path\":\"C:\\\\data\\\\marked.bin\",\"name\":\"" +
                                       second_detector::kName + "\",\"action\":\"removed\"}"))
                << r.out;
            EXPECT_TRUE(Has(r.out, "\"infected\":2,\"removed\":2")) << r.out;
        } else {
            EXPECT_TRUE(Has(r.out, marked + ": " + second_detector::kName + " FOUND\n")) << r.out;
            EXPECT_TRUE(Has(r.out, std::string("C:\\data\\marked.bin     ") + second_detector::kName + " removed\n"))
                << r.out;
            EXPECT_TRUE(Has(r.out, "Total files infected\t\t:  2")) << r.out;
        }
    }
    // Report-only: found and named, nothing changed.
    Tree tree;
    tree.File("marked.bin", second_detector::File(16));
    const auto before = tree.Snapshot();
    const offline::RunResult r = Scan({tree.Root()}, second);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, tree.Path("marked.bin") + ": " + second_detector::kName + " FOUND\n")) << r.out;
    EXPECT_EQ(tree.Snapshot(), before);
}

namespace {
// Counts the opens of one entry (inotify IN_OPEN on it; an O_PATH hold is
// no open).
class OpenCounter {
public:
    explicit OpenCounter(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        watch_ = inotify_add_watch(fd_, path.c_str(), IN_OPEN);
    }
    ~OpenCounter() { close(fd_); }
    bool Watching() const { return fd_ >= 0 && watch_ >= 0; }
    int Count() {
        alignas(struct inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* p = buffer; p < buffer + n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(p);
                count_ += (e->mask & IN_OPEN) != 0;
                p += sizeof *e + e->len;
            }
        return count_;
    }

private:
    int fd_ = -1, watch_ = -1;
    int count_ = 0;
};
}  // namespace

// A pipe or a device planted where the cleaner reads a file (the hosts
// file, a spelling of the SYSTEM hive, WININIT.INI) is never opened, as
// root, in a report-only or a removing run: the run ends, says what it
// could not examine, and nothing was opened.
TEST(VendrikaScan, DevicesAndPipesOnTheVolumeAreNeverOpened) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes need root";
    // An NT volume: a pipe as its hosts file, /dev/null's device as
    // "SYSTEM" beside the real hive spelt "System".
    for (const char* mode : {"", "--remove"}) {
        XpVolume xp;
        const std::string hosts = xp.tree.Path("WINDOWS/system32/drivers/etc/hosts");
        ASSERT_EQ(unlink(hosts.c_str()), 0);
        ASSERT_EQ(mkfifo(hosts.c_str(), 0666), 0);
        ASSERT_EQ(rename(xp.system.c_str(), xp.tree.Path("WINDOWS/system32/config/System").c_str()), 0);
        ASSERT_EQ(mknod(xp.system.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        OpenCounter hostsOpens(hosts), deviceOpens(xp.system);
        ASSERT_TRUE(hostsOpens.Watching() && deviceOpens.Watching());
        std::vector<std::string> args = {xp.tree.Root()};
        if (mode[0]) args.insert(args.begin(), mode);
        const offline::RunResult r = Scan(args);
        EXPECT_EQ(r.status, 2) << mode << r.out << r.err;
        EXPECT_EQ(hostsOpens.Count(), 0) << mode;
        EXPECT_EQ(deviceOpens.Count(), 0) << mode;
        EXPECT_TRUE(Has(r.err, hosts + ": not a regular file")) << mode << r.err;
        EXPECT_FALSE(Has(r.err, "SYSTEM hive")) << mode << r.err;  // the hive spelt "System" was read
    }

    // A 95/98/Me volume: pipes as its HOSTS and WININIT.INI, and a file on
    // a read-only volume beside it whose deletion must wait for that
    // Windows' next start.
    Tree win98, mount;
    win98.File("WINDOWS/SYSTEM.DAT", "CREG");
    win98.File("MSDOS.SYS", offline::MsdosSys());
    ASSERT_EQ(mkfifo(win98.Path("WINDOWS/WININIT.INI").c_str(), 0666), 0);
    ASSERT_EQ(mkfifo(win98.Path("WINDOWS/HOSTS").c_str(), 0666), 0);
    win98.File("GAMES/X.EXE", offline::InfectedSample(5));
    const std::string bind = "mount --bind '" + win98.Root() + "' '" + mount.Root() +
                             "' && mount -o remount,ro,bind '" + mount.Root() + "'";
    if (std::system((bind + " 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "the WININIT.INI case needs mount";
    const std::string wininit = mount.Path("WINDOWS/WININIT.INI");
    const std::string hosts = mount.Path("WINDOWS/HOSTS");
    OpenCounter wininitOpens(wininit), hostsOpens(hosts);
    const offline::RunResult r = Scan({"--remove", mount.Root()});
    std::system(("umount '" + mount.Root() + "'").c_str());
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(wininitOpens.Count(), 0);
    EXPECT_EQ(hostsOpens.Count(), 0);
    EXPECT_TRUE(Has(r.err, "WININIT.INI: cannot be written (not a plain file")) << r.err;
    EXPECT_TRUE(Has(r.err, hosts + ": not a regular file")) << r.err;
}

// A 95/98/Me WININIT.INI entry is run by that Windows at its next start
// with the letters it gives its drives: one for a drive whose letter is this
// scan's guess could delete another volume's file. It is written only for a
// letter that Windows tells (MSDOS.SYS) or the user tells (--drive).
TEST(VendrikaScan, Win98EntriesNameOnlyDrivesWhoseLetterIsKnown) {
    Tree win98, readOnly, mount;
    win98.File("WINDOWS/SYSTEM.DAT", "CREG");
    readOnly.File("GAMES/X.EXE", offline::InfectedSample(5));
    const std::string bind = "mount --bind '" + readOnly.Root() + "' '" + mount.Root() +
                             "' && mount -o remount,ro,bind '" + mount.Root() + "'";
    if (std::system((bind + " 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "needs mount";
    struct Case {
        bool msdosSys;
        bool told;
        bool written;
    } cases[] = {{false, false, false}, {true, false, false}, {false, true, true}, {true, true, true}};
    for (const Case& c : cases) {
        ::unlink(win98.Path("MSDOS.SYS").c_str());
        ::unlink(win98.Path("WINDOWS/WININIT.INI").c_str());
        if (c.msdosSys) win98.File("MSDOS.SYS", offline::MsdosSys());
        const offline::RunResult r = c.told ? Scan({"--remove", win98.Root(), "--drive", "D:=" + mount.Root()})
                                            : Scan({"--remove", win98.Root(), mount.Root()});
        const std::string what = std::string(c.msdosSys ? "MSDOS.SYS " : "") + (c.told ? "--drive" : "");
        EXPECT_EQ(r.status, 2) << what << r.out << r.err;
        EXPECT_EQ(Exists(win98.Path("WINDOWS/WININIT.INI")), c.written) << what << r.err;
        EXPECT_EQ(Has(r.err, "is not known, and an entry by another letter could delete another file"), !c.written)
            << what << r.err;
    }
    std::system(("umount '" + mount.Root() + "'").c_str());
}

namespace {
// Replaces every place of `from` in a file by `to` (same length; hivex
// leaves the cells it replaced behind): the hive's bytes as no tool but an
// editor of raw hives writes them. False when there is none.
bool PatchAll(const std::string& path, const std::string& from, const std::string& to) {
    std::string bytes = offline::ReadFile(path);
    size_t times = 0;
    for (size_t at = bytes.find(from); at != std::string::npos && from.size() == to.size();
         at = bytes.find(from, at + 1), ++times)
        bytes.replace(at, from.size(), to);
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return times > 0;
}
}  // namespace

// A value name that is no UTF-16 text (a lone surrogate: Windows accepts
// it, hivex cannot decode it) hides no value of its key: the worm's value
// beside it is found, and told as not removable when the key cannot be
// written back without that name (status 2); a worm's value so named is
// found and removed.
TEST(VendrikaScan, ValueNamesThatAreNoTextHideNothing) {
    const std::string odd = "\xE4\xB8\x80odd";  // stored as UTF-16 (U+4E00 "odd"), then made U+D800 "odd"
    const std::string worm = "\"C:\\Downloads\\setup.exe\" /silent";
    const struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> run;  // in the key's order
        const char* worms;  // the worm's value as told
        bool removable;
    } cases[] = {
        {"the worm's value after the odd one", {{odd, "notepad.exe"}, {"Updater", worm}}, "Updater", false},
        {"the worm's value is the odd one", {{odd, worm}, {"Notepad", "notepad.exe"}}, "\\xED\\xA0\\x80odd", true},
    };
    for (const Case& c : cases) {
        for (const bool remove : {false, true}) {
            Tree tree;
            tree.Folder("WINDOWS/system32/config");
            const std::string hive = tree.Path("WINDOWS/system32/config/SOFTWARE");
            offline::WriteSoftwareHive(hive);
            offline::WriteEmptyHive(tree.Path("WINDOWS/system32/config/SYSTEM"));
            offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "5.1"}});
            offline::SetHiveValues(hive, kRun, c.run);
            ASSERT_TRUE(PatchAll(hive, std::string("\x00\x4E" "o\0d\0d\0", 8), std::string("\x00\xD8" "o\0d\0d\0", 8)))
                << c.what;
            tree.File("Downloads/setup.exe", offline::InfectedSample(0));
            std::vector<std::string> args = {tree.Root()};
            if (remove) args.insert(args.begin(), "--remove");
            const offline::RunResult r = Scan(args);
            const std::string label = std::string(c.what) + (remove ? ", --remove" : "");
            EXPECT_EQ(r.status, c.removable ? 1 : 2) << label << r.out << r.err;
            EXPECT_EQ(Has(r.err, "Run: value \"" + std::string(c.worms) + "\" cannot be removed"), !c.removable)
                << label << r.err;
            if (!remove && c.removable) {
                EXPECT_TRUE(Has(r.out, "Run\\" + std::string(c.worms) + " (" + hive + "): would be removed"))
                    << label << r.out;
            }
            // The key as it is now: both values, or, once removed, the other one.
            hive_h* h = hivex_open(hive.c_str(), 0);
            ASSERT_NE(h, nullptr) << label;
            hive_node_h node = hivex_root(h);
            for (const char* part : {"Microsoft", "Windows", "CurrentVersion", "Run"})
                node = node ? hivex_node_get_child(h, node, part) : 0;
            EXPECT_EQ(node ? hivex_node_nr_values(h, node) : 0u, remove && c.removable ? 1u : 2u) << label;
            hivex_close(h);
            std::map<std::string, std::string> left;
            offline::HiveValues(hive, kRun, &left);
            EXPECT_EQ(left.count(c.removable ? "Notepad" : "Updater"), 1u) << label;
        }
    }

    // A name longer than Windows gives a program (a hive edited by hand):
    // its value cannot be enumerated, and is told, never passed in silence.
    XpVolume volume;
    ASSERT_TRUE(offline::SetHiveValues(volume.hive, kRun, {{std::string(17000, 'n'), worm}}));
    const offline::RunResult r = Scan({volume.tree.Root()});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(Has(r.err, "Run: a value name of 17000 bytes, longer than Windows gives a program")) << r.err;
}

// A start-up key of many values costs each detection what the key holds,
// not its square: 8,000 values and ten infected programs (each detection
// reads the whole key, and looks up every value by its name) take well
// under a second here; reading the key's values again at each look-up took
// over a minute. The bound leaves room for a loaded machine.
TEST(VendrikaScan, ManyStartUpValuesCostWhatTheKeyHolds) {
    const int kValues = 8000;
    Tree tree;
    tree.Folder("WINDOWS/system32/config");
    const std::string hive = tree.Path("WINDOWS/system32/config/SOFTWARE");
    offline::WriteSoftwareHive(hive);
    offline::WriteEmptyHive(tree.Path("WINDOWS/system32/config/SYSTEM"));
    offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "5.1"}});
    // Keys beside the path, as a real SOFTWARE hive has them (each open of
    // the key walks past them).
    for (int i = 0; i < 200; ++i) {
        offline::SetHiveValues(hive, "Microsoft\\Vendor" + std::to_string(i), {{"x", "y"}});
        if (i < 60) offline::SetHiveValues(hive, "Microsoft\\Windows\\CurrentVersion\\Part" + std::to_string(i), {{"x", "y"}});
    }
    std::vector<std::pair<std::string, std::string>> run;
    for (int i = 0; i < kValues; ++i)
        run.push_back({"App" + std::to_string(i), "C:\\Apps\\app" + std::to_string(i) + ".exe"});
    run.push_back({"Updater", "C:\\Downloads\\setup0.exe"});
    ASSERT_TRUE(offline::SetHiveValues(hive, kRun, run));
    for (int i = 0; i < 10; ++i)
        tree.File("Downloads/setup" + std::to_string(i) + ".exe", offline::InfectedSample(i));
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const offline::RunResult r = Scan({tree.Root()});
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = double(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(FoundPaths(r).size(), 10u) << r.out;
    EXPECT_TRUE(Has(r.out, "Run\\Updater (" + hive + "): would be removed")) << r.out;
    EXPECT_LT(seconds, 20.0) << kValues << " values";
    std::printf("%d start-up values, 10 detections: %.2f s\n", kValues, seconds);
}

// A report-only run tells each infected file once and counts it once: the
// infected hosts file, which every detection looks at again, and a file
// reached through two overlapping PATHs.
TEST(VendrikaScan, EachFileIsFoundOncePerRun) {
    XpVolume volume(true);  // four infected programs and the hosts file
    const std::string hosts = volume.tree.Path("WINDOWS/system32/drivers/etc/hosts");
    const struct {
        const char* what;
        std::vector<std::string> paths;
    } cases[] = {
        {"one PATH", {volume.tree.Root()}},
        {"overlapping PATHs", {volume.tree.Root(), volume.tree.Path("Downloads")}},
    };
    for (const auto& c : cases) {
        const offline::RunResult r = Scan(c.paths);
        EXPECT_EQ(r.status, 1) << c.what << r.err;
        size_t found = 0, hostsFound = 0;
        for (const std::string& line : r.Lines()) {
            found += Has(line, " FOUND");
            hostsFound += Has(line, hosts + ": ") && Has(line, " FOUND");
        }
        EXPECT_EQ(found, 5u) << c.what << r.out;
        EXPECT_EQ(hostsFound, 1u) << c.what << r.out;
        EXPECT_TRUE(Has(r.out, "Total files infected\t\t:  5")) << c.what << r.out;
    }
}
