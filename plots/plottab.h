#pragma once
// The live view of a connection: one sub-plot per current and gp channel in grids of columns
// of four, the voltage plots beside them, and the tab-wide trigger, time-axis, y-zoom and
// overlap controls. Current channels that do not fit at a readable size are shown a page at a
// time. It draws what the gap-free plot consumer writes, routes the consumer's
// range, duration and baseline reports to the plots and the user's trigger and zoom gestures
// back, and switches channels on and off.
//
// Channels are numbered as the tab's slots take them: current channels first, then gp
// channels; the index equal to their total means every channel.

#include "plots/gapfreeplotconsumer.h"
#include "plots/plotlayout.h"
#include "plots/protocolsubplot.h"

#include <QColor>
#include <QWidget>

#include <vector>

class PlotPreferencesDialog;
class QCheckBox;
class QGridLayout;
class QLabel;
class QStackedWidget;
class QToolButton;

class PlotTab : public QWidget {
    Q_OBJECT

  public:
    // The consumer must outlive the tab's use of it: the main window deletes the consumers
    // first and the tab after them, and the tab draws nothing once the consumer is gone.
    PlotTab(GapFreePlotConsumer* consumer, const PlotPreferencesDialog& preferences,
            ProtocolSubPlot::Features features, QWidget* parent = nullptr);

    int currentChannels() const { return currentCount; }
    int gpChannels() const { return gpCount; }
    double timeSpan() const { return span; }
    const std::vector<ProtocolDataPlot*>& voltagePlots() const { return voltagePlotList; }
    // Current plots, then gp plots.
    const std::vector<ProtocolDataPlot*>& channelPlots() const { return channelPlotList; }
    ProtocolSubPlot* subPlot(int channelIdx) const { return subPlots[size_t(channelIdx)]; }
    ProtocolSubPlot* voltageSubPlot(int voltageIdx) const { return voltageSubPlots[size_t(voltageIdx)]; }
    // The grid of the channel's group, null when the channel is not laid out.
    QGridLayout* gridOf(int channelIdx) const;
    bool isMaximized() const { return maximized; }
    int maximizedChannel() const { return maximizedIdx; }
    bool isShown(int channelIdx) const { return shown[size_t(channelIdx)]; }
    // Whether the channel's plot is on screen: shown, on the page in view, or maximised.
    bool isOnScreen(int channelIdx) const { return onScreen[size_t(channelIdx)]; }
    int currentPage() const { return page; }
    bool isSwitchedOn(int channelIdx) const { return switchedOn[size_t(channelIdx)]; }
    bool isOverlapped() const { return overlap; }
    Plot* overlapPlot() const { return overlapView; }
    QColor background() const { return backgroundColor; }

  signals:
    void enableTriggerPicker();
    void disableTriggerPicker();
    void triggerDisabled();
    void switchChannelOn(int channelIdx, bool on);
    void monitorMembraneStateChanged(int channelIdx, bool checked, bool enabled);
    // Passed on to the controls, which send them to the library.
    void selectStimulusChannel(int channelIdx, bool on);
    void digitalOffsetCompensation(int channelIdx, bool on);
    void zap(int channelIdx);

  public slots:
    void onSetGapFreePlotData(double* timeValues, QList<double*>* voltageValues,
                              QList<double*>* currentValues, QList<double*>* gpValues, int dataSize);
    void onVoltageRangeChanged(kv4cl::RangedMeasurement_t range);
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onDisableTrigger();
    void onBaselineTracking(int channelIdx, bool on);
    void onMaximizeChannel(int channelIdx, bool on);
    void onMaximizeNextChannel(int channelIdx);
    void onMaximizePreviousChannel(int channelIdx);
    void onSelectStimulusChannel(int channelIdx, bool on);
    void onDigitalOffsetCompensation(int channelIdx, bool on);
    // The amplifier's report: the channel's button shows it, without a new order.
    void showDigitalOffsetCompensation(int channelIdx, bool on);
    void onZap(int channelIdx);
    void onSwitchChannelOn(int channelIdx, bool on);
    void onMembraneMonitorEnabled(bool enable);
    void onHideOffedChannels(bool hide);
    void onBaselinesAvailable(QList<double> baselines);
    void onCurrentColorChanged(int channelIdx, QColor color);
    void onCurrentColorChanged(int channelIdx);
    void onVoltageColorChanged(int channelIdx, QColor color);
    void onVoltageColorChanged(int channelIdx);
    void onGpColorChanged(int channelIdx, QColor color);
    void onGpColorChanged(int channelIdx);
    void onPlotColorsChanged(QColor backgroundColor);
    void onPlotColorsChanged();
    void onHorzZoomIn();
    void onHorzZoomOut();
    void onVertZoomInCurrentPlots();
    void onVertZoomInVoltagePlots();
    void onVertZoomInGpPlots();
    void onVertZoomOutCurrentPlots();
    void onVertZoomOutVoltagePlots();
    void onVertZoomOutGpPlots();
    void onZoomReset();
    // Fits every plot's y axis to its data.
    void onFitYAxes();
    // The page of current channels in view, when more are shown than one page holds.
    void onShowPage(int pageIdx);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private slots:
    void onOverlapPlots(bool on);
    void onHorzZoom(double totalTime);
    // Copies what the consumer wrote into the shown curves and redraws their plots.
    void onPlotDataUpdated();

  private:
    enum Group { Voltage, Current, Gp };

    QWidget* createToolbar();
    void connectPlot(ProtocolDataPlot* plot, Group group);
    void connectConsumer();
    Group groupOf(const Plot* plot) const;
    std::vector<Plot*> plotsOf(Group group) const;
    // Voltage plots, then current and gp plots.
    std::vector<ProtocolDataPlot*> allPlots() const;
    // The zoom of a group, on the overlapped plot while overlapping.
    void zoomGroup(Group group, double factor);
    void relayout();
    Curve* curveOf(int channelIdx) const;
    void applyChannelColor(int channelIdx);
    // The channel's switch button shows `on`, without switching anything.
    void showSwitch(int channelIdx, bool on);
    bool plotShown(const Plot* plot) const;

    GapFreePlotConsumer* consumer;
    const int voltageCount;
    const int currentCount;
    const int gpCount;
    double span = 1.0;

    std::vector<ProtocolDataPlot*> voltagePlotList;
    std::vector<ProtocolDataPlot*> channelPlotList;
    std::vector<ProtocolSubPlot*> voltageSubPlots;
    std::vector<ProtocolSubPlot*> subPlots;
    std::vector<bool> switchedOn;
    std::vector<bool> shown;
    std::vector<bool> onScreen;
    std::vector<bool> tracking;
    std::vector<QColor> channelColors; // current, then gp
    std::vector<QColor> voltageColors;
    int maximizedIdx = -1;
    bool maximized = false;
    bool ySynchronized = false;
    bool overlap = false;
    bool hideOffed = false;
    QColor backgroundColor = Qt::white;

    QGridLayout* currentGrid;
    QGridLayout* gpGrid;
    QWidget* currentArea;
    QWidget* gpArea;
    // Until the grid has its size every shown channel is laid out on one page.
    bool fitted = false;
    PageShape fit;
    int page = 0;
    int gpRows = 4; // gp channels are never paged, but their rows follow their room too
    QWidget* pageBar = nullptr;
    QToolButton* previousPageButton = nullptr;
    QToolButton* nextPageButton = nullptr;
    QLabel* pageLabel = nullptr;
    QCheckBox* averageBox = nullptr; // its text counts the sweeps in the mean
    QStackedWidget* views;
    Plot* overlapView;
    QToolButton* removeTriggerButton = nullptr;
};
