#include "skin/region_logic.h"

#include <cstring>

namespace skin {

namespace {

constexpr int32_t kEmptyBoundLeftTop = 0x7FFFFFFF;

void ResetHeader(RegionDataHeader* h) {
    h->nCount = 0;
    h->rcBound = {kEmptyBoundLeftTop, kEmptyBoundLeftTop, 0, 0};
}

bool ImageFits(const PixelImage& image) {
    if (!image.bits || image.width < 0 || image.height < 0) return false;
    const size_t rowBytes = size_t(image.width) * 4;
    if (rowBytes > image.strideBytes) return false;
    if (image.height == 0) return true;
    // height * stride <= size, written so that nothing overflows.
    if (image.strideBytes == 0) return false;
    return size_t(image.height) <= image.bitsSize / image.strideBytes;
}

}  // namespace

bool ScanRegionRectangles(const PixelImage& image, uint32_t key, bool coverNonKey,
                          RegionListMemory& memory, RegionBatchSink& sink) {
    if (!ImageFits(image)) return false;

    uint32_t capacity = kRegionCapacityStep;
    auto* block = static_cast<uint8_t*>(memory.Allocate(RegionDataBytes(capacity)));
    if (!block) return false;
    auto header = [&block]() { return reinterpret_cast<RegionDataHeader*>(block); };
    auto rects = [&block]() {
        return reinterpret_cast<RegionRect*>(block + sizeof(RegionDataHeader));
    };
    header()->dwSize = sizeof(RegionDataHeader);
    header()->iType = kRdhRectangles;
    header()->nRgnSize = 0;
    ResetHeader(header());

    const uint8_t keyRed = key & 0xFF;
    const uint8_t keyGreen = (key >> 8) & 0xFF;
    const uint8_t keyBlue = (key >> 16) & 0xFF;

    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.bits + size_t(image.height - 1 - y) * image.strideBytes;
        int32_t x = 0;
        while (x < image.width) {
            const int32_t x0 = x;
            while (x < image.width) {
                const uint8_t* p = row + size_t(x) * 4;
                const bool isKey = p[0] == keyBlue && p[1] == keyGreen && p[2] == keyRed;
                if (isKey == coverNonKey) break;
                ++x;
            }
            if (x > x0) {
                RegionDataHeader* h = header();
                if (h->nCount >= capacity) {
                    void* grown =
                        memory.Reallocate(RegionDataBytes(capacity + kRegionCapacityStep));
                    if (!grown) {
                        memory.Release();
                        return false;
                    }
                    block = static_cast<uint8_t*>(grown);
                    capacity += kRegionCapacityStep;
                    h = header();
                }
                RegionRect r{x0, y, x, y + 1};
                std::memcpy(&rects()[h->nCount], &r, sizeof r);
                RegionRect& b = h->rcBound;
                if (r.left < b.left) b.left = r.left;
                if (r.top < b.top) b.top = r.top;
                if (r.right > b.right) b.right = r.right;
                if (r.bottom > b.bottom) b.bottom = r.bottom;
                ++h->nCount;
                if (h->nCount == kRegionBatchLimit) {
                    sink.OnBatch(block, RegionDataBytes(capacity));
                    ResetHeader(header());
                }
            }
            // The pixel that ended the run lies on the other side: skip it.
            ++x;
        }
    }
    sink.OnBatch(block, RegionDataBytes(capacity));
    memory.Release();
    return true;
}

}  // namespace skin
