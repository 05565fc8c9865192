#include "analysis/voltagecontroller/voltageautomaticcontrollerwidget.h"

#include "analysis/framework/analysis.h"
#include "analysis/framework/currentlimitbox.h"
#include "analysis/voltagecontroller/voltagecontroller.h"
#include "widgets/steppedspinbox.h"

#include "commlib/api/kv4cl.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

namespace {

// What an unchecked rule sends: never reached, so that it cannot hold a channel off.
constexpr double unreachable = 1e9; // A

const RangedMeasurement_t durationRange{0.0, 10000.0, 1.0, kv4cl::UnitPfxMilli, "s"};
const RangedMeasurement_t restoreRange{1.0, 10000.0, 1.0, kv4cl::UnitPfxMilli, "s"};

} // namespace

// Every channel or the one chosen in its own box: the consumer runs as a whole.
VoltageAutomaticControllerWidget::VoltageAutomaticControllerWidget(const ChannelCounts& channels,
                                                                   QWidget* parent)
    : AnalysisWidget(channels, int(channels.current), {}, parent),
      controller(new VoltageController(currentChannelsNum, this)) {
    connect(controller, &VoltageController::labbookEvent, this, &AnalysisWidget::labbookEvent);
    analysisTitle = "Voltage auto controller";
    setWindowTitle(analysisTitle);

    QWidget* frame = plotFrame();
    auto* layout = static_cast<QVBoxLayout*>(frame->layout());
    auto* channelRow = new QHBoxLayout;
    auto* channelLabel = new QLabel("Channel", frame);
    channel = new QComboBox(frame);
    channel->addItem("all");
    for (int c = 0; c < currentChannelsNum; c++)
        channel->addItem(QString::number(c + 1));
    channelLabel->setBuddy(channel);
    channelRow->addWidget(channelLabel);
    channelRow->addWidget(channel);
    channelRow->addStretch();
    layout->addLayout(channelRow);

    auto* parameters = new QGroupBox("Parameters", frame);
    auto* grid = new QGridLayout(parameters);
    high = makeRule("If I >", true);
    low = makeRule("If I <", false);
    int row = 0;
    for (const Rule* rule : {&high, &low}) {
        grid->addWidget(rule->check, row, 0);
        grid->addWidget(rule->current, row, 1);
        grid->addWidget(new QLabel("for t >", parameters), row, 2);
        grid->addWidget(rule->time, row, 3);
        grid->addWidget(new QLabel("ms, apply", parameters), row, 4);
        grid->addWidget(rule->voltage, row, 5);
        grid->addWidget(new QLabel("mV", parameters), row, 6);
        row++;
    }
    restore = new QCheckBox("Restore protocol after", parameters);
    restoreTime = new SteppedSpinBox(parameters);
    restoreTime->setRange(restoreRange);
    restoreTime->setValue(100.0);
    grid->addWidget(restore, row, 0, 1, 3);
    grid->addWidget(restoreTime, row, 3);
    grid->addWidget(new QLabel("ms", parameters), row, 4);
    layout->addWidget(parameters);
    layout->addStretch();
    showCurrentRange();
    if (!currentRanges.empty()) high.current->setValue(currentRanges.front().max * 0.5);

    connect(channel, &QComboBox::currentIndexChanged, this, [this](int index) {
        showCurrentRange();
        // "all" is the channel count.
        emit channelChanged(index == 0 ? currentChannelsNum : index - 1);
    });
    connect(restoreTime, &SteppedSpinBox::valueChanged, this, [this] {
        emit resetTimeChanged(restoreTime->getMeasurement());
        sendRules();
    });
    connect(restore, &QCheckBox::toggled, this, &VoltageAutomaticControllerWidget::sendRules);
    sendRules();
}

VoltageAutomaticControllerWidget::Rule VoltageAutomaticControllerWidget::makeRule(const QString& text,
                                                                                  bool isHigh) {
    QWidget* frame = plotFrame();
    Rule rule{new QCheckBox(text, frame), new CurrentLimitBox(frame), new SteppedSpinBox(frame),
              new SteppedSpinBox(frame)};
    rule.time->setRange(durationRange);
    rule.time->setValue(10.0);
    RangedMeasurement_t voltage{-1000.0, 1000.0, 1.0, kv4cl::UnitPfxMilli, "V"};
    if (kv4cl::RangedMeasurement_t stimulus; kv4cl::getVoltageRange(stimulus) == kv4cl::Success) {
        const RangedMeasurement_t mV = stimulus.converted(kv4cl::UnitPfxMilli);
        voltage = {std::ceil(mV.min), std::floor(mV.max), 1.0, kv4cl::UnitPfxMilli, "V"};
    }
    rule.voltage->setRange(voltage);
    rule.voltage->setValue(0.0);
    connect(rule.check, &QCheckBox::toggled, this, [this, isHigh] { sendCurrent(isHigh); });
    connect(rule.current, &QDoubleSpinBox::valueChanged, this, [this, isHigh] { sendCurrent(isHigh); });
    connect(rule.time, &SteppedSpinBox::valueChanged, this, [this, isHigh] {
        const Rule& r = isHigh ? high : low;
        isHigh ? emit highDurationChanged(r.time->getMeasurement())
               : emit lowDurationChanged(r.time->getMeasurement());
        sendRules();
    });
    connect(rule.voltage, &SteppedSpinBox::valueChanged, this, &VoltageAutomaticControllerWidget::sendRules);
    return rule;
}

void VoltageAutomaticControllerWidget::setConsumer(VoltageAutomaticControllerConsumer* controller) {
    AnalysisWidget::setConsumer(controller);
    receive(controller, [rule = this->controller](const VoltageAutomaticControllerConsumer::Result_t& res) {
        rule->onResult(res);
    });
    connect(this, &VoltageAutomaticControllerWidget::channelChanged, controller,
            &VoltageAutomaticControllerConsumer::onChannelChanged);
    connect(this, &VoltageAutomaticControllerWidget::highCurrentChanged, controller,
            &VoltageAutomaticControllerConsumer::onHighThCurrentChanged);
    connect(this, &VoltageAutomaticControllerWidget::highDurationChanged, controller,
            &VoltageAutomaticControllerConsumer::onHighThDurationChanged);
    connect(this, &VoltageAutomaticControllerWidget::lowCurrentChanged, controller,
            &VoltageAutomaticControllerConsumer::onLowThCurrentChanged);
    connect(this, &VoltageAutomaticControllerWidget::lowDurationChanged, controller,
            &VoltageAutomaticControllerConsumer::onLowThDurationChanged);
    connect(this, &VoltageAutomaticControllerWidget::resetTimeChanged, controller,
            &VoltageAutomaticControllerConsumer::onResetTimeChanged);
    sendAll();
}

void VoltageAutomaticControllerWidget::setStimulus(StimulusService* stimulus) {
    controller->setStimulus(stimulus);
}

void VoltageAutomaticControllerWidget::sendAll() {
    emit channelChanged(channel->currentIndex() == 0 ? currentChannelsNum : channel->currentIndex() - 1);
    sendCurrent(true);
    sendCurrent(false);
    emit highDurationChanged(high.time->getMeasurement());
    emit lowDurationChanged(low.time->getMeasurement());
    emit resetTimeChanged(restoreTime->getMeasurement());
}

void VoltageAutomaticControllerWidget::sendCurrent(bool isHigh) {
    const Rule& rule = isHigh ? high : low;
    const Measurement_t value =
        rule.check->isChecked() ? rule.current->measurement()
                                : Measurement_t{isHigh ? unreachable : -unreachable, kv4cl::UnitPfxNone, "A"};
    isHigh ? emit highCurrentChanged(value) : emit lowCurrentChanged(value);
    sendRules();
}

void VoltageAutomaticControllerWidget::sendRules() {
    for (const bool isHigh : {true, false}) {
        const Rule& rule = isHigh ? high : low;
        const QString cause = QString("I %1 %2 for %3 ms")
                                  .arg(isHigh ? ">" : "<", rule.current->text(), rule.time->cleanText());
        controller->setRule(isHigh, {rule.check->isChecked(), rule.voltage->getMeasurement(), cause});
    }
    controller->setRestore(restore->isChecked(), int(std::round(restoreTime->value())));
}

void VoltageAutomaticControllerWidget::onCurrentRangeChanged(RangedMeasurement_t range, int channelIdx) {
    AnalysisWidget::onCurrentRangeChanged(range, channelIdx);
    const int shown = std::max(channel->currentIndex() - 1, 0);
    if (channelIdx == shown || channelIdx == currentChannelsNum) showCurrentRange();
}

void VoltageAutomaticControllerWidget::showCurrentRange() {
    const size_t shown = size_t(std::max(channel->currentIndex() - 1, 0));
    if (shown >= currentRanges.size()) return;
    const RangedMeasurement_t& range = currentRanges[shown];
    for (Rule* rule : {&high, &low}) {
        const QSignalBlocker blocker(rule->current);
        rule->current->setRange(range);
        rule->current->setSuffix(" " + QString::fromStdString(range.label()));
    }
    sendCurrent(true);
    sendCurrent(false);
}

Analysis voltageControllerAnalysis() {
    return analysisOf<VoltageAutomaticControllerConsumer, VoltageAutomaticControllerWidget>(
        {.key = "voltageAutomaticController",
         .title = "Voltage Automatic Controller",
         .placement = AnalysisPlacement::Floating,
         .filterLabel = "Voltage automatic control",
         .filterKey = "VoltageAutomaticControl"});
}
