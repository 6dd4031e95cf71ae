// A push button, check box or group box control. Owner-drawn buttons get
// their WM_DRAWITEM back from the parent as DrawItem.
#pragma once

#include "framework/wnd.h"

class CButton : public CWnd {
    DECLARE_DYNAMIC(CButton)

public:
    // Paints an owner-drawn button; the base draws nothing.
    virtual void DrawItem(const DRAWITEMSTRUCT* item) {}

protected:
    BOOL OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;
};
