#include "skin/skin_message_box.h"

#include "framework/client_dc.h"
#include "framework/paint_dc.h"
#include "framework/win_app.h"
#include "resources/resource.h"
#include "skin/ui_globals.h"

const DispatchEntry<CSkinMessageBox> CSkinMessageBox::kDispatch[] = {
    {WM_COMMAND, BN_CLICKED, IDC_MB_YES, &CSkinMessageBox::OnYes},
    {WM_COMMAND, BN_CLICKED, IDC_MB_NO, &CSkinMessageBox::OnNo},
    {WM_COMMAND, BN_CLICKED, IDC_MB_SINGLEOK, &CSkinMessageBox::OnSingleOk},
    {WM_PAINT, &CSkinMessageBox::OnPaint},
    {WM_CTLCOLOR_ANY, &CSkinMessageBox::OnCtlColor},
    {DM_GETDEFID, &CSkinMessageBox::OnGetDefId},
    {},
};

CSkinMessageBox::CSkinMessageBox(CWnd* parent) : CDialog(IDD_SKINMSGBOX, parent) {
    iconControl.box = this;
}

BOOL CSkinMessageBox::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    return DispatchFromTable(this, kDispatch, msg, wp, lp, result) ||
           CDialog::OnWndMsg(msg, wp, lp, result);
}

void CSkinMessageBox::ApplyFlags(UINT flags) {
    const skin::BoxMode mode = skin::BoxModeFromFlags(flags);
    okOnly = mode == skin::BoxMode::kOkOnly;
    okCancel = mode == skin::BoxMode::kOkCancel;
    yesNo = mode == skin::BoxMode::kYesNo;
    iconBitmapId = skin::IconBitmapFromFlags(flags);
}

skin::BoxMode CSkinMessageBox::Mode() const {
    if (yesNo) return skin::BoxMode::kYesNo;
    if (okCancel) return skin::BoxMode::kOkCancel;
    return skin::BoxMode::kOkOnly;
}

void CSkinMessageBox::DoDataExchange() {
    DDX_Control(IDC_MB_ICON, iconControl);
    DDX_Control(IDC_MB_YES, yesButton);
    DDX_Control(IDC_MB_OK, okButton);
    DDX_Control(IDC_MB_NO, noButton);
    DDX_Control(IDC_MB_SINGLEOK, singleOkButton);
    DDX_Control(IDC_MB_CANCEL, cancelButton);
    DDX_Control(IDC_MB_TEXT, textControl);
}

namespace {

skin::Rect32 ScreenRectOf(const CWnd& w) {
    RECT r = {0, 0, 0, 0};
    w.GetWindowRect(&r);
    return {r.left, r.top, r.right, r.bottom};
}

}  // namespace

BOOL CSkinMessageBox::OnInitDialog() {
    CDialog::OnInitDialog();

    skin::BoxLayoutInput in{};
    in.growth = skin::BoxGrowthForLength(messageText.size());
    in.largeFonts = g_bLargeFonts != FALSE;

    // Grow the box at the screen origin; from here on the controls' screen
    // rectangles are handed to MoveWindow as they are.
    RECT box;
    GetWindowRect(&box);
    MoveWindow(0, 0, (box.right - box.left) + in.growth.w, (box.bottom - box.top) + in.growth.h,
               TRUE);
    in.box = ScreenRectOf(*this);
    in.text = ScreenRectOf(textControl);
    in.icon = ScreenRectOf(iconControl);
    in.buttons[skin::kBtnSingleOk] = ScreenRectOf(singleOkButton);
    in.buttons[skin::kBtnOk] = ScreenRectOf(okButton);
    in.buttons[skin::kBtnCancel] = ScreenRectOf(cancelButton);
    in.buttons[skin::kBtnYes] = ScreenRectOf(yesButton);
    in.buttons[skin::kBtnNo] = ScreenRectOf(noButton);
    const skin::BoxLayout layout = skin::ComputeBoxLayout(in);

    textControl.MoveWindow(layout.text.x, layout.text.y, layout.text.width, layout.text.height);
    NCExButton* const order[skin::kBoxButtonCount] = {&singleOkButton, &okButton, &cancelButton,
                                                      &yesButton, &noButton};
    for (int i = 0; i < skin::kBoxButtonCount; ++i) {
        const skin::Placement& p = layout.buttons[i];
        order[i]->MoveWindow(p.x, p.y, p.width, p.height);
    }

    singleOkButton.ShowWindow(okOnly ? SW_SHOW : SW_HIDE);
    okButton.ShowWindow(okCancel ? SW_SHOW : SW_HIDE);
    cancelButton.ShowWindow(okCancel ? SW_SHOW : SW_HIDE);
    yesButton.ShowWindow(yesNo ? SW_SHOW : SW_HIDE);
    noButton.ShowWindow(yesNo ? SW_SHOW : SW_HIDE);

    okButton.SetupBitmapButton(IDC_MB_OK, this);
    singleOkButton.SetupBitmapButton(IDC_MB_SINGLEOK, this);
    cancelButton.SetupBitmapButton(IDC_MB_CANCEL, this);
    yesButton.SetupBitmapButton(IDC_MB_YES, this);
    noButton.SetupBitmapButton(IDC_MB_NO, this);

    if (layout.moveIcon)
        iconControl.MoveWindow(layout.icon.x, layout.icon.y, layout.icon.width, layout.icon.height);

    textControl.SetWindowText(messageText.c_str());
    SetWindowText(title.empty() ? kProgramTitle : title.c_str());
    if (g_pMainDlg && g_pMainDlg->m_hWnd) CenterWindow(g_pMainDlg->m_hWnd);
    return TRUE;
}

void CSkinMessageBox::OnOK() { EndDialog(skin::BoxResultForCommand(skin::kCmdOk, Mode())); }

void CSkinMessageBox::OnCancel() { EndDialog(skin::BoxResultForCommand(skin::kCmdCancel, Mode())); }

void CSkinMessageBox::OnYes() { EndDialog(skin::BoxResultForCommand(skin::kCmdYes, Mode())); }

void CSkinMessageBox::OnNo() { EndDialog(skin::BoxResultForCommand(skin::kCmdNo, Mode())); }

void CSkinMessageBox::OnSingleOk() {
    EndDialog(skin::BoxResultForCommand(skin::kCmdSingleOk, Mode()));
}

LRESULT CSkinMessageBox::OnGetDefId(WPARAM, LPARAM) {
    // The dialog manager asks for the default command when Enter is pressed
    // (owner-drawn buttons never count as default buttons themselves).
    HWND focus = ::GetFocus();
    int focused = 0;
    if (focus && ::GetParent(focus) == m_hWnd && ::IsWindowVisible(focus) &&
        ::IsWindowEnabled(focus))
        focused = ::GetDlgCtrlID(focus);
    const int command = skin::EnterCommand(Mode(), focused);
    return command ? MAKELRESULT(command, DC_HASDEFID) : 0;
}

void CSkinMessageBox::OnPaint() {
    CPaintDC paint(m_hWnd);
    CClientDC target(iconControl.m_hWnd);
    DrawIcon(target.GetSafeHdc());
}

void CSkinMessageBox::DrawIcon(HDC targetDc) {
    if (!targetDc || !iconControl.m_hWnd) return;
    HBITMAP icon =
        static_cast<HBITMAP>(::LoadImageA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(iconBitmapId),
                                          IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    if (!icon) return;  // the icon area stays empty; the box still works
    BITMAP info;
    RECT area;
    iconControl.GetClientRect(&area);
    if (::GetObjectA(icon, sizeof info, &info)) {
        CDC target(targetDc);
        CDC memory;
        if (memory.CreateCompatibleDC(&target)) {
            HGDIOBJ previous = memory.SelectObject(icon);
            const int width = info.bmWidth < area.right ? info.bmWidth : area.right;
            const int height = info.bmHeight < area.bottom ? info.bmHeight : area.bottom;
            target.BitBlt(0, 0, width, height, &memory, 0, 0, SRCCOPY);
            memory.SelectObject(previous);
        }
    }
    ::DeleteObject(icon);
}

BOOL CBoxIconStatic::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    if (msg != WM_PAINT || !box) return CStatic::OnWndMsg(msg, wp, lp, result);
    CPaintDC paint(m_hWnd);
    box->DrawIcon(paint.GetSafeHdc());
    *result = 0;
    return TRUE;
}

HBRUSH CSkinMessageBox::OnCtlColor(CDC* dc, CWnd*, UINT kind) {
    HBRUSH brush = reinterpret_cast<HBRUSH>(Default());
    dc->SetBkMode(TRANSPARENT);
    if (kind == CTLCOLOR_DLG || kind == CTLCOLOR_STATIC) {
        if (!backgroundBrush.GetSafeHandle()) backgroundBrush.CreateSolidBrush(kBodyBlue);
        if (backgroundBrush.GetSafeHandle()) return backgroundBrush.Handle();
    }
    return brush;
}

int SkinMessageBox(const char* text, const char* title, UINT flags) {
    CSkinMessageBox box;
    box.messageText = text ? text : "";
    box.title = title ? title : "";
    box.ApplyFlags(flags);
    return static_cast<int>(box.DoModal());
}
