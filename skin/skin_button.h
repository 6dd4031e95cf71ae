// The behaviour shared by the bitmap push buttons: three bitmaps named after
// the button's caption (CAPTION_FOCUS, CAPTION_NOTFOCUS, CAPTION_DISABLE),
// the size of the not-focused image, and a highlight that follows the
// keyboard focus and the mouse. CExButton and NCExButton derive from it.
#pragma once

#include "framework/bitmap.h"
#include "framework/button.h"

class CSkinButton : public CButton {
public:
    // Binds to the parent's control `id` unless bound already, then loads
    // the bitmaps named after the caption. False only when the control
    // cannot be bound or has no caption.
    BOOL SetupBitmapButton(UINT id, CWnd* parent);
    BOOL LoadBitmaps(const char* focusName, const char* notFocusName, const char* disabledName);
    BOOL SizeToBitmap();

    void DrawItem(const DRAWITEMSTRUCT* item) override;

    BOOL IsHighlighted() const { return highlighted; }

protected:
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

    BOOL highlighted = FALSE;
    RECT hitRect = {0, 0, 0, 0};
    CBitmap bmpDisabled;
    CBitmap bmpNotFocus;
    CBitmap bmpFocus;

private:
    void Repaint() { ::InvalidateRect(m_hWnd, nullptr, FALSE); }
};
