#include "controls/allchannelscontrolsdockwidget.h"

#include "commlib/api/kv4cl.h"
#include "controls/pulsekeypressmanagers.h"
#include "widgets/steppedspinbox.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QSpinBox>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

using kv4cl::RangedMeasurement_t;
using kv4cl::Success;

namespace {

const QString powerOnIcon = ":/imgs/power on.png";
const QString channelsOffIcon = ":/imgs/warning icon.png";
const QString hideIcon = ":/imgs/hide.png";
const QString showIcon = ":/imgs/show.png";

constexpr double defaultTrainPeriod = 200.0;

} // namespace

AllChannelsControlsDockWidget::AllChannelsControlsDockWidget(QWidget* parent)
    : QDockWidget("All channels controls", parent) {
    setObjectName("allChannelsControlsDw");
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    auto* switches = new QHBoxLayout;
    layout->addLayout(switches);
    buildSwitches(switches);
    buildPulses(layout);
    layout->addStretch();
    setWidget(content);
}

QToolButton* AllChannelsControlsDockWidget::addButton(QBoxLayout* row, const QString& icon,
                                                      const QString& toolTip, bool checkable) {
    auto* button = new QToolButton;
    button->setIcon(QIcon(icon));
    button->setToolTip(toolTip);
    button->setCheckable(checkable);
    row->addWidget(button);
    return button;
}

SteppedSpinBox* AllChannelsControlsDockWidget::addSpinBox(QBoxLayout* row, const QString& label,
                                                          const RangedMeasurement_t& range) {
    auto* spinBox = new SteppedSpinBox;
    spinBox->setRange(range);
    spinBox->setSuffix(" " + QString::fromStdString(range.label()));
    auto* text = new QLabel(label);
    text->setBuddy(spinBox);
    row->addWidget(text);
    row->addWidget(spinBox);
    return spinBox;
}

void AllChannelsControlsDockWidget::buildSwitches(QBoxLayout* row) {
    QToolButton* baseline =
        addButton(row, ":/imgs/baseline.png",
                  "Switch ON/OFF Y-Axis automatic current baseline tracking on all channels", true);
    connect(baseline, &QToolButton::toggled, this, &AllChannelsControlsDockWidget::baselineTracking);

    bool bankA = false, bankB = false;
    kv4cl::hasChannelSwitches(bankA, bankB);
    if (bankB) {
        QToolButton* select =
            addButton(row, ":/imgs/select channel.png", "Apply voltage stimulus to all channels", true);
        connect(select, &QToolButton::toggled, this, &AllChannelsControlsDockWidget::selectStimulusChannel);
    }
    if (bool available = false; kv4cl::hasDigitalOffsetCompensation(available) == Success && available) {
        compensate = addButton(row, ":/imgs/digital offset compensation.png",
                               "Apply digital offset compensation to all channels", true);
        connect(compensate, &QToolButton::toggled, this,
                &AllChannelsControlsDockWidget::digitalOffsetCompensation);
    }
    if (bool available = false; kv4cl::hasZap(available) == Success && available) {
        QToolButton* zapButton = addButton(row, ":/imgs/zap.png", "Zap all channels", false);
        connect(zapButton, &QToolButton::clicked, this, &AllChannelsControlsDockWidget::zap);
    }
    if (bankA) {
        QToolButton* power =
            addButton(row, powerOnIcon,
                      "Switch all channels on/off.\nNOTE: voltage compensation is applied to "
                      "switched off\nchannels to reduce cross-talk with other channels.",
                      true);
        power->setChecked(true);
        connect(power, &QToolButton::toggled, this, [this, power](bool on) {
            power->setIcon(QIcon(on ? powerOnIcon : channelsOffIcon));
            emit switchChannelsOn(on);
        });
        QToolButton* hide =
            addButton(row, hideIcon,
                      "Show/hide switched off channels.\nWhen this button is checked switched off "
                      "channels disappear\nto make more room for switched on channels.",
                      true);
        connect(hide, &QToolButton::toggled, this, [this, hide](bool hidden) {
            hide->setIcon(QIcon(hidden ? showIcon : hideIcon));
            emit hideSwitchedOffChannels(hidden);
        });
    }
    row->addStretch();
}

void AllChannelsControlsDockWidget::showDigitalOffsetCompensation(bool on) {
    if (!compensate) return;
    const QSignalBlocker blocker(compensate);
    compensate->setChecked(on);
}

void AllChannelsControlsDockWidget::buildPulses(QBoxLayout* layout) {
    RangedMeasurement_t voltageRange, durationRange;
    if (kv4cl::getInsertionPulseControls(voltageRange, durationRange) == Success) {
        auto* row = new QHBoxLayout;
        layout->addLayout(row);
        QToolButton* pulse =
            addButton(row, ":/imgs/insertion pulse.png",
                      "Apply an insertion pulse with\namplitude VIns and duration TIns", false);
        SteppedSpinBox* voltage = addSpinBox(row, "VIns", voltageRange);
        SteppedSpinBox* duration = addSpinBox(row, "TIns", durationRange);
        connect(pulse, &QToolButton::clicked, this, [voltage, duration] {
            kv4cl::setInsertionPulse(voltage->getMeasurement(), duration->getMeasurement());
        });
        auto* keys = new InsertionPulseKeyPressManager(pulse, this);
        voltage->installEventFilter(keys);
        duration->installEventFilter(keys);
    }

    if (kv4cl::getReferencePulseControls(voltageRange, durationRange) != Success) return;
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    QToolButton* pulse = addButton(row, ":/imgs/reference pulse.png",
                                   "Apply a reference pulse with\namplitude Vref and duration Tref", false);
    SteppedSpinBox* voltage = addSpinBox(row, "Vref", voltageRange);
    SteppedSpinBox* duration = addSpinBox(row, "Tref", durationRange);
    connect(pulse, &QToolButton::clicked, this, [voltage, duration] {
        kv4cl::setReferencePulse(voltage->getMeasurement(), duration->getMeasurement());
    });
    auto* keys = new ReferencePulseKeyPressManager(pulse, this);
    voltage->installEventFilter(keys);
    duration->installEventFilter(keys);

    RangedMeasurement_t periodRange;
    uint16_t maxCount = 0;
    if (kv4cl::getReferencePulseTrainControls(periodRange, maxCount) != Success) return;
    auto* trainRow = new QHBoxLayout;
    layout->addLayout(trainRow);
    QToolButton* train =
        addButton(trainRow, ":/imgs/reference pulse.png",
                  "Apply a reference pulse train with\namplitude Vref, pulse duration Tref, pulse "
                  "period\nPref and Nref pulses",
                  false);
    SteppedSpinBox* period = addSpinBox(trainRow, "Pref", periodRange);
    period->setValue(defaultTrainPeriod);
    auto* count = new QSpinBox;
    count->setRange(1, maxCount);
    count->setValue(1);
    auto* countLabel = new QLabel("Nref");
    countLabel->setBuddy(count);
    trainRow->addWidget(countLabel);
    trainRow->addWidget(count);
    connect(train, &QToolButton::clicked, this, [train, voltage, duration, period, count] {
        // As the TTL dock does: pulses as long as their period would run into one another.
        if (!(duration->getMeasurement() < period->getMeasurement())) {
            QToolTip::showText(train->mapToGlobal(QPoint(0, train->height())),
                               "Tref must be shorter than Pref", train);
            return;
        }
        kv4cl::setReferencePulseTrain(voltage->getMeasurement(), duration->getMeasurement(),
                                      period->getMeasurement(), uint16_t(count->value()));
    });
    QToolButton* overrideButton = addButton(
        trainRow, ":/imgs/reference pulse override.png",
        "Override of the reference pulse:\n if this button is checked, \n Vref is continously applied", true);
    connect(overrideButton, &QToolButton::toggled, this, [](bool on) { kv4cl::overrideReferencePulse(on); });
}
