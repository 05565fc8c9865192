// The optional features of the Dogwood model on its virtual amplifier, driven and read back
// through the library: voltage offsets latched and ramped, reference pulses and digital offset
// compensation.
// (The bytes each feature sends are the model tests' part; the fast pulses and the fast
// capacitance are checked on the cells by the dock tests that drive them.)
//
// A flush does not bound how old the next frames are (the library may have read a large batch
// just before it), so these tests wait for what they look for: the device's report of the new
// state in its info bytes, or the change itself in the stream; what they check comes after.

#include "tests/support/amplifiertest.h"

#include <functional>
#include <optional>

using namespace kv4test;
using kv4cl::Measurement_t;
using kv4cl::Success;

namespace {

Measurement_t mV(double value) {
    return {value, kv4cl::UnitPfxMilli, "V"};
}
Measurement_t ms(double value) {
    return {value, kv4cl::UnitPfxMilli, "s"};
}
Measurement_t us(double value) {
    return {value, kv4cl::UnitPfxMicro, "s"};
}

double si(const Measurement_t& m) {
    return m.value * kv4cl::prefixFactor(m.prefix, kv4cl::UnitPfxNone);
}

constexpr double voltageTolerance = 1e-9; // the codes convert exactly; this is rounding only

class DeviceFeatures : public SimulatedAmplifiers {
  protected:
    // The frames the library holds unread; the status flags seen go into `frames`.
    uint32_t pending(Frames& frames) {
        kv4cl::DataStatus_t status{};
        kv4cl::getDataStatus(status);
        frames.note(status);
        return status.availableFrames;
    }

    // The frames of one cycle of the info bytes (one status byte per packet).
    size_t infoCycle() {
        const MessageDispatcher& device = deviceList().first();
        return device.infoBytes.size() * size_t(device.samplesPerPacket);
    }

    // Reads, a cycle of the info bytes at a time, until `reported` holds for what the library
    // has from them; then passes over the frames parsed by then, so that the frames read next
    // were made after the report. False when it does not hold within a hundred cycles.
    bool awaitReport(const std::function<bool()>& reported) {
        for (int cycle = 0; cycle < 100 && !HasFailure(); cycle++) {
            if (reported()) {
                Frames parsed;
                read(pending(parsed));
                return true;
            }
            read(infoCycle());
        }
        return false;
    }

    // Reads until the voltage words show at least `levels` stretches, the last one `held`
    // frames long: a change that was ordered, to its end. The stretches before the last
    // `levels` may be older than the order.
    Frames readLevels(size_t levels, size_t held) {
        Frames f;
        const auto limit = size_t(5 * samplingRate());
        while (f.count() < limit && !HasFailure()) {
            readAvailable(f);
            if (f.flags.dataLost) {
                ADD_FAILURE() << "frames were lost";
                return f;
            }
            const std::vector<Stretch> runs = runsOfVoltage(f);
            if (runs.size() >= levels && runs.back().length >= held) return f;
        }
        ADD_FAILURE() << "the voltage did not change as ordered";
        return f;
    }

    // Reads on until channel `ch` departs from `level` by more than `margin` (A) and `after`
    // frames follow; the frame of the departure, or nothing when it does not within `limit` frames.
    std::optional<size_t> readUntilDeparture(Frames& f, uint16_t ch, double level, double margin,
                                             size_t after, size_t limit) {
        std::optional<size_t> found;
        for (size_t from = 0; f.count() < limit && !HasFailure();) {
            readAvailable(f);
            for (; !found && from < f.count(); from++)
                if (std::abs(amperes(f, from, ch) - level) > margin) found = from;
            if (found && f.count() >= *found + after) return found;
        }
        return std::nullopt;
    }
};

} // namespace

TEST_F(DeviceFeatures, VoltageOffsetsAreLatchedOrRampedPerChannelAndReportedBack) {
    connect("dogwood16");
    const CellParameters cell = quietCell();
    amplifier().setCell(16, cell);
    ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
    startProtocol("Constant", {{"Vhold", 20}});
    const double resistance = cell.seriesResistance + cell.membraneResistance;
    std::vector<double> offsets(16, 0.0); // what was ordered, V

    // The library reads the offsets back, and from then on each channel's current is
    // (Vhold + its offset) / (Rs + Rm).
    const auto expectInForce = [&] {
        std::vector<Measurement_t> reported;
        const bool arrived = awaitReport([&] {
            EXPECT_EQ(kv4cl::getVoltageOffsets(reported), Success);
            for (uint16_t ch = 0; ch < 16; ch++)
                if (std::abs(si(reported.at(ch)) - offsets[ch]) > voltageTolerance) return false;
            return true;
        });
        for (uint16_t ch = 0; ch < 16; ch++)
            EXPECT_NEAR(si(reported.at(ch)), offsets[ch], voltageTolerance) << "channel " << ch;
        ASSERT_TRUE(arrived);
        const Frames f = read(100);
        for (uint16_t ch = 0; ch < 16; ch++)
            for (size_t i = 0; i < f.count(); i++)
                ASSERT_NEAR(amperes(f, i, ch), (20e-3 + offsets[ch]) / resistance, currentStep(ch))
                    << "channel " << ch << ", frame " << i;
    };

    ASSERT_EQ(kv4cl::setVoltageOffset(2, mV(30)), Success);
    ASSERT_EQ(kv4cl::setVoltageOffset(5, mV(-12.5)), Success);
    offsets[2] = 30e-3;
    offsets[5] = -12.5e-3;
    expectInForce();

    // A ramp on channel 7 from 0 to 40 mV in 200 ms steps its voltage at each sample; once the
    // membrane follows the slope s (a few of its time constants Cm Rs||Rm, 0.2 ms), each sample's
    // current is its voltage over Rs + Rm plus Cm s (Rm / (Rs + Rm))^2, which goes when it ends.
    const uint16_t ch = 7;
    const double frames = 0.2 * samplingRate();
    const double perFrame = 40e-3 / frames / resistance; // 20 fA: a frame off shows
    const double capacitive =
        cell.membraneCapacitance * 0.2 * std::pow(cell.membraneResistance / resistance, 2);
    ASSERT_EQ(kv4cl::startVoltageOffsetRamp(ch, mV(0), mV(40), ms(200)), Success);
    Frames f;
    const std::optional<size_t> start = readUntilDeparture(f, ch, 20e-3 / resistance, 3 * currentStep(ch),
                                                           size_t(frames) + 50, size_t(5 * frames));
    ASSERT_TRUE(start);
    ASSERT_FALSE(f.flags.dataLost);
    for (size_t i = *start + 20; i < *start + size_t(frames) - 2; i++)
        ASSERT_NEAR(amperes(f, i, ch), 20e-3 / resistance + double(i - *start) * perFrame + capacitive,
                    2 * perFrame + currentStep(ch))
            << "frame " << i - *start << " of the ramp";
    size_t end = f.count(); // just after the last frame with the slope's current
    while (end > *start && amperes(f, end - 1, ch) < 60e-3 / resistance + capacitive / 2)
        end--;
    EXPECT_NEAR(double(end - *start), frames, 2.0) << "the ramp's length in frames";
    for (uint16_t other = 0; other < 16; other++)
        for (size_t i = 0; i < f.count() && other != ch; i++)
            ASSERT_NEAR(amperes(f, i, other), (20e-3 + offsets[other]) / resistance, currentStep(other))
                << "channel " << other << ", frame " << i;
    offsets[ch] = 40e-3;
    expectInForce();
}

TEST_F(DeviceFeatures, ReferencePulsesTrainsAndOverrideRideOnTheHoldingLevel) {
    connect("dogwood16");
    // Sixteen channels at 50 kHz: a slower clock keeps the library ahead of the device on a
    // busy machine.
    ASSERT_EQ(kv4cl::setSamplingRate(4), Success);
    bus->clock()->setTimeScale(2.0);
    startProtocol("Constant", {{"Vhold", -10}});
    const double rate = samplingRate();
    // The holding level, then each pulse of 30 mV on it followed by the holding level.
    const auto expectPulses = [&](size_t pulses, double pulseMs, double periodMs) {
        const size_t levels = 2 * pulses + 1;
        const std::vector<Stretch> all = runsOfVoltage(readLevels(levels, size_t(0.1 * rate)));
        ASSERT_GE(all.size(), levels);
        const std::vector<Stretch> runs(all.end() - long(levels), all.end());
        for (size_t k = 0; k < pulses; k++) {
            const Stretch& pulse = runs[1 + 2 * k];
            EXPECT_NEAR(pulse.level, 20e-3, voltageTolerance) << "pulse " << k;
            EXPECT_NEAR(double(pulse.length), pulseMs * 1e-3 * rate, 1.0) << "pulse " << k;
            if (k > 0) {
                EXPECT_NEAR(double(pulse.start - runs[2 * k - 1].start), periodMs * 1e-3 * rate, 1.0)
                    << "pulse " << k;
            }
        }
        for (size_t k = 0; k <= pulses; k++)
            EXPECT_NEAR(runs[2 * k].level, -10e-3, voltageTolerance) << "before pulse " << k;
    };

    ASSERT_EQ(kv4cl::setReferencePulse(mV(30), ms(1)), Success);
    expectPulses(1, 1.0, 0.0);
    ASSERT_EQ(kv4cl::setReferencePulseTrain(mV(30), us(500), ms(2), 10), Success);
    expectPulses(10, 0.5, 2.0);

    // The override holds the reference pulse's voltage for as long as it is on.
    const auto held = [&](bool on, double level) {
        ASSERT_EQ(kv4cl::overrideReferencePulse(on), Success);
        const std::vector<Stretch> runs = runsOfVoltage(readLevels(2, 500));
        ASSERT_FALSE(runs.empty());
        EXPECT_NEAR(runs.back().level, level, voltageTolerance);
    };
    held(true, 20e-3);
    held(false, -10e-3);
}

TEST_F(DeviceFeatures, DigitalOffsetCompensationZeroesTheRestingCurrentAndStopsByItself) {
    connect("dogwood16");
    amplifier().setCell(16, quietCell());
    ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
    startProtocol("Constant", {{"Vhold", 20}});
    const double rate = samplingRate();
    const auto settling = size_t(VirtualAmplifier::offsetCompensationSettling * rate);
    const uint16_t ch = 3;
    const auto resting = [&](const CellParameters& cell) {
        return 20e-3 / (cell.seriesResistance + cell.membraneResistance);
    };
    const double before = resting(quietCell());
    const auto running = [&] {
        std::vector<bool> states;
        EXPECT_EQ(kv4cl::getDigitalOffsetCompensationStates(states), Success);
        return states.size() == 16 ? states[ch] : false;
    };

    // Autostop: from the frame the compensation starts, the current falls to 1% of what it was
    // within the settling time, not before half of it; the other channels keep theirs.
    ASSERT_EQ(kv4cl::setDigitalOffsetCompensationAutostop(true), Success);
    ASSERT_EQ(kv4cl::digitalOffsetCompensation(ch, true), Success);
    Frames f;
    const std::optional<size_t> start =
        readUntilDeparture(f, ch, before, 3 * currentStep(ch), settling + 10, 20 * settling);
    ASSERT_TRUE(start);
    const double residue = 0.01 * before + currentStep(ch);
    EXPECT_GT(std::abs(amperes(f, *start + settling / 2, ch)), residue) << "settled too soon";
    for (size_t i = *start + settling; i < f.count(); i++)
        ASSERT_LT(std::abs(amperes(f, i, ch)), residue) << "frame " << i - *start << " after the start";
    EXPECT_NEAR(amperes(f, f.count() - 1, 2), before, currentStep(2)) << "another channel";
    ASSERT_TRUE(awaitReport([&] { return !running(); })) << "autostop never stopped it";

    // Stopped: a new resting current is no longer compensated.
    CellParameters leaky = quietCell();
    leaky.membraneResistance = 500e6;
    amplifier().setCell(ch, leaky);
    const double shifted = resting(leaky) - before;
    f = Frames();
    const std::optional<size_t> change =
        readUntilDeparture(f, ch, 0.0, 0.5 * shifted, 3 * settling, 20 * settling);
    ASSERT_TRUE(change);
    for (size_t i = *change + 10; i < f.count(); i++)
        ASSERT_NEAR(amperes(f, i, ch), shifted, 0.01 * shifted) << "frame " << i - *change;

    // Without autostop it keeps tracking: the next change is compensated too, until switched off.
    ASSERT_EQ(kv4cl::setDigitalOffsetCompensationAutostop(false), Success);
    ASSERT_EQ(kv4cl::digitalOffsetCompensation(ch, true), Success);
    ASSERT_TRUE(awaitReport(running));
    f = read(2 * settling);
    ASSERT_LT(std::abs(amperes(f, f.count() - 1, ch)), 0.01 * shifted + currentStep(ch));
    amplifier().setCell(ch, quietCell());
    f = Frames();
    const std::optional<size_t> back =
        readUntilDeparture(f, ch, 0.0, 0.5 * shifted, 2 * settling, 20 * settling);
    ASSERT_TRUE(back);
    EXPECT_LT(std::abs(amperes(f, *back + settling, ch)), 0.01 * shifted + currentStep(ch));
    EXPECT_TRUE(running()) << "no autostop: still running";
    ASSERT_EQ(kv4cl::digitalOffsetCompensation(16, false), Success);
    ASSERT_TRUE(awaitReport([&] { return !running(); }));
}
