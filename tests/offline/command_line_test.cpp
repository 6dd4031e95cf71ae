// vendrika-scan's command line: JSON's summary with --quiet, PATH lists
// (-f), --one-file-system, and a second Ctrl-C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/offline/offline_support.h"

using offline::RunOptions;
using offline::Scan;
using offline::Tree;

namespace {

const char kName[] = "W32/Vendrika.Gen.Trojan";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void WriteText(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// The detection lines' paths, in their order.
std::vector<std::string> Detected(const offline::RunResult& r) {
    std::vector<std::string> found;
    const std::string tail = std::string(": ") + kName + " FOUND";
    for (const std::string& line : r.Lines())
        if (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            found.push_back(line.substr(0, line.size() - tail.size()));
    return found;
}

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

}  // namespace

// With --json the last object is the summary, --quiet or not: a reader
// learns the exit code and the counts from it. --quiet drops only what is
// no failure (the Windows note, here), and keeps the errors.
TEST(VendrikaScanCommandLine, QuietJsonStillEndsWithTheSummary) {
    Tree clean, infected;
    clean.File("Documents/letter.txt", "Dear customer,\r\n");
    infected.Folder("WINDOWS/system32/config");
    offline::WriteSoftwareHive(infected.Path("WINDOWS/system32/config/SOFTWARE"));
    infected.File("Downloads/setup.exe", offline::InfectedSample(0));

    const offline::RunResult none = Scan({"--quiet", "--json", clean.Root()});
    EXPECT_EQ(none.status, 0) << none.err;
    ASSERT_EQ(none.Lines().size(), 1u) << none.out;
    EXPECT_TRUE(Has(none.Lines()[0], "{\"type\":\"summary\",\"version\":\"1.0\"")) << none.out;
    EXPECT_TRUE(Has(none.Lines()[0], "\"exit_code\":0}")) << none.out;

    // A Windows without its SYSTEM hive: the error stays, as the detection
    // does; the Windows note goes.
    const offline::RunResult found = Scan({"-q", "--json", infected.Root()});
    EXPECT_EQ(found.status, 2) << found.err;
    ASSERT_EQ(found.Lines().size(), 3u) << found.out;
    EXPECT_TRUE(Has(found.Lines()[0], "{\"type\":\"error\"")) << found.out;
    EXPECT_TRUE(Has(found.Lines()[0], "no SYSTEM hive")) << found.out;
    EXPECT_TRUE(Has(found.Lines()[1], "{\"type\":\"detection\"")) << found.out;
    EXPECT_TRUE(Has(found.Lines()[2], "{\"type\":\"summary\"")) << found.out;
    EXPECT_TRUE(Has(found.Lines()[2], "\"infected\":1,")) << found.out;
    EXPECT_TRUE(Has(found.Lines()[2], "\"exit_code\":2}")) << found.out;
    // Not quiet: the Windows note comes first, the summary still last.
    const offline::RunResult loud = Scan({"--json", infected.Root()});
    EXPECT_TRUE(Has(loud.Lines().front(), "\"type\":\"note\"")) << loud.out;
    EXPECT_TRUE(Has(loud.Lines().back(), "\"type\":\"summary\"")) << loud.out;
    // Quiet text keeps its silence about the status line.
    const offline::RunResult text = Scan({"--quiet", clean.Root()});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, "");

    const offline::RunResult help = Scan({"--help"});
    EXPECT_TRUE(Has(help.out, "always (--quiet too)")) << help.out;
}

// PATHs from a list, from a file or standard input, in their place among
// the arguments: a CR before the LF dropped, empty lines skipped, the last
// line without its LF, a line longer than any fixed buffer. A list that
// cannot be read, or a PATH in it that is no folder, is wrong arguments:
// nothing is scanned.
TEST(VendrikaScanCommandLine, PathListsFromAFileOrStandardInput) {
    Tree a, b, c, lists;
    for (Tree* t : {&a, &b, &c}) t->File("evil.exe", offline::InfectedSample(3));
    const std::string list = lists.Path("paths.txt");
    // A path of 3001 bytes that names b's folder.
    std::string longB = b.Root();
    while (longB.size() < 3000) longB += "/.";
    WriteText(list, "\n" + longB + "\r\n\r\n" + c.Root());
    const offline::RunResult fromFile = Scan({a.Root(), "-f", list});
    EXPECT_EQ(fromFile.status, 1) << fromFile.err;
    EXPECT_EQ(Detected(fromFile),
              (std::vector<std::string>{a.Path("evil.exe"), longB + "/evil.exe", c.Path("evil.exe")}))
        << fromFile.out;
    EXPECT_TRUE(Has(fromFile.out, "Total files scanned\t\t:  3")) << fromFile.out;

    // Standard input, before an argument; the long form.
    const std::string input = lists.Path("stdin.txt");
    WriteText(input, c.Root() + "\n" + b.Root() + "\n");
    RunOptions fromStdin;
    fromStdin.inputFrom = input.c_str();
    const offline::RunResult piped = Scan({"--file-list", "-", a.Root()}, fromStdin);
    EXPECT_EQ(piped.status, 1) << piped.err;
    EXPECT_EQ(Detected(piped), (std::vector<std::string>{c.Path("evil.exe"), b.Path("evil.exe"), a.Path("evil.exe")}))
        << piped.out;
    const offline::RunResult joined = Scan({"--file-list=" + list, "--json"});
    EXPECT_EQ(joined.status, 1) << joined.err;
    EXPECT_TRUE(Has(joined.Lines().back(), "\"infected\":2,")) << joined.out;

    // A list whose only PATHs are empty lines names nothing to scan.
    const std::string empty = lists.Path("empty.txt");
    WriteText(empty, "\n\r\n\n");
    // A line that holds a NUL byte.
    const std::string nul = lists.Path("nul.txt");
    WriteText(nul, a.Root() + "\n" + std::string("x\0y", 3) + "\n");
    const std::string bad = lists.Path("bad.txt");
    WriteText(bad, a.Root() + "\n" + a.Path("missing") + "\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{a.Root(), "-f", lists.Path("none.txt")}, "none.txt: No such file or directory"},
        {{a.Root(), "-f", lists.Root()}, "Is a directory"},
        {{a.Root(), "-f"}, "'-f' needs a FILE"},
        {{"-f", empty}, "no path to scan"},
        {{"-f", nul}, "line 2 holds a NUL byte"},
        {{"-f", bad}, "bad.txt, line 2: " + a.Path("missing") + ": No such file or directory"},
        {{"-f", "-", "-f", "-"}, "only once"},
    };
    for (const Case& k : cases) {
        const offline::RunResult r = Scan(k.args);
        EXPECT_EQ(r.status, 2) << k.message;
        EXPECT_TRUE(Has(r.err, k.message)) << r.err;
        EXPECT_EQ(r.out, "") << k.message;  // nothing scanned
    }
    // After "--", "-f" is a PATH like any other.
    const offline::RunResult path = Scan({a.Root(), "--", "-f"});
    EXPECT_EQ(path.status, 2);
    EXPECT_TRUE(Has(path.err, "-f: No such file or directory")) << path.err;
}

namespace {
// A tmpfs mounted on a folder of a tree for one test (root only).
class Mounted {
public:
    explicit Mounted(const std::string& at) : at_(at) {
        ok_ = mount("cv-other", at.c_str(), "tmpfs", 0, "mode=0777") == 0;
        if (!ok_) why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    ~Mounted() {
        if (ok_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

private:
    std::string at_, why_;
    bool ok_ = false;
};
}  // namespace

// --one-file-system: a folder on another file system than its PATH is not
// descended into and is told as a note (text and JSON, --quiet too); the
// status stays what the scanned part gives. Without it, it is scanned.
TEST(VendrikaScanCommandLine, OneFileSystemLeavesOtherMountsAndSaysSo) {
    Tree tree;
    tree.File("evil.exe", offline::InfectedSample(3));
    tree.File("Data/Deep/other/placeholder", "");
    tree.Folder("Data/Deep/other");
    const std::string other = tree.Path("Data/Deep/other");
    Mounted mounted(other);
    if (!mounted.ok()) GTEST_SKIP() << mounted.why();
    tree.File("Data/Deep/other/inner.exe", offline::InfectedSample(10));
    tree.File("Data/Deep/plain.exe", offline::InfectedSample(0));

    const offline::RunResult all = Scan({tree.Root()});
    EXPECT_EQ(all.status, 1) << all.err;
    EXPECT_EQ(Detected(all).size(), 3u) << all.out;
    EXPECT_FALSE(Has(all.out, "another file system")) << all.out;

    const std::string note = other + ": not scanned: another file system";
    const offline::RunResult one = Scan({"--one-file-system", tree.Root()});
    EXPECT_EQ(one.status, 1) << one.err;
    EXPECT_EQ(Detected(one).size(), 2u) << one.out;
    EXPECT_FALSE(Has(one.out, "inner.exe")) << one.out;
    EXPECT_TRUE(Has(one.out, "\n" + note + "\n")) << one.out;
    EXPECT_TRUE(Has(one.out, "Total files scanned\t\t:  2")) << one.out;
    EXPECT_EQ(one.err, "");

    const offline::RunResult quiet = Scan({"--one-file-system", "--quiet", tree.Root()});
    EXPECT_TRUE(Has(quiet.out, note)) << quiet.out;
    const offline::RunResult json = Scan({"--one-file-system", "--json", "-q", tree.Root()});
    EXPECT_TRUE(Has(json.out, "{\"type\":\"note\",\"path\":\"" + other +
                                  "\",\"message\":\"not scanned: another file system\"}"))
        << json.out;
    EXPECT_TRUE(Has(json.Lines().back(), "\"scanned\":2,")) << json.out;

    // The PATH itself on the other file system: its own folders are its own.
    tree.File("Data/Deep/other/sub/nested.exe", offline::InfectedSample(28));
    const offline::RunResult inside = Scan({"--one-file-system", other});
    EXPECT_EQ(Detected(inside).size(), 2u) << inside.out;
    EXPECT_FALSE(Has(inside.out, "another file system")) << inside.out;
}

namespace {
// The stalling build, stuck on a lock the test holds; its standard error
// gathered. Returns the pid; `err` is a pipe's reading end.
pid_t StartStalled(const std::string& lockPath, const std::string& root, int* err) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(pipeFds[1], 2);
        setenv("CV_TEST_STALL_LOCK", lockPath.c_str(), 1);
        execl(CV_VENDRIKA_SCAN_STALLING, CV_VENDRIKA_SCAN_STALLING, root.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    *err = pipeFds[0];
    return pid;
}

// Reads what comes until `text` has come or `seconds` have passed.
bool WaitFor(int fd, std::string* got, const std::string& text, double seconds) {
    const double end = Now() + seconds;
    while (!Has(*got, text)) {
        const double left = end - Now();
        if (left <= 0) return false;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, int(left * 1000) + 1) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return Has(*got, text);
        got->append(buffer, size_t(n));
    }
    return true;
}

// The exit status within `seconds`, or -1 when it still runs.
int ExitWithin(pid_t pid, double seconds) {
    const double end = Now() + seconds;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Now() > end) return -1;
        usleep(10000);
    }
}
}  // namespace

// A run stuck in a file-system call (the stalling build's detector waits
// for a lock the test holds, and waits again after each signal, as a call
// on a hung volume does): the first Ctrl-C is taken as always (the walk is
// to stop at its next entry, which a stuck call never reaches); a second
// one, SIGINT or SIGTERM, ends the run at once with a line on standard
// error and status 2. Released instead, the first one gives the usual end.
TEST(VendrikaScanCommandLine, SecondCtrlCEndsAStuckRunAtOnce) {
    struct Case {
        const char* what;
        int first, second;  // 0: no second signal, the lock is released
    } cases[] = {{"Ctrl-C twice", SIGINT, SIGINT}, {"Ctrl-C, then SIGTERM", SIGINT, SIGTERM},
                 {"Ctrl-C once, then the call returns", SIGINT, 0}};
    for (const Case& c : cases) {
        Tree tree;
        tree.File("a/stall.bin", "stall here, the test. \n");
        const std::string lockPath = tree.Path("lock");
        tree.File("lock", "");
        const int lock = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(lock, 0);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
        int err = -1;
        const pid_t pid = StartStalled(lockPath, tree.Root(), &err);
        ASSERT_GT(pid, 0);
        std::string got;
        ASSERT_TRUE(WaitFor(err, &got, "stalled\n", 30)) << c.what << got;
        kill(pid, c.first);
        // The first signal does not end the run at once.
        EXPECT_EQ(ExitWithin(pid, 1.0), -1) << c.what;
        if (c.second) {
            const double sent = Now();
            kill(pid, c.second);
            const int status = ExitWithin(pid, 3.0);
            EXPECT_EQ(status, 2) << c.what;
            EXPECT_LT(Now() - sent, 3.0) << c.what;
            WaitFor(err, &got, "ended at once", 1.0);
            EXPECT_TRUE(Has(got, "vendrika-scan: interrupted again: ended at once, without the summary\n"))
                << c.what << got;
            if (status == -1) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        } else {
            flock(lock, LOCK_UN);
            EXPECT_EQ(ExitWithin(pid, 10.0), 2) << c.what;
            WaitFor(err, &got, "\n", 0.5);
            EXPECT_FALSE(Has(got, "interrupted again")) << c.what << got;
        }
        close(lock);
        close(err);
    }
}
