#include "framework/win_app.h"

#include <cstring>

IMPLEMENT_DYNAMIC(CWinApp, CObject)

namespace {
CWinApp* g_app = nullptr;
}  // namespace

CWinApp::CWinApp(const char* appName) : m_pszAppName(appName) { g_app = this; }

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

void CWinApp::NameAfterModule() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(m_hInstance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    const char* base = std::strrchr(path, '\\');
    base = base ? base + 1 : path;
    std::strncpy(m_moduleName, base, MAX_PATH - 1);
    m_moduleName[MAX_PATH - 1] = '\0';
    if (char* dot = std::strrchr(m_moduleName, '.')) *dot = '\0';
    m_pszAppName = m_moduleName;
}

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return ExitInstance();
}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetInstanceHandle() {
    return g_app && g_app->m_hInstance ? g_app->m_hInstance : ::GetModuleHandleA(nullptr);
}

CWnd* AfxGetMainWnd() { return g_app ? g_app->m_pMainWnd : nullptr; }

int AfxWinMain(HINSTANCE instance) {
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    app->m_hInstance = instance;
    if (!app->m_pszAppName) app->NameAfterModule();
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}
