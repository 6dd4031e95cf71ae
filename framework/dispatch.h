// A class's static dispatch table: one line per handled message, naming the
// message, the notification code and control id (for WM_COMMAND), and the
// member function that handles it. A dialog class looks up its table first
// and leaves the rest to its base:
//
//   const DispatchEntry<CMyDlg> CMyDlg::kDispatch[] = {
//       {WM_TIMER, &CMyDlg::OnTimer},
//       {WM_COMMAND, BN_CLICKED, IDC_GO, &CMyDlg::OnGo},
//       {},
//   };
//   BOOL CMyDlg::OnWndMsg(UINT m, WPARAM w, LPARAM l, LRESULT* r) {
//       return DispatchFromTable(this, kDispatch, m, w, l, r) || CDialog::OnWndMsg(m, w, l, r);
//   }
#pragma once

#include <windows.h>

class CDC;
class CWnd;

// The colour requests WM_CTLCOLORMSGBOX .. WM_CTLCOLORSTATIC all go to one
// table line under this number, with the kind (CTLCOLOR_DLG, _STATIC ...)
// passed to the handler.
constexpr UINT WM_CTLCOLOR_ANY = 0x0019;

enum class HandlerKind {
    kNone,
    kVoid,      // void OnX()
    kRaw,       // LRESULT OnX(WPARAM, LPARAM)
    kTimer,     // void OnTimer(UINT_PTR id)
    kMouse,     // void OnX(UINT flags, POINT pt)
    kCtlColor,  // HBRUSH OnCtlColor(CDC* dc, CWnd* control, UINT kind)
};

template <class T>
struct DispatchEntry {
    using VoidFn = void (T::*)();
    using RawFn = LRESULT (T::*)(WPARAM, LPARAM);
    using TimerFn = void (T::*)(UINT_PTR);
    using MouseFn = void (T::*)(UINT, POINT);
    using CtlColorFn = HBRUSH (T::*)(CDC*, CWnd*, UINT);

    UINT message = 0;
    UINT code = 0;  // WM_COMMAND: the notification code
    UINT id = 0;    // WM_COMMAND: the control id
    HandlerKind kind = HandlerKind::kNone;
    VoidFn onVoid = nullptr;
    RawFn onRaw = nullptr;
    TimerFn onTimer = nullptr;
    MouseFn onMouse = nullptr;
    CtlColorFn onCtlColor = nullptr;

    DispatchEntry() = default;
    DispatchEntry(UINT msg, VoidFn f) : message(msg), kind(HandlerKind::kVoid), onVoid(f) {}
    DispatchEntry(UINT msg, RawFn f) : message(msg), kind(HandlerKind::kRaw), onRaw(f) {}
    DispatchEntry(UINT msg, TimerFn f) : message(msg), kind(HandlerKind::kTimer), onTimer(f) {}
    DispatchEntry(UINT msg, MouseFn f) : message(msg), kind(HandlerKind::kMouse), onMouse(f) {}
    DispatchEntry(UINT msg, CtlColorFn f)
        : message(msg), kind(HandlerKind::kCtlColor), onCtlColor(f) {}
    DispatchEntry(UINT msg, UINT notifyCode, UINT ctrlId, VoidFn f)
        : message(msg), code(notifyCode), id(ctrlId), kind(HandlerKind::kVoid), onVoid(f) {}
};

// Finds the line for the message and calls its handler. Returns TRUE with
// *result set when a line matched.
template <class T>
BOOL DispatchFromTable(T* self, const DispatchEntry<T>* table, UINT msg, WPARAM wp, LPARAM lp,
                       LRESULT* result);

#include "framework/dispatch_impl.h"
