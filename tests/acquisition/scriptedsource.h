#pragma once
// A stand-in for the library that a test scripts poll by poll: each getDataStatus takes the
// next poll of the script, and with the script used up there is no data. Its conversions
// tell the channel groups and the channel indices apart: a voltage word becomes raw / 2, the
// word of current channel i raw * (i + 1), the word of gp channel g raw * 100 + g.

#include "acquisition/samplesource.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace kv4test {

class ScriptedSource : public SampleSource {
  public:
    struct Poll {
        kv4cl::ErrorCodes_t status = kv4cl::Success;
        kv4cl::DataStatus_t flags;
        kv4cl::ErrorCodes_t read = kv4cl::Success;
        std::vector<uint16_t> filtered; // rows of words
        std::vector<uint16_t> unfiltered;
        // Reported by the readFramesLost that follows this poll's read.
        std::vector<kv4cl::FramesLost_t> losses;
    };

    ScriptedSource(uint32_t voltageChannels, uint32_t currentChannels, uint32_t gpChannels)
        : voltage(voltageChannels), current(currentChannels), gp(gpChannels) {}

    uint32_t width() const { return voltage + current + gp; }

    // Appends polls; the producer may be running.
    void add(const Poll& poll, size_t times = 1) {
        std::lock_guard lock(mutex);
        script.insert(script.end(), times, poll);
    }
    // A poll that delivers rows numbered from `first`: every word of row k holds first + k,
    // and the unfiltered word that plus 1000; then tells of `losses`.
    Poll rows(uint16_t first, uint32_t count, kv4cl::DataStatus_t flags = {},
              std::vector<kv4cl::FramesLost_t> losses = {}) const {
        Poll poll;
        poll.flags = flags;
        poll.losses = std::move(losses);
        for (uint32_t k = 0; k < count; k++)
            for (uint32_t c = 0; c < width(); c++) {
                poll.filtered.push_back(uint16_t(first + k));
                poll.unfiltered.push_back(uint16_t(first + k + 1000));
            }
        return poll;
    }

    kv4cl::ErrorCodes_t getChannelCounts(uint32_t& v, uint32_t& c, uint32_t& g) override {
        v = voltage;
        c = current;
        g = gp;
        return kv4cl::Success;
    }
    kv4cl::ErrorCodes_t getDataStatus(kv4cl::DataStatus_t& status) override {
        std::lock_guard lock(mutex);
        if (script.empty()) return kv4cl::WarningNoDataAvailable;
        polled = script.front();
        script.pop_front();
        status = polled.flags;
        status.availableFrames = uint32_t(polled.filtered.size() / width());
        return polled.status;
    }
    kv4cl::ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                    uint16_t*& unfilteredBuffer) override {
        framesRead = std::min(frames, uint32_t(polled.filtered.size() / width()));
        buffer = polled.filtered.data();
        unfilteredBuffer = polled.unfiltered.data();
        return polled.read;
    }
    kv4cl::ErrorCodes_t readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) override {
        losses = std::exchange(polled.losses, {});
        return kv4cl::Success;
    }
    kv4cl::ErrorCodes_t currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) override {
        value = raw * (channelIdx + 1.0);
        return kv4cl::Success;
    }
    kv4cl::ErrorCodes_t voltageFromRaw(int16_t raw, double& value) override {
        value = raw / 2.0;
        return kv4cl::Success;
    }
    kv4cl::ErrorCodes_t gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) override {
        value = raw * 100.0 + gpChannelIdx;
        return kv4cl::Success;
    }

  private:
    const uint32_t voltage;
    const uint32_t current;
    const uint32_t gp;
    std::mutex mutex;
    std::deque<Poll> script;
    Poll polled; // the last poll taken; only the producer's thread touches it
};

} // namespace kv4test
