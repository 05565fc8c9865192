#pragma once
// The voltage stimulus of the connected device, for every part that drives it (the stimulus
// and offsets docks, the RC estimation, the voltage controller): the library's protocol table,
// the value chosen for each parameter, their judgement by the library, applying and holding,
// the estimations' turns, the parameter files, and the voltage offsets.
//
// Values are judged as they are set without reaching the device: parameters are sent when a
// protocol is applied, Vhold when the stimulus is held. Lives in the thread that made it.

#include "commlib/types/kv4cltypes.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Version, subversion and firmware of the first connected device: parameter files are valid
// only for devices of that identity.
std::optional<std::array<uint32_t, 3>> deviceIdentity();

// The protocols and their parameters as the library lists them, read once.
struct ProtocolTable {
    // The parameter groups in the order the library and the files list them.
    enum Family { Voltages, Times, Slopes, Frequencies, Adimensionals, FamiliesNum };
    struct Parameter {
        QString name;
        kv4cl::RangedMeasurement_t range;
        double defaultValue; // in the range's prefix
    };
    struct Protocol {
        QString name;
        QString image;
        std::array<std::vector<uint16_t>, FamiliesNum> parameters; // indices into `parameters`
    };
    // A value per parameter of each family, in the range's prefix.
    using Values = std::array<std::vector<double>, FamiliesNum>;

    static ProtocolTable read();

    Values defaults() const;
    kv4cl::Measurement_t measurement(Family family, uint16_t paramIdx, double value) const;
    // The library's judgement of one value, and of a protocol with these values.
    kv4cl::ErrorCodes_t check(Family family, uint16_t paramIdx, double value, std::string& message) const;
    kv4cl::ErrorCodes_t judge(uint16_t protocolIdx, const Values& values, std::string& message) const;
    // Sends values to the library, which keeps them for the next protocol applied.
    void send(const Values& values) const;
    void send(Family family, uint16_t paramIdx, double value) const;

    std::vector<Protocol> protocols;
    std::array<std::vector<Parameter>, FamiliesNum> parameters;
};

class StimulusService : public QObject {
    Q_OBJECT

  public:
    using Family = ProtocolTable::Family;
    using Values = ProtocolTable::Values;
    // A value an estimation runs with instead of the library's.
    struct Override {
        Family family;
        uint16_t paramIdx;
        double value; // in the range's prefix
    };
    // What is chosen: a protocol and the values of every parameter.
    struct Choice {
        int protocol = 0;
        Values values;
    };

    explicit StimulusService(QObject* parent = nullptr);

    const ProtocolTable& table() const { return protocolTable; }
    // The library's fast-pulses protocol, listed after the table's; -1 on models without it.
    int fastPulsesEntry() const { return fastPulses; }

    const Choice& choice() const { return chosen; }
    double value(Family family, uint16_t paramIdx) const { return chosen.values[family][paramIdx]; }
    // Judged at once, the value's own limits first; not sent.
    void setValue(Family family, uint16_t paramIdx, double value);
    // Unless Vhold is locked, each protocol comes back with the values it was left with.
    void select(int protocolIdx);
    void setChoice(const Choice& choice);
    void restoreDefaults();
    void setVholdLocked(bool locked);
    bool vholdLocked() const { return locked; }
    // The fast-pulses editor judges its own waveforms.
    void setFastPulsesValid(bool valid);

    // The judgement of the choice: false, with the library's message, while it refuses it.
    bool valid() const { return isValid; }
    QString message() const { return QString::fromStdString(judgement); }

    // The protocol chosen, unless refused; during an estimation, the estimation's again.
    bool apply();
    // The holding protocol at the Vhold chosen; a Vhold refused is not sent, and the device
    // holds the voltage it has. Nothing during an estimation.
    void hold();
    // The holding protocol chosen at `vhold` and applied; nothing during an estimation.
    void applyHolding(kv4cl::Measurement_t vhold);
    // An estimation takes the stimulus: its protocol runs with the values it gives (the
    // others as the library has them) and the Vhold chosen until it ends, which holds again.
    void runEstimation(uint16_t protocolIdx, const std::vector<Override>& overrides);
    void endEstimation();
    bool estimating() const { return estimation.has_value(); }
    // The stimulus range changed: the library judges the values against it; the device holds.
    void onStimulusRangeChanged();

    // The parameter file of the protocol chosen. False when it cannot be written, or read, or
    // was saved for another device; a file is taken whole or not at all, and `error` tells,
    // where it can, which line is at fault.
    bool save(const QString& fileName) const;
    bool load(const QString& fileName, QString& error);
    static QString protocolsFolder();
    // The file kept from one session to the next.
    static QString lastSessionFile();

    // One voltage offset per current channel, added to its stimulus (models with offsets).
    bool hasOffsets() const { return !offsets.empty(); }
    const kv4cl::RangedMeasurement_t& offsetRange() const { return offsetLimits; }
    const kv4cl::RangedMeasurement_t& rampDurationRange() const { return rampLimits; }
    uint16_t offsetChannels() const { return uint16_t(offsets.size()); }
    // The library's judgement of an offset, told through offsetJudged.
    bool checkOffset(uint16_t channelIdx, const kv4cl::Measurement_t& offset);
    // Kept and sent, while the protocol parameters are valid, unless the library refuses it.
    // False when refused, or for a channel that does not exist.
    bool setOffset(uint16_t channelIdx, const kv4cl::Measurement_t& offset);
    kv4cl::Measurement_t offset(uint16_t channelIdx) const;
    void startOffsetRamp(uint16_t channelIdx, const kv4cl::Measurement_t& initial,
                         const kv4cl::Measurement_t& final, const kv4cl::Measurement_t& duration);
    // What the amplifier reports in force.
    std::vector<kv4cl::Measurement_t> offsetsInForce() const;

  signals:
    // The choice changed other than by setValue: the protocol, or several values.
    void choiceChanged();
    void validityChanged();
    // The amplifier took the protocol of that entry.
    void running(int protocolIdx);
    void estimationChanged(bool running);
    // `refusal` is empty when the offset is accepted.
    void offsetJudged(uint16_t channelIdx, const QString& refusal);
    void offsetChanged(uint16_t channelIdx);

  private:
    void judgeChoice();
    void showRunning(kv4cl::ErrorCodes_t applied, int protocolIdx);
    // The values of the protocol chosen, kept to come back with it.
    void remember();

    ProtocolTable protocolTable;
    int fastPulses = -1;
    bool fastPulsesValid = true;
    Choice chosen;
    std::vector<std::vector<double>> memory; // per protocol, its parameters in the table's order
    bool locked = true;
    bool isValid = true;
    std::string judgement;
    std::optional<uint16_t> estimation;

    kv4cl::RangedMeasurement_t offsetLimits;
    kv4cl::RangedMeasurement_t rampLimits;
    std::vector<kv4cl::Measurement_t> offsets;
};
