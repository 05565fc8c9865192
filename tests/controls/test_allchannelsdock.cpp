// The "All channels controls" dock: which buttons each model gets, and the pulses they fire on
// the virtual amplifier, from their buttons and from Return (its zap, power and compensation
// buttons over two amplifiers: the window's compensation test).

#include "tests/controls/dockdriver.h"
#include "tests/support/connectedamplifier.h"

#include "controls/allchannelscontrolsdockwidget.h"
#include "widgets/steppedspinbox.h"

#include <QKeySequence>
#include <QToolButton>

#include <map>
#include <set>

namespace {

using kav4sim::DecodedCommand;
using namespace kv4test;

// The buttons by a letter each, and the start of their tool tips.
const std::map<char, QString> tips = {
    {'b', "Switch ON/OFF Y-Axis automatic current baseline tracking"},
    {'s', "Apply voltage stimulus to all channels"},
    {'c', "Apply digital offset compensation to all channels"},
    {'z', "Zap all channels"},
    {'o', "Switch all channels on/off."},
    {'h', "Show/hide switched off channels."},
    {'i', "Apply an insertion pulse with"},
    {'r', "Apply a reference pulse with"},
    {'t', "Apply a reference pulse train with"},
    {'v', "Override of the reference pulse:"},
};

class AllChannelsDock : public ConnectedAmplifier {
  protected:
    void build(QSize screen = screens[0]) {
        dock = std::make_unique<AllChannelsControlsDockWidget>();
        placeOn(*dock, screen);
    }
    QToolButton* button(char letter) const {
        return first<QToolButton>(*dock,
                                  [&](QToolButton* b) { return b->toolTip().startsWith(tips.at(letter)); });
    }

    std::unique_ptr<AllChannelsControlsDockWidget> dock;
};

TEST_F(AllChannelsDock, EachButtonOnlyWhereTheModelHasItsFeature) {
    const std::pair<const char*, std::string> models[] = {
        {"alder", "b"}, {"elm", "bi"}, {"fir", "bohi"}, {"dogwood32", "bsczohi"}, {"dogwood16", "bsczohirtv"},
    };
    for (const auto& [model, letters] : models) {
        ASSERT_NO_FATAL_FAILURE(connect(model));
        build();
        std::string has;
        for (const auto& [letter, tip] : tips)
            if (button(letter)) has += letter;
        EXPECT_EQ(std::set<char>(has.begin(), has.end()), std::set<char>(letters.begin(), letters.end()))
            << model;
        EXPECT_EQ(dock->findChildren<QToolButton*>().size(), qsizetype(letters.size())) << model;
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
    // A pulse after the dock's messages: by the time it is in, they are too.
    button('i')->click();
    ASSERT_TRUE(reaches(
        [&](const DecodedCommand& c) { return c.insertionPulse.count > before.insertionPulse.count; }));
    EXPECT_EQ(command().switchBankA, (std::vector<bool>{true, false, true, true}));
    EXPECT_EQ(command().switchBankB, before.switchBankB);
}

// Return or Enter in a pulse's box fires it once with the value just typed; other keys and the train's period
// fire nothing; the button fires it too.
TEST_F(AllChannelsDock, ReturnOrEnterInAPulseBoxFiresThatPulseOnce) {
    connect("dogwood16");
    build();
    auto* vIns = labelled<SteppedSpinBox>(*dock, "VIns");
    auto* tIns = labelled<SteppedSpinBox>(*dock, "TIns");
    ASSERT_TRUE(vIns && tIns);
    const struct {
        const char* box;
        const char* typed;
        Qt::Key key;
        uint64_t insertions, references; // pulses fired
    } cases[] = {
        {"VIns", "-40", Qt::Key_Return, 1, 0}, {"TIns", "15", Qt::Key_Enter, 1, 0},
        {"Vref", "25", Qt::Key_Return, 0, 1},  {"Tref", "2", Qt::Key_Enter, 0, 1},
        {"VIns", "30", Qt::Key_Tab, 0, 0},     {"Vref", "10", Qt::Key_Escape, 0, 0},
        {"Pref", "100", Qt::Key_Return, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.box) + " " + QKeySequence(c.key).toString().toStdString());
        const DecodedCommand before = fenced();
        typeInto(labelled<QAbstractSpinBox>(*dock, c.box), c.typed, c.key);
        const DecodedCommand after = fenced();
        EXPECT_EQ(after.insertionPulse.count - before.insertionPulse.count, c.insertions);
        EXPECT_EQ(after.referencePulse.count - before.referencePulse.count, c.references);
        if (!c.insertions && !c.references) continue;
        const DecodedCommand::Pulse& pulse = c.insertions ? after.insertionPulse : after.referencePulse;
        EXPECT_NEAR(c.box[0] == 'V' ? pulse.voltage : pulse.duration, QString(c.typed).toDouble() * 1e-3,
                    1e-9);
    }
    vIns->setValue(-50.0);
    tIns->setValue(20.0);
    button('i')->click();
    const DecodedCommand clicked = fenced();
    EXPECT_NEAR(clicked.insertionPulse.voltage, -0.05, 1e-9);
    EXPECT_NEAR(clicked.insertionPulse.duration, 0.02, 1e-9);
}

} // namespace
