#pragma once
// The main window composes the program around one connection. Disconnected it shows the
// logo, the Connection dock and the static menus while the device detector polls in its own
// thread; connected it holds the producer, the consumers, the docks and the shortcuts, built
// in a fixed order and torn down in the reverse one so that no reader outlives the producer.

#include "acquisition/librarysamplesource.h"

#include <QMainWindow>
#include <QPointer>
#include <QThread>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AcquisitionInfoDockWidget;
class AnalysisDocks;
class AllChannelsControlsDockWidget;
class CompensationsDockWidget;
class ConnectionLostDialog;
class ControlsDockWidget;
class FilterPreferencesDialog;
class GapFreePlotConsumer;
class OffsetCompensationWatch;
class PlotPreferencesDialog;
class PlotTab;
class ProtocolDockWidget;
class StimulusService;
class VelmoranTemperatureControlLogic;
class VelmoranTemperatureControlWidget;
class DeviceDataConsumer;
class DeviceDataProducer;
class DetectorThread;
class Labbook;
class QAction;
class QComboBox;
class QDockWidget;
class QMenu;
class QPushButton;
class QShortcut;

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    bool isConnected() const { return connected; }
    // The producer of the connected set; null while disconnected.
    DeviceDataProducer* producer() const { return dataProducer.get(); }
    // The warning shown while the connected set is unreachable; null while disconnected.
    ConnectionLostDialog* connectionLostDialog() const { return lostDialog.get(); }

  signals:
    void startDetecting();
    void stopDetecting();
    void startDetectingTemperatureController();
    void disconnectTemperatureController();
    // The layout kept for the connected model is in place; it is restored just after connecting.
    void layoutRestored();

  public slots:
    void onDevicesListChanged(std::vector<std::string> devicesList);
    void onConnect(bool flag);

  private slots:
    void onResetFpga();
    void onSynchronizeParallelDevices();
    void onFrontEndResetDenoiserEnabled(bool flag);
    // Starts the digital offset compensation of every channel of every device.
    void onResetCompensations();
    void onDigitalOffsetCompensationAutostop(bool flag);
    void onPlotPreferences();
    void onFilterPreferences();
    // The producer's suggestion while the current range is automatic: +1 up, -1 down.
    void onFrontEndCurrentRangeChange(int rangeChange);
    void onAbout();
    void onSupport();
    void onDeviceInfo();

  protected:
    // While a recording runs, asks first; stopping it finishes its files before the window goes.
    void closeEvent(QCloseEvent* event) override;
    // Tab skips what the window does not show, and brings a dock that shares its place to the
    // front when it reaches one of the dock's controls.
    bool focusNextPrevChild(bool next) override;

  private:
    void createMenus();
    void createConnectionDock();
    void startDetector();
    void buildConnectedInterface();
    void tearDownConnectedInterface();
    void createConsumers();
    void createDocks();
    void createTemperatureController();
    void connectPipeline();
    // Consumers start from the device's present rate and ranges; later changes come from
    // the controls.
    void seedConsumers();
    void createShortcuts();
    // Every main-window signal goes to the detector again, and only there.
    void connectDetector();
    void restoreGeometries();
    void saveGeometries();
    QStringList listedDeviceIds() const;

    // Menus and the actions that change with the connection.
    QMenu* viewMenu = nullptr;
    QMenu* analysisMenu = nullptr;
    QMenu* advancedMenu = nullptr;
    QMenu* resetMenu = nullptr;
    QMenu* denoiserMenu = nullptr;
    QAction* denoiserEnableAction = nullptr;
    QAction* offsetCompensationAction = nullptr;
    QAction* offsetCompensationAutostopAction = nullptr;
    OffsetCompensationWatch* offsetCompensationWatch = nullptr; // while connected to a model with it
    QAction* synchronizeAction = nullptr;
    QAction* plotPreferencesAction = nullptr;
    QAction* filterPreferencesAction = nullptr;

    // The Connection dock.
    QDockWidget* connectionDock = nullptr;
    QComboBox* deviceComboBox = nullptr;
    QPushButton* connectButton = nullptr;

    std::unique_ptr<DetectorThread> detectorThread;

    bool connected = false;
    uint32_t voltageChannelsNum = 0;
    uint32_t currentChannelsNum = 0;
    uint32_t gpChannelsNum = 0;

    // The connected interface.
    LibrarySampleSource sampleSource;
    // A top-level window of its own, made and deleted with the producer; deleting it ends its
    // modal loop if it runs.
    std::unique_ptr<ConnectionLostDialog> lostDialog;
    std::unique_ptr<DeviceDataProducer> dataProducer;
    std::vector<DeviceDataConsumer*> consumers;
    std::vector<DeviceDataConsumer*> plotConsumers;
    std::vector<DeviceDataConsumer*> writerConsumers;
    std::vector<DeviceDataConsumer*> analysisConsumers;
    // Each consumer's kind, for the filtered-data choice.
    std::vector<std::pair<DeviceDataConsumer*, int>> consumerTypes;
    PlotPreferencesDialog* plotPreferences = nullptr;
    FilterPreferencesDialog* filterPreferences = nullptr;
    GapFreePlotConsumer* plotConsumer = nullptr;
    PlotTab* plotTab = nullptr;
    ControlsDockWidget* controlsDock = nullptr;
    AllChannelsControlsDockWidget* allChannelsDock = nullptr;
    Labbook* labbook = nullptr;
    ProtocolDockWidget* protocolDock = nullptr;
    std::unique_ptr<StimulusService> stimulus; // on models with protocols
    CompensationsDockWidget* compensationsDock = nullptr; // for models with CFast
    AnalysisDocks* analysisDocks = nullptr;
    std::vector<QPointer<QDockWidget>> docks;
    // Floating docks shown from the start: hidden until restoreGeometries has placed them, so
    // that they never flash at the screen's corner.
    std::vector<QPointer<QDockWidget>> floatingOnStart;
    // Windows whose geometry is kept besides the docks.
    std::vector<QPointer<QWidget>> savedWidgets;
    AcquisitionInfoDockWidget* acquisitionInfoDock = nullptr;
    // On models with the temperature-controller option: the dock, and its logic (with its thread).
    VelmoranTemperatureControlWidget* temperatureDock = nullptr;
    VelmoranTemperatureControlLogic* temperatureLogic = nullptr;
    std::vector<QShortcut*> shortcuts;
    // The dock layout while disconnected, put back at each teardown.
    QByteArray disconnectedState;
    // Where the connected model's layout is kept in the settings.
    QString layoutKeyPrefix;
};
