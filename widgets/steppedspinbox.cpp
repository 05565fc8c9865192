#include "widgets/steppedspinbox.h"

#include <QStringList>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>

SteppedSpinBox::SteppedSpinBox(QWidget* parent) : QDoubleSpinBox(parent) {
    connect(this, &QDoubleSpinBox::valueChanged, this, [this](double value) {
        lastValue = {value, range.prefix, range.unit};
    });
}

int SteppedSpinBox::decimalsForStep(double step) {
    double scaled = step;
    for (int k = 0; k < 3; k++, scaled *= 10.0) {
        if (scaled >= 1.0 && std::abs(scaled - std::round(scaled)) <= 0.05) return k;
    }
    return 3;
}

void SteppedSpinBox::setRange(const kv4cl::RangedMeasurement_t& newRange, RangeMode_t mode) {
    const double carried = lastValue.converted(newRange.prefix).value;
    range = newRange;
    // Decimals first: the base class rounds its bounds and value to them.
    setDecimals(decimalsForStep(range.step));
    switch (mode) {
    case RangeModeFull:
        QDoubleSpinBox::setRange(range.min, range.max);
        break;
    case RangeModePositive:
        QDoubleSpinBox::setRange(0.0, range.max);
        break;
    case RangeModeSymmetric:
        QDoubleSpinBox::setRange(-(range.max - range.min), range.max - range.min);
        break;
    }
    setSingleStep(range.step);
    setValue(snapped(carried, 0));
    // valueChanged is silent when the number stays the same, yet the prefix and unit change.
    lastValue = {value(), range.prefix, range.unit};
}

kv4cl::Measurement_t SteppedSpinBox::getMeasurement() const {
    return {value(), range.prefix, range.unit};
}

// std::round rounds half away from zero, as the stepping rule wants.
double SteppedSpinBox::snapped(double v, int steps) const {
    return std::clamp((std::round(v / range.step) + steps) * range.step, minimum(), maximum());
}

void SteppedSpinBox::stepBy(int steps) {
    setValue(snapped(value(), steps));
}

QString SteppedSpinBox::allowedValues() const {
    const QString unit = QString::fromStdString(range.label());
    const QString inUnit = unit.isEmpty() ? "" : " " + unit;
    const long steps = std::lround((maximum() - minimum()) / range.step);
    if (steps <= 4) {
        QStringList values;
        for (long k = 0; k <= steps; k++)
            values << textFromValue(minimum() + double(k) * range.step);
        return "Allowed: " + values.join(", ") + inUnit;
    }
    return QString("Allowed: %1 to %2%3, in steps of %4%3")
        .arg(textFromValue(minimum()), textFromValue(maximum()), inUnit, textFromValue(range.step));
}

void SteppedSpinBox::explain() const {
    QToolTip::showText(mapToGlobal(QPoint(0, height())), allowedValues(), const_cast<SteppedSpinBox*>(this));
}

QValidator::State SteppedSpinBox::validate(QString& input, int& pos) const {
    const QValidator::State state = QDoubleSpinBox::validate(input, pos);
    // A keystroke refused (a digit that goes past a bound) would vanish without a word.
    if (state == QValidator::Invalid && hasFocus()) explain();
    if (state != QValidator::Acceptable) return state;
    const double x = valueFromText(input) / range.step;
    // Off the grid by less than half of the last shown digit still reads as on it.
    const bool onGrid = std::abs(x - std::round(x)) * range.step * std::pow(10.0, decimals()) < 0.5;
    return onGrid ? QValidator::Acceptable : QValidator::Intermediate;
}

void SteppedSpinBox::fixup(QString& input) const {
    double v = std::round(valueFromText(input) / range.step) * range.step;
    if (v > maximum()) v -= range.step;
    if (v < minimum()) v += range.step;
    input = textFromValue(v);
    // Once the focus has moved on, which would close a tip shown now.
    QTimer::singleShot(0, this, &SteppedSpinBox::explain);
}
