#include "plots/protocolsubplot.h"

#include "plots/membranemonitorbutton.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolBar>
#include <QVBoxLayout>

ProtocolSubPlot::ProtocolSubPlot(Kind kind, int channelIdx, ProtocolDataPlot* plot, Features features,
                                 const QString& gpName, QWidget* parent)
    : QWidget(parent), channelKind(kind), channelIdx(channelIdx), channelPlot(plot), toolbar(new QToolBar),
      channelMenu(new QMenu(this)), titleLabel(new QLabel) {
    // Actions, not buttons: what a narrow toolbar cannot show goes to its extension menu, and
    // the channel's menu (a right click on its title row or its plot's axes) holds every action.
    toolbar->setIconSize(QSize(16, 16));
    toolbar->setStyleSheet("QToolBar { border: none; spacing: 1px; }");
    const bool voltage = kind == VoltageChannel;
    titleLabel->setText(kind == GpChannel ? gpName
                        : voltage         ? QString("V%1").arg(channelIdx + 1)
                                          : QString("Ch%1").arg(channelIdx + 1));

    if (!voltage) {
        maximizeAction = newAction(":/imgs/maximize.png", "Maximize this channel's plot size", true);
        connect(maximizeAction, &QAction::toggled, this, [this](bool on) {
            showMaximized(on);
            emit maximizeChannel(this->channelIdx, on);
        });
        connect(newAction(":/imgs/backward.png", "Maximize previous channel"), &QAction::triggered, this,
                [this] { emit maximizePreviousChannel(this->channelIdx); });
        connect(newAction(":/imgs/forward.png", "Maximize next channel"), &QAction::triggered, this,
                [this] { emit maximizeNextChannel(this->channelIdx); });
        addSeparator();
    }
    connect(newAction(":/imgs/zoom+.png", voltage ? "Y-Axis zoom in (SHIFT +)" : "Y-Axis zoom in (+)"),
            &QAction::triggered, this, [this] { onZoomIn(); });
    connect(newAction(":/imgs/zoom-.png", voltage ? "Y-Axis zoom out (SHIFT -)" : "Y-Axis zoom out (-)"),
            &QAction::triggered, this, [this] { onZoomOut(); });
    connect(newAction(":/imgs/zoom full.png", "Full trace zoom (CTRL R)"), &QAction::triggered, this,
            [this] { channelPlot->onVertZoomFullRequest(ZoomSynchNone); });
    connect(newAction(":/imgs/cursors.png", "Cursors: measure the trace between two times", true),
            &QAction::toggled, channelPlot, &Plot::setCursorsVisible);
    if (!voltage) {
        baselineAction =
            newAction(":/imgs/baseline.png",
                      kind == CurrentChannel ? "Switch ON/OFF Y-Axis automatic current baseline tracking"
                                             : "Switch ON/OFF Y-Axis automatic baseline tracking",
                      true);
        connect(baselineAction, &QAction::toggled, this,
                [this](bool on) { emit baselineTracking(this->channelIdx, on); });
    }
    if (kind == CurrentChannel) {
        // What acts on the amplifier stands apart from what changes the view.
        if (features.stimulusSelection || features.digitalOffsetCompensation || features.zap) addSeparator();
        if (features.stimulusSelection)
            connect(newAction(":/imgs/select channel.png", "Apply voltage stimulus to this channel", true),
                    &QAction::toggled, this,
                    [this](bool on) { emit selectStimulusChannel(this->channelIdx, on); });
        if (features.digitalOffsetCompensation) {
            offsetCompensationAction = newAction(":/imgs/digital offset compensation.png",
                                                 "Apply digital offset compensation to this channel", true);
            connect(offsetCompensationAction, &QAction::toggled, this,
                    [this](bool on) { emit digitalOffsetCompensation(this->channelIdx, on); });
        }
        if (features.zap)
            connect(newAction(":/imgs/zap.png", "Zap this channel"), &QAction::triggered, this,
                    [this] { emit zap(this->channelIdx); });
    }

    // The switch sits between the title and a gap, away from the buttons clicked often and from
    // the neighbouring sub-plot's toolbar.
    auto* header = new QWidget;
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(4);
    headerLayout->addWidget(titleLabel);
    // The button may be folded away in the toolbar's overflow: the title row shows it too.
    if (offsetCompensationAction) {
        compensatingMark = new QLabel;
        compensatingMark->setPixmap(QIcon(":/imgs/digital offset compensation.png").pixmap(16, 16));
        compensatingMark->setToolTip("Digital offset compensation running");
        compensatingMark->hide();
        headerLayout->addWidget(compensatingMark);
    }
    if (features.channelSwitch && !voltage) {
        switchBtn = new MembraneMonitorButton(channelIdx);
        switchBtn->setIconSize(QSize(16, 16));
        switchBtn->setFixedSize(22, 22);
        connect(switchBtn, &MembraneMonitorButton::switchChannelOn, this, &ProtocolSubPlot::switchChannelOn);
        connect(switchBtn, &MembraneMonitorButton::monitorMembraneStateChanged, this,
                &ProtocolSubPlot::monitorMembraneStateChanged);
        headerLayout->addWidget(switchBtn);
        headerLayout->addSpacing(12);
    }
    headerLayout->addWidget(toolbar, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(header);
    plot->setParent(this);
    plot->installEventFilter(this);
    layout->addWidget(plot, 1);
}

QString ProtocolSubPlot::title() const {
    return titleLabel->text();
}

void ProtocolSubPlot::setTitle(const QString& text) {
    titleLabel->setText(text);
}

QAction* ProtocolSubPlot::newAction(const QString& icon, const QString& text, bool checkable) {
    auto* action = new QAction(QIcon(icon), text, this);
    action->setToolTip(text);
    action->setCheckable(checkable);
    toolbar->addAction(action);
    channelMenu->addAction(action);
    return action;
}

void ProtocolSubPlot::addSeparator() {
    toolbar->addSeparator();
    channelMenu->addSeparator();
}

void ProtocolSubPlot::contextMenuEvent(QContextMenuEvent* event) {
    channelMenu->popup(event->globalPos());
}

bool ProtocolSubPlot::eventFilter(QObject* watched, QEvent* event) {
    // The plot keeps its right clicks to itself: on its canvas they zoom out or set a trigger,
    // on the axes around it they open the channel's menu.
    if (watched != channelPlot || event->type() != QEvent::ContextMenu || channelPlot->triggerPicking())
        return false;
    const auto* click = static_cast<QContextMenuEvent*>(event);
    if (channelPlot->axisRect()->rect().contains(click->pos())) return false;
    channelMenu->popup(click->globalPos());
    return true;
}

void ProtocolSubPlot::showMaximized(bool on) {
    if (!maximizeAction) return;
    const QSignalBlocker blocker(maximizeAction);
    maximizeAction->setChecked(on);
    maximizeAction->setIcon(QIcon(on ? ":/imgs/minimize.png" : ":/imgs/maximize.png"));
    const QString text =
        on ? "Return this channel's plot to normal size" : "Maximize this channel's plot size";
    maximizeAction->setText(text);
    maximizeAction->setToolTip(text);
}

void ProtocolSubPlot::showBaselineTracking(bool on) {
    if (!baselineAction) return;
    const QSignalBlocker blocker(baselineAction);
    baselineAction->setChecked(on);
}

void ProtocolSubPlot::showDigitalOffsetCompensation(bool on) {
    if (!offsetCompensationAction) return;
    const QSignalBlocker blocker(offsetCompensationAction);
    offsetCompensationAction->setChecked(on);
    compensatingMark->setVisible(on);
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
