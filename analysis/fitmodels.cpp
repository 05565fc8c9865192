#include "analysis/fitmodels.h"

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
