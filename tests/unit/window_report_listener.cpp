// The core's events reach the tests as the window's lines and status texts,
// as they reach the window in the program: the window's listener is
// installed for the whole test program.
#include "app/window_report.h"

namespace {
app::ScopedWindowReport g_windowReport;
}  // namespace
