// Recordings played back in the main window as a user plays them: opened from the File menu
// (Ctrl+O and the file dialog) or dropped on the window, refused while a device is connected and
// when they cannot be read, shown on the plots with their channels' names, units and values,
// driven from the replay bar, and closed back to the disconnected window by the menu or by a
// connection, at laptop and desktop sizes.

#include "analysis/noisereport/noisereportwidget.h"
#include "plots/plottab.h"
#include "recording/recordingreader.h"
#include "tests/support/connectedwindow.h"
#include "widgets/copyabletable.h"
#include "window/corvanelogowidget.h"
#include "window/recordingopener.h"
#include "window/replaybar.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QSlider>
#include <QToolButton>
#include <QUrl>

#include <cmath>

namespace {

using namespace kv4test;

// One channel of a recording, in its unit, as its reader reads it.
std::vector<double> column(const QString& path, size_t channel) {
    QString error;
    const std::unique_ptr<RecordingReader> reader = RecordingReader::open(path, error);
    if (!reader) return {};
    std::vector<float> all(size_t(reader->frames) * reader->channels.size());
    if (!reader->read(0, reader->frames, all.data())) return {};
    std::vector<double> values;
    for (size_t i = channel; i < all.size(); i += reader->channels.size())
        values.push_back(all[i]);
    return values;
}

// Whether the plot's first points, as it draws them, are consecutive values of the file's channel
// (at least two of them different): the frames the plot was handed, undecimated.
bool showsRunOf(const ProtocolDataPlot* plot, const std::vector<double>& values) {
    const QCPGraph* graph = plot->graph(0);
    const int run = 64;
    if (!graph || graph->data()->size() < run || values.size() < size_t(run)) return false;
    std::vector<double> shown;
    for (int i = 0; i < run; i++)
        shown.push_back(graph->data()->at(i)->value);
    if (std::all_of(shown.begin(), shown.end(), [&](double v) { return v == shown[0]; })) return false;
    for (size_t o = 0; o + run <= values.size(); o++) {
        int i = 0;
        while (i < run &&
               std::abs(shown[size_t(i)] - values[o + size_t(i)]) <= 1e-4 * (1 + std::abs(shown[size_t(i)])))
            i++;
        if (i == run) return true;
    }
    return false;
}

class Replay : public WindowTest {
  protected:
    PlotTab* tab() const { return qobject_cast<PlotTab*>(window->centralWidget()); }
    QToolButton* playButton() const { return window->findChild<QToolButton*>("playButton"); }
    QSlider* slider() const { return window->findChild<QSlider*>("positionSlider"); }
    QComboBox* speedBox() const { return window->findChild<QComboBox*>("speedBox"); }
    QComboBox* tagBox() const { return window->findChild<QComboBox*>("tagBox"); }
    QComboBox* lossBox() const { return window->findChild<QComboBox*>("lossBox"); }
    QString timeShown() const { return window->findChild<QLabel*>("timeLabel")->text(); }

    void activate() {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    // Ctrl+O, then the path typed into the file dialog and Return; the dialog's title, or the
    // text of the box shown instead of it.
    QString openWithKeys(const QString& path) {
        activate();
        return answer([&] { QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier); },
                      [&](QWidget* dialog) {
                          auto* box = qobject_cast<QMessageBox*>(dialog);
                          if (box) return box->accept();
                          auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
                          edit->setText(path);
                          QTest::keyClick(edit, Qt::Key_Return);
                      });
    }
    // The file dragged from a file manager and dropped on the window's middle; true when the
    // window took the drag.
    bool drop(const QString& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        const QPoint middle = window->rect().center();
        QDragEnterEvent enter(middle, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(middle), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &dropped);
        // The window opens it once the drag is over.
        QCoreApplication::sendPostedEvents(window->findChild<RecordingOpener*>(), QEvent::MetaCall);
        return dropped.isAccepted();
    }
    // Waits for the layout of the recording opened by `open`.
    void opened(const std::function<void()>& open) {
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        open();
        ASSERT_TRUE(restored.wait(5000));
        settle();
    }
    // Zooms the time axis in with Ctrl++ until every frame of the sweep is drawn.
    void zoomToEveryFrame(double rate) {
        activate();
        for (int i = 0; i < 8 && tab()->timeSpan() * rate > 8192; i++)
            QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
        EXPECT_LE(tab()->timeSpan() * rate, 8192);
    }
    // The bar's controls each shown whole inside the window.
    void expectBarFits() const {
        const QRect inside(window->mapToGlobal(QPoint()), window->size());
        for (QWidget* w : window->findChild<QDockWidget*>("replayDw")->findChildren<QWidget*>()) {
            if (w->objectName().isEmpty() || w->objectName().startsWith("qt_") || !w->isVisible()) continue;
            EXPECT_TRUE(inside.contains(QRect(w->mapToGlobal(QPoint()), w->size())))
                << w->objectName().toStdString();
            EXPECT_GE(w->width(), w->minimumSizeHint().width()) << w->objectName().toStdString();
        }
    }
    // Back to the disconnected window: the logo, no replay, the device controls' place empty.
    void expectClosed(const QString& title) const {
        EXPECT_TRUE(qobject_cast<CorvaneLogoWidget*>(window->centralWidget()));
        EXPECT_EQ(window->findChild<QDockWidget*>("replayDw"), nullptr);
        EXPECT_EQ(window->windowTitle(), title);
        EXPECT_FALSE(action("File", "Close recording")->isEnabled());
        EXPECT_EQ(window->producer(), nullptr);
    }
};

// A recording of sixteen channels made in the window, played back in it once the amplifier is
// disconnected; connecting again closes it and brings the device's controls back.
TEST_F(Replay, ARecordingMadeInTheWindowPlaysBackWithItsChannelsAndValues) {
    const QString folder = QDir::homePath() + "/recordings/";
    ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
    QSettings settings;
    settings.setValue("Protocol/Settings/recordPath", folder);
    settings.setValue("Protocol/Settings/recordName", "run");
    settings.setValue("Protocol/Settings/recordFormat", 0);
    open("dogwood16", 1, smallScreen);
    activate();
    const QString title = window->windowTitle();
    connectTo("VDOGWOOD1601");
    recordButton()->click();
    // Sixteen currents, a gp channel and the voltage a frame; 3000 frames at the least, then bytes
    // lost on the way and as many frames again.
    const auto framesRecorded = [&] { return QFileInfo(folder + "run/run_000.dat").size() / (18 * 4); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return framesRecorded() >= 3000; }, 20000));
    amplifier("VDOGWOOD1601").dropBytes(3 * amplifier("VDOGWOOD1601").model().packetBytes + 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return framesRecorded() >= 6000; }, 20000));
    button("protocolDw", "Stop recording")->click();
    const QString header = folder + "run/run.kdh";
    EXPECT_EQ(openWithKeys(header),
              "Disconnect the device first: opening a recording ends the acquisition, and a recording being "
              "made with it.");
    EXPECT_TRUE(window->isConnected());
    disconnect();

    opened([&] { EXPECT_EQ(openWithKeys(header), "Open recording"); });
    EXPECT_EQ(window->windowTitle(), "run.kdh - " + title);
    for (const char* device : {"controlsDw", "protocolDw", "compensationsDw", "acquisitionInfoDw"})
        EXPECT_EQ(dock(device), nullptr) << device;
    ASSERT_EQ(tab()->currentChannels(), 16);
    ASSERT_EQ(tab()->gpChannels(), 1);
    QString error;
    const std::unique_ptr<RecordingReader> file = RecordingReader::open(header, error);
    ASSERT_TRUE(file) << error.toStdString();
    EXPECT_EQ(tab()->subPlot(16)->title(), file->channels[16].name);
    // The noise report's row of the gp channel, after the voltage and the currents, as well.
    auto* noise = window->findChild<NoiseReportWidget*>();
    ASSERT_TRUE(noise);
    EXPECT_EQ(noise->table()->verticalHeaderItem(17)->text(), file->channels[16].name);
    EXPECT_TRUE(QTest::qWaitFor([&] { return tab()->channelPlots()[15]->yAxis->label() == "pA"; }, 5000));
    EXPECT_TRUE(playButton()->isChecked()) << "it plays from the start";
    // The plots take the file's frames as they are.
    zoomToEveryFrame(file->channels[0].rate);
    // The first page's plots are drawn: channel 1 and the voltage.
    const std::vector<double> ch1 = column(header, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return showsRunOf(tab()->channelPlots()[0], ch1); }, 10000));
    // The loss is listed: chosen with the keys, the replay goes there and the plots mark it.
    ASSERT_EQ(file->losses.size(), 1u);
    const RecordingReader::Loss loss = file->losses[0];
    ASSERT_EQ(lossBox()->count(), 1);
    const double rate = file->channels[0].rate;
    EXPECT_EQ(lossBox()->itemText(0), ReplayBar::timeText(double(loss.frame) / rate) +
                                          QString("  %1 frames lost before").arg(loss.frames));
    playButton()->click();
    ASSERT_FALSE(playButton()->isChecked());
    lossBox()->setFocus();
    QTest::keyClick(lossBox(), Qt::Key_Down);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return timeShown().startsWith(ReplayBar::timeText(double(loss.frame) / rate)); }, 5000))
        << timeShown().toStdString();
    playButton()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !tab()->channelPlots()[0]->lossesShown().empty(); }, 10000));

    // Connecting closes the recording, then the device's docks are back.
    connectTo("VDOGWOOD1601");
    EXPECT_EQ(window->findChild<QDockWidget*>("replayDw"), nullptr);
    EXPECT_EQ(window->windowTitle(), title);
    EXPECT_TRUE(dock("controlsDw")->isVisible());
}

class ForeignReplay : public Replay, public testing::WithParamInterface<QSize> {};

// Another program's episodic file, sixty sweeps of 0.1 s five seconds apart and a tag between
// two of them, dropped on the window and driven from the replay bar, and its noise reported as
// the noise report dock reports it; a broken one is refused.
TEST_P(ForeignReplay, DroppedFileIsDrivenFromTheBar) {
    open("cedar", 1, GetParam());
    activate();
    const QString title = window->windowTitle();
    const QString broken = QDir::homePath() + "/broken.abf";
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("ABF2 but nothing more") > 0);
    file.close();
    const QString said = answer([&] { EXPECT_TRUE(drop(broken)); });
    QString error;
    EXPECT_EQ(RecordingReader::open(broken, error), nullptr);
    EXPECT_EQ(said, error) << "the reader's words";
    EXPECT_TRUE(said.contains("broken.abf")) << said.toStdString();
    expectClosed(title);

    const QString path = KAV4_TEST_DATA "/2018_11_16_sh_0006.abf";
    opened([&] { EXPECT_TRUE(drop(path)); });
    EXPECT_EQ(window->windowTitle(), "2018_11_16_sh_0006.abf - " + title);
    ASSERT_EQ(tab()->currentChannels(), 1);
    EXPECT_EQ(tab()->subPlot(0)->title(), "IN 0");
    EXPECT_TRUE(QTest::qWaitFor([&] { return tab()->channelPlots()[0]->yAxis->label() == "pA"; }, 5000));
    zoomToEveryFrame(20000);
    const std::vector<double> values = column(path, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return showsRunOf(tab()->channelPlots()[0], values); }, 10000));
    expectBarFits();

    // Paused, a time typed: 50 ms into the second sweep; the tag, 0.378 s after the 37th
    // sweep's start, lies in the pause after it: the 38th sweep's first frame.
    QTest::mouseClick(playButton(), Qt::LeftButton);
    EXPECT_FALSE(playButton()->isChecked());
    const std::unique_ptr<RecordingReader> reader = RecordingReader::open(path, error);
    auto* goTo = window->findChild<QDoubleSpinBox*>("goToBox");
    type(goTo, QString::number(double(reader->sweeps[1].start) / 20000 + 0.05, 'f', 3), Qt::Key_Return);
    EXPECT_NEAR(slider()->value() * 2, 2000 + 1000, 20);
    ASSERT_EQ(tagBox()->count(), 1);
    EXPECT_EQ(tagBox()->itemText(0), "3:00.378  +drug at 3min");
    tagBox()->setFocus();
    QTest::keyClick(tagBox(), Qt::Key_Down);
    EXPECT_EQ(slider()->value() * 2, 37 * 2000);
    EXPECT_TRUE(timeShown().startsWith("3:05.000 /")) << timeShown().toStdString();

    // Played, it goes on from there at the recording's pace at most (two frames a slider step).
    const int from = slider()->value();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(playButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return slider()->value() > from; }, 5000));
    QTest::qWait(200);
    EXPECT_LE((slider()->value() - from) * 2, (clock.elapsed() + 100) * 20);
    QTest::mouseClick(playButton(), Qt::LeftButton);

    // As fast as possible from there to the end, where it stops: faster than its 2.3 s.
    speedBox()->setFocus();
    QTest::keyClick(speedBox(), Qt::Key_End);
    clock.restart();
    QTest::mouseClick(playButton(), Qt::LeftButton);
    EXPECT_TRUE(playButton()->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !playButton()->isChecked(); }, 5000));
    EXPECT_LT(clock.elapsed(), 2300);
    EXPECT_EQ(slider()->value(), slider()->maximum());

    // The noise report, opened from the Analysis menu and started, then the recording played from
    // its start: the last of its windows of 0.5 s holds the last five sweeps, frames 110000 on.
    action("Analysis", "Noise Report")->trigger();
    auto* noise = window->findChild<NoiseReportWidget*>();
    ASSERT_TRUE(noise);
    QTest::mouseClick(noise->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    type(goTo, "0.000", Qt::Key_Return);
    QTest::mouseClick(playButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !playButton()->isChecked(); }, 5000));
    ASSERT_EQ(values.size(), 120000u);
    double sum = 0.0, squares = 0.0;
    for (size_t f = 110000; f < 120000; f++)
        sum += values[f], squares += values[f] * values[f];
    const double mean = sum / 10000, deviation = std::sqrt(squares / 10000 - mean * mean);
    const auto shown = [&] {
        const QStringList lines = noise->exportData().split('\n');
        const qsizetype header = lines.indexOf("Channel,Mean current [pA],Current std [pA]");
        return header < 0 ? QStringList() : lines.value(header + 1).split(',');
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QStringList row = shown();
            return row.size() == 3 && std::abs(row[1].toDouble() - mean) < 1e-5 &&
                   std::abs(row[2].toDouble() - deviation) < 1e-5;
        },
        5000))
        << shown().join(',').toStdString() << " for " << mean << ", " << deviation;

    action("File", "Close recording")->trigger();
    expectClosed(title);
}

INSTANTIATE_TEST_SUITE_P(Screens, ForeignReplay, testing::Values(smallScreen, largeScreen),
                         [](const auto& info) { return std::to_string(info.param.width()); });

} // namespace
