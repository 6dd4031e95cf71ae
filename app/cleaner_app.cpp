#include "app/cleaner_app.h"

#include "app/cleaner_dlg.h"
#include "platform/win32/win32_platform.h"
#include "skin/skin_message_box.h"
#include "skin/ui_globals.h"

CCleanerApp theApp;

namespace {
// Every question of the scan goes through here: the status line first
// catches up with the walk, so the question appears over the current path.
int AskQuestion(const char* text, const char* title, UINT flags) {
    if (g_pMainDlg) static_cast<CCleanerDlg*>(g_pMainDlg)->FlushStatusText();
    return SkinMessageBox(text, title, flags);
}
}  // namespace

BOOL CCleanerApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();

    // A copy already on screen: end silently, leaving it as it is.
    if (::FindWindowA(nullptr, kProgramTitle)) return FALSE;

    // The core talks to the real system, and asks its questions through the
    // skinned box.
    pf::SetPlatform(&pf::win32::RealPlatform());
    pf::win32::SetSkinMessageBoxHandler(&AskQuestion);

    CCleanerDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
