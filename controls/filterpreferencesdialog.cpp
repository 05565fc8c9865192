#include "controls/filterpreferencesdialog.h"

#include "widgets/activationbutton.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QSettings>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

struct FilterType {
    const char* label;
    const char* key;
};

// In the order of DeviceDataConsumer::Types_t.
const FilterType filterTypes[FilterPreferencesDialog::typesNum] = {
    {"Plot", "Preferences/Filters/filterDataForPlot"},
    {"ABF recording", "Preferences/Filters/filterDataForAbfRecording"},
    {"DAT recording", "Preferences/Filters/filterDataForDatRecording"},
    {"Noise report", "Preferences/Filters/filterDataForNoiseReport"},
    {"RC estimation", "Preferences/Filters/filterDataForRCEstimation"},
    {"Histogram", "Preferences/Filters/filterDataForHistogram"},
    {"Event detection", "Preferences/Filters/filterDataForEventDetection"},
    {"Spectrum", "Preferences/Filters/filterDataForSpectrum"},
    {"I/V graph", "Preferences/Filters/filterDataForIVGraph"},
    {"Membrane monitor", "Preferences/Filters/filterDataForMembraneMonitor"},
    {"Voltage automatic control", "Preferences/Filters/filterDataForVoltageAutomaticControl"},
};

} // namespace

FilterPreferencesDialog::FilterPreferencesDialog(QWidget* parent)
    : QDialog(parent), allButton(new ActivationButton) {
    setWindowTitle("Filter preferences");
    auto* grid = new QGridLayout;
    for (int i = 0; i < typesNum; i++) {
        const auto type = DeviceDataConsumer::Types_t(i);
        buttons[i] = new ActivationButton;
        auto* label = new QLabel(filterTypes[i].label);
        label->setBuddy(buttons[i]);
        grid->addWidget(label, i, 0);
        grid->addWidget(buttons[i], i, 1);
        connect(buttons[i], &ActivationButton::clicked, this,
                [this, type](bool flag) { onFilterButtonClicked(type, flag); });
    }
    auto* allLabel = new QLabel("All");
    allLabel->setBuddy(allButton);
    grid->addWidget(allLabel, typesNum, 0);
    grid->addWidget(allButton, typesNum, 1);
    connect(allButton, &ActivationButton::clicked, this, &FilterPreferencesDialog::onSetAllFilters);

    auto* closeBox = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(closeBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Disable to use raw data"));
    layout->addLayout(grid);
    layout->addWidget(closeBox);
    onLoadSettings();
}

void FilterPreferencesDialog::onLoadSettings() {
    const QSettings settings;
    bool all = true;
    loading = true;
    for (int i = 0; i < typesNum; i++) {
        const bool flag = settings.value(filterTypes[i].key, true).toBool();
        buttons[i]->setChecked(flag);
        all = all && flag;
    }
    loading = false;
    const QSignalBlocker blocker(allButton);
    allButton->setChecked(all);
}

void FilterPreferencesDialog::onSetAllFilters(bool filterFlag) {
    for (ActivationButton* button : buttons)
        button->setChecked(filterFlag);
    const QSignalBlocker blocker(allButton);
    allButton->setChecked(filterFlag);
}

void FilterPreferencesDialog::onFilterButtonClicked(DeviceDataConsumer::Types_t type, bool filterFlag) {
    emit setFilteredData(type, filterFlag);
    if (!loading) QSettings().setValue(filterTypes[type].key, filterFlag);
}
