#pragma once
// What the resistance and capacitance estimations should find for a cell of known Cm, Rm, Rs
// and Cp on a virtual amplifier.

#include <cmath>

namespace kv4test {

struct RcCell {
    double cm, rm, rs, cp; // F, Ohm, Ohm, F
};

// The settled currents of the levels of a step differ by dV / (Rm + Rs).
inline double seenResistance(const RcCell& c) {
    return c.rm + c.rs;
}

// A triangle of period `period` (s) at `hz`, whose ramps are each measured after its first tenth for four
// tenths. The command is a staircase of one step per sample and each sample the current at the step's end;
// with a = Rm / (Rm + Rs), the membrane's time constant tau = Cm (Rm || Rs) and x = dt / tau, on a ramp of
// slope s the current settles at
//   Cm a^2 x / (e^x - 1) s + Cp s + V / (Rm + Rs)
// (Cm a^2 s for a smooth ramp, x -> 0). Between the two ramps' stretches the estimate sees
// Cm a^2 x / (e^x - 1) + Cp, less what the leak adds: the stretches' mean voltages differ by
// (1 - 2f) of the swing, f being the stretch's mean position on its ramp, which gives
// (1 - 2f) T / (2 (Rm + Rs)) for ramps of T.
inline double seenCapacitance(const RcCell& c, double period, double hz) {
    const double ramp = period / 2 * hz;
    const double f = (std::floor(ramp / 10) + (std::floor(4 * ramp / 10) + 1.0) / 2.0) / ramp;
    const double a = c.rm / (c.rm + c.rs);
    const double x = 1.0 / hz / (c.cm * c.rm * c.rs / (c.rm + c.rs));
    const double leak = (1.0 - 2.0 * f) * (period / 2) / (2.0 * (c.rm + c.rs));
    return c.cm * a * a * x / std::expm1(x) + c.cp - leak;
}

} // namespace kv4test
