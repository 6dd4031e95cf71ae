#pragma once

#include "platform/platform.h"

// The ExitWindowsEx flags of a restart on this system: EWX_REBOOT, with
// EWX_FORCEIFHUNG where the system has it (2000 and later).
pf::UINT RestartFlags();

// Requests a restart in which every program may save its work or refuse
// (privilege first on every class but the 9x family). 1 when the system
// took the request, 0 when it did not. A program may still refuse the
// restart afterwards; the system does not tell the caller.
int RestartSystem();
