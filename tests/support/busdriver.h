#pragma once
// The driver through which a test reaches its virtual bus: the bus itself, or, with
// KAV4_TEST_DRIVER=libftdi1 (set by CTest for the suites it runs a second time), the libftdi1
// driver, the system's libftdi1 running on the virtual libusb that shows the bus's devices as
// USB bridges.

#include "commlib/transport/libftdidriver.h"
#include "simulator/virtualbus.h"
#include "simulator/virtuallibusb/virtualusb.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace kv4test {

inline bool throughLibftdi() {
    const char* driver = std::getenv("KAV4_TEST_DRIVER");
    return driver && std::strcmp(driver, "libftdi1") == 0;
}

inline void installBus(std::shared_ptr<kav4sim::VirtualBus> bus) {
    if (!throughLibftdi()) {
        kv4CommLib::installFtdiDriver(std::move(bus));
        return;
    }
    kav4usb::attachBus(std::move(bus));
    kv4CommLib::installFtdiDriver(kv4CommLib::makeLibftdiDriver());
}

// The driver that sees no devices back; the driver's handles go before the bus.
inline void removeBus() {
    kv4CommLib::installFtdiDriver(nullptr);
    kav4usb::attachBus(nullptr);
}

} // namespace kv4test
