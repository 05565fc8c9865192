#pragma once
// The event detection dock of one current channel: the thresholds, dwell window and baseline
// tau the user applies, the counts and averages of the events found, the histograms of their
// dwell times and amplitudes with Gaussian fits, the histogram of the closed times between
// them, exponential fits of the open and closed times, and the scatter of amplitude against
// dwell.

#include "analysis/compute/fitmodels.h"
#include "analysis/eventdetection/eventdetectionconsumer.h"
#include "analysis/framework/analysiswidget.h"

#include <QList>

#include <memory>
#include <utility>
#include <vector>

class AnalysisPlot;
class CurrentLimitBox;
class Curve;
class DataFitter;
class ExponentialDataFitter;
class GaussianDataFitter;
class HistogramCurve;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;

class EventDetectionWidget : public AnalysisDock<EventDetectionWidget, EventDetectionConsumer> {
    Q_OBJECT

  public:
    EventDetectionWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent = nullptr);
    ~EventDetectionWidget() override;

    void setConsumer(EventDetectionConsumer* consumer);
    QString exportName() const override { return "eventDetection"; }
    QString exportData() override;

    AnalysisPlot* dwellPlot() const { return dwellHistogramPlot; }
    AnalysisPlot* amplitudePlot() const { return amplitudeHistogramPlot; }
    AnalysisPlot* closedPlot() const { return closedHistogramPlot; }
    AnalysisPlot* scatterPlot() const { return eventsPlot; }
    // The fit curves drawn since the last result, on either histogram.
    int fitCount() const { return int(fits.size()); }
    const Curve& fitCurve(int index) const;

  signals:
    void setOptions(int currentChannelIdx, EventDetectionConsumer::Options_t& options);

  public slots:
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) override;
    void onApplyParameters();
    void onLimitToRoi(bool flag) override;
    void onSaveToLabbook() override;
    void onGaussianFit() override;
    void onTimeFitted(const GaussianFitModel& model);
    void onCurrentFitted(const GaussianFitModel& model);
    // One or two exponentials, as the box beside the button says, on the open and the closed
    // times' histograms.
    void onExponentialFit();
    void onOpenFitted(const ExponentialFitModel& model);
    void onClosedFitted(const ExponentialFitModel& model);

  protected:
    void redraw() override;

  private:
    struct Fit {
        QList<double> x, y;
        std::unique_ptr<Curve> curve;
    };
    void clearFits();
    // `unit`: the histogram's prefix and unit (its value unused).
    void addFit(GaussianDataFitter* fitter, AnalysisPlot* plot, const GaussianFitModel& model,
                const QString& name, const kv4cl::Measurement_t& unit);
    // The fitter's curve for `model` drawn on `plot` under `title`; false before a fit.
    bool drawFit(const DataFitter* fitter, AnalysisPlot* plot, const IFitModel& model, const QString& title);
    void addExponentialFit(ExponentialDataFitter* fitter, AnalysisPlot* plot,
                           const ExponentialFitModel& model, const QString& name);
    bool fitting() const; // a fit of either kind runs
    // The histogram's bins loaded into `fitter`: only those between the plot's cursors when
    // the fits are limited to the region of interest.
    void loadBins(DataFitter* fitter, const EventHistogram& histogram, const AnalysisPlot* plot);
    // The read-outs greyed for `why`, or current again when it is empty.
    void markReadOuts(const QString& why);

    CurrentLimitBox* threshold1;
    CurrentLimitBox* threshold2;
    QDoubleSpinBox* minDwell;
    QDoubleSpinBox* maxDwell;
    QDoubleSpinBox* baselineTau;
    QList<QLabel*> thresholdUnits;
    QPushButton* apply;
    QLabel* eventsValue;
    QLabel* dwellValue;
    QLabel* gapValue;
    QLabel* rateValue;
    AnalysisPlot* dwellHistogramPlot;
    AnalysisPlot* amplitudeHistogramPlot;
    AnalysisPlot* eventsPlot;
    AnalysisPlot* closedHistogramPlot;
    HistogramCurve* dwellBars;
    HistogramCurve* amplitudeBars;
    HistogramCurve* closedBars;
    QSpinBox* components;
    QPushButton* exponentialFit;
    std::unique_ptr<Curve> scatter;
    QList<double> scatterX, scatterY; // the scatter's points, by amplitude
    GaussianDataFitter* timeFitter;
    GaussianDataFitter* currentFitter;
    ExponentialDataFitter* openFitter;
    ExponentialDataFitter* closedFitter;
    // The exponential fits shown, for the export: title, model.
    QList<std::pair<QString, ExponentialFitModel>> exponentialFits;
    std::vector<std::unique_ptr<Fit>> fits;
    int fitRows = 0; // rows of the fit table in use
    EventDetectionRecord shown;
};
