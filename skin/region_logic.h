// The pixel scan behind CreateRegionFromBitmap, over a plain pixel array.
//
// The rectangles are collected in a block laid out as the system's region
// data (a 32-byte header followed by 16-byte rectangles), which grows by 100
// rectangles at a time and is handed over every 2000 rectangles, so that no
// single region-creation call gets too large. Where the block lives and how a
// batch becomes a region is the caller's business (RegionListMemory and
// RegionBatchSink); on Windows that is movable global memory, ExtCreateRegion
// and CombineRgn.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skin {

struct RegionRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// RGNDATAHEADER, followed in memory by nCount RegionRects.
struct RegionDataHeader {
    uint32_t dwSize;  // 32
    uint32_t iType;   // RDH_RECTANGLES
    uint32_t nCount;
    uint32_t nRgnSize;  // 0
    RegionRect rcBound;
};
static_assert(sizeof(RegionDataHeader) == 32, "RGNDATAHEADER is 32 bytes");
static_assert(sizeof(RegionRect) == 16, "RECT is 16 bytes");

constexpr uint32_t kRdhRectangles = 1;
constexpr uint32_t kRegionCapacityStep = 100;
constexpr uint32_t kRegionBatchLimit = 2000;

constexpr size_t RegionDataBytes(uint32_t capacity) {
    return sizeof(RegionDataHeader) + sizeof(RegionRect) * size_t(capacity);
}

// The block that holds the rectangle list. Allocate and Reallocate return a
// writable (locked) pointer to the whole block, or null on failure; after a
// failed Reallocate the old block is still owned and still released by
// Release.
class RegionListMemory {
public:
    virtual ~RegionListMemory() = default;
    virtual void* Allocate(size_t bytes) = 0;
    virtual void* Reallocate(size_t bytes) = 0;
    virtual void Release() = 0;
};

// Receives each finished batch: the block (header and rectangles) and its
// byte size, 32 + 16 x capacity.
class RegionBatchSink {
public:
    virtual ~RegionBatchSink() = default;
    virtual void OnBatch(const void* regionData, size_t bytes) = 0;
};

// A 32-bit bottom-up image: `bits` holds `height` rows of `strideBytes`
// bytes, the top image row last; each pixel is blue, green, red, reserved.
struct PixelImage {
    const uint8_t* bits;
    size_t bitsSize;
    int32_t width;
    int32_t height;
    size_t strideBytes;
};

// Scans every row from the top, collects one rectangle per run of covered
// pixels (pixels not of `key` when coverNonKey, of `key` otherwise), and
// hands the rectangles over in batches; the last batch is handed over even
// when it is empty. The key is 0x00BBGGRR; the reserved byte is ignored.
// Returns false, having handed nothing more over, when the image description
// does not fit its buffer or the list cannot be allocated or grown.
bool ScanRegionRectangles(const PixelImage& image, uint32_t key, bool coverNonKey,
                          RegionListMemory& memory, RegionBatchSink& sink);

}  // namespace skin
