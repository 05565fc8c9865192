#pragma once
// The spectrum dock of one current channel: the power spectral density of its current, or
// its square root, against frequency, with the block size and the integration time that the
// consumer averages over.

#include "analysis/framework/analysiswidget.h"
#include "analysis/spectrum/spectrumconsumer.h"

#include <QList>

#include <memory>

class AnalysisPlot;
class Curve;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;

class SpectrumWidget : public AnalysisDock<SpectrumWidget, SpectrumConsumer> {
    Q_OBJECT

  public:
    SpectrumWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent = nullptr);
    ~SpectrumWidget() override;

    void setConsumer(SpectrumConsumer* consumer);
    QString exportName() const override { return "spectrum"; }
    QString exportData() override;
    AnalysisPlot* plot() const { return spectrumPlot; }
    const Curve& curve() const { return *spectrumCurve; }

  signals:
    void setOptions(int currentChannelIdx, SpectrumConsumer::Options_t& options);

  public slots:
    void onApplyParameters();
    void onLogAxisRequest();
    // The box is read at each result.
    void onSquaredRequest() {}

  protected:
    void redraw() override;

  private:
    QDoubleSpinBox* integrationTime;
    QComboBox* fftBins;
    QCheckBox* logX;
    QCheckBox* logY;
    QCheckBox* squared;
    bool xIsLog = false;
    bool yIsLog = false;
    AnalysisPlot* spectrumPlot;
    std::unique_ptr<Curve> spectrumCurve;
    SpectrumCurve shown;
};
