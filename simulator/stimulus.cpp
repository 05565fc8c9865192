#include "simulator/stimulus.h"

#include <algorithm>
#include <cmath>

namespace kav4sim {

namespace {

using Parameters = Stimulus::Parameters;
using Plan = Stimulus::Plan;

double get(const Parameters& p, const std::string& name) {
    const auto it = p.find(name);
    return it == p.end() ? 0.0 : it->second;
}

uint64_t count(const Parameters& p, const std::string& name) {
    return uint64_t(std::max(0.0, std::round(get(p, name))));
}

uint64_t samples(double seconds, double rate) {
    return uint64_t(std::max(0.0, std::round(seconds * rate)));
}

Stimulus::Segment level(uint64_t n, double v) {
    return {n, v, v};
}

// `count` pulses of `v` for `duration`, one every `period`.
void appendTrain(std::vector<Stimulus::Segment>& sequence, double v, double duration, double period,
                 uint64_t count, double rate) {
    const uint64_t on = samples(duration, rate);
    const uint64_t every = samples(period, rate);
    for (uint64_t k = 0; k < count; k++)
        sequence.insert(sequence.end(), {level(on, v), level(every > on ? every - on : 0, 0.0)});
}

Plan constant(const Parameters& p, double) {
    return {{}, 0, get(p, "Vhold")};
}

Plan triangular(const Parameters& p, double rate) {
    const double hold = get(p, "Vhold");
    const double amp = get(p, "Vamp");
    // Boundaries rounded from the start, so that the period stays exact over the quarters.
    const double period = get(p, "TPeriod") * rate;
    const auto at = [&](double fraction) { return uint64_t(std::max(0.0, std::round(period * fraction))); };
    return {{{at(0.25), hold, hold + amp},
             {at(0.75) - at(0.25), hold + amp, hold - amp},
             {at(1.0) - at(0.75), hold - amp, hold}},
            0,
            hold};
}

Plan squareWave(const Parameters& p, double rate) {
    const double hold = get(p, "Vhold");
    const double pulse = get(p, "Vpulse");
    const uint64_t tHold = samples(get(p, "Thold"), rate);
    const uint64_t tPulse = samples(get(p, "Tpulse"), rate);
    return {{level(tHold, hold), level(tPulse, hold + pulse), level(tPulse, hold - pulse)}, 0, hold};
}

// The stepped pulses of Conductance and Variable Amplitude; the first also mirrors each step below Vhold.
Plan steppedPulses(const Parameters& p, double rate, bool mirrored) {
    const double hold = get(p, "Vhold");
    const uint64_t tHold = samples(get(p, "Thold"), rate);
    const uint64_t tPulse = samples(get(p, "Tpulse"), rate);
    Plan plan{{}, count(p, "NR"), hold};
    for (uint64_t k = 0; k < count(p, "N"); k++) {
        const double step = get(p, "Vpulse") + double(k) * get(p, "Vstep");
        plan.sequence.insert(plan.sequence.end(), {level(tHold, hold), level(tPulse, hold + step)});
        if (mirrored)
            plan.sequence.insert(plan.sequence.end(), {level(tHold, hold), level(tPulse, hold - step)});
    }
    return plan;
}

Plan conductance(const Parameters& p, double rate) {
    return steppedPulses(p, rate, true);
}

Plan variableAmplitude(const Parameters& p, double rate) {
    return steppedPulses(p, rate, false);
}

Plan variableDuration(const Parameters& p, double rate) {
    const double hold = get(p, "Vhold");
    const uint64_t tHold = samples(get(p, "Thold"), rate);
    Plan plan{{}, count(p, "NR"), hold};
    for (uint64_t k = 0; k < count(p, "N"); k++) {
        const uint64_t tPulse = samples(get(p, "Tpulse") + double(k) * get(p, "Tstep"), rate);
        plan.sequence.insert(plan.sequence.end(),
                             {level(tHold, hold), level(tPulse, hold + get(p, "Vpulse"))});
    }
    return plan;
}

Plan ramp(const Parameters& p, double rate) {
    const double hold = get(p, "Vhold");
    const double init = get(p, "Vinit");
    return {{level(samples(get(p, "Thold"), rate), hold),
             level(samples(get(p, "Tpulse"), rate), init),
             {samples(get(p, "Tramp"), rate), init, get(p, "Vfinal")}},
            count(p, "NR"),
            hold};
}

Plan cyclicVoltammetry(const Parameters& p, double rate) {
    const double hold = get(p, "Vhold");
    const double init = get(p, "Vinit");
    const double end = get(p, "Vfinal");
    const uint64_t tRamp = samples(get(p, "Tramp"), rate);
    Plan plan{{level(samples(get(p, "Thold"), rate), hold)}, count(p, "NR"), hold};
    for (uint64_t k = 0; k < count(p, "N"); k++)
        plan.sequence.insert(plan.sequence.end(), {{tRamp, init, end}, {tRamp, end, init}});
    return plan;
}

Plan fastPulses(const Parameters& p, double rate) {
    const auto row = [](size_t i, const char* field) { return Stimulus::rowParameter("Segment", i, field); };
    Plan plan{{}, 1, get(p, "Vhold")};
    for (size_t i = 0; p.count(row(i, "duration")); i++)
        plan.sequence.push_back(level(samples(get(p, row(i, "duration")), rate), get(p, row(i, "voltage"))));
    return plan;
}

Plan fastPulsesWaveform2(const Parameters& p, double rate) {
    const auto row = [](size_t i, const char* field) { return Stimulus::rowParameter("Pulse", i, field); };
    Plan plan{{}, 1, 0.0};
    for (size_t i = 0; p.count(row(i, "wait")); i++) {
        const double wait = get(p, row(i, "wait"));
        if (!(wait > 0)) continue;
        plan.sequence.push_back(level(samples(wait, rate), 0.0));
        appendTrain(plan.sequence, get(p, row(i, "voltage")), get(p, row(i, "duration")),
                    get(p, row(i, "period")), std::max<uint64_t>(1, count(p, row(i, "count"))), rate);
    }
    return plan;
}

// The protocols by the names the models give them.
const std::map<std::string, Stimulus::Shape>& shapes() {
    static const std::map<std::string, Stimulus::Shape> table = {
        {"Constant", &constant},
        {"Triangular", &triangular},
        {"Square wave", &squareWave},
        {"Conductance", &conductance},
        {"Variable Amplitude", &variableAmplitude},
        {"Variable Duration", &variableDuration},
        {"Ramp", &ramp},
        {"Cyclic Voltammetry", &cyclicVoltammetry},
        {"Fast pulses", &fastPulses},
        {"Fast pulses waveform 2", &fastPulsesWaveform2},
    };
    return table;
}

} // namespace

Stimulus::Stimulus(double level) : Stimulus(Plan{{}, 0, level}) {}

Stimulus::Stimulus(const std::string& protocol, const Parameters& parameters, double rate)
    : Stimulus([&] {
          const auto it = shapes().find(protocol);
          return it == shapes().end() ? constant(parameters, rate) : it->second(parameters, rate);
      }()) {}

Stimulus Stimulus::ramp(double from, double to, double seconds, double rate) {
    return Stimulus(Plan{{{samples(seconds, rate), from, to}}, 1, to});
}

Stimulus Stimulus::pulses(double voltage, double duration, double period, uint64_t count, double rate) {
    Plan plan{{}, 1, 0.0};
    appendTrain(plan.sequence, voltage, duration, period, count, rate);
    return Stimulus(std::move(plan));
}

std::string Stimulus::rowParameter(const std::string& waveform, size_t row, const std::string& field) {
    return waveform + " " + std::to_string(row) + " " + field;
}

Stimulus::Stimulus(Plan p) : plan(std::move(p)) {
    std::erase_if(plan.sequence, [](const Segment& s) { return s.samples == 0; });
    for (const Segment& s : plan.sequence)
        runSamples += s.samples;
    done = plan.sequence.empty();
}

double Stimulus::next() {
    const double v = peek();
    if (!done && ++offset == plan.sequence[segment].samples) nextSegment();
    return v;
}

double Stimulus::peek() const {
    if (done) return plan.after;
    const Segment& s = plan.sequence[segment];
    return s.from + (s.to - s.from) * double(offset) / double(s.samples);
}

void Stimulus::skip(uint64_t n) {
    while (n > 0 && !done) {
        if (segment == 0 && offset == 0 && n >= runSamples) {
            // Whole runs at once: a protocol repeated for ever must not be walked through.
            uint64_t runs = n / runSamples;
            if (plan.repetitions > 0) runs = std::min(runs, plan.repetitions - run);
            run += runs;
            n -= runs * runSamples;
            if (plan.repetitions > 0 && run == plan.repetitions) done = true;
            continue;
        }
        const uint64_t left = plan.sequence[segment].samples - offset;
        if (n < left) {
            offset += n;
            return;
        }
        n -= left;
        nextSegment();
    }
}

void Stimulus::nextSegment() {
    offset = 0;
    if (++segment < plan.sequence.size()) return;
    segment = 0;
    run++;
    if (plan.repetitions > 0 && run == plan.repetitions) done = true;
}

} // namespace kav4sim
