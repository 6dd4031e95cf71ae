#include "framework/client_dc.h"

CClientDC::CClientDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::GetDC(hwnd); }
CClientDC::~CClientDC() {
    if (m_hDC) ::ReleaseDC(m_hWnd, m_hDC);
    m_hDC = nullptr;
}
