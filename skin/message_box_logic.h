// What the skinned message box decides without a window: which buttons and
// icon the caller's flags ask for, which answer each command gives, how far
// the box grows with its text, and where its controls go.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skin {

// Resource numbers of the four icon pictures of the box.
constexpr int kIconInformation = 152;
constexpr int kIconQuestion = 153;
constexpr int kIconWarning = 154;
constexpr int kIconError = 155;

// Command ids of the box's buttons (dialog 142).
constexpr int kCmdOk = 1;
constexpr int kCmdCancel = 2;
constexpr int kCmdSingleOk = 3;
constexpr int kCmdYes = 6;
constexpr int kCmdNo = 7;

enum class BoxMode { kOkOnly, kOkCancel, kYesNo };

// OK-and-Cancel wins over YES-and-NO; anything else shows the lone OK.
BoxMode BoxModeFromFlags(uint32_t flags);
// The exclamation pattern is tested first, so 0x70 still gives the warning.
int IconBitmapFromFlags(uint32_t flags);
// The answer the box returns when `command` ends it. The cancel command
// answers NO in YES/NO mode, so Escape never reads as "yes".
int BoxResultForCommand(int command, BoxMode mode);
// The command the Enter key gives (the box's default command, which the
// dialog manager asks for on Enter), or 0 for the dialog's own OK command.
// `focused` is the id of the box's control that has the keyboard focus, 0
// for none. Enter presses the focused button when it is one this mode
// shows; otherwise it answers NO in YES/NO mode, so that Enter never reads
// as "yes" there. Both stop questions thus take Enter the same way.
int EnterCommand(BoxMode mode, int focused);

// The growth steps: S = 10 * (L / 30) + 10, W = S * 1.25, H = S - W / 4.
struct BoxGrowth {
    int s;
    int w;
    int h;
};
BoxGrowth BoxGrowthForLength(size_t textLength);

struct Rect32 {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
};

// A control placement as MoveWindow takes it.
struct Placement {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// The five buttons in the order the layout moves them.
enum BoxButton { kBtnSingleOk, kBtnOk, kBtnCancel, kBtnYes, kBtnNo, kBoxButtonCount };

// Rectangles read with GetWindowRect while the grown box sits at the screen
// origin; the results are handed unchanged to MoveWindow.
struct BoxLayoutInput {
    Rect32 box;
    Rect32 text;
    Rect32 icon;
    Rect32 buttons[kBoxButtonCount];
    BoxGrowth growth;
    bool largeFonts;
};

struct BoxLayout {
    Placement text;
    Placement buttons[kBoxButtonCount];
    bool moveIcon;  // only long texts (S > 30) lift the icon
    Placement icon;
};

BoxLayout ComputeBoxLayout(const BoxLayoutInput& in);

}  // namespace skin
