// A window handle and the operations the program uses on it. A CWnd can be
// attached to an existing window without touching it (dialogs), or can
// subclass it (controls), so that the window's messages reach the object's
// OnWndMsg first and everything else goes on to the window's own procedure.
#pragma once

#include <windows.h>

#include "framework/object.h"

class CWnd : public CObject {
    DECLARE_DYNAMIC(CWnd)

public:
    CWnd() = default;
    ~CWnd() override;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The object that subclassed or attached `hwnd`, or null.
    static CWnd* FromHandlePermanent(HWND hwnd);

    // Binds without subclassing (the window's procedure is left alone).
    BOOL Attach(HWND hwnd);
    HWND Detach();
    // Replaces the window's procedure so that its messages reach this object.
    BOOL SubclassWindow(HWND hwnd);
    BOOL SubclassDlgItem(UINT id, CWnd* parent);
    HWND UnsubclassWindow();

    // ---- thin wrappers ----
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
    int GetWindowText(char* buffer, int size) const;
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
        return ::SendMessageA(m_hWnd, msg, wp, lp);
    }
    BOOL PostMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
        return ::PostMessageA(m_hWnd, msg, wp, lp);
    }
    void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) {
        ::MoveWindow(m_hWnd, x, y, width, height, repaint);
    }
    BOOL SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags) {
        return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
    }
    void GetWindowRect(RECT* rect) const { ::GetWindowRect(m_hWnd, rect); }
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
    void ScreenToClient(POINT* pt) const { ::ScreenToClient(m_hWnd, pt); }
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    void SetFont(HFONT font, BOOL redraw = TRUE) {
        SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw);
    }
    HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    HICON SetIcon(HICON icon, BOOL big) {
        return reinterpret_cast<HICON>(
            SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
    }
    LONG_PTR GetStyle() const { return ::GetWindowLongPtrA(m_hWnd, GWL_STYLE); }
    // Adds and removes style bits (no frame change is forced).
    void ModifyStyle(LONG_PTR remove, LONG_PTR add);
    int SetWindowRgn(HRGN region, BOOL redraw) { return ::SetWindowRgn(m_hWnd, region, redraw); }
    // Centres the window over `alternateOwner`, else its owner, else the
    // screen's work area, keeping it inside the work area.
    void CenterWindow(HWND alternateOwner = nullptr);

protected:
    // Handles a message of a subclassed window; returns TRUE with *result
    // set when handled. The base knows nothing and returns FALSE.
    virtual BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
    // A message the parent reflected back to the control it concerns
    // (WM_DRAWITEM); returns TRUE when handled.
    virtual BOOL OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
    // The window's own processing of the message being handled.
    LRESULT Default();

    friend class CDialog;

private:
    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    WNDPROC m_pfnSuper = nullptr;
    struct CurrentMessage {
        UINT msg;
        WPARAM wp;
        LPARAM lp;
    };
    CurrentMessage m_current{};
};
