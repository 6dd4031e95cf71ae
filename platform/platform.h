// The operating-system boundary of the cleaner's core.
//
// engine/, system/ and persistence/ never include <windows.h>. Every system
// call they make goes through one replaceable table, `pf::Platform`, with the
// Win32 (or C runtime) name, arguments, return values and error codes, so the
// order of calls, the arguments and the waits the core makes are exactly the
// ones the real system sees.
//
// Two implementations exist:
//   platform/win32/  a thin pass-through to the real system (Windows build);
//   platform/sim/    a simulated Windows machine for tests, with a virtual
//                    clock, a call log and fault injection.
//
// Types mirror their Win32 counterparts in size and layout where a size is
// part of the contract (OSVERSIONINFOA, PROCESSENTRY32, SERVICE_STATUS ...).
// Constant names carry a `k` prefix so that they never collide with the
// macros of <windows.h> in the Win32 implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crt.h"

namespace pf {

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WCHAR = uint16_t;

struct HandleTag;
struct HKeyTag;
struct HWndTag;
struct HModuleTag;
struct ScHandleTag;
struct StdioFileTag;
using HANDLE = HandleTag*;
using HKEY = HKeyTag*;
using HWND = HWndTag*;
using HMODULE = HModuleTag*;
using SC_HANDLE = ScHandleTag*;
using FILE_STREAM = StdioFileTag*;  // what fopen gives
using FARPROC = void (*)();

inline HANDLE const kInvalidHandleValue = reinterpret_cast<HANDLE>(~uintptr_t(0));
inline HKEY const kHkeyLocalMachine = reinterpret_cast<HKEY>(uintptr_t(0x80000002u));
inline HKEY const kHkeyPerformanceData = reinterpret_cast<HKEY>(uintptr_t(0x80000004u));

// ---------------------------------------------------------------------------
// Constants (values are the Win32 / C runtime ones)
// ---------------------------------------------------------------------------
// Error codes
constexpr DWORD kErrorSuccess = 0;
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorMoreData = 234;
constexpr DWORD kErrorNoMoreItems = 259;
constexpr DWORD kErrorNoMoreFiles = 18;
constexpr DWORD kErrorServiceDoesNotExist = 1060;
constexpr DWORD kErrorServiceNotActive = 1062;
constexpr DWORD kErrorNotAllAssigned = 1300;
constexpr DWORD kErrorNoSuchPrivilege = 1313;
constexpr DWORD kErrorInvalidWindowHandle = 1400;

// Drive types
constexpr UINT kDriveUnknown = 0;
constexpr UINT kDriveNoRootDir = 1;
constexpr UINT kDriveRemovable = 2;
constexpr UINT kDriveFixed = 3;
constexpr UINT kDriveRemote = 4;
constexpr UINT kDriveCdrom = 5;
constexpr UINT kDriveRamdisk = 6;

// File attributes
constexpr DWORD kFileAttributeReadonly = 0x01;
constexpr DWORD kFileAttributeHidden = 0x02;
constexpr DWORD kFileAttributeSystem = 0x04;
constexpr DWORD kFileAttributeDirectory = 0x10;
constexpr DWORD kFileAttributeArchive = 0x20;
constexpr DWORD kFileAttributeReparsePoint = 0x400;  // junctions, folder and file links
constexpr DWORD kInvalidFileAttributes = 0xFFFFFFFFu;

// C runtime low-level I/O (MSVCRT values)
constexpr int kORdonly = 0x0000;
constexpr int kOWronly = 0x0001;
constexpr int kORdwr = 0x0002;
constexpr int kOAppend = 0x0008;
constexpr int kOCreat = 0x0100;
constexpr int kOTrunc = 0x0200;
constexpr int kOExcl = 0x0400;
constexpr int kOText = 0x4000;
constexpr int kOBinary = 0x8000;
constexpr int kSIread = 0x0100;
constexpr int kSIwrite = 0x0080;
constexpr int kSeekSet = 0;
constexpr int kSeekCur = 1;
constexpr int kSeekEnd = 2;
// errno values the runtime reports
constexpr int kENOENT = 2;
constexpr int kEBADF = 9;
constexpr int kEACCES = 13;
constexpr int kEINVAL = 22;
constexpr int kEMFILE = 24;
constexpr int kENOSPC = 28;

// Files
constexpr DWORD kMovefileReplaceExisting = 0x1;
constexpr DWORD kMovefileDelayUntilReboot = 0x4;

// Messages
constexpr UINT kWmDestroy = 0x0002;
constexpr UINT kWmEnable = 0x000A;
constexpr UINT kWmSetRedraw = 0x000B;
constexpr UINT kWmQuit = 0x0012;
constexpr UINT kWmKeyDown = 0x0100;
constexpr UINT kWmKeyUp = 0x0101;
constexpr UINT kWmChar = 0x0102;
constexpr UINT kPmNoRemove = 0;
constexpr UINT kPmRemove = 1;
constexpr WPARAM kVkEscape = 27;

// Message box flags and results
constexpr UINT kMbOk = 0x00;
constexpr UINT kMbOkCancel = 0x01;
constexpr UINT kMbYesNoCancel = 0x03;
constexpr UINT kMbYesNo = 0x04;
constexpr UINT kMbIconHand = 0x10;
constexpr UINT kMbIconQuestion = 0x20;
constexpr UINT kMbIconExclamation = 0x30;
constexpr UINT kMbIconAsterisk = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Version
constexpr DWORD kVerPlatformWin32s = 0;
constexpr DWORD kVerPlatformWin32Windows = 1;
constexpr DWORD kVerPlatformWin32Nt = 2;

// Tokens and privileges
constexpr DWORD kTokenAdjustPrivileges = 0x0020;
constexpr DWORD kTokenQuery = 0x0008;
constexpr DWORD kSePrivilegeEnabled = 0x00000002;

// Processes
constexpr DWORD kProcessTerminate = 0x0001;
constexpr DWORD kProcessVmRead = 0x0010;
constexpr DWORD kProcessQueryInformation = 0x0400;
constexpr DWORD kTh32csSnapprocess = 0x00000002;
constexpr DWORD kTh32csSnapmodule = 0x00000008;

// Registry
constexpr DWORD kRegNone = 0;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;
constexpr DWORD kRegMultiSz = 7;
constexpr DWORD kKeyRead = 0x20019;
constexpr DWORD kKeyAllAccess = 0xF003F;

// Services
constexpr DWORD kScManagerAllAccess = 0xF003F;
constexpr DWORD kServiceAllAccess = 0xF01FF;
constexpr DWORD kServiceControlStop = 1;
constexpr DWORD kServiceStopped = 1;
constexpr DWORD kServiceStartPending = 2;
constexpr DWORD kServiceStopPending = 3;
constexpr DWORD kServiceRunning = 4;

// Shutdown
constexpr UINT kEwxReboot = 0x2;
constexpr UINT kEwxForce = 0x4;

// Code pages
constexpr UINT kCpAcp = 0;

// Global memory
constexpr UINT kGmemFixed = 0x0000;
constexpr UINT kGmemZeroinit = 0x0040;
constexpr UINT kGptr = kGmemFixed | kGmemZeroinit;

// ---------------------------------------------------------------------------
// Records (laid out as their Win32 counterparts)
// ---------------------------------------------------------------------------
struct FILETIME_ {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct FindDataA {  // WIN32_FIND_DATAA, 320 bytes
    DWORD dwFileAttributes;
    FILETIME_ ftCreationTime;
    FILETIME_ ftLastAccessTime;
    FILETIME_ ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[260];
    char cAlternateFileName[14];
    WORD padding_;  // the structure's natural trailing alignment
};
static_assert(sizeof(FindDataA) == 320, "WIN32_FIND_DATAA is 320 bytes");

struct Point {
    LONG x;
    LONG y;
};

struct Msg {  // MSG (field widths follow the build's pointer size)
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    Point pt;
};

struct OsVersionInfoA {  // OSVERSIONINFOA, 148 bytes
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfoA) == 148, "OSVERSIONINFOA is 148 bytes");

struct Luid {
    DWORD LowPart;
    LONG HighPart;
};

struct LuidAndAttributes {
    Luid luid;
    DWORD Attributes;
};

struct TokenPrivileges {  // TOKEN_PRIVILEGES with one entry
    DWORD PrivilegeCount;
    LuidAndAttributes Privileges[1];
};

struct ProcessEntry32 {  // PROCESSENTRY32 (ANSI), 296 bytes on 32-bit Windows
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    uint32_t th32DefaultHeapID;  // ULONG_PTR on 32-bit Windows
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    char szExeFile[260];
};
static_assert(sizeof(ProcessEntry32) == 296, "PROCESSENTRY32 is 296 bytes");

struct ModuleEntry32 {  // MODULEENTRY32 (ANSI), 548 bytes on 32-bit Windows
    DWORD dwSize;
    DWORD th32ModuleID;
    DWORD th32ProcessID;
    DWORD GlblcntUsage;
    DWORD ProccntUsage;
    uint32_t modBaseAddr;  // BYTE* on 32-bit Windows
    DWORD modBaseSize;
    uint32_t hModule;      // HMODULE on 32-bit Windows
    char szModule[256];
    char szExePath[260];
};
static_assert(sizeof(ModuleEntry32) == 548, "MODULEENTRY32 is 548 bytes");

// QUERY_SERVICE_CONFIGA: the text fields point into the caller's buffer,
// after the record.
struct ServiceConfig {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    char* lpBinaryPathName;
    char* lpLoadOrderGroup;
    DWORD dwTagId;
    char* lpDependencies;
    char* lpServiceStartName;
    char* lpDisplayName;
};

struct ServiceStatus {  // SERVICE_STATUS, seven 32-bit fields
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
static_assert(sizeof(ServiceStatus) == 28, "SERVICE_STATUS is 28 bytes");

struct CpInfo {  // CPINFO, 20 bytes
    UINT MaxCharSize;
    BYTE DefaultChar[2];
    BYTE LeadByte[12];  // pairs of first and last lead byte, ended by a pair of zeros
};
static_assert(sizeof(CpInfo) == 20, "CPINFO is 20 bytes");

// ---------------------------------------------------------------------------
// The interface
// ---------------------------------------------------------------------------
// Every operation the core uses. Implementations set the calling thread's
// last error (GetLastError) and errno-like state the way the real system
// does; the core reads them only where the real program does.
class Platform {
public:
    virtual ~Platform() = default;

    // --- Files and folders (kernel32) ---
    virtual HANDLE FindFirstFileA(const char* pattern, FindDataA* data) = 0;
    virtual BOOL FindNextFileA(HANDLE find, FindDataA* data) = 0;
    virtual BOOL FindClose(HANDLE find) = 0;
    virtual UINT GetDriveTypeA(const char* root) = 0;
    virtual BOOL SetFileAttributesA(const char* path, DWORD attributes) = 0;
    virtual BOOL DeleteFileA(const char* path) = 0;
    virtual BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags) = 0;
    virtual BOOL CopyFileA(const char* existing, const char* newName, BOOL failIfExists) = 0;
    virtual DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) = 0;
    virtual UINT GetWindowsDirectoryA(char* buffer, UINT size) = 0;
    virtual UINT GetSystemDirectoryA(char* buffer, UINT size) = 0;
    virtual DWORD GetTempPathA(DWORD size, char* buffer) = 0;
    virtual DWORD ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) = 0;

    // --- C runtime low-level files ---
    virtual int _open(const char* path, int flags, int mode) = 0;
    virtual int32_t _lseek(int fd, int32_t offset, int origin) = 0;
    virtual int _read(int fd, void* buffer, unsigned count) = 0;
    virtual int _write(int fd, const void* buffer, unsigned count) = 0;
    virtual int32_t _filelength(int fd) = 0;
    virtual int _close(int fd) = 0;
    virtual int _access(const char* path, int mode) = 0;
    // --- C runtime streams (text mode reads of wininit.ini) ---
    virtual FILE_STREAM fopen(const char* path, const char* mode) = 0;
    virtual char* fgets(char* buffer, int size, FILE_STREAM stream) = 0;
    virtual int fclose(FILE_STREAM stream) = 0;

    // --- Memory (global memory blocks) ---
    virtual void* GlobalAlloc(UINT flags, size_t bytes) = 0;
    virtual void* GlobalFree(void* block) = 0;

    // --- Process-wide ---
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD error) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual DWORD GetTickCount() = 0;
    // Ends the program. The simulated machine unwinds to the test instead;
    // callers therefore return right after calling it.
    virtual void exit(int code) = 0;

    // --- Version, tokens and privileges ---
    virtual BOOL GetVersionExA(OsVersionInfoA* info) = 0;
    virtual HANDLE GetCurrentProcess() = 0;
    virtual DWORD GetCurrentProcessId() = 0;
    virtual BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) = 0;
    virtual BOOL LookupPrivilegeValueA(const char* systemName, const char* name, Luid* luid) = 0;
    virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TokenPrivileges* newState,
                                       DWORD bufferLength, TokenPrivileges* previousState,
                                       DWORD* returnLength) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;

    // --- Optional facilities, looked up by name at run time ---
    // GetProcAddress answers whether an entry point exists; the entry points
    // themselves are then called through the methods below, which the Win32
    // implementation resolves by the same lookup.
    virtual HMODULE LoadLibraryA(const char* name) = 0;
    virtual FARPROC GetProcAddress(HMODULE module, const char* name) = 0;

    // Tool-help ("Kernel32.dll")
    virtual HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) = 0;
    virtual BOOL Process32First(HANDLE snapshot, ProcessEntry32* entry) = 0;
    virtual BOOL Process32Next(HANDLE snapshot, ProcessEntry32* entry) = 0;
    // The first module of a TH32CS_SNAPMODULE snapshot of one process.
    virtual BOOL Module32First(HANDLE snapshot, ModuleEntry32* entry) = 0;
    // psapi ("psapi.dll")
    virtual BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) = 0;
    virtual DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, char* buffer, DWORD size) = 0;

    // --- Processes ---
    virtual HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) = 0;
    virtual BOOL TerminateProcess(HANDLE process, UINT exitCode) = 0;

    // --- Registry (advapi32); results are Win32 error codes ---
    virtual LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access,
                               HKEY* result) = 0;
    virtual LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                  BYTE* data, DWORD* dataSize) = 0;
    virtual LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) = 0;
    virtual LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                               DWORD* type, BYTE* data, DWORD* dataSize) = 0;
    // RegEnumKeyExA(key, index, name, nameSize, NULL, NULL, NULL, NULL):
    // the name of the index-th subkey; *nameSize counts characters, the
    // terminator included on the way in, not on the way out.
    virtual LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize) = 0;
    virtual LONG RegDeleteValueA(HKEY key, const char* valueName) = 0;
    virtual LONG RegDeleteKeyA(HKEY root, const char* subKey) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;

    // --- Services (advapi32) ---
    virtual SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) = 0;
    virtual SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) = 0;
    virtual BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) = 0;
    virtual BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) = 0;
    // Looked up at run time: the 9x family's advapi32 need not have it.
    virtual BOOL QueryServiceConfigA(SC_HANDLE service, ServiceConfig* config,
                                     DWORD bufferSize, DWORD* bytesNeeded) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;

    // --- Shutdown ---
    virtual BOOL ExitWindowsEx(UINT flags, DWORD reserved) = 0;

    // --- Text ---
    // The code page's character sizes and lead bytes (kCpAcp: the system's
    // ANSI code page, whose text every "A" call takes and gives).
    virtual BOOL GetCPInfo(UINT codePage, CpInfo* info) = 0;
    virtual int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount,
                                    char* out, int outSize, const char* defaultChar,
                                    BOOL* usedDefault) = 0;

    // --- Windowing: the scan's link to the main window ---
    virtual BOOL PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax,
                              UINT removeFlags) = 0;
    virtual BOOL TranslateMessage(const Msg* msg) = 0;
    virtual LRESULT DispatchMessageA(const Msg* msg) = 0;
    virtual LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // The plain system message box.
    virtual int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) = 0;
    // Every question of the program: the skinned message box of the main
    // window (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7).
    virtual int SkinMessageBox(const char* text, const char* title, UINT flags) = 0;
};

// The platform in force. Starts as the real one in the Windows build; tests
// install a simulated machine (or a wrapper around the real one).
Platform& Os();
// Installs `platform` and returns the one it replaces.
Platform* SetPlatform(Platform* platform);

// The lead bytes of the system's ANSI code page, in which every name the
// "A" calls give is written (GetCPInfo). When the system cannot tell, every
// byte above 0x7F counts as one: no trail byte is then ever folded or taken
// for a backslash, at the price of telling apart some names that are equal.
crt::LeadBytes AnsiLeadBytes();

}  // namespace pf
