// The receive path through the libftdi1 driver against the virtual bus's, in the same run:
// Dogwood 32 at its highest rate streaming as fast as it is read, once with the virtual bus as
// the driver and once with the libftdi1 driver, the system's libftdi1 running on the virtual
// libusb over the same kind of bus. The virtual amplifier's generator is taken out of both;
// the virtual libusb's own work (what the kernel and the host controller do on hardware) stays
// in the libftdi1 figure. Figures:
//   cpu_per_data_s  CPU seconds of the library and its driver per second of data, each path
//   libftdi_over_virtual  the ratio of the two (the price of the real driver's path)

#include "bench/virtualload.h"
#include "commlib/transport/libftdidriver.h"
#include "simulator/virtuallibusb/virtualusb.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

using kav4bench::acquire;
using kav4bench::cpuSeconds;

// CPU seconds of the library and driver per second of data, Dogwood 32 at its highest rate.
double cpuPerDataSecond(bool libftdi, double seconds, std::string& error, double& rate) {
    const auto install = [libftdi](std::shared_ptr<kav4sim::VirtualBus> bus) {
        if (!libftdi) return kv4CommLib::installFtdiDriver(std::move(bus));
        kav4usb::attachBus(std::move(bus));
        kv4CommLib::installFtdiDriver(kv4CommLib::makeLibftdiDriver());
    };
    double library = 0.0;
    {
        kav4bench::VirtualLoad load(12, 5, 1, false, install);
        if (!load.error.empty()) {
            error = load.error;
            return 0.0;
        }
        bool lost = false;
        // The first pass through the frame rings pays their page faults: measured is after it.
        load.amplifier->setPatternMode(true);
        kv4cl::flushData(true);
        acquire(0x400000, load.wordsPerFrame, lost);
        lost = false;
        const double generatorBefore = load.generatorSeconds();
        const double start = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        acquire(uint64_t(seconds * load.rate), load.wordsPerFrame, lost);
        library = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - start - (load.generatorSeconds() - generatorBefore);
        rate = load.rate;
        if (lost) error = "frames were lost: the figures would be wrong";
    }
    kav4usb::attachBus(nullptr);
    return library / seconds;
}

void BM_LibftdiReceivePath(benchmark::State& state) {
    const double seconds = 10.0;
    double virtualBus = 0.0, libftdi = 0.0, rate = 0.0;
    std::string error;
    for (auto _ : state) {
        virtualBus = cpuPerDataSecond(false, seconds, error, rate);
        libftdi = cpuPerDataSecond(true, seconds, error, rate);
        state.SetIterationTime(libftdi * seconds);
    }
    if (!error.empty()) return state.SkipWithError(error.c_str());
    state.counters["virtual_cpu_per_data_s"] = virtualBus;
    state.counters["libftdi_cpu_per_data_s"] = libftdi;
    state.counters["libftdi_over_virtual"] = libftdi / virtualBus;
    std::printf("receive path, Dogwood 32 at %g kHz: %.4f CPU s per s of data through libftdi1 on the "
                "virtual libusb, %.4f through the virtual bus: %.2f times\n",
                rate / 1000, libftdi, virtualBus, libftdi / virtualBus);
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_LibftdiReceivePath)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
