// BeginPaint / EndPaint around a WM_PAINT handler.
#pragma once

#include "framework/dc.h"

class CPaintDC : public CDC {
public:
    explicit CPaintDC(HWND hwnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
};
