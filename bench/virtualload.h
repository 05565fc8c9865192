#pragma once
// What the benchmarks load: a virtual amplifier streaming as fast as it is read, connected
// through the library at its highest rate (optionally with the digital filter and the reset
// denoiser), with the CPU time of its own generator counted apart. The generator runs in the
// receive thread, inside the driver calls, so the benchmarks take its thread time out.

#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kav4bench {

inline double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Reads everything there is, as the acquisition thread does, until `frames` were read;
// `lost` collects the library's loss flags.
inline void acquire(uint64_t frames, uint32_t wordsPerFrame, bool& lost) {
    for (uint64_t done = 0; done < frames;) {
        kv4cl::DataStatus_t status{};
        if (kv4cl::getDataStatus(status) != kv4cl::Success) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
        }
        lost = lost || status.dataLost || status.bufferOverflow;
        uint32_t got = 0;
        uint16_t* buffer = nullptr;
        uint16_t* unfiltered = nullptr;
        kv4cl::readSamples(status.availableFrames, got, buffer, unfiltered);
        if (got > 0) benchmark::DoNotOptimize(buffer[size_t(got) * wordsPerFrame - 1]);
        done += got;
    }
}

class VirtualLoad {
  public:
    // `install` puts the driver over the bus in place (by default the bus itself).
    using Install = std::function<void(std::shared_ptr<kav4sim::VirtualBus>)>;
    VirtualLoad(uint8_t version, uint8_t subversion, uint16_t firmware, bool filtered,
                const Install& install = [](auto bus) { kv4CommLib::installFtdiDriver(std::move(bus)); }) {
        const std::string serial = "BENCH001";
        auto bus = std::make_shared<kav4sim::VirtualBus>();
        auto device = std::make_shared<kav4sim::VirtualDevice>(serial);
        device->setIdentity(version, subversion, firmware);
        bus->addDevice(device);
        amplifier = kav4sim::VirtualAmplifier::create(device);
        if (!amplifier) {
            error = "the model is not in the catalogue";
            return;
        }
        amplifier->setFreeRunning(true);
        const char rx = amplifier->model().rxChannel;
        device->setSource(
            rx,
            [source = device->source(rx), spent = generator](std::vector<uint8_t>& out, size_t n) {
                const double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                source(out, n);
                spent->store(*spent + cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start);
            },
            device->skipper(rx));
        install(bus);
        error = connect(filtered);
    }
    ~VirtualLoad() {
        kv4cl::disconnect();
        amplifier.reset();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    VirtualLoad(const VirtualLoad&) = delete;
    VirtualLoad& operator=(const VirtualLoad&) = delete;

    double generatorSeconds() const { return *generator; }

    std::string error; // empty once streaming as asked
    std::unique_ptr<kav4sim::VirtualAmplifier> amplifier;
    double rate = 0.0;
    uint32_t wordsPerFrame = 0;

  private:
    std::string connect(bool filtered) {
        if (kv4cl::connect({"BENCH001"}) != kv4cl::Success) return "the device did not connect";
        std::vector<kv4cl::Measurement_t> rates;
        uint16_t defaultRate = 0;
        uint32_t voltages = 0, currents = 0, gps = 0;
        kv4cl::getSamplingRates(rates, defaultRate);
        kv4cl::getChannelCounts(voltages, currents, gps);
        wordsPerFrame = voltages + currents + gps;
        const auto highest = uint16_t(rates.size() - 1);
        bool configured = kv4cl::setSamplingRate(highest) == kv4cl::Success &&
                          kv4cl::setCurrentRange(0, uint16_t(currents)) == kv4cl::Success;
        if (filtered)
            configured =
                configured &&
                kv4cl::setDigitalFilter({10.0, kv4cl::UnitPfxKilo, "Hz"}, true, true) == kv4cl::Success &&
                kv4cl::setDenoiserEnabled(true) == kv4cl::Success;
        if (!configured) return "settings refused";
        if (!amplifier->waitForCommand(
                [&](const kav4sim::DecodedCommand& c) { return c.samplingRateIdx == highest; },
                std::chrono::seconds(10)))
            return "the device did not take the rate";
        kv4cl::Measurement_t effective;
        kv4cl::getSamplingRate(effective);
        rate = effective.getNoPrefixValue();
        return "";
    }

    const std::shared_ptr<std::atomic<double>> generator = std::make_shared<std::atomic<double>>(0.0);
};

} // namespace kav4bench
