#include "simulator/simulation.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

namespace kav4sim {

const std::vector<SimulatedModel>& simulatedModels() {
    static const std::vector<SimulatedModel> models = {
        {.name = "cedar", .deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 129},
        {.name = "cedar1", .deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 1},
    };
    return models;
}

std::string simulatedModelNames() {
    std::string names;
    for (const SimulatedModel& model : simulatedModels())
        names += (names.empty() ? "" : ", ") + std::string(model.name);
    return names;
}

namespace {

constexpr int maxDevicesPerModel = 99; // the number has two digits

const SimulatedModel* findModel(const std::string& name) {
    for (const SimulatedModel& model : simulatedModels())
        if (name == model.name) return &model;
    return nullptr;
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The serial ends in digits so that the interface letter the driver appends, and the
// library strips again, can never be mistaken for part of it. number: 1 to 99.
std::string serialFor(const std::string& name, int number) {
    std::string serial = "V";
    for (const char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            serial += char(std::toupper(static_cast<unsigned char>(c)));
    serial += char('0' + number / 10);
    serial += char('0' + number % 10);
    return serial;
}

} // namespace

std::shared_ptr<VirtualBus> makeSimulatedBus(const std::string& models, std::string& error) {
    if (trimmed(models).empty()) {
        error = "no model to simulate given; known models: " + simulatedModelNames();
        return nullptr;
    }
    auto bus = std::make_shared<VirtualBus>();
    std::map<std::string, int> counts;
    size_t start = 0;
    for (;;) {
        const size_t comma = models.find(',', start);
        const std::string name = trimmed(models.substr(start, comma - start));
        const SimulatedModel* model = findModel(name);
        if (!model) {
            error = "unknown model \"" + name + "\" to simulate; known models: " + simulatedModelNames();
            return nullptr;
        }
        const int number = ++counts[name];
        if (number > maxDevicesPerModel) {
            error = "at most " + std::to_string(maxDevicesPerModel) + " simulated devices of one model";
            return nullptr;
        }
        auto device = std::make_shared<VirtualDevice>(serialFor(name, number));
        device->setIdentity(model->deviceVersion, model->deviceSubversion, model->firmwareVersion);
        bus->addDevice(device);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return bus;
}

std::shared_ptr<VirtualBus> installSimulation(const std::string& models, std::string& error) {
    std::shared_ptr<VirtualBus> bus = makeSimulatedBus(models, error);
    if (bus) installFtdiDriver(bus);
    return bus;
}

std::optional<std::string> takeSimulationSpec(std::vector<std::string>& args) {
    static const std::string option = "--simulate";
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == option) {
            const std::string spec = i + 1 < args.size() ? args[i + 1] : "";
            args.erase(args.begin() + long(i), args.begin() + long(std::min(i + 2, args.size())));
            return spec;
        }
        if (args[i].starts_with(option + "=")) {
            const std::string spec = args[i].substr(option.size() + 1);
            args.erase(args.begin() + long(i));
            return spec;
        }
    }
    const char* env = std::getenv("KAV4_SIMULATE");
    if (env && *env) return std::string(env);
    return std::nullopt;
}

} // namespace kav4sim
