#include "analysis/framework/currentlimitbox.h"

#include <algorithm>
#include <cmath>

CurrentLimitBox::CurrentLimitBox(QWidget* parent) : QDoubleSpinBox(parent) {}

int CurrentLimitBox::decimalsFor(double step) {
    if (!(step > 0.0) || !std::isfinite(step)) return 2;
    // The small tolerance keeps a step of exactly 0.01 at two decimals.
    return std::clamp(int(std::ceil(-std::log10(step) - 1e-9)), 0, 6);
}

void CurrentLimitBox::setRange(const kv4cl::RangedMeasurement_t& range) {
    const double carried = value() * kv4cl::prefixFactor(prefix, range.prefix);
    prefix = range.prefix;
    unit = range.unit;
    // Decimals first: the base class rounds its bounds and value to them.
    setDecimals(decimalsFor(range.step));
    QDoubleSpinBox::setRange(range.min, range.max);
    // The arrows move by a round hundredth of the range.
    setSingleStep(range.max > 0.0 ? std::pow(10.0, std::floor(std::log10(range.max)) - 2.0) : 1.0);
    setValue(carried);
}

kv4cl::Measurement_t CurrentLimitBox::measurement() const {
    return {value(), prefix, unit};
}
