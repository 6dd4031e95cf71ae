// The calls of a running Windows for a platform that has none: a Windows
// volume whose files and registry are there to read, but none of whose
// programs runs (the POSIX platform over mounted volumes).
//
// Each call fails the way Windows fails where the facility is missing, so
// that the core takes the path it takes on such a system:
//   tokens, privileges, services, restart  ERROR_CALL_NOT_IMPLEMENTED (120),
//                                          as the stubs of 95/98/Me do;
//   libraries and their entry points       ERROR_MOD_NOT_FOUND (126) and
//                                          ERROR_PROC_NOT_FOUND (127); tool-help
//                                          and psapi calls fail as the Win32
//                                          platform's do when the entry point is
//                                          missing (127);
//   processes                              no process id names a running
//                                          process (ERROR_INVALID_PARAMETER,
//                                          never ERROR_ACCESS_DENIED, which
//                                          would send the core for the debug
//                                          privilege), and no handle of one
//                                          exists (ERROR_INVALID_HANDLE);
//   messages and questions                 the queue is empty, a window that
//                                          was never made answers nothing, and
//                                          nobody answers a question: the
//                                          careful answer is taken.
//
// pf::Platform itself keeps no defaults: the simulated machine and the Win32
// pass-through derive from it directly, so a call either of them forgets to
// implement leaves it abstract and fails the build, instead of failing
// quietly here.
#pragma once

#include "platform/platform.h"

namespace pf {

// The answer a question gets when nobody is there to answer it: Cancel to
// OK/Cancel, No otherwise, so that nothing is done on nobody's word (no
// restart, the scan not stopped). The console program on Windows answers
// the same way.
inline int UnattendedAnswer(UINT flags) { return (flags & 0xF) == kMbOkCancel ? kIdCancel : kIdNo; }

class OfflinePlatform : public Platform {
public:
    // --- Version, tokens and privileges ---
    // Windows' pseudo-handle of the calling process, (HANDLE)-1.
    HANDLE GetCurrentProcess() override;
    BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override;
    BOOL LookupPrivilegeValueA(const char* systemName, const char* name, Luid* luid) override;
    BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TokenPrivileges* newState,
                               DWORD bufferLength, TokenPrivileges* previousState,
                               DWORD* returnLength) override;
    // Closes the pseudo-handle, as Windows does; no other handle exists.
    BOOL CloseHandle(HANDLE handle) override;

    // --- Optional facilities ---
    HMODULE LoadLibraryA(const char* name) override;
    FARPROC GetProcAddress(HMODULE module, const char* name) override;
    HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) override;
    BOOL Process32First(HANDLE snapshot, ProcessEntry32* entry) override;
    BOOL Process32Next(HANDLE snapshot, ProcessEntry32* entry) override;
    BOOL Module32First(HANDLE snapshot, ModuleEntry32* entry) override;
    BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) override;
    DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, char* buffer, DWORD size) override;

    // --- Processes ---
    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;

    // --- Services ---
    SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) override;
    SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) override;
    BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) override;
    BOOL QueryServiceConfigA(SC_HANDLE service, ServiceConfig* config, DWORD bufferSize,
                             DWORD* bytesNeeded) override;
    BOOL CloseServiceHandle(SC_HANDLE handle) override;

    // --- Shutdown ---
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;

    // --- Windowing ---
    BOOL PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax,
                      UINT removeFlags) override;
    BOOL TranslateMessage(const Msg* msg) override;
    LRESULT DispatchMessageA(const Msg* msg) override;
    LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    // IDOK: the program shows this box only for notices, with OK alone.
    int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) override;
    // UnattendedAnswer.
    int SkinMessageBox(const char* text, const char* title, UINT flags) override;
};

}  // namespace pf
