#pragma once
// Every washer command and the washer's error status, for servicing: one radio button and LCD
// display per preset, the status text, and the buttons "Reset error", "Start washing" (at the
// chosen preset), "Set preset speeds" (through the editor), "Update status" and "Update speeds".
// Every 500 ms it shows the status and speeds the washer last reported.

#include <QDockWidget>

#include <array>
#include <cstdint>

class QLabel;
class QLCDNumber;
class QRadioButton;

class FirWasherControlDebug : public QDockWidget {
  public:
    explicit FirWasherControlDebug(QWidget* parent = nullptr);

    // The text shown for a washer error code.
    static QString errorText(int8_t errorCode);

  private:
    void refresh();
    void startWashing();
    void setPresetSpeeds();

    std::array<QRadioButton*, 4> presetButtons{};
    std::array<QLCDNumber*, 4> speedDisplays{};
    QLabel* statusLabel;
};
