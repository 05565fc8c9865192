// The stimulus on a virtual Cedar (no offsets) and on two Dogwood 16 as one ("All", with
// offsets): a protocol applied reaches every device and the voltage words carry it; the
// holding voltage and the offsets read back; a value the library refuses keeps its message and
// never reaches a device; an estimation takes the stimulus until it ends; the parameter files.
// (The voltage controller's rule acting through it: the watchers' test.)

#include "tests/support/amplifiertest.h"

#include "session/stimulusservice.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <set>

namespace {

using namespace kv4test;
using Family = ProtocolTable::Family;
using kv4cl::Measurement_t;

Measurement_t mV(double value) {
    return {value, kv4cl::UnitPfxMilli, "V"};
}

class Stimulus : public SimulatedAmplifiers {
  protected:
    void TearDown() override {
        stimulus.reset();
        SimulatedAmplifiers::TearDown();
    }
    void open(const std::string& models) {
        QFile::remove(StimulusService::lastSessionFile());
        QSettings().remove("Protocol");
        ASSERT_NO_FATAL_FAILURE(connect(models));
        stimulus = std::make_unique<StimulusService>();
    }

    int protocol(const QString& name) const {
        const auto& all = stimulus->table().protocols;
        const auto at = std::find_if(all.begin(), all.end(), [&](const auto& p) { return p.name == name; });
        EXPECT_NE(at, all.end()) << name.toStdString();
        return int(at - all.begin());
    }
    // The value of a protocol parameter the (first) device holds, in V or s.
    double sent(const std::string& name, size_t device = 0) {
        return amplifier(device).command().protocolParameters.at(name);
    }
    // Values by name, in their ranges' units (mV, ms, counts).
    void set(const std::map<QString, double>& values) {
        for (const auto& [name, value] : values) {
            bool found = false;
            for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
                for (size_t i = 0; i < stimulus->table().parameters[f].size(); i++)
                    if (stimulus->table().parameters[f][i].name == name) {
                        stimulus->setValue(Family(f), uint16_t(i), value);
                        found = true;
                    }
            ASSERT_TRUE(found) << name.toStdString();
        }
    }
    // What every device holds once it has decoded a message sent after every call so far.
    DecodedCommand fenced() {
        const uint64_t resets = amplifier().command().resets;
        EXPECT_EQ(kv4cl::resetDevice(), kv4cl::Success);
        waitForCommand([&](const DecodedCommand& c) { return c.resets > resets; });
        return amplifier().command();
    }
    void waitForStart(uint64_t startsBefore, int protocolIdx) {
        waitForCommand([&](const DecodedCommand& c) {
            return c.protocolStarts > startsBefore && c.protocolIdx == protocolIdx;
        });
    }
    // The voltage levels (mV, to the tenth) the first voltage word holds for a tenth of a second
    // of frames made from here on.
    std::set<double> levels() {
        settle();
        const Frames f = read(size_t(samplingRate() * 0.1));
        std::set<double> seen;
        for (const Stretch& run : runsOfVoltage(f))
            seen.insert(std::round(run.level * 1e4) / 10.0);
        return seen;
    }

    std::unique_ptr<StimulusService> stimulus;
};

class StimulusOnModel : public Stimulus, public testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(open(GetParam())); }
};

TEST_P(StimulusOnModel, AProtocolAppliedReachesEveryDeviceTheVoltageWordsCarryItAndTheOffsetsReadBack) {
    const struct {
        QString protocol;
        std::map<QString, double> values;
        std::map<std::string, double> sent; // V and s
        std::set<double> levels;            // mV
    } cases[] = {
        {"Constant", {{"Vhold", -30}}, {{"Vhold", -0.03}}, {-30.0}},
        {"Square wave",
         {{"Vhold", -20}, {"Vpulse", 40}, {"Thold", 20}, {"Tpulse", 20}},
         {{"Vhold", -0.02}, {"Vpulse", 0.04}, {"Tpulse", 0.02}},
         {-60.0, -20.0, 20.0}}, // Vhold, then Vpulse above and below it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol.toStdString());
        stimulus->select(protocol(c.protocol));
        ASSERT_NO_FATAL_FAILURE(set(c.values));
        ASSERT_TRUE(stimulus->valid()) << stimulus->message().toStdString();
        QSignalSpy running(stimulus.get(), &StimulusService::running);
        const uint64_t starts = amplifier().command().protocolStarts;
        ASSERT_TRUE(stimulus->apply());
        ASSERT_NO_FATAL_FAILURE(waitForStart(starts, protocol(c.protocol)));
        ASSERT_EQ(running.count(), 1);
        EXPECT_EQ(running.at(0).at(0).toInt(), protocol(c.protocol));
        for (size_t d = 0; d < ids.size(); d++)
            for (const auto& [name, value] : c.sent)
                EXPECT_NEAR(sent(name, d), value, 1e-9) << ids[d] << name;
        EXPECT_EQ(levels(), c.levels);
    }

    // The holding voltage, applied over the square wave chosen, and the offsets read back.
    const uint64_t starts = amplifier().command().protocolStarts;
    stimulus->applyHolding(mV(-40));
    ASSERT_NO_FATAL_FAILURE(waitForStart(starts, 0));
    EXPECT_EQ(stimulus->choice().protocol, 0);
    EXPECT_EQ(stimulus->value(ProtocolTable::Voltages, 0), -40.0);
    EXPECT_EQ(levels(), std::set<double>{-40.0});
    if (!stimulus->hasOffsets()) return;

    // The last channel of the last device, "All" counting the devices' channels one after another.
    const uint16_t last = uint16_t(stimulus->offsetChannels() - 1);
    const size_t device = ids.size() - 1;
    const size_t local = last - device * (stimulus->offsetChannels() / ids.size());
    QSignalSpy changed(stimulus.get(), &StimulusService::offsetChanged);
    ASSERT_TRUE(stimulus->setOffset(last, {0.0125, kv4cl::UnitPfxNone, "V"}));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(stimulus->offset(last).value, 12.5) << "kept in the offset range's prefix";
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const std::vector<Measurement_t> inForce = stimulus->offsetsInForce();
        return inForce.size() > last &&
               std::abs(inForce[last].converted(kv4cl::UnitPfxMilli).value - 12.5) < 0.05;
    }));
    const DecodedCommand c = amplifier(device).command();
    EXPECT_NEAR(c.voltageOffsets.at(local).to, 0.0125, 1e-9);
    EXPECT_EQ(c.voltageOffsets.at(local - 1).to, 0.0) << "every other channel at 0, as set on connection";
}

// Values the library refuses, with its messages: nothing reaches the device, yet the stimulus
// still holds at the voltage the device has, and offsets wait for valid parameters.
TEST_P(StimulusOnModel, ARefusedValueKeepsItsMessageAndNeverReachesTheDevice) {
    const struct {
        QString protocol;
        std::map<QString, double> values;
        QString message;
        double held; // V; NaN: the voltage the device had
    } cases[] = {
        {"Constant", {{"Vhold", 505}}, "Vhold\nmust be within [-500,500]mV", std::nan("")},
        {"Square wave", {{"Vhold", 400}, {"Vpulse", 200}}, "Vhold+Vpulse\nmust be within [-500,500]mV", 0.4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol.toStdString());
        stimulus->select(protocol(c.protocol));
        ASSERT_NO_FATAL_FAILURE(set(c.values));
        EXPECT_FALSE(stimulus->valid());
        EXPECT_EQ(stimulus->message(), c.message);
        const DecodedCommand before = fenced();
        EXPECT_FALSE(stimulus->apply());
        const DecodedCommand refused = fenced();
        EXPECT_EQ(refused.protocolStarts, before.protocolStarts);
        EXPECT_EQ(refused.protocolParameters, before.protocolParameters);

        if (stimulus->hasOffsets()) {
            const uint64_t orders = refused.voltageOffsets.at(1).count;
            EXPECT_TRUE(stimulus->setOffset(1, mV(20))) << "accepted, kept";
            EXPECT_EQ(fenced().voltageOffsets.at(1).count, orders)
                << "not sent while the parameters are refused";
        }
        stimulus->hold();
        ASSERT_NO_FATAL_FAILURE(waitForStart(before.protocolStarts, 0));
        EXPECT_EQ(sent("Vhold"), std::isnan(c.held) ? before.protocolParameters.at("Vhold") : c.held);
        set({{"Vhold", 0}, {"Vpulse", 0}});
    }
    if (!stimulus->hasOffsets()) return;
    QSignalSpy judged(stimulus.get(), &StimulusService::offsetJudged);
    const uint64_t orders = fenced().voltageOffsets.at(1).count;
    EXPECT_FALSE(stimulus->setOffset(1, mV(600)));
    EXPECT_FALSE(stimulus->setOffset(stimulus->offsetChannels(), mV(5))) << "no such channel";
    ASSERT_EQ(judged.count(), 1);
    EXPECT_EQ(judged.at(0).at(1).toString(), "Offset\nmust be within [-500,500]mV");
    EXPECT_EQ(fenced().voltageOffsets.at(1).count, orders);
}

INSTANTIATE_TEST_SUITE_P(Models, StimulusOnModel, testing::Values("cedar", "dogwood16,dogwood16"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name.find(',') == std::string::npos ? name : "All";
                         });

// Each estimation runs the library's protocol for it with its values and the Vhold chosen;
// holding and other protocols wait until it ends, which holds again.
TEST_F(Stimulus, AnEstimationTakesTheStimulusUntilItEnds) {
    ASSERT_NO_FATAL_FAILURE(open("cedar"));
    uint16_t estimation = 0;
    ASSERT_EQ(kv4cl::getREstimationProtocol(estimation), kv4cl::Success);
    set({{"Vhold", -20}});
    QSignalSpy taken(stimulus.get(), &StimulusService::estimationChanged);
    uint64_t starts = amplifier().command().protocolStarts;
    stimulus->runEstimation(estimation, {{ProtocolTable::Voltages, 1, 30.0}}); // Vpulse
    ASSERT_NO_FATAL_FAILURE(waitForStart(starts, estimation));
    EXPECT_NEAR(sent("Vhold"), -0.02, 1e-9);
    EXPECT_NEAR(sent("Vpulse"), 0.03, 1e-9);
    EXPECT_TRUE(stimulus->estimating());

    starts = amplifier().command().protocolStarts;
    stimulus->hold();
    stimulus->applyHolding(mV(-70));
    EXPECT_EQ(fenced().protocolStarts, starts) << "nothing else starts";
    set({{"Vhold", -10}});
    ASSERT_TRUE(stimulus->apply());
    ASSERT_NO_FATAL_FAILURE(waitForStart(starts, estimation));
    EXPECT_NEAR(sent("Vhold"), -0.01, 1e-9);

    starts = amplifier().command().protocolStarts;
    stimulus->endEstimation();
    ASSERT_NO_FATAL_FAILURE(waitForStart(starts, 0));
    EXPECT_FALSE(stimulus->estimating());
    ASSERT_EQ(taken.count(), 2);
    EXPECT_TRUE(taken.at(0).at(0).toBool());
    EXPECT_FALSE(taken.at(1).at(0).toBool());
}

// The saved text, and files refused with nothing taken from them. (Saved files load back in the
// protocol dock's round trip.)
TEST_F(Stimulus, ParameterFilesAreTakenWholeOrNotAtAll) {
    ASSERT_NO_FATAL_FAILURE(open("cedar"));
    QTemporaryDir folder;
    const auto write = [&](const QString& name, const QString& text) {
        QFile file(folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        return file.fileName();
    };
    set({{"Vhold", -20}});
    ASSERT_TRUE(stimulus->save(folder.filePath("holding.txt")));
    QFile saved(folder.filePath("holding.txt"));
    EXPECT_EQ(QString(saved.open(QIODevice::ReadOnly) ? saved.readAll() : ""),
              "Compatibility:\nversion: 4\nsubversion: 3\nfirmware: 129\n\nprotocol: 0\nVhold: -20\n");

    const QString header = "Compatibility:\nversion: 4\nsubversion: 3\nfirmware: %1\n\nprotocol: %2\n";
    const struct {
        QString name, text, error;
    } refused[] = {
        {"foreign", header.arg(1).arg(2) + "Vhold: 40\nVpulse: 60\nThold: 5\nTpulse: 7\n", ""},
        {"malformed", header.arg(129).arg(0) + "Vhold 40\n", ""},
        {"last line bad", header.arg(129).arg(2) + "Vhold: 40\nVpulse: 60\nThold: 5\nTpulse: nan\n", ""},
        {"far", header.arg(129).arg(0) + "Vhold: 1e308\n", "Line 7: 1e308 is out of range [-511, 511]"},
    };
    const StimulusService::Choice before = stimulus->choice();
    for (const auto& r : refused) {
        SCOPED_TRACE(r.name.toStdString());
        QString error;
        EXPECT_FALSE(stimulus->load(write(r.name, r.text), error));
        EXPECT_EQ(error, r.error);
        EXPECT_EQ(stimulus->choice().protocol, before.protocol);
        EXPECT_EQ(stimulus->choice().values, before.values);
    }
    QString error;
    EXPECT_FALSE(stimulus->load(folder.filePath("missing.txt"), error));
}

} // namespace
