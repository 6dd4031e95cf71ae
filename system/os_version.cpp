// Classifying the running Windows, and switching on a privilege.
#include "system/os_version.h"

#include <cstring>

namespace {

// Fills a cleared OSVERSIONINFOA; false when the system gave no answer.
bool QueryVersion(pf::OsVersionInfoA* info) {
    std::memset(info, 0, sizeof(*info));
    info->dwOSVersionInfoSize = sizeof(pf::OsVersionInfoA);
    return pf::Os().GetVersionExA(info) != 0;
}

}  // namespace

int GetOsClass() {
    pf::OsVersionInfoA info;
    if (!QueryVersion(&info)) return 0;
    if (info.dwPlatformId == pf::kVerPlatformWin32Windows) return 4;
    if (info.dwPlatformId == pf::kVerPlatformWin32Nt) return 5;
    return 1;
}

int GetNtClass() {
    pf::OsVersionInfoA info;
    if (!QueryVersion(&info) || info.dwPlatformId != pf::kVerPlatformWin32Nt) return 0;
    if (info.dwMajorVersion <= 4) return 5;
    if (info.dwMajorVersion == 5) return 6;
    return 0;
}

int EnablePrivilege(const char* name, pf::DWORD* adjustError) {
    pf::Platform& os = pf::Os();
    pf::HANDLE token = nullptr;
    if (!os.OpenProcessToken(os.GetCurrentProcess(), pf::kTokenAdjustPrivileges | pf::kTokenQuery,
                             &token))
        return kPrivilegeNoToken;

    pf::TokenPrivileges request;
    std::memset(&request, 0, sizeof(request));
    // A failed lookup leaves the LUID cleared; the adjustment then reports it.
    os.LookupPrivilegeValueA(nullptr, name, &request.Privileges[0].luid);
    request.PrivilegeCount = 1;
    request.Privileges[0].Attributes = pf::kSePrivilegeEnabled;

    // AdjustTokenPrivileges succeeds even when the account lacks the
    // privilege; only the last error tells (ERROR_NOT_ALL_ASSIGNED).
    os.AdjustTokenPrivileges(token, 0, &request, 0, nullptr, nullptr);
    const pf::DWORD error = os.GetLastError();
    os.CloseHandle(token);
    if (error != 0) {
        if (adjustError) *adjustError = error;
        return kPrivilegeAdjustError;
    }
    return kPrivilegeEnabled;
}
