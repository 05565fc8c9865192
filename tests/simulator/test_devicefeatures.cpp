// The optional features of the Dogwood and Fir models on their virtual amplifiers, driven and
// read back through the library: voltage offsets, the fast-pulses protocol, reference pulses,
// fast capacitance compensation, the washer, and the settings that only have to reach the device.
//
// A flush does not bound how old the next frames are (the library may have read a large batch
// just before it), so these tests wait for what they look for: the device's report of the new
// state in its info bytes, or the change itself in the stream; what they check comes after.

#include "tests/simulator/amplifiertest.h"

#include "commlib/models/fir.h"

#include <functional>
#include <optional>
#include <set>

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

    // Sixteen channels at 50 kHz: a slower clock keeps the library ahead of the device on a
    // busy machine.
    void fiftyKilohertz() {
        ASSERT_EQ(kv4cl::setSamplingRate(4), Success);
        bus->clock()->setTimeScale(2.0);
    }
};

} // namespace

TEST_F(DeviceFeatures, VoltageOffsetsAreLatchedPerChannelAndReportedBack) {
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

    // The channel count addresses every channel.
    ASSERT_EQ(kv4cl::setVoltageOffset(16, mV(-5)), Success);
    std::fill(offsets.begin(), offsets.end(), -5e-3);
    expectInForce();
}

TEST_F(DeviceFeatures, VoltageOffsetRampsRunOnTheSampleClock) {
    connect("dogwood16");
    CellParameters cell = quietCell();
    // A small membrane settles within a sample: every sample's current is its command's, and
    // on the ramp the current that charges the membrane along with it.
    cell.membraneCapacitance = 1e-12;
    amplifier().setCell(16, cell);
    ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
    startProtocol("Constant", {{"Vhold", 20}});
    const double rate = samplingRate();
    const double rs = cell.seriesResistance, rm = cell.membraneResistance;
    const uint16_t ch = 7;
    // Every offset here is below 256 steps: the two bytes of a report can never disagree on
    // the high byte, whichever cycles the library took them from.
    const double before = 5e-3, from = 10e-3, to = 60e-3, seconds = 3.0;
    ASSERT_EQ(kv4cl::setVoltageOffset(ch, mV(before * 1e3)), Success);
    ASSERT_TRUE(awaitReport([&] {
        std::vector<Measurement_t> offsets;
        return kv4cl::getVoltageOffsets(offsets) == Success &&
               std::abs(si(offsets[ch]) - before) < voltageTolerance;
    }));

    Frames f = read(1000);
    const size_t sentAfter = f.count(); // frames made before the ramp was ordered
    ASSERT_EQ(
        kv4cl::startVoltageOffsetRamp(ch, mV(from * 1e3), mV(to * 1e3), {seconds, kv4cl::UnitPfxNone, "s"}),
        Success);
    // After each read, the info bytes the library holds came with the packets it parsed: their
    // offset was taken at most two info cycles before the last of them.
    struct Report {
        size_t earliest;
        size_t latest;
        double offset;
    };
    std::vector<Report> reports;
    const size_t cycle = infoCycle();
    const size_t limit = sentAfter + size_t((seconds + 10.0) * rate);
    while ((reports.empty() || reports.back().offset < to) && f.count() < limit && !HasFailure()) {
        readAvailable(f, uint32_t(cycle));
        const size_t low = f.count() + pending(f);
        std::vector<Measurement_t> offsets;
        ASSERT_EQ(kv4cl::getVoltageOffsets(offsets), Success);
        const size_t high = f.count() + pending(f);
        reports.push_back({low > 2 * cycle ? low - 2 * cycle : 0, high, si(offsets[ch])});
    }

    // The ramp's first sample jumps to its initial offset.
    const double steady = amperes(f, sentAfter - 1, ch);
    size_t start = sentAfter;
    while (start < f.count() && std::abs(amperes(f, start, ch) - steady) < 10 * currentStep(ch))
        start++;
    const auto samples = size_t(std::lround(seconds * rate));
    while (f.count() <= start + samples + 100 && !HasFailure()) // the current after the ramp's end
        readAvailable(f);
    ASSERT_FALSE(f.flags.dataLost || f.flags.bufferOverflow) << "frames must count the samples";
    const auto offsetAt = [&](size_t frame) {
        if (frame < start) return before;
        if (frame >= start + samples) return to;
        return from + (to - from) * double(frame - start) / double(samples);
    };

    const double charging = cell.membraneCapacitance * std::pow(rm / (rs + rm), 2) * (to - from) / seconds;
    for (const size_t k : {samples / 4, samples / 2, 3 * samples / 4})
        EXPECT_NEAR(amperes(f, start + k, ch), (20e-3 + offsetAt(start + k)) / (rs + rm) + charging,
                    currentStep(ch))
            << "ramp sample " << k;
    EXPECT_NEAR(amperes(f, start + samples + 100, ch), (20e-3 + to) / (rs + rm), currentStep(ch));
    EXPECT_NEAR(amperes(f, start + samples / 2, 0), 20e-3 / (rs + rm), currentStep(0)) << "one channel only";

    // Reported: within half a step of the offset in force somewhere in its window, and moving.
    const double half = 0.25e-3;
    std::set<double> between;
    for (const Report& r : reports) {
        EXPECT_GE(r.offset, offsetAt(r.earliest) - half) << "frames " << r.earliest << " to " << r.latest;
        EXPECT_LE(r.offset, offsetAt(r.latest) + half) << "frames " << r.earliest << " to " << r.latest;
        if (r.offset > from && r.offset < to) between.insert(r.offset);
    }
    EXPECT_GE(between.size(), 3u) << "reports on the way";
    EXPECT_NEAR(reports.back().offset, to, voltageTolerance);
}

TEST_F(DeviceFeatures, FastPulsesPlaySegmentsOnTheVoltageAndPulsesOnTheCells) {
    connect("dogwood16");
    CellParameters cell = quietCell();
    // A membrane this small behind a small series resistance follows the command within a
    // sample, and the charge it takes at a step, in that sample's mean current, does not show.
    cell.membraneCapacitance = 1e-16;
    cell.seriesResistance = 1e6;
    cell.membraneResistance = 100e6;
    amplifier().setCell(16, cell);
    fiftyKilohertz();
    ASSERT_EQ(kv4cl::setCurrentRange(1, 16), Success);
    const double rate = samplingRate();

    struct Segment {
        double mV, ms;
    };
    struct Pulse {
        double mV, waitMs, us, periodUs;
        uint16_t count;
    };
    const Segment segments[] = {{-20, 10}, {40, 20}, {10, 15}};
    // A train, a row without a wait (not played), a single pulse, a second train.
    const Pulse pulses[] = {
        {50, 2, 200, 1000, 3}, {-30, 0, 100, 400, 2}, {80, 5, 100, 400, 1}, {25, 1.5, 300, 500, 4}};
    const uint64_t latches = amplifier().command().fastPulsesLatches;
    for (uint16_t i = 0; i < std::size(segments); i++) {
        ASSERT_EQ(kv4cl::setFastPulsesSegmentVoltage(i, mV(segments[i].mV)), Success);
        ASSERT_EQ(kv4cl::setFastPulsesSegmentDuration(i, ms(segments[i].ms)), Success);
    }
    for (uint16_t i = 0; i < std::size(pulses); i++) {
        ASSERT_EQ(kv4cl::setFastPulsesPulseVoltage(i, mV(pulses[i].mV)), Success);
        ASSERT_EQ(kv4cl::setFastPulsesPulseWait(i, ms(pulses[i].waitMs)), Success);
        ASSERT_EQ(kv4cl::setFastPulsesPulseDuration(i, us(pulses[i].us)), Success);
        ASSERT_EQ(kv4cl::setFastPulsesPulsePeriod(i, us(pulses[i].periodUs)), Success);
        ASSERT_EQ(kv4cl::setFastPulsesPulseCount(i, pulses[i].count), Success);
    }
    const uint64_t rows = 2 * std::size(segments) + 5 * std::size(pulses);
    waitForCommand([&](const DecodedCommand& c) { return c.fastPulsesLatches == latches + rows; });

    startProtocol("Constant", {{"Vhold", 5}});
    uint16_t protocol = 0;
    ASSERT_EQ(kv4cl::getFastPulsesProtocol(protocol), Success);
    ASSERT_EQ(kv4cl::selectProtocol(protocol), Success);
    ASSERT_EQ(kv4cl::applyProtocol(), Success);

    // The voltage words: the holding level, the segments, the holding level again.
    const size_t levels = std::size(segments) + 2;
    const Frames f = readLevels(levels, size_t(0.1 * rate));
    const std::vector<Stretch> all = runsOfVoltage(f);
    ASSERT_GE(all.size(), levels);
    const std::vector<Stretch> runs(all.end() - long(levels), all.end());
    EXPECT_NEAR(runs.front().level, 5e-3, voltageTolerance);
    for (size_t i = 0; i < std::size(segments); i++) {
        EXPECT_NEAR(runs[1 + i].level, segments[i].mV * 1e-3, voltageTolerance) << "segment " << i;
        EXPECT_NEAR(double(runs[1 + i].length), segments[i].ms * 1e-3 * rate, 1.0) << "segment " << i;
    }
    EXPECT_NEAR(runs.back().level, 5e-3, voltageTolerance);
    const size_t start = runs[1].start;

    // The pulses, from the parameters: after each wait, `count` pulses one period apart.
    struct Seen {
        size_t start;
        size_t length;
        double level;
    };
    std::vector<Seen> expected;
    double at = 0.0; // samples since the start
    for (const Pulse& p : pulses) {
        if (p.waitMs <= 0) continue;
        at += p.waitMs * 1e-3 * rate;
        for (uint16_t k = 0; k < p.count; k++)
            expected.push_back({size_t(std::lround(at + k * p.periodUs * 1e-6 * rate)),
                                size_t(std::lround(p.us * 1e-6 * rate)), p.mV * 1e-3});
        at += p.count * p.periodUs * 1e-6 * rate;
    }
    // In the current: what the cell sees beyond the voltage words, as stretches away from 0.
    const double resistance = cell.seriesResistance + cell.membraneResistance;
    for (const uint16_t ch : {0, 15}) {
        SCOPED_TRACE(ch);
        std::vector<Seen> seen;
        bool inPulse = false;
        for (size_t i = start; i < f.count(); i++) {
            const double extra = amperes(f, i, ch) * resistance - volts(f, i);
            const bool pulse = std::abs(extra) > 10e-3;
            if (pulse && !inPulse) seen.push_back({i - start, 0, extra});
            if (pulse) seen.back().length++;
            inPulse = pulse;
        }
        ASSERT_EQ(seen.size(), expected.size());
        for (size_t k = 0; k < seen.size(); k++) {
            EXPECT_EQ(seen[k].start, expected[k].start) << "pulse " << k;
            EXPECT_EQ(seen[k].length, expected[k].length) << "pulse " << k;
            EXPECT_NEAR(seen[k].level, expected[k].level, 0.1e-3) << "pulse " << k;
        }
    }
}

TEST_F(DeviceFeatures, ReferencePulsesTrainsAndOverrideRideOnTheHoldingLevel) {
    connect("dogwood16");
    fiftyKilohertz();
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

TEST_F(DeviceFeatures, FastCapacitanceCompensationTakesTheTransientOffItsChannel) {
    connect("dogwood16");
    CellParameters cell = quietCell();
    cell.fastCapacitance = 5e-12;
    amplifier().setCell(16, cell);
    ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
    ASSERT_EQ(kv4cl::setCurrentRange(2, 16), Success); // holds the transients
    startProtocol("Square wave", {{"Vhold", 0}, {"Vpulse", 50}, {"Thold", 10}, {"Tpulse", 10}});
    const double rate = samplingRate();

    // Channel 12 set but not enabled, channel 9 compensated in part, channel 3 in full.
    const auto compensate = [](uint16_t ch, double pF, bool on) {
        ASSERT_EQ(kv4cl::selectCompensationChannel(ch), Success);
        ASSERT_EQ(kv4cl::setCFast({pF, kv4cl::UnitPfxPico, "F"}, on), Success);
    };
    compensate(12, 5, false);
    compensate(9, 2, true);
    compensate(3, 5, true);
    std::vector<double> compensated(16, 0.0);
    compensated[3] = 5e-12;
    compensated[9] = 2e-12;

    // Every channel measures one cell: a compensated one differs by C dV/dt where the command
    // moves, and nowhere else. From the first step that shows the last order on.
    const auto slope = [&](const Frames& f, size_t i) { return (volts(f, i) - volts(f, i - 1)) * rate; };
    Frames f;
    size_t from = 0;
    for (size_t i = 1; from == 0 && f.count() < size_t(30 * rate) && !HasFailure();) {
        readAvailable(f);
        for (; from == 0 && i < f.count(); i++)
            if (std::abs(amperes(f, i, 3) - amperes(f, i, 0)) > 2.5e-12 * std::abs(slope(f, i)) &&
                slope(f, i) != 0)
                from = i;
    }
    ASSERT_GT(from, 0u) << "the compensation never showed";
    while (f.count() < from + size_t(0.2 * rate) && !HasFailure())
        readAvailable(f);
    size_t steps = 0;
    for (size_t i = from; i < f.count(); i++) {
        const double uncompensated = amperes(f, i, 0);
        for (uint16_t ch = 1; ch < 16; ch++)
            ASSERT_NEAR(amperes(f, i, ch) - uncompensated, -compensated[ch] * slope(f, i),
                        2 * currentStep(ch))
                << "channel " << ch << ", frame " << i;
        if (slope(f, i) == 0) continue;
        steps++;
        EXPECT_LT(std::abs(amperes(f, i, 3)), std::abs(uncompensated)) << "frame " << i;
    }
    EXPECT_GE(steps, 10u);

    // The channel count sets every channel.
    compensate(16, 1, true);
    waitForCommand([](const DecodedCommand& c) {
        return std::all_of(c.cFastEnabled.begin(), c.cFastEnabled.end(), [](bool on) { return on; }) &&
               std::all_of(c.cFast.begin(), c.cFast.end(),
                           [](double v) { return std::abs(v - 1e-12) < 1e-18; });
    });
}

TEST_F(DeviceFeatures, WasherAnswersItsCommandsInTheInfoBytes) {
    using Fir = kv4CommLib::MessageDispatcher_Fir_V01;
    connect("fir");
    // Each command is decoded before the next is sent.
    const auto command = [&](kv4cl::ErrorCodes_t (*call)(), uint8_t code) {
        const uint64_t count = amplifier().command().washer.count;
        ASSERT_EQ(call(), Success);
        waitForCommand(
            [&](const DecodedCommand& c) { return c.washer.count == count + 1 && c.washer.command == code; });
    };
    // Waits until the library has this answer from the washer.
    const auto answered = [&](int8_t expectedError, const std::vector<int8_t>& expectedSpeeds) {
        int8_t error = -1;
        std::vector<int8_t> speeds;
        const bool arrived = awaitReport([&] {
            return kv4cl::getWasherStatus(error, speeds) == Success && error == expectedError &&
                   speeds == expectedSpeeds;
        });
        EXPECT_TRUE(arrived) << "error " << int(error) << ", speeds " << testing::PrintToString(speeds);
    };

    static const std::vector<int8_t> set = {10, -20, 0, -100};
    command([] { return kv4cl::setWasherPresetSpeeds(set); }, Fir::WasherSetSpeeds);
    answered(0, set);
    std::vector<int8_t> speeds;
    ASSERT_EQ(kv4cl::getWasherPresetSpeeds(speeds), Success);
    EXPECT_EQ(speeds, set);

    command([] { return kv4cl::startWasher(1); }, Fir::WasherStart);
    EXPECT_EQ(amplifier().washer()->rotations(), 1u);
    // Preset 2 has no speed: nothing turns, and the washer reports an execution error (4).
    command([] { return kv4cl::startWasher(2); }, Fir::WasherStart);
    answered(4, set);
    EXPECT_EQ(amplifier().washer()->rotations(), 1u);
    command(&kv4cl::resetWasherError, Fir::WasherResetError);
    answered(0, set);

    // An error of the washer's own shows when the status is asked for: the answer to a later
    // command that reports the speeds still has the old status.
    amplifier().failWasher(5);
    static const std::vector<int8_t> faster = {20, -40, 0, -100};
    command([] { return kv4cl::setWasherPresetSpeeds(faster); }, Fir::WasherSetSpeeds);
    answered(0, faster);
    command(&kv4cl::updateWasherState, Fir::WasherReportStatus);
    answered(5, faster);
    command(&kv4cl::updateWasherPresetSpeeds, Fir::WasherReportSpeeds);
}

TEST_F(DeviceFeatures, LedsCustomSettingsAndTheReferenceVoltageReachTheDevice) {
    connect("dogwood16");
    ASSERT_EQ(kv4cl::setLed(2, true), Success);
    ASSERT_EQ(kv4cl::setSwitch(1, true), Success);
    ASSERT_EQ(kv4cl::setChoice(1, 1), Success);
    ASSERT_EQ(kv4cl::setCustomDouble(0, -0.1), Success); // mV
    ASSERT_EQ(kv4cl::setCustomDouble(1, 37.5), Success); // degrees
    ASSERT_EQ(kv4cl::setVoltageReferenceRange(1), Success);
    ASSERT_EQ(kv4cl::setVoltageReference({-1.0, kv4cl::UnitPfxNone, "V"}), Success);
    ASSERT_EQ(kv4cl::setVoltageReferenceLpf(1), Success);
    // Messages arrive in order: the last one decoded, all were.
    waitForCommand([](const DecodedCommand& c) { return c.voltageReferenceLpfIdx == 1; });
    const DecodedCommand c = amplifier().command();
    EXPECT_EQ(c.leds, (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(c.switches, (std::vector<bool>{false, true, true})) << "the third is on by default";
    EXPECT_EQ(c.choices, (std::vector<uint16_t>{0, 1}));
    ASSERT_EQ(c.customDoubles.size(), 2u);
    EXPECT_NEAR(c.customDoubles[0], -0.1e-3, 1e-12);
    EXPECT_NEAR(c.customDoubles[1], 37.5, 1e-9);
    EXPECT_EQ(c.voltageReferenceRangeIdx, 1);
    EXPECT_NEAR(c.voltageReference, -1.0, voltageTolerance);
}

// Two Dogwoods as one: each has its own "Vref monitor", named after its device, reading the
// reference voltage through the gp range chosen for it.
TEST_F(DeviceFeatures, EachDevicesReferenceMonitorReadsTheReferenceVoltage) {
    connect("dogwood16,dogwood16");
    std::vector<std::vector<kv4cl::RangedMeasurement_t>> ranges;
    std::vector<uint16_t> defaults;
    std::vector<std::string> names;
    ASSERT_EQ(kv4cl::getGpRanges(ranges, defaults, names), Success);
    EXPECT_EQ(names, (std::vector<std::string>{"Vref monitor 1", "Vref monitor 2"}));
    ASSERT_EQ(ranges.size(), 2u);
    ASSERT_EQ(kv4cl::setVoltageReferenceRange(1), Success);
    ASSERT_EQ(kv4cl::setVoltageReference({-1.25, kv4cl::UnitPfxNone, "V"}), Success);
    ASSERT_EQ(kv4cl::setGpRange(1, 1), Success); // the second device's monitor on its 10 V range
    EXPECT_EQ(kv4cl::setGpRange(0, 2), kv4cl::ErrorValueOutOfRange);
    settle();
    const Frames f = read(100);
    for (uint16_t g = 0; g < 2; g++) {
        kv4cl::RangedMeasurement_t range;
        ASSERT_EQ(kv4cl::getGpRange(range, g), Success);
        EXPECT_EQ(range.max, g == 0 ? 2000.0 : 10.0);
        const double step = range.step * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
        for (size_t i = 0; i < f.count(); i++) {
            double value = 0.0;
            ASSERT_EQ(kv4cl::gpFromRaw(f.at(i, 1 + 32 + g), g, value), Success);
            ASSERT_NEAR(value * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone), -1.25, step)
                << "monitor " << g << ", frame " << i;
        }
    }
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

TEST_F(DeviceFeatures, ZapRupturesTheMembrane) {
    connect("dogwood16");
    const CellParameters cell = quietCell();
    amplifier().setCell(16, cell);
    ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
    ASSERT_EQ(kv4cl::setCurrentRange(1, 16), Success); // 2 nA: the ruptured membrane's current fits
    startProtocol("Constant", {{"Vhold", 20}});
    const double intact = 20e-3 / (cell.seriesResistance + cell.membraneResistance);
    const double ruptured = 20e-3 / (cell.seriesResistance + VirtualAmplifier::zappedMembraneResistance);
    const uint16_t ch = 5;
    ASSERT_EQ(kv4cl::zap(ch), Success);
    Frames f;
    const std::optional<size_t> jump =
        readUntilDeparture(f, ch, intact, 0.5 * (ruptured - intact), 200, size_t(5 * samplingRate()));
    ASSERT_TRUE(jump);
    // The membrane recharges within a sample (Rs || Rm times Cm is 67 us).
    for (size_t i = *jump + 2; i < f.count(); i++) {
        ASSERT_NEAR(amperes(f, i, ch), ruptured, 0.01 * ruptured) << "frame " << i - *jump;
        ASSERT_NEAR(amperes(f, i, ch + 1), intact, currentStep(ch + 1)) << "a neighbour";
    }
    EXPECT_EQ(amplifier().cell(ch).membraneResistance, VirtualAmplifier::zappedMembraneResistance);
    ASSERT_EQ(kv4cl::zap(16), Success);
    waitForCommand([](const DecodedCommand& c) {
        return std::all_of(c.zaps.begin(), c.zaps.end(), [](uint64_t n) { return n >= 1; }) && c.zaps[5] == 2;
    });
    EXPECT_EQ(kv4cl::zap(17), kv4cl::ErrorValueOutOfRange);
}

TEST_F(DeviceFeatures, TtlPulsesPlayOnTheSampleClock) {
    connect("fir");
    ASSERT_EQ(kv4cl::setSamplingRate(3), Success);
    startProtocol("Constant", {{"Vhold", 0}});
    const double rate = samplingRate();
    const double duration = 200e-6, period = 2e-3, delay = 1e-3;
    const uint16_t pulses = 12;
    // The clock all but stops while the protocol start and the train are sent, so that both
    // begin on one frame: the new Vhold marks on the voltage words where the train's time starts.
    setProtocolParameters({{"Vhold", 50}});
    const DecodedCommand was = amplifier().command();
    bus->clock()->setTimeScale(1e-4);
    ASSERT_EQ(kv4cl::applyProtocol(), Success);
    ASSERT_EQ(kv4cl::startTtlPulses({duration * 1e6, kv4cl::UnitPfxMicro, "s"},
                                    {period * 1e3, kv4cl::UnitPfxMilli, "s"},
                                    {delay * 1e6, kv4cl::UnitPfxMicro, "s"}, pulses),
              Success);
    waitForCommand([&](const DecodedCommand& c) {
        return c.protocolStarts > was.protocolStarts && c.ttl.count > was.ttl.count;
    });
    bus->clock()->setTimeScale(timeScale);

    Frames f = readLevels(2, size_t((delay + pulses * period) * rate) + 50);
    const size_t ttlWord = 1 + 8; // the gp word after the voltage and the eight currents
    size_t origin = 0;
    while (origin < f.count() && volts(f, origin) < 25e-3)
        origin++;
    struct Run {
        size_t start, length;
    };
    std::vector<Run> high;
    for (size_t i = origin; i < f.count(); i++) {
        double level = 0.0;
        ASSERT_EQ(kv4cl::gpFromRaw(f.at(i, ttlWord), 0, level), Success);
        ASSERT_TRUE(level == 0.0 || std::abs(level - 5.0) < 1e-9) << level;
        if (level == 0.0) continue;
        if (high.empty() || high.back().start + high.back().length != i) high.push_back({i, 0});
        high.back().length++;
    }
    for (size_t i = 0; i < origin; i++)
        ASSERT_EQ(f.at(i, ttlWord), 0) << "high before the start";
    ASSERT_EQ(high.size(), pulses);
    // A sample reads high when any part of a pulse falls in it: within one sample of each time.
    EXPECT_NEAR(double(high[0].start - origin), delay * rate, 1.0);
    for (size_t k = 0; k < high.size(); k++) {
        EXPECT_GE(double(high[k].length), std::ceil(duration * rate)) << "pulse " << k;
        EXPECT_LE(double(high[k].length), std::ceil(duration * rate) + 1) << "pulse " << k;
        EXPECT_NEAR(double(high[k].start - high[0].start), k * period * rate, 1.0) << "pulse " << k;
    }
}
