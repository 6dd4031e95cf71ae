#include "skin/ex_button.h"

#include "platform/crt.h"

IMPLEMENT_DYNAMIC(CExButton, CButton)

CExButton::~CExButton() {
    if (hCursor) ::DestroyCursor(hCursor);
}

void CExButton::LoadHandCursor() {
    char folder[MAX_PATH] = {};
    const UINT n = ::GetWindowsDirectoryA(folder, MAX_PATH);
    LoadHandCursorFrom(n > 0 && n < MAX_PATH ? folder : nullptr);
}

void CExButton::LoadHandCursorFrom(const char* windowsFolder) {
    if (hCursor) return;
    char path[MAX_PATH] = {};
    if (windowsFolder && crt::CopyText(path, windowsFolder) &&
        crt::AppendText(path, "\\winhlp32.exe")) {
        // Loaded as data only: no code of the help program (which may well
        // be infected on the machine being cleaned) runs in this process.
        HMODULE help = ::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (help) {
            HCURSOR hand = ::LoadCursorA(help, MAKEINTRESOURCEA(106));
            if (hand)
                hCursor = reinterpret_cast<HCURSOR>(::CopyIcon(reinterpret_cast<HICON>(hand)));
            ::FreeLibrary(help);
        }
    }
    if (!hCursor) {
        // Systems since Windows 98 and 2000 carry a hand cursor of their own.
        HCURSOR hand = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));  // IDC_HAND
        if (hand) hCursor = reinterpret_cast<HCURSOR>(::CopyIcon(reinterpret_cast<HICON>(hand)));
    }
}

BOOL CExButton::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    if (msg == WM_SETCURSOR && hCursor) {
        ::SetCursor(hCursor);
        *result = TRUE;
        return TRUE;
    }
    return CSkinButton::OnWndMsg(msg, wp, lp, result);
}
