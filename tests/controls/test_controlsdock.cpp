// The "Controls" dock: its sections as each model lists the options, and what a click reaches
// on the virtual amplifier and announces to the consumers. The real rates it announces for the
// rate and oversampling buttons: the window's recording test, through every consumer and file.

#include "tests/support/connectedamplifier.h"

#include "controls/controlsdockwidget.h"
#include "widgets/collapsiblesection.h"

#include <QPushButton>
#include <QRadioButton>

#include <cmath>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using kav4sim::DecodedCommand;
using kv4cl::RangedMeasurement_t;

class ControlsDock : public kv4test::ConnectedAmplifier {
  protected:
    void build() {
        dock = std::make_unique<ControlsDockWidget>();
        QObject::connect(
            dock.get(), &ControlsDockWidget::currentRangeChanged,
            [this](RangedMeasurement_t r, int ch) { currentRanges.emplace_back(r.max, r.prefix, ch); });
        QObject::connect(dock.get(), &ControlsDockWidget::currentRangeAuto,
                         [this](bool flag) { autoFlags.push_back(flag); });
        QObject::connect(dock.get(), &ControlsDockWidget::voltageRangeChanged,
                         [this](RangedMeasurement_t range) { voltageRanges.push_back(range); });
    }

    CollapsibleSection* section(const QString& title) const {
        for (CollapsibleSection* s : dock->findChildren<CollapsibleSection*>())
            for (const QLabel* label : s->findChildren<QLabel*>())
                if (label->text() == title) return s;
        return nullptr;
    }
    static QList<QPushButton*> buttons(const CollapsibleSection* s) {
        return s->findChildren<QPushButton*>();
    }
    // The section's button texts, the checked one marked with a '*'; none without the section.
    QStringList shown(const QString& title) const {
        const CollapsibleSection* s = section(title);
        QStringList texts;
        for (const QPushButton* b : s ? buttons(s) : QList<QPushButton*>())
            texts << (b->isChecked() ? "*" : "") + b->text();
        return s && texts.isEmpty() ? QStringList{"a section without buttons"} : texts;
    }
    static int checkedIndex(const CollapsibleSection* s) {
        const QList<QPushButton*> list = buttons(s);
        for (int i = 0; i < list.size(); i++)
            if (list[i]->isChecked()) return i;
        return -1;
    }
    // Clicks the button, or fails the test when the section or button is missing.
    void click(const QString& title, int index) const {
        CollapsibleSection* s = section(title);
        ASSERT_TRUE(s) << title.toStdString();
        ASSERT_LT(index, buttons(s).size());
        buttons(s)[index]->click();
    }

    std::unique_ptr<ControlsDockWidget> dock;
    using Range = std::tuple<double, kv4cl::UnitPfx_t, int>; // its maximum and prefix, the channel
    std::vector<Range> currentRanges;
    std::vector<bool> autoFlags;
    std::vector<RangedMeasurement_t> voltageRanges;
};

// Per model: the sections it has, their buttons in the library's order with the default
// checked (an empty list: no section), and each gp channel's ranges, whose clicks reach it.
// Filters are named by bandwidth whichever order the library lists their cut-offs in.
TEST_F(ControlsDock, SectionsFollowEachModelsListsAndGpRangesReachTheDevice) {
    const struct {
        const char* model;
        const char* title;
        QStringList shown;
    } rows[] = {
        {"cedar", "Voltage range", {}}, // one range: plain text
        {"cedar", "Voltage command filter", {"100 Hz - Low bandwidth", "*10 kHz - High bandwidth"}},
        {"cedar", "Current range", {"*200 pA", "2 nA", "20 nA", "200 nA", "Auto"}},
        {"cedar", "Oversampling", {}},
        {"birch", "Current range", {}}, // one range per channel: a table
        {"dogwood16",
         "Voltage command filter",
         {"*100 kHz - High bandwidth", "10 kHz - Mid bandwidth", "1 kHz - Low bandwidth"}},
        {"dogwood16", "Voltage reference filter", {"*10 Hz - Low bandwidth", "1 kHz - High bandwidth"}},
    };
    std::string model;
    int gpSections = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.model) + " " + row.title);
        if (model != row.model) {
            dock.reset();
            kv4cl::disconnect();
            ASSERT_NO_FATAL_FAILURE(connect(model = row.model));
            build();
            std::vector<std::vector<RangedMeasurement_t>> gp;
            std::vector<uint16_t> defaults;
            std::vector<std::string> names;
            if (kv4cl::getGpRanges(gp, defaults, names) != kv4cl::Success) gp.clear();
            std::vector<std::pair<double, int>> announced; // the range's maximum, the channel
            QObject::connect(
                dock.get(), &ControlsDockWidget::gpRangeChanged,
                [&](RangedMeasurement_t range, int ch) { announced.emplace_back(range.max, ch); });
            for (size_t ch = 0; ch < gp.size(); ch++) {
                if (gp[ch].size() < 2) continue; // one range: plain text
                const QString name = ch < names.size() ? QString::fromStdString(names[ch])
                                                       : QString("GP range %1").arg(ch + 1);
                SCOPED_TRACE(name.toStdString());
                CollapsibleSection* s = section(name);
                ASSERT_TRUE(s);
                ASSERT_EQ(buttons(s).size(), qsizetype(gp[ch].size()));
                EXPECT_EQ(checkedIndex(s), ch < defaults.size() ? defaults[ch] : 0);
                const auto last = uint16_t(gp[ch].size() - 1);
                buttons(s)[last]->click();
                ASSERT_TRUE(reaches([&](const DecodedCommand& c) { return c.gpRangeIdx.at(ch) == last; }));
                EXPECT_EQ(announced, (std::vector<std::pair<double, int>>{{gp[ch][last].max, int(ch)}}));
                announced.clear();
                gpSections++;
            }
        }
        EXPECT_EQ(shown(row.title), row.shown);
    }
    EXPECT_GT(gpSections, 0) << "the models with gp channels have ranges to choose";
}

TEST_F(ControlsDock, ChannelCurrentRangesAreOneTableWithARowThatSetsAll) {
    connect("birch");
    build();
    auto* table = dock->findChild<QWidget*>("currentRangeTable");
    ASSERT_TRUE(table);
    auto radio = [&](const QString& toolTip) {
        for (QRadioButton* button : table->findChildren<QRadioButton*>())
            if (button->toolTip() == toolTip) return button;
        return static_cast<QRadioButton*>(nullptr);
    };
    ASSERT_TRUE(radio("Ch2: 20 nA"));
    EXPECT_TRUE(radio("Ch1: 200 pA")->isChecked());
    EXPECT_TRUE(radio("Set every channel to 200 pA")->isChecked()) << "every channel has it";

    radio("Ch2: 20 nA")->click();
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.currentRangeIdx[1] == 2; }));
    EXPECT_EQ(command().currentRangeIdx[0], 0);
    EXPECT_EQ(currentRanges, (std::vector<Range>{{20.0, kv4cl::UnitPfxNano, 1}}));
    EXPECT_EQ(autoFlags, std::vector<bool>{false});
    for (QRadioButton* all : table->findChildren<QRadioButton*>())
        EXPECT_FALSE(all->toolTip().startsWith("Set every channel") && all->isChecked()) << "they differ";

    currentRanges.clear();
    const uint64_t messages = command().messages;
    radio("Set every channel to 2 nA")->click();
    ASSERT_TRUE(reaches([](const DecodedCommand& c) {
        return c.currentRangeIdx == std::vector<uint16_t>{1, 1};
    }));
    EXPECT_EQ(command().messages, messages + 1) << "one message for every channel";
    EXPECT_EQ(currentRanges,
              (std::vector<Range>{{2.0, kv4cl::UnitPfxNano, 0}, {2.0, kv4cl::UnitPfxNano, 1}}));
    EXPECT_TRUE(radio("Ch1: 2 nA")->isChecked() && radio("Ch2: 2 nA")->isChecked());
    EXPECT_TRUE(radio("Set every channel to 2 nA")->isChecked());

    dock->onRecording(true);
    EXPECT_FALSE(radio("Ch1: 200 pA")->isEnabled()) << "ranges stay while recording";
}

// A common range reaches every channel in one message; Auto, and any range while recording
// (Auto's range in force: the window's test), reach nothing.
TEST_F(ControlsDock, CommonCurrentRangeReachesEveryChannelAutoCallsNoSetterAndRecordingLocksBoth) {
    connect("cedar");
    build();
    click("Current range", 2);
    ASSERT_TRUE(
        reaches([](const DecodedCommand& c) { return c.currentRangeIdx == std::vector<uint16_t>(4, 2); }));
    EXPECT_EQ(autoFlags, std::vector<bool>{false});
    ASSERT_EQ(currentRanges.size(), 4u);
    EXPECT_EQ(currentRanges.back(), (Range{20.0, kv4cl::UnitPfxNano, 3}));
    // Once this range is in, so is everything the dock sent while being built.
    const uint64_t messages = command().messages;
    currentRanges.clear();
    autoFlags.clear();
    click("Current range", 4);
    dock->onRecording(true);
    EXPECT_FALSE(buttons(section("Current range"))[1]->isEnabled());
    EXPECT_FALSE(buttons(section("Sampling rate"))[1]->isEnabled());
    EXPECT_TRUE(buttons(section("Voltage command filter"))[0]->isEnabled());
    click("Current range", 1);
    dock->onCurrentRangeToggled(1, 4, true);
    dock->onCurrentRangeToggled(4, 4, true);
    dock->onSetCurrentRange(1, 0);
    EXPECT_EQ(checkedIndex(section("Current range")), 4);
    EXPECT_TRUE(currentRanges.empty());
    EXPECT_EQ(autoFlags, std::vector<bool>{true});

    // Messages arrive in order: once this one is in, any sent for "Auto" or while recording
    // would be too.
    dock->onRecording(false);
    click("Current range", 3);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.currentRangeIdx[0] == 3; }));
    EXPECT_EQ(command().messages, messages + 1);
    EXPECT_EQ(currentRanges.size(), 4u);
}

// The wide range rules the reference filter out at its lowest cut-off and leaves the stimulus
// filter.
TEST_F(ControlsDock, AVoltageRangeRulesOutTheFiltersItCannotTake) {
    connect("dogwood16");
    build();
    CollapsibleSection* stimulus = section("Voltage command filter");
    CollapsibleSection* reference = section("Voltage reference filter");
    ASSERT_TRUE(stimulus && reference);
    click("Voltage reference filter", 1);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.voltageReferenceLpfIdx == 1; }));
    voltageRanges.clear();
    click("Voltage range", 1);
    ASSERT_TRUE(reaches(
        [](const DecodedCommand& c) { return c.voltageRangeIdx == 1 && c.voltageReferenceLpfIdx == 0; }));
    ASSERT_EQ(voltageRanges.size(), 1u);
    EXPECT_EQ(voltageRanges[0].max, 2000.0);
    EXPECT_FALSE(buttons(reference)[0]->isEnabled());
    EXPECT_EQ(reference->toolTip().toStdString(), "Filtering option not available\nfor this voltage range");
    EXPECT_EQ(checkedIndex(reference), 0) << "the lowest cut-off";
    EXPECT_TRUE(buttons(stimulus)[0]->isEnabled());
    click("Voltage range", 0);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.voltageRangeIdx == 0; }));
    EXPECT_TRUE(buttons(reference)[0]->isEnabled());
}

TEST_F(ControlsDock, CustomFlagsAndValuesStartAtTheirDefaults) {
    connect("dogwood16");
    // Left otherwise than the defaults (off, off, on; 25 °C) before the dock is built.
    ASSERT_EQ(kv4cl::setSwitch(0, true), kv4cl::Success);
    ASSERT_EQ(kv4cl::setSwitch(2, false), kv4cl::Success);
    ASSERT_EQ(kv4cl::setCustomDouble(1, 30.0), kv4cl::Success);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) {
        return c.switches == std::vector<bool>{true, false, false} && c.customDoubles[1] > 29.0;
    }));
    build();
    ASSERT_TRUE(reaches([](const DecodedCommand& c) {
        return c.switches == std::vector<bool>{false, false, true} &&
               std::abs(c.customDoubles[1] - 25.0) < 0.05;
    }));
    QPushButton* fan = withText<QPushButton>(*dock, "Fan");
    ASSERT_TRUE(fan && fan->isChecked());
    fan->click();
    EXPECT_TRUE(reaches([](const DecodedCommand& c) { return !c.switches[2]; }));
}

} // namespace
