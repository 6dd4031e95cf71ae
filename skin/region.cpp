#include "skin/region.h"

#include "skin/region_logic.h"
#include "skin/scaling_logic.h"

namespace {

// The rectangle list in movable global memory, locked while it is written.
class GlobalRegionMemory : public skin::RegionListMemory {
public:
    ~GlobalRegionMemory() override { Release(); }
    void* Allocate(size_t bytes) override {
        block_ = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
        if (!block_) return nullptr;
        void* p = ::GlobalLock(block_);
        if (!p) Release();
        return p;
    }
    void* Reallocate(size_t bytes) override {
        ::GlobalUnlock(block_);
        HGLOBAL grown = ::GlobalReAlloc(block_, bytes, GMEM_MOVEABLE);
        if (grown) block_ = grown;
        void* p = ::GlobalLock(block_);
        return grown ? p : nullptr;
    }
    void Release() override {
        if (!block_) return;
        ::GlobalUnlock(block_);
        ::GlobalFree(block_);
        block_ = nullptr;
    }

private:
    HGLOBAL block_ = nullptr;
};

// Each batch becomes a region, joined into the result by a union.
class RegionUnion : public skin::RegionBatchSink {
public:
    void OnBatch(const void* data, size_t bytes) override {
        HRGN part = ::ExtCreateRegion(nullptr, static_cast<DWORD>(bytes),
                                      static_cast<const RGNDATA*>(data));
        if (!part) return;  // this batch is lost; the rest still counts
        if (!result) {
            result = part;
            return;
        }
        ::CombineRgn(result, result, part, RGN_OR);
        ::DeleteObject(part);
    }
    HRGN result = nullptr;
};

}  // namespace

HRGN CreateRegionFromBitmap(HBITMAP bitmap, COLORREF key, BOOL coverNonKey) {
    if (!bitmap) return nullptr;
    HDC memoryDc = ::CreateCompatibleDC(nullptr);
    if (!memoryDc) return nullptr;

    BITMAP source;
    if (!::GetObjectA(bitmap, sizeof source, &source) || source.bmWidth <= 0 ||
        source.bmHeight <= 0) {
        ::DeleteDC(memoryDc);
        return nullptr;
    }
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = source.bmWidth;
    header.biHeight = source.bmHeight;  // positive: bottom-up
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP copy = ::CreateDIBSection(memoryDc, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!copy || !bits) {
        if (copy) ::DeleteObject(copy);
        ::DeleteDC(memoryDc);
        return nullptr;
    }
    HGDIOBJ oldCopy = ::SelectObject(memoryDc, copy);

    HDC sourceDc = ::CreateCompatibleDC(memoryDc);
    if (!sourceDc) {
        ::SelectObject(memoryDc, oldCopy);
        ::DeleteObject(copy);
        ::DeleteDC(memoryDc);
        return nullptr;
    }
    BITMAP copyInfo;
    ::GetObjectA(copy, sizeof copyInfo, &copyInfo);
    size_t stride = size_t(copyInfo.bmWidthBytes);
    stride = (stride + 3) & ~size_t(3);
    HGDIOBJ oldSource = ::SelectObject(sourceDc, bitmap);
    ::BitBlt(memoryDc, 0, 0, source.bmWidth, source.bmHeight, sourceDc, 0, 0, SRCCOPY);
    ::GdiFlush();  // the copy must be complete before its memory is read

    skin::PixelImage image;
    image.bits = static_cast<const uint8_t*>(bits);
    image.width = source.bmWidth;
    image.height = source.bmHeight;
    image.strideBytes = stride;
    image.bitsSize = stride * size_t(source.bmHeight);  // the section's own size

    GlobalRegionMemory memory;
    RegionUnion regions;
    const bool complete =
        skin::ScanRegionRectangles(image, key, coverNonKey != FALSE, memory, regions);

    ::SelectObject(sourceDc, oldSource);
    ::DeleteDC(sourceDc);
    ::SelectObject(memoryDc, oldCopy);
    ::DeleteObject(copy);
    ::DeleteDC(memoryDc);

    if (!complete && regions.result) {
        // The list could not grow: a partial outline would cut the window
        // wrongly, so none is given and the window stays rectangular.
        ::DeleteObject(regions.result);
        return nullptr;
    }
    return regions.result;
}

namespace {

struct ScaleJob {
    skin::ScaleFactors factors;
};

BOOL CALLBACK ScaleOneChild(HWND child, LPARAM param) {
    const ScaleJob* job = reinterpret_cast<const ScaleJob*>(param);
    RECT r;
    if (!::GetWindowRect(child, &r)) return TRUE;
    const skin::Rect32 scaled =
        skin::ScaleScreenRect({r.left, r.top, r.right, r.bottom}, job->factors);
    POINT topLeft{scaled.left, scaled.top};
    ::ScreenToClient(::GetParent(child), &topLeft);
    ::MoveWindow(child, topLeft.x, topLeft.y, scaled.Width(), scaled.Height(), TRUE);
    return TRUE;
}

}  // namespace

BOOL ScaleChildWindows(HWND window, int designWidth, int designHeight) {
    RECT client;
    if (!::GetClientRect(window, &client)) return FALSE;
    ScaleJob job{skin::ComputeScaleFactors(client.right - client.left, client.bottom - client.top,
                                           designWidth, designHeight)};
    return ::EnumChildWindows(window, &ScaleOneChild, reinterpret_cast<LPARAM>(&job));
}
