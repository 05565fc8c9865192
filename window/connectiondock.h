#pragma once
// The "Connection" dock: the devices that the detector finds, polling in a thread of its own
// while nothing is connected, with "All" when there are several, and the button that connects
// the chosen entry and disconnects it again.

#include <QDockWidget>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

class DetectorThread;

class QComboBox;
class QPushButton;

class ConnectionDock : public QDockWidget {
    Q_OBJECT

  public:
    // Starts the detector.
    explicit ConnectionDock(QWidget* parent = nullptr);
    // Ends the detector's thread.
    ~ConnectionDock() override;

    // Every listed device, "All" left out.
    QStringList listedIds() const;
    // The ids the chosen entry stands for: every listed device for "All".
    std::vector<std::string> chosenIds() const;
    // Connected, the button disconnects and the list is locked.
    void showConnected(bool on);
    // Lists the detected devices. While connected, an empty list changes nothing and the chosen
    // entry stays chosen; false when it is no longer listed.
    bool list(const std::vector<std::string>& ids, bool connected);

    void detect(bool on);

  signals:
    void connectClicked(bool on);
    // The detector's list, whenever it changes.
    void devicesDetected(std::vector<std::string> ids);
    // To the detector, connected by name: a connection to member pointers keeps a slot object
    // that this thread makes and the detector's thread calls, handed over inside Qt where
    // ThreadSanitizer cannot see it.
    void startDetecting();
    void stopDetecting();

  private:
    QComboBox* deviceComboBox;
    QPushButton* connectButton;
    std::unique_ptr<DetectorThread> detectorThread;
};
