#include "accessories/velmorantemperaturecontrollogic.h"

#include "accessories/velmoranprotocol.h"

#include <QThread>
#include <QTimer>

#include <serial.h>

#include <mutex>

namespace {

const std::string controllerDescription = "Velmoran Temperature Controller";

std::mutex listerMutex;
VelmoranTemperatureControlLogic::PortLister installedLister;

} // namespace

void VelmoranTemperatureControlLogic::installPortLister(PortLister lister) {
    std::lock_guard lock(listerMutex);
    installedLister = std::move(lister);
}

VelmoranTemperatureControlLogic::VelmoranTemperatureControlLogic(VelmoranTemperatureControlWidget* widget,
                                                                 QObject* parent)
    : QObject(parent) {
    using Widget = VelmoranTemperatureControlWidget;
    using Logic = VelmoranTemperatureControlLogic;
    connect(this, &Logic::enableWidgetVisibilityChange, widget, &Widget::onEnableVisibilityChange);
    connect(this, &Logic::temperatureRead, widget, &Widget::onTemperatureRead);
    connect(this, &Logic::enableWidgetControls, widget, &Widget::onEnableControls);
    connect(this, &Logic::disableWidgetControls, widget, &Widget::onDisableControls);
    connect(this, &Logic::setWidgetVisibility, widget, &Widget::onVisibilitySet);
    connect(this, &Logic::setWidgetTemperatureLimits, widget, &Widget::onSetTemperatureLimits);
    connect(widget, &Widget::channelChanged, this, &Logic::onChannelChanged);
    connect(widget, &Widget::setTemperatureChanged, this, &Logic::onSetTemperatureChanged);
    connect(widget, &Widget::temperatureControlStateChanged, this, &Logic::onTemperatureControlStateChanged);
}

VelmoranTemperatureControlLogic::~VelmoranTemperatureControlLogic() = default;

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
    delete timer;
    timer = new QTimer(this);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &VelmoranTemperatureControlLogic::onTimerUpdate);
    detecting = true;
    linkState = 0;
    timer->start();
}

void VelmoranTemperatureControlLogic::onTimerUpdate() {
    if (!detecting) return; // the interface was disconnected while the timer runs on
    emit enableWidgetVisibilityChange(true);
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
        emit setWidgetVisibility(VelmoranTemperatureControlWidget::Connected);
        if (active)
            emit enableWidgetControls(setTemperature);
        else
            emit disableWidgetControls();
        return;
    }
    if (pollCounter == 0 && !refreshState()) {
        fail();
        return;
    }
    const std::optional<double> temperature =
        velmoran::temperatureOf(transaction(velmoran::readTemperatureText(channel)));
    if (!temperature) {
        fail();
        return;
    }
    emit temperatureRead(*temperature);
    pollCounter = (pollCounter + 1) % 10;
}

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
            QThread::msleep(200);
        }
    }
    if (!port->isOpen()) return false;
    if (transaction(velmoran::statusText).empty()) {
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
    const std::optional<velmoran::SetPoint> setPoint =
        velmoran::setPointOf(transaction(velmoran::readSetPointText(channel)));
    if (!setPoint) return false;
    setTemperature = setPoint->celsius;
    active = setPoint->regulation;
    return true;
}

bool VelmoranTemperatureControlLogic::refreshState() {
    const std::optional<velmoran::Status> status = velmoran::statusOf(transaction(velmoran::statusText));
    if (!status || (status->status != 0 && status->status != 1 && status->status != 6)) return false;
    if (status->status != 0) {
        bool reset = false;
        for (int attempt = 0; attempt < 3 && !reset; attempt++) {
            QThread::msleep(50); // the controller takes a reset only after a pause
            reset = !transaction(velmoran::resetText).empty();
        }
        if (!reset) return false;
    }
    if (((status->flags & 8) != 0) != active) writeSetPoint();
    return true;
}

void VelmoranTemperatureControlLogic::writeSetPoint() {
    transaction(velmoran::writeSetPointText(channel, setTemperature, active));
}

void VelmoranTemperatureControlLogic::fail() {
    emit setWidgetVisibility(VelmoranTemperatureControlWidget::NotConnected);
    closePort(false);
}

void VelmoranTemperatureControlLogic::closePort(bool sendStop) {
    if (port && port->isOpen()) {
        try {
            if (sendStop) {
                port->setTimeout(0, 0, 0, 100, 0);
                port->write(velmoran::command(velmoran::stopText));
                QThread::msleep(50); // lets the stop leave before the port closes
            }
            port->close();
        } catch (const std::exception&) {
            // A port that is gone needs no stop; it is dropped all the same.
        }
    }
    port.reset();
    linkState = 0;
}

void VelmoranTemperatureControlLogic::onSetTemperatureChanged(double temperature) {
    setTemperature = temperature;
    if (port) writeSetPoint();
}

void VelmoranTemperatureControlLogic::onTemperatureControlStateChanged(bool on) {
    active = on;
    if (!on) {
        if (port) writeSetPoint();
        emit disableWidgetControls();
    } else {
        emit enableWidgetControls(setTemperature);
    }
}

void VelmoranTemperatureControlLogic::onChannelChanged(int channelIdx) {
    channel = channelIdx;
}

void VelmoranTemperatureControlLogic::onDisconnect() {
    delete timer;
    timer = nullptr;
    onDisconnectInterface();
}

void VelmoranTemperatureControlLogic::onDisconnectInterface() {
    emit setWidgetVisibility(VelmoranTemperatureControlWidget::Hidden);
    detecting = false;
    QThread::msleep(50);
    closePort(linkState == 1);
}
