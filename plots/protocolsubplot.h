#pragma once
// One channel's place in the plot tab: its live plot under a toolbar with the channel's own
// zoom, baseline tracking, maximise and channel buttons. Current and gp channels are numbered
// together (current first), as the plot tab numbers them; voltage plots have only the zoom.

#include "plots/protocoldataplot.h"

#include <QWidget>

class MembraneMonitorButton;
class QLabel;
class QToolBar;
class QToolButton;

class ProtocolSubPlot : public QWidget {
    Q_OBJECT

  public:
    enum Kind { CurrentChannel, GpChannel, VoltageChannel };
    // Which of the optional channel buttons the model's features allow.
    struct Features {
        bool channelSwitch = false;
        bool stimulusSelection = false;
        bool digitalOffsetCompensation = false;
        bool zap = false;
    };

    // channelIdx: the index among the current and gp channels (or among the voltage channels);
    // the plot becomes the sub-plot's child.
    ProtocolSubPlot(Kind kind, int channelIdx, ProtocolDataPlot* plot, Features features,
                    QWidget* parent = nullptr);

    Kind kind() const { return channelKind; }
    int channel() const { return channelIdx; }
    ProtocolDataPlot* plot() const { return channelPlot; }
    // Null where the channel has no switch.
    MembraneMonitorButton* switchButton() const { return switchBtn; }
    // Shows the state without announcing it.
    void showMaximized(bool on);
    void showBaselineTracking(bool on);

  signals:
    void baselineTracking(int channelIdx, bool on);
    void maximizeChannel(int channelIdx, bool on);
    void maximizeNextChannel(int channelIdx);
    void maximizePreviousChannel(int channelIdx);
    void selectStimulusChannel(int channelIdx, bool on);
    void digitalOffsetCompensation(int channelIdx, bool on);
    void zap(int channelIdx);
    void switchChannelOn(int channelIdx, bool on);
    void monitorMembraneStateChanged(int channelIdx, bool checked, bool enabled);

  public slots:
    // Halves or doubles the span of a y axis about its centre.
    void onZoomIn(Plot::Axis axis = Rect4::yLeft);
    void onZoomOut(Plot::Axis axis = Rect4::yLeft);
    void onMembraneMonitorEnabled(bool enable);

  private:
    QToolButton* addButton(const QString& icon, const QString& toolTip, bool checkable = false);

    const Kind channelKind;
    const int channelIdx;
    ProtocolDataPlot* channelPlot;
    QToolBar* toolbar;
    QToolButton* baselineButton = nullptr;
    QToolButton* maximizeButton = nullptr;
    MembraneMonitorButton* switchBtn = nullptr;
};
