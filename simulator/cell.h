#pragma once
// What one current channel of a virtual amplifier measures: a cell (or membrane) with known
// parameters. The command voltage drives, through the series resistance, a node where the
// membrane capacitance, the membrane resistance and a two-state ion channel meet ground
// (the channel's current is g * (Vm - E) while it is open). The current measured is the one
// through the series resistance, averaged over each sample as a front end's integrator sees
// it, plus white noise, plus what the fast capacitance (pipette and electrode, charged
// straight from the command) takes when the command moves.

#include <cstdint>
#include <random>

namespace kav4sim {

// Defaults: a small patch of membrane with one channel, on the most sensitive range.
struct CellParameters {
    double membraneCapacitance = 20e-12; // F, > 0
    double membraneResistance = 1e9;     // Ohm, > 0 (infinity: none)
    double seriesResistance = 10e6;      // Ohm, > 0
    double fastCapacitance = 5e-12;      // F, >= 0
    double channelConductance = 50e-12;  // S; 0: no channel
    double reversalPotential = 0.0;      // V
    double meanOpenTime = 5e-3;          // s, > 0; dwell times are exponential
    double meanClosedTime = 20e-3;       // s, > 0
    double noiseRms = 2e-12;             // A
    // Peak of the glitch the front end's periodic reset adds (A); it decays within the period.
    double resetArtefact = 10e-12;
    // A sinusoid added to the measured current, for spectra with a known line: amplitude (A)
    // and frequency (Hz); an amplitude of 0 adds nothing.
    double sineAmplitude = 0.0;
    double sineFrequency = 0.0;
};

class Cell {
  public:
    explicit Cell(const CellParameters& parameters = {}, uint64_t seed = 1);

    // The membrane potential and the channel's state go on from where they are.
    void setParameters(const CellParameters& parameters);
    const CellParameters& parameters() const { return p; }

    // Holds `voltage` for `seconds` and returns the mean current through the series resistance
    // over them (A), noise included, plus the charge the fast capacitance took from the
    // previous voltage to this one, spread over the step.
    double step(double voltage, double seconds);
    // Lets `seconds` pass at `voltage` without a measurement.
    void skip(double voltage, double seconds);
    // Whether the channel is open at the end of the last step.
    bool isOpen() const { return open; }

  private:
    // Each returns the integral of the membrane potential over the `seconds` it moves on (V s).
    double advance(double voltage, double seconds);
    // The rest of a step in which the channel changes state more than maxExactChanges times.
    double flicker(double voltage, double seconds);
    // The exact solution over `seconds` with the channel's conductance fixed: its own state's,
    // or `g`.
    double relax(double voltage, double seconds);
    double relax(double voltage, double seconds, double g);
    double dwell(); // the time until the channel next changes state

    CellParameters p;
    std::mt19937_64 random;
    std::normal_distribution<double> gauss{0.0, 1.0};
    std::exponential_distribution<double> unitDwell{1.0};
    std::uniform_real_distribution<double> uniform{0.0, 1.0};
    static constexpr int maxExactChanges = 16;
    double conductanceClosed = 0.0; // 1/Rs + 1/Rm
    double vm = 0.0;
    double command = 0.0; // the voltage of the last step
    bool open = false;
    double untilChange = 0.0;
    double sinePhase = 0.0; // in cycles, within [0, 1)
    // exp(-t/tau) for the last full step, closed and open: one exp per sample otherwise.
    double cachedSeconds = -1.0;
    double decayClosed = 0.0;
    double decayOpen = 0.0;
};

} // namespace kav4sim
