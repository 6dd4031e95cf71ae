#include <gtest/gtest.h>

#include "skin/scaling_logic.h"

TEST(ChildScaling, DesignSizeEqualToClientLeavesChildrenInPlace) {
    const skin::ScaleFactors f = skin::ComputeScaleFactors(600, 337, 600, 337);
    ASSERT_TRUE(f.usable);
    const skin::Rect32 r{-7, 13, 593, 350};
    const skin::Rect32 s = skin::ScaleScreenRect(r, f);
    EXPECT_EQ(s.left, -7);
    EXPECT_EQ(s.top, 13);
    EXPECT_EQ(s.right, 593);
    EXPECT_EQ(s.bottom, 350);
}

TEST(ChildScaling, EachEdgeIsDividedAndTruncatedOnItsOwn) {
    // A client 520 wide against a design width of 600: fx = 0.8666...
    const skin::ScaleFactors f = skin::ComputeScaleFactors(520, 300, 600, 337);
    const skin::Rect32 s = skin::ScaleScreenRect({10, 20, 110, 45}, f);
    EXPECT_EQ(s.left, 11);    // 11.538...
    EXPECT_EQ(s.right, 126);  // 126.92...
    EXPECT_EQ(s.top, 22);     // 22.466...
    EXPECT_EQ(s.bottom, 50);  // 50.55
    // Negative screen coordinates truncate toward zero, not downwards.
    const skin::Rect32 n = skin::ScaleScreenRect({-10, -20, -1, -1}, f);
    EXPECT_EQ(n.left, -11);
    EXPECT_EQ(n.top, -22);
}

TEST(ChildScaling, DegenerateSizesMoveNothingAndNeverDivideByZero) {
    for (auto f :
         {skin::ComputeScaleFactors(0, 300, 600, 337), skin::ComputeScaleFactors(520, 0, 600, 337),
          skin::ComputeScaleFactors(520, 300, 0, 337),
          skin::ComputeScaleFactors(520, 300, 600, -1)}) {
        EXPECT_FALSE(f.usable);
        const skin::Rect32 s = skin::ScaleScreenRect({1, 2, 3, 4}, f);
        EXPECT_EQ(s.left, 1);
        EXPECT_EQ(s.bottom, 4);
    }
    // A tiny client against a huge design size: edges saturate, no overflow.
    const skin::ScaleFactors tiny = skin::ComputeScaleFactors(1, 1, 0x7FFFFFFF, 0x7FFFFFFF);
    const skin::Rect32 s = skin::ScaleScreenRect({-0x7FFFFFFF, 0, 0x7FFFFFFF, 5}, tiny);
    EXPECT_EQ(s.left, -0x7FFFFFFF - 1);
    EXPECT_EQ(s.right, 0x7FFFFFFF);
}
