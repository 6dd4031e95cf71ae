#include "skin/title_label.h"

#include "framework/paint_dc.h"
#include "skin/ui_globals.h"

BOOL CTitleLabel::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    if (msg != WM_PAINT) return CStatic::OnWndMsg(msg, wp, lp, result);
    OnPaint();
    *result = 0;
    return TRUE;
}

void CTitleLabel::OnPaint() {
    CPaintDC dc(m_hWnd);
    GetClientRect(&clientRect);
    GetWindowText(caption, sizeof caption);
    dc.SetTextColor(textColor);
    HGDIOBJ previousFont = nullptr;
    if (g_fontBold.GetSafeHandle()) previousFont = dc.SelectObject(g_fontBold.GetSafeHandle());
    dc.SetBkColor(kHeadingBlue);
    // No DT_SINGLELINE: the vertical centring has no effect, the text starts
    // at the top, and only line breaks in the text start new lines.
    dc.DrawText(caption, &clientRect, DT_CENTER | DT_VCENTER);
    if (previousFont) dc.SelectObject(previousFont);
}
