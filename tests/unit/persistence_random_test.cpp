// Many generated hosts files and wininit.ini files, some malformed on
// purpose, checked against plain restatements of the rules. Deterministic:
// the same seeds every run. Meant to run under the sanitizers too.
#include <string>

#include "persistence/delayed_delete.h"
#include "persistence/hosts_file.h"
#include "persistence_model.h"
#include "scan_test_support.h"

using namespace pf;
using persistence_model::Random;

namespace {

const char kHosts[] = "C:\\WINDOWS\\system32\\drivers\\etc\\hosts";
const char kIni[] = "C:\\WINDOWS\\wininit.ini";

std::string Whitespace(Random& r) {
    static const char ws[] = {9, 10, 11, 12, 13, 32};
    std::string s;
    for (uint32_t n = r.Below(4) + 1; n; --n) s += ws[r.Below(6)];
    return s;
}

std::string RandomBytes(Random& r, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char(r.Below(256));
    return s;
}

// A hosts-like file: sometimes the header, pieces of the pattern with
// whitespace between them, noise, long runs that push things past 4096.
std::string HostsFile(Random& r) {
    std::string f;
    switch (r.Below(5)) {
        case 0: f = "begin"; break;
        case 1: f = "BEGIN"; break;
        case 2: f = "bEgIn"; break;
        case 3: f = "# hosts"; break;
        default: f = RandomBytes(r, r.Below(6)); break;
    }
    const std::string& plain = persistence_model::PlainPattern();
    for (uint32_t parts = r.Below(6); parts; --parts) {
        switch (r.Below(6)) {
            case 0: {  // the pattern, cut by whitespace, maybe shortened or altered
                size_t pos = 0;
                const size_t end = r.OneIn(4) ? r.Below(100) : 100;
                std::string piece;
                while (pos < end) {
                    const size_t n = std::min<size_t>(end - pos, r.Below(30) + 1);
                    piece += plain.substr(pos, n) + (r.OneIn(2) ? Whitespace(r) : "");
                    pos += n;
                }
                if (r.OneIn(8) && !piece.empty()) piece[r.Below(uint32_t(piece.size()))] ^= 1;
                f += piece;
                break;
            }
            case 1: f += std::string(r.Below(5000), r.OneIn(2) ? ' ' : 'x'); break;
            case 2: f += Whitespace(r); break;
            case 3: f += "127.0.0.1 localhost\r\n"; break;
            default: f += RandomBytes(r, r.Below(200)); break;
        }
    }
    return f;
}

// A wininit-like file: section headers in several spellings, entries, stray
// brackets, long lines, zero bytes, ^Z, lone and split carriage returns.
std::string WininitFile(Random& r) {
    static const char* const tokens[] = {"[rename]", "[RENAME]", "[Rename] ; c", "[boot]", "[",
                                         "NUL=C:\\OLD.EXE", "x=y", "", ";[rename]", " [rename]",
                                         "[renam"};
    std::string f;
    for (uint32_t lines = r.Below(12); lines; --lines) {
        std::string line;
        switch (r.Below(5)) {
            case 0: line = std::string(r.Below(1400) + 600, 'a') + (r.OneIn(2) ? "[rename]" : "["); break;
            case 1: line = RandomBytes(r, r.Below(40)); break;
            default: line = tokens[r.Below(sizeof tokens / sizeof tokens[0])]; break;
        }
        f += line;
        switch (r.Below(4)) {
            case 0: f += "\n"; break;
            case 1: f += "\r"; break;
            default: f += "\r\n"; break;
        }
    }
    if (r.OneIn(3) && !f.empty()) f.pop_back();  // no final line end
    return f;
}

class PersistenceRandomTest : public ScanTest {
protected:
    PersistenceRandomTest() { ResetTextSignaturesForTest(); }
    ~PersistenceRandomTest() override { ResetTextSignaturesForTest(); }
};

}  // namespace

TEST_F(PersistenceRandomTest, GeneratedHostsFilesMatchExactlyWhenTheRulesSaySo) {
    Random r(0x484F5354);
    int matches = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::string file = HostsFile(r);
        machine.AddFile(kHosts, file);
        const bool want = persistence_model::TextFileMatches(file);
        ASSERT_EQ(CheckTextFile("x", kHosts), want ? 1 : 0) << "case " << i;
        ASSERT_EQ(machine.Exists(kHosts), !want) << "case " << i;
        ASSERT_TRUE(machine.openFiles.empty());
        matches += want;
    }
    // The generator reaches both outcomes often enough to mean something.
    EXPECT_GT(matches, 150);
    EXPECT_LT(matches, 2850);
    EXPECT_EQ(g_scan.infectedCount, matches);
}

TEST_F(PersistenceRandomTest, GeneratedWininitFilesKeepEveryLine) {
    machine.SetVersion(sim::WinVersion::WinMe);
    ASSERT_TRUE(machine.AddFolder("C:\\WINDOWS\\TEMP"));
    static const char* const ops[] = {"CopyFileA", "_open", "fopen", "fgets", "_write", "_close"};
    Random r(0x57494E49);
    int failed = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string original = WininitFile(r);
        machine.AddFile(kIni, original);
        machine.ClearFaults();
        if (r.OneIn(3)) machine.FailCall(ops[r.Below(6)], int(r.Below(8)) + 1);
        const bool ok = AddWininitRenameEntry("NUL", "C:\\EVIL~1.EXE");
        machine.ClearFaults();
        const std::string now = machine.ReadFileText(kIni);
        if (ok) {
            ASSERT_EQ(now, persistence_model::RewrittenWininit(original, "NUL=C:\\EVIL~1.EXE\r\n"))
                << "case " << i;
        } else {
            ++failed;
            ASSERT_EQ(now, original) << "case " << i;
        }
        ASSERT_TRUE(machine.openFiles.empty());
        ASSERT_TRUE(machine.streams.empty());
    }
    EXPECT_GT(failed, 50);
    EXPECT_LT(failed, 600);
}
