#pragma once
// The live plot of one channel. Besides the zoom of every plot it picks the oscilloscope trigger
// (left click rising, right click falling) and shows it as two green lines, and it keeps its axes
// in step with the unit prefix of the channel's range, so that a prefix change does not make the
// trace jump: the consumer rescales the data by the same factor as the axis. With the cursors
// shown, a read-out in the canvas's top-left corner measures the trace between them.

#include "commlib/types/kv4cltypes.h"
#include "plots/plot.h"
#include "plots/triggertype.h"

#include <QTimer>

#include <optional>
#include <vector>

class ProtocolDataPlot : public Plot {
    Q_OBJECT

  public:
    using TriggerType_t = plots::TriggerType_t;

    // channelIdx: the channel's index in the sample row, as the consumer's trigger expects it.
    explicit ProtocolDataPlot(int channelIdx, QWidget* parent = nullptr,
                              const QString& topRightText = QString(),
                              const QString& otherCornersText = QString());

    int channelIdx() const { return channel; }
    bool triggerPicking() const { return picking; }
    QCPItemStraightLine* triggerLevelMarker() const { return levelMarker; }
    QCPItemStraightLine* triggerTimeMarker() const { return timeMarker; }
    // Shown at the top or bottom edge while the trace, where the time axis shows it, lies
    // wholly beyond that edge: an arrow and the trace's mean, in the trace's colour. A click on
    // it fits the y axis to the data.
    QCPItemText* offScaleMarker(Qt::Edge edge) const {
        return edge == Qt::TopEdge ? topMarker : bottomMarker;
    }
    // Shown with the cursors: their times, the trace's samples nearest to them, the differences,
    // and the mean, RMS (the standard deviation), minimum and maximum of the samples between
    // them, in the axes' units. Refreshed with every redraw, so new data and a moved cursor
    // update it without a redraw of their own.
    QCPItemText* cursorReadout() const { return readout; }
    // Where frames were lost in the sweep shown: a red dashed line at each time (s).
    void showLosses(const std::vector<double>& times);
    // The times of the lines shown.
    std::vector<double> lossesShown() const;
    // Earlier sweeps drawn behind the trace, in a pale shade of its colour: `points` values
    // each against `times`, oldest first. `generation` names them: the same again is not copied.
    void showSweeps(uint64_t generation, const double* times, const std::vector<const double*>& sweeps,
                    int points);
    uint64_t sweepsGeneration() const { return sweepsShown; }
    int sweepsDrawn() const;

  signals:
    void disableTriggerPicker();
    void triggerEnabled(ProtocolDataPlot::TriggerType_t type, double x, double y, int channelIdx,
                        bool notifyPlotTab);
    void updateTriggerX(double x);
    void updateTriggerY(double y);

  public slots:
    void onEnableTriggerPicker();
    void onDisableTriggerPicker();
    void onEnableTriggerMarker(double x, double y);
    void onDisableTriggerMarker();
    // For a y axis; the first range an axis gets sets the axis to the whole range.
    void onRangeUpdated(kv4cl::RangedMeasurement_t newRange, Plot::Axis axisIdx = Rect4::yLeft);
    void onDurationUpdated(double duration);
    // Without notifyPlotTab the request mirrors a trigger set on another plot.
    void onRiseTriggerRequest(QPointF p, bool notifyPlotTab = false);
    void onFallTriggerRequest(QPointF p, bool notifyPlotTab = false);

  protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void requestTrigger(TriggerType_t type, QPointF p, bool notifyPlotTab);
    // The first visible trace on the left axis, or null.
    QCPGraph* leftTrace() const;
    QString leftAxisText(double value) const;
    void updateOffScaleMarkers();
    void updateCursorReadout();
    // The read-out's text: the times, and the samples at and between them where there are any.
    QString measured(const QCPGraphDataContainer* data, double t1, double t2) const;

    int channel;
    bool picking = false;
    QCursor triggerCursor;
    QTimer pickerTimer;
    QCPItemStraightLine* levelMarker;
    QCPItemStraightLine* timeMarker;
    QCPItemText* topMarker;
    QCPItemText* bottomMarker;
    QCPItemText* readout;
    std::vector<QCPItemStraightLine*> lossLines; // the first lossCount shown
    std::vector<QCPGraph*> sweepGraphs;          // the earlier sweeps, on a layer below the trace's
    uint64_t sweepsShown = 0;
    size_t lossCount = 0;
    double position = 0.0;                                   // fraction of the x span
    double level = 0.0;                                      // in the left axis's unit
    std::optional<kv4cl::RangedMeasurement_t> axisRanges[2]; // left and right
};
