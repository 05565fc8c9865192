#include "window/connectiondock.h"

#include "window/devicedetector.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>

namespace {

const QString allDevicesEntry = "All";

} // namespace

ConnectionDock::ConnectionDock(QWidget* parent)
    : QDockWidget("Connection", parent), deviceComboBox(new QComboBox),
      connectButton(new QPushButton("Connect")) {
    setObjectName("deviceDetectorDw");
    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(3);
    deviceComboBox->setObjectName("deviceComboBox");
    deviceComboBox->setEnabled(false);
    deviceComboBox->setFixedWidth(deviceComboBox->fontMetrics().horizontalAdvance("device device device"));
    layout->addWidget(deviceComboBox);
    connectButton->setObjectName("connectButton");
    connectButton->setEnabled(false);
    connectButton->setCheckable(true);
    connect(connectButton, &QPushButton::clicked, this, &ConnectionDock::connectClicked);
    layout->addWidget(connectButton);
    layout->addStretch();
    setWidget(widget);

    detectorThread = std::make_unique<DetectorThread>();
    DeviceDetector* detector = detectorThread->detector();
    connect(detector, &DeviceDetector::devicesListChanged, this,
            [this, detector](const std::vector<std::string>& ids) {
                detector->takeHandOver();
                emit devicesDetected(ids);
            });
    connect(this, SIGNAL(startDetecting()), detector, SLOT(onStartDetecting()));
    connect(this, SIGNAL(stopDetecting()), detector, SLOT(onStopDetecting()));
    detectorThread->start();
    emit startDetecting();
}

ConnectionDock::~ConnectionDock() = default;

void ConnectionDock::detect(bool on) {
    on ? emit startDetecting() : emit stopDetecting();
}

QStringList ConnectionDock::listedIds() const {
    QStringList ids;
    for (int i = 0; i < deviceComboBox->count(); i++)
        if (deviceComboBox->itemText(i) != allDevicesEntry) ids << deviceComboBox->itemText(i);
    return ids;
}

std::vector<std::string> ConnectionDock::chosenIds() const {
    if (deviceComboBox->currentText() != allDevicesEntry)
        return {deviceComboBox->currentText().toStdString()};
    std::vector<std::string> ids;
    for (const QString& id : listedIds())
        ids.push_back(id.toStdString());
    return ids;
}

void ConnectionDock::showConnected(bool on) {
    connectButton->setText(on ? "Disconnect" : "Connect");
    connectButton->setChecked(on);
    deviceComboBox->setEnabled(!on);
}

bool ConnectionDock::list(const std::vector<std::string>& ids, bool connected) {
    if (ids.empty()) {
        if (connected) return true;
        deviceComboBox->clear();
        deviceComboBox->setEnabled(false);
        connectButton->setEnabled(false);
        return true;
    }
    const QString chosen = deviceComboBox->currentText();
    deviceComboBox->clear();
    for (const std::string& id : ids)
        deviceComboBox->addItem(QString::fromStdString(id));
    // A set connected with "All" stays chosen as long as several devices are listed.
    if (ids.size() > 1) deviceComboBox->addItem(allDevicesEntry);
    if (!connected) {
        deviceComboBox->setEnabled(true);
        connectButton->setEnabled(true);
        return true;
    }
    const int index = deviceComboBox->findText(chosen);
    if (index >= 0) deviceComboBox->setCurrentIndex(index);
    return index >= 0;
}
