#include "simulator/simulatedbus.h"

namespace kav4sim {

void SimulatedBus::addAmplifier(std::unique_ptr<VirtualAmplifier> amplifier) {
    amplifiers.push_back(std::move(amplifier));
}

VirtualAmplifier* SimulatedBus::amplifier(const std::string& serial) const {
    for (const auto& a : amplifiers)
        if (a->device().serial == serial) return a.get();
    return nullptr;
}

} // namespace kav4sim
