#pragma once
// A spin box bound to a range of the library: its values lie on the range's step grid,
// typed values off the grid are not accepted and are moved onto it when the field is left,
// and its value is read as a measurement with the range's prefix and unit. A keystroke it
// refuses, or a value it moves, shows the values it takes in a tip at the box.

#include "commlib/types/kv4cltypes.h"

#include <QDoubleSpinBox>

class SteppedSpinBox : public QDoubleSpinBox {
    Q_OBJECT

  public:
    // Which span of the range the spin box offers.
    enum RangeMode_t {
        RangeModeFull = 0,      // minimum … maximum
        RangeModePositive = 1,  // 0 … maximum
        RangeModeSymmetric = 2, // −(maximum − minimum) … maximum − minimum
    };

    explicit SteppedSpinBox(QWidget* parent = nullptr);

    // The value kept so far is converted to the range's prefix, set again and snapped to the step.
    void setRange(const kv4cl::RangedMeasurement_t& range, RangeMode_t mode = RangeModeFull);
    kv4cl::Measurement_t getMeasurement() const;

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

    // Smallest count of decimals, up to 3, that shows the step as a whole number of last digits.
    static int decimalsForStep(double step);

    // "Allowed: -50, 0, 50 mV" for a few values, else "Allowed: 0 to 1000 ms, in steps of 10 ms".
    QString allowedValues() const;

  private:
    void explain() const;
    double snapped(double value, int steps) const;

    kv4cl::RangedMeasurement_t range;
    kv4cl::Measurement_t lastValue;
};
