// The main window's words for what the scan did: every result line and
// status text the window shows, formatted here and nowhere else.
//
// WindowLines words each event as the window's lines and status texts and
// hands them to Line and Status; a front end that shows the window's words
// elsewhere (vendrika-scan's text) derives from it. WindowReport is the
// window's own listener: each line goes to reportLine with WM_SCAN_ADDLINE,
// each status text to statusText with WM_SCAN_STATUS.
#pragma once

#include "scan/scan_events.h"

namespace app {

class WindowLines : public scan::Listener {
public:
    void Scanning(const char* path) override;
    void Removed(const char* path, const char* name, scan::Where where) override;
    void NotRemoved(const char* path, const char* name, scan::Where where, pf::DWORD error) override;
    void ProcessEnded(const char* path) override;
    void ProcessNotEnded(const char* path) override;
    void OwnProgramInfected(const char* path, const char* name) override;
    void SystemProgramInfected(const char* path, const char* name, bool restoreWithSfc) override;
    void StartupValueRemoved(const scan::StartupValue& value) override;
    void StatisticsReady(const scan::Statistics& statistics) override;
    void Ended(bool cancelled) override;
    void RestartRequested(scan::RestartFor why, bool taken) override;

protected:
    // A result line, formatted (cut to the window's line size, never overrun).
    virtual void Line(const char* text) = 0;
    // The walk's current path, already shortened to the status line's width.
    virtual void Progress(const char* shortened) = 0;
    // A final status text.
    virtual void Status(const char* text) = 0;

private:
    void Format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
};

// The window's listener: the engine's two notifications to the main window.
class WindowReport : public WindowLines {
protected:
    void Line(const char* text) override;
    void Progress(const char* shortened) override;
    void Status(const char* text) override;
};

// Installs a WindowReport for as long as it lives (the window's scan, tests).
class ScopedWindowReport {
public:
    ScopedWindowReport() : previous_(scan::SetListener(&report_)) {}
    ~ScopedWindowReport() { scan::SetListener(previous_); }
    ScopedWindowReport(const ScopedWindowReport&) = delete;
    ScopedWindowReport& operator=(const ScopedWindowReport&) = delete;

private:
    WindowReport report_;
    scan::Listener* previous_;
};

}  // namespace app
