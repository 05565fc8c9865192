#include "simulator/cell.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace kav4sim {

namespace {

// Without conductance, or with dwell times that would flicker without end, there is no channel.
bool hasChannel(const CellParameters& p) {
    return p.channelConductance > 0 && p.meanOpenTime > 0 && p.meanClosedTime > 0;
}

} // namespace

Cell::Cell(const CellParameters& parameters, uint64_t seed) : random(seed) {
    setParameters(parameters);
    // Start in equilibrium, so that statistics need no settling time; dwell times have no memory.
    const double pOpen = p.meanOpenTime / (p.meanOpenTime + p.meanClosedTime);
    open = hasChannel(p) && uniform(random) < pOpen;
    untilChange = dwell();
}

void Cell::setParameters(const CellParameters& parameters) {
    const bool newDwells = parameters.meanOpenTime != p.meanOpenTime ||
                           parameters.meanClosedTime != p.meanClosedTime ||
                           hasChannel(parameters) != hasChannel(p);
    p = parameters;
    conductanceClosed = 1.0 / p.seriesResistance + 1.0 / p.membraneResistance;
    cachedSeconds = -1.0;
    if (!hasChannel(p)) open = false;
    if (newDwells) untilChange = dwell();
}

double Cell::dwell() {
    if (!hasChannel(p)) return std::numeric_limits<double>::infinity();
    return unitDwell(random) * (open ? p.meanOpenTime : p.meanClosedTime);
}

double Cell::relax(double voltage, double seconds, double g) {
    // Cm dVm/dt = (V - Vm)/Rs - Vm/Rm - G (Vm - E): Vm moves exponentially towards its
    // steady value at the rate (1/Rs + 1/Rm + G) / Cm.
    const double total = conductanceClosed + g;
    const double target = (voltage / p.seriesResistance + g * p.reversalPotential) / total;
    const double rate = total / p.membraneCapacitance;
    double decay;
    if (seconds == cachedSeconds && (g == 0.0 || g == p.channelConductance)) {
        decay = g == 0.0 ? decayClosed : decayOpen;
    } else {
        decay = std::exp(-seconds * rate);
    }
    const double away = vm - target;
    vm = target + away * decay;
    return target * seconds + away * (1.0 - decay) / rate;
}

double Cell::relax(double voltage, double seconds) {
    return relax(voltage, seconds, open ? p.channelConductance : 0.0);
}

double Cell::advance(double voltage, double seconds) {
    sinePhase = std::fmod(sinePhase + p.sineFrequency * seconds, 1.0);
    // The channel may change state within the step: the exact solution is pieced together,
    // for a few changes. A channel that flickers faster goes to flicker() for the rest, so
    // that a step costs the same however short the dwell times.
    double integral = 0.0;
    for (int changes = 0; untilChange <= seconds; changes++) {
        if (changes == maxExactChanges) return integral + flicker(voltage, seconds);
        integral += relax(voltage, untilChange);
        seconds -= untilChange;
        open = !open;
        untilChange = dwell();
    }
    untilChange -= seconds;
    return integral + relax(voltage, seconds);
}

double Cell::flicker(double voltage, double seconds) {
    // Dwell times have no memory: the state at the end follows from the state now through
    // the two-state chain, p + (q - p) exp(-k t), with p the open probability, q = 1 when
    // open now, 0 when closed, and k the sum of both rates. Over the many changes the
    // membrane sees the mean conductance.
    const double pOpen = p.meanOpenTime / (p.meanOpenTime + p.meanClosedTime);
    const double rate = 1.0 / p.meanOpenTime + 1.0 / p.meanClosedTime;
    const double integral = relax(voltage, seconds, p.channelConductance * pOpen);
    const double pOpenAtEnd = pOpen + ((open ? 1.0 : 0.0) - pOpen) * std::exp(-rate * seconds);
    open = uniform(random) < pOpenAtEnd;
    untilChange = dwell();
    return integral;
}

double Cell::step(double voltage, double seconds) {
    if (seconds != cachedSeconds) {
        decayClosed = std::exp(-seconds * conductanceClosed / p.membraneCapacitance);
        decayOpen = std::exp(-seconds * (conductanceClosed + p.channelConductance) / p.membraneCapacitance);
        cachedSeconds = seconds;
    }
    // A front end integrates the current over the sample: the mean of (V - Vm) / Rs.
    const double meanVm = advance(voltage, seconds) / seconds;
    const double noise = p.noiseRms > 0 ? p.noiseRms * gauss(random) : 0.0;
    const double fast = p.fastCapacitance * (voltage - command) / seconds;
    command = voltage;
    const double sine =
        p.sineAmplitude != 0 ? p.sineAmplitude * std::sin(2.0 * std::numbers::pi * sinePhase) : 0.0;
    return (voltage - meanVm) / p.seriesResistance + fast + noise + sine;
}

void Cell::skip(double voltage, double seconds) {
    advance(voltage, seconds);
    command = voltage;
}

} // namespace kav4sim
