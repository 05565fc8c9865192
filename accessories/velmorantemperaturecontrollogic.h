#pragma once
// The temperature controller's logic: once detecting, every second it looks for the controller
// among the serial ports (by the description "Velmoran Temperature Controller..."), opens it,
// reads its set point and regulation, and from then on reads the chamber temperature every
// second and its status every tenth second. Any failure drops the port and searches again.
//
// It lives in a thread of its own (the main window moves it there): each transaction blocks
// that thread on the port for 100 ms to 2.1 s, never the windows.

#include "accessories/velmorantemperaturecontrolwidget.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace serial {
class Serial;
struct PortInfo;
} // namespace serial

class VelmoranTemperatureControlLogic : public QObject {
    Q_OBJECT

  public:
    // How serial ports are listed: serial::list_ports unless another lister is installed (a
    // virtual controller's pty is listed by none of the system's ways). Process-wide; an empty
    // function restores the system's listing.
    using PortLister = std::function<std::vector<serial::PortInfo>()>;
    static void installPortLister(PortLister lister);

    // Connects the widget's signals to its slots and its signals to the widget's slots.
    explicit VelmoranTemperatureControlLogic(VelmoranTemperatureControlWidget* widget,
                                             QObject* parent = nullptr);
    ~VelmoranTemperatureControlLogic() override;

  signals:
    void enableWidgetVisibilityChange(bool flag);
    void temperatureRead(double temperature);
    void enableWidgetControls(double temperature);
    void disableWidgetControls();
    void setWidgetVisibility(VelmoranTemperatureControlWidget::Visibility_t state);
    void setWidgetTemperatureLimits(int min, int max);

  public slots:
    void onStartDetecting();
    void onDisconnect();
    void onDisconnectInterface();
    void onChannelChanged(int channelIdx);
    void onSetTemperatureChanged(double temperature);
    void onTemperatureControlStateChanged(bool active);

  private slots:
    void onTimerUpdate();

  private:
    // The first listed port whose description begins with the controller's name; empty if none.
    static std::string discover();
    bool openPort();
    // The reply to one command; empty when nothing came, the port is closed or failed.
    std::string transaction(const std::string& text);
    // What arrives within `milliseconds`, waiting on the port all that time.
    std::string readFor(uint32_t milliseconds);
    bool readSetPoint();
    bool refreshState();
    void writeSetPoint();
    // Shows the message, closes and drops the port, and searches again.
    void fail();
    void closePort(bool sendStop);

    std::unique_ptr<serial::Serial> port;
    bool detecting = false;
    int linkState = 0; // 0 not connected, 1 connected
    int channel = 0;
    double setTemperature = 25.0;
    bool active = false;
    int pollCounter = 0;
    QTimer* timer = nullptr;
};
