#include "accessories/simulatedtemperaturecontroller.h"

#include "accessories/velmorantemperaturecontrollogic.h"

#include <serial.h>

#include <cstdlib>
#include <cstring>

std::unique_ptr<kav4sim::VirtualTemperatureController> attachSimulatedTemperatureController() {
    const char* asked = std::getenv("KAV4_SIMULATE_TEMPERATURE");
    if (!asked || std::strcmp(asked, "1") != 0) return nullptr;
    auto controller = std::make_unique<kav4sim::VirtualTemperatureController>();
    VelmoranTemperatureControlLogic::installPortLister([path = controller->path()] {
        return std::vector<serial::PortInfo>{{path, "Velmoran Temperature Controller (virtual)", "n/a"}};
    });
    return controller;
}
