#include "window/mainwindow.h"

#include "accessories/firwashercontrol.h"
#include "accessories/firwashercontroldebug.h"
#include "acquisition/devicedataconsumer.h"
#include "acquisition/devicedataproducer.h"
#include "analysis/analyses.h"
#include "analysis/framework/analysisdocks.h"
#include "analysis/membranemonitor/membranemonitorwidget.h"
#include "analysis/rcestimation/rcestimationwidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerwidget.h"
#include "controls/allchannelscontrolsdockwidget.h"
#include "controls/compensationsdockwidget.h"
#include "controls/controlsdockwidget.h"
#include "controls/filterpreferencesdialog.h"
#include "controls/protocoldockwidget.h"
#include "controls/voltageoffsetdockwidget.h"
#include "plots/gapfreeplotconsumer.h"
#include "plots/plotpreferencesdialog.h"
#include "plots/plottab.h"
#include "session/recordingservice.h"
#include "session/stimulusservice.h"
#include "window/acquisitioninfodockwidget.h"
#include "window/channelactions.h"
#include "window/connectiondock.h"
#include "window/connectionlostdialog.h"
#include "window/controlswiring.h"
#include "window/corvanelogowidget.h"
#include "window/debugdockwidget.h"
#include "window/deviceinfodialog.h"
#include "window/errormanager.h"
#include "window/labbook.h"
#include "window/mainmenus.h"
#include "window/producerreports.h"
#include "window/recordingopener.h"
#include "window/recordingwiring.h"
#include "window/replaywiring.h"
#include "window/shortcuts.h"
#include "window/temperaturecontroller.h"
#include "window/ttldockwidget.h"
#include "window/version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QMessageBox>
#include <QShortcut>
#include <QTimer>

namespace {

const QString uiKeyPrefix = "Preferences/UI/";

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setGeometry(0, 0, 800, 600);
    setObjectName("mainWindow");
    setWindowTitle("KAV4 " + versionString());
    setCentralWidget(new CorvaneLogoWidget);
    menus = new MainMenus(this);
    connect(menus, &MainMenus::deviceInfoRequested, this, &MainWindow::onDeviceInfo);
    connectionDock = new ConnectionDock(this);
    connect(connectionDock, &ConnectionDock::connectClicked, this, &MainWindow::onConnect);
    connect(connectionDock, &ConnectionDock::devicesDetected, this, &MainWindow::onDevicesListChanged);
    addDockWidget(Qt::TopDockWidgetArea, connectionDock);
    menus->view()->addAction(connectionDock->toggleViewAction());
    auto* opener = new RecordingOpener(this);
    connect(menus, &MainMenus::openRecordingRequested, opener, &RecordingOpener::choose);
    connect(opener, &RecordingOpener::chosen, this, &MainWindow::openRecording);
    connect(menus, &MainMenus::closeRecordingRequested, this, &MainWindow::closeSession);
}

MainWindow::~MainWindow() {
    if (session) {
        tearDownConnectedInterface();
        connected = false;
        session.reset();
    }
}

void MainWindow::onDevicesListChanged(std::vector<std::string> devicesList) {
    if (!connectionDock->list(devicesList, connected)) onConnect(false);
}

void MainWindow::onConnect(bool flag) {
    if (!flag) {
        connectionDock->showConnected(false);
        if (connected) closeSession();
        return;
    }
    closeSession(); // a recording played back gives way to the device
    connected = true;
    kv4cl::ErrorCodes_t result = kv4cl::Success;
    session = DeviceSession::open(connectionDock->chosenIds(), result);
    if (!session) {
        ErrorManager(result, this);
        connected = false;
        connectionDock->showConnected(false);
        return;
    }
    connectionDock->showConnected(true);
    buildConnectedInterface();
}

void MainWindow::openRecording(const QString& path) {
    QString error;
    std::unique_ptr<DeviceSession> opened = DeviceSession::openRecording(path, error);
    if (!opened) return void(QMessageBox::warning(this, "Open recording", error));
    closeSession();
    session = std::move(opened);
    setWindowFilePath(path);
    buildConnectedInterface();
}

void MainWindow::closeSession() {
    if (!session) return;
    tearDownConnectedInterface();
    session.reset();
    if (std::exchange(connected, false)) connectionDock->detect(true);
}

void MainWindow::buildConnectedInterface() {
    // While a recording plays, the devices stay listed for a connection.
    if (!session->replay()) connectionDock->detect(false);
    disconnectedState = saveState(0);
    const DeviceSession::Features& features = session->features();
    // Layouts are kept per model, whose docks and their sizes are its own.
    layout.begin(session->replay()          ? uiKeyPrefix + "Recording/"
                 : features.model.isEmpty() ? uiKeyPrefix
                                            : uiKeyPrefix + features.model + "/");
    setStyleSheet("QSplitter::handle{image: url(:/imgs/splitter handle.png)}");

    const DeviceDataProducer::ChannelCounts& channels = features.channels;
    plotPreferences =
        new PlotPreferencesDialog(int(channels.current), int(channels.voltage), int(channels.gp), this);
    filterPreferences = new FilterPreferencesDialog(analyses(), this);
    lostDialog = std::make_unique<ConnectionLostDialog>();
    createConsumers();

    plotTab = new PlotTab(plotConsumer, *plotPreferences,
                          {.channelSwitch = features.channelSwitch,
                           .stimulusSelection = features.stimulusSelection,
                           .digitalOffsetCompensation = features.digitalOffsetCompensation,
                           .zap = features.zap});
    plotTab->setMinimumSize(400, 300);
    setCentralWidget(plotTab);

    createDocks();
    // The amplifier may still play what it was given before, such as an estimation's protocol
    // left running when the connection ended: it holds what the stimulus dock shows.
    if (StimulusService* stimulus = session->stimulus()) stimulus->hold();
    connectPipeline();
    // The rate comes from the controls, as every later change does: one time base for all.
    if (controlsDock) controlsDock->announceSamplingRate();
    session->seedRanges();
    plotConsumer->onStartConsuming();

    if (session->replay()) addReplay(*session, layout, this, plotTab, analysisDocks);
    menus->attach(session.get(), plotPreferences, filterPreferences);
    for (const QPointer<QDockWidget>& dock : layout.docks())
        menus->view()->addAction(dock->toggleViewAction());
    QTimer::singleShot(10, this, &MainWindow::restoreGeometries);

    shortcuts = makeShortcuts(this, plotTab, protocolDock);
    session->start();
}

void MainWindow::createConsumers() {
    // It records once the protocol dock gives it its plan and asks for a recording.
    if (!session->replay()) recordingService = new RecordingService(*session);

    plotConsumer = new GapFreePlotConsumer(session->producer());
    session->add(plotConsumer, DeviceDataConsumer::plotFilterKey);
}

void MainWindow::createDocks() {
    const DeviceSession::Features& features = session->features();
    StimulusService* stimulus = session->stimulus();
    if (stimulus) {
        protocolDock = new ProtocolDockWidget(*stimulus, this);
        layout.add(protocolDock, Qt::RightDockWidgetArea, true);
    }
    VoltageOffsetDockWidget* offsetDock = nullptr;
    if (protocolDock && features.voltageOffsets) {
        offsetDock = new VoltageOffsetDockWidget(*stimulus, this);
        layout.add(offsetDock, Qt::RightDockWidgetArea);
        tabifyDockWidget(protocolDock, offsetDock);
        protocolDock->raise();
    }
    if (features.cFast) {
        compensationsDock = new CompensationsDockWidget(this);
        layout.add(compensationsDock, Qt::LeftDockWidgetArea);
    }
    if (features.washer) {
        layout.add(new FirWasherControl(this), Qt::LeftDockWidgetArea);
        // For servicing: hidden, shown from its entry in the View menu.
        auto* washerDebugDock = new FirWasherControlDebug(this);
        layout.add(washerDebugDock, Qt::RightDockWidgetArea);
        washerDebugDock->setFloating(true);
        washerDebugDock->hide();
    }
    if (!session->replay()) {
        controlsDock = new ControlsDockWidget(this);
        layout.add(controlsDock, Qt::LeftDockWidgetArea);
    }
    labbook = new Labbook(this);
    layout.add(labbook, Qt::LeftDockWidgetArea);
    analysisDocks = new AnalysisDocks(session->producer(), analyses(), this, menus->analysis());
    for (const auto& [consumer, filterKey] : analysisDocks->consumers())
        session->add(consumer, filterKey);
    for (QDockWidget* dock : analysisDocks->docks())
        layout.keep(dock);
    analysisDocks->dock<MembraneMonitorWidget>()->watch(plotTab);
    analysisDocks->dock<VoltageAutomaticControllerWidget>()->setStimulus(stimulus);
    auto* rc = analysisDocks->dock<RCEstimationWidget>();
    rc->setStimulus(stimulus);
    if (compensationsDock)
        connect(rc, &RCEstimationWidget::compensateCFast, compensationsDock,
                &CompensationsDockWidget::onCompensateCFast);
    if (session->replay()) return; // what follows acts on a device
    allChannelsDock = new AllChannelsControlsDockWidget(this);
    layout.add(allChannelsDock, Qt::TopDockWidgetArea, true);
    if (features.temperatureController)
        temperature = std::make_unique<TemperatureController>(layout, labbook);
    acquisitionInfoDock = new AcquisitionInfoDockWidget(this);
    layout.add(acquisitionInfoDock, Qt::TopDockWidgetArea, true);
    if (features.ttlOutput) layout.addFloating(new TtlDockWidget(this));
    if (DebugDockWidget::markerPresent()) layout.addFloating(new DebugDockWidget(this));
}

void MainWindow::connectPipeline() {
    connect(analysisDocks, &AnalysisDocks::labbookEvent, labbook, &Labbook::onReceiveEvent);
    connect(filterPreferences, &FilterPreferencesDialog::setFilteredData, session.get(),
            &DeviceSession::setFilteredData);
    filterPreferences->onLoadSettings();
    connectChannelActions(*session, plotTab, allChannelsDock, plotPreferences);
    if (session->replay()) return;
    connectControls(controlsDock, *session,
                    {.info = acquisitionInfoDock, .analyses = analysisDocks, .protocol = protocolDock});
    connectRecording(recordingService, {.plotTab = plotTab,
                                        .controls = controlsDock,
                                        .info = acquisitionInfoDock,
                                        .analyses = analysisDocks,
                                        .labbook = labbook,
                                        .protocol = protocolDock,
                                        .compensations = compensationsDock});
    connectProducerReports(session->producer(), acquisitionInfoDock, lostDialog.get(), labbook);
    connect(
        lostDialog.get(), &ConnectionLostDialog::disconnectDevice, this, [this] { onConnect(false); },
        Qt::QueuedConnection);
    connect(lostDialog.get(), &ConnectionLostDialog::resetDevice, session.get(), &DeviceSession::resetDevice,
            Qt::QueuedConnection);
}

void MainWindow::tearDownConnectedInterface() {
    // Closed before its layout was put back, the window would keep one that is not the user's.
    if (layoutInPlace) layout.save();
    layoutInPlace = false;
    delete plotPreferences;
    plotPreferences = nullptr;
    delete filterPreferences;
    filterPreferences = nullptr;
    menus->detach();
    session->stop();
    plotConsumer = nullptr;
    lostDialog.reset();
    temperature.reset();
    layout.clear();
    delete analysisDocks;
    analysisDocks = nullptr;
    acquisitionInfoDock = nullptr;
    controlsDock = nullptr;
    allChannelsDock = nullptr;
    labbook = nullptr;
    protocolDock = nullptr;
    compensationsDock = nullptr;
    // No event reaches the plot tab between its consumer's deletion and its own.
    delete takeCentralWidget();
    plotTab = nullptr;

    for (QShortcut* shortcut : shortcuts)
        delete shortcut;
    shortcuts.clear();

    // Shown before the layout is put back: a central widget still hidden leaves all the room to
    // the docks, and the layout would keep that.
    auto* logo = new CorvaneLogoWidget;
    setCentralWidget(logo);
    logo->show();
    // The dock areas keep the sizes the connected layout gave them, a restored one above all.
    restoreState(disconnectedState, 0);
}

void MainWindow::restoreGeometries() {
    if (!session || layoutInPlace) return; // closed again before, or put back already
    if (layout.restore()) {
        if (temperature) temperature->showIfSeen();
    } else if (allChannelsDock) {
        // The Connection dock had the top row to itself and would keep most of it.
        layout.fitRow({connectionDock, allChannelsDock});
        // The temperature controller's dock shows once its controller answers, after this: it
        // takes its own width then, not a share of its neighbours'.
        if (QDockWidget* dock = temperature ? temperature->dock() : nullptr)
            connect(
                dock, &QDockWidget::visibilityChanged, this,
                [this, dock](bool visible) {
                    if (visible) layout.fitRow({connectionDock, allChannelsDock, dock});
                },
                Qt::SingleShotConnection);
    } else { // a recording: the Connection dock alone in the top row, as high as its controls
        resizeDocks({connectionDock}, {connectionDock->sizeHint().height()}, Qt::Vertical);
    }
    layoutInPlace = true;
    emit layoutRestored();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (recordingService && recordingService->isRecording()) {
        if (QMessageBox::question(this, "KAV4", "A recording is in progress. Stop it and quit?",
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        recordingService->stop();
    }
    QMainWindow::closeEvent(event);
}

bool MainWindow::focusNextPrevChild(bool next) {
    const QWidget* start = QApplication::focusWidget();
    // The chain of focus is a ring: at worst the focus comes back where it started, or to the
    // first widget it reached.
    for (;;) {
        if (!QMainWindow::focusNextPrevChild(next)) return false;
        QWidget* now = QApplication::focusWidget();
        if (!now || now == start) return true;
        if (!start) start = now;
        QDockWidget* dock = nullptr;
        for (QWidget* w = now; w && !dock; w = w->parentWidget())
            dock = qobject_cast<QDockWidget*>(w);
        // A dock behind another's tab is kept out of sight, yet counts as shown.
        if (dock && dock->visibleRegion().isEmpty() && !tabifiedDockWidgets(dock).isEmpty()) {
            dock->raise();
            return true;
        }
        if (!now->visibleRegion().isEmpty()) return true;
    }
}

void MainWindow::onDeviceInfo() {
    DeviceInfoDialog(connected, connectionDock->listedIds(), this).exec();
}
