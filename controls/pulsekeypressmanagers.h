#pragma once
// Return or Enter in a pulse's spin boxes fires that pulse, as its button would. Installed
// as an event filter on each box; the key then goes on to the box as usual, so the typed
// value is taken before the button reads it.

#include <QObject>

class QAbstractButton;

class PulseKeyPressManager : public QObject {
    Q_OBJECT

  public:
    explicit PulseKeyPressManager(QAbstractButton* button, QObject* parent = nullptr);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QAbstractButton* button;
};

// Fires the insertion pulse from its "VIns" and "TIns" boxes.
class InsertionPulseKeyPressManager : public PulseKeyPressManager {
    Q_OBJECT

  public:
    using PulseKeyPressManager::PulseKeyPressManager;
};

// Fires the reference pulse from its "Vref" and "Tref" boxes.
class ReferencePulseKeyPressManager : public PulseKeyPressManager {
    Q_OBJECT

  public:
    using PulseKeyPressManager::PulseKeyPressManager;
};
