#include "session/stimulusservice.h"

#include "commlib/api/kv4cl.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <utility>

using kv4cl::ErrorCodes_t;
using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

namespace {

using Getter = ErrorCodes_t (*)(std::vector<std::string>&, std::vector<RangedMeasurement_t>&,
                                std::vector<Measurement_t>&);
using Setter = ErrorCodes_t (*)(uint16_t, const Measurement_t&);
using Checker = ErrorCodes_t (*)(uint16_t, const Measurement_t&, std::string&);
struct FamilyCalls {
    Getter get;
    Setter set;
    Checker check;
};
const FamilyCalls familyCalls[ProtocolTable::FamiliesNum] = {
    {kv4cl::getProtocolVoltage, kv4cl::setProtocolVoltage, kv4cl::checkProtocolVoltage},
    {kv4cl::getProtocolTime, kv4cl::setProtocolTime, kv4cl::checkProtocolTime},
    {kv4cl::getProtocolSlope, kv4cl::setProtocolSlope, kv4cl::checkProtocolSlope},
    {kv4cl::getProtocolFrequency, kv4cl::setProtocolFrequency, kv4cl::checkProtocolFrequency},
    {kv4cl::getProtocolAdimensional, kv4cl::setProtocolAdimensional, kv4cl::checkProtocolAdimensional},
};

const QString lockKey = "Protocol/Settings/vholdLock";
constexpr auto vhold = std::pair{ProtocolTable::Voltages, uint16_t(0)};

// "version: 4" → 4; false unless the line is exactly two fields with an unsigned number.
bool readNumber(QTextStream& in, uint32_t& number) {
    const QStringList fields = in.readLine().split(": ");
    bool ok = false;
    if (fields.size() == 2) number = fields[1].toUInt(&ok);
    return ok;
}

} // namespace

std::optional<std::array<uint32_t, 3>> deviceIdentity() {
    std::vector<std::string> ids;
    std::vector<uint8_t> versions;
    std::vector<uint8_t> subversions;
    std::vector<uint32_t> firmwares;
    if (kv4cl::getConnectedDevicesInfo(ids, versions, subversions, firmwares) != kv4cl::Success ||
        ids.empty())
        return {};
    return std::array<uint32_t, 3>{versions[0], subversions[0], firmwares[0]};
}

// ---- The table ----------------------------------------------------------------------------

ProtocolTable ProtocolTable::read() {
    ProtocolTable table;
    std::vector<std::string> names, images;
    std::array<std::vector<std::vector<uint16_t>>, FamiliesNum> idxs;
    if (kv4cl::getProtocolList(names, images, idxs[Voltages], idxs[Times], idxs[Slopes], idxs[Frequencies],
                               idxs[Adimensionals]) != kv4cl::Success)
        return table;
    for (size_t p = 0; p < names.size(); p++) {
        Protocol protocol{QString::fromStdString(names[p]), QString::fromStdString(images[p]), {}};
        for (int f = 0; f < FamiliesNum; f++)
            if (p < idxs[f].size()) protocol.parameters[f] = idxs[f][p];
        table.protocols.push_back(protocol);
    }
    for (int f = 0; f < FamiliesNum; f++) {
        std::vector<std::string> paramNames;
        std::vector<RangedMeasurement_t> ranges;
        std::vector<Measurement_t> defaults;
        if (familyCalls[f].get(paramNames, ranges, defaults) != kv4cl::Success) continue;
        for (size_t i = 0; i < paramNames.size(); i++)
            table.parameters[f].push_back({QString::fromStdString(paramNames[i]), ranges[i],
                                           defaults[i].converted(ranges[i].prefix).value});
    }
    // A protocol naming a parameter the library does not list would index past it.
    for (Protocol& protocol : table.protocols)
        for (int f = 0; f < FamiliesNum; f++)
            std::erase_if(protocol.parameters[f],
                          [&](uint16_t i) { return i >= table.parameters[f].size(); });
    return table;
}

ProtocolTable::Values ProtocolTable::defaults() const {
    Values values;
    for (int f = 0; f < FamiliesNum; f++)
        for (const Parameter& p : parameters[f])
            values[f].push_back(p.defaultValue);
    return values;
}

Measurement_t ProtocolTable::measurement(Family family, uint16_t paramIdx, double value) const {
    const RangedMeasurement_t& range = parameters[family][paramIdx].range;
    return {value, range.prefix, range.unit};
}

ErrorCodes_t ProtocolTable::check(Family family, uint16_t paramIdx, double value,
                                  std::string& message) const {
    return familyCalls[family].check(paramIdx, measurement(family, paramIdx, value), message);
}

ErrorCodes_t ProtocolTable::judge(uint16_t protocolIdx, const Values& values, std::string& message) const {
    std::array<std::vector<Measurement_t>, FamiliesNum> all;
    for (int f = 0; f < FamiliesNum; f++)
        for (size_t i = 0; i < values[f].size(); i++)
            all[f].push_back(measurement(Family(f), uint16_t(i), values[f][i]));
    return kv4cl::validateProtocol(protocolIdx, all[Voltages], all[Times], all[Slopes], all[Frequencies],
                                   all[Adimensionals], message);
}

void ProtocolTable::send(const Values& values) const {
    for (int f = 0; f < FamiliesNum; f++)
        for (size_t i = 0; i < values[f].size(); i++)
            familyCalls[f].set(uint16_t(i), measurement(Family(f), uint16_t(i), values[f][i]));
}

void ProtocolTable::send(Family family, uint16_t paramIdx, double value) const {
    familyCalls[family].set(paramIdx, measurement(family, paramIdx, value));
}

// ---- The service --------------------------------------------------------------------------

StimulusService::StimulusService(QObject* parent) : QObject(parent), protocolTable(ProtocolTable::read()) {
    uint16_t segments = 0;
    RangedMeasurement_t voltageRange, durationRange;
    if (kv4cl::getFastPulsesWaveform1(segments, voltageRange, durationRange) == kv4cl::Success &&
        segments > 0)
        fastPulses = int(protocolTable.protocols.size());
    chosen.values = protocolTable.defaults();
    for (const ProtocolTable::Protocol& protocol : protocolTable.protocols) {
        std::vector<double> kept;
        for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
            for (uint16_t i : protocol.parameters[f])
                kept.push_back(chosen.values[f][i]);
        memory.push_back(kept);
    }
    locked = QSettings().value(lockKey, true).toBool();
    uint16_t defaultProtocol = 0;
    kv4cl::getDefaultProtocol(defaultProtocol);
    chosen.protocol = std::min<int>(defaultProtocol, std::max(0, int(protocolTable.protocols.size()) - 1));
    judgeChoice();

    if (kv4cl::getVoltageOffsetControls(offsetLimits, rampLimits) == kv4cl::Success) {
        uint32_t voltageChannels = 0, currentChannels = 0, gpChannels = 0;
        kv4cl::getChannelCounts(voltageChannels, currentChannels, gpChannels);
        offsets.assign(currentChannels, {0.0, offsetLimits.prefix, offsetLimits.unit});
        // The amplifier keeps the offsets of an earlier connection: it starts from these instead,
        // so that the two never disagree.
        kv4cl::setVoltageOffset(uint16_t(currentChannels), {0.0, offsetLimits.prefix, offsetLimits.unit});
    }
}

void StimulusService::setValue(Family family, uint16_t paramIdx, double value) {
    chosen.values[family][paramIdx] = value;
    std::string message;
    if (protocolTable.check(family, paramIdx, value, message) == kv4cl::Success) {
        judgeChoice();
        return;
    }
    isValid = false;
    judgement = message;
    emit validityChanged();
}

void StimulusService::remember() {
    if (chosen.protocol < 0 || chosen.protocol >= int(memory.size())) return;
    std::vector<double>& kept = memory[size_t(chosen.protocol)];
    kept.clear();
    for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
        for (uint16_t i : protocolTable.protocols[size_t(chosen.protocol)].parameters[f])
            kept.push_back(chosen.values[f][i]);
}

void StimulusService::select(int protocolIdx) {
    const int entries = int(protocolTable.protocols.size()) + (fastPulses >= 0 ? 1 : 0);
    if (protocolIdx < 0 || protocolIdx >= entries) return;
    remember();
    chosen.protocol = protocolIdx;
    if (protocolIdx < int(memory.size())) {
        const std::vector<double>& kept = memory[size_t(protocolIdx)];
        size_t k = 0;
        for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
            for (uint16_t i : protocolTable.protocols[size_t(protocolIdx)].parameters[f]) {
                if (!(locked && std::pair{Family(f), i} == vhold)) chosen.values[f][i] = kept[k];
                k++;
            }
    }
    judgeChoice();
    emit choiceChanged();
}

void StimulusService::setChoice(const Choice& choice) {
    select(choice.protocol);
    if (choice.protocol < int(memory.size()))
        for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
            for (uint16_t i : protocolTable.protocols[size_t(choice.protocol)].parameters[f])
                chosen.values[f][i] = choice.values[f][i];
    judgeChoice();
    emit choiceChanged();
}

void StimulusService::restoreDefaults() {
    chosen.values = protocolTable.defaults();
    judgeChoice();
    emit choiceChanged();
}

void StimulusService::setVholdLocked(bool on) {
    locked = on;
    QSettings().setValue(lockKey, on);
}

void StimulusService::setFastPulsesValid(bool on) {
    fastPulsesValid = on;
    judgeChoice();
}

void StimulusService::judgeChoice() {
    std::string message;
    if (chosen.protocol == fastPulses)
        isValid = fastPulsesValid;
    else
        isValid = protocolTable.judge(uint16_t(chosen.protocol), chosen.values, message) == kv4cl::Success;
    judgement = isValid ? "" : message;
    emit validityChanged();
}

void StimulusService::showRunning(ErrorCodes_t applied, int protocolIdx) {
    if (applied == kv4cl::Success) emit running(protocolIdx);
}

bool StimulusService::apply() {
    if (estimation) {
        kv4cl::selectProtocol(*estimation);
        kv4cl::setProtocolVoltage(
            0, protocolTable.measurement(vhold.first, vhold.second, value(vhold.first, 0)));
        const ErrorCodes_t applied = kv4cl::applyProtocol();
        showRunning(applied, *estimation);
        return applied == kv4cl::Success;
    }
    judgeChoice();
    if (!isValid) return false;
    uint16_t protocolIdx = uint16_t(chosen.protocol);
    // The fast-pulses editor's values reached the library as they were edited.
    if (chosen.protocol == fastPulses)
        kv4cl::getFastPulsesProtocol(protocolIdx);
    else
        protocolTable.send(chosen.values);
    kv4cl::selectProtocol(protocolIdx);
    const ErrorCodes_t applied = kv4cl::applyProtocol();
    showRunning(applied, chosen.protocol);
    return applied == kv4cl::Success;
}

void StimulusService::hold() {
    if (estimation || protocolTable.protocols.empty()) return;
    kv4cl::selectProtocol(0);
    std::string message;
    const double v = value(vhold.first, vhold.second);
    if (protocolTable.check(vhold.first, vhold.second, v, message) == kv4cl::Success &&
        protocolTable.judge(0, chosen.values, message) == kv4cl::Success)
        kv4cl::setProtocolVoltage(0, protocolTable.measurement(vhold.first, vhold.second, v));
    showRunning(kv4cl::applyProtocol(), 0);
}

void StimulusService::applyHolding(Measurement_t voltage) {
    if (estimation || protocolTable.protocols.empty() || protocolTable.parameters[vhold.first].empty())
        return;
    select(0);
    const RangedMeasurement_t& range = protocolTable.parameters[vhold.first][vhold.second].range;
    chosen.values[vhold.first][vhold.second] =
        std::clamp(voltage.converted(range.prefix).value, range.min, range.max);
    judgeChoice();
    emit choiceChanged();
    apply();
}

void StimulusService::runEstimation(uint16_t protocolIdx, const std::vector<Override>& overrides) {
    for (const Override& o : overrides)
        protocolTable.send(o.family, o.paramIdx, o.value);
    const bool started = !estimation;
    estimation = protocolIdx;
    if (started) emit estimationChanged(true);
    apply();
}

void StimulusService::endEstimation() {
    if (!estimation) return;
    estimation.reset();
    emit estimationChanged(false);
    hold();
}

void StimulusService::onStimulusRangeChanged() {
    hold();
    judgeChoice();
}

// ---- Parameter files ------------------------------------------------------------------------

QString StimulusService::protocolsFolder() {
    return QDir::homePath() + "/KAV4/Protocols/";
}

QString StimulusService::lastSessionFile() {
    return protocolsFolder() + "lastSessionParams.txt";
}

bool StimulusService::save(const QString& fileName) const {
    if (chosen.protocol < 0 || chosen.protocol >= int(protocolTable.protocols.size())) return false;
    const auto identity = deviceIdentity();
    QFile file(fileName);
    if (!identity || !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QTextStream out(&file);
    out << "Compatibility:\n"
        << "version: " << (*identity)[0] << "\n"
        << "subversion: " << (*identity)[1] << "\n"
        << "firmware: " << (*identity)[2] << "\n\n"
        << "protocol: " << chosen.protocol << "\n";
    const ProtocolTable::Protocol& protocol = protocolTable.protocols[size_t(chosen.protocol)];
    for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
        for (uint16_t i : protocol.parameters[f])
            out << protocolTable.parameters[f][i].name << ": " << chosen.values[f][i] << "\n";
    out.flush();
    return out.status() == QTextStream::Ok;
}

bool StimulusService::load(const QString& fileName, QString& error) {
    const auto identity = deviceIdentity();
    QFile file(fileName);
    if (!identity || !file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    QTextStream in(&file);
    in.readLine();
    for (const uint32_t expected : *identity) {
        uint32_t number = 0;
        if (!readNumber(in, number) || number != expected) return false;
    }
    in.readLine();
    uint32_t protocolIdx = 0;
    if (!readNumber(in, protocolIdx) || protocolIdx >= protocolTable.protocols.size()) return false;
    // Read whole before anything changes: a bad line further down leaves the choice as it was.
    Choice read{int(protocolIdx), chosen.values};
    int lineNo = 6; // the protocol line
    for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
        for (uint16_t i : protocolTable.protocols[protocolIdx].parameters[f]) {
            const QStringList fields = in.readLine().split(": ");
            lineNo++;
            bool ok = false;
            const double v = fields.size() == 2 ? fields[1].toDouble(&ok) : 0.0;
            if (!ok || !std::isfinite(v)) return false;
            const RangedMeasurement_t& range = protocolTable.parameters[f][i].range;
            if (v < range.min || v > range.max) {
                error = QString("Line %1: %2 is out of range [%3, %4]")
                            .arg(lineNo)
                            .arg(fields[1])
                            .arg(range.min)
                            .arg(range.max);
                return false;
            }
            read.values[f][i] = v;
        }
    setChoice(read);
    return true;
}

// ---- Offsets ------------------------------------------------------------------------------

bool StimulusService::checkOffset(uint16_t channelIdx, const Measurement_t& offset) {
    std::string message;
    const bool accepted = kv4cl::checkVoltageOffset(channelIdx, offset, message) == kv4cl::Success;
    emit offsetJudged(channelIdx, accepted ? QString() : QString::fromStdString(message));
    return accepted;
}

bool StimulusService::setOffset(uint16_t channelIdx, const Measurement_t& offset) {
    if (channelIdx >= offsets.size() || !checkOffset(channelIdx, offset)) return false;
    offsets[channelIdx] = offset.converted(offsetLimits.prefix);
    emit offsetChanged(channelIdx);
    if (isValid) kv4cl::setVoltageOffset(channelIdx, offsets[channelIdx]);
    return true;
}

Measurement_t StimulusService::offset(uint16_t channelIdx) const {
    return channelIdx < offsets.size() ? offsets[channelIdx]
                                       : Measurement_t{0.0, offsetLimits.prefix, offsetLimits.unit};
}

void StimulusService::startOffsetRamp(uint16_t channelIdx, const Measurement_t& initial,
                                      const Measurement_t& final, const Measurement_t& duration) {
    kv4cl::startVoltageOffsetRamp(channelIdx, initial, final, duration);
}

std::vector<Measurement_t> StimulusService::offsetsInForce() const {
    std::vector<Measurement_t> inForce;
    kv4cl::getVoltageOffsets(inForce);
    return inForce;
}
