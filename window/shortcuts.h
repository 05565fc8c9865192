#pragma once
// The keys of a connection: zooms of the plot tab, and the stimulus dock's holding voltage,
// stop, and protocols started or recorded by their number.

#include <vector>

class PlotTab;
class ProtocolDockWidget;
class QShortcut;
class QWidget;

// Shortcuts of `window`, which the caller deletes at teardown; `protocolDock` may be null.
std::vector<QShortcut*> makeShortcuts(QWidget* window, PlotTab* plotTab, ProtocolDockWidget* protocolDock);
