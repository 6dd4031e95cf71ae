// vendrika-scan.exe: the cleaner's scan on the running Windows, from the
// console, for scripts that run it on many machines and read what it says.
//
//   vendrika-scan [--remove] [--quiet] [--json] [--log FILE] [-f FILE] [--] [PATH...]
//
// The scan is the window's (RunScan over the real system): the running
// processes, every fixed drive (or only the PATHs), the start-up values, the
// hosts file and the worm's services. It asks nothing: every question the
// window asks gets the careful answer (never a restart), and what the window
// would have shown is printed. Report-only by default: the platform then
// refuses every change before it reaches Windows.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/window_report.h"
#include "engine/scan_run.h"
#include "offline/output_text.h"
#include "offline/path_list.h"
#include "offline/scan_words.h"
#include "platform/win32/console_platform.h"
#include "scan/scan_context.h"
#include "scan/scan_events.h"

namespace {

const char kVersion[] = "vendrika-scan 1.0 for Windows (CleanVendrika Ver 1.0 engine)";
const char kUsage[] =
    "Usage: vendrika-scan [OPTIONS] [--] [PATH...]\n"
    "Scan this Windows for W32/Vendrika.Trojan, as CleanVendrika's window does:\n"
    "the running programs, every fixed drive from C: to Z: (or only the folders\n"
    "and drives given as PATHs), the start-up values, the hosts file and the\n"
    "worm's services. Nothing is asked: no window, no question, never a restart.\n"
    "\n"
    "      --remove   remove what is found, as the window does: end the programs\n"
    "                 running an infected file, delete the files (or schedule\n"
    "                 their deletion for the next start of Windows), the start-up\n"
    "                 values and services that launch them, an infected hosts\n"
    "                 file. Removal has no short option ('-r' is refused).\n"
    "  -f, --file-list FILE\n"
    "                 read PATHs from FILE ('-' for standard input), one per line\n"
    "      --log FILE also write the report (the JSON lines with --json) to FILE,\n"
    "                 flushed line by line\n"
    "  -q, --quiet    print only detections, what could not be removed and\n"
    "                 problems; with --json the summary too\n"
    "      --json     one JSON object per line (UTF-8), the last one a summary\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "      --         what follows is a PATH, even when it begins with '-'\n"
    "\n"
    "Without --remove nothing is changed; what --remove would remove is listed.\n"
    "Text is written in the console's code page, JSON in UTF-8. Ctrl-C or\n"
    "Ctrl-Break stops the scan at its next file; the statistics follow.\n"
    "\n"
    "JSON objects: \"type\" is \"detection\", \"process\", \"registry\", \"hosts\",\n"
    "\"scheduled\", \"restart\", \"note\", \"error\" or \"summary\". \"action\" is one\n"
    "of \"found\", \"removed\", \"not_removed\", \"would_remove\", \"ended\",\n"
    "\"not_ended\", \"would_end\". The summary comes last, always, and holds\n"
    "\"version\", the counts, \"restart_needed\" and \"exit_code\".\n"
    "\n"
    "Exit status: 0 nothing found, 1 found (and, with --remove, all of it\n"
    "removed), 2 something could not be removed or examined, the scan was\n"
    "interrupted (Ctrl-C, Ctrl-Break, an output that cannot be written), or the\n"
    "arguments were wrong, 3 removed what could be removed now: a restart of\n"
    "Windows finishes the removal (files whose deletion waits for it, or a\n"
    "worm's service that runs on without its keys).\n";

using offline::JsonObject;
using offline::Shown;

struct Options {
    bool remove = false;
    bool quiet = false;
    bool json = false;
    std::string log;
    std::vector<std::string> paths;
};

// ---- output ----
// Texts inside are UTF-8; a text line goes out in the console's code page,
// a JSON line as it is.
UINT g_consoleCodePage = 0;
FILE* g_log = nullptr;
int g_outputError = 0;

// Console functions are looked up by name: the Win32 documentation of
// today names Windows 2000 as their first system, and a program that
// imported a function Windows 95 lacked would not start there at all.
FARPROC KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? GetProcAddress(kernel, name) : nullptr;
}

// The console's output code page; without a console (or the entry point)
// the OEM code page, the one a console starts with.
UINT ConsoleCodePage() {
    typedef UINT(WINAPI * GetCodePage)(void);
    GetCodePage get = reinterpret_cast<GetCodePage>(reinterpret_cast<void*>(KernelFunction("GetConsoleOutputCP")));
    const UINT cp = get ? get() : 0;
    return cp ? cp : GetOEMCP();
}

// Installs (or removes) the Ctrl-C handler; false without the entry point.
bool SetControlHandler(PHANDLER_ROUTINE handler, bool add) {
    typedef BOOL(WINAPI * SetHandler)(PHANDLER_ROUTINE, BOOL);
    SetHandler set = reinterpret_cast<SetHandler>(reinterpret_cast<void*>(KernelFunction("SetConsoleCtrlHandler")));
    return set && set(handler, add ? TRUE : FALSE);
}

// A text of the system (the ANSI code page: paths, names) as UTF-8.
std::string Utf8FromAnsi(const char* s) {
    const int length = int(std::strlen(s));
    if (length == 0) return std::string();
    const int n = MultiByteToWideChar(CP_ACP, 0, s, length, nullptr, 0);
    if (n <= 0) return std::string(s, size_t(length));
    std::vector<WCHAR> wide(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, s, length, wide.data(), n);
    return offline::Utf8FromUtf16(reinterpret_cast<const uint16_t*>(wide.data()), size_t(n));
}

std::string ConsoleFromUtf8(const std::string& s) {
    if (s.empty()) return s;
    std::vector<uint16_t> wide = offline::Utf16FromUtf8(s);
    const WCHAR* w = reinterpret_cast<const WCHAR*>(wide.data());
    const int n = WideCharToMultiByte(g_consoleCodePage, 0, w, int(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return s;
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(g_consoleCodePage, 0, w, int(wide.size()), &out[0], n, nullptr, nullptr);
    return out;
}

pf::win32::ConsolePlatform* g_platform = nullptr;
void RequestStop();

// A report that cannot be written (a full disk, a closed pipe) stops the
// scan as Ctrl-C does, so that nothing goes on unreported.
void WriteLine(FILE* f, const std::string& line) {
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), f) != line.size() || std::fputc('\n', f) == EOF ||
        std::fflush(f) != 0) {
        g_outputError = errno ? errno : EIO;
        RequestStop();
    }
}

// One line to standard output and to the log, flushed, so that a run that
// ends early leaves what it did. `json`: the line is UTF-8 JSON.
void Print(const std::string& utf8, bool json) {
    if (g_outputError) return;
    const std::string line = json ? utf8 : ConsoleFromUtf8(utf8);
    WriteLine(stdout, line);
    if (g_log) WriteLine(g_log, line);
}

void Complain(const std::string& utf8) {
    std::fflush(stdout);
    const std::string line = "vendrika-scan: " + ConsoleFromUtf8(utf8) + "\n";
    std::fputs(line.c_str(), stderr);
}

int BadArguments(const std::string& why) {
    Complain(why + "\nTry 'vendrika-scan --help'.");
    return offline::kExitTrouble;
}

// ---- the scan's events ----
const char* RootName(pf::HKEY root) {
    return root == pf::kHkeyLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

bool Contains(const std::vector<std::string>& list, const std::string& s) {
    for (const std::string& e : list)
        if (e == s) return true;
    return false;
}

void Erase(std::vector<std::string>* list, const std::string& s) {
    for (size_t i = 0; i < list->size(); ++i)
        if ((*list)[i] == s) {
            list->erase(list->begin() + long(i));
            return;
        }
}

// The console standing in for the window: the window's words in text, the
// events as JSON objects.
class ConsoleReport : public app::WindowLines {
public:
    explicit ConsoleReport(const Options& options) : options_(options) {}

    int problems = 0;
    bool restartNeeded = false;
    std::string status;

    void Found(const char* path, const char* name, scan::Where where) override {
        // Report-only leaves every file as it is: the platform opens none
        // found already again (the hosts file, which every detection
        // checks; a running program the walk meets again).
        if (g_platform) g_platform->MarkFound(path);
        ++detections_;
        const std::string p = Utf8FromAnsi(path);
        if (!options_.json)
            Print(Shown(p) + ": " + Shown(name) + " FOUND", false);
        else if (options_.remove) {
            if (!Contains(pending_, p + '\0' + name)) pending_.push_back(p + '\0' + name);  // its outcome follows
        } else if (where != scan::Where::kHostsFile)
            Print(offline::DetectionObject(p, p, name, "found"), true);
    }

    void Removed(const char* path, const char* name, scan::Where where) override {
        Outcome(path, name, "removed");
        WindowLines::Removed(path, name, where);
    }

    void NotRemoved(const char* path, const char* name, scan::Where where, pf::DWORD error) override {
        if (!options_.remove) {
            // Report-only refuses every change: an infected hosts file is
            // what --remove would remove (it is checked at every detection:
            // listed once).
            if (where == scan::Where::kHostsFile && !Contains(told_, path)) {
                told_.push_back(path);
                const std::string p = Utf8FromAnsi(path);
                if (options_.json)
                    Print(offline::DetectionObject(p, p, name, "would_remove", "hosts"), true);
                else
                    Print(Shown(p + "     " + name) + " would be removed with --remove", false);
            }
            return;
        }
        Outcome(path, name, "not_removed");
        // Its deletion may still be scheduled (DeletionScheduled).
        notRemoved_.push_back(path);
        Failure([&] { WindowLines::NotRemoved(path, name, where, error); });
    }

    void DeletionScheduled(const char* path, scan::Scheduled how, const char* entry) override {
        Erase(&notRemoved_, path);
        const std::string p = Utf8FromAnsi(path);
        if (options_.json)
            Print(JsonObject("scheduled").Text("path", p).Text("entry", Utf8FromAnsi(entry))
                      .Text("how", how == scan::Scheduled::kWininit ? "wininit" : "movefileex").Done(),
                  true);
        else if (!options_.quiet)
            Print(Shown(p) + ": deleted at the next start of Windows", false);
    }

    void ProcessEnded(const char* path) override {
        Process(path, "ended");
        WindowLines::ProcessEnded(path);
    }

    void ProcessNotEnded(const char* path) override {
        if (!options_.remove) {
            Process(path, "would_end");
            return;
        }
        // The file's removal goes on (ending it by path, else at the next
        // start): its outcome decides the status.
        Process(path, "not_ended");
        Failure([&] { WindowLines::ProcessNotEnded(path); });
    }

    void OwnProgramInfected(const char* path, const char* name) override {
        ++problems;
        Problem(path, "this program's own file is infected: replace it from clean media");
        Failure([&] { WindowLines::OwnProgramInfected(path, name); });
    }

    void SystemProgramInfected(const char* path, const char* name, bool restoreWithSfc) override {
        ++problems;
        Problem(path, restoreWithSfc ? "a program Windows needs: left as it is; restore it with System File Checker"
                                     : "a program Windows needs: left as it is; restore it from the setup disks");
        Failure([&] { WindowLines::SystemProgramInfected(path, name, restoreWithSfc); });
    }

    void StartupValueRemoved(const scan::StartupValue& value) override {
        Registry("start-up value", value.root, value.key, value.valueName, "removed");
        WindowLines::StartupValueRemoved(value);
    }
    void StartupValueLeft(const scan::StartupValue& value, pf::LONG error) override {
        Left("start-up value", value.root, value.key, value.valueName, error);
    }
    void ServiceKeysRemoved(const scan::Service& service) override {
        Registry("service", pf::kHkeyLocalMachine, ServiceKey(service).c_str(), "", "removed");
    }
    void ServiceKeysLeft(const scan::Service& service, pf::LONG error) override {
        Left("service", pf::kHkeyLocalMachine, ServiceKey(service).c_str(), "", error);
    }

    void RestartNeeded(scan::RestartFor why) override {
        if (!options_.remove || restartNeeded) {
            restartNeeded = true;
            return;
        }
        restartNeeded = true;
        const char* reason = why == scan::RestartFor::kPendingDeletion ? "pending_deletion" : "worm_service";
        const char* text = why == scan::RestartFor::kPendingDeletion
                               ? "a restart of Windows is needed to finish the removal: files wait for it to be "
                                 "deleted; vendrika-scan does not restart"
                               : "a restart of Windows is needed to finish the removal: a worm's service runs on "
                                 "without its keys; restart, then scan again; vendrika-scan does not restart";
        if (options_.json)
            Print(JsonObject("restart").Text("reason", reason).Text("message", text).Done(), true);
        else
            Print(text, false);
    }

    // Outcomes still waiting (a run that stopped before them).
    void Finish() {
        for (const std::string& d : pending_) {
            const size_t nul = d.find('\0');
            Print(offline::DetectionObject(d.substr(0, nul), d.substr(0, nul), d.substr(nul + 1), "found"), true);
        }
        pending_.clear();
    }

    int Detections() const { return detections_; }
    // Files neither deleted nor scheduled for deletion.
    bool Unremoved() const { return !notRemoved_.empty(); }

protected:
    // Report-only: the lines of a removal that was not attempted are not
    // shown; the statistics are. Quiet: only what failed. JSON: none.
    void Line(const char* text) override {
        if (options_.json) return;
        if (!options_.remove && !g_scan.summaryStarted) return;
        if (options_.quiet && !failure_) return;
        Print(Shown(Utf8FromAnsi(text), g_scan.summaryStarted), false);
    }
    void Progress(const char*) override {}
    void Status(const char* text) override { status = text; }

private:
    template <typename F>
    void Failure(F show) {
        failure_ = true;
        show();
        failure_ = false;
    }

    void Problem(const char* path, const std::string& why) {
        const std::string p = Utf8FromAnsi(path);
        if (options_.json) Print(JsonObject("error").Text("path", p).Text("message", why).Done(), true);
        Complain(Shown(p) + ": " + why);
    }

    // The memory step can meet one file more than once (a process listed
    // twice, two ways of listing): one outcome answers all of them.
    void Outcome(const char* path, const char* name, const char* action) {
        if (!options_.json) return;
        const std::string p = Utf8FromAnsi(path);
        const std::string key = p + '\0' + name;
        bool waiting = false;
        for (size_t i = pending_.size(); i-- > 0;) {
            if (pending_[i] != key) continue;
            waiting = true;
            pending_.erase(pending_.begin() + long(i));
        }
        if (waiting) Print(offline::DetectionObject(p, p, name, action), true);
    }

    void Process(const char* path, const char* action) {
        if (options_.json)
            Print(JsonObject("process").Text("path", Utf8FromAnsi(path)).Text("action", action).Done(), true);
        else if (!options_.remove)
            Print(Shown(Utf8FromAnsi(path)) + ": its running program would be ended with --remove", false);
    }

    static std::string ServiceKey(const scan::Service& service) {
        return std::string("SYSTEM\\") + (service.controlSet ? service.controlSet : "CurrentControlSet") +
               "\\Services\\" + service.name;
    }

    void Registry(const char* kind, pf::HKEY root, const char* key, const char* value, const char* action) {
        const std::string k = std::string(RootName(root)) + "\\" + Utf8FromAnsi(key);
        if (options_.json) {
            JsonObject o("registry");
            o.Text("kind", kind).Text("key", k);
            if (value[0]) o.Text("value", Utf8FromAnsi(value));
            Print(o.Text("action", action).Done(), true);
        } else if (std::strcmp(action, "would_remove") == 0 && !options_.quiet) {
            Print(std::string(kind) + " " + Shown(value[0] ? k + "\\" + Utf8FromAnsi(value) : k) +
                      ": would be removed with --remove",
                  false);
        } else if (std::strcmp(kind, "service") == 0 && !options_.quiet) {
            // (A start-up value's removal is the window's own line.)
            Print(std::string(kind) + " " + Shown(k) + ": removed", false);
        }
    }

    // Report-only: what --remove would remove, each once; with --remove a
    // problem.
    void Left(const char* kind, pf::HKEY root, const char* key, const char* value, pf::LONG error) {
        const std::string id = std::string(kind) + '\0' + key + '\0' + value;
        if (Contains(told_, id)) return;
        told_.push_back(id);
        if (!options_.remove) {
            Registry(kind, root, key, value, "would_remove");
            return;
        }
        ++problems;
        Registry(kind, root, key, value, "not_removed");
        const std::string k = std::string(RootName(root)) + "\\" + key + (value[0] ? std::string("\\") + value : "");
        Complain(Shown(Utf8FromAnsi(k.c_str())) + ": cannot be removed (registry error " + std::to_string(long(error)) +
                 ")");
    }

    const Options& options_;
    int detections_ = 0;
    bool failure_ = false;  // the window's line being printed tells a failure
    std::vector<std::string> pending_;     // "path\0name" of detections awaiting their outcome (JSON)
    std::vector<std::string> notRemoved_;  // ANSI paths neither deleted nor scheduled
    std::vector<std::string> told_;
};

void RequestStop() {
    if (g_platform) g_platform->RequestStop();
}

// Ctrl-C and Ctrl-Break stop the scan as the stop question's Yes does; the
// run then ends with its statistics and summary. Closing the console, a
// log-off and a shut-down keep the system's own handling.
BOOL WINAPI OnConsoleControl(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && g_platform) {
        RequestStop();
        return TRUE;
    }
    return FALSE;
}

// A PATH list (-f), read as offline::ReadPathList reads it.
bool ReadPathList(const std::string& name, Options* options, std::string* why) {
    FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    std::vector<offline::ListedPath> listed;
    const bool ok = offline::ReadPathList(f, &listed, why);
    if (f != stdin) std::fclose(f);
    for (const offline::ListedPath& p : listed) options->paths.push_back(p.path);
    return ok;
}

// A PATH as the walk's search pattern ("D:\Data\*.*"): a folder or drive
// that exists, by its full path.
bool PatternOf(const std::string& path, std::string* pattern, std::string* why) {
    char full[MAX_PATH];
    char* file = nullptr;
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, &file);
    if (n == 0 || n >= sizeof full) {
        *why = "not a path this scan can walk";
        return false;
    }
    std::string p(full);
    if (p.size() < 3 || p[1] != ':' || p[2] != '\\') {
        *why = "not on a drive with a letter (a network path is not scanned)";
        return false;
    }
    const DWORD attributes = GetFileAttributesA(p.c_str());
    if (attributes == 0xFFFFFFFF || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = "no such folder or drive";
        return false;
    }
    if (p.back() != '\\') p += '\\';
    p += "*.*";
    if (p.size() >= size_t(kMaxPath)) {
        *why = "too long a path";
        return false;
    }
    *pattern = p;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    g_consoleCodePage = ConsoleCodePage();
    Options options;
    bool endOfOptions = false;
    bool stdinListed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!endOfOptions && a == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && (a == "-h" || a == "--help" || a == "/?")) {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? offline::kExitClean : offline::kExitTrouble;
        } else if (!endOfOptions && (a == "-V" || a == "--version")) {
            std::fputs(kVersion, stdout);
            std::fputc('\n', stdout);
            return std::fflush(stdout) == 0 ? offline::kExitClean : offline::kExitTrouble;
        } else if (!endOfOptions && a == "--remove") {
            options.remove = true;
        } else if (!endOfOptions && a == "-r") {
            return BadArguments(offline::kShortRemoveRefused);
        } else if (!endOfOptions && (a == "-q" || a == "--quiet")) {
            options.quiet = true;
        } else if (!endOfOptions && a == "--json") {
            options.json = true;
        } else if (!endOfOptions && a == "--log") {
            if (i + 1 >= argc || !argv[i + 1][0]) return BadArguments("'--log' needs a FILE");
            options.log = argv[++i];
        } else if (!endOfOptions && (a == "-f" || a == "--file-list")) {
            if (i + 1 >= argc || !argv[i + 1][0]) return BadArguments("'" + a + "' needs a FILE");
            const std::string list = argv[++i];
            if (list == "-" && stdinListed) return BadArguments("standard input can be read as a PATH list only once");
            stdinListed = stdinListed || list == "-";
            std::string why;
            if (!ReadPathList(list, &options, &why))
                return BadArguments("PATH list " + Shown(Utf8FromAnsi(list.c_str())) + ": " + why);
        } else if (!endOfOptions && (a == "--drive" || a == "--quarantine" || a == "--restore" ||
                                     a == "--one-file-system")) {
            return BadArguments("'" + a + "' is an option of vendrika-scan on Linux, over a mounted volume; "
                                "here the running Windows is scanned");
        } else if (!endOfOptions && a.size() > 1 && a[0] == '-') {
            return BadArguments("unknown option '" + Shown(Utf8FromAnsi(a.c_str())) + "'");
        } else if (a.empty()) {
            return BadArguments("an empty path");
        } else {
            options.paths.push_back(a);
        }
    }
    // Every PATH is checked before anything is read or changed.
    std::vector<std::string> patterns;
    for (const std::string& path : options.paths) {
        std::string pattern, why;
        if (!PatternOf(path, &pattern, &why))
            return BadArguments(Shown(Utf8FromAnsi(path.c_str())) + ": " + why + ": nothing was scanned");
        patterns.push_back(pattern);
    }
    std::vector<const char*> folders;
    for (const std::string& p : patterns) folders.push_back(p.c_str());
    folders.push_back(nullptr);

    static pf::win32::ConsolePlatform platform;
    platform.SetReadOnly(!options.remove);
    g_platform = &platform;
    SetControlHandler(OnConsoleControl, true);
    // The log is opened once the stop is in place: a run whose log exists
    // ends with its summary however soon it is interrupted.
    if (!options.log.empty()) {
        g_log = std::fopen(options.log.c_str(), options.json ? "wb" : "w");
        if (!g_log) {
            Complain("log " + Shown(Utf8FromAnsi(options.log.c_str())) + ": " + std::strerror(errno) +
                     ": nothing was scanned");
            SetControlHandler(OnConsoleControl, false);
            return offline::kExitTrouble;
        }
    }

    ConsoleReport report(options);
    pf::SetPlatform(&platform);
    scan::SetListener(&report);

    // The scan, as the window's SCAN button starts it.
    std::snprintf(g_scan.targetPath, sizeof g_scan.targetPath, "!:");
    g_scan.cancelled = false;
    RunScan(options.paths.empty() ? nullptr : folders.data());
    report.Finish();

    int status = offline::kExitClean;
    if (g_scan.infectedCount > 0 || report.Detections() > 0) status = offline::kExitFound;
    const bool incomplete = options.remove && report.Unremoved();
    if (options.remove && report.restartNeeded && status != offline::kExitClean) status = offline::kExitRestart;
    if (report.problems > 0 || incomplete || g_scan.cancelled || g_outputError) status = offline::kExitTrouble;

    if (options.json) {
        Print(offline::SummaryObject(g_scan.scannedCount, g_scan.infectedCount, g_scan.removedCount,
                                     report.problems)
                  .Text("status", report.status)
                  .Number("restart_needed", options.remove && report.restartNeeded ? 1 : 0)
                  .Number("exit_code", status)
                  .Done(),
              true);
    } else if (!options.quiet) {
        Print(report.status, false);
    }
    scan::SetListener(nullptr);
    pf::SetPlatform(nullptr);
    SetControlHandler(OnConsoleControl, false);
    g_platform = nullptr;
    if (g_log) std::fclose(g_log);
    if (g_outputError) {
        Complain(std::string("the report cannot be written: ") + std::strerror(g_outputError) +
                 (g_scan.cancelled ? "; the scan was stopped there" : ""));
        return offline::kExitTrouble;
    }
    return status;
}
