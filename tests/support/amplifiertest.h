#pragma once
// Virtual amplifiers connected through the library, and their frames read back through it.

#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"
#include "simulator/simulation.h"
#include "tests/support/busdriver.h"
#include "tests/support/enginemodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv4test {

using namespace std::chrono_literals;
using kav4sim::CellParameters;
using kav4sim::DecodedCommand;
using kav4sim::VirtualAmplifier;

// Frames as the library hands them out, with the status flags seen while reading them.
struct Frames {
    size_t wordsPerFrame = 1;
    std::vector<uint16_t> words; // frame after frame
    kv4cl::DataStatus_t flags{}; // each flag ORed over the reads

    size_t count() const { return words.size() / wordsPerFrame; }
    void note(const kv4cl::DataStatus_t& status) {
        flags.bufferOverflow |= status.bufferOverflow;
        flags.dataLost |= status.dataLost;
        flags.wordOverflow |= status.wordOverflow;
        flags.infoIndexStuck |= status.infoIndexStuck;
    }
    uint16_t at(size_t frame, size_t word) const { return words[frame * wordsPerFrame + word]; }
    int16_t code(size_t frame, size_t word) const { return int16_t(at(frame, word)); }
};

// A cell without channel, noise, reset glitch or fast capacitance: the current follows the
// membrane's circuit alone.
inline CellParameters quietCell() {
    CellParameters cell;
    cell.fastCapacitance = 0.0;
    cell.channelConductance = 0.0;
    cell.noiseRms = 0.0;
    cell.resetArtefact = 0.0;
    return cell;
}

// The current of channel `channel` in amperes, as the library converts it.
inline double amperes(const Frames& f, size_t frame, uint16_t channel, uint16_t voltageWords = 1) {
    double value = 0.0;
    EXPECT_EQ(kv4cl::currentFromRaw(f.code(frame, voltageWords + channel), channel, value), kv4cl::Success);
    kv4cl::RangedMeasurement_t range;
    EXPECT_EQ(kv4cl::getCurrentRange(range, channel), kv4cl::Success);
    return value * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
}

// The first voltage word in volts, as the library converts it.
inline double volts(const Frames& f, size_t frame) {
    double value = 0.0;
    EXPECT_EQ(kv4cl::voltageFromRaw(f.code(frame, 0), value), kv4cl::Success);
    kv4cl::RangedMeasurement_t range;
    EXPECT_EQ(kv4cl::getVoltageRange(range), kv4cl::Success);
    return value * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
}

inline double samplingRate() {
    kv4cl::Measurement_t rate;
    EXPECT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    return rate.getNoPrefixValue();
}

// A stretch of one voltage code, and its level in volts.
struct Stretch {
    int16_t code;
    double level;
    size_t start;
    size_t length;
};

inline std::vector<Stretch> runsOfVoltage(const Frames& f) {
    std::vector<Stretch> runs;
    for (size_t i = 0; i < f.count(); i++) {
        if (runs.empty() || f.code(i, 0) != runs.back().code)
            runs.push_back({f.code(i, 0), volts(f, i), i, 0});
        runs.back().length++;
    }
    return runs;
}

class SimulatedAmplifiers : public testing::Test {
  protected:
    void TearDown() override {
        // The library's devices hold handles on the bus: they go first.
        kv4cl::disconnect();
        removeBus();
    }

    // Simulated time runs this much faster than the wall clock unless a test says otherwise.
    static constexpr double timeScale = 10.0;

    // Virtual amplifiers of the listed models (see installSimulation), connected through the
    // library as one device or as parallel devices.
    void connect(const std::string& models) {
        std::string error;
        bus = kav4sim::makeSimulatedBus(models, error);
        ASSERT_TRUE(bus) << error;
        installBus(bus);
        bus->clock()->setTimeScale(timeScale);
        ids.clear();
        ASSERT_EQ(kv4cl::detectDevices(ids), kv4cl::Success);
        ASSERT_EQ(kv4cl::connect(ids), kv4cl::Success);
        // The connection opens with a reset; a test that counts resets from here on must not
        // take that one, still on its way on a slow machine, for its own.
        for (size_t i = 0; i < ids.size(); i++)
            if (amplifier(i).model().resetCoder) {
                ASSERT_TRUE(
                    amplifier(i).waitForCommand([](const DecodedCommand& c) { return c.resets > 0; }, 10s))
                    << "device " << ids[i] << " never saw the connection's reset";
            }
    }

    VirtualAmplifier& amplifier(size_t i = 0) { return *bus->amplifier(ids.at(i)); }

    // Blocks until the amplifiers' decoded commands satisfy `done`.
    void waitForCommand(const std::function<bool(const DecodedCommand&)>& done) {
        for (size_t i = 0; i < ids.size(); i++)
            ASSERT_TRUE(amplifier(i).waitForCommand(done, 10s)) << "device " << ids[i];
    }

    // Reads what the library has, at most `limit` frames in one call, after waiting for the
    // receive thread when it has nothing; appends to `frames`. Returns the frames read.
    size_t readAvailable(Frames& frames, uint32_t limit = std::numeric_limits<uint32_t>::max()) {
        const MessageDispatcher& first = deviceList().first();
        frames.wordsPerFrame =
            deviceList().devicesNum == 1 ? first.wordsPerSample : deviceList().mergedWordsPerFrame;
        // The library may go on reading bytes that never become frames.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            kv4cl::DataStatus_t status{};
            const kv4cl::ErrorCodes_t result = kv4cl::getDataStatus(status);
            frames.note(status);
            if (result == kv4cl::Success) {
                const uint32_t asked = std::min(status.availableFrames, limit);
                uint32_t got = 0;
                uint16_t* buffer = nullptr;
                uint16_t* unfiltered = nullptr;
                kv4cl::readSamples(asked, got, buffer, unfiltered);
                EXPECT_LE(got, asked) << "a read never hands out more than asked";
                frames.words.insert(frames.words.end(), buffer, buffer + size_t(got) * frames.wordsPerFrame);
                return got;
            }
            EXPECT_EQ(result, kv4cl::WarningNoDataAvailable);
            // The last device is as good as any: the library waits for the slowest anyway.
            if (!amplifier(ids.size() - 1).device().waitForNextRead(first.rxChannel, 10s) ||
                std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "no data for 10 s";
                return 0;
            }
        }
    }

    // Reads exactly n frames, at most `limit` in one call.
    Frames read(size_t n, uint32_t limit = std::numeric_limits<uint32_t>::max()) {
        Frames frames;
        while (frames.count() < n && !testing::Test::HasFailure())
            readAvailable(frames, uint32_t(std::min<size_t>(limit, n - frames.count())));
        return frames;
    }

    // Drops everything made under the old settings, however far behind the reader is: the
    // devices stop sending, the receive side takes what was queued and, finding the line idle,
    // purges the driver and drops what it held half parsed; the library's frames are flushed;
    // then the devices send again, everything made under the settings they now hold.
    void settle() {
        std::vector<int> purges;
        for (size_t i = 0; i < ids.size(); i++) {
            VirtualAmplifier& a = amplifier(i);
            purges.push_back(a.device().purges(a.model().rxChannel, FT_PURGE_RX));
            a.stall(true);
        }
        for (size_t i = 0; i < ids.size(); i++) {
            VirtualAmplifier& a = amplifier(i);
            ASSERT_TRUE(a.device().waitForPurges(a.model().rxChannel, FT_PURGE_RX, purges[i] + 1, 10s))
                << "device " << ids[i] << " never went idle";
        }
        // From here on a purge on an idle pass could drop the first fresh bytes: hold purges off
        // until the receive side has taken some.
        for (size_t i = 0; i < ids.size(); i++)
            amplifier(i).device().failCalls(kav4sim::FtdiCall::Purge);
        ASSERT_EQ(kv4cl::flushData(false), kv4cl::Success);
        for (size_t i = 0; i < ids.size(); i++)
            amplifier(i).stall(false);
        for (size_t i = 0; i < ids.size(); i++) {
            VirtualAmplifier& a = amplifier(i);
            ASSERT_TRUE(a.device().waitForNextRead(a.model().rxChannel, 10s)) << "device " << ids[i];
            a.device().failCalls(kav4sim::FtdiCall::Purge, 0);
        }
    }

    // Protocol parameters by name, in the units of their ranges (mV, ms, plain numbers).
    void setProtocolParameters(const std::map<std::string, double>& values) {
        using Getter =
            kv4cl::ErrorCodes_t (*)(std::vector<std::string>&, std::vector<kv4cl::RangedMeasurement_t>&,
                                    std::vector<kv4cl::Measurement_t>&);
        using Setter = kv4cl::ErrorCodes_t (*)(uint16_t, const kv4cl::Measurement_t&);
        const std::pair<Getter, Setter> families[] = {
            {&kv4cl::getProtocolVoltage, &kv4cl::setProtocolVoltage},
            {&kv4cl::getProtocolTime, &kv4cl::setProtocolTime},
            {&kv4cl::getProtocolAdimensional, &kv4cl::setProtocolAdimensional}};
        for (const auto& [name, value] : values) {
            bool found = false;
            for (const auto& [get, set] : families) {
                std::vector<std::string> names;
                std::vector<kv4cl::RangedMeasurement_t> ranges;
                std::vector<kv4cl::Measurement_t> defaults;
                get(names, ranges, defaults);
                const auto at = std::find(names.begin(), names.end(), name);
                if (at == names.end()) continue;
                const auto i = size_t(at - names.begin());
                ASSERT_EQ(set(uint16_t(i), {value, ranges[i].prefix, ranges[i].unit}), kv4cl::Success)
                    << name;
                found = true;
            }
            ASSERT_TRUE(found) << "no parameter " << name;
        }
    }

    // Sets the parameters, holds the new Vhold, then starts the named protocol on a settled
    // stream: what is read next shows the holding level and then the protocol.
    void startProtocol(const std::string& name, const std::map<std::string, double>& values) {
        std::vector<std::string> names, images;
        std::vector<std::vector<uint16_t>> v, t, sl, f, a;
        ASSERT_EQ(kv4cl::getProtocolList(names, images, v, t, sl, f, a), kv4cl::Success);
        const auto at = std::find(names.begin(), names.end(), name);
        ASSERT_NE(at, names.end()) << name;
        setProtocolParameters(values);
        const auto start = [&](uint16_t index) {
            const uint64_t starts = amplifier().command().protocolStarts;
            ASSERT_EQ(kv4cl::selectProtocol(index), kv4cl::Success);
            ASSERT_EQ(kv4cl::applyProtocol(), kv4cl::Success);
            waitForCommand([&](const DecodedCommand& c) { return c.protocolStarts > starts; });
        };
        start(0);
        settle();
        start(uint16_t(at - names.begin()));
    }

    std::shared_ptr<kav4sim::SimulatedBus> bus;
    std::vector<std::string> ids;
};

} // namespace kv4test
