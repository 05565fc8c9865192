#include "window/temperaturecontroller.h"

#include "accessories/velmorantemperaturecontrollogic.h"
#include "window/docklayout.h"
#include "window/labbook.h"

#include <optional>

TemperatureController::TemperatureController(DockLayout& layout, Labbook* labbook)
    : widget(new VelmoranTemperatureControlWidget),
      logic(std::make_unique<VelmoranTemperatureControlLogic>(widget)) {
    layout.add(widget, Qt::TopDockWidgetArea);
    // What comes from the logic's thread is read after its hand-over.
    QObject::connect(logic.get(), &VelmoranTemperatureControlLogic::temperatureRead, labbook,
                     [labbook](const double& celsius) {
                         VelmoranTemperatureControlLogic::takeHandOver();
                         labbook->setTemperature(celsius);
                     });
    QObject::connect(logic.get(), &VelmoranTemperatureControlLogic::setWidgetVisibility, labbook,
                     [labbook](const VelmoranTemperatureControlWidget::Visibility_t& state) {
                         VelmoranTemperatureControlLogic::takeHandOver();
                         if (state != VelmoranTemperatureControlWidget::Connected)
                             labbook->setTemperature(std::nullopt);
                     });
    logic->onStartDetecting();
}

TemperatureController::~TemperatureController() {
    // Returns once the controller is stopped, its port closed and the logic's thread ended.
    logic->onDisconnect();
}

QDockWidget* TemperatureController::dock() const {
    return widget;
}

void TemperatureController::showIfSeen() {
    if (widget) widget->setVisible(widget->visibility() != VelmoranTemperatureControlWidget::Hidden);
}
