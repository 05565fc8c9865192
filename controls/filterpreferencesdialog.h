#pragma once
// Chooses, per consumer type, whether it reads filtered or raw data. The choices are kept in
// the settings (filtered unless stored otherwise).

#include "acquisition/devicedataconsumer.h"

#include <QDialog>

#include <array>

class ActivationButton;

class FilterPreferencesDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int typesNum = DeviceDataConsumer::TypeVoltageAutomaticController + 1;

    // The buttons start as the settings say.
    explicit FilterPreferencesDialog(QWidget* parent = nullptr);

  signals:
    void setFilteredData(DeviceDataConsumer::Types_t type, bool filterFlag);

  public slots:
    void onSetAllFilters(bool filterFlag);
    // Sets every button from the settings again, announcing each choice without storing it.
    void onLoadSettings();

  private:
    void onFilterButtonClicked(DeviceDataConsumer::Types_t type, bool filterFlag);

    std::array<ActivationButton*, typesNum> buttons{};
    ActivationButton* allButton;
    bool loading = false;
};
