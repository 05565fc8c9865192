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

std::unique_ptr<MessageDispatcher> describeModel(uint32_t deviceVersion, uint32_t deviceSubversion,
                                                 uint32_t firmwareVersion, const std::string& deviceId) {
    for (const CatalogueRow& row : catalogue()) {
        if (row.deviceVersion != deviceVersion || row.deviceSubversion != deviceSubversion ||
            row.firmwareVersion != firmwareVersion)
            continue;
        // The first matching row decides, even when its class is missing.
        if (row.modelIndex > lastModelIndex) return nullptr;
        const auto found = modelClasses().find(row.modelIndex);
        return found == modelClasses().end() ? nullptr : found->second(deviceId);
    }
    return nullptr;
}

ErrorCodes_t createDispatcher(const std::string& deviceId, std::unique_ptr<MessageDispatcher>& dispatcher) {
    dispatcher.reset();
    std::unique_ptr<FtdiEeprom> eeprom = makeEeprom(deviceId);
    std::unique_ptr<MessageDispatcher> model =
        describeModel(eeprom->deviceVersion, eeprom->deviceSubversion, eeprom->firmwareVersion, deviceId);
    if (!model) return kv4cl::ErrorDeviceTypeNotControllable;
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
