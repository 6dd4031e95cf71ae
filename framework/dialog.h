// A modal dialog built from a dialog template of the program's resources.
//
// DoModal runs the system's modal loop; the dialog's messages reach
// OnWndMsg, where a derived class looks up its dispatch table first. Enter
// reaches OnOK, Escape and the close command OnCancel; both end the run.
#pragma once

#include "framework/wnd.h"

class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)

public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    // Unbinds a dialog window that outlives its object.
    ~CDialog() override;

    // Runs the dialog; returns the EndDialog result, or -1 when the dialog
    // could not be created. A dialog without a parent is owned by the
    // application's main window, which stays disabled meanwhile.
    virtual INT_PTR DoModal();
    void EndDialog(int result);

protected:
    // Binds the members to their controls; the base binds nothing.
    virtual void DoDataExchange() {}
    // Subclasses the control `id` into `control` unless it is bound already.
    void DDX_Control(int id, CWnd& control);

    // The base runs the data exchange and returns TRUE (let the system set
    // the focus).
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    // Handles IDOK, IDCANCEL and the reflection of WM_DRAWITEM to the control
    // it concerns.
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;
    // The system's default processing of the current message.
    LRESULT Default();

    UINT m_templateId;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    // Centres a dialog that set-up left hidden at the place it opened at.
    void CenterIfNotPlaced(const RECT& before);
};
