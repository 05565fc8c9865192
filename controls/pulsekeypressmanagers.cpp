#include "controls/pulsekeypressmanagers.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QKeyEvent>

PulseKeyPressManager::PulseKeyPressManager(QAbstractButton* button, QObject* parent)
    : QObject(parent), button(button) {}

bool PulseKeyPressManager::eventFilter(QObject* watched, QEvent* event) {
    // Only the press itself: the shortcut override that comes before it is the same key.
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // The pulse goes out with the value being typed, not the one before it.
            if (auto* box = qobject_cast<QAbstractSpinBox*>(watched)) box->interpretText();
            button->click();
        }
    }
    return QObject::eventFilter(watched, event);
}
