// The record settings dialog on a virtual four-channel amplifier (one voltage, four current
// channels): the sizes it estimates and the plan it hands to the writers, the format choice,
// the stored settings, the file-name validator and the naming of recordings.

#include "controls/recordsettingsdialog.h"
#include "tests/support/connectedamplifier.h"
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
#include <QTemporaryDir>

#include <limits>
#include <memory>

namespace {

constexpr double mb = 1048576.0;
constexpr double datSampleBytes = 5 * 4; // five floats; an ABF file has two words per sample

class RecordSettingsTest : public kv4test::ConnectedAmplifier {
  protected:
    void SetUp() override {
        QSettings().clear();
        connect("cedar");
        if (!HasFatalFailure()) dialog = std::make_unique<RecordSettingsDialog>();
    }
    void TearDown() override {
        dialog.reset();
        ConnectedAmplifier::TearDown();
        QSettings().clear();
    }

    template <typename T> T* child(const char* name) const {
        T* widget = dialog->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QDoubleSpinBox* spinBox(const char* name) const { return child<QDoubleSpinBox>(name); }
    QLineEdit* name() const { return child<QLineEdit>("recordNameEdit"); }

    std::unique_ptr<RecordSettingsDialog> dialog;
    QTemporaryDir folder;
    const QString path = folder.path() + "/";
};

TEST_F(RecordSettingsTest, EstimatesTheSizeAndHandsTheLimitsToTheWriters) {
    const double clipped = 1900 * mb / datSampleBytes;
    const struct {
        const char* name;
        bool abf;
        double rate, duration;
        bool clip;
        double chunk, sweep; // s
        const char* label;
        double chunkLength, sweepLength; // -1: none
    } cases[] = {
        {"dat unlimited", false, 10000, 0, false, 0, 1,
         "Recording size on disk = 0.2 MB/s (chunks disabled, gap-free)", -1, -1},
        {"dat unlimited, chunk beyond the clip", false, 10000, 0, true, 1000000, 0,
         "Recording size on disk = 0.2 MB/s (1900.0 MB per chunk, gap-free)", clipped, -1},
        {"dat limited, chunked", false, 10000, 100, false, 10, 0,
         "Recording size on disk = 19.1 MB (1.9 MB per chunk, gap-free)", 100000, -1},
        {"abf small sweeps", true, 10000, 0, false, 10, 1,
         "Recording size on disk = 0.2 MB/s (0.4 MB per chunk, < 0.1 MB per sweep)", 100000, 10000},
        {"abf limited with sweeps", true, 10000, 10, false, 0, 5,
         "Recording size on disk = 1.5 MB (chunks disabled, 0.2 MB per sweep)", -1, 50000},
        {"abf sweep as long as the file", true, 10000, 10, false, 0, 10,
         "Recording size on disk = 1.5 MB (chunks disabled, gap-free)", -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        child<QRadioButton>(c.abf ? "abfRadioButton" : "datRadioButton")->click();
        dialog->onSamplingRateChanged({c.rate, kv4cl::UnitPfxNone, "Hz"},
                                      {c.rate / 1000, kv4cl::UnitPfxKilo, "Hz"});
        spinBox("recordDurationSpinBox")->setValue(c.duration);
        child<QCheckBox>("bigFileClipCheckBox")->setChecked(c.clip);
        spinBox("chunkDurationSpinBox")->setValue(c.chunk);
        spinBox("episodicDurationSpinBox")->setValue(c.sweep);

        EXPECT_EQ(child<QLabel>("recordSizeLabel")->text().toStdString(), c.label);
        const RecordSettings s = dialog->getRecordSettings();
        EXPECT_EQ(std::tuple(s.unlimitedRecording, s.recordLength, s.bigFileClip, s.maxFileSize),
                  std::tuple(c.duration == 0, c.duration == 0 ? -1 : c.rate * c.duration, c.clip,
                             c.clip ? 1900.0 : std::numeric_limits<double>::max()));
        EXPECT_EQ(std::tuple(s.chunksEnabled, s.chunkLength, s.sweepsEnabled, s.sweepLength),
                  std::tuple(c.chunkLength > 0, c.chunkLength, c.sweepLength > 0, c.sweepLength));
        // What the writers do not take stays in the boxes.
        EXPECT_EQ(
            std::pair(spinBox("chunkDurationSpinBox")->value(), spinBox("episodicDurationSpinBox")->value()),
            std::pair(c.chunk, c.sweep));
    }
}

// Defaults first; a cancel drops the edits, an accept keeps them for the next dialog; only
// ABF has sweeps; a stored format that is neither falls back to DAT; names take only letters,
// digits, underscores and blanks.
TEST_F(RecordSettingsTest, StartsFromTheDefaultsAndKeepsOnlyAcceptedEdits) {
    EXPECT_EQ(dialog->getRecordPath(), QDir::homePath() + "/KAV4/Recordings/");
    EXPECT_EQ(name()->text(), "file");
    EXPECT_FALSE(child<QCheckBox>("addDateCheckBox")->isChecked());
    EXPECT_FALSE(spinBox("episodicDurationSpinBox")->isEnabled()) << "DAT has no sweeps";

    QSignalSpy accepted(dialog.get(), &RecordSettingsDialog::newRecordPath);
    name()->setText("dropped");
    child<QCheckBox>("bigFileClipCheckBox")->setChecked(true);
    dialog->onReject();
    EXPECT_EQ(name()->text(), "file");
    EXPECT_FALSE(child<QCheckBox>("bigFileClipCheckBox")->isChecked());
    EXPECT_EQ(accepted.count(), 0);

    name()->clear();
    QTest::keyClicks(name(), "run 2/b.c_d:-");
    EXPECT_EQ(name()->text(), "run 2bc_d");
    child<QLineEdit>("recordPathEdit")->setText("/data/");
    child<QRadioButton>("abfRadioButton")->click();
    EXPECT_TRUE(spinBox("episodicDurationSpinBox")->isEnabled());
    spinBox("recordDurationSpinBox")->setValue(12.5);
    spinBox("chunkDurationSpinBox")->setValue(30);
    spinBox("episodicDurationSpinBox")->setValue(0.25);
    child<QCheckBox>("addDateCheckBox")->setChecked(true);
    dialog->onAccept();
    EXPECT_EQ(accepted.count(), 1);

    kv4test::WarningCapture console;
    dialog = std::make_unique<RecordSettingsDialog>();
    EXPECT_EQ(console.warnings, QStringList()) << "what a user entered passes in silence";
    EXPECT_EQ(std::tuple(name()->text(), dialog->getRecordPath(), dialog->getDataFormat()),
              std::tuple("run 2bc_d", "/data/", 1));
    EXPECT_EQ(std::tuple(spinBox("recordDurationSpinBox")->value(), spinBox("chunkDurationSpinBox")->value(),
                         spinBox("episodicDurationSpinBox")->value()),
              std::tuple(12.5, 30.0, 0.25));
    EXPECT_TRUE(child<QCheckBox>("addDateCheckBox")->isChecked());

    QSettings().setValue("Protocol/Settings/recordFormat", 7);
    dialog = std::make_unique<RecordSettingsDialog>();
    EXPECT_EQ(dialog->getDataFormat(), 0);
}

// Settings are a file anyone can edit: what the boxes would not take from a user is refused
// with a warning, and the default takes its place (good values pass in silence: the test above).
TEST_F(RecordSettingsTest, StoredValuesATypistCouldNotEnterFallBackToTheDefaultsWithAWarning) {
    const struct {
        const char* key;
        QString stored;
        const char* box; // nullptr: the name
    } cases[] = {
        {"recordDuration", "nan", "recordDurationSpinBox"},
        {"episodicDuration", "soon", "episodicDurationSpinBox"},
        {"recordName", "../../escaped", nullptr},
        {"recordName", "back\\slash", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.stored.toStdString());
        QSettings().clear();
        QSettings().setValue(QString("Protocol/Settings/") + c.key, c.stored);
        kv4test::WarningCapture console;
        dialog = std::make_unique<RecordSettingsDialog>();
        if (c.box)
            EXPECT_EQ(spinBox(c.box)->value(), 0.0);
        else
            EXPECT_EQ(name()->text(), "file");
        EXPECT_EQ(console.count("\"" + c.stored + "\""), 1);
    }
}

// A folder per recording with numbered chunks, a taken folder passed over, a channel suffix
// keeping its placeholder in the path, and the date in the folder and file names.
TEST_F(RecordSettingsTest, RecordingsAreNamedByFolderChunkChannelAndDate) {
    child<QLineEdit>("recordPathEdit")->setText(path);
    name()->setText("cell");
    QString display;
    const auto next = [&](bool continuation, const QString& suffix = "", const QString& extension = ".dat") {
        return dialog->getRecordFileName(continuation, suffix, extension, display).toStdString();
    };
    const auto at = [&](const QString& file) { return (path + file).toStdString(); };
    EXPECT_EQ(next(false), at("cell/cell_000.dat"));
    EXPECT_EQ(display, "cell/cell_000");
    EXPECT_EQ(dialog->getRecordFolder(), path + "cell/");
    EXPECT_EQ(dialog->getRecordName(), "cell");
    EXPECT_EQ(next(true), at("cell/cell_001.dat"));
    EXPECT_EQ(display, "cell/cell_001");

    // The folder is made by the writer; a taken one is passed over.
    ASSERT_TRUE(QDir().mkdir(path + "cell"));
    EXPECT_EQ(next(false, "_CH%1", ".abf"), at("cell_1/cell_CH%1_000.abf"));
    EXPECT_EQ(display, "cell_1/cell_CH001_000");
    EXPECT_EQ(next(true, "_CH%1", ".abf"), at("cell_1/cell_CH%1_001.abf"));
    EXPECT_EQ(display, "cell_1/cell_CH001_001");
    ASSERT_TRUE(QDir().mkdir(path + "cell_1"));
    EXPECT_EQ(next(false), at("cell_2/cell_000.dat"));
    EXPECT_EQ(dialog->getRecordFolder(), path + "cell_2/");

    child<QCheckBox>("addDateCheckBox")->setChecked(true);
    const QString before = QDateTime::currentDateTime().toString("yyMMddhhmmss");
    const QString file = QString::fromStdString(next(false));
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
    EXPECT_EQ(next(true), at("cell_" + stamp + "/cell_" + stamp + "_001.dat"));
}

} // namespace
