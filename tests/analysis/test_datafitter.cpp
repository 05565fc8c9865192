// The fitters against models whose parameters the test chose: each fit runs on the fitter's
// own thread and its result is taken from the queued `fitted` signal. (The Gaussian against a
// cell's noise: the histogram dock's journey.)
#include "analysis/compute/datafitter.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

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

// Points of `f` at `count` evenly spaced xs from `from` to `to`, plus normal noise of `sigma`.
template <typename F> QList<QPointF> sampled(F f, double from, double to, int count, double sigma, int seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    QList<QPointF> points;
    for (int i = 0; i < count; ++i) {
        const double x = from + (to - from) * i / (count - 1);
        points.append({x, f(x) + (sigma > 0 ? noise(generator) : 0.0)});
    }
    return points;
}

TEST(DataFitter, BoltzmannFitFindsEveryParameterWithinOnePercentInEveryUnit) {
    // min, max (pA), V½, k, from, to (mV), points, noise (pA rms)
    const std::tuple<double, double, double, double, double, double, int, double> cases[] = {
        {0.0, 1.0, -20.0, 8.0, -100.0, 60.0, 17, 0.0},
        // A range symmetric about 0 starts V½ at exactly 0: the simplex steps it by a share of
        // the range of x.
        {-2.0, 5.0, 0.0, 10.0, -80.0, 80.0, 33, 0.0},
        {0.0, 1.0, -40.0, -7.0, -120.0, 40.0, 33, 0.0},
        {-100.0, 1500.0, -25.0, 9.0, -100.0, 60.0, 33, 2.0}, // an I-V of the 2 nA range
    };
    // The same points in pA, nA and µA (and mV or V): the stop test and the starting simplex
    // are relative to the points, so every fit lands as close in one unit as in another.
    const std::tuple<const char*, double, double> units[] = {
        {"mV, pA", 1.0, 1.0}, {"mV, uA", 1.0, 1e-6}, {"V, nA", 1e-3, 1e-3}};
    for (const auto& [unit, ux, uy] : units)
        for (const auto& [min, max, half, k, from, to, count, noise] : cases) {
            SCOPED_TRACE(testing::Message() << unit << ": V½ " << half << " k " << k);
            BoltzmannSigmoidFitModel truth;
            truth.setParameters({min * uy, max * uy, half * ux, k * ux});
            BoltzmannSigmoidDataFitter fitter;
            fitter.loadPoints(
                sampled([&](double x) { return truth.value(x); }, from * ux, to * ux, count, noise * uy, 5));
            const BoltzmannSigmoidFitModel fit = canonical(fitAndWait<BoltzmannSigmoidFitModel>(fitter));
            const BoltzmannSigmoidFitModel want = canonical(truth);
            // 1 % of V½, or of k when V½ is 0.
            EXPECT_NEAR(fit.halfActivationVoltage, want.halfActivationVoltage,
                        0.01 * std::max(std::abs(want.halfActivationVoltage), want.inverseSlope));
            EXPECT_NEAR(fit.inverseSlope, want.inverseSlope, 0.01 * want.inverseSlope);
            const double span = std::abs(max - min) * uy;
            EXPECT_NEAR(fit.minActivation, want.minActivation, 0.01 * span);
            EXPECT_NEAR(fit.maxActivation, want.maxActivation, 0.01 * span);
            EXPECT_TRUE(fit.converged);
        }
}

// Millions of noisy points make each step of the simplex slow: the fit gives up on its budget
// (seconds, where its step limit would take minutes) and says that it did not settle.
TEST(DataFitter, AFitThatCannotSettleWithinItsBudgetStopsAndSaysSo) {
    BoltzmannSigmoidFitModel truth;
    truth.setParameters({0.0, 1.0, -20.0, 8.0});
    BoltzmannSigmoidDataFitter fitter;
    fitter.loadPoints(sampled([&](double x) { return truth.value(x); }, -100.0, 60.0, 2000000, 0.5, 7));
    EXPECT_FALSE(fitAndWait<BoltzmannSigmoidFitModel>(fitter).converged);
}

// Samples drawn into `bins` bins from `lower` to `upper`; those outside are dropped.
template <typename Draw> QList<int> histogram(Draw draw, int samples, double lower, double upper, int bins) {
    QList<int> counts(bins, 0);
    for (int i = 0; i < samples; ++i) {
        const int bin = int(std::floor((draw() - lower) / (upper - lower) * bins));
        if (bin >= 0 && bin < bins) ++counts[bin];
    }
    return counts;
}

// Dwell times drawn from one or two exponentials into a histogram from 0: the fit's time
// constants within 2 % and its weights within 0.02 of those drawn from. A million draws: the fast
// component's constant still moves by about 0.5 % from seed to seed.
TEST(DataFitter, ExponentialFitFindsTheTimeConstantsAndWeightsOfEachComponent) {
    struct Case {
        int components;
        double tau[2], weight[2], upper; // ms, ms, share, the histogram's upper edge in ms
    };
    for (const Case& c : {Case{1, {5.0, 0.0}, {1.0, 0.0}, 40.0}, Case{2, {1.0, 10.0}, {0.3, 0.7}, 60.0}}) {
        SCOPED_TRACE(c.components);
        std::mt19937 generator(11);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        const auto draw = [&] {
            const int k = c.components == 2 && uniform(generator) < c.weight[1] ? 1 : 0;
            return std::exponential_distribution<double>(1.0 / c.tau[k])(generator);
        };
        ExponentialDataFitter fitter;
        fitter.setComponents(c.components);
        fitter.loadHistogram(0.0, c.upper / 200, histogram(draw, 1000000, 0.0, c.upper, 200));
        ExponentialFitModel fit = fitAndWait<ExponentialFitModel>(fitter);
        ASSERT_EQ(fit.components, c.components);
        if (fit.components == 2 && fit.timeConstants[0] > fit.timeConstants[1]) {
            std::swap(fit.timeConstants[0], fit.timeConstants[1]);
            std::swap(fit.amplitudes[0], fit.amplitudes[1]);
        }
        for (int i = 0; i < c.components; ++i) {
            EXPECT_NEAR(fit.timeConstants[i], c.tau[i], 0.02 * c.tau[i]) << "component " << i;
            EXPECT_NEAR(fit.weight(i), c.weight[i], 0.02) << "component " << i;
        }
    }
}

TEST(DataFitter, LinearFitThroughTwoPointsNoisyPointsAndDegenerateOnes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    enum Expect { Line, ThroughBoth, NoLine };
    // name, points, expectation, offset, slope
    const std::tuple<const char*, QList<QPointF>, Expect, double, double> cases[] = {
        {"two points at mV and nA", {{-0.07, 1.3e-9}, {0.05, -2.2e-9}}, ThroughBoth, 0, 0},
        {"noisy", sampled([](double x) { return -3.0 + 2.0 * x; }, -50.0, 49.5, 200, 0.05, 3), Line, -3.0,
         2.0},
        // 0.1 three times leaves a rounding residue around the mean.
        {"equal x", {{0.1, 1.0}, {0.1, 2.0}, {0.1, 4.0}}, NoLine, 0, 0},
        {"no finite point", {{nan, 1.0}}, NoLine, 0, 0},
    };
    for (const auto& [name, points, expect, offset, slope] : cases) {
        LinearDataFitter fitter;
        fitter.loadPoints(points);
        const LinearFitModel fit = fitAndWait<LinearFitModel>(fitter);
        if (expect == NoLine) {
            EXPECT_TRUE(std::isnan(fit.slope) && std::isnan(fit.offset))
                << name << ": slope " << fit.slope << " offset " << fit.offset;
        } else if (expect == Line) {
            EXPECT_NEAR(fit.slope, slope, std::abs(slope) * 0.01) << name;
            EXPECT_NEAR(fit.offset, offset, std::abs(offset) * 0.01) << name;
        }
        for (const QPointF& p : points.size() == 2 ? points : QList<QPointF>{})
            EXPECT_NEAR(fit.value(p.x()), p.y(), 1e-12 * std::abs(p.y())) << name << " at x " << p.x();
    }
}

// Without points nothing runs; a histogram loads its bins' middles; the non-finite points of a
// saturated channel are left out and counted. (The fitted curves drawn, and the points a fit
// needs: the histogram and I-V docks' journeys.)
TEST(DataFitter, LoadersKeepFinitePoints) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    LinearDataFitter fitter;
    QSignalSpy spy(&fitter, &LinearDataFitter::fitted);
    fitter.fit();
    EXPECT_FALSE(fitter.isRunning());
    EXPECT_TRUE(spy.isEmpty()) << "a fit ran without points";

    fitter.loadHistogram(1.0, 0.5, {3, 0, 7});
    EXPECT_EQ(std::tuple(fitter.xs(), fitter.ys()),
              std::tuple(QList<double>{1.25, 1.75, 2.25}, QList<double>{3.0, 0.0, 7.0}));
    const double x[] = {-inf, 0.1, 0.3, nan, 0.7, 4.0};
    const double y[] = {0.0, 0.0, 1.0, 1.0, 2.0, inf};
    fitter.loadCurve(x, y, 6);
    EXPECT_EQ(fitter.xs(), (QList<double>{0.1, 0.3, 0.7}));
    EXPECT_EQ(fitter.skippedCount(), 3);
    EXPECT_EQ(fitter.xMax(), 0.7);
    fitAndWait<LinearFitModel>(fitter);
    fitter.loadPoints({{5.0, 1.0}, {-1.0, 2.0}});
    EXPECT_EQ(fitter.state(), DataFitter::DataLoaded) << "ready for the next fit";
    EXPECT_EQ(fitter.skippedCount(), 0);
}

} // namespace
