#include <gtest/gtest.h>

#include <string>

#include "skin/message_box_logic.h"

using skin::BoxMode;

TEST(SkinMessageBoxRules, ButtonsFollowTheFlagsOkCancelFirst) {
    EXPECT_EQ(skin::BoxModeFromFlags(0x0), BoxMode::kOkOnly);  // MB_OK
    EXPECT_EQ(skin::BoxModeFromFlags(0x2), BoxMode::kOkOnly);  // abort/retry/ignore
    EXPECT_EQ(skin::BoxModeFromFlags(0x1), BoxMode::kOkCancel);
    EXPECT_EQ(skin::BoxModeFromFlags(0x3), BoxMode::kOkCancel);  // yes/no/cancel: not YES/NO
    EXPECT_EQ(skin::BoxModeFromFlags(0x5), BoxMode::kOkCancel);  // retry/cancel
    EXPECT_EQ(skin::BoxModeFromFlags(0x4), BoxMode::kYesNo);
    EXPECT_EQ(skin::BoxModeFromFlags(0x24), BoxMode::kYesNo);
    EXPECT_EQ(skin::BoxModeFromFlags(0x41), BoxMode::kOkCancel);
    // Bits outside the button field change nothing.
    EXPECT_EQ(skin::BoxModeFromFlags(0xFFFF0300u), BoxMode::kOkOnly);
}

TEST(SkinMessageBoxRules, IconsFollowTheFlagsExclamationFirst) {
    EXPECT_EQ(skin::IconBitmapFromFlags(0x00), skin::kIconWarning);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x30), skin::kIconWarning);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x70), skin::kIconWarning);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x10), skin::kIconError);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x20), skin::kIconQuestion);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x24), skin::kIconQuestion);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x40), skin::kIconInformation);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x41), skin::kIconInformation);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x60), skin::kIconInformation);
    EXPECT_EQ(skin::IconBitmapFromFlags(0x50), skin::kIconInformation);
}

TEST(SkinMessageBoxRules, CancelAnswersNoOnlyInYesNoMode) {
    for (BoxMode mode : {BoxMode::kOkOnly, BoxMode::kOkCancel, BoxMode::kYesNo}) {
        EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdYes, mode), 6);
        EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdNo, mode), 7);
        EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdSingleOk, mode), 1);
        EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdOk, mode), 1);
    }
    EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdCancel, BoxMode::kOkOnly), 2);
    EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdCancel, BoxMode::kOkCancel), 2);
    EXPECT_EQ(skin::BoxResultForCommand(skin::kCmdCancel, BoxMode::kYesNo), 7);
}

TEST(SkinMessageBoxRules, EnterPressesTheFocusedButtonOrAnswersNo) {
    using skin::EnterCommand;
    struct Row {
        BoxMode mode;
        int focused;  // id of the focused control, 0 for none
        int command;  // 0: the dialog's own OK command
    };
    const Row table[] = {
        // YES/NO: the focused one of the two, otherwise NO, never OK.
        {BoxMode::kYesNo, skin::kCmdYes, skin::kCmdYes},
        {BoxMode::kYesNo, skin::kCmdNo, skin::kCmdNo},
        {BoxMode::kYesNo, 0, skin::kCmdNo},
        {BoxMode::kYesNo, 1086, skin::kCmdNo},           // the text control
        {BoxMode::kYesNo, skin::kCmdOk, skin::kCmdNo},   // hidden in this mode
        {BoxMode::kYesNo, skin::kCmdCancel, skin::kCmdNo},
        // OK/Cancel: the focused one of the two, otherwise the dialog's OK.
        {BoxMode::kOkCancel, skin::kCmdCancel, skin::kCmdCancel},
        {BoxMode::kOkCancel, skin::kCmdOk, skin::kCmdOk},
        {BoxMode::kOkCancel, 0, 0},
        {BoxMode::kOkCancel, skin::kCmdYes, 0},
        // The lone OK.
        {BoxMode::kOkOnly, skin::kCmdSingleOk, skin::kCmdSingleOk},
        {BoxMode::kOkOnly, 0, 0},
        {BoxMode::kOkOnly, skin::kCmdNo, 0},
    };
    for (const Row& r : table)
        EXPECT_EQ(EnterCommand(r.mode, r.focused), r.command)
            << "mode " << int(r.mode) << " focused " << r.focused;
    // Whatever has the focus, Enter in a YES/NO box gives YES or NO, and the
    // answer is what that button answers.
    for (int focused = -1; focused < 1100; ++focused) {
        const int command = EnterCommand(BoxMode::kYesNo, focused);
        ASSERT_TRUE(command == skin::kCmdYes || command == skin::kCmdNo) << focused;
        EXPECT_EQ(skin::BoxResultForCommand(command, BoxMode::kYesNo),
                  focused == skin::kCmdYes ? 6 : 7);
    }
}

TEST(SkinMessageBoxGrowth, StepsForEachBandOfTextLength) {
    struct Row {
        size_t from, to;
        int s, w, h, halfW;
    };
    const Row table[] = {{0, 29, 10, 12, 7, 6},      {30, 59, 20, 25, 14, 12},
                         {60, 89, 30, 37, 21, 18},   {90, 119, 40, 50, 28, 25},
                         {120, 149, 50, 62, 35, 31}, {150, 179, 60, 75, 42, 37},
                         {180, 209, 70, 87, 49, 43}};
    for (const Row& row : table) {
        for (size_t len : {row.from, row.to}) {
            const skin::BoxGrowth g = skin::BoxGrowthForLength(len);
            EXPECT_EQ(g.s, row.s) << "length " << len;
            EXPECT_EQ(g.w, row.w) << "length " << len;
            EXPECT_EQ(g.h, row.h) << "length " << len;
            EXPECT_EQ(g.w / 2, row.halfW) << "length " << len;
        }
    }
    // An absurd length must not overflow into a negative size.
    EXPECT_GT(skin::BoxGrowthForLength(size_t(-1)).w, 0);
}

namespace {

// Screen rectangles of a box at the origin, as a caption of 22 and a border
// of 3 pixels would give them; the numbers matter only relative to each other.
skin::BoxLayoutInput SampleInput(size_t textLength, bool largeFonts) {
    skin::BoxLayoutInput in{};
    in.growth = skin::BoxGrowthForLength(textLength);
    in.box = {0, 0, 286 + in.growth.w, 113 + in.growth.h};
    in.text = {77, 33, 280, 64};
    in.icon = {26, 25, 64, 64};
    in.buttons[skin::kBtnSingleOk] = {98, 87, 190, 111};
    in.buttons[skin::kBtnOk] = {39, 87, 131, 111};
    in.buttons[skin::kBtnCancel] = {156, 87, 248, 111};
    in.buttons[skin::kBtnYes] = {39, 67, 131, 91};
    in.buttons[skin::kBtnNo] = {153, 67, 245, 91};
    in.largeFonts = largeFonts;
    return in;
}

}  // namespace

TEST(SkinMessageBoxLayout, TextGrowsAndMovesUpByTheFixedSteps) {
    const skin::BoxLayout out = skin::ComputeBoxLayout(SampleInput(95, false));
    EXPECT_EQ(out.text.x, 77);
    EXPECT_EQ(out.text.y, 33 - 25);
    EXPECT_EQ(out.text.width, 203 + 50);
    EXPECT_EQ(out.text.height, 31 + 28);
    const skin::BoxLayout large = skin::ComputeBoxLayout(SampleInput(95, true));
    EXPECT_EQ(large.text.height, 31 + 28 + 25);
}

TEST(SkinMessageBoxLayout, ButtonsShareOneRowShiftedByHalfTheWidthGrowth) {
    const skin::BoxLayoutInput in = SampleInput(23, false);
    const skin::BoxLayout out = skin::ComputeBoxLayout(in);
    const int row = in.box.bottom - 65;
    for (int i = 0; i < skin::kBoxButtonCount; ++i) {
        EXPECT_EQ(out.buttons[i].x, in.buttons[i].left + 6) << i;
        EXPECT_EQ(out.buttons[i].y, row) << i;
        EXPECT_EQ(out.buttons[i].width, 92) << i;
        EXPECT_EQ(out.buttons[i].height, 24) << i;
    }
}

TEST(SkinMessageBoxLayout, OnlyTextsOfNinetyCharactersOrMoreLiftTheIcon) {
    const skin::BoxLayout short89 = skin::ComputeBoxLayout(SampleInput(89, false));
    EXPECT_FALSE(short89.moveIcon);
    const skin::BoxLayout long90 = skin::ComputeBoxLayout(SampleInput(90, false));
    EXPECT_TRUE(long90.moveIcon);
    // 30 pixels above the text's top edge as read before the text moved.
    EXPECT_EQ(long90.icon.y, 33 - 30);
    EXPECT_EQ(long90.icon.x, 26);
    EXPECT_EQ(long90.icon.width, 38);
    EXPECT_EQ(long90.icon.height, 39);
}
