#include "system/restart.h"

#include "platform/platform.h"
#include "system/os_version.h"

namespace {
// Ends a program that does not answer the end of the session within the
// system's time-out; 2000 and later only.
constexpr pf::UINT kEwxForceIfHung = 0x10;
}  // namespace

pf::UINT RestartFlags() {
    // Never EWX_FORCE: it ends every program without asking it to save. Each
    // program is asked and may save first, or refuse, which stops the
    // restart. From 2000 on a program that hangs is ended after the system's
    // time-out; 95/98/Me and NT 4.0 do not know that flag, and there the
    // system leaves a hung program to the user (its "End Task" question),
    // which loses nothing the user has not agreed to lose.
    const bool forceIfHung = GetOsClass() == 5 && GetNtClass() != 5;
    return pf::kEwxReboot | (forceIfHung ? kEwxForceIfHung : 0);
}

int RestartSystem() {
    // The 9x family has no privileges; every other class asks for the
    // shutdown privilege first and gives up quietly without it.
    if (GetOsClass() != 4) {
        if (EnablePrivilege("SeShutdownPrivilege") != kPrivilegeEnabled) return 0;
    }
    return pf::Os().ExitWindowsEx(RestartFlags(), 0) ? 1 : 0;
}
