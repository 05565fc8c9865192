#pragma once
// Text forms of measurements shared by labels and read-outs. Kept free of widgets so that
// they can be used, and checked, without a GUI.

#include "commlib/types/kv4cltypes.h"

#include <QString>

// The number printed with "%f", cut to `length` characters, trailing zeros and a trailing
// point removed, then a blank, the prefix symbol and the unit: 1.25 with prefix k and unit Hz
// gives "1.25 kHz".
QString valueLabel(const kv4cl::Measurement_t& value, int length = 8);
// A range is labelled by its maximum.
QString valueLabel(const kv4cl::RangedMeasurement_t& range);

// The value with its fitting prefix, printed with at most five characters, then a blank,
// the prefix symbol and the unit: 10000 sps gives "10 ksps".
QString measurementDisplay(const kv4cl::Measurement_t& value);
