// What the acquisition pipeline costs on the thirty-two-channel model at 100 kHz, its virtual
// amplifier streaming as fast as it is read: the library, the producer converting every word
// into the sample ring, and two hooks reading as consumers do, a plot-like one (minimum and
// maximum envelope, 100 ms at a time) and a writer-like one (raw rows); plain, and with the
// digital filter and the reset denoiser on. The amplifier's own generator runs in the receive
// thread (inside the driver calls); its thread CPU time is taken out, as in bench_virtual.
// Figure, measured in the same run:
//   cpu_per_data_s  CPU seconds of everything but the generator per second of data;
//                   target < 0.10

// First: the simulator has a member named like Qt's "emit" macro.
#include "simulator/virtualamplifier.h"

#include "app/devicedataproducer.h"
#include "app/librarysamplesource.h"
#include "commlib/api/kv4cl.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

namespace {

using kv4CommLib::installFtdiDriver;

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Reads through the library alone until `frames` were read: the warm-up of its frame rings.
void drainLibrary(uint64_t frames) {
    for (uint64_t done = 0; done < frames;) {
        kv4cl::DataStatus_t status{};
        if (kv4cl::getDataStatus(status) != kv4cl::Success) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
        }
        uint32_t got = 0;
        uint16_t* buffer = nullptr;
        uint16_t* unfiltered = nullptr;
        kv4cl::readSamples(status.availableFrames, got, buffer, unfiltered);
        done += got;
    }
}

// Reads raw rows as a file writer does until `rows` rows were read.
void readAsWriter(DataHook& hook, uint64_t rows) {
    std::vector<uint16_t> data;
    for (uint64_t done = 0; done < rows; done += data.size() / hook.ring.rowWidth()) {
        readRawData(hook, data, true, 4096);
        benchmark::DoNotOptimize(data.data());
    }
}

void BM_PipelineOnVirtualAmplifier(benchmark::State& state) {
    const bool filtered = state.range(0) != 0;
    const std::string serial = "BENCHP01";
    auto bus = std::make_shared<kav4sim::VirtualBus>();
    auto device = std::make_shared<kav4sim::VirtualDevice>(serial);
    device->setIdentity(12, 5, 1); // Dogwood 32
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
    if (!configured) return fail("settings refused");
    if (!amplifier->waitForCommand(
            [&](const kav4sim::DecodedCommand& c) { return c.samplingRateIdx == highest; },
            std::chrono::seconds(10)))
        return fail("the device did not take the rate");
    kv4cl::Measurement_t rateM;
    kv4cl::getSamplingRate(rateM);
    const double rate = rateM.getNoPrefixValue();

    // The first passes through the library's frame rings and the sample ring pay their page
    // faults once per connection; a counting pattern makes them quick. Measured is the steady
    // state after them.
    amplifier->setPatternMode(true);
    kv4cl::flushData(true);
    drainLibrary(0x400000);
    LibrarySampleSource source;
    {
        DeviceDataProducer producer(source);
        std::unique_ptr<DataHook> plot = producer.getDataHook();
        std::unique_ptr<DataHook> writer = producer.getDataHook();
        std::atomic<bool> plotting = true;
        std::thread plotter([&] {
            // 100 ms of rows a read, 1000 envelope points a second.
            std::vector<double> envelope;
            while (plotting) {
                readValues(*plot, envelope, true, uint32_t(rate / 2000), uint32_t(rate / 10));
                benchmark::DoNotOptimize(envelope.data());
            }
        });
        producer.start();
        readAsWriter(*writer, SampleRing::rowCount + uint64_t(rate * 0.2));
        amplifier->setPatternMode(false);
        readAsWriter(*writer, uint64_t(rate * 0.2));

        const double seconds = 20.0;
        double pipeline = 0.0, generator = 0.0;
        for (auto _ : state) {
            const double generatorBefore = *generatorSeconds;
            const double start = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            readAsWriter(*writer, uint64_t(seconds * rate));
            generator = *generatorSeconds - generatorBefore;
            pipeline = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - start - generator;
            state.SetIterationTime(pipeline);
        }
        plotting = false;
        producer.onStopProducing();
        plotter.join();

        state.counters["data_s"] = seconds;
        state.counters["cpu_per_data_s"] = pipeline / seconds;
        std::printf("pipeline on a virtual amplifier, 32 channels (Dogwood 32) at %g kHz%s, a plot-like "
                    "and a writer-like hook: %.4f CPU s per s of data (target < 0.10); the amplifier "
                    "itself %.3f CPU s per s of data\n",
                    rate / 1000, filtered ? ", 10 kHz low-pass and denoiser" : "", pipeline / seconds,
                    generator / seconds);
        std::fflush(stdout);
    }
    kv4cl::disconnect();
    amplifier.reset();
    installFtdiDriver(nullptr);
}

} // namespace

BENCHMARK(BM_PipelineOnVirtualAmplifier)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // The producer's timers need the application's event dispatcher.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
