// The heading line of the main window: its text in white bold letters on the
// heading blue, centred, starting at the top of the control.
#pragma once

#include "framework/static_control.h"

class CTitleLabel : public CStatic {
public:
    COLORREF textColor = RGB(255, 255, 255);

protected:
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

private:
    void OnPaint();
    char caption[512] = {};
    RECT clientRect = {0, 0, 0, 0};
};
