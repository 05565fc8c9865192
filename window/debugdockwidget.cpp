#include "window/debugdockwidget.h"

#include "commlib/api/kv4cl.h"
#include "window/errormanager.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <limits>

namespace {

constexpr int lastBit = 6;         // message bytes carry 7 bits; bit 7 marks the message start
constexpr int largestField = 0x7F; // the 7 bits of one message byte
constexpr int largestWord = 0xFFFF;

QSpinBox* spinBox(const QString& name, int maximum) {
    auto* box = new QSpinBox;
    box->setObjectName(name);
    box->setRange(0, maximum);
    return box;
}

// EEPROM addresses and words are read and written in hexadecimal.
QSpinBox* hexSpinBox(const QString& name) {
    QSpinBox* box = spinBox(name, largestWord);
    box->setDisplayIntegerBase(16);
    box->setPrefix("0x");
    return box;
}

QLabel* labelFor(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    return label;
}

} // namespace

DebugDockWidget::DebugDockWidget(QWidget* parent) : QDockWidget("Debug", parent) {
    setObjectName("debugDw");
    setFloating(true);

    // The message length depends on the model: the library refuses a byte past its end.
    byteSpinBox = spinBox("byteSpinBox", std::numeric_limits<uint16_t>::max());
    bitSpinBox = spinBox("bitSpinBox", lastBit);
    statusCheckBox = new QCheckBox("Status");
    statusCheckBox->setObjectName("statusCheckBox");
    valueSpinBox = spinBox("valueSpinBox", largestField);
    eepromAddressSpinBox = hexSpinBox("eepromAddressSpinBox");
    eepromValueSpinBox = hexSpinBox("eepromValueSpinBox");
    statusLine = new QLabel;
    statusLine->setObjectName("statusLine");

    auto* applyBitButton = new QPushButton("Apply bit");
    auto* applyValueButton = new QPushButton("Apply value");
    auto* eepromWriteButton = new QPushButton("Eeprom write");
    auto* eepromReadButton = new QPushButton("Eeprom read");
    connect(applyBitButton, &QPushButton::clicked, this, &DebugDockWidget::applyBit);
    connect(applyValueButton, &QPushButton::clicked, this, &DebugDockWidget::applyValue);
    connect(eepromWriteButton, &QPushButton::clicked, this, &DebugDockWidget::writeEeprom);
    connect(eepromReadButton, &QPushButton::clicked, this, &DebugDockWidget::readEeprom);

    auto* layout = new QGridLayout;
    layout->addWidget(labelFor("Byte", byteSpinBox), 0, 0);
    layout->addWidget(byteSpinBox, 0, 1);
    layout->addWidget(labelFor("Bit", bitSpinBox), 0, 2);
    layout->addWidget(bitSpinBox, 0, 3);
    layout->addWidget(statusCheckBox, 0, 4);
    layout->addWidget(applyBitButton, 0, 5);
    layout->addWidget(labelFor("Value", valueSpinBox), 1, 2);
    layout->addWidget(valueSpinBox, 1, 3);
    layout->addWidget(applyValueButton, 1, 5);
    layout->addWidget(labelFor("Eeprom Address", eepromAddressSpinBox), 2, 0);
    layout->addWidget(eepromAddressSpinBox, 2, 1);
    layout->addWidget(labelFor("Eeprom Value", eepromValueSpinBox), 2, 2);
    layout->addWidget(eepromValueSpinBox, 2, 3);
    layout->addWidget(eepromWriteButton, 2, 4);
    layout->addWidget(eepromReadButton, 2, 5);
    layout->addWidget(statusLine, 3, 0, 1, 6);
    auto* content = new QWidget;
    content->setLayout(layout);
    setWidget(content);
}

bool DebugDockWidget::markerPresent() {
    // Created or removed while the program runs, it counts from the next start.
    static const bool present = QFileInfo::exists(QDir::homePath() + "/KAV4_debug.pls");
    return present;
}

void DebugDockWidget::applyBit() {
    report(kv4cl::setRawBit(uint16_t(byteSpinBox->value()), uint8_t(bitSpinBox->value()),
                            statusCheckBox->isChecked()));
}

void DebugDockWidget::applyValue() {
    report(kv4cl::setRawField(uint16_t(byteSpinBox->value()), uint8_t(valueSpinBox->value())));
}

void DebugDockWidget::writeEeprom() {
    report(kv4cl::writeEepromWord(uint32_t(eepromAddressSpinBox->value()),
                                  uint16_t(eepromValueSpinBox->value())));
}

void DebugDockWidget::readEeprom() {
    uint16_t word = 0;
    const kv4cl::ErrorCodes_t code = kv4cl::readEepromWord(uint32_t(eepromAddressSpinBox->value()), word);
    if (code == kv4cl::Success) eepromValueSpinBox->setValue(word);
    report(code);
}

void DebugDockWidget::report(kv4cl::ErrorCodes_t code) {
    statusLine->setText(code == kv4cl::Success ? QString() : ErrorManager::message(code));
}
