// A brush owned by its object.
#pragma once

#include "framework/gdi_object.h"

class CBrush : public CGdiObject {
public:
    HBRUSH Handle() const { return static_cast<HBRUSH>(m_hObject); }
    BOOL CreateSolidBrush(COLORREF color);
};
