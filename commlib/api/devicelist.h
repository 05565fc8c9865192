#pragma once
// The process-wide list of connected devices behind the public functions: forwarding
// rules, parallel-device channel numbering and the merge of their data streams.

#include "commlib/core/messagedispatcher.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace kv4CommLib {

class DeviceList {
  public:
    // Checks the identities, builds every device through the catalogue and attaches them.
    ErrorCodes_t connect(const std::vector<std::string>& deviceIds);
    // Takes connected devices of one type, in channel order.
    ErrorCodes_t attach(std::vector<std::unique_ptr<MessageDispatcher>> connectedDevices);
    ErrorCodes_t disconnect();

    bool empty() const { return devices.empty(); }
    MessageDispatcher& first() { return *devices.front(); }

    // Device-wide setters: every device in order, stopping at the first failure.
    template <typename F> ErrorCodes_t forEach(F&& f) {
        if (devices.empty()) return kv4cl::ErrorDeviceNotConnected;
        for (auto& d : devices) {
            const ErrorCodes_t err = f(*d);
            if (err != kv4cl::Success) return err;
        }
        return kv4cl::Success;
    }
    // Per-channel setters: the owning device with its local index, or every device with its
    // own "all" index when channelIdx is the total.
    template <typename F> ErrorCodes_t forChannel(uint32_t channelIdx, F&& f) {
        if (devices.empty()) return kv4cl::ErrorDeviceNotConnected;
        if (channelIdx > totalCurrentChannels) return kv4cl::ErrorValueOutOfRange;
        if (channelIdx == totalCurrentChannels)
            return forEach([&](MessageDispatcher& d) { return f(d, uint16_t(currentChannelsPerDevice)); });
        return f(*devices[channelIdx / currentChannelsPerDevice],
                 uint16_t(channelIdx % currentChannelsPerDevice));
    }
    // GP channels are numbered across devices as the merged frame holds them: every GP channel
    // of device 0, then of device 1, and so on. There is no "all" index.
    template <typename F> ErrorCodes_t forGpChannel(uint32_t gpChannelIdx, F&& f) {
        if (devices.empty()) return kv4cl::ErrorDeviceNotConnected;
        if (gpChannelIdx >= totalGpChannels) return kv4cl::ErrorValueOutOfRange;
        return f(*devices[gpChannelIdx / gpChannelsPerDevice], uint16_t(gpChannelIdx % gpChannelsPerDevice));
    }

    ErrorCodes_t getDataStatus(kv4cl::DataStatus_t& status);
    ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                             uint16_t*& unfilteredBuffer);
    // Discards what the devices received; the frames discarded are no loss.
    ErrorCodes_t flushData(bool purgeDriver);
    // The gaps of every device, placed in the merged frames readSamples hands out.
    ErrorCodes_t readFramesLost(std::vector<kv4cl::FramesLost_t>& losses);
    ErrorCodes_t currentFromRaw(int16_t raw, uint32_t channelIdx, double& value);

    uint32_t devicesNum = 0;
    uint32_t voltageChannelsNum = 0;
    uint32_t currentChannelsPerDevice = 0;
    uint32_t gpChannelsPerDevice = 0;
    uint32_t totalCurrentChannels = 0;
    uint32_t totalGpChannels = 0;
    // A merged frame: device 0's voltage words, every device's current words in device order,
    // then every device's GP words in device order.
    uint32_t mergedWordsPerFrame = 0;
    uint32_t compensationChannel = 0; // across devices; totalCurrentChannels selects all

    // Drift compensation between parallel devices: one estimator per device of how fast its
    // clock runs ahead of the others; a device ahead gives one extra frame every 1/estimate reads.
    struct DriftEstimator {
        double direction = 0.0;
        double integral = 0.0;
        double variance = 0.0;
        double innovation = 0.0;
        double estimate = 0.0;
        double innovationVariance = 0.0;
        uint32_t readAccumulator = 0;
        uint32_t extraFrames = 0;
    };
    std::vector<uint32_t> lastAvailableFrames;
    std::vector<DriftEstimator> drift;
    void resetDrift() {
        lastAvailableFrames.assign(devicesNum, 0);
        drift.assign(devicesNum, DriftEstimator{});
    }

  private:
    // The device and local index of every current channel: conversions run for every word
    // and must not divide.
    struct ChannelOwner {
        MessageDispatcher* device;
        uint16_t localChannel;
    };
    std::vector<ChannelOwner> channelOwners;
    std::vector<std::unique_ptr<MessageDispatcher>> devices;
    // Where each device's frames went in the merged frames: the last read took device frames
    // from `first`, of which `used` became merged frames from `mergedFirst`, the rest dropped.
    struct MergedPlace {
        uint64_t first = 0;
        uint64_t mergedFirst = 0;
        uint32_t used = 0;
    };
    std::vector<MergedPlace> mergedPlaces;
    uint64_t mergedHandedOut = 0;
    // Frames a device gave up to stay in step (ahead by its clock, or holding the times of frames
    // another device lost), each before merged frame `framesAfter`.
    std::vector<kv4cl::FramesLost_t> driftDrops;
    // Frames each device has lost so far, and those it has since discarded so that its frames
    // stay side by side with those of the device that lost the most: once a device lost
    // frames, its later frames were paired with older ones of the others for good, and their
    // backlog (and the memory it takes) grew by as many frames with each loss. The discard
    // comes once the loss is counted, a little after the gap.
    std::vector<uint64_t> framesLostBy;
    std::vector<uint64_t> framesDiscardedBy;
    // The latest discards of each device: `count` device frames from `first`, given up before
    // merged frame `merged`. A gap of the device's own that lay among them sits there.
    struct Discard {
        uint64_t first;
        uint64_t count;
        uint64_t merged;
    };
    std::vector<std::deque<Discard>> discards;
    void resetLossBalance() {
        framesLostBy.assign(devicesNum, 0);
        framesDiscardedBy.assign(devicesNum, 0);
        discards.assign(devicesNum, {});
    }
    // The merged frame before which device `i`'s frame `at` went (or would have gone).
    uint64_t mergedPlaceOf(size_t i, uint64_t at) const;
    // Discards from each device what it holds of the times another device lost.
    void discardWhatOthersLost();
    std::unique_ptr<uint16_t[]> mergedBuffer;
    std::unique_ptr<uint16_t[]> mergedUnfilteredBuffer;
};

// The one list of the process.
DeviceList& deviceList();

} // namespace kv4CommLib
