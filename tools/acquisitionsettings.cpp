#include "tools/acquisitionsettings.h"

#include "commlib/api/kv4cl.h"
#include "tools/clisupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kav4cli {

namespace {

// The library's messages break lines for dialogs; a terminal reads them on one.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// Sends one protocol parameter by name, in whichever family has it.
void setParameter(const std::string& name, const std::string& text) {
    using Getter =
        kv4cl::ErrorCodes_t (*)(std::vector<std::string>&, std::vector<kv4cl::RangedMeasurement_t>&,
                                std::vector<kv4cl::Measurement_t>&);
    using Setter = kv4cl::ErrorCodes_t (*)(uint16_t, const kv4cl::Measurement_t&);
    const std::pair<Getter, Setter> families[] = {
        {kv4cl::getProtocolVoltage, kv4cl::setProtocolVoltage},
        {kv4cl::getProtocolTime, kv4cl::setProtocolTime},
        {kv4cl::getProtocolSlope, kv4cl::setProtocolSlope},
        {kv4cl::getProtocolFrequency, kv4cl::setProtocolFrequency},
        {kv4cl::getProtocolAdimensional, kv4cl::setProtocolAdimensional},
    };
    for (const auto& [get, set] : families) {
        std::vector<std::string> names;
        std::vector<kv4cl::RangedMeasurement_t> ranges;
        std::vector<kv4cl::Measurement_t> defaults;
        if (get(names, ranges, defaults) != kv4cl::Success) continue;
        const auto found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) continue;
        const size_t i = size_t(found - names.begin());
        const auto value = parseMeasurement(text, ranges[i].unit, ranges[i].prefix);
        if (!value) throw Failure("cannot read " + name + "=" + text + " as " + ranges[i].label());
        check(set(uint16_t(i), *value), "parameter " + name);
        return;
    }
    throw Failure("no protocol parameter named " + name);
}

// "no sampling rate 7k; choose one of: 5 kHz, 10 kHz"
Failure noChoice(const std::string& what, const std::string& given, const std::vector<std::string>& choices) {
    std::string text = "no " + what + " " + given + "; choose one of: ";
    for (size_t i = 0; i < choices.size(); i++)
        text += (i ? ", " : "") + choices[i];
    return Failure(text);
}

std::vector<std::string> formatted(const std::vector<kv4cl::Measurement_t>& values) {
    std::vector<std::string> texts;
    for (const kv4cl::Measurement_t& m : values)
        texts.push_back(formatMeasurement(m));
    return texts;
}

} // namespace

std::string describe(kv4cl::ErrorCodes_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", unsigned(code));
    return std::string(kv4cl::errorMessage(code)) + " (" + hex + ")";
}

Failure::Failure(const std::string& what, kv4cl::ErrorCodes_t code)
    : text(oneLine(what) + ": " + describe(code)) {}

void check(kv4cl::ErrorCodes_t code, const std::string& what) {
    if (code != kv4cl::Success) throw Failure(what, code);
}

Connection::Connection(const std::vector<std::string>& ids) {
    check(kv4cl::connect(ids), "connect");
}

Connection::~Connection() {
    kv4cl::disconnect();
}

// Takes "--name value" or "--name=value" out of args.
std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == name && i + 1 < args.size()) {
            std::string value = args[i + 1];
            args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
            return value;
        }
        if (args[i].rfind(name + "=", 0) == 0) {
            std::string value = args[i].substr(name.size() + 1);
            args.erase(args.begin() + long(i));
            return value;
        }
    }
    return std::nullopt;
}

AcquisitionSettings takeSettings(std::vector<std::string>& args) {
    // An empty value ("--rate=") would otherwise read as the option left out.
    const auto take = [&](const std::string& name) {
        const std::optional<std::string> value = takeOption(args, name);
        if (value && value->empty()) throw Failure(name + " needs a value");
        return value.value_or("");
    };
    AcquisitionSettings settings;
    settings.rate = take("--rate");
    settings.range = take("--range");
    settings.protocol = take("--protocol");
    while (const auto param = takeOption(args, "--param")) {
        const size_t eq = param->find('=');
        if (eq == std::string::npos) throw Failure("--param needs NAME=VALUE");
        if (eq == 0) throw Failure("--param needs NAME=VALUE: no name before \"=\" in \"" + *param + "\"");
        settings.parameters.emplace_back(param->substr(0, eq), param->substr(eq + 1));
    }
    return settings;
}

void applySettings(const AcquisitionSettings& options) {
    uint16_t defaultIdx = 0;
    if (!options.rate.empty()) {
        std::vector<kv4cl::Measurement_t> rates;
        check(kv4cl::getSamplingRates(rates, defaultIdx), "sampling rates");
        const auto value = parseMeasurement(options.rate, "Hz", kv4cl::UnitPfxNone);
        const auto idx = value ? findValue(rates, *value) : std::nullopt;
        if (!idx) throw noChoice("sampling rate", options.rate, formatted(rates));
        check(kv4cl::setSamplingRate(uint16_t(*idx)), "sampling rate");
    }
    if (!options.range.empty()) {
        std::vector<kv4cl::RangedMeasurement_t> ranges;
        check(kv4cl::getCurrentRanges(ranges, defaultIdx), "current ranges");
        std::vector<kv4cl::Measurement_t> maxima;
        for (const auto& r : ranges)
            maxima.push_back({r.max, r.prefix, r.unit});
        const auto value = parseMeasurement(options.range, "A", kv4cl::UnitPfxNone);
        const auto idx = value ? findValue(maxima, *value) : std::nullopt;
        if (!idx) throw noChoice("current range", options.range, formatted(maxima));
        uint32_t v = 0, c = 0, g = 0;
        check(kv4cl::getChannelCounts(v, c, g), "channel counts");
        check(kv4cl::setCurrentRange(uint16_t(*idx), uint16_t(c)), "current range");
    }
    if (!options.protocol.empty()) {
        std::vector<std::string> names, images;
        std::vector<std::vector<uint16_t>> v, t, sl, f, a;
        check(kv4cl::getProtocolList(names, images, v, t, sl, f, a), "protocols");
        const auto found = std::find(names.begin(), names.end(), options.protocol);
        char* end = nullptr;
        const unsigned long number = std::strtoul(options.protocol.c_str(), &end, 10);
        const size_t idx = found != names.end() ? size_t(found - names.begin())
                           : *end == '\0'       ? number
                                                : names.size();
        if (idx >= names.size()) {
            std::vector<std::string> choices;
            for (size_t i = 0; i < names.size(); i++)
                choices.push_back(std::to_string(i) + " \"" + names[i] + "\"");
            throw noChoice("protocol", options.protocol, choices);
        }
        check(kv4cl::selectProtocol(uint16_t(idx)), "protocol " + options.protocol);
    }
    for (const auto& [name, value] : options.parameters)
        setParameter(name, value);
    if (!options.protocol.empty() || !options.parameters.empty()) {
        std::string message;
        check(kv4cl::validateProtocol(message), message);
        check(kv4cl::applyProtocol(), "apply protocol");
    }
}

} // namespace kav4cli
