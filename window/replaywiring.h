#pragma once
// What a recording played back adds to the window built over its session: the replay bar at
// the bottom, the file's channel names on the plots, the file's ranges to the analyses (on a
// device the Controls dock gives them, absent here), and the file's name in the window's title
// for as long as the bar lives. The window's file path names the file opened.

class AnalysisDocks;
class DeviceSession;
class DockLayout;
class PlotTab;
class QMainWindow;

void addReplay(const DeviceSession& session, DockLayout& layout, QMainWindow* window, PlotTab* plotTab,
               AnalysisDocks* analyses);
