// Helpers for the window tests: a plain parent window to host controls, and
// a driver that acts on a modal dialog from inside its own modal loop.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/wnd.h"

namespace wtest {

// A visible popup window at the screen origin with a client area of the
// given size and no frame, so that screen and client coordinates agree.
class HostWindow : public CWnd {
public:
    HostWindow(int width, int height);
    ~HostWindow() override;
    // A child control of `cls` with `text`, id and style (WS_CHILD added).
    HWND AddChild(const char* cls, const char* text, int id, DWORD style, int x, int y, int w,
                  int h);
};

// Calls `action` with the first modal dialog of this thread that is visible
// while `run` executes (polled every 20 ms from a thread timer inside the
// modal loop). If no dialog shows up within `timeoutMs`, every dialog of
// the thread is cancelled so that the test cannot hang. Returns run's result.
INT_PTR DriveModal(const std::function<INT_PTR()>& run, const std::function<void(HWND)>& action,
                   DWORD timeoutMs = 5000);

// Runs `steps` one after the other from a thread timer (every 20 ms), each
// until it returns true, so that a test can act while a modal loop or the
// scan's own message pump runs. Past `timeoutMs` every dialog of the thread
// is ended, so a test that waits for something that never comes fails
// instead of hanging. Call from inside the modal run; returns at once.
void RunSteps(std::vector<std::function<bool()>> steps, DWORD timeoutMs = 20000);
// True while steps are left (a test checks it is false at the end).
bool StepsPending();

// The visible question box of this thread (a dialog with the message text
// control), or null.
HWND FindQuestionBox();

// Posts a button click (WM_COMMAND, BN_CLICKED) to a dialog.
void PostClick(HWND dialog, int id);

bool Visible(HWND dialog, int id);
bool Enabled(HWND dialog, int id);
RECT ScreenRect(HWND window);
int Width(const RECT& r);
int Height(const RECT& r);
std::string WindowText(HWND window);

}  // namespace wtest
