#pragma once
// For programs on virtual amplifiers: with KAV4_SIMULATE_TEMPERATURE=1 a virtual temperature
// controller is made and listed among the serial ports (as "Velmoran Temperature Controller
// (virtual)"), so that the temperature controller's dock finds it on models with that option.

#include "simulator/virtualtemperaturecontroller.h"

#include <memory>

// The controller, to be kept for as long as the program runs; null when not asked for.
std::unique_ptr<kav4sim::VirtualTemperatureController> attachSimulatedTemperatureController();
