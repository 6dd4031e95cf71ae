#include "skin/skin_button.h"

#include <windowsx.h>

#include "framework/dc.h"
#include "framework/win_app.h"
#include "platform/crt.h"

namespace {
// A caption plus the longest suffix, "_NOTFOCUS".
constexpr int kCaptionSize = 256;
constexpr int kNameSize = kCaptionSize + 16;
}  // namespace

BOOL CSkinButton::SetupBitmapButton(UINT id, CWnd* parent) {
    if (!m_hWnd && !SubclassDlgItem(id, parent)) return FALSE;
    char caption[kCaptionSize];
    if (GetWindowText(caption, kCaptionSize) <= 0 || caption[0] == '\0') return FALSE;
    char focus[kNameSize], notFocus[kNameSize], disabled[kNameSize];
    crt::CopyText(focus, caption);
    crt::AppendText(focus, "_FOCUS");
    crt::CopyText(notFocus, caption);
    crt::AppendText(notFocus, "_NOTFOCUS");
    crt::CopyText(disabled, caption);
    crt::AppendText(disabled, "_DISABLE");
    LoadBitmaps(focus, notFocus, disabled);
    return TRUE;
}

BOOL CSkinButton::LoadBitmaps(const char* focusName, const char* notFocusName,
                              const char* disabledName) {
    bmpFocus.DeleteObject();
    bmpNotFocus.DeleteObject();
    bmpDisabled.DeleteObject();
    HINSTANCE module = AfxGetInstanceHandle();
    if (!bmpFocus.LoadMappedBitmap(module, focusName)) return FALSE;
    if (!bmpNotFocus.LoadMappedBitmap(module, notFocusName)) return FALSE;
    bmpDisabled.LoadMappedBitmap(module, disabledName);  // most captions have none
    return SizeToBitmap();
}

BOOL CSkinButton::SizeToBitmap() {
    BITMAP info;
    if (!bmpNotFocus.GetBitmap(&info)) return FALSE;
    if (!SetWindowPos(nullptr, 0, 0, info.bmWidth, info.bmHeight,
                      SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE))
        return FALSE;
    ::SetRect(&hitRect, 0, 0, info.bmWidth, info.bmHeight);
    return TRUE;
}

void CSkinButton::DrawItem(const DRAWITEMSTRUCT* item) {
    // The highlight wins over the disabled look; pressed looks highlighted.
    const CBitmap* chosen = &bmpNotFocus;
    if (highlighted)
        chosen = &bmpFocus;
    else if (item->itemState & ODS_DISABLED)
        chosen = &bmpDisabled;
    if (!chosen->GetSafeHandle()) return;  // nothing to draw: the area stays as it was

    CDC target(item->hDC);
    CDC memory;
    if (!memory.CreateCompatibleDC(&target)) return;
    HGDIOBJ previous = memory.SelectObject(chosen->GetSafeHandle());
    const RECT& r = item->rcItem;
    target.BitBlt(r.left, r.top, r.right - r.left, r.bottom - r.top, &memory, 0, 0, SRCCOPY);
    memory.SelectObject(previous);
}

BOOL CSkinButton::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    switch (msg) {
        case WM_MOUSEMOVE: {
            if (::GetCapture() != m_hWnd) {
                SetFocus();
                highlighted = TRUE;
                ::SetCapture(m_hWnd);
                Repaint();
            } else {
                const POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
                if (!::PtInRect(&hitRect, pt) && ::GetCapture() == m_hWnd) {
                    ::ReleaseCapture();
                    highlighted = FALSE;
                    Repaint();
                }
            }
            *result = Default();
            return TRUE;
        }
        case WM_SETFOCUS:
            *result = Default();
            highlighted = TRUE;
            Repaint();
            return TRUE;
        case WM_KILLFOCUS:
            *result = Default();
            highlighted = FALSE;
            Repaint();
            return TRUE;
        default:
            return CButton::OnWndMsg(msg, wp, lp, result);
    }
}
