#include "window/errormanager.h"

using namespace kv4cl;

const QString ErrorManager::supportAddress = QStringLiteral("support@corvane.com");

namespace {
const QString replug = QStringLiteral("Try to unplug and replug the device and restart KAV4.");
} // namespace

ErrorManager::ErrorManager(ErrorCodes_t code, QWidget* parent) : QMessageBox(parent) {
    showText(text(message(code), detail(code)));
}

ErrorManager::ErrorManager(const QString& message, const QString& detail, QWidget* parent)
    : QMessageBox(parent) {
    showText(text(message, detail));
}

void ErrorManager::showText(const QString& text) {
    if (text.isEmpty()) return;
    setIcon(QMessageBox::Warning);
    setWindowTitle(QStringLiteral("KAV4"));
    setText(text);
    setStandardButtons(QMessageBox::Ok);
    exec();
}

QString ErrorManager::text(const QString& message, const QString& detail) {
    if (message == QLatin1String("NONE")) return {};
    return detail.isEmpty() ? message + '.' : message + ":\n" + detail;
}

QString ErrorManager::message(ErrorCodes_t code) {
    switch (code) {
    case Success:
        return QStringLiteral("NONE");
    case ErrorUnknown:
        return QStringLiteral("Unknown error");
    case ErrorNoDevicesDetected:
        return QStringLiteral("No devices detected");
    case ErrorDevicesDetectionFailed:
        return QStringLiteral("Devices detection failed");
    case ErrorEepromOpenFailed:
    case ErrorEepromConnectionFailed:
        return QStringLiteral("Connection to device EEPROM failed");
    case ErrorEepromDisconnectionFailed:
        return QStringLiteral("Disconnection from device EEPROM failed");
    case ErrorEepromNotConnected:
        return QStringLiteral("Not connected to device EEPROM");
    case ErrorEepromReadFailed:
        return QStringLiteral("Read from device EEPROM failed");
    case ErrorEepromNotRecognized:
        return QStringLiteral("Device EEPROM not recognized");
    case ErrorResourcesInitialization:
        return QStringLiteral("Error initializing the resources");
    case ErrorDeviceTypeNotControllable:
        return QStringLiteral("Device type not controllable with KAV4");
    case ErrorDeviceAlreadyConnected:
        return QStringLiteral("Device already connected");
    case ErrorDeviceNotConnected:
        return QStringLiteral("Device not connected");
    case ErrorDeviceConnectionFailed:
        return QStringLiteral("Connection to device failed");
    case ErrorFtdiConfigurationFailed:
        return QStringLiteral("Ftdi configuration failed");
    case ErrorDeviceDisconnectionFailed:
        return QStringLiteral("Disconnection from device failed");
    case ErrorDeviceCommunicationFailed:
        return QStringLiteral("Failed communication with the device");
    case ErrorDifferentDeviceTypes:
        return QStringLiteral("Trying to connect to device of different types");
    case ErrorMessageSendFailed:
        return QStringLiteral("Failed to send message to the device");
    case ErrorCommandNotImplemented:
        return QStringLiteral("Command not implemented");
    case ErrorValueOutOfRange:
        return QStringLiteral("Value out of range for the device");
    case WarningNoDataAvailable:
        return QStringLiteral("No data available");
    case WarningNotEnoughData:
        return QStringLiteral("Not enough data available");
    case ErrorInvalidProtocolParameters:
        return QStringLiteral("Invalid protocol parameters");
    case ErrorFeatureNotImplemented:
        return QStringLiteral("This feature is not implemented for the current device");
    }
    return {};
}

QString ErrorManager::detail(ErrorCodes_t code) {
    switch (code) {
    case ErrorUnknown:
    case ErrorEepromOpenFailed:
    case ErrorEepromConnectionFailed:
    case ErrorEepromDisconnectionFailed:
    case ErrorEepromNotConnected:
    case ErrorEepromReadFailed:
    case ErrorDeviceConnectionFailed:
    case ErrorFtdiConfigurationFailed:
    case ErrorDeviceDisconnectionFailed:
    case ErrorMessageSendFailed:
        return replug;
    case ErrorDevicesDetectionFailed:
        return QStringLiteral("If any device is connected try restarting KAV4.");
    case ErrorEepromNotRecognized:
        return QStringLiteral("This device probably is not usable with KAV4.");
    case ErrorResourcesInitialization:
        return "The computer might not have resources to allocate\nPlease contact " + supportAddress +
               " and report\nyour system specifications.";
    case ErrorDeviceTypeNotControllable:
        return "Check the device info in \"?\" menu and\ncontact " + supportAddress +
               " to know\nwhich software you should use with your device.";
    case ErrorDeviceCommunicationFailed:
        return QStringLiteral("If you physically disconnected the USB cable just click disconnect.\n"
                              "If the USB cable is still connected the communication might be\n"
                              "re-established automatically. This will hardly take more than few seconds.");
    case ErrorDifferentDeviceTypes:
        return QStringLiteral(
            "The software can connect to more devices only if they are all of the same type.\n"
            "Check the Device information from the ? menu: only if the device version,\n"
            "device subversion and firmware version match the devices can be connected "
            "together.");
    default:
        return {};
    }
}
