// The analysis dock driven as the user drives it: the toolbar's buttons, hiding the dock while
// it runs, and where the CSV export goes. (The default folder
// and the separator chosen in the dialog: the docks' own export journeys.)

#include "analysis/framework/analysisexportdialog.h"
#include "analysis/framework/analysiswidget.h"
#include "analysis/noisereport/noisereportconsumer.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/analysis/dockdriver.h"
#include "tests/support/warningcapture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>

namespace {

using W = AnalysisWidget;

// An analysis with every tool, whose export body is one line of two numbers, for every channel of
// a device without channels.
class OneLineAnalysis : public AnalysisDock<OneLineAnalysis, NoiseReportConsumer> {
  public:
    OneLineAnalysis()
        : AnalysisDock({}, 0,
                       {W::LimitToRoiTool, W::ViewDataTool, W::LabbookTool, W::ExportTool, W::LinearFitTool,
                        W::BoltzmannFitTool, W::GaussianFitTool, W::ViewFitTool}) {
        analysisTitle = "One Line";
    }
    QString exportName() const override { return "oneLine"; }
    QString exportData() override { return "1" + separator + "2\n"; }
    void onResult(const NoiseReportConsumer::Result_t&) {}
    // As a dock does once it shows a result.
    void resultShown() {
        toolAction(LabbookTool)->setEnabled(true);
        toolAction(ExportTool)->setEnabled(true);
    }
};

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString("<missing>");
}

void writeFile(const QString& path, const QString& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

// Runs `answer` on the message box that the next step opens, once it is up.
void answerNextBox(const std::function<void(QMessageBox&)>& answer) {
    QTimer::singleShot(0, [answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "no box was shown";
        answer(*box);
    });
}

class AnalysisWidgetTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        QSettings settings;
        settings.remove("Analysis");
        settings.setValue("Analysis/Online/Settings/oneLineExportPath", folder.path() + "/");
        widget.resultShown();
        widget.resize(600, 400);
        widget.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    }

    void click(AnalysisWidget::Tool tool) { kv4test::click(widget, tool); }

    QString csv() const { return folder.path() + "/file.csv"; }

    QTemporaryDir folder;
    OneLineAnalysis widget;
};

// Start and Reset reach the consumer; a dock hidden while it runs stops it. (Stop, and closing
// a dock from its menu entry: every dock's journey and the docks' menu journey.)
TEST_F(AnalysisWidgetTest, TheToolbarDrivesTheConsumer) {
    kv4test::ScriptedSource source(1, 2, 0);
    DeviceDataProducer producer(source);
    NoiseReportConsumer consumer(&producer);
    widget.setConsumer(&consumer);
    QSignalSpy reset(&widget, &AnalysisWidget::resetConsuming);
    click(W::StartTool);
    EXPECT_TRUE(consumer.isRunning()) << "started with no device data yet";
    click(W::ResetTool);
    EXPECT_EQ(reset.count(), 1);
    EXPECT_TRUE(consumer.isRunning());
    widget.hide();
    EXPECT_FALSE(consumer.isRunning());
}

// Where the export goes and what it holds: an existing file appended to or left alone as the
// box is answered, a stored folder that steps out of the user's folders falling back with a
// warning, folders made for a new file, and a folder that cannot be written said in a box.
TEST_F(AnalysisWidgetTest, TheExportGoesWhereTheUserChoseOrSaysWhyNot) {
    const QString fresh = "Analysis:,One Line\n1,2\n", old = "Analysis:,Older\n7,8\n";
    const QString top = folder.path() + "/", fallback = QDir::homePath() + "/KAV4/Analysis/file.csv";
    writeFile(top + "plain", "a file, not a folder");
    ASSERT_TRUE(QDir().mkpath(top + "in"));
    const struct {
        const char* what;
        QString path;                // stored
        int separator;               // stored
        QString before;              // the file's text before, if any
        const char* answer;          // the button pressed on the box that shows, if one does
        QString written, text, said; // the file, its text, what the box or a warning said
    } rows[] = {
        {"appended", top, 0, old, "Append", csv(), old + fresh, ""},
        {"left alone", top, 0, old, "Do not save", csv(), old, ""},
        {"a step out of the folders", top + "in/a/../../", 0, "", nullptr, fallback, fresh, "export folder"},
        {"folders made", top + "a/b/", 2, "", nullptr, top + "a/b/file.csv", "Analysis:\tOne Line\n1\t2\n",
         ""},
        {"a folder under a file", top + "plain/results/", 0, "", "OK", top + "plain/results/file.csv",
         "<missing>", "Unable to write to dir " + top + "plain/results/"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        QFile::remove(csv());
        QFile::remove(fallback);
        if (!r.before.isEmpty()) writeFile(csv(), r.before);
        QSettings().setValue("Analysis/Online/Settings/oneLineExportPath", r.path);
        QSettings().setValue("Analysis/Online/Settings/exportSeparator", r.separator);
        QString boxText;
        if (r.answer)
            answerNextBox([&](QMessageBox& box) {
                boxText = box.text();
                for (QAbstractButton* b : box.buttons())
                    if (b->text() == r.answer) return b->click();
                box.accept();
            });
        const kv4test::WarningCapture capture;
        click(AnalysisWidget::ExportTool);
        ASSERT_TRUE(widget.exportDialog()->isVisible());
        QTest::mouseClick(kv4test::withText<QPushButton>(*widget.exportDialog(), "OK"), Qt::LeftButton);
        EXPECT_EQ(readFile(r.written), r.text);
        EXPECT_FALSE(r.path.contains("..") && QFile::exists(csv())) << "escaped its folder";
        if (r.said.startsWith("Unable")) {
            EXPECT_EQ(boxText, r.said);
        } else if (!r.said.isEmpty()) {
            EXPECT_EQ(capture.count(r.said), 1) << capture.warnings.join("\n").toStdString();
        }
    }
}

} // namespace
