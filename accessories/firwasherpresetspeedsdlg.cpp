#include "accessories/firwasherpresetspeedsdlg.h"

#include "commlib/api/kv4cl.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>
#include <cmath>

QSpinBox* newPresetSpeedSpinBox() {
    auto* spinBox = new QSpinBox;
    kv4cl::RangedMeasurement_t range;
    if (kv4cl::getWasherSpeedRange(range) == kv4cl::Success)
        spinBox->setRange(int(std::max(std::ceil(range.min), double(INT8_MIN))),
                          int(std::min(std::floor(range.max), double(INT8_MAX))));
    else
        spinBox->setRange(INT8_MIN, INT8_MAX);
    return spinBox;
}

FirWasherPresetSpeedsDlg::FirWasherPresetSpeedsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Preset speeds editor");
    auto* form = new QFormLayout(this);
    std::vector<int8_t> current;
    kv4cl::getWasherPresetSpeeds(current);
    for (int i = 0; i < int(speedSpinBoxes.size()); i++) {
        speedSpinBoxes[i] = newPresetSpeedSpinBox();
        if (i < int(current.size())) speedSpinBoxes[i]->setValue(current[i]);
        form->addRow(QString("preset speed %1").arg(i + 1), speedSpinBoxes[i]);
    }
    auto* buttons = new QHBoxLayout;
    auto* cancel = new QPushButton("Cancel");
    auto* ok = new QPushButton("Ok");
    ok->setDefault(true);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    form->addRow(buttons);
}

std::vector<int8_t> FirWasherPresetSpeedsDlg::speeds() const {
    std::vector<int8_t> values;
    for (const QSpinBox* spinBox : speedSpinBoxes)
        values.push_back(int8_t(spinBox->value()));
    return values;
}
