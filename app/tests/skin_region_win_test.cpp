// The window outline and the child layout against the real GDI and window
// manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "app/tests/window_test_util.h"
#include "skin/region.h"

namespace {

constexpr COLORREF kMagenta = RGB(255, 0, 255);

// A 24-bit bitmap of width x height filled with `fill`, with some pixels set.
class TestBitmap {
public:
    TestBitmap(int width, int height, COLORREF fill) : width_(width), height_(height) {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;  // top-down, to set pixels by row
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 24;
        bi.bmiHeader.biCompression = BI_RGB;
        handle_ = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits_, nullptr, 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) Set(x, y, fill);
    }
    ~TestBitmap() { ::DeleteObject(handle_); }
    void Set(int x, int y, COLORREF c) {
        const size_t stride = (size_t(width_) * 3 + 3) & ~size_t(3);
        BYTE* p = static_cast<BYTE*>(bits_) + size_t(y) * stride + size_t(x) * 3;
        p[0] = GetBValue(c);
        p[1] = GetGValue(c);
        p[2] = GetRValue(c);
    }
    HBITMAP handle() const { return handle_; }

private:
    int width_, height_;
    void* bits_ = nullptr;
    HBITMAP handle_ = nullptr;
};

std::vector<int> CoveredColumns(HRGN region, int width, int y) {
    std::vector<int> xs;
    for (int x = 0; x < width; ++x)
        if (::PtInRegion(region, x, y)) xs.push_back(x);
    return xs;
}

}  // namespace

TEST(RegionFromBitmap, SevenPixelRowCoversEitherSideOfTheKey) {
    TestBitmap bmp(7, 1, RGB(10, 20, 30));
    bmp.Set(0, 0, kMagenta);
    bmp.Set(4, 0, kMagenta);
    HRGN nonKey = CreateRegionFromBitmap(bmp.handle(), kMagenta, TRUE);
    ASSERT_NE(nonKey, nullptr);
    EXPECT_EQ(CoveredColumns(nonKey, 7, 0), (std::vector<int>{1, 2, 3, 5, 6}));
    ::DeleteObject(nonKey);
    HRGN key = CreateRegionFromBitmap(bmp.handle(), kMagenta, FALSE);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(CoveredColumns(key, 7, 0), (std::vector<int>{0, 4}));
    ::DeleteObject(key);
}

TEST(RegionFromBitmap, FullAndEmptyBitmapsAndTheTwoBatchCase) {
    {
        TestBitmap bmp(527, 338, RGB(207, 233, 254));
        HRGN r = CreateRegionFromBitmap(bmp.handle(), kMagenta, TRUE);
        ASSERT_NE(r, nullptr);
        RECT box;
        EXPECT_EQ(::GetRgnBox(r, &box), SIMPLEREGION);
        EXPECT_EQ(box.left, 0);
        EXPECT_EQ(box.top, 0);
        EXPECT_EQ(box.right, 527);
        EXPECT_EQ(box.bottom, 338);
        ::DeleteObject(r);
    }
    {
        TestBitmap bmp(9, 4, kMagenta);
        HRGN r = CreateRegionFromBitmap(bmp.handle(), kMagenta, TRUE);
        ASSERT_NE(r, nullptr);  // a region without area, not none
        RECT box;
        EXPECT_EQ(::GetRgnBox(r, &box), NULLREGION);
        ::DeleteObject(r);
    }
    {
        TestBitmap bmp(3, 2001, RGB(0, 0, 0));
        HRGN r = CreateRegionFromBitmap(bmp.handle(), kMagenta, TRUE);
        ASSERT_NE(r, nullptr);
        RECT box;
        ::GetRgnBox(r, &box);
        EXPECT_EQ(box.bottom, 2001);  // the last row came from the second batch
        EXPECT_TRUE(::PtInRegion(r, 2, 2000));
        EXPECT_TRUE(::PtInRegion(r, 0, 1999));
        ::DeleteObject(r);
    }
    EXPECT_EQ(CreateRegionFromBitmap(nullptr, kMagenta, TRUE), nullptr);
}

TEST(RegionFromBitmap, OnlyTheExactKeyColourIsLeftOut) {
    // The key test looks at red, green and blue only: a colour one step off
    // magenta is covered.
    TestBitmap bmp(3, 1, RGB(254, 0, 255));
    bmp.Set(1, 0, kMagenta);
    HRGN r = CreateRegionFromBitmap(bmp.handle(), kMagenta, TRUE);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(CoveredColumns(r, 3, 0), (std::vector<int>{0, 2}));
    ::DeleteObject(r);
}

TEST(ScaleChildren, DesignSizeOfTheClientLeavesChildrenAndAHalfSizeDoubles) {
    wtest::HostWindow host(300, 200);
    HWND a = host.AddChild("STATIC", "a", 1, WS_VISIBLE, 10, 12, 40, 8);
    HWND b = host.AddChild("BUTTON", "b", 2, WS_VISIBLE, 101, 51, 33, 17);
    ASSERT_TRUE(a && b);
    ScaleChildWindows(host.m_hWnd, 300, 200);
    RECT ra = wtest::ScreenRect(a);
    EXPECT_EQ(ra.left, 10);
    EXPECT_EQ(ra.top, 12);
    EXPECT_EQ(wtest::Width(ra), 40);
    EXPECT_EQ(wtest::Height(ra), 8);

    ScaleChildWindows(host.m_hWnd, 600, 400);  // factors 0.5: everything doubles
    ra = wtest::ScreenRect(a);
    EXPECT_EQ(ra.left, 20);
    EXPECT_EQ(ra.top, 24);
    EXPECT_EQ(wtest::Width(ra), 80);
    EXPECT_EQ(wtest::Height(ra), 16);
    const RECT rb = wtest::ScreenRect(b);
    EXPECT_EQ(rb.left, 202);
    EXPECT_EQ(rb.top, 102);
    EXPECT_EQ(wtest::Width(rb), 66);
    EXPECT_EQ(wtest::Height(rb), 34);

    // A window without a usable size moves nothing and divides by nothing.
    ScaleChildWindows(host.m_hWnd, 0, 400);
    EXPECT_EQ(wtest::ScreenRect(a).left, 20);
}
