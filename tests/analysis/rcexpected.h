#pragma once
// What the resistance and capacitance estimations should find for a cell of known Cm, Rm, Rs
// and Cp on a virtual amplifier.

namespace kv4test {

struct RcCell {
    double cm, rm, rs, cp; // F, Ohm, Ohm, F
};

// The settled currents of the levels of a step differ by dV / (Rm + Rs).
inline double seenResistance(const RcCell& c) {
    return c.rm + c.rs;
}

// The capacitance the circuit presents to a ramp: once the membrane has caught up with a ramp
// of slope s, the current is (Cm a^2 + Cp) s + V / (Rm + Rs), with a = Rm / (Rm + Rs) the
// share of the command that reaches the membrane. Each sample being the mean current over its
// period, this holds at every sampling rate; the leak's V / (Rm + Rs) is the estimate's to
// cancel.
inline double seenCapacitance(const RcCell& c) {
    const double a = c.rm / (c.rm + c.rs);
    return c.cm * a * a + c.cp;
}

} // namespace kv4test
