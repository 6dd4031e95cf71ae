// A device context. A CDC made from a handle only borrows it; one made with
// CreateCompatibleDC owns it and deletes it when destroyed.
#pragma once

#include <windows.h>

class CDC {
public:
    CDC() = default;
    explicit CDC(HDC hdc) : m_hDC(hdc) {}
    virtual ~CDC();
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC m_hDC = nullptr;
    HDC GetSafeHdc() const { return m_hDC; }

    BOOL CreateCompatibleDC(CDC* other);  // null: compatible with the screen
    BOOL DeleteDC();

    HGDIOBJ SelectObject(HGDIOBJ object) { return ::SelectObject(m_hDC, object); }
    BOOL BitBlt(int x, int y, int width, int height, CDC* src, int xSrc, int ySrc, DWORD rop) {
        return ::BitBlt(m_hDC, x, y, width, height, src ? src->m_hDC : nullptr, xSrc, ySrc, rop);
    }
    COLORREF SetTextColor(COLORREF color) { return ::SetTextColor(m_hDC, color); }
    COLORREF SetBkColor(COLORREF color) { return ::SetBkColor(m_hDC, color); }
    int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
    int DrawText(const char* text, RECT* rect, UINT format) {
        return ::DrawTextA(m_hDC, text, -1, rect, format);
    }
    int GetDeviceCaps(int index) const { return ::GetDeviceCaps(m_hDC, index); }

private:
    bool m_owned = false;
};
