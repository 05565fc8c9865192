#include "commlib/demo/fakeelm.h"

#include <algorithm>
#include <cmath>

namespace kv4CommLib {

using namespace kv4cl;

MessageDispatcher_fake_Elm::MessageDispatcher_fake_Elm(const std::string& deviceId)
    : MessageDispatcher_Elm(deviceId) {
    samplingRates.resize(4);
    realSamplingRates = {{1.25, UnitPfxKilo, "Hz"},
                         {5.0, UnitPfxKilo, "Hz"},
                         {10.0, UnitPfxKilo, "Hz"},
                         {20.0, UnitPfxKilo, "Hz"}};
    // The periods follow the demo's exact rates, so that the filter is computed for them.
    samplingPeriods = {{800.0, UnitPfxMicro, "s"},
                       {200.0, UnitPfxMicro, "s"},
                       {100.0, UnitPfxMicro, "s"},
                       {50.0, UnitPfxMicro, "s"}};
    demoRange = currentRanges[defaultCurrentRangeIdx].converted(UnitPfxNone);
}

ErrorCodes_t MessageDispatcher_fake_Elm::connect(std::unique_ptr<FtdiEeprom> deviceEeprom) {
    if (connected) return ErrorDeviceAlreadyConnected;
    connected = true;
    eeprom = std::move(deviceEeprom);
    std::fill(switchBankA.begin(), switchBankA.end(), false);
    std::fill(switchBankB.begin(), switchBankB.end(), false);
    configureDenoiser(denoiserPeriod, denoiserAlpha, denoiserSuspended);
    stopRequested = false;
    return Success;
}

ErrorCodes_t MessageDispatcher_fake_Elm::disconnect() {
    if (!connected) return ErrorDeviceNotConnected;
    releaseBuffers();
    if (stopping) return ErrorDeviceNotConnected;
    stopRequested = true;
    eeprom.reset();
    connected = false;
    return Success;
}

ErrorCodes_t MessageDispatcher_fake_Elm::setCurrentRange(uint16_t rangeIdx, uint16_t channelIdx, bool) {
    const ErrorCodes_t err = MessageDispatcher_Elm::setCurrentRange(rangeIdx, channelIdx, true);
    if (err == Success) demoRange = currentRanges[rangeIdx].converted(UnitPfxNone);
    return err;
}

ErrorCodes_t MessageDispatcher_fake_Elm::setSamplingRate(uint16_t rateIdx, bool) {
    const ErrorCodes_t err = MessageDispatcher_Elm::setSamplingRate(rateIdx, true);
    if (err != Success) return err;
    demoSamplingRate = samplingRate.converted(UnitPfxNone);
    demoSamplingPeriod = 1.0 / demoSamplingRate.value;
    demoSamplesPerUpdate = uint32_t(std::lround(demoSamplingRate.value * demoUpdateInterval));
    return Success;
}

} // namespace kv4CommLib
