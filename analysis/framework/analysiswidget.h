#pragma once
// The dock of an online analysis: a toolbar that starts, resets and stops its consumer,
// switches between the plot and the data and fit tables, copies the results to the lab book
// and exports them as CSV; under it the plot frame (shown), the data frame and the fit frame.
// Each analysis shows the tools it uses and fills the frames.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>
#include <QString>

#include <array>
#include <cstdint>
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

    // currentChannelIdx equal to the number of current channels: every channel.
    explicit AnalysisWidget(int currentChannelIdx, QWidget* parent = nullptr);

    virtual void setConsumer(AnalysisConsumer* consumer);
    // The analysis's short key, e.g. "noiseReport", for the export settings.
    virtual QString exportName() const = 0;
    // The body of the CSV export, written with `separator`.
    virtual QString exportData() = 0;

    QToolButton* toolButton(Tool tool) const { return buttons[tool]; }
    // Controls the button's visibility.
    QAction* toolAction(Tool tool) const { return actions[tool]; }
    // The three separators, in their order.
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
    virtual void onLimitToRoi(bool flag) = 0;
    // Writes the export to the file the export dialog names.
    void onExportAccepted();
    virtual void onSaveToLabbook() = 0;
    virtual void onLinearFit() = 0;
    virtual void onBoltzmannSigmoidFit() = 0;
    virtual void onGaussianFit() = 0;

  protected:
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
    AnalysisConsumer* consumer = nullptr;

  private:
    friend class RedrawQueue;
    void redrawNow();
    bool forOneChannel() const { return consumer && currentChannelIdx < currentChannelsNum; }
    void onStartClicked(bool on);
    void onStopClicked();
    void onViewData(bool on);
    void onViewFit(bool on);
    // The data or the fit table, as their buttons say, else the plot.
    void showFrames();
    // Opens the export file as the user decides; false when nothing is to be written.
    bool openExportFile(class QFile& file, const QString& folder);

    QToolBar* toolbar;
    std::array<QToolButton*, ToolCount> buttons{};
    std::array<QAction*, ToolCount> actions{};
    std::array<QAction*, 3> separators{};
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
