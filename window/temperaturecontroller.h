#pragma once
// The temperature controller of the models with that option, while connected: its dock, and
// its logic with the logic's thread, which looks for the controller on the serial ports. Notes
// in the lab book carry the chamber temperature while the controller answers. Deleting this
// stops the controller, closes its port and ends the logic's thread; the dock goes with the
// other docks.

#include <QPointer>

#include <memory>

class DockLayout;
class QDockWidget;
class Labbook;
class VelmoranTemperatureControlLogic;
class VelmoranTemperatureControlWidget;

class TemperatureController {
  public:
    // Adds the dock to the top area and starts looking for the controller.
    TemperatureController(DockLayout& layout, Labbook* labbook);
    ~TemperatureController();

    QDockWidget* dock() const;
    // After a kept layout was put back: the dock shows only while the controller has been seen,
    // whatever the layout says.
    void showIfSeen();

  private:
    QPointer<VelmoranTemperatureControlWidget> widget;
    std::unique_ptr<VelmoranTemperatureControlLogic> logic;
};
