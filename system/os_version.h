#pragma once

#include "platform/platform.h"

// Operating-system class: 0 the version query failed, 1 another Win32
// platform, 4 the Windows 95/98/Me family, 5 the NT family. Asked afresh on
// every call.
int GetOsClass();

// NT generation: 5 NT 4.0 and earlier, 6 Windows 2000/XP/Server 2003, 0 for
// anything else (no answer, not NT, or Vista and later).
int GetNtClass();

// What EnablePrivilege tells its caller.
constexpr int kPrivilegeEnabled = 0;       // the adjustment left no error
constexpr int kPrivilegeNoToken = 1;       // the process token could not be opened
constexpr int kPrivilegeAdjustError = 2;   // GetLastError was non-zero after the adjustment

// Switches the named privilege on in this process's token. On
// kPrivilegeAdjustError the error (e.g. 1300, ERROR_NOT_ALL_ASSIGNED, for a
// privilege the account does not hold) is stored in *adjustError when given.
int EnablePrivilege(const char* name, pf::DWORD* adjustError = nullptr);
