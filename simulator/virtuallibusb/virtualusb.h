#pragma once
// A libusb-1.0 on which the devices of a virtual FTDI bus appear as the USB bridges they stand
// for, so that libftdi1 runs unchanged against virtual amplifiers. It is built as
// libusb-1.0.so.0: a program linked to it loads it in place of the system's.
//
// Each virtual device is a high-speed dual bridge (or quad, on demand) of vendor 0x0403 whose
// serial number is the device's; its interfaces are the bus's channels "A", "B"... The vendor
// requests, bulk transfers and MPSSE commands that reach an interface become calls of the bus's
// driver interface on that channel, so the bus's faults, call log and streams apply unchanged.

#include "commlib/transport/ftdidriver.h"

#include <memory>
#include <string>

namespace kav4usb {

// The bus whose devices are listed from now on; null for none.
void attachBus(std::shared_ptr<kv4CommLib::FtdiDriver> bus);
// Shows the device with that serial number as a quad bridge (four interfaces) or a dual one.
void setQuadBridge(const std::string& serial, bool quad);

} // namespace kav4usb
