#include "commlib/api/devicelist.h"

#include "commlib/api/catalogue.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace kv4CommLib {

using namespace kv4cl;

namespace {
constexpr uint32_t mergedBufferWords = 0x800000 / sizeof(uint16_t);
}

DeviceList& deviceList() {
    static DeviceList list;
    return list;
}

ErrorCodes_t DeviceList::connect(const std::vector<std::string>& deviceIds) {
    if (deviceIds.empty()) return ErrorDeviceTypeNotControllable;
    if (!devices.empty()) return ErrorDeviceAlreadyConnected;

    // Parallel devices must be of one type: identical identities.
    const std::unique_ptr<FtdiEeprom> reference = makeEeprom(deviceIds.front());
    for (size_t i = 1; i < deviceIds.size(); i++) {
        const std::unique_ptr<FtdiEeprom> other = makeEeprom(deviceIds[i]);
        if (other->deviceVersion != reference->deviceVersion ||
            other->deviceSubversion != reference->deviceSubversion ||
            other->firmwareVersion != reference->firmwareVersion)
            return ErrorDifferentDeviceTypes;
    }

    std::vector<std::unique_ptr<MessageDispatcher>> created(deviceIds.size());
    for (size_t i = 0; i < deviceIds.size(); i++) {
        const ErrorCodes_t err = createDispatcher(deviceIds[i], created[i]);
        if (err != Success) return err; // the devices made so far disconnect as they are destroyed
    }
    return attach(std::move(created));
}

ErrorCodes_t DeviceList::attach(std::vector<std::unique_ptr<MessageDispatcher>> connectedDevices) {
    if (connectedDevices.empty()) return ErrorDeviceTypeNotControllable;
    if (!devices.empty()) return ErrorDeviceAlreadyConnected;
    devices = std::move(connectedDevices);
    devicesNum = uint32_t(devices.size());
    const MessageDispatcher& d0 = *devices.front();
    voltageChannelsNum = d0.voltageChannelsNum;
    currentChannelsPerDevice = d0.currentChannelsNum;
    gpChannelsPerDevice = d0.gpChannelsNum;
    totalCurrentChannels = currentChannelsPerDevice * devicesNum;
    totalGpChannels = gpChannelsPerDevice * devicesNum;
    mergedWordsPerFrame = voltageChannelsNum + totalCurrentChannels + totalGpChannels;
    compensationChannel = 0;
    channelOwners.clear();
    for (auto& d : devices)
        for (uint16_t c = 0; c < currentChannelsPerDevice; c++)
            channelOwners.push_back({d.get(), c});
    // A merged read must fit the merged buffers.
    for (auto& d : devices)
        d->setMaxOutputFrames(0x400000 / mergedWordsPerFrame);

    mergedBuffer.reset(new (std::nothrow) uint16_t[mergedBufferWords]);
    mergedUnfilteredBuffer.reset(new (std::nothrow) uint16_t[mergedBufferWords]);
    if (!mergedBuffer || !mergedUnfilteredBuffer) {
        disconnect();
        return ErrorResourcesInitialization;
    }
    resetDrift();
    resetLossBalance();
    mergedPlaces.assign(devicesNum, MergedPlace{});
    mergedHandedOut = 0;
    driftDrops.clear();
    return Success;
}

ErrorCodes_t DeviceList::disconnect() {
    if (devices.empty()) return ErrorDeviceNotConnected;
    ErrorCodes_t result = Success;
    for (auto& d : devices)
        result = d->disconnect();
    devices.clear();
    devicesNum = 0;
    mergedBuffer.reset();
    mergedUnfilteredBuffer.reset();
    return result;
}

ErrorCodes_t DeviceList::getDataStatus(DataStatus_t& status) {
    if (devices.empty()) return ErrorDeviceNotConnected;
    status = DataStatus_t{};
    status.availableFrames = std::numeric_limits<uint32_t>::max();
    ErrorCodes_t result = Success;
    for (size_t i = 0; i < devices.size(); i++) {
        DataStatus_t s;
        const ErrorCodes_t err = devices[i]->getStatus(s);
        if (err != Success && err != WarningNoDataAvailable) return err;
        result = ErrorCodes_t(result | err);
        lastAvailableFrames[i] = s.availableFrames;
        status.availableFrames = std::min(status.availableFrames, s.availableFrames);
        status.bufferOverflow |= s.bufferOverflow;
        status.dataLost |= s.dataLost;
        status.wordOverflow |= s.wordOverflow;
        status.rangeUpSuggested |= s.rangeUpSuggested;
        status.rangeDownSuggested |= s.rangeDownSuggested;
        status.infoIndexStuck |= s.infoIndexStuck;
    }
    return result;
}

ErrorCodes_t DeviceList::readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                     uint16_t*& unfilteredBuffer) {
    framesRead = 0;
    if (devices.empty()) return ErrorDeviceNotConnected;
    if (frames == 0) return WarningNoDataAvailable;
    if (devices.size() == 1) return devices.front()->readFrames(frames, buffer, unfilteredBuffer, framesRead);

    discardWhatOthersLost();
    frames = std::min(frames, *std::min_element(lastAvailableFrames.begin(), lastAvailableFrames.end()));
    if (frames == 0) return WarningNoDataAvailable;
    ErrorCodes_t result = Success;
    for (size_t i = 0; i < devices.size(); i++) {
        DriftEstimator& e = drift[i];
        // A scalar Kalman filter on the sign of "this device had more than asked".
        e.direction = lastAvailableFrames[i] > frames ? 1.0 : -1.0;
        e.integral += e.direction;
        e.variance += 1e-9;
        e.innovation = e.direction * 1e-5 + e.integral * 5e-10 - e.estimate;
        e.innovationVariance = e.variance + 0.001;
        const double gain = e.variance / e.innovationVariance;
        e.estimate += gain * e.innovation;
        e.variance *= 1.0 - gain;
        if (e.estimate > 0.0) {
            const double period = std::min(1.0 / e.estimate, double(std::numeric_limits<uint32_t>::max()));
            if (e.readAccumulator > uint32_t(period)) {
                e.extraFrames++;
                e.readAccumulator -= uint32_t(period);
            }
        }

        uint16_t* filtered = nullptr;
        uint16_t* unfiltered = nullptr;
        uint32_t got = 0;
        const uint64_t first = devices[i]->framesRead();
        result = devices[i]->readFrames(frames + e.extraFrames, filtered, unfiltered, got);
        uint32_t used = got;
        if (got > frames) {
            e.extraFrames -= got - frames;
            used = frames;
        }
        mergedPlaces[i] = {first, mergedHandedOut, used};
        if (got > used) driftDrops.push_back({got - used, mergedHandedOut + used, false});
        e.readAccumulator += got;

        // Each device's words go to their places in the merged frame: the voltage of device 0
        // only, its current channels after those of the devices before it, its GP channels
        // after every current channel and the GP channels of the devices before it.
        const uint32_t wps = devices[i]->wordsPerSample;
        const auto place = [&](uint32_t from, uint32_t to, uint32_t words) {
            if (words == 0) return;
            for (uint32_t f = 0; f < used; f++) {
                std::memcpy(mergedBuffer.get() + size_t(f) * mergedWordsPerFrame + to,
                            filtered + size_t(f) * wps + from, words * sizeof(uint16_t));
                std::memcpy(mergedUnfilteredBuffer.get() + size_t(f) * mergedWordsPerFrame + to,
                            unfiltered + size_t(f) * wps + from, words * sizeof(uint16_t));
            }
        };
        if (i == 0) place(0, 0, voltageChannelsNum);
        place(voltageChannelsNum, voltageChannelsNum + uint32_t(i) * currentChannelsPerDevice,
              currentChannelsPerDevice);
        place(voltageChannelsNum + currentChannelsPerDevice,
              voltageChannelsNum + totalCurrentChannels + uint32_t(i) * gpChannelsPerDevice,
              gpChannelsPerDevice);
        framesRead = used;
    }
    mergedHandedOut += framesRead;
    buffer = mergedBuffer.get();
    unfilteredBuffer = mergedUnfilteredBuffer.get();
    return result;
}

void DeviceList::discardWhatOthersLost() {
    // A device's frames lost or discarded: how far behind the times of its frames the merged
    // frames are. Every device goes as far as the one furthest on.
    const auto skipped = [&](size_t i) { return framesLostBy[i] + framesDiscardedBy[i]; };
    uint64_t most = 0;
    for (size_t i = 0; i < devices.size(); i++)
        most = std::max(most, skipped(i));
    for (size_t i = 0; i < devices.size(); i++) {
        uint64_t owed = most - skipped(i);
        // At most what the device holds: the rest at a later read.
        for (uint32_t got = 0; owed > 0; owed -= got) {
            uint16_t* filtered = nullptr;
            uint16_t* unfiltered = nullptr;
            devices[i]->readFrames(uint32_t(std::min<uint64_t>(owed, lastAvailableFrames[i])), filtered,
                                   unfiltered, got);
            if (got == 0) break;
            // Its columns skip those frames here, where the others go on: a gap of their own.
            driftDrops.push_back({got, mergedHandedOut, false});
            discards[i].push_back({devices[i]->framesRead() - got, got, mergedHandedOut});
            if (discards[i].size() > 16) discards[i].pop_front();
            framesDiscardedBy[i] += got;
            lastAvailableFrames[i] -= got;
        }
    }
}

ErrorCodes_t DeviceList::flushData(bool purgeDriver) {
    const ErrorCodes_t result = forEach([&](MessageDispatcher& d) {
        d.flushData(purgeDriver);
        return Success;
    });
    driftDrops.clear();
    // Every device starts again from what arrives next.
    resetLossBalance();
    return result;
}

ErrorCodes_t DeviceList::readFramesLost(std::vector<FramesLost_t>& losses) {
    losses.clear();
    if (devices.empty()) return ErrorDeviceNotConnected;
    uint64_t handedOut = 0;
    if (devices.size() == 1) {
        devices.front()->takeFramesLost(losses, handedOut);
        return Success;
    }
    for (const FramesLost_t& d : driftDrops)
        losses.push_back({d.frames, mergedHandedOut - d.framesAfter, false});
    driftDrops.clear();
    std::vector<FramesLost_t> lost;
    for (size_t i = 0; i < devices.size(); i++) {
        devices[i]->takeFramesLost(lost, handedOut);
        for (FramesLost_t l : lost) {
            framesLostBy[i] += l.frames;
            l.framesAfter = mergedHandedOut - mergedPlaceOf(i, handedOut - l.framesAfter);
            losses.push_back(l);
        }
    }
    std::stable_sort(losses.begin(), losses.end(), [](const FramesLost_t& a, const FramesLost_t& b) {
        return a.framesAfter > b.framesAfter;
    });
    return Success;
}

uint64_t DeviceList::mergedPlaceOf(size_t i, uint64_t at) const {
    // A gap within the last read sits where its frames went (past the frames it dropped: at
    // their end); an older one as many frames back as before that read, less what the device
    // discarded on the way, and one among discarded frames where they were given up.
    const MergedPlace& place = mergedPlaces[i];
    if (at >= place.first) return place.mergedFirst + std::min<uint64_t>(at - place.first, place.used);
    uint64_t merged = place.mergedFirst;
    uint64_t from = place.first;
    for (auto d = discards[i].rbegin(); d != discards[i].rend() && d->first + d->count <= from; ++d) {
        if (at >= d->first + d->count) break;
        if (at >= d->first) return d->merged;
        merged = d->merged;
        from = d->first;
    }
    return merged - std::min(merged, from - at);
}

ErrorCodes_t DeviceList::currentFromRaw(int16_t raw, uint32_t channelIdx, double& value) {
    if (devices.empty()) return ErrorDeviceNotConnected;
    if (channelIdx >= totalCurrentChannels) return ErrorValueOutOfRange;
    const ChannelOwner& owner = channelOwners[channelIdx];
    value = owner.device->convertCurrent(raw, owner.localChannel);
    return Success;
}

} // namespace kv4CommLib
