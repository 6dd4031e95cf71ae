// The application object: refuses a second copy, runs the main window
// modally, and lets the process end when it closes.
#pragma once

#include "framework/win_app.h"

class CCleanerApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
