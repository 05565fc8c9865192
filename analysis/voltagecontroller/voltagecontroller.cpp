#include "analysis/voltagecontroller/voltagecontroller.h"

#include <cmath>

using kv4cl::Measurement_t;

VoltageController::VoltageController(int currentChannels, QObject* parent) : QObject(parent) {
    for (int c = 0; c < currentChannels; c++) {
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        connect(timer.get(), &QTimer::timeout, this, [this, c] { restoreChannel(c); });
        channelTimers.push_back(std::move(timer));
    }
    rememberedOffsets.assign(size_t(currentChannels), {0.0, kv4cl::UnitPfxMilli, "V"});
    protocolTimer.setSingleShot(true);
    connect(&protocolTimer, &QTimer::timeout, this, &VoltageController::restoreProtocol);
}

void VoltageController::setRestore(bool on, int ms) {
    restore = on;
    restoreMs = ms;
}

void VoltageController::onResult(VoltageAutomaticControllerConsumer::Result_t res) {
    const Rule& rule = res.high ? highRule : lowRule;
    if (!stimulus || !rule.enabled || res.channel < 0 || res.channel >= int(channelTimers.size())) return;
    if (stimulus->hasOffsets()) {
        QTimer* timer = channelTimers[size_t(res.channel)].get();
        if (restore && !timer->isActive()) {
            rememberedOffsets[size_t(res.channel)] = stimulus->offset(uint16_t(res.channel));
            timer->start(restoreMs);
        }
        stimulus->setOffset(uint16_t(res.channel), rule.voltage);
        emit labbookEvent(
            new LabbookEventVoltageController(res.channel + 1, rule.cause + ": applied", rule.voltage));
        return;
    }
    // The protocol kept is the one running before the first action, not a voltage applied.
    if (!protocolTimer.isActive()) {
        keptChoice = stimulus->choice();
        if (restore) {
            protocolTimer.start(restoreMs);
            protocolChannel = res.channel;
        }
    }
    stimulus->applyHolding(rule.voltage);
    emit labbookEvent(new LabbookEventVoltageController(
        res.channel + 1, rule.cause + ": applied to every channel", rule.voltage));
}

void VoltageController::restoreChannel(int channelIdx) {
    if (!stimulus) return;
    const Measurement_t offset = rememberedOffsets[size_t(channelIdx)];
    stimulus->setOffset(uint16_t(channelIdx), offset);
    emit labbookEvent(new LabbookEventVoltageController(channelIdx + 1, "Restored", offset));
}

void VoltageController::restoreProtocol() {
    if (!stimulus) return;
    stimulus->setChoice(keptChoice);
    stimulus->apply();
    emit labbookEvent(new LabbookEventVoltageController(protocolChannel + 1, "Protocol restored",
                                                        {std::nan(""), kv4cl::UnitPfxMilli, "V"}));
}
