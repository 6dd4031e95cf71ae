#include "platform/win32/console_platform.h"

#include <cerrno>
#include <cstring>

#include "platform/crt.h"
#include "platform/offline_platform.h"

namespace pf {
namespace win32 {

namespace {
constexpr DWORD kErrorWriteProtect = 19;
constexpr int kEacces = 13;
constexpr int kEnoent = 2;
}  // namespace

bool ConsolePlatform::Refused(DWORD error) {
    if (!readOnly_) return false;
    SetLastError(error);
    return true;
}

BOOL ConsolePlatform::SetFileAttributesA(const char* path, DWORD attributes) {
    return Refused(kErrorWriteProtect) ? 0 : Win32Platform::SetFileAttributesA(path, attributes);
}
BOOL ConsolePlatform::DeleteFileA(const char* path) {
    return Refused(kErrorWriteProtect) ? 0 : Win32Platform::DeleteFileA(path);
}
BOOL ConsolePlatform::MoveFileExA(const char* existing, const char* newName, DWORD flags) {
    return Refused(kErrorWriteProtect) ? 0 : Win32Platform::MoveFileExA(existing, newName, flags);
}
BOOL ConsolePlatform::CopyFileA(const char* existing, const char* newName, BOOL failIfExists) {
    return Refused(kErrorWriteProtect) ? 0 : Win32Platform::CopyFileA(existing, newName, failIfExists);
}
void ConsolePlatform::MarkFound(const char* path) {
    if (readOnly_ && path && path[0]) found_.push_back(path);
}

int ConsolePlatform::_open(const char* path, int flags, int mode) {
    const bool writing = (flags & (kOWronly | kORdwr | kOAppend | kOCreat | kOTrunc)) != 0;
    if (writing && Refused(kErrorWriteProtect)) {
        errno = kEacces;
        return -1;
    }
    if (readOnly_ && !writing && path) {
        for (const std::string& f : found_)
            if (crt::stricmp(f.c_str(), path) == 0) {
                errno = kEnoent;  // found already, and nothing has changed since
                return -1;
            }
    }
    return Win32Platform::_open(path, flags, mode);
}
FILE_STREAM ConsolePlatform::fopen(const char* path, const char* mode) {
    if (mode && std::strpbrk(mode, "wa+") && Refused(kErrorWriteProtect)) {
        errno = kEacces;
        return nullptr;
    }
    return Win32Platform::fopen(path, mode);
}
BOOL ConsolePlatform::TerminateProcess(HANDLE process, UINT exitCode) {
    return Refused(kErrorAccessDenied) ? 0 : Win32Platform::TerminateProcess(process, exitCode);
}
LONG ConsolePlatform::RegDeleteValueA(HKEY key, const char* valueName) {
    return Refused(kErrorAccessDenied) ? LONG(kErrorAccessDenied) : Win32Platform::RegDeleteValueA(key, valueName);
}
LONG ConsolePlatform::RegDeleteKeyA(HKEY root, const char* subKey) {
    return Refused(kErrorAccessDenied) ? LONG(kErrorAccessDenied) : Win32Platform::RegDeleteKeyA(root, subKey);
}
BOOL ConsolePlatform::ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) {
    return Refused(kErrorAccessDenied) ? 0 : Win32Platform::ControlService(service, control, status);
}
BOOL ConsolePlatform::ExitWindowsEx(UINT flags, DWORD reserved) {
    return Refused(kErrorAccessDenied) ? 0 : Win32Platform::ExitWindowsEx(flags, reserved);
}

BOOL ConsolePlatform::PeekMessageA(Msg* msg, HWND, UINT, UINT, UINT) {
    if (!stopRequested_ || stopSent_ || !msg) return 0;
    stopSent_ = true;
    std::memset(msg, 0, sizeof *msg);
    msg->message = kWmQuit;
    return 1;
}
BOOL ConsolePlatform::TranslateMessage(const Msg*) { return 0; }
LRESULT ConsolePlatform::DispatchMessageA(const Msg*) { return 0; }
LRESULT ConsolePlatform::SendMessageA(HWND, UINT, WPARAM, LPARAM) {
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
}
int ConsolePlatform::MessageBoxA(HWND, const char*, const char*, UINT) { return kIdOk; }
int ConsolePlatform::SkinMessageBox(const char*, const char*, UINT flags) { return UnattendedAnswer(flags); }

}  // namespace win32
}  // namespace pf
