// The main window through a whole scan: the window and its questions are
// real, the machine being scanned is the simulated one (so the scan is the
// same everywhere and deletes nothing real).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/cleaner_dlg.h"
#include "app/tests/window_test_util.h"
#include "engine/scan_context.h"
#include "platform/sim/sim_machine.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"
#include "skin/skin_message_box.h"

namespace {

// The simulated machine with the real window system: messages, the pump
// and the questions go to the real windows.
class WindowedSimMachine : public pf::sim::SimMachine {
public:
    DWORD slowdownMs = 0;  // real time spent on each further directory entry

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
