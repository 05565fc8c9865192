#pragma once
// Maps the identity read from a device's EEPROM to the model class that drives it.

#include "commlib/core/messagedispatcher.h"

#include <memory>
#include <string>
#include <vector>

namespace kv4CommLib {

struct CatalogueRow {
    uint32_t deviceVersion;
    uint32_t deviceSubversion;
    uint32_t firmwareVersion;
    uint32_t modelIndex;
};

constexpr uint32_t lastModelIndex = 73;

// Rows are searched in order; the first match wins.
const std::vector<CatalogueRow>& catalogue();

// The identity object of a device id (not yet read).
std::unique_ptr<FtdiEeprom> makeEeprom(const std::string& deviceId);

// The model an identity names, built but neither allocated nor connected: its tables
// describe the device (the virtual amplifier reads them). Null when no row matches.
std::unique_ptr<MessageDispatcher> describeModel(uint32_t deviceVersion, uint32_t deviceSubversion,
                                                 uint32_t firmwareVersion, const std::string& deviceId);

// Reads the identity, builds the model, allocates its buffers and connects it.
ErrorCodes_t createDispatcher(const std::string& deviceId, std::unique_ptr<MessageDispatcher>& dispatcher);

} // namespace kv4CommLib
