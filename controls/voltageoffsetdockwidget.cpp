#include "controls/voltageoffsetdockwidget.h"

#include "session/stimulusservice.h"
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

VoltageOffsetDockWidget::VoltageOffsetDockWidget(StimulusService& stimulus, QWidget* parent)
    : QDockWidget("Voltage offsets", parent), stimulus(stimulus) {
    setObjectName("voltageOffsetDw");
    auto* tabs = new QTabWidget;
    tabs->addTab(buildConstantTab(), "Constant");
    tabs->addTab(buildRampTab(), "Ramp");
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
    connect(&stimulus, &StimulusService::offsetJudged, this,
            [this](uint16_t channelIdx, const QString& refusal) {
                messageLabel->setText(channelName(channelIdx) + ": " + refusal);
                messageLabel->setVisible(!refusal.isEmpty());
            });
    // Set by another part, such as the voltage controller.
    connect(&stimulus, &StimulusService::offsetChanged, this, [this](uint16_t channelIdx) {
        const QSignalBlocker quiet(manual[channelIdx]);
        manual[channelIdx]->setValue(this->stimulus.offset(channelIdx).value);
    });

    auto* timer = new QTimer(this);
    timer->setInterval(refreshMs);
    connect(timer, &QTimer::timeout, this, &VoltageOffsetDockWidget::refresh);
    timer->start();
}

VoltageOffsetDockWidget::~VoltageOffsetDockWidget() {
    // Closing moves the focus, which ends an edit in progress after this part of the dock is
    // gone: nothing is judged or set from here on.
    for (SteppedSpinBox* box : manual)
        box->disconnect(this);
}

QWidget* VoltageOffsetDockWidget::buildConstantTab() {
    const uint16_t currentChannels = stimulus.offsetChannels();
    auto* rows = new QWidget;
    auto* grid = new QGridLayout(rows);
    addHeader(grid, {"manual", "auto"});
    for (uint16_t ch = 0; ch < currentChannels; ch++) {
        auto* label = new QLabel(channelName(ch));
        SteppedSpinBox* box = spinBox(stimulus.offsetRange());
        box->setValue(0.0);
        label->setBuddy(box);
        auto* force = new QLabel;
        grid->addWidget(label, ch + 1, 0);
        grid->addWidget(box, ch + 1, 1);
        grid->addWidget(force, ch + 1, 2);
        manual.push_back(box);
        inForce.push_back(force);
        connect(box, &SteppedSpinBox::valueChanged, this,
                [this, ch, box] { stimulus.checkOffset(ch, box->getMeasurement()); });
        connect(box, &SteppedSpinBox::editingFinished, this,
                [this, ch, box] { stimulus.setOffset(ch, box->getMeasurement()); });
    }
    grid->setRowStretch(currentChannels + 1, 1);
    return scrolled(rows);
}

QWidget* VoltageOffsetDockWidget::buildRampTab() {
    auto* rows = new QWidget;
    auto* grid = new QGridLayout(rows);
    addHeader(grid, {"initial voltage", "final voltage", "duration"});
    for (uint16_t ch = 0; ch < manual.size(); ch++) {
        auto* label = new QLabel(channelName(ch));
        SteppedSpinBox* initial = spinBox(stimulus.offsetRange());
        SteppedSpinBox* final = spinBox(stimulus.offsetRange());
        SteppedSpinBox* duration = spinBox(stimulus.rampDurationRange());
        label->setBuddy(initial);
        auto* start = new QPushButton("Start");
        grid->addWidget(label, ch + 1, 0);
        grid->addWidget(initial, ch + 1, 1);
        grid->addWidget(final, ch + 1, 2);
        grid->addWidget(duration, ch + 1, 3);
        grid->addWidget(start, ch + 1, 4);
        connect(start, &QPushButton::clicked, this, [this, ch, initial, final, duration] {
            stimulus.startOffsetRamp(ch, initial->getMeasurement(), final->getMeasurement(),
                                     duration->getMeasurement());
        });
    }
    grid->setRowStretch(int(manual.size()) + 1, 1);
    return scrolled(rows);
}

void VoltageOffsetDockWidget::refresh() {
    const std::vector<Measurement_t> offsets = stimulus.offsetsInForce();
    for (size_t ch = 0; ch < inForce.size() && ch < offsets.size(); ch++) {
        const Measurement_t& offset = offsets[ch];
        inForce[ch]->setText(QString("%1%2 %3")
                                 .arg(offset.value >= 0.0 ? "+" : "")
                                 .arg(offset.value, 0, 'f', 1)
                                 .arg(QString::fromStdString(offset.label())));
    }
}
