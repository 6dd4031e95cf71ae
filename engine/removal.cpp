// Removal of a matched file and its report lines.
#include "engine/removal.h"

#include "engine/scan_context.h"
#include "persistence/delayed_delete.h"
#include "system/processes.h"

namespace {
// Clearing every other attribute takes read-only, hidden and system off.
constexpr pf::DWORD kPlainAttributes = pf::kFileAttributeArchive;
// Time the ended process needs to let go of its image.
constexpr pf::DWORD kImageReleaseWait = 1000;

void Removed(const char* path, const char* detectionName) {
    ++g_scan.removedCount;
    ReportLine("%s     %s removed", path, detectionName);
}
}  // namespace

void RemoveInfectedFile(const char* path, const char* detectionName) {
    if (!pf::Os().SetFileAttributesA(path, kPlainAttributes)) {
        ReportLine("%s     %s Unable to remove", path, detectionName);
        return;
    }
    if (pf::Os().DeleteFileA(path)) {
        Removed(path, detectionName);
        return;
    }
    if (TerminateProcessesByPath(path) && pf::Os().DeleteFileA(path)) {
        Removed(path, detectionName);
        return;
    }
    ReportLine("%s     %s Unable to remove", path, detectionName);
    // Once a deletion is pending the restart stays on offer: a later file
    // that could not be scheduled does not take it back.
    if (ScheduleDeleteOnReboot(path)) g_scan.restartNeeded = true;
}

void RemoveProcessImage(const char* path, const char* detectionName) {
    ReportLine("System Memory    W32/Vendrika.Trojan removed");
    pf::Os().Sleep(kImageReleaseWait);
    RemoveInfectedFile(path, detectionName);
}
