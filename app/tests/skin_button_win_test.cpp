// The bitmap push buttons against real button controls and the program's
// own button bitmaps.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/tests/window_test_util.h"
#include "resources/resource.h"
#include "skin/ex_button.h"
#include "skin/nc_ex_button.h"

namespace {

constexpr DWORD kOwnerDrawn = BS_OWNERDRAW | WS_TABSTOP | WS_VISIBLE;
constexpr COLORREF kSentinel = RGB(1, 2, 3);

// A 200 x 50 drawing surface filled with the sentinel colour.
class Surface {
public:
    Surface() {
        HDC screen = ::GetDC(nullptr);
        dc_ = ::CreateCompatibleDC(screen);
        bmp_ = ::CreateCompatibleBitmap(screen, 200, 50);
        ::ReleaseDC(nullptr, screen);
        old_ = ::SelectObject(dc_, bmp_);
        RECT all = {0, 0, 200, 50};
        HBRUSH b = ::CreateSolidBrush(kSentinel);
        ::FillRect(dc_, &all, b);
        ::DeleteObject(b);
    }
    ~Surface() {
        ::SelectObject(dc_, old_);
        ::DeleteObject(bmp_);
        ::DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    COLORREF At(int x, int y) const { return ::GetPixel(dc_, x, y); }

private:
    HDC dc_;
    HBITMAP bmp_;
    HGDIOBJ old_;
};

// A pixel of one of the program's bitmaps, loaded the way the buttons load it.
COLORREF ResourcePixel(const char* name, int x, int y) {
    HBITMAP bmp = static_cast<HBITMAP>(
        ::LoadImageA(::GetModuleHandleA(nullptr), name, IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    if (!bmp) return CLR_INVALID;
    HDC dc = ::CreateCompatibleDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, bmp);
    const COLORREF c = ::GetPixel(dc, x, y);
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    ::DeleteObject(bmp);
    return c;
}

COLORREF Draw(CSkinButton& button, UINT state, int x, int y) {
    Surface s;
    DRAWITEMSTRUCT item = {};
    item.CtlType = ODT_BUTTON;
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = state;
    item.hwndItem = button.m_hWnd;
    item.hDC = s.dc();
    ::GetClientRect(button.m_hWnd, &item.rcItem);
    button.DrawItem(&item);
    return s.At(x, y);
}

class SkinButtons : public ::testing::Test {
protected:
    wtest::HostWindow host{400, 200};
    HWND Add(const char* caption, int id, int w = 50, int h = 14) {
        return host.AddChild("BUTTON", caption, id, kOwnerDrawn, 10, 10, w, h);
    }
};

}  // namespace

TEST_F(SkinButtons, CaptionNamesTheBitmapsAndTheButtonTakesTheirSize) {
    Add("SCAN", IDC_SCAN);
    Add("Cancel", 2);
    Add("X", IDC_CLOSEBOX, 10, 10);
    CExButton scan, cancel, x;
    ASSERT_TRUE(scan.SetupBitmapButton(IDC_SCAN, &host));
    ASSERT_TRUE(cancel.SetupBitmapButton(2, &host));
    ASSERT_TRUE(x.SetupBitmapButton(IDC_CLOSEBOX, &host));
    RECT r = wtest::ScreenRect(scan.m_hWnd);
    EXPECT_EQ(wtest::Width(r), 180);
    EXPECT_EQ(wtest::Height(r), 33);
    EXPECT_EQ(r.left, 10);                 // resized, not moved
    r = wtest::ScreenRect(cancel.m_hWnd);  // "Cancel" finds the CANCEL_ images
    EXPECT_EQ(wtest::Width(r), 92);
    EXPECT_EQ(wtest::Height(r), 24);
    r = wtest::ScreenRect(x.m_hWnd);
    EXPECT_EQ(wtest::Width(r), 21);
    EXPECT_EQ(wtest::Height(r), 21);
}

TEST_F(SkinButtons, MissingCaptionOrImagesLeaveTheTemplateSize) {
    Add("", 11);
    Add("NOSUCHPICTURE", 12);
    CExButton empty, missing;
    EXPECT_FALSE(empty.SetupBitmapButton(11, &host));
    EXPECT_TRUE(missing.SetupBitmapButton(12, &host));
    const RECT r = wtest::ScreenRect(missing.m_hWnd);
    EXPECT_EQ(wtest::Width(r), 50);
    EXPECT_EQ(wtest::Height(r), 14);
    // Nothing at all is drawn in any state.
    EXPECT_EQ(Draw(missing, 0, 5, 5), kSentinel);
    EXPECT_EQ(Draw(missing, ODS_DISABLED, 5, 5), kSentinel);
    CExButton absent;
    EXPECT_FALSE(absent.SetupBitmapButton(999, &host));
}

TEST_F(SkinButtons, AButtonBoundAlreadyKeepsItsControl) {
    HWND scan = Add("SCAN", IDC_SCAN);
    Add("OK", IDC_DONE);
    CExButton button;
    ASSERT_TRUE(button.SetupBitmapButton(IDC_SCAN, &host));
    ASSERT_TRUE(button.SetupBitmapButton(IDC_DONE, &host));
    EXPECT_EQ(button.m_hWnd, scan);
    EXPECT_EQ(wtest::Width(wtest::ScreenRect(scan)), 180);  // reloaded from its own caption
}

TEST_F(SkinButtons, ImageFollowsHighlightThenDisabledThenNormal) {
    Add("SCAN", IDC_SCAN);
    Add("X", IDC_CLOSEBOX, 10, 10);
    CExButton scan, x;
    ASSERT_TRUE(scan.SetupBitmapButton(IDC_SCAN, &host));
    ASSERT_TRUE(x.SetupBitmapButton(IDC_CLOSEBOX, &host));
    const int px = 90, py = 16;
    EXPECT_EQ(Draw(scan, 0, px, py), ResourcePixel("SCAN_NOTFOCUS", px, py));
    EXPECT_EQ(Draw(scan, ODS_SELECTED | ODS_FOCUS, px, py), ResourcePixel("SCAN_NOTFOCUS", px, py));
    // Disabled and not highlighted: the solid body colour, invisible on the face.
    EXPECT_EQ(Draw(scan, ODS_DISABLED, px, py), RGB(207, 233, 254));
    // The highlight wins over the disabled state.
    ::SendMessageA(scan.m_hWnd, WM_SETFOCUS, 0, 0);
    ASSERT_TRUE(scan.IsHighlighted());
    EXPECT_EQ(Draw(scan, ODS_DISABLED, px, py), ResourcePixel("SCAN_FOCUS", px, py));
    ::SendMessageA(scan.m_hWnd, WM_KILLFOCUS, 0, 0);
    EXPECT_FALSE(scan.IsHighlighted());
    // X has no disabled image: disabled and not highlighted draws nothing.
    EXPECT_EQ(Draw(x, ODS_DISABLED, 5, 5), kSentinel);
    EXPECT_EQ(Draw(x, 0, 5, 5), ResourcePixel("X_NOTFOCUS", 5, 5));
}

TEST_F(SkinButtons, MouseTakesFocusAndCaptureAndLeavingTheImageDropsOnlyTheHighlight) {
    Add("X", IDC_CLOSEBOX, 10, 10);
    NCExButton x;
    ASSERT_TRUE(x.SetupBitmapButton(IDC_CLOSEBOX, &host));
    ::SetFocus(host.m_hWnd);
    ASSERT_FALSE(x.IsHighlighted());
    ::SendMessageA(x.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    EXPECT_TRUE(x.IsHighlighted());
    EXPECT_EQ(::GetCapture(), x.m_hWnd);
    EXPECT_EQ(::GetFocus(), x.m_hWnd);
    ::SendMessageA(x.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(20, 20));  // still inside 21 x 21
    EXPECT_TRUE(x.IsHighlighted());
    ::SendMessageA(x.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(21, 5));  // one pixel outside
    EXPECT_FALSE(x.IsHighlighted());
    EXPECT_NE(::GetCapture(), x.m_hWnd);
    EXPECT_EQ(::GetFocus(), x.m_hWnd);  // the keyboard focus stays
    // Moving back in takes the highlight and the capture again.
    ::SendMessageA(x.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
    EXPECT_TRUE(x.IsHighlighted());
    EXPECT_EQ(::GetCapture(), x.m_hWnd);
    ::ReleaseCapture();
}

TEST_F(SkinButtons, HandCursorIsAPrivateCopyShownOverTheButton) {
    HWND scan = Add("SCAN", IDC_SCAN);
    CExButton button;
    ASSERT_TRUE(button.SetupBitmapButton(IDC_SCAN, &host));
    EXPECT_EQ(button.hCursor, nullptr);
    button.LoadHandCursor();
    ASSERT_NE(button.hCursor, nullptr);
    const HCURSOR first = button.hCursor;
    button.LoadHandCursor();  // held already: nothing changes
    EXPECT_EQ(button.hCursor, first);
    EXPECT_EQ(::SendMessageA(scan, WM_SETCURSOR, reinterpret_cast<WPARAM>(scan),
                             MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              TRUE);
    EXPECT_EQ(::GetCursor(), first);
}

namespace {

// What a cursor looks like: its hot spot and the bits of its mask.
struct CursorImage {
    POINT hotSpot = {-1, -1};
    std::vector<unsigned char> mask;
    bool operator==(const CursorImage& o) const {
        return hotSpot.x == o.hotSpot.x && hotSpot.y == o.hotSpot.y && mask == o.mask;
    }
};

CursorImage ImageOf(HCURSOR cursor) {
    CursorImage image;
    ICONINFO info = {};
    if (!cursor || !::GetIconInfo(reinterpret_cast<HICON>(cursor), &info)) return image;
    image.hotSpot = {LONG(info.xHotspot), LONG(info.yHotspot)};
    BITMAP bm = {};
    if (info.hbmMask && ::GetObjectA(info.hbmMask, sizeof bm, &bm)) {
        image.mask.resize(size_t(bm.bmWidthBytes) * size_t(bm.bmHeight));
        ::GetBitmapBits(info.hbmMask, LONG(image.mask.size()), image.mask.data());
    }
    if (info.hbmMask) ::DeleteObject(info.hbmMask);
    if (info.hbmColor) ::DeleteObject(info.hbmColor);
    return image;
}

// A folder that plays the Windows folder; removed with what it holds.
class FakeWindowsFolder {
public:
    FakeWindowsFolder() {
        char temp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "cv-fake-windows-" + std::to_string(::GetCurrentProcessId());
        ::CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~FakeWindowsFolder() {
        ::DeleteFileA(HelpProgram().c_str());
        ::RemoveDirectoryA(path_.c_str());
    }
    // Puts a help program there: a copy of this test program, whose cursor
    // 106 is the test cursor.
    bool AddHelpProgram() {
        char self[MAX_PATH];
        const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
        return n > 0 && n < MAX_PATH && ::CopyFileA(self, HelpProgram().c_str(), FALSE);
    }
    std::string HelpProgram() const { return path_ + "\\winhlp32.exe"; }
    const char* Path() const { return path_.c_str(); }

private:
    std::string path_;
};

}  // namespace

TEST_F(SkinButtons, HandCursorComesFromTheHelpProgramsCursor106ElseTheSystemHand) {
    Add("SCAN", IDC_SCAN);
    Add("X", IDC_CLOSEBOX);
    const CursorImage testHand =
        ImageOf(::LoadCursorA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(106)));
    const CursorImage systemHand = ImageOf(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));
    ASSERT_EQ(testHand.hotSpot.x, 5);
    ASSERT_EQ(testHand.hotSpot.y, 9);
    ASSERT_FALSE(testHand == systemHand);

    FakeWindowsFolder folder;
    struct Row {
        const char* what;
        bool helpProgram;
        const CursorImage* want;
    };
    const Row table[] = {
        {"without the help program", false, &systemHand},
        {"with the help program", true, &testHand},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.what);
        if (row.helpProgram) {
            ASSERT_TRUE(folder.AddHelpProgram());
        }
        CExButton scan, close;
        ASSERT_TRUE(scan.SetupBitmapButton(IDC_SCAN, &host));
        ASSERT_TRUE(close.SetupBitmapButton(IDC_CLOSEBOX, &host));
        scan.LoadHandCursorFrom(folder.Path());
        close.LoadHandCursorFrom(folder.Path());
        ASSERT_NE(scan.hCursor, nullptr);
        // Each button holds its own copy, which outlives the help program's
        // module.
        EXPECT_NE(scan.hCursor, close.hCursor);
        EXPECT_TRUE(ImageOf(scan.hCursor) == *row.want);
        EXPECT_TRUE(ImageOf(close.hCursor) == *row.want);
    }
}
