#pragma once
// Fir: the eight-channel amplifier of the multi-well system, which also drives the
// system's washer (a stir bar turned at one of four preset speeds).

#include "commlib/core/messagedispatcher.h"

namespace kv4CommLib {

class MessageDispatcher_Fir_V01 : public MessageDispatcher {
  public:
    explicit MessageDispatcher_Fir_V01(const std::string& deviceId);
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;

    ErrorCodes_t getWasherSpeedRange(RangedMeasurement& range) override;
    ErrorCodes_t getWasherPresetSpeeds(std::vector<int8_t>& speeds) override;
    ErrorCodes_t getWasherStatus(int8_t& errorCode, std::vector<int8_t>& speeds) override;
    ErrorCodes_t setWasherPresetSpeeds(const std::vector<int8_t>& speeds) override;
    ErrorCodes_t startWasher(uint16_t presetIdx) override;
    ErrorCodes_t resetWasherError() override;
    ErrorCodes_t updateWasherState() override;
    ErrorCodes_t updateWasherPresetSpeeds() override;

    // What the washer is told to do on the command strobe.
    enum WasherCommand : uint8_t {
        WasherIdle,
        WasherStart,
        WasherResetError,
        WasherReportStatus,
        WasherReportSpeeds,
        WasherSetSpeeds
    };
    static constexpr int washerPresets = 4;
    // Where the washer's answers appear in the info bytes: its error code, then the four speeds.
    static constexpr size_t washerInfoByte = 0;

    std::unique_ptr<BoolCoder> washerCommandCoder;
    std::unique_ptr<BoolCoder> washerPresetCoder;
    std::unique_ptr<BoolCoder> washerStrobeCoder;
    std::vector<std::unique_ptr<BoolCoder>> washerSpeedCoders;
    RangedMeasurement washerSpeedRange;

  private:
    ErrorCodes_t sendWasherCommand(WasherCommand command);
};

} // namespace kv4CommLib
