#pragma once
// Fitters that each run one fit on a thread of their own, so that the user interface stays
// responsive. A widget owns one fitter per model it offers and reuses it: it loads the points,
// calls fit() and receives the model through the fitter's `fitted` signal, queued to the
// widget's thread. It must not load new points while a fit runs: the fit reads the fitter's copy.

#include "analysis/compute/fitmodels.h"

#include <QList>
#include <QPointF>
#include <QThread>

#include <atomic>
#include <climits>
#include <limits>
#include <mutex>

class DataFitter : public QThread {
    Q_OBJECT
  public:
    enum State { NoData = 0, DataLoaded = 1, FitDone = 2 };

    explicit DataFitter(QObject* parent = nullptr);

    // QThread::wait(), after which the fit's results are seen by ThreadSanitizer too: wait()
    // learns of the thread's end inside Qt, out of the tool's sight, so the thread passes a
    // mutex as it ends and join() after wait(). True once the thread ended.
    bool join(unsigned long ms = ULONG_MAX);

    // Each loader replaces the points and leaves the fitter ready to fit. Points with a
    // non-finite x or y (a saturated or overflowed channel) are left out and counted in
    // skippedCount(), so that one bad sample cannot turn the whole fit into NaN.
    // The samples of a plot curve: `size` values in each array.
    void loadCurve(const double* x, const double* y, int size);
    // Histogram bins of equal width: counts[i] is the value of [lowerEdge + i binWidth,
    // lowerEdge + (i + 1) binWidth), fitted at the middle of the bin.
    void loadHistogram(double lowerEdge, double binWidth, const QList<int>& counts);
    void loadPoints(const QList<QPointF>& points);

    // Starts the fit on the fitter's thread once points are loaded; otherwise does nothing.
    void fit();

    int state() const { return fitState; }
    int count() const { return int(pointXs.size()); }
    const QList<double>& xs() const { return pointXs; }
    const QList<double>& ys() const { return pointYs; }
    double xMin() const { return smallestX; }
    double xMax() const { return largestX; }
    int skippedCount() const { return skipped; }

    // A fit on fewer points than the model has parameters still runs and emits what it gets;
    // these let the widget warn that the result means little.
    virtual int parameterCount() const = 0;
    bool enoughPoints() const { return count() >= parameterCount(); }

    // Fills ys with the model at every x; fills nothing and returns false before a fit.
    bool evaluate(const IFitModel& model, const QList<double>& atXs, QList<double>& values) const;
    // `points` xs evenly spaced from xMin to xMax inclusive (one point: the middle) once points
    // are loaded, and their values through evaluate.
    bool fittedCurve(const IFitModel& model, int points, QList<double>& curveXs,
                     QList<double>& curveYs) const;
    // Qt hands the queued copy of a fitted model to the receiving thread through its own event
    // queue, whose locks ThreadSanitizer cannot see: the fitter emits it holding a mutex, and a
    // receiver in another thread calls this before it reads the copy.
    void takeHandOver() { std::lock_guard lock(handOver); }

  protected:
    // Nelder-Mead downhill simplex on the sum of squared residuals, from the model's parameters;
    // leaves the best vertex in the model.
    void minimise(IFitModel& model);
    void markFitStarted() { fitState = FitDone; }

  private:
    void setPoints(QList<double> x, QList<double> y, int skippedPoints);
    double cost(IFitModel& model, const QList<double>& parameters) const;

    std::mutex threadEndMutex;

  protected:
    std::mutex handOver;

  private:
    std::atomic<int> fitState{NoData};
    QList<double> pointXs;
    QList<double> pointYs;
    double smallestX = std::numeric_limits<double>::quiet_NaN();
    double largestX = std::numeric_limits<double>::quiet_NaN();
    int skipped = 0;
};

// Each fitter waits for its thread in its own destructor, before its run() is gone.
class LinearDataFitter final : public DataFitter {
    Q_OBJECT
  public:
    explicit LinearDataFitter(QObject* parent = nullptr);
    ~LinearDataFitter() override { join(); }
    int parameterCount() const override { return LinearFitModel::parameterCount; }

  signals:
    void fitted(LinearFitModel model);

  protected:
    void run() override;
};

class BoltzmannSigmoidDataFitter final : public DataFitter {
    Q_OBJECT
  public:
    explicit BoltzmannSigmoidDataFitter(QObject* parent = nullptr);
    ~BoltzmannSigmoidDataFitter() override { join(); }
    int parameterCount() const override { return BoltzmannSigmoidFitModel::parameterCount; }

  signals:
    void fitted(BoltzmannSigmoidFitModel model);

  protected:
    void run() override;
};

class GaussianDataFitter final : public DataFitter {
    Q_OBJECT
  public:
    explicit GaussianDataFitter(QObject* parent = nullptr);
    ~GaussianDataFitter() override { join(); }
    int parameterCount() const override { return GaussianFitModel::parameterCount; }

  signals:
    void fitted(GaussianFitModel model);

  protected:
    void run() override;
};

// One or two exponential components on a dwell-time histogram.
class ExponentialDataFitter final : public DataFitter {
    Q_OBJECT
  public:
    explicit ExponentialDataFitter(QObject* parent = nullptr);
    ~ExponentialDataFitter() override { join(); }
    int parameterCount() const override { return 2 * components; }
    // 1 or 2; like the points, not while a fit runs.
    void setComponents(int count);

  signals:
    void fitted(ExponentialFitModel model);

  protected:
    void run() override;

  private:
    int components = 1;
};
