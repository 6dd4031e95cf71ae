// The real system for a program without a window (vendrika-scan.exe): every
// call passes through to Windows as Win32Platform does, except the window's
// own: no message is pumped, sent or dispatched, and no question is shown.
// Each question gets UnattendedAnswer (never a restart, the scan not
// stopped), and the "could not" notices are answered OK unseen; what they
// tell reaches the program as scan events.
//
// A stop request (Ctrl-C, Ctrl-Break) comes back from the walk's message
// pump as the WM_QUIT the window's close gives, once: the walk stops at its
// next entry and the scan ends with its statistics, as the stop question's
// Yes ends it.
//
// Read-only (a report-only run): every call that would change the machine
// fails before it reaches Windows, as on a write-protected disk (files:
// ERROR_WRITE_PROTECT; the registry, processes, services and the restart:
// ERROR_ACCESS_DENIED), so the core reports what it would have removed and
// removes nothing.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"

namespace pf {
namespace win32 {

class ConsolePlatform : public Win32Platform {
public:
    BOOL PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) override;
    BOOL TranslateMessage(const Msg* msg) override;
    LRESULT DispatchMessageA(const Msg* msg) override;
    LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) override;
    int SkinMessageBox(const char* text, const char* title, UINT flags) override;

    void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
    // A file the scan found infected (its full path). In a report-only run
    // nothing changes, so the same file (the hosts file met at every
    // detection, a running program found in memory and again by the walk)
    // is not opened again: one detection per file.
    void MarkFound(const char* path);

    BOOL SetFileAttributesA(const char* path, DWORD attributes) override;
    BOOL DeleteFileA(const char* path) override;
    BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags) override;
    BOOL CopyFileA(const char* existing, const char* newName, BOOL failIfExists) override;
    int _open(const char* path, int flags, int mode) override;
    FILE_STREAM fopen(const char* path, const char* mode) override;
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;
    LONG RegDeleteValueA(HKEY key, const char* valueName) override;
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;

    // Safe from another thread (a console control handler runs on one).
    void RequestStop() { stopRequested_ = 1; }
    bool StopRequested() const { return stopRequested_ != 0; }

private:
    bool Refused(DWORD error);

    bool readOnly_ = false;
    std::vector<std::string> found_;
    volatile long stopRequested_ = 0;
    bool stopSent_ = false;
};

}  // namespace win32
}  // namespace pf
