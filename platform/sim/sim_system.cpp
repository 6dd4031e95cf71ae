// The simulated machine's system side: the Windows version and the
// facilities each generation has, the access token and its privileges,
// libraries and entry points, the process snapshot, psapi, opening and ending
// processes, the service control manager, the reboot request and the
// UTF-16 to ANSI conversion.
//
// Each operation fails the way the real call fails, both when the machine's
// state says so and when a fault is injected for it.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/crt.h"
#include "platform/sim/sim_machine.h"

namespace pf::sim {

namespace {

constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kErrorCallNotImplemented = 120;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorPartialCopy = 299;
constexpr DWORD kErrorPrivilegeNotHeld = 1314;
constexpr DWORD kErrorServiceCannotAcceptCtrl = 1061;

// Access rights of service handles.
constexpr DWORD kServiceQueryStatus = 0x0004;
constexpr DWORD kServiceStop = 0x0020;
constexpr DWORD kServiceQueryConfig = 0x0001;
constexpr DWORD kErrorInvalidAddress = 487;
constexpr DWORD kGenericAll = 0x10000000;
// What a limited account may ask of the service manager (connect, enumerate,
// query the lock, read control) and of a service (query configuration and
// status, enumerate dependents, interrogate, user controls, read control).
constexpr DWORD kLimitedManagerRights = 0x20015;
constexpr DWORD kLimitedServiceRights = 0x2018D;

// Privileges the machine knows, with the LUIDs Windows gives them.
struct KnownPrivilege {
    const char* name;
    DWORD luid;
};
constexpr KnownPrivilege kPrivileges[] = {
    {"SeShutdownPrivilege", 19}, {"SeDebugPrivilege", 20},  {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},  {"SeSecurityPrivilege", 8}, {"SeTcbPrivilege", 7},
};

void NoEntryPoint() {}  // what GetProcAddress hands out for an entry point that exists

std::string Lower(const char* text) {
    std::string s = text ? text : "";
    for (char& c : s) c = crt::ToLower(c);
    return s;
}

std::string BaseName(const std::string& path, const crt::LeadBytes& leads) {
    const char* slash = crt::FindLastChar(path.c_str(), '\\', leads);
    return slash ? std::string(slash + 1) : path;
}

// The code pages the machine knows: their largest character and lead bytes,
// as GetCPInfo gives them.
struct KnownCodePage {
    UINT number;
    UINT maxCharSize;
    BYTE leadBytes[12];
};
constexpr KnownCodePage kCodePages[] = {
    {437, 1, {}},  {850, 1, {}},  {852, 1, {}},  {866, 1, {}},  {874, 1, {}},
    {1250, 1, {}}, {1251, 1, {}}, {1252, 1, {}}, {1253, 1, {}}, {1254, 1, {}},
    {1255, 1, {}}, {1256, 1, {}}, {1257, 1, {}}, {1258, 1, {}},
    {932, 2, {0x81, 0x9F, 0xE0, 0xFC}},  // Shift JIS
    {936, 2, {0x81, 0xFE}},              // GBK
    {949, 2, {0x81, 0xFE}},              // Unified Hangul Code
    {950, 2, {0x81, 0xFE}},              // Big5
};

const KnownCodePage* FindCodePage(UINT number) {
    for (const KnownCodePage& cp : kCodePages)
        if (cp.number == number) return &cp;
    return nullptr;
}

// One UTF-16 unit in a code page, as the system converts it; empty when the
// code page has no such character. Of the double-byte code pages the machine
// converts the characters of 932 that names are made of here (ASCII,
// half-width katakana, hiragana, katakana); any other character comes out
// as the default one, as an unmappable character does.
std::string FromWide(UINT codePage, WCHAR c) {
    if (c < 0x80) return std::string(1, char(c));
    const KnownCodePage* cp = FindCodePage(codePage);
    if (cp && cp->maxCharSize == 1) return c <= 0xFF ? std::string(1, char(c)) : std::string();
    if (codePage != 932) return std::string();
    if (c >= 0xFF61 && c <= 0xFF9F) return std::string(1, char(0xA1 + (c - 0xFF61)));
    if (c >= 0x3041 && c <= 0x3093) {
        const unsigned code = 0x829F + (c - 0x3041);
        return {char(code >> 8), char(code & 0xFF)};
    }
    if (c >= 0x30A1 && c <= 0x30F6) {
        unsigned trail = 0x40 + (c - 0x30A1);
        if (trail >= 0x7F) ++trail;  // 0x7F is no trail byte of 932
        return {char(0x83), char(trail)};
    }
    return std::string();
}

uintptr_t Value(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

DWORD FaultError(const Fault* f, DWORD usual) { return f->error ? f->error : usual; }

std::string Rights(const char* op, DWORD access, const char* what = nullptr) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", unsigned(access));
    std::string text = std::string(op) + " " + hex;
    if (what) text += std::string(" ") + what;
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Set-up helpers
// ---------------------------------------------------------------------------

// Version numbers and facilities: the tool-help functions of kernel32 exist
// on the 9x family and from Windows 2000 on; psapi.dll ships from Windows
// 2000 on. On NT 4.0 psapi was an optional install: its entry points are
// known but the library itself is absent until a test adds "psapi.dll" to
// `modules`.
void SimMachine::SetVersion(WinVersion which) {
    struct Preset {
        DWORD platform, major, minor, build;
        bool toolHelp, psapiEntries, psapiLibrary;
    };
    Preset p{};
    switch (which) {
        case WinVersion::Win95: p = {kVerPlatformWin32Windows, 4, 0, 950, true, false, false}; break;
        case WinVersion::Win98: p = {kVerPlatformWin32Windows, 4, 10, 1998, true, false, false}; break;
        case WinVersion::WinMe: p = {kVerPlatformWin32Windows, 4, 90, 3000, true, false, false}; break;
        case WinVersion::Nt4: p = {kVerPlatformWin32Nt, 4, 0, 1381, false, true, false}; break;
        case WinVersion::Win2000: p = {kVerPlatformWin32Nt, 5, 0, 2195, true, true, true}; break;
        case WinVersion::WinXp: p = {kVerPlatformWin32Nt, 5, 1, 2600, true, true, true}; break;
        case WinVersion::Vista: p = {kVerPlatformWin32Nt, 6, 0, 6002, true, true, true}; break;
        case WinVersion::Win7: p = {kVerPlatformWin32Nt, 6, 1, 7601, true, true, true}; break;
        case WinVersion::Win10: p = {kVerPlatformWin32Nt, 10, 0, 19045, true, true, true}; break;
    }
    version = OsVersionInfoA{};
    version.dwOSVersionInfoSize = sizeof(OsVersionInfoA);
    version.dwPlatformId = p.platform;
    version.dwMajorVersion = p.major;
    version.dwMinorVersion = p.minor;
    version.dwBuildNumber = p.build;
    versionQueryFails = false;

    modules = {"kernel32.dll", "advapi32.dll", "user32.dll"};
    entryPoints.clear();
    if (p.toolHelp) {
        entryPoints.insert("kernel32.dll!CreateToolhelp32Snapshot");
        entryPoints.insert("kernel32.dll!Process32First");
        entryPoints.insert("kernel32.dll!Process32Next");
        entryPoints.insert("kernel32.dll!Module32First");
    }
    if (p.psapiEntries) {
        entryPoints.insert("psapi.dll!EnumProcesses");
        entryPoints.insert("psapi.dll!GetModuleFileNameExA");
    }
    if (p.psapiLibrary) modules.insert("psapi.dll");
    // Up to XP a module path that does not fit comes back cut and without a
    // terminator; later systems terminate it.
    moduleNameCut = p.major >= 6 ? ModuleNameCut::Terminated : ModuleNameCut::Unterminated;
}

// The reference stays valid until the next AddProcess.
SimProcess& SimMachine::AddProcess(const std::string& imagePath) {
    processes.emplace_back();
    processes.back().pid = nextPid++;
    processes.back().imagePath = imagePath;
    return processes.back();
}

SimProcess* SimMachine::FindProcess(DWORD pid) {
    for (SimProcess& p : processes)
        if (p.pid == pid) return &p;
    return nullptr;
}

SimService& SimMachine::AddService(const std::string& name) {
    services.emplace_back();
    services.back().name = name;
    return services.back();
}

SimService* SimMachine::FindService(const std::string& name) {
    for (SimService& s : services)
        if (crt::stricmp(s.name.c_str(), name.c_str()) == 0) return &s;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Version, token and privileges
// ---------------------------------------------------------------------------

BOOL SimMachine::GetVersionExA(OsVersionInfoA* info) {
    if (const Fault* f = Enter("GetVersionExA")) {
        lastError = FaultError(f, kErrorInvalidParameter);
        return 0;
    }
    if (!info || (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156)) {
        lastError = kErrorInsufficientBuffer;
        return 0;
    }
    if (versionQueryFails) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    const DWORD size = info->dwOSVersionInfoSize;
    *info = version;
    info->dwOSVersionInfoSize = size;
    return 1;
}

HANDLE SimMachine::GetCurrentProcess() {
    Enter("GetCurrentProcess");
    return kInvalidHandleValue;  // the pseudo handle, as on Windows
}

DWORD SimMachine::GetCurrentProcessId() {
    Enter("GetCurrentProcessId");
    return currentProcessId;
}

BOOL SimMachine::OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    rightsAsked.push_back(Rights("OpenProcessToken", access));
    if (const Fault* f = Enter("OpenProcessToken", std::to_string(access))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    if (version.dwPlatformId == kVerPlatformWin32Windows) {  // no security on 9x
        lastError = kErrorCallNotImplemented;
        return 0;
    }
    if (tokenOpenFails) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    if (!token || (process != kInvalidHandleValue && !processHandles.count(Value(process)))) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    const uintptr_t h = NewHandle();
    tokenHandles.insert(h);
    *token = reinterpret_cast<HANDLE>(h);
    return 1;
}

BOOL SimMachine::LookupPrivilegeValueA(const char* systemName, const char* name, Luid* luid) {
    if (const Fault* f = Enter("LookupPrivilegeValueA", name ? name : "")) {
        lastError = FaultError(f, kErrorNoSuchPrivilege);
        return 0;
    }
    for (const KnownPrivilege& p : kPrivileges) {
        if (name && crt::stricmp(p.name, name) == 0) {
            if (luid) {
                luid->LowPart = p.luid;
                luid->HighPart = 0;
            }
            return 1;
        }
    }
    lastError = kErrorNoSuchPrivilege;
    return 0;
}

BOOL SimMachine::AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TokenPrivileges* newState,
                                       DWORD bufferLength, TokenPrivileges* previousState,
                                       DWORD* returnLength) {
    if (const Fault* f = Enter("AdjustTokenPrivileges")) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    if (!tokenHandles.count(Value(token))) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    if (disableAll) {
        enabledPrivileges.clear();
        lastError = kErrorSuccess;
        return 1;
    }
    if (!newState) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    // Only one entry fits the record type; a count above one is not modelled.
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount && i < 1; ++i) {
        const LuidAndAttributes& entry = newState->Privileges[i];
        const char* name = nullptr;
        for (const KnownPrivilege& p : kPrivileges)
            if (entry.luid.HighPart == 0 && entry.luid.LowPart == p.luid) name = p.name;
        if (!name) {
            lastError = kErrorNoSuchPrivilege;
            return 0;
        }
        if (!heldPrivileges.count(name)) {
            allAssigned = false;
            continue;
        }
        if (entry.Attributes & kSePrivilegeEnabled)
            enabledPrivileges.insert(name);
        else
            enabledPrivileges.erase(name);
    }
    // Success with ERROR_NOT_ALL_ASSIGNED: the call itself worked.
    lastError = allAssigned ? kErrorSuccess : kErrorNotAllAssigned;
    return 1;
}

BOOL SimMachine::CloseHandle(HANDLE handle) {
    if (const Fault* f = Enter("CloseHandle")) {
        lastError = FaultError(f, kErrorInvalidHandle);
        return 0;
    }
    const uintptr_t h = Value(handle);
    if (processHandles.erase(h)) {
        processHandleAccess.erase(h);
        return 1;
    }
    if (tokenHandles.erase(h)) return 1;
    if (snapshots.erase(h)) {
        snapshotCursor.erase(h);
        snapshotModules.erase(h);
        return 1;
    }
    lastError = kErrorInvalidHandle;
    return 0;
}

// ---------------------------------------------------------------------------
// Libraries and entry points
// ---------------------------------------------------------------------------

HMODULE SimMachine::LoadLibraryA(const char* name) {
    if (const Fault* f = Enter("LoadLibraryA", name ? name : "")) {
        lastError = FaultError(f, kErrorModNotFound);
        return nullptr;
    }
    const std::string lower = Lower(name);
    if (!modules.count(lower)) {
        lastError = kErrorModNotFound;
        return nullptr;
    }
    for (const auto& m : moduleHandles)  // a library loaded twice keeps its handle
        if (m.second == lower) return reinterpret_cast<HMODULE>(m.first);
    const uintptr_t h = NewHandle();
    moduleHandles[h] = lower;
    return reinterpret_cast<HMODULE>(h);
}

FARPROC SimMachine::GetProcAddress(HMODULE module, const char* name) {
    if (const Fault* f = Enter("GetProcAddress", name ? name : "")) {
        lastError = FaultError(f, kErrorProcNotFound);
        return nullptr;
    }
    const auto m = moduleHandles.find(Value(module));
    if (m == moduleHandles.end()) {
        lastError = kErrorModNotFound;
        return nullptr;
    }
    // Entry point names are case-sensitive, as GetProcAddress has them.
    if (!name || !entryPoints.count(m->second + "!" + name)) {
        lastError = kErrorProcNotFound;
        return nullptr;
    }
    return &NoEntryPoint;
}

// ---------------------------------------------------------------------------
// The process snapshot
// ---------------------------------------------------------------------------

namespace {

}  // namespace

// The 9x family gives the full path as the loader saw it: the short (8.3)
// form when the program was started by it. The NT family gives the base name.
void SimMachine::FillProcessEntry(const SimProcess& p, ProcessEntry32* entry) {
    const DWORD size = entry->dwSize;
    std::memset(entry, 0, sizeof(*entry));
    entry->dwSize = size;
    entry->th32ProcessID = p.pid;
    entry->cntThreads = 1;
    entry->pcPriClassBase = 8;
    std::string name = p.snapshotName;
    if (name.empty()) {
        if (version.dwPlatformId != kVerPlatformWin32Windows) {
            name = BaseName(p.imagePath, Leads());
        } else if (p.startedByShortPath) {
            name = ShortFormOf(p.imagePath);
        } else {
            name = p.imagePath;
        }
    }
    crt::CopyText(entry->szExeFile, name.c_str());
}

HANDLE SimMachine::CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
    if (const Fault* f = Enter("CreateToolhelp32Snapshot", std::to_string(flags))) {
        lastError = FaultError(f, kErrorNotEnoughMemory);
        return kInvalidHandleValue;
    }
    if (!entryPoints.count("kernel32.dll!CreateToolhelp32Snapshot")) {
        lastError = kErrorProcNotFound;
        return kInvalidHandleValue;
    }
    std::vector<std::string> modulePaths;
    if (flags & kTh32csSnapmodule) {
        // The modules of one process, as its loader lists them: the program
        // first. Reading them takes the rights psapi needs.
        SimProcess* p = FindProcess(processId);
        if (!p || !p->alive) {
            lastError = kErrorInvalidParameter;
            return kInvalidHandleValue;
        }
        if (version.dwPlatformId == kVerPlatformWin32Nt &&
            (p->denyOpen ||
             (p->needsDebugPrivilege && !enabledPrivileges.count("SeDebugPrivilege")))) {
            lastError = kErrorAccessDenied;
            return kInvalidHandleValue;
        }
        if (!p->moduleReadable) {
            lastError = kErrorPartialCopy;
            return kInvalidHandleValue;
        }
        const bool shortForm =
            version.dwPlatformId == kVerPlatformWin32Windows && p->startedByShortPath;
        modulePaths.push_back(shortForm ? ShortFormOf(p->imagePath) : p->imagePath);
    }
    const uintptr_t h = NewHandle();
    if (flags & kTh32csSnapmodule) snapshotModules[h] = modulePaths;
    std::vector<SimProcess>& copy = snapshots[h];
    if (flags & kTh32csSnapprocess) ReuseFreedIds();
    if (flags & kTh32csSnapprocess)
        for (const SimProcess& p : processes)
            if (p.alive) copy.push_back(p);
    snapshotCursor[h] = 0;
    return reinterpret_cast<HANDLE>(h);
}

namespace {
// Process32First and Process32Next differ only in where the walk starts.
BOOL StepSnapshot(SimMachine& m, const char* op, bool first, HANDLE snapshot,
                  ProcessEntry32* entry) {
    if (const Fault* f = m.Enter(op)) {
        m.lastError = FaultError(f, kErrorNoMoreFiles);
        return 0;
    }
    const auto s = m.snapshots.find(Value(snapshot));
    if (s == m.snapshots.end()) {
        m.lastError = kErrorInvalidHandle;
        return 0;
    }
    if (!entry || entry->dwSize < sizeof(ProcessEntry32)) {
        m.lastError = kErrorBadLength;
        return 0;
    }
    size_t& cursor = m.snapshotCursor[s->first];
    if (first) cursor = 0;
    if (cursor >= s->second.size()) {
        m.lastError = kErrorNoMoreFiles;
        return 0;
    }
    m.FillProcessEntry(s->second[cursor], entry);
    ++cursor;
    return 1;
}
}  // namespace

BOOL SimMachine::Process32First(HANDLE snapshot, ProcessEntry32* entry) {
    return StepSnapshot(*this, "Process32First", true, snapshot, entry);
}

BOOL SimMachine::Process32Next(HANDLE snapshot, ProcessEntry32* entry) {
    return StepSnapshot(*this, "Process32Next", false, snapshot, entry);
}

// ---------------------------------------------------------------------------
// psapi
// ---------------------------------------------------------------------------

BOOL SimMachine::EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) {
    if (const Fault* f = Enter("EnumProcesses", std::to_string(bytes))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    if (!modules.count("psapi.dll") || !entryPoints.count("psapi.dll!EnumProcesses")) {
        lastError = kErrorProcNotFound;
        return 0;
    }
    if (!bytesReturned || (!ids && bytes)) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    ReuseFreedIds();
    // Fills what fits; a full buffer is how the caller learns it was too small.
    DWORD count = 0;
    for (const SimProcess& p : processes) {
        if (!p.alive) continue;
        if ((count + 1) * sizeof(DWORD) > bytes) break;
        ids[count++] = p.pid;
    }
    *bytesReturned = count * sizeof(DWORD);
    return 1;
}

// A path that does not fit comes back cut, and the call returns `size`: up
// to Windows XP as `size` characters without a terminator, on later systems
// (and Wine) as `size` - 1 characters and a terminator.
DWORD SimMachine::GetModuleFileNameExA(HANDLE process, HMODULE module, char* buffer, DWORD size) {
    if (const Fault* f = Enter("GetModuleFileNameExA")) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    if (!modules.count("psapi.dll") || !entryPoints.count("psapi.dll!GetModuleFileNameExA")) {
        lastError = kErrorProcNotFound;
        return 0;
    }
    const auto h = processHandles.find(Value(process));
    if (h == processHandles.end()) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    const DWORD needed = kProcessQueryInformation | kProcessVmRead;
    if ((processHandleAccess[h->first] & needed) != needed) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    SimProcess* p = FindProcess(h->second);
    if (!p || !p->alive || !p->moduleReadable || module != nullptr) {
        lastError = kErrorPartialCopy;
        return 0;
    }
    if (!buffer || size == 0) {
        lastError = kErrorInsufficientBuffer;
        return 0;
    }
    const DWORD length = static_cast<DWORD>(p->imagePath.size());
    if (length >= size) {
        std::memcpy(buffer, p->imagePath.data(), size);
        if (moduleNameCut == ModuleNameCut::Terminated) buffer[size - 1] = '\0';
        lastError = kErrorInsufficientBuffer;
        return size;
    }
    std::memcpy(buffer, p->imagePath.c_str(), length + 1);
    return length;
}

// ---------------------------------------------------------------------------
// Opening and ending processes
// ---------------------------------------------------------------------------

HANDLE SimMachine::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    rightsAsked.push_back(Rights("OpenProcess", access));
    if (const Fault* f = Enter("OpenProcess", std::to_string(processId))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return nullptr;
    }
    ReuseFreedId(processId);
    SimProcess* p = FindProcess(processId);
    // An ended process stays reachable only where the system keeps its object
    // (the "dies, then refuses" model of Windows XP).
    if (!p || (!p->alive && p->terminate != TerminateBehaviour::DiesThenRefuses)) {
        lastError = kErrorInvalidParameter;
        return nullptr;
    }
    if (p->denyOpen || (p->needsDebugPrivilege && !enabledPrivileges.count("SeDebugPrivilege"))) {
        lastError = kErrorAccessDenied;
        return nullptr;
    }
    const uintptr_t h = NewHandle();
    processHandles[h] = processId;
    processHandleAccess[h] = access;
    return reinterpret_cast<HANDLE>(h);
}

BOOL SimMachine::TerminateProcess(HANDLE process, UINT exitCode) {
    if (const Fault* f = Enter("TerminateProcess", std::to_string(exitCode))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    const auto h = processHandles.find(Value(process));
    if (h == processHandles.end()) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    if (!(processHandleAccess[h->first] & kProcessTerminate)) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    SimProcess* p = FindProcess(h->second);
    if (!p) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    ++p->terminateCalls;
    switch (p->terminate) {
        case TerminateBehaviour::Refuses:
            lastError = kErrorAccessDenied;
            return 0;
        case TerminateBehaviour::DiesThenRefuses:
            if (!p->alive) {
                lastError = kErrorAccessDenied;
                return 0;
            }
            break;
        case TerminateBehaviour::Dies:
            break;  // ending an ended process succeeds, as Wine has it
    }
    p->alive = false;  // its program file and held files are free from now on
    // Ending its own process ends the caller there and then.
    if (p->pid == currentProcessId) throw ProcessExit{int(exitCode)};
    if (IsCriticalImage(p->imagePath) && !systemStopped) {
        systemStopped = true;
        systemStopCause = p->imagePath;
    }
    for (SimService& s : services)
        if (s.processId == p->pid) s.state = kServiceStopped;
    return 1;
}

// ---------------------------------------------------------------------------
// The service control manager
// ---------------------------------------------------------------------------

SC_HANDLE SimMachine::OpenSCManagerA(const char* machine, const char* database, DWORD access) {
    rightsAsked.push_back(Rights("OpenSCManagerA", access));
    if (const Fault* f = Enter("OpenSCManagerA", std::to_string(access))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return nullptr;
    }
    if (version.dwPlatformId != kVerPlatformWin32Nt) {
        lastError = kErrorCallNotImplemented;
        return nullptr;
    }
    if (limitedUser && (access & ~kLimitedManagerRights)) {
        lastError = kErrorAccessDenied;
        return nullptr;
    }
    const uintptr_t h = NewHandle();
    serviceHandles[h] = std::string();
    serviceHandleAccess[h] = access;
    return reinterpret_cast<SC_HANDLE>(h);
}

SC_HANDLE SimMachine::OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
    rightsAsked.push_back(Rights("OpenServiceA", access, name ? name : ""));
    if (const Fault* f = Enter("OpenServiceA", name ? name : "")) {
        lastError = FaultError(f, kErrorAccessDenied);
        return nullptr;
    }
    const auto m = serviceHandles.find(Value(manager));
    if (m == serviceHandles.end() || !m->second.empty()) {
        lastError = kErrorInvalidHandle;
        return nullptr;
    }
    SimService* s = name ? FindService(name) : nullptr;
    if (!s) {
        lastError = kErrorServiceDoesNotExist;
        return nullptr;
    }
    if (limitedUser && (access & ~kLimitedServiceRights)) {
        lastError = kErrorAccessDenied;
        return nullptr;
    }
    const uintptr_t h = NewHandle();
    serviceHandles[h] = s->name;
    serviceHandleAccess[h] = (access & kGenericAll) ? kServiceAllAccess : access;
    return reinterpret_cast<SC_HANDLE>(h);
}

namespace {

void FillStatus(const SimService& s, ServiceStatus* status) {
    if (!status) return;
    *status = ServiceStatus{};
    status->dwServiceType = 0x10;  // SERVICE_WIN32_OWN_PROCESS
    status->dwCurrentState = s.state;
    status->dwControlsAccepted = s.state == kServiceRunning ? 1u : 0u;
    status->dwWaitHint = s.state == kServiceStopPending ? 3000u : 0u;
}

}  // namespace

// The service a handle was opened on, with the rights it was opened with;
// null for an unknown handle or the manager's.
SimService* SimMachine::ServiceOfHandle(SC_HANDLE service, DWORD* access) {
    const auto h = serviceHandles.find(Value(service));
    if (h == serviceHandles.end() || h->second.empty()) return nullptr;
    *access = serviceHandleAccess[h->first];
    return FindService(h->second);
}

BOOL SimMachine::ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) {
    if (const Fault* f = Enter("ControlService", std::to_string(control))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    DWORD access = 0;
    SimService* s = ServiceOfHandle(service, &access);
    if (!s) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    if (control != kServiceControlStop) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    if (!(access & kServiceStop)) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    ++s->stopRequests;
    if (s->state == kServiceStopped) {
        lastError = kErrorServiceNotActive;
        return 0;
    }
    if (s->stop == StopBehaviour::RefusesStop) {
        lastError = kErrorServiceCannotAcceptCtrl;
        return 0;
    }
    s->state = kServiceStopPending;
    s->statusQueries = 0;
    FillStatus(*s, status);
    return 1;
}

BOOL SimMachine::QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) {
    if (const Fault* f = Enter("QueryServiceStatus")) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    DWORD access = 0;
    SimService* s = ServiceOfHandle(service, &access);
    if (!s || !status) {
        lastError = s ? kErrorInvalidParameter : kErrorInvalidHandle;
        return 0;
    }
    if (!(access & kServiceQueryStatus)) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    if (s->state == kServiceStopPending) {
        const int seen = s->statusQueries++;
        switch (s->stop) {
            case StopBehaviour::StopsAtOnce:
                s->state = kServiceStopped;
                break;
            case StopBehaviour::PendingThenStopped:
                if (seen >= s->pendingPolls) s->state = kServiceStopped;
                break;
            case StopBehaviour::PendingThenRunning:
                if (seen >= s->pendingPolls) s->state = kServiceRunning;
                break;
            case StopBehaviour::StaysPending:
            case StopBehaviour::RefusesStop:
                break;
        }
        if (s->state == kServiceStopped && s->processId) {
            if (SimProcess* p = FindProcess(s->processId)) p->alive = false;
        }
    }
    FillStatus(*s, status);
    return 1;
}

BOOL SimMachine::CloseServiceHandle(SC_HANDLE handle) {
    if (const Fault* f = Enter("CloseServiceHandle")) {
        lastError = FaultError(f, kErrorInvalidHandle);
        return 0;
    }
    if (!serviceHandles.erase(Value(handle))) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    serviceHandleAccess.erase(Value(handle));
    return 1;
}

// ---------------------------------------------------------------------------
// Shutdown and text
// ---------------------------------------------------------------------------

// Every request is recorded; the NT family accepts it only with the
// shutdown privilege enabled in the token.
BOOL SimMachine::ExitWindowsEx(UINT flags, DWORD reserved) {
    if (const Fault* f = Enter("ExitWindowsEx", std::to_string(flags))) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    rebootRequests.push_back(flags);
    if (exitWindowsFails) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    // EWX_FORCEIFHUNG (0x10) exists from 2000 on; 95/98/Me and NT 4.0 refuse
    // it like any other flag they do not know.
    constexpr UINT kForceIfHung = 0x10;
    const bool knowsForceIfHung =
        version.dwPlatformId == kVerPlatformWin32Nt && version.dwMajorVersion >= 5;
    const UINT known = 0x1 | kEwxReboot | kEwxForce | 0x8 | (knowsForceIfHung ? kForceIfHung : 0);
    if (flags & ~known) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    if (version.dwPlatformId == kVerPlatformWin32Nt &&
        !enabledPrivileges.count("SeShutdownPrivilege")) {
        lastError = kErrorPrivilegeNotHeld;
        return 0;
    }
    if (flags & kEwxForce) {
        // Nothing is asked: whatever was not saved is lost.
        unsavedWorkLost = true;
    } else if (programRefusesRestart) {
        restartRefused = true;
        return 1;
    }
    rebootStarted = true;
    return 1;
}

// ASCII and Latin-1 map to themselves; anything else becomes '?' (the
// default character), as the Western code page does.
crt::LeadBytes SimMachine::Leads() const {
    const KnownCodePage* cp = FindCodePage(ansiCodePage);
    return cp ? crt::LeadBytes::FromRanges(cp->leadBytes, sizeof cp->leadBytes) : crt::LeadBytes();
}

BOOL SimMachine::GetCPInfo(UINT codePage, CpInfo* info) {
    if (const Fault* f = Enter("GetCPInfo", std::to_string(codePage))) {
        lastError = FaultError(f, kErrorInvalidParameter);
        return 0;
    }
    const KnownCodePage* cp = FindCodePage(codePage == kCpAcp ? ansiCodePage : codePage);
    if (!info || !cp) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    std::memset(info, 0, sizeof(*info));
    info->MaxCharSize = cp->maxCharSize;
    info->DefaultChar[0] = '?';
    std::memcpy(info->LeadByte, cp->leadBytes, sizeof(info->LeadByte));
    return 1;
}

int SimMachine::WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount,
                                    char* out, int outSize, const char* defaultChar,
                                    BOOL* usedDefault) {
    if (const Fault* f = Enter("WideCharToMultiByte", std::to_string(codePage))) {
        lastError = FaultError(f, kErrorInvalidParameter);
        return 0;
    }
    const UINT page = codePage == kCpAcp ? ansiCodePage : codePage;
    if (!wide || wideCount == 0 || wideCount < -1 || outSize < 0 || (outSize > 0 && !out) ||
        !FindCodePage(page)) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    size_t count = 0;
    if (wideCount == -1) {
        while (wide[count] != 0) ++count;
        ++count;  // the terminator is converted too
    } else {
        count = static_cast<size_t>(wideCount);
    }
    const char fallback = defaultChar ? *defaultChar : '?';
    bool defaulted = false;
    std::string bytes;
    for (size_t i = 0; i < count; ++i) {
        const std::string one = FromWide(page, wide[i]);
        if (one.empty()) {
            bytes += fallback;
            defaulted = true;
        } else {
            bytes += one;
        }
    }
    if (outSize == 0) return static_cast<int>(bytes.size());
    if (bytes.size() > static_cast<size_t>(outSize)) {
        lastError = kErrorInsufficientBuffer;
        return 0;
    }
    std::memcpy(out, bytes.data(), bytes.size());
    if (usedDefault) *usedDefault = defaulted ? 1 : 0;
    return static_cast<int>(bytes.size());
}

}  // namespace pf::sim

// ---------------------------------------------------------------------------
// Process objects, module snapshots, critical processes, service configuration
// ---------------------------------------------------------------------------

namespace pf::sim {

// A process object lives while it runs or while a handle to it is open; only
// then can its id be given to a new process.
void SimMachine::ReuseFreedId(DWORD pid) {
    const auto next = idReusedBy.find(pid);
    if (next == idReusedBy.end()) return;
    SimProcess* old = FindProcess(pid);
    if (old && old->alive) return;
    for (const auto& h : processHandles)
        if (h.second == pid) return;
    SimProcess fresh;
    fresh.pid = pid;
    fresh.imagePath = next->second;
    idReusedBy.erase(next);
    if (old)
        *old = fresh;
    else
        processes.push_back(fresh);
}

void SimMachine::ReuseFreedIds() {
    std::vector<DWORD> pending;
    for (const auto& next : idReusedBy) pending.push_back(next.first);
    for (DWORD pid : pending) ReuseFreedId(pid);
}

BOOL SimMachine::Module32First(HANDLE snapshot, ModuleEntry32* entry) {
    if (const Fault* f = Enter("Module32First")) {
        lastError = FaultError(f, kErrorNoMoreFiles);
        return 0;
    }
    if (!entryPoints.count("kernel32.dll!Module32First")) {
        lastError = kErrorProcNotFound;
        return 0;
    }
    const auto s = snapshotModules.find(Value(snapshot));
    if (!snapshots.count(Value(snapshot))) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    if (!entry || entry->dwSize < sizeof(ModuleEntry32)) {
        lastError = kErrorBadLength;
        return 0;
    }
    if (s == snapshotModules.end() || s->second.empty()) {
        lastError = kErrorNoMoreFiles;
        return 0;
    }
    const DWORD size = entry->dwSize;
    std::memset(entry, 0, sizeof(*entry));
    entry->dwSize = size;
    entry->th32ModuleID = 1;
    const std::string& path = s->second.front();
    crt::CopyText(entry->szModule, BaseName(path, Leads()).c_str());
    crt::CopyText(entry->szExePath, path.c_str());
    return 1;
}

// The programs whose end stops the machine, by generation: the session
// manager, the Win32 subsystem, logon, the service manager and the security
// authority on every NT; from 2000 on also the service hosts (RPC), from
// Vista on wininit and the session manager service.
bool SimMachine::IsCriticalImage(const std::string& imagePath) const {
    if (version.dwPlatformId != kVerPlatformWin32Nt) return false;
    std::vector<const char*> names = {"smss.exe", "csrss.exe", "winlogon.exe", "services.exe",
                                      "lsass.exe"};
    if (version.dwMajorVersion >= 5) names.push_back("svchost.exe");
    if (version.dwMajorVersion >= 6) names.push_back("wininit.exe");
    if (version.dwMajorVersion == 6 && version.dwMinorVersion <= 1) names.push_back("lsm.exe");
    for (const char* name : names)
        if (crt::SameName(imagePath.c_str(), (systemDirectory + "\\" + name).c_str(), Leads()))
            return true;
    return false;
}

// The configuration in one buffer: the record, then its texts. Windows asks
// for at most 8 KB; a smaller buffer gets ERROR_INSUFFICIENT_BUFFER and the
// size needed.
BOOL SimMachine::QueryServiceConfigA(SC_HANDLE service, ServiceConfig* config,
                                     DWORD bufferSize, DWORD* bytesNeeded) {
    if (const Fault* f = Enter("QueryServiceConfigA")) {
        lastError = FaultError(f, kErrorAccessDenied);
        return 0;
    }
    DWORD access = 0;
    SimService* s = ServiceOfHandle(service, &access);
    if (!s) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    if (!(access & kServiceQueryConfig)) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    if (!bytesNeeded) {
        lastError = kErrorInvalidAddress;
        return 0;
    }
    const std::string texts[] = {s->imagePath, "", "", "LocalSystem", s->name};
    DWORD needed = sizeof(ServiceConfig);
    for (const std::string& t : texts) needed += DWORD(t.size() + 1);
    if (!config || bufferSize < needed) {
        *bytesNeeded = needed;
        lastError = kErrorInsufficientBuffer;
        return 0;
    }
    char* at = reinterpret_cast<char*>(config) + sizeof(ServiceConfig);
    char* fields[5];
    for (int i = 0; i < 5; ++i) {
        std::memcpy(at, texts[i].c_str(), texts[i].size() + 1);
        fields[i] = at;
        at += texts[i].size() + 1;
    }
    config->dwServiceType = s->type;
    config->dwStartType = 2;       // SERVICE_AUTO_START
    config->dwErrorControl = 1;
    config->lpBinaryPathName = fields[0];
    config->lpLoadOrderGroup = fields[1];
    config->dwTagId = 0;
    config->lpDependencies = fields[2];
    config->lpServiceStartName = fields[3];
    config->lpDisplayName = fields[4];
    return 1;
}

}  // namespace pf::sim
