#include "plots/plotlayout.h"

#include <algorithm>
#include <cstddef>

namespace {

// The least room a sub-plot is given: its channel label, switch and a few buttons, and a trace
// a few tens of pixels tall between its axes.
constexpr int subPlotWidth = 200;
constexpr int subPlotHeight = 100;

} // namespace

int gridColumns(int shown, int maxRows) {
    return (shown + maxRows - 1) / maxRows;
}

int gridRows(int shown, int maxRows) {
    const int columns = gridColumns(shown, maxRows);
    return columns == 0 ? 1 : (shown - 1 + columns) / columns;
}

GridCell gridCell(int k, int shown, int maxRows) {
    const int rows = gridRows(shown, maxRows);
    return {k % rows, k / rows};
}

PageShape pageShape(int width, int height) {
    return {std::max(1, width / subPlotWidth), std::clamp(height / subPlotHeight, 1, 4)};
}

int nextSwitchedOnChannel(const std::vector<bool>& switchedOn, int from, int step) {
    const int total = int(switchedOn.size());
    if (total <= 1) return -1;
    for (int i = 1; i <= total; i++) {
        const int channel = ((from + i * step) % total + total) % total;
        if (switchedOn[std::size_t(channel)]) return channel;
    }
    return -1;
}
