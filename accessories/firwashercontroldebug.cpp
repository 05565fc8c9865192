#include "accessories/firwashercontroldebug.h"

#include "accessories/firwasherpresetspeedsdlg.h"
#include "commlib/api/kv4cl.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLCDNumber>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>

QString FirWasherControlDebug::errorText(int8_t errorCode) {
    static const char* const texts[] = {
        "No Error",        "Timeout",        "Power Error",    "Communication Error",
        "Execution Error", "Overload Error", "Checksum Error", "Ill-formed Message"};
    if (errorCode < 0 || errorCode >= int8_t(std::size(texts))) return "Something else";
    return texts[errorCode];
}

FirWasherControlDebug::FirWasherControlDebug(QWidget* parent) : QDockWidget("Washer debug", parent) {
    setObjectName("firWasherCtrlDebugDw");
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(3, 3, 3, 3);
    auto* group = new QGroupBox("Stir bar rotation");
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < int(presetButtons.size()); i++) {
        presetButtons[i] = new QRadioButton(QString("preset speed %1").arg(i + 1));
        speedDisplays[i] = new QLCDNumber(4);
        speedDisplays[i]->setSegmentStyle(QLCDNumber::Flat);
        speedDisplays[i]->display(0);
        grid->addWidget(presetButtons[i], i, 0);
        grid->addWidget(speedDisplays[i], i, 1);
    }
    presetButtons[0]->setChecked(true);
    layout->addWidget(group);
    statusLabel = new QLabel("No Error");
    statusLabel->setObjectName("washerStatusLabel");
    layout->addWidget(statusLabel);

    auto* buttons = new QGridLayout;
    const std::pair<const char*, std::function<void()>> actions[] = {
        {"Reset error", [] { kv4cl::resetWasherError(); }},
        {"Start washing", [this] { startWashing(); }},
        {"Set preset speeds", [this] { setPresetSpeeds(); }},
        {"Update status",
         [this] {
             kv4cl::updateWasherState();
             refresh();
         }},
        {"Update speeds", [] { kv4cl::updateWasherPresetSpeeds(); }},
    };
    int index = 0;
    for (const auto& [text, action] : actions) {
        auto* button = new QPushButton(text);
        connect(button, &QPushButton::clicked, this, action);
        buttons->addWidget(button, index / 2, index % 2);
        index++;
    }
    layout->addLayout(buttons);
    layout->addStretch();
    setWidget(body);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &FirWasherControlDebug::refresh);
    timer->start(500);
}

void FirWasherControlDebug::refresh() {
    int8_t errorCode = 0;
    std::vector<int8_t> speeds;
    if (kv4cl::getWasherStatus(errorCode, speeds) != kv4cl::Success) return;
    statusLabel->setText(errorText(errorCode));
    for (size_t i = 0; i < speeds.size() && i < speedDisplays.size(); i++)
        speedDisplays[i]->display(int(speeds[i]));
}

void FirWasherControlDebug::startWashing() {
    for (int i = 0; i < int(presetButtons.size()); i++)
        if (presetButtons[i]->isChecked()) kv4cl::startWasher(uint16_t(i));
}

void FirWasherControlDebug::setPresetSpeeds() {
    FirWasherPresetSpeedsDlg dialog(this);
    if (dialog.exec() == QDialog::Accepted) kv4cl::setWasherPresetSpeeds(dialog.speeds());
}
