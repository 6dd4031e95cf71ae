// GetWindowDC / ReleaseDC of a whole window.
#pragma once

#include "framework/dc.h"

class CWindowDC : public CDC {
public:
    explicit CWindowDC(HWND hwnd);
    ~CWindowDC() override;

private:
    HWND m_hWnd;
};
