// The filter preferences: filtered data unless the settings say otherwise, each choice
// announced for its consumer type and kept.

#include "controls/filterpreferencesdialog.h"
#include "widgets/activationbutton.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QSettings>

#include <utility>
#include <vector>

namespace {

using Choice = std::pair<DeviceDataConsumer::Types_t, bool>;

const char* const labels[] = {"Plot",
                              "ABF recording",
                              "DAT recording",
                              "Noise report",
                              "RC estimation",
                              "Histogram",
                              "Event detection",
                              "Spectrum",
                              "I/V graph",
                              "Membrane monitor",
                              "Voltage automatic control"};

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
        QObject::connect(
            &dialog, &FilterPreferencesDialog::setFilteredData,
            [&choices](DeviceDataConsumer::Types_t type, bool flag) { choices.emplace_back(type, flag); });
    }
    static std::vector<Choice> everyType(bool flag) {
        std::vector<Choice> choices;
        for (int type = 0; type < FilterPreferencesDialog::typesNum; type++)
            choices.emplace_back(DeviceDataConsumer::Types_t(type), flag);
        return choices;
    }
};

TEST_F(FilterPreferences, WithoutSettingsEveryConsumerGetsFilteredData) {
    FilterPreferencesDialog dialog;
    for (const char* label : labels) {
        ActivationButton* b = button(dialog, label);
        ASSERT_TRUE(b) << label;
        EXPECT_TRUE(b->isChecked()) << label;
    }
    std::vector<Choice> choices;
    record(dialog, choices);
    dialog.onLoadSettings();
    EXPECT_EQ(choices, everyType(true));
    EXPECT_TRUE(QSettings().allKeys().isEmpty()) << "loading stores nothing";
}

TEST_F(FilterPreferences, AChoiceIsAnnouncedKeptAndLoadedAgain) {
    {
        FilterPreferencesDialog dialog;
        std::vector<Choice> choices;
        record(dialog, choices);
        button(dialog, "Histogram")->click();
        EXPECT_EQ(choices, (std::vector<Choice>{{DeviceDataConsumer::TypeHistogram, false}}));
        EXPECT_EQ(QSettings().value("Preferences/Filters/filterDataForHistogram"), QVariant(false));
    }
    FilterPreferencesDialog reopened;
    EXPECT_FALSE(button(reopened, "Histogram")->isChecked());
    EXPECT_TRUE(button(reopened, "Spectrum")->isChecked());
    EXPECT_FALSE(button(reopened, "All")->isChecked()) << "not every type is filtered";
}

TEST_F(FilterPreferences, AllSetsEveryTypeAndItsKey) {
    FilterPreferencesDialog dialog;
    std::vector<Choice> choices;
    record(dialog, choices);
    button(dialog, "All")->click();
    EXPECT_EQ(choices, everyType(false));
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
    EXPECT_EQ(choices, everyType(true));
    EXPECT_TRUE(button(dialog, "All")->isChecked());
}

} // namespace
