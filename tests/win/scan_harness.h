// The real platform with the window replaced: every system call goes to the
// real system, except that the main window's notifications are captured,
// questions are answered from a script and plain message boxes are recorded
// instead of shown. Lets the engine run for real under a test.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "platform/win32/win32_platform.h"

namespace wintest {

// What exit() throws here: the program would have ended with this code.
struct ProgramExit {
    int code;
};

class WindowlessPlatform : public pf::win32::Win32Platform {
public:
    // The handle the engine is given as its main window; it never reaches the
    // system.
    static pf::HWND Window();

    std::vector<std::string> lines;      // every WM_SCAN_ADDLINE, in order
    std::string lastStatus;              // the latest WM_SCAN_STATUS text
    int statusCount = 0;
    std::vector<std::string> questions;  // "text|title|flags" of each question
    std::deque<int> answers;             // answers to the next questions
    int defaultAnswer = pf::kIdNo;       // when the script has run out
    std::vector<std::string> plainBoxes;  // "text|caption|flags" of MessageBoxA
    // Refuse every OpenProcess that asks for the right to terminate, as the
    // system does for a process the user may not end.
    bool refuseTermination = false;

    pf::LRESULT SendMessageA(pf::HWND window, pf::UINT message, pf::WPARAM wParam,
                             pf::LPARAM lParam) override;
    int MessageBoxA(pf::HWND owner, const char* text, const char* caption,
                    pf::UINT flags) override;
    int SkinMessageBox(const char* text, const char* title, pf::UINT flags) override;
    pf::HANDLE OpenProcess(pf::DWORD access, pf::BOOL inherit, pf::DWORD processId) override;
    // A test never restarts the machine or ends itself: the reboot request is
    // recorded (and reported as accepted), the exit is thrown as ProgramExit.
    pf::BOOL ExitWindowsEx(pf::UINT flags, pf::DWORD reserved) override;
    void exit(int code) override;
    std::vector<pf::UINT> rebootRequests;

    // Lines that mention `text`.
    std::vector<std::string> LinesWith(const std::string& text) const;
};

// Installs a platform and a fresh scan state whose main window is
// WindowlessPlatform::Window(); restores the previous platform and clears the
// scan state when destroyed.
class ScopedScan {
public:
    explicit ScopedScan(pf::Platform* platform);
    ~ScopedScan();
    ScopedScan(const ScopedScan&) = delete;
    ScopedScan& operator=(const ScopedScan&) = delete;

private:
    pf::Platform* previous_;
};

// True when running under Wine rather than on Windows itself.
bool UnderWine();

}  // namespace wintest
