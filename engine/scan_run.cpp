// One whole scan: memory first, then every fixed drive from C: to Z:, then
// the statistics, the final status and, when needed, the restart question.
#include "engine/scan_run.h"

#include "engine/scan_context.h"
#include "engine/walk.h"
#include "platform/crt.h"
#include "system/memory_check.h"
#include "system/restart.h"

namespace {
const char kRestartQuestion[] =
    "The system has to be restarted to remove the virus completely from your system. "
    "Open programs may ask to save their work first.\n\n Restart now?";
// After a Yes: the request was taken (a program may still refuse the
// restart, and the deletion then waits for the next one), or it was not.
const char kRestartRequestedLine[] =
    "Restart requested: if a program refuses it, the removal waits for the next restart";
const char kRestartFailedLine[] = "Restart failed: restart the computer to complete the removal";
constexpr const char* kProgramTitle = "CleanVendrika Ver 1.0";
constexpr int kFirstDrive = 2;  // C:; A: and B: are never scanned
constexpr int kLastDrive = 25;  // Z:

// One drive's pattern, then its Program Files folder on its own when the
// walk found it but never went into it.
void WalkDrive(const char* pattern) {
    WalkFolder(pattern);
    if (g_scan.programFilesPending && !g_scan.programFilesVisited) {
        char programFiles[kMaxPath];
        crt::CopyText(programFiles, g_scan.programFilesPattern);
        WalkFolder(programFiles);
        g_scan.programFilesPending = false;
    }
}
}  // namespace

int RunScan() {
    RunMemoryCheck();

    for (int drive = kFirstDrive; drive <= kLastDrive; ++drive) {
        char root[] = "C:\\";
        root[0] = char('A' + drive);
        if (pf::Os().GetDriveTypeA(root) != pf::kDriveFixed) continue;
        char pattern[] = "C:\\*.*";
        pattern[0] = root[0];
        WalkDrive(pattern);
    }

    g_scan.summaryStarted = true;
    if (g_scan.infectedCount > 0) ReportLine(" ");
    ReportLine("Scanning statistics");
    ReportLine("------------------------------");
    ReportLine("Total files scanned\t\t:  %d", int(g_scan.scannedCount));
    ReportLine("Total files infected\t\t:  %d", int(g_scan.infectedCount));
    ReportLine("Total files removed\t\t:  %d", int(g_scan.removedCount));

    ShowStatus(g_scan.cancelled ? "Scanning terminated" : "Scanning completed");

    if (g_scan.restartNeeded) {
        const int answer = pf::Os().SkinMessageBox(kRestartQuestion, kProgramTitle,
                                                   pf::kMbYesNo | pf::kMbIconQuestion);
        // The request returns before the programs have answered: one that
        // refuses stops the restart, and the deletion then waits for the
        // next one. The user is told so here, while the window still shows.
        if (answer == pf::kIdYes)
            ReportLine(RestartSystem() ? kRestartRequestedLine : kRestartFailedLine);
    }
    return 1;
}
