#include "widgets/focusedwheelfilter.h"

#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QWheelEvent>

namespace {

bool takesWheelOnlyWithFocus(const QObject* object) {
    return qobject_cast<const QAbstractSpinBox*>(object) || qobject_cast<const QComboBox*>(object);
}

} // namespace

bool FocusedWheelFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Polish && takesWheelOnlyWithFocus(watched)) {
        auto* control = static_cast<QWidget*>(watched);
        if (control->focusPolicy() == Qt::WheelFocus) control->setFocusPolicy(Qt::StrongFocus);
    } else if (event->type() == QEvent::Wheel && takesWheelOnlyWithFocus(watched)) {
        auto* control = static_cast<QWidget*>(watched);
        if (control->hasFocus()) return false;
        // The nearest scroll area around the control scrolls as if the pointer were over its
        // background.
        for (QWidget* parent = control->parentWidget(); parent; parent = parent->parentWidget()) {
            auto* area = qobject_cast<QAbstractScrollArea*>(parent);
            if (!area) continue;
            const auto* wheel = static_cast<QWheelEvent*>(event);
            QWidget* viewport = area->viewport();
            QWheelEvent forwarded(viewport->mapFromGlobal(wheel->globalPosition()), wheel->globalPosition(),
                                  wheel->pixelDelta(), wheel->angleDelta(), wheel->buttons(),
                                  wheel->modifiers(), wheel->phase(), wheel->inverted(), wheel->source());
            QCoreApplication::sendEvent(viewport, &forwarded);
            break;
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}
