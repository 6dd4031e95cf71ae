// One whole scan: memory first, then every fixed drive from C: to Z:, then
// the statistics, the final status and, when needed, the restart question.
#include "engine/scan_run.h"

#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "engine/walk.h"
#include "platform/crt.h"
#include "system/memory_check.h"
#include "system/restart.h"

namespace {
const char kRestartQuestion[] =
    "The system has to be restarted to remove the virus completely from your system. "
    "Open programs may ask to save their work first.\n\n Restart now?";
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

int RunScan(const char* const* folders) {
    RunMemoryCheck();

    for (; folders && *folders && !g_scan.cancelled; ++folders) {
        char pattern[kMaxPath];
        crt::CopyText(pattern, *folders);
        WalkDrive(pattern);
    }
    for (int drive = kFirstDrive; !folders && drive <= kLastDrive; ++drive) {
        char root[] = "C:\\";
        root[0] = char('A' + drive);
        if (pf::Os().GetDriveTypeA(root) != pf::kDriveFixed) continue;
        char pattern[] = "C:\\*.*";
        pattern[0] = root[0];
        WalkDrive(pattern);
    }

    g_scan.summaryStarted = true;
    scan::Events().StatisticsReady({g_scan.scannedCount, g_scan.infectedCount, g_scan.removedCount});
    scan::Events().Ended(g_scan.cancelled);

    if (g_scan.restartNeeded) {
        scan::Events().RestartNeeded(scan::RestartFor::kPendingDeletion);
        const int answer = pf::Os().SkinMessageBox(kRestartQuestion, kProgramTitle,
                                                   pf::kMbYesNo | pf::kMbIconQuestion);
        // The request returns before the programs have answered: one that
        // refuses stops the restart, and the deletion then waits for the
        // next one. The user is told so here, while the window still shows.
        if (answer == pf::kIdYes)
            scan::Events().RestartRequested(scan::RestartFor::kPendingDeletion, RestartSystem());
    }
    return 1;
}
