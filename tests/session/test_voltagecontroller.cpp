// The voltage controller's rule on a virtual Dogwood 16 (voltage offsets) and a Cedar (none),
// told what its worker would report: the rule's voltage reaches the channel that fired as its
// offset, else every channel as the holding voltage; after the restore time what was there
// comes back, and only when asked; a line in the lab book per action and per restore.

#include "tests/support/amplifiertest.h"

#include "analysis/voltagecontroller/voltagecontroller.h"
#include "session/stimulusservice.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

namespace {

using namespace kv4test;

class Rule : public SimulatedAmplifiers, public testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        QFile::remove(StimulusService::lastSessionFile());
        ASSERT_NO_FATAL_FAILURE(connect(GetParam()));
        stimulus = std::make_unique<StimulusService>();
    }
    void TearDown() override {
        stimulus.reset();
        SimulatedAmplifiers::TearDown();
    }

    std::unique_ptr<StimulusService> stimulus;
};

// Both rules act alike: the high one stands for them. A second action before the restore keeps
// what ran before the first.
TEST_P(Rule, ItsVoltageReachesTheDeviceAndWhatRanBeforeComesBack) {
    const bool offsets = stimulus->hasOffsets();
    // Running before: a square wave at -20 mV, and 7 mV on channel 3 where there are offsets.
    stimulus->select(2);
    stimulus->setValue(ProtocolTable::Voltages, 0, -20.0);
    uint64_t starts = amplifier().command().protocolStarts;
    ASSERT_TRUE(stimulus->apply());
    waitForCommand([&](const DecodedCommand& d) { return d.protocolStarts > starts; });
    if (offsets) {
        ASSERT_TRUE(stimulus->setOffset(2, {7.0, kv4cl::UnitPfxMilli, "V"}));
    }
    VoltageController rule(4);
    rule.setStimulus(stimulus.get());
    VoltageController::Rule high;
    high.enabled = true;
    high.voltage.value = -50.0;
    high.cause = "I > 100 pA for 10 ms";
    rule.setRule(true, high);
    rule.setRestore(true, 200);
    QSignalSpy events(&rule, &VoltageController::labbookEvent);

    starts = amplifier().command().protocolStarts;
    rule.onResult({false, 2}); // the low rule is off
    rule.onResult({true, 4});  // no such channel
    rule.onResult({true, 2});
    // Channel 3's offset at `volts` where there are offsets, else protocol `index` started
    // after `after` with Vhold at `volts`.
    const auto reached = [&](double volts, uint64_t after, int index) {
        if (offsets)
            return waitForCommand(
                [&](const DecodedCommand& d) { return std::abs(d.voltageOffsets[2].to - volts) < 1e-9; });
        waitForCommand(
            [&](const DecodedCommand& d) { return d.protocolStarts > after && d.protocolIdx == index; });
        EXPECT_NEAR(amplifier().command().protocolParameters.at("Vhold"), volts, 1e-9);
    };
    reached(-0.05, starts, 0);
    if (offsets) {
        EXPECT_EQ(amplifier().command().protocolStarts, starts) << "the protocol runs on";
    }
    const uint64_t applied = amplifier().command().protocolStarts;
    rule.onResult({true, 2});
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.count() == 3; }, 5000));
    reached(offsets ? 0.007 : -0.02, applied, 2);
    EXPECT_EQ(stimulus->choice().protocol, 2);

    const QString action =
        offsets ? "Voltage Controller, Channel: 3, I > 100 pA for 10 ms: applied, Voltage: -50 [mV]"
                : "Voltage Controller, Channel: 3, I > 100 pA for 10 ms: applied to every "
                  "channel, Voltage: -50 [mV]";
    const QString restored = offsets ? "Voltage Controller, Channel: 3, Restored, Voltage: 7 [mV]"
                                     : "Voltage Controller, Channel: 3, Protocol restored";
    const QString expected[] = {action, action, restored};
    for (int k = 0; k < 3; k++) {
        std::unique_ptr<LabbookEvent> event(events.at(k).at(0).value<LabbookEvent*>());
        event->prepareValues();
        EXPECT_TRUE(event->lineText().contains(expected[k])) << event->lineText().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutOffsets, Rule, testing::Values("dogwood16", "cedar"));

} // namespace
