#pragma once
// The voltage automatic controller's rule, acting on what its worker reports: the rule that
// fired applies its voltage to the channel that fired as its voltage offset where the model
// has offsets, else to every channel as the holding protocol; optionally what was there before
// comes back after the restore time. Every action and every restore goes to the lab book.

#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"
#include "recording/labbookevent.h"
#include "session/stimulusservice.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <vector>

class VoltageController : public QObject {
    Q_OBJECT

  public:
    struct Rule {
        bool enabled = false;
        kv4cl::Measurement_t voltage{0.0, kv4cl::UnitPfxMilli, "V"};
        QString cause; // as the lab book tells it: "I > 100.000 pA for 10 ms"
    };

    explicit VoltageController(int currentChannels, QObject* parent = nullptr);

    // What carries the voltages out; none, and nothing is done.
    void setStimulus(StimulusService* service) { stimulus = service; }

    void setRule(bool high, const Rule& rule) { (high ? highRule : lowRule) = rule; }
    // After `ms`, what a rule replaced comes back; not when `on` is false.
    void setRestore(bool on, int ms);

  signals:
    // Ownership of the event passes with the signal.
    void labbookEvent(LabbookEvent* event);

  public slots:
    void onResult(VoltageAutomaticControllerConsumer::Result_t res);

  private:
    void restoreChannel(int channelIdx);
    void restoreProtocol();

    QPointer<StimulusService> stimulus;
    Rule highRule;
    Rule lowRule;
    bool restore = false;
    int restoreMs = 100;
    std::vector<std::unique_ptr<QTimer>> channelTimers; // per current channel, restoring its offset
    std::vector<kv4cl::Measurement_t> rememberedOffsets;
    QTimer protocolTimer;
    StimulusService::Choice keptChoice; // what ran before the first action the timer undoes
    int protocolChannel = 0;            // whose rule replaced the protocol that the timer restores
};
