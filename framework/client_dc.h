// GetDC / ReleaseDC of a window's client area.
#pragma once

#include "framework/dc.h"

class CClientDC : public CDC {
public:
    explicit CClientDC(HWND hwnd);
    ~CClientDC() override;

private:
    HWND m_hWnd;
};
