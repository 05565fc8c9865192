// The filter preferences: filtered data unless the settings say otherwise, each choice
// announced for the consumers that carry its key and kept under the keys stored so far.

#include "analysis/analyses.h"
#include "controls/filterpreferencesdialog.h"
#include "widgets/activationbutton.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QSettings>

#include <utility>
#include <vector>

namespace {

using Choice = std::pair<QString, bool>;

// Label, key: the plot and the recordings, then the analyses in their menu's order.
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

class FilterPreferences : public ::testing::Test {
  protected:
    void SetUp() override { QSettings().clear(); }
    void TearDown() override { QSettings().clear(); }

    static ActivationButton* button(const FilterPreferencesDialog& dialog, const QString& label) {
        for (const QLabel* l : dialog.findChildren<QLabel*>())
            if (l->text() == label) return qobject_cast<ActivationButton*>(l->buddy());
        return nullptr;
    }
    static void record(FilterPreferencesDialog& dialog, std::vector<Choice>& choices) {
        QObject::connect(&dialog, &FilterPreferencesDialog::setFilteredData,
                         [&choices](const QString& key, bool flag) { choices.emplace_back(key, flag); });
    }
    static std::vector<Choice> everyKey(bool flag) {
        std::vector<Choice> choices;
        for (const auto& [label, key] : rows)
            choices.emplace_back(key, flag);
        return choices;
    }
};

TEST_F(FilterPreferences, WithoutSettingsEveryConsumerGetsFilteredData) {
    FilterPreferencesDialog dialog(analyses());
    for (const auto& [label, key] : rows) {
        ActivationButton* b = button(dialog, label);
        ASSERT_TRUE(b) << label;
        EXPECT_TRUE(b->isChecked()) << label;
    }
    std::vector<Choice> choices;
    record(dialog, choices);
    dialog.onLoadSettings();
    EXPECT_EQ(choices, everyKey(true));
    EXPECT_TRUE(QSettings().allKeys().isEmpty()) << "loading stores nothing";
}

TEST_F(FilterPreferences, AChoiceIsAnnouncedKeptAndLoadedAgain) {
    {
        FilterPreferencesDialog dialog(analyses());
        std::vector<Choice> choices;
        record(dialog, choices);
        button(dialog, "Histogram")->click();
        EXPECT_EQ(choices, (std::vector<Choice>{{"Histogram", false}}));
        EXPECT_EQ(QSettings().value("Preferences/Filters/filterDataForHistogram"), QVariant(false));
    }
    FilterPreferencesDialog reopened(analyses());
    EXPECT_FALSE(button(reopened, "Histogram")->isChecked());
    EXPECT_TRUE(button(reopened, "Spectrum")->isChecked());
    EXPECT_FALSE(button(reopened, "All")->isChecked()) << "not every type is filtered";
}

// The keys are those the settings have held so far: choices stored before keep working.
TEST_F(FilterPreferences, AllSetsEveryChoiceAndItsKey) {
    FilterPreferencesDialog dialog(analyses());
    std::vector<Choice> choices;
    record(dialog, choices);
    button(dialog, "All")->click();
    EXPECT_EQ(choices, everyKey(false));
    const QSettings settings;
    for (const char* key :
         {"Preferences/Filters/filterDataForPlot", "Preferences/Filters/filterDataForAbfRecording",
          "Preferences/Filters/filterDataForDatRecording", "Preferences/Filters/filterDataForNoiseReport",
          "Preferences/Filters/filterDataForRCEstimation", "Preferences/Filters/filterDataForHistogram",
          "Preferences/Filters/filterDataForEventDetection", "Preferences/Filters/filterDataForSpectrum",
          "Preferences/Filters/filterDataForIVGraph", "Preferences/Filters/filterDataForMembraneMonitor",
          "Preferences/Filters/filterDataForVoltageAutomaticControl"})
        EXPECT_EQ(settings.value(key), QVariant(false)) << key;

    choices.clear();
    dialog.onSetAllFilters(true);
    EXPECT_EQ(choices, everyKey(true));
    EXPECT_TRUE(button(dialog, "All")->isChecked());
}

} // namespace
