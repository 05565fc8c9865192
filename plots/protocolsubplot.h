#pragma once
// One channel's place in the plot tab: its live plot under a toolbar with the channel's own
// zoom, baseline tracking, maximise and channel buttons. Current and gp channels are numbered
// together (current first), as the plot tab numbers them; voltage plots have only the zoom.

#include "plots/protocoldataplot.h"

#include <QWidget>

class MembraneMonitorButton;
class QAction;
class QLabel;
class QMenu;
class QToolBar;

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
    // the plot becomes the sub-plot's child. A gp channel shows its name, the others their number.
    ProtocolSubPlot(Kind kind, int channelIdx, ProtocolDataPlot* plot, Features features,
                    const QString& gpName = {}, QWidget* parent = nullptr);

    Kind kind() const { return channelKind; }
    int channel() const { return channelIdx; }
    ProtocolDataPlot* plot() const { return channelPlot; }
    // Null where the channel has no switch.
    MembraneMonitorButton* switchButton() const { return switchBtn; }
    // Every action of the channel; a right click on the title row or the plot's axes opens it.
    QMenu* menu() const { return channelMenu; }
    // Shows the state without announcing it.
    void showMaximized(bool on);
    void showBaselineTracking(bool on);
    // Whether the amplifier compensates the channel's offset.
    void showDigitalOffsetCompensation(bool on);
    // The name above the plot, a recording's own in place of the number.
    QString title() const;
    void setTitle(const QString& text);

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

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // An action on the toolbar and in the channel's menu; its text is its tool tip.
    QAction* newAction(const QString& icon, const QString& text, bool checkable = false);
    void addSeparator();

    const Kind channelKind;
    const int channelIdx;
    ProtocolDataPlot* channelPlot;
    QToolBar* toolbar;
    QMenu* channelMenu;
    QLabel* titleLabel;
    QAction* baselineAction = nullptr;
    QAction* maximizeAction = nullptr;
    QAction* offsetCompensationAction = nullptr;
    QLabel* compensatingMark = nullptr; // shown while the channel's offset is compensated
    MembraneMonitorButton* switchBtn = nullptr;
};
