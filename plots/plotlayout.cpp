#include "plots/plotlayout.h"

#include <cstddef>

int gridColumns(int shown) {
    return (shown + 3) / 4;
}

int gridRows(int shown) {
    const int columns = gridColumns(shown);
    return columns == 0 ? 1 : (shown - 1 + columns) / columns;
}

GridCell gridCell(int k, int shown) {
    const int rows = gridRows(shown);
    return {k % rows, k / rows};
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
