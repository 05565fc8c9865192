#pragma once
// The I-V graph dock of one current channel: each run of the analysis is a series of points
// (replacing the last one or added beside it), redrawn at most twice a second; a straight
// line fitted to the last series gives the conductance, the current offset and the reversal
// potential, which also go to the lab book; a Boltzmann sigmoid can be fitted too. Fits are
// made on the points between the plot's cursors when the region of interest is on.

#include "analysis/compute/fitmodels.h"
#include "analysis/framework/analysiswidget.h"
#include "analysis/ivgraph/ivgraphconsumer.h"

#include <QList>
#include <QTimer>

#include <memory>
#include <vector>

class AnalysisPlot;
class BoltzmannSigmoidDataFitter;
class Curve;
class DataFitter;
class LinearDataFitter;
class QComboBox;
class QDoubleSpinBox;
class QLabel;

class IvGraphWidget : public AnalysisDock<IvGraphWidget, IvGraphConsumer> {
    Q_OBJECT

  public:
    IvGraphWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent = nullptr);
    ~IvGraphWidget() override;

    void setConsumer(IvGraphConsumer* consumer);
    QString exportName() const override { return "ivGraph"; }
    QString exportData() override;

    AnalysisPlot* plot() const { return ivPlot; }
    int curveCount() const { return int(dataCurves.size()); }
    int fitCount() const { return int(fitCurves.size()); }
    const Curve& curve(int index) const { return *dataCurves.at(size_t(index))->curve; }
    QString curveTitle(int index) const { return dataCurves.at(size_t(index))->title; }
    const Curve& fitCurve(int index) const { return *fitCurves.at(size_t(index))->curve; }
    QString fitTitle(int index) const { return fitCurves.at(size_t(index))->title; }

    // The colours of the series, in the order they are added.
    static const QStringList colours;

  public slots:
    void onResult();
    void onUpdatePlot();
    void onLimitToRoi(bool flag) override;
    void onLinearFit() override;
    void onBoltzmannSigmoidFit() override;
    void onFitted(const LinearFitModel& model);
    void onFitted(const BoltzmannSigmoidFitModel& model);

  private:
    struct Series {
        QString title;
        QList<double> x, y;           // in the order the levels were first met
        QList<double> shownX, shownY; // sorted by voltage, for the plot
        std::unique_ptr<Curve> curve;
        std::vector<IvFitParameter> parameters; // of a fit, for its table rows and the CSV
    };
    Series& addSeries(std::vector<std::unique_ptr<Series>>& list, const QString& title, int style,
                      const QColor& color);
    void clearFits();
    // Loads the last series (within the region of interest when it is on) into the fitter;
    // false, with a message on the plot, when there are too few points for its parameters.
    bool loadLastSeries(DataFitter& fitter, const QString& name);
    // The fit's curve over the last series, its parameters in the fit table.
    Series& addFit(const QString& suffix, int style, std::vector<IvFitParameter> parameters);
    void rescale();
    void fitReadOutsStale();

    QDoubleSpinBox* transient;
    QComboBox* newData;
    QComboBox* mode;
    QLabel* conductanceValue;
    QLabel* offsetValue;
    QLabel* reversalValue;
    AnalysisPlot* ivPlot;
    LinearDataFitter* linearFitter;
    BoltzmannSigmoidDataFitter* sigmoidFitter;
    QTimer refresh;
    std::vector<std::unique_ptr<Series>> dataCurves;
    std::vector<std::unique_ptr<Series>> fitCurves;
    bool newSeriesPending = false;
    bool limitToRoi = false;
    // The units of the first series; later ones are brought to them.
    double voltageMultiplier = 1.0;
    double currentMultiplier = 1.0;
    int fitRows = 0; // rows of the fit table in use
};
