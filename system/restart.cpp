#include "system/restart.h"

#include "platform/platform.h"
#include "system/os_version.h"

int RestartSystem() {
    // The 9x family has no privileges; every other class asks for the
    // shutdown privilege first and gives up quietly without it.
    if (GetOsClass() != 4) {
        pf::DWORD error = 0;
        switch (EnablePrivilege("SeShutdownPrivilege", &error)) {
            case kPrivilegeNoToken:
                return 0;
            case kPrivilegeAdjustError:
                return static_cast<int>(error);
            default:
                break;
        }
    }
    return pf::Os().ExitWindowsEx(pf::kEwxReboot | pf::kEwxForce, 0);
}
