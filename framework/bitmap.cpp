#include "framework/bitmap.h"

BOOL CBitmap::LoadMappedBitmap(HINSTANCE module, const char* name) {
    return Attach(::LoadImageA(module, name, IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
}

int CBitmap::GetBitmap(BITMAP* info) const {
    if (!m_hObject || !info) return 0;
    return ::GetObjectA(m_hObject, sizeof(BITMAP), info);
}
