#include "accessories/firwashercontrol.h"

#include "accessories/firwasherpresetspeedsdlg.h"
#include "commlib/api/kv4cl.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

FirWasherControl::FirWasherControl(QWidget* parent) : QDockWidget("Washer", parent) {
    setObjectName("firWasherCtrlDw");
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(3, 3, 3, 3);
    auto* group = new QGroupBox("Stir bar rotation");
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < int(speedSpinBoxes.size()); i++) {
        auto* label = new QLabel(QString("preset speed %1").arg(i + 1));
        QSpinBox* spinBox = newPresetSpeedSpinBox();
        label->setBuddy(spinBox);
        spinBox->installEventFilter(this);
        auto* button = new QPushButton(QIcon(":/imgs/analysis reset.png"), "");
        button->setToolTip(QString("Perform one rotation at preset speed %1").arg(i + 1));
        connect(button, &QPushButton::clicked, this, [this, i] { rotate(i); });
        grid->addWidget(label, i, 0);
        grid->addWidget(spinBox, i, 1);
        grid->addWidget(button, i, 2);
        speedSpinBoxes[i] = spinBox;
    }
    layout->addWidget(group);
    // No taller than its content: the docks below it in the left column need the room more.
    body->setMaximumHeight(body->sizeHint().height());
    setWidget(body);

    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(500);
    connect(refreshTimer, &QTimer::timeout, this, &FirWasherControl::refresh);
    refreshTimer->start();
    refresh();
}

bool FirWasherControl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn) refreshTimer->stop();
    if (event->type() == QEvent::FocusOut) refreshTimer->start();
    return QDockWidget::eventFilter(watched, event);
}

void FirWasherControl::refresh() {
    std::vector<int8_t> speeds;
    if (kv4cl::getWasherPresetSpeeds(speeds) != kv4cl::Success) return;
    for (size_t i = 0; i < speeds.size() && i < speedSpinBoxes.size(); i++)
        speedSpinBoxes[i]->setValue(speeds[i]);
}

void FirWasherControl::rotate(int preset) {
    std::vector<int8_t> speeds;
    for (const QSpinBox* spinBox : speedSpinBoxes)
        speeds.push_back(int8_t(spinBox->value()));
    kv4cl::setWasherPresetSpeeds(speeds);
    kv4cl::startWasher(uint16_t(preset));
}
