#include "controls/voltageoffsetdockwidget.h"

#include "commlib/api/kv4cl.h"
#include "controls/protocoldockwidget.h"
#include "widgets/steppedspinbox.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

namespace {

constexpr int refreshMs = 500;

QString channelName(int channelIdx) {
    return QString("Ch.%1").arg(channelIdx + 1);
}

SteppedSpinBox* spinBox(const RangedMeasurement_t& range) {
    auto* box = new SteppedSpinBox;
    box->setRange(range);
    box->setSuffix(" " + QString::fromStdString(range.label()));
    return box;
}

// A tab of one row per channel under a header row; scrolls when the channels do not fit.
QWidget* scrolled(QWidget* rows) {
    auto* area = new QScrollArea;
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    // The keyboard goes from box to box; the wheel still scrolls.
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(rows);
    return area;
}

void addHeader(QGridLayout* grid, const QStringList& titles) {
    for (int i = 0; i < titles.size(); i++)
        grid->addWidget(new QLabel(titles[i]), 0, i + 1);
}

} // namespace

VoltageOffsetDockWidget::VoltageOffsetDockWidget(ProtocolDockWidget* protocolDock, QWidget* parent)
    : QDockWidget("Voltage offsets", parent), protocolDock(protocolDock) {
    setObjectName("voltageOffsetDw");
    RangedMeasurement_t durationRange;
    kv4cl::getVoltageOffsetControls(range, durationRange);
    auto* tabs = new QTabWidget;
    tabs->addTab(buildConstantTab(), "Constant");
    tabs->addTab(buildRampTab(durationRange), "Ramp");
    // Above the rows, which scroll: a refusal shows beside the box being typed in, whichever.
    messageLabel = new QLabel;
    messageLabel->setObjectName("offsetMessageLabel");
    messageLabel->setStyleSheet("QLabel { background-color : rgb(255, 255, 128); color : rgb(255, 0, 0) }");
    messageLabel->hide();
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(messageLabel);
    layout->addWidget(tabs, 1);
    setWidget(content);
    // The amplifier keeps the offsets of an earlier connection, which the boxes do not show: it
    // starts from the boxes' values instead, so that the two never disagree.
    kv4cl::setVoltageOffset(uint16_t(manual.size()), Measurement_t{0.0, range.prefix, range.unit});

    auto* timer = new QTimer(this);
    timer->setInterval(refreshMs);
    connect(timer, &QTimer::timeout, this, &VoltageOffsetDockWidget::refresh);
    timer->start();
}

VoltageOffsetDockWidget::~VoltageOffsetDockWidget() {
    // Closing moves the focus, which ends an edit in progress after this part of the dock is
    // gone: nothing is judged or sent from here on.
    for (SteppedSpinBox* box : manual)
        box->disconnect(this);
}

QWidget* VoltageOffsetDockWidget::buildConstantTab() {
    uint32_t voltageChannels = 0, currentChannels = 0, gpChannels = 0;
    kv4cl::getChannelCounts(voltageChannels, currentChannels, gpChannels);
    auto* rows = new QWidget;
    auto* grid = new QGridLayout(rows);
    addHeader(grid, {"manual", "auto"});
    for (uint16_t ch = 0; ch < currentChannels; ch++) {
        auto* label = new QLabel(channelName(ch));
        SteppedSpinBox* box = spinBox(range);
        box->setValue(0.0);
        label->setBuddy(box);
        auto* force = new QLabel;
        grid->addWidget(label, ch + 1, 0);
        grid->addWidget(box, ch + 1, 1);
        grid->addWidget(force, ch + 1, 2);
        manual.push_back(box);
        inForce.push_back(force);
        refused.push_back(false);
        connect(box, &SteppedSpinBox::valueChanged, this, [this, ch] { checkShown(ch); });
        connect(box, &SteppedSpinBox::editingFinished, this, [this, ch] { send(ch); });
    }
    grid->setRowStretch(currentChannels + 1, 1);
    return scrolled(rows);
}

QWidget* VoltageOffsetDockWidget::buildRampTab(const RangedMeasurement_t& durationRange) {
    auto* rows = new QWidget;
    auto* grid = new QGridLayout(rows);
    addHeader(grid, {"initial voltage", "final voltage", "duration"});
    for (uint16_t ch = 0; ch < manual.size(); ch++) {
        auto* label = new QLabel(channelName(ch));
        SteppedSpinBox* initial = spinBox(range);
        SteppedSpinBox* final = spinBox(range);
        SteppedSpinBox* duration = spinBox(durationRange);
        label->setBuddy(initial);
        auto* start = new QPushButton("Start");
        grid->addWidget(label, ch + 1, 0);
        grid->addWidget(initial, ch + 1, 1);
        grid->addWidget(final, ch + 1, 2);
        grid->addWidget(duration, ch + 1, 3);
        grid->addWidget(start, ch + 1, 4);
        connect(start, &QPushButton::clicked, this, [ch, initial, final, duration] {
            kv4cl::startVoltageOffsetRamp(ch, initial->getMeasurement(), final->getMeasurement(),
                                          duration->getMeasurement());
        });
    }
    grid->setRowStretch(int(manual.size()) + 1, 1);
    return scrolled(rows);
}

bool VoltageOffsetDockWidget::check(uint16_t channelIdx, const Measurement_t& offset) {
    std::string message;
    const bool accepted = kv4cl::checkVoltageOffset(channelIdx, offset, message) == kv4cl::Success;
    messageLabel->setText(channelName(channelIdx) + ": " + QString::fromStdString(message));
    messageLabel->setVisible(!accepted);
    return accepted;
}

void VoltageOffsetDockWidget::checkShown(uint16_t channelIdx) {
    refused[channelIdx] = !check(channelIdx, manual[channelIdx]->getMeasurement());
}

void VoltageOffsetDockWidget::send(uint16_t channelIdx) {
    if (!refused[channelIdx] && protocolDock && protocolDock->parametersValid())
        kv4cl::setVoltageOffset(channelIdx, manual[channelIdx]->getMeasurement());
}

bool VoltageOffsetDockWidget::setOffset(uint16_t channelIdx, Measurement_t offset) {
    if (channelIdx >= manual.size()) return false;
    // Judged as asked: the box would clamp a value out of range into one that passes.
    if (!check(channelIdx, offset)) return true;
    SteppedSpinBox* box = manual[channelIdx];
    {
        const QSignalBlocker quiet(box);
        box->setValue(offset.converted(range.prefix).value);
    }
    refused[channelIdx] = false;
    send(channelIdx);
    return true;
}

Measurement_t VoltageOffsetDockWidget::offset(uint16_t channelIdx) const {
    return channelIdx < manual.size() ? manual[channelIdx]->getMeasurement()
                                      : Measurement_t{0.0, range.prefix, range.unit};
}

void VoltageOffsetDockWidget::refresh() {
    std::vector<Measurement_t> offsets;
    if (kv4cl::getVoltageOffsets(offsets) != kv4cl::Success) return;
    for (size_t ch = 0; ch < inForce.size() && ch < offsets.size(); ch++) {
        const Measurement_t& offset = offsets[ch];
        inForce[ch]->setText(QString("%1%2 %3")
                                 .arg(offset.value >= 0.0 ? "+" : "")
                                 .arg(offset.value, 0, 'f', 1)
                                 .arg(QString::fromStdString(offset.label())));
    }
}
