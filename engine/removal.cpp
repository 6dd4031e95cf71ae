// Removal of a matched file and its report lines.
#include "engine/removal.h"

#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "persistence/delayed_delete.h"
#include "system/processes.h"

namespace {
// Clearing every other attribute takes read-only, hidden and system off.
constexpr pf::DWORD kPlainAttributes = pf::kFileAttributeArchive;
// Time the ended process needs to let go of its image.
constexpr pf::DWORD kImageReleaseWait = 1000;

void Removed(const char* path, const char* detectionName) {
    ++g_scan.removedCount;
    scan::Events().Removed(path, detectionName, scan::Where::kFile);
}

void NotRemoved(const char* path, const char* detectionName, pf::DWORD error) {
    scan::Events().NotRemoved(path, detectionName, scan::Where::kFile, error);
}
}  // namespace

void RemoveInfectedFile(const char* path, const char* detectionName) {
    if (!pf::Os().SetFileAttributesA(path, kPlainAttributes)) {
        NotRemoved(path, detectionName, pf::Os().GetLastError());
        return;
    }
    if (pf::Os().DeleteFileA(path)) {
        Removed(path, detectionName);
        return;
    }
    pf::DWORD error = pf::Os().GetLastError();
    if (TerminateProcessesByPath(path)) {
        if (pf::Os().DeleteFileA(path)) {
            Removed(path, detectionName);
            return;
        }
        error = pf::Os().GetLastError();
    }
    NotRemoved(path, detectionName, error);
    // Once a deletion is pending the restart stays on offer: a later file
    // that could not be scheduled does not take it back.
    if (ScheduleDeleteOnReboot(path)) g_scan.restartNeeded = true;
}

void RemoveProcessImage(const char* path, const char* detectionName) {
    scan::Events().ProcessEnded(path);
    pf::Os().Sleep(kImageReleaseWait);
    RemoveInfectedFile(path, detectionName);
}
