#pragma once
// Spin boxes and combo boxes take the mouse wheel only while they have focus. Scrolling a dock
// over them otherwise steps whatever passes under the pointer, a holding voltage among them, so
// the wheel goes to the scroll area around them instead. Installed on the application, it
// covers every window and dialog; the controls it sees are also kept from taking focus by the
// wheel, or the first notch would focus them and the next would change them.

#include <QObject>

class FocusedWheelFilter : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
