// The main window's bitmap push button: a CSkinButton that also shows a hand
// cursor while the mouse is over it.
#pragma once

#include "skin/skin_button.h"

class CExButton : public CSkinButton {
    DECLARE_DYNAMIC(CExButton)

public:
    ~CExButton() override;

    // Takes a private copy of the hand cursor of the Windows help program
    // (its cursor 106); where that program or its cursor is missing, the
    // system's hand cursor. Does nothing when a cursor is already held.
    void LoadHandCursor();
    // The same with the help program looked for in `windowsFolder` (null:
    // nowhere).
    void LoadHandCursorFrom(const char* windowsFolder);

    HCURSOR hCursor = nullptr;

protected:
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;
};
