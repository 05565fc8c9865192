#include "controls/filterpreferencesdialog.h"

#include "acquisition/devicedataconsumer.h"
#include "widgets/activationbutton.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QSettings>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

QString settingsKey(const QString& key) {
    return "Preferences/Filters/filterDataFor" + key;
}

} // namespace

FilterPreferencesDialog::FilterPreferencesDialog(const std::vector<Analysis>& analyses, QWidget* parent)
    : QDialog(parent), choices{{"Plot", DeviceDataConsumer::plotFilterKey},
                               {"ABF recording", DeviceDataConsumer::abfFilterKey},
                               {"DAT recording", DeviceDataConsumer::datFilterKey}},
      allButton(new ActivationButton) {
    for (const Analysis& analysis : analyses)
        choices.push_back({analysis.filterLabel, analysis.filterKey});
    setWindowTitle("Filter preferences");
    auto* grid = new QGridLayout;
    for (const Choice& choice : choices) {
        auto* button = new ActivationButton;
        auto* label = new QLabel(choice.label);
        label->setBuddy(button);
        const int row = int(buttons.size());
        grid->addWidget(label, row, 0);
        grid->addWidget(button, row, 1);
        connect(button, &ActivationButton::clicked, this,
                [this, key = choice.key](bool flag) { onFilterButtonClicked(key, flag); });
        buttons.push_back(button);
    }
    auto* allLabel = new QLabel("All");
    allLabel->setBuddy(allButton);
    grid->addWidget(allLabel, int(buttons.size()), 0);
    grid->addWidget(allButton, int(buttons.size()), 1);
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
    for (size_t i = 0; i < choices.size(); i++) {
        const bool flag = settings.value(settingsKey(choices[i].key), true).toBool();
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

void FilterPreferencesDialog::onFilterButtonClicked(const QString& key, bool filterFlag) {
    emit setFilteredData(key, filterFlag);
    if (!loading) QSettings().setValue(settingsKey(key), filterFlag);
}
