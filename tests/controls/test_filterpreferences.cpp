// The filter preferences: filtered data unless the settings say otherwise, each choice
// announced for the consumers that carry its key and kept under the keys stored so far.

#include "analysis/analyses.h"
#include "controls/filterpreferencesdialog.h"
#include "tests/controls/dockdriver.h"
#include "widgets/activationbutton.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QSettings>

#include <utility>
#include <vector>

namespace {

using Choice = std::pair<QString, bool>;

// Label, key: the plot and the recordings, then the analyses in their menu's order. The keys
// are those the settings have held so far: choices stored before keep working.
const std::pair<const char*, const char*> rows[] = {
    {"Plot", "Plot"},
    {"ABF recording", "AbfRecording"},
    {"DAT recording", "DatRecording"},
    {"Noise report", "NoiseReport"},
    {"RC estimation", "RCEstimation"},
    {"Histogram", "Histogram"},
    {"Event detection", "EventDetection"},
    {"Spectrum", "Spectrum"},
    {"I/V graph", "IVGraph"},
    {"Membrane monitor", "MembraneMonitor"},
    {"Voltage automatic control", "VoltageAutomaticControl"},
};

ActivationButton* button(const FilterPreferencesDialog& dialog, const QString& label) {
    return kv4test::labelled<ActivationButton>(dialog, label);
}

std::vector<Choice> everyKey(bool flag) {
    std::vector<Choice> choices;
    for (const auto& [label, key] : rows)
        choices.emplace_back(key, flag);
    return choices;
}

TEST(FilterPreferences, ChoicesAreAnnouncedPerKeyKeptAndLoadedAgain) {
    QSettings().clear();
    std::vector<Choice> choices;
    const auto listen = [&](FilterPreferencesDialog& dialog) {
        QObject::connect(&dialog, &FilterPreferencesDialog::setFilteredData,
                         [&](const QString& key, bool flag) { choices.emplace_back(key, flag); });
    };
    {
        FilterPreferencesDialog dialog(analyses());
        listen(dialog);
        for (const auto& [label, key] : rows)
            EXPECT_TRUE(button(dialog, label) && button(dialog, label)->isChecked()) << "filtered: " << label;
        dialog.onLoadSettings();
        EXPECT_EQ(choices, everyKey(true));
        EXPECT_TRUE(QSettings().allKeys().isEmpty()) << "loading stores nothing";
        choices.clear();
        button(dialog, "Histogram")->click();
        EXPECT_EQ(choices, (std::vector<Choice>{{"Histogram", false}}));
    }
    FilterPreferencesDialog reopened(analyses());
    listen(reopened);
    EXPECT_FALSE(button(reopened, "Histogram")->isChecked());
    EXPECT_FALSE(button(reopened, "All")->isChecked()) << "not every type is filtered";
    choices.clear();
    button(reopened, "All")->click();
    EXPECT_EQ(choices, everyKey(true));
    choices.clear();
    reopened.onSetAllFilters(false);
    EXPECT_EQ(choices, everyKey(false));
    for (const auto& [label, key] : rows)
        EXPECT_EQ(QSettings().value(QString("Preferences/Filters/filterDataFor") + key), QVariant(false))
            << key;
    QSettings().clear();
}

} // namespace
