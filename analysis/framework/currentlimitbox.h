#pragma once
// A current limit the user types (a threshold, a rupture limit): it spans a current range, in
// the range's unit, with the decimals that reach the range's resolution, and keeps exactly what
// was typed. A limit is compared with samples, never sent to the device, so it is not moved
// onto the converter's steps (-5 pA stays -5 pA on the 200 pA range).

#include "commlib/types/kv4cltypes.h"

#include <QDoubleSpinBox>

class CurrentLimitBox : public QDoubleSpinBox {
    Q_OBJECT

  public:
    explicit CurrentLimitBox(QWidget* parent = nullptr);

    // The current held is carried to the new unit, within the new range's edges.
    void setRange(const kv4cl::RangedMeasurement_t& range);
    kv4cl::Measurement_t measurement() const;

    // The fewest decimals whose last digit is no coarser than one step of the range.
    static int decimalsFor(double step);

  private:
    kv4cl::UnitPfx_t prefix = kv4cl::UnitPfxNone;
    std::string unit = "A";
};
