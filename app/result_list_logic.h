// The result list's rules, over any list that can count, empty, add, select,
// measure and scroll: during a scan the list keeps at most 150 lines, the
// newest line is selected once there are three, and a line wider than 560
// pixels gives the list a horizontal scroll range of three quarters of it.
#pragma once

namespace app {

constexpr int kResultListLimit = 150;
constexpr int kExtentThreshold = 560;

class ResultListOps {
public:
    virtual ~ResultListOps() = default;
    virtual int Count() = 0;
    virtual void Reset() = 0;
    virtual void Add(const char* line) = 0;
    virtual void SetCurSel(int index) = 0;
    // Measuring happens between BeginMeasure and EndMeasure (a device
    // context of the list is held meanwhile). A line that cannot be read
    // measures 0.
    virtual bool BeginMeasure() = 0;
    virtual int MeasureLine(int index) = 0;
    virtual void EndMeasure() = 0;
    virtual int GetHorizontalExtent() = 0;
    virtual void SetHorizontalExtent(int extent) = 0;
};

// Adds one report line: empties a full list first unless the summary has
// begun, selects as the list wants, then updates the scroll range.
void AppendReportLine(ResultListOps& list, const char* line, bool summaryStarted);

// Measures every line; sets the extent to widest * 3 / 4 when the current
// extent is below the widest line and that line is wider than 560 pixels.
void UpdateHorizontalExtent(ResultListOps& list);

// The index to select for a list of `count` lines: the last one from three
// lines on, otherwise `count` itself, one past the end, which selects none.
int SelectionIndexFor(int count);

}  // namespace app
