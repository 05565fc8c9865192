// How fast the DAT writer stores a recording, against a plain loop writing 1 MiB blocks to a
// file of the same size in the same folder (what `dd bs=1M` does), in the same run. Neither
// syncs its file, as the writer does not; the disk is synced, untimed, before each phase, so
// that no phase pays for the one before. The recording is Dogwood 32's frame (32 currents and
// the voltage) at 100 kHz, every channel active (the ring's rows written as they lie, as
// frames) or current channel 2 off (each frame gathered from runs of its row into blocks
// written by a second thread); the bench stands in for the
// producer: the ring's rows are filled once and then handed over again and again, a quarter
// of a ring ahead of the writer at most, so that only the writer's own work is timed. The
// files go in the current folder: run it on the disk to measure.
// Figures, measured in the same run:
//   writer_over_plain  the writer's bytes per second over the plain loop's (the mean of one
//                      run before and one after the writer's); target >= 0.90
//   cpu_over_plain     the process's CPU seconds per byte while the writer runs over the
//                      plain loop's. With a channel off the writer gathers each block while
//                      the one before is being written, on a second core: on a machine busy
//                      with other work its rate falls towards plain / cpu_over_plain.

#include "acquisition/devicedataproducer.h"
#include "controls/recordsettingsdialog.h"
#include "recording/datdatawriterconsumer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t currents = 32;
constexpr uint32_t width = 1 + currents;
constexpr double rate = 100e3;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Only the channel counts: the bench stores the rows itself.
class NoSource : public SampleSource {
  public:
    kv4cl::ErrorCodes_t getChannelCounts(uint32_t& v, uint32_t& c, uint32_t& g) override {
        v = 1;
        c = currents;
        g = 0;
        return kv4cl::Success;
    }
    kv4cl::ErrorCodes_t getDataStatus(kv4cl::DataStatus_t&) override { return kv4cl::WarningNoDataAvailable; }
    kv4cl::ErrorCodes_t readSamples(uint32_t, uint32_t& read, uint16_t*&, uint16_t*&) override {
        read = 0;
        return kv4cl::WarningNoDataAvailable;
    }
    kv4cl::ErrorCodes_t currentFromRaw(int16_t, uint16_t, double&) override { return kv4cl::Success; }
    kv4cl::ErrorCodes_t voltageFromRaw(int16_t, double&) override { return kv4cl::Success; }
    kv4cl::ErrorCodes_t gpFromRaw(uint16_t, uint16_t, double&) override { return kv4cl::Success; }
    kv4cl::ErrorCodes_t readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) override {
        losses.clear();
        return kv4cl::Success;
    }
};

// A DAT writer whose progress the bench watches.
class WatchedWriter : public DatDataWriterConsumer {
  public:
    using DatDataWriterConsumer::DatDataWriterConsumer;
    // With the ring's mutex held.
    uint64_t rowsRead() const { return hook->row; }
};

// Writes `bytes` in 1 MiB blocks to a new file; its seconds, or a negative number on failure.
// `cpu` collects the CPU seconds taken.
double plainWrite(const QString& path, int64_t bytes, double& cpu) {
    std::vector<char> block(size_t{1} << 20);
    for (size_t k = 0; k < block.size(); k++)
        block[k] = char(k * 7919 >> 3);
    const double cpuStart = cpuSeconds();
    const double start = seconds();
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1.0;
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n =
            ::write(fd, block.data(), size_t(std::min<int64_t>(bytes - done, int64_t(block.size()))));
        if (n <= 0) {
            ::close(fd);
            return -1.0;
        }
        done += n;
    }
    ::close(fd);
    cpu += cpuSeconds() - cpuStart;
    return seconds() - start;
}

void BM_DatWriterAgainstPlainWrites(benchmark::State& state) {
    const int64_t rows = state.range(0) * 1000000;
    const bool channelOff = state.range(1) != 0;
    const uint32_t frameWidth = width - (channelOff ? 1 : 0);
    const int64_t bytes = rows * frameWidth * int64_t(sizeof(float));
    QTemporaryDir folder(QDir::currentPath() + "/datwriter-bench-XXXXXX");
    if (!folder.isValid()) return state.SkipWithError("no folder for the files");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());

    NoSource source;
    DeviceDataProducer producer(source); // never started
    const std::unique_ptr<DataHook> feeder = producer.getDataHook();
    SampleRing& ring = feeder->ring;
    {
        // Noise of a few hundred pA on the currents, a step on the voltage.
        std::lock_guard lock(ring.mutex);
        for (uint32_t r = 0; r < SampleRing::rowCount; r++) {
            const SampleRing::Row row = ring.nextRow();
            for (uint32_t c = 0; c < width; c++) {
                const double value = c == 0 ? (r & 0x1000 ? 0.05 : -0.07) : 3e-10 * std::sin(r * 0.37 + c);
                row.filteredValues[c] = row.unfilteredValues[c] = value;
                // As the producer orders them: the voltage last.
                row.filteredFloats[(c + width - 1) % width] = row.unfilteredFloats[(c + width - 1) % width] =
                    float(value);
                row.filteredRaw[c] = row.unfilteredRaw[c] = uint16_t(value * 1e12);
            }
            ring.commitRow();
        }
    }
    RecordSettingsDialog dialog;
    dialog.findChild<QLineEdit*>("recordPathEdit")->setText(folder.path() + "/");
    dialog.findChild<QLineEdit*>("recordNameEdit")->setText("bench");
    dialog.onSamplingRateChanged({rate, kv4cl::UnitPfxNone, "Hz"}, {rate, kv4cl::UnitPfxNone, "Hz"});
    dialog.findChild<QDoubleSpinBox*>("recordDurationSpinBox")->setValue(double(rows) / rate);
    WatchedWriter writer(&producer);
    writer.setRecordingPlan(&dialog.plan());
    writer.setChannelActive(1, !channelOff);
    const QString plainFile = folder.path() + "/plain.dat";

    double plain = 0.0, written = 0.0, plainCpu = 0.0, cpu = 0.0;
    for (auto _ : state) {
        ::sync();
        const double before = plainWrite(plainFile, bytes, plainCpu);
        QFile::remove(plainFile);
        ::sync();

        const double cpuStart = cpuSeconds();
        const double start = seconds();
        writer.onStartConsuming();
        if (!writer.isRunning()) return state.SkipWithError("the writer did not start");
        for (int64_t handed = 0; handed < rows;) {
            uint32_t more = 0;
            {
                std::lock_guard lock(ring.mutex);
                const int64_t ahead = int64_t(ring.rowsWritten() - writer.rowsRead());
                more = uint32_t(std::clamp<int64_t>(SampleRing::rowCount / 4 - ahead, 0, rows - handed));
                for (uint32_t k = 0; k < more; k++)
                    ring.commitRow(); // the row there already holds data
                if (more > 0) ring.wakeReaders();
            }
            handed += more;
            // As the producer pauses between polls.
            if (more == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!writer.wait(QDeadlineTimer(600000))) return state.SkipWithError("the writer did not end");
        written = seconds() - start;
        cpu = cpuSeconds() - cpuStart;
        QDir recording(dialog.getRecordFolder());
        const QFileInfoList files = recording.entryInfoList({"*.dat"});
        const int64_t size = files.size() == 1 ? files[0].size() : -1;
        recording.removeRecursively();
        if (size != bytes) return state.SkipWithError("the recording does not hold every frame");

        ::sync();
        const double after = plainWrite(plainFile, bytes, plainCpu);
        QFile::remove(plainFile);
        if (before <= 0.0 || after <= 0.0) return state.SkipWithError("the plain writes failed");
        plain = (before + after) / 2.0;
        state.SetIterationTime(written);
    }
    const double gb = double(bytes) / 1e9;
    state.counters["plain_GBps"] = gb / plain;
    state.counters["writer_GBps"] = gb / written;
    state.counters["writer_over_plain"] = plain / written;
    state.counters["cpu_over_plain"] = cpu / (plainCpu / 2.0);
    // The figure needs a second core free: other work on the machine shows in its load.
    double load = 0.0;
    getloadavg(&load, 1);
    std::printf("DAT writer, %lld frames of %u floats (%.2f GB) in %s: plain 1 MiB writes %.2f GB/s "
                "(%.3f CPU s per GB), the writer %.2f GB/s (%.3f CPU s per GB); writer over plain %.3f "
                "(target >= 0.90); machine load %.1f on %ld cores\n",
                static_cast<long long>(rows), frameWidth, gb, qPrintable(QDir::currentPath()), gb / plain,
                plainCpu / 2.0 / gb, gb / written, cpu / gb, plain / written, load,
                sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);
}

} // namespace

// Millions of frames (4.1 GB and 10.3 GB of recording, in the page cache and beyond), and
// whether a channel is off.
BENCHMARK(BM_DatWriterAgainstPlainWrites)
    ->Args({31, 0})
    ->Args({31, 1})
    ->Args({78, 0})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
