// The one process-wide scan state shared by the scan run, the walk, the
// inspection, the cleanup and the main window, and the two notifications
// through which the window's listener (app/window_report.h) talks to that
// window.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Buffer sizes of the original design. Paths are single-byte ANSI texts.
constexpr int kMaxPath = 260;
// Longest report line: a full path, five spaces, a detection name and
// " Unable to remove", with room to spare.
constexpr int kReportLineSize = 640;
constexpr int kRunValueNameSize = 128;
constexpr int kSparedPathsMax = 12;

// Sent synchronously to the main window with both parameters 0. The numbers
// coincide with WM_ENABLE and WM_SETREDRAW; the window treats every arrival
// of them as the notification.
constexpr pf::UINT WM_SCAN_STATUS = 10;   // show statusText in the status line
constexpr pf::UINT WM_SCAN_ADDLINE = 11;  // append reportLine to the result list

struct ScanContext {
    pf::HWND mainWindow;
    char reportLine[kReportLineSize];
    char statusText[kMaxPath];
    char detectedName[kMaxPath];
    char targetPath[kMaxPath];
    bool cancelled;
    bool summaryStarted;
    bool restartNeeded;
    char programFilesPattern[kMaxPath];
    bool programFilesPending;
    bool programFilesVisited;
    int32_t scannedCount;
    int32_t infectedCount;
    int32_t removedCount;
    bool foundInMemory;
    bool memoryMode;
    bool memoryRemoval;
    bool memoryRegistryCleaned;
    char runValueName[kRunValueNameSize];
    // The infected file the remembered value named, as found.
    char runValuePath[kMaxPath + 1];
    char inspectedPath[kMaxPath + 1];
    // The cleaner's own program file, as the memory step listed its process
    // (empty when it was not listed).
    char ownProgramPath[kMaxPath + 1];
    // Files the scan spares (its own, the system's critical programs) that
    // were told already: each is said once, by the memory step or the walk.
    // The critical set has eight names and the cleaner one file.
    char sparedPaths[kSparedPathsMax][kMaxPath + 1];
    int sparedCount;
};

// The single instance; zero-initialised at program start, never reallocated.
extern ScanContext g_scan;

// Tests reset the state between cases; the program itself never does.
void ResetScanContextForTest();
