#include "analysis/compute/fitmodels.h"

#include <algorithm>
#include <cmath>
#include <numbers>

void IFitModel::initSimplex(Simplex& simplex, double xSpan, double ySpan) const {
    const QList<double> start = parameters();
    const QList<double> sizes = typicalSizes(xSpan, ySpan);
    simplex.vertices = {start};
    for (qsizetype i = 0; i < start.size(); ++i) {
        QList<double> vertex = start;
        // Points that span nothing give no size: a small step all the same.
        const double size = std::isfinite(sizes.at(i)) && sizes.at(i) > 0.0 ? sizes.at(i) : 0.005;
        vertex[i] = vertex[i] == 0.0 ? 0.05 * size : vertex[i] * 1.05;
        simplex.vertices.append(vertex);
    }
    simplex.costs.fill(0.0, simplex.vertices.size());
    simplex.order.clear();
}

void LinearFitModel::setParameters(QList<double> parameters) {
    offset = parameters.at(0);
    slope = parameters.at(1);
}

void BoltzmannSigmoidFitModel::setParameters(QList<double> parameters) {
    minActivation = parameters.at(0);
    maxActivation = parameters.at(1);
    halfActivationVoltage = parameters.at(2);
    inverseSlope = parameters.at(3);
}

double BoltzmannSigmoidFitModel::value(double x) const {
    return minActivation +
           (maxActivation - minActivation) / (1.0 + std::exp((halfActivationVoltage - x) / inverseSlope));
}

void GaussianFitModel::setParameters(QList<double> parameters) {
    area = parameters.at(0);
    mean = parameters.at(1);
    standardDeviation = parameters.at(2);
}

double GaussianFitModel::value(double x) const {
    const double z = (x - mean) / standardDeviation;
    return area / (std::sqrt(2.0 * std::numbers::pi) * standardDeviation) * std::exp(-0.5 * z * z);
}

QList<double> ExponentialFitModel::parameters() const {
    QList<double> values;
    for (int i = 0; i < components; ++i)
        values << amplitudes[i] << timeConstants[i];
    return values;
}

void ExponentialFitModel::setParameters(QList<double> parameters) {
    for (int i = 0; i < components; ++i) {
        amplitudes[i] = parameters.at(2 * i);
        timeConstants[i] = parameters.at(2 * i + 1);
    }
}

double ExponentialFitModel::value(double x) const {
    double sum = 0.0;
    for (int i = 0; i < components; ++i)
        sum += amplitudes[i] * std::exp(-x / timeConstants[i]);
    return sum;
}

QList<double> ExponentialFitModel::typicalSizes(double xSpan, double ySpan) const {
    QList<double> sizes;
    for (int i = 0; i < components; ++i)
        sizes << ySpan << xSpan;
    return sizes;
}

double ExponentialFitModel::residual(double modelY, double pointY) const {
    return 2.0 * (std::sqrt(std::max(modelY, 0.0) + 0.375) - std::sqrt(std::max(pointY, 0.0) + 0.375));
}

double ExponentialFitModel::weight(int component) const {
    double total = 0.0;
    for (int i = 0; i < components; ++i)
        total += amplitudes[i] * timeConstants[i];
    return amplitudes[component] * timeConstants[component] / total;
}
