#pragma once
// The command voltage of a stimulus protocol, sample by sample on the device's own clock.
//
// The shapes, from the parameters by name (voltages in V, times in s; each time becomes a
// whole number of samples, N and NR are rounded; k runs over 0 .. N-1; "NR repetitions"
// means the whole sequence runs NR times, 0 meaning for ever, and Vhold is held after it):
//   Constant            Vhold.
//   Triangular          from Vhold up to Vhold+Vamp in TPeriod/4, down to Vhold-Vamp in
//                       TPeriod/2, back to Vhold in TPeriod/4; for ever.
//   Square wave         Vhold for Thold, Vhold+Vpulse for Tpulse, Vhold-Vpulse for Tpulse;
//                       for ever (Thold 0 gives a square wave around Vhold).
//   Conductance         for each k: Vhold for Thold, Vhold+Vpulse+k*Vstep for Tpulse, Vhold for
//                       Thold, Vhold-Vpulse-k*Vstep for Tpulse; NR repetitions.
//   Variable Amplitude  for each k: Vhold for Thold, Vhold+Vpulse+k*Vstep for Tpulse; NR repetitions.
//   Variable Duration   for each k: Vhold for Thold, Vhold+Vpulse for Tpulse+k*Tstep; NR repetitions.
//   Ramp                Vhold for Thold, Vinit for Tpulse, a ramp from Vinit to Vfinal in Tramp;
//                       NR repetitions.
//   Cyclic Voltammetry  Vhold for Thold, then N cycles of a ramp from Vinit to Vfinal in Tramp
//                       and back to Vinit in Tramp; NR repetitions.
// The fast-pulses protocol has two waveforms, made of rows (see rowParameter; rows count
// from 0 and are read up to the first one missing):
//   Fast pulses         waveform 1, the command: for each row i, "Segment i voltage" for
//                       "Segment i duration"; once, then Vhold.
//   Fast pulses waveform 2
//                       the fast pulses, which add to the command (the amplifier plays them on
//                       the cells only): for each row i whose "Pulse i wait" is above 0, 0 V
//                       for the wait, then "Pulse i count" pulses (one when 0) of "Pulse i
//                       voltage" for "Pulse i duration", one every "Pulse i period" (back to
//                       back when the period is shorter); once, 0 V after.
// A ramp of L samples from a to b gives a + (b - a) * i / L at its sample i. A protocol
// without a shape holds Vhold; a parameter the model lacks reads as 0.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kav4sim {

class Stimulus {
  public:
    using Parameters = std::map<std::string, double>;

    // `samples` samples going linearly from `from` towards `to` (constant when equal).
    struct Segment {
        uint64_t samples = 0;
        double from = 0.0;
        double to = 0.0;
    };
    // One run of the sequence, how many runs (0: for ever) and the level held afterwards.
    struct Plan {
        std::vector<Segment> sequence;
        uint64_t repetitions = 0;
        double after = 0.0;
    };
    // A protocol's shape: its plan from the parameters at `rate` samples per second. Further
    // protocols are further entries of the table in stimulus.cpp, under the model's name.
    using Shape = Plan (*)(const Parameters& parameters, double rate);

    // Holds `level`.
    explicit Stimulus(double level = 0.0);
    // The named protocol, sampled at `rate` samples per second of the device's clock.
    Stimulus(const std::string& protocol, const Parameters& parameters, double rate);
    // From `from` to `to` in `seconds` (at once when 0), then `to` held.
    static Stimulus ramp(double from, double to, double seconds, double rate);
    // `count` pulses of `voltage` for `duration`, one every `period`, on 0 V.
    static Stimulus pulses(double voltage, double duration, double period, uint64_t count, double rate);

    // The name of a field of a row, e.g. "Pulse 2 wait".
    static std::string rowParameter(const std::string& waveform, size_t row, const std::string& field);

    // The voltage of the next sample.
    double next();
    // The voltage the next sample will have.
    double peek() const;
    // Lets `samples` samples pass.
    void skip(uint64_t samples);

  private:
    explicit Stimulus(Plan plan);
    void nextSegment();

    Plan plan;
    uint64_t runSamples = 0; // samples of one run of the sequence
    size_t segment = 0;
    uint64_t offset = 0; // samples of the segment already given
    uint64_t run = 0;
    bool done = false;
};

} // namespace kav4sim
