// GDI objects owned by an object: the bitmap, font or brush is deleted when
// the owner is destroyed or given another one.
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

class CBitmap : public CGdiObject {
public:
    HBITMAP Handle() const { return static_cast<HBITMAP>(m_hObject); }
    // A bitmap resource of the program, at its own size, with the standard
    // greys mapped to the system's 3-D colours.
    BOOL LoadMappedBitmap(HINSTANCE module, const char* name);
    int GetBitmap(BITMAP* info) const;
};

class CFont : public CGdiObject {
public:
    HFONT Handle() const { return static_cast<HFONT>(m_hObject); }
    BOOL CreateFontIndirect(const LOGFONTA* description);
};

class CBrush : public CGdiObject {
public:
    HBRUSH Handle() const { return static_cast<HBRUSH>(m_hObject); }
    BOOL CreateSolidBrush(COLORREF color);
};
