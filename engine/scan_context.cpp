#include "engine/scan_context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/crt.h"

ScanContext g_scan;

void ResetScanContextForTest() { std::memset(&g_scan, 0, sizeof g_scan); }

void ReportLine(const char* format, ...) {
    if (!g_scan.mainWindow) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_scan.reportLine, sizeof g_scan.reportLine, format, args);
    va_end(args);
    pf::Os().SendMessageA(g_scan.mainWindow, WM_SCAN_ADDLINE, 0, 0);
}

void ShowStatus(const char* text) {
    crt::CopyText(g_scan.statusText, text);
    pf::Os().SendMessageA(g_scan.mainWindow, WM_SCAN_STATUS, 0, 0);
}
