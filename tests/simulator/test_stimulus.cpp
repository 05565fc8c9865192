#include "simulator/stimulus.h"

#include <gtest/gtest.h>

#include <random>

using namespace kav4sim;

// Passing over samples (done when nobody reads the device) must land exactly where giving
// them one by one does, through segment ends, repetitions and the level after them.
TEST(Stimulus, SkippingAgreesWithStepping) {
    Stimulus::Parameters p = {{"Vhold", -0.02}, {"Vpulse", 0.03}, {"Vstep", 0.01},    {"Vamp", 0.05},
                              {"Vfinal", 0.09}, {"Vinit", -0.08}, {"Thold", 0.003},   {"Tpulse", 0.002},
                              {"Tstep", 0.001}, {"Tramp", 0.004}, {"TPeriod", 0.006}, {"N", 3},
                              {"NR", 2}};
    // Fast-pulses rows: segments, a pulse train and a pulse without a wait.
    for (size_t i = 0; i < 2; i++) {
        p[Stimulus::rowParameter("Segment", i, "voltage")] = 0.01 * double(i + 1);
        p[Stimulus::rowParameter("Segment", i, "duration")] = 0.004;
        p[Stimulus::rowParameter("Pulse", i, "voltage")] = 0.05;
        p[Stimulus::rowParameter("Pulse", i, "wait")] = 0.001 * double(i);
        p[Stimulus::rowParameter("Pulse", i, "duration")] = 0.0003;
        p[Stimulus::rowParameter("Pulse", i, "period")] = 0.0007;
        p[Stimulus::rowParameter("Pulse", i, "count")] = 3;
    }
    std::mt19937 random(3);
    for (const char* protocol :
         {"Constant", "Triangular", "Square wave", "Conductance", "Variable Amplitude", "Variable Duration",
          "Ramp", "Cyclic Voltammetry", "Fast pulses", "Fast pulses waveform 2", "no such protocol"}) {
        SCOPED_TRACE(protocol);
        Stimulus stepped(protocol, p, 10000.0);
        Stimulus skipped(protocol, p, 10000.0);
        uint64_t at = 0;
        for (int round = 0; round < 40; round++) {
            const uint64_t n = std::uniform_int_distribution<uint64_t>(0, 300)(random);
            for (uint64_t i = 0; i < n; i++)
                stepped.next();
            skipped.skip(n);
            at += n + 1;
            ASSERT_EQ(skipped.next(), stepped.next()) << "sample " << at;
        }
    }
}

// The ramps sample by sample at 1 kHz: a ramp of L samples from a to b is a + (b - a) i / L at
// its sample i, the next segment starts at its own level, and Vhold follows the last repetition.
TEST(Stimulus, RampsRiseLinearlyBetweenTheirLevels) {
    const auto expectSamples = [](Stimulus stimulus, const std::vector<double>& expected) {
        for (size_t i = 0; i < expected.size(); i++)
            ASSERT_NEAR(stimulus.next(), expected[i], 1e-12) << "sample " << i;
    };
    // Thold 2 samples, Tpulse 3, Tramp 4, twice.
    const std::vector<double> ramp = {0.01, 0.01, -0.02, -0.02, -0.02, -0.02, -0.01, 0.0, 0.01};
    std::vector<double> twice = ramp;
    twice.insert(twice.end(), ramp.begin(), ramp.end());
    twice.insert(twice.end(), {0.01, 0.01});
    expectSamples(Stimulus("Ramp",
                           {{"Vhold", 0.01},
                            {"Vinit", -0.02},
                            {"Vfinal", 0.02},
                            {"Thold", 0.002},
                            {"Tpulse", 0.003},
                            {"Tramp", 0.004},
                            {"NR", 2}},
                           1000.0),
                  twice);
    // Thold 1 sample, then two cycles of ramps of 2 samples up and down, once.
    expectSamples(Stimulus("Cyclic Voltammetry",
                           {{"Vhold", 0.0},
                            {"Vinit", -0.02},
                            {"Vfinal", 0.02},
                            {"Thold", 0.001},
                            {"Tramp", 0.002},
                            {"N", 2},
                            {"NR", 1}},
                           1000.0),
                  {0.0, -0.02, 0.0, 0.02, 0.0, -0.02, 0.0, 0.02, 0.0, 0.0, 0.0});
}
