#pragma once
// The washer of the multi-well system as the Fir amplifier drives it: a stir bar turned at one
// of four preset speeds. It acts on each command strobed in the washer field and answers in
// the amplifier's info bytes: with its status (the error code) after a start, a reset or a
// status request, with the preset speeds after they are set or requested. Between answers
// the info bytes keep the last ones, so an error the washer runs into on its own shows at the
// next status.

#include "commlib/models/fir.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kav4sim {

class Washer {
  public:
    using Model = kv4CommLib::MessageDispatcher_Fir_V01;
    using Speeds = std::array<int8_t, Model::washerPresets>;
    static constexpr int8_t executionError = 4; // a start at a preset whose speed is 0

    // One command of the model's WasherCommand set; `speeds` as the message carries them.
    void execute(uint8_t command, uint16_t preset, const Speeds& speeds);
    // A fault of the washer itself (an overload, say).
    void fail(int8_t errorCode);

    int8_t error() const { return errorCode; }
    const Speeds& speeds() const { return presetSpeeds; }
    uint64_t rotations() const { return turns; }    // starts that turned the bar
    int lastStart() const { return startedPreset; } // preset of the last start, -1 before any

    // Writes the last answers from the model's washer info byte on: error code, then speeds.
    void answer(std::vector<uint8_t>& infoBytes) const;

  private:
    int8_t errorCode = 0;
    Speeds presetSpeeds{};
    uint64_t turns = 0;
    int startedPreset = -1;
    int8_t answeredError = 0;
    Speeds answeredSpeeds{};
};

} // namespace kav4sim
