#pragma once
// The main window, a shell around one connection. Disconnected it shows the logo, the
// Connection dock and the menus while the device detector polls in its own thread; connected
// it owns the device session and composes the plot tab, the docks and the shortcuts over it,
// built in a fixed order and torn down in the reverse one.

#include "session/devicesession.h"
#include "window/docklayout.h"

#include <QMainWindow>
#include <QPointer>

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
class PlotPreferencesDialog;
class PlotTab;
class ProtocolDockWidget;
class ConnectionDock;
class MainMenus;
class TemperatureController;
class DeviceDataConsumer;
class DeviceDataProducer;
class Labbook;
class QDockWidget;
class QShortcut;
class RecordingService;

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    bool isConnected() const { return connected; }
    // The producer of the connected set; null while disconnected.
    DeviceDataProducer* producer() const { return session ? session->producer() : nullptr; }
    // The voltage stimulus the docks show; null while disconnected and on models without one.
    StimulusService* stimulus() const { return session ? session->stimulus() : nullptr; }
    // The warning shown while the connected set is unreachable; null while disconnected.
    ConnectionLostDialog* connectionLostDialog() const { return lostDialog.get(); }

  signals:
    // The layout kept for the connected model is in place; it is restored just after connecting.
    void layoutRestored();

  public slots:
    void onDevicesListChanged(std::vector<std::string> devicesList);
    void onConnect(bool flag);
    // Plays back the recording the file belongs to, in place of what was open, or says why it
    // cannot be read.
    void openRecording(const QString& path);

  private slots:
    void onDeviceInfo();

  protected:
    // While a recording runs, asks first; stopping it finishes its files before the window goes.
    void closeEvent(QCloseEvent* event) override;
    // Tab skips what the window does not show, and brings a dock that shares its place to the
    // front when it reaches one of the dock's controls.
    bool focusNextPrevChild(bool next) override;

  private:
    // Tears down the device set or the recording open, if any.
    void closeSession();
    void buildConnectedInterface();
    void tearDownConnectedInterface();
    void createConsumers();
    void createDocks();
    void connectPipeline();
    void restoreGeometries();

    MainMenus* menus = nullptr;
    ConnectionDock* connectionDock = nullptr;

    bool connected = false;
    bool layoutInPlace = false; // the connected model's layout is put back

    // The connected interface.
    std::unique_ptr<DeviceSession> session;
    // A top-level window of its own, made and deleted with the producer; deleting it ends its
    // modal loop if it runs.
    std::unique_ptr<ConnectionLostDialog> lostDialog;
    // The session's.
    QPointer<RecordingService> recordingService;
    PlotPreferencesDialog* plotPreferences = nullptr;
    FilterPreferencesDialog* filterPreferences = nullptr;
    GapFreePlotConsumer* plotConsumer = nullptr;
    PlotTab* plotTab = nullptr;
    ControlsDockWidget* controlsDock = nullptr;
    AllChannelsControlsDockWidget* allChannelsDock = nullptr;
    Labbook* labbook = nullptr;
    ProtocolDockWidget* protocolDock = nullptr;
    CompensationsDockWidget* compensationsDock = nullptr; // for models with CFast
    AnalysisDocks* analysisDocks = nullptr;
    DockLayout layout{*this};
    AcquisitionInfoDockWidget* acquisitionInfoDock = nullptr;
    std::unique_ptr<TemperatureController> temperature; // on models with that option
    std::vector<QShortcut*> shortcuts;
    // The dock layout while disconnected, put back at each teardown.
    QByteArray disconnectedState;
};
