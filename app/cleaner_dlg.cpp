#include "app/cleaner_dlg.h"

#include <shellapi.h>

#include <cstring>

#include "app/product_check.h"
#include "app/result_list_logic.h"
#include "app/window_report.h"
#include "scan/scan_context.h"
#include "engine/scan_run.h"
#include "framework/paint_dc.h"
#include "framework/win_app.h"
#include "framework/window_dc.h"
#include "platform/crt.h"
#include "resources/resource.h"
#include "skin/region.h"
#include "skin/skin_message_box.h"
#include "skin/ui_globals.h"

namespace {

constexpr UINT_PTR kScanTimerId = app::kScanTimerId;
constexpr UINT kScanTimerPeriod = app::kScanTimerPeriodMs;
// Held-back status repaints catch up through this timer.
constexpr UINT_PTR kStatusTimerId = 101;
constexpr DWORD kStatusRepaintMs = 50;
constexpr LONG_PTR kSysMenuAndMinimizeBox = 0x000A0000;
constexpr COLORREF kMagentaKey = RGB(255, 0, 255);

constexpr const char* kThreatName = "W32/Vendrika";
constexpr const char* kMakerNotice = "Copyright (C) 2003 Quillon Software. All rights reserved.";
constexpr const char* kProductNoticeText = "This program is a part of Wardenix antivirus software.";
constexpr const char* kDownloadPage = "http://www.quillon.example/download/downloadnow.htm";
constexpr const char* kUtilityPage = "http://www.quillon.example/download/utility.htm";

// The engine's notifications share their numbers with WM_ENABLE and
// WM_SETREDRAW; any arrival of them is the notification.
static_assert(WM_SCAN_STATUS == WM_ENABLE && WM_SCAN_ADDLINE == WM_SETREDRAW,
              "notification numbers");

// Copies a fixed engine buffer into `out` even if it lacks its terminator.
template <size_t N, size_t M>
void CopyEngineText(char (&out)[N], const char (&in)[M]) {
    static_assert(N > M, "room for the terminator");
    size_t n = 0;
    while (n < M && in[n]) ++n;
    std::memcpy(out, in, n);
    out[n] = '\0';
}

// The result list's operations on the real list box.
class ListBoxOps : public app::ResultListOps {
public:
    explicit ListBoxOps(CListBox& list) : list_(list) {}
    int Count() override { return list_.GetCount(); }
    void Reset() override { list_.ResetContent(); }
    void Add(const char* line) override { list_.AddString(line); }
    void SetCurSel(int index) override { list_.SetCurSel(index); }
    bool BeginMeasure() override {
        // No font is selected: lines are measured in the context's default
        // font, as the list's own extent rule has always done.
        dc_ = ::GetDC(list_.m_hWnd);
        return dc_ != nullptr;
    }
    int MeasureLine(int index) override {
        char text[kReportLineSize + 64];
        if (!list_.GetTextBounded(index, text, int(sizeof text))) return 0;
        SIZE size = {0, 0};
        if (!::GetTextExtentPoint32A(dc_, text, int(std::strlen(text)), &size)) return 0;
        return size.cx;
    }
    void EndMeasure() override {
        ::ReleaseDC(list_.m_hWnd, dc_);
        dc_ = nullptr;
    }
    int GetHorizontalExtent() override { return list_.GetHorizontalExtent(); }
    void SetHorizontalExtent(int extent) override { list_.SetHorizontalExtent(extent); }

private:
    CListBox& list_;
    HDC dc_ = nullptr;
};

// A group box does not erase what its old caption covered; repaint the
// window's face under it so no remnant of "Scanning" stays behind.
void RepaintBehind(CWnd& control) {
    HWND parent = ::GetParent(control.m_hWnd);
    RECT r;
    control.GetWindowRect(&r);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    ::RedrawWindow(parent, &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

ShellExecuteFn g_shellExecute = &::ShellExecuteA;

void OpenPage(const char* address) {
    char url[512];
    crt::CopyText(url, address);
    g_shellExecute(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace

const DispatchEntry<CCleanerDlg> CCleanerDlg::kDispatch[] = {
    {WM_SCAN_STATUS, &CCleanerDlg::OnStatusText},
    {WM_SCAN_ADDLINE, &CCleanerDlg::OnReportLine},
    {WM_TIMER, &CCleanerDlg::OnTimer},
    {WM_PAINT, &CCleanerDlg::OnPaint},
    {WM_COMMAND, BN_CLICKED, IDC_SCAN, &CCleanerDlg::OnScan},
    {WM_COMMAND, BN_CLICKED, IDC_CLOSEBOX, &CCleanerDlg::OnCloseBox},
    {WM_COMMAND, BN_CLICKED, IDC_DOWNLOAD, &CCleanerDlg::OnDownload},
    {WM_CTLCOLOR_ANY, &CCleanerDlg::OnCtlColor},
    {WM_LBUTTONDOWN, &CCleanerDlg::OnLButtonDown},
    {WM_COMMAND, BN_CLICKED, IDC_DONE, &CCleanerDlg::OnDone},
    {WM_COMMAND, BN_CLICKED, IDC_DLINK, &CCleanerDlg::OnDownload},
    {WM_COMMAND, BN_CLICKED, IDC_ULINK, &CCleanerDlg::OnUtilityLink},
    {},
};

CCleanerDlg::CCleanerDlg(CWnd* parent) : CDialog(IDD_CLEANVENDRIKA_DIALOG, parent) {
    icon = ::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CCleanerDlg::~CCleanerDlg() {
    if (g_pMainDlg == this) g_pMainDlg = nullptr;
    // The background and its context live as long as the window object.
    if (memoryDc) {
        memoryDc->SelectObject(previousBitmap);
        delete memoryDc;
    }
    if (backgroundBitmap) ::DeleteObject(backgroundBitmap);
}

BOOL CCleanerDlg::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    return DispatchFromTable(this, kDispatch, msg, wp, lp, result) ||
           CDialog::OnWndMsg(msg, wp, lp, result);
}

void CCleanerDlg::DoDataExchange() {
    DDX_Control(IDC_RESULT_FRAME, resultFrame);
    DDX_Control(IDC_LOGO, logoButton);
    DDX_Control(IDC_ULINK, utilityLink);
    DDX_Control(IDC_DLINK, downloadLink);
    DDX_Control(IDC_PROGRESS, progressLine);
    DDX_Control(IDC_PRODUCT_NOTICE, productNotice);
    DDX_Control(IDC_DESCRIPTION, descriptionLine);
    DDX_Control(IDC_MAKER_NOTICE, makerNotice);
    DDX_Control(IDC_TITLE, titleLabel);
    DDX_Control(IDC_CANCEL_SCAN, cancelButton);
    DDX_Control(IDC_STATUS_FRAME, statusFrame);
    DDX_Control(IDC_STATUS, statusLine);
    DDX_Control(IDC_RESULTLIST, ResultList);
    DDX_Control(IDC_CLOSEBOX, closeBox);
    DDX_Control(IDC_DOWNLOAD, downloadButton);
    DDX_Control(IDC_SCAN, scanButton);
    DDX_Control(IDC_DONE, okButton);
}

int CreateBoldFont(CFont& font, int height, int weight, BOOL underline, BOOL italic) {
    HFONT base = g_pMainDlg ? g_pMainDlg->GetFont() : nullptr;
    if (!base) base = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
    LOGFONTA description = {};
    ::GetObjectA(base, sizeof description, &description);
    description.lfHeight = height;
    description.lfWeight = weight;
    description.lfUnderline = underline ? 1 : 0;
    description.lfItalic = italic ? 1 : 0;
    font.CreateFontIndirect(&description);
    return 1;
}

BOOL CCleanerDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    statusLine.ShowWindow(SW_HIDE);
    statusFrame.ShowWindow(SW_HIDE);
    progressLine.ShowWindow(SW_HIDE);
    ResultList.ShowWindow(SW_HIDE);
    resultFrame.ShowWindow(SW_HIDE);
    cancelButton.ShowWindow(SW_HIDE);
    okButton.EnableWindow(FALSE);
    okButton.ShowWindow(SW_HIDE);

    g_pMainDlg = this;
    CreateBoldFont(g_fontBold, 15, 700, FALSE, FALSE);

    char text[kMaxPath];
    crt::CopyText(text, kProgramTitle);
    crt::AppendText(text, " - Tool to detect and remove all the variants of ");
    crt::AppendText(text, kThreatName);
    crt::AppendText(text, " Trojan");
    descriptionLine.SetWindowText(text);

    std::memset(text, 0, sizeof text);
    crt::FormatText(text, sizeof text, "for %s", kThreatName);
    crt::AppendText(text, " Trojan");
    titleLabel.SetWindowText(text);

    makerNotice.SetWindowText(kMakerNotice);
    productNotice.SetWindowText(kProductNoticeText);

    {
        CWindowDC dc(m_hWnd);
        g_bLargeFonts = dc.GetSafeHdc() && dc.GetDeviceCaps(LOGPIXELSX) >= 120;
    }

    ScaleChildWindows(m_hWnd, 600, 337);
    MoveWindow(0, 0, 600, 462, TRUE);

    char product[app::kProductBufferSize];
    std::memset(product, 0, sizeof product);
    if (app::IsProductInstalled(app::kProductKey, app::kProductValue, product, sizeof product)) {
        downloadLink.EnableWindow(FALSE);
        downloadLink.ShowWindow(SW_HIDE);
        downloadButton.EnableWindow(FALSE);
    } else {
        productNotice.ShowWindow(SW_HIDE);
    }

    g_hbrWhite = ::CreateSolidBrush(RGB(255, 255, 255));

    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
    ModifyStyle(0, kSysMenuAndMinimizeBox);

    backgroundBitmap =
        static_cast<HBITMAP>(::LoadImageA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDB_BACKGROUND),
                                          IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    if (HRGN region = CreateRegionFromBitmap(backgroundBitmap, kMagentaKey, TRUE)) {
        windowRegion = region;
        SetWindowRgn(region, TRUE);  // the system owns the region from here on
    }

    if (backgroundBitmap) {
        ::GetObjectA(backgroundBitmap, sizeof backgroundInfo, &backgroundInfo);
        memoryDc = new CDC;
        if (memoryDc->CreateCompatibleDC(nullptr)) {
            previousBitmap = memoryDc->SelectObject(backgroundBitmap);
        } else {
            delete memoryDc;
            memoryDc = nullptr;
        }
    }

    okButton.SetupBitmapButton(IDC_DONE, this);
    cancelButton.SetupBitmapButton(IDC_CANCEL_SCAN, this);
    scanButton.SetupBitmapButton(IDC_SCAN, this);
    downloadButton.SetupBitmapButton(IDC_DOWNLOAD, this);
    closeBox.SetupBitmapButton(IDC_CLOSEBOX, this);
    utilityLink.SetupBitmapButton(IDC_ULINK, this);
    downloadLink.SetupBitmapButton(IDC_DLINK, this);
    logoButton.SetupBitmapButton(IDC_LOGO, this);

    SetWindowText(kProgramTitle);

    for (CExButton* b : {&scanButton, &closeBox, &downloadButton, &okButton, &cancelButton,
                         &downloadLink, &utilityLink})
        b->LoadHandCursor();
    return TRUE;
}

void CCleanerDlg::OnPaint() {
    CPaintDC dc(m_hWnd);
    if (memoryDc)
        dc.BitBlt(0, 0, backgroundInfo.bmWidth, backgroundInfo.bmHeight, memoryDc, 0, 0, SRCCOPY);
}

HBRUSH CCleanerDlg::OnCtlColor(CDC* dc, CWnd* control, UINT kind) {
    HBRUSH brush = reinterpret_cast<HBRUSH>(Default());
    dc->SetBkMode(TRANSPARENT);
    if (control && control->GetDlgCtrlID() == IDC_TITLE) return brush;
    if ((kind == CTLCOLOR_DLG || kind == CTLCOLOR_STATIC) && g_hbrWhite) return g_hbrWhite;
    return brush;
}

void CCleanerDlg::OnLButtonDown(UINT, POINT pt) {
    // Pressing anywhere on the body drags the captionless window.
    PostMessage(WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(pt.x, pt.y));
    Default();
}

void CCleanerDlg::OnOK() {}

void SetShellExecuteForTest(ShellExecuteFn fn) { g_shellExecute = fn ? fn : &::ShellExecuteA; }

void CCleanerDlg::OnScan() {
    if (!scanControl.Start()) return;

    scanButton.EnableWindow(FALSE);
    utilityLink.EnableWindow(FALSE);
    utilityLink.ShowWindow(SW_HIDE);
    downloadLink.EnableWindow(FALSE);
    downloadLink.ShowWindow(SW_HIDE);
    cancelButton.EnableWindow(TRUE);
    cancelButton.ShowWindow(SW_SHOW);
    okButton.EnableWindow(TRUE);

    descriptionLine.ShowWindow(SW_HIDE);
    productNotice.ShowWindow(SW_HIDE);
    makerNotice.ShowWindow(SW_HIDE);

    progressLine.ShowWindow(SW_SHOW);
    ResultList.ShowWindow(SW_SHOW);
    statusLine.ShowWindow(SW_SHOW);
    statusFrame.ShowWindow(SW_SHOW);
    resultFrame.ShowWindow(SW_SHOW);

    statusFrame.SetWindowText("Scanning");
    cancelButton.ShowWindow(SW_SHOW);

    char text[kMaxPath];
    crt::CopyText(text, "Searching for ");
    crt::AppendText(text, kThreatName);
    crt::AppendText(text, " Trojan and its variants");
    progressLine.SetWindowText(text);

    if (!progressFont.GetSafeHandle()) {
        LOGFONTA lf = {};
        lf.lfHeight = 15;
        lf.lfWeight = FW_BOLD;
        lf.lfCharSet = ANSI_CHARSET;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        lf.lfQuality = DEFAULT_QUALITY;
        lf.lfPitchAndFamily = FF_SWISS;
        crt::CopyText(lf.lfFaceName, sizeof lf.lfFaceName, "Arial");
        progressFont.CreateFontIndirect(&lf);
    }
    progressLine.SetFont(progressFont.Handle(), TRUE);

    crt::CopyText(g_scan.targetPath, "!:");
    g_scan.mainWindow = reinterpret_cast<pf::HWND>(m_hWnd);

    SetTimer(kScanTimerId, kScanTimerPeriod);
}

void CCleanerDlg::OnTimer(UINT_PTR id) {
    if (id == kStatusTimerId) {
        FlushStatusText();
        return;
    }
    Default();
    // Only the scan timer's tick while the scan is starting, outside any
    // question, starts the run: a stray tick (one posted by another program
    // included) would scan with no target and no window, and a run started
    // inside a question's loop would run whole under the question.
    if (!scanControl.TickStartsRun(id)) return;
    KillTimer(kScanTimerId);
    // A stop confirmed while the scan was starting stays confirmed.
    if (scanControl.BeginRun()) g_scan.cancelled = false;
    {
        app::ScopedWindowReport report;  // the scan's events as this window's lines
        RunScan();  // pumps this window's messages between directory entries
    }
    FlushStatusText();

    cancelButton.ShowWindow(SW_HIDE);
    okButton.ShowWindow(SW_SHOW);
    progressLine.ShowWindow(SW_HIDE);
    statusFrame.SetWindowText("");
    RepaintBehind(statusFrame);
    scanControl.EndRun();
}

LRESULT CCleanerDlg::OnStatusText(WPARAM, LPARAM) {
    static_assert(sizeof pendingStatus >= sizeof g_scan.statusText + 1, "status buffer");
    CopyEngineText(pendingStatus, g_scan.statusText);
    statusPending = true;
    // The final texts and anything after a pause are painted at once; a
    // stream of paths from the walk at most every kStatusRepaintMs.
    // The catch-up timer is started once per held-back repaint, not
    // restarted for every path: each timer call is a round trip to the
    // window server on some systems, and the walk sends a path per entry.
    if (g_scan.summaryStarted || ::GetTickCount() - statusPaintedAt >= kStatusRepaintMs) {
        FlushStatusText();
    } else if (!statusTimerSet) {
        SetTimer(kStatusTimerId, kStatusRepaintMs);
        statusTimerSet = true;
    }
    return 0;
}

void CCleanerDlg::FlushStatusText() {
    if (!statusPending) return;
    statusPending = false;
    if (statusTimerSet) {
        KillTimer(kStatusTimerId);
        statusTimerSet = false;
    }
    statusLine.SetWindowText(pendingStatus);
    statusPaintedAt = ::GetTickCount();
}

LRESULT CCleanerDlg::OnReportLine(WPARAM, LPARAM) {
    FlushStatusText();
    // Each line the engine formats is added once: the line is marked taken,
    // so a WM_SETREDRAW (the same number) from the system or another program
    // adds no copy of it.
    if (!g_scan.reportLine[0]) return 0;
    char line[sizeof g_scan.reportLine + 1];
    CopyEngineText(line, g_scan.reportLine);
    g_scan.reportLine[0] = '\0';
    ListBoxOps list(ResultList);
    app::AppendReportLine(list, line, g_scan.summaryStarted);
    return 0;
}

void CCleanerDlg::UpdateHorizontalExtent() {
    ListBoxOps list(ResultList);
    app::UpdateHorizontalExtent(list);
}

void CCleanerDlg::AskToStop(const char* title) {
    FlushStatusText();
    // Before the run has begun the scan timer waits for the answer: its tick
    // inside the question's loop would run the whole scan under the question.
    const bool holdTimer = scanControl.HoldsTimerDuringQuestion();
    if (holdTimer) KillTimer(kScanTimerId);
    scanControl.QuestionOpened();
    const bool stop =
        SkinMessageBox("Terminate the Scan now?", title, MB_YESNO | MB_ICONQUESTION) == IDYES;
    scanControl.QuestionClosed(stop);
    if (holdTimer) SetTimer(kScanTimerId, kScanTimerPeriod);
    if (!stop) return;
    cancelButton.ShowWindow(SW_HIDE);
    okButton.ShowWindow(SW_SHOW);
    g_scan.cancelled = true;
}

void CCleanerDlg::OnCancel() {
    if (!scanControl.Scanning()) {
        CDialog::OnCancel();
        return;
    }
    AskToStop(kProgramTitle);
}

void CCleanerDlg::OnCloseBox() {
    if (!scanControl.Scanning()) {
        CDialog::OnCancel();
        return;
    }
    AskToStop("DialogBoxTitle");
}

void CCleanerDlg::OnDone() { CDialog::OnOK(); }

void CCleanerDlg::OnDownload() { OpenPage(kDownloadPage); }

void CCleanerDlg::OnUtilityLink() { OpenPage(kUtilityPage); }
