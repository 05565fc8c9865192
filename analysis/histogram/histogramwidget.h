#pragma once
// The histogram dock of one current channel: the channel's counts as bars, binned over its
// range or over the region between the plot's cursors, with Gaussian fits drawn over them
// and listed in the fit table until the next result.

#include "analysis/compute/fitmodels.h"
#include "analysis/compute/histogramrecord.h"
#include "analysis/framework/analysiswidget.h"
#include "analysis/histogram/histogramconsumer.h"

#include <QList>

#include <memory>
#include <vector>

class AnalysisPlot;
class Curve;
class GaussianDataFitter;
class HistogramCurve;

class HistogramWidget : public AnalysisDock<HistogramWidget, HistogramConsumer> {
    Q_OBJECT

  public:
    HistogramWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent = nullptr);
    ~HistogramWidget() override;

    QString exportName() const override { return "histogram"; }
    QString exportData() override;
    AnalysisPlot* plot() const { return histogramPlot; }
    // The fit curves drawn since the last result.
    int fitCount() const { return int(fits.size()); }
    const Curve& fitCurve(int index) const;

    // The colours of the fits, in the order they are drawn.
    static const QStringList fitColours;

  public slots:
    void onLimitToRoi(bool flag) override;
    void onGaussianFit() override;
    void onCurrentFitted(const GaussianFitModel& model);

  protected:
    void redraw() override;

  private:
    struct Fit {
        QList<double> x, y;
        std::unique_ptr<Curve> curve;
    };
    void clearFits();

    AnalysisPlot* histogramPlot;
    HistogramCurve* bars;
    GaussianDataFitter* fitter;
    std::vector<std::unique_ptr<Fit>> fits;
    int fitRows = 0; // rows of the fit table in use
    HistogramRecord shown;
};
