// The memory step: the program file of every running process goes through
// the ordinary inspection; an infected process is ended and its file handed
// back for removal. On NT 4.0, 2000 and XP a process that cannot be ended may
// be a service of the worm: a service whose ImagePath names the infected file
// is stopped and its keys go. What happened is always in the result list, and
// the scan goes on unless the user restarts to finish a removal.
#include "system/memory_check.h"

#include <cstring>

#include "engine/removal.h"
#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "engine/walk.h"
#include "platform/crt.h"
#include "platform/platform.h"
#include "system/os_version.h"
#include "system/processes.h"
#include "system/restart.h"
#include "system/services.h"

namespace {

// Read rights too: the handle that ends is the one whose program is checked.
constexpr pf::DWORD kOpenForEnd =
    pf::kProcessTerminate | pf::kProcessQueryInformation | pf::kProcessVmRead;  // 0x411
constexpr pf::DWORD kOpenForEndWithoutPsapi = pf::kProcessTerminate | pf::kProcessQueryInformation;  // 0x401
constexpr int kReadable = 4;  // _access mode: read permission

// The list is taken once; the waits, service stops and questions of each
// entry come before the next. A listed process that ended meanwhile has
// freed its id, which the next program started may hold now: a process is
// opened first, checked through that handle to run the inspected file still,
// and only then ended, through the same handle.
enum class Opened { kRunsIt, kGone, kNotOpened };

Opened OpenListed(const ProcessEntry& e, pf::DWORD access, pf::HANDLE* process) {
    *process = pf::Os().OpenProcess(access, 0, e.processId);
    if (!*process) return Opened::kNotOpened;
    if (StillRunsImage(*process, e.processId, e.imagePath)) return Opened::kRunsIt;
    pf::Os().CloseHandle(*process);
    *process = nullptr;
    return Opened::kGone;
}

// The cleaner's own process is listed too: its file is known from there.
void RememberOwnProgram(const ProcessEntry* list) {
    const pf::DWORD self = pf::Os().GetCurrentProcessId();
    for (const ProcessEntry* e = list; e; e = e->next)
        if (e->processId == self) crt::CopyText(g_scan.ownProgramPath, e->imagePath);
}

// The walk with memoryRemoval on hands the file to the removal step.
void HandBackForRemoval(const char* path) {
    g_scan.memoryRemoval = true;
    WalkFolder(path);
    g_scan.memoryRemoval = false;
}

// "C:\WINDOWS\system32\foo.exe" -> "foo": the name after the last backslash,
// cut at its last dot.
void ServiceNameOf(const char* path, char* name, size_t size) {
    const char* slash = crt::FindLastChar(path, '\\', pf::AnsiLeadBytes());
    crt::CopyText(name, size, slash ? slash + 1 : path);
    if (char* dot = std::strrchr(name, '.')) *dot = '\0';
}

void CheckBySnapshot() {
    ProcessEntry* list = ListProcessesBySnapshot();
    RememberOwnProgram(list);
    for (ProcessEntry* e = list; e; e = e->next) {
        if (pf::Os()._access(e->imagePath, kReadable) != 0) continue;
        WalkFolder(e->imagePath);
        if (!g_scan.foundInMemory) continue;
        // Its own process and file stay; the line says what to do.
        if (SpareProtectedProgram(e->imagePath, scan::kFamilyName)) continue;
        pf::HANDLE process = nullptr;
        const Opened opened = OpenListed(*e, kOpenForEndWithoutPsapi, &process);
        // No longer running: the walk meets its file like any other.
        if (opened == Opened::kGone) continue;
        const bool ended = process && pf::Os().TerminateProcess(process, 0);
        if (process) pf::Os().CloseHandle(process);
        if (ended) {
            HandBackForRemoval(e->imagePath);
            continue;
        }
        // It runs on: say so, then remove the file as any other found, which
        // escalates on its own (ending it by path, else the next start).
        scan::Events().ProcessNotEnded(e->imagePath);
        RemoveInfectedFile(e->imagePath, scan::kFamilyName);
    }
    FreeProcessList(list);
}

// True when at least one running process was found infected.
bool CheckByModulePath() {
    ProcessEntry* list = ListProcessesByModulePath(true);
    RememberOwnProgram(list);
    bool found = false;
    for (ProcessEntry* e = list; e; e = e->next) {
        if (pf::Os()._access(e->imagePath, kReadable) != 0) continue;
        WalkFolder(e->imagePath);
        if (!g_scan.foundInMemory) continue;
        found = true;
        // Its own process, or one the system cannot run without: neither is
        // ended, nor a service stopped or removed for it.
        if (SpareProtectedProgram(e->imagePath, scan::kFamilyName)) continue;

        // Two attempts, the second also after a successful first one, on one
        // handle: while it is open the id cannot pass to another process.
        pf::Platform& os = pf::Os();
        pf::HANDLE process = nullptr;
        if (OpenListed(*e, kOpenForEnd, &process) == Opened::kGone) continue;
        const bool firstEnded = process && os.TerminateProcess(process, 0);
        const bool secondEnded = process && os.TerminateProcess(process, 0);
        if (process) os.CloseHandle(process);
        if (secondEnded) {
            HandBackForRemoval(e->imagePath);
            continue;
        }
        const int nt = GetNtClass();
        char service[kMaxPath];
        ServiceNameOf(e->imagePath, service, sizeof(service));
        // A file called ".exe" names no service: stopping "" or deleting
        // "...\Services\" would address the whole services tree. A service
        // that only shares the file's name runs another program: it and its
        // keys stay.
        if ((nt == 5 || nt == 6) && service[0] != '\0') {
            if (StopServiceOfImage(service, e->imagePath)) {
                DeleteServiceKeysOfImage(service, e->imagePath);
                HandBackForRemoval(e->imagePath);
                continue;
            }
            // Said only when a key was deleted.
            if (DeleteServiceKeysOfImage(service, e->imagePath))
                g_scan.memoryRegistryCleaned = true;
        }
        if (firstEnded) HandBackForRemoval(e->imagePath);
    }
    FreeProcessList(list);
    return found;
}

}  // namespace

void RunMemoryCheck() {
    const int osClass = GetOsClass();
    g_scan.memoryMode = true;
    if (osClass == 4) {
        CheckBySnapshot();
    } else if (osClass == 5 && CheckByModulePath()) {
        // A worm service lost its keys while its process runs on: the restart
        // finishes the removal. Without it, or with nothing of that kind, the
        // scan goes on: what was ended and removed is in the list, and a file
        // still running is met by the walk, whose removal schedules it.
        if (g_scan.memoryRegistryCleaned) scan::Events().RestartNeeded(scan::RestartFor::kWormService);
        if (g_scan.memoryRegistryCleaned &&
            pf::Os().SkinMessageBox(
                "W32/Vendrika.Trojan found in memory! registry entries created by the worm are "
                "removed. You must restart the computer and run this program to continue "
                "scanning.\n\nRestart the computer now?",
                "CleanVendrika Ver 1.0", pf::kMbOkCancel | pf::kMbIconAsterisk) == pf::kIdOk) {
            if (RestartSystem()) {
                scan::Events().RestartRequested(scan::RestartFor::kWormService, true);
                pf::Os().exit(0);
                return;
            }
            // The system did not take the request: nothing restarts, so
            // the program stays and scans on rather than end unseen.
            scan::Events().RestartRequested(scan::RestartFor::kWormService, false);
        }
    }
    g_scan.memoryMode = false;
}
