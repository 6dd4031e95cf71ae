// The application object. Exactly one exists, as a global constructed during
// static initialisation; WinMain calls its InitInstance and, if that returns
// true, its message loop.
#pragma once

#include "framework/wnd.h"

class CWinApp : public CObject {
    DECLARE_DYNAMIC(CWinApp)

public:
    // With no name the application is named after its program file.
    explicit CWinApp(const char* appName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return FALSE; }
    virtual int Run();
    virtual int ExitInstance() { return 0; }

    // Kept for the familiar start-up sequence: the 3-D control look is the
    // system's own since Windows 95, so there is nothing left to switch on.
    void Enable3dControls() {}

    const char* m_pszAppName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;

private:
    friend int AfxWinMain(HINSTANCE instance);
    void NameAfterModule();
    char m_moduleName[MAX_PATH] = {};
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
CWnd* AfxGetMainWnd();
// This framework hosts no ActiveX controls; nothing needs switching on.
inline void AfxEnableControlContainer(void* = nullptr) {}

// Sets up the application object and runs it (called by WinMain).
int AfxWinMain(HINSTANCE instance);
