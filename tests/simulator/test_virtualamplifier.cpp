// The virtual amplifier's physics and stream through the library: real rates, protocol shapes,
// range codes, every frame of every model once, parallel devices and their clocks.

#include "tests/support/amplifiertest.h"

using namespace kv4test;

TEST_F(SimulatedAmplifiers, EachRateDeliversFramesAtItsRealRate) {
    connect("cedar");
    std::vector<kv4cl::Measurement_t> realRates;
    ASSERT_EQ(kv4cl::getRealSamplingRates(realRates), kv4cl::Success);
    kav4sim::SimulatedClock& clock = *bus->clock();
    // The slowest and the fastest rate: the pace comes from the same table for every rate.
    for (const auto i : {uint16_t(0), uint16_t(realRates.size() - 1)}) {
        ASSERT_EQ(kv4cl::setSamplingRate(i), kv4cl::Success);
        waitForCommand([i](const DecodedCommand& c) { return c.samplingRateIdx == i; });
        const double rate = realRates[i].getNoPrefixValue();
        // Fast enough to keep the test short, slow enough for a loaded machine to read everything.
        clock.setTimeScale(std::clamp(rate / 10000.0, 2.0, 4.0));
        settle();
        // Frames received against the simulated clock. The library reads at most every 50 ms
        // of wall time and parses in batches: the slope of a straight line through many reads
        // evens that out, and the slow rates need more wall time for as many reads.
        const double seconds = rate < 5000 ? 8.0 : 4.0;
        double n = 0, st = 0, sf = 0, stt = 0, stf = 0, frames = 0;
        const double start = clock.seconds();
        for (double t = start; t - start < seconds;) {
            Frames f;
            frames += double(readAvailable(f));
            t = clock.seconds();
            const double x = t - start;
            n++, st += x, sf += frames, stt += x * x, stf += x * frames;
        }
        const double slope = (n * stf - st * sf) / (n * stt - st * st);
        EXPECT_NEAR(slope / rate, 1.0, 0.015) << "rate " << i;
    }
}

namespace {

// A level held for a time, in the parameters' units.
struct Plateau {
    double mV;
    double ms;
};

constexpr double codesPerMillivolt = 16.0; // the reference model's 0.0625 mV step

// The runs from `first` on are the expected plateaus, to the code and to within a sample
// (each duration is rounded to whole samples once); then the holding level lasts to the end.
void expectPlateaus(const std::vector<Stretch>& runs, size_t first, const std::vector<Plateau>& expected,
                    double hold, double rate) {
    ASSERT_EQ(runs.size(), first + expected.size() + 1) << "runs after the protocol's start";
    for (size_t i = 0; i < expected.size(); i++) {
        const Stretch& run = runs[first + i];
        EXPECT_EQ(run.code, int16_t(std::lround(expected[i].mV * codesPerMillivolt))) << "plateau " << i;
        EXPECT_NEAR(double(run.length), expected[i].ms * 1e-3 * rate, 1.0) << "plateau " << i;
    }
    EXPECT_EQ(runs.back().code, int16_t(std::lround(hold * codesPerMillivolt))) << "the holding level after";
}

} // namespace

TEST_F(SimulatedAmplifiers, ReferenceProtocolsDrawTheirParameters) {
    connect("cedar");
    ASSERT_EQ(kv4cl::setSamplingRate(2), kv4cl::Success);
    const double rate = samplingRate();
    bus->clock()->setTimeScale(5.0);
    // The protocol's duration and what may still come before its start (the library's batch,
    // the device buffer, the packets made while the start message travelled), in one piece.
    const auto readProtocol = [&](double ms) {
        Frames f = read(size_t((ms + 600) * 1e-3 * rate));
        EXPECT_FALSE(f.flags.dataLost);
        return f;
    };

    {
        SCOPED_TRACE("Square wave");
        startProtocol("Square wave", {{"Vhold", -10}, {"Vpulse", 30}, {"Thold", 6}, {"Tpulse", 10}});
        const auto runs = runsOfVoltage(readProtocol(200));
        ASSERT_GT(runs.size(), 20u);
        for (size_t i = 1; i + 1 < runs.size(); i++) {
            const Plateau expected[] = {{20, 10}, {-40, 10}, {-10, 6}}; // for ever, after a first hold
            EXPECT_EQ(runs[i].code, expected[(i - 1) % 3].mV * 16) << "run " << i;
            EXPECT_NEAR(double(runs[i].length), expected[(i - 1) % 3].ms * 1e-3 * rate, 1.0) << "run " << i;
        }
    }
    // The stepping protocols: N steps, each some plateaus, NR times over; the last hold lasts.
    struct Stepping {
        const char* name;
        std::map<std::string, double> values;
        std::function<std::vector<Plateau>(double k)> step;
        double ms;
    };
    const Stepping steppings[] = {
        {"Conductance",
         {{"Vhold", 0}, {"Vpulse", 20}, {"Vstep", 15}, {"Thold", 5}, {"Tpulse", 8}, {"N", 3}, {"NR", 2}},
         [](double k) {
             return std::vector<Plateau>{{20 + 15 * k, 8}, {0, 5}, {-20 - 15 * k, 8}, {0, 5}};
         },
         160},
        {"Variable Duration",
         {{"Vhold", 10}, {"Vpulse", -30}, {"Thold", 5}, {"Tpulse", 4}, {"Tstep", 3}, {"N", 4}, {"NR", 2}},
         [](double k) {
             return std::vector<Plateau>{{-20, 4 + 3 * k}, {10, 5}};
         },
         110},
    };
    for (const Stepping& p : steppings) {
        SCOPED_TRACE(p.name);
        startProtocol(p.name, p.values);
        std::vector<Plateau> expected;
        for (int repetition = 0; repetition < p.values.at("NR"); repetition++)
            for (int k = 0; k < p.values.at("N"); k++)
                for (const Plateau& plateau : p.step(k))
                    expected.push_back(plateau);
        expected.pop_back();
        expectPlateaus(runsOfVoltage(readProtocol(p.ms)), 1, expected, p.values.at("Vhold"), rate);
    }
}

// Saturation shows end to end: the main window's zapped membrane saturates its range.
TEST_F(SimulatedAmplifiers, RangesMoveTheResolution) {
    connect("cedar");
    const CellParameters cell = quietCell();
    amplifier().setCell(4, cell);
    std::vector<kv4cl::RangedMeasurement_t> ranges;
    uint16_t defaultRange = 0;
    ASSERT_EQ(kv4cl::getCurrentRanges(ranges, defaultRange), kv4cl::Success);
    const auto select = [&](uint16_t r) {
        ASSERT_EQ(kv4cl::setCurrentRange(r, 4), kv4cl::Success);
        waitForCommand([r](const DecodedCommand& c) {
            return std::all_of(c.currentRangeIdx.begin(), c.currentRangeIdx.end(),
                               [r](uint16_t i) { return i == r; });
        });
        settle();
    };
    const double rs = cell.seriesResistance, rm = cell.membraneResistance;

    startProtocol("Constant", {{"Vhold", 150}});
    for (uint16_t r = 0; r < ranges.size(); r++) {
        SCOPED_TRACE(r);
        select(r);
        const Frames f = read(500);
        const double step = ranges[r].step * kv4cl::prefixFactor(ranges[r].prefix, kv4cl::UnitPfxNone);
        const int16_t expected = int16_t(std::lround(0.15 / (rs + rm) / step));
        for (size_t i = 0; i < f.count(); i++)
            for (uint16_t ch = 0; ch < 4; ch++)
                ASSERT_EQ(f.code(i, 1 + ch), expected) << "frame " << i << ", channel " << ch;
        EXPECT_FALSE(f.flags.wordOverflow);
    }
}

namespace {

// The device frame counts in pattern mode (see virtualamplifier.h): per frame, from the
// first current word of a device at `at` and, with two or more, the second.
std::vector<uint64_t> patternCounts(const Frames& f, size_t at, size_t currentWords) {
    std::vector<uint64_t> counts;
    for (size_t i = 0; i < f.count(); i++) {
        uint64_t n = f.at(i, at);
        if (currentWords > 1) n |= uint64_t(f.at(i, at + 1)) << 16;
        for (size_t c = 2; c < currentWords; c++)
            EXPECT_EQ(f.at(i, at + c), uint16_t(n + c)) << "frame " << i << ", current word " << c;
        counts.push_back(n);
    }
    return counts;
}

// The steps between successive counts, modulo the counter's width.
std::vector<uint64_t> gaps(const std::vector<uint64_t>& counts, size_t currentWords) {
    const uint64_t modulo = currentWords > 1 ? uint64_t(1) << 32 : uint64_t(1) << 16;
    std::vector<uint64_t> steps;
    for (size_t i = 1; i < counts.size(); i++)
        steps.push_back((counts[i] - counts[i - 1]) % modulo);
    return steps;
}

} // namespace

// Every model alone, then several amplifiers as one: device 0's voltage, then every device's
// current words, then every device's gp words, each device's frames beside the others' of the
// same moment; parallel with gp words, without info bytes, and three of them.
TEST_F(SimulatedAmplifiers, EveryModelStreamsEveryFrameOnce) {
    std::vector<std::string> lists;
    for (const kav4sim::SimulatedModel& model : kav4sim::simulatedModels())
        lists.push_back(model.name);
    for (const char* parallel : {"fir,fir", "alder,alder", "dogwood16,dogwood16,dogwood16"})
        lists.push_back(parallel);
    for (const std::string& models : lists) {
        SCOPED_TRACE(models);
        connect(models);
        const size_t devices = ids.size();
        uint32_t voltages = 0, currents = 0, gps = 0;
        ASSERT_EQ(kv4cl::getChannelCounts(voltages, currents, gps), kv4cl::Success);
        const MessageDispatcher& model = deviceList().first();
        ASSERT_EQ(currents, devices * model.currentChannelsNum);
        ASSERT_EQ(gps, devices * model.gpChannelsNum);
        for (size_t d = 0; d < devices; d++)
            amplifier(d).setPatternMode(true);
        settle();
        const Frames f = read(1500);
        ASSERT_EQ(f.wordsPerFrame, voltages + currents + gps);
        const size_t perDevice = model.currentChannelsNum, gpPerDevice = model.gpChannelsNum;
        std::vector<std::vector<uint64_t>> counts;
        for (size_t d = 0; d < devices; d++) {
            counts.push_back(patternCounts(f, voltages + d * perDevice, perDevice));
            const auto steps = gaps(counts[d], perDevice);
            EXPECT_TRUE(std::all_of(steps.begin(), steps.end(), [](uint64_t s) { return s == 1; }))
                << "device " << d << ": no frame lost, repeated or out of order";
        }
        for (size_t i = 0; i < f.count(); i++) {
            for (size_t k = 0; k < voltages; k++)
                ASSERT_EQ(f.at(i, k), uint16_t(counts[0][i])) << "voltage word, frame " << i;
            for (size_t d = 0; d < devices; d++)
                for (size_t g = 0; g < gpPerDevice; g++)
                    ASSERT_EQ(f.at(i, voltages + currents + d * gpPerDevice + g), uint16_t(counts[d][i]))
                        << "gp word " << g << " of device " << d << ", frame " << i;
        }
        EXPECT_FALSE(f.flags.dataLost);
        kv4cl::disconnect();
    }
}

TEST_F(SimulatedAmplifiers, AnUnpluggedDeviceIsGoneAndStreamsOnWhenBack) {
    connect("cedar");
    VirtualAmplifier& amp = amplifier();
    amp.setPatternMode(true);
    settle();
    ASSERT_EQ(read(1000).count(), 1000u);
    // Unplugged, the device is gone for the library; back, it streams on.
    amp.unplug();
    std::vector<std::string> found;
    EXPECT_EQ(kv4cl::detectDevices(found), kv4cl::ErrorNoDevicesDetected);
    amp.replug();
    ASSERT_EQ(kv4cl::detectDevices(found), kv4cl::Success);
    EXPECT_EQ(found, ids);
    const auto after = gaps(patternCounts(read(2000), 1, 4), 4);
    EXPECT_LE(std::count_if(after.begin(), after.end(), [](uint64_t s) { return s != 1; }), 1);
}

TEST_F(SimulatedAmplifiers, ParallelDevicesWithSkewedClocksStayAligned) {
    // Two devices on one clock, the second's sample clock 100 ppm fast; each counts its own
    // samples, so every merged frame tells when each of its halves was sampled.
    connect("cedar,cedar");
    ASSERT_EQ(ids.size(), 2u);
    const double skew = 100e-6;
    amplifier(1).setClockSkew(skew * 1e6);
    for (size_t i = 0; i < 2; i++)
        amplifier(i).setPatternMode(true);
    ASSERT_EQ(kv4cl::setSamplingRate(2), kv4cl::Success);
    waitForCommand([](const DecodedCommand& c) { return c.samplingRateIdx == 2; });
    bus->clock()->setTimeScale(30.0);
    settle();

    // Read everything there is, as the acquisition does, for a simulated minute.
    Frames f;
    const double start = bus->clock()->seconds();
    while (bus->clock()->seconds() - start < 60 && !HasFailure())
        readAvailable(f);
    ASSERT_GT(f.count(), 0u);
    const auto a = patternCounts(f, 1, 4);
    const auto b = patternCounts(f, 5, 4);
    const double period = 1.0 / amplifier(0).frameRate();
    const double t0 = amplifier(0).frameTime(a[0]);
    const double offset = amplifier(1).frameTime(b[0]) - t0;
    for (size_t j = 1; j < f.count(); j++) {
        // Each device's frames in order; the drift compensation may skip one of a device ahead.
        ASSERT_TRUE(a[j] - a[j - 1] == 1 || a[j] - a[j - 1] == 2) << "first device, frame " << j;
        ASSERT_TRUE(b[j] - b[j - 1] == 1 || b[j] - b[j - 1] == 2) << "second device, frame " << j;
        // The halves drift apart no more than the clocks do, and compensation never overshoots.
        const double ta = amplifier(0).frameTime(a[j]);
        const double drift = amplifier(1).frameTime(b[j]) - ta - offset;
        ASSERT_LE(std::abs(drift), skew * (ta - t0) + period) << "frame " << j;
    }
    EXPECT_FALSE(f.flags.dataLost);
    EXPECT_FALSE(f.flags.bufferOverflow);
}
