#pragma once
// The dock of an online analysis: a toolbar that starts, resets and stops its consumer and
// holds the tools the dock has (limit to the region of interest, the data and fit tables,
// the lab book, the CSV export, the fits); under it the plot frame (shown), the data frame
// and the fit frame. A dock says which tools it has, overrides their slots, and fills the
// frames.

#include "acquisition/devicedataproducer.h"
#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

class AnalysisConsumer;
class AnalysisExportDialog;
class RedrawQueue;
class LabbookEvent;
class QAction;
class QFrame;
class QTableWidget;
class QTimer;
class QToolBar;
class QToolButton;

class AnalysisWidget : public QDockWidget {
    Q_OBJECT

  public:
    // The toolbar's buttons, in their order.
    enum Tool {
        StartTool,
        ResetTool,
        StopTool,
        LimitToRoiTool,
        ViewDataTool,
        LabbookTool,
        ExportTool,
        LinearFitTool,
        BoltzmannFitTool,
        GaussianFitTool,
        ViewFitTool,
        ToolCount
    };

    // A dock draws a result at most this often; of the results that arrive meanwhile only the
    // latest is drawn.
    static constexpr int redrawPeriodMs = 200;

    using ChannelCounts = DeviceDataProducer::ChannelCounts;

    // `channels`: the producer's. currentChannelIdx equal to the number of current channels:
    // every channel. Every dock has Start, Reset and Stop; `tools` are the others it shows. The
    // lab book, export and fit tools start disabled: the dock enables them once it has
    // something to give them.
    AnalysisWidget(const ChannelCounts& channels, int currentChannelIdx, std::initializer_list<Tool> tools,
                   QWidget* parent = nullptr);

    // With the export tool: the analysis's short key, e.g. "noiseReport", for the export
    // settings, and the body of the CSV export, written with `separator`.
    virtual QString exportName() const { return {}; }
    virtual QString exportData() { return {}; }

    QToolButton* toolButton(Tool tool) const { return buttons[tool]; }
    // Controls the button's visibility.
    QAction* toolAction(Tool tool) const { return actions[tool]; }
    // The two separators, in their order: each shows between tools shown.
    QAction* separatorAction(int index) const { return separators[size_t(index)]; }
    AnalysisExportDialog* exportDialog() const { return dialog; }
    QFrame* plotFrame() const { return plot; }
    QFrame* dataFrame() const { return data; }
    QFrame* fitFrame() const { return fit; }
    QTableWidget* dataTable() const { return dataValues; }
    QTableWidget* fitTable() const { return fitValues; }

  signals:
    void startConsuming();
    void resetConsuming();
    void stopConsuming();
    // Ownership of the event passes with the signal.
    void labbookEvent(LabbookEvent* event);

  public slots:
    void onNewRecordFile(QString name);
    void onRecording(bool flag);
    virtual void onVoltageRangeChanged(kv4cl::RangedMeasurement_t range);
    virtual void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    virtual void onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    // Writes the export to the file the export dialog names.
    void onExportAccepted();
    // The tools' slots, for the docks that have them.
    virtual void onLimitToRoi(bool) {}
    virtual void onSaveToLabbook() {}
    virtual void onLinearFit() {}
    virtual void onBoltzmannSigmoidFit() {}
    virtual void onGaussianFit() {}
    // A consumer whose result carries nothing has a new result for some of its channels: a
    // running dock draws it (see resultReady()).
    void onResult();

  protected:
    // Start, reset and stop reach the consumer: for the dock's channel, or for the whole
    // consumer. A dock hidden while it runs stops.
    void setConsumer(AnalysisConsumer* consumer);
    // Each result that `from` emits reaches `handler` in the GUI thread, with the copy it
    // carries (if any) read after the consumer's hand-over: see
    // AnalysisConsumer::takeHandOver(). A consumer already gone has ended its thread, which
    // orders it.
    template <class Consumer, class Handler> void receive(Consumer* from, Handler handler) {
        const QPointer<Consumer> guard = from;
        connect(
            from, &Consumer::result, this,
            [guard, handler](const auto&... result) {
                if (guard) guard->takeHandOver();
                handler(result...);
            },
            Qt::QueuedConnection);
    }
    // The consumer has a new result: the dock draws the latest one (redraw()) when its turn
    // comes, passing over results of the consumer's other channels. Costs next to nothing, so
    // that notifications never wait behind a redraw.
    void resultReady();
    // Draws the consumer's latest result: at most once per redraw period, and in turn with the
    // other docks, one per pass of the event loop, so that a consumer that notifies the docks
    // of every channel at once does not hold the window up for all their redraws together.
    virtual void redraw() {}

    int voltageChannelsNum = 0;
    int currentChannelsNum = 0;
    int gpChannelsNum = 0;
    int currentChannelIdx;
    QString seriesName = "Series";
    QString analysisTitle;
    QString separator = ",";
    bool recording = false;
    kv4cl::RangedMeasurement_t voltageRange;
    std::vector<kv4cl::RangedMeasurement_t> currentRanges;
    std::vector<kv4cl::RangedMeasurement_t> gpRanges;

  private:
    friend class RedrawQueue;
    void redrawNow();
    bool forOneChannel() const { return driven && currentChannelIdx < currentChannelsNum; }
    void onStartClicked(bool on);
    void onStopClicked();
    void onViewData(bool on);
    void onViewFit(bool on);
    // The data or the fit table, as their buttons say, else the plot.
    void showFrames();
    // Opens the export file as the user decides; false when nothing is to be written.
    bool openExportFile(class QFile& file, const QString& folder);

    AnalysisConsumer* driven = nullptr;
    QToolBar* toolbar;
    std::array<QToolButton*, ToolCount> buttons{};
    std::array<QAction*, ToolCount> actions{};
    std::array<QAction*, 2> separators{};
    AnalysisExportDialog* dialog;
    QFrame* plot;
    QFrame* data;
    QFrame* fit;
    QTableWidget* dataValues;
    QTableWidget* fitValues;
    bool redrawPending = false;
    uint64_t resultsDrawn = 0;
    // Running from a redraw for the redraw period: a result meanwhile waits for its end.
    QTimer* holdOff;
};

// The dock base typed on its consumer: `Dock` (the class that derives from it) gets the
// consumer as its own type, and each of its results in onResult(), with the copy it carries
// if any. A dock that wires more to its consumer defines setConsumer() of its own, which
// calls this one first.
template <class Dock, class Consumer> class AnalysisDock : public AnalysisWidget {
  public:
    using AnalysisWidget::AnalysisWidget;

    void setConsumer(Consumer* consumer) {
        typed = consumer;
        AnalysisWidget::setConsumer(consumer);
        receive(consumer,
                [dock = static_cast<Dock*>(this)](const auto&... result) { dock->onResult(result...); });
    }
    Consumer* consumer() const { return typed; }

  private:
    Consumer* typed = nullptr;
};
