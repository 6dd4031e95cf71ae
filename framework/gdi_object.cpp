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

BOOL CBitmap::LoadMappedBitmap(HINSTANCE module, const char* name) {
    return Attach(::LoadImageA(module, name, IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
}

int CBitmap::GetBitmap(BITMAP* info) const {
    if (!m_hObject || !info) return 0;
    return ::GetObjectA(m_hObject, sizeof(BITMAP), info);
}

BOOL CFont::CreateFontIndirect(const LOGFONTA* description) {
    return Attach(::CreateFontIndirectA(description));
}

BOOL CBrush::CreateSolidBrush(COLORREF color) { return Attach(::CreateSolidBrush(color)); }
