// vendrika-scan: the cleaner's engine over mounted Windows volumes and
// folders, from a Linux rescue system, with the conventions of command-line
// scanners.
//
//   vendrika-scan [--remove] [--quiet] [--json] PATH...
//
// Each PATH is one fixed drive, the first C:, then D:, ... The scan is the
// window's scan (RunScan) through the POSIX platform: the same walk, table,
// inspection, cleanup, report lines and statistics. Report-only by default:
// the platform then refuses every change, as a read-only volume would.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "engine/scan_context.h"
#include "engine/scan_run.h"
#include "engine/signatures.h"
#include "engine/walk.h"
#include "platform/posix/posix_platform.h"

namespace {

const char kVersion[] = "vendrika-scan 1.0 (CleanVendrika Ver 1.0 engine)";
const char kUsage[] =
    "Usage: vendrika-scan [OPTIONS] PATH...\n"
    "Scan mounted Windows volumes and folders for W32/Vendrika.Trojan.\n"
    "Each PATH is one fixed drive: the first C:, the next D:, and so on.\n"
    "\n"
    "  -r, --remove   remove what is found, as CleanVendrika's window does: infected\n"
    "                 files, the start-up values that launch them (SOFTWARE hive of an\n"
    "                 NT-family Windows), an infected hosts file\n"
    "  -q, --quiet    print only detections and problems\n"
    "      --json     one JSON object per line: each detection, then a summary\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Without --remove nothing is changed. Exit status: 0 nothing found, 1 found (and,\n"
    "with --remove, all of it removed), 2 something could not be removed or read, the\n"
    "scan was interrupted, or the arguments were wrong.\n";

volatile sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

pf::HWND ConsoleWindow() { return reinterpret_cast<pf::HWND>(uintptr_t(0x7FFF0020)); }

// JSON text: quotes, backslashes and control characters escaped; bytes that
// are not UTF-8 are taken as Latin-1.
std::string Json(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            ++i;
        } else if (c < 0x80) {
            out += char(c);
            ++i;
        } else {
            size_t n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool valid = n > 0 && i + n <= s.size();
            for (size_t k = 1; valid && k < n; ++k) valid = (uint8_t(s[i + k]) & 0xC0) == 0x80;
            if (valid) {
                out.append(s, i, n);
                i += n;
            } else {
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
                ++i;
            }
        }
    }
    return out + "\"";
}

struct Options {
    bool remove = false;
    bool quiet = false;
    bool json = false;
    std::vector<std::string> paths;
};

struct Detection {
    std::string windowsPath;
    std::string path;
    std::string name;
};

// The POSIX platform with the console standing in for the window.
class ScanPlatform : public pf::posix::PosixPlatform, public pf::posix::Events {
public:
    explicit ScanPlatform(const Options& options) : options_(options) {
        progress_ = !options.quiet && ::isatty(STDERR_FILENO);
        SetEvents(this);
        SetReadOnly(!options.remove);
        ::clock_gettime(CLOCK_MONOTONIC, &started_);
    }

    int problems = 0;
    int detections = 0;

    // ---- the window's side ----
    pf::LRESULT SendMessageA(pf::HWND window, pf::UINT message, pf::WPARAM, pf::LPARAM) override {
        if (window != ConsoleWindow()) return 0;
        if (message == WM_SCAN_STATUS) {
            if (progress_) Progress(false);
        } else if (message == WM_SCAN_ADDLINE) {
            Line(g_scan.reportLine);
        }
        return 0;
    }

    pf::BOOL PeekMessageA(pf::Msg* msg, pf::HWND, pf::UINT, pf::UINT, pf::UINT) override {
        // An interruption stops the walk the way the window's close does.
        if (!g_interrupted || interruptSent_ || !msg) return 0;
        interruptSent_ = true;
        std::memset(msg, 0, sizeof *msg);
        msg->message = pf::kWmQuit;
        return 1;
    }

    // ---- who found what: a file whose inspection counted a match ----
    int _open(const char* path, int flags, int mode) override {
        const int fd = PosixPlatform::_open(path, flags, mode);
        if (fd >= 0 && fd < kTracked) {
            openPath_[fd] = path;
            countAtOpen_[fd] = g_scan.infectedCount;
        }
        return fd;
    }

    int _close(int fd) override {
        if (fd >= 0 && fd < kTracked && openPath_[fd] &&
            g_scan.infectedCount > countAtOpen_[fd]) {
            const char* path = openPath_[fd];
            std::string name;
            if (std::strcmp(path, g_scan.inspectedPath) == 0) {
                // The PE inspection of this file matched: which record?
                const SignatureRecord* record = nullptr;
                if (ReadPeHeaders(fd)) record = FindMatchingRecord(fd, _filelength(fd), SignatureTable);
                name = record ? record->name : SignatureTable[0].name;
            } else {
                // The text signature of the hosts file.
                name = g_scan.detectedName;
            }
            openPath_[fd] = nullptr;
            Detected(path, name);
        }
        if (fd >= 0 && fd < kTracked) openPath_[fd] = nullptr;
        return PosixPlatform::_close(fd);
    }

    // ---- Events ----
    void Problem(const std::string& what, const std::string& why) override {
        ++problems;
        ClearProgress();
        if (options_.json) {
            std::printf("{\"type\":\"error\",\"path\":%s,\"message\":%s}\n", Json(what).c_str(),
                        Json(why).c_str());
        } else {
            std::fflush(stdout);
            std::fprintf(stderr, "vendrika-scan: %s: %s\n", what.c_str(), why.c_str());
        }
    }

    void ValueRemoved(const std::string& hive, const std::string& key,
                      const std::string& value) override {
        if (!options_.json) return;  // the window's own line tells it
        std::printf("{\"type\":\"registry\",\"hive\":%s,\"key\":%s,\"value\":%s,\"action\":\"removed\"}\n",
                    Json(hive).c_str(), Json(key).c_str(), Json(value).c_str());
    }

    void ValueWouldBeRemoved(const std::string& hive, const std::string& key,
                             const std::string& value) override {
        Registry("start-up value", hive, key + "\\" + value, "would be removed");
    }
    void ServiceRemoved(const std::string& hive, const std::string& key) override {
        Registry("service", hive, key, "removed");
    }
    void ServiceWouldBeRemoved(const std::string& hive, const std::string& key) override {
        Registry("service", hive, key, "would be removed");
    }

    void Note(const std::string& text) {
        if (options_.quiet) return;
        if (options_.json)
            std::printf("{\"type\":\"note\",\"message\":%s}\n", Json(text).c_str());
        else
            std::printf("%s\n", text.c_str());
    }

    // Detections still waiting for their outcome line.
    void Finish() {
        for (const Detection& d : pending_) Emit(d, "found");
        pending_.clear();
        ClearProgress();
    }

private:
    static constexpr int kTracked = 128;

    void Registry(const char* what, const std::string& hive, const std::string& key,
                  const char* action) {
        if (options_.json) {
            std::printf("{\"type\":\"registry\",\"hive\":%s,\"key\":%s,\"action\":%s}\n",
                        Json(hive).c_str(), Json(key).c_str(), Json(action).c_str());
        } else if (!options_.quiet) {
            ClearProgress();
            std::printf("%s %s: %s\n", what, key.c_str(), action);
        }
    }

    void Detected(const char* windowsPath, const std::string& name) {
        ++detections;
        // The services whose image is this file (SYSTEM hive).
        RemoveServicesOf(windowsPath);
        Detection d{windowsPath, Display(windowsPath), name};
        ClearProgress();
        if (!options_.json) {
            std::printf("%s: %s FOUND\n", d.path.c_str(), name.c_str());
            if (progress_) std::fflush(stdout);
            return;
        }
        // With --remove the outcome follows in the window's line for it.
        if (options_.remove)
            pending_.push_back(d);
        else
            Emit(d, "found");
    }

    void Emit(const Detection& d, const char* action) {
        std::printf("{\"type\":\"detection\",\"path\":%s,\"windows_path\":%s,\"name\":%s,"
                    "\"action\":%s}\n",
                    Json(d.path).c_str(), Json(d.windowsPath).c_str(), Json(d.name).c_str(),
                    Json(action).c_str());
    }

    void Line(const char* text) {
        if (options_.json) {
            // "PATH     NAME removed" / "Unable to remove" / "Remove failed"
            for (size_t i = 0; i < pending_.size(); ++i) {
                const std::string head = pending_[i].windowsPath + "     " + pending_[i].name + " ";
                if (std::strncmp(text, head.c_str(), head.size()) == 0) {
                    Emit(pending_[i], text + head.size());
                    pending_.erase(pending_.begin() + long(i));
                    break;
                }
            }
            return;
        }
        // Report-only: the lines of a removal that was not attempted are
        // not shown; the statistics are.
        if (!options_.remove && !g_scan.summaryStarted) return;
        if (options_.quiet) return;
        ClearProgress();
        std::printf("%s\n", text);
        if (progress_) std::fflush(stdout);
    }

    void Progress(bool force) {
        struct timespec now;
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        const double t = double(now.tv_sec) + now.tv_nsec / 1e9;
        if (!force && t - lastProgress_ < 0.1) return;
        lastProgress_ = t;
        const double elapsed = t - (double(started_.tv_sec) + started_.tv_nsec / 1e9);
        const double rate = elapsed > 0 ? g_scan.scannedCount / elapsed : 0;
        std::fprintf(stderr, "\r\033[K%d files, %.0f files/s, %s", int(g_scan.scannedCount), rate,
                     g_scan.statusText);
        progressShown_ = true;
    }

    void ClearProgress() {
        if (!progressShown_) return;
        std::fputs("\r\033[K", stderr);
        progressShown_ = false;
    }

    const Options& options_;
    bool progress_ = false;
    bool progressShown_ = false;
    bool interruptSent_ = false;
    double lastProgress_ = 0;
    struct timespec started_;
    const char* openPath_[kTracked] = {};
    int32_t countAtOpen_[kTracked] = {};
    std::vector<Detection> pending_;
};

// The lengths some signature accepts; every other file is clean whatever
// its content.
pf::posix::LengthFilter LengthsOfTable() {
    pf::posix::LengthFilter filter;
    filter.any = false;
    for (const SignatureRecord* r = SignatureTable; r->name[0]; ++r) {
        const int64_t size = ReadRecordField(*r, offsetof(SignatureRecord, fileSize));
        switch (ReadRecordField(*r, offsetof(SignatureRecord, sizeMode))) {
            case 1: filter.ranges.push_back({size, size}); break;
            case 2: filter.ranges.push_back({size - 4095, size + 4095}); break;
            case 3: filter.any = true; break;
            default: break;
        }
    }
    // Most records share a length: one range each, in order.
    std::sort(filter.ranges.begin(), filter.ranges.end());
    std::vector<std::pair<int64_t, int64_t>> merged;
    for (const auto& r : filter.ranges) {
        if (!merged.empty() && r.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    filter.ranges.swap(merged);
    return filter;
}

int BadArguments(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("vendrika-scan: ", stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\nTry 'vendrika-scan --help'.\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!endOfOptions && a == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && (a == "-h" || a == "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!endOfOptions && (a == "-V" || a == "--version")) {
            std::printf("%s\n", kVersion);
            return 0;
        } else if (!endOfOptions && (a == "-r" || a == "--remove")) {
            options.remove = true;
        } else if (!endOfOptions && (a == "-q" || a == "--quiet")) {
            options.quiet = true;
        } else if (!endOfOptions && a == "--json") {
            options.json = true;
        } else if (!endOfOptions && a.size() > 1 && a[0] == '-') {
            return BadArguments("unknown option '%s'", a.c_str());
        } else if (a.empty()) {
            return BadArguments("an empty path");
        } else {
            options.paths.push_back(a);
        }
    }
    if (options.paths.empty()) return BadArguments("no path to scan");

    ScanPlatform platform(options);
    // Every path is checked before anything is read or changed.
    for (const std::string& path : options.paths) {
        std::string why;
        if (!platform.AddDrive(path, &why)) return BadArguments("%s: %s", path.c_str(), why.c_str());
    }

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The Windows whose registry and hosts file the cleanup looks at: the
    // first one on the command line.
    bool haveWindows = false;
    for (int i = 0; i < platform.DriveCount(); ++i) {
        const char letter = char('C' + i);
        const pf::posix::WindowsInstall found = pf::posix::PosixPlatform::FindWindows(platform, letter);
        if (found.family == 0) continue;
        const std::string where = std::string(1, letter) + ": (" + platform.DriveRoot(letter) + ")";
        if (haveWindows) {
            platform.Note(where + " holds another Windows: its registry and hosts file were not examined");
            continue;
        }
        haveWindows = true;
        platform.SetWindows(found);
        if (found.family == 4) {
            platform.Note(where + " is a Windows 95/98/Me volume: its registry was not examined");
        } else if (found.softwareHive.empty()) {
            platform.Note(where + " holds Windows without a SOFTWARE hive: its registry was not examined");
        } else if (!options.remove) {
            platform.Note(where + " holds Windows " + std::to_string(found.major) + "." +
                          std::to_string(found.minor) +
                          ": start-up values are examined with --remove");
        }
    }
    // One removing run at a time per Windows: a second one is refused
    // before it changes anything.
    if (options.remove) {
        std::string why;
        if (!platform.LockRegistry(&why)) {
            std::fprintf(stderr, "vendrika-scan: %s: nothing was done\n", why.c_str());
            return 2;
        }
    }
    platform.SetLengthFilter(LengthsOfTable());
    pf::SetPlatform(&platform);

    // The scan, as the window's SCAN button starts it.
    g_scan.mainWindow = ConsoleWindow();
    std::snprintf(g_scan.targetPath, sizeof g_scan.targetPath, "!:");
    g_scan.cancelled = false;
    RunScan();
    // Each changed hive is written once, here, also after an interruption.
    platform.CommitRegistry();
    platform.Finish();
    // The window would now offer to restart; here the Windows is not running.
    if (g_scan.restartNeeded) {
        if (platform.Windows().family == 4)
            platform.Note("what could not be removed is listed in WININIT.INI: that Windows deletes it "
                          "at its next start");
        else
            platform.Note("what could not be removed cannot be scheduled for deletion from here: "
                          "delete it by hand, or run CleanVendrika on the started Windows");
    }

    int status = 0;
    if (g_scan.infectedCount > 0) status = 1;
    const bool incomplete = options.remove && g_scan.removedCount < g_scan.infectedCount;
    if (platform.problems > 0 || g_scan.cancelled || incomplete) status = 2;

    if (!options.quiet) {
        if (options.json) {
            std::printf("{\"type\":\"summary\",\"scanned\":%d,\"infected\":%d,\"removed\":%d,"
                        "\"problems\":%d,\"opened\":%ld,\"status\":%s,\"exit_code\":%d}\n",
                        int(g_scan.scannedCount), int(g_scan.infectedCount),
                        int(g_scan.removedCount), platform.problems, platform.filesOpened,
                        Json(g_scan.statusText).c_str(),
                        status);
        } else {
            std::printf("%s\n", g_scan.statusText);
        }
    }
    std::fflush(stdout);
    pf::SetPlatform(nullptr);
    return status;
}
