#include "skin/ui_globals.h"

CDialog* g_pMainDlg = nullptr;
CFont g_fontBold;
BOOL g_bLargeFonts = FALSE;
HBRUSH g_hbrWhite = nullptr;
