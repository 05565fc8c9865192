#include "accessories/velmorantemperaturecontrollogic.h"

#include "accessories/velmoranprotocol.h"

#include <serial.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Logic = VelmoranTemperatureControlLogic;
using Widget = VelmoranTemperatureControlWidget;

const std::string controllerDescription = "Velmoran Temperature Controller";
constexpr auto tickPeriod = 1000ms;

std::mutex listerMutex;
Logic::PortLister installedLister;

// Process-wide: a queued signal may reach its receiver after the logic that emitted it is gone.
std::mutex handOver;

// The widget's slot, called once the copies that came with the signal may be read.
template <typename... Params>
void relay(Logic* logic, void (Logic::*signal)(Params...), Widget* widget, void (Widget::*slot)(Params...)) {
    QObject::connect(logic, signal, widget, [widget, slot](const Params&... args) {
        Logic::takeHandOver();
        (widget->*slot)(args...);
    });
}

} // namespace

void VelmoranTemperatureControlLogic::installPortLister(PortLister lister) {
    std::lock_guard lock(listerMutex);
    installedLister = std::move(lister);
}

VelmoranTemperatureControlLogic::VelmoranTemperatureControlLogic(Widget* widget, QObject* parent)
    : QObject(parent) {
    relay(this, &Logic::enableWidgetVisibilityChange, widget, &Widget::onEnableVisibilityChange);
    relay(this, &Logic::temperatureRead, widget, &Widget::onTemperatureRead);
    relay(this, &Logic::enableWidgetControls, widget, &Widget::onEnableControls);
    relay(this, &Logic::disableWidgetControls, widget, &Widget::onDisableControls);
    relay(this, &Logic::setWidgetVisibility, widget, &Widget::onVisibilitySet);
    relay(this, &Logic::setWidgetTemperatureLimits, widget, &Widget::onSetTemperatureLimits);
    connect(widget, &Widget::channelChanged, this, &Logic::onChannelChanged);
    connect(widget, &Widget::setTemperatureChanged, this, &Logic::onSetTemperatureChanged);
    connect(widget, &Widget::temperatureControlStateChanged, this, &Logic::onTemperatureControlStateChanged);
}

VelmoranTemperatureControlLogic::~VelmoranTemperatureControlLogic() {
    stopThread();
}

void VelmoranTemperatureControlLogic::takeHandOver() {
    std::lock_guard lock(handOver);
}

template <typename... Params, typename... Args>
void VelmoranTemperatureControlLogic::report(void (Logic::*signal)(Params...), Args... args) {
    std::lock_guard lock(handOver);
    (this->*signal)(args...);
}

std::string VelmoranTemperatureControlLogic::discover() {
    std::vector<serial::PortInfo> ports;
    try {
        std::lock_guard lock(listerMutex);
        ports = installedLister ? installedLister() : serial::list_ports();
    } catch (const std::exception&) {
        return {};
    }
    for (const serial::PortInfo& info : ports)
        if (info.description.compare(0, controllerDescription.size(), controllerDescription) == 0)
            return info.port;
    return {};
}

void VelmoranTemperatureControlLogic::onStartDetecting() {
    stopThread();
    detecting = true;
    linkState = 0;
    stopRequested = false;
    setPointPending = false;
    thread = std::thread(&Logic::run, this);
}

void VelmoranTemperatureControlLogic::stopThread() {
    {
        std::lock_guard lock(mutex);
        stopRequested = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

void VelmoranTemperatureControlLogic::run() {
    auto next = std::chrono::steady_clock::now() + tickPeriod;
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait_until(lock, next, [&] { return stopRequested || setPointPending; });
        if (stopRequested) return;
        const bool sendSetPoint = std::exchange(setPointPending, false);
        const auto now = std::chrono::steady_clock::now();
        const bool tick = now >= next;
        // Like a timer's: a tick that took longer than the period is followed by the next at once.
        if (tick) next = std::max(next + tickPeriod, now);
        lock.unlock();
        {
            std::lock_guard portLock(portMutex);
            if (sendSetPoint && port) writeSetPoint();
            if (tick) onTimerUpdate();
        }
        lock.lock();
    }
}

void VelmoranTemperatureControlLogic::onTimerUpdate() {
    if (!detecting) return; // the interface was disconnected while the ticks go on
    report(&Logic::enableWidgetVisibilityChange, true);
    if (linkState == 0) {
        const std::string found = discover();
        if (found.empty()) return;
        port = std::make_unique<serial::Serial>("", 9600, serial::Timeout());
        port->setPort(found);
        linkState = 1;
        pollCounter = 0;
        if (!openPort() || !readSetPoint()) {
            fail();
            return;
        }
        report(&Logic::setWidgetVisibility, Widget::Connected);
        std::unique_lock lock(mutex);
        const bool regulating = active;
        const double celsius = setTemperature;
        lock.unlock();
        if (regulating)
            report(&Logic::enableWidgetControls, celsius);
        else
            report(&Logic::disableWidgetControls);
        return;
    }
    if (pollCounter == 0 && !refreshState()) {
        fail();
        return;
    }
    std::unique_lock lock(mutex);
    const int addressed = channel;
    lock.unlock();
    const std::optional<double> temperature =
        velmoran::temperatureOf(transaction(velmoran::readTemperatureText(addressed)));
    if (!temperature) {
        fail();
        return;
    }
    report(&Logic::temperatureRead, *temperature);
    pollCounter = (pollCounter + 1) % 10;
}

namespace {
// A status reply that says something: 0 ready, 1 and 6 asking for a reset. Anything else (a
// digit it has no meaning for, or no status at all) is not the controller answering.
bool known(const std::optional<velmoran::Status>& status) {
    return status && (status->status == 0 || status->status == 1 || status->status == 6);
}
} // namespace

bool VelmoranTemperatureControlLogic::openPort() {
    if (port->isOpen()) return true;
    port->setBaudrate(38400);
    port->setBytesize(serial::eightbits);
    port->setParity(serial::parity_none);
    port->setStopbits(serial::stopbits_one);
    for (int attempt = 0; attempt < 3 && !port->isOpen(); attempt++) {
        try {
            port->open();
        } catch (const std::exception&) {
            // The adapter may still be settling after being plugged in.
            std::this_thread::sleep_for(200ms);
        }
    }
    if (!port->isOpen()) return false;
    // Only a controller whose status means something is connected: garbage that passed here
    // failed the first refresh, and the dock flipped between connected and not every second.
    if (!known(velmoran::statusOf(transaction(velmoran::statusText)))) {
        port->close();
        return false;
    }
    return true;
}

std::string VelmoranTemperatureControlLogic::readFor(uint32_t milliseconds) {
    // Waits the whole time however little arrives (the read asks for more than any reply).
    port->setTimeout(milliseconds, milliseconds, 0, 100, 0);
    std::string received;
    port->read(received, 4096);
    return received;
}

std::string VelmoranTemperatureControlLogic::transaction(const std::string& text) {
    if (!port || !port->isOpen()) return {};
    const std::string sent = velmoran::command(text);
    try {
        // A late answer to an earlier command is not this one's.
        port->flushInput();
        // The port writes nothing within a write time-out of 0.
        port->setTimeout(0, 0, 0, 100, 0);
        port->write(sent);
        std::string received = readFor(100);
        for (int retry = 0; received.empty() && retry < 10; retry++)
            received = readFor(200);
        return velmoran::replyOf(sent, received);
    } catch (const std::exception&) {
        // The port is gone (unplugged): nothing came.
        return {};
    }
}

bool VelmoranTemperatureControlLogic::readSetPoint() {
    std::unique_lock lock(mutex);
    const int addressed = channel;
    lock.unlock();
    const std::optional<velmoran::SetPoint> setPoint =
        velmoran::setPointOf(transaction(velmoran::readSetPointText(addressed)));
    if (!setPoint) return false;
    lock.lock();
    setTemperature = setPoint->celsius;
    active = setPoint->regulation;
    return true;
}

bool VelmoranTemperatureControlLogic::refreshState() {
    const std::optional<velmoran::Status> status = velmoran::statusOf(transaction(velmoran::statusText));
    if (!known(status)) return false;
    if (status->status != 0) {
        bool reset = false;
        for (int attempt = 0; attempt < 3 && !reset; attempt++) {
            std::this_thread::sleep_for(50ms); // the controller takes a reset only after a pause
            reset = !transaction(velmoran::resetText).empty();
        }
        if (!reset) return false;
    }
    std::unique_lock lock(mutex);
    const bool regulating = active;
    lock.unlock();
    if (((status->flags & 8) != 0) != regulating) writeSetPoint();
    return true;
}

void VelmoranTemperatureControlLogic::writeSetPoint() {
    std::unique_lock lock(mutex);
    const std::string text = velmoran::writeSetPointText(channel, setTemperature, active);
    lock.unlock();
    transaction(text);
}

void VelmoranTemperatureControlLogic::fail() {
    report(&Logic::setWidgetVisibility, Widget::NotConnected);
    closePort(false);
}

void VelmoranTemperatureControlLogic::closePort(bool sendStop) {
    if (port && port->isOpen()) {
        try {
            if (sendStop) {
                port->setTimeout(0, 0, 0, 100, 0);
                port->write(velmoran::command(velmoran::stopText));
                std::this_thread::sleep_for(50ms); // lets the stop leave before the port closes
            }
            port->close();
        } catch (const std::exception&) {
            // A port that is gone needs no stop; it is dropped all the same.
        }
    }
    port.reset();
    linkState = 0;
}

// The thread sends the set point when it holds a port; without one it is sent at no time.
void VelmoranTemperatureControlLogic::onSetTemperatureChanged(double temperature) {
    {
        std::lock_guard lock(mutex);
        setTemperature = temperature;
        setPointPending = true;
    }
    wake.notify_all();
}

void VelmoranTemperatureControlLogic::onTemperatureControlStateChanged(bool on) {
    std::unique_lock lock(mutex);
    active = on;
    const double celsius = setTemperature;
    if (!on) setPointPending = true;
    lock.unlock();
    wake.notify_all();
    if (!on)
        emit disableWidgetControls();
    else
        emit enableWidgetControls(celsius);
}

void VelmoranTemperatureControlLogic::onChannelChanged(int channelIdx) {
    std::lock_guard lock(mutex);
    channel = channelIdx;
}

void VelmoranTemperatureControlLogic::onDisconnect() {
    stopThread();
    onDisconnectInterface();
}

// Waits for a tick under way to end; the ticks that follow find nothing to do.
void VelmoranTemperatureControlLogic::onDisconnectInterface() {
    std::lock_guard portLock(portMutex);
    emit setWidgetVisibility(Widget::Hidden);
    detecting = false;
    std::this_thread::sleep_for(50ms);
    closePort(linkState == 1);
}
