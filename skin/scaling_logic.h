// The arithmetic of ScaleChildWindows: every child's screen rectangle is
// divided by the ratio between the window's client size and a design size.
#pragma once

#include "skin/message_box_logic.h"

namespace skin {

struct ScaleFactors {
    double fx;    // client width / design width
    double fy;    // client height / design height
    bool usable;  // false when a size is zero or negative: nothing is moved
};

ScaleFactors ComputeScaleFactors(int32_t clientWidth, int32_t clientHeight, int32_t designWidth,
                                 int32_t designHeight);

// Each edge divided by its factor and truncated toward zero; a result beyond
// the 32-bit range is held at its end.
Rect32 ScaleScreenRect(const Rect32& screen, const ScaleFactors& factors);

}  // namespace skin
