// Resource ids of CleanVendrika.exe, shared by the .rc script (windres defines RC_INVOKED)
// and the C++ code. Bitmaps of the skinned buttons are found by name (caption + "_FOCUS",
// "_NOTFOCUS", "_DISABLE"), so in the .rc they are bare names, never numbers: this header
// must not #define those bare names for windres, or they would turn into numeric ids.
#pragma once

// ---- icon group and dialogs ----
#define IDR_MAINFRAME 128            // icon group of the program and of the main window
#define IDD_CLEANVENDRIKA_DIALOG 141  // the main window
#define IDD_SKINMSGBOX 142            // the skinned message box

// ---- numbered bitmaps ----
#define IDB_MSG_INFORMATION 152  // "i" in a speech bubble, 42 x 40
#define IDB_MSG_QUESTION 153     // "?" in a speech bubble, 42 x 40
#define IDB_MSG_WARNING 154      // "!" in a yellow triangle, 42 x 40
#define IDB_MSG_ERROR 155        // white cross on a red disc, 42 x 40
#define IDB_BACKGROUND 156       // main window face, 527 x 338, 8 bits per pixel

// ---- controls of the main window (dialog 141) ----
// Id 2 is the platform's IDCANCEL: the CANCEL button doubles as the dialog's cancel command.
#define IDC_CANCEL_SCAN 2
#define IDC_RESULT_FRAME 1034    // group box around the result list
#define IDC_SCAN 1052            // SCAN
#define IDC_DOWNLOAD 1053        // DOWNLOAD
#define IDC_CLOSEBOX 1054        // X
#define IDC_RESULTLIST 1055      // ResultList
#define IDC_STATUS_FRAME 1064    // group box around the status line ("Scanning")
#define IDC_STATUS 1065          // status line
#define IDC_TITLE 1068           // title label
#define IDC_DONE 1070            // OK, shown after a scan
#define IDC_MAKER_NOTICE 1072    // maker's notice line
#define IDC_DESCRIPTION 1074     // description line
#define IDC_PRODUCT_NOTICE 1075  // product notice
#define IDC_PROGRESS 1076        // progress line
#define IDC_DLINK 1077           // download link image
#define IDC_ULINK 1080           // utilities link image
#define IDC_LOGO 1085            // maker's logo

// ---- controls of the skinned message box (dialog 142) ----
#define IDC_MB_OK 1          // OK of the OK/Cancel pair (IDOK)
#define IDC_MB_CANCEL 2      // Cancel of the OK/Cancel pair (IDCANCEL)
#define IDC_MB_SINGLEOK 3    // the lone OK button
#define IDC_MB_YES 6         // YES (IDYES)
#define IDC_MB_NO 7          // NO (IDNO)
#define IDC_MB_ICON 1085     // bitmap static the icon is painted into
#define IDC_MB_TEXT 1086     // the message text

// ---- version resource ----
#define IDV_VERSION 1

#ifndef RC_INVOKED
// Names of the button bitmaps, for code that refers to one directly (the buttons themselves
// build the names from their captions).
#define RES_SCAN_FOCUS "SCAN_FOCUS"
#define RES_SCAN_NOTFOCUS "SCAN_NOTFOCUS"
#define RES_SCAN_DISABLE "SCAN_DISABLE"
#define RES_DOWNLOAD_FOCUS "DOWNLOAD_FOCUS"
#define RES_DOWNLOAD_NOTFOCUS "DOWNLOAD_NOTFOCUS"
#define RES_DOWNLOAD_DISABLE "DOWNLOAD_DISABLE"
#define RES_CANCEL_FOCUS "CANCEL_FOCUS"
#define RES_CANCEL_NOTFOCUS "CANCEL_NOTFOCUS"
#define RES_OK_FOCUS "OK_FOCUS"
#define RES_OK_NOTFOCUS "OK_NOTFOCUS"
#define RES_X_FOCUS "X_FOCUS"
#define RES_X_NOTFOCUS "X_NOTFOCUS"
#define RES_YES_FOCUS "YES_FOCUS"
#define RES_YES_NOTFOCUS "YES_NOTFOCUS"
#define RES_NO_FOCUS "NO_FOCUS"
#define RES_NO_NOTFOCUS "NO_NOTFOCUS"
#define RES_DLINK_FOCUS "DLINK_FOCUS"
#define RES_DLINK_NOTFOCUS "DLINK_NOTFOCUS"
#define RES_ULINK_FOCUS "ULINK_FOCUS"
#define RES_ULINK_NOTFOCUS "ULINK_NOTFOCUS"
#define RES_QUILLONLOGO_FOCUS "QUILLONLOGO_FOCUS"
#define RES_QUILLONLOGO_NOTFOCUS "QUILLONLOGO_NOTFOCUS"

// Pixel sizes of the pictures, for tests and layout checks.
#define RES_BACKGROUND_WIDTH 527
#define RES_BACKGROUND_HEIGHT 338
#define RES_MSGICON_WIDTH 42
#define RES_MSGICON_HEIGHT 40
#endif
