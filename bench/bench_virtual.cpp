// What the library costs on a virtual amplifier that streams as fast as it is read: the
// reference model (four channels) at 200 kHz and the thirty-two-channel model at its highest
// rate, each through the public functions, plain and with the digital filter and the reset
// denoiser on. The amplifier's own generator runs in the receive thread (inside the driver
// calls); its thread CPU time is taken out. Figures, measured in the same run:
//   cpu_per_data_s  CPU seconds of the library (receive thread, reading thread, driver calls)
//                   per second of data; target < 0.05 for the thirty-two-channel model
//   generator_per_data_s  what the virtual amplifier itself spent, for scale

#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

namespace {

using kv4CommLib::installFtdiDriver;

struct Model {
    const char* name;
    uint8_t version;
    uint8_t subversion;
    uint16_t firmware;
};
const Model cedar{"4 channels (Cedar)", 4, 3, 129};
const Model dogwood32{"32 channels (Dogwood 32)", 12, 5, 1};

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Reads everything there is, as the acquisition thread does, until `frames` were read.
bool acquire(uint64_t frames, uint32_t wordsPerFrame, bool& lost) {
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
    return !lost;
}

void BM_LibraryOnVirtualAmplifier(benchmark::State& state, const Model& model) {
    const bool filtered = state.range(0) != 0;
    const std::string serial = "BENCHV01";
    auto bus = std::make_shared<kav4sim::VirtualBus>();
    auto device = std::make_shared<kav4sim::VirtualDevice>(serial);
    device->setIdentity(model.version, model.subversion, model.firmware);
    bus->addDevice(device);
    std::unique_ptr<kav4sim::VirtualAmplifier> amplifier = kav4sim::VirtualAmplifier::create(device);
    if (!amplifier) return state.SkipWithError("the model is not in the catalogue");
    amplifier->setFreeRunning(true);

    // The generator's own CPU time, taken in the thread that calls it.
    const char rx = amplifier->model().rxChannel;
    auto generatorSeconds = std::make_shared<std::atomic<double>>(0.0);
    device->setSource(
        rx,
        [source = device->source(rx), generatorSeconds](std::vector<uint8_t>& out, size_t n) {
            const double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            source(out, n);
            generatorSeconds->store(*generatorSeconds + cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start);
        },
        device->skipper(rx));
    installFtdiDriver(bus);

    const auto fail = [&](const char* why) {
        kv4cl::disconnect();
        installFtdiDriver(nullptr);
        state.SkipWithError(why);
    };
    if (kv4cl::connect({serial}) != kv4cl::Success) return fail("the device did not connect");
    std::vector<kv4cl::Measurement_t> rates;
    uint16_t defaultRate = 0;
    uint32_t voltages = 0, currents = 0, gps = 0;
    kv4cl::getSamplingRates(rates, defaultRate);
    kv4cl::getChannelCounts(voltages, currents, gps);
    const auto highest = uint16_t(rates.size() - 1);
    // The range after the rate: the library sets the denoiser's period with the range.
    bool configured = kv4cl::setSamplingRate(highest) == kv4cl::Success &&
                      kv4cl::setCurrentRange(0, uint16_t(currents)) == kv4cl::Success;
    if (filtered)
        configured =
            configured &&
            kv4cl::setDigitalFilter({10.0, kv4cl::UnitPfxKilo, "Hz"}, true, true) == kv4cl::Success &&
            kv4cl::setDenoiserEnabled(true) == kv4cl::Success;
    kv4cl::Measurement_t rateM;
    kv4cl::getSamplingRate(rateM);
    const double rate = rateM.getNoPrefixValue();
    const uint32_t wordsPerFrame = voltages + currents + gps;
    if (!configured) return fail("settings refused");
    if (!amplifier->waitForCommand(
            [&](const kav4sim::DecodedCommand& c) { return c.samplingRateIdx == highest; },
            std::chrono::seconds(10)))
        return fail("the device did not take the rate");

    // The first pass through the frame rings pays their page faults once per connection; a
    // counting pattern makes it quick. Measured is the steady state after it.
    bool lost = false;
    amplifier->setPatternMode(true);
    kv4cl::flushData(true);
    acquire(0x400000, wordsPerFrame, lost);
    amplifier->setPatternMode(false);
    acquire(uint64_t(rate * 0.2), wordsPerFrame, lost);
    lost = false;

    const double seconds = 20.0;
    double library = 0.0, generator = 0.0;
    for (auto _ : state) {
        const double generatorBefore = *generatorSeconds;
        const double start = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        acquire(uint64_t(seconds * rate), wordsPerFrame, lost);
        generator = *generatorSeconds - generatorBefore;
        library = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - start - generator;
        state.SetIterationTime(library);
    }
    kv4cl::disconnect();
    amplifier.reset();
    installFtdiDriver(nullptr);
    if (lost) return state.SkipWithError("frames were lost: the figures would be wrong");

    state.counters["data_s"] = seconds;
    state.counters["cpu_per_data_s"] = library / seconds;
    state.counters["generator_per_data_s"] = generator / seconds;
    std::printf("library on a virtual amplifier, %s at %g kHz%s: %.4f CPU s per s of data "
                "(target < 0.05 for 32 channels); the amplifier itself %.3f CPU s per s of data\n",
                model.name, rate / 1000, filtered ? ", 10 kHz low-pass and denoiser" : "", library / seconds,
                generator / seconds);
    std::fflush(stdout);
}

} // namespace

BENCHMARK_CAPTURE(BM_LibraryOnVirtualAmplifier, cedar, cedar)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LibraryOnVirtualAmplifier, dogwood32, dogwood32)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
