#include "tools/clisupport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kav4cli {

using namespace kv4cl;

std::optional<Measurement_t> parseMeasurement(const std::string& text, const std::string& unit,
                                              UnitPfx_t defaultPrefix) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) return std::nullopt;
    std::string suffix(end);
    const bool unitGiven = !unit.empty() && suffix.size() >= unit.size() &&
                           suffix.compare(suffix.size() - unit.size(), unit.size(), unit) == 0;
    if (unitGiven) suffix.resize(suffix.size() - unit.size());
    if (suffix.empty()) return Measurement_t{value, unitGiven ? UnitPfxNone : defaultPrefix, unit};
    if (suffix == "u") return Measurement_t{value, UnitPfxMicro, unit};
    for (int p = 0; p < UnitPfxNum; p++) {
        if (p != UnitPfxNone && suffix == unitPrefixes[p]) return Measurement_t{value, UnitPfx_t(p), unit};
    }
    return std::nullopt;
}

std::optional<double> parseSeconds(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double seconds = std::strtod(begin, &end);
    // NaN fails both comparisons.
    if (end == begin || *end != '\0' || !(seconds >= minSeconds && seconds <= maxSeconds))
        return std::nullopt;
    return seconds;
}

std::string formatMeasurement(const Measurement_t& m, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g %s", digits, m.value, m.label().c_str());
    return text;
}

std::optional<size_t> findValue(const std::vector<Measurement_t>& list, const Measurement_t& value) {
    for (size_t i = 0; i < list.size(); i++) {
        const double a = list[i].getNoPrefixValue();
        const double b = value.getNoPrefixValue();
        if (list[i].unit == value.unit && std::fabs(a - b) <= 1e-9 * std::fabs(a)) return i;
    }
    return std::nullopt;
}

double ChannelStats::mean() const {
    return n ? sum / double(n) : 0.0;
}

double ChannelStats::rms() const {
    return n ? std::sqrt(sumSquares / double(n)) : 0.0;
}

double ChannelStats::deviation() const {
    if (n == 0) return 0.0;
    const double m = mean();
    // Guards against a tiny negative from rounding when the signal is constant.
    return std::sqrt(std::fmax(sumSquares / double(n) - m * m, 0.0));
}

UnitPfx_t readablePrefix(double value) {
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) return UnitPfxNone;
    int p = UnitPfxNone;
    Measurement_t m{magnitude, UnitPfxNone, ""};
    while (p > UnitPfxFemto && m.converted(UnitPfx_t(p)).value < 1.0)
        p--;
    while (p < UnitPfxPeta && m.converted(UnitPfx_t(p)).value >= 1000.0)
        p++;
    return UnitPfx_t(p);
}

} // namespace kav4cli
