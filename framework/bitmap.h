// A bitmap owned by its object.
#pragma once

#include "framework/gdi_object.h"

class CBitmap : public CGdiObject {
public:
    HBITMAP Handle() const { return static_cast<HBITMAP>(m_hObject); }
    // A bitmap resource of the program, at its own size, with the standard
    // greys mapped to the system's 3-D colours.
    BOOL LoadMappedBitmap(HINSTANCE module, const char* name);
    int GetBitmap(BITMAP* info) const;
};
