#pragma once
// The editor of the washer's four preset speeds ("Preset speeds editor"): the debug dock sends
// its values when it is closed with "Ok".

#include <QDialog>

#include <array>
#include <cstdint>
#include <vector>

class QSpinBox;

// A spin box for one preset speed, bounded by the library's speed range (signed bytes).
QSpinBox* newPresetSpeedSpinBox();

class FirWasherPresetSpeedsDlg : public QDialog {
  public:
    // Starts from the speeds the washer reports.
    explicit FirWasherPresetSpeedsDlg(QWidget* parent = nullptr);
    std::vector<int8_t> speeds() const;

  private:
    std::array<QSpinBox*, 4> speedSpinBoxes{};
};
