// The analysis dock driven as the user drives it: the toolbar's buttons, the frames they
// switch, hiding the dock while it runs, and the CSV export through its dialog and the
// question about an existing file. (The default folder: the docks' own export journeys.)

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
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <functional>

namespace {

using W = AnalysisWidget;

// An analysis with every tool, whose export body is one line of two numbers.
class OneLineAnalysis : public AnalysisDock<OneLineAnalysis, NoiseReportConsumer> {
  public:
    OneLineAnalysis()
        : AnalysisDock(0, {W::LimitToRoiTool, W::ViewDataTool, W::LabbookTool, W::ExportTool,
                           W::LinearFitTool, W::BoltzmannFitTool, W::GaussianFitTool, W::ViewFitTool}) {
        analysisTitle = "One Line";
    }
    QString exportName() const override { return "oneLine"; }
    QString exportData() override { return "1" + separator + "2\n"; }
    void onSaveToLabbook() override { labbookCalls++; }
    void onResult(const NoiseReportConsumer::Result_t&) {}
    // As a dock does once it shows a result.
    void resultShown() {
        toolAction(LabbookTool)->setEnabled(true);
        toolAction(ExportTool)->setEnabled(true);
    }
    int labbookCalls = 0;
};

// A dock with only the tools given.
class ToolsOnly : public AnalysisWidget {
  public:
    explicit ToolsOnly(std::initializer_list<Tool> tools) : AnalysisWidget(0, tools) {}
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
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    void click(AnalysisWidget::Tool tool) { kv4test::click(widget, tool); }

    // Opens the export dialog from the toolbar, lets `edit` change it, then presses OK.
    void exportWith(const std::function<void(AnalysisExportDialog&)>& edit = {}) {
        click(AnalysisWidget::ExportTool);
        AnalysisExportDialog* dialog = widget.exportDialog();
        ASSERT_TRUE(dialog->isVisible());
        if (edit) edit(*dialog);
        QTest::mouseClick(button(*dialog, "OK"), Qt::LeftButton);
    }
    static QPushButton* button(const QWidget& parent, const QString& text) {
        return kv4test::withText<QPushButton>(parent, text);
    }
    static QLineEdit* fileNameEdit(const AnalysisExportDialog& dialog) {
        return kv4test::labelled<QLineEdit>(dialog, "File name:");
    }
    QString csv(const QString& name = "file") const { return folder.path() + "/" + name + ".csv"; }

    QTemporaryDir folder;
    OneLineAnalysis widget;
};

// A dock shows Start, Reset, Stop and the tools it has; a separator shows between tools shown;
// the lab book, export and fit tools wait for something to give them.
TEST(AnalysisDockTools, ADockShowsItsToolsAndTheSeparatorsBetweenThem) {
    const struct {
        std::initializer_list<W::Tool> tools;
        bool first, second; // separator shown
    } cases[] = {
        {{}, false, false},
        {{W::ExportTool}, true, false},
        {{W::LabbookTool, W::ExportTool}, true, false},
        {{W::GaussianFitTool, W::ViewFitTool}, true, false},
        {{W::LimitToRoiTool, W::ExportTool, W::LinearFitTool, W::ViewFitTool}, true, true},
    };
    for (const auto& c : cases) {
        ToolsOnly dock(c.tools);
        for (int t = 0; t < W::ToolCount; t++) {
            const auto tool = W::Tool(t);
            const bool has =
                t <= W::StopTool || std::find(c.tools.begin(), c.tools.end(), tool) != c.tools.end();
            EXPECT_EQ(dock.toolAction(tool)->isVisible(), has) << "tool " << t;
            const bool waits = tool == W::LabbookTool || tool == W::ExportTool ||
                               (tool >= W::LinearFitTool && tool <= W::GaussianFitTool);
            if (has && t > W::StopTool) {
                EXPECT_EQ(dock.toolButton(tool)->isEnabled(), !waits) << "tool " << t;
            }
            EXPECT_FALSE(dock.toolButton(tool)->icon().isNull()) << "the icon is in the resources";
        }
        EXPECT_EQ(dock.separatorAction(0)->isVisible(), c.first);
        EXPECT_EQ(dock.separatorAction(1)->isVisible(), c.second);
        EXPECT_TRUE(dock.plotFrame()->isVisibleTo(&dock));
        EXPECT_FALSE(dock.dataFrame()->isVisibleTo(&dock));
        EXPECT_FALSE(dock.fitFrame()->isVisibleTo(&dock));
    }
}

// Start, Reset and Stop reach the consumer and set each other's state; the view buttons
// switch the frames; a dock hidden while it runs stops its consumer.
TEST_F(AnalysisWidgetTest, TheToolbarDrivesTheConsumerAndTheFrames) {
    kv4test::ScriptedSource source(1, 2, 0);
    DeviceDataProducer producer(source);
    NoiseReportConsumer consumer(&producer);
    widget.setConsumer(&consumer);
    QSignalSpy reset(&widget, &AnalysisWidget::resetConsuming);
    QSignalSpy stopped(&widget, &AnalysisWidget::stopConsuming);
    const auto state = [this] {
        return std::vector<bool>{
            widget.toolButton(W::StartTool)->isEnabled(), widget.toolButton(W::StartTool)->isChecked(),
            widget.toolButton(W::ResetTool)->isEnabled(), widget.toolButton(W::StopTool)->isEnabled()};
    };
    const std::vector<bool> idle{true, false, false, false}, running{false, true, true, true};
    click(W::StartTool);
    EXPECT_EQ(state(), running);
    EXPECT_TRUE(consumer.isRunning()) << "started with no device data yet";
    click(W::ResetTool);
    EXPECT_EQ(state(), running);
    EXPECT_EQ(reset.count(), 1);
    click(W::StopTool);
    EXPECT_EQ(state(), idle);
    EXPECT_FALSE(consumer.isRunning());
    click(W::StartTool);
    EXPECT_EQ(state(), running);
    click(W::LabbookTool);
    EXPECT_EQ(widget.labbookCalls, 1);

    const auto shown = [this] {
        return std::vector<bool>{
            widget.plotFrame()->isVisible(), widget.dataFrame()->isVisible(), widget.fitFrame()->isVisible(),
            widget.toolButton(W::ViewDataTool)->isChecked(), widget.toolButton(W::ViewFitTool)->isChecked()};
    };
    const struct {
        W::Tool clicked;
        std::vector<bool> expected; // plot, data, fit shown; data and fit buttons checked
    } steps[] = {
        {W::ViewDataTool, {false, true, false, true, false}},
        {W::ViewFitTool, {false, false, true, false, true}},
        {W::ViewDataTool, {false, true, false, true, false}},
        {W::ViewDataTool, {true, false, false, false, false}},
        {W::ViewFitTool, {false, false, true, false, true}},
        {W::ViewFitTool, {true, false, false, false, false}},
    };
    for (size_t k = 0; k < std::size(steps); k++) {
        click(steps[k].clicked);
        EXPECT_EQ(shown(), steps[k].expected) << "after click " << k;
    }

    stopped.clear();
    widget.hide();
    EXPECT_EQ(stopped.count(), 1);
    EXPECT_FALSE(consumer.isRunning());
    EXPECT_EQ(state(), idle);
    widget.show();
    widget.hide(); // not running: nothing to stop
    EXPECT_EQ(stopped.count(), 1);
}

TEST_F(AnalysisWidgetTest, AnExistingFileIsOverwrittenAppendedToOrLeftAlone) {
    const QString old = "Analysis:,Older\n7,8\n";
    const QString fresh = "Analysis:,One Line\n1,2\n";
    const struct {
        const char* answer;
        QString expected;
    } cases[] = {
        {"Append", old + fresh},
        {"Overwrite", fresh},
        {"Do not save", old},
    };
    QSettings().setValue("Analysis/Online/Settings/exportSeparator", 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        writeFile(csv(), old);
        answerNextBox([&](QMessageBox& box) {
            for (QAbstractButton* b : box.buttons())
                if (b->text() == c.answer) b->click();
        });
        exportWith();
        EXPECT_EQ(readFile(csv()), c.expected);
    }
}

TEST_F(AnalysisWidgetTest, ANameOrFolderInTheSettingsThatTheDialogWouldRefuseFallsBackWithAWarning) {
    // Every escape would land in the temporary folder, the working folder moved there too.
    const QString inside = folder.path() + "/in/";
    ASSERT_TRUE(QDir().mkpath(inside));
    const QString working = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(inside));
    const QString fallbackFolder = QDir::homePath() + "/KAV4/Analysis/";
    const struct {
        const char* what;
        QString path, name, written, escaped, warning;
    } cases[] = {
        {"a step up in the name", inside, "../x", inside + "file.csv", folder.path() + "/x.csv",
         "export file name"},
        {"a relative folder", "results/", "run", fallbackFolder + "run.csv", inside + "results/run.csv",
         "export folder"},
        {"a step up in the folder", inside + "a/../../", "run", fallbackFolder + "run.csv",
         folder.path() + "/run.csv", "export folder"},
    };
    QSettings().setValue("Analysis/Online/Settings/exportSeparator", 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QSettings().setValue("Analysis/Online/Settings/oneLineExportPath", c.path);
        QSettings().setValue("Analysis/Online/Settings/oneLineExportName", c.name);
        const kv4test::WarningCapture capture;
        exportWith();
        EXPECT_EQ(readFile(c.written), "Analysis:,One Line\n1,2\n");
        EXPECT_FALSE(QFile::exists(c.escaped));
        EXPECT_EQ(capture.count(c.warning), 1) << capture.warnings.join("\n").toStdString();
        QFile::remove(c.written);
    }
    QDir::setCurrent(working);
}

TEST_F(AnalysisWidgetTest, AFolderOrFileThatCannotBeWrittenIsReportedAndNothingIsWritten) {
    writeFile(folder.path() + "/plain", "a file, not a folder");
    ASSERT_TRUE(QDir().mkpath(csv())); // a folder where the file should be: not to be appended to
    const struct {
        QString path, message;
    } cases[] = {
        {folder.path() + "/plain/results/", "Unable to write to dir " + folder.path() + "/plain/results/"},
        {folder.path() + "/", "Cannot open the file for writing"},
    };
    for (const auto& c : cases) {
        QSettings().setValue("Analysis/Online/Settings/oneLineExportPath", c.path);
        QString text;
        answerNextBox([&](QMessageBox& box) {
            text = box.text();
            box.accept();
        });
        exportWith();
        EXPECT_EQ(text, c.message);
    }
    EXPECT_FALSE(QFile::exists(folder.path() + "/plain/results/file.csv"));
    EXPECT_TRUE(QFileInfo(csv()).isDir());
}

TEST_F(AnalysisWidgetTest, TheSeparatorFollowsTheStoredChoiceOrTheLocale) {
    const struct {
        QVariant stored; // invalid: never stored
        QLocale locale;
        QString separator;
    } cases[] = {
        {QVariant(), QLocale(QLocale::Italian, QLocale::Italy), ";"},
        {QVariant(), QLocale(QLocale::English, QLocale::UnitedStates), ","},
        {3, QLocale(QLocale::German, QLocale::Germany), ";"},
        {3, QLocale::c(), ","},
        {0, QLocale(QLocale::Italian, QLocale::Italy), ","},
        {1, QLocale::c(), ";"},
        {2, QLocale::c(), "\t"},
        {-4, QLocale(QLocale::French, QLocale::France), ";"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.toString().toStdString() + " " + c.locale.name().toStdString());
        QLocale::setDefault(c.locale);
        QFile::remove(csv());
        if (c.stored.isValid())
            QSettings().setValue("Analysis/Online/Settings/exportSeparator", c.stored);
        else
            QSettings().remove("Analysis/Online/Settings/exportSeparator");
        exportWith();
        EXPECT_EQ(readFile(csv()), "Analysis:" + c.separator + "One Line\n1" + c.separator + "2\n");
    }
    // A new file goes into folders made for it, under the name typed (a slash cannot be typed).
    const QString nested = folder.path() + "/a/b/";
    QSettings().setValue("Analysis/Online/Settings/oneLineExportPath", nested);
    QSettings().setValue("Analysis/Online/Settings/exportSeparator", 2);
    exportWith([](AnalysisExportDialog& dialog) {
        fileNameEdit(dialog)->clear();
        QTest::keyClicks(fileNameEdit(dialog), "run/1 ok");
    });
    EXPECT_EQ(readFile(nested + "run1 ok.csv"), "Analysis:\tOne Line\n1\t2\n");
    EXPECT_EQ(QSettings().value("Analysis/Online/Settings/oneLineExportName").toString(), "run1 ok");
}

// OK stores the separator chosen; Cancel or Escape drops the edits; the folder browsed to
// ends with a slash, and cancelling the browser keeps the folder.
TEST_F(AnalysisWidgetTest, TheDialogKeepsWhatIsAcceptedAndDropsWhatIsCancelled) {
    const struct {
        const char* button;
        int stored;
    } cases[] = {{"tab \"\\t\"", 2}, {"comma \",\"", 0}, {"semicolon \";\"", 1}};
    for (const auto& c : cases) {
        QFile::remove(csv());
        exportWith([&](AnalysisExportDialog& dialog) {
            QTest::mouseClick(kv4test::withText<QRadioButton>(dialog, c.button), Qt::LeftButton);
        });
        EXPECT_EQ(QSettings().value("Analysis/Online/Settings/exportSeparator").toInt(), c.stored)
            << c.button;
    }

    AnalysisExportDialog* dialog = widget.exportDialog();
    const std::function<void()> cancels[] = {
        [&] { QTest::mouseClick(button(*dialog, "Cancel"), Qt::LeftButton); },
        [&] { QTest::keyClick(fileNameEdit(*dialog), Qt::Key_Escape); },
    };
    for (const auto& cancel : cancels) {
        click(W::ExportTool);
        QTest::keyClicks(fileNameEdit(*dialog), "_more");
        cancel();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->exportFileName(), "file") << "the edit was dropped";
    }

    const QString chosen = folder.path() + "/chosen";
    ASSERT_TRUE(QDir().mkpath(chosen));
    click(W::ExportTool);
    for (const bool accept : {true, false}) {
        QTimer::singleShot(0, [&] {
            auto* browser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(browser, nullptr) << "no folder browser";
            if (!accept) return browser->reject();
            browser->setDirectory(chosen);
            browser->selectFile(chosen);
            QMetaObject::invokeMethod(browser, "accept");
        });
        QTest::mouseClick(button(*dialog, "Browse..."), Qt::LeftButton);
        EXPECT_EQ(dialog->exportPath(), chosen + "/") << (accept ? "chosen" : "kept after cancel");
    }
}

} // namespace
