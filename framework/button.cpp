#include "framework/button.h"

IMPLEMENT_DYNAMIC(CButton, CWnd)

BOOL CButton::OnChildNotify(UINT msg, WPARAM, LPARAM lp, LRESULT* result) {
    if (msg != WM_DRAWITEM || !lp) return FALSE;
    DrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
    *result = TRUE;
    return TRUE;
}
