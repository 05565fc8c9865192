// The main window as the user meets it, connected to virtual amplifiers.

#include "acquisition/devicedataproducer.h"
#include "app/startup.h"
#include "commlib/api/kv4cl.h"
#include "plots/plottab.h"
#include "recording/labbookevent.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/connectedwindow.h"
#include "window/connectionlostdialog.h"
#include "window/corvanelogowidget.h"
#include "window/errormanager.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using namespace kv4cl;

// Qt keeps the tab bars of tabified docks in a pool that it fills over the first rounds and
// reuses: they are left out of the count.
qsizetype ownChildren(const QObject* window) {
    qsizetype n = 0;
    for (const QObject* o : window->findChildren<QObject*>()) {
        bool pooled = false;
        for (const QObject* p = o; p && !pooled; p = p->parent())
            pooled = qobject_cast<const QTabBar*>(p) != nullptr;
        n += !pooled;
    }
    return n;
}

class MainWindowTest : public kv4test::WindowTest {
  protected:
    QAction* action(const QString& menu, const QString& text) const {
        for (QAction* top : window->menuBar()->actions()) {
            if (top->text().remove('&') != menu) continue;
            for (QAction* item : top->menu()->actions())
                if (item->text() == text) return item;
        }
        return nullptr;
    }
};

TEST_F(MainWindowTest, StartsDisconnectedWithItsMenus) {
    window = std::make_unique<MainWindow>();
    EXPECT_EQ(window->windowTitle(), "KAV4 1.11.6");
    QStringList menus;
    for (QAction* top : window->menuBar()->actions())
        menus << top->text();
    EXPECT_EQ(menus, (QStringList{"&View", "&Analysis", "A&dvanced", "&Preferences", "&?"}));
    ASSERT_NE(action("View", "Connection"), nullptr) << "the Connection dock's toggle";
    EXPECT_FALSE(action("Advanced", "Reset")->isEnabled());
    EXPECT_FALSE(action("Advanced", "Synchronize devices")->isEnabled());
    EXPECT_FALSE(action("Advanced", "Front end reset denoiser (BETA)")->isEnabled());
    EXPECT_FALSE(action("Preferences", "Plot")->isEnabled());
    EXPECT_TRUE(action("?", "Device info")->isEnabled());
    EXPECT_NE(qobject_cast<CorvaneLogoWidget*>(window->centralWidget()), nullptr);
    EXPECT_FALSE(combo()->isEnabled()) << "nothing attached";
    EXPECT_FALSE(connectButton()->isEnabled());
    EXPECT_EQ(dock("debugDw"), nullptr) << "no debug marker in the home folder";
}

TEST_F(MainWindowTest, ListsEveryDeviceAndAllOnlyForSeveral) {
    open("cedar,cedar", 3);
    EXPECT_EQ(combo()->itemText(0), "VCEDAR01");
    EXPECT_EQ(combo()->itemText(1), "VCEDAR02");
    EXPECT_EQ(combo()->itemText(2), "All");
    EXPECT_TRUE(combo()->isEnabled());
    EXPECT_TRUE(connectButton()->isEnabled());

    window->onDevicesListChanged({"VCEDAR02"});
    ASSERT_EQ(combo()->count(), 1);
    EXPECT_EQ(combo()->itemText(0), "VCEDAR02");

    window->onDevicesListChanged({});
    EXPECT_EQ(combo()->count(), 0);
    EXPECT_FALSE(combo()->isEnabled());
    EXPECT_FALSE(connectButton()->isEnabled());
}

TEST_F(MainWindowTest, AFailedConnectionShowsItsAdviceAndStaysDisconnected) {
    open("cedar,elm", 3);
    combo()->setCurrentText("All");
    QString shown;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            box->accept();
        }
    });
    connectButton()->click();
    EXPECT_EQ(shown, ErrorManager::message(ErrorDifferentDeviceTypes) + ":\n" +
                         ErrorManager::detail(ErrorDifferentDeviceTypes));
    EXPECT_FALSE(window->isConnected());
    EXPECT_FALSE(connectButton()->isChecked());
    EXPECT_EQ(connectButton()->text(), "Connect");
    EXPECT_TRUE(combo()->isEnabled());
    EXPECT_EQ(window->producer(), nullptr);
}

// Dogwood 16 brings the docks that are tabs of others (voltage offsets, RC estimation), Fir the
// floating TTL dock and the washer's. One test per model set, so that each keeps within its time
// under the sanitizers.
class ConnectionRounds : public MainWindowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ConnectionRounds, ConnectsAndTearsDownAgainAndAgain) {
    open(GetParam(), 3);
    // The first connection leaves what Qt creates once (the style sheet's style, menu windows):
    // later rounds must leave nothing more behind.
    qsizetype children = 0;
    qsizetype windows = 0;
    for (int round = 0; round < 3; round++) {
        connectTo("All");
        EXPECT_EQ(connectButton()->text(), "Disconnect");
        EXPECT_TRUE(connectButton()->isChecked());
        EXPECT_FALSE(combo()->isEnabled());
        ASSERT_NE(dock("acquisitionInfoDw"), nullptr);
        EXPECT_TRUE(action("Advanced", "Synchronize devices")->isEnabled()) << "connected with All";
        EXPECT_TRUE(action("Advanced", "Reset")->isEnabled());
        bool denoiser = false;
        ASSERT_EQ(kv4cl::hasResetDenoiser(denoiser), Success);
        EXPECT_EQ(action("Advanced", "Front end reset denoiser (BETA)")->isEnabled(), denoiser);
        ASSERT_NE(action("View", "Acquisition info"), nullptr);
        // The producer runs: its meter sees both amplifiers' rows arrive. An interval may pass
        // without rows: the first may start before the data, and a loaded machine (a sanitizer
        // run) can hold the stream up for a second.
        ASSERT_NE(window->producer(), nullptr);
        QSignalSpy rate(window->producer(), &DeviceDataProducer::bitRateComputed);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !rate.isEmpty() && rate.last().at(0).toDouble() > 0.0; }, 10000));

        disconnect();
        EXPECT_EQ(connectButton()->text(), "Connect");
        EXPECT_TRUE(combo()->isEnabled());
        EXPECT_EQ(window->producer(), nullptr);
        EXPECT_EQ(dock("acquisitionInfoDw"), nullptr);
        EXPECT_EQ(action("View", "Acquisition info"), nullptr);
        EXPECT_FALSE(action("Advanced", "Synchronize devices")->isEnabled());
        EXPECT_NE(qobject_cast<CorvaneLogoWidget*>(window->centralWidget()), nullptr);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (round == 0) {
            children = ownChildren(window.get());
            windows = QApplication::topLevelWidgets().size();
        }
        EXPECT_EQ(ownChildren(window.get()), children) << "round " << round;
        EXPECT_EQ(QApplication::topLevelWidgets().size(), windows) << "round " << round;
    }
    std::vector<std::string> ids;
    EXPECT_EQ(kv4cl::detectDevices(ids), Success);
    EXPECT_EQ(ids.size(), 2u) << "both devices free again";
}

INSTANTIATE_TEST_SUITE_P(Models, ConnectionRounds,
                         ::testing::Values("cedar,cedar", "dogwood16,dogwood16", "fir,fir"),
                         [](const auto& info) {
                             return std::string(info.param).substr(0, std::string(info.param).find(','));
                         });

TEST_F(MainWindowTest, OneDeviceIsNeverSynchronised) {
    open("cedar,cedar", 3);
    connectTo("VCEDAR02");
    EXPECT_FALSE(action("Advanced", "Synchronize devices")->isEnabled());
}

TEST_F(MainWindowTest, TheDenoiserChoiceAndTheLayoutOutliveTheConnection) {
    open("cedar", 1);
    connectTo("VCEDAR01");
    QAction* enable = nullptr;
    for (QAction* item : action("Advanced", "Front end reset denoiser (BETA)")->menu()->actions())
        if (item->text() == "Enable") enable = item;
    ASSERT_NE(enable, nullptr);
    EXPECT_FALSE(enable->isChecked()) << "off without settings";
    enable->trigger();
    QDockWidget* info = dock("acquisitionInfoDw");
    info->setFloating(true);
    const QRect placed(QPoint(120, 140), info->size());
    info->setGeometry(placed);
    disconnect();
    const QSettings settings;
    EXPECT_TRUE(settings.value("Preferences/frontEndResetDenoiser").toBool());
    // Kept for the model, by its version, subversion and firmware.
    EXPECT_EQ(settings.value("Preferences/UI/4.3.129/acquisitionInfoDw/geometry").toRect(), placed);
    EXPECT_TRUE(settings.contains("Preferences/UI/4.3.129/mainWindow/state"));

    connectTo("VCEDAR01");
    EXPECT_TRUE(enable->isChecked());
    EXPECT_FALSE(dock("acquisitionInfoDw")->isFloating()) << "built in its area";
    EXPECT_TRUE(QTest::qWaitFor([&] { return dock("acquisitionInfoDw")->isFloating(); }, 2000))
        << "then laid out as it was left";
}

TEST_F(MainWindowTest, DisconnectsWhenAskedOrWhenTheDeviceVanishes) {
    open("cedar,cedar", 3);
    connectTo("VCEDAR01");
    // A lost connection opens the warning; its Disconnect ends the connection and the warning.
    QPointer<ConnectionLostDialog> warning = window->connectionLostDialog();
    ASSERT_NE(warning, nullptr);
    bool shown = false;
    QTimer clicker; // the warning runs modally: it is clicked from inside its own loop
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (!warning || !warning->isVisible()) return;
        shown = true;
        clicker.stop();
        QTest::mouseClick(warning->findChild<QPushButton*>(), Qt::LeftButton);
    });
    clicker.start(10);
    emit window->producer()->connectionLost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isConnected(); }, 5000));
    EXPECT_TRUE(shown);
    EXPECT_TRUE(warning.isNull()) << "gone with the connection";
    EXPECT_FALSE(connectButton()->isChecked());

    connectTo("All");
    window->onDevicesListChanged({"VCEDAR01", "VCEDAR02"});
    EXPECT_TRUE(window->isConnected()) << "the set connected with All is still listed";
    EXPECT_EQ(combo()->currentText(), "All");
    connectButton()->click();

    connectTo("VCEDAR01");
    window->onDevicesListChanged({"VCEDAR02", "VCEDAR01"});
    EXPECT_TRUE(window->isConnected()) << "still listed";
    EXPECT_EQ(combo()->currentText(), "VCEDAR01");
    window->onDevicesListChanged({"VCEDAR02"});
    EXPECT_FALSE(window->isConnected());
    EXPECT_FALSE(connectButton()->isChecked());
    EXPECT_EQ(connectButton()->text(), "Connect");
}

TEST_F(MainWindowTest, AConnectionBackAfterItsCountdownResetsTheDevice) {
    open("cedar", 1);
    connectTo("VCEDAR01");
    const kav4sim::VirtualAmplifier* amplifier = simulation->amplifier("VCEDAR01");
    const uint64_t resetsBefore = amplifier->command().resets;
    // The warning's request reaches the window, which resets the device.
    emit window->connectionLostDialog()->resetDevice();
    EXPECT_TRUE(QTest::qWaitFor([&] { return amplifier->command().resets > resetsBefore; }, 5000));
    EXPECT_TRUE(window->isConnected());

    // The dialog's note of the loss is in the lab book at once: nothing waits in a queue that
    // the window could leave undelivered.
    ASSERT_NE(dock("labbook"), nullptr);
    auto* view = dock("labbook")->findChild<QTextEdit*>();
    ASSERT_NE(view, nullptr);
    emit window->connectionLostDialog()->labbookEvent(new LabbookEventWrittenNote("USB connection lost"));
    EXPECT_TRUE(view->toPlainText().contains("'USB connection lost'")) << view->toPlainText().toStdString();
}

TEST_F(MainWindowTest, TheLiveViewFollowsTheControlsAndTheShortcuts) {
    open("cedar", 1);
    connectTo("VCEDAR01");
    auto* tab = qobject_cast<PlotTab*>(window->centralWidget());
    ASSERT_NE(tab, nullptr);
    EXPECT_GE(tab->minimumWidth(), 400);
    ASSERT_EQ(tab->channelPlots().size(), 4u);
    ASSERT_NE(dock("controlsDw"), nullptr);
    ASSERT_NE(dock("allChannelsControlsDw"), nullptr);
    EXPECT_TRUE(action("Preferences", "Plot")->isEnabled());
    EXPECT_TRUE(action("Preferences", "Digital filters")->isEnabled());

    // The plots start in the device's range, which the consumer was given at the start.
    ProtocolDataPlot* first = tab->channelPlots()[0];
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->yAxis->label() == "pA"; }, 5000))
        << first->yAxis->label().toStdString();
    QPushButton* nano = nullptr;
    for (QPushButton* button : dock("controlsDw")->findChildren<QPushButton*>())
        if (button->text() == "2 nA") nano = button;
    ASSERT_NE(nano, nullptr);
    nano->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::abs(first->yAxis->range().upper - 0.2) < 1e-9; }, 5000))
        << "the range went through the consumer to the plot";
    EXPECT_EQ(first->yAxis->label(), "pA") << "the same window, now held in nA, still reads in pA";

    auto shortcutFor = [&](const QKeySequence& keys) -> QShortcut* {
        for (QShortcut* shortcut : window->findChildren<QShortcut*>())
            if (shortcut->key() == keys) return shortcut;
        return nullptr;
    };
    // Ctrl++ halves the sweep.
    QShortcut* zoomIn = shortcutFor(QKeySequence(Qt::CTRL | Qt::Key_Plus));
    ASSERT_NE(zoomIn, nullptr);
    emit zoomIn->activated();
    EXPECT_DOUBLE_EQ(tab->timeSpan(), 0.5);
    // F fits the y axes to the traces.
    QShortcut* fit = shortcutFor(QKeySequence(Qt::Key_F));
    ASSERT_NE(fit, nullptr);
    first->yAxis->setRange(1000, 2000);
    emit fit->activated();
    bool found = false;
    const QCPRange trace = first->graph(0)->getValueRange(found, QCP::sdBoth, first->xAxis->range());
    ASSERT_TRUE(found);
    EXPECT_LT(first->yAxis->range().lower, trace.lower);
    EXPECT_GT(first->yAxis->range().upper, trace.upper);
    EXPECT_EQ(window->findChildren<QShortcut*>().size(), 33u)
        << "F10, plot keys, Vhold keys, stop recording, ten protocols twice";
    disconnect();
    EXPECT_EQ(window->findChildren<QShortcut*>().size(), 1u)
        << "shortcuts live with the connection, F10 aside";
}

TEST_F(MainWindowTest, RecordsFromTheProtocolDockIntoTheChosenFolder) {
    const QString folder = QDir::homePath() + "/recordings test/";
    // The recording's lab book is named after the recording, whichever its first data file.
    const struct {
        int format;
        const char* data;
        int frameBytes; // of whole frames
    } formats[] = {{0, "cell/cell_000.dat", 5 * 4}, {1, "cell/cell_CH001_000.abf", 2 * 2}};
    for (const auto& f : formats) {
        window.reset();
        ASSERT_TRUE(QDir().mkpath(folder));
        QSettings().setValue("Protocol/Settings/recordPath", folder);
        QSettings().setValue("Protocol/Settings/recordName", "cell");
        QSettings().setValue("Protocol/Settings/recordFormat", f.format);
        open("cedar", 1);
        connectTo("VCEDAR01");
        ASSERT_NE(dock("protocolDw"), nullptr);
        ASSERT_NE(button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)"), nullptr);
        // A refused start shows its box modally; it is read and closed rather than waited on.
        QString refusal;
        QObject watch; // ends the timer with the test
        QTimer::singleShot(500, &watch, [&] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                refusal = box->windowTitle();
                if (auto* message = qobject_cast<QMessageBox*>(box)) refusal += ": " + message->text();
                box->close();
            }
        });
        button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)")->click();
        EXPECT_TRUE(refusal.isEmpty()) << refusal.toStdString();
        const QString data = folder + f.data;
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(data).size() > 0; }, 5000))
            << "no data in " << data.toStdString();
        EXPECT_TRUE(QFileInfo::exists(folder + "cell/cell.kdh"));
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return QFileInfo::exists(folder + "cell/cell_lab_book.txt"); }, 5000))
            << "the recording's lab book beside it, in " << f.data;
        button("protocolDw", "Stop recording")->click();
        EXPECT_EQ(QFileInfo(data).size() % f.frameBytes, 0) << f.data;
        EXPECT_EQ(QDir(folder + "cell").entryList({"*lab_book*"}).join(", ").toStdString(),
                  "cell_lab_book.txt");
        QDir(folder).removeRecursively();
    }
}

TEST(Startup, ConsoleLinesAndWorkingFolders) {
    EXPECT_EQ(consoleLine(QtDebugMsg, "a"), "Debug:    a");
    EXPECT_EQ(consoleLine(QtInfoMsg, "a"), "Info:     a");
    EXPECT_EQ(consoleLine(QtCriticalMsg, "a"), "Critical: a");
    EXPECT_EQ(consoleLine(QtWarningMsg, "a"), "a");

    EXPECT_TRUE(createWorkingFolders().isEmpty());
    const QStringList folders = workingFolders();
    ASSERT_EQ(folders.size(), 5);
    for (const QString& folder : folders) {
        EXPECT_TRUE(folder.startsWith(QDir::homePath() + "/KAV4/")) << folder.toStdString();
        EXPECT_TRUE(QDir(folder).exists()) << folder.toStdString();
    }
    EXPECT_TRUE(createWorkingFolders().isEmpty()) << "existing folders are fine";
}

} // namespace
