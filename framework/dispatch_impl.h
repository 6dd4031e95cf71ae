// The table lookup behind DispatchFromTable (included by dispatch.h).
#pragma once

#include "framework/dc.h"
#include "framework/wnd.h"

namespace dispatch_detail {

// The kind of a colour request, as the old single WM_CTLCOLOR message gave it.
inline bool CtlColorKind(UINT msg, UINT* kind) {
    if (msg < WM_CTLCOLORMSGBOX || msg > WM_CTLCOLORSTATIC) return false;
    *kind = msg - WM_CTLCOLORMSGBOX;  // CTLCOLOR_MSGBOX 0 .. CTLCOLOR_STATIC 6
    return true;
}

}  // namespace dispatch_detail

template <class T>
BOOL DispatchFromTable(T* self, const DispatchEntry<T>* table, UINT msg, WPARAM wp, LPARAM lp,
                       LRESULT* result) {
    UINT ctlKind = 0;
    const bool isCtlColor = dispatch_detail::CtlColorKind(msg, &ctlKind);
    for (const DispatchEntry<T>* e = table; e->kind != HandlerKind::kNone; ++e) {
        if (isCtlColor) {
            if (e->message != WM_CTLCOLOR_ANY) continue;
        } else if (e->message != msg) {
            continue;
        }
        if (msg == WM_COMMAND && (e->code != HIWORD(wp) || e->id != LOWORD(wp))) continue;
        *result = 0;
        switch (e->kind) {
            case HandlerKind::kVoid:
                (self->*(e->onVoid))();
                break;
            case HandlerKind::kRaw:
                *result = (self->*(e->onRaw))(wp, lp);
                break;
            case HandlerKind::kTimer:
                (self->*(e->onTimer))(static_cast<UINT_PTR>(wp));
                break;
            case HandlerKind::kMouse: {
                POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
                (self->*(e->onMouse))(static_cast<UINT>(wp), pt);
                break;
            }
            case HandlerKind::kCtlColor: {
                CDC dc(reinterpret_cast<HDC>(wp));
                CWnd* control = CWnd::FromHandlePermanent(reinterpret_cast<HWND>(lp));
                CWnd unbound;  // a control nobody bound: a temporary wrapper of its handle
                if (!control && lp) {
                    unbound.m_hWnd = reinterpret_cast<HWND>(lp);
                    control = &unbound;
                }
                *result =
                    reinterpret_cast<LRESULT>((self->*(e->onCtlColor))(&dc, control, ctlKind));
                unbound.m_hWnd = nullptr;
                break;
            }
            case HandlerKind::kNone:
                break;
        }
        return TRUE;
    }
    return FALSE;
}
