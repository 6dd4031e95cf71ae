// A list box control and the list messages the program sends it.
#pragma once

#include "framework/wnd.h"

class CListBox : public CWnd {
    DECLARE_DYNAMIC(CListBox)

public:
    int GetCount() const { return int(SendMessage(LB_GETCOUNT)); }
    void ResetContent() { SendMessage(LB_RESETCONTENT); }
    int AddString(const char* text) {
        return int(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
    }
    int SetCurSel(int index) { return int(SendMessage(LB_SETCURSEL, WPARAM(index))); }
    int GetTextLen(int index) const { return int(SendMessage(LB_GETTEXTLEN, WPARAM(index))); }
    // Copies line `index` into `buffer` (size bytes) without overrunning it;
    // returns false when the line is missing or does not fit.
    bool GetTextBounded(int index, char* buffer, int size) const;
    int GetHorizontalExtent() const { return int(SendMessage(LB_GETHORIZONTALEXTENT)); }
    void SetHorizontalExtent(int extent) { SendMessage(LB_SETHORIZONTALEXTENT, WPARAM(extent)); }
};
