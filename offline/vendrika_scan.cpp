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
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/inspect.h"
#include "engine/scan_context.h"
#include "engine/scan_run.h"
#include "engine/signatures.h"
#include "engine/walk.h"
#include "persistence/delayed_delete.h"
#include "platform/posix/posix_platform.h"

namespace {

const char kVersionNumber[] = "1.0";
const char kVersion[] = "vendrika-scan 1.0 (CleanVendrika Ver 1.0 engine)";
const char kUsage[] =
    "Usage: vendrika-scan [OPTIONS] [--] PATH...\n"
    "Scan mounted Windows volumes and folders for W32/Vendrika.Trojan.\n"
    "Each PATH is one fixed drive, scanned with all its folders. The first PATH\n"
    "holding a Windows is C: (as that Windows names it), the others follow as D:,\n"
    "E:, ... in their order.\n"
    "\n"
    "      --remove   remove what is found, as CleanVendrika's window does: infected\n"
    "                 files, the start-up values and service keys that launch them\n"
    "                 (SOFTWARE and SYSTEM hives of an NT-family Windows), an infected\n"
    "                 hosts file; on a 95/98/Me Windows what cannot be deleted now\n"
    "                 goes into its WININIT.INI by its short (8.3) name. Removal has\n"
    "                 no short option ('-r' is refused).\n"
    "  -q, --quiet    print only detections, what could not be removed, and problems\n"
    "      --json     one JSON object per line: each detection, then a summary\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "      --         what follows is a PATH, even when it begins with '-'\n"
    "\n"
    "Without --remove nothing is changed; the start-up values, service keys and\n"
    "hosts file that --remove would remove are listed, marked \"would be removed\n"
    "with --remove\".\n"
    "\n"
    "Names as shown: in text output a control character, a byte that is not part\n"
    "of valid UTF-8, and the characters that could reorder or break a terminal\n"
    "line (C1 controls, U+2028, U+2029, bidirectional controls) appear as \\xHH,\n"
    "one per byte, so no name can start a line of its own. JSON output is valid\n"
    "UTF-8: a text from the volume that is not valid UTF-8 has U+FFFD for each\n"
    "such byte, and a second field of the same name with \"_hex\" appended holds\n"
    "its exact bytes in hexadecimal (\"path_hex\", \"message_hex\", ...).\n"
    "\n"
    "JSON objects: \"type\" is \"detection\", \"registry\", \"hosts\", \"note\", \"error\"\n"
    "or \"summary\". \"action\" is one of: \"found\" (report-only), \"removed\",\n"
    "\"not_removed\" (the removal failed), \"would_remove\" (report-only: what\n"
    "--remove would remove). Errors also go to standard error as text. The summary\n"
    "holds \"version\", the counts and \"exit_code\".\n"
    "\n"
    "Exit status: 0 nothing found, 1 found (and, with --remove, all of it removed,\n"
    "the start-up values and hosts file of its Windows included), 2 something could\n"
    "not be removed, read or examined, the scan was interrupted (Ctrl-C, SIGTERM, a\n"
    "closed or full output), or the arguments were wrong.\n";

volatile sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

pf::HWND ConsoleWindow() { return reinterpret_cast<pf::HWND>(uintptr_t(0x7FFF0020)); }

// The length of the well-formed UTF-8 sequence at `p` (of `n` bytes), its
// code point in `cp`; 0 when the bytes there are not UTF-8 (overlong forms,
// surrogates, beyond U+10FFFF, cut short).
size_t Utf8Sequence(const unsigned char* p, size_t n, uint32_t* cp) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t length;
    uint32_t value;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (n < length || p[1] < low || p[1] > high) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    *cp = value;
    return length;
}

// Characters a terminal acts on rather than shows, or that move text
// around a line: controls, line and paragraph separators, bidi controls.
bool Invisible(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
           (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// A text for the terminal: what Invisible names and bytes that are not
// UTF-8 as \xHH per byte. `tabs` keeps tabs (the statistics' own).
std::string Shown(const std::string& s, bool tabs = false) {
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = Utf8Sequence(p + i, s.size() - i, &cp);
        if (n > 0 && (!Invisible(cp) || (tabs && cp == '\t'))) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        if (n == 0) n = 1;
        for (size_t k = 0; k < n; ++k) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", p[i + k]);
            out += esc;
        }
        i += n;
    }
    return out;
}

// A JSON string of valid UTF-8: U+FFFD for each byte that is not; `exact`
// tells whether it stands for the bytes as they are.
std::string JsonString(const std::string& s, bool* exact) {
    std::string out = "\"";
    *exact = true;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t n = Utf8Sequence(p + i, s.size() - i, &cp);
        char esc[8];
        if (n == 0) {
            out += "\\ufffd";
            *exact = false;
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += char(cp);
        } else if (cp < 0x20 || cp == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(cp));
            out += esc;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

// One JSON object, built field by field.
class JsonObject {
public:
    explicit JsonObject(const char* type) { text_ = std::string("{\"type\":\"") + type + "\""; }
    // A text field; one that is not valid UTF-8 gets its bytes beside it.
    JsonObject& Text(const char* name, const std::string& value) {
        bool exact;
        text_ += std::string(",\"") + name + "\":" + JsonString(value, &exact);
        if (!exact) {
            text_ += std::string(",\"") + name + "_hex\":\"";
            static const char kHex[] = "0123456789abcdef";
            for (unsigned char c : value) {
                text_ += kHex[c >> 4];
                text_ += kHex[c & 15];
            }
            text_ += '"';
        }
        return *this;
    }
    JsonObject& Number(const char* name, long value) {
        text_ += std::string(",\"") + name + "\":" + std::to_string(value);
        return *this;
    }
    std::string Done() const { return text_ + "}"; }

private:
    std::string text_;
};

// Standard output: a write that fails (a full disk, a closed pipe) ends the
// scan as an interruption does, so nothing is left half-done, and is told
// on standard error at the end.
int g_outputError = 0;

void Print(const std::string& line, bool flush) {
    if (g_outputError) return;
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        std::fputc('\n', stdout) == EOF || (flush && std::fflush(stdout) != 0)) {
        g_outputError = errno ? errno : EIO;
        g_interrupted = 1;
    }
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

// A line of the window telling that a removal failed.
bool IsFailureLine(const char* text) {
    const size_t length = std::strlen(text);
    for (const char* tail : {" Unable to remove", " Remove failed"}) {
        const size_t n = std::strlen(tail);
        if (length >= n && std::strcmp(text + length - n, tail) == 0) return true;
    }
    return false;
}

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

    // ---- why a removal failed ----
    pf::BOOL DeleteFileA(const char* path) override {
        const pf::BOOL done = PosixPlatform::DeleteFileA(path);
        if (!done) Unchanged(path, errno);
        return done;
    }

    pf::BOOL SetFileAttributesA(const char* path, pf::DWORD attributes) override {
        const pf::BOOL done = PosixPlatform::SetFileAttributesA(path, attributes);
        if (!done) Unchanged(path, errno);
        return done;
    }

    // ---- deletion at the next start of a 95/98/Me Windows ----
    pf::DWORD GetShortPathNameA(const char* longPath, char* shortPath, pf::DWORD size) override {
        const pf::DWORD n = PosixPlatform::GetShortPathNameA(longPath, shortPath, size);
        lastShortPath_ = n > 0 && n < size ? shortPath : "";
        return n;
    }

    // The entry names the file by its short name, which real-mode WININIT
    // needs; a long name there would delete nothing.
    bool Schedule(const char* key, const char* value) {
        std::string why;
        if (lastShortPath_.empty() || lastShortPath_ != value) {
            Problem(Display(value), "its short (8.3) name cannot be read from its FAT volume, and "
                                    "WININIT.INI takes no other: delete it by hand");
        } else if (!AddWininitEntry(key, value, &why)) {
            Problem(Windows().windowsDir + "\\WININIT.INI",
                    "cannot be written (" + why + "): delete " + Display(value) + " by hand");
        } else {
            Note(std::string("WININIT.INI of ") + Windows().windowsDir + ": " + key + "=" + value +
                     " added; that Windows deletes the file at its next start",
                 true);
            return true;
        }
        return false;
    }

    // ---- Events ----
    // The same problem (a read-only volume, a hive that cannot be written)
    // is told once however often it stops a change.
    void Problem(const std::string& what, const std::string& why) override {
        ++problems;
        if (!told_.insert(what + '\0' + why).second) return;
        ClearProgress();
        if (options_.json)
            Print(JsonObject("error").Text("path", what).Text("message", why).Done(), true);
        else
            std::fflush(stdout);
        std::fprintf(stderr, "vendrika-scan: %s: %s\n", Shown(what).c_str(), Shown(why).c_str());
    }

    void ValueRemoved(const std::string& hive, const std::string& key,
                      const std::string& value) override {
        if (options_.json) Registry("start-up value", hive, key, value, true);  // else the window's line
    }

    void ValueWouldBeRemoved(const std::string& hive, const std::string& key,
                             const std::string& value) override {
        Registry("start-up value", hive, key, value, false);
    }
    void ServiceRemoved(const std::string& hive, const std::string& key) override {
        Registry("service", hive, key, "", true);
    }
    void ServiceWouldBeRemoved(const std::string& hive, const std::string& key) override {
        Registry("service", hive, key, "", false);
    }

    // `always`: a note on what was not examined; with --quiet it is shown
    // at the end, and only when something was found.
    void Note(const std::string& text, bool always = false) {
        if (options_.quiet && !always) return;
        if (options_.quiet && !g_scan.summaryStarted) {
            deferred_.push_back(text);
            return;
        }
        if (options_.json)
            Print(JsonObject("note").Text("message", text).Done(), true);
        else
            Print(Shown(text), true);
    }

    // Detections still waiting for their outcome line.
    void Finish() {
        for (const Detection& d : pending_) Emit(d, "found");
        pending_.clear();
        ClearProgress();
        if (detections > 0)
            for (const std::string& text : deferred_) Note(text, true);
        deferred_.clear();
    }

private:
    static constexpr int kTracked = 128;

    // A start-up value or a service key: removed, or in a report-only run
    // what --remove would remove (each once).
    void Registry(const char* kind, const std::string& hive, const std::string& key,
                  const std::string& value, bool removed) {
        if (!removed && !told_.insert(hive + '\0' + key + '\0' + value).second) return;
        if (options_.json) {
            JsonObject object("registry");
            object.Text("kind", kind).Text("hive", hive).Text("key", key);
            if (!value.empty()) object.Text("value", value);
            Print(object.Text("action", removed ? "removed" : "would_remove").Done(), true);
        } else if (!options_.quiet) {
            ClearProgress();
            Print(kind + (" " + Shown(value.empty() ? key : key + "\\" + value)) + " (" + Shown(hive) +
                      "): " + (removed ? "removed" : "would be removed with --remove"),
                  true);
        }
    }

    // The cause beside the window's "Unable to remove": a read-only volume
    // once for the whole volume, anything else per file.
    void Unchanged(const char* windowsPath, int error) {
        if (!options_.remove || !windowsPath) return;  // report-only refuses by design
        if (error == EROFS && windowsPath[0] && windowsPath[1] == ':') {
            Problem(DriveRoot(windowsPath[0]), "read-only file system: nothing on it can be removed");
            return;
        }
        Problem(Display(windowsPath), std::string("cannot be removed: ") + std::strerror(error));
    }

    void Detected(const char* windowsPath, const std::string& name) {
        ++detections;
        // The services whose image is this file (SYSTEM hive).
        RemoveServicesOf(windowsPath);
        Detection d{windowsPath, Display(windowsPath), name};
        ClearProgress();
        if (!options_.json) {
            Print(Shown(d.path) + ": " + Shown(name) + " FOUND", true);
            return;
        }
        // With --remove the outcome follows in the window's line for it.
        if (options_.remove)
            pending_.push_back(d);
        else
            Emit(d, "found");
    }

    void Emit(const Detection& d, const char* action, const char* type = "detection") {
        Print(JsonObject(type).Text("path", d.path).Text("windows_path", d.windowsPath)
                  .Text("name", d.name).Text("action", action).Done(), true);
    }

    void Line(const char* text) {
        const bool failure = !g_scan.summaryStarted && IsFailureLine(text);
        if (!options_.remove && failure) {
            // Report-only refuses every change: the hosts file's line says
            // what --remove would do with it.
            const char* end = std::strstr(text, " Remove failed");
            if (!end || std::strlen(end) != std::strlen(" Remove failed")) return;
            const std::string head(text, end);
            // It is checked again at every detection: listed once.
            if (!told_.insert(std::string("hosts") + '\0' + head).second) return;
            ClearProgress();
            if (options_.json) {
                const size_t gap = head.find("     ");
                const std::string where = head.substr(0, gap);
                const std::string name = gap == std::string::npos ? "" : head.substr(gap + 5);
                Emit(Detection{where, Display(where.c_str()), name}, "would_remove", "hosts");
            } else {
                Print(Shown(head) + " would be removed with --remove", true);
            }
            return;
        }
        if (options_.json) {
            // "PATH     NAME removed" / "Unable to remove" / "Remove failed"
            for (size_t i = 0; i < pending_.size(); ++i) {
                const std::string head = pending_[i].windowsPath + "     " + pending_[i].name + " ";
                if (std::strncmp(text, head.c_str(), head.size()) == 0) {
                    Emit(pending_[i], std::strcmp(text + head.size(), "removed") == 0 ? "removed"
                                                                                     : "not_removed");
                    pending_.erase(pending_.begin() + long(i));
                    break;
                }
            }
            return;
        }
        // Report-only: the lines of a removal that was not attempted are
        // not shown; the statistics are. Quiet: only what failed.
        if (!options_.remove && !g_scan.summaryStarted) return;
        if (options_.quiet && !failure) return;
        ClearProgress();
        Print(Shown(text, g_scan.summaryStarted), !g_scan.summaryStarted);
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
                     Shown(g_scan.statusText).c_str());
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
    std::set<std::string> told_;
    std::vector<std::string> deferred_;
    std::string lastShortPath_;
};

ScanPlatform* g_platform = nullptr;
bool WriteWininitEntry(const char* key, const char* value) {
    return g_platform && g_platform->Schedule(key, value);
}

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

// "Windows XP (NT 5.1)" and the like, as far as the version tells.
std::string FamilyName(const pf::posix::WindowsInstall& w) {
    if (w.family == 4) return "Windows 95/98/Me";
    std::string name = "Windows NT " + std::to_string(w.major) + "." + std::to_string(w.minor);
    if (w.softwareHive.empty()) return name + " (version unknown: no SOFTWARE hive)";
    const char* known = nullptr;
    if (w.major == 4) known = "Windows NT 4.0";
    if (w.major == 5 && w.minor == 0) known = "Windows 2000";
    if (w.major == 5 && w.minor == 1) known = "Windows XP";
    if (w.major == 5 && w.minor == 2) known = "Windows Server 2003 or XP x64";
    if (w.major >= 6) known = "Windows Vista or later";
    return known ? std::string(known) + " (NT " + std::to_string(w.major) + "." +
                       std::to_string(w.minor) + ")"
                 : name;
}

// A PATH with a Windows on it, looked at alone as C:.
pf::posix::WindowsInstall WindowsOn(const std::string& path) {
    pf::posix::PosixPlatform probe;
    std::string why;
    if (!probe.AddDrive(path, &why)) return {};
    return pf::posix::PosixPlatform::FindWindows(probe, 'C');
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
            return std::fflush(stdout) == 0 ? 0 : 2;
        } else if (!endOfOptions && (a == "-V" || a == "--version")) {
            std::printf("%s\n", kVersion);
            return std::fflush(stdout) == 0 ? 0 : 2;
        } else if (!endOfOptions && a == "--remove") {
            options.remove = true;
        } else if (!endOfOptions && a == "-r") {
            // Scanners use -r for "recursive"; here it must never delete.
            return BadArguments("'-r' is refused: removal has no short option, it is '--remove' "
                                "(every PATH is scanned with all its folders)");
        } else if (!endOfOptions && (a == "-q" || a == "--quiet")) {
            options.quiet = true;
        } else if (!endOfOptions && a == "--json") {
            options.json = true;
        } else if (!endOfOptions && a.size() > 1 && a[0] == '-') {
            return BadArguments("unknown option '%s'", Shown(a).c_str());
        } else if (a.empty()) {
            return BadArguments("an empty path");
        } else {
            options.paths.push_back(a);
        }
    }
    if (options.paths.empty()) return BadArguments("no path to scan");

    // The first PATH holding a Windows is C:, whatever its place on the
    // command line: its registry names its own files C:\...
    ScanPlatform platform(options);
    std::vector<size_t> order;
    pf::posix::WindowsInstall windows;
    for (size_t i = 0; i < options.paths.size() && windows.family == 0; ++i) {
        windows = WindowsOn(options.paths[i]);
        if (windows.family != 0) order.push_back(i);
    }
    for (size_t i = 0; i < options.paths.size(); ++i)
        if (order.empty() || order[0] != i) order.push_back(i);
    // Every path is checked before anything is read or changed.
    for (size_t i : order) {
        std::string why;
        if (!platform.AddDrive(options.paths[i], &why))
            return BadArguments("%s: %s", Shown(options.paths[i]).c_str(), Shown(why).c_str());
    }

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // One note on the Windows whose registry and hosts file the cleanup
    // uses, or on what was not examined for want of one.
    bool registryExamined = false;
    if (windows.family != 0) windows = pf::posix::PosixPlatform::FindWindows(platform, 'C');
    if (windows.family == 0) {
        platform.Note("no Windows found on any PATH (no Windows or WINNT folder with System32\\config "
                      "or SYSTEM.DAT): no registry and no hosts file were examined",
                      true);
    } else {
        platform.SetWindows(windows);
        const std::string where = windows.windowsDir + " (" + platform.DriveRoot('C') +
                                  (order[0] != 0 ? ", PATH " + std::to_string(order[0] + 1) + ")" : ")");
        const std::string hosts = windows.family == 4 ? windows.windowsDir + "\\hosts"
                                                      : windows.systemDir + "\\drivers\\etc\\hosts";
        if (windows.family == 4) {
            platform.Note("Windows: " + where + ", " + FamilyName(windows) + "; hosts file " + hosts +
                              "; its registry (SYSTEM.DAT, USER.DAT) is not examined: start-up values "
                              "there stay",
                          true);
        } else if (windows.softwareHive.empty()) {
            platform.Note("Windows: " + where + ", " + FamilyName(windows) + "; hosts file " + hosts +
                              "; it has no SOFTWARE hive: no start-up value was examined",
                          true);
        } else {
            registryExamined = true;
            platform.Note("Windows: " + where + ", " + FamilyName(windows) + "; registry " +
                          windows.softwareHive + "; hosts file " + hosts);
        }
        for (int i = 1; i < platform.DriveCount(); ++i) {
            const char letter = char('C' + i);
            if (pf::posix::PosixPlatform::FindWindows(platform, letter).family != 0)
                platform.Note(std::string(1, letter) + ": (" + platform.DriveRoot(letter) +
                              ") holds another Windows: its registry and hosts file were not examined",
                              true);
        }
    }
    // One removing run at a time per Windows: a second one is refused
    // before it changes anything.
    if (options.remove) {
        std::string why;
        if (!platform.LockRegistry(&why)) {
            std::fprintf(stderr, "vendrika-scan: %s: nothing was done\n", Shown(why).c_str());
            return 2;
        }
    }
    platform.SetLengthFilter(LengthsOfTable());
    pf::SetPlatform(&platform);
    g_platform = &platform;
    SetWininitEntryWriter(WriteWininitEntry);

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
        if (platform.Windows().family != 4)
            platform.Note("what could not be removed cannot be scheduled for deletion from here: "
                          "delete it by hand, or run CleanVendrika on the started Windows",
                          true);
    }

    int status = 0;
    if (g_scan.infectedCount > 0) status = 1;
    // Found and removed is all the window would have done only where the
    // registry of the Windows was examined too.
    const bool incomplete = options.remove && g_scan.infectedCount > 0 &&
                            (g_scan.removedCount < g_scan.infectedCount || !registryExamined);
    if (platform.problems > 0 || g_scan.cancelled || incomplete || g_outputError) status = 2;

    if (!options.quiet) {
        if (options.json) {
            Print(JsonObject("summary")
                      .Text("version", kVersionNumber)
                      .Number("scanned", g_scan.scannedCount)
                      .Number("infected", g_scan.infectedCount)
                      .Number("removed", g_scan.removedCount)
                      .Number("problems", platform.problems)
                      .Number("opened", platform.filesOpened)
                      .Text("status", g_scan.statusText)
                      .Number("exit_code", status)
                      .Done(),
                  false);
        } else {
            Print(g_scan.statusText, false);
        }
    }
    if (!g_outputError && std::fflush(stdout) != 0) g_outputError = errno ? errno : EIO;
    pf::SetPlatform(nullptr);
    if (g_outputError) {
        std::fprintf(stderr, "vendrika-scan: standard output cannot be written: %s%s\n",
                     std::strerror(g_outputError),
                     g_scan.cancelled ? "; the scan was stopped there" : "");
        return 2;
    }
    return status;
}
