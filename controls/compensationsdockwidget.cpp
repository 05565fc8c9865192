#include "controls/compensationsdockwidget.h"

#include "acquisition/valuelabel.h"
#include "commlib/api/kv4cl.h"
#include "widgets/activationbutton.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSettings>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

using kv4cl::Measurement_t;

namespace {

const char* const knobTip = "Usage: click once to select the knob, then\n"
                            "click and hold to move freely,\n"
                            "use the mouse wheel to make fine steps,\n"
                            "hold shift to increase mouse wheel steps.\n"
                            "Alternatively use arrows for fine steps,\n"
                            "or use pag up/down to increase the step.";

QString settingsKey(int channelIdx) {
    return QString("Compensations/cFast%1").arg(channelIdx);
}

} // namespace

CompensationKnob::CompensationKnob(QWidget* parent) : QDial(parent) {
    setNotchesVisible(true);
    setWrapping(false);
    // Not by a click: the knob takes the click that selects it itself, without moving.
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(72, 72);
    setToolTip(knobTip);
    connect(this, &QAbstractSlider::valueChanged, this, [this] { emit valueChanged(scaledValue()); });
}

void CompensationKnob::setScale(double min, double max, double stepSize) {
    const double kept = scaledValue();
    lowest = min;
    step = stepSize > 0.0 ? stepSize : 1.0;
    const int steps = int(std::lround((max - min) / step));
    setRange(0, std::max(steps, 0));
    setSingleStep(1);
    setPageStep(std::max(steps / 20, 1));
    setScaledValue(kept);
}

double CompensationKnob::scaledValue() const {
    return lowest + QDial::value() * step;
}

void CompensationKnob::setScaledValue(double value) {
    if (std::isnan(value)) return;
    const double steps =
        std::clamp(std::round((value - lowest) / step), double(minimum()), double(maximum()));
    QAbstractSlider::setValue(int(steps));
}

void CompensationKnob::mousePressEvent(QMouseEvent* event) {
    // The dial would jump to the pointer: the click that selects the knob only selects it.
    if (!hasFocus()) {
        setFocus(Qt::MouseFocusReason);
        selecting = true;
        event->accept();
        return;
    }
    QDial::mousePressEvent(event);
}

void CompensationKnob::mouseMoveEvent(QMouseEvent* event) {
    if (selecting)
        event->accept();
    else
        QDial::mouseMoveEvent(event);
}

void CompensationKnob::mouseReleaseEvent(QMouseEvent* event) {
    if (selecting) {
        selecting = false;
        event->accept();
        return;
    }
    QDial::mouseReleaseEvent(event);
}

void CompensationKnob::wheelEvent(QWheelEvent* event) {
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    // Some platforms turn a wheel with shift held into a sideways one.
    const QPoint delta = event->angleDelta();
    wheelRemainder += delta.y() != 0 ? delta.y() : delta.x();
    const int notches = wheelRemainder / 120;
    wheelRemainder %= 120;
    const int stride = event->modifiers() & Qt::ShiftModifier ? pageStep() : singleStep();
    if (notches != 0) QAbstractSlider::setValue(QDial::value() + notches * stride);
    event->accept();
}

CompensationDisplay::CompensationDisplay(QWidget* parent) : LcdDisplay(parent) {
    setDigitCount(6);
    setFixedSize(96, 36);
}

void CompensationDisplay::showValue(double value) {
    if (std::isnan(value) || value == offValue) {
        shown = "OFF";
    } else if (value > maximum) {
        shown = "Err";
    } else {
        const bool negative = value < 0.0;
        shown = QString::number(std::abs(value), 'f', decimals).rightJustified(5, '0');
        if (negative) shown.prepend('-');
    }
    display(shown);
}

CompensationsGroupBox::CompensationsGroupBox(const QString& title, QWidget* parent)
    : QGroupBox(title, parent), button(new ActivationButton) {
    button->setToolTip("Activate/deactivate compensation");
    connect(button, &ActivationButton::clicked, this, &CompensationsGroupBox::activateCompensation);
}

bool CompensationsGroupBox::isChecked() const {
    return button->isChecked();
}

void CompensationsGroupBox::setChecked(bool flag) {
    const QSignalBlocker blocker(button);
    button->setChecked(flag);
}

CompensationsDockWidget::CompensationsDockWidget(QWidget* parent) : QDockWidget("Compensations", parent) {
    setObjectName("compensationsDw");
    uint32_t voltages = 0, currents = 0, gps = 0;
    kv4cl::getChannelCounts(voltages, currents, gps);
    channelsNum = int(currents);
    channelCombo = new QComboBox;
    for (int ch = 0; ch < channelsNum; ch++)
        channelCombo->addItem(QString("Ch. %1").arg(ch + 1));
    channelCombo->addItem("All Ch.");
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(channelCombo);
    setWidget(content);

    available = kv4cl::getCFastControl(control) == kv4cl::Success;
    if (available) {
        group = new CompensationsGroupBox("CFast");
        knob = new CompensationKnob;
        display = new CompensationDisplay;
        unitLabel = new QLabel;
        // One row, so that the docks below keep their room on small screens.
        auto* row = new QHBoxLayout(group);
        row->addWidget(group->checkButton());
        row->addWidget(knob);
        row->addWidget(display);
        row->addWidget(unitLabel);
        layout->addWidget(group);
        refusalLabel = new QLabel;
        refusalLabel->setObjectName("cFastRefusalLabel");
        refusalLabel->setWordWrap(true);
        refusalLabel->setStyleSheet(
            "QLabel { background-color : rgb(255, 255, 128); color : rgb(255, 0, 0) }");
        refusalLabel->hide();
        layout->addWidget(refusalLabel);
        configure();

        QSettings settings;
        values.resize(size_t(channelsNum));
        active.assign(size_t(channelsNum), 0);
        for (int ch = 0; ch < channelsNum; ch++) {
            // The settings file may have been edited: what the control cannot take is not sent.
            bool number = false;
            const double stored = settings.value(settingsKey(ch), control.defaultValue).toDouble(&number);
            values[size_t(ch)] = number && std::isfinite(stored)
                                     ? std::clamp(stored, control.range.min, control.range.max)
                                     : control.defaultValue;
            kv4cl::selectCompensationChannel(uint16_t(ch));
            kv4cl::setCFast({values[size_t(ch)], control.range.prefix, control.range.unit}, false);
        }
        connect(knob, qOverload<double>(&CompensationKnob::valueChanged), this,
                &CompensationsDockWidget::apply);
        connect(group, &CompensationsGroupBox::activateCompensation, this, &CompensationsDockWidget::apply);
    }
    layout->addStretch();
    connect(channelCombo, &QComboBox::currentIndexChanged, this, &CompensationsDockWidget::onChannelSelected);
    onChannelSelected(0);
}

void CompensationsDockWidget::configure() {
    knob->setScale(control.range.min, control.range.max, control.range.step);
    display->setMaximum(control.range.max);
    display->setDecimals(control.decimals);
    // Below the range: never a value the knob can take.
    display->setOffValue(control.range.min - control.range.step);
    unitLabel->setText(QString::fromStdString(control.range.label()));
}

void CompensationsDockWidget::onChannelSelected(int channelIdx) {
    if (channelIdx < 0 || channelIdx > channelsNum) return;
    selected = channelIdx;
    if (channelCombo->currentIndex() != channelIdx) {
        const QSignalBlocker blocker(channelCombo);
        channelCombo->setCurrentIndex(channelIdx);
    }
    kv4cl::selectCompensationChannel(uint16_t(channelIdx));
    if (!available) return;
    const bool all = channelIdx == channelsNum;
    const QSignalBlocker blocker(knob);
    group->setChecked(!all && active[size_t(channelIdx)]);
    knob->setScaledValue(all ? control.defaultValue : values[size_t(channelIdx)]);
    showSelected();
}

void CompensationsDockWidget::showSelected() {
    display->showValue(group->isChecked() ? knob->scaledValue() : control.range.min - control.range.step);
}

void CompensationsDockWidget::apply() {
    const double value = knob->scaledValue();
    const bool on = group->isChecked();
    // An estimate may have pointed the library at another channel since.
    kv4cl::selectCompensationChannel(uint16_t(selected));
    kv4cl::setCFast({value, control.range.prefix, control.range.unit}, on);
    QSettings settings;
    for (int ch = 0; ch < channelsNum; ch++) {
        if (ch != selected && selected != channelsNum) continue;
        values[size_t(ch)] = value;
        active[size_t(ch)] = on;
        settings.setValue(settingsKey(ch), value);
        refusals.erase(ch);
    }
    showSelected();
    showRefusals();
}

void CompensationsDockWidget::showRefusals() {
    const auto label = [&](double v) { return valueLabel({v, control.range.prefix, control.range.unit}); };
    QStringList channels;
    for (const auto& [ch, value] : refusals)
        channels << QString("Ch. %1 %2 %3")
                        .arg(ch + 1)
                        .arg(QString::number(value, 'f', control.decimals),
                             QString::fromStdString(control.range.label()));
    // One sentence however many are left out: applied to all channels, all may be.
    refusalLabel->setText(QString("Outside the CFast range (%1 to %2): ")
                              .arg(label(control.range.min), label(control.range.max)) +
                          channels.join(", "));
    refusalLabel->setVisible(!channels.isEmpty());
}

void CompensationsDockWidget::onCompensateCFast(int channelIdx, Measurement_t cp) {
    if (!available || channelIdx < 0 || channelIdx >= channelsNum) return;
    onChannelSelected(channelIdx);
    const double value = cp.converted(control.range.prefix).value +
                         (active[size_t(channelIdx)] ? values[size_t(channelIdx)] : 0.0);
    if (std::isnan(value)) return;
    if (value < control.range.min || value > control.range.max) {
        refusals[channelIdx] = value;
        showRefusals();
        return;
    }
    {
        const QSignalBlocker blocker(knob);
        knob->setScaledValue(value);
    }
    group->setChecked(true);
    apply();
}

void CompensationsDockWidget::onConfigurationChanged() {
    if (!available || kv4cl::getCFastControl(control) != kv4cl::Success) return;
    const QSignalBlocker blocker(knob);
    configure();
    showSelected();
}

void CompensationsDockWidget::onRecording(bool flag) {
    kv4cl::CompensationControl_t now;
    if (!flag || !available || kv4cl::getCFastControl(now) != kv4cl::Success) return;
    const auto label = [&](int ch) {
        return valueLabel({values[size_t(ch)], now.range.prefix, now.range.unit}, 5);
    };
    QString text = "Cp\n";
    if (channelsNum == 1) {
        text += active[0] ? " " + label(0) : QString(" off");
    } else {
        for (int ch = 0; ch < channelsNum; ch++)
            text += active[size_t(ch)] ? QString(" c%1 ").arg(ch + 1) + label(ch)
                                       : QString(" c%1 off").arg(ch + 1);
    }
    emit markTagTime(0);
    emit saveTagString(text);
}
