#include "simulator/washer.h"

namespace kav4sim {

void Washer::execute(uint8_t command, uint16_t preset, const Speeds& speeds) {
    switch (command) {
    case Model::WasherSetSpeeds:
        presetSpeeds = speeds;
        answeredSpeeds = presetSpeeds;
        break;
    case Model::WasherStart:
        startedPreset = preset;
        if (preset < presetSpeeds.size() && presetSpeeds[preset] != 0)
            turns++;
        else
            errorCode = executionError;
        answeredError = errorCode;
        break;
    case Model::WasherResetError:
        errorCode = 0;
        answeredError = errorCode;
        break;
    case Model::WasherReportStatus:
        answeredError = errorCode;
        break;
    case Model::WasherReportSpeeds:
        answeredSpeeds = presetSpeeds;
        break;
    default: // idle
        break;
    }
}

void Washer::fail(int8_t code) {
    errorCode = code;
}

void Washer::answer(std::vector<uint8_t>& infoBytes) const {
    const size_t at = Model::washerInfoByte;
    if (at + answeredSpeeds.size() >= infoBytes.size()) return;
    infoBytes[at] = uint8_t(answeredError);
    for (size_t i = 0; i < answeredSpeeds.size(); i++)
        infoBytes[at + 1 + i] = uint8_t(answeredSpeeds[i]);
}

} // namespace kav4sim
