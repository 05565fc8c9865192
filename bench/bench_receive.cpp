// Receive path cost: a four-current-channel, one-voltage-word device at 200 kHz with the
// digital filter and the reset denoiser on, fed as fast as the engine takes the bytes.
// Figures are ratios measured in the same run, because absolute times drift on shared machines:
//   cpu_per_data_s  process CPU seconds spent per second of data (target < 0.01)
//   parse_vs_memcpy bytes parsed per CPU second over memcpy bytes per second

#include "tests/support/enginemodel.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>

namespace {

using namespace kv4test;

constexpr const char* benchSerial = "BENCH01";
constexpr uint16_t rate200kHzIdx = 6;
constexpr double secondsOfData = 20.0;
constexpr int16_t holdingCode = -1120; // -70 mV in 0.0625 mV steps

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A steady holding voltage and currents with a few hundred codes of noise, as a quiet
// recording looks; the info pair walks through the status bytes.
std::vector<uint8_t> noisePackets(uint32_t packets) {
    std::mt19937 rng(12345);
    std::normal_distribution<double> noise(0.0, 250.0);
    std::vector<uint8_t> bytes;
    for (uint32_t p = 0; p < packets; p++) {
        append(bytes, makePacket(
                          [&](int, int k) {
                              return k == 0 ? uint16_t(holdingCode)
                                            : uint16_t(int16_t(std::lround(noise(rng))));
                          },
                          MessageDispatcher::syncWordCurrent, 5, true, uint8_t(p % 8), uint8_t(p)));
    }
    return bytes;
}

// A driver with one free-running device: always plenty queued, every read served from a
// pre-built stream with a single memcpy, as cheap as a real driver's copy, so that the
// CPU measured is the engine's.
class StreamDriver : public FtdiDriver {
  public:
    // The stream holds the period twice, so any read of up to one period is contiguous.
    explicit StreamDriver(const std::vector<uint8_t>& period) : periodBytes(period.size()) {
        stream = period;
        stream.insert(stream.end(), period.begin(), period.end());
    }
    const uint8_t* data() const { return stream.data(); }
    size_t period() const { return periodBytes; }

    FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) override {
        if (flags == FT_LIST_NUMBER_ONLY) {
            *static_cast<DWORD*>(arg1) = 2;
            return FT_OK;
        }
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (!(flags & FT_LIST_BY_INDEX) || index > 1) return FT_DEVICE_NOT_FOUND;
        std::snprintf(static_cast<char*>(arg2), 64, "%s%c", benchSerial, char('A' + index));
        return FT_OK;
    }
    FT_STATUS FT_OpenEx(void* arg, DWORD, FT_HANDLE* handle) override {
        const std::string name = static_cast<const char*>(arg);
        if (name != std::string(benchSerial) + "A" && name != std::string(benchSerial) + "B")
            return FT_DEVICE_NOT_FOUND;
        *handle = reinterpret_cast<FT_HANDLE>(uintptr_t(name.back() - 'A' + 1));
        return FT_OK;
    }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_OK; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, UCHAR, UCHAR) override { return FT_OK; }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE, UCHAR) override { return FT_OK; }
    FT_STATUS FT_SetUSBParameters(FT_HANDLE, DWORD, DWORD) override { return FT_OK; }
    FT_STATUS FT_SetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) override { return FT_OK; }
    FT_STATUS FT_Purge(FT_HANDLE, DWORD) override { return FT_OK; }
    FT_STATUS FT_GetQueueStatus(FT_HANDLE, DWORD* rxBytes) override {
        *rxBytes = 16u << 20;
        return FT_OK;
    }
    FT_STATUS FT_Read(FT_HANDLE, void* buffer, DWORD bytesToRead, DWORD* bytesRead) override {
        const size_t n = std::min<size_t>(bytesToRead, periodBytes);
        std::memcpy(buffer, stream.data() + readPos, n);
        readPos = (readPos + n) % periodBytes;
        *bytesRead = DWORD(n);
        return FT_OK;
    }
    FT_STATUS FT_Write(FT_HANDLE, void*, DWORD bytesToWrite, DWORD* bytesWritten) override {
        *bytesWritten = bytesToWrite;
        return FT_OK;
    }
    FT_STATUS FT_ReadEE(FT_HANDLE, DWORD wordOffset, WORD* value) override {
        *value = wordOffset == 116 ? 0x0403 : wordOffset == 117 ? 129 : 0xFFFF;
        return FT_OK;
    }
    FT_STATUS FT_WriteEE(FT_HANDLE, DWORD, WORD) override { return FT_NOT_SUPPORTED; }

    void Init_libMPSSE() override {}
    void Cleanup_libMPSSE() override {}
    FT_STATUS SPI_GetNumChannels(DWORD* n) override {
        *n = 0;
        return FT_OK;
    }
    FT_STATUS SPI_GetChannelInfo(DWORD, FT_DEVICE_LIST_INFO_NODE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_OpenChannel(DWORD, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_InitChannel(FT_HANDLE, ChannelConfig*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_CloseChannel(FT_HANDLE) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_Read(FT_HANDLE, UCHAR*, DWORD, DWORD*, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_Write(FT_HANDLE, UCHAR*, DWORD, DWORD*, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_WriteGPIO(FT_HANDLE, UCHAR, UCHAR) override { return FT_DEVICE_NOT_FOUND; }

  private:
    std::vector<uint8_t> stream;
    const size_t periodBytes;
    size_t readPos = 0; // touched only by the receive thread
};

// CPU seconds memcpy needs for `bytes` from the driver's stream, in chunks the size of the
// engine's receive ring (the largest read it makes).
double memcpyCpuSeconds(const StreamDriver& driver, double bytes) {
    std::vector<uint8_t> dest(MessageDispatcher::rxRingBytes, 0);
    benchmark::DoNotOptimize(dest.data());
    auto left = uint64_t(bytes);
    size_t pos = 0;
    const double start = processCpuSeconds();
    while (left > 0) {
        const size_t n = std::min<uint64_t>(left, dest.size());
        std::memcpy(dest.data(), driver.data() + pos, n);
        benchmark::ClobberMemory();
        pos = (pos + n) % driver.period();
        left -= n;
    }
    return processCpuSeconds() - start;
}

void BM_Receive200kHzFilterDenoiser(benchmark::State& state) {
    // The period exceeds the largest read (the 1 MiB receive ring), see StreamDriver.
    const auto driver = std::make_shared<StreamDriver>(noisePackets(8192));
    installFtdiDriver(driver);
    auto model = std::make_unique<TestModel>(benchSerial);
    model->defaultSamplingRateIdx = rate200kHzIdx; // connect applies it
    if (model->initBuffers() != kv4cl::Success ||
        model->connect(std::make_unique<FtdiEeprom56>(benchSerial)) != kv4cl::Success) {
        state.SkipWithError("the bench device did not connect");
        installFtdiDriver(nullptr);
        return;
    }
    const double rate = model->samplingRate.getNoPrefixValue();
    const uint32_t packetBytes = model->packetBytes;
    const bool configured =
        model->setDigitalFilter({10.0, kv4cl::UnitPfxKilo, "Hz"}, true, true) == kv4cl::Success &&
        model->setDenoiserEnabled(true) == kv4cl::Success;
    model->configureDenoiser(400, 1.0 / 64.0, false);
    model->flushData(false); // frames parsed before the settings took effect

    uint64_t framesRead = 0;
    bool overflow = false;
    bool lost = false;
    uint16_t lastVoltage = 0;
    // Reads continuously, as an acquisition thread does, so the frame ring never overflows.
    const auto acquire = [&](uint64_t frames) {
        for (uint64_t done = 0; done < frames;) {
            DataStatus_t status;
            if (model->getStatus(status) != kv4cl::Success) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            overflow = overflow || status.bufferOverflow;
            lost = lost || status.dataLost;
            uint16_t* filtered = nullptr;
            uint16_t* unfiltered = nullptr;
            uint32_t got = 0;
            model->readFrames(status.availableFrames, filtered, unfiltered, got);
            done += got;
            framesRead += got;
            if (got > 0) lastVoltage = filtered[0];
        }
    };
    // The first pass through the frame rings pays their page faults, once per connection:
    // measured is the steady state after it.
    acquire(MessageDispatcher::frameRingFrames);
    framesRead = 0;

    double cpu = 0.0;
    for (auto _ : state) {
        const double start = processCpuSeconds();
        acquire(uint64_t(secondsOfData * rate));
        cpu = processCpuSeconds() - start;
        state.SetIterationTime(cpu);
    }
    model->disconnect();
    model.reset();
    installFtdiDriver(nullptr);

    if (!configured || rate != 200000.0) return state.SkipWithError("filter, denoiser or rate not applied");
    if (overflow || lost) return state.SkipWithError("frames were dropped: the figures would be wrong");
    if (lastVoltage != uint16_t(holdingCode))
        return state.SkipWithError("the frames read are not the packets sent");

    const double dataSeconds = double(framesRead) / rate;
    const double bytes = double(framesRead) / 16.0 * packetBytes;
    const double copyCpu = memcpyCpuSeconds(*driver, bytes);
    state.counters["data_s"] = dataSeconds;
    state.counters["cpu_per_data_s"] = cpu / dataSeconds;
    state.counters["parse_MBps"] = bytes / cpu / 1e6;
    state.counters["memcpy_MBps"] = bytes / copyCpu / 1e6;
    state.counters["parse_vs_memcpy"] = copyCpu / cpu;
    std::printf(
        "receive 200 kHz, 1 V + 4 I words, 10 kHz low-pass + denoiser: %.4f CPU s per s of data "
        "(target < 0.01); parsing %.1f MB/s = %.4f x memcpy (%.0f MB/s); %.1f s of data in %.3f CPU s\n",
        cpu / dataSeconds, bytes / cpu / 1e6, copyCpu / cpu, bytes / copyCpu / 1e6, dataSeconds, cpu);
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_Receive200kHzFilterDenoiser)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
