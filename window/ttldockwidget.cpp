#include "window/ttldockwidget.h"

#include "commlib/api/kv4cl.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>
#include <cmath>

using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;
using kv4cl::UnitPfx_t;

namespace {

// A box showing values in `prefix` (the unit its label names), bounded and stepped by `range`.
QDoubleSpinBox* spinBox(const QString& name, const RangedMeasurement_t& range, UnitPfx_t prefix,
                        double value) {
    auto* box = new QDoubleSpinBox;
    box->setObjectName(name);
    const double factor = kv4cl::prefixFactor(range.prefix, prefix);
    const double step = range.step * factor;
    box->setDecimals(std::max(0, int(std::ceil(-std::log10(step) - 1e-9))));
    box->setRange(range.min * factor, range.max * factor);
    box->setSingleStep(step);
    box->setValue(value);
    return box;
}

} // namespace

TtlDockWidget::TtlDockWidget(QWidget* parent) : QDockWidget("TTL", parent) {
    setObjectName("ttlDw");
    setFloating(true);
    RangedMeasurement_t duration, period, delay;
    uint16_t maxPulses = 1;
    kv4cl::getTtlOutputControls(duration, period, delay, maxPulses);
    durationSpinBox = spinBox("durationSpinBox", duration, kv4cl::UnitPfxMicro, 100.0);
    periodSpinBox = spinBox("periodSpinBox", period, kv4cl::UnitPfxMilli, 10.0);
    delaySpinBox = spinBox("delaySpinBox", delay, kv4cl::UnitPfxMicro, 0.0);
    pulsesSpinBox = new QSpinBox;
    pulsesSpinBox->setObjectName("pulsesSpinBox");
    pulsesSpinBox->setRange(1, std::max<int>(1, maxPulses));
    startButton = new QPushButton("Start");
    statusLine = new QLabel;
    statusLine->setObjectName("statusLine");
    // Room for a reason from the start, wrapped within the fields' width: a floating dock that
    // grew with its message would move its Start button away from the pointer.
    statusLine->setWordWrap(true);
    statusLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    statusLine->setFixedHeight(2 * statusLine->fontMetrics().lineSpacing());

    auto* content = new QWidget;
    auto* layout = new QFormLayout(content);
    layout->addRow("Duration [us]", durationSpinBox);
    layout->addRow("Period [ms]", periodSpinBox);
    layout->addRow("Delay [us]", delaySpinBox);
    layout->addRow("Pulses", pulsesSpinBox);
    layout->addRow(startButton);
    layout->addRow(statusLine);
    setWidget(content);
    connect(startButton, &QPushButton::clicked, this, &TtlDockWidget::start);
}

void TtlDockWidget::start() {
    const Measurement_t duration{durationSpinBox->value(), kv4cl::UnitPfxMicro, "s"};
    const Measurement_t period{periodSpinBox->value(), kv4cl::UnitPfxMilli, "s"};
    if (!(duration < period)) {
        statusLine->setText("The duration must be shorter than the period");
        return;
    }
    const kv4cl::ErrorCodes_t result =
        kv4cl::startTtlPulses(duration, period, {delaySpinBox->value(), kv4cl::UnitPfxMicro, "s"},
                              uint16_t(pulsesSpinBox->value()));
    statusLine->setText(result == kv4cl::Success ? QString() : QString(kv4cl::errorMessage(result)));
}
