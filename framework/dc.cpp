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
