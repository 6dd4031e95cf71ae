#include "app/result_list_logic.h"

namespace app {

int SelectionIndexFor(int count) { return count > 2 ? count - 1 : count; }

void AppendReportLine(ResultListOps& list, const char* line, bool summaryStarted) {
    if (list.Count() >= kResultListLimit && !summaryStarted) list.Reset();
    list.Add(line ? line : "");
    list.SetCurSel(SelectionIndexFor(list.Count()));
    UpdateHorizontalExtent(list);
}

void UpdateHorizontalExtent(ResultListOps& list) {
    if (!list.BeginMeasure()) return;
    int widest = 0;
    for (int i = 0; i < list.Count(); ++i) {
        const int width = list.MeasureLine(i);
        if (width > widest) widest = width;
    }
    list.EndMeasure();
    if (list.GetHorizontalExtent() < widest && widest > kExtentThreshold)
        list.SetHorizontalExtent(static_cast<int>(static_cast<long long>(widest) * 3 / 4));
}

}  // namespace app
