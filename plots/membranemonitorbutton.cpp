#include "plots/membranemonitorbutton.h"

namespace {

const QString note =
    "\nNOTE: voltage compensation is applied to switched off\nchannels to reduce cross-talk with "
    "other channels.\nNOTE: when a recording starts switched off channels are not recorded.";

} // namespace

MembraneMonitorButton::MembraneMonitorButton(int channelIdx, QWidget* parent)
    : QPushButton(parent), channelIdx(channelIdx) {
    setCheckable(true);
    setChecked(true);
    showState();
    connect(this, &QPushButton::toggled, this, &MembraneMonitorButton::onToggled);
}

void MembraneMonitorButton::showChecked(bool on) {
    const QSignalBlocker blocker(this);
    setChecked(on);
    showState();
}

void MembraneMonitorButton::onEnable(bool flag) {
    monitoring = flag;
    showState();
    emit monitorMembraneStateChanged(channelIdx, isChecked(), monitoring);
}

void MembraneMonitorButton::onToggled(bool on) {
    showState();
    emit switchChannelOn(channelIdx, on);
    emit monitorMembraneStateChanged(channelIdx, on, monitoring);
}

void MembraneMonitorButton::showState() {
    if (!isChecked()) {
        setIcon(offIcon);
        setToolTip((monitoring ? "Channel switched off. Click to restore monitoring."
                               : "Channel switched off. Click to switch channel on.") +
                   note);
    } else if (monitoring) {
        setIcon(monitoringIcon);
        setToolTip("Monitoring for membrane rupture enabled. Click to switch channel off." + note);
    } else {
        setIcon(onIcon);
        setToolTip("Channel switched on. Click to switch channel off." + note);
    }
}
