// The lab book: the line of every entry, the marked moments that wait for their note, and the
// files: the recording's own lab book beside the main one, and a folder that cannot be written.

#include "window/labbook.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

TEST(LabbookEventLines, EveryEntryHasItsLine) {
    LabbookEventWrittenNote warm("seal formed");
    warm.hasTemperature = true;
    warm.temperature = 36.5512345;
    LabbookEventPlaceholder mark;
    // Values are brought to readable prefixes before they are written.
    LabbookEventNoiseReport noise(2, {0.0123456789, kv4cl::UnitPfxNano, "A"},
                                  {1500.0, kv4cl::UnitPfxFemto, "A"});
    LabbookEventRCEstimation rc(1, {150.256, kv4cl::UnitPfxMega, "\u03A9"}, {22.5, kv4cl::UnitPfxPico, "F"});
    // A negative estimate failed, and an invalid fit has no values: both show a dash.
    LabbookEventRCEstimation failed(1, {-1.0, kv4cl::UnitPfxMega, "\u03A9"}, {-1.0, kv4cl::UnitPfxPico, "F"});
    LabbookEventEventsDetection detection(4, {1.5, kv4cl::UnitPfxMicro, "s"},
                                          {250.0, kv4cl::UnitPfxMilli, "s"},
                                          {3.999999999, kv4cl::UnitPfxNone, "Hz"});
    LabbookEventIVGraph iv(5, {2.5e-9, kv4cl::UnitPfxNone, "S"}, {0.0, kv4cl::UnitPfxPico, "A"}, true,
                           {0.004, kv4cl::UnitPfxNone, "V"});
    LabbookEventIVGraph invalid(2, {2.5, kv4cl::UnitPfxNano, "S"}, {-10.0, kv4cl::UnitPfxPico, "A"}, false,
                                {1.0, kv4cl::UnitPfxMilli, "V"});
    const std::pair<LabbookEvent*, QString> cases[] = {
        {&warm, "Written Note, 'seal formed', Temperature: 36.5512 [\u00B0C]"},
        // A mark written out is a note whose text is two single quotes.
        {&mark, "Written Note, ''''"},
        {&noise, "Noise Report, Channel: 2, Mean Current: 12.3457 [pA], Current Rms: 1.5 [pA]"},
        {&rc, "RC Estimation, Channel: 1, Resistance: 150.256 [M\u03A9], Capacitance: 22.5 [pF]"},
        {&failed, "RC Estimation, Channel: 1, Resistance: - [M\u03A9], Capacitance: - [pF]"},
        {&detection, "Events Detection, Channel: 4, Average Dwell Time: 1.5 [\u00B5s], Average Inter Event "
                     "Time: 250 [ms], Events Rate: 4 [Hz]"},
        {&iv,
         "I/V graph, Channel: 5, Conductance: 2.5 [nS], Current Offset: 0 [A], Reverse Potential: 4 [mV]"},
        {&invalid,
         "I/V graph, Channel: 2, Conductance: - [nS], Current Offset: - [pA], Reverse Potential: - [mV]"},
    };
    for (const auto& [event, line] : cases) {
        event->prepareValues();
        event->time = "10:00:00.000";
        event->recordingTime = "00:01:02.500";
        EXPECT_EQ(event->lineText().toStdString(), ("10:00:00.000, 00:01:02.500, " + line).toStdString());
    }
}

// Warnings about lab book files, collected while a test runs.
QStringList warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg && message.contains("labbook", Qt::CaseInsensitive)) warnings << message;
}

class LabbookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QDir(Labbook::folder()).removeRecursively();
        QFile::remove(QDir::homePath() + "/KAV4/Labbooks");
        QDir(recordingFolder()).removeRecursively();
        QDir().mkpath(recordingFolder());
        warnings.clear();
        previousHandler = qInstallMessageHandler(collectWarnings);
    }
    void TearDown() override { qInstallMessageHandler(previousHandler); }

    static QString today() { return "labbook_" + QDate::currentDate().toString("yyyy_MM_dd"); }
    static QString recordingFolder() { return QDir::homePath() + "/KAV4/Recordings/cell/"; }

    static QStringList linesOf(const QString& path) {
        QFile file(path);
        QStringList lines;
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return lines;
        QTextStream in(&file);
        while (!in.atEnd())
            lines << in.readLine();
        return lines;
    }
    static QStringList mainLines(const Labbook& book) {
        return linesOf(Labbook::folder() + book.mainFileName() + ".txt");
    }
    static QString viewText(const Labbook& book) { return book.findChild<QTextEdit*>()->toPlainText(); }
    static void writeFile(const QString& path, const QString& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
    }

    QtMessageHandler previousHandler = nullptr;
};

// Return on an empty note line marks the moment; marks in a row become numbered empty notes,
// and the next note is written with the moment it was marked, here told by its temperature.
TEST_F(LabbookTest, AMarkedMomentWaitsForTheNextNoteAndMarksInARowBecomeNumberedEmptyNotes) {
    Labbook book;
    auto* line = book.findChild<QLineEdit*>();
    book.setTemperature(36.5);
    QTest::keyClick(line, Qt::Key_Return);
    EXPECT_EQ(mainLines(book), QStringList()) << "the mark waits";
    book.setTemperature(37);
    QTest::keyClick(line, Qt::Key_Return);
    book.setTemperature(std::nullopt);
    QTest::keyClicks(line, "<b>giga-seal</b>");
    QTest::keyClick(line, Qt::Key_Enter);
    EXPECT_EQ(line->text(), "");
    // Each mark is still pending, hence still alive, when its time is set: as if marked then.
    for (const char* time : {"10:00:00.000", "10:01:00.000"}) {
        auto* mark = new LabbookEventPlaceholder;
        book.onReceiveEvent(mark);
        mark->time = time;
    }
    book.onReceiveEvent(new LabbookEventWrittenNote("drug added"));
    const QStringList lines = mainLines(book);
    const QString now = R"(\d\d:\d\d:\d\d\.\d{3})";
    const QString expected[] = {
        now + ", Not Recording, Written Note, 'empty note 0', Temperature: 36.5 \\[°C\\]",
        now + ", Not Recording, Written Note, '<b>giga-seal</b>', Temperature: 37 \\[°C\\]",
        "10:00:00\\.000, Not Recording, Written Note, 'empty note 1'",
        "10:01:00\\.000, Not Recording, Written Note, 'drug added'"};
    ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
    for (int k = 0; k < 4; k++)
        EXPECT_TRUE(QRegularExpression("^" + expected[k] + "$").match(lines[k]).hasMatch())
            << lines[k].toStdString();
    EXPECT_EQ(viewText(book), lines.join('\n'));
}

TEST_F(LabbookTest, RecordingHasItsOwnLabbookAndWhatIsPendingIsWrittenAtItsStopOrTheClosing) {
    const QString recording = recordingFolder() + "cell_000";
    const QString recordingLabbook = recording + "_lab_book.txt";
    {
        Labbook book;
        book.startRecording(recording);
        book.onReceiveEvent(new LabbookEventMembraneMonitor(2));
        book.onReceiveEvent(new LabbookEventPlaceholder);
        book.stopRecording();
        book.onReceiveEvent(new LabbookEventWrittenNote("after"));
        // A recording lab book that cannot be opened is said once; the main one goes on.
        book.startRecording(QDir::homePath() + "/missing/cell_000");
        book.onReceiveEvent(new LabbookEventMembraneMonitor(1));
        book.onReceiveEvent(new LabbookEventPlaceholder);
    }
    const QStringList main = linesOf(Labbook::folder() + today() + ".txt");
    ASSERT_EQ(main.size(), 11);
    EXPECT_TRUE(main[0].startsWith("_Started recording: ")) << main[0].toStdString();
    EXPECT_EQ(main[1], "_Lab book file for the recording: " + recordingLabbook);
    const QRegularExpression duringRecording(R"(^\d\d:\d\d:\d\d\.\d{3}, 00:00:\d\d\.\d{3}, )");
    EXPECT_TRUE(duringRecording.match(main[2]).hasMatch()) << main[2].toStdString();
    EXPECT_TRUE(main[2].endsWith("Membrane Monitor, Channel switched off: 2"));
    EXPECT_TRUE(duringRecording.match(main[3]).hasMatch()) << main[3].toStdString();
    EXPECT_TRUE(main[3].endsWith("Written Note, 'save on record stop'"));
    EXPECT_EQ(main[4], "_Stopped recording");
    EXPECT_TRUE(main[5].endsWith(", Not Recording, Written Note, 'after'"));
    EXPECT_EQ(linesOf(recordingLabbook), (QStringList{"_Session lab book file: " + today(), main[0],
                                                      "_Lab book notes:", main[2], main[3]}));
    EXPECT_TRUE(main[8].endsWith("Membrane Monitor, Channel switched off: 1"));
    EXPECT_TRUE(main[9].endsWith("Written Note, 'save on labbook closing'"));
    EXPECT_EQ(main[10], "_Stopped recording");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains(QDir::homePath() + "/missing/cell_000_lab_book.txt"))
        << warnings[0].toStdString();
}

TEST_F(LabbookTest, UnwritableFolderIsReportedAndTheViewKeepsTheEntries) {
    QDir().mkpath(QDir::homePath() + "/KAV4");
    writeFile(QDir::homePath() + "/KAV4/Labbooks", "not a folder");
    QString box;
    QTimer::singleShot(0, [&box] {
        auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!shown) return;
        box = shown->windowTitle() + ": " + shown->text();
        shown->done(QMessageBox::Ok);
    });
    QMainWindow window;
    auto* book = new Labbook;
    EXPECT_EQ(box, "Warning: Couldn't open the labbook file: " + today() + ".txt");
    window.addDockWidget(Qt::LeftDockWidgetArea, book);
    window.show();
    EXPECT_FALSE(book->isVisible());

    book->onReceiveEvent(new LabbookEventWrittenNote("kept"));
    EXPECT_TRUE(viewText(*book).endsWith(", Not Recording, Written Note, 'kept'"));
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}

} // namespace
