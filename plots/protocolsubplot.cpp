#include "plots/protocolsubplot.h"

#include "plots/membranemonitorbutton.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

ProtocolSubPlot::ProtocolSubPlot(Kind kind, int channelIdx, ProtocolDataPlot* plot, Features features,
                                 QWidget* parent)
    : QWidget(parent), channelKind(kind), channelIdx(channelIdx), channelPlot(plot), toolbar(new QToolBar) {
    // A toolbar folds what does not fit into its extension menu when the grid gets narrow.
    toolbar->setIconSize(QSize(16, 16));
    toolbar->setStyleSheet("QToolBar { border: none; spacing: 1px; }");
    const bool voltage = kind == VoltageChannel;
    toolbar->addWidget(
        new QLabel(voltage ? QString("V%1").arg(channelIdx + 1) : QString("Ch%1").arg(channelIdx + 1)));

    if (features.channelSwitch && !voltage) {
        switchBtn = new MembraneMonitorButton(channelIdx);
        switchBtn->setIconSize(QSize(16, 16));
        switchBtn->setFixedSize(22, 22);
        connect(switchBtn, &MembraneMonitorButton::switchChannelOn, this, &ProtocolSubPlot::switchChannelOn);
        connect(switchBtn, &MembraneMonitorButton::monitorMembraneStateChanged, this,
                &ProtocolSubPlot::monitorMembraneStateChanged);
        toolbar->addWidget(switchBtn);
    }
    connect(addButton(":/imgs/zoom+.png", voltage ? "Y-Axis zoom in (SHIFT +)" : "Y-Axis zoom in (+)"),
            &QToolButton::clicked, this, [this] { onZoomIn(); });
    connect(addButton(":/imgs/zoom-.png", voltage ? "Y-Axis zoom out (SHIFT -)" : "Y-Axis zoom out (-)"),
            &QToolButton::clicked, this, [this] { onZoomOut(); });
    connect(addButton(":/imgs/zoom full.png", "Full trace zoom (CTRL R)"), &QToolButton::clicked, this,
            [this] { channelPlot->onVertZoomFullRequest(ZoomSynchNone); });
    if (!voltage) {
        baselineButton =
            addButton(":/imgs/baseline.png",
                      kind == CurrentChannel ? "Switch ON/OFF Y-Axis automatic current baseline tracking"
                                             : "Switch ON/OFF Y-Axis automatic baseline tracking",
                      true);
        connect(baselineButton, &QToolButton::toggled, this,
                [this](bool on) { emit baselineTracking(this->channelIdx, on); });
        connect(addButton(":/imgs/backward.png", "Maximize previous channel"), &QToolButton::clicked, this,
                [this] { emit maximizePreviousChannel(this->channelIdx); });
        maximizeButton = addButton(":/imgs/maximize.png", "Maximize this channel's plot size", true);
        connect(maximizeButton, &QToolButton::toggled, this, [this](bool on) {
            showMaximized(on);
            emit maximizeChannel(this->channelIdx, on);
        });
        connect(addButton(":/imgs/forward.png", "Maximize next channel"), &QToolButton::clicked, this,
                [this] { emit maximizeNextChannel(this->channelIdx); });
    }
    if (kind == CurrentChannel) {
        if (features.stimulusSelection)
            connect(addButton(":/imgs/select channel.png", "Apply voltage stimulus to this channel", true),
                    &QToolButton::toggled, this,
                    [this](bool on) { emit selectStimulusChannel(this->channelIdx, on); });
        if (features.digitalOffsetCompensation)
            connect(addButton(":/imgs/digital offset compensation.png",
                              "Apply digital offset compensation to this channel", true),
                    &QToolButton::toggled, this,
                    [this](bool on) { emit digitalOffsetCompensation(this->channelIdx, on); });
        if (features.zap)
            connect(addButton(":/imgs/zap.png", "Zap this channel"), &QToolButton::clicked, this,
                    [this] { emit zap(this->channelIdx); });
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolbar);
    plot->setParent(this);
    layout->addWidget(plot, 1);
}

QToolButton* ProtocolSubPlot::addButton(const QString& icon, const QString& toolTip, bool checkable) {
    auto* button = new QToolButton;
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(16, 16));
    button->setToolTip(toolTip);
    button->setCheckable(checkable);
    button->setAutoRaise(true);
    toolbar->addWidget(button);
    return button;
}

void ProtocolSubPlot::showMaximized(bool on) {
    if (!maximizeButton) return;
    const QSignalBlocker blocker(maximizeButton);
    maximizeButton->setChecked(on);
    maximizeButton->setIcon(QIcon(on ? ":/imgs/minimize.png" : ":/imgs/maximize.png"));
    maximizeButton->setToolTip(on ? "Return this channel's plot to normal size"
                                  : "Maximize this channel's plot size");
}

void ProtocolSubPlot::showBaselineTracking(bool on) {
    if (!baselineButton) return;
    const QSignalBlocker blocker(baselineButton);
    baselineButton->setChecked(on);
}

void ProtocolSubPlot::onZoomIn(Plot::Axis axis) {
    channelPlot->onScaleYAxis(axis, 0.5);
}

void ProtocolSubPlot::onZoomOut(Plot::Axis axis) {
    channelPlot->onScaleYAxis(axis, 2.0);
}

void ProtocolSubPlot::onMembraneMonitorEnabled(bool enable) {
    if (switchBtn) switchBtn->onEnable(enable);
}
