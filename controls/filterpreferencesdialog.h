#pragma once
// Chooses, per kind of consumer, whether it reads filtered or raw data: the plot, the two
// recordings, then each analysis given. A choice is named by its key, the one its consumers
// are filed under, and kept in the settings under "Preferences/Filters/filterDataFor<key>"
// (filtered unless stored otherwise).

#include "analysis/framework/analysis.h"

#include <QDialog>
#include <QString>

#include <vector>

class ActivationButton;

class FilterPreferencesDialog : public QDialog {
    Q_OBJECT

  public:
    // The buttons start as the settings say.
    explicit FilterPreferencesDialog(const std::vector<Analysis>& analyses, QWidget* parent = nullptr);

  signals:
    void setFilteredData(const QString& key, bool filterFlag);

  public slots:
    void onSetAllFilters(bool filterFlag);
    // Sets every button from the settings again, announcing each choice without storing it.
    void onLoadSettings();

  private:
    struct Choice {
        QString label;
        QString key;
    };
    void onFilterButtonClicked(const QString& key, bool filterFlag);

    std::vector<Choice> choices;
    std::vector<ActivationButton*> buttons;
    ActivationButton* allButton;
    bool loading = false;
};
