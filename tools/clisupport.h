#pragma once
// The parts of kav4-cli worth testing on their own: reading values the user types and
// summing up a stream.

#include "commlib/types/kv4cltypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kav4cli {

// "-50", "-50m", "-50mV", "-0.05V", "20k", "20kHz": a number with an optional prefix symbol
// ("u" stands for micro) and an optional unit, which must be `unit` when given. Without a
// prefix or unit the value is taken in `defaultPrefix`; a bare unit means no prefix.
std::optional<kv4cl::Measurement_t> parseMeasurement(const std::string& text, const std::string& unit,
                                                     kv4cl::UnitPfx_t defaultPrefix);

// How long a stream may last, in seconds: the library hands data out about every 50 ms, so a
// shorter one may see no frame, and a day bounds what a typing slip can start.
constexpr double minSeconds = 0.1;
constexpr double maxSeconds = 86400.0;

// A plain number of seconds within [minSeconds, maxSeconds], nothing after it.
std::optional<double> parseSeconds(const std::string& text);

// "12.5 mV", "-3 nA", "10 kHz": the value printed with up to `digits` significant digits.
std::string formatMeasurement(const kv4cl::Measurement_t& m, int digits = 6);

// The index of the entry equal to `value` (prefixes reconciled), if any.
std::optional<size_t> findValue(const std::vector<kv4cl::Measurement_t>& list,
                                const kv4cl::Measurement_t& value);

// Running mean and RMS of one channel, in physical units without prefix.
class ChannelStats {
  public:
    void add(double x) {
        n++;
        sum += x;
        sumSquares += x * x;
    }
    uint64_t count() const { return n; }
    double mean() const;
    // Root mean square of the values themselves.
    double rms() const;
    // Root mean square about the mean: the noise.
    double deviation() const;

  private:
    uint64_t n = 0;
    double sum = 0.0;
    double sumSquares = 0.0;
};

// The prefix that shows a value without prefix with one to three digits before the point.
kv4cl::UnitPfx_t readablePrefix(double value);

} // namespace kav4cli
