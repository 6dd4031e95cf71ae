#include "framework/list_box.h"

IMPLEMENT_DYNAMIC(CListBox, CWnd)

bool CListBox::GetTextBounded(int index, char* buffer, int size) const {
    if (!buffer || size <= 0) return false;
    buffer[0] = '\0';
    // LB_GETTEXT has no buffer size: ask the length first.
    const int length = GetTextLen(index);
    if (length == LB_ERR || length < 0 || length >= size) return false;
    const int copied =
        int(SendMessage(LB_GETTEXT, WPARAM(index), reinterpret_cast<LPARAM>(buffer)));
    if (copied == LB_ERR || copied < 0 || copied >= size) {
        buffer[0] = '\0';
        return false;
    }
    buffer[copied] = '\0';
    return true;
}
