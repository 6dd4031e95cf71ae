#include "scan/scan_context.h"

#include <cstring>

ScanContext g_scan;

void ResetScanContextForTest() { std::memset(&g_scan, 0, sizeof g_scan); }
