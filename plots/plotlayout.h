#pragma once
// Where the channel sub-plots go and which channel a "maximise next" lands on, kept apart
// from the widgets so that the rules can be checked on their own.

#include <vector>

struct GridCell {
    int row = 0;
    int column = 0;
    bool operator==(const GridCell&) const = default;
};

// Columns of up to `maxRows` (four unless the room is short) sub-plots, filled top to bottom:
// 4 shown channels make one column, 5 make columns of 3 and 2, 16 a 4 x 4 grid.
int gridColumns(int shown, int maxRows = 4);
int gridRows(int shown, int maxRows = 4);
// The place of the k-th of `shown` sub-plots, in channel order.
GridCell gridCell(int k, int shown, int maxRows = 4);

// How many sub-plots one page of the grid shows in an area of that size in pixels: as many
// columns and rows (at most four) as leave each sub-plot room for its toolbar and a readable
// trace, and never less than one. Channels past a page are shown a page at a time.
struct PageShape {
    int columns = 1;
    int rows = 1;
    int size() const { return columns * rows; }
    bool operator==(const PageShape&) const = default;
};
PageShape pageShape(int width, int height);

// The first switched-on channel after `from` stepping by `step` (+1 or -1) around all
// channels; -1 when there is a single channel or none is switched on.
int nextSwitchedOnChannel(const std::vector<bool>& switchedOn, int from, int step);
