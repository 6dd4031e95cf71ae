// A GDI object owned by a C++ object: it is deleted when the owner is
// destroyed or given another one.
#pragma once

#include <windows.h>

class CGdiObject {
public:
    CGdiObject() = default;
    virtual ~CGdiObject() { DeleteObject(); }
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    HGDIOBJ m_hObject = nullptr;
    HGDIOBJ GetSafeHandle() const { return m_hObject; }

    BOOL Attach(HGDIOBJ object);  // deletes what was held before
    HGDIOBJ Detach();
    BOOL DeleteObject();
};
