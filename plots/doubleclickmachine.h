#pragma once
// Recognises the gesture of the zoom reset: a double click of one mouse button. A double click
// is one complete selection; a single click, a move or the other button selects nothing.

#include <Qt>

class QEvent;

class DoubleClickMachine {
  public:
    explicit DoubleClickMachine(Qt::MouseButton button = Qt::LeftButton) : selectButton(button) {}

    // Whether this event completes a selection.
    bool transition(const QEvent* event) const;

  private:
    Qt::MouseButton selectButton;
};
