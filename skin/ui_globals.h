// Values the main window sets up once and the skinned controls read.
#pragma once

#include <windows.h>

#include "framework/dialog.h"
#include "framework/font.h"

extern CDialog* g_pMainDlg;  // the main window, once it is set up
extern CFont g_fontBold;     // the title line's bold font
extern BOOL g_bLargeFonts;   // the display has 120 or more pixels per logical inch
extern HBRUSH g_hbrWhite;    // background of the main window and its statics

// The program title: the main window's text, the identity of a running
// copy, and the caption of a question that brings none.
constexpr const char* kProgramTitle = "CleanVendrika Ver 1.0";

// The skin's two colours.
constexpr COLORREF kHeadingBlue = RGB(2, 77, 246);
constexpr COLORREF kBodyBlue = RGB(207, 233, 254);
