// Pass-through to the real system. Nothing here decides anything: each
// method converts its arguments, makes the one call and converts the answer
// back, leaving the thread's last error as the system set it.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef UNICODE
#undef _UNICODE
#include <windows.h>
#include <tlhelp32.h>
#include <winsvc.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/win32/win32_platform.h"

namespace pf {
namespace win32 {

// ---------------------------------------------------------------------------
// The interface's constants are the system's own values.
// ---------------------------------------------------------------------------
static_assert(kErrorSuccess == ERROR_SUCCESS, "");
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "");
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND, "");
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED, "");
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE, "");
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY, "");
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION, "");
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "");
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER, "");
static_assert(kErrorMoreData == ERROR_MORE_DATA, "");
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS, "");
static_assert(kErrorNoMoreFiles == ERROR_NO_MORE_FILES, "");
static_assert(kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST, "");
static_assert(kErrorServiceNotActive == ERROR_SERVICE_NOT_ACTIVE, "");
static_assert(kErrorNotAllAssigned == ERROR_NOT_ALL_ASSIGNED, "");
static_assert(kErrorNoSuchPrivilege == ERROR_NO_SUCH_PRIVILEGE, "");
static_assert(kErrorInvalidWindowHandle == ERROR_INVALID_WINDOW_HANDLE, "");

static_assert(kDriveUnknown == DRIVE_UNKNOWN, "");
static_assert(kDriveNoRootDir == DRIVE_NO_ROOT_DIR, "");
static_assert(kDriveRemovable == DRIVE_REMOVABLE, "");
static_assert(kDriveFixed == DRIVE_FIXED, "");
static_assert(kDriveRemote == DRIVE_REMOTE, "");
static_assert(kDriveCdrom == DRIVE_CDROM, "");
static_assert(kDriveRamdisk == DRIVE_RAMDISK, "");

static_assert(kFileAttributeReadonly == FILE_ATTRIBUTE_READONLY, "");
static_assert(kFileAttributeHidden == FILE_ATTRIBUTE_HIDDEN, "");
static_assert(kFileAttributeSystem == FILE_ATTRIBUTE_SYSTEM, "");
static_assert(kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY, "");
static_assert(kFileAttributeArchive == FILE_ATTRIBUTE_ARCHIVE, "");
static_assert(kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES, "");

static_assert(kORdonly == _O_RDONLY, "");
static_assert(kOWronly == _O_WRONLY, "");
static_assert(kORdwr == _O_RDWR, "");
static_assert(kOAppend == _O_APPEND, "");
static_assert(kOCreat == _O_CREAT, "");
static_assert(kOTrunc == _O_TRUNC, "");
static_assert(kOExcl == _O_EXCL, "");
static_assert(kOText == _O_TEXT, "");
static_assert(kOBinary == _O_BINARY, "");
static_assert(kSIread == _S_IREAD, "");
static_assert(kSIwrite == _S_IWRITE, "");
static_assert(kSeekSet == SEEK_SET && kSeekCur == SEEK_CUR && kSeekEnd == SEEK_END, "");
static_assert(kENOENT == ENOENT && kEBADF == EBADF && kEACCES == EACCES, "");
static_assert(kEINVAL == EINVAL && kEMFILE == EMFILE && kENOSPC == ENOSPC, "");

static_assert(kMovefileReplaceExisting == MOVEFILE_REPLACE_EXISTING, "");
static_assert(kMovefileDelayUntilReboot == MOVEFILE_DELAY_UNTIL_REBOOT, "");

static_assert(kWmDestroy == WM_DESTROY && kWmEnable == WM_ENABLE, "");
static_assert(kWmSetRedraw == WM_SETREDRAW && kWmQuit == WM_QUIT, "");
static_assert(kWmKeyDown == WM_KEYDOWN && kWmKeyUp == WM_KEYUP && kWmChar == WM_CHAR, "");
static_assert(kPmNoRemove == PM_NOREMOVE && kPmRemove == PM_REMOVE, "");
static_assert(kVkEscape == VK_ESCAPE, "");

static_assert(kMbOk == MB_OK && kMbOkCancel == MB_OKCANCEL, "");
static_assert(kMbYesNoCancel == MB_YESNOCANCEL && kMbYesNo == MB_YESNO, "");
static_assert(kMbIconHand == MB_ICONHAND && kMbIconQuestion == MB_ICONQUESTION, "");
static_assert(kMbIconExclamation == MB_ICONEXCLAMATION, "");
static_assert(kMbIconAsterisk == MB_ICONASTERISK, "");
static_assert(kIdOk == IDOK && kIdCancel == IDCANCEL && kIdYes == IDYES && kIdNo == IDNO, "");

static_assert(kVerPlatformWin32s == VER_PLATFORM_WIN32s, "");
static_assert(kVerPlatformWin32Windows == VER_PLATFORM_WIN32_WINDOWS, "");
static_assert(kVerPlatformWin32Nt == VER_PLATFORM_WIN32_NT, "");

static_assert(kTokenAdjustPrivileges == TOKEN_ADJUST_PRIVILEGES, "");
static_assert(kTokenQuery == TOKEN_QUERY, "");
static_assert(kSePrivilegeEnabled == SE_PRIVILEGE_ENABLED, "");

static_assert(kProcessTerminate == PROCESS_TERMINATE, "");
static_assert(kProcessVmRead == PROCESS_VM_READ, "");
static_assert(kProcessQueryInformation == PROCESS_QUERY_INFORMATION, "");
static_assert(kTh32csSnapprocess == TH32CS_SNAPPROCESS, "");

static_assert(kRegNone == REG_NONE && kRegSz == REG_SZ && kRegExpandSz == REG_EXPAND_SZ, "");
static_assert(kRegBinary == REG_BINARY && kRegDword == REG_DWORD, "");
static_assert(kRegMultiSz == REG_MULTI_SZ, "");
static_assert(kKeyRead == KEY_READ && kKeyAllAccess == KEY_ALL_ACCESS, "");

static_assert(kScManagerAllAccess == SC_MANAGER_ALL_ACCESS, "");
static_assert(kServiceAllAccess == SERVICE_ALL_ACCESS, "");
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP, "");
static_assert(kServiceStopped == SERVICE_STOPPED, "");
static_assert(kServiceStartPending == SERVICE_START_PENDING, "");
static_assert(kServiceStopPending == SERVICE_STOP_PENDING, "");
static_assert(kServiceRunning == SERVICE_RUNNING, "");

static_assert(kEwxReboot == EWX_REBOOT && kEwxForce == EWX_FORCE, "");
static_assert(kCpAcp == CP_ACP, "");
static_assert(kGmemFixed == GMEM_FIXED && kGmemZeroinit == GMEM_ZEROINIT && kGptr == GPTR, "");

// Records that are copied as a whole have the system's layout.
static_assert(sizeof(FindDataA::cFileName) == sizeof(WIN32_FIND_DATAA::cFileName), "");
static_assert(sizeof(FindDataA::cAlternateFileName) ==
                  sizeof(WIN32_FIND_DATAA::cAlternateFileName), "");
static_assert(sizeof(ProcessEntry32::szExeFile) == sizeof(PROCESSENTRY32::szExeFile), "");
static_assert(sizeof(OsVersionInfoA) == sizeof(OSVERSIONINFOA), "");
static_assert(sizeof(WCHAR) == sizeof(wchar_t), "");

namespace {

// ---------------------------------------------------------------------------
// Handle conversions
// ---------------------------------------------------------------------------
::HANDLE ToWin(pf::HANDLE h) { return reinterpret_cast<::HANDLE>(h); }
pf::HANDLE FromWin(::HANDLE h) { return reinterpret_cast<pf::HANDLE>(h); }

// The predefined keys are 32-bit values that the system headers sign-extend
// on 64-bit Windows (HKEY_LOCAL_MACHINE is 0xFFFFFFFF80000002 there); the
// interface carries them zero-extended, so widen them the system's way.
::HKEY ToWin(pf::HKEY key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    if (value >= 0x80000000u && value <= 0x800000FFu) {
        return reinterpret_cast<::HKEY>(
            static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(value))));
    }
    return reinterpret_cast<::HKEY>(key);
}
pf::HKEY FromWin(::HKEY key) { return reinterpret_cast<pf::HKEY>(key); }

::HWND ToWin(pf::HWND w) { return reinterpret_cast<::HWND>(w); }
pf::HWND FromWin(::HWND w) { return reinterpret_cast<pf::HWND>(w); }
::SC_HANDLE ToWin(pf::SC_HANDLE s) { return reinterpret_cast<::SC_HANDLE>(s); }
pf::SC_HANDLE FromWin(::SC_HANDLE s) { return reinterpret_cast<pf::SC_HANDLE>(s); }
::FILE* ToWin(pf::FILE_STREAM f) { return reinterpret_cast<::FILE*>(f); }

// ---------------------------------------------------------------------------
// Record conversions
// ---------------------------------------------------------------------------
void CopyFindData(const WIN32_FIND_DATAA& in, FindDataA* out) {
    out->dwFileAttributes = in.dwFileAttributes;
    out->ftCreationTime = {in.ftCreationTime.dwLowDateTime, in.ftCreationTime.dwHighDateTime};
    out->ftLastAccessTime = {in.ftLastAccessTime.dwLowDateTime,
                             in.ftLastAccessTime.dwHighDateTime};
    out->ftLastWriteTime = {in.ftLastWriteTime.dwLowDateTime, in.ftLastWriteTime.dwHighDateTime};
    out->nFileSizeHigh = in.nFileSizeHigh;
    out->nFileSizeLow = in.nFileSizeLow;
    out->dwReserved0 = in.dwReserved0;
    out->dwReserved1 = in.dwReserved1;
    memcpy(out->cFileName, in.cFileName, sizeof(out->cFileName));
    out->cFileName[sizeof(out->cFileName) - 1] = '\0';
    memcpy(out->cAlternateFileName, in.cAlternateFileName, sizeof(out->cAlternateFileName));
    out->cAlternateFileName[sizeof(out->cAlternateFileName) - 1] = '\0';
    out->padding_ = 0;
}

void CopyMsg(const MSG& in, Msg* out) {
    out->hwnd = FromWin(in.hwnd);
    out->message = in.message;
    out->wParam = in.wParam;
    out->lParam = in.lParam;
    out->time = in.time;
    out->pt.x = in.pt.x;
    out->pt.y = in.pt.y;
}

MSG ToWin(const Msg& in) {
    MSG out{};
    out.hwnd = ToWin(in.hwnd);
    out.message = in.message;
    out.wParam = in.wParam;
    out.lParam = in.lParam;
    out.time = in.time;
    out.pt.x = in.pt.x;
    out.pt.y = in.pt.y;
    return out;
}

// PROCESSENTRY32 grows to 304 bytes on 64-bit Windows (th32DefaultHeapID is
// pointer-sized); the interface keeps the 296-byte 32-bit shape.
void CopyProcessEntry(const PROCESSENTRY32& in, ProcessEntry32* out) {
    out->cntUsage = in.cntUsage;
    out->th32ProcessID = in.th32ProcessID;
    out->th32DefaultHeapID = static_cast<uint32_t>(in.th32DefaultHeapID);
    out->th32ModuleID = in.th32ModuleID;
    out->cntThreads = in.cntThreads;
    out->th32ParentProcessID = in.th32ParentProcessID;
    out->pcPriClassBase = in.pcPriClassBase;
    out->dwFlags = in.dwFlags;
    memcpy(out->szExeFile, in.szExeFile, sizeof(out->szExeFile));
    out->szExeFile[sizeof(out->szExeFile) - 1] = '\0';
}

// A caller's record that is too small for the interface's shape is handed to
// the system with its own size, so the system's own length error results.
DWORD SystemEntrySize(const ProcessEntry32* entry) {
    return entry->dwSize >= sizeof(ProcessEntry32) ? DWORD(sizeof(PROCESSENTRY32))
                                                   : entry->dwSize;
}

void CopyServiceStatus(const SERVICE_STATUS& in, ServiceStatus* out) {
    out->dwServiceType = in.dwServiceType;
    out->dwCurrentState = in.dwCurrentState;
    out->dwControlsAccepted = in.dwControlsAccepted;
    out->dwWin32ExitCode = in.dwWin32ExitCode;
    out->dwServiceSpecificExitCode = in.dwServiceSpecificExitCode;
    out->dwCheckPoint = in.dwCheckPoint;
    out->dwWaitHint = in.dwWaitHint;
}

// An optional DWORD in/out argument: the system's DWORD is `unsigned long`,
// the interface's is `uint32_t`, so values travel through a local copy.
class DwordArg {
public:
    explicit DwordArg(pf::DWORD* caller) : caller_(caller), value_(caller ? *caller : 0) {}
    ~DwordArg() {
        if (caller_) *caller_ = static_cast<pf::DWORD>(value_);
    }
    ::DWORD* get() { return caller_ ? &value_ : nullptr; }

private:
    pf::DWORD* caller_;
    ::DWORD value_;
};

// ---------------------------------------------------------------------------
// Optional entry points, looked up once by name
// ---------------------------------------------------------------------------
using SnapshotFn = ::HANDLE(WINAPI*)(::DWORD, ::DWORD);
using ProcessWalkFn = ::BOOL(WINAPI*)(::HANDLE, PROCESSENTRY32*);
using EnumProcessesFn = ::BOOL(WINAPI*)(::DWORD*, ::DWORD, ::DWORD*);
using ModuleFileNameFn = ::DWORD(WINAPI*)(::HANDLE, ::HMODULE, LPSTR, ::DWORD);

template <typename Fn>
Fn LookUp(const char* library, const char* name) {
    ::HMODULE module = ::LoadLibraryA(library);  // stays loaded for the process
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

SnapshotFn SnapshotEntry() {
    static const SnapshotFn fn = LookUp<SnapshotFn>("Kernel32.dll", "CreateToolhelp32Snapshot");
    return fn;
}
ProcessWalkFn FirstEntry() {
    static const ProcessWalkFn fn = LookUp<ProcessWalkFn>("Kernel32.dll", "Process32First");
    return fn;
}
ProcessWalkFn NextEntry() {
    static const ProcessWalkFn fn = LookUp<ProcessWalkFn>("Kernel32.dll", "Process32Next");
    return fn;
}
EnumProcessesFn EnumEntry() {
    static const EnumProcessesFn fn = LookUp<EnumProcessesFn>("psapi.dll", "EnumProcesses");
    return fn;
}
ModuleFileNameFn ModuleNameEntry() {
    static const ModuleFileNameFn fn =
        LookUp<ModuleFileNameFn>("psapi.dll", "GetModuleFileNameExA");
    return fn;
}

using ModuleWalkFn = ::BOOL(WINAPI*)(::HANDLE, MODULEENTRY32*);
using ServiceConfigFn = ::BOOL(WINAPI*)(::SC_HANDLE, QUERY_SERVICE_CONFIGA*, ::DWORD, ::DWORD*);

ModuleWalkFn FirstModuleEntry() {
    static const ModuleWalkFn fn = LookUp<ModuleWalkFn>("Kernel32.dll", "Module32First");
    return fn;
}
ServiceConfigFn ServiceConfigEntry() {
    static const ServiceConfigFn fn =
        LookUp<ServiceConfigFn>("advapi32.dll", "QueryServiceConfigA");
    return fn;
}

// The record's text fields point into the caller's buffer, so it is the
// system's own record whatever the pointer size.
static_assert(sizeof(pf::ServiceConfig) == sizeof(QUERY_SERVICE_CONFIGA),
              "QUERY_SERVICE_CONFIGA shape");
static_assert(offsetof(pf::ServiceConfig, lpBinaryPathName) ==
                  offsetof(QUERY_SERVICE_CONFIGA, lpBinaryPathName),
              "QUERY_SERVICE_CONFIGA shape");
static_assert(offsetof(pf::ServiceConfig, lpDisplayName) ==
                  offsetof(QUERY_SERVICE_CONFIGA, lpDisplayName),
              "QUERY_SERVICE_CONFIGA shape");

SkinMessageBoxHandler g_skinHandler = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Files and folders
// ---------------------------------------------------------------------------
HANDLE Win32Platform::FindFirstFileA(const char* pattern, FindDataA* data) {
    WIN32_FIND_DATAA found{};
    ::HANDLE h = ::FindFirstFileA(pattern, &found);
    if (h != INVALID_HANDLE_VALUE) CopyFindData(found, data);
    return FromWin(h);
}

BOOL Win32Platform::FindNextFileA(HANDLE find, FindDataA* data) {
    WIN32_FIND_DATAA found{};
    ::BOOL ok = ::FindNextFileA(ToWin(find), &found);
    if (ok) CopyFindData(found, data);
    return ok;
}

BOOL Win32Platform::FindClose(HANDLE find) { return ::FindClose(ToWin(find)); }
UINT Win32Platform::GetDriveTypeA(const char* root) { return ::GetDriveTypeA(root); }
BOOL Win32Platform::SetFileAttributesA(const char* path, DWORD attributes) {
    return ::SetFileAttributesA(path, attributes);
}
BOOL Win32Platform::DeleteFileA(const char* path) { return ::DeleteFileA(path); }
BOOL Win32Platform::MoveFileExA(const char* existing, const char* newName, DWORD flags) {
    return ::MoveFileExA(existing, newName, flags);
}
BOOL Win32Platform::CopyFileA(const char* existing, const char* newName, BOOL failIfExists) {
    return ::CopyFileA(existing, newName, failIfExists);
}
DWORD Win32Platform::GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) {
    return ::GetShortPathNameA(longPath, shortPath, size);
}
UINT Win32Platform::GetWindowsDirectoryA(char* buffer, UINT size) {
    return ::GetWindowsDirectoryA(buffer, size);
}
UINT Win32Platform::GetSystemDirectoryA(char* buffer, UINT size) {
    return ::GetSystemDirectoryA(buffer, size);
}
DWORD Win32Platform::GetTempPathA(DWORD size, char* buffer) {
    return ::GetTempPathA(size, buffer);
}
DWORD Win32Platform::ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) {
    return ::ExpandEnvironmentStringsA(src, dst, size);
}

// ---------------------------------------------------------------------------
// C runtime
// ---------------------------------------------------------------------------
int Win32Platform::_open(const char* path, int flags, int mode) {
    return ::_open(path, flags, mode);
}
int32_t Win32Platform::_lseek(int fd, int32_t offset, int origin) {
    return static_cast<int32_t>(::_lseek(fd, offset, origin));
}
int Win32Platform::_read(int fd, void* buffer, unsigned count) {
    return ::_read(fd, buffer, count);
}
int Win32Platform::_write(int fd, const void* buffer, unsigned count) {
    return ::_write(fd, buffer, count);
}
int32_t Win32Platform::_filelength(int fd) { return static_cast<int32_t>(::_filelength(fd)); }
int Win32Platform::_close(int fd) { return ::_close(fd); }
int Win32Platform::_access(const char* path, int mode) { return ::_access(path, mode); }
FILE_STREAM Win32Platform::fopen(const char* path, const char* mode) {
    return reinterpret_cast<FILE_STREAM>(::fopen(path, mode));
}
char* Win32Platform::fgets(char* buffer, int size, FILE_STREAM stream) {
    return ::fgets(buffer, size, ToWin(stream));
}
int Win32Platform::fclose(FILE_STREAM stream) { return ::fclose(ToWin(stream)); }

// ---------------------------------------------------------------------------
// Memory and process-wide
// ---------------------------------------------------------------------------
void* Win32Platform::GlobalAlloc(UINT flags, size_t bytes) {
    return reinterpret_cast<void*>(::GlobalAlloc(flags, bytes));
}
void* Win32Platform::GlobalFree(void* block) {
    return reinterpret_cast<void*>(::GlobalFree(reinterpret_cast<HGLOBAL>(block)));
}
DWORD Win32Platform::GetLastError() { return ::GetLastError(); }
void Win32Platform::SetLastError(DWORD error) { ::SetLastError(error); }
void Win32Platform::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
DWORD Win32Platform::GetTickCount() { return ::GetTickCount(); }
void Win32Platform::exit(int code) { ::exit(code); }

// ---------------------------------------------------------------------------
// Version, tokens, privileges
// ---------------------------------------------------------------------------
BOOL Win32Platform::GetVersionExA(OsVersionInfoA* info) {
    // Only the plain 148-byte record fits the interface; any other size is
    // refused the way the system refuses a size it does not know.
    if (!info || info->dwOSVersionInfoSize != sizeof(OsVersionInfoA)) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof(v);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    ::BOOL ok = ::GetVersionExA(&v);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    if (ok) {
        info->dwMajorVersion = v.dwMajorVersion;
        info->dwMinorVersion = v.dwMinorVersion;
        info->dwBuildNumber = v.dwBuildNumber;
        info->dwPlatformId = v.dwPlatformId;
        memcpy(info->szCSDVersion, v.szCSDVersion, sizeof(info->szCSDVersion));
        info->szCSDVersion[sizeof(info->szCSDVersion) - 1] = '\0';
    }
    return ok;
}

HANDLE Win32Platform::GetCurrentProcess() { return FromWin(::GetCurrentProcess()); }
DWORD Win32Platform::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

BOOL Win32Platform::OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    ::HANDLE t = nullptr;
    ::BOOL ok = ::OpenProcessToken(ToWin(process), access, &t);
    if (token) *token = ok ? FromWin(t) : nullptr;
    return ok;
}

BOOL Win32Platform::LookupPrivilegeValueA(const char* systemName, const char* name, Luid* luid) {
    LUID value{};
    ::BOOL ok = ::LookupPrivilegeValueA(systemName, name, &value);
    if (ok && luid) {
        luid->LowPart = value.LowPart;
        luid->HighPart = value.HighPart;
    }
    return ok;
}

BOOL Win32Platform::AdjustTokenPrivileges(HANDLE token, BOOL disableAll,
                                          TokenPrivileges* newState, DWORD bufferLength,
                                          TokenPrivileges* previousState, DWORD* returnLength) {
    // The interface's record holds exactly one privilege.
    if (newState && newState->PrivilegeCount > 1) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TOKEN_PRIVILEGES in{};
    if (newState) {
        in.PrivilegeCount = newState->PrivilegeCount;
        in.Privileges[0].Luid.LowPart = newState->Privileges[0].luid.LowPart;
        in.Privileges[0].Luid.HighPart = newState->Privileges[0].luid.HighPart;
        in.Privileges[0].Attributes = newState->Privileges[0].Attributes;
    }
    TOKEN_PRIVILEGES previous{};
    const bool wantPrevious = previousState && bufferLength >= sizeof(TokenPrivileges);
    DwordArg length(returnLength);
    ::BOOL ok = ::AdjustTokenPrivileges(ToWin(token), disableAll, newState ? &in : nullptr,
                                        wantPrevious ? sizeof(previous) : 0,
                                        wantPrevious ? &previous : nullptr, length.get());
    // Nothing below may touch the last error: callers read it right after.
    if (ok && wantPrevious) {
        previousState->PrivilegeCount = previous.PrivilegeCount;
        previousState->Privileges[0].luid.LowPart = previous.Privileges[0].Luid.LowPart;
        previousState->Privileges[0].luid.HighPart = previous.Privileges[0].Luid.HighPart;
        previousState->Privileges[0].Attributes = previous.Privileges[0].Attributes;
    }
    return ok;
}

BOOL Win32Platform::CloseHandle(HANDLE handle) { return ::CloseHandle(ToWin(handle)); }

// ---------------------------------------------------------------------------
// Optional facilities
// ---------------------------------------------------------------------------
HMODULE Win32Platform::LoadLibraryA(const char* name) {
    return reinterpret_cast<HMODULE>(::LoadLibraryA(name));
}

FARPROC Win32Platform::GetProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(reinterpret_cast<::HMODULE>(module), name)));
}

HANDLE Win32Platform::CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
    SnapshotFn fn = SnapshotEntry();
    if (!fn) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return kInvalidHandleValue;
    }
    return FromWin(fn(flags, processId));
}

namespace {
// Process32First and Process32Next take the same record: the system's own,
// converted to ours field by field.
BOOL WalkSnapshot(ProcessWalkFn fn, HANDLE snapshot, ProcessEntry32* entry) {
    if (!fn || !entry) {
        ::SetLastError(fn ? ERROR_INVALID_PARAMETER : ERROR_PROC_NOT_FOUND);
        return 0;
    }
    PROCESSENTRY32 e{};
    e.dwSize = SystemEntrySize(entry);
    ::BOOL ok = fn(ToWin(snapshot), &e);
    if (ok) CopyProcessEntry(e, entry);
    return ok;
}
}  // namespace

BOOL Win32Platform::Process32First(HANDLE snapshot, ProcessEntry32* entry) {
    return WalkSnapshot(FirstEntry(), snapshot, entry);
}

BOOL Win32Platform::Process32Next(HANDLE snapshot, ProcessEntry32* entry) {
    return WalkSnapshot(NextEntry(), snapshot, entry);
}

// Converted field by field: the system's record holds pointer-sized fields.
BOOL Win32Platform::Module32First(HANDLE snapshot, ModuleEntry32* entry) {
    ModuleWalkFn fn = FirstModuleEntry();
    if (!fn || !entry) {
        ::SetLastError(fn ? ERROR_INVALID_PARAMETER : ERROR_PROC_NOT_FOUND);
        return 0;
    }
    MODULEENTRY32 e{};
    e.dwSize =
        entry->dwSize >= sizeof(ModuleEntry32) ? DWORD(sizeof(MODULEENTRY32)) : entry->dwSize;
    ::BOOL ok = fn(ToWin(snapshot), &e);
    if (ok) {
        entry->th32ModuleID = e.th32ModuleID;
        entry->th32ProcessID = e.th32ProcessID;
        entry->GlblcntUsage = e.GlblcntUsage;
        entry->ProccntUsage = e.ProccntUsage;
        entry->modBaseAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.modBaseAddr));
        entry->modBaseSize = e.modBaseSize;
        entry->hModule = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.hModule));
        memcpy(entry->szModule, e.szModule, sizeof(entry->szModule));
        entry->szModule[sizeof(entry->szModule) - 1] = '\0';
        memcpy(entry->szExePath, e.szExePath, sizeof(entry->szExePath));
        entry->szExePath[sizeof(entry->szExePath) - 1] = '\0';
    }
    return ok;
}

BOOL Win32Platform::EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) {
    EnumProcessesFn fn = EnumEntry();
    if (!fn) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    static_assert(sizeof(pf::DWORD) == sizeof(::DWORD), "process ids are 32-bit");
    // The id array is filled by the system as raw 32-bit values.
    DwordArg returned(bytesReturned);
    return fn(reinterpret_cast<::DWORD*>(ids), bytes, returned.get());
}

DWORD Win32Platform::GetModuleFileNameExA(HANDLE process, HMODULE module, char* buffer,
                                          DWORD size) {
    ModuleFileNameFn fn = ModuleNameEntry();
    if (!fn) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    return fn(ToWin(process), reinterpret_cast<::HMODULE>(module), buffer, size);
}

// ---------------------------------------------------------------------------
// Processes
// ---------------------------------------------------------------------------
HANDLE Win32Platform::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    return FromWin(::OpenProcess(access, inherit, processId));
}
BOOL Win32Platform::TerminateProcess(HANDLE process, UINT exitCode) {
    return ::TerminateProcess(ToWin(process), exitCode);
}

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------
LONG Win32Platform::RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access,
                                  HKEY* result) {
    ::HKEY key = nullptr;
    LONG rc = ::RegOpenKeyExA(ToWin(root), subKey, options, access, &key);
    if (result) *result = rc == ERROR_SUCCESS ? FromWin(key) : nullptr;
    return rc;
}

LONG Win32Platform::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved,
                                     DWORD* type, BYTE* data, DWORD* dataSize) {
    DwordArg res(reserved), t(type), size(dataSize);
    return ::RegQueryValueExA(ToWin(key), valueName, res.get(), t.get(), data, size.get());
}

LONG Win32Platform::RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) {
    DwordArg keys(subKeys), vals(values);
    return ::RegQueryInfoKeyA(ToWin(key), nullptr, nullptr, nullptr, keys.get(), nullptr,
                              nullptr, vals.get(), nullptr, nullptr, nullptr, nullptr);
}

LONG Win32Platform::RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize,
                                  DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize) {
    DwordArg nsize(nameSize), res(reserved), t(type), dsize(dataSize);
    return ::RegEnumValueA(ToWin(key), index, name, nsize.get(), res.get(), t.get(), data,
                           dsize.get());
}

LONG Win32Platform::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize) {
    DwordArg size(nameSize);
    return ::RegEnumKeyExA(ToWin(key), index, name, size.get(), nullptr, nullptr, nullptr, nullptr);
}

LONG Win32Platform::RegDeleteValueA(HKEY key, const char* valueName) {
    return ::RegDeleteValueA(ToWin(key), valueName);
}
LONG Win32Platform::RegDeleteKeyA(HKEY root, const char* subKey) {
    return ::RegDeleteKeyA(ToWin(root), subKey);
}
LONG Win32Platform::RegCloseKey(HKEY key) { return ::RegCloseKey(ToWin(key)); }

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------
SC_HANDLE Win32Platform::OpenSCManagerA(const char* machine, const char* database,
                                        DWORD access) {
    return FromWin(::OpenSCManagerA(machine, database, access));
}
SC_HANDLE Win32Platform::OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
    return FromWin(::OpenServiceA(ToWin(manager), name, access));
}
BOOL Win32Platform::ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) {
    SERVICE_STATUS s{};
    ::BOOL ok = ::ControlService(ToWin(service), control, &s);
    if (status) CopyServiceStatus(s, status);
    return ok;
}
BOOL Win32Platform::QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) {
    SERVICE_STATUS s{};
    ::BOOL ok = ::QueryServiceStatus(ToWin(service), &s);
    if (ok && status) CopyServiceStatus(s, status);
    return ok;
}
BOOL Win32Platform::QueryServiceConfigA(SC_HANDLE service, ServiceConfig* config,
                                        DWORD bufferSize, DWORD* bytesNeeded) {
    ServiceConfigFn fn = ServiceConfigEntry();
    if (!fn) {
        ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    DwordArg needed(bytesNeeded);
    return fn(ToWin(service), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config), bufferSize,
              needed.get());
}
BOOL Win32Platform::CloseServiceHandle(SC_HANDLE handle) {
    return ::CloseServiceHandle(ToWin(handle));
}

BOOL Win32Platform::ExitWindowsEx(UINT flags, DWORD reserved) {
    return ::ExitWindowsEx(flags, reserved);
}

BOOL Win32Platform::GetCPInfo(UINT codePage, CpInfo* info) {
    static_assert(sizeof(CPINFO) == sizeof(CpInfo), "CPINFO and CpInfo agree");
    CPINFO raw{};
    if (!info || !::GetCPInfo(codePage, &raw)) return 0;
    info->MaxCharSize = raw.MaxCharSize;
    memcpy(info->DefaultChar, raw.DefaultChar, sizeof(info->DefaultChar));
    memcpy(info->LeadByte, raw.LeadByte, sizeof(info->LeadByte));
    return 1;
}

int Win32Platform::WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide,
                                       int wideCount, char* out, int outSize,
                                       const char* defaultChar, BOOL* usedDefault) {
    return ::WideCharToMultiByte(codePage, flags, reinterpret_cast<LPCWCH>(wide), wideCount, out,
                                 outSize, defaultChar, usedDefault);
}

// ---------------------------------------------------------------------------
// Windowing
// ---------------------------------------------------------------------------
BOOL Win32Platform::PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax,
                                 UINT removeFlags) {
    MSG m{};
    ::BOOL got = ::PeekMessageA(&m, ToWin(window), filterMin, filterMax, removeFlags);
    if (got && msg) CopyMsg(m, msg);
    return got;
}
BOOL Win32Platform::TranslateMessage(const Msg* msg) {
    MSG m = ToWin(*msg);
    return ::TranslateMessage(&m);
}
LRESULT Win32Platform::DispatchMessageA(const Msg* msg) {
    MSG m = ToWin(*msg);
    return ::DispatchMessageA(&m);
}
LRESULT Win32Platform::SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(ToWin(window), message, wParam, lParam);
}
int Win32Platform::MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) {
    return ::MessageBoxA(ToWin(owner), text, caption, flags);
}
int Win32Platform::SkinMessageBox(const char* text, const char* title, UINT flags) {
    if (g_skinHandler) return g_skinHandler(text, title, flags);
    return ::MessageBoxA(nullptr, text, title, flags);
}

// ---------------------------------------------------------------------------
Win32Platform& RealPlatform() {
    static Win32Platform platform;
    return platform;
}

void SetSkinMessageBoxHandler(SkinMessageBoxHandler handler) { g_skinHandler = handler; }

namespace {
// A Windows program starts with the real system in force; a test that
// installed its own platform before this runs keeps it.
struct InstallRealPlatform {
    InstallRealPlatform() {
        Platform* previous = SetPlatform(&RealPlatform());
        if (previous) SetPlatform(previous);
    }
} g_installRealPlatform;
}  // namespace

}  // namespace win32
}  // namespace pf
