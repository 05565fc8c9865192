// The "Compensations" dock in the main window: there only for models with CFast, in the left
// area, and a compensation set in it as a user does is tagged at the start of an ABF
// recording, read back by Neo.

#include "commlib/api/kv4cl.h"
#include "controls/compensationsdockwidget.h"
#include "tests/support/childprocess.h"
#include "tests/support/connectedwindow.h"
#include "widgets/activationbutton.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const char* const python = "/usr/bin/python3";

// The tags (sample, text) and the sample count of an ABF file.
const char* const tagScript = R"(
import ast, json, sys
from neo.io import AxonIO
from neo.rawio import AxonRawIO

raw = AxonRawIO(filename=sys.argv[1])
raw.parse_header()
rate = raw.get_signal_sampling_rate(0)
samples = raw.get_signal_size(0, 0, 0)
tags = []
for event in AxonIO(filename=sys.argv[1]).read_block().segments[0].events:
    for time, comment in zip(event.times.rescale('s').magnitude, event.annotations['comments']):
        comment = str(comment.decode('ascii') if isinstance(comment, bytes) else comment)
        if comment[:2] in ("b'", 'b"'):
            comment = ast.literal_eval(comment).decode('ascii')
        tags.append({'sample': int(round(float(time) * rate)), 'text': comment.rstrip()})
print(json.dumps({'rate': rate, 'samples': samples, 'tags': tags}))
)";

class CompensationsWindow : public kv4test::WindowTest {
  protected:
    void openAt(const char* model) {
        open(model, 1);
        ASSERT_NO_FATAL_FAILURE(showAndConnectFirst(QSize(1366, 768)));
    }
};

TEST_F(CompensationsWindow, OnlyForModelsWithCFastInTheLeftArea) {
    for (const char* model : {"dogwood16", "cedar"}) {
        SCOPED_TRACE(model);
        openAt(model);
        QDockWidget* compensations = dock("compensationsDw");
        const bool expected = std::string(model) == "dogwood16";
        ASSERT_EQ(compensations != nullptr, expected);
        if (compensations) {
            EXPECT_EQ(compensations->windowTitle(), "Compensations");
            EXPECT_EQ(window->dockWidgetArea(compensations), Qt::LeftDockWidgetArea);
        }
        close();
    }
}

TEST_F(CompensationsWindow, TheCompensationIsTaggedAtTheStartOfAnAbfRecording) {
    if (!QFile::exists(python)) GTEST_SKIP() << python << " is missing";
    const QString folder = QDir::homePath() + "/compensations/";
    ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
    QSettings settings;
    settings.setValue("Protocol/Settings/recordPath", folder);
    settings.setValue("Protocol/Settings/recordName", "run");
    settings.setValue("Protocol/Settings/recordFormat", 1);
    openAt("dogwood16");
    QDockWidget* compensations = dock("compensationsDw");
    ASSERT_TRUE(compensations);
    compensations->raise();
    auto* knob = compensations->findChild<CompensationKnob*>();
    auto* check = compensations->findChild<ActivationButton*>();
    ASSERT_TRUE(knob && check);
    // Channel 1 at 2.5 pF, switched on; the others off.
    knob->setFocus();
    QTest::keyClick(knob, Qt::Key_Home);
    for (int i = 0; i < 2; i++)
        QTest::keyClick(knob, Qt::Key_PageUp);
    for (int i = 0; i < 25; i++)
        QTest::keyClick(knob, Qt::Key_Up);
    QTest::mouseClick(check, Qt::LeftButton);

    QAbstractButton* record = button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)");
    QAbstractButton* stop = button("protocolDw", "Stop recording");
    ASSERT_TRUE(record && stop);
    record->click();
    const QString file = folder + "run/run_CH001_000.abf";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() >= 8192 + 4 * 2000; }, 20000));
    stop->click();
    QCoreApplication::sendPostedEvents();

    QString text = "Cp\n c1 2.5 pF";
    for (int ch = 2; ch <= 16; ch++)
        text += QString(" c%1 off").arg(ch);
    for (const char* channel : {"001", "016"}) {
        SCOPED_TRACE(channel);
        const kv4test::ProgramRun neo =
            kv4test::runProgram(python, {"-c", tagScript, folder + "run/run_CH" + channel + "_000.abf"});
        ASSERT_TRUE(neo.succeeded()) << neo.err.toStdString();
        const QJsonObject read = QJsonDocument::fromJson(neo.out).object();
        const QJsonArray tags = read["tags"].toArray();
        // As many tags as the 56 printable characters of a comment need, each cut between
        // channels and naming the compensation; the blank padding is stripped when read.
        ASSERT_GE(tags.size(), 2) << QJsonDocument(tags).toJson().toStdString();
        QStringList channels;
        for (const QJsonValue& tag : tags) {
            const QString comment = tag["text"].toString();
            EXPECT_LE(comment.size(), 56);
            EXPECT_TRUE(comment.startsWith("Cp: c")) << comment.toStdString();
            channels << comment.mid(4);
            EXPECT_EQ(tag["sample"].toInteger(), tags[0]["sample"].toInteger());
        }
        EXPECT_EQ(channels.join(' ').toStdString(), text.mid(4).toStdString());
        // Marked as the recording started: within its first half second.
        const qint64 sample = tags[0]["sample"].toInteger();
        EXPECT_GE(sample, 0);
        EXPECT_LT(sample, qint64(0.5 * read["rate"].toDouble()));
        EXPECT_LT(sample, read["samples"].toInteger());
    }
}

} // namespace
