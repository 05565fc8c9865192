#pragma once
// A watcher (membrane monitor or voltage automatic controller) given its frames one at a
// time, so that each result it emits is placed at the frame that caused it. Used on frames
// written by a test, in the test's thread, and on a consumer thread reading a virtual
// amplifier, where it keeps the current of every frame.

#include "analysis/framework/analysisconsumer.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <vector>

namespace kv4test {

struct Detection {
    int channel;
    long frame; // counted from the first frame analysed
    bool high = true;
    bool saturated = false; // the membrane monitor's: the current sat at its range's edge
    bool operator==(const Detection&) const = default;
};

template <typename Consumer> class WatcherProbe : public Consumer {
  public:
    explicit WatcherProbe(DeviceDataProducer* producer) : Consumer(producer) {
        QObject::connect(
            this, &Consumer::result, this,
            [this](typename Consumer::Result_t res) {
                QMutexLocker lock(&probeMutex);
                if constexpr (requires { res.high; })
                    found.push_back({res.channel, frames - 1, res.high});
                else
                    found.push_back({res.channel, frames - 1, true, res.saturated});
            },
            Qt::DirectConnection);
    }
    ~WatcherProbe() override { this->onStopConsuming(); }

    // In the test's thread: the rate, every current channel's range, then the buffers.
    void prepare(double rate, const kv4cl::RangedMeasurement_t& range) {
        this->samplingRate = rate;
        for (auto& r : this->currentRanges)
            r = range;
        this->allocateBuffers();
    }
    // Frames of current samples (in the range's unit), one per current channel; voltage and
    // gp words 0.
    void feed(const std::vector<std::vector<double>>& currents) {
        for (const std::vector<double>& frame : currents) {
            this->accumulated.assign(size_t(this->voltageChannelsNum), 0.0);
            this->accumulated.insert(this->accumulated.end(), frame.begin(), frame.end());
            this->accumulated.resize(size_t(this->totalChannelsNum), 0.0);
            frames++;
            Consumer::analyze();
        }
    }

    std::vector<Detection> detections() {
        QMutexLocker lock(&probeMutex);
        return found;
    }
    // The current of `channel` in every frame analysed so far (kept while `keep` is set).
    std::vector<double> history(int channel) {
        QMutexLocker lock(&probeMutex);
        std::vector<double> h;
        for (size_t f = size_t(channel); f < kept.size(); f += size_t(this->currentChannelsNum))
            h.push_back(kept[f]);
        return h;
    }
    void keep(bool on) { keeping = on; }

  protected:
    // On the consumer thread: the cycle's frames one at a time.
    void analyze() override {
        const size_t width = size_t(this->totalChannelsNum);
        const std::vector<double> cycle = std::move(this->accumulated);
        for (size_t at = 0; at + width <= cycle.size(); at += width) {
            this->accumulated.assign(cycle.begin() + std::ptrdiff_t(at),
                                     cycle.begin() + std::ptrdiff_t(at + width));
            {
                QMutexLocker lock(&probeMutex);
                frames++;
                if (keeping)
                    kept.insert(kept.end(), this->accumulated.begin() + this->voltageChannelsNum,
                                this->accumulated.begin() + this->voltageChannelsNum +
                                    this->currentChannelsNum);
            }
            Consumer::analyze();
        }
        this->accumulated.clear();
    }

  private:
    QMutex probeMutex;
    long frames = 0;
    std::atomic<bool> keeping = false;
    std::vector<double> kept;
    std::vector<Detection> found;
};

} // namespace kv4test
