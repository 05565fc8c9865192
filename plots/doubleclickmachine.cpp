#include "plots/doubleclickmachine.h"

#include <QMouseEvent>

bool DoubleClickMachine::transition(const QEvent* event) const {
    return event->type() == QEvent::MouseButtonDblClick &&
           static_cast<const QMouseEvent*>(event)->button() == selectButton;
}
