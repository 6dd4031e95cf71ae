// The real operating system behind the platform interface: every method is
// a thin pass-through to kernel32, advapi32, user32 or the C runtime.
//
// Records whose layout depends on the pointer size (MSG, PROCESSENTRY32) are
// converted field by field, so the core sees the same shapes on 32-bit and on
// 64-bit Windows. Tool-help and psapi entry points are looked up by name at
// run time and cached; a missing one makes its method fail.
#pragma once

#include "platform/platform.h"

namespace pf {
namespace win32 {

class Win32Platform : public Platform {
public:
    HANDLE FindFirstFileA(const char* pattern, FindDataA* data) override;
    BOOL FindNextFileA(HANDLE find, FindDataA* data) override;
    BOOL FindClose(HANDLE find) override;
    UINT GetDriveTypeA(const char* root) override;
    BOOL SetFileAttributesA(const char* path, DWORD attributes) override;
    BOOL DeleteFileA(const char* path) override;
    BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags) override;
    BOOL CopyFileA(const char* existing, const char* newName, BOOL failIfExists) override;
    DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) override;
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    DWORD GetTempPathA(DWORD size, char* buffer) override;
    DWORD ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) override;

    int _open(const char* path, int flags, int mode) override;
    int32_t _lseek(int fd, int32_t offset, int origin) override;
    int _read(int fd, void* buffer, unsigned count) override;
    int _write(int fd, const void* buffer, unsigned count) override;
    int32_t _filelength(int fd) override;
    int _close(int fd) override;
    int _access(const char* path, int mode) override;
    FILE_STREAM fopen(const char* path, const char* mode) override;
    char* fgets(char* buffer, int size, FILE_STREAM stream) override;
    int fclose(FILE_STREAM stream) override;

    void* GlobalAlloc(UINT flags, size_t bytes) override;
    void* GlobalFree(void* block) override;

    DWORD GetLastError() override;
    void SetLastError(DWORD error) override;
    void Sleep(DWORD milliseconds) override;
    DWORD GetTickCount() override;
    void exit(int code) override;

    BOOL GetVersionExA(OsVersionInfoA* info) override;
    HANDLE GetCurrentProcess() override;
    DWORD GetCurrentProcessId() override;
    BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override;
    BOOL LookupPrivilegeValueA(const char* systemName, const char* name, Luid* luid) override;
    BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TokenPrivileges* newState,
                               DWORD bufferLength, TokenPrivileges* previousState,
                               DWORD* returnLength) override;
    BOOL CloseHandle(HANDLE handle) override;

    HMODULE LoadLibraryA(const char* name) override;
    FARPROC GetProcAddress(HMODULE module, const char* name) override;
    HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) override;
    BOOL Process32First(HANDLE snapshot, ProcessEntry32* entry) override;
    BOOL Process32Next(HANDLE snapshot, ProcessEntry32* entry) override;
    BOOL Module32First(HANDLE snapshot, ModuleEntry32* entry) override;
    BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) override;
    DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, char* buffer, DWORD size) override;

    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access,
                       HKEY* result) override;
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                          BYTE* data, DWORD* dataSize) override;
    LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) override;
    LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                       DWORD* type, BYTE* data, DWORD* dataSize) override;
    LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize) override;
    LONG RegDeleteValueA(HKEY key, const char* valueName) override;
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override;
    LONG RegCloseKey(HKEY key) override;

    SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) override;
    SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) override;
    BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) override;
    BOOL QueryServiceConfigA(SC_HANDLE service, ServiceConfig* config, DWORD bufferSize,
                             DWORD* bytesNeeded) override;
    BOOL CloseServiceHandle(SC_HANDLE handle) override;

    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;

    BOOL GetCPInfo(UINT codePage, CpInfo* info) override;
    int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount,
                            char* out, int outSize, const char* defaultChar,
                            BOOL* usedDefault) override;

    BOOL PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax,
                      UINT removeFlags) override;
    BOOL TranslateMessage(const Msg* msg) override;
    LRESULT DispatchMessageA(const Msg* msg) override;
    LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) override;
    // The main window's skinned box when one was installed, else MessageBoxA
    // with no owner.
    int SkinMessageBox(const char* text, const char* title, UINT flags) override;
};

// The one real platform of the process. It is installed as pf::Os() at
// start-up unless a platform was installed already.
Win32Platform& RealPlatform();

// The main window installs its skinned message box here; null restores the
// plain system message box.
using SkinMessageBoxHandler = int (*)(const char* text, const char* title, unsigned flags);
void SetSkinMessageBoxHandler(SkinMessageBoxHandler handler);

}  // namespace win32
}  // namespace pf
