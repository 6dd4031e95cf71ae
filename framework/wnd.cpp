#include "framework/wnd.h"

IMPLEMENT_DYNAMIC(CWnd, CObject)

namespace {
// The property that leads from a window handle to its CWnd.
const char kObjectProperty[] = "CleanVendrika.CWnd";
}  // namespace

CWnd::~CWnd() {
    if (m_pfnSuper)
        UnsubclassWindow();
    else if (m_hWnd)
        Detach();
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
    if (!hwnd) return nullptr;
    return static_cast<CWnd*>(::GetPropA(hwnd, kObjectProperty));
}

BOOL CWnd::Attach(HWND hwnd) {
    if (!hwnd || m_hWnd) return FALSE;
    m_hWnd = hwnd;
    ::SetPropA(hwnd, kObjectProperty, this);
    return TRUE;
}

HWND CWnd::Detach() {
    HWND hwnd = m_hWnd;
    if (hwnd && ::IsWindow(hwnd) && FromHandlePermanent(hwnd) == this)
        ::RemovePropA(hwnd, kObjectProperty);
    m_hWnd = nullptr;
    return hwnd;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
    if (!hwnd || m_hWnd || FromHandlePermanent(hwnd)) return FALSE;
    if (!::SetPropA(hwnd, kObjectProperty, this)) return FALSE;
    m_hWnd = hwnd;
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
    if (!m_pfnSuper) {
        ::RemovePropA(hwnd, kObjectProperty);
        m_hWnd = nullptr;
        return FALSE;
    }
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
    if (!parent || !parent->m_hWnd) return FALSE;
    return SubclassWindow(::GetDlgItem(parent->m_hWnd, int(id)));
}

HWND CWnd::UnsubclassWindow() {
    HWND hwnd = m_hWnd;
    if (hwnd && m_pfnSuper && ::IsWindow(hwnd))
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    m_pfnSuper = nullptr;
    return Detach();
}

int CWnd::GetWindowText(char* buffer, int size) const {
    if (!buffer || size <= 0) return 0;
    buffer[0] = '\0';
    return ::GetWindowTextA(m_hWnd, buffer, size);
}

void CWnd::ModifyStyle(LONG_PTR remove, LONG_PTR add) {
    const LONG_PTR style = GetStyle();
    ::SetWindowLongPtrA(m_hWnd, GWL_STYLE, (style & ~remove) | add);
}

void CWnd::CenterWindow(HWND alternateOwner) {
    RECT work;
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0))
        ::SetRect(&work, 0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN));
    HWND over = alternateOwner ? alternateOwner : ::GetWindow(m_hWnd, GW_OWNER);
    RECT center = work;
    if (over && ::IsWindowVisible(over) && !::IsIconic(over)) ::GetWindowRect(over, &center);
    RECT self;
    GetWindowRect(&self);
    const int width = self.right - self.left;
    const int height = self.bottom - self.top;
    int x = (center.left + center.right) / 2 - width / 2;
    int y = (center.top + center.bottom) / 2 - height / 2;
    // Keep the window on the work area.
    if (x + width > work.right) x = work.right - width;
    if (x < work.left) x = work.left;
    if (y + height > work.bottom) y = work.bottom - height;
    if (y < work.top) y = work.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::OnWndMsg(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

LRESULT CWnd::Default() {
    if (m_pfnSuper)
        return ::CallWindowProcA(m_pfnSuper, m_hWnd, m_current.msg, m_current.wp, m_current.lp);
    return ::DefWindowProcA(m_hWnd, m_current.msg, m_current.wp, m_current.lp);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CWnd* self = FromHandlePermanent(hwnd);
    if (!self || !self->m_pfnSuper) return ::DefWindowProcA(hwnd, msg, wp, lp);
    // Handlers may cause nested messages; keep the outer one for Default().
    const CurrentMessage outer = self->m_current;
    self->m_current = {msg, wp, lp};
    LRESULT result = 0;
    if (msg == WM_NCDESTROY) {
        WNDPROC super = self->m_pfnSuper;
        self->UnsubclassWindow();
        result = ::CallWindowProcA(super, hwnd, msg, wp, lp);
        return result;
    }
    if (!self->OnWndMsg(msg, wp, lp, &result)) result = self->Default();
    self->m_current = outer;
    return result;
}
