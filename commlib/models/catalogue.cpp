#include "commlib/models/catalogue.h"

#include <map>

namespace kv4CommLib {

const std::vector<CatalogueRow>& catalogue() {
    static const std::vector<CatalogueRow> rows = {};
    return rows;
}

namespace {
using ModelConstructor = std::unique_ptr<MessageDispatcher> (*)(const std::string& deviceId);

// The model classes by catalogue index.
const std::map<uint32_t, ModelConstructor>& modelClasses() {
    static const std::map<uint32_t, ModelConstructor> classes = {};
    return classes;
}
} // namespace

std::unique_ptr<FtdiEeprom> makeEeprom(const std::string& deviceId) {
    return std::make_unique<FtdiEeprom56>(deviceId);
}

ErrorCodes_t createDispatcher(const std::string& deviceId, std::unique_ptr<MessageDispatcher>& dispatcher) {
    dispatcher.reset();
    std::unique_ptr<FtdiEeprom> eeprom = makeEeprom(deviceId);
    const CatalogueRow* match = nullptr;
    for (const CatalogueRow& row : catalogue()) {
        if (row.deviceVersion == eeprom->deviceVersion && row.deviceSubversion == eeprom->deviceSubversion &&
            row.firmwareVersion == eeprom->firmwareVersion) {
            match = &row;
            break;
        }
    }
    if (!match || match->modelIndex > lastModelIndex) return kv4cl::ErrorDeviceTypeNotControllable;
    const auto found = modelClasses().find(match->modelIndex);
    if (found == modelClasses().end()) return kv4cl::ErrorDeviceTypeNotControllable;
    std::unique_ptr<MessageDispatcher> model = found->second(deviceId);
    ErrorCodes_t err = model->initBuffers();
    if (err != kv4cl::Success) return err;
    err = model->connect(std::move(eeprom));
    if (err != kv4cl::Success) {
        model->disconnect();
        return err;
    }
    dispatcher = std::move(model);
    return kv4cl::Success;
}

} // namespace kv4CommLib
