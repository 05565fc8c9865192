#include "analysis/framework/resultformat.h"

#include <QPalette>
#include <QWidget>

#include <algorithm>
#include <cmath>

QString resultText(const kv4cl::Measurement_t& value, int digits) {
    if (!std::isfinite(value.value) || !kv4cl::knownPrefix(value.prefix)) return "-";
    kv4cl::Measurement_t shown = kv4cl::withFittingPrefix(value);
    const int significant = std::clamp(digits, 1, 15);
    const auto decimalsOf = [significant](double v) {
        return v == 0.0 ? 0 : std::max(0, significant - 1 - int(std::floor(std::log10(std::abs(v)))));
    };
    int decimals = decimalsOf(shown.value);
    // 999.96 kept to four digits is 1000.0: the next prefix shows it as 1.000.
    const double rounded = std::round(shown.value * std::pow(10.0, decimals)) / std::pow(10.0, decimals);
    if (std::abs(rounded) >= 1000.0 && shown.prefix < kv4cl::UnitPfxPeta) {
        shown.value = rounded / 1000.0;
        shown.prefix = kv4cl::UnitPfx_t(shown.prefix + 1);
        decimals = decimalsOf(shown.value);
    }
    return QString::number(shown.value, 'f', decimals) + " " + QString::fromStdString(shown.label());
}

int supportedDigits(double value, double resolution) {
    if (!(std::abs(value) > 0.0) || !(resolution > 0.0) || !std::isfinite(value) ||
        !std::isfinite(resolution))
        return 4;
    const int digits =
        int(std::floor(std::log10(std::abs(value)))) - int(std::floor(std::log10(resolution))) + 1;
    return std::clamp(digits, 2, 6);
}

QString fitLabel(const QString& title, bool converged) {
    return converged ? title : title + " (not converged)";
}

void markStale(QWidget* result, const QString& why) {
    if (why.isEmpty()) {
        result->setPalette(QPalette()); // the parent's again
        result->setToolTip(QString());
        return;
    }
    QPalette greyed = result->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text})
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            greyed.setColor(group, role, greyed.color(QPalette::Disabled, role));
    result->setPalette(greyed);
    result->setToolTip(why);
}
