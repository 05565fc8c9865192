#pragma once
// The temperature controller's logic: once detecting, every second it looks for the controller
// among the serial ports (by the description "Velmoran Temperature Controller..."), opens it,
// reads its set point and regulation, and from then on reads the chamber temperature every
// second and its status every tenth second. Any failure drops the port and searches again.
//
// The object lives in the GUI thread, where its slots run; the ticks and every transaction run
// in a thread of its own, since each one blocks on the port for 100 ms to 2.1 s. The slots only
// store what the user chose and wake that thread, which sends it at once. The thread is ended
// and joined by onDisconnect(), by a new onStartDetecting() and by the destructor, so that
// nothing of it outlives the object.

#include "accessories/velmorantemperaturecontrolwidget.h"

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

    // The signals that the logic's thread emits reach the GUI thread through Qt's event queue,
    // whose locks ThreadSanitizer cannot see: that thread emits holding a process-wide mutex,
    // and a receiver in another thread calls this before it reads what came, so that the tool
    // sees the order. The widget's slots are connected that way.
    static void takeHandOver();

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

  private:
    // The thread: a tick every second, and the set point sent as soon as the user changes it.
    void run();
    void onTimerUpdate();
    // Emits `signal` from the logic's thread, holding the hand-over.
    template <typename... Params, typename... Args>
    void report(void (VelmoranTemperatureControlLogic::*signal)(Params...), Args... args);
    void stopThread();
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

    // The port and the link: the thread's while it runs a tick, which holds portMutex; the GUI
    // thread takes that mutex (or ends the thread) before it closes the port.
    std::mutex portMutex;
    std::unique_ptr<serial::Serial> port;
    bool detecting = false;
    int linkState = 0; // 0 not connected, 1 connected
    int pollCounter = 0;

    // What the user chose (and the controller reported at connection), under `mutex`, which
    // is taken after portMutex when both are.
    std::mutex mutex;
    std::condition_variable wake;
    int channel = 0;
    double setTemperature = 25.0;
    bool active = false;
    bool setPointPending = false; // to be sent by the thread
    bool stopRequested = false;
    std::thread thread;
};
