#pragma once
// The models the analyses fit to their points. Each is a plain value that travels in queued
// signals from the fitter's thread to the widget; the fitters see them only through IFitModel.

#include <QList>
#include <QMetaType>
#include <QPair>

// The downhill simplex of the nonlinear fits: n + 1 vertices of n parameters, a cost per vertex
// and the (vertex, cost) pairs sorted best first.
struct Simplex {
    QList<QList<double>> vertices;
    QList<double> costs;
    QList<QPair<int, double>> order;
};

class IFitModel {
  public:
    virtual ~IFitModel() = default;
    virtual QList<double> parameters() const = 0;
    virtual void setParameters(QList<double> parameters) = 0;
    virtual double value(double x) const = 0;
    // The size of each parameter for points spread over xSpan and ySpan, in the units of the
    // points, whatever they are (pA or nA, mV or V).
    virtual QList<double> typicalSizes(double xSpan, double ySpan) const = 0;
    // What the fit squares and sums for one point: the model's value less the point's.
    virtual double residual(double modelY, double pointY) const { return modelY - pointY; }
    // Vertices around the current parameters: the parameters themselves, then each one stepped
    // by 5 %, of itself, or of its typical size when it is exactly 0 (5 % of 0 is no step).
    // Costs and order are left for the fitter to fill.
    void initSimplex(Simplex& simplex, double xSpan, double ySpan) const;

    // False when the fit gave up on its budget before it settled: its parameters are the best
    // it had reached, and say so where they are shown.
    bool converged = true;
};

struct LinearFitModel : IFitModel {
    static constexpr int parameterCount = 2;
    double offset = 0.0;
    double slope = 0.0;

    QList<double> parameters() const override { return {offset, slope}; }
    void setParameters(QList<double> parameters) override;
    double value(double x) const override { return offset + slope * x; }
    QList<double> typicalSizes(double xSpan, double ySpan) const override { return {ySpan, ySpan / xSpan}; }
};

struct BoltzmannSigmoidFitModel : IFitModel {
    static constexpr int parameterCount = 4;
    double minActivation = 0.0;
    double maxActivation = 0.0;
    double halfActivationVoltage = 0.0;
    double inverseSlope = 0.0;

    QList<double> parameters() const override {
        return {minActivation, maxActivation, halfActivationVoltage, inverseSlope};
    }
    void setParameters(QList<double> parameters) override;
    double value(double x) const override;
    QList<double> typicalSizes(double xSpan, double ySpan) const override {
        return {ySpan, ySpan, xSpan, xSpan};
    }
};

struct GaussianFitModel : IFitModel {
    static constexpr int parameterCount = 3;
    double area = 0.0;
    double mean = 0.0;
    double standardDeviation = 0.0;

    QList<double> parameters() const override { return {area, mean, standardDeviation}; }
    void setParameters(QList<double> parameters) override;
    double value(double x) const override;
    QList<double> typicalSizes(double xSpan, double ySpan) const override {
        return {xSpan * ySpan, xSpan, xSpan};
    }
};

// Dwell times of a channel with one or two open (or closed) states: a sum of decaying
// exponentials, amplitude a_i and time constant tau_i each. Fitted to a dwell-time histogram,
// component i holds the share a_i tau_i / sum(a_j tau_j) of the events: its weight.
struct ExponentialFitModel : IFitModel {
    static constexpr int maxComponents = 2;
    int components = 1;
    double amplitudes[maxComponents] = {};
    double timeConstants[maxComponents] = {};

    QList<double> parameters() const override;
    void setParameters(QList<double> parameters) override;
    double value(double x) const override;
    QList<double> typicalSizes(double xSpan, double ySpan) const override;
    // Counts of events scatter as their square root: residuals taken between square roots
    // (Anscombe's, a count n as sqrt(n + 3/8)) weigh the few long dwells as much as the many
    // short ones, where plain differences leave the time constants about twice as noisy.
    double residual(double modelY, double pointY) const override;
    double weight(int component) const;
};

Q_DECLARE_METATYPE(LinearFitModel)
Q_DECLARE_METATYPE(BoltzmannSigmoidFitModel)
Q_DECLARE_METATYPE(GaussianFitModel)
Q_DECLARE_METATYPE(ExponentialFitModel)
