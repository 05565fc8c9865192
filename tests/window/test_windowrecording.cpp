// Recordings made from the main window as a user makes them, read back against known truth:
// amplifiers in pattern mode count their frames, so that every frame missing from the files
// must be counted in the information dock and marked where the recording is; whatever rate
// button was clicked, every consumer, file and axis computes with the real rate; two amplifiers
// recorded as one keep every word in its column; closing the window while recording asks first
// and finishes whole frames.

#include "acquisition/devicedataproducer.h"
#include "acquisition/valuelabel.h"
#include "controls/compensationsdockwidget.h"
#include "controls/protocoldockwidget.h"
#include "controls/recordsettingsdialog.h"
#include "plots/plottab.h"
#include "recording/recordingreader.h"
#include "tests/support/connectedwindow.h"
#include "tests/support/labelcolor.h"
#include "tools/patternverifier.h"
#include "widgets/activationbutton.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

using namespace kv4test;

class RecordingWindow : public WindowTest {
  protected:
    // Recordings named `name` go to a fresh folder, in the format given (0 DAT, 1 ABF).
    void recordInto(const QString& name, int format) {
        folder = QDir::homePath() + "/recordings/";
        ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        QSettings settings;
        settings.setValue("Protocol/Settings/recordPath", folder);
        settings.setValue("Protocol/Settings/recordName", name);
        settings.setValue("Protocol/Settings/recordFormat", format);
    }
    QAbstractButton* stopButton() const { return button("protocolDw", "Stop recording"); }
    // The pattern of the recording `name` in the folder, read back frame by frame.
    kav4cli::PatternReport verify(const QString& name, const kav4cli::FrameLayout& layout, bool abf) const {
        const std::string where = (folder + name + "/").toStdString();
        if (abf)
            return kav4cli::verifyAbf(
                kav4cli::abfFiles(where, name.toStdString(), layout.currents + layout.gps), layout);
        return kav4cli::verifyDat(
            kav4cli::datFiles(where, name.toStdString()), layout,
            kav4cli::datColumns(uint32_t(layout.currents), uint32_t(layout.gps), uint32_t(layout.voltages)),
            kav4cli::labbookLosses(where + name.toStdString() + "_lab_book.txt"));
    }
    static qint64 size(const QString& file) { return QFileInfo(file).size(); }

    QString folder;
};

enum class Fault { DropBytes, Stall, DeviceOverflow };

struct LossCase {
    const char* name;
    Fault fault;
    bool abf;
    int size;               // bytes, or milliseconds
    size_t bufferBytes = 0; // the device's buffer; 0 keeps its default
};

class Losses : public RecordingWindow, public testing::WithParamInterface<LossCase> {};

// A virtual amplifier in pattern mode makes one of its faults during a recording started and
// stopped from the protocol dock. The frames missing from the recorded pattern are the truth:
// the information dock must count exactly them, the lab books note each once with its frame in
// the recording, and the files mark each where the pattern resumes.
TEST_P(Losses, EachIsCountedInTheDockNotedInTheLabBookAndMarkedInTheRecording) {
    const LossCase& c = GetParam();
    recordInto("run", c.abf);
    open("cedar", 1);
    connectTo("VCEDAR01");
    kav4sim::VirtualAmplifier& device = amplifier("VCEDAR01");
    device.setPatternMode(true);
    if (c.bufferBytes > 0) device.setBufferBytes(c.bufferBytes);
    QTest::mouseClick(button("controlsDw", "5 kHz"), Qt::LeftButton);
    auto* label = dock("acquisitionInfoDw")->findChild<QLabel*>("samplesLostLabel");
    auto* labbookView = dock("labbook")->findChild<QTextEdit*>();
    const QString data = folder + (c.abf ? "run/run_CH001_000.abf" : "run/run_000.dat");
    // DAT frames are five floats; an ABF frame two words after a header of a few blocks.
    const auto holds = [&](qint64 frames) {
        return QTest::qWaitFor([&] { return size(data) >= (c.abf ? 8192 + frames * 4 : frames * 20); },
                               20000);
    };

    // The session's lab book goes on from the runs before.
    const qsizetype notedBefore = labbookView->toPlainText().count("Samples lost, ");
    recordButton()->click();
    ASSERT_TRUE(holds(1000));
    switch (c.fault) {
    case Fault::DropBytes:
        device.dropBytes(size_t(c.size));
        break;
    case Fault::Stall: // the device keeps quiet for a while
        device.stall(true);
        QTest::qWait(c.size);
        device.stall(false);
        break;
    case Fault::DeviceOverflow: // the host stops reading: the device's buffer loses its oldest bytes
        device.device().zeroReads(INT_MAX);
        QTest::qWait(c.size);
        device.device().zeroReads(0);
        break;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return label->text() != "Samples lost: 0"; }, 10000));
    // The pattern well past the fault, then the recording ends; what the writer and the
    // producer sent is delivered with the click.
    const qint64 frames = (size(data) - (c.abf ? 8192 : 0)) / (c.abf ? 4 : 20);
    ASSERT_TRUE(holds(frames + 1000));
    stopButton()->click();
    QCoreApplication::sendPostedEvents();

    const kav4cli::PatternReport report = verify("run", {4, 0, 1, 1}, c.abf);
    EXPECT_EQ(report.fault, "") << "every gap marked with its size, and nothing else";
    EXPECT_GT(report.frames, 2000u);
    EXPECT_GT(report.lostFrames, 0u);
    EXPECT_TRUE(label->text().startsWith(QString("Samples lost: %1, last at ").arg(report.lostFrames)))
        << label->text().toStdString();
    EXPECT_EQ(renderedTextColor(*label), "red");
    // One line per loss, in the window's lab book as in the recording's, each with its frame: a
    // reader adding them up counts each once.
    EXPECT_EQ(kav4cli::labbookLosses((folder + "run/run_lab_book.txt").toStdString()).size(), report.losses);
    EXPECT_EQ(labbookView->toPlainText().count("Samples lost, ") - notedBefore, qsizetype(report.losses));
}

// Cedar's packets are 166 bytes of 16 frames.
INSTANTIATE_TEST_SUITE_P(
    Faults, Losses,
    testing::Values(LossCase{"Dat_DroppedBytes", Fault::DropBytes, false, 5 * 166 + 10},
                    LossCase{"Abf_DroppedBytes", Fault::DropBytes, true, 5 * 166 + 10},
                    LossCase{"Abf_Stall", Fault::Stall, true, 100},
                    LossCase{"Dat_DeviceBufferOverflow", Fault::DeviceOverflow, false, 300, 4096}),
    [](const testing::TestParamInfo<LossCase>& info) { return std::string(info.param.name); });

struct Model {
    const char* name;
    const char* entry;
    const char* oversampling; // the ratio button clicked before the rates, or null
};

class TimeBase : public RecordingWindow, public testing::WithParamInterface<Model> {};

// Whatever rate button was clicked, or none, the plot's sweep, the information dock, a recording
// limited in time and the KDH header all use the rate at which the amplifier really samples.
TEST_P(TimeBase, EveryConsumerAndFileUseTheRealRate) {
    constexpr double recordSeconds = 0.2;
    recordInto("unused", 1);
    QSettings().setValue("Protocol/Settings/recordDuration", recordSeconds);
    open(GetParam().name, 1);
    connectTo(GetParam().entry);
    QAbstractButton* record = recordButton(); // before the first recording gives it the file's name
    std::vector<kv4cl::Measurement_t> nominal, real;
    std::vector<uint16_t> ratios;
    uint16_t defaultRate = 0, defaultRatio = 0, ratio = 1;
    ASSERT_EQ(kv4cl::getSamplingRates(nominal, defaultRate), kv4cl::Success);
    ASSERT_EQ(kv4cl::getRealSamplingRates(real), kv4cl::Success);
    if (kv4cl::getOversamplingRatios(ratios, defaultRatio) == kv4cl::Success) ratio = ratios[defaultRatio];

    int recordings = 0;
    const auto check = [&](const QString& clicked, size_t rateIdx) {
        SCOPED_TRACE(clicked.toStdString());
        kv4cl::Measurement_t rate = real[rateIdx];
        rate.value *= ratio;
        const double hz = rate.getNoPrefixValue();
        kv4cl::Measurement_t device;
        EXPECT_EQ(kv4cl::getSamplingRate(device), kv4cl::Success);
        EXPECT_DOUBLE_EQ(device.getNoPrefixValue(), hz);
        // The sweep: as many points, that far apart, as the consumer makes of the rate.
        const auto* tab = qobject_cast<PlotTab*>(window->centralWidget());
        const long rows = std::lround(hz * tab->timeSpan());
        const long decimation = (rows - 1) / 8192 + 1;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const QCPGraph* graph = tab->channelPlots().front()->graph(0);
                return graph && graph->data()->size() == int(rows / decimation) &&
                       std::abs(graph->data()->at(1)->key * hz / double(decimation) - 1.0) < 1e-9;
            },
            5000));
        EXPECT_EQ(dock("acquisitionInfoDw")->findChild<QLabel*>("samplingRateLabel")->text(),
                  measurementDisplay(rate));
        // Recorded for the duration set: the frames of that time at the rate, once the writer has
        // closed its files (the ABF writer's own rate is read back by Neo in its own tests).
        const QString name = QString("case%1").arg(recordings++);
        qobject_cast<ProtocolDockWidget*>(dock("protocolDw"))
            ->recordSettingsDialog()
            ->findChild<QLineEdit*>("recordNameEdit")
            ->setText(name);
        QAbstractButton* rates = button("controlsDw", valueLabel(nominal.front()));
        record->click();
        const std::string file = (folder + name + "/" + name + "_CH001_000.abf").toStdString();
        const uint64_t frames = uint64_t(std::lround(recordSeconds * hz));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return rates->isEnabled() && kav4cli::abfFrameCount(file) >= frames; }, 10000));
        EXPECT_EQ(kav4cli::abfFrameCount(file), frames);
        QFile header(folder + name + "/" + name + ".kdh");
        ASSERT_TRUE(header.open(QIODevice::ReadOnly));
        EXPECT_TRUE(
            QString(header.readAll()).contains("Sampling frequency (SR): " + valueLabel(rate) + "\n"));
    };
    check("no button", defaultRate);
    if (const char* x = GetParam().oversampling) {
        QTest::mouseClick(button("controlsDw", x), Qt::LeftButton);
        ratio = uint16_t(QString(x).mid(1).toUInt());
        check(x, defaultRate);
    }
    for (size_t i = 0; i < nominal.size(); i++) {
        QAbstractButton* rateButton = button("controlsDw", valueLabel(nominal[i]));
        ASSERT_NE(rateButton, nullptr) << valueLabel(nominal[i]).toStdString();
        QTest::mouseClick(rateButton, Qt::LeftButton);
        check(rateButton->text(), i);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, TimeBase,
                         testing::Values(Model{"cedar", "VCEDAR01", nullptr}, Model{"elm", "VELM01", "x2"}),
                         [](const testing::TestParamInfo<Model>& info) {
                             return std::string(info.param.name);
                         });

class AllOverTwo : public RecordingWindow, public testing::WithParamInterface<int> {};

// "All" over two Dogwood 16 with the amplifiers counting their frames: every current and gp
// word of each device is in its column of the files, frame by frame; the header names each
// device's gp channel; the recording's lab book lies beside it; a compensation set
// in its dock is tagged at the start of an ABF recording.
TEST_P(AllOverTwo, EveryDevicesWordsAreInTheirColumnsAndTheGpChannelsAreNamed) {
    const bool abf = GetParam() == 1;
    recordInto("run", GetParam());
    // The counting words as they came: the reset denoiser would reshape the current words.
    QSettings().setValue("Preferences/Filters/filterDataForDatRecording", false);
    QSettings().setValue("Preferences/Filters/filterDataForAbfRecording", false);
    open("dogwood16,dogwood16", 3, smallScreen);
    // Before the connection, so that every frame the library hands out counts.
    for (const char* id : {"VDOGWOOD1601", "VDOGWOOD1602"})
        amplifier(id).setPatternMode(true);
    connectTo("All");
    // Channel 1 at 2.5 pF, switched on, turned as a user does.
    auto* knob = dock("compensationsDw")->findChild<CompensationKnob*>();
    knob->setFocus();
    QTest::keyClick(knob, Qt::Key_Home);
    for (int i = 0; i < 2; i++)
        QTest::keyClick(knob, Qt::Key_PageUp);
    for (int i = 0; i < 25; i++)
        QTest::keyClick(knob, Qt::Key_Up);
    QTest::mouseClick(dock("compensationsDw")->findChild<ActivationButton*>(), Qt::LeftButton);

    recordButton()->click();
    const QString first = folder + (abf ? "run/run_CH001_000.abf" : "run/run_000.dat");
    // Half a second at the default rate, at the least.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return abf ? kav4cli::abfFrameCount(first.toStdString()) >= 600 : size(first) >= 600 * 35 * 4;
        },
        20000));
    stopButton()->click();
    const kav4cli::PatternReport report = verify("run", {32, 2, 1, 2}, abf);
    EXPECT_EQ(report.fault, "");
    EXPECT_GE(report.frames, 600u);
    EXPECT_EQ(report.lostFrames, 0u);
    QFile header(folder + "run/run.kdh");
    ASSERT_TRUE(header.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(header.readAll());
    EXPECT_TRUE(text.contains("\nChannels: 32\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("; Ch32 [pA]; Vref monitor 1 [mV]; Vref monitor 2 [mV]; V1 [mV]\n"));
    EXPECT_EQ(QDir(folder + "run").entryList({"*lab_book*"}), QStringList{"run_lab_book.txt"});
    if (!abf) return;

    // The tags as the file holds them: at the start, the first naming the compensation of channel 1
    // (as another program reads an ABF file's tags: the writer's own test).
    QString error;
    const std::unique_ptr<RecordingReader> reader = RecordingReader::open(first, error);
    ASSERT_TRUE(reader && !reader->tags.empty()) << error.toStdString();
    EXPECT_TRUE(reader->tags[0].text.contains("Cp: c1 2.5 pF c2 off")) << reader->tags[0].text.toStdString();
    EXPECT_LT(double(reader->tags[0].frame) / reader->channels[0].rate, 0.5)
        << "within the start's half second";
}

INSTANTIATE_TEST_SUITE_P(Formats, AllOverTwo, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Dat" : "Abf"; });

// The first recording asks for its properties, and Cancel starts nothing; Shift+Escape stops a
// recording. Closing the window asks while a recording runs; No goes on recording, Yes stops it
// with its files holding whole frames.
TEST_F(RecordingWindow, TheFirstRecordingAsksAndClosingWhileRecordingAsksAndFinishesTheFiles) {
    recordInto("", 0);
    open("cedar", 1, smallScreen);
    connectTo("VCEDAR01");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QAbstractButton* record = recordButton(); // before the first recording gives it the file's name
    const qint64 frameBytes = 5 * 4;          // four currents and the voltage
    const auto stopped = [&](const QString& data) {
        const qint64 whole = size(data);
        EXPECT_EQ(whole % frameBytes, 0) << "whole frames";
        // The producer goes on; the file no longer grows.
        QSignalSpy rows(window->producer(), &DeviceDataProducer::bitRateComputed);
        EXPECT_TRUE(rows.wait(5000) && rows.wait(5000));
        EXPECT_EQ(size(data), whole);
    };
    for (const auto button : {QDialogButtonBox::Cancel, QDialogButtonBox::Ok})
        answer([&] { record->click(); },
               [&](QWidget* dialog) { dialog->findChild<QDialogButtonBox*>()->button(button)->click(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return size(folder + "file/file_000.dat") > 0; }, 5000));
    EXPECT_EQ(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"file"})
        << "Cancel made none";
    // The keys go to the window once the dialog has given it back the keyboard, which the
    // offscreen platform leaves to the program.
    QApplication::setActiveWindow(window.get());
    QTest::keyClick(window.get(), Qt::Key_Escape, Qt::ShiftModifier);
    stopped(folder + "file/file_000.dat");

    const auto close = [&](QMessageBox::StandardButton button) {
        bool closed = false;
        const QString asked =
            answer([&] { closed = window->close(); },
                   [&](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(button)->click(); });
        EXPECT_EQ(asked.isEmpty(), button == QMessageBox::NoButton);
        if (!asked.isEmpty()) {
            EXPECT_EQ(asked, "A recording is in progress. Stop it and quit?");
        }
        return closed;
    };
    EXPECT_TRUE(close(QMessageBox::NoButton)) << "nothing to lose: no question";
    window->show();
    record->click();
    const QString data = folder + "file_1/file_000.dat";
    ASSERT_TRUE(QTest::qWaitFor([&] { return size(data) > 0; }, 5000));
    EXPECT_FALSE(close(QMessageBox::No));
    const qint64 going = size(data);
    EXPECT_TRUE(QTest::qWaitFor([&] { return size(data) > going; }, 5000)) << "still recording";
    EXPECT_TRUE(close(QMessageBox::Yes));
    EXPECT_TRUE(QFileInfo::exists(folder + "file_1/file.kdh"));
    stopped(data);
}

} // namespace
