#include "framework/dialog.h"

#include "framework/win_app.h"

IMPLEMENT_DYNAMIC(CDialog, CWnd)

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
    // The dialog procedure finds its object through DWLP_USER; a window left
    // behind must not lead to an object that is gone.
    if (m_hWnd && ::IsWindow(m_hWnd) &&
        ::GetWindowLongPtrA(m_hWnd, DWLP_USER) == reinterpret_cast<LONG_PTR>(this))
        ::SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
}

INT_PTR CDialog::DoModal() {
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!owner) {
        CWnd* main = AfxGetMainWnd();
        if (main && main != this && main->m_hWnd && ::IsWindow(main->m_hWnd)) owner = main->m_hWnd;
    }
    const INT_PTR result =
        ::DialogBoxParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(m_templateId), owner,
                          &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    // The window is gone; its controls unbound themselves on destruction.
    if (m_hWnd) m_hWnd = nullptr;
    return result;
}

void CDialog::EndDialog(int result) { ::EndDialog(m_hWnd, result); }

void CDialog::DDX_Control(int id, CWnd& control) {
    if (!control.m_hWnd) control.SubclassDlgItem(UINT(id), this);
}

BOOL CDialog::OnInitDialog() {
    DoDataExchange();
    return TRUE;
}

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    if (msg == WM_COMMAND && HIWORD(wp) == BN_CLICKED) {
        if (LOWORD(wp) == IDOK) {
            OnOK();
            *result = 0;
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL) {
            OnCancel();
            *result = 0;
            return TRUE;
        }
    }
    if (msg == WM_DRAWITEM) {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        if (item && item->CtlType != ODT_MENU) {
            if (CWnd* control = FromHandlePermanent(item->hwndItem))
                return control->OnChildNotify(msg, wp, lp, result);
        }
    }
    return FALSE;
}

LRESULT CDialog::Default() {
    // DefDlgProc hands what the dialog procedure leaves to DefWindowProc.
    return ::DefWindowProcA(m_hWnd, m_current.msg, m_current.wp, m_current.lp);
}

void CDialog::CenterIfNotPlaced(const RECT& before) {
    RECT after;
    GetWindowRect(&after);
    if (IsWindowVisible() || (GetStyle() & WS_CHILD)) return;
    if (after.left != before.left || after.top != before.top) return;
    CenterWindow();
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDialog* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lp);
        if (!self || !self->Attach(hwnd)) return FALSE;
        // The dialog's own slot leads back to the object for every later
        // message: reading it is a local look-up, where the window property
        // costs a round trip to the window server on some systems (Wine).
        ::SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->m_current = {msg, wp, lp};
        RECT before;
        ::GetWindowRect(hwnd, &before);
        const BOOL focusDefault = self->OnInitDialog();
        self->CenterIfNotPlaced(before);
        return focusDefault;
    }
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!self || self->m_hWnd != hwnd) return FALSE;
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        self->Detach();
        return FALSE;
    }
    const CurrentMessage outer = self->m_current;
    self->m_current = {msg, wp, lp};
    LRESULT result = 0;
    const BOOL handled = self->OnWndMsg(msg, wp, lp, &result);
    self->m_current = outer;
    if (!handled) return FALSE;
    // These messages answer through the procedure's own return value.
    switch (msg) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
            return static_cast<INT_PTR>(result);
        default:
            ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
            return TRUE;
    }
}
