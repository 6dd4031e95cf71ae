#include "app/window_report.h"

#include <cstdarg>
#include <cstdio>

#include "engine/walk.h"
#include "platform/crt.h"
#include "scan/scan_context.h"

namespace app {
namespace {
constexpr int kStatusWidth = 60;
const char kRestartRequestedLine[] =
    "Restart requested: if a program refuses it, the removal waits for the next restart";
const char kRestartFailedLine[] = "Restart failed: restart the computer to complete the removal";
const char kRescanRestartFailedLine[] =
    "Restart failed: restart the computer and run this program again";
}  // namespace

void WindowLines::Format(const char* format, ...) {
    char line[kReportLineSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Line(line);
}

void WindowLines::Scanning(const char* path) {
    char shortened[kMaxPath];
    ShortenPathForDisplay(path, shortened, kStatusWidth);
    Progress(shortened);
}

void WindowLines::Removed(const char* path, const char* name, scan::Where) {
    Format("%s     %s removed", path, name);
}

// The hosts file's own words for a failure; a program's are the others.
void WindowLines::NotRemoved(const char* path, const char* name, scan::Where where, pf::DWORD) {
    Format(where == scan::Where::kHostsFile ? "%s     %s Remove failed" : "%s     %s Unable to remove",
           path, name);
}

void WindowLines::ProcessEnded(const char*) { Format("System Memory    %s removed", scan::kFamilyName); }

void WindowLines::ProcessNotEnded(const char*) {
    Format("System Memory    %s Unable to remove", scan::kFamilyName);
}

// Neither is ended nor deleted: the line says what to do instead.
void WindowLines::OwnProgramInfected(const char* path, const char* name) {
    Format("%s     %s in this program's own file: not removed, replace it from clean media", path, name);
}

void WindowLines::SystemProgramInfected(const char* path, const char* name, bool restoreWithSfc) {
    Format("%s     %s in a program of Windows itself: not ended nor removed, restore it from the "
           "installation media%s",
           path, name, restoreWithSfc ? " or with System File Checker (sfc /scannow)" : "");
}

// A value found by its data is told with the family's name; one that bore a
// name removed before, with the name of the detection it goes with.
void WindowLines::StartupValueRemoved(const scan::StartupValue& value) {
    Format("System Registry     %s removed", value.naming == scan::Naming::kRememberedName
                                                     ? value.detectionName
                                                     : scan::kFamilyName);
}

void WindowLines::StatisticsReady(const scan::Statistics& s) {
    if (s.infected > 0) Line(" ");
    Line("Scanning statistics");
    Line("------------------------------");
    Format("Total files scanned\t\t:  %d", int(s.scanned));
    Format("Total files infected\t\t:  %d", int(s.infected));
    Format("Total files removed\t\t:  %d", int(s.removed));
}

void WindowLines::Ended(bool cancelled) { Status(cancelled ? "Scanning terminated" : "Scanning completed"); }

// A restart that was taken ends the program; one for a pending deletion
// is told either way, since the system may still be refused by a program.
void WindowLines::RestartRequested(scan::RestartFor why, bool taken) {
    if (why == scan::RestartFor::kPendingDeletion)
        Line(taken ? kRestartRequestedLine : kRestartFailedLine);
    else if (!taken)
        Line(kRescanRestartFailedLine);
}

// Lines go to a known main window only; status texts always.
void WindowReport::Line(const char* text) {
    if (!g_scan.mainWindow) return;
    crt::CopyText(g_scan.reportLine, text);
    pf::Os().SendMessageA(g_scan.mainWindow, WM_SCAN_ADDLINE, 0, 0);
}

void WindowReport::Progress(const char* shortened) {
    crt::CopyText(g_scan.statusText, shortened);
    pf::Os().SendMessageA(g_scan.mainWindow, WM_SCAN_STATUS, 0, 0);
}

void WindowReport::Status(const char* text) {
    crt::CopyText(g_scan.statusText, text);
    pf::Os().SendMessageA(g_scan.mainWindow, WM_SCAN_STATUS, 0, 0);
}

}  // namespace app
