#include "commlib/api/catalogue.h"

#include "commlib/demo/fakeelm.h"
#include "commlib/demo/ftdieepromdemo.h"
#include "commlib/models/alder.h"
#include "commlib/models/birch.h"
#include "commlib/models/cedar.h"
#include "commlib/models/dogwood.h"
#include "commlib/models/elm.h"
#include "commlib/models/fir.h"

#include <map>

namespace kv4CommLib {

const std::vector<CatalogueRow>& catalogue() {
    static const std::vector<CatalogueRow> rows = {
        {.deviceVersion = 9, .deviceSubversion = 1, .firmwareVersion = 2, .modelIndex = 0},
        {.deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 129, .modelIndex = 35},
        {.deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 130, .modelIndex = 35},
        {.deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 1, .modelIndex = 36},
        {.deviceVersion = 6, .deviceSubversion = 1, .firmwareVersion = 2, .modelIndex = 40},
        {.deviceVersion = 11, .deviceSubversion = 1, .firmwareVersion = 3, .modelIndex = 50},
        {.deviceVersion = 12, .deviceSubversion = 4, .firmwareVersion = 1, .modelIndex = 60},
        {.deviceVersion = 12, .deviceSubversion = 5, .firmwareVersion = 1, .modelIndex = 61},
        {.deviceVersion = 8, .deviceSubversion = 2, .firmwareVersion = 5, .modelIndex = 65},
        {.deviceVersion = 253, .deviceSubversion = 3, .firmwareVersion = 129, .modelIndex = 73},
    };
    return rows;
}

namespace {
using ModelConstructor = std::unique_ptr<MessageDispatcher> (*)(const std::string& deviceId);

template <typename Model> std::unique_ptr<MessageDispatcher> make(const std::string& deviceId) {
    return std::make_unique<Model>(deviceId);
}

// The model classes by catalogue index.
const std::map<uint32_t, ModelConstructor>& modelClasses() {
    static const std::map<uint32_t, ModelConstructor> classes = {
        {0, &make<MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02>},
        {35, &make<MessageDispatcher_Cedarn_V01>},
        {36, &make<MessageDispatcher_Cedarn_V00>},
        {40, &make<MessageDispatcher_Birchb_V01>},
        {50, &make<MessageDispatcher_Elm>},
        {60, &make<MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01>},
        {61, &make<MessageDispatcher_Dogwood32_V01>},
        {65, &make<MessageDispatcher_Fir_V01>},
        {73, &make<MessageDispatcher_fake_Elm>},
    };
    return classes;
}
} // namespace

std::unique_ptr<FtdiEeprom> makeEeprom(const std::string& deviceId) {
    if (deviceId == demoDeviceId) return std::make_unique<FtdiEepromDemo>(deviceId);
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
