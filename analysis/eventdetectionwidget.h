#pragma once
// The event detection dock of one current channel: the thresholds, dwell window and baseline
// tau the user applies, the counts and averages of the events found, the histograms of their
// dwell times and amplitudes with Gaussian fits, and the scatter of amplitude against dwell.

#include "analysis/analysiswidget.h"
#include "analysis/eventdetectionconsumer.h"
#include "analysis/fitmodels.h"

#include <QList>

#include <memory>
#include <vector>

class AnalysisPlot;
class CurrentLimitBox;
class Curve;
class GaussianDataFitter;
class HistogramCurve;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

class EventDetectionWidget : public AnalysisWidget {
    Q_OBJECT

  public:
    explicit EventDetectionWidget(int currentChannelIdx, QWidget* parent = nullptr);
    ~EventDetectionWidget() override;

    void setConsumer(AnalysisConsumer* consumer) override;
    QString exportName() const override { return "eventDetection"; }
    QString exportData() override;

    AnalysisPlot* dwellPlot() const { return dwellHistogramPlot; }
    AnalysisPlot* amplitudePlot() const { return amplitudeHistogramPlot; }
    AnalysisPlot* scatterPlot() const { return eventsPlot; }
    // The fit curves drawn since the last result, on either histogram.
    int fitCount() const { return int(fits.size()); }
    const Curve& fitCurve(int index) const;

  signals:
    void setOptions(int currentChannelIdx, EventDetectionConsumer::Options_t& options);

  public slots:
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) override;
    void onApplyParameters();
    void onResult();
    void onLimitToRoi(bool flag) override;
    void onSaveToLabbook() override;
    void onLinearFit() override {}
    void onBoltzmannSigmoidFit() override {}
    void onGaussianFit() override;
    void onTimeFitted(const GaussianFitModel& model);
    void onCurrentFitted(const GaussianFitModel& model);

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
    // The read-outs greyed for `why`, or current again when it is empty.
    void markReadOuts(const QString& why);

    EventDetectionConsumer* detection = nullptr;
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
    HistogramCurve* dwellBars;
    HistogramCurve* amplitudeBars;
    std::unique_ptr<Curve> scatter;
    QList<double> scatterX, scatterY; // the scatter's points, by amplitude
    GaussianDataFitter* timeFitter;
    GaussianDataFitter* currentFitter;
    std::vector<std::unique_ptr<Fit>> fits;
    int fitRows = 0; // rows of the fit table in use
    EventDetectionRecord shown;
};
