#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "skin/region_logic.h"

namespace {

constexpr uint32_t kMagenta = 0x00FF00FF;

// A 32-bit bottom-up image built from top-down rows of 0x00RRGGBB colours.
struct TestImage {
    std::vector<uint8_t> bits;
    skin::PixelImage image{};

    TestImage(int width, int height, uint32_t fill) {
        image.width = width;
        image.height = height;
        image.strideBytes = size_t(width) * 4;
        bits.assign(image.strideBytes * size_t(height), 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) Set(x, y, fill);
        image.bits = bits.data();
        image.bitsSize = bits.size();
    }
    // colour as COLORREF (0x00BBGGRR); the reserved byte is set to junk so
    // that a comparison which looked at it would fail.
    void Set(int x, int y, uint32_t colorref) {
        uint8_t* p = &bits[size_t(image.height - 1 - y) * image.strideBytes + size_t(x) * 4];
        p[0] = (colorref >> 16) & 0xFF;
        p[1] = (colorref >> 8) & 0xFF;
        p[2] = colorref & 0xFF;
        p[3] = 0xA5;
    }
};

class MallocMemory : public skin::RegionListMemory {
public:
    void* Allocate(size_t bytes) override {
        if (failAllocate) return nullptr;
        block = std::malloc(bytes);
        return block;
    }
    void* Reallocate(size_t bytes) override {
        ++grows;
        if (failGrowAt && grows >= failGrowAt) return nullptr;
        void* p = std::realloc(block, bytes);
        if (p) block = p;
        return p;
    }
    void Release() override {
        std::free(block);
        block = nullptr;
        ++releases;
    }
    ~MallocMemory() override { std::free(block); }
    void* block = nullptr;
    bool failAllocate = false;
    int failGrowAt = 0;
    int grows = 0;
    int releases = 0;
};

struct Batch {
    skin::RegionDataHeader header;
    std::vector<skin::RegionRect> rects;
    size_t bytes;
};

class RecordingSink : public skin::RegionBatchSink {
public:
    void OnBatch(const void* data, size_t bytes) override {
        Batch b;
        std::memcpy(&b.header, data, sizeof b.header);
        b.rects.resize(b.header.nCount);
        if (b.header.nCount)
            std::memcpy(b.rects.data(),
                        static_cast<const uint8_t*>(data) + sizeof(skin::RegionDataHeader),
                        sizeof(skin::RegionRect) * b.header.nCount);
        b.bytes = bytes;
        batches.push_back(b);
    }
    std::vector<Batch> batches;
};

bool Same(const skin::RegionRect& r, int l, int t, int rt, int b) {
    return r.left == l && r.top == t && r.right == rt && r.bottom == b;
}

}  // namespace

TEST(RegionScan, SevenPixelRowGivesTheRunsOnEitherSide) {
    // key, three others, key, two others
    TestImage img(7, 1, 0x00123456);
    img.Set(0, 0, kMagenta);
    img.Set(4, 0, kMagenta);
    {
        MallocMemory mem;
        RecordingSink sink;
        ASSERT_TRUE(skin::ScanRegionRectangles(img.image, kMagenta, true, mem, sink));
        ASSERT_EQ(sink.batches.size(), 1u);
        const Batch& b = sink.batches[0];
        ASSERT_EQ(b.header.nCount, 2u);
        EXPECT_TRUE(Same(b.rects[0], 1, 0, 4, 1));
        EXPECT_TRUE(Same(b.rects[1], 5, 0, 7, 1));
        EXPECT_TRUE(Same(b.header.rcBound, 1, 0, 7, 1));
        EXPECT_EQ(b.header.dwSize, 32u);
        EXPECT_EQ(b.header.iType, 1u);
        EXPECT_EQ(b.header.nRgnSize, 0u);
        EXPECT_EQ(b.bytes, 32u + 16u * 100u);
    }
    {
        MallocMemory mem;
        RecordingSink sink;
        ASSERT_TRUE(skin::ScanRegionRectangles(img.image, kMagenta, false, mem, sink));
        const Batch& b = sink.batches.at(0);
        ASSERT_EQ(b.header.nCount, 2u);
        EXPECT_TRUE(Same(b.rects[0], 0, 0, 1, 1));
        EXPECT_TRUE(Same(b.rects[1], 4, 0, 5, 1));
    }
}

TEST(RegionScan, RowsAreReadTopDownFromABottomUpImage) {
    TestImage img(3, 2, 0x0);
    img.Set(0, 0, kMagenta);  // top row: key, other, other
    MallocMemory mem;
    RecordingSink sink;
    ASSERT_TRUE(skin::ScanRegionRectangles(img.image, kMagenta, true, mem, sink));
    const Batch& b = sink.batches.at(0);
    ASSERT_EQ(b.header.nCount, 2u);
    EXPECT_TRUE(Same(b.rects[0], 1, 0, 3, 1));
    EXPECT_TRUE(Same(b.rects[1], 0, 1, 3, 2));
}

TEST(RegionScan, NoKeyPixelGivesTheFullRectangleOneRowEach) {
    TestImage img(527, 338, 0x00FEE9CF);
    MallocMemory mem;
    RecordingSink sink;
    ASSERT_TRUE(skin::ScanRegionRectangles(img.image, kMagenta, true, mem, sink));
    ASSERT_EQ(sink.batches.size(), 1u);
    const Batch& b = sink.batches[0];
    ASSERT_EQ(b.header.nCount, 338u);
    for (uint32_t y = 0; y < 338; ++y)
        ASSERT_TRUE(Same(b.rects[y], 0, int(y), 527, int(y) + 1)) << y;
    EXPECT_TRUE(Same(b.header.rcBound, 0, 0, 527, 338));
    EXPECT_EQ(b.bytes, 32u + 16u * 400u);  // grown in steps of 100
    EXPECT_EQ(mem.releases, 1);
}

TEST(RegionScan, AllKeyPixelsGiveOneEmptyBatch) {
    TestImage img(20, 5, kMagenta);
    MallocMemory mem;
    RecordingSink sink;
    ASSERT_TRUE(skin::ScanRegionRectangles(img.image, kMagenta, true, mem, sink));
    ASSERT_EQ(sink.batches.size(), 1u);
    EXPECT_EQ(sink.batches[0].header.nCount, 0u);
    EXPECT_TRUE(Same(sink.batches[0].header.rcBound, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0));
}

TEST(RegionScan, TallImageIsHandedOverInBatchesOfTwoThousand) {
    TestImage img(2, 2001, 0x00000000);
    MallocMemory mem;
    RecordingSink sink;
    ASSERT_TRUE(skin::ScanRegionRectangles(img.image, kMagenta, true, mem, sink));
    ASSERT_EQ(sink.batches.size(), 2u);
    EXPECT_EQ(sink.batches[0].header.nCount, 2000u);
    EXPECT_TRUE(Same(sink.batches[0].header.rcBound, 0, 0, 2, 2000));
    EXPECT_EQ(sink.batches[0].bytes, 32u + 16u * 2000u);
    // The second batch starts afresh but keeps the capacity.
    EXPECT_EQ(sink.batches[1].header.nCount, 1u);
    EXPECT_TRUE(Same(sink.batches[1].rects[0], 0, 2000, 2, 2001));
    EXPECT_TRUE(Same(sink.batches[1].header.rcBound, 0, 2000, 2, 2001));
    EXPECT_EQ(sink.batches[1].bytes, 32u + 16u * 2000u);
    EXPECT_EQ(mem.grows, 19);
}

TEST(RegionScan, MalformedImagesAndFailedAllocationsBuildNothing) {
    TestImage img(4, 4, 0);
    RecordingSink sink;
    {
        skin::PixelImage bad = img.image;
        bad.bitsSize -= 1;  // one byte short of the last row
        MallocMemory mem;
        EXPECT_FALSE(skin::ScanRegionRectangles(bad, kMagenta, true, mem, sink));
    }
    {
        skin::PixelImage bad = img.image;
        bad.strideBytes = 15;  // a row narrower than its pixels
        MallocMemory mem;
        EXPECT_FALSE(skin::ScanRegionRectangles(bad, kMagenta, true, mem, sink));
    }
    {
        skin::PixelImage bad = img.image;
        bad.height = 0x7FFFFFFF;
        MallocMemory mem;
        EXPECT_FALSE(skin::ScanRegionRectangles(bad, kMagenta, true, mem, sink));
    }
    {
        skin::PixelImage bad = img.image;
        bad.width = -1;
        MallocMemory mem;
        EXPECT_FALSE(skin::ScanRegionRectangles(bad, kMagenta, true, mem, sink));
    }
    {
        MallocMemory mem;
        mem.failAllocate = true;
        EXPECT_FALSE(skin::ScanRegionRectangles(img.image, kMagenta, true, mem, sink));
    }
    EXPECT_TRUE(sink.batches.empty());
    {
        TestImage tall(1, 250, 0);
        MallocMemory mem;
        mem.failGrowAt = 1;
        EXPECT_FALSE(skin::ScanRegionRectangles(tall.image, kMagenta, true, mem, sink));
        EXPECT_EQ(mem.releases, 1);
        EXPECT_TRUE(sink.batches.empty());
    }
}
