// Finding running processes and ending those that run a given program file.
//
// Each Windows generation offers its own listing facility: the tool-help
// snapshot (9x family), psapi's module paths (2000/XP) and the performance
// data in the registry (NT 4.0, Vista and later). Optional entry points are
// looked up by name at run time so the program starts on systems that lack
// them; a library once loaded stays loaded.
#include "system/processes.h"

#include <cstring>

#include "platform/crt.h"
#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "system/os_version.h"

namespace {

constexpr pf::DWORD kOpenForPath = pf::kProcessQueryInformation | pf::kProcessVmRead;    // 0x410
constexpr pf::DWORD kOpenForEnd = pf::kProcessTerminate | pf::kProcessQueryInformation;  // 0x401
constexpr pf::DWORD kOpenForEndOnly = pf::kProcessTerminate;                             // 0x1
constexpr pf::DWORD kOpenForEndByPath = kOpenForEnd | pf::kProcessVmRead;                  // 0x411

constexpr pf::DWORD kMaxProcessIds = 1024;
constexpr pf::DWORD kModulePathSize = 260;

constexpr pf::DWORD kPerfBufferStart = 51200;
constexpr pf::DWORD kPerfBufferStep = 25600;
// The process object of a busy machine is a few hundred kilobytes; a system
// that keeps asking for more beyond 2 MB (about 80 rounds, room for several
// thousand processes) is not answered any further, so that a broken answer
// cannot keep the scan here.
constexpr pf::DWORD kPerfBufferLimit = 2u * 1024 * 1024;
// The same for the counter names (a few hundred kilobytes in practice).
constexpr pf::DWORD kCounterNamesLimit = 16u * 1024 * 1024;

const char kPerflibKey[] = "software\\microsoft\\windows nt\\currentversion\\perflib";
constexpr unsigned kNeutralLanguage = 9;  // perflib\009: the English names

// Names are compared and cut in the system's ANSI code page (see
// crt::CompareNames): each listing or termination asks for its lead bytes
// once and compares every path with them.
const char* AfterLastBackslash(const char* path, const crt::LeadBytes& leads) {
    const char* slash = crt::FindLastChar(path, '\\', leads);
    return slash ? slash + 1 : path;
}

ProcessEntry* NewEntry(pf::DWORD pid, const char* path) {
    auto* e = static_cast<ProcessEntry*>(pf::Os().GlobalAlloc(pf::kGptr, sizeof(ProcessEntry)));
    if (!e) return nullptr;
    std::memset(e, 0, sizeof(*e));
    e->processId = pid;
    crt::CopyText(e->imagePath, kModulePathSize, path);
    return e;
}

// The idle process (0, kept as 0xFFFFFFFE in the performance table) and the
// System process (2 on NT 3.x, 8 on NT 4.0 and 2000, 4 from XP on).
bool IsIdleOrSystem(pf::DWORD pid) {
    return pid == 0 || pid == 0xFFFFFFFEu || pid == 2 || pid == 4 || pid == 8;
}

// Programs the NT family cannot run without: ending one of them stops or
// crashes the machine, with every unsaved document. Every NT has the first
// five; from 2000 on the service hosts carry RPC, whose end shuts the system
// down; from Vista on wininit and the local session manager join them.
bool IsCriticalProgramName(const char* name, const crt::LeadBytes& leads) {
    static const char* const kEveryNt[] = {"csrss", "winlogon", "lsass", "services", "smss"};
    static const char* const kFrom2000[] = {"svchost"};
    static const char* const kFromVista[] = {"wininit", "lsm"};
    char base[kModulePathSize];
    if (!crt::CopyText(base, AfterLastBackslash(name, leads))) return false;
    const size_t length = std::strlen(base);
    if (length > 4 && crt::SameName(base + length - 4, ".exe", leads)) base[length - 4] = '\0';
    for (const char* critical : kEveryNt)
        if (crt::SameName(base, critical, leads)) return true;
    const int nt = GetNtClass();  // 5: NT 4.0, 6: 2000/XP, 0: later (or unknown)
    if (nt == 5) return false;
    for (const char* critical : kFrom2000)
        if (crt::SameName(base, critical, leads)) return true;
    if (nt == 6) return false;
    for (const char* critical : kFromVista)
        if (crt::SameName(base, critical, leads)) return true;
    return false;
}

// The program file of a process the snapshot names by its file name only (the
// NT family's tool-help, Wine's in every version mode): the first entry of the
// process's module list is its program.
bool MainModulePath(pf::HMODULE kernel, pf::DWORD pid, char* out, size_t size,
                    const crt::LeadBytes& leads) {
    pf::Platform& os = pf::Os();
    // Id 0 would ask for the modules of the cleaner itself.
    if (pid == 0 || !os.GetProcAddress(kernel, "Module32First")) return false;
    pf::HANDLE snapshot = os.CreateToolhelp32Snapshot(pf::kTh32csSnapmodule, pid);
    if (snapshot == pf::kInvalidHandleValue) return false;
    pf::ModuleEntry32 module;
    std::memset(&module, 0, sizeof(module));
    module.dwSize = sizeof(module);
    bool found = false;
    if (os.Module32First(snapshot, &module)) {
        module.szExePath[sizeof(module.szExePath) - 1] = '\0';
        found = crt::FindChar(module.szExePath, '\\', leads) != nullptr &&
                crt::CopyText(out, size, module.szExePath);
    }
    os.CloseHandle(snapshot);
    return found;
}

// The snapshot entry's program file as a whole path: szExeFile where it is
// one (the 9x family), else from the module list.
bool SnapshotImagePath(pf::HMODULE kernel, const pf::ProcessEntry32& entry, char* out,
                       size_t size, const crt::LeadBytes& leads) {
    if (crt::FindChar(entry.szExeFile, '\\', leads))
        return crt::CopyText(out, size, entry.szExeFile);
    return MainModulePath(kernel, entry.th32ProcessID, out, size, leads);
}

// Whether `image` (a whole path the system reported) is the file `path`,
// whose 8.3 form is `pathShort` (empty when unknown): a program started by
// its short path is reported so on the 9x family.
bool IsSameImage(const char* image, const char* path, const char* pathShort,
                 const crt::LeadBytes& leads) {
    if (crt::SameName(image, path, leads)) return true;
    if (!pathShort[0]) return false;
    if (crt::SameName(image, pathShort, leads)) return true;
    char imageShort[kModulePathSize];
    const pf::DWORD n = pf::Os().GetShortPathNameA(image, imageShort, sizeof(imageShort));
    return n != 0 && n < sizeof(imageShort) && crt::SameName(imageShort, pathShort, leads);
}

// Whether the process (opened with the rights to read its modules) runs
// exactly the file `path`. A path that cannot be read, or only in part,
// shows nothing.
bool ProcessRunsFile(pf::HANDLE process, const char* path, const crt::LeadBytes& leads) {
    char image[kModulePathSize];
    std::memset(image, 0, sizeof(image));
    const pf::DWORD length = pf::Os().GetModuleFileNameExA(process, nullptr, image, sizeof(image));
    if (length == 0 || length >= sizeof(image) || !std::memchr(image, '\0', sizeof(image)))
        return false;
    return crt::SameName(image, path, leads);
}

}  // namespace

bool IsProcessNeverEnded(pf::DWORD pid) {
    return IsIdleOrSystem(pid) || pid == pf::Os().GetCurrentProcessId();
}

bool IsCriticalSystemProgram(const char* path) {
    if (GetOsClass() != 5) return false;
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    const char* name = AfterLastBackslash(path, leads);
    const size_t length = std::strlen(name);
    // The program itself, not a file of another extension named like it.
    if (name == path || length <= 4 || !crt::SameName(name + length - 4, ".exe", leads)) return false;
    char folder[kModulePathSize];
    const size_t folderLength = size_t(name - 1 - path);
    if (folderLength >= sizeof(folder)) return false;
    std::memcpy(folder, path, folderLength);
    folder[folderLength] = '\0';
    char system[kModulePathSize];
    const pf::UINT n = pf::Os().GetSystemDirectoryA(system, sizeof(system));
    if (n == 0 || n >= sizeof(system)) return false;
    return crt::SameName(folder, system, leads) && IsCriticalProgramName(name, leads);
}

bool IsOwnProgramFile(const char* path) {
    if (!g_scan.ownProgramPath[0]) return false;
    char pathShort[kModulePathSize];
    const pf::DWORD n = pf::Os().GetShortPathNameA(path, pathShort, sizeof(pathShort));
    if (n == 0 || n >= sizeof(pathShort)) pathShort[0] = '\0';
    return IsSameImage(g_scan.ownProgramPath, path, pathShort, pf::AnsiLeadBytes());
}

bool SpareProtectedProgram(const char* path, const char* detectionName) {
    const bool own = IsOwnProgramFile(path);
    if (!own && !IsCriticalSystemProgram(path)) return false;
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    for (int i = 0; i < g_scan.sparedCount; ++i)
        if (crt::SameName(g_scan.sparedPaths[i], path, leads)) return true;
    if (g_scan.sparedCount < kSparedPathsMax &&
        crt::CopyText(g_scan.sparedPaths[g_scan.sparedCount], path))
        ++g_scan.sparedCount;
    if (own)
        scan::Events().OwnProgramInfected(path, detectionName);
    else
        scan::Events().SystemProgramInfected(path, detectionName, GetNtClass() != 5);
    return true;
}

bool StillRunsImage(pf::HANDLE process, pf::DWORD pid, const char* imagePath) {
    pf::Platform& os = pf::Os();
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    if (GetOsClass() != 4) return ProcessRunsFile(process, imagePath, leads);
    // The 9x family has no psapi: the handle keeps the process, and so its
    // id, while a fresh snapshot tells what runs under that id.
    pf::HMODULE kernel = os.LoadLibraryA("Kernel32.dll");
    if (!kernel || !os.GetProcAddress(kernel, "CreateToolhelp32Snapshot") ||
        !os.GetProcAddress(kernel, "Process32First") || !os.GetProcAddress(kernel, "Process32Next"))
        return false;
    auto* entry = static_cast<pf::ProcessEntry32*>(os.GlobalAlloc(pf::kGptr, sizeof(pf::ProcessEntry32)));
    if (!entry) return false;
    std::memset(entry, 0, sizeof(*entry));
    pf::HANDLE snapshot = os.CreateToolhelp32Snapshot(pf::kTh32csSnapprocess, 0);
    bool same = false;
    if (snapshot != pf::kInvalidHandleValue) {
        entry->dwSize = sizeof(pf::ProcessEntry32);
        char image[kModulePathSize];
        for (bool more = os.Process32First(snapshot, entry) != 0; more;
             more = os.Process32Next(snapshot, entry) != 0) {
            if (entry->th32ProcessID != pid) continue;
            entry->szExeFile[sizeof(entry->szExeFile) - 1] = '\0';
            same = SnapshotImagePath(kernel, *entry, image, sizeof(image), leads) &&
                   crt::SameName(image, imagePath, leads);
            break;
        }
        os.CloseHandle(snapshot);
    }
    os.GlobalFree(entry);
    return same;
}

void FreeProcessList(ProcessEntry* list) {
    while (list) {
        ProcessEntry* next = list->next;
        pf::Os().GlobalFree(list);
        list = next;
    }
}

// ---------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------

int TerminateProcessesByPath(const char* path) {
    int result = 0;
    switch (GetOsClass()) {
        case 4:
            result = TerminateBySnapshot(path);
            break;
        case 5:
            // 2000/XP: the caller's second delete decides; no message here.
            if (GetNtClass() == 6) return TerminateByModulePath(path);
            result = TerminateByPerfData(path);
            break;
        default:
            return 1;  // no method for this system: let the caller try again
    }
    if (result == 0) {
        pf::Os().MessageBoxA(nullptr, "Could not kill process", path, pf::kMbOk);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Tool-help snapshot
// ---------------------------------------------------------------------------

int TerminateBySnapshot(const char* path) {
    pf::Platform& os = pf::Os();
    pf::HMODULE kernel = os.LoadLibraryA("Kernel32.dll");
    os.Sleep(100);
    if (!kernel) return 0;

    auto* entry = static_cast<pf::ProcessEntry32*>(os.GlobalAlloc(pf::kGptr, sizeof(pf::ProcessEntry32)));
    if (!entry) return 0;
    std::memset(entry, 0, sizeof(*entry));

    if (!os.GetProcAddress(kernel, "CreateToolhelp32Snapshot")) {
        os.GlobalFree(entry);
        return 0;
    }
    pf::HANDLE snapshot = os.CreateToolhelp32Snapshot(pf::kTh32csSnapprocess, 0);
    os.Sleep(100);
    if (snapshot == pf::kInvalidHandleValue) {
        os.GlobalFree(entry);
        return 0;
    }

    int result = 0;
    // Whole paths are compared: a worm called like the shell, in another
    // folder, is another program. A path too long for any process entry
    // cannot be running.
    char target[kModulePathSize];
    char targetShort[kModulePathSize];
    const bool comparable = crt::CopyText(target, path);
    const pf::DWORD shortLength =
        comparable ? os.GetShortPathNameA(target, targetShort, sizeof(targetShort)) : 0;
    if (shortLength == 0 || shortLength >= sizeof(targetShort)) targetShort[0] = '\0';
    char image[kModulePathSize];
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    entry->dwSize = sizeof(pf::ProcessEntry32);
    if (comparable && os.GetProcAddress(kernel, "Process32First") &&
        os.Process32First(snapshot, entry)) {
        for (;;) {
            entry->szExeFile[sizeof(entry->szExeFile) - 1] = '\0';
            if (!IsProcessNeverEnded(entry->th32ProcessID) &&
                SnapshotImagePath(kernel, *entry, image, sizeof(image), leads) &&
                IsSameImage(image, target, targetShort, leads)) {
                // Only the first process of that file is attempted.
                os.Sleep(50);
                pf::HANDLE process = os.OpenProcess(kOpenForEnd, 0, entry->th32ProcessID);
                if (process) {
                    if (os.TerminateProcess(process, 0)) result = 1;
                    os.CloseHandle(process);
                }
                os.Sleep(500);
                break;
            }
            if (!os.GetProcAddress(kernel, "Process32Next")) break;
            os.Sleep(100);
            if (!os.Process32Next(snapshot, entry)) break;
            os.Sleep(100);
        }
    }
    os.GlobalFree(entry);
    os.CloseHandle(snapshot);
    return result;
}

ProcessEntry* ListProcessesBySnapshot() {
    pf::Platform& os = pf::Os();
    pf::HMODULE kernel = os.LoadLibraryA("Kernel32.dll");
    if (!kernel) return nullptr;
    auto* entry = static_cast<pf::ProcessEntry32*>(os.GlobalAlloc(pf::kGptr, sizeof(pf::ProcessEntry32)));
    if (!entry) return nullptr;
    std::memset(entry, 0, sizeof(*entry));
    if (!os.GetProcAddress(kernel, "CreateToolhelp32Snapshot")) {
        os.GlobalFree(entry);
        return nullptr;
    }
    pf::HANDLE snapshot = os.CreateToolhelp32Snapshot(pf::kTh32csSnapprocess, 0);
    if (snapshot == pf::kInvalidHandleValue) {
        os.GlobalFree(entry);
        return nullptr;
    }

    ProcessEntry* list = nullptr;
    ProcessEntry** tail = &list;
    bool abandoned = false;
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    entry->dwSize = sizeof(pf::ProcessEntry32);
    if (os.GetProcAddress(kernel, "Process32First") && os.Process32First(snapshot, entry)) {
        for (;;) {
            entry->szExeFile[sizeof(entry->szExeFile) - 1] = '\0';
            // A bare file name is kept when the module list cannot tell more.
            char image[kModulePathSize];
            const bool whole = SnapshotImagePath(kernel, *entry, image, sizeof(image), leads);
            ProcessEntry* e = NewEntry(entry->th32ProcessID, whole ? image : entry->szExeFile);
            if (!e) {
                abandoned = true;
                break;
            }
            *tail = e;
            tail = &e->next;
            if (!os.GetProcAddress(kernel, "Process32Next")) {
                abandoned = true;
                break;
            }
            if (!os.Process32Next(snapshot, entry)) break;
        }
    }
    os.GlobalFree(entry);
    os.CloseHandle(snapshot);
    if (abandoned) {
        FreeProcessList(list);
        return nullptr;
    }
    return list;
}

// ---------------------------------------------------------------------------
// psapi module paths
// ---------------------------------------------------------------------------

ProcessEntry* ListProcessesByModulePath(bool requestPrivilege, bool* outOfMemory, bool* listed) {
    pf::Platform& os = pf::Os();
    if (outOfMemory) *outOfMemory = false;
    if (listed) *listed = false;
    pf::HMODULE psapi = os.LoadLibraryA("psapi.dll");
    if (!psapi || !os.GetProcAddress(psapi, "EnumProcesses")) return nullptr;

    pf::DWORD ids[kMaxProcessIds];
    std::memset(ids, 0, sizeof(ids));
    pf::DWORD bytes = 0;
    if (!os.EnumProcesses(ids, sizeof(ids), &bytes)) bytes = 0;
    pf::DWORD count = bytes / sizeof(pf::DWORD);
    if (count > kMaxProcessIds) count = kMaxProcessIds;
    if (count == 0 || !os.GetProcAddress(psapi, "GetModuleFileNameExA")) return nullptr;
    if (listed) *listed = true;

    ProcessEntry* list = nullptr;
    ProcessEntry** tail = &list;
    char path[kModulePathSize];
    for (pf::DWORD i = 0; i < count; ++i) {
        pf::HANDLE process = os.OpenProcess(kOpenForPath, 0, ids[i]);
        if (!process && requestPrivilege && os.GetLastError() == pf::kErrorAccessDenied) {
            if (EnablePrivilege("SeDebugPrivilege") == kPrivilegeNoToken)
                os.MessageBoxA(nullptr, "false", "TEMP", pf::kMbOk);
            process = os.OpenProcess(kOpenForPath, 0, ids[i]);
        }
        if (!process) continue;
        std::memset(path, 0, sizeof(path));
        const pf::DWORD length = os.GetModuleFileNameExA(process, nullptr, path, sizeof(path));
        // A path cut to fit the buffer names another file: such a process is
        // left out like one whose path cannot be read.
        const bool whole = length != 0 && length < sizeof(path) &&
                           std::memchr(path, '\0', sizeof(path)) != nullptr;
        if (whole) {
            ProcessEntry* e = NewEntry(ids[i], path);
            if (!e) {
                os.CloseHandle(process);
                FreeProcessList(list);
                if (outOfMemory) *outOfMemory = true;
                return nullptr;
            }
            *tail = e;
            tail = &e->next;
        }
        os.CloseHandle(process);
    }
    return list;
}

int TerminateByModulePath(const char* path) {
    pf::Platform& os = pf::Os();
    // The system's own program, replaced by the worm, runs on.
    if (IsCriticalSystemProgram(path)) return 1;
    bool outOfMemory = false;
    bool listed = false;
    ProcessEntry* list = ListProcessesByModulePath(false, &outOfMemory, &listed);
    // 0 only when psapi is missing or the system listed no process at all;
    // processes whose paths cannot be read still let the caller try again.
    if (!list) return (outOfMemory || listed) ? 1 : 0;

    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    for (ProcessEntry* e = list; e; e = e->next) {
        if (!crt::SameName(e->imagePath, path, leads)) continue;
        if (IsProcessNeverEnded(e->processId)) continue;
        // The list is older than the waits after each ending: an id whose
        // process ended since may run another program by now. The handle
        // that ends is the one whose program file was read.
        pf::HANDLE process = os.OpenProcess(kOpenForEndByPath, 0, e->processId);
        if (!process) continue;
        if (!ProcessRunsFile(process, path, leads)) {
            os.CloseHandle(process);
            continue;
        }
        if (os.TerminateProcess(process, 0)) {
            os.CloseHandle(process);
            os.Sleep(500);
        } else {
            os.CloseHandle(process);
        }
    }
    FreeProcessList(list);
    return 1;
}

// ---------------------------------------------------------------------------
// Performance data
// ---------------------------------------------------------------------------

bool FindProcessCounters(const char* names, size_t size, char* objectNumber,
                         size_t objectNumberSize, pf::DWORD* pidCounterIndex) {
    bool haveObject = false;
    bool haveCounter = false;
    size_t pos = 0;
    while (pos < size) {
        const char* text = names + pos;
        const void* end = std::memchr(text, '\0', size - pos);
        if (!end) break;  // an unterminated last string is not read
        const size_t length = static_cast<const char*>(end) - text;
        if (length == 0) break;  // the empty string ends the list

        const bool isObject = length == 7 && crt::strnicmp(text, "process", 7) == 0;
        const bool isCounter = length == 10 && crt::strnicmp(text, "id process", 10) == 0;
        if ((isObject || isCounter) && pos >= 2) {
            // The index is the string before this one: its digits end two
            // characters before the name (the last digit, then its terminator).
            const size_t last = pos - 2;
            size_t first = last + 1;
            while (first > 0 && names[first - 1] >= '0' && names[first - 1] <= '9') --first;
            const size_t digits = last + 1 - first;
            if (digits > 0 && digits <= 9) {
                if (isObject && digits < objectNumberSize) {
                    std::memcpy(objectNumber, names + first, digits);
                    objectNumber[digits] = '\0';
                    haveObject = true;
                } else if (isCounter) {
                    pf::DWORD value = 0;
                    for (size_t i = first; i <= last; ++i) value = value * 10 + (names[i] - '0');
                    *pidCounterIndex = value;
                    haveCounter = true;
                }
            }
        }
        pos += length + 1;
    }
    return haveObject && haveCounter;
}

namespace {

// The block's bytes are trusted in nothing: every offset and length is
// checked against the block before it is read (offsets are computed in 64
// bits so that no sum of 32-bit fields wraps).
struct PerfBlock {
    const pf::BYTE* bytes;
    uint64_t size;

    bool Fits(uint64_t offset, uint64_t length) const {
        return length <= size && offset <= size - length;
    }
    bool Read32(uint64_t offset, pf::DWORD* value) const {
        if (!Fits(offset, 4)) return false;
        const pf::BYTE* p = bytes + offset;
        *value = pf::DWORD(p[0]) | pf::DWORD(p[1]) << 8 | pf::DWORD(p[2]) << 16 |
                 pf::DWORD(p[3]) << 24;
        return true;
    }
    // Copies the zero-terminated UTF-16 text at `offset` into `out` (room for
    // `capacity` characters and a terminator); a text that runs to the end of
    // the block ends there.
    bool ReadName(uint64_t offset, pf::WCHAR* out, size_t capacity) const {
        if (offset >= size) return false;
        size_t n = 0;
        while (n < capacity && Fits(offset + 2 * uint64_t(n), 2)) {
            const pf::BYTE* p = bytes + offset + 2 * n;
            const pf::WCHAR c = pf::WCHAR(p[0] | p[1] << 8);
            if (c == 0) break;
            out[n++] = c;
        }
        out[n] = 0;
        return true;
    }
};

// Layout offsets of the published performance-data records.
constexpr uint64_t kBlockHeaderLength = 24;     // PERF_DATA_BLOCK.HeaderLength
constexpr uint64_t kObjectDefinitionLength = 4;  // PERF_OBJECT_TYPE fields
constexpr uint64_t kObjectHeaderLength = 8;
constexpr uint64_t kObjectNumCounters = 32;
constexpr uint64_t kObjectNumInstances = 40;
constexpr uint64_t kCounterDefinitionSize = 40;  // PERF_COUNTER_DEFINITION
constexpr uint64_t kCounterNameTitleIndex = 4;
constexpr uint64_t kCounterOffset = 36;
constexpr uint64_t kInstanceByteLength = 0;  // PERF_INSTANCE_DEFINITION fields
constexpr uint64_t kInstanceNameOffset = 16;

constexpr size_t kWideNameChars = 260;

void StoreName(const pf::WCHAR* wide, char* name) {
    char converted[260];
    std::memset(converted, 0, sizeof(converted));
    const int n = pf::Os().WideCharToMultiByte(pf::kCpAcp, 0, wide, -1, converted,
                                               sizeof(converted), nullptr, nullptr);
    if (n == 0) {
        crt::CopyText(name, kPerfTaskNameChars + 1, "unknown");
        return;
    }
    converted[sizeof(converted) - 1] = '\0';
    // A longer name is not stored: the entry keeps an empty name.
    if (std::strlen(converted) <= size_t(kPerfTaskNameChars))
        crt::CopyText(name, kPerfTaskNameChars + 1, converted);
}

}  // namespace

int ReadPerfTasks(const pf::BYTE* bytes, size_t size, pf::DWORD pidCounterIndex,
                  PerfTaskEntry* table) {
    std::memset(table, 0, sizeof(PerfTaskEntry) * kPerfTaskTableSize);
    if (!bytes) return 0;
    const PerfBlock block{bytes, size};
    static const pf::BYTE kSignature[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
    if (!block.Fits(0, 8) || std::memcmp(bytes, kSignature, 8) != 0) return 0;

    pf::DWORD value = 0;
    if (!block.Read32(kBlockHeaderLength, &value)) return 0;
    const uint64_t object = value;  // the first object is the process object

    pf::DWORD definitionLength = 0, headerLength = 0, numCounters = 0, numInstances = 0;
    if (!block.Read32(object + kObjectDefinitionLength, &definitionLength) ||
        !block.Read32(object + kObjectHeaderLength, &headerLength) ||
        !block.Read32(object + kObjectNumCounters, &numCounters) ||
        !block.Read32(object + kObjectNumInstances, &numInstances))
        return 0;

    // The first counter definition carrying the process-id index gives its
    // place in each instance's counter block.
    bool haveCounter = false;
    pf::DWORD counterOffset = 0;
    for (uint64_t i = 0; i < numCounters; ++i) {
        const uint64_t definition = object + headerLength + i * kCounterDefinitionSize;
        pf::DWORD titleIndex = 0;
        if (!block.Read32(definition + kCounterNameTitleIndex, &titleIndex)) break;
        if (titleIndex == pidCounterIndex) {
            haveCounter = block.Read32(definition + kCounterOffset, &counterOffset);
            break;
        }
    }
    if (!haveCounter) return 0;

    const pf::DWORD wanted = numInstances < pf::DWORD(kPerfTaskMaxEntries)
                                 ? numInstances
                                 : pf::DWORD(kPerfTaskMaxEntries);
    uint64_t instance = object + definitionLength;
    int filled = 0;
    pf::WCHAR wide[kWideNameChars + 1];
    for (pf::DWORD i = 0; i < wanted; ++i) {
        pf::DWORD byteLength = 0, nameOffset = 0;
        if (!block.Read32(instance + kInstanceByteLength, &byteLength) ||
            !block.Read32(instance + kInstanceNameOffset, &nameOffset) ||
            !block.ReadName(instance + nameOffset, wide, kWideNameChars))
            break;
        const uint64_t counters = instance + byteLength;
        pf::DWORD pid = 0, countersLength = 0;
        if (!block.Read32(counters + counterOffset, &pid) || !block.Read32(counters, &countersLength))
            break;
        PerfTaskEntry& entry = table[filled++];
        StoreName(wide, entry.name);
        entry.processId = pid == 0 ? 0xFFFFFFFEu : pid;
        instance = counters + countersLength;
    }
    return filled;
}

namespace {

// Whether psapi can tell the program file of a process.
bool CanReadModulePaths() {
    pf::Platform& os = pf::Os();
    pf::HMODULE psapi = os.LoadLibraryA("psapi.dll");
    return psapi && os.GetProcAddress(psapi, "GetModuleFileNameExA");
}

// Fills `table` from the system's performance data; returns the number of
// entries.
int ReadSystemPerfTasks(PerfTaskEntry* table) {
    pf::Platform& os = pf::Os();
    char keyPath[96];
    crt::FormatText(keyPath, sizeof(keyPath), "%s\\%03x", kPerflibKey, kNeutralLanguage);
    pf::HKEY perflib = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, keyPath, 0, pf::kKeyRead, &perflib) != 0) return 0;

    char objectNumber[16] = {0};
    pf::DWORD pidCounterIndex = 0;
    bool haveNames = false;
    pf::DWORD type = 0;
    pf::DWORD size = 0;
    if (os.RegQueryValueExA(perflib, "Counters", nullptr, &type, nullptr, &size) == 0 && size > 0 &&
        size <= kCounterNamesLimit) {
        // Two spare zero bytes end the list even when the value lacks them.
        auto* names = static_cast<char*>(os.GlobalAlloc(pf::kGptr, size_t(size) + 2));
        if (names) {
            std::memset(names, 0, size_t(size) + 2);
            pf::DWORD got = size;
            if (os.RegQueryValueExA(perflib, "Counters", nullptr, &type,
                                    reinterpret_cast<pf::BYTE*>(names), &got) == 0) {
                haveNames = FindProcessCounters(names, got < size ? got : size, objectNumber,
                                                sizeof(objectNumber), &pidCounterIndex);
            }
            os.GlobalFree(names);
        }
    }

    int count = 0;
    if (haveNames) {
        pf::DWORD bufferSize = kPerfBufferStart;
        auto* buffer = static_cast<pf::BYTE*>(os.GlobalAlloc(pf::kGptr, bufferSize));
        if (buffer) {
            std::memset(buffer, 0, bufferSize);
            pf::DWORD got = bufferSize;
            pf::LONG rc = os.RegQueryValueExA(pf::kHkeyPerformanceData, objectNumber, nullptr, &type,
                                              buffer, &got);
            while (rc == pf::LONG(pf::kErrorMoreData)) {
                os.GlobalFree(buffer);
                buffer = nullptr;
                if (bufferSize > kPerfBufferLimit - kPerfBufferStep) break;
                bufferSize += kPerfBufferStep;
                buffer = static_cast<pf::BYTE*>(os.GlobalAlloc(pf::kGptr, bufferSize));
                if (!buffer) break;
                std::memset(buffer, 0, bufferSize);
                got = bufferSize;
                rc = os.RegQueryValueExA(pf::kHkeyPerformanceData, objectNumber, nullptr, &type,
                                         buffer, &got);
            }
            if (buffer && rc == 0 && got != 0)
                count = ReadPerfTasks(buffer, got < bufferSize ? got : bufferSize, pidCounterIndex,
                                      table);
            if (buffer) os.GlobalFree(buffer);
        }
    }
    os.RegCloseKey(perflib);
    os.RegCloseKey(pf::kHkeyPerformanceData);
    return count;
}

}  // namespace

int TerminateByPerfData(const char* path) {
    pf::Platform& os = pf::Os();
    char work[264];
    if (!crt::CopyText(work, path)) return 0;  // longer than any program path
    const size_t length = std::strlen(work);
    if (length <= 4) return 0;
    work[length - 4] = '\0';  // the extension with its dot
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    const char* target = AfterLastBackslash(work, leads);
    // An empty name would match every unnamed instance: end nothing instead.
    if (target[0] == '\0') return 0;
    // The system's own program, replaced by the worm, runs on.
    if (IsCriticalSystemProgram(path)) return 0;

    PerfTaskEntry table[kPerfTaskTableSize];
    const int count = ReadSystemPerfTasks(table);

    // The instance name is the program's name without folder and extension,
    // so only an equal name can be the file's process: a name that merely
    // begins with the target ("foobar" for "foo") is another program. Where
    // psapi can tell a process's program file, a process is ended only when
    // that file is the given one: a worm at C:\Windows\svchost.exe ends no
    // service host of System32. Only where nothing tells paths (NT 4.0
    // without psapi) do names decide, and then never for the critical
    // programs of this generation. The idle and System processes and the
    // cleaner itself are never ended; a file left running waits for the
    // restart.
    const bool pathsKnown = CanReadModulePaths();
    // A name too long to be stored leaves its entry's name empty: such a
    // process can be the file's only where its path can tell.
    const bool longTarget = std::strlen(target) > size_t(kPerfTaskNameChars);
    int result = 0;
    for (int i = 0; i < count; ++i) {
        const bool candidate = longTarget ? (pathsKnown && table[i].name[0] == '\0')
                                          : crt::SameName(table[i].name, target, leads);
        if (!candidate) continue;
        if (IsProcessNeverEnded(table[i].processId)) continue;
        if (!pathsKnown && IsCriticalProgramName(table[i].name, leads)) continue;
        pf::HANDLE process =
            os.OpenProcess(pathsKnown ? kOpenForEndByPath : kOpenForEndOnly, 0, table[i].processId);
        if (process) {
            // The same handle is read and ended: its id cannot pass to
            // another process in between.
            if ((!pathsKnown || ProcessRunsFile(process, path, leads)) &&
                os.TerminateProcess(process, 0))
                result = 1;
            os.CloseHandle(process);
        }
        os.Sleep(500);
    }
    return result;
}
