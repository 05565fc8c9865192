#pragma once
// SPI access to an amplifier's 2 KiB calibration memory through the MPSSE functions.

#include "commlib/transport/ftdidriver.h"

#include <cstdint>
#include <string>

namespace kv4CommLib {

class CalibrationMemory {
  public:
    static constexpr uint32_t capacity = 2048;
    static constexpr DWORD clockRate = 3000000;
    static constexpr UCHAR latencyTimer = 1;
    static constexpr DWORD configOptions = 40;
    static constexpr DWORD pinConfiguration = 8995;

    ~CalibrationMemory() { close(); }

    // Finds the MPSSE channel whose serial number is serialWithLetter and opens it.
    bool open(const std::string& serialWithLetter);
    void close();
    bool isOpen() const { return spiOpen; }
    // Refused unless open and address < capacity.
    bool read(uint32_t address, uint8_t* buffer, uint32_t n);
    // Refused unless open and address + n <= capacity; waits until the write completes.
    bool write(uint32_t address, const uint8_t* buffer, uint32_t n);

  private:
    bool openChannel(const std::string& serialWithLetter);
    // Sends an instruction with a 16-bit address and leaves the chip selected.
    bool sendAddressed(UCHAR instruction, uint32_t address);

    FT_HANDLE handle = nullptr;
    bool spiOpen = false;
    UCHAR command[3] = {};
};

} // namespace kv4CommLib
