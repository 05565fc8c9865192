#include "commlib/models/sharedtables.h"

#include <array>
#include <iterator>
#include <limits>

namespace kv4CommLib {

using namespace kv4cl;

std::string makeHeaderTemplate(const std::string& model, int channels, bool oversampling) {
    return "KDH Version: 2.0\n\nCorvane " + model + "\nChannels: " + std::to_string(channels) +
           "\n\nData header file\n\nAmplifier Setup\nRange: %currentRange%\n"
           "Sampling frequency (SR): %samplingRate%\nFinal Bandwidth: SR/2 (no filter)\n" +
           (oversampling ? "Oversampling x%oversamplingRatio%: %oversamplingFlag%\n" : "") +
           "\nAcquisition start time: %dateHour%\n\nActive channels: %activeChannels%\n";
}

void describeStream(MessageDispatcher& m, const StreamLayout& layout) {
    m.syncWord =
        layout.previousGeneration ? MessageDispatcher::syncWordLegacy : MessageDispatcher::syncWordCurrent;
    m.samplesPerPacket = 16;
    m.voltageChannelsNum = 1;
    m.currentChannelsNum = layout.currentChannels;
    m.gpChannelsNum = layout.gpChannels;
    m.wordsPerSample = uint16_t(1 + layout.currentChannels + layout.gpChannels);
    m.packetBytes = (layout.previousGeneration ? 4 : 6) + 2 * 16 * uint32_t(m.wordsPerSample);
    m.infoBytes.assign(layout.infoBytes, 0);
    // One read must fit the 8 MiB read buffers.
    m.maxOutputFrames = 0x400000 / m.wordsPerSample;
    m.txMessageBytes = layout.txMessageBytes;
    m.txMessage.assign(layout.txMessageBytes, 0);
    m.txMessage[0] = 0x80;
}

RangedMeasurement symmetricRange(double max, UnitPfx_t prefix, const std::string& unit) {
    return {-max, max, max / 32767.0, prefix, unit};
}

std::unique_ptr<BoolRandomArrayCoder> mappedField(uint16_t byte, uint8_t bit, uint8_t width,
                                                  std::initializer_list<uint32_t> codes) {
    auto coder = std::make_unique<BoolRandomArrayCoder>(BoolCoder::pack(byte, bit, width));
    for (const uint32_t code : codes)
        coder->addMapping(code);
    return coder;
}

void setSamplingRates(MessageDispatcher& m, std::span<const SamplingRateRow> rows) {
    m.samplingRates.clear();
    m.realSamplingRates.clear();
    m.samplingPeriods.clear();
    for (const SamplingRateRow& row : rows) {
        m.samplingRates.push_back({row.nominalKHz, UnitPfxKilo, "Hz"});
        m.realSamplingRates.push_back({row.realKHz, UnitPfxKilo, "Hz"});
        m.samplingPeriods.push_back({row.periodUs, UnitPfxMicro, "s"});
    }
}

ProtocolLayout compactProtocolLayout(FieldAt index, FieldAt start, uint16_t firstByte) {
    const auto at = [firstByte](uint16_t offset, uint8_t bit = 0) {
        return FieldAt{.byte = uint16_t(firstByte + offset), .bit = bit};
    };
    return {.index = index,
            .start = start,
            .vhold = at(0),
            .vpulse = at(2),
            .vstep = at(4),
            .vamp = at(6),
            .vfinal = at(28),
            .vinit = at(30),
            .thold = at(8),
            .tpulse = at(12),
            .tstep = at(16),
            .tramp = at(20),
            .tperiod = at(6, 2),
            .n = at(24),
            .nr = at(26)};
}

namespace {

// Parameter indices within their family, in the order the tables list them.
enum VoltageParameter : uint16_t { Vhold, Vpulse, Vstep, Vamp, Vfinal, Vinit };
enum TimeParameter : uint16_t { Thold, Tpulse, Tstep, Tramp, TPeriod };
enum AdimensionalParameter : uint16_t { N, NR };
// The time validity ranges, in table order.
enum TimeValidity {
    PeriodValidity,
    HoldValidity,
    PulseValidity,
    PulseAndStepsValidity,
    StepValidity,
    RampValidity
};

enum class Code { SignAbs, TwosComp };

struct ParameterRow {
    const char* name;
    RangedMeasurement range;
    double defaultValue;
    Code code;
    uint8_t bits;
    FieldAt ProtocolLayout::*field;
};

const RangedMeasurement millivolts{-511.0, 511.0, 0.5, UnitPfxMilli, "V"}; // 10-bit magnitude

// Index order is VoltageParameter, TimeParameter and AdimensionalParameter order.
const ParameterRow voltageRows[] = {
    {.name = "Vhold",
     .range = millivolts,
     .defaultValue = 0.0,
     .code = Code::SignAbs,
     .bits = 11,
     .field = &ProtocolLayout::vhold},
    {.name = "Vpulse",
     .range = millivolts,
     .defaultValue = 100.0,
     .code = Code::SignAbs,
     .bits = 11,
     .field = &ProtocolLayout::vpulse},
    {.name = "Vstep",
     .range = millivolts,
     .defaultValue = 10.0,
     .code = Code::SignAbs,
     .bits = 11,
     .field = &ProtocolLayout::vstep},
    // Two bits: sign and one amplitude step.
    {.name = "Vamp",
     .range = {-50.0, 50.0, 50.0, UnitPfxMilli, "V"},
     .defaultValue = 50.0,
     .code = Code::SignAbs,
     .bits = 2,
     .field = &ProtocolLayout::vamp},
    {.name = "Vfinal",
     .range = millivolts,
     .defaultValue = 100.0,
     .code = Code::SignAbs,
     .bits = 11,
     .field = &ProtocolLayout::vfinal},
    {.name = "Vinit",
     .range = millivolts,
     .defaultValue = -100.0,
     .code = Code::SignAbs,
     .bits = 11,
     .field = &ProtocolLayout::vinit},
};
// 28-bit fields hold up to 2^27 - 1 steps of 1 ms; TPeriod has 10 bits, hence 2 ms steps.
const ParameterRow timeRows[] = {
    {.name = "Thold",
     .range = {0.0, 1e8, 1.0, UnitPfxMilli, "s"},
     .defaultValue = 100.0,
     .code = Code::TwosComp,
     .bits = 28,
     .field = &ProtocolLayout::thold},
    {.name = "Tpulse",
     .range = {0.0, 1e8, 1.0, UnitPfxMilli, "s"},
     .defaultValue = 100.0,
     .code = Code::TwosComp,
     .bits = 28,
     .field = &ProtocolLayout::tpulse},
    {.name = "Tstep",
     .range = {-1e8, 1e8, 1.0, UnitPfxMilli, "s"},
     .defaultValue = 10.0,
     .code = Code::SignAbs,
     .bits = 28,
     .field = &ProtocolLayout::tstep},
    {.name = "Tramp",
     .range = {1.0, 3e7, 1.0, UnitPfxMilli, "s"},
     .defaultValue = 1000.0,
     .code = Code::SignAbs,
     .bits = 28,
     .field = &ProtocolLayout::tramp},
    {.name = "TPeriod",
     .range = {2.0, 1000.0, 2.0, UnitPfxMilli, "s"},
     .defaultValue = 100.0,
     .code = Code::TwosComp,
     .bits = 10,
     .field = &ProtocolLayout::tperiod},
};
const ParameterRow adimensionalRows[] = {
    {.name = "N",
     .range = {1.0, 511.0, 1.0, UnitPfxNone, ""},
     .defaultValue = 10.0,
     .code = Code::TwosComp,
     .bits = 10,
     .field = &ProtocolLayout::n},
    {.name = "NR",
     .range = {0.0, 511.0, 1.0, UnitPfxNone, ""},
     .defaultValue = 1.0,
     .code = Code::TwosComp,
     .bits = 10,
     .field = &ProtocolLayout::nr},
};

std::unique_ptr<DoubleCoder> makeCoder(Code code, FieldAt at, uint8_t bits, const RangedMeasurement& range) {
    const DoubleCoder::Config config{.byteOffset = at.byte,
                                     .bitOffset = at.bit,
                                     .bitsNum = bits,
                                     .word = 0,
                                     .resolution = range.step,
                                     .minValue = range.min,
                                     .maxValue = range.max};
    if (code == Code::SignAbs) return std::make_unique<DoubleSignAbsCoder>(config);
    return std::make_unique<DoubleTwosCompCoder>(config);
}

void addFamily(ProtocolParameters& family, std::span<const ParameterRow> rows, const ProtocolLayout& at) {
    for (const ParameterRow& row : rows) {
        family.names.push_back(row.name);
        family.ranges.push_back(row.range);
        family.defaults.push_back({row.defaultValue, row.range.prefix, row.range.unit});
        family.coders.push_back(makeCoder(row.code, at.*row.field, row.bits, row.range));
    }
}

struct ProtocolRow {
    const char* name;
    const char* image;
    std::vector<uint16_t> voltages;
    std::vector<uint16_t> times;
    std::vector<uint16_t> adimensionals;
};

const ProtocolRow protocolRows[] = {
    {.name = "Constant", .image = "holdingVoltage001", .voltages = {Vhold}, .times = {}, .adimensionals = {}},
    {.name = "Triangular",
     .image = "triangularParametric001",
     .voltages = {Vhold, Vamp},
     .times = {TPeriod},
     .adimensionals = {}},
    {.name = "Square wave",
     .image = "sealTest001",
     .voltages = {Vhold, Vpulse},
     .times = {Thold, Tpulse},
     .adimensionals = {}},
    {.name = "Conductance",
     .image = "conductance001",
     .voltages = {Vhold, Vpulse, Vstep},
     .times = {Thold, Tpulse},
     .adimensionals = {N, NR}},
    {.name = "Variable Amplitude",
     .image = "stepVariableAmplitude001",
     .voltages = {Vhold, Vpulse, Vstep},
     .times = {Thold, Tpulse},
     .adimensionals = {N, NR}},
    {.name = "Variable Duration",
     .image = "stepVariableDuration001",
     .voltages = {Vhold, Vpulse},
     .times = {Thold, Tpulse, Tstep},
     .adimensionals = {N, NR}},
    {.name = "Ramp",
     .image = "ramp002",
     .voltages = {Vhold, Vfinal, Vinit},
     .times = {Thold, Tpulse, Tramp},
     .adimensionals = {NR}},
    {.name = "Cyclic Voltammetry",
     .image = "cyclicVoltammetry002",
     .voltages = {Vhold, Vfinal, Vinit},
     .times = {Thold, Tramp},
     .adimensionals = {N, NR}},
};

// The parameter values as last asked for, voltages and times in the prefixes of the validity ranges.
struct Values {
    std::array<double, 6> v;
    std::array<double, 5> t;
    std::array<double, 2> a;
    RangedMeasurement voltageValidity;
    std::vector<RangedMeasurement> timeValidity;

    bool inV(double x) const { return x >= voltageValidity.min && x <= voltageValidity.max; }
    bool inT(TimeValidity range, double x) const {
        return x >= timeValidity[range].min && x <= timeValidity[range].max;
    }
    double stepsV() const { return v[Vstep] * (a[N] - 1.0); }
};

struct Rule {
    bool (*holds)(const Values&);
    const char* message;
};

const char* const vholdMessage = "Vhold\nmust be within [-500,500]mV";
const char* const sumMessage = "Vhold+Vpulse\nmust be within [-500,500]mV";
const char* const differenceMessage = "Vhold-Vpulse\nmust be within [-500,500]mV";
const char* const sumStepsMessage = "Vhold+Vpulse+Vstep(N-1)\nmust be within [-500,500]mV";
const char* const tpulseMessage = "Tpulse\nmust be within [1, 200e6]ms";
const char* const nMessage = "N\nmust at least 1";

const Rule vhold{[](const Values& p) { return p.inV(p.v[Vhold]); }, vholdMessage};
const Rule sum{[](const Values& p) { return p.inV(p.v[Vhold] + p.v[Vpulse]); }, sumMessage};
const Rule difference{[](const Values& p) { return p.inV(p.v[Vhold] - p.v[Vpulse]); }, differenceMessage};
const Rule sumSteps{[](const Values& p) { return p.inV(p.v[Vhold] + p.v[Vpulse] + p.stepsV()); },
                    sumStepsMessage};
const Rule tpulse{[](const Values& p) { return p.inT(PulseValidity, p.t[Tpulse]); }, tpulseMessage};
const Rule vfinal{[](const Values& p) { return p.inV(p.v[Vfinal]); }, "Vfinal\nmust be within [-500,500]mV"};
const Rule vinit{[](const Values& p) { return p.inV(p.v[Vinit]); }, "Vinit\nmust be within [-500,500]mV"};
const Rule tramp{[](const Values& p) { return p.inT(RampValidity, p.t[Tramp]); },
                 "Tramp\nmust be within [1, 30e6]ms"};

// Per protocol, the rules in the order they are checked.
const std::vector<Rule> protocolRules[] = {
    {vhold},
    {{[](const Values& p) { return p.inV(p.v[Vhold] + p.v[Vamp]); },
      "Vhold+Vamp\nmust be within [-500,500]mV"},
     {[](const Values& p) { return p.inV(p.v[Vhold] - p.v[Vamp]); },
      "Vhold-Vamp\nmust be within [-500,500]mV"},
     {[](const Values& p) { return p.inT(PeriodValidity, p.t[TPeriod]); },
      "TPeriod\nmust be within [1,1000]ms"}},
    {sum, difference, tpulse},
    {sum,
     sumSteps,
     difference,
     {[](const Values& p) { return p.inV(p.v[Vhold] - p.v[Vpulse] - p.stepsV()); },
      "Vhold-Vpulse-Vstep(N-1)\nmust be within [-500,500]mV"}},
    {vhold, sum, sumSteps},
    {tpulse,
     {[](const Values& p) { return p.inT(StepValidity, p.t[Tstep]); },
      "Tstep\nmust be within [-100e6, 100e6]ms"},
     {[](const Values& p) { return p.inT(PulseAndStepsValidity, p.t[Tpulse] + p.t[Tstep] * (p.a[N] - 1.0)); },
      "Tpulse+Tstep(N-1)\nmust be at least 1ms"},
     {[](const Values& p) { return p.a[N] >= 1.0; }, nMessage}},
    {vfinal, vinit, tramp},
    {vfinal, vinit, tramp, {[](const Values& p) { return p.a[N] > 0.0; }, nMessage}},
};

} // namespace

void addReferenceProtocols(MessageDispatcher& m, const ProtocolLayout& at) {
    for (const ProtocolRow& row : protocolRows) {
        m.protocolNames.push_back(row.name);
        m.protocolImages.push_back(row.image);
        m.protocolParameterIdxs[ProtocolVoltage].push_back(row.voltages);
        m.protocolParameterIdxs[ProtocolTime].push_back(row.times);
        m.protocolParameterIdxs[ProtocolAdimensional].push_back(row.adimensionals);
    }
    m.defaultProtocolIdx = 0;
    m.resistanceEstimationProtocolIdx = 2;  // "Square wave": Vhold, Vhold + Vpulse, Vhold - Vpulse
    m.capacitanceEstimationProtocolIdx = 1; // "Triangular"
    m.protocolCoder = bitField(at.index.byte, at.index.bit, 4);
    m.protocolStartCoder = bitField(at.start.byte, at.start.bit, 1);
    addFamily(m.protocolParameters[ProtocolVoltage], voltageRows, at);
    addFamily(m.protocolParameters[ProtocolTime], timeRows, at);
    addFamily(m.protocolParameters[ProtocolAdimensional], adimensionalRows, at);

    m.protocolVoltageValidity = {-500.0, 500.0, 0.5, UnitPfxMilli, "V"};
    m.protocolTimeValidity = {
        {1.0, 1000.0, 1.0, UnitPfxMilli, "s"},
        {0.0, 2e8, 1.0, UnitPfxMilli, "s"},
        {1.0, 2e8, 1.0, UnitPfxMilli, "s"},
        {1.0, std::numeric_limits<double>::max(), 1.0, UnitPfxMilli, "s"},
        {-1e8, 1e8, 1.0, UnitPfxMilli, "s"},
        {1.0, 3e7, 1.0, UnitPfxMilli, "s"},
    };
}

void addInsertionPulse(MessageDispatcher& m, const ProtocolLayout& at, FieldAt pulseBit) {
    PulseControls& pulse = m.insertionPulse;
    pulse.voltageRange = {-500.0, 500.0, 0.5, UnitPfxMilli, "V"};
    pulse.durationRange = {1.0, 15000.0, 1.0, UnitPfxMilli, "s"};
    pulse.voltageCoder = makeCoder(Code::SignAbs, at.vpulse, 11, pulse.voltageRange);
    pulse.durationCoder = makeCoder(Code::TwosComp, at.tpulse, 28, pulse.durationRange);
    pulse.pulseCoder = bitField(pulseBit.byte, pulseBit.bit, 1);
}

ErrorCodes_t validateReferenceProtocol(const MessageDispatcher& m, const ProtocolValues& candidate,
                                       std::string& message) {
    const auto& voltages = candidate.values[ProtocolVoltage];
    const auto& times = candidate.values[ProtocolTime];
    const auto& adimensionals = candidate.values[ProtocolAdimensional];
    Values p{.v = {},
             .t = {},
             .a = {},
             .voltageValidity = m.protocolVoltageValidity,
             .timeValidity = m.protocolTimeValidity};
    for (size_t i = 0; i < p.v.size() && i < voltages.size(); i++)
        p.v[i] = voltages[i].converted(p.voltageValidity.prefix).value;
    for (size_t i = 0; i < p.t.size() && i < times.size(); i++)
        p.t[i] = times[i].converted(p.timeValidity[0].prefix).value;
    for (size_t i = 0; i < p.a.size() && i < adimensionals.size(); i++)
        p.a[i] = adimensionals[i].value;

    if (candidate.protocolIdx < std::size(protocolRules)) {
        for (const Rule& rule : protocolRules[candidate.protocolIdx]) {
            if (!rule.holds(p)) {
                message = rule.message;
                return ErrorInvalidProtocolParameters;
            }
        }
    }
    message = "Valid protocol";
    return Success;
}

} // namespace kv4CommLib
