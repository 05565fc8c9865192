#pragma once
// A spin box drops a keystroke that would take it past its bounds, and puts back a value left
// half typed, without a word: the user sees a digit vanish or a number come back. Installed on
// the application, this filter shows the values the box takes in a tip at the box whenever it
// does either. Stepped spin boxes explain themselves and are left alone.

#include <QObject>

class QAbstractSpinBox;

class RefusedInputFilter : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;

    // "Allowed: 1 to 100 ms", with the value that reads as a word ("0 (Unlimited) to 60 s").
    static QString allowedValues(const QAbstractSpinBox& box);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
