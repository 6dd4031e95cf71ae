#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/result_list_logic.h"

namespace {

// A list box that measures each line as 8 pixels per character.
class FakeList : public app::ResultListOps {
public:
    int Count() override { return int(lines.size()); }
    void Reset() override {
        lines.clear();
        ++resets;
        selection = -1;
    }
    void Add(const char* line) override { lines.push_back(line); }
    void SetCurSel(int index) override {
        // As LB_SETCURSEL: an index past the end clears the selection.
        selection = index < Count() ? index : -1;
    }
    bool BeginMeasure() override {
        ++measurePasses;
        return !failContext;
    }
    int MeasureLine(int index) override { return int(lines.at(size_t(index)).size()) * 8; }
    void EndMeasure() override {}
    int GetHorizontalExtent() override { return extent; }
    void SetHorizontalExtent(int e) override {
        extent = e;
        extentSets.push_back(e);
    }

    std::vector<std::string> lines;
    int selection = -1;
    int resets = 0;
    int extent = 0;
    int measurePasses = 0;
    bool failContext = false;
    std::vector<int> extentSets;
};

std::string Line(int n) { return "C:\\file" + std::to_string(n) + ".exe"; }

}  // namespace

TEST(ResultList, OneHundredFiftyFirstLineDuringTheScanEmptiesTheListFirst) {
    FakeList list;
    for (int i = 0; i < 150; ++i) app::AppendReportLine(list, Line(i).c_str(), false);
    EXPECT_EQ(list.Count(), 150);
    EXPECT_EQ(list.resets, 0);
    EXPECT_EQ(list.selection, 149);

    app::AppendReportLine(list, "line 151", false);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.lines[0], "line 151");
    EXPECT_EQ(list.resets, 1);
    EXPECT_EQ(list.selection, -1);  // nothing selected until three lines again
    app::AppendReportLine(list, "two", false);
    EXPECT_EQ(list.selection, -1);
    app::AppendReportLine(list, "three", false);
    EXPECT_EQ(list.selection, 2);
}

TEST(ResultList, OnceTheSummaryBeganTheListGrowsPastTheLimit) {
    FakeList list;
    for (int i = 0; i < 150; ++i) app::AppendReportLine(list, Line(i).c_str(), false);
    for (int i = 0; i < 5; ++i) app::AppendReportLine(list, "summary", true);
    EXPECT_EQ(list.Count(), 155);
    EXPECT_EQ(list.resets, 0);
    EXPECT_EQ(list.selection, 154);
}

TEST(ResultList, SelectionNeedsThreeLinesAndFollowsTheNewest) {
    EXPECT_EQ(app::SelectionIndexFor(0), 0);
    EXPECT_EQ(app::SelectionIndexFor(1), 1);
    EXPECT_EQ(app::SelectionIndexFor(2), 2);
    EXPECT_EQ(app::SelectionIndexFor(3), 2);
    EXPECT_EQ(app::SelectionIndexFor(150), 149);
    FakeList list;
    app::AppendReportLine(list, "a", false);
    EXPECT_EQ(list.selection, -1);
    app::AppendReportLine(list, "b", false);
    EXPECT_EQ(list.selection, -1);
    app::AppendReportLine(list, "c", false);
    EXPECT_EQ(list.selection, 2);
    app::AppendReportLine(list, "d", false);
    EXPECT_EQ(list.selection, 3);
}

TEST(ResultList, HorizontalExtentOnlyBeyond560PixelsAtThreeQuarters) {
    FakeList list;
    app::AppendReportLine(list, std::string(70, 'x').c_str(), false);  // 560 pixels
    EXPECT_TRUE(list.extentSets.empty());
    app::AppendReportLine(list, std::string(100, 'x').c_str(), false);  // 800 pixels
    ASSERT_EQ(list.extentSets.size(), 1u);
    EXPECT_EQ(list.extent, 600);
    // 600 stays below the widest 800, so every further line sets 600 again.
    app::AppendReportLine(list, "short", false);
    app::AppendReportLine(list, "short", false);
    EXPECT_EQ(list.extentSets, (std::vector<int>{600, 600, 600}));
    // Three quarters truncate: 71 characters = 568 pixels -> 426.
    FakeList other;
    app::AppendReportLine(other, std::string(71, 'y').c_str(), false);
    EXPECT_EQ(other.extent, 426);
    // An extent already at or above the widest line is left alone.
    FakeList wide;
    wide.extent = 900;
    app::AppendReportLine(wide, std::string(100, 'z').c_str(), false);
    EXPECT_TRUE(wide.extentSets.empty());
}

TEST(ResultList, EveryLineIsMeasuredAgainAndAFailedContextChangesNothing) {
    FakeList list;
    list.failContext = true;
    app::AppendReportLine(list, std::string(100, 'x').c_str(), false);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_TRUE(list.extentSets.empty());
    // A null line is added as an empty one rather than read.
    app::AppendReportLine(list, nullptr, false);
    EXPECT_EQ(list.lines.back(), "");
}
