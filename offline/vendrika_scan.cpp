// vendrika-scan: the cleaner's engine over mounted Windows volumes and
// folders, from a Linux rescue system, with the conventions of command-line
// scanners.
//
//   vendrika-scan [--remove [--quarantine DIR]] [--quiet] [--json] [--drive X:=PATH] [--one-file-system] [-f FILE] PATH...
//   vendrika-scan --restore DIR [ID...]     vendrika-scan --quarantine DIR
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
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/window_report.h"
#include "engine/scan_run.h"
#include "offline/output_text.h"
#include "offline/path_list.h"
#include "offline/quarantine.h"
#include "offline/scan_words.h"
#include "persistence/delayed_delete.h"
#include "persistence/hosts_file.h"
#include "platform/crt.h"
#include "platform/posix/posix_platform.h"
#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "system/services.h"

namespace {

const char kVersion[] = "vendrika-scan 1.0 (CleanVendrika Ver 1.0 engine)";
const char kUsage[] =
    "Usage: vendrika-scan [OPTIONS] [--] PATH...\n"
    "       vendrika-scan [OPTIONS] -f FILE [PATH...]\n"
    "       vendrika-scan [--json] [--quiet] [--drive X:=PATH]... --restore DIR\n"
    "                     [ID...]\n"
    "       vendrika-scan [--json] [--quiet] --quarantine DIR\n"
    "Scan mounted Windows volumes and folders for W32/Vendrika.Trojan.\n"
    "Each PATH is one fixed drive, scanned with all its folders. The first PATH\n"
    "holding a Windows gets the letter that Windows gives its drive (SystemRoot in\n"
    "its registry; on 95/98/Me WinDir in MSDOS.SYS; else C:, and said so); the\n"
    "others follow from C: in their order, or as told with --drive. What is found\n"
    "on a drive whose letter that Windows may give another volume exits 2.\n"
    "Every other Windows on the PATHs is named and its hosts file checked; its\n"
    "registry is not examined (exit 2 when something is found).\n"
    "\n"
    "      --remove   remove what is found, as CleanVendrika's window does: infected\n"
    "                 files, the start-up values and service keys that launch them\n"
    "                 (SOFTWARE and SYSTEM hives of an NT-family Windows), an\n"
    "                 infected hosts file; on a 95/98/Me Windows what cannot be\n"
    "                 deleted now goes into its WININIT.INI by its short (8.3) name.\n"
    "                 Removal has no short option ('-r' is refused).\n"
    "      --quarantine DIR\n"
    "                 with --remove: keep each file and hosts file in DIR before it\n"
    "                 is deleted (or its read-only attribute taken off), and each\n"
    "                 registry hive (start-up values, service keys) and WININIT.INI\n"
    "                 before it is rewritten; what cannot be kept stays on the\n"
    "                 volume as it is (exit 2). DIR may not lie inside a PATH.\n"
    "                 Without --remove: list what DIR holds\n"
    "      --restore DIR\n"
    "                 put back every item of DIR (or the IDs given after DIR) as it\n"
    "                 was: bytes checked against their SHA-256, mode, owner, times,\n"
    "                 NTFS attributes; a hive or WININIT.INI only while it is still\n"
    "                 the one the run wrote; a place now taken (another file, a hive\n"
    "                 changed since) is not overwritten (exit 2); an item restored\n"
    "                 already is left as it is. With --drive X:=PATH: the items of\n"
    "                 drive X: go below PATH (the volume mounted elsewhere now)\n"
    "      --drive X:=PATH\n"
    "                 PATH is the drive that the Windows calls X: (C: to Z:)\n"
    "  -f, --file-list FILE\n"
    "                 read PATHs from FILE ('-' for standard input), one per line,\n"
    "                 in their place among the PATH arguments; may be repeated\n"
    "      --one-file-system\n"
    "                 do not descend into a folder on another file system than its\n"
    "                 PATH (a mount point below it); each one is told in a note\n"
    "  -q, --quiet    print only detections, what could not be removed, problems\n"
    "                 and folders not scanned; with --json the summary too\n"
    "      --json     one JSON object per line (detections, notes, errors, ...), the\n"
    "                 last one a summary\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "      --         what follows is a PATH, even when it begins with '-'\n"
    "\n"
    "Without --remove nothing is changed; the start-up values, service keys and\n"
    "hosts file that --remove would remove are listed, marked \"would be removed\n"
    "with --remove\".\n"
    "\n"
    "PATH lists (-f): each line, ended by LF, is one PATH as written (spaces kept,\n"
    "a leading '-' is no option); a CR before the LF is dropped, an empty line is\n"
    "skipped, the last line needs no LF. A PATH from a list is checked as an\n"
    "argument is. A list that cannot be read, or holding a NUL byte, is wrong\n"
    "arguments (exit status 2): nothing is scanned.\n"
    "\n"
    "Quarantine (DIR, mode 0700): a file \"manifest\", one JSON object per line,\n"
    "appended and flushed before each change (what was kept, where it was on the\n"
    "volume, its SHA-256, mode, owner, times; for a hive or WININIT.INI also the\n"
    "new file's SHA-256 and what the run removed from it; then whether the change\n"
    "happened and whether it was restored), and one item per file (NNNNNNNN.item,\n"
    "mode 0600): the bytes behind a fixed header, transformed, so that no item is a\n"
    "program, bears a name from the volume or matches a scanner's signature.\n"
    "Nothing in DIR can be run. A run or a restore that was killed can be\n"
    "followed by --restore, which completes.\n"
    "\n"
    "Names as shown: in text output a control character, a byte that is not part\n"
    "of valid UTF-8, and the characters that could reorder or break a terminal\n"
    "line (C1 controls, U+2028, U+2029, bidirectional controls) appear as \\xHH,\n"
    "one per byte, so no name can start a line of its own. JSON output is valid\n"
    "UTF-8: a text from the volume that is not valid UTF-8 has U+FFFD for each\n"
    "such byte, and a second field of the same name with \"_hex\" appended holds\n"
    "its exact bytes in hexadecimal (\"path_hex\", \"message_hex\", ...). The\n"
    "characters text output shows as \\xHH are written \\uXXXX in JSON.\n"
    "\n"
    "JSON objects: \"type\" is \"detection\", \"registry\", \"hosts\", \"note\", \"error\"\n"
    "or \"summary\". \"action\" is one of: \"found\" (report-only), \"removed\",\n"
    "\"not_removed\" (the removal failed), \"would_remove\" (report-only: what\n"
    "--remove would remove). Errors also go to standard error as text. The summary\n"
    "comes last, always (--quiet too), and holds \"version\", the counts and\n"
    "\"exit_code\".\n"
    "\n"
    "Exit status: 0 nothing found, 1 found (and, with --remove, all of it removed,\n"
    "the start-up values and hosts file of its Windows included), 2 something could\n"
    "not be removed, read or examined, the scan was interrupted (Ctrl-C, SIGTERM, a\n"
    "closed or full output), or the arguments were wrong. A second Ctrl-C (or\n"
    "SIGTERM) while the first one is being handled ends the run at once, without\n"
    "the summary (exit status 2).\n";

volatile sig_atomic_t g_interrupted = 0;
volatile sig_atomic_t g_signalled = 0;
// The first signal stops the walk at its next entry, and the run ends as
// after the last (hives written, summary). A second one while that is under
// way (a stuck or very slow volume) ends the run at once: only what is safe
// in a handler, one line and _exit. A hive half written is a new file beside
// the old one, which stays as it was; the next run removes the new file.
void OnSignal(int) {
    if (g_signalled) {
        static const char kAgain[] = "\nvendrika-scan: interrupted again: ended at once, without the summary\n";
        const ssize_t written = ::write(STDERR_FILENO, kAgain, sizeof kAgain - 1);
        (void)written;
        ::_exit(2);
    }
    g_signalled = 1;
    g_interrupted = 1;
}

using offline::JsonObject;
using offline::JsonString;
using offline::Shown;

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
    bool oneFileSystem = false;
    std::string quarantine;  // --quarantine DIR
    std::string restore;     // --restore DIR
    std::vector<std::string> paths;
    std::vector<char> letters;  // each PATH's drive letter as its Windows names it; 0: not told
    std::vector<std::string> origins;  // where each PATH came from ("" for an argument)
};

// A Windows' hosts file (a Windows path).
std::string HostsFileOf(const pf::posix::WindowsInstall& w) {
    bool inSystemFolder = false;
    const char* tail = HostsFileTail(w.family, &inSystemFolder);
    return tail ? (inSystemFolder ? w.systemDir : w.windowsDir) + tail : std::string();
}

// A PATH list (-f), read as offline::ReadPathList reads it. False, with
// the reason, when the list cannot be read or holds a NUL byte.
bool ReadPathList(const std::string& name, Options* options, std::string* why) {
    FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "re");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    const std::string shownName = name == "-" ? "standard input" : name;
    std::vector<offline::ListedPath> listed;
    const bool ok = offline::ReadPathList(f, &listed, why);
    if (f != stdin) std::fclose(f);
    if (!ok) return false;
    for (const offline::ListedPath& p : listed) {
        options->paths.push_back(p.path);
        options->letters.push_back(0);
        options->origins.push_back(shownName + ", line " + std::to_string(p.line));
    }
    return true;
}

struct Detection {
    std::string windowsPath;
    std::string path;
    std::string name;
};

// The POSIX platform with the console standing in for the window: it
// listens to the scan's events (the window's words for its text) and to the
// platform's problems.
class ScanPlatform : public pf::posix::PosixPlatform, public pf::posix::Events, public app::WindowLines {
public:
    explicit ScanPlatform(const Options& options) : options_(options) {
        progress_ = !options.quiet && ::isatty(STDERR_FILENO);
        SetEvents(this);
        SetReadOnly(!options.remove);
        SetOneFileSystem(options.oneFileSystem);
        ::clock_gettime(CLOCK_MONOTONIC, &started_);
    }

    // A folder on another file system than its PATH (--one-file-system):
    // a note, shown with --quiet too, since part of the volume was left.
    void NotScanned(const std::string& what, const std::string& why) override {
        ClearProgress();
        if (options_.json)
            Print(JsonObject("note").Text("path", what).Text("message", why).Done(), true);
        else
            Print(Shown(what) + ": " + Shown(why), true);
    }

    int problems = 0;
    int detections = 0;
    // The scan's last status text ("Scanning completed", ...).
    std::string status;

    pf::BOOL PeekMessageA(pf::Msg* msg, pf::HWND, pf::UINT, pf::UINT, pf::UINT) override {
        // An interruption stops the walk the way the window's close does.
        if (!g_interrupted || interruptSent_ || !msg) return 0;
        interruptSent_ = true;
        std::memset(msg, 0, sizeof *msg);
        msg->message = pf::kWmQuit;
        return 1;
    }

    // ---- the scan's events ----
    // Keeps each file in the quarantine before its change.
    void SetQuarantine(offline::Quarantine* quarantine) {
        quarantine_ = quarantine;
        SetKeepChanges(quarantine != nullptr);
    }

    bool BeforeChange(const pf::posix::FileChange& change) override {
        if (!quarantine_) return true;
        const auto found = foundAt_.find(change.windowsPath);
        const bool hosts = found != foundAt_.end() && found->second.second == scan::Where::kHostsFile;
        std::string why;
        const char* kind = change.kind ? change.kind : hosts ? "hosts" : "file";
        if (quarantine_->Keep(change, kind, found != foundAt_.end() ? found->second.first : "", &why))
            return true;
        const int error = errno;
        Problem(Display(change.windowsPath), "cannot be kept in the quarantine (" + why + "): left as it is");
        errno = error;
        return false;
    }

    void AfterReplacement(const char* windowsPath, bool made) override { KeptOutcome(windowsPath, made); }

    void Found(const char* path, const char* name, scan::Where where) override {
        foundAt_[path] = {name, where};
        TellLeftover(path);
        MarkFound(path);
        ++detections;
        if (path[0] && path[1] == ':') foundOn_.insert(crt::ToUpper(path[0]));
        // Nothing of the volume runs: a worm service is cleaned through its
        // keys, in every control set (SYSTEM hive).
        RemoveServicesOfImage(path);
        Detection d{path, Display(path), name};
        ClearProgress();
        if (!options_.json)
            Print(Shown(d.path) + ": " + Shown(d.name) + " FOUND", true);
        else if (options_.remove)
            pending_.push_back(d);  // the outcome follows
        else
            Emit(d, "found");
        CheckOtherHostsFiles();
    }

    // The other Windows on the PATHs: their hosts files are checked at the
    // scan's first detection, as the Windows' own is at every one.
    std::vector<pf::posix::WindowsInstall> otherWindows;

    // Letters of this scan that may not be the ones the Windows gives those
    // drives; whether something was found on one of them.
    std::set<char> guessedLetters;
    bool FoundOnGuessedLetter() const {
        for (char letter : foundOn_)
            if (guessedLetters.count(letter)) return true;
        return false;
    }

    void Removed(const char* path, const char* name, scan::Where where) override {
        KeptOutcome(path, true);
        Outcome(path, name, "removed");
        WindowLines::Removed(path, name, where);
    }

    void NotRemoved(const char* path, const char* name, scan::Where where, pf::DWORD error) override {
        if (!options_.remove) {
            // Report-only refuses every change: an infected hosts file is
            // what --remove would remove (listed once).
            if (where == scan::Where::kHostsFile) WouldRemoveHosts(path, name);
            return;
        }
        KeptOutcome(path, false);
        Unchanged(path);
        Outcome(path, name, "not_removed");
        failure_ = true;
        WindowLines::NotRemoved(path, name, where, error);
        failure_ = false;
    }

    void ProcessNotEnded(const char* path) override {
        failure_ = true;
        WindowLines::ProcessNotEnded(path);
        failure_ = false;
    }

    // ---- the platform's events ----
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

    // ---- the registry: told once the hive is written ----
    void StartupValueRemoved(const scan::StartupValue& value) override {
        Change("start-up value", value.key, value.valueName, true);
        WindowLines::StartupValueRemoved(value);
    }
    void StartupValueLeft(const scan::StartupValue& value, pf::LONG error) override {
        Change("start-up value", value.key, value.valueName, false, error);
    }
    void ServiceKeysRemoved(const scan::Service& service) override {
        Change("service", ServiceKey(service).c_str(), "", true);
    }
    void ServiceKeysLeft(const scan::Service& service, pf::LONG error) override {
        Change("service", ServiceKey(service).c_str(), "", false, error);
    }

    // ---- deletion at the next start of a 95/98/Me Windows ----
    // Real-mode WININIT understands short (8.3) names only: an entry that
    // holds anything else would delete nothing.
    bool Schedule(const char* key, const char* value) {
        std::string why;
        if (guessedLetters.count(crt::ToUpper(value[0]))) {
            Problem(Display(value), std::string("the letter that Windows gives drive ") + value[0] +
                                        ": is not known, and an entry "
                                        "by another letter could delete another file: delete it by hand");
        } else if (!IsShortPath(value)) {
            Problem(Display(value), "its short (8.3) name cannot be read from its FAT volume, and "
                                    "WININIT.INI takes no other: delete it by hand");
        } else if (!RewriteWininit([&](const std::string& old) { return WithRenameEntry(old, key, value); },
                                   &why)) {
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

    // Detections still waiting for their outcome, and the registry's
    // changes once CommitRegistry has written (or failed to write) them.
    void Finish() {
        ClearProgress();
        for (const RegistryChange& c : changes_) {
            const char* action = HiveWritten(c.subKey.c_str()) ? "removed" : "not_removed";
            if (options_.json) {
                JsonObject object("registry");
                object.Text("kind", c.kind).Text("hive", c.hive).Text("key", c.key);
                if (!c.value.empty()) object.Text("value", c.value);
                Print(object.Text("action", action).Done(), true);
            } else if (!options_.quiet && c.kind == std::string("service")) {
                // (A start-up value's removal is the window's own line.)
                Print(Describe(c) + (action[0] == 'r' ? "removed" : "not removed: its hive could not be written"),
                      true);
            }
        }
        changes_.clear();
        for (const Detection& d : pending_) Emit(d, "found");
        pending_.clear();
        ClearProgress();
        if (detections > 0)
            for (const std::string& text : deferred_) Note(text, true);
        deferred_.clear();
    }

protected:
    // ---- the window's words ----
    // Report-only: the lines of a removal that was not attempted are not
    // shown; the statistics are. Quiet: only what failed. JSON: none.
    void Line(const char* text) override {
        if (options_.json) return;
        if (!options_.remove && !g_scan.summaryStarted) return;
        if (options_.quiet && !failure_) return;
        ClearProgress();
        Print(Shown(text, g_scan.summaryStarted), !g_scan.summaryStarted);
    }

    void Progress(const char* shortened) override {
        if (!progress_) return;
        progressPath_ = shortened;
        ShowProgress();
    }

    void Status(const char* text) override { status = text; }

private:
    // The quarantine's account of a change it kept the file of.
    void KeptOutcome(const char* path, bool changed) {
        std::string why;
        if (quarantine_ && !quarantine_->Outcome(path, changed, &why))
            Problem(Display(path), "kept in the quarantine, but what became of it is not recorded there (" + why +
                                       "); --restore finds out from the volume");
    }

    // A file a killed run was deleting, found again: said once, with the
    // name it had.
    void TellLeftover(const char* windowsPath) {
        const char* slash = std::strrchr(windowsPath, '\\');
        const std::string name = slash ? slash + 1 : windowsPath;
        const size_t mark = name.find(pf::posix::kDeletingMark);
        if (mark == std::string::npos) return;
        Note(Display(windowsPath) + ": left by an interrupted run of vendrika-scan while it deleted " +
                 (mark > 0 ? "the file " + name.substr(0, mark) : std::string("a file of a long name")),
             true);
    }

    void CheckOtherHostsFiles() {
        if (hostsChecked_) return;
        hostsChecked_ = true;
        for (const pf::posix::WindowsInstall& w : otherWindows)
            CheckTextFile(scan::kFamilyName, HostsFileOf(w).c_str());
    }

    // A path every component of which is an 8.3 name ("C:\WINDOWS\X~1.EXE").
    static bool IsShortPath(const char* path) {
        if (!path || !path[0] || path[1] != ':') return false;
        const char* p = path + 2;
        while (*p == '\\') {
            const char* start = ++p;
            while (*p && *p != '\\') ++p;
            const std::string name(start, p);
            const size_t dot = name.find('.');
            const std::string base = name.substr(0, dot);
            const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
            if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos)
                return false;
            for (unsigned char c : name)
                if (c <= ' ' || c >= 0x7F || std::strchr("\"*+,/:;<=>?[]|", c)) return false;
        }
        return *p == '\0';
    }

    struct RegistryChange {
        const char* kind;
        std::string subKey, hive, key, value;
    };

    static std::string ServiceKey(const scan::Service& service) {
        return std::string("SYSTEM\\") + (service.controlSet ? service.controlSet : "CurrentControlSet") +
               "\\Services\\" + service.name;
    }

    std::string Describe(const RegistryChange& c) const {
        return c.kind + (" " + Shown(c.value.empty() ? c.key : c.key + "\\" + c.value)) + " (" +
               Shown(c.hive) + "): ";
    }

    // A start-up value or a service key (a key below HKEY_LOCAL_MACHINE):
    // deleted in the hive, told once the hive is written; or left: in a
    // report-only run what --remove would remove (each once), else a
    // problem.
    void Change(const char* kind, const char* subKey, const char* value, bool removed, pf::LONG error = 0) {
        RegistryChange c{kind, subKey, HiveFileOf(subKey), std::string("HKEY_LOCAL_MACHINE\\") + subKey, value};
        if (removed) {
            changes_.push_back(c);
            return;
        }
        if (options_.remove) {
            Problem(c.key + (c.value.empty() ? "" : "\\" + c.value) + " (" + c.hive + ")",
                    "cannot be removed (registry error " + std::to_string(error) + ")");
            return;
        }
        if (!told_.insert(c.hive + '\0' + c.key + '\0' + c.value).second) return;
        if (options_.json) {
            JsonObject object("registry");
            object.Text("kind", kind).Text("hive", c.hive).Text("key", c.key);
            if (!c.value.empty()) object.Text("value", c.value);
            Print(object.Text("action", "would_remove").Done(), true);
        } else if (!options_.quiet) {
            ClearProgress();
            Print(Describe(c) + "would be removed with --remove", true);
        }
    }

    void WouldRemoveHosts(const char* path, const char* name) {
        // It is checked again at every detection: listed once.
        if (!told_.insert(std::string("hosts") + '\0' + path).second) return;
        ClearProgress();
        if (options_.json)
            Emit(Detection{path, Display(path), name}, "would_remove", "hosts");
        else
            Print(Shown(std::string(path) + "     " + name) + " would be removed with --remove", true);
    }

    // The outcome of a detection waiting for it (JSON).
    void Outcome(const char* path, const char* name, const char* action) {
        if (!options_.json) return;
        for (size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i].windowsPath != path || pending_[i].name != name) continue;
            Emit(pending_[i], action);
            pending_.erase(pending_.begin() + long(i));
            return;
        }
    }

    // The cause of a failed removal: a read-only volume once for the whole
    // volume, anything else per file.
    void Unchanged(const char* windowsPath) {
        const int error = LastChangeErrno();
        if (error == EROFS && windowsPath[0] && windowsPath[1] == ':') {
            Problem(DriveRoot(windowsPath[0]), "read-only file system: nothing on it can be removed");
            return;
        }
        Problem(Display(windowsPath),
                std::string("cannot be removed: ") + (error ? std::strerror(error) : "refused"));
    }

    void Emit(const Detection& d, const char* action, const char* type = "detection") {
        Print(offline::DetectionObject(d.path, d.windowsPath, d.name, action, type), true);
    }

    void ShowProgress() {
        struct timespec now;
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        const double t = double(now.tv_sec) + now.tv_nsec / 1e9;
        if (t - lastProgress_ < 0.1) return;
        lastProgress_ = t;
        const double elapsed = t - (double(started_.tv_sec) + started_.tv_nsec / 1e9);
        const double rate = elapsed > 0 ? g_scan.scannedCount / elapsed : 0;
        std::fprintf(stderr, "\r\033[K%d files, %.0f files/s, %s", int(g_scan.scannedCount), rate,
                     Shown(progressPath_).c_str());
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
    bool failure_ = false;  // the window's line being printed tells a failure
    double lastProgress_ = 0;
    struct timespec started_;
    std::string progressPath_;
    std::vector<Detection> pending_;
    std::vector<RegistryChange> changes_;
    std::set<std::string> told_;
    std::vector<std::string> deferred_;
    std::set<char> foundOn_;
    bool hostsChecked_ = false;
    offline::Quarantine* quarantine_ = nullptr;
    std::map<std::string, std::pair<std::string, scan::Where>> foundAt_;  // detection name and place
};

ScanPlatform* g_platform = nullptr;
bool WriteWininitEntry(const char* key, const char* value) {
    return g_platform && g_platform->Schedule(key, value);
}

int BadArguments(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("vendrika-scan: ", stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\nTry 'vendrika-scan --help'.\n", stderr);
    return offline::kExitTrouble;
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

// An item of a quarantine as listed and as a restore tells it.
JsonObject ItemObject(const char* type, const offline::QuarantineItem& item) {
    JsonObject o(type);
    o.Number("id", item.id).Text("kind", item.kind).Text("path", item.posixPath).Text("windows_path", item.windowsPath);
    return o;
}

std::string ItemText(const offline::QuarantineItem& item) {
    if (item.posixPath.empty()) return "item " + std::to_string(item.id);
    return std::to_string(item.id) + ": " + Shown(item.posixPath) + " (" + Shown(item.windowsPath) + ")";
}

// --quarantine DIR without --remove: what DIR holds.
int ListQuarantine(const Options& options) {
    const int dirFd = offline::OpenQuarantineFolder(options.quarantine);
    offline::Manifest manifest;
    std::string why = std::string("cannot be opened as a folder (a link is not followed): ") + std::strerror(errno);
    if (dirFd < 0 || !offline::ReadManifest(dirFd, &manifest, &why)) {
        if (dirFd >= 0) ::close(dirFd);
        std::fprintf(stderr, "vendrika-scan: quarantine %s: %s\n", Shown(options.quarantine).c_str(), Shown(why).c_str());
        return offline::kExitTrouble;
    }
    ::close(dirFd);
    for (const offline::QuarantineItem& item : manifest.items) {
        const std::string state = item.restored ? "restored" : item.outcome.empty() ? "unknown" : item.outcome;
        if (options.json) {
            JsonObject o = ItemObject("item", item);
            o.Text("detection", item.detection).Unsigned("size", item.size).Text("sha256", item.sha256)
                .Text("state", state);
            if (item.replacement) o.Number("absent", item.absent).Text("changes", item.changes);
            Print(o.Done(), false);
        } else if (!options.quiet || state != "restored") {
            const std::string what =
                item.replacement && item.absent ? "none before the run" : std::to_string(item.size) + " bytes";
            Print(ItemText(item) + ": " + item.kind + ", " + what + ", SHA-256 " + item.sha256 + ", " +
                      (state == "unknown"        ? std::string("its change was not recorded (an interrupted run)")
                       : state == "not_removed"  ? std::string("left on the volume")
                       : state == "not_replaced" ? std::string("left as it was")
                                                 : state) +
                      (item.changes.empty() ? "" : " (the run removed from it: " + Shown(item.changes) + ")"),
                  false);
        }
    }
    const int status = manifest.unreadableLines > 0 ? 2 : 0;
    if (manifest.unreadableLines > 0)
        std::fprintf(stderr, "vendrika-scan: quarantine %s: %ld manifest lines cannot be read\n",
                     Shown(options.quarantine).c_str(), manifest.unreadableLines);
    if (options.json)
        Print(JsonObject("summary").Text("version", offline::kVersionNumber).Number("items", long(manifest.items.size()))
                  .Number("unreadable_lines", manifest.unreadableLines).Number("exit_code", status).Done(), false);
    else if (!options.quiet)
        Print(std::to_string(manifest.items.size()) + " items in " + Shown(options.quarantine), false);
    if (std::fflush(stdout) != 0 || g_outputError) return offline::kExitTrouble;
    return status;
}

// --restore DIR [ID...]: every item (or those named) back in its place.
int RestoreQuarantine(const Options& options) {
    std::vector<long> ids;
    std::vector<offline::MovedDrive> moved;
    for (size_t i = 0; i < options.paths.size(); ++i) {
        const std::string& a = options.paths[i];
        if (options.letters[i]) {
            moved.push_back({options.letters[i], a});  // --drive X:=PATH: that drive is at PATH now
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const long id = std::strtol(a.c_str(), &end, 10);
        if (a.empty() || *end || errno || id <= 0)
            return BadArguments("'--restore DIR' takes item numbers after DIR, not '%s'", Shown(a).c_str());
        ids.push_back(id);
    }
    std::vector<offline::RestoreResult> results;
    std::string why;
    if (!offline::Restore(options.restore, ids, moved, &results, &why)) {
        std::fprintf(stderr, "vendrika-scan: quarantine %s: %s: nothing was restored\n",
                     Shown(options.restore).c_str(), Shown(why).c_str());
        return offline::kExitTrouble;
    }
    long restored = 0, already = 0, failed = 0;
    for (const offline::RestoreResult& r : results) {
        const bool bad = r.action == "place_taken" || r.action == "not_restored";
        restored += r.action == "restored";
        already += r.action == "already_restored";
        failed += bad;
        if (options.json) {
            JsonObject o = ItemObject("restore", r.item);
            o.Text("action", r.action);
            if (!r.message.empty()) o.Text("message", r.message);
            Print(o.Done(), true);
        } else if (bad || !options.quiet) {
            const std::string what = r.action == "restored"           ? "restored"
                                     : r.action == "already_restored" ? "restored already: nothing changed"
                                     : r.action == "place_taken"      ? "not restored: its place is taken"
                                                                      : "not restored";
            Print(ItemText(r.item) + ": " + what + (r.message.empty() ? "" : " (" + Shown(r.message) + ")"), true);
        }
        if (bad) std::fprintf(stderr, "vendrika-scan: %s: %s\n", ItemText(r.item).c_str(), Shown(r.message).c_str());
    }
    const int status = failed > 0 || g_outputError ? 2 : 0;
    if (options.json) {
        Print(JsonObject("summary").Text("version", offline::kVersionNumber).Number("items", long(results.size()))
                  .Number("restored", restored).Number("already_restored", already).Number("not_restored", failed)
                  .Number("exit_code", status).Done(), false);
    } else if (!options.quiet) {
        if (restored == 0 && failed == 0)
            Print("Nothing to restore: every item of " + Shown(options.restore) + " was restored already", false);
        else
            Print(std::to_string(restored) + " restored, " + std::to_string(already) + " restored already, " +
                      std::to_string(failed) + " not restored", false);
    }
    if (std::fflush(stdout) != 0 || g_outputError) return offline::kExitTrouble;
    return status;
}

}  // namespace

int VendrikaScanMain(int argc, char** argv) {
    Options options;
    bool endOfOptions = false;
    bool stdinListed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!endOfOptions && a == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && (a == "-h" || a == "--help")) {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? offline::kExitClean : offline::kExitTrouble;
        } else if (!endOfOptions && (a == "-V" || a == "--version")) {
            std::printf("%s\n", kVersion);
            return std::fflush(stdout) == 0 ? offline::kExitClean : offline::kExitTrouble;
        } else if (!endOfOptions && a == "--remove") {
            options.remove = true;
        } else if (!endOfOptions && a == "-r") {
            return BadArguments("%s", offline::kShortRemoveRefused);
        } else if (!endOfOptions && (a == "-q" || a == "--quiet")) {
            options.quiet = true;
        } else if (!endOfOptions && a == "--json") {
            options.json = true;
        } else if (!endOfOptions && a == "--drive") {
            // "--drive D:=PATH": PATH is the drive that Windows calls D:.
            const std::string d = i + 1 < argc ? argv[++i] : "";
            const char letter = d.size() > 3 ? crt::ToUpper(d[0]) : 0;
            if (letter < 'C' || letter > 'Z' || d[1] != ':' || d[2] != '=')
                return BadArguments("'--drive' takes LETTER:=PATH (C: to Z:), as in --drive D:=/mnt/data");
            options.paths.push_back(d.substr(3));
            options.letters.push_back(letter);
        } else if (!endOfOptions && (a == "--quarantine" || a == "--restore")) {
            if (i + 1 >= argc || !argv[i + 1][0]) return BadArguments("'%s' needs a DIR", a.c_str());
            (a == "--quarantine" ? options.quarantine : options.restore) = argv[++i];
        } else if (!endOfOptions && a == "--one-file-system") {
            options.oneFileSystem = true;
        } else if (!endOfOptions && (a == "-f" || a == "--file-list" || a.rfind("--file-list=", 0) == 0)) {
            std::string list;
            if (a[1] != '-' || a.find('=') == std::string::npos) {
                if (i + 1 >= argc) return BadArguments("'%s' needs a FILE (a PATH list, '-' for standard input)", a.c_str());
                list = argv[++i];
            } else {
                list = a.substr(a.find('=') + 1);
            }
            if (list.empty()) return BadArguments("'%s': an empty FILE name", Shown(a).c_str());
            if (list == "-" && stdinListed)
                return BadArguments("standard input can be read as a PATH list only once");
            stdinListed = stdinListed || list == "-";
            std::string why;
            if (!ReadPathList(list, &options, &why))
                return BadArguments("PATH list %s: %s", Shown(list == "-" ? "(standard input)" : list).c_str(),
                                    Shown(why).c_str());
        } else if (!endOfOptions && a.size() > 1 && a[0] == '-') {
            return BadArguments("unknown option '%s'", Shown(a).c_str());
        } else if (a.empty()) {
            return BadArguments("an empty path");
        } else {
            options.paths.push_back(a);
            options.letters.push_back(0);
            options.origins.push_back("");
        }
    }
    if (!options.restore.empty()) {
        if (options.remove || !options.quarantine.empty())
            return BadArguments("'--restore' takes neither '--remove' nor '--quarantine'");
        return RestoreQuarantine(options);
    }
    if (!options.quarantine.empty() && !options.remove) {
        if (!options.paths.empty())
            return BadArguments("'--quarantine DIR' without '--remove' lists DIR and takes no PATH");
        return ListQuarantine(options);
    }
    if (options.paths.empty()) return BadArguments("no path to scan");
    // What is kept must not be on what is scanned and changed.
    size_t holder = 0;
    if (!options.quarantine.empty() && offline::InsideAnyPath(options.quarantine, options.paths, &holder))
        return BadArguments("the quarantine %s is inside %s, which is scanned: nothing was read",
                            Shown(options.quarantine).c_str(), Shown(options.paths[holder]).c_str());

    // The PATH holding the Windows gets the letter that Windows gives its
    // drive (C: when it cannot be told), whatever its place on the command
    // line: its registry names its own files so. The others follow from C:.
    ScanPlatform platform(options);
    size_t windowsPath = options.paths.size();
    pf::posix::WindowsInstall windows;
    for (size_t i = 0; i < options.paths.size() && windows.family == 0; ++i) {
        windows = WindowsOn(options.paths[i]);
        if (windows.family != 0) windowsPath = i;
    }
    // A: and B: are the floppies, never walked. A letter told with --drive
    // must be the one the Windows gives itself.
    bool letterKnown = windows.family != 0 && windows.ownLetter >= 'C';
    char windowsLetter = letterKnown ? windows.ownLetter : 'C';
    if (windowsPath < options.paths.size() && options.letters[windowsPath] != 0) {
        if (letterKnown && options.letters[windowsPath] != windowsLetter)
            return BadArguments("%s: its Windows calls this drive %c:, not %c:", Shown(options.paths[windowsPath]).c_str(),
                                windowsLetter, options.letters[windowsPath]);
        windowsLetter = options.letters[windowsPath];
        letterKnown = true;
    }
    // Every path is checked before anything is read or changed; the
    // Windows' PATH first, so that its letter is free.
    for (size_t k = 0; k <= options.paths.size(); ++k) {
        const size_t i = k == 0 ? windowsPath : k - 1;
        if (i >= options.paths.size() || (k > 0 && i == windowsPath)) continue;
        std::string why;
        if (!platform.AddDrive(options.paths[i], &why, i == windowsPath ? windowsLetter : options.letters[i]))
            return BadArguments("%s%s%s: %s", Shown(options.origins[i]).c_str(),
                                options.origins[i].empty() ? "" : ": ", Shown(options.paths[i]).c_str(),
                                Shown(why).c_str());
    }

    offline::Quarantine quarantine;
    if (!options.quarantine.empty()) {
        std::string why;
        if (!quarantine.Open(options.quarantine, &why)) {
            std::fprintf(stderr, "vendrika-scan: quarantine %s: %s: nothing was done\n",
                         Shown(options.quarantine).c_str(), Shown(why).c_str());
            return offline::kExitTrouble;
        }
        platform.SetQuarantine(&quarantine);
        platform.Note("quarantine " + options.quarantine +
                          ": each file and hosts file is kept there before it is removed; start-up values, "
                          "service keys and WININIT.INI entries are not",
                      true);
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
    if (windows.family != 0) windows = pf::posix::PosixPlatform::FindWindows(platform, windowsLetter);
    if (windows.family == 0) {
        platform.Note("no Windows found on any PATH (no Windows or WINNT folder with System32\\config "
                      "or SYSTEM.DAT): no registry and no hosts file were examined",
                      true);
    } else {
        platform.SetWindows(windows);
        const std::string where = windows.windowsDir + " (" + platform.DriveRoot(windowsLetter) +
                                  (windowsPath != 0 ? ", PATH " + std::to_string(windowsPath + 1) + ")" : ")");
        const std::string hosts = HostsFileOf(windows);
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
        // Which letters that Windows gives the drives: its own from
        // SystemRoot (MSDOS.SYS on 95/98/Me); the other PATHs' are this
        // scan's.
        if (!letterKnown) {
            platform.guessedLetters.insert(windowsLetter);
            platform.Note(std::string("the letter that Windows gives its own drive cannot be read (") +
                              (windows.family == 4 ? "no WinDir in MSDOS.SYS at the drive's root"
                                                   : "no SystemRoot in its SOFTWARE hive") +
                              "): taken as C:; what names a file there by another letter was not matched",
                          true);
        }
        const std::set<char> told(options.letters.begin(), options.letters.end());
        for (int i = 0; i < platform.DriveCount(); ++i) {
            const char letter = platform.DriveLetter(i);
            if (letter == windowsLetter || told.count(letter)) continue;
            platform.guessedLetters.insert(letter);
            platform.Note(std::string(1, letter) + ": (" + platform.DriveRoot(letter) +
                              ") is this scan's letter; the one that Windows gives that drive is not "
                              "known (tell it with --drive): what names a file there by another letter was "
                              "not matched",
                          true);
        }
        // Every other Windows on every PATH is named; its hosts file is
        // checked, its registry is not.
        for (int i = 0; i < platform.DriveCount(); ++i) {
            const char letter = platform.DriveLetter(i);
            for (const pf::posix::WindowsInstall& other :
                 pf::posix::PosixPlatform::FindEveryWindows(platform, letter)) {
                if (letter == windowsLetter && crt::stricmp(other.windowsDir.c_str(), windows.windowsDir.c_str()) == 0)
                    continue;
                platform.otherWindows.push_back(other);
                platform.Note("another Windows: " + other.windowsDir + " (" + platform.DriveRoot(letter) + "), " +
                                  FamilyName(other) + "; its hosts file " + HostsFileOf(other) +
                                  " is checked; its registry is not examined: start-up values and "
                                  "services there stay",
                              true);
            }
        }
    }
    // A report-only run changes nothing of its own; where the driver itself
    // updates access times as files are read, the user is told first.
    for (int i = 0; !options.remove && i < platform.DriveCount(); ++i) {
        const std::string why = platform.AccessTimesNotKept(char('C' + i));
        if (!why.empty()) platform.Note(why, true);
    }
    // One removing run at a time per Windows: a second one is refused
    // before it changes anything.
    if (options.remove) {
        std::string why;
        if (!platform.LockRegistry(&why)) {
            std::fprintf(stderr, "vendrika-scan: %s: nothing was done\n", Shown(why).c_str());
            return offline::kExitTrouble;
        }
    }
    // New hives an interrupted run left: the hives beside them are as they
    // were; --remove removes them.
    if (registryExamined) {
        std::vector<bool> removed;
        const std::vector<std::string> leftovers = platform.HiveLeftovers(options.remove, &removed);
        for (size_t i = 0; i < leftovers.size(); ++i) {
            if (options.remove && !removed[i]) {
                platform.Problem(leftovers[i], "a new hive left by an interrupted run cannot be removed");
                continue;
            }
            platform.Note(leftovers[i] + ": a new hive left by an interrupted run of vendrika-scan, never put "
                                         "in place (the hive beside it is as it was): " +
                              (options.remove ? "removed" : "would be removed with --remove"),
                          true);
        }
    }
    pf::SetPlatform(&platform);
    scan::SetListener(&platform);
    g_platform = &platform;
    SetWininitEntryWriter(WriteWininitEntry);

    // The scan, as the window's SCAN button starts it.
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

    if (!options.quarantine.empty())
        platform.Note(std::to_string(quarantine.Kept()) + " items kept in the quarantine " + options.quarantine +
                      " (vendrika-scan --restore " + options.quarantine + " puts them back)");

    int status = offline::kExitClean;
    if (g_scan.infectedCount > 0) status = offline::kExitFound;
    // Found and removed is all the window would have done only where the
    // registry of the Windows was examined too.
    const bool incomplete = options.remove && g_scan.infectedCount > 0 &&
                            (g_scan.removedCount < g_scan.infectedCount || !registryExamined);
    // Something found while a Windows' registry went unexamined, or where
    // the letters that registry names files by are not known.
    const bool unexamined = g_scan.infectedCount > 0 &&
                            (!platform.otherWindows.empty() || (registryExamined && platform.FoundOnGuessedLetter()));
    if (platform.problems > 0 || g_scan.cancelled || incomplete || unexamined || g_outputError)
        status = offline::kExitTrouble;

    // JSON always ends with its summary (the exit code a reader checks);
    // quiet text only drops the status line.
    if (options.json || !options.quiet) {
        if (options.json) {
            Print(offline::SummaryObject(g_scan.scannedCount, g_scan.infectedCount,
                                         g_scan.removedCount, platform.problems)
                      .Number("opened", platform.filesOpened)
                      .Text("status", platform.status)
                      .Number("exit_code", status)
                      .Done(),
                  false);
        } else {
            Print(platform.status, false);
        }
    }
    if (!g_outputError && std::fflush(stdout) != 0) g_outputError = errno ? errno : EIO;
    scan::SetListener(nullptr);
    pf::SetPlatform(nullptr);
    if (g_outputError) {
        std::fprintf(stderr, "vendrika-scan: standard output cannot be written: %s%s\n",
                     std::strerror(g_outputError),
                     g_scan.cancelled ? "; the scan was stopped there" : "");
        return offline::kExitTrouble;
    }
    return status;
}

#ifndef CV_VENDRIKA_SCAN_NO_MAIN
int main(int argc, char** argv) { return VendrikaScanMain(argc, argv); }
#endif
