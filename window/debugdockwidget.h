#pragma once
// The "Debug" dock: raw access to the command message (one bit or one 7-bit byte) and to the
// words of the FTDI EEPROM, for maintenance. The main window shows it only when the debug
// marker file is in the user's home folder.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>

class QCheckBox;
class QLabel;
class QSpinBox;

class DebugDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    // Floats: a tool window, kept out of the working layout.
    explicit DebugDockWidget(QWidget* parent = nullptr);

    // Whether the marker file is in the home folder; looked for once per process.
    static bool markerPresent();

  private:
    void applyBit();
    void applyValue();
    void writeEeprom();
    void readEeprom();
    // A failed call leaves the library's message in the status line; a good one clears it.
    void report(kv4cl::ErrorCodes_t code);

    QSpinBox* byteSpinBox;
    QSpinBox* bitSpinBox;
    QCheckBox* statusCheckBox;
    QSpinBox* valueSpinBox;
    QSpinBox* eepromAddressSpinBox;
    QSpinBox* eepromValueSpinBox;
    QLabel* statusLine;
};
