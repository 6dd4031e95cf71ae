#include "skin/message_box_logic.h"

namespace skin {

BoxMode BoxModeFromFlags(uint32_t flags) {
    if (flags & 0x1) return BoxMode::kOkCancel;
    if (flags & 0x4) return BoxMode::kYesNo;
    return BoxMode::kOkOnly;
}

int IconBitmapFromFlags(uint32_t flags) {
    if ((flags & 0x30) == 0x30) return kIconWarning;
    if (flags & 0x40) return kIconInformation;
    if (flags & 0x20) return kIconQuestion;
    if (flags & 0x10) return kIconError;
    return kIconWarning;
}

int BoxResultForCommand(int command, BoxMode mode) {
    switch (command) {
        case kCmdYes:
            return 6;
        case kCmdNo:
            return 7;
        case kCmdOk:
        case kCmdSingleOk:
            return 1;
        default:  // Cancel, Escape, the close box
            return mode == BoxMode::kYesNo ? 7 : 2;
    }
}

int EnterCommand(BoxMode mode, int focused) {
    switch (mode) {
        case BoxMode::kYesNo:
            return focused == kCmdYes ? kCmdYes : kCmdNo;
        case BoxMode::kOkCancel:
            return focused == kCmdOk || focused == kCmdCancel ? focused : 0;
        case BoxMode::kOkOnly:
            return focused == kCmdSingleOk ? kCmdSingleOk : 0;
    }
    return 0;
}

BoxGrowth BoxGrowthForLength(size_t textLength) {
    // Texts are bounded by the callers; clamp anyway so the arithmetic can
    // never overflow an int, whatever is passed in.
    const size_t steps = textLength / 30 > 100000 ? 100000 : textLength / 30;
    BoxGrowth g;
    g.s = 10 * static_cast<int>(steps) + 10;
    g.w = static_cast<int>(g.s * 1.25);
    g.h = g.s - g.w / 4;
    return g;
}

BoxLayout ComputeBoxLayout(const BoxLayoutInput& in) {
    BoxLayout out{};
    const int32_t buttonRow = in.box.bottom - 65;
    const Rect32& r = in.text;
    out.text.x = r.left;
    out.text.y = r.top - 25;
    out.text.width = r.Width() + in.growth.w;
    out.text.height = r.Height() + in.growth.h + (in.largeFonts ? 25 : 0);
    const int32_t iconRow = r.top - 30;
    for (int i = 0; i < kBoxButtonCount; ++i) {
        const Rect32& q = in.buttons[i];
        out.buttons[i] = {q.left + in.growth.w / 2, buttonRow, q.Width(), q.Height()};
    }
    out.moveIcon = in.growth.s > 30;
    out.icon = {in.icon.left, out.moveIcon ? iconRow : in.icon.top, in.icon.Width(),
                in.icon.Height()};
    return out;
}

}  // namespace skin
