// The main window's set-up and its handling of the engine's notifications,
// run modally for real.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "app/cleaner_dlg.h"
#include "app/tests/window_test_util.h"
#include "scan/scan_context.h"
#include "platform/crt.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"
#include "skin/ui_globals.h"

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = pf::SetPlatform(&pf::win32::RealPlatform());
        ResetScanContextForTest();
    }
    void TearDown() override {
        pf::SetPlatform(previous_);
        ResetScanContextForTest();
    }
    // Runs the main window; `body` acts on it and must end it.
    INT_PTR Run(const std::function<void(HWND)>& body) {
        CCleanerDlg dlg;
        return wtest::DriveModal([&] { return dlg.DoModal(); }, body);
    }
    void AddLine(HWND main, const std::string& line) {
        crt::CopyText(g_scan.reportLine, line.c_str());
        ::SendMessageA(main, WM_SCAN_ADDLINE, 0, 0);
    }

private:
    pf::Platform* previous_ = nullptr;
};

int Count(HWND main) { return int(::SendDlgItemMessageA(main, IDC_RESULTLIST, LB_GETCOUNT, 0, 0)); }
int Selection(HWND main) {
    return int(::SendDlgItemMessageA(main, IDC_RESULTLIST, LB_GETCURSEL, 0, 0));
}

}  // namespace

TEST_F(MainWindow, SetUpShowsTheReadyLayoutAt600By462WithTheBitmapRegion) {
    bool checked = false;
    const INT_PTR result = Run([&](HWND main) {
        checked = true;
        EXPECT_EQ(wtest::WindowText(main), "CleanVendrika Ver 1.0");
        const RECT r = wtest::ScreenRect(main);
        EXPECT_EQ(wtest::Width(r), 600);
        EXPECT_EQ(wtest::Height(r), 462);
        RECT work;
        ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
        EXPECT_NEAR((r.top + r.bottom) / 2, (work.top + work.bottom) / 2, 1);
        HRGN region = ::CreateRectRgn(0, 0, 0, 0);
        EXPECT_EQ(::GetWindowRgn(main, region), SIMPLEREGION);
        RECT box;
        ::GetRgnBox(region, &box);
        ::DeleteObject(region);
        EXPECT_EQ(box.right - box.left, 527);
        EXPECT_EQ(box.bottom - box.top, 338);
        EXPECT_TRUE((::GetWindowLongPtrA(main, GWL_STYLE) & 0x000A0000) == 0x000A0000);

        for (int id : {IDC_STATUS, IDC_STATUS_FRAME, IDC_PROGRESS, IDC_RESULTLIST, IDC_RESULT_FRAME,
                       IDC_CANCEL_SCAN, IDC_DONE, IDC_PRODUCT_NOTICE})
            EXPECT_FALSE(wtest::Visible(main, id)) << id;
        for (int id : {IDC_SCAN, IDC_DOWNLOAD, IDC_CLOSEBOX, IDC_TITLE, IDC_MAKER_NOTICE,
                       IDC_DESCRIPTION, IDC_DLINK, IDC_ULINK, IDC_LOGO})
            EXPECT_TRUE(wtest::Visible(main, id)) << id;
        EXPECT_FALSE(wtest::Enabled(main, IDC_DONE));
        EXPECT_TRUE(wtest::Enabled(main, IDC_DOWNLOAD));
        EXPECT_EQ(wtest::WindowText(::GetDlgItem(main, IDC_TITLE)), "for W32/Vendrika Trojan");
        EXPECT_EQ(wtest::WindowText(::GetDlgItem(main, IDC_DESCRIPTION)),
                  "CleanVendrika Ver 1.0 - Tool to detect and remove all the variants of "
                  "W32/Vendrika Trojan");
        EXPECT_EQ(wtest::WindowText(::GetDlgItem(main, IDC_STATUS)), "Static");
        EXPECT_EQ(g_pMainDlg != nullptr, true);
        EXPECT_EQ(wtest::Width(wtest::ScreenRect(::GetDlgItem(main, IDC_SCAN))), 180);

        // Enter does nothing; the window stays.
        ::SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(::IsWindowVisible(main));
        // Escape before a scan closes without a question.
        ::PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    EXPECT_TRUE(checked);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(g_pMainDlg, nullptr);  // the window object is gone
}

TEST_F(MainWindow, ReportLinesKeep150DuringTheScanAndSelectFromThreeOn) {
    Run([&](HWND main) {
        AddLine(main, "one");
        AddLine(main, "two");
        EXPECT_EQ(Selection(main), LB_ERR);
        AddLine(main, "three");
        EXPECT_EQ(Selection(main), 2);
        for (int i = 3; i < 150; ++i) AddLine(main, "C:\\line" + std::to_string(i));
        EXPECT_EQ(Count(main), 150);
        AddLine(main, "the 151st");
        EXPECT_EQ(Count(main), 1);
        EXPECT_EQ(Selection(main), LB_ERR);
        for (int i = 1; i < 150; ++i) AddLine(main, "C:\\again" + std::to_string(i));
        ASSERT_EQ(Count(main), 150);
        g_scan.summaryStarted = true;
        for (int i = 0; i < 5; ++i) AddLine(main, "summary");
        EXPECT_EQ(Count(main), 155);
        EXPECT_EQ(Selection(main), 154);
        wtest::PostClick(main, IDC_CLOSEBOX);  // X before a scan: closes at once
    });
}

TEST_F(MainWindow, AHeldBackPathIsPaintedFiftyMillisecondsLaterWhilePathsKeepComing) {
    Run([&](HWND main) {
        HWND status = ::GetDlgItem(main, IDC_STATUS);
        auto send = [&](const char* text) {
            crt::CopyText(g_scan.statusText, text);
            ::SendMessageA(main, WM_SCAN_STATUS, 0, 0);
        };
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        auto nowMs = [&] {
            LARGE_INTEGER now;
            ::QueryPerformanceCounter(&now);
            return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
        };
        // As the walk does: a path per entry, messages pumped between them.
        auto pumpUntil = [&](double deadline) {
            MSG msg;
            do {
                while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    ::TranslateMessage(&msg);
                    ::DispatchMessageA(&msg);
                }
                ::Sleep(1);
            } while (nowMs() < deadline);
            while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        };
        // The newest path held back is painted 50 ms after the first one was
        // held back, not 50 ms after the stream of paths pauses. A loaded
        // machine that cannot send the paths close enough together tries
        // again.
        bool measured = false;
        for (int attempt = 0; attempt < 5 && !measured; ++attempt) {
            ::Sleep(60);
            send("C:\\first.txt");  // after a pause: painted at once
            const double first = nowMs();
            send("C:\\second.txt");  // held back
            ::Sleep(20);
            send("C:\\third.txt");  // held back too
            const double third = nowMs();
            if (third - first >= 35) {
                pumpUntil(first + 120);
                continue;
            }
            measured = true;
            pumpUntil(first + 62);
            EXPECT_EQ(wtest::WindowText(status), "C:\\third.txt")
                << "third sent after " << third - first << " ms, checked after "
                << nowMs() - first << " ms";
        }
        EXPECT_TRUE(measured);
        wtest::PostClick(main, IDC_CLOSEBOX);
    });
}

TEST_F(MainWindow, WideLinesGiveTheListAHorizontalRangeOfThreeQuarters) {
    Run([&](HWND main) {
        HWND list = ::GetDlgItem(main, IDC_RESULTLIST);
        AddLine(main, "short");
        EXPECT_EQ(::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0), 0);
        // Measure a long line as the rule does: the list's plain context.
        const std::string wide(200, 'W');
        HDC dc = ::GetDC(list);
        SIZE size;
        ::GetTextExtentPoint32A(dc, wide.c_str(), int(wide.size()), &size);
        ::ReleaseDC(list, dc);
        ASSERT_GT(size.cx, 560);
        AddLine(main, wide);
        EXPECT_EQ(::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0), size.cx * 3 / 4);
        wtest::PostClick(main, IDC_CLOSEBOX);
    });
}

TEST_F(MainWindow, StatusNotificationShowsTheStatusTextEvenUnterminated) {
    Run([&](HWND main) {
        crt::CopyText(g_scan.statusText, "C:\\WINDOWS\\notepad.exe");
        EXPECT_EQ(::SendMessageA(main, WM_SCAN_STATUS, 0, 0), 0);
        EXPECT_EQ(wtest::WindowText(::GetDlgItem(main, IDC_STATUS)), "C:\\WINDOWS\\notepad.exe");
        // A status buffer without its terminator is shown cut, never overrun.
        std::memset(g_scan.statusText, 'Z', sizeof g_scan.statusText);
        // Paths streaming in faster than every 50 ms are painted by a timer;
        // a text sent after a pause is painted at once. The pause is well
        // over 50 ms: the tick count can move in steps of 16 ms or more.
        ::Sleep(150);
        ::SendMessageA(main, WM_SCAN_STATUS, 0, 0);
        EXPECT_EQ(wtest::WindowText(::GetDlgItem(main, IDC_STATUS)),
                  std::string(sizeof g_scan.statusText, 'Z'));
        // The notification numbers are WM_ENABLE's and WM_SETREDRAW's with
        // 0: had the system's own handling run, the window would be marked
        // hidden (redraw off).
        AddLine(main, "x");
        EXPECT_EQ(Count(main), 1);
        EXPECT_TRUE(::IsWindowVisible(main));
        EXPECT_TRUE(::IsWindowEnabled(main));
        ::PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
}

TEST_F(MainWindow, PressingOnTheBodyStartsACaptionDrag) {
    Run([&](HWND main) {
        ::SendMessageA(main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(300, 250));
        MSG msg;
        // Taken out of the queue before it is dispatched: no move loop starts here.
        ASSERT_TRUE(::PeekMessageA(&msg, main, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
        EXPECT_EQ(msg.wParam, WPARAM(HTCAPTION));
        EXPECT_EQ(LOWORD(msg.lParam), 300);
        EXPECT_EQ(HIWORD(msg.lParam), 250);
        ::PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
}

namespace {

const char kProductKeyPath[] = "Software\\Quillon\\Wardenix 2000";

bool KeyExists(const char* path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

// Plants the product key (and its value, when asked) for one test and
// removes what it made afterwards. A machine that has the product already
// is left alone (the test is skipped). Needs the right to write
// HKEY_LOCAL_MACHINE.
class PlantedProductKey {
public:
    explicit PlantedProductKey(bool withValue) {
        if (KeyExists(kProductKeyPath)) return;
        makerKeyExisted_ = KeyExists("Software\\Quillon");
        HKEY key = nullptr;
        ok_ = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr) == ERROR_SUCCESS;
        if (!ok_) return;
        created_ = true;
        if (withValue) {
            const char folder[] = "C:\\Program Files\\Wardenix";
            ok_ = ::RegSetValueExA(key, "Installed Folder", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(folder),
                                   sizeof folder) == ERROR_SUCCESS;
        }
        ::RegCloseKey(key);
    }
    ~PlantedProductKey() {
        if (!created_) return;
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath);
        if (!makerKeyExisted_) ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Quillon");
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    bool created_ = false;
    bool makerKeyExisted_ = true;
};

}  // namespace

TEST_F(MainWindow, InstalledProductDisablesDownloadHidesTheLinkAndShowsTheNotice) {
    {
        PlantedProductKey key(true);
        if (!key.ok()) GTEST_SKIP() << "cannot write HKEY_LOCAL_MACHINE here";
        Run([&](HWND main) {
            EXPECT_TRUE(wtest::Visible(main, IDC_DOWNLOAD));
            EXPECT_FALSE(wtest::Enabled(main, IDC_DOWNLOAD));
            EXPECT_FALSE(wtest::Visible(main, IDC_DLINK));
            EXPECT_FALSE(wtest::Enabled(main, IDC_DLINK));
            EXPECT_TRUE(wtest::Visible(main, IDC_PRODUCT_NOTICE));
            EXPECT_EQ(wtest::WindowText(::GetDlgItem(main, IDC_PRODUCT_NOTICE)),
                      "This program is a part of Wardenix antivirus software.");
            wtest::PostClick(main, IDC_CLOSEBOX);
        });
    }
    {
        PlantedProductKey keyOnly(false);  // the key without its value: not installed
        if (!keyOnly.ok()) GTEST_SKIP() << "cannot plant the product key here";
        Run([&](HWND main) {
            EXPECT_TRUE(wtest::Enabled(main, IDC_DOWNLOAD));
            EXPECT_TRUE(wtest::Visible(main, IDC_DLINK));
            EXPECT_FALSE(wtest::Visible(main, IDC_PRODUCT_NOTICE));
            wtest::PostClick(main, IDC_CLOSEBOX);
        });
    }
}

TEST_F(MainWindow, StaticsAndTheWindowGetTheWhiteBrushTheTitleAndOthersTheDefault) {
    struct Row {
        const char* what;
        UINT message;
        int control;  // 0: the window itself
        bool white;
    };
    const Row table[] = {
        {"window background", WM_CTLCOLORDLG, 0, true},
        {"status line", WM_CTLCOLORSTATIC, IDC_STATUS, true},
        {"description line", WM_CTLCOLORSTATIC, IDC_DESCRIPTION, true},
        {"title label", WM_CTLCOLORSTATIC, IDC_TITLE, false},
        {"SCAN", WM_CTLCOLORBTN, IDC_SCAN, false},
        {"result list", WM_CTLCOLORLISTBOX, IDC_RESULTLIST, false},
    };
    Run([&](HWND main) {
        ASSERT_NE(g_hbrWhite, nullptr);
        LOGBRUSH white = {};
        ::GetObjectA(g_hbrWhite, sizeof white, &white);
        EXPECT_EQ(white.lbStyle, UINT(BS_SOLID));
        EXPECT_EQ(white.lbColor, RGB(255, 255, 255));
        HDC dc = ::GetDC(main);
        for (const Row& row : table) {
            HWND control = row.control ? ::GetDlgItem(main, row.control) : main;
            ::SetBkMode(dc, OPAQUE);
            const LRESULT brush = ::SendMessageA(main, row.message, reinterpret_cast<WPARAM>(dc),
                                                 reinterpret_cast<LPARAM>(control));
            EXPECT_EQ(::GetBkMode(dc), TRANSPARENT) << row.what;
            const LRESULT standard = ::DefWindowProcA(
                main, row.message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
            if (row.white)
                EXPECT_EQ(brush, reinterpret_cast<LRESULT>(g_hbrWhite)) << row.what;
            else
                EXPECT_EQ(brush, standard) << row.what;
        }
        ::ReleaseDC(main, dc);
        wtest::PostClick(main, IDC_CLOSEBOX);
    });
}

namespace {

struct ShellCall {
    HWND owner;
    std::string verb, file;
    bool noParameters, noDirectory;
    INT show;
};
std::vector<ShellCall> g_shellCalls;

HINSTANCE WINAPI RecordShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                    LPCSTR directory, INT show) {
    g_shellCalls.push_back({owner, verb ? verb : "(null)", file ? file : "(null)",
                            parameters == nullptr, directory == nullptr, show});
    return reinterpret_cast<HINSTANCE>(33);
}

}  // namespace

TEST_F(MainWindow, DownloadAndLinksOpenTheirPagesNormallyThroughTheShell) {
    struct Row {
        int control;
        const char* page;
    };
    const Row table[] = {
        {IDC_DOWNLOAD, "http://www.quillon.example/download/downloadnow.htm"},
        {IDC_DLINK, "http://www.quillon.example/download/downloadnow.htm"},
        {IDC_ULINK, "http://www.quillon.example/download/utility.htm"},
    };
    g_shellCalls.clear();
    SetShellExecuteForTest(&RecordShellExecute);
    Run([&](HWND main) {
        for (const Row& row : table)
            ::SendMessageA(main, WM_COMMAND, MAKEWPARAM(row.control, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(main, row.control)));
        EXPECT_TRUE(::IsWindowVisible(main));  // nothing in the window changes
        EXPECT_TRUE(wtest::Visible(main, IDC_DLINK) && wtest::Visible(main, IDC_ULINK));
        wtest::PostClick(main, IDC_CLOSEBOX);
    });
    SetShellExecuteForTest(nullptr);
    ASSERT_EQ(g_shellCalls.size(), std::size(table));
    for (size_t i = 0; i < std::size(table); ++i) {
        const ShellCall& c = g_shellCalls[i];
        SCOPED_TRACE(table[i].control);
        EXPECT_EQ(c.owner, nullptr);
        EXPECT_EQ(c.verb, "open");
        EXPECT_EQ(c.file, table[i].page);
        EXPECT_TRUE(c.noParameters);
        EXPECT_TRUE(c.noDirectory);
        EXPECT_EQ(c.show, SW_SHOWNORMAL);
    }
}
