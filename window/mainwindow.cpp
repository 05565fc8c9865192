#include "window/mainwindow.h"

#include "accessories/firwashercontrol.h"
#include "accessories/firwashercontroldebug.h"
#include "accessories/velmorantemperaturecontrollogic.h"
#include "acquisition/devicedataconsumer.h"
#include "acquisition/devicedataproducer.h"
#include "analysis/framework/analysisdocks.h"
#include "analysis/rcestimation/rcestimationwidget.h"
#include "commlib/api/kv4cl.h"
#include "controls/allchannelscontrolsdockwidget.h"
#include "controls/compensationsdockwidget.h"
#include "controls/controlsdockwidget.h"
#include "controls/filterpreferencesdialog.h"
#include "controls/offsetcompensationwatch.h"
#include "controls/protocoldockwidget.h"
#include "session/stimulusservice.h"
#include "controls/recordsettingsdialog.h"
#include "controls/voltageoffsetdockwidget.h"
#include "plots/gapfreeplotconsumer.h"
#include "plots/plotpreferencesdialog.h"
#include "plots/plottab.h"
#include "recording/abfdatawriterconsumer.h"
#include "recording/datdatawriterconsumer.h"
#include "recording/labbook.h"
#include "widgets/dockscrollarea.h"
#include "window/aboutdialog.h"
#include "window/acquisitioninfodockwidget.h"
#include "window/connectionlostdialog.h"
#include "window/corvanelogowidget.h"
#include "window/debugdockwidget.h"
#include "window/devicedetector.h"
#include "window/deviceinfodialog.h"
#include "window/errormanager.h"
#include "window/supportdialog.h"
#include "window/ttldockwidget.h"
#include "window/version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDockWidget>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace {

const QString allDevicesEntry = "All";
const QString uiKeyPrefix = "Preferences/UI/";
const QString denoiserKey = "Preferences/frontEndResetDenoiser";
const QString offsetCompensationAutostopKey = "Preferences/digitalOffsetCompensationAutostop";

const char* resetUsageText = "The reset feature should be used if the device seems unresponsive.\nBefore "
                             "using the FW reset feature please "
                             "check that you are actually not\nreceiving data from the device.\nIn order to "
                             "do so please check that:\n- the "
                             "scope trigger is not active; it can be disabled by clicking the Remove\n  "
                             "triggers button in the lower left "
                             "corner of the plots window;\n- you are using a proper zoom to visualize the "
                             "traces; in order to completely "
                             "reset\n  the zoom and center it around the traces double right click on any "
                             "plot and click\n  the Full trace "
                             "zoom in the higher left corner of any plot window.";

const char* denoiserNoteText =
    "This feature aims at erasing the noise due to the reset of the capacitive front end.\n\nCapacitive "
    "front "
    "ends, such as the ones used in almost all of Corvane devices, need to be\nresetted periodically to "
    "discharge "
    "the capacitors in the front end. This discharge can affect\nthe acquired currents, giving rise to a "
    "periodic "
    "noise around 10kHz or 40kHz, depending on the\ncurrent range.\n\nThis new feature learns this noise and "
    "removes it digitally from the acquired signals in real time.\nThe algorithm is not trained to learn "
    "specifically the front end reset waveform, so it will eventually\nerase any signal component at the "
    "very "
    "same frequency.\nNotice however, that it does not act as a filter, it doesn't simply drill some holes "
    "at "
    "specific frequencies:\nfor a signal to be learnt and removed from the algorithm it has to be an almost "
    "perfectly periodic waveform,\nexactly at the reset frequency, not even a few Hz off, otherwise it will "
    "remain "
    "untouched.\n\nThe current version of the algorithm has a known issue that appears when a command is "
    "issued "
    "to the device\nwhen sampling at high sampling rates, causing a bit of sample loss: in these cases the "
    "learned "
    "noise gets\ndesynchronized and so the noise is added back for a short while (0.5-1s), until the "
    "algorithm "
    "re-learns\nthe noise waveform and removes it again.\nIn order to avoid this inconvenient it is "
    "suggested to "
    "configure the current range, sampling rate, voltage\nprotocol and so on beforehand, so that when you "
    "are "
    "recording you don't need to issue any command.";

// Layouts are kept per model, whose docks and their sizes are its own.
QString modelLayoutKeyPrefix() {
    std::vector<std::string> ids;
    std::vector<uint8_t> versions, subversions;
    std::vector<uint32_t> firmwares;
    if (kv4cl::getConnectedDevicesInfo(ids, versions, subversions, firmwares) != kv4cl::Success ||
        versions.empty() || subversions.empty() || firmwares.empty())
        return uiKeyPrefix;
    return uiKeyPrefix + QString("%1.%2.%3/").arg(versions[0]).arg(subversions[0]).arg(firmwares[0]);
}

// A floating dock that has no place of its own yet opens inside the window's right part, level
// with the top of the plots: clear of the menus and the top docks, rather than at the screen's
// corner over them.
void placeFloating(const QMainWindow& window, QDockWidget* dock) {
    const int margin = 8;
    // Never shown, it takes its size hint when it shows.
    const QSize size = dock->isVisible() ? dock->frameGeometry().size() : dock->sizeHint();
    const QRect area(window.mapToGlobal(QPoint(0, window.centralWidget()->geometry().top())),
                     window.mapToGlobal(QPoint(window.width() - 1, window.height() - 1)));
    const int x = std::max(area.left(), area.right() - margin - size.width());
    const int y = std::max(area.top(), std::min(area.top() + margin, area.bottom() - size.height()));
    dock->move(x, y);
}

// The dock shrinks below its content's height, which scrolls, so that a small screen still
// reaches every control in it.
void makeScrollable(QDockWidget* dock) {
    dock->setWidget(new DockScrollArea(dock->widget()));
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setGeometry(0, 0, 800, 600);
    setObjectName("mainWindow");
    setWindowTitle("KAV4 " + versionString());
    setCentralWidget(new CorvaneLogoWidget);
    createMenus();
    createConnectionDock();
    startDetector();
}

MainWindow::~MainWindow() {
    detectorThread.reset();
    if (connected) {
        tearDownConnectedInterface();
        connected = false;
        kv4cl::disconnect();
    }
}

void MainWindow::createMenus() {
    // Each menu opens with Alt and its underlined letter.
    viewMenu = menuBar()->addMenu("&View");

    analysisMenu = menuBar()->addMenu("&Analysis");
    for (const char* title : {"Histogram", "Event detection", "Spectrum", "I/V Graph"})
        analysisMenu->addMenu(title);

    advancedMenu = menuBar()->addMenu("A&dvanced");
    resetMenu = advancedMenu->addMenu("Reset");
    resetMenu->setEnabled(false);
    connect(resetMenu->addAction("Apply"), &QAction::triggered, this, &MainWindow::onResetFpga);
    connect(resetMenu->addAction("Help"), &QAction::triggered, this,
            [this] { QMessageBox::information(this, "Reset usage", resetUsageText); });
    // Enabled while a model with digital offset compensation is connected.
    offsetCompensationAction = advancedMenu->addAction("Digital offset compensation");
    offsetCompensationAction->setEnabled(false);
    connect(offsetCompensationAction, &QAction::triggered, this, &MainWindow::onResetCompensations);
    denoiserMenu = advancedMenu->addMenu("Front end reset denoiser (BETA)");
    denoiserMenu->setEnabled(false);
    denoiserEnableAction = denoiserMenu->addAction("Enable");
    denoiserEnableAction->setCheckable(true);
    connect(denoiserEnableAction, &QAction::toggled, this, &MainWindow::onFrontEndResetDenoiserEnabled);
    connect(denoiserMenu->addAction("Important Note"), &QAction::triggered, this, [this] {
        QMessageBox::information(this, "Front end reset denoiser: BETA version important note",
                                 denoiserNoteText);
    });
    offsetCompensationAutostopAction = advancedMenu->addAction("Digital offset compensation autostop");
    offsetCompensationAutostopAction->setCheckable(true);
    offsetCompensationAutostopAction->setEnabled(false);
    connect(offsetCompensationAutostopAction, &QAction::toggled, this,
            &MainWindow::onDigitalOffsetCompensationAutostop);
    synchronizeAction = advancedMenu->addAction("Synchronize devices");
    synchronizeAction->setEnabled(false);
    connect(synchronizeAction, &QAction::triggered, this, &MainWindow::onSynchronizeParallelDevices);

    QMenu* preferencesMenu = menuBar()->addMenu("&Preferences");
    plotPreferencesAction = preferencesMenu->addAction("Plot");
    plotPreferencesAction->setEnabled(false);
    connect(plotPreferencesAction, &QAction::triggered, this, &MainWindow::onPlotPreferences);
    filterPreferencesAction = preferencesMenu->addAction("Digital filters");
    filterPreferencesAction->setEnabled(false);
    connect(filterPreferencesAction, &QAction::triggered, this, &MainWindow::onFilterPreferences);

    QMenu* helpMenu = menuBar()->addMenu("&?");
    connect(helpMenu->addAction("About"), &QAction::triggered, this, &MainWindow::onAbout);
    connect(helpMenu->addAction("Device info"), &QAction::triggered, this, &MainWindow::onDeviceInfo);
    connect(helpMenu->addAction("Support"), &QAction::triggered, this, &MainWindow::onSupport);
    // F10 opens the first menu, from where the arrows reach the others.
    connect(new QShortcut(Qt::Key_F10, this), &QShortcut::activated, this,
            [this] { menuBar()->setActiveAction(menuBar()->actions().first()); });
}

void MainWindow::createConnectionDock() {
    connectionDock = new QDockWidget("Connection", this);
    connectionDock->setObjectName("deviceDetectorDw");
    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(3);
    deviceComboBox = new QComboBox;
    deviceComboBox->setObjectName("deviceComboBox");
    deviceComboBox->setEnabled(false);
    deviceComboBox->setFixedWidth(deviceComboBox->fontMetrics().horizontalAdvance("device device device"));
    layout->addWidget(deviceComboBox);
    connectButton = new QPushButton("Connect");
    connectButton->setObjectName("connectButton");
    connectButton->setEnabled(false);
    connectButton->setCheckable(true);
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::onConnect);
    layout->addWidget(connectButton);
    layout->addStretch();
    connectionDock->setWidget(widget);
    addDockWidget(Qt::TopDockWidgetArea, connectionDock);
    viewMenu->addAction(connectionDock->toggleViewAction());
}

void MainWindow::startDetector() {
    detectorThread = std::make_unique<DetectorThread>();
    connect(detectorThread->detector(), &DeviceDetector::devicesListChanged, this,
            [this, detector = detectorThread->detector()](const std::vector<std::string>& list) {
                detector->takeHandOver();
                onDevicesListChanged(list);
            });
    connectDetector();
    detectorThread->start();
    emit startDetecting();
}

void MainWindow::connectDetector() {
    if (!detectorThread) return;
    DeviceDetector* detector = detectorThread->detector();
    // By name: a connection to member pointers keeps a slot object that this thread makes and
    // the detector's thread calls, handed over inside Qt where ThreadSanitizer cannot see it.
    connect(this, SIGNAL(startDetecting()), detector, SLOT(onStartDetecting()));
    connect(this, SIGNAL(stopDetecting()), detector, SLOT(onStopDetecting()));
}

QStringList MainWindow::listedDeviceIds() const {
    QStringList ids;
    for (int i = 0; i < deviceComboBox->count(); i++)
        if (deviceComboBox->itemText(i) != allDevicesEntry) ids << deviceComboBox->itemText(i);
    return ids;
}

void MainWindow::onDevicesListChanged(std::vector<std::string> devicesList) {
    if (devicesList.empty()) {
        if (connected) return;
        deviceComboBox->clear();
        deviceComboBox->setEnabled(false);
        connectButton->setEnabled(false);
        return;
    }
    if (!connected) {
        deviceComboBox->clear();
        for (const std::string& id : devicesList)
            deviceComboBox->addItem(QString::fromStdString(id));
        if (devicesList.size() > 1) deviceComboBox->addItem(allDevicesEntry);
        deviceComboBox->setEnabled(true);
        connectButton->setEnabled(true);
        return;
    }
    const QString selected = deviceComboBox->currentText();
    deviceComboBox->clear();
    for (const std::string& id : devicesList)
        deviceComboBox->addItem(QString::fromStdString(id));
    // A set connected with "All" stays selected as long as several devices are listed.
    if (devicesList.size() > 1) deviceComboBox->addItem(allDevicesEntry);
    const int index = deviceComboBox->findText(selected);
    if (index >= 0) {
        deviceComboBox->setCurrentIndex(index);
    } else {
        onConnect(false);
        connectButton->setChecked(false);
    }
}

void MainWindow::onConnect(bool flag) {
    if (!flag) {
        connectButton->setText("Connect");
        connectButton->setChecked(false);
        if (connected) {
            tearDownConnectedInterface();
            deviceComboBox->setEnabled(true);
            connected = false;
            kv4cl::disconnect();
        }
        return;
    }

    connected = true;
    std::vector<std::string> ids;
    if (deviceComboBox->currentText() == allDevicesEntry) {
        for (const QString& id : listedDeviceIds())
            ids.push_back(id.toStdString());
    } else {
        ids.push_back(deviceComboBox->currentText().toStdString());
    }
    const kv4cl::ErrorCodes_t result = kv4cl::connect(ids);
    if (result != kv4cl::Success) {
        ErrorManager(result, this);
        connected = false;
        connectButton->setChecked(false);
        return;
    }
    connectButton->setText("Disconnect");
    deviceComboBox->setEnabled(false);
    buildConnectedInterface();
    connectButton->setChecked(true);
}

void MainWindow::buildConnectedInterface() {
    emit stopDetecting();
    disconnectedState = saveState(0);
    layoutKeyPrefix = modelLayoutKeyPrefix();
    setStyleSheet("QSplitter::handle{image: url(:/imgs/splitter handle.png)}");
    kv4cl::getChannelCounts(voltageChannelsNum, currentChannelsNum, gpChannelsNum);
    consumers.clear();
    plotConsumers.clear();
    writerConsumers.clear();
    analysisConsumers.clear();
    consumerTypes.clear();
    docks.clear();
    savedWidgets.clear();

    plotPreferences =
        new PlotPreferencesDialog(int(currentChannelsNum), int(voltageChannelsNum), int(gpChannelsNum), this);
    filterPreferences = new FilterPreferencesDialog(this);
    dataProducer = std::make_unique<DeviceDataProducer>(sampleSource);
    lostDialog = std::make_unique<ConnectionLostDialog>();
    createConsumers();

    bool bankA = false, bankB = false, offsetCompensation = false, zap = false;
    kv4cl::hasChannelSwitches(bankA, bankB);
    kv4cl::hasDigitalOffsetCompensation(offsetCompensation);
    kv4cl::hasZap(zap);
    plotTab = new PlotTab(plotConsumer, *plotPreferences,
                          {.channelSwitch = bankA,
                           .stimulusSelection = bankB,
                           .digitalOffsetCompensation = offsetCompensation,
                           .zap = zap});
    plotTab->setMinimumSize(400, 300);
    setCentralWidget(plotTab);
    if (offsetCompensation)
        offsetCompensationWatch = new OffsetCompensationWatch(int(currentChannelsNum), this);

    createDocks();
    // The amplifier may still play what it was given before, such as an estimation's protocol
    // left running when the connection ended: it holds what the stimulus dock shows.
    if (stimulus) stimulus->hold();
    connectPipeline();
    seedConsumers();
    plotConsumer->onStartConsuming();

    plotPreferencesAction->setEnabled(true);
    filterPreferencesAction->setEnabled(true);
    resetMenu->setEnabled(true);
    bool denoiser = false;
    if (kv4cl::hasResetDenoiser(denoiser) == kv4cl::Success && denoiser) {
        denoiserMenu->setEnabled(true);
        const bool enabled = QSettings().value(denoiserKey, false).toBool();
        const QSignalBlocker blocker(denoiserEnableAction);
        denoiserEnableAction->setChecked(enabled);
        kv4cl::setDenoiserEnabled(enabled);
    }
    offsetCompensationAction->setEnabled(offsetCompensation);
    if (bool autostop = false;
        kv4cl::hasDigitalOffsetCompensationAutostop(autostop) == kv4cl::Success && autostop) {
        offsetCompensationAutostopAction->setEnabled(true);
        const bool enabled = QSettings().value(offsetCompensationAutostopKey, false).toBool();
        const QSignalBlocker blocker(offsetCompensationAutostopAction);
        offsetCompensationAutostopAction->setChecked(enabled);
        kv4cl::setDigitalOffsetCompensationAutostop(enabled);
    }
    synchronizeAction->setEnabled(deviceComboBox->currentText() == allDevicesEntry);

    for (const QPointer<QDockWidget>& dock : docks)
        viewMenu->addAction(dock->toggleViewAction());
    QTimer::singleShot(10, this, &MainWindow::restoreGeometries);

    createShortcuts();
    dataProducer->start();
}

void MainWindow::createConsumers() {
    // The writers record once the protocol dock gives them its record settings and starts them.
    auto* datWriter = new DatDataWriterConsumer(dataProducer.get());
    consumers.push_back(datWriter);
    writerConsumers.push_back(datWriter);
    consumerTypes.emplace_back(datWriter, DeviceDataConsumer::TypeDatWriter);
    auto* abfWriter = new AbfDataWriterConsumer(dataProducer.get());
    consumers.push_back(abfWriter);
    writerConsumers.push_back(abfWriter);
    consumerTypes.emplace_back(abfWriter, DeviceDataConsumer::TypeAbfWriter);

    plotConsumer = new GapFreePlotConsumer(dataProducer.get());
    consumers.push_back(plotConsumer);
    plotConsumers.push_back(plotConsumer);
    consumerTypes.emplace_back(plotConsumer, GapFreePlotConsumer::type);
}

void MainWindow::createDocks() {
    std::vector<std::string> protocols, images;
    std::vector<std::vector<uint16_t>> v, t, sl, f, a;
    if (kv4cl::getProtocolList(protocols, images, v, t, sl, f, a) == kv4cl::Success && !protocols.empty()) {
        stimulus = std::make_unique<StimulusService>();
        protocolDock = new ProtocolDockWidget(*stimulus, this);
        makeScrollable(protocolDock);
        addDockWidget(Qt::RightDockWidgetArea, protocolDock);
        docks.push_back(protocolDock);
    }
    kv4cl::RangedMeasurement_t offsetRange, rampDurationRange;
    VoltageOffsetDockWidget* offsetDock = nullptr;
    if (protocolDock && kv4cl::getVoltageOffsetControls(offsetRange, rampDurationRange) == kv4cl::Success) {
        offsetDock = new VoltageOffsetDockWidget(*stimulus, this);
        addDockWidget(Qt::RightDockWidgetArea, offsetDock);
        tabifyDockWidget(protocolDock, offsetDock);
        protocolDock->raise();
        docks.push_back(offsetDock);
    }
    kv4cl::CompensationControl_t cFast;
    if (kv4cl::getCFastControl(cFast) == kv4cl::Success) {
        compensationsDock = new CompensationsDockWidget(this);
        addDockWidget(Qt::LeftDockWidgetArea, compensationsDock);
        docks.push_back(compensationsDock);
    }
    if (kv4cl::RangedMeasurement_t speeds; kv4cl::getWasherSpeedRange(speeds) == kv4cl::Success) {
        auto* washerDock = new FirWasherControl(this);
        addDockWidget(Qt::LeftDockWidgetArea, washerDock);
        docks.push_back(washerDock);
        // For servicing: hidden, shown from its entry in the View menu.
        auto* washerDebugDock = new FirWasherControlDebug(this);
        addDockWidget(Qt::RightDockWidgetArea, washerDebugDock);
        washerDebugDock->setFloating(true);
        washerDebugDock->hide();
        docks.push_back(washerDebugDock);
    }
    controlsDock = new ControlsDockWidget(this);
    addDockWidget(Qt::LeftDockWidgetArea, controlsDock);
    docks.push_back(controlsDock);
    labbook = new Labbook(this);
    addDockWidget(Qt::LeftDockWidgetArea, labbook);
    docks.push_back(labbook);
    analysisDocks = new AnalysisDocks(dataProducer.get(), this, analysisMenu);
    for (const auto& [consumer, type] : analysisDocks->consumers()) {
        consumers.push_back(consumer);
        analysisConsumers.push_back(consumer);
        consumerTypes.emplace_back(consumer, type);
    }
    for (QDockWidget* dock : analysisDocks->docks())
        savedWidgets.emplace_back(dock);
    analysisDocks->attach(plotTab, stimulus.get());
    if (RCEstimationWidget* rc = analysisDocks->rcEstimation(); rc && compensationsDock)
        connect(rc, &RCEstimationWidget::compensateCFast, compensationsDock,
                &CompensationsDockWidget::onCompensateCFast);
    allChannelsDock = new AllChannelsControlsDockWidget(this);
    makeScrollable(allChannelsDock);
    addDockWidget(Qt::TopDockWidgetArea, allChannelsDock);
    docks.push_back(allChannelsDock);
    if (bool option = false; kv4cl::hasTemperatureControllerOption(option) == kv4cl::Success && option)
        createTemperatureController();
    acquisitionInfoDock = new AcquisitionInfoDockWidget(this);
    makeScrollable(acquisitionInfoDock);
    addDockWidget(Qt::TopDockWidgetArea, acquisitionInfoDock);
    docks.push_back(acquisitionInfoDock);
    if (bool ttl = false; kv4cl::hasTtlOutput(ttl) == kv4cl::Success && ttl) {
        auto* ttlDock = new TtlDockWidget(this);
        addDockWidget(Qt::RightDockWidgetArea, ttlDock);
        docks.push_back(ttlDock);
        floatingOnStart.push_back(ttlDock);
    }
    if (DebugDockWidget::markerPresent()) {
        auto* debugDock = new DebugDockWidget(this);
        addDockWidget(Qt::RightDockWidgetArea, debugDock);
        docks.push_back(debugDock);
        floatingOnStart.push_back(debugDock);
    }
    for (const QPointer<QDockWidget>& dock : floatingOnStart)
        dock->hide();
}

void MainWindow::createTemperatureController() {
    temperatureDock = new VelmoranTemperatureControlWidget(this);
    addDockWidget(Qt::TopDockWidgetArea, temperatureDock);
    docks.push_back(temperatureDock);
    temperatureLogic = new VelmoranTemperatureControlLogic(temperatureDock);
    connect(this, &MainWindow::startDetectingTemperatureController, temperatureLogic,
            &VelmoranTemperatureControlLogic::onStartDetecting);
    // Returns once the controller is stopped, its port closed and the logic's thread ended.
    connect(this, &MainWindow::disconnectTemperatureController, temperatureLogic,
            &VelmoranTemperatureControlLogic::onDisconnect);
    // Notes in the lab book carry the chamber temperature while the controller answers. What
    // comes from the logic's thread is read after its hand-over.
    connect(temperatureLogic, &VelmoranTemperatureControlLogic::temperatureRead, labbook,
            [this](const double& celsius) {
                VelmoranTemperatureControlLogic::takeHandOver();
                labbook->setTemperature(celsius);
            });
    connect(temperatureLogic, &VelmoranTemperatureControlLogic::setWidgetVisibility, labbook,
            [this](const VelmoranTemperatureControlWidget::Visibility_t& state) {
                VelmoranTemperatureControlLogic::takeHandOver();
                if (state != VelmoranTemperatureControlWidget::Connected)
                    labbook->setTemperature(std::nullopt);
            });
    emit startDetectingTemperatureController();
}

void MainWindow::connectPipeline() {
    // Range and rate changes reach every consumer, each applying them in its own thread.
    for (DeviceDataConsumer* consumer : consumers) {
        connect(controlsDock, &ControlsDockWidget::voltageRangeChanged, consumer,
                &DeviceDataConsumer::onVoltageRangeChanged);
        connect(controlsDock, &ControlsDockWidget::currentRangeChanged, consumer,
                &DeviceDataConsumer::onCurrentRangeChanged);
        connect(controlsDock, &ControlsDockWidget::gpRangeChanged, consumer,
                &DeviceDataConsumer::onGpRangeChanged);
        connect(controlsDock, &ControlsDockWidget::samplingRateChanged, consumer,
                &DeviceDataConsumer::onSamplingRateChanged);
    }
    connect(controlsDock, &ControlsDockWidget::samplingRateChanged, acquisitionInfoDock,
            &AcquisitionInfoDockWidget::onSamplingRateChanged);
    connect(controlsDock, &ControlsDockWidget::voltageRangeChanged, analysisDocks,
            &AnalysisDocks::onVoltageRangeChanged);
    connect(controlsDock, &ControlsDockWidget::currentRangeChanged, analysisDocks,
            &AnalysisDocks::onCurrentRangeChanged);
    connect(controlsDock, &ControlsDockWidget::gpRangeChanged, analysisDocks,
            &AnalysisDocks::onGpRangeChanged);
    connect(analysisDocks, &AnalysisDocks::labbookEvent, labbook, &Labbook::onReceiveEvent);
    connect(controlsDock, &ControlsDockWidget::currentRangeAuto, dataProducer.get(),
            &DeviceDataProducer::onEnableCurrentRangeChange);
    // Switched-off channels are left out of the next recording; ranges stay put while one runs.
    for (DeviceDataConsumer* consumer : writerConsumers) {
        auto* writer = static_cast<DataWriterConsumer*>(consumer);
        connect(plotTab, &PlotTab::switchChannelOn, writer, [this, writer](int channelIdx, bool on) {
            // Only current channels have a switch; "every channel" leaves the gp channels on.
            const int all = int(currentChannelsNum + gpChannelsNum);
            for (int ch = 0; ch < int(currentChannelsNum); ch++)
                if (channelIdx == all || ch == channelIdx) writer->setChannelActive(ch, on);
        });
        connect(writer, &DataWriterConsumer::recording, controlsDock, &ControlsDockWidget::onRecording);
        connect(writer, &DataWriterConsumer::recording, acquisitionInfoDock,
                &AcquisitionInfoDockWidget::onRecording);
        // The compensation tag goes to the writer that starts recording, and to no other.
        if (compensationsDock)
            connect(writer, &DataWriterConsumer::recording, compensationsDock,
                    [dock = compensationsDock, writer](bool on) {
                        const auto mark = connect(dock, &CompensationsDockWidget::markTagTime, writer,
                                                  &DataWriterConsumer::onMarkTagTime);
                        const auto save = connect(dock, &CompensationsDockWidget::saveTagString, writer,
                                                  &DataWriterConsumer::onSaveTagString);
                        dock->onRecording(on);
                        disconnect(mark);
                        disconnect(save);
                    });
        connect(writer, &DataWriterConsumer::newRecordFile, analysisDocks, &AnalysisDocks::onNewRecordFile);
        connect(writer, &DataWriterConsumer::recording, analysisDocks, &AnalysisDocks::onRecording);
        connect(writer, &DataWriterConsumer::lossInFile, labbook,
                [this](quint64 samples, double rate, const QString& file, quint64 frame) {
                    labbook->onReceiveEvent(new LabbookEventSamplesLost(samples, rate, file, frame));
                });
        if (!protocolDock) continue;
        writer->setRecordingPlan(&protocolDock->recordSettingsDialog()->plan());
        connect(protocolDock, &ProtocolDockWidget::recordRequest, writer,
                [writer](bool start) { start ? writer->onStartConsuming() : writer->onStopConsuming(); });
        connect(writer, &DataWriterConsumer::newRecordFile, protocolDock,
                &ProtocolDockWidget::onNewRecordFile);
        connect(writer, &DataWriterConsumer::recording, protocolDock, &ProtocolDockWidget::onRecording);
        // The recording's own lab book goes in its folder, named after the recording.
        connect(writer, &DataWriterConsumer::recording, labbook, [this](bool on) {
            const RecordSettingsDialog* dialog = protocolDock->recordSettingsDialog();
            on ? labbook->onRecordingStarted(dialog->getRecordFolder() + dialog->getRecordName())
               : labbook->onRecordingStopped();
        });
    }
    if (protocolDock) {
        connect(controlsDock, &ControlsDockWidget::voltageRangeChanged, stimulus.get(),
                &StimulusService::onStimulusRangeChanged);
        connect(controlsDock, &ControlsDockWidget::samplingRateChanged, protocolDock->recordSettingsDialog(),
                &RecordSettingsDialog::onSamplingRateChanged);
    }
    connect(filterPreferences, &FilterPreferencesDialog::setFilteredData, this,
            [this](DeviceDataConsumer::Types_t type, bool filtered) {
                for (const auto& [consumer, consumerType] : consumerTypes)
                    if (consumerType == type) consumer->onSetFilteredData(filtered);
            });
    filterPreferences->onLoadSettings();

    connect(plotPreferences, &PlotPreferencesDialog::currentColorChanged, plotTab,
            qOverload<int, QColor>(&PlotTab::onCurrentColorChanged));
    connect(plotPreferences, &PlotPreferencesDialog::voltageColorChanged, plotTab,
            qOverload<int, QColor>(&PlotTab::onVoltageColorChanged));
    connect(plotPreferences, &PlotPreferencesDialog::gpColorChanged, plotTab,
            qOverload<int, QColor>(&PlotTab::onGpColorChanged));
    connect(plotPreferences, &PlotPreferencesDialog::plotColorsChanged, plotTab,
            qOverload<QColor>(&PlotTab::onPlotColorsChanged));

    const int allChannels = int(currentChannelsNum + gpChannelsNum);
    connect(allChannelsDock, &AllChannelsControlsDockWidget::baselineTracking, plotTab,
            [this, allChannels](bool on) { plotTab->onBaselineTracking(allChannels, on); });
    connect(allChannelsDock, &AllChannelsControlsDockWidget::switchChannelsOn, plotTab,
            [this, allChannels](bool on) { plotTab->onSwitchChannelOn(allChannels, on); });
    connect(allChannelsDock, &AllChannelsControlsDockWidget::hideSwitchedOffChannels, plotTab,
            &PlotTab::onHideOffedChannels);
    connect(allChannelsDock, &AllChannelsControlsDockWidget::selectStimulusChannel, this,
            [this](bool on) { kv4cl::setChannelSwitchB(uint16_t(currentChannelsNum), on); });
    connect(plotTab, &PlotTab::selectStimulusChannel, this,
            [](int channelIdx, bool on) { kv4cl::setChannelSwitchB(uint16_t(channelIdx), on); });
    // The offset compensation's buttons show what the amplifier does, whoever started it.
    if (offsetCompensationWatch) {
        connect(allChannelsDock, &AllChannelsControlsDockWidget::digitalOffsetCompensation,
                offsetCompensationWatch,
                [this](bool on) { offsetCompensationWatch->order(int(currentChannelsNum), on); });
        connect(plotTab, &PlotTab::digitalOffsetCompensation, offsetCompensationWatch,
                &OffsetCompensationWatch::order);
        connect(offsetCompensationWatch, &OffsetCompensationWatch::channelCompensating, plotTab,
                &PlotTab::showDigitalOffsetCompensation);
        connect(offsetCompensationWatch, &OffsetCompensationWatch::anyCompensating, allChannelsDock,
                &AllChannelsControlsDockWidget::showDigitalOffsetCompensation);
    }
    connect(allChannelsDock, &AllChannelsControlsDockWidget::zap, this,
            [this] { kv4cl::zap(uint16_t(currentChannelsNum)); });
    connect(plotTab, &PlotTab::zap, this, [](int channelIdx) { kv4cl::zap(uint16_t(channelIdx)); });

    // The producer's reports, each to whoever acts on it.
    connect(dataProducer.get(), &DeviceDataProducer::bitRateComputed, acquisitionInfoDock,
            &AcquisitionInfoDockWidget::onBitRateComputed);
    connect(dataProducer.get(), &DeviceDataProducer::frontEndSaturation, acquisitionInfoDock,
            &AcquisitionInfoDockWidget::onSaturation);
    connect(dataProducer.get(), &DeviceDataProducer::framesLost, acquisitionInfoDock,
            &AcquisitionInfoDockWidget::onFramesLost, Qt::QueuedConnection);
    connect(acquisitionInfoDock, &AcquisitionInfoDockWidget::labbookEvent, labbook, &Labbook::onReceiveEvent);
    connect(dataProducer.get(), &DeviceDataProducer::frontEndCurrentRangeChange, this,
            &MainWindow::onFrontEndCurrentRangeChange, Qt::QueuedConnection);
    connect(dataProducer.get(), &DeviceDataProducer::connectionLost, lostDialog.get(),
            &ConnectionLostDialog::onConnectionLost, Qt::QueuedConnection);
    connect(dataProducer.get(), &DeviceDataProducer::connectionReEstablished, lostDialog.get(),
            &ConnectionLostDialog::onConnectionReEstablished, Qt::QueuedConnection);
    connect(
        lostDialog.get(), &ConnectionLostDialog::disconnectDevice, this, [this] { onConnect(false); },
        Qt::QueuedConnection);
    connect(lostDialog.get(), &ConnectionLostDialog::resetDevice, this, &MainWindow::onResetFpga,
            Qt::QueuedConnection);
    // Direct: an entry waiting in the queue would leak if the window went before its delivery.
    connect(lostDialog.get(), &ConnectionLostDialog::labbookEvent, labbook, &Labbook::onReceiveEvent,
            Qt::DirectConnection);
}

void MainWindow::seedConsumers() {
    // The rate comes from the controls, as every later change does: one time base for all.
    controlsDock->announceSamplingRate();
    kv4cl::RangedMeasurement_t voltageRange;
    const bool haveVoltageRange = kv4cl::getVoltageRange(voltageRange) == kv4cl::Success;
    std::vector<std::optional<kv4cl::RangedMeasurement_t>> currentRanges(currentChannelsNum),
        gpRanges(gpChannelsNum);
    for (uint32_t c = 0; c < currentChannelsNum; c++)
        if (kv4cl::RangedMeasurement_t range; kv4cl::getCurrentRange(range, uint16_t(c)) == kv4cl::Success)
            currentRanges[c] = range;
    for (uint32_t g = 0; g < gpChannelsNum; g++)
        if (kv4cl::RangedMeasurement_t range; kv4cl::getGpRange(range, uint16_t(g)) == kv4cl::Success)
            gpRanges[g] = range;
    for (DeviceDataConsumer* consumer : consumers) {
        if (haveVoltageRange) consumer->onVoltageRangeChanged(voltageRange);
        for (uint32_t c = 0; c < currentChannelsNum; c++)
            if (currentRanges[c]) consumer->onCurrentRangeChanged(*currentRanges[c], int(c));
        for (uint32_t g = 0; g < gpChannelsNum; g++)
            if (gpRanges[g]) consumer->onGpRangeChanged(*gpRanges[g], int(g));
    }
}

void MainWindow::createShortcuts() {
    const std::pair<QKeySequence, void (PlotTab::*)()> plotKeys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_Plus), &PlotTab::onHorzZoomIn},
        {QKeySequence(Qt::CTRL | Qt::Key_Minus), &PlotTab::onHorzZoomOut},
        {QKeySequence(Qt::Key_Plus), &PlotTab::onVertZoomInCurrentPlots},
        {QKeySequence(Qt::Key_Minus), &PlotTab::onVertZoomOutCurrentPlots},
        {QKeySequence(Qt::SHIFT | Qt::Key_Plus), &PlotTab::onVertZoomInVoltagePlots},
        {QKeySequence(Qt::SHIFT | Qt::Key_Minus), &PlotTab::onVertZoomOutVoltagePlots},
        {QKeySequence(Qt::CTRL | Qt::Key_R), &PlotTab::onZoomReset},
        {QKeySequence(Qt::Key_F), &PlotTab::onFitYAxes},
    };
    for (const auto& [keys, slot] : plotKeys) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, plotTab, slot);
        shortcuts.push_back(shortcut);
    }
    if (!protocolDock) return;
    const std::pair<QKeySequence, void (ProtocolDockWidget::*)()> protocolKeys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_Up), &ProtocolDockWidget::onIncreaseVhold},
        {QKeySequence(Qt::CTRL | Qt::Key_Down), &ProtocolDockWidget::onDecreaseVhold},
        {QKeySequence(Qt::CTRL | Qt::Key_I), &ProtocolDockWidget::onInvertVhold},
        {QKeySequence(Qt::SHIFT | Qt::Key_Escape), &ProtocolDockWidget::onStopRecording},
    };
    for (const auto& [keys, slot] : protocolKeys) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, protocolDock, slot);
        shortcuts.push_back(shortcut);
    }
    for (int n = 0; n <= 9; n++) {
        auto* start = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + n)), this);
        connect(start, &QShortcut::activated, protocolDock,
                [this, n] { protocolDock->onStartProtocolByShortCut(n); });
        auto* record = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key(Qt::Key_0 + n)), this);
        connect(record, &QShortcut::activated, protocolDock,
                [this, n] { protocolDock->onRecordProtocolByShortCut(n); });
        shortcuts.push_back(start);
        shortcuts.push_back(record);
    }
}

void MainWindow::tearDownConnectedInterface() {
    saveGeometries();

    delete plotPreferences;
    plotPreferences = nullptr;
    delete filterPreferences;
    filterPreferences = nullptr;
    plotPreferencesAction->setEnabled(false);
    filterPreferencesAction->setEnabled(false);

    if (denoiserMenu->isEnabled()) QSettings().setValue(denoiserKey, denoiserEnableAction->isChecked());
    denoiserMenu->setEnabled(false);
    if (offsetCompensationAutostopAction->isEnabled())
        QSettings().setValue(offsetCompensationAutostopKey, offsetCompensationAutostopAction->isChecked());
    offsetCompensationAutostopAction->setEnabled(false);
    offsetCompensationAction->setEnabled(false);
    delete offsetCompensationWatch;
    offsetCompensationWatch = nullptr;
    synchronizeAction->setEnabled(false);
    resetMenu->setEnabled(false);
    dataProducer->onStopProducing();

    for (DeviceDataConsumer* consumer : consumers) {
        consumer->onStopConsuming();
        delete consumer;
    }
    consumers.clear();
    plotConsumers.clear();
    writerConsumers.clear();
    analysisConsumers.clear();
    consumerTypes.clear();
    plotConsumer = nullptr;

    dataProducer.reset();
    lostDialog.reset();
    if (temperatureLogic) {
        emit disconnectTemperatureController();
        delete temperatureLogic;
        temperatureLogic = nullptr;
    }
    temperatureDock = nullptr;
    for (const QPointer<QDockWidget>& dock : docks)
        delete dock.data();
    docks.clear();
    delete analysisDocks;
    analysisDocks = nullptr;
    savedWidgets.clear();
    acquisitionInfoDock = nullptr;
    controlsDock = nullptr;
    allChannelsDock = nullptr;
    labbook = nullptr;
    protocolDock = nullptr;
    // After the docks over it.
    stimulus.reset();
    compensationsDock = nullptr;
    // No event reaches the plot tab between its consumer's deletion and its own.
    delete takeCentralWidget();
    plotTab = nullptr;

    for (QShortcut* shortcut : shortcuts)
        delete shortcut;
    shortcuts.clear();

    for (auto signal :
         {&MainWindow::startDetecting, &MainWindow::stopDetecting,
          &MainWindow::startDetectingTemperatureController, &MainWindow::disconnectTemperatureController})
        disconnect(this, signal, nullptr, nullptr);
    connectDetector();

    // Shown before the layout is put back: a central widget still hidden leaves all the room to
    // the docks, and the layout would keep that.
    auto* logo = new CorvaneLogoWidget;
    setCentralWidget(logo);
    logo->show();
    // The dock areas keep the sizes the connected layout gave them, a restored one above all.
    restoreState(disconnectedState, 0);
    emit startDetecting();
}

// A saved rectangle moved and cut into the screen it lies on (the widget's own otherwise): the
// screen may have changed since, and a window far larger than it costs memory in proportion
// (20000 x 20000 took gigabytes and painted for minutes).
static QRect onScreen(const QRect& saved, const QWidget& widget) {
    const QScreen* screen = QGuiApplication::screenAt(saved.center());
    if (!screen) screen = widget.screen();
    // A window's frame goes around the rectangle, and must fit too.
    const QRect frame = widget.frameGeometry(), inside = widget.geometry();
    const QRect area = screen->availableGeometry().marginsRemoved(
        {inside.left() - frame.left(), inside.top() - frame.top(), frame.right() - inside.right(),
         frame.bottom() - inside.bottom()});
    QRect fitted(saved.topLeft(), saved.size().boundedTo(area.size()));
    fitted.moveLeft(std::clamp(fitted.left(), area.left(), area.right() + 1 - fitted.width()));
    fitted.moveTop(std::clamp(fitted.top(), area.top(), area.bottom() + 1 - fitted.height()));
    return fitted;
}

void MainWindow::restoreGeometries() {
    QSettings settings;
    std::vector<QDockWidget*> unplaced;
    auto restore = [&](QWidget* widget) {
        const QString key = layoutKeyPrefix + widget->objectName() + "/geometry";
        const QRect saved = settings.value(key).toRect();
        if (settings.contains(key) && !saved.isValid()) {
            qWarning("The saved geometry of %s is no rectangle: it is dropped",
                     qPrintable(widget->objectName()));
            settings.remove(key);
        }
        if (saved.isValid())
            widget->setGeometry(onScreen(saved, *widget));
        else if (auto* dock = qobject_cast<QDockWidget*>(widget); dock && dock->isFloating())
            unplaced.push_back(dock);
    };
    for (const QPointer<QDockWidget>& dock : docks)
        if (dock) restore(dock);
    for (const QPointer<QWidget>& widget : savedWidgets)
        if (widget) restore(widget);
    // A maximised window stays maximised; its saved size is for when it is not.
    if (!isMaximized() && !isFullScreen()) restore(this);
    for (QDockWidget* dock : unplaced)
        placeFloating(*this, dock);
    const QString stateKey = layoutKeyPrefix + objectName() + "/state";
    if (settings.contains(stateKey) && !restoreState(settings.value(stateKey).toByteArray(), 0)) {
        qWarning("The saved layout of the window cannot be restored: it is dropped");
        settings.remove(stateKey);
    }
    // A kept layout says whether they show.
    if (!settings.contains(stateKey))
        for (const QPointer<QDockWidget>& dock : floatingOnStart) {
            if (!dock) continue;
            dock->show();
            // Placed by its size hint, it now has its frame.
            if (!settings.contains(layoutKeyPrefix + dock->objectName() + "/geometry"))
                placeFloating(*this, dock);
        }
    floatingOnStart.clear();
    // The layout keeps the docks within the window; a floating one is a window of its own.
    for (const QPointer<QDockWidget>& dock : docks)
        if (dock && dock->isFloating()) dock->setGeometry(onScreen(dock->geometry(), *dock));
    if (settings.contains(stateKey)) {
        // Shown only while the controller has been seen, whatever the kept layout says.
        if (temperatureDock)
            temperatureDock->setVisible(temperatureDock->visibility() !=
                                        VelmoranTemperatureControlWidget::Hidden);
    } else {
        // The Connection dock had the top row to itself and would keep most of it: the docks
        // beside it get the widths they ask for, the last one the rest.
        resizeDocks({connectionDock, allChannelsDock},
                    {connectionDock->sizeHint().width(), allChannelsDock->sizeHint().width()},
                    Qt::Horizontal);
        // The temperature controller's dock shows once its controller answers, after this: it
        // takes its own width then, not a share of its neighbours'.
        if (temperatureDock)
            connect(
                temperatureDock, &QDockWidget::visibilityChanged, this,
                [this](bool visible) {
                    if (!visible || !temperatureDock) return;
                    resizeDocks({connectionDock, allChannelsDock, temperatureDock},
                                {connectionDock->sizeHint().width(), allChannelsDock->sizeHint().width(),
                                 temperatureDock->sizeHint().width()},
                                Qt::Horizontal);
                },
                Qt::SingleShotConnection);
    }
    emit layoutRestored();
}

void MainWindow::saveGeometries() {
    QSettings settings;
    auto save = [&](const QWidget* widget) {
        settings.setValue(layoutKeyPrefix + widget->objectName() + "/geometry", widget->geometry());
    };
    for (const QPointer<QDockWidget>& dock : docks)
        if (dock) save(dock);
    for (const QPointer<QWidget>& widget : savedWidgets)
        if (widget) save(widget);
    save(this);
    settings.setValue(layoutKeyPrefix + objectName() + "/state", saveState(0));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    const bool recording = std::any_of(writerConsumers.begin(), writerConsumers.end(),
                                       [](const DeviceDataConsumer* writer) { return writer->isRunning(); });
    if (recording) {
        if (QMessageBox::question(this, "KAV4", "A recording is in progress. Stop it and quit?",
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        for (DeviceDataConsumer* writer : writerConsumers)
            writer->onStopConsuming();
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

void MainWindow::onResetFpga() {
    kv4cl::resetDevice();
}

void MainWindow::onSynchronizeParallelDevices() {
    kv4cl::holdReset(true);
    // The devices must see the reset held before it is released, or they do not all restart.
    QThread::msleep(20);
    kv4cl::flushData(true);
    kv4cl::resetDriftEstimator();
    kv4cl::holdReset(false);
}

void MainWindow::onFrontEndResetDenoiserEnabled(bool flag) {
    kv4cl::setDenoiserEnabled(flag);
}

void MainWindow::onResetCompensations() {
    if (offsetCompensationWatch) offsetCompensationWatch->order(int(currentChannelsNum), true);
}

void MainWindow::onDigitalOffsetCompensationAutostop(bool flag) {
    kv4cl::setDigitalOffsetCompensationAutostop(flag);
}

void MainWindow::onPlotPreferences() {
    if (plotPreferences) plotPreferences->show();
}

void MainWindow::onFilterPreferences() {
    if (filterPreferences) filterPreferences->show();
}

void MainWindow::onFrontEndCurrentRangeChange(int rangeChange) {
    if (controlsDock) controlsDock->onMoveCurrentRange(rangeChange);
}

void MainWindow::onAbout() {
    AboutDialog(this).exec();
}

void MainWindow::onSupport() {
    SupportDialog(this).exec();
}

void MainWindow::onDeviceInfo() {
    DeviceInfoDialog(connected, listedDeviceIds(), this).exec();
}
