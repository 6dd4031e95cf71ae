// The main window: a captionless dialog whose face and outline come from its
// background bitmap. Before a scan it shows the title, the description, the
// maker's notice, SCAN, DOWNLOAD and the links; during and after a scan the
// progress line, the status line and the result list.
#pragma once

#include "app/scan_control_logic.h"
#include "framework/button.h"
#include "framework/dialog.h"
#include "framework/dispatch.h"
#include "framework/font.h"
#include "framework/list_box.h"
#include "framework/static_control.h"
#include "skin/ex_button.h"
#include "skin/title_label.h"

class CDC;

class CCleanerDlg : public CDialog {
public:
    explicit CCleanerDlg(CWnd* parent = nullptr);
    ~CCleanerDlg() override;

    // Controls, bound to the template's controls by id.
    CButton resultFrame;       // 1034
    CExButton logoButton;      // 1085
    CExButton utilityLink;     // 1080
    CExButton downloadLink;    // 1077
    CStatic progressLine;      // 1076
    CStatic productNotice;     // 1075
    CStatic descriptionLine;   // 1074
    CStatic makerNotice;       // 1072
    CTitleLabel titleLabel;    // 1068
    CExButton cancelButton;    // 2
    CButton statusFrame;       // 1064
    CStatic statusLine;        // 1065
    CListBox ResultList;       // 1055
    CExButton closeBox;        // 1054 (X)
    CExButton downloadButton;  // 1053
    CExButton scanButton;      // 1052
    CExButton okButton;        // 1070

    HICON icon = nullptr;
    HBITMAP backgroundBitmap = nullptr;
    HGDIOBJ previousBitmap = nullptr;
    CDC* memoryDc = nullptr;
    HRGN windowRegion = nullptr;
    BITMAP backgroundInfo = {};

    void UpdateHorizontalExtent();

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    void OnOK() override;      // Enter: nothing at all
    void OnCancel() override;  // CANCEL, Escape, the close command
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

private:
    LRESULT OnStatusText(WPARAM wp, LPARAM lp);
    LRESULT OnReportLine(WPARAM wp, LPARAM lp);
    void OnTimer(UINT_PTR id);
    void OnPaint();
    void OnScan();
    void OnCloseBox();
    void OnDownload();
    HBRUSH OnCtlColor(CDC* dc, CWnd* control, UINT kind);
    void OnLButtonDown(UINT flags, POINT pt);
    void OnDone();
    void OnUtilityLink();

    // A close request while scanning asks whether to stop, under `title`.
    void AskToStop(const char* title);

public:
    // Paints the latest status text now if a repaint was held back.
    void FlushStatusText();

private:
    // The walk sends the status for every directory entry; painting the
    // control that often costs more than the walk itself. The newest text is
    // kept and painted at most every kStatusRepaintMs, and always before a
    // report line, a question or the end of the scan.
    char pendingStatus[261] = {};
    bool statusPending = false;
    bool statusTimerSet = false;  // the catch-up timer runs
    DWORD statusPaintedAt = 0;

    CFont progressFont;
    app::ScanControl scanControl;
    static const DispatchEntry<CCleanerDlg> kDispatch[];
};

// The shell's open operation through which the links open their pages;
// tests put their own in to see the calls (null puts ShellExecuteA back).
using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
void SetShellExecuteForTest(ShellExecuteFn fn);

// Fills `font` with the main window's font (or the system font) at the given
// height and weight. Returns 1.
int CreateBoldFont(CFont& font, int height, int weight, BOOL underline, BOOL italic);
