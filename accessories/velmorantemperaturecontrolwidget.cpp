#include "accessories/velmorantemperaturecontrolwidget.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

VelmoranTemperatureControlWidget::VelmoranTemperatureControlWidget(QWidget* parent)
    : QDockWidget("Velmoran temperature controller", parent) {
    setObjectName("velmoranTemperatureControlDw");
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(3, 3, 3, 3);

    controls = new QWidget;
    auto* grid = new QGridLayout(controls);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(new QLabel("Current temperature:"), 0, 0);
    temperatureLabel = new QLabel("-----°C");
    temperatureLabel->setObjectName("temperatureLabel");
    grid->addWidget(temperatureLabel, 0, 1);
    grid->addWidget(new QLabel("Set temperature:"), 1, 0);
    setTemperatureSpinBox = new QDoubleSpinBox;
    setTemperatureSpinBox->setObjectName("setTemperatureSpinBox");
    setTemperatureSpinBox->setRange(-10.0, 50.0);
    setTemperatureSpinBox->setSingleStep(0.1);
    setTemperatureSpinBox->setDecimals(1);
    setTemperatureSpinBox->setValue(25.0);
    // The controller gets the value once typed (Return or leaving the box), not every keystroke.
    setTemperatureSpinBox->setKeyboardTracking(false);
    grid->addWidget(setTemperatureSpinBox, 1, 1);
    activeCheckBox = new QCheckBox("Activate temperature control");
    grid->addWidget(activeCheckBox, 2, 0, 1, 2);
    layout->addWidget(controls);

    message =
        new QLabel("Temperature Control device not connected. If you own a Temperature Controller device "
                   "please verify it is connected, powered up, check valves are opened and then press for a "
                   "few seconds the Reset button in front of it.");
    message->setWordWrap(true);
    // Wide enough for five lines or so, about the controls' height: narrower, it would make the
    // top dock area tall.
    message->setMinimumWidth(message->fontMetrics().averageCharWidth() * 50);
    message->installEventFilter(this);
    layout->addWidget(message);
    layout->addStretch();
    setWidget(body);

    connect(setTemperatureSpinBox, &QDoubleSpinBox::valueChanged, this,
            &VelmoranTemperatureControlWidget::setTemperatureChanged);
    connect(activeCheckBox, &QCheckBox::toggled, this,
            &VelmoranTemperatureControlWidget::temperatureControlStateChanged);
    // The controls come once a controller answers; shown before (from the View menu), the
    // dock says that none does.
    controls->hide();
    hide();
}

bool VelmoranTemperatureControlWidget::eventFilter(QObject* watched, QEvent* event) {
    // A dock area gives its docks the heights they ask for whatever their widths: the message
    // asks for all its lines at the width it gets.
    if (watched == message && event->type() == QEvent::Resize)
        message->setMinimumHeight(message->heightForWidth(message->width()));
    return QDockWidget::eventFilter(watched, event);
}

void VelmoranTemperatureControlWidget::onVisibilitySet(Visibility_t newState) {
    if (!visibilityChangeEnabled) return;
    state = newState;
    if (state == Hidden) {
        hide();
        return;
    }
    controls->setVisible(state == Connected);
    message->setVisible(state == NotConnected);
    show();
}

void VelmoranTemperatureControlWidget::onTemperatureRead(double temperature) {
    temperatureLabel->setText(QString::number(temperature, 'g', 6) + "°C");
}

void VelmoranTemperatureControlWidget::onEnableControls(double temperature) {
    const QSignalBlocker spinBlocker(setTemperatureSpinBox);
    const QSignalBlocker checkBlocker(activeCheckBox);
    setTemperatureSpinBox->setValue(temperature);
    setTemperatureSpinBox->setEnabled(true);
    activeCheckBox->setChecked(true);
}

void VelmoranTemperatureControlWidget::onDisableControls() {
    const QSignalBlocker checkBlocker(activeCheckBox);
    activeCheckBox->setChecked(false);
    setTemperatureSpinBox->setEnabled(false);
}

void VelmoranTemperatureControlWidget::onSetTemperatureLimits(int min, int max) {
    setTemperatureSpinBox->setRange(min, max);
}

void VelmoranTemperatureControlWidget::onEnableVisibilityChange(bool enabled) {
    visibilityChangeEnabled = enabled;
}
