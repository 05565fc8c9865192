// The docks over the stimulus on virtual amplifiers, driven as a user does. The "Voltage
// stimulus" dock (Cedar): what applying and stopping reach, edits that wait for Apply, the
// library's message as a value is typed, parameter files. Its
// fast-pulses editor (Dogwood 16): both waveforms play as typed, the two checks, the files. The
// "Voltage offsets" dock (Dogwood 16): offsets typed or ramped reach the cells and come back
// in its labels, refusals. What the stimulus itself decides is tested without the docks; what a
// record click asks and starts, in the window.

#include "tests/controls/dockdriver.h"
#include "tests/support/amplifiertest.h"

#include "controls/fastpulsescustomprotocolwidget.h"
#include "controls/protocoldockwidget.h"
#include "controls/recordsettingsdialog.h"
#include "controls/voltageoffsetdockwidget.h"
#include "widgets/steppedspinbox.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>

#include <cmath>
#include <functional>
#include <map>
#include <memory>

using namespace kv4test;
using kv4cl::Success;

namespace {

class StimulusDocks : public SimulatedAmplifiers {
  public: // the edit table below drives the dock through them
    void TearDown() override {
        offsets.reset();
        dock.reset();
        stimulus.reset();
        SimulatedAmplifiers::TearDown();
    }
    void open(const std::string& model) {
        QFile::remove(StimulusService::lastSessionFile());
        QFile::remove(FastPulsesCustomProtocolWidget::lastFile());
        QSettings().remove("Protocol");
        ASSERT_NO_FATAL_FAILURE(connect(model));
        reopen();
    }
    // New docks over a new stimulus, as in the next session, placed as on `screen`.
    void reopen(QSize screen = screens[0]) {
        offsets.reset();
        dock.reset();
        stimulus = std::make_unique<StimulusService>();
        dock = std::make_unique<ProtocolDockWidget>(*stimulus);
        placeOn(*dock, screen);
        if (stimulus->hasOffsets()) offsets = std::make_unique<VoltageOffsetDockWidget>(*stimulus);
    }

    QComboBox* protocols() const { return labelled<QComboBox>(*dock, "Protocol"); }
    SteppedSpinBox* box(const QString& label) const { return labelled<SteppedSpinBox>(*dock, label); }
    QPushButton* button(const QString& toolTip) const { return byToolTip<QPushButton>(*dock, toolTip); }
    // What the dock says the amplifier runs, when it says it.
    std::string running() const {
        const auto* label = dock->findChild<QLabel*>("runningProtocolLabel");
        return label && !label->isHidden() ? label->text().toStdString() : "";
    }
    uint64_t starts() { return amplifier().command().protocolStarts; }
    void waitForStart(uint64_t before, int protocolIdx) {
        waitForCommand([&](const DecodedCommand& c) {
            return c.protocolStarts > before && c.protocolIdx == protocolIdx;
        });
    }
    // Clicks Apply, or Return in a box, and waits for the protocol to start.
    void apply(int protocolIdx, QWidget* returnIn = nullptr) {
        const uint64_t before = starts();
        if (returnIn)
            QTest::keyClick(returnIn, Qt::Key_Return);
        else
            QTest::mouseClick(button(applyTip), Qt::LeftButton);
        waitForStart(before, protocolIdx);
    }
    double sent(const char* parameter) { return amplifier().command().protocolParameters.at(parameter); }
    // The dock's validity label, when it shows.
    QString validityMessage() const {
        for (const QLabel* l : dock->findChildren<QLabel*>())
            if (!l->isHidden() && l->styleSheet().contains("rgb(255, 255, 128)")) return l->text();
        return {};
    }

    std::unique_ptr<StimulusService> stimulus;
    std::unique_ptr<ProtocolDockWidget> dock;
    std::unique_ptr<VoltageOffsetDockWidget> offsets;
};

struct ProtocolDock : StimulusDocks {
    void SetUp() override { open("cedar"); }
};

TEST_F(ProtocolDock, ApplyingAndStoppingReachTheDeviceAndTheDockSaysWhatRuns) {
    EXPECT_TRUE(box("Vpulse [mV]")->isHidden()) << "not a parameter of the holding protocol";
    protocols()->setCurrentIndex(2); // "Square wave"
    EXPECT_EQ(running(), "") << "chosen, not applied";
    box("Vpulse [mV]")->setValue(50.0);
    apply(2);
    EXPECT_NEAR(sent("Vpulse"), 0.05, 1e-6);
    EXPECT_EQ(running(), "Running: Square wave");
    protocols()->setCurrentIndex(3);
    EXPECT_EQ(running(), "Running: Square wave") << "another one chosen, not applied";

    box("Vhold [mV]")->setValue(-40.0);
    uint64_t before = starts();
    button("Stop the current stimulus")->click();
    waitForStart(before, 0);
    EXPECT_NEAR(sent("Vhold"), -0.04, 1e-6);
    EXPECT_EQ(running(), "Running: " + protocols()->itemText(0).toStdString());
    // Ctrl+Down: 10 mV lower, applied with the protocol chosen.
    before = starts();
    dock->onDecreaseVhold();
    EXPECT_DOUBLE_EQ(box("Vhold [mV]")->value(), -50.0);
    waitForStart(before, 3);
    EXPECT_NEAR(sent("Vhold"), -0.05, 1e-6);
}

// Edits a user makes before applying, at each screen size, reach the device only on Return
// (Apply is clicked in the test above): the wheel over Vhold, Square wave chosen with the
// keyboard, Vpulse and Tpulse typed, the wheel over Vpulse.
TEST_F(ProtocolDock, EditsReachTheDeviceOnlyOnApply) {
    for (const QSize screen : screens) {
        SCOPED_TRACE(screen.width());
        dock.reset(); // which keeps its values for the next session: these start afresh
        QFile::remove(StimulusService::lastSessionFile());
        reopen(screen);
        const DecodedCommand before = fenced(amplifier());
        box("Vhold [mV]")->setFocus();
        wheel(box("Vhold [mV]"), 3);
        protocols()->setFocus();
        QTest::keyClick(protocols(), Qt::Key_Down);
        QTest::keyClick(protocols(), Qt::Key_Down);
        typeInto(box("Vpulse [mV]"), "60");
        typeInto(box("Tpulse [ms]"), "25");
        box("Vpulse [mV]")->setFocus();
        wheel(box("Vpulse [mV]"), 2);
        const DecodedCommand edited = fenced(amplifier());
        EXPECT_EQ(std::tuple(edited.protocolIdx, edited.protocolParameters, edited.protocolStarts),
                  std::tuple(before.protocolIdx, before.protocolParameters, before.protocolStarts));
        apply(2, box("Vhold [mV]"));
        const std::map<std::string, double> sent = {{"Vhold", 0.0015}, {"Vpulse", 0.061}, {"Tpulse", 0.025}};
        for (const auto& [name, value] : sent)
            EXPECT_NEAR(amplifier().command().protocolParameters.at(name), value, 1e-9) << name;
    }
}

// Types a name into the next file dialog and presses Return.
void typeIntoNextFileDialog(QObject* owner, const QString& name) {
    QTimer::singleShot(0, owner, [name] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
        if (!edit) return dialog->reject();
        edit->clear();
        QTest::keyClicks(edit, name);
        QTest::keyClick(edit, Qt::Key_Return);
    });
}

// Saved names end in ".txt"; a file the stimulus refuses is said with its line, and the
// boxes keep their values (which rules refuse a file is the stimulus's own test).
TEST_F(ProtocolDock, ParameterFilesSavedEndInTxtAndLoadBackARefusedOneSaysWhy) {
    const QString folder = QDir::homePath() + "/";
    QSettings().setValue("Protocol/Parameters/savePath", folder);
    protocols()->setCurrentIndex(2);
    QObject watch; // ends the timers with the test
    const std::pair<QString, QString> names[] = {{"sq60.txt", "sq60.txt"}, {"run.v2", "run.v2.txt"}};
    for (const auto& [typed, saved] : names) {
        SCOPED_TRACE(typed.toStdString());
        box("Vpulse [mV]")->setValue(40.0 + saved.size());
        typeIntoNextFileDialog(&watch, typed);
        button("Save protocol parameters")->click();
        EXPECT_TRUE(QFile::exists(folder + saved));
        EXPECT_EQ(QFile::exists(folder + typed), typed == saved);
        box("Vpulse [mV]")->setValue(0.0);
        typeIntoNextFileDialog(&watch, saved);
        button("Load protocol parameters")->click();
        EXPECT_DOUBLE_EQ(box("Vpulse [mV]")->value(), 40.0 + saved.size());
    }

    protocols()->setCurrentIndex(0);
    box("Vhold [mV]")->setValue(-20.0);
    writeFile(folder + "negative.txt",
              "Compatibility:\nversion: 4\nsubversion: 3\nfirmware: 129\n\nprotocol: 2\n"
              "Vhold: 40\nVpulse: 60\nThold: 5\nTpulse: -5\n");
    typeIntoNextFileDialog(&watch, "negative.txt");
    const auto message = closeNextBox(&watch);
    button("Load protocol parameters")->click();
    EXPECT_EQ(message->toStdString(),
              "Incompatible or unreadable protocol file\nLine 10: -5 is out of range [0, 1e+08]");
    EXPECT_EQ(protocols()->currentIndex(), 0) << "a file is taken whole or not at all";
    EXPECT_DOUBLE_EQ(box("Vhold [mV]")->value(), -20.0);
}

struct Segment {
    double mV, ms;
};
struct Pulse {
    double mV, waitMs, us, periodUs;
    int count;
};

struct FastPulses : StimulusDocks {
    void SetUp() override {
        open("dogwood16");
        editor = dock->findChild<FastPulsesCustomProtocolWidget*>();
        ASSERT_TRUE(editor);
    }
    // The box of `group` ("Waveform 1" or "Waveform 2") at row `row` and column `column`.
    SteppedSpinBox* field(const QString& group, int row, int column) const {
        for (QGroupBox* g : editor->findChildren<QGroupBox*>())
            if (g->title() == group)
                if (QLayoutItem* item =
                        static_cast<QGridLayout*>(g->layout())->itemAtPosition(row + 1, column + 1))
                    return qobject_cast<SteppedSpinBox*>(item->widget());
        ADD_FAILURE() << group.toStdString() << " " << row << " " << column;
        return nullptr;
    }
    void type(const std::vector<Segment>& segments, const std::vector<Pulse>& pulses) {
        for (int i = 0; i < int(segments.size()); i++) {
            typeInto(field("Waveform 1", i, 0), QString::number(segments[i].mV), Qt::Key_Tab);
            typeInto(field("Waveform 1", i, 1), QString::number(segments[i].ms), Qt::Key_Tab);
        }
        for (int i = 0; i < int(pulses.size()); i++) {
            const Pulse& p = pulses[i];
            // The wait last: a row plays from the moment its wait is above 0.
            const std::pair<int, double> columns[] = {
                {0, p.mV}, {2, p.us}, {3, p.periodUs}, {4, p.count}, {1, p.waitMs}};
            for (const auto& [column, value] : columns)
                typeInto(field("Waveform 2", i, column), QString::number(value), Qt::Key_Tab);
        }
    }
    QLabel* errorLabel() const {
        return first<QLabel>(*editor, [](QLabel* l) { return l->styleSheet() == "QLabel { color : red; }"; });
    }
    void chooseFastPulses() {
        protocols()->setFocus();
        QTest::keyClick(protocols(), Qt::Key_End);
        ASSERT_EQ(protocols()->currentText(), "Fast pulses");
    }
    // Every box's value, in the file's order.
    std::vector<double> values() const {
        std::vector<double> all;
        for (SteppedSpinBox* box : editor->findChildren<SteppedSpinBox*>())
            all.push_back(box->value());
        return all;
    }

    FastPulsesCustomProtocolWidget* editor = nullptr;
};

TEST_F(FastPulses, TypedAndAppliedBothWaveformsPlayWithTheirDurations) {
    CellParameters cell = quietCell();
    // A membrane this small behind a small series resistance follows the command within a
    // sample, and the charge it takes at a step, in that sample's mean current, does not show.
    cell.membraneCapacitance = 1e-16;
    cell.seriesResistance = 1e6;
    cell.membraneResistance = 100e6;
    amplifier().setCell(16, cell);
    ASSERT_EQ(kv4cl::setSamplingRate(4), Success);
    bus->clock()->setTimeScale(2.0);
    ASSERT_EQ(kv4cl::setCurrentRange(1, 16), Success);
    const double rate = samplingRate();
    const std::vector<Segment> segments = {{-20, 10}, {40, 20}, {10, 15}};
    // A train, a row without a wait (not played), a single pulse, a second train.
    const std::vector<Pulse> pulses = {
        {50, 2, 200, 1000, 3}, {-30, 0, 100, 400, 2}, {80, 5, 100, 400, 1}, {25, 1.5, 300, 500, 4}};
    type(segments, pulses);
    EXPECT_TRUE(errorLabel()->isHidden()) << errorLabel()->text().toStdString();
    // Vhold reaches the device with the dock's own protocol: 5 mV, held once the segments end.
    typeInto(box("Vhold [mV]"), "5", Qt::Key_Tab);
    apply(0);
    // However long the typing took (seconds under a sanitizer), the frames read next are
    // made under the held 5 mV.
    ASSERT_NO_FATAL_FAILURE(settle());
    chooseFastPulses();
    apply(15);

    // The voltage words: what ran before, the segments, then Vhold.
    const size_t levels = segments.size() + 2;
    Frames f;
    std::vector<Stretch> runs;
    while (f.count() < size_t(5 * rate) && !HasFailure()) {
        readAvailable(f);
        runs = runsOfVoltage(f);
        if (runs.size() >= levels && runs.back().length >= size_t(0.1 * rate)) break;
    }
    ASSERT_GE(runs.size(), levels);
    const size_t first = runs.size() - levels;
    for (size_t i = 0; i < segments.size(); i++) {
        EXPECT_NEAR(runs[first + 1 + i].level, segments[i].mV * 1e-3, 1e-9) << "segment " << i;
        EXPECT_NEAR(double(runs[first + 1 + i].length), segments[i].ms * 1e-3 * rate, 1.0) << "segment " << i;
    }
    EXPECT_NEAR(runs.back().level, 5e-3, 1e-9);
    const size_t start = runs[first + 1].start;

    // The pulses (start, length, level) in the cells' current beyond what the voltage words drive.
    std::vector<std::tuple<size_t, size_t, double>> expected;
    double at = 0.0;
    for (const Pulse& p : pulses) {
        if (p.waitMs <= 0) continue;
        at += p.waitMs * 1e-3 * rate;
        for (int k = 0; k < p.count; k++)
            expected.emplace_back(std::lround(at + k * p.periodUs * 1e-6 * rate),
                                  std::lround(p.us * 1e-6 * rate), p.mV * 1e-3);
        at += p.count * p.periodUs * 1e-6 * rate;
    }
    for (const uint16_t ch : {0, 15}) {
        SCOPED_TRACE(ch);
        std::vector<std::tuple<size_t, size_t, double>> seen;
        bool inPulse = false;
        for (size_t i = start; i < f.count(); i++) {
            const double extra =
                amperes(f, i, ch) * (cell.seriesResistance + cell.membraneResistance) - volts(f, i);
            const bool pulse = std::abs(extra) > 10e-3;
            if (pulse && !inPulse) seen.emplace_back(i - start, 0, extra);
            if (pulse) std::get<1>(seen.back())++;
            inPulse = pulse;
        }
        ASSERT_EQ(seen.size(), expected.size());
        for (size_t k = 0; k < seen.size(); k++) {
            EXPECT_EQ(std::get<0>(seen[k]), std::get<0>(expected[k])) << "pulse " << k;
            EXPECT_EQ(std::get<1>(seen[k]), std::get<1>(expected[k])) << "pulse " << k;
            EXPECT_NEAR(std::get<2>(seen[k]), std::get<2>(expected[k]), 0.1e-3) << "pulse " << k;
        }
    }
}

TEST_F(FastPulses, ChecksShowTheirErrorAndApplyingIsRefused) {
    const QString shorter =
        "Error: T1 < T2\nPlease choose the parameters so that waveform 1\nlasts at least as "
        "much as waveform 2";
    const QString period =
        "Error: Period <= Duration\nPlease choose the parameters so that in waveform 2\npulses "
        "last less than the pulse period";
    const struct {
        const char* name;
        Segment segment;
        Pulse pulse;
        QString message; // empty: valid
    } cases[] = {
        // 4 ms against 2 ms + 3 x 1 ms; exactly as long is still playable.
        {"waveform 1 shorter", {10, 4}, {50, 2, 200, 1000, 3}, shorter},
        {"both as long", {10, 5}, {50, 2, 200, 1000, 3}, ""},
        {"period equal to duration", {10, 50}, {50, 2, 400, 400, 2}, period},
        // A row without a wait is not played: neither check looks at it.
        {"unplayed row", {10, 0}, {50, 0, 500, 400, 2}, ""},
        {"both errors", {10, 1}, {50, 2, 400, 400, 2}, shorter + "\n" + period},
    };
    chooseFastPulses();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        type({}, {{0, 0, 1, 2, 1}}); // no wait first, so that no step in between plays
        type({c.segment}, {c.pulse});
        EXPECT_EQ(errorLabel()->isHidden() ? QString() : errorLabel()->text(), c.message);
        EXPECT_EQ(editor->isValid(), c.message.isEmpty());
    }
    // The last case's errors reach the stimulus: Apply is refused (a valid one plays in the
    // waveforms' test).
    QObject watch; // ends the box's watch with the test
    const auto boxText = closeNextBox(&watch);
    const uint64_t before = starts();
    QTest::mouseClick(button(applyTip), Qt::LeftButton);
    EXPECT_EQ(*boxText, "Invalid protocol parameters");
    EXPECT_EQ(fenced(amplifier()).protocolStarts, before);
}

// Saved with the device's identity, loaded through the dock (which recognises the format and
// selects the entry), kept for the next run; a bad file names its line and changes nothing.
TEST_F(FastPulses, FilesRoundTripTheLastValuesAreKeptAndABadFileNamesItsLine) {
    type({{-12.5, 3}, {30, 7.5}}, {{50, 2, 200, 1000, 3}});
    const QString path = QDir::homePath() + "/saved.txt";
    ASSERT_TRUE(editor->save(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList good = QString::fromUtf8(file.readAll()).split("\n");
    std::vector<uint8_t> versions, subversions;
    std::vector<uint32_t> firmwares;
    std::vector<std::string> found;
    ASSERT_EQ(kv4cl::getConnectedDevicesInfo(found, versions, subversions, firmwares), Success);
    const int w1 = int(good.indexOf("Waveform 1"));
    const int w2 = int(good.indexOf("Waveform 2"));
    ASSERT_GT(w2, 0);
    EXPECT_EQ(
        good.mid(0, w1 + 4),
        (QStringList{"Compatibility:", QString("version: %1").arg(versions[0]),
                     QString("subversion: %1").arg(subversions[0]), QString("firmware: %1").arg(firmwares[0]),
                     "", "Waveform 1", "Segment #,Voltage [mV],Duration [ms]", "1,-12.5,3", "2,30,7.5"}));
    EXPECT_EQ(good.mid(w2 + 1, 2),
              (QStringList{"Pulse #,Voltage [mV],Wait time [ms],Duration [us],Period [us],Pulses",
                           "1,50,2,200,1000,3"}));
    const std::vector<double> saved = values();
    type({{1, 1}, {2, 2}}, {});
    ASSERT_NE(values(), saved);
    QString error;
    ASSERT_TRUE(dock->loadParameters(path, error));
    EXPECT_EQ(values(), saved);
    EXPECT_EQ(protocols()->currentText(), "Fast pulses");

    const struct {
        const char* name;
        int line; // 0-based, edited
        QString replacement;
        QString error;
    } cases[] = {
        {"truncated", w2 + 2, "<cut>", QString("Line %1: the file ends before it").arg(w2 + 3)},
        {"not a number", w1 + 2, "1,abc,3", QString("Line %1: \"abc\" is not a number").arg(w1 + 3)},
        {"count out of range", w2 + 2, "1,5,1,200,1000,1001",
         QString("Line %1: 1001 is out of range [1, 1000]").arg(w2 + 3)},
        {"another firmware", 3, "firmware: 99", "Line 4: saved for another device or malformed"},
    };
    const QString badPath = QDir::homePath() + "/fastpulses test.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList lines = good;
        if (c.replacement == "<cut>")
            lines = lines.mid(0, c.line);
        else
            lines[c.line] = c.replacement;
        writeFile(badPath, lines.join("\n"));
        EXPECT_FALSE(editor->load(badPath, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(values(), saved);
        EXPECT_FALSE(dock->loadParameters(badPath, error));
    }
    reopen(screens[1]);
    editor = dock->findChild<FastPulsesCustomProtocolWidget*>();
    EXPECT_EQ(values(), saved) << "kept for the next run";
}

constexpr uint16_t channels = 16;

struct VoltageOffsetDock : StimulusDocks {
    void SetUp() override {
        open("dogwood16");
        ASSERT_TRUE(offsets);
        placeOn(*offsets, screens[0]);
    }
    // The tab's widget in the row of channel `channel` and column `column`.
    template <typename Widget> Widget* cell(int tab, uint16_t channel, int column) const {
        auto* grid = offsets->findChild<QTabWidget*>()->widget(tab)->findChild<QGridLayout*>();
        QLayoutItem* item = grid->itemAtPosition(channel + 1, column);
        EXPECT_TRUE(item) << tab << " " << channel << " " << column;
        return item ? qobject_cast<Widget*>(item->widget()) : nullptr;
    }
    SteppedSpinBox* manual(uint16_t channel) const { return cell<SteppedSpinBox>(0, channel, 1); }
    QLabel* inForce(uint16_t channel) const { return cell<QLabel>(0, channel, 2); }
    // The offsets dock's own, when it shows.
    QString offsetMessage() const {
        const auto* label = offsets->findChild<QLabel*>("offsetMessageLabel");
        return label && label->isVisible() ? label->text() : QString();
    }
    // Holds Vhold, typed into the protocol dock and applied with its button.
    void holdAt(double millivolts) {
        typeInto(box("Vhold [mV]"), QString::number(millivolts));
        apply(0);
    }
    bool labelShows(uint16_t channel, const QString& text) {
        return QTest::qWaitFor([&] { return inForce(channel)->text() == text; }, 20000);
    }
};

// Typed offsets and ramps reach their channels and come back in the labels as the device
// reports them (that the cells then feel them is the virtual amplifier's own test).
TEST_F(VoltageOffsetDock, TypedAndRampedOffsetsReachTheirChannelsAndComeBackInTheLabels) {
    holdAt(20);
    const std::tuple<uint16_t, QString, QString> typed[] = {{3, "12.5", "+12.5 mV"},
                                                            {15, "-107.5", "-107.5 mV"}};
    for (const auto& [ch, text, shown] : typed) {
        SCOPED_TRACE(shown.toStdString() + " on channel " + std::to_string(ch));
        typeInto(manual(ch), text, Qt::Key_Return);
        ASSERT_TRUE(labelShows(ch, shown)) << inForce(ch)->text().toStdString();
        EXPECT_NEAR(amplifier().command().voltageOffsets.at(ch).to, text.toDouble() * 1e-3, 1e-9);
        EXPECT_EQ(inForce(ch - 1)->text(), "+0.0 mV") << "the others hold what they had";
        EXPECT_EQ(amplifier().command().voltageOffsets.at(ch - 1).to, 0.0);
    }

    // A ramp from 40 to -35.5 mV over 15 s on channel 13.
    const uint16_t ch = 12;
    offsets->findChild<QTabWidget*>()->setCurrentIndex(1);
    const std::pair<int, const char*> ramp[] = {{1, "40"}, {2, "-35.5"}, {3, "15000"}}; // mV, mV, ms
    for (const auto& [column, text] : ramp)
        typeInto(cell<SteppedSpinBox>(1, ch, column), text);
    QTest::mouseClick(cell<QPushButton>(1, ch, 4), Qt::LeftButton);
    ASSERT_TRUE(labelShows(ch, "-35.5 mV")) << inForce(ch)->text().toStdString();
    const DecodedCommand::OffsetOrder order = amplifier().command().voltageOffsets.at(ch);
    EXPECT_NEAR(order.from, 0.04, 1e-9);
    EXPECT_NEAR(order.to, -0.0355, 1e-9);
    EXPECT_NEAR(order.duration, 15.0, 1e-9);
}

// A refused offset shows above the rows and nothing is sent, on Return too, nor when the dock
// closes mid-edit; refused protocol parameters show in the protocol dock and are never sent;
// an offset set by another part shows in its box. (That offsets wait while the parameters are
// refused is the stimulus's own test.)
TEST_F(VoltageOffsetDock, RefusalsShowWhereTheValueIsTypedAndOffsetsSetElsewhereInTheBoxes) {
    const uint16_t ch = 9;
    holdAt(400);
    const uint64_t latched = fenced(amplifier()).voltageOffsets.at(ch).count;
    typeInto(manual(ch), "150");
    EXPECT_EQ(offsetMessage(), "Ch.10: Vhold+offset\nmust be within [-500,500]mV");
    QTest::keyClick(manual(ch), Qt::Key_Return);
    EXPECT_EQ(fenced(amplifier()).voltageOffsets.at(ch).count, latched);
    EXPECT_EQ(validityMessage(), "") << "the refusal stands where the offset is typed";

    holdAt(100);
    EXPECT_TRUE(stimulus->setOffset(ch, {-80000, kv4cl::UnitPfxMicro, "V"}));
    EXPECT_EQ(manual(ch)->value(), -80.0);
    EXPECT_EQ(offsetMessage(), "");
    EXPECT_NEAR(fenced(amplifier()).voltageOffsets.at(ch).to, -0.08, 1e-9);

    const uint64_t orders = fenced(amplifier()).voltageOffsets.at(2).count;
    typeInto(manual(2), "45");
    ASSERT_TRUE(manual(2)->hasFocus());
    offsets.reset();
    EXPECT_EQ(fenced(amplifier()).voltageOffsets.at(2).count, orders) << "closed mid-edit";

    // Refused protocol parameters say why as they are typed; Apply says so and sends nothing.
    const uint64_t starts = fenced(amplifier()).protocolStarts;
    typeInto(box("Vhold [mV]"), "505"); // within the box, outside the protocol's limits
    EXPECT_EQ(validityMessage(), "Vhold\nmust be within [-500,500]mV");
    QObject watch; // ends the box's watch with the test
    const auto boxText = closeNextBox(&watch);
    QTest::mouseClick(button(applyTip), Qt::LeftButton);
    EXPECT_EQ(*boxText, "Invalid protocol parameters");
    EXPECT_EQ(fenced(amplifier()).protocolStarts, starts);
    typeInto(box("Vhold [mV]"), "50");
    EXPECT_EQ(validityMessage(), "");
}

} // namespace
