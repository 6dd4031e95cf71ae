#include "framework/gdi_object.h"

BOOL CGdiObject::Attach(HGDIOBJ object) {
    DeleteObject();
    m_hObject = object;
    return object != nullptr;
}

HGDIOBJ CGdiObject::Detach() {
    HGDIOBJ object = m_hObject;
    m_hObject = nullptr;
    return object;
}

BOOL CGdiObject::DeleteObject() {
    if (!m_hObject) return FALSE;
    const BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}
