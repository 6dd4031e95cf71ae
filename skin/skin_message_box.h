// The program's own message box: a light-blue dialog with a bitmap icon and
// bitmap push buttons that grows with its text and returns the platform's
// answers (IDOK, IDCANCEL, IDYES, IDNO).
#pragma once

#include <string>

#include "framework/brush.h"
#include "framework/dialog.h"
#include "framework/dispatch.h"
#include "framework/static_control.h"
#include "skin/message_box_logic.h"
#include "skin/nc_ex_button.h"

class CSkinMessageBox;

// The box's icon control. A bitmap static without a bitmap repaints itself
// in the background colour after the box has drawn the icon into it, so it
// draws the icon again in its own painting.
class CBoxIconStatic : public CStatic {
public:
    CSkinMessageBox* box = nullptr;

protected:
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;
};

class CSkinMessageBox : public CDialog {
public:
    explicit CSkinMessageBox(CWnd* parent = nullptr);

    CBoxIconStatic iconControl;
    NCExButton yesButton;
    NCExButton okButton;
    NCExButton noButton;
    NCExButton singleOkButton;
    NCExButton cancelButton;
    CStatic textControl;
    int iconBitmapId = skin::kIconWarning;
    BOOL okOnly = FALSE;
    BOOL okCancel = FALSE;
    BOOL yesNo = FALSE;
    std::string messageText;
    std::string title;

    // Sets the mode and the icon from message box flags.
    void ApplyFlags(UINT flags);
    // Copies the icon bitmap, unscaled and clipped, into the icon control
    // through `target`, a device context of that control.
    void DrawIcon(HDC target);

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

private:
    void OnYes();
    void OnNo();
    void OnSingleOk();
    void OnPaint();
    LRESULT OnGetDefId(WPARAM, LPARAM);
    HBRUSH OnCtlColor(CDC* dc, CWnd* control, UINT kind);
    skin::BoxMode Mode() const;

    CBrush backgroundBrush;
    static const DispatchEntry<CSkinMessageBox> kDispatch[];
};

// Asks through the skinned box; a null text or title counts as empty, an
// empty title shows the program title.
int SkinMessageBox(const char* text, const char* title, UINT flags);
