// The main window through a whole scan: the window and its questions are
// real, the machine being scanned is the simulated one (so the scan is the
// same everywhere and deletes nothing real).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/cleaner_dlg.h"
#include "app/tests/window_test_util.h"
#include "scan/scan_context.h"
#include "platform/sim/sim_machine.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"
#include "skin/skin_message_box.h"
#include "skin/ui_globals.h"

namespace {

// The simulated machine with the real window system: messages, the pump
// and the questions go to the real windows.
class WindowedSimMachine : public pf::sim::SimMachine {
public:
    DWORD slowdownMs = 0;  // real time spent on each further directory entry
    DWORD firstSendAt = 0;  // tick count of the run's first notification

    pf::BOOL FindNextFileA(pf::HANDLE find, pf::FindDataA* data) override {
        if (slowdownMs) ::Sleep(slowdownMs);
        return SimMachine::FindNextFileA(find, data);
    }
    pf::BOOL PeekMessageA(pf::Msg* msg, pf::HWND window, pf::UINT min, pf::UINT max,
                          pf::UINT remove) override {
        return Real().PeekMessageA(msg, window, min, max, remove);
    }
    pf::BOOL TranslateMessage(const pf::Msg* msg) override { return Real().TranslateMessage(msg); }
    pf::LRESULT DispatchMessageA(const pf::Msg* msg) override {
        return Real().DispatchMessageA(msg);
    }
    pf::LRESULT SendMessageA(pf::HWND window, pf::UINT message, pf::WPARAM wp,
                             pf::LPARAM lp) override {
        if (!firstSendAt) firstSendAt = ::GetTickCount();
        return Real().SendMessageA(window, message, wp, lp);
    }
    int SkinMessageBox(const char* text, const char* title, pf::UINT flags) override {
        return Real().SkinMessageBox(text, title, flags);
    }

private:
    static pf::Platform& Real() { return pf::win32::RealPlatform(); }
};

class ScanWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ResetScanContextForTest();
        pf::win32::SetSkinMessageBoxHandler(&SkinMessageBoxForTest);
        for (int d = 0; d < 10; ++d)
            for (int f = 0; f < 20; ++f)
                machine.AddFile(
                    "C:\\data" + std::to_string(d) + "\\file" + std::to_string(f) + ".txt",
                    "plain text, not a program");
    }
    void TearDown() override {
        pf::win32::SetSkinMessageBoxHandler(nullptr);
        ResetScanContextForTest();
    }
    static int SkinMessageBoxForTest(const char* text, const char* title, unsigned flags);

    std::string Text(int id) { return wtest::WindowText(::GetDlgItem(main, id)); }
    bool Shown(int id) { return wtest::Visible(main, id); }
    bool On(int id) { return wtest::Enabled(main, id); }
    bool ListHas(const std::string& line) {
        HWND list = ::GetDlgItem(main, IDC_RESULTLIST);
        const int n = int(::SendMessageA(list, LB_GETCOUNT, 0, 0));
        char text[1024];
        for (int i = 0; i < n; ++i) {
            if (::SendMessageA(list, LB_GETTEXTLEN, i, 0) >= LRESULT(sizeof text)) continue;
            ::SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
            if (line == text) return true;
        }
        return false;
    }
    int ListCount() {
        return int(::SendDlgItemMessageA(main, IDC_RESULTLIST, LB_GETCOUNT, 0, 0));
    }
    INT_PTR Run(const std::function<void()>& start) {
        pf::sim::ScopedSimMachine guard(machine);
        CCleanerDlg dlg;
        return wtest::DriveModal([&] { return dlg.DoModal(); },
                                 [&](HWND m) {
                                     main = m;
                                     start();
                                 });
    }

    WindowedSimMachine machine;
    HWND main = nullptr;
};

int ScanWindow::SkinMessageBoxForTest(const char* text, const char* title, unsigned flags) {
    return ::SkinMessageBox(text, title, flags);
}

}  // namespace

TEST_F(ScanWindow, ScanSwitchesToTheScanningLayoutThenEndsWithOkAndTheStatistics) {
    bool sawStarting = false, sawFinished = false;
    const INT_PTR result = Run([&] {
        wtest::PostClick(main, IDC_SCAN);
        wtest::RunSteps({
            [&] {
                if (!Shown(IDC_PROGRESS)) return false;
                sawStarting = true;
                EXPECT_FALSE(On(IDC_SCAN));
                EXPECT_TRUE(Shown(IDC_SCAN));
                EXPECT_TRUE(Shown(IDC_CANCEL_SCAN) && On(IDC_CANCEL_SCAN));
                EXPECT_FALSE(Shown(IDC_DONE));
                EXPECT_TRUE(On(IDC_DONE));  // enabled, still hidden
                EXPECT_FALSE(Shown(IDC_DLINK) || Shown(IDC_ULINK));
                EXPECT_FALSE(Shown(IDC_DESCRIPTION) || Shown(IDC_MAKER_NOTICE) ||
                             Shown(IDC_PRODUCT_NOTICE));
                EXPECT_TRUE(Shown(IDC_RESULTLIST) && Shown(IDC_STATUS) && Shown(IDC_STATUS_FRAME) &&
                            Shown(IDC_RESULT_FRAME));
                EXPECT_TRUE(Shown(IDC_DOWNLOAD) && On(IDC_DOWNLOAD));
                EXPECT_EQ(Text(IDC_STATUS_FRAME), "Scanning");
                EXPECT_EQ(Text(IDC_PROGRESS), "Searching for W32/Vendrika Trojan and its variants");
                EXPECT_EQ(std::string(g_scan.targetPath), "!:");
                EXPECT_EQ(g_scan.mainWindow, reinterpret_cast<pf::HWND>(main));
                return true;
            },
            [&] {
                if (!Shown(IDC_DONE)) return false;
                sawFinished = true;
                EXPECT_FALSE(Shown(IDC_CANCEL_SCAN));
                EXPECT_FALSE(Shown(IDC_PROGRESS));
                EXPECT_EQ(Text(IDC_STATUS_FRAME), "");
                EXPECT_EQ(Text(IDC_STATUS), "Scanning completed");
                EXPECT_TRUE(ListHas("Total files scanned\t\t:  200"));
                EXPECT_TRUE(ListHas("Total files infected\t\t:  0"));
                EXPECT_FALSE(On(IDC_SCAN));  // one scan per start of the program
                EXPECT_FALSE(Shown(IDC_DLINK) || Shown(IDC_ULINK));
                // Enter still does nothing; OK ends the window.
                ::SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                EXPECT_TRUE(::IsWindowVisible(main));
                wtest::PostClick(main, IDC_DONE);
                return true;
            },
        });
    });
    EXPECT_TRUE(sawStarting);
    EXPECT_TRUE(sawFinished);
    EXPECT_FALSE(wtest::StepsPending());
    EXPECT_EQ(result, IDOK);
}

TEST_F(ScanWindow, StopQuestionTitleFollowsTheControlAndOnlyYesStops) {
    machine.slowdownMs = 5;  // about a second of walking: time to ask twice
    std::string xTitle, cancelTitle;
    const INT_PTR result = Run([&] {
        wtest::PostClick(main, IDC_SCAN);
        wtest::RunSteps({
            [&] {
                if (Text(IDC_STATUS) == "Static" || !Shown(IDC_STATUS)) return false;
                wtest::PostClick(main, IDC_CLOSEBOX);  // X during the scan asks
                return true;
            },
            [&] {
                HWND box = wtest::FindQuestionBox();
                if (!box) return false;
                xTitle = wtest::WindowText(box);
                EXPECT_EQ(wtest::WindowText(::GetDlgItem(box, 1086)), "Terminate the Scan now?");
                EXPECT_TRUE(wtest::Visible(box, IDC_MB_YES) && wtest::Visible(box, IDC_MB_NO));
                wtest::PostClick(box, IDC_MB_NO);
                return true;
            },
            [&] {
                if (wtest::FindQuestionBox()) return false;
                EXPECT_TRUE(Shown(IDC_CANCEL_SCAN));  // NO: the scan goes on
                EXPECT_FALSE(Shown(IDC_DONE));
                EXPECT_FALSE(g_scan.cancelled);
                wtest::PostClick(main, IDC_CANCEL_SCAN);
                return true;
            },
            [&] {
                HWND box = wtest::FindQuestionBox();
                if (!box) return false;
                cancelTitle = wtest::WindowText(box);
                wtest::PostClick(box, IDC_MB_YES);
                return true;
            },
            [&] {
                if (wtest::FindQuestionBox()) return false;
                // Stopping: OK at once, while the run winds down.
                EXPECT_TRUE(Shown(IDC_DONE));
                EXPECT_FALSE(Shown(IDC_CANCEL_SCAN));
                return true;
            },
            [&] {
                if (Text(IDC_STATUS) != "Scanning terminated" || Shown(IDC_PROGRESS)) return false;
                EXPECT_TRUE(ListHas("Scanning statistics"));
                wtest::PostClick(main, IDC_CLOSEBOX);  // after the scan X closes at once
                return true;
            },
        });
    });
    EXPECT_EQ(xTitle, "DialogBoxTitle");
    EXPECT_EQ(cancelTitle, "CleanVendrika Ver 1.0");
    EXPECT_FALSE(wtest::StepsPending());
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(ScanWindow, AStopAskedWhileTheScanIsStartingWaitsForTheAnswerAndAYesStops) {
    // CANCEL, X or Escape within the scan timer's 100 ms. The question stays
    // up for several periods of that timer: no scan may run under it.
    struct Row {
        const char* how;
        int command;  // posted right after SCAN
        int answer;
        const char* finalStatus;
        int scanned;
        const char* title;
    };
    const Row table[] = {
        {"CANCEL, YES", IDC_CANCEL_SCAN, IDC_MB_YES, "Scanning terminated", 0,
         "CleanVendrika Ver 1.0"},
        {"X, YES", IDC_CLOSEBOX, IDC_MB_YES, "Scanning terminated", 0, "DialogBoxTitle"},
        {"Escape, NO", IDCANCEL, IDC_MB_NO, "Scanning completed", 200, "CleanVendrika Ver 1.0"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.how);
        ResetScanContextForTest();
        DWORD askedAt = 0;
        std::string title;
        bool answered = false, ended = false;
        const INT_PTR result = Run([&] {
            wtest::PostClick(main, IDC_SCAN);
            wtest::PostClick(main, row.command);
            wtest::RunSteps({
                [&] {
                    HWND box = wtest::FindQuestionBox();
                    if (!box) return false;
                    title = wtest::WindowText(box);
                    askedAt = ::GetTickCount();
                    return true;
                },
                [&] {
                    if (::GetTickCount() - askedAt < 400) return false;
                    // Still starting: nothing scanned, nothing shown.
                    EXPECT_EQ(g_scan.scannedCount, 0);
                    EXPECT_EQ(Text(IDC_STATUS), "Static");
                    EXPECT_EQ(ListCount(), 0);
                    answered = true;
                    wtest::PostClick(wtest::FindQuestionBox(), row.answer);
                    return true;
                },
                [&] {
                    if (wtest::FindQuestionBox()) return false;
                    if (row.answer == IDC_MB_YES) {  // OK at once, CANCEL gone
                        EXPECT_TRUE(Shown(IDC_DONE));
                        EXPECT_FALSE(Shown(IDC_CANCEL_SCAN));
                    }
                    return true;
                },
                [&] {
                    if (Shown(IDC_PROGRESS) || Text(IDC_STATUS) == "Static") return false;
                    ended = true;
                    EXPECT_EQ(Text(IDC_STATUS), row.finalStatus);
                    EXPECT_TRUE(ListHas("Total files scanned\t\t:  " + std::to_string(row.scanned)));
                    EXPECT_EQ(g_scan.scannedCount, row.scanned);
                    EXPECT_TRUE(Shown(IDC_DONE));
                    wtest::PostClick(main, IDC_DONE);
                    return true;
                },
            });
        });
        EXPECT_EQ(title, row.title);
        EXPECT_TRUE(answered);
        EXPECT_TRUE(ended);
        EXPECT_FALSE(wtest::StepsPending());
        EXPECT_EQ(result, IDOK);
    }
}

TEST_F(ScanWindow, StrayTimerAndRedrawMessagesStartNothingAndAddNothing) {
    int linesAtEnd = -1;
    const INT_PTR result = Run([&] {
        // Ready: the scan timer's id, another id, sent and posted as another
        // program could.
        for (WPARAM id : {WPARAM(100), WPARAM(101), WPARAM(1)}) {
            ::SendMessageA(main, WM_TIMER, id, 0);
            ::PostMessageA(main, WM_TIMER, id, 0);
        }
        ::SendMessageA(main, WM_SETREDRAW, 0, 0);
        ::SendMessageA(main, WM_SETREDRAW, 1, 0);
        wtest::RunSteps({
            [&] {
                EXPECT_EQ(g_scan.scannedCount, 0);
                EXPECT_EQ(g_scan.mainWindow, nullptr);
                EXPECT_EQ(ListCount(), 0);
                EXPECT_TRUE(Shown(IDC_SCAN) && On(IDC_SCAN));
                EXPECT_FALSE(Shown(IDC_RESULTLIST));
                wtest::PostClick(main, IDC_SCAN);
                return true;
            },
            [&] {
                if (Text(IDC_STATUS) != "Scanning completed" || Shown(IDC_PROGRESS)) return false;
                linesAtEnd = ListCount();
                // Finished: redraw messages add no copy of the last line, and
                // the scan timer's id starts no second scan.
                ::SendMessageA(main, WM_SETREDRAW, 0, 0);
                ::SendMessageA(main, WM_SETREDRAW, 1, 0);
                ::PostMessageA(main, WM_SETREDRAW, 0, 0);
                ::SendMessageA(main, WM_TIMER, 100, 0);
                ::PostMessageA(main, WM_TIMER, 100, 0);
                return true;
            },
            [&] {
                EXPECT_EQ(ListCount(), linesAtEnd);
                EXPECT_EQ(g_scan.scannedCount, 200);
                EXPECT_FALSE(ListHas("Total files scanned\t\t:  400"));
                EXPECT_TRUE(::IsWindowVisible(main));
                wtest::PostClick(main, IDC_DONE);
                return true;
            },
        });
    });
    EXPECT_GT(linesAtEnd, 0);
    EXPECT_FALSE(wtest::StepsPending());
    EXPECT_EQ(result, IDOK);
}

TEST_F(ScanWindow, EnterInEitherStopQuestionPressesTheFocusedButton) {
    // The CANCEL question of the window and the Escape question of the walk
    // take Enter the same way: the focused button's answer.
    machine.slowdownMs = 5;
    struct Row {
        const char* question;
        bool viaEscape;
        int focus;
        bool stops;
    };
    const Row table[] = {
        {"CANCEL, NO focused", false, IDC_MB_NO, false},
        {"Escape, NO focused", true, IDC_MB_NO, false},
        {"CANCEL, YES focused", false, IDC_MB_YES, true},
        {"Escape, YES focused", true, IDC_MB_YES, true},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.question);
        ResetScanContextForTest();
        bool asked = false;
        const INT_PTR result = Run([&] {
            wtest::PostClick(main, IDC_SCAN);
            wtest::RunSteps({
                [&] {
                    if (Text(IDC_STATUS) == "Static" || !Shown(IDC_STATUS)) return false;
                    if (row.viaEscape)
                        ::PostMessageA(main, WM_KEYDOWN, VK_ESCAPE, 0);
                    else
                        wtest::PostClick(main, IDC_CANCEL_SCAN);
                    return true;
                },
                [&] {
                    HWND box = wtest::FindQuestionBox();
                    if (!box) return false;
                    asked = true;
                    HWND button = ::GetDlgItem(box, row.focus);
                    ::SendMessageA(box, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
                    EXPECT_EQ(::GetFocus(), button);
                    ::PostMessageA(button, WM_KEYDOWN, VK_RETURN, 0);
                    return true;
                },
                [&] {
                    if (wtest::FindQuestionBox()) return false;
                    EXPECT_EQ(g_scan.cancelled, row.stops);
                    return true;
                },
                [&] {
                    if (Shown(IDC_PROGRESS) || !Shown(IDC_DONE)) return false;
                    EXPECT_EQ(Text(IDC_STATUS),
                              row.stops ? "Scanning terminated" : "Scanning completed");
                    wtest::PostClick(main, IDC_DONE);
                    return true;
                },
            });
        });
        EXPECT_TRUE(asked);
        EXPECT_FALSE(wtest::StepsPending());
        EXPECT_EQ(result, IDOK);
    }
}

TEST_F(ScanWindow, TheScanStartsFromTimer100OnceAbout100MsAfterScan) {
    // The period: the run's first notification comes one period after SCAN.
    DWORD pressedAt = 0;
    BOOL timerLeftAfterRun = TRUE;
    Run([&] {
        pressedAt = ::GetTickCount();
        ::SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED), 0);
        wtest::RunSteps({[&] {
            if (Shown(IDC_PROGRESS) || !Shown(IDC_DONE)) return false;
            timerLeftAfterRun = ::KillTimer(main, 100);  // killed on its first tick
            wtest::PostClick(main, IDC_DONE);
            return true;
        }});
    });
    ASSERT_NE(machine.firstSendAt, 0u);
    const DWORD delay = machine.firstSendAt - pressedAt;
    EXPECT_GE(delay, 90u);
    EXPECT_LE(delay, 600u);
    EXPECT_FALSE(timerLeftAfterRun);

    // The id: with timer 100 killed the scan waits; a tick of timer 100
    // (here posted by hand) starts it.
    ResetScanContextForTest();
    BOOL killed = FALSE;
    DWORD at = 0;
    bool waited = false;
    Run([&] {
        ::SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED), 0);
        killed = ::KillTimer(main, 100);
        at = ::GetTickCount();
        wtest::RunSteps({
            [&] {
                if (::GetTickCount() - at < 400) return false;
                waited = true;
                EXPECT_EQ(Text(IDC_STATUS), "Static");
                EXPECT_EQ(g_scan.scannedCount, 0);
                ::PostMessageA(main, WM_TIMER, 100, 0);
                return true;
            },
            [&] {
                if (Shown(IDC_PROGRESS) || !Shown(IDC_DONE)) return false;
                EXPECT_EQ(Text(IDC_STATUS), "Scanning completed");
                wtest::PostClick(main, IDC_DONE);
                return true;
            },
        });
    });
    EXPECT_TRUE(killed);
    EXPECT_TRUE(waited);
    EXPECT_FALSE(wtest::StepsPending());
}

TEST_F(ScanWindow, TitleAndProgressFonts) {
    LOGFONTA bold = {}, dialog = {}, progress = {};
    bool seen = false;
    Run([&] {
        ::GetObjectA(g_fontBold.Handle(), sizeof bold, &bold);
        HFONT dialogFont = reinterpret_cast<HFONT>(::SendMessageA(main, WM_GETFONT, 0, 0));
        ::GetObjectA(dialogFont, sizeof dialog, &dialog);
        wtest::PostClick(main, IDC_SCAN);
        wtest::RunSteps({
            [&] {
                if (!Shown(IDC_PROGRESS)) return false;
                seen = true;
                HFONT f = reinterpret_cast<HFONT>(
                    ::SendDlgItemMessageA(main, IDC_PROGRESS, WM_GETFONT, 0, 0));
                ::GetObjectA(f, sizeof progress, &progress);
                return true;
            },
            [&] {
                if (Shown(IDC_PROGRESS) || !Shown(IDC_DONE)) return false;
                wtest::PostClick(main, IDC_DONE);
                return true;
            },
        });
    });
    ASSERT_TRUE(seen);
    struct Field {
        const char* name;
        long got, want;
    };
    const Field fields[] = {
        // The shared bold font: the window's own font, 15 high, weight 700.
        {"bold height", bold.lfHeight, 15},
        {"bold weight", bold.lfWeight, 700},
        {"bold underline", bold.lfUnderline, 0},
        {"bold italic", bold.lfItalic, 0},
        {"bold charset", bold.lfCharSet, dialog.lfCharSet},
        // The progress line: Arial, bold, 15 high, ANSI, the Swiss family.
        {"progress height", progress.lfHeight, 15},
        {"progress width", progress.lfWidth, 0},
        {"progress weight", progress.lfWeight, 700},
        {"progress italic", progress.lfItalic, 0},
        {"progress underline", progress.lfUnderline, 0},
        {"progress strike-out", progress.lfStrikeOut, 0},
        {"progress charset", progress.lfCharSet, ANSI_CHARSET},
        {"progress output precision", progress.lfOutPrecision, OUT_DEFAULT_PRECIS},
        {"progress clip precision", progress.lfClipPrecision, CLIP_DEFAULT_PRECIS},
        {"progress quality", progress.lfQuality, DEFAULT_QUALITY},
        {"progress pitch and family", progress.lfPitchAndFamily, 0x20},
    };
    for (const Field& f : fields) EXPECT_EQ(f.got, f.want) << f.name;
    EXPECT_STREQ(bold.lfFaceName, dialog.lfFaceName);
    EXPECT_STREQ(dialog.lfFaceName, "MS Sans Serif");
    EXPECT_STREQ(progress.lfFaceName, "Arial");
}
