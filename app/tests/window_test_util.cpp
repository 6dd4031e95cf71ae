#include "app/tests/window_test_util.h"

namespace wtest {

namespace {

const char kHostClass[] = "CleanVendrikaTestHost";

void RegisterHostClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kHostClass;
    ::RegisterClassA(&wc);
    registered = true;
}

struct Drive {
    std::function<void(HWND)> action;
    DWORD deadline;
    bool done;
};
Drive* g_drive = nullptr;

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM param) {
    char cls[16] = {};
    ::GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0 && ::IsWindowVisible(hwnd)) {
        *reinterpret_cast<HWND*>(param) = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CancelDialog(HWND hwnd, LPARAM) {
    char cls[16] = {};
    ::GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0) ::EndDialog(hwnd, -2);
    return TRUE;
}

void CALLBACK Poll(HWND, UINT, UINT_PTR id, DWORD) {
    if (!g_drive || g_drive->done) {
        ::KillTimer(nullptr, id);
        return;
    }
    HWND dialog = nullptr;
    ::EnumThreadWindows(::GetCurrentThreadId(), &FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog) {
        g_drive->done = true;
        ::KillTimer(nullptr, id);
        g_drive->action(dialog);
        return;
    }
    if (::GetTickCount() > g_drive->deadline) {
        g_drive->done = true;
        ::KillTimer(nullptr, id);
        ::EnumThreadWindows(::GetCurrentThreadId(), &CancelDialog, 0);
    }
}

struct Steps {
    std::vector<std::function<bool()>> steps;
    size_t next = 0;
    DWORD deadline = 0;
};
Steps* g_steps = nullptr;

void CALLBACK StepPoll(HWND, UINT, UINT_PTR id, DWORD) {
    if (!g_steps) {
        ::KillTimer(nullptr, id);
        return;
    }
    static bool busy = false;  // a step may pump messages itself
    if (busy) return;
    busy = true;
    while (g_steps->next < g_steps->steps.size() && g_steps->steps[g_steps->next]())
        ++g_steps->next;
    busy = false;
    if (g_steps->next >= g_steps->steps.size()) {
        ::KillTimer(nullptr, id);
        delete g_steps;
        g_steps = nullptr;
        return;
    }
    if (::GetTickCount() > g_steps->deadline) {
        ::KillTimer(nullptr, id);
        ::EnumThreadWindows(::GetCurrentThreadId(), &CancelDialog, 0);
    }
}

BOOL CALLBACK FindBox(HWND hwnd, LPARAM param) {
    char cls[16] = {};
    ::GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0 && ::IsWindowVisible(hwnd) && ::GetDlgItem(hwnd, 1086)) {
        *reinterpret_cast<HWND*>(param) = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

void RunSteps(std::vector<std::function<bool()>> steps, DWORD timeoutMs) {
    delete g_steps;
    g_steps = new Steps{std::move(steps), 0, ::GetTickCount() + timeoutMs};
    ::SetTimer(nullptr, 0, 20, &StepPoll);
}

bool StepsPending() { return g_steps != nullptr; }

HWND FindQuestionBox() {
    HWND box = nullptr;
    ::EnumThreadWindows(::GetCurrentThreadId(), &FindBox, reinterpret_cast<LPARAM>(&box));
    return box;
}

HostWindow::HostWindow(int width, int height) {
    RegisterHostClass();
    HWND hwnd = ::CreateWindowExA(0, kHostClass, "host", WS_POPUP | WS_VISIBLE, 0, 0, width, height,
                                  nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    Attach(hwnd);
}

HostWindow::~HostWindow() {
    HWND hwnd = Detach();
    if (hwnd) ::DestroyWindow(hwnd);
}

HWND HostWindow::AddChild(const char* cls, const char* text, int id, DWORD style, int x, int y,
                          int w, int h) {
    return ::CreateWindowExA(0, cls, text, WS_CHILD | style, x, y, w, h, m_hWnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             ::GetModuleHandleA(nullptr), nullptr);
}

INT_PTR DriveModal(const std::function<INT_PTR()>& run, const std::function<void(HWND)>& action,
                   DWORD timeoutMs) {
    Drive drive{action, ::GetTickCount() + timeoutMs, false};
    g_drive = &drive;
    ::SetTimer(nullptr, 0, 20, &Poll);
    const INT_PTR result = run();
    g_drive = nullptr;
    return result;
}

void PostClick(HWND dialog, int id) {
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

bool Visible(HWND dialog, int id) { return ::IsWindowVisible(::GetDlgItem(dialog, id)) != FALSE; }

bool Enabled(HWND dialog, int id) { return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE; }

RECT ScreenRect(HWND window) {
    RECT r = {0, 0, 0, 0};
    ::GetWindowRect(window, &r);
    return r;
}

int Width(const RECT& r) { return r.right - r.left; }
int Height(const RECT& r) { return r.bottom - r.top; }

std::string WindowText(HWND window) {
    char text[1024] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

}  // namespace wtest
