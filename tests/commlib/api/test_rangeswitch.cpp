// A current range changed while frames stream: frames already in the library when the range
// changes were acquired in the old range and must convert to the cell's current all the same,
// as must those acquired in the new one. Each read is converted before the next, as the
// program's producer does.

#include "tests/support/amplifiertest.h"

namespace {

class RangeSwitch : public kv4test::SimulatedAmplifiers {};

TEST_F(RangeSwitch, FramesOnTheirWayWhenTheRangeChangesKeepTheirValue) {
    ASSERT_NO_FATAL_FAILURE(connect("dogwood16"));
    constexpr uint16_t channels = 16;
    amplifier().setCell(channels, kv4test::quietCell()); // 1 GOhm behind 10 MOhm
    ASSERT_NO_FATAL_FAILURE(startProtocol("Constant", {{"Vhold", 50.0}}));
    ASSERT_NO_FATAL_FAILURE(settle());
    read(2000); // the membrane charged
    const double expected = 0.050 / 1.01e9;

    // 200 pA, 2 nA, 20 nA and back: steps of 6 fA to 0.6 pA, prefixes pico and nano.
    for (const uint16_t range : {1, 2, 0}) {
        SCOPED_TRACE("to range " + std::to_string(range));
        // Frames the library holds before the change, and those it receives while the message
        // is on its way.
        kv4cl::DataStatus_t status{};
        while (kv4cl::getDataStatus(status) != kv4cl::Success)
            ASSERT_TRUE(amplifier().device().waitForNextRead(amplifier().model().rxChannel,
                                                             std::chrono::seconds(10)));
        ASSERT_EQ(kv4cl::setCurrentRange(range, channels), kv4cl::Success);
        kv4test::Frames frames;
        size_t checked = 0;
        while (frames.count() < 3000 && !HasFailure()) {
            readAvailable(frames);
            for (; checked < frames.count(); checked++)
                for (uint16_t c = 0; c < channels; c += 5)
                    ASSERT_NEAR(kv4test::amperes(frames, checked, c), expected, 0.7e-12)
                        << "frame " << checked << " after the change, channel " << c;
        }
    }
}

} // namespace
