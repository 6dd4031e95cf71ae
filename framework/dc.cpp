#include "framework/dc.h"

CDC::~CDC() {
    if (m_owned) DeleteDC();
}

BOOL CDC::CreateCompatibleDC(CDC* other) {
    if (m_owned) DeleteDC();
    m_hDC = ::CreateCompatibleDC(other ? other->m_hDC : nullptr);
    m_owned = m_hDC != nullptr;
    return m_owned;
}

BOOL CDC::DeleteDC() {
    BOOL ok = FALSE;
    if (m_owned && m_hDC) ok = ::DeleteDC(m_hDC);
    m_hDC = nullptr;
    m_owned = false;
    return ok;
}

CPaintDC::CPaintDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::BeginPaint(hwnd, &m_ps); }
CPaintDC::~CPaintDC() {
    ::EndPaint(m_hWnd, &m_ps);
    m_hDC = nullptr;
}

CClientDC::CClientDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::GetDC(hwnd); }
CClientDC::~CClientDC() {
    if (m_hDC) ::ReleaseDC(m_hWnd, m_hDC);
    m_hDC = nullptr;
}

CWindowDC::CWindowDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::GetWindowDC(hwnd); }
CWindowDC::~CWindowDC() {
    if (m_hDC) ::ReleaseDC(m_hWnd, m_hDC);
    m_hDC = nullptr;
}
