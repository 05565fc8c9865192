#include "simulator/simulation.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>

namespace kav4sim {

const std::vector<SimulatedModel>& simulatedModels() {
    static const std::vector<SimulatedModel> models = {
        {.name = "cedar", .deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 129},
        {.name = "cedar1", .deviceVersion = 4, .deviceSubversion = 3, .firmwareVersion = 1},
        {.name = "elm", .deviceVersion = 11, .deviceSubversion = 1, .firmwareVersion = 3},
        {.name = "alder", .deviceVersion = 9, .deviceSubversion = 1, .firmwareVersion = 2},
        {.name = "birch", .deviceVersion = 6, .deviceSubversion = 1, .firmwareVersion = 2},
        {.name = "dogwood16", .deviceVersion = 12, .deviceSubversion = 4, .firmwareVersion = 1},
        {.name = "dogwood32", .deviceVersion = 12, .deviceSubversion = 5, .firmwareVersion = 1},
        {.name = "fir", .deviceVersion = 8, .deviceSubversion = 2, .firmwareVersion = 5},
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

enum class Allowed { Positive, NotNegative, Any };

struct CellKey {
    const char* key;
    double CellParameters::*field;
    Allowed allowed;
};

const CellKey cellKeys[] = {
    {"Cm", &CellParameters::membraneCapacitance, Allowed::Positive},
    {"Rm", &CellParameters::membraneResistance, Allowed::Positive},
    {"Rs", &CellParameters::seriesResistance, Allowed::Positive},
    {"Cp", &CellParameters::fastCapacitance, Allowed::NotNegative},
    {"g", &CellParameters::channelConductance, Allowed::NotNegative},
    {"E", &CellParameters::reversalPotential, Allowed::Any},
    {"open", &CellParameters::meanOpenTime, Allowed::Positive},
    {"closed", &CellParameters::meanClosedTime, Allowed::Positive},
    {"noise", &CellParameters::noiseRms, Allowed::NotNegative},
    {"artefact", &CellParameters::resetArtefact, Allowed::NotNegative},
    {"sine", &CellParameters::sineAmplitude, Allowed::NotNegative},
    {"sineHz", &CellParameters::sineFrequency, Allowed::NotNegative},
};

// A number with an optional prefix letter; nothing may follow.
bool parseValue(const std::string& text, double& value) {
    static const std::map<char, double> prefixes = {{'f', 1e-15}, {'p', 1e-12}, {'n', 1e-9}, {'u', 1e-6},
                                                    {'m', 1e-3},  {'k', 1e3},   {'M', 1e6},  {'G', 1e9}};
    const char* start = text.c_str();
    char* end = nullptr;
    value = std::strtod(start, &end);
    if (end == start) return false;
    if (*end != '\0') {
        const auto prefix = prefixes.find(*end);
        if (prefix == prefixes.end() || end[1] != '\0') return false;
        value *= prefix->second;
    }
    return std::isfinite(value);
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

bool parseCellParameters(const std::string& text, CellParameters& parameters, std::string& error) {
    CellParameters result = parameters;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string item = trimmed(text.substr(start, comma - start));
        const size_t equals = item.find('=');
        const std::string key = trimmed(item.substr(0, equals));
        const CellKey* found = nullptr;
        for (const CellKey& k : cellKeys)
            if (key == k.key) found = &k;
        if (!found || equals == std::string::npos) {
            error = "\"" + item +
                    "\" is not KEY=VALUE with a key among Cm, Rm, Rs, Cp, g, E, open, closed, noise, "
                    "artefact, sine, sineHz";
            return false;
        }
        double value = 0.0;
        const bool parsed = parseValue(trimmed(item.substr(equals + 1)), value);
        if (!parsed || (found->allowed == Allowed::Positive && !(value > 0)) ||
            (found->allowed == Allowed::NotNegative && value < 0)) {
            const char* bound = found->allowed == Allowed::Positive      ? ", above 0"
                                : found->allowed == Allowed::NotNegative ? ", not below 0"
                                                                         : "";
            error = "\"" + item + "\": " + key +
                    " must be a finite number with an optional prefix (f p n u m k M G)" + bound;
            return false;
        }
        result.*(found->field) = value;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    parameters = result;
    return true;
}

std::shared_ptr<SimulatedBus> makeSimulatedBus(const std::string& models, std::string& error) {
    if (trimmed(models).empty()) {
        error = "no model to simulate given; known models: " + simulatedModelNames();
        return nullptr;
    }
    CellParameters cell;
    if (const char* env = std::getenv("KAV4_SIMULATE_CELL"); env && *env) {
        if (!parseCellParameters(env, cell, error)) {
            error = "KAV4_SIMULATE_CELL: " + error;
            return nullptr;
        }
    }
    auto bus = std::make_shared<SimulatedBus>();
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
        auto device = std::make_shared<VirtualDevice>(serialFor(name, number), bus->clock());
        device->setIdentity(model->deviceVersion, model->deviceSubversion, model->firmwareVersion);
        // A calibration without voltage offset: the previous generation's models subtract it.
        device->setEepromWord(123, 0);
        bus->addDevice(device);
        if (std::unique_ptr<VirtualAmplifier> amplifier = VirtualAmplifier::create(device)) {
            amplifier->setCell(amplifier->model().currentChannelsNum, cell);
            bus->addAmplifier(std::move(amplifier));
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return bus;
}

std::shared_ptr<SimulatedBus> installSimulation(const std::string& models, std::string& error) {
    std::shared_ptr<SimulatedBus> bus = makeSimulatedBus(models, error);
    if (bus) installFtdiDriver(bus);
    return bus;
}

std::optional<std::string> takeSimulationList(std::vector<std::string>& args) {
    static const std::string option = "--simulate";
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == option) {
            const std::string models = i + 1 < args.size() ? args[i + 1] : "";
            args.erase(args.begin() + long(i), args.begin() + long(std::min(i + 2, args.size())));
            return models;
        }
        if (args[i].starts_with(option + "=")) {
            const std::string models = args[i].substr(option.size() + 1);
            args.erase(args.begin() + long(i));
            return models;
        }
    }
    const char* env = std::getenv("KAV4_SIMULATE");
    if (env && *env) return std::string(env);
    return std::nullopt;
}

} // namespace kav4sim
