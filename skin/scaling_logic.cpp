#include "skin/scaling_logic.h"

namespace skin {

namespace {

int32_t DivideEdge(int32_t edge, double factor) {
    const double v = edge / factor;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int32_t>(v);  // truncates toward zero
}

}  // namespace

ScaleFactors ComputeScaleFactors(int32_t clientWidth, int32_t clientHeight, int32_t designWidth,
                                 int32_t designHeight) {
    ScaleFactors f{1.0, 1.0, false};
    // A zero factor would divide by zero; a window without a client area
    // (minimised, or not made yet) keeps its children where they are.
    if (clientWidth <= 0 || clientHeight <= 0 || designWidth <= 0 || designHeight <= 0) return f;
    f.fx = double(clientWidth) / double(designWidth);
    f.fy = double(clientHeight) / double(designHeight);
    f.usable = true;
    return f;
}

Rect32 ScaleScreenRect(const Rect32& r, const ScaleFactors& f) {
    if (!f.usable) return r;
    return {DivideEdge(r.left, f.fx), DivideEdge(r.top, f.fy), DivideEdge(r.right, f.fx),
            DivideEdge(r.bottom, f.fy)};
}

}  // namespace skin
