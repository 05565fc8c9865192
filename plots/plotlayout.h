#pragma once
// Where the channel sub-plots go and which channel a "maximise next" lands on, kept apart
// from the widgets so that the rules can be checked on their own.

#include <vector>

struct GridCell {
    int row = 0;
    int column = 0;
    bool operator==(const GridCell&) const = default;
};

// Columns of up to four sub-plots, filled top to bottom: 4 shown channels make one column,
// 5 make columns of 3 and 2, 16 a 4 x 4 grid.
int gridColumns(int shown);
int gridRows(int shown);
// The place of the k-th of `shown` sub-plots, in channel order.
GridCell gridCell(int k, int shown);

// The first switched-on channel after `from` stepping by `step` (+1 or -1) around all
// channels; -1 when there is a single channel or none is switched on.
int nextSwitchedOnChannel(const std::vector<bool>& switchedOn, int from, int step);
