#include "app/cleaner_app.h"

#include "app/cleaner_dlg.h"
#include "platform/win32/win32_platform.h"
#include "skin/skin_message_box.h"
#include "skin/ui_globals.h"

CCleanerApp theApp;

BOOL CCleanerApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();

    // A copy already on screen: end silently, leaving it as it is.
    if (::FindWindowA(nullptr, kProgramTitle)) return FALSE;

    // The core talks to the real system, and asks its questions through the
    // skinned box.
    pf::SetPlatform(&pf::win32::RealPlatform());
    pf::win32::SetSkinMessageBoxHandler(&SkinMessageBox);

    CCleanerDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
