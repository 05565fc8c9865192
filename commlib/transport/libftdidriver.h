#pragma once
// The driver for real amplifiers on Linux: the driver interface on libftdi1.
//
// Bridges are the high-speed dual (0x0403:0x6010) and quad (0x0403:0x6011) ones; each of their
// interfaces is listed as the chip's serial number with its letter, as the vendor's driver lists
// them. Like that driver, an opened channel keeps a read going in the background into a buffer
// of its own, so that queue status and reads answer at once and the bridge's FIFO is emptied
// whether or not the library is looking. Its USB transfers are of the size FT_SetUSBParameters
// sets (64 KiB in synchronous FIFO mode); each returns at once with the whole packets waiting, or
// when the bridge's latency timer runs out, and what it brought is handed on at once. The
// calibration memory is reached by MPSSE commands on its channel.

#include "commlib/transport/ftdidriver.h"

#include <memory>

namespace kv4CommLib {

// What one channel's background read holds at most; when full, reads wait for the library to
// take bytes, and the bridge's own buffer fills meanwhile, as with the vendor's driver.
constexpr size_t libftdiReceiveBuffer = size_t{4} << 20;

std::shared_ptr<FtdiDriver> makeLibftdiDriver();

} // namespace kv4CommLib
