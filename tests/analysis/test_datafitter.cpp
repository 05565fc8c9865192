// The fitters against models whose parameters the test chose: each fit runs on the fitter's
// own thread and its result is taken from the queued `fitted` signal.
#include "analysis/datafitter.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

namespace {

// The spy records in the fitter's thread, so joining that thread is the wake-up: a fast fit
// may emit before a spy's event loop would start waiting.
template <typename Model, typename Fitter> Model fitAndWait(Fitter& fitter) {
    QSignalSpy spy(&fitter, &Fitter::fitted);
    fitter.fit();
    EXPECT_TRUE(fitter.join(30000)) << "the fit did not end";
    EXPECT_EQ(spy.size(), 1) << "no fitted signal";
    return spy.isEmpty() ? Model{} : spy.takeFirst().at(0).template value<Model>();
}

// A decreasing sigmoid is the same curve with the plateaus swapped and k negated; the fit may
// land on either form, so both are compared with the plateaus in increasing order of x.
BoltzmannSigmoidFitModel canonical(BoltzmannSigmoidFitModel m) {
    if (m.inverseSlope < 0) {
        std::swap(m.minActivation, m.maxActivation);
        m.inverseSlope = -m.inverseSlope;
    }
    return m;
}

TEST(DataFitter, StartingSimplexStepsEachParameterByFivePercentAndZeroByAFixedStep) {
    GaussianFitModel model;
    model.setParameters({0.0, 2.0, -4.0});
    Simplex simplex;
    model.initSimplex(simplex);
    const QList<QList<double>> expected = {
        {0.0, 2.0, -4.0}, {0.00025, 2.0, -4.0}, {0.0, 2.1, -4.0}, {0.0, 2.0, -4.2}};
    ASSERT_EQ(simplex.vertices.size(), expected.size());
    for (qsizetype v = 0; v < expected.size(); ++v)
        for (qsizetype p = 0; p < 3; ++p)
            EXPECT_DOUBLE_EQ(simplex.vertices[v][p], expected[v][p]) << "vertex " << v << " parameter " << p;
}

TEST(DataFitter, BoltzmannFitRecoversHalfActivationAndSlopeWithinOnePercent) {
    struct Case {
        double min, max, half, k, from, to;
        int points;
    };
    const Case cases[] = {
        {0.0, 1.0, -20.0, 8.0, -100.0, 60.0, 17},
        // A range symmetric about 0 starts V½ at exactly 0: only the fixed simplex step moves it.
        // (Currents in pA as the widgets show them: the convergence test on the costs is absolute.)
        {-2.0, 5.0, 0.0, 10.0, -80.0, 80.0, 33},
        {-50.0, 400.0, -15.0, 6.0, -90.0, 90.0, 37},
        {0.0, 1.0, -40.0, -7.0, -120.0, 40.0, 33},
        {-200.0, 800.0, -35.0, 5.0, -100.0, 50.0, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "V½ " << c.half << " k " << c.k);
        BoltzmannSigmoidFitModel truth;
        truth.setParameters({c.min, c.max, c.half, c.k});
        QList<QPointF> points;
        for (int i = 0; i < c.points; ++i) {
            const double x = c.from + (c.to - c.from) * i / (c.points - 1);
            points.append({x, truth.value(x)});
        }
        BoltzmannSigmoidDataFitter fitter;
        fitter.loadPoints(points);
        const BoltzmannSigmoidFitModel fit = canonical(fitAndWait<BoltzmannSigmoidFitModel>(fitter));
        const BoltzmannSigmoidFitModel want = canonical(truth);
        // 1 % of V½, or of k when V½ is 0.
        const double halfTolerance = 0.01 * std::max(std::abs(want.halfActivationVoltage), want.inverseSlope);
        EXPECT_NEAR(fit.halfActivationVoltage, want.halfActivationVoltage, halfTolerance);
        EXPECT_NEAR(fit.inverseSlope, want.inverseSlope, 0.01 * want.inverseSlope);
        const double span = std::abs(c.max - c.min);
        EXPECT_NEAR(fit.minActivation, want.minActivation, 0.01 * span);
        EXPECT_NEAR(fit.maxActivation, want.maxActivation, 0.01 * span);
    }
}

TEST(DataFitter, GaussianFitOnHistogramRecoversMeanWithinOnePercentAndWidthWithinTwo) {
    struct Case {
        double mean, sigma, lowerEdge, upperEdge;
    };
    const Case cases[] = {
        {50.0, 5.0, 0.0, 100.0},
        {-120.0, 15.0, -250.0, 50.0}, // off the middle of the range
        {0.8, 0.05, 0.0, 2.0},        // narrow against the range
    };
    const int samples = 100000;
    const int bins = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mean " << c.mean << " sigma " << c.sigma);
        std::mt19937 generator(7);
        std::normal_distribution<double> normal(c.mean, c.sigma);
        const double binWidth = (c.upperEdge - c.lowerEdge) / bins;
        QList<int> counts(bins, 0);
        for (int i = 0; i < samples; ++i) {
            const int bin = int(std::floor((normal(generator) - c.lowerEdge) / binWidth));
            if (bin >= 0 && bin < bins) ++counts[bin];
        }
        GaussianDataFitter fitter;
        fitter.loadHistogram(c.lowerEdge, binWidth, counts);
        const GaussianFitModel fit = fitAndWait<GaussianFitModel>(fitter);
        EXPECT_NEAR(fit.mean, c.mean, 0.01 * std::abs(c.mean));
        EXPECT_NEAR(std::abs(fit.standardDeviation), c.sigma, 0.02 * c.sigma);
        // The counts integrate to the number of samples times the bin width.
        EXPECT_NEAR(fit.area, samples * binWidth, 0.02 * samples * binWidth);
    }
}

TEST(DataFitter, LoadersKeepFinitePointsAndHistogramMiddles) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    LinearDataFitter fitter;
    EXPECT_EQ(fitter.state(), DataFitter::NoData);

    fitter.loadHistogram(1.0, 0.5, {3, 0, 7});
    EXPECT_EQ(fitter.state(), DataFitter::DataLoaded);
    EXPECT_EQ(fitter.xs(), (QList<double>{1.25, 1.75, 2.25}));
    EXPECT_EQ(fitter.ys(), (QList<double>{3.0, 0.0, 7.0}));
    EXPECT_EQ(fitter.count(), 3);
    EXPECT_EQ(fitter.skippedCount(), 0);

    // A saturated channel: the non-finite points are left out and counted.
    const double x[] = {-inf, 1.0, 2.0, nan, 3.0, 4.0};
    const double y[] = {0.0, 3.0, nan, 1.0, 7.0, inf};
    fitter.loadCurve(x, y, 6);
    EXPECT_EQ(fitter.xs(), (QList<double>{1.0, 3.0}));
    EXPECT_EQ(fitter.ys(), (QList<double>{3.0, 7.0}));
    EXPECT_EQ(fitter.skippedCount(), 4);
    EXPECT_EQ(fitter.xMin(), 1.0);
    EXPECT_EQ(fitter.xMax(), 3.0);
    const LinearFitModel line = fitAndWait<LinearFitModel>(fitter);
    EXPECT_DOUBLE_EQ(line.slope, 2.0);
    EXPECT_DOUBLE_EQ(line.offset, 1.0);

    // New points make the fitter ready for the next fit and forget the skipped ones.
    fitter.loadPoints({{5.0, 1.0}, {-1.0, 2.0}});
    EXPECT_EQ(fitter.state(), DataFitter::DataLoaded);
    EXPECT_EQ(fitter.skippedCount(), 0);
    EXPECT_EQ(fitter.xMin(), -1.0);
    EXPECT_EQ(fitter.xMax(), 5.0);
}

TEST(DataFitter, LinearFitThroughTwoPointsNoisyPointsAndDegenerateOnes) {
    std::mt19937 generator(3);
    std::normal_distribution<double> noise(0.0, 0.05);
    QList<QPointF> noisy;
    for (int i = 0; i < 200; ++i)
        noisy.append({-50.0 + 0.5 * i, -3.0 + 2.0 * (-50.0 + 0.5 * i) + noise(generator)});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    enum Expect { Line, ThroughBoth, NoLine };
    struct Case {
        const char* name;
        QList<QPointF> points;
        Expect expect;
        double offset = 0.0, slope = 0.0;
    };
    const Case cases[] = {
        {"two points", {{-2.0, 1.0}, {4.0, 4.0}}, Line, 2.0, 0.5},
        {"two points at mV and nA", {{-0.07, 1.3e-9}, {0.05, -2.2e-9}}, ThroughBoth},
        {"noisy", noisy, Line, -3.0, 2.0},
        // 0.1 three times leaves a rounding residue around the mean.
        {"equal x", {{0.1, 1.0}, {0.1, 2.0}, {0.1, 4.0}}, NoLine},
        {"no finite point", {{nan, 1.0}}, NoLine},
    };
    for (const Case& c : cases) {
        LinearDataFitter fitter;
        fitter.loadPoints(c.points);
        const LinearFitModel fit = fitAndWait<LinearFitModel>(fitter);
        if (c.expect == NoLine) {
            EXPECT_TRUE(std::isnan(fit.slope) && std::isnan(fit.offset))
                << c.name << ": slope " << fit.slope << " offset " << fit.offset;
        } else if (c.expect == Line) {
            EXPECT_NEAR(fit.slope, c.slope, std::abs(c.slope) * 0.01) << c.name;
            EXPECT_NEAR(fit.offset, c.offset, std::abs(c.offset) * 0.01) << c.name;
        }
        for (const QPointF& p : c.points.size() == 2 ? c.points : QList<QPointF>{})
            EXPECT_NEAR(fit.value(p.x()), p.y(), 1e-12 * std::abs(p.y())) << c.name << " at x " << p.x();
    }
}

TEST(DataFitter, WithoutPointsNothingRunsAndFittedCurveSpansTheFittedPointsExactly) {
    LinearDataFitter fitter;
    QSignalSpy spy(&fitter, &LinearDataFitter::fitted);
    fitter.fit();
    EXPECT_FALSE(fitter.isRunning());
    EXPECT_EQ(fitter.state(), DataFitter::NoData);
    QList<double> xs{9.0};
    QList<double> ys{9.0};
    LinearFitModel model;
    EXPECT_FALSE(fitter.fittedCurve(model, 5, xs, ys)) << "no points yet";
    EXPECT_FALSE(fitter.evaluate(model, {1.0}, ys));
    EXPECT_EQ(xs, QList<double>{9.0});
    EXPECT_EQ(ys, QList<double>{9.0});

    fitter.loadPoints({{0.3, 1.0}, {0.1, 0.0}, {0.7, 2.0}});
    EXPECT_FALSE(fitter.evaluate(model, {1.0}, ys)) << "loaded, not fitted";
    EXPECT_EQ(ys, QList<double>{9.0});
    EXPECT_TRUE(spy.isEmpty()) << "a fit ran without points";
    model = fitAndWait<LinearFitModel>(fitter);

    for (int n : {0, 1, 2, 50, 200}) {
        ASSERT_TRUE(fitter.fittedCurve(model, n, xs, ys)) << n << " points";
        ASSERT_EQ(xs.size(), n);
        ASSERT_EQ(ys.size(), n);
        if (n == 1) {
            EXPECT_DOUBLE_EQ(xs[0], 0.4);
        }
        if (n >= 2) {
            EXPECT_EQ(xs.first(), 0.1) << n << " points";
            EXPECT_EQ(xs.last(), 0.7) << n << " points";
        }
        for (int i = 1; i < n; ++i)
            EXPECT_NEAR(xs[i] - xs[i - 1], 0.6 / (n - 1), 1e-12) << n << " points at " << i;
        for (int i = 0; i < n; ++i)
            EXPECT_DOUBLE_EQ(ys[i], model.value(xs[i]));
    }
}

TEST(DataFitter, TellsWhetherThePointsDetermineEveryParameter) {
    LinearDataFitter line;
    BoltzmannSigmoidDataFitter sigmoid;
    GaussianDataFitter gauss;
    struct Case {
        DataFitter* fitter;
        int parameters;
    };
    const QList<QPointF> points{{1, 1}, {2, 3}, {3, 2}, {4, 5}};
    for (const Case& c : {Case{&line, 2}, Case{&sigmoid, 4}, Case{&gauss, 3}}) {
        EXPECT_EQ(c.fitter->parameterCount(), c.parameters);
        for (int n = 0; n <= points.size(); ++n) {
            c.fitter->loadPoints(points.first(n));
            EXPECT_EQ(c.fitter->enoughPoints(), n >= c.parameters) << n << " points, " << c.parameters;
        }
    }
    // Too few points still fit and emit: the sigmoid through two points.
    sigmoid.loadPoints(points.first(2));
    const BoltzmannSigmoidFitModel fit = fitAndWait<BoltzmannSigmoidFitModel>(sigmoid);
    EXPECT_EQ(sigmoid.state(), DataFitter::FitDone);
    EXPECT_NEAR(fit.value(1.0), 1.0, 0.01);
    EXPECT_NEAR(fit.value(2.0), 3.0, 0.01);
}

TEST(DataFitter, FitsOnItsOwnThreadAndDeliversInTheReceiversThread) {
    BoltzmannSigmoidDataFitter fitter;
    QThread* emittedIn = nullptr;
    QThread* deliveredIn = nullptr;
    QObject receiver;
    QObject::connect(
        &fitter, &BoltzmannSigmoidDataFitter::fitted, &fitter, [&] { emittedIn = QThread::currentThread(); },
        Qt::DirectConnection);
    QObject::connect(&fitter, &BoltzmannSigmoidDataFitter::fitted, &receiver, [&] {
        fitter.takeHandOver();
        deliveredIn = QThread::currentThread();
    });
    fitter.loadPoints({{-1, 0}, {0, 0.5}, {1, 1}, {2, 1}});
    fitter.fit();
    EXPECT_TRUE(QTest::qWaitFor([&] { return deliveredIn != nullptr; }, 30000));
    EXPECT_EQ(deliveredIn, QThread::currentThread());
    EXPECT_EQ(emittedIn, &fitter);
}

TEST(DataFitter, DestructionWaitsForTheRunningFit) {
    bool done = false;
    auto fitter = std::make_unique<GaussianDataFitter>();
    QObject::connect(
        fitter.get(), &GaussianDataFitter::fitted, fitter.get(), [&] { done = true; }, Qt::DirectConnection);
    QList<QPointF> points;
    for (int i = 0; i < 2000; ++i)
        points.append({double(i), std::exp(-0.5 * std::pow((i - 700) / 90.0, 2))});
    fitter->loadPoints(points);
    fitter->fit();
    fitter.reset();
    EXPECT_TRUE(done);
}

} // namespace
