// Ranges changed while frames stream: frames already in the library when a range changes were
// acquired in the old range and must convert to their true values all the same, as must those
// acquired in the new one: the currents, the voltage and the gp words alike. Each read is
// converted before the next, as the program's producer does.

#include "tests/support/amplifiertest.h"

#include <functional>

namespace {

class RangeSwitch : public kv4test::SimulatedAmplifiers {
  protected:
    // Changes a range with frames in the library and more on their way, then checks each of the
    // next 3000 frames.
    void acrossTheChange(const std::function<kv4cl::ErrorCodes_t()>& change,
                         const std::function<void(const kv4test::Frames&, size_t)>& check) {
        kv4cl::DataStatus_t status{};
        while (kv4cl::getDataStatus(status) != kv4cl::Success)
            ASSERT_TRUE(amplifier().device().waitForNextRead(amplifier().model().rxChannel,
                                                             std::chrono::seconds(10)));
        ASSERT_EQ(change(), kv4cl::Success);
        kv4test::Frames frames;
        size_t checked = 0;
        while (frames.count() < 3000 && !HasFailure()) {
            readAvailable(frames);
            for (; checked < frames.count() && !HasFailure(); checked++)
                check(frames, checked);
        }
    }
};

// A Dogwood 16: current ranges in pA and nA, voltage ranges of 500 and 2000 mV, and a reference
// monitor whose ranges are in mV and in V with an offset.
TEST_F(RangeSwitch, FramesOnTheirWayWhenARangeChangesKeepTheirValue) {
    ASSERT_NO_FATAL_FAILURE(connect("dogwood16"));
    constexpr uint16_t channels = 16;
    amplifier().setCell(channels, kv4test::quietCell()); // 1 GOhm behind 10 MOhm
    ASSERT_NO_FATAL_FAILURE(startProtocol("Constant", {{"Vhold", 50.0}}));
    ASSERT_EQ(kv4cl::setVoltageReference({300.0, kv4cl::UnitPfxMilli, "V"}), kv4cl::Success);
    ASSERT_NO_FATAL_FAILURE(settle());
    read(2000); // the membrane charged
    const double current = 0.050 / 1.01e9;

    // 200 pA, 2 nA, 20 nA and back: steps of 6 fA to 0.6 pA, prefixes pico and nano.
    for (const uint16_t range : {1, 2, 0}) {
        SCOPED_TRACE("to current range " + std::to_string(range));
        acrossTheChange([&] { return kv4cl::setCurrentRange(range, channels); },
                        [&](const kv4test::Frames& f, size_t i) {
                            for (uint16_t c = 0; c < channels; c += 5)
                                ASSERT_NEAR(kv4test::amperes(f, i, c), current, 0.7e-12)
                                    << "frame " << i << " after the change, channel " << c;
                        });
    }
    // 500 mV and 2000 mV: the same code is four times the voltage in the second.
    for (const uint16_t range : {1, 0}) {
        SCOPED_TRACE("to voltage range " + std::to_string(range));
        acrossTheChange([&] { return kv4cl::setVoltageRange(range); },
                        [&](const kv4test::Frames& f, size_t i) {
                            ASSERT_NEAR(kv4test::volts(f, i), 0.050, 0.07e-3) << "frame " << i;
                        });
    }
    // ±2000 mV and ±10 V, offset by their minimum: 300 mV either way.
    for (const uint16_t range : {1, 0}) {
        SCOPED_TRACE("to gp range " + std::to_string(range));
        acrossTheChange(
            [&] { return kv4cl::setGpRange(range, 0); },
            [&](const kv4test::Frames& f, size_t i) {
                double value = 0.0;
                ASSERT_EQ(kv4cl::gpFromRaw(f.at(i, 1 + channels), 0, value), kv4cl::Success);
                kv4cl::RangedMeasurement_t selected;
                ASSERT_EQ(kv4cl::getGpRange(selected, 0), kv4cl::Success);
                ASSERT_NEAR(value * kv4cl::prefixFactor(selected.prefix, kv4cl::UnitPfxNone), 0.3, 0.5e-3)
                    << "frame " << i;
            });
    }
}

} // namespace
