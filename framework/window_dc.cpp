#include "framework/window_dc.h"

CWindowDC::CWindowDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::GetWindowDC(hwnd); }
CWindowDC::~CWindowDC() {
    if (m_hDC) ::ReleaseDC(m_hWnd, m_hDC);
    m_hDC = nullptr;
}
