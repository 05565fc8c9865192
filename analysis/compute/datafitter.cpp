#include "analysis/compute/datafitter.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr int maxIterations = 10000;
constexpr auto fitBudget = std::chrono::seconds(2);

// Orders NaN costs after every number, so that a fit that wanders where the model is undefined
// still sorts its vertices consistently.
bool lowerCost(const QPair<int, double>& a, const QPair<int, double>& b) {
    return !std::isnan(a.second) && (std::isnan(b.second) || a.second < b.second);
}

void sortByCost(Simplex& simplex) {
    simplex.order.clear();
    for (int i = 0; i < simplex.vertices.size(); ++i)
        simplex.order.append({i, simplex.costs.at(i)});
    std::stable_sort(simplex.order.begin(), simplex.order.end(), lowerCost);
}

// a + factor (b - a), parameter by parameter.
QList<double> along(const QList<double>& a, const QList<double>& b, double factor) {
    QList<double> point(a.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        point[i] = a.at(i) + factor * (b.at(i) - a.at(i));
    return point;
}

} // namespace

DataFitter::DataFitter(QObject* parent) : QThread(parent) {
    connect(
        this, &QThread::finished, this, [this] { std::lock_guard lock(threadEndMutex); },
        Qt::DirectConnection);
}

bool DataFitter::join(unsigned long ms) {
    if (!wait(ms)) return false;
    std::lock_guard lock(threadEndMutex);
    return true;
}

void DataFitter::loadCurve(const double* x, const double* y, int size) {
    QList<double> keptX;
    QList<double> keptY;
    for (int i = 0; i < size; ++i) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) continue;
        keptX.append(x[i]);
        keptY.append(y[i]);
    }
    setPoints(keptX, keptY, size - int(keptX.size()));
}

void DataFitter::loadHistogram(double lowerEdge, double binWidth, const QList<int>& counts) {
    QList<double> middles;
    QList<double> values;
    for (qsizetype i = 0; i < counts.size(); ++i) {
        const double lower = lowerEdge + double(i) * binWidth;
        const double upper = lowerEdge + double(i + 1) * binWidth;
        middles.append((lower + upper) / 2.0);
        values.append(counts.at(i));
    }
    loadCurve(middles.constData(), values.constData(), int(middles.size()));
}

void DataFitter::loadPoints(const QList<QPointF>& points) {
    QList<double> x;
    QList<double> y;
    for (const QPointF& point : points) {
        x.append(point.x());
        y.append(point.y());
    }
    loadCurve(x.constData(), y.constData(), int(x.size()));
}

void DataFitter::setPoints(QList<double> x, QList<double> y, int skippedPoints) {
    pointXs = std::move(x);
    pointYs = std::move(y);
    skipped = skippedPoints;
    smallestX = pointXs.isEmpty() ? notANumber : *std::min_element(pointXs.cbegin(), pointXs.cend());
    largestX = pointXs.isEmpty() ? notANumber : *std::max_element(pointXs.cbegin(), pointXs.cend());
    fitState = DataLoaded;
}

void DataFitter::fit() {
    if (fitState >= DataLoaded) start();
}

bool DataFitter::evaluate(const IFitModel& model, const QList<double>& atXs, QList<double>& values) const {
    if (fitState < FitDone) return false;
    values.resize(atXs.size());
    for (qsizetype i = 0; i < atXs.size(); ++i)
        values[i] = model.value(atXs.at(i));
    return true;
}

bool DataFitter::fittedCurve(const IFitModel& model, int points, QList<double>& curveXs,
                             QList<double>& curveYs) const {
    if (fitState < DataLoaded) return false;
    curveXs.resize(std::max(points, 0));
    if (points == 1) curveXs[0] = (smallestX + largestX) / 2.0;
    if (points >= 2) {
        for (int i = 0; i < points; ++i)
            curveXs[i] = smallestX + (largestX - smallestX) * i / (points - 1);
        // The sum above may miss the largest x by a rounding step; the curve must end on it.
        curveXs.last() = largestX;
    }
    return evaluate(model, curveXs, curveYs);
}

double DataFitter::cost(IFitModel& model, const QList<double>& parameters) const {
    model.setParameters(parameters);
    double sum = 0.0;
    for (qsizetype i = 0; i < pointXs.size(); ++i) {
        const double residual = model.residual(model.value(pointXs.at(i)), pointYs.at(i));
        sum += residual * residual;
    }
    return sum;
}

void DataFitter::minimise(IFitModel& model) {
    markFitStarted();
    Simplex simplex;
    const auto [lowestY, highestY] = std::minmax_element(pointYs.cbegin(), pointYs.cend());
    const double ySpan = lowestY == pointYs.cend() ? 0.0 : *highestY - *lowestY;
    model.initSimplex(simplex, largestX - smallestX, ySpan);
    // The costs are sums of squared currents, counts or whatever the points hold: the stop
    // test is relative to them, so that a fit goes as far in nA as in pA. Exact points reach
    // costs of rounding only; the points' own sum of squares scales that floor.
    double squares = 0.0;
    for (double y : pointYs)
        squares += y * y;
    const double floor = 1e-20 * squares;
    const qsizetype vertexCount = simplex.vertices.size();
    for (qsizetype i = 0; i < vertexCount; ++i)
        simplex.costs[i] = cost(model, simplex.vertices.at(i));
    sortByCost(simplex);

    // A fit that does not settle gives up after a while, rather than hold the dock's next fits.
    const auto deadline = std::chrono::steady_clock::now() + fitBudget;
    model.converged = false;
    for (int iteration = 0; iteration < maxIterations && std::chrono::steady_clock::now() < deadline;
         ++iteration) {
        const int best = simplex.order.first().first;
        const int worst = simplex.order.last().first;
        const double fb = simplex.costs.at(best);
        const double fw = simplex.costs.at(worst);
        const double fs = simplex.costs.at(simplex.order.at(vertexCount - 2).first);
        // The costs alone decide convergence; a vertex where the model is undefined (NaN cost)
        // has not converged.
        bool undefined = false;
        double spread = 0.0;
        for (double c : simplex.costs) {
            undefined = undefined || std::isnan(c);
            spread = std::max(spread, std::abs(c - fb));
        }
        if (!undefined && spread <= 1e-10 * fb + floor) {
            model.converged = true;
            break;
        }

        const QList<double> xw = simplex.vertices.at(worst);
        QList<double> centroid(xw.size(), 0.0);
        for (qsizetype v = 0; v < vertexCount; ++v) {
            if (v == worst) continue;
            for (qsizetype p = 0; p < centroid.size(); ++p)
                centroid[p] += simplex.vertices.at(v).at(p);
        }
        for (double& p : centroid)
            p /= double(vertexCount - 1);

        const auto replaceWorst = [&](const QList<double>& vertex, double vertexCost) {
            simplex.vertices[worst] = vertex;
            simplex.costs[worst] = vertexCost;
        };
        bool shrink = false;
        const QList<double> xr = along(centroid, xw, -1.0);
        const double fr = cost(model, xr);
        if (fr < fb) {
            const QList<double> xe = along(centroid, xw, -2.0);
            const double fe = cost(model, xe);
            if (fe < fr)
                replaceWorst(xe, fe);
            else
                replaceWorst(xr, fr);
        } else if (fr < fs) {
            replaceWorst(xr, fr);
        } else if (fr < fw) {
            const QList<double> xc = along(centroid, xw, -0.5);
            const double fc = cost(model, xc);
            if (fc <= fr)
                replaceWorst(xc, fc);
            else
                shrink = true;
        } else {
            const QList<double> xcc = along(centroid, xw, 0.5);
            const double fcc = cost(model, xcc);
            if (fcc <= fw)
                replaceWorst(xcc, fcc);
            else
                shrink = true;
        }
        if (shrink) {
            const QList<double> xb = simplex.vertices.at(best);
            for (qsizetype v = 0; v < vertexCount; ++v) {
                if (v == best) continue;
                simplex.vertices[v] = along(xb, simplex.vertices.at(v), 0.5);
                simplex.costs[v] = cost(model, simplex.vertices.at(v));
            }
        }
        sortByCost(simplex);
    }
    model.setParameters(simplex.vertices.at(simplex.order.first().first));
}

LinearDataFitter::LinearDataFitter(QObject* parent) : DataFitter(parent) {
    qRegisterMetaType<LinearFitModel>();
}

void LinearDataFitter::run() {
    const QList<double>& x = xs();
    const QList<double>& y = ys();
    double meanX = 0.0;
    double meanY = 0.0;
    for (qsizetype i = 0; i < x.size(); ++i) {
        meanX += x.at(i);
        meanY += y.at(i);
    }
    meanX /= double(x.size());
    meanY /= double(y.size());
    double sumXY = 0.0;
    double sumXX = 0.0;
    for (qsizetype i = 0; i < x.size(); ++i) {
        sumXY += (x.at(i) - meanX) * (y.at(i) - meanY);
        sumXX += (x.at(i) - meanX) * (x.at(i) - meanX);
    }
    LinearFitModel model;
    // Equal xs can leave a rounding residue in sumXX; they determine no slope all the same.
    model.slope = xMax() > xMin() ? sumXY / sumXX : notANumber;
    model.offset = meanY - model.slope * meanX;
    markFitStarted();
    std::lock_guard lock(handOver);
    emit fitted(model);
}

BoltzmannSigmoidDataFitter::BoltzmannSigmoidDataFitter(QObject* parent) : DataFitter(parent) {
    qRegisterMetaType<BoltzmannSigmoidFitModel>();
}

void BoltzmannSigmoidDataFitter::run() {
    BoltzmannSigmoidFitModel model;
    // The first point at the smallest and at the largest x give the two plateaus.
    const QList<double>& x = xs();
    const auto first = std::min_element(x.cbegin(), x.cend());
    const auto last = std::max_element(x.cbegin(), x.cend());
    model.minActivation = first == x.cend() ? notANumber : ys().at(first - x.cbegin());
    model.maxActivation = last == x.cend() ? notANumber : ys().at(last - x.cbegin());
    model.halfActivationVoltage = (xMin() + xMax()) / 2.0;
    model.inverseSlope = (xMax() - xMin()) / 4.0;
    minimise(model);
    std::lock_guard lock(handOver);
    emit fitted(model);
}

GaussianDataFitter::GaussianDataFitter(QObject* parent) : DataFitter(parent) {
    qRegisterMetaType<GaussianFitModel>();
}

void GaussianDataFitter::run() {
    GaussianFitModel model;
    double sum = 0.0;
    for (double y : ys())
        sum += y;
    model.area = (xMax() - xMin()) * sum / double(count());
    model.mean = (xMin() + xMax()) / 2.0;
    model.standardDeviation = (xMax() - xMin()) * 0.2;
    minimise(model);
    std::lock_guard lock(handOver);
    emit fitted(model);
}

ExponentialDataFitter::ExponentialDataFitter(QObject* parent) : DataFitter(parent) {
    qRegisterMetaType<ExponentialFitModel>();
}

void ExponentialDataFitter::setComponents(int count) {
    components = std::clamp(count, 1, ExponentialFitModel::maxComponents);
}

void ExponentialDataFitter::run() {
    // From the counts' own mean time: one component starts there, two a third of it and twice
    // it, sharing the first count.
    double counts = 0.0, weighted = 0.0;
    for (qsizetype i = 0; i < count(); ++i) {
        counts += ys().at(i);
        weighted += ys().at(i) * (xs().at(i) - xMin());
    }
    const double mean = weighted / counts;
    const double first = ys().isEmpty() ? notANumber : ys().first();
    ExponentialFitModel model;
    model.components = components;
    const double starts[2][2] = {{1.0, 0.0}, {1.0 / 3.0, 2.0}};
    for (int i = 0; i < components; ++i) {
        model.timeConstants[i] = mean * starts[components - 1][i];
        model.amplitudes[i] = first / components * std::exp(xMin() / model.timeConstants[i]);
    }
    minimise(model);
    std::lock_guard lock(handOver);
    emit fitted(model);
}
