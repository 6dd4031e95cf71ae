#include "platform/offline_platform.h"

namespace pf {
namespace {
constexpr DWORD kErrorCallNotImplemented = 120;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(intptr_t(-1));
}  // namespace

// ---- Version, tokens and privileges ----
HANDLE OfflinePlatform::GetCurrentProcess() { return kCurrentProcess; }
BOOL OfflinePlatform::OpenProcessToken(HANDLE, DWORD, HANDLE*) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}
BOOL OfflinePlatform::LookupPrivilegeValueA(const char*, const char*, Luid*) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}
BOOL OfflinePlatform::AdjustTokenPrivileges(HANDLE, BOOL, TokenPrivileges*, DWORD,
                                            TokenPrivileges*, DWORD*) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}
BOOL OfflinePlatform::CloseHandle(HANDLE handle) {
    if (handle == kCurrentProcess) return 1;
    SetLastError(kErrorInvalidHandle);
    return 0;
}

// ---- Optional facilities ----
HMODULE OfflinePlatform::LoadLibraryA(const char*) {
    SetLastError(kErrorModNotFound);
    return nullptr;
}
FARPROC OfflinePlatform::GetProcAddress(HMODULE, const char*) {
    SetLastError(kErrorProcNotFound);
    return nullptr;
}
HANDLE OfflinePlatform::CreateToolhelp32Snapshot(DWORD, DWORD) {
    SetLastError(kErrorProcNotFound);
    return kInvalidHandleValue;
}
BOOL OfflinePlatform::Process32First(HANDLE, ProcessEntry32*) {
    SetLastError(kErrorProcNotFound);
    return 0;
}
BOOL OfflinePlatform::Process32Next(HANDLE, ProcessEntry32*) {
    SetLastError(kErrorProcNotFound);
    return 0;
}
BOOL OfflinePlatform::Module32First(HANDLE, ModuleEntry32*) {
    SetLastError(kErrorProcNotFound);
    return 0;
}
BOOL OfflinePlatform::EnumProcesses(DWORD*, DWORD, DWORD*) {
    SetLastError(kErrorProcNotFound);
    return 0;
}
DWORD OfflinePlatform::GetModuleFileNameExA(HANDLE, HMODULE, char*, DWORD) {
    SetLastError(kErrorProcNotFound);
    return 0;
}

// ---- Processes ----
HANDLE OfflinePlatform::OpenProcess(DWORD, BOOL, DWORD) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
}
BOOL OfflinePlatform::TerminateProcess(HANDLE, UINT) {
    SetLastError(kErrorInvalidHandle);
    return 0;
}

// ---- Services ----
SC_HANDLE OfflinePlatform::OpenSCManagerA(const char*, const char*, DWORD) {
    SetLastError(kErrorCallNotImplemented);
    return nullptr;
}
SC_HANDLE OfflinePlatform::OpenServiceA(SC_HANDLE, const char*, DWORD) {
    SetLastError(kErrorCallNotImplemented);
    return nullptr;
}
BOOL OfflinePlatform::ControlService(SC_HANDLE, DWORD, ServiceStatus*) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}
BOOL OfflinePlatform::QueryServiceStatus(SC_HANDLE, ServiceStatus*) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}
BOOL OfflinePlatform::QueryServiceConfigA(SC_HANDLE, ServiceConfig*, DWORD, DWORD*) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}
BOOL OfflinePlatform::CloseServiceHandle(SC_HANDLE) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}

// ---- Shutdown ----
BOOL OfflinePlatform::ExitWindowsEx(UINT, DWORD) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
}

// ---- Windowing ----
BOOL OfflinePlatform::PeekMessageA(Msg*, HWND, UINT, UINT, UINT) { return 0; }
BOOL OfflinePlatform::TranslateMessage(const Msg*) { return 0; }
LRESULT OfflinePlatform::DispatchMessageA(const Msg*) { return 0; }
LRESULT OfflinePlatform::SendMessageA(HWND, UINT, WPARAM, LPARAM) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
}
int OfflinePlatform::MessageBoxA(HWND, const char*, const char*, UINT) { return kIdOk; }
int OfflinePlatform::SkinMessageBox(const char*, const char*, UINT flags) { return UnattendedAnswer(flags); }

}  // namespace pf
