#pragma once
// Virtual amplifiers for programs started with "--simulate MODEL[,MODEL...]" or with
// KAV4_SIMULATE set: a virtual bus carrying one device per listed model replaces the
// hardware driver, so the library finds them as it would find real amplifiers.

#include "simulator/virtualbus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kav4sim {

// What a simulated model's EEPROM says about it.
struct SimulatedModel {
    const char* name;
    uint8_t deviceVersion;
    uint8_t deviceSubversion;
    uint16_t firmwareVersion;
};

// Every model that can be simulated, one row each.
const std::vector<SimulatedModel>& simulatedModels();

// Names of simulatedModels() joined with ", ", for usage texts and errors.
std::string simulatedModelNames();

// A bus with one device per model in a comma-separated list such as "cedar,cedar".
// Serial numbers depend on the list only: "V", the model name in capitals, then the
// device's two-digit number among the devices of that model ("VCEDAR01", "VCEDAR02").
// Null, with `error` set, when the list is empty or names an unknown model.
std::shared_ptr<VirtualBus> makeSimulatedBus(const std::string& models, std::string& error);

// makeSimulatedBus, installed as the process's driver. The bus is returned so that the
// caller can reach the devices; the driver holds it too.
std::shared_ptr<VirtualBus> installSimulation(const std::string& models, std::string& error);

// Takes "--simulate MODELS" or "--simulate=MODELS" out of `args` and returns MODELS
// (empty when the option ends the arguments). Without the option, KAV4_SIMULATE is used
// when set and not empty. nullopt when neither asks for a simulation.
std::optional<std::string> takeSimulationSpec(std::vector<std::string>& args);

} // namespace kav4sim
