#pragma once
// Virtual amplifiers for programs started with "--simulate MODEL[,MODEL...]" or with
// KAV4_SIMULATE set: a virtual bus carrying one virtual amplifier per listed model replaces
// the hardware driver, so the library finds them as it would find real amplifiers. The
// cells they measure can be changed with KAV4_SIMULATE_CELL (see parseCellParameters).

#include "simulator/cell.h"
#include "simulator/simulatedbus.h"

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

// Cell parameters from "KEY=VALUE[,KEY=VALUE...]", starting from `parameters`. Keys: Cm,
// Rm, Rs, Cp (fast capacitance), g (channel conductance), E (reversal potential), open and
// closed (mean dwell times), noise (RMS), artefact (reset glitch peak), sine and
// sineHz (amplitude and frequency of a sinusoid added to the current); values in F, Ohm, S,
// V, s and A with an optional prefix f, p, n, u, m, k, M or G, e.g. "Cm=30p,Rm=2G,E=-10m".
// False, with `error` set naming the key, on an unknown key or a value that is not finite or
// out of range.
bool parseCellParameters(const std::string& text, CellParameters& parameters, std::string& error);

// A bus with one virtual amplifier per model in a comma-separated list such as
// "cedar,cedar", all on one simulated clock. Serial numbers depend on the list only: "V",
// the model name in capitals, then the device's two-digit number among the devices of that
// model ("VCEDAR01", "VCEDAR02"). Every current channel measures the cell that
// KAV4_SIMULATE_CELL describes, or the default cell. Null, with `error` set, when the list
// is empty or names an unknown model, or when KAV4_SIMULATE_CELL cannot be read.
std::shared_ptr<SimulatedBus> makeSimulatedBus(const std::string& models, std::string& error);

// makeSimulatedBus, installed as the process's driver. The bus is returned so that the
// caller can reach the devices and amplifiers; the driver holds it too.
std::shared_ptr<SimulatedBus> installSimulation(const std::string& models, std::string& error);

// Takes "--simulate MODELS" or "--simulate=MODELS" out of `args` and returns MODELS
// (empty when the option ends the arguments). Without the option, KAV4_SIMULATE is used
// when set and not empty. nullopt when neither asks for a simulation.
std::optional<std::string> takeSimulationList(std::vector<std::string>& args);

} // namespace kav4sim
