// The fast-pulses editor and its "Fast pulses" entry in the protocol dock on a virtual
// Dogwood 16, driven as a user does: values typed, the entry chosen with the keyboard, Apply
// clicked. What must hold: both waveforms play as typed, the two checks refuse what cannot
// play, and files round-trip while a bad one changes nothing and names its line.

#include "tests/simulator/amplifiertest.h"

#include "controls/fastpulsescustomprotocolwidget.h"
#include "controls/protocoldockwidget.h"
#include "widgets/steppedspinbox.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <memory>

using namespace kv4test;
using kv4cl::Measurement_t;
using kv4cl::Success;

namespace {

const QString applyTip = "Apply the current stimulus (ENTER/RETURN)";
const QString shorterText =
    "Error: T1 < T2\nPlease choose the parameters so that waveform 1\nlasts at least as "
    "much as waveform 2";
const QString periodText =
    "Error: Period <= Duration\nPlease choose the parameters so that in waveform 2\npulses "
    "last less than the pulse period";

void typeInto(QAbstractSpinBox* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Tab);
}

double samplingRate() {
    Measurement_t rate;
    EXPECT_EQ(kv4cl::getSamplingRate(rate), Success);
    return rate.getNoPrefixValue();
}

// The text of the next modal box, which is closed as soon as it shows.
std::shared_ptr<QString> closeNextBox() {
    auto text = std::make_shared<QString>();
    QTimer::singleShot(0, [text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->close();
        }
    });
    return text;
}

struct Segment {
    double mV, ms;
};
struct Pulse {
    double mV, waitMs, us, periodUs;
    int count;
};

class FastPulses : public SimulatedAmplifiers {
  protected:
    void SetUp() override {
        QFile::remove(StimulusService::lastSessionFile());
        QFile::remove(FastPulsesCustomProtocolWidget::lastFile());
        QSettings().remove("Protocol");
        connect("dogwood16");
        stimulus = std::make_unique<StimulusService>();
        dock = std::make_unique<ProtocolDockWidget>(*stimulus);
        dock->resize(1366 / 3, 768);
        dock->show();
        QApplication::setActiveWindow(dock.get());
        editor = dock->findChild<FastPulsesCustomProtocolWidget*>();
        ASSERT_TRUE(editor);
    }
    void TearDown() override {
        dock.reset();
        stimulus.reset();
        SimulatedAmplifiers::TearDown();
    }

    // The box of `group` ("Waveform 1" or "Waveform 2") at row `row` and column `column`.
    SteppedSpinBox* field(const QString& group, int row, int column) const {
        for (QGroupBox* g : editor->findChildren<QGroupBox*>()) {
            if (g->title() != group) continue;
            QLayoutItem* item = static_cast<QGridLayout*>(g->layout())->itemAtPosition(row + 1, column + 1);
            if (item) return qobject_cast<SteppedSpinBox*>(item->widget());
        }
        ADD_FAILURE() << group.toStdString() << " " << row << " " << column;
        return nullptr;
    }
    void typeSegments(const std::vector<Segment>& segments) {
        for (size_t i = 0; i < segments.size(); i++) {
            typeInto(field("Waveform 1", int(i), 0), QString::number(segments[i].mV));
            typeInto(field("Waveform 1", int(i), 1), QString::number(segments[i].ms));
        }
    }
    void typePulses(const std::vector<Pulse>& pulses) {
        for (size_t i = 0; i < pulses.size(); i++) {
            const Pulse& p = pulses[i];
            // The wait last: a row plays from the moment its wait is above 0.
            const double values[] = {p.mV, p.us, p.periodUs, double(p.count), p.waitMs};
            const int columns[] = {0, 2, 3, 4, 1};
            for (int k = 0; k < 5; k++)
                typeInto(field("Waveform 2", int(i), columns[k]), QString::number(values[k]));
        }
    }
    QLabel* errorLabel() const {
        for (QLabel* l : editor->findChildren<QLabel*>())
            if (l->styleSheet() == "QLabel { color : red; }") return l;
        return nullptr;
    }
    void chooseFastPulses() {
        auto* combo = dock->findChild<QComboBox*>();
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_End);
        ASSERT_EQ(combo->currentText(), "Fast pulses");
    }
    QPushButton* applyButton() const {
        for (QPushButton* b : dock->findChildren<QPushButton*>())
            if (b->toolTip() == applyTip) return b;
        return nullptr;
    }
    // Every box's value, in the file's order.
    std::vector<double> values() const {
        std::vector<double> all;
        for (SteppedSpinBox* box : editor->findChildren<SteppedSpinBox*>())
            all.push_back(box->value());
        return all;
    }
    QString write(const QString& text) const {
        const QString path = QDir::homePath() + "/fastpulses test.txt";
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        return path;
    }
    QStringList savedLines() const {
        const QString path = QDir::homePath() + "/saved.txt";
        EXPECT_TRUE(editor->save(path));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QString::fromUtf8(file.readAll()).split("\n");
    }

    std::unique_ptr<StimulusService> stimulus;
    std::unique_ptr<ProtocolDockWidget> dock;
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
    typeSegments(segments);
    typePulses(pulses);
    EXPECT_TRUE(errorLabel()->isHidden()) << errorLabel()->text().toStdString();

    // Vhold reaches the device with the dock's own protocol: 5 mV, held once the segments end.
    for (QLabel* l : dock->findChildren<QLabel*>())
        if (l->text() == "Vhold [mV]") typeInto(qobject_cast<SteppedSpinBox*>(l->buddy()), "5");
    uint64_t starts = amplifier().command().protocolStarts;
    QTest::mouseClick(applyButton(), Qt::LeftButton);
    waitForCommand([&](const DecodedCommand& c) { return c.protocolStarts > starts; });
    // However long the typing took (seconds under a sanitizer), the frames read next are
    // made under the held 5 mV.
    ASSERT_NO_FATAL_FAILURE(settle());
    chooseFastPulses();
    starts = amplifier().command().protocolStarts;
    QTest::mouseClick(applyButton(), Qt::LeftButton);
    waitForCommand([&](const DecodedCommand& c) { return c.protocolStarts > starts && c.protocolIdx == 15; });

    // The voltage words: what ran before, the segments, then Vhold.
    const size_t levels = segments.size() + 2;
    Frames f;
    const auto held = size_t(0.1 * rate);
    std::vector<std::pair<double, size_t>> runs; // level, start
    std::vector<size_t> lengths;
    for (size_t limit = size_t(5 * rate); f.count() < limit;) {
        readAvailable(f);
        runs.clear();
        lengths.clear();
        for (size_t i = 0; i < f.count(); i++) {
            if (runs.empty() || f.code(i, 0) != f.code(runs.back().second, 0)) {
                runs.push_back({volts(f, i), i});
                lengths.push_back(0);
            }
            lengths.back()++;
        }
        if (runs.size() >= levels && lengths.back() >= held) break;
    }
    ASSERT_GE(runs.size(), levels);
    const size_t first = runs.size() - levels;
    for (size_t i = 0; i < segments.size(); i++) {
        EXPECT_NEAR(runs[first + 1 + i].first, segments[i].mV * 1e-3, 1e-9) << "segment " << i;
        EXPECT_NEAR(double(lengths[first + 1 + i]), segments[i].ms * 1e-3 * rate, 1.0) << "segment " << i;
    }
    EXPECT_NEAR(runs.back().first, 5e-3, 1e-9);
    const size_t start = runs[first + 1].second;

    // The pulses in the cells' current beyond what the voltage words drive.
    struct Seen {
        size_t start, length;
        double level;
    };
    std::vector<Seen> expected;
    double at = 0.0;
    for (const Pulse& p : pulses) {
        if (p.waitMs <= 0) continue;
        at += p.waitMs * 1e-3 * rate;
        for (int k = 0; k < p.count; k++)
            expected.push_back({size_t(std::lround(at + k * p.periodUs * 1e-6 * rate)),
                                size_t(std::lround(p.us * 1e-6 * rate)), p.mV * 1e-3});
        at += p.count * p.periodUs * 1e-6 * rate;
    }
    const double resistance = cell.seriesResistance + cell.membraneResistance;
    for (const uint16_t ch : {0, 15}) {
        SCOPED_TRACE(ch);
        std::vector<Seen> seen;
        bool inPulse = false;
        for (size_t i = start; i < f.count(); i++) {
            const double extra = amperes(f, i, ch) * resistance - volts(f, i);
            const bool pulse = std::abs(extra) > 10e-3;
            if (pulse && !inPulse) seen.push_back({i - start, 0, extra});
            if (pulse) seen.back().length++;
            inPulse = pulse;
        }
        ASSERT_EQ(seen.size(), expected.size());
        for (size_t k = 0; k < seen.size(); k++) {
            EXPECT_EQ(seen[k].start, expected[k].start) << "pulse " << k;
            EXPECT_EQ(seen[k].length, expected[k].length) << "pulse " << k;
            EXPECT_NEAR(seen[k].level, expected[k].level, 0.1e-3) << "pulse " << k;
        }
    }
}

TEST_F(FastPulses, ChecksShowTheirErrorAndApplyingIsRefused) {
    struct Case {
        const char* name;
        std::vector<Segment> segments;
        std::vector<Pulse> pulses;
        QString message; // empty: valid
    };
    const Case cases[] = {
        // 10 ms against 2 ms + 3 x 1 ms.
        {"waveform 2 within waveform 1", {{10, 10}}, {{50, 2, 200, 1000, 3}}, ""},
        // 4 ms against 2 ms + 3 x 1 ms.
        {"waveform 1 shorter", {{10, 4}}, {{50, 2, 200, 1000, 3}}, shorterText},
        // Exactly as long: still playable.
        {"both as long", {{10, 5}}, {{50, 2, 200, 1000, 3}}, ""},
        {"period equal to duration", {{10, 50}}, {{50, 2, 400, 400, 2}}, periodText},
        {"period below duration", {{10, 50}}, {{50, 2, 500, 400, 2}}, periodText},
        // A row without a wait is not played: neither check looks at it.
        {"unplayed row", {{10, 0}}, {{50, 0, 500, 400, 2}}, ""},
        {"both errors", {{10, 1}}, {{50, 2, 400, 400, 2}}, shorterText + "\n" + periodText},
    };
    chooseFastPulses();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        typePulses({{0, 0, 1, 2, 1}}); // no wait first, so that no step in between plays
        typeSegments(c.segments);
        typePulses(c.pulses);
        EXPECT_EQ(errorLabel()->isHidden(), c.message.isEmpty());
        if (!c.message.isEmpty()) {
            EXPECT_EQ(errorLabel()->text(), c.message);
        }
        EXPECT_EQ(editor->isValid(), c.message.isEmpty());

        const uint64_t starts = amplifier().command().protocolStarts;
        const auto boxText = closeNextBox();
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        if (c.message.isEmpty()) {
            EXPECT_TRUE(boxText->isEmpty()) << boxText->toStdString();
            // No box came: its closer must not wait for the next one.
            QCoreApplication::processEvents();
            waitForCommand([&](const DecodedCommand& d) { return d.protocolStarts > starts; });
            EXPECT_EQ(amplifier().command().protocolIdx, 15);
        } else {
            EXPECT_EQ(*boxText, "Invalid protocol parameters");
            const uint64_t resets = amplifier().command().resets;
            ASSERT_EQ(kv4cl::resetDevice(), Success);
            waitForCommand([&](const DecodedCommand& d) { return d.resets > resets; });
            EXPECT_EQ(amplifier().command().protocolStarts, starts);
        }
    }
}

TEST_F(FastPulses, SavedFilesRoundTripAndTheLastValuesAreKept) {
    typeSegments({{-12.5, 3}, {30, 7.5}});
    typePulses({{50, 2, 200, 1000, 3}});
    const QStringList lines = savedLines();
    std::vector<uint8_t> versions, subversions;
    std::vector<uint32_t> firmwares;
    std::vector<std::string> found;
    ASSERT_EQ(kv4cl::getConnectedDevicesInfo(found, versions, subversions, firmwares), Success);
    const QStringList head = {"Compatibility:",
                              QString("version: %1").arg(versions[0]),
                              QString("subversion: %1").arg(subversions[0]),
                              QString("firmware: %1").arg(firmwares[0]),
                              "",
                              "Waveform 1",
                              "Segment #,Voltage [mV],Duration [ms]",
                              "1,-12.5,3",
                              "2,30,7.5"};
    EXPECT_EQ(lines.mid(0, head.size()), head);
    const int w2 = int(lines.indexOf("Waveform 2"));
    ASSERT_GT(w2, 0);
    EXPECT_EQ(lines[w2 + 1], "Pulse #,Voltage [mV],Wait time [ms],Duration [us],Period [us],Pulses");
    EXPECT_EQ(lines[w2 + 2], "1,50,2,200,1000,3");

    // Loaded through the dock, which recognises the format and selects the entry.
    const std::vector<double> saved = values();
    const QString path = QDir::homePath() + "/saved.txt";
    typeSegments({{1, 1}, {2, 2}});
    ASSERT_NE(values(), saved);
    QString error;
    ASSERT_TRUE(dock->loadParameters(path, error));
    EXPECT_EQ(values(), saved);
    EXPECT_EQ(dock->findChild<QComboBox*>()->currentText(), "Fast pulses");

    // Kept across runs: a new dock shows the same values.
    dock.reset();
    ASSERT_TRUE(QFile::exists(FastPulsesCustomProtocolWidget::lastFile()));
    stimulus = std::make_unique<StimulusService>();
    dock = std::make_unique<ProtocolDockWidget>(*stimulus);
    editor = dock->findChild<FastPulsesCustomProtocolWidget*>();
    EXPECT_EQ(values(), saved);
}

TEST_F(FastPulses, ABadFileIsRefusedNamingItsLineAndChangesNothing) {
    typeSegments({{-12.5, 3}});
    const QStringList good = savedLines();
    const std::vector<double> before = values();
    const int w1 = int(good.indexOf("Waveform 1"));
    const int w2 = int(good.indexOf("Waveform 2"));
    struct Case {
        const char* name;
        int line; // 0-based, edited
        QString replacement;
        QString error;
    };
    const Case cases[] = {
        {"truncated", w2 + 2, "<cut>", QString("Line %1: the file ends before it").arg(w2 + 3)},
        {"a field missing", w1 + 3, "2,10", QString("Line %1: 3 fields expected, 2 found").arg(w1 + 4)},
        {"a field too many", w2 + 2, "1,1,1,1,1,1,1",
         QString("Line %1: 6 fields expected, 7 found").arg(w2 + 3)},
        {"not a number", w1 + 2, "1,abc,3", QString("Line %1: \"abc\" is not a number").arg(w1 + 3)},
        {"an empty field", w2 + 3, "2,5,,200,1000,3", QString("Line %1: \"\" is not a number").arg(w2 + 4)},
        {"voltage out of range", w1 + 2, "1,900,3",
         QString("Line %1: 900 is out of range [-500, 500]").arg(w1 + 3)},
        {"count out of range", w2 + 2, "1,5,1,200,1000,1001",
         QString("Line %1: 1001 is out of range [1, 1000]").arg(w2 + 3)},
        {"another firmware", 3, "firmware: 99", "Line 4: saved for another device or malformed"},
        {"rows out of order", w1 + 2, "2,1,3", QString("Line %1: row 1 expected").arg(w1 + 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList lines = good;
        if (c.replacement == "<cut>")
            lines = lines.mid(0, c.line);
        else
            lines[c.line] = c.replacement;
        const QString path = write(lines.join("\n"));
        QString error;
        EXPECT_FALSE(editor->load(path, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(values(), before);
        EXPECT_FALSE(dock->loadParameters(path, error));
    }
    // The unchanged file loads.
    QString error;
    EXPECT_TRUE(editor->load(write(good.join("\n")), error)) << error.toStdString();
}

} // namespace
