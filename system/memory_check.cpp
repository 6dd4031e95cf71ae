// The memory step: the program file of every running process goes through
// the ordinary inspection; an infected process is ended and its file handed
// back for removal. On NT 4.0, 2000 and XP a process that cannot be ended is
// taken for a service of the worm, which is stopped and whose keys go.
#include "system/memory_check.h"

#include <cstring>

#include "engine/scan_context.h"
#include "engine/walk.h"
#include "platform/crt.h"
#include "platform/platform.h"
#include "system/os_version.h"
#include "system/processes.h"
#include "system/restart.h"
#include "system/services.h"

namespace {

constexpr pf::DWORD kOpenForEnd = pf::kProcessTerminate | pf::kProcessQueryInformation;  // 0x401
constexpr int kReadable = 4;  // _access mode: read permission

// Opens the process and ends it; true when TerminateProcess succeeded.
bool EndProcess(pf::DWORD pid) {
    pf::Platform& os = pf::Os();
    pf::HANDLE process = os.OpenProcess(kOpenForEnd, 0, pid);
    if (!process) return false;
    const bool ended = os.TerminateProcess(process, 0) != 0;
    os.CloseHandle(process);
    return ended;
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
    const char* slash = std::strrchr(path, '\\');
    crt::CopyText(name, size, slash ? slash + 1 : path);
    if (char* dot = std::strrchr(name, '.')) *dot = '\0';
}

void CheckBySnapshot() {
    ProcessEntry* list = ListProcessesBySnapshot();
    for (ProcessEntry* e = list; e; e = e->next) {
        if (pf::Os()._access(e->imagePath, kReadable) != 0) continue;
        WalkFolder(e->imagePath);
        if (!g_scan.foundInMemory) continue;
        // Whether or not it ended, the file is handed back; the removal
        // step escalates on its own.
        EndProcess(e->processId);
        HandBackForRemoval(e->imagePath);
    }
    FreeProcessList(list);
}

// True when at least one running process was found infected.
bool CheckByModulePath() {
    ProcessEntry* list = ListProcessesByModulePath(true);
    bool found = false;
    for (ProcessEntry* e = list; e; e = e->next) {
        if (pf::Os()._access(e->imagePath, kReadable) != 0) continue;
        WalkFolder(e->imagePath);
        if (!g_scan.foundInMemory) continue;
        found = true;

        // Two attempts, the second also after a successful first one.
        const bool firstEnded = EndProcess(e->processId);
        if (EndProcess(e->processId)) {
            HandBackForRemoval(e->imagePath);
            continue;
        }
        const int nt = GetNtClass();
        char service[kMaxPath];
        ServiceNameOf(e->imagePath, service, sizeof(service));
        // A file called ".exe" names no service: stopping "" or deleting
        // "...\Services\" would address the whole services tree.
        if ((nt == 5 || nt == 6) && service[0] != '\0') {
            if (StopService(service, 1)) {
                DeleteServiceKeys(service);
                HandBackForRemoval(e->imagePath);
                continue;
            }
            // Said only when a key was deleted.
            if (DeleteServiceKeys(service)) g_scan.memoryRegistryCleaned = true;
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
        // The user has to restart and run the cleaner again to go on.
        if (g_scan.memoryRegistryCleaned &&
            pf::Os().SkinMessageBox(
                "W32/Vendrika.Trojan found in memory! registry entries created by the worm are "
                "removed. You must restart the computer and run this program to continue "
                "scanning.\n\nRestart the computer now?",
                "CleanVendrika Ver 1.0", pf::kMbOkCancel | pf::kMbIconAsterisk) == pf::kIdOk)
            RestartSystem();
        pf::Os().exit(0);
        return;
    }
    g_scan.memoryMode = false;
}
