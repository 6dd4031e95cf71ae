// A font owned by its object.
#pragma once

#include "framework/gdi_object.h"

class CFont : public CGdiObject {
public:
    HFONT Handle() const { return static_cast<HFONT>(m_hObject); }
    BOOL CreateFontIndirect(const LOGFONTA* description);
};
