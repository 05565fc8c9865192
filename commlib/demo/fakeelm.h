#pragma once
// The demo device: the real Elm's tables without transport. It connects without opening
// anything, queues what its setters encode and produces no data.

#include "commlib/models/elm.h"

namespace kv4CommLib {

class MessageDispatcher_fake_Elm : public MessageDispatcher_Elm {
  public:
    explicit MessageDispatcher_fake_Elm(const std::string& deviceId);

    ErrorCodes_t connect(std::unique_ptr<FtdiEeprom> eeprom) override;
    ErrorCodes_t disconnect() override;
    // Both always queue the message (apply is ignored): with no transmit thread the queue
    // drops its oldest message instead of waiting.
    ErrorCodes_t setCurrentRange(uint16_t rangeIdx, uint16_t channelIdx, bool apply) override;
    ErrorCodes_t setSamplingRate(uint16_t rateIdx, bool apply) override;
    // No device to configure.
    ErrorCodes_t initializeDevice() override { return kv4cl::Success; }

    // The selected current range without prefix.
    RangedMeasurement demoRange;
    // Effective rate in hertz and what a generator of demo samples would need from it.
    Measurement demoSamplingRate{10000.0, kv4cl::UnitPfxNone, "Hz"};
    double demoSamplingPeriod = 0.0001;
    double demoUpdateInterval = 0.01;
    uint32_t demoSamplesPerUpdate = 100;
};

} // namespace kv4CommLib
