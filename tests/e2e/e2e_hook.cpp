// Window hook loaded into every GUI process of the test prefix. In the
// cleaner it appends each line given to the result list (control 1055) to
// lines.txt beside this DLL and writes the final status ("Scanning ...") to
// status.txt there, synchronously, so that a line added right before the
// program ends itself is not lost.
#include <windows.h>

#include <string.h>

namespace {

const int kResultListId = 1055;
const int kStatusLineId = 1065;
HINSTANCE g_self = nullptr;

// FILE in the folder this DLL was loaded from.
void Beside(const char* file, char* path, DWORD size) {
    DWORD n = GetModuleFileNameA(g_self, path, size);
    if (n == 0 || n >= size) {
        path[0] = 0;
        return;
    }
    char* slash = strrchr(path, '\\');
    size_t keep = slash ? static_cast<size_t>(slash - path) + 1 : 0;
    if (keep + strlen(file) + 1 > size) {
        path[0] = 0;
        return;
    }
    strcpy(path + keep, file);
}

void Append(const char* name, const char* text, DWORD disposition, bool append) {
    char file[MAX_PATH];
    Beside(name, file, sizeof file);
    if (!file[0]) return;
    HANDLE h = CreateFileA(file, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (text) WriteFile(h, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    WriteFile(h, "\n", 1, &written, nullptr);
    CloseHandle(h);
}

bool IsCleanerWindow(HWND control) {
    HWND top = GetAncestor(control, GA_ROOT);
    char title[64] = {0};
    return top && GetWindowTextA(top, title, sizeof title) > 0 &&
           strcmp(title, "CleanVendrika Ver 1.0") == 0;
}

// The text of a sent string argument. A hook installed through the ANSI
// entry may still be handed a UTF-16 text when the sender used the wide form.
// Only a text whose second byte is 0 can be UTF-16 (or a one-letter ANSI
// text, whose terminator is followed by whatever lies next in memory: in a
// 32-bit program often the next string). The program's texts are ASCII, so
// it is read as UTF-16 only when every unit up to the wide terminator is
// ASCII; a one-letter ANSI text followed by a string reads as itself.
const char* Text(LPARAM lParam, char* buffer, int size) {
    const char* bytes = reinterpret_cast<const char*>(lParam);
    if (bytes[0] != 0 && bytes[1] == 0) {
        const wchar_t* wide = reinterpret_cast<const wchar_t*>(lParam);
        int n = 0;
        while (n < size - 1 && wide[n] != 0 && wide[n] < 0x80) ++n;
        if (n == size - 1 || wide[n] != 0) return bytes;  // not ASCII UTF-16: ANSI
        for (int i = 0; i <= n; ++i) buffer[i] = static_cast<char>(wide[i]);
        return buffer;
    }
    return bytes;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK CallWndProc(int code, WPARAM wParam,
                                                               LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (m && m->hwnd) {
            int id = GetDlgCtrlID(m->hwnd);
            if (id == kResultListId && m->message == LB_ADDSTRING && m->lParam &&
                IsCleanerWindow(m->hwnd)) {
                char buffer[1024];
                Append("lines.txt", Text(m->lParam, buffer, sizeof buffer), OPEN_ALWAYS,
                       true);
            } else if (id == kResultListId && m->message == LB_RESETCONTENT &&
                       IsCleanerWindow(m->hwnd)) {
                Append("lines.txt", "@@reset", OPEN_ALWAYS, true);
            } else if (id == kStatusLineId && m->message == WM_SETTEXT && m->lParam) {
                char buffer[1024];
                const char* text = Text(m->lParam, buffer, sizeof buffer);
                if (strncmp(text, "Scanning ", 9) == 0 && IsCleanerWindow(m->hwnd))
                    Append("status.txt", text, CREATE_ALWAYS, false);
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_self = instance;
    return TRUE;
}
