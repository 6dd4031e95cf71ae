// The skinned message box run modally for real: buttons, icon, answers,
// growth and caption.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/tests/window_test_util.h"
#include "resources/resource.h"
#include "skin/skin_message_box.h"

namespace {

struct Seen {
    bool single = false, ok = false, cancel = false, yes = false, no = false;
    std::string caption, text;
    RECT box = {}, icon = {}, text_rect = {};
    int iconClientTop = 0, textClientTop = 0;
    int clientOffsetX = 0;  // the client area's left edge within the box
};

int ClientTop(HWND box, HWND control) {
    RECT r = wtest::ScreenRect(control);
    POINT pt{r.left, r.top};
    ::ScreenToClient(box, &pt);
    return pt.y;
}

// Shows the box, records what it shows, then ends it with `command`
// (a button id, or IDCANCEL for Escape and the close box).
int AskAndAnswer(const char* text, const char* title, UINT flags, int command, Seen* seen) {
    return int(
        wtest::DriveModal([&] { return INT_PTR(SkinMessageBox(text, title, flags)); },
                          [&](HWND box) {
                              seen->single = wtest::Visible(box, IDC_MB_SINGLEOK);
                              seen->ok = wtest::Visible(box, IDC_MB_OK);
                              seen->cancel = wtest::Visible(box, IDC_MB_CANCEL);
                              seen->yes = wtest::Visible(box, IDC_MB_YES);
                              seen->no = wtest::Visible(box, IDC_MB_NO);
                              seen->caption = wtest::WindowText(box);
                              seen->text = wtest::WindowText(::GetDlgItem(box, IDC_MB_TEXT));
                              seen->box = wtest::ScreenRect(box);
                              seen->icon = wtest::ScreenRect(::GetDlgItem(box, IDC_MB_ICON));
                              seen->text_rect = wtest::ScreenRect(::GetDlgItem(box, IDC_MB_TEXT));
                              seen->iconClientTop = ClientTop(box, ::GetDlgItem(box, IDC_MB_ICON));
                              seen->textClientTop = ClientTop(box, ::GetDlgItem(box, IDC_MB_TEXT));
                              POINT origin{0, 0};
                              ::ClientToScreen(box, &origin);
                              seen->clientOffsetX = origin.x - seen->box.left;
                              if (command == IDCANCEL)
                                  ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
                              else
                                  wtest::PostClick(box, command);
                          }));
}

}  // namespace

TEST(SkinMessageBoxRun, YesNoQuestionAnswersSixSevenAndSevenOnEscape) {
    Seen s;
    EXPECT_EQ(AskAndAnswer("Terminate the Scan now?", "Title", 0x24, IDC_MB_YES, &s), IDYES);
    EXPECT_TRUE(s.yes && s.no);
    EXPECT_FALSE(s.single || s.ok || s.cancel);
    EXPECT_EQ(s.caption, "Title");
    EXPECT_EQ(s.text, "Terminate the Scan now?");
    EXPECT_EQ(AskAndAnswer("Terminate the Scan now?", "Title", 0x24, IDC_MB_NO, &s), IDNO);
    EXPECT_EQ(AskAndAnswer("Terminate the Scan now?", "Title", 0x24, IDCANCEL, &s), IDNO);
}

TEST(SkinMessageBoxRun, OkCancelAndSingleOkAnswers) {
    Seen s;
    EXPECT_EQ(AskAndAnswer("Restart now?", "T", 0x41, IDC_MB_OK, &s), IDOK);
    EXPECT_TRUE(s.ok && s.cancel);
    EXPECT_FALSE(s.single || s.yes || s.no);
    EXPECT_EQ(AskAndAnswer("Restart now?", "T", 0x41, IDC_MB_CANCEL, &s), IDCANCEL);
    EXPECT_EQ(AskAndAnswer("Restart now?", "T", 0x41, IDCANCEL, &s), IDCANCEL);
    // Yes, no and cancel show OK and Cancel.
    EXPECT_EQ(AskAndAnswer("x", "T", 0x3, IDC_MB_OK, &s), IDOK);
    EXPECT_TRUE(s.ok && s.cancel && !s.yes);

    EXPECT_EQ(AskAndAnswer("Notice", "T", 0, IDC_MB_SINGLEOK, &s), IDOK);
    EXPECT_TRUE(s.single);
    EXPECT_FALSE(s.ok || s.cancel || s.yes || s.no);
    EXPECT_EQ(AskAndAnswer("Notice", "T", 0, IDCANCEL, &s), IDCANCEL);
}

TEST(SkinMessageBoxRun, EmptyOrNullTitleShowsTheProgramTitle) {
    Seen s;
    AskAndAnswer("a", "", 0, IDC_MB_SINGLEOK, &s);
    EXPECT_EQ(s.caption, "CleanVendrika Ver 1.0");
    AskAndAnswer(nullptr, nullptr, 0, IDC_MB_SINGLEOK, &s);
    EXPECT_EQ(s.caption, "CleanVendrika Ver 1.0");
    EXPECT_EQ(s.text, "");
}

TEST(SkinMessageBoxRun, TheBoxGrowsWithItsTextByTheFixedSteps) {
    Seen s23, s95, s186;
    AskAndAnswer(std::string(23, 'a').c_str(), "T", 0, IDC_MB_SINGLEOK, &s23);
    AskAndAnswer(std::string(95, 'a').c_str(), "T", 0, IDC_MB_SINGLEOK, &s95);
    AskAndAnswer(std::string(186, 'a').c_str(), "T", 0, IDC_MB_SINGLEOK, &s186);
    // Growth over the template: 12 x 7, 50 x 28 and 87 x 49 pixels.
    EXPECT_EQ(wtest::Width(s95.box) - wtest::Width(s23.box), 50 - 12);
    EXPECT_EQ(wtest::Height(s95.box) - wtest::Height(s23.box), 28 - 7);
    EXPECT_EQ(wtest::Width(s186.box) - wtest::Width(s23.box), 87 - 12);
    EXPECT_EQ(wtest::Height(s186.box) - wtest::Height(s23.box), 49 - 7);
    // The text control grows with the box.
    EXPECT_EQ(wtest::Width(s95.text_rect) - wtest::Width(s23.text_rect), 50 - 12);
}

TEST(SkinMessageBoxRun, NinetyCharactersLiftTheIconEightyNineDoNot) {
    Seen s89, s90;
    AskAndAnswer(std::string(89, 'b').c_str(), "T", 0, IDC_MB_SINGLEOK, &s89);
    AskAndAnswer(std::string(90, 'b').c_str(), "T", 0, IDC_MB_SINGLEOK, &s90);
    // 89: the template's place (y 0). 90: 30 pixels above the text's screen
    // top as read at the origin, which the text's own move (25 up) tells.
    EXPECT_EQ(s89.iconClientTop, 0);
    EXPECT_EQ(s90.iconClientTop, s90.textClientTop + 25 - 30);
    EXPECT_EQ(wtest::Height(s89.icon), wtest::Height(s90.icon));
    // The moved icon keeps its screen left edge as read at the origin, which
    // as a client position lies one frame width further right.
    EXPECT_EQ(s90.icon.left - s90.box.left, s89.icon.left - s89.box.left + s90.clientOffsetX);
}

TEST(SkinMessageBoxRun, TheBoxAndItsStaticsGetTheBodyBlueOtherControlsTheDefault) {
    struct Row {
        const char* what;
        UINT message;
        int control;  // 0: the box itself
        bool blue;
    };
    const Row table[] = {
        {"box background", WM_CTLCOLORDLG, 0, true},
        {"text", WM_CTLCOLORSTATIC, IDC_MB_TEXT, true},
        {"icon", WM_CTLCOLORSTATIC, IDC_MB_ICON, true},
        {"YES", WM_CTLCOLORBTN, IDC_MB_YES, false},
    };
    bool checked = false;
    wtest::DriveModal([&] { return INT_PTR(SkinMessageBox("Stop?", "T", 0x24)); },
                      [&](HWND box) {
                          checked = true;
                          HDC dc = ::GetDC(box);
                          for (const Row& row : table) {
                              HWND control = row.control ? ::GetDlgItem(box, row.control) : box;
                              ::SetBkMode(dc, OPAQUE);
                              const HBRUSH brush = reinterpret_cast<HBRUSH>(::SendMessageA(
                                  box, row.message, reinterpret_cast<WPARAM>(dc),
                                  reinterpret_cast<LPARAM>(control)));
                              EXPECT_EQ(::GetBkMode(dc), TRANSPARENT) << row.what;
                              LOGBRUSH lb = {};
                              ASSERT_TRUE(::GetObjectA(brush, sizeof lb, &lb)) << row.what;
                              if (row.blue) {
                                  EXPECT_EQ(lb.lbStyle, UINT(BS_SOLID)) << row.what;
                                  EXPECT_EQ(lb.lbColor, COLORREF(0x00FEE9CF)) << row.what;
                              } else {
                                  EXPECT_EQ(reinterpret_cast<LRESULT>(brush),
                                            ::DefWindowProcA(box, row.message,
                                                             reinterpret_cast<WPARAM>(dc),
                                                             reinterpret_cast<LPARAM>(control)))
                                      << row.what;
                              }
                          }
                          ::ReleaseDC(box, dc);
                          wtest::PostClick(box, IDC_MB_NO);
                      });
    EXPECT_TRUE(checked);
}

TEST(SkinMessageBoxRun, EnterPressesTheFocusedButtonAndWithoutOneAnswersNo) {
    struct Row {
        UINT flags;
        int focus;  // the control given the focus before Enter (the text: no button)
        int answer;
    };
    const Row table[] = {
        {0x24, IDC_MB_YES, IDYES}, {0x24, IDC_MB_NO, IDNO},         {0x24, IDC_MB_TEXT, IDNO},
        {0x41, IDC_MB_OK, IDOK},   {0x41, IDC_MB_CANCEL, IDCANCEL}, {0x41, IDC_MB_TEXT, IDOK},
        {0, IDC_MB_SINGLEOK, IDOK},
    };
    for (const Row& row : table) {
        const int answer = int(wtest::DriveModal(
            [&] { return INT_PTR(SkinMessageBox("Terminate the Scan now?", "T", row.flags)); },
            [&](HWND box) {
                HWND target = ::GetDlgItem(box, row.focus);
                ::SetFocus(target);
                EXPECT_EQ(::GetFocus(), target);
                ::PostMessageA(target, WM_KEYDOWN, VK_RETURN, 0);
            }));
        EXPECT_EQ(answer, row.answer) << "flags " << row.flags << " focus " << row.focus;
    }
}
