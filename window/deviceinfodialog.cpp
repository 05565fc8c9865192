#include "window/deviceinfodialog.h"

#include "commlib/api/kv4cl.h"

#include <QClipboard>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

DeviceInfoDialog::DeviceInfoDialog(bool connected, const QStringList& deviceIds, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Device Info");
    grid = new QGridLayout;

    if (connected) {
        std::vector<std::string> ids;
        std::vector<uint8_t> versions, subversions;
        std::vector<uint32_t> firmwares;
        if (kv4cl::getConnectedDevicesInfo(ids, versions, subversions, firmwares) == kv4cl::Success) {
            for (size_t i = 0; i < ids.size(); i++)
                addDevice(QString::fromStdString(ids[i]) + " (connected)", versions[i], subversions[i],
                          firmwares[i]);
        } else {
            addLine("Error getting the device info");
            addLine("Please restart restart KAV4 and unplug/replug your device and try again");
        }
    } else if (deviceIds.isEmpty()) {
        addLine("No device connected");
        addLine("Please plug a device in to get its information");
    } else {
        for (const QString& id : deviceIds) {
            uint8_t version = 0, subversion = 0;
            uint32_t firmware = 0;
            if (kv4cl::getDeviceInfo(id.toStdString(), version, subversion, firmware) == kv4cl::Success) {
                addDevice(id + " (not connected)", version, subversion, firmware);
            } else {
                // The library could not make the device's EEPROM reader (an unreadable EEPROM
                // gives zeros instead).
                if (!lines.isEmpty()) addLine({});
                addLine("Device ID: ", id + " (not connected)");
                addLine("Error getting the device info");
            }
        }
    }

    auto* copyButton = new QPushButton("copy information to clipboard");
    connect(copyButton, &QPushButton::clicked, this, &DeviceInfoDialog::onCopyToClipboard);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(copyButton);
}

void DeviceInfoDialog::onCopyToClipboard() {
    QGuiApplication::clipboard()->setText(text());
}

void DeviceInfoDialog::addDevice(const QString& id, unsigned version, unsigned subversion,
                                 unsigned firmware) {
    if (!lines.isEmpty()) addLine({});
    addLine("Device ID: ", id);
    addLine("Device version: ", QString::number(version));
    addLine("Device subversion: ", QString::number(subversion));
    addLine("Firmware version: ", QString::number(firmware));
}

void DeviceInfoDialog::addLine(const QString& label, const QString& value) {
    const int row = int(lines.size());
    grid->addWidget(new QLabel(label), row, 0);
    if (!value.isEmpty()) grid->addWidget(new QLabel(value), row, 1);
    lines << label + value;
}
