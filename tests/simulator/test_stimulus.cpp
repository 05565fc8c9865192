#include "simulator/stimulus.h"

#include <gtest/gtest.h>

using namespace kav4sim;

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
