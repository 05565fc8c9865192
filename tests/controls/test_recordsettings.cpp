// The record settings dialog on a virtual four-channel amplifier (one voltage, four current
// channels): the sizes it estimates and the limits it hands to the writers, the format
// choice, the stored settings, the file-name validator and the naming of recordings.

#include "controls/recordsettingsdialog.h"
#include "tests/recording/connectedamplifier.h"
#include "tests/support/warningcapture.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <memory>

namespace {

constexpr double mb = 1048576.0;
constexpr double datSampleBytes = 5 * 4; // five floats; an ABF file has two words per sample

class RecordSettingsTest : public kv4test::RecordingAmplifier {
  protected:
    void SetUp() override {
        connectTo("cedar");
        if (!HasFatalFailure()) dialog = std::make_unique<RecordSettingsDialog>();
    }
    void TearDown() override {
        dialog.reset();
        RecordingAmplifier::TearDown();
    }

    template <typename T> T* child(const char* name) const {
        T* widget = dialog->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QDoubleSpinBox* spinBox(const char* name) const { return child<QDoubleSpinBox>(name); }
    QString sizeText() const { return child<QLabel>("recordSizeLabel")->text(); }
    void setRate(double hz) const {
        dialog->onSamplingRateChanged({hz, kv4cl::UnitPfxNone, "Hz"}, {hz / 1000, kv4cl::UnitPfxKilo, "Hz"});
    }

    std::unique_ptr<RecordSettingsDialog> dialog;
};

TEST_F(RecordSettingsTest, EstimatesTheSizeAndHandsTheLimitsToTheWriters) {
    struct Case {
        const char* name;
        bool abf;
        double rate, duration;
        bool clip;
        double chunk, sweep; // s
        const char* label;
        bool chunks;
        double chunkLength;
        bool sweeps;
        double sweepLength;
    };
    const Case cases[] = {
        {"dat unlimited", false, 10000, 0, false, 0, 0,
         "Recording size on disk = 0.2 MB/s (chunks disabled, gap-free)", false, -1, false, -1},
        {"dat unlimited, slow", false, 1000, 0, false, 0, 0,
         "Recording size on disk < 0.1 MB/s (chunks disabled, gap-free)", false, -1, false, -1},
        {"dat unlimited, clipped", false, 10000, 0, true, 0, 0,
         "Recording size on disk = 0.2 MB/s (1900.0 MB per chunk, gap-free)", true,
         1900 * mb / datSampleBytes, false, -1},
        {"dat unlimited, chunk beyond the clip", false, 10000, 0, true, 1000000, 0,
         "Recording size on disk = 0.2 MB/s (1900.0 MB per chunk, gap-free)", true,
         1900 * mb / datSampleBytes, false, -1},
        {"dat limited, chunked", false, 10000, 100, false, 10, 0,
         "Recording size on disk = 19.1 MB (1.9 MB per chunk, gap-free)", true, 100000, false, -1},
        {"dat limited, chunk longer than the file", false, 10000, 100, false, 200, 0,
         "Recording size on disk = 19.1 MB (chunks disabled, gap-free)", false, -1, false, -1},
        {"dat limited beyond the clip", false, 10000, 1000000, true, 0, 0,
         "Recording size on disk = 190734.9 MB (1900.0 MB per chunk, gap-free)", true,
         1900 * mb / datSampleBytes, false, -1},
        {"dat ignores the sweep", false, 10000, 0, false, 0, 1,
         "Recording size on disk = 0.2 MB/s (chunks disabled, gap-free)", false, -1, false, -1},
        {"abf sweep longer than the chunk", true, 10000, 0, false, 10, 20,
         "Recording size on disk = 0.2 MB/s (0.4 MB per chunk, gap-free)", true, 100000, false, -1},
        {"abf small sweeps", true, 10000, 0, false, 10, 1,
         "Recording size on disk = 0.2 MB/s (0.4 MB per chunk, < 0.1 MB per sweep)", true, 100000, true,
         10000},
        {"abf limited with sweeps", true, 10000, 10, false, 0, 5,
         "Recording size on disk = 1.5 MB (chunks disabled, 0.2 MB per sweep)", false, -1, true, 50000},
        {"abf sweep as long as the file", true, 10000, 10, false, 0, 10,
         "Recording size on disk = 1.5 MB (chunks disabled, gap-free)", false, -1, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        child<QRadioButton>(c.abf ? "abfRadioButton" : "datRadioButton")->click();
        setRate(c.rate);
        spinBox("recordDurationSpinBox")->setValue(c.duration);
        child<QCheckBox>("bigFileClipCheckBox")->setChecked(c.clip);
        spinBox("chunkDurationSpinBox")->setValue(c.chunk);
        spinBox("episodicDurationSpinBox")->setValue(c.sweep);

        EXPECT_EQ(sizeText().toStdString(), c.label);
        const RecordSettings s = dialog->getRecordSettings();
        EXPECT_EQ(s.unlimitedRecording, c.duration == 0);
        EXPECT_EQ(s.recordLength, c.duration == 0 ? -1 : c.rate * c.duration);
        EXPECT_EQ(s.bigFileClip, c.clip);
        EXPECT_EQ(s.maxFileSize, c.clip ? 1900.0 : std::numeric_limits<double>::max());
        EXPECT_EQ(s.chunksEnabled, c.chunks);
        EXPECT_DOUBLE_EQ(s.chunkLength, c.chunkLength);
        EXPECT_EQ(s.sweepsEnabled, c.sweeps);
        EXPECT_DOUBLE_EQ(s.sweepLength, c.sweepLength);
        // What the writers do not take stays in the boxes.
        EXPECT_EQ(spinBox("chunkDurationSpinBox")->value(), c.chunk);
        EXPECT_EQ(spinBox("episodicDurationSpinBox")->value(), c.sweep);
    }
}

TEST_F(RecordSettingsTest, OnlyAbfHasSweepsAndTheStoredFormatSelectsItsButton) {
    QSettings().setValue("Protocol/Settings/recordFormat", 1);
    dialog = std::make_unique<RecordSettingsDialog>();
    EXPECT_TRUE(child<QRadioButton>("abfRadioButton")->isChecked());
    EXPECT_EQ(dialog->getDataFormat(), 1);
    EXPECT_TRUE(spinBox("episodicDurationSpinBox")->isEnabled());

    child<QRadioButton>("datRadioButton")->click();
    EXPECT_EQ(dialog->getDataFormat(), 0);
    EXPECT_FALSE(spinBox("episodicDurationSpinBox")->isEnabled());

    QSettings().setValue("Protocol/Settings/recordFormat", 7);
    dialog = std::make_unique<RecordSettingsDialog>();
    EXPECT_TRUE(child<QRadioButton>("datRadioButton")->isChecked());
    EXPECT_EQ(dialog->getDataFormat(), 0);
}

TEST_F(RecordSettingsTest, StartsFromTheDefaultsAndKeepsOnlyAcceptedEdits) {
    EXPECT_EQ(dialog->windowTitle(), "Recording properties");
    EXPECT_EQ(dialog->getRecordPath(), QDir::homePath() + "/KAV4/Recordings/");
    EXPECT_EQ(child<QLineEdit>("recordNameEdit")->text(), "file");
    EXPECT_FALSE(child<QCheckBox>("addDateCheckBox")->isChecked());
    EXPECT_EQ(spinBox("recordDurationSpinBox")->text(), "Unlimited");
    EXPECT_EQ(spinBox("chunkDurationSpinBox")->text(), "Disabled");
    EXPECT_EQ(spinBox("episodicDurationSpinBox")->text(), "Gap-free");

    QSignalSpy accepted(dialog.get(), &RecordSettingsDialog::newRecordPath);
    child<QLineEdit>("recordNameEdit")->setText("dropped");
    child<QCheckBox>("bigFileClipCheckBox")->setChecked(true);
    dialog->onReject();
    EXPECT_EQ(child<QLineEdit>("recordNameEdit")->text(), "file");
    EXPECT_FALSE(child<QCheckBox>("bigFileClipCheckBox")->isChecked());
    EXPECT_EQ(accepted.count(), 0);

    child<QLineEdit>("recordNameEdit")->setText("kept");
    child<QLineEdit>("recordPathEdit")->setText("/data/");
    child<QRadioButton>("abfRadioButton")->click();
    spinBox("recordDurationSpinBox")->setValue(12.5);
    spinBox("chunkDurationSpinBox")->setValue(30);
    spinBox("episodicDurationSpinBox")->setValue(0.25);
    child<QCheckBox>("addDateCheckBox")->setChecked(true);
    dialog->onAccept();
    EXPECT_EQ(accepted.count(), 1);

    dialog = std::make_unique<RecordSettingsDialog>();
    EXPECT_EQ(child<QLineEdit>("recordNameEdit")->text(), "kept");
    EXPECT_EQ(dialog->getRecordPath(), "/data/");
    EXPECT_EQ(dialog->getDataFormat(), 1);
    EXPECT_EQ(spinBox("recordDurationSpinBox")->value(), 12.5);
    EXPECT_EQ(spinBox("chunkDurationSpinBox")->value(), 30);
    EXPECT_EQ(spinBox("episodicDurationSpinBox")->value(), 0.25);
    EXPECT_TRUE(child<QCheckBox>("addDateCheckBox")->isChecked());
}

TEST_F(RecordSettingsTest, FileNameTakesOnlyLettersDigitsUnderscoresAndBlanks) {
    auto* name = child<QLineEdit>("recordNameEdit");
    name->clear();
    QTest::keyClicks(name, "run 2/b.c_d:-");
    EXPECT_EQ(name->text(), "run 2bc_d");
}

// Settings are a file anyone can edit: what the boxes would not take from a user is refused
// with a warning, and the default takes its place.
TEST_F(RecordSettingsTest, StoredValuesATypistCouldNotEnterFallBackToTheDefaultsWithAWarning) {
    const char* const durationKeys[] = {"Protocol/Settings/recordDuration", "Protocol/Settings/chunkDuration",
                                        "Protocol/Settings/episodicDuration"};
    const char* const boxes[] = {"recordDurationSpinBox", "chunkDurationSpinBox", "episodicDurationSpinBox"};
    for (const char* stored : {"nan", "inf", "-inf", "1e999", "soon"}) {
        for (int k = 0; k < 3; k++) {
            QSettings().clear();
            QSettings().setValue(durationKeys[k], stored);
            kv4test::WarningCapture console;
            dialog = std::make_unique<RecordSettingsDialog>();
            EXPECT_EQ(spinBox(boxes[k])->value(), 0.0) << durationKeys[k] << " = " << stored;
            EXPECT_EQ(console.count(QString("\"%1\"").arg(stored)), 1) << durationKeys[k] << " = " << stored;
        }
    }
    for (const QString stored : {"../../escaped", "..", "a/b", "/tmp/absolute", "", "back\\slash", "c:d"}) {
        QSettings().clear();
        QSettings().setValue("Protocol/Settings/recordName", stored);
        kv4test::WarningCapture console;
        dialog = std::make_unique<RecordSettingsDialog>();
        EXPECT_EQ(child<QLineEdit>("recordNameEdit")->text(), "file") << stored.toStdString();
        EXPECT_EQ(console.count("\"" + stored + "\""), 1) << stored.toStdString();
    }
    QSettings().clear();
    QSettings().setValue("Protocol/Settings/recordName", "run 2_b");
    QSettings().setValue("Protocol/Settings/recordDuration", 12.5);
    kv4test::WarningCapture console;
    dialog = std::make_unique<RecordSettingsDialog>();
    EXPECT_EQ(child<QLineEdit>("recordNameEdit")->text(), "run 2_b");
    EXPECT_EQ(spinBox("recordDurationSpinBox")->value(), 12.5);
    EXPECT_EQ(console.warnings, QStringList()) << "good values pass in silence";
}

class RecordNamingTest : public RecordSettingsTest {
  protected:
    void SetUp() override {
        RecordSettingsTest::SetUp();
        if (HasFatalFailure()) return;
        child<QLineEdit>("recordPathEdit")->setText(path);
        child<QLineEdit>("recordNameEdit")->setText("cell");
    }
    // The next file's path; display gets its shown name.
    QString next(bool continuation, const QString& suffix = "", const QString& extension = ".dat") {
        return dialog->getRecordFileName(continuation, suffix, extension, display);
    }

    QString display;
};

TEST_F(RecordNamingTest, AFolderPerRecordingWithNumberedChunks) {
    EXPECT_EQ(next(false), path + "cell/cell_000.dat");
    EXPECT_EQ(display, "cell/cell_000");
    EXPECT_EQ(dialog->getRecordFolder(), path + "cell/");
    EXPECT_EQ(dialog->getRecordName(), "cell");
    EXPECT_EQ(next(true), path + "cell/cell_001.dat");
    EXPECT_EQ(display, "cell/cell_001");
    EXPECT_EQ(next(true), path + "cell/cell_002.dat");

    // The folder is made by the writer; a taken one is passed over.
    ASSERT_TRUE(QDir().mkdir(path + "cell"));
    EXPECT_EQ(next(false), path + "cell_1/cell_000.dat");
    EXPECT_EQ(display, "cell_1/cell_000");
    EXPECT_EQ(dialog->getRecordFolder(), path + "cell_1/");
    ASSERT_TRUE(QDir().mkdir(path + "cell_1"));
    EXPECT_EQ(next(false), path + "cell_2/cell_000.dat");
    EXPECT_EQ(next(true), path + "cell_2/cell_001.dat");
    EXPECT_EQ(display, "cell_2/cell_001");
}

TEST_F(RecordNamingTest, ASuffixKeepsItsPlaceholderInThePathAndShowsTheFirstChannel) {
    EXPECT_EQ(next(false, "_CH%1", ".abf"), path + "cell/cell_CH%1_000.abf");
    EXPECT_EQ(display, "cell/cell_CH001_000");
    EXPECT_EQ(next(true, "_CH%1", ".abf"), path + "cell/cell_CH%1_001.abf");
    EXPECT_EQ(display, "cell/cell_CH001_001");
}

TEST_F(RecordNamingTest, TheDateGoesIntoTheFolderAndFileNames) {
    child<QCheckBox>("addDateCheckBox")->setChecked(true);
    const QString before = QDateTime::currentDateTime().toString("yyMMddhhmmss");
    const QString file = next(false);
    const QString after = QDateTime::currentDateTime().toString("yyMMddhhmmss");

    const QRegularExpressionMatch match =
        QRegularExpression("^" + QRegularExpression::escape(path) + R"(cell_(\d{12})/cell_\1_000\.dat$)")
            .match(file);
    ASSERT_TRUE(match.hasMatch()) << file.toStdString();
    const QString stamp = match.captured(1);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(display, "cell_" + stamp + "/cell_" + stamp + "_000");
    EXPECT_EQ(dialog->getRecordName(), "cell_" + stamp);
    EXPECT_EQ(next(true), path + "cell_" + stamp + "/cell_" + stamp + "_001.dat");
}

} // namespace
