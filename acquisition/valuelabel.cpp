#include "acquisition/valuelabel.h"

#include <cmath>
#include <cstdio>

using kv4cl::Measurement_t;

namespace {

// "%f" cut to `length` characters; truncation, not rounding, is the labels' rule. C's own
// printf: Qt's rounds a tie on the sixth decimal up (4.8828125 to 4.882813, not 4.882812).
QString cutNumber(double value, int length) {
    char printed[512];
    std::snprintf(printed, sizeof printed, "%f", value);
    QString text = QString::fromLatin1(printed).left(length);
    if (text.contains('.')) {
        while (text.endsWith('0'))
            text.chop(1);
        if (text.endsWith('.')) text.chop(1);
    }
    return text;
}

QString suffix(const Measurement_t& value) {
    return " " + QString::fromStdString(value.label());
}

} // namespace

QString valueLabel(const Measurement_t& value, int length) {
    return cutNumber(value.value, length) + suffix(value);
}

QString valueLabel(const kv4cl::RangedMeasurement_t& range) {
    return valueLabel(Measurement_t{range.max, range.prefix, range.unit});
}

QString measurementDisplay(const Measurement_t& value) {
    const Measurement_t shown = withFittingPrefix(value);
    return cutNumber(shown.value, 5) + suffix(shown);
}
