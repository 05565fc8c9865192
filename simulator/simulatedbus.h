#pragma once
// A virtual bus that owns the virtual amplifiers on its devices: they stream for as long as
// the bus lives (the installed driver keeps it alive), on one shared simulated clock.

#include "simulator/virtualamplifier.h"
#include "simulator/virtualbus.h"

#include <memory>
#include <string>
#include <vector>

namespace kav4sim {

class SimulatedBus : public VirtualBus {
  public:
    const std::shared_ptr<SimulatedClock>& clock() const { return sharedClock; }
    // Keeps the amplifier of a device on this bus running until the bus goes.
    void addAmplifier(std::unique_ptr<VirtualAmplifier> amplifier);
    // The amplifier of the device with that serial number; null when there is none.
    VirtualAmplifier* amplifier(const std::string& serial) const;

  private:
    const std::shared_ptr<SimulatedClock> sharedClock = std::make_shared<SimulatedClock>();
    std::vector<std::unique_ptr<VirtualAmplifier>> amplifiers;
};

} // namespace kav4sim
