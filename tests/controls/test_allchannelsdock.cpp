// The "All channels controls" dock: which buttons each model gets, what they announce, and
// the pulses they fire on the virtual amplifier, from their buttons and from Return.

#include "tests/support/connectedamplifier.h"

#include "controls/allchannelscontrolsdockwidget.h"
#include "widgets/steppedspinbox.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QKeySequence>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <map>
#include <set>

namespace {

using kav4sim::DecodedCommand;

const QString baselineTip = "Switch ON/OFF Y-Axis automatic current baseline tracking on all channels";
const QString selectTip = "Apply voltage stimulus to all channels";
const QString compensationTip = "Apply digital offset compensation to all channels";
const QString zapTip = "Zap all channels";
const QString switchAllTip = "Switch all channels on/off.\nNOTE: voltage compensation is applied to switched "
                             "off\nchannels to reduce cross-talk with other channels.";
const QString hideTip = "Show/hide switched off channels.\nWhen this button is checked switched off channels "
                        "disappear\nto make more room for switched on channels.";
const QString insertionTip = "Apply an insertion pulse with\namplitude VIns and duration TIns";
const QString referenceTip = "Apply a reference pulse with\namplitude Vref and duration Tref";
const QString trainTip = "Apply a reference pulse train with\namplitude Vref, pulse duration Tref, pulse "
                         "period\nPref and Nref pulses";
const QString overrideTip =
    "Override of the reference pulse:\n if this button is checked, \n Vref is continously applied";

bool sameImage(const QIcon& icon, const QString& path) {
    return icon.pixmap(16).toImage() == QIcon(path).pixmap(16).toImage();
}

class AllChannelsDock : public kv4test::ConnectedAmplifier {
  protected:
    void build() { dock = std::make_unique<AllChannelsControlsDockWidget>(); }
    QToolButton* button(const QString& toolTip) const {
        for (QToolButton* b : dock->findChildren<QToolButton*>())
            if (b->toolTip() == toolTip) return b;
        return nullptr;
    }
    std::set<QString> toolTips() const {
        std::set<QString> tips;
        for (const QToolButton* b : dock->findChildren<QToolButton*>())
            tips.insert(b->toolTip());
        return tips;
    }

    std::unique_ptr<AllChannelsControlsDockWidget> dock;
};

TEST_F(AllChannelsDock, EachButtonOnlyWhereTheModelHasItsFeature) {
    const std::map<std::string, std::set<QString>> expected = {
        {"alder", {baselineTip}},
        {"elm", {baselineTip, insertionTip}},
        {"birch", {baselineTip, switchAllTip, hideTip, insertionTip}},
        {"fir", {baselineTip, switchAllTip, hideTip, insertionTip}},
        {"cedar", {baselineTip, selectTip, switchAllTip, hideTip, insertionTip}},
        {"dogwood32", {baselineTip, selectTip, compensationTip, zapTip, switchAllTip, hideTip, insertionTip}},
        {"dogwood16",
         {baselineTip, selectTip, compensationTip, zapTip, switchAllTip, hideTip, insertionTip, referenceTip,
          trainTip, overrideTip}},
    };
    for (const auto& [model, tips] : expected) {
        ASSERT_NO_FATAL_FAILURE(connect(model));
        build();
        EXPECT_EQ(toolTips(), tips) << model;
        dock.reset();
        kv4cl::disconnect();
    }
}

TEST_F(AllChannelsDock, FindingTheSwitchBanksChangesNoChannel) {
    connect("cedar");
    // A dock built while a channel is off must leave it off.
    ASSERT_EQ(kv4cl::setChannelSwitchA(1, false), kv4cl::Success);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return !c.switchBankA.at(1); }));
    const DecodedCommand before = command();
    build();
    EXPECT_EQ(dock->objectName(), "allChannelsControlsDw");
    EXPECT_EQ(dock->windowTitle(), "All channels controls");
    // A pulse after the dock's messages: by the time it is in, they are too.
    button(insertionTip)->click();
    ASSERT_TRUE(reaches(
        [&](const DecodedCommand& c) { return c.insertionPulse.count > before.insertionPulse.count; }));
    EXPECT_EQ(command().switchBankA, (std::vector<bool>{true, false, true, true}));
    EXPECT_EQ(command().switchBankB, before.switchBankB);
}

TEST_F(AllChannelsDock, ButtonsAnnounceTheirClicksAndThePowerButtonWarnsWhileChannelsAreOff) {
    connect("dogwood16");
    build();
    std::vector<bool> switched, hidden, compensations;
    int zaps = 0;
    QObject::connect(dock.get(), &AllChannelsControlsDockWidget::switchChannelsOn,
                     [&](bool on) { switched.push_back(on); });
    QObject::connect(dock.get(), &AllChannelsControlsDockWidget::hideSwitchedOffChannels,
                     [&](bool hide) { hidden.push_back(hide); });
    QObject::connect(dock.get(), &AllChannelsControlsDockWidget::digitalOffsetCompensation,
                     [&](bool on) { compensations.push_back(on); });
    QObject::connect(dock.get(), &AllChannelsControlsDockWidget::zap, [&] { zaps++; });

    QToolButton* power = button(switchAllTip);
    EXPECT_TRUE(power->isChecked()) << "channels are on after connecting";
    EXPECT_TRUE(sameImage(power->icon(), ":/imgs/power on.png"));
    power->click();
    EXPECT_TRUE(sameImage(power->icon(), ":/imgs/warning icon.png"));
    power->click();
    EXPECT_TRUE(sameImage(power->icon(), ":/imgs/power on.png"));
    button(hideTip)->click();
    EXPECT_TRUE(sameImage(button(hideTip)->icon(), ":/imgs/show.png"));
    for (const QString& tip : {compensationTip, zapTip, zapTip, compensationTip})
        QTest::mouseClick(button(tip), Qt::LeftButton);
    EXPECT_EQ(switched, (std::vector<bool>{false, true}));
    EXPECT_EQ(hidden, std::vector<bool>{true});
    EXPECT_EQ(compensations, (std::vector<bool>{true, false}));
    EXPECT_EQ(zaps, 2);
}

// Return or Enter in a pulse's box fires it once with the value just typed, within the
// library's ranges; other keys and the train's period fire nothing; the button fires it too.
TEST_F(AllChannelsDock, ReturnOrEnterInAPulseBoxFiresThatPulseOnce) {
    connect("dogwood16");
    build();
    dock->show();
    QApplication::setActiveWindow(dock.get());
    kv4cl::RangedMeasurement_t voltageRange, durationRange;
    ASSERT_EQ(kv4cl::getInsertionPulseControls(voltageRange, durationRange), kv4cl::Success);
    auto* vIns = labelled<SteppedSpinBox>(*dock, "VIns");
    auto* tIns = labelled<SteppedSpinBox>(*dock, "TIns");
    ASSERT_TRUE(vIns && tIns);
    EXPECT_EQ(std::pair(vIns->minimum(), vIns->maximum()), std::pair(voltageRange.min, voltageRange.max));
    EXPECT_EQ(std::pair(tIns->maximum(), tIns->singleStep()),
              std::pair(durationRange.max, durationRange.step));
    struct Case {
        const char* box;
        const char* typed;
        Qt::Key key;
        uint64_t insertions, references; // pulses fired
    };
    const Case cases[] = {
        {"VIns", "-40", Qt::Key_Return, 1, 0}, {"TIns", "15", Qt::Key_Enter, 1, 0},
        {"Vref", "25", Qt::Key_Return, 0, 1},  {"Tref", "2", Qt::Key_Enter, 0, 1},
        {"VIns", "30", Qt::Key_Tab, 0, 0},     {"Vref", "10", Qt::Key_Escape, 0, 0},
        {"Pref", "100", Qt::Key_Return, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.box) + " " + QKeySequence(c.key).toString().toStdString());
        auto* box = labelled<QAbstractSpinBox>(*dock, c.box);
        ASSERT_TRUE(box);
        const DecodedCommand before = fenced();
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, c.typed);
        QTest::keyClick(box, c.key);
        const DecodedCommand after = fenced();
        EXPECT_EQ(after.insertionPulse.count - before.insertionPulse.count, c.insertions);
        EXPECT_EQ(after.referencePulse.count - before.referencePulse.count, c.references);
        if (!c.insertions && !c.references) continue;
        const DecodedCommand::Pulse& pulse = c.insertions ? after.insertionPulse : after.referencePulse;
        EXPECT_NEAR(c.box[0] == 'V' ? pulse.voltage : pulse.duration, QString(c.typed).toDouble() * 1e-3,
                    1e-9);
    }
    // The button fires with what the boxes hold.
    vIns->setValue(-50.0);
    tIns->setValue(20.0);
    button(insertionTip)->click();
    const DecodedCommand clicked = fenced();
    EXPECT_NEAR(clicked.insertionPulse.voltage, -0.05, 1e-9);
    EXPECT_NEAR(clicked.insertionPulse.duration, 0.02, 1e-9);
}

} // namespace
