#include "controls/controlsdockwidget.h"

#include "acquisition/valuelabel.h"
#include "commlib/api/kv4cl.h"
#include "widgets/collapsiblesection.h"
#include "widgets/steppedspinbox.h"

#include <QButtonGroup>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegion>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>

using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;
using kv4cl::Success;

namespace {

// Per filter count from 2 to 5, from the highest cut-off to the lowest.
const QStringList bandwidthNames[] = {
    {"High bandwidth", "Low bandwidth"},
    {"High bandwidth", "Mid bandwidth", "Low bandwidth"},
    {"High bandwidth", "Mid high bandwidth", "Mid low bandwidth", "Low bandwidth"},
    {"High bandwidth", "Mid high bandwidth", "Mid bandwidth", "Mid low bandwidth", "Low bandwidth"},
};

const QString filterUnavailableTip = "Filtering option not available\nfor this voltage range";

constexpr int ledSize = 20;
constexpr int ledDiameter = 18;

template <typename T> QStringList labelsOf(const std::vector<T>& values) {
    QStringList labels;
    for (const T& v : values)
        labels << valueLabel(v);
    return labels;
}

template <typename T> bool holds(const std::vector<T>& list, int index) {
    return index >= 0 && size_t(index) < list.size();
}

// A filter section that the voltage range rules out keeps its lowest cut-off.
void setFilterAvailable(CollapsibleSection* section, bool available, int count, bool lowToHigh) {
    if (!section) return;
    section->onSetEnabled(available);
    section->setToolTip(available ? QString() : filterUnavailableTip);
    if (!available) section->onCheckButton(lowToHigh ? 0 : count - 1, true);
}

} // namespace

QWidget* makeOptionSection(const QString& title, const QStringList& labels, int defaultIdx) {
    if (labels.isEmpty()) return nullptr;
    if (labels.size() == 1) {
        auto* widget = new QWidget;
        auto* layout = new QHBoxLayout(widget);
        layout->addWidget(new QLabel(title));
        layout->addWidget(new QLabel(labels.front()));
        layout->addStretch();
        return widget;
    }
    auto* section = new CollapsibleSection(title, labels);
    section->onCheckButton(defaultIdx, true);
    return section;
}

FilterLabels filterLabels(const std::vector<Measurement_t>& cutoffs) {
    FilterLabels result{labelsOf(cutoffs), true};
    const size_t count = cutoffs.size();
    if (count < 2 || count > 5) return result;
    QStringList names = bandwidthNames[count - 2];
    result.lowToHigh = !(cutoffs[0] > cutoffs[1]);
    if (result.lowToHigh) std::reverse(names.begin(), names.end());
    for (size_t i = 0; i < count; i++)
        result.labels[i] += " - " + names[i];
    return result;
}

ControlsDockWidget::ControlsDockWidget(QWidget* parent) : QDockWidget("Controls", parent) {
    setObjectName("controlsDw");
    auto* content = new QWidget;
    sections = new QVBoxLayout(content);
    buildVoltageControls();
    buildCurrentRanges();
    buildGpRanges();
    buildSamplingControls();
    buildVoltageReference();
    buildLeds();
    buildCustomControls();
    sections->addStretch();

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    setWidget(scroll);
}

CollapsibleSection* ControlsDockWidget::addSection(const QString& title, const QStringList& labels,
                                                   int defaultIdx) {
    QWidget* section = makeOptionSection(title, labels, defaultIdx);
    if (!section) return nullptr;
    sections->addWidget(section);
    return qobject_cast<CollapsibleSection*>(section);
}

void ControlsDockWidget::buildVoltageControls() {
    uint16_t defaultIdx = 0;
    if (kv4cl::getVoltageRanges(voltageRanges, defaultIdx) == Success) {
        voltageRangeSection = addSection("Voltage range", labelsOf(voltageRanges), defaultIdx);
        if (voltageRangeSection)
            connect(voltageRangeSection, &CollapsibleSection::buttonToggled, this,
                    &ControlsDockWidget::onVoltageRangeToggled);
    }
    if (kv4cl::getVoltageStimulusLpfs(stimulusLpfs, defaultIdx) == Success) {
        const FilterLabels filters = filterLabels(stimulusLpfs);
        stimulusLpfsLowToHigh = filters.lowToHigh;
        stimulusLpfSection = addSection("Voltage command filter", filters.labels, defaultIdx);
        if (stimulusLpfSection)
            connect(stimulusLpfSection, &CollapsibleSection::buttonToggled, this,
                    &ControlsDockWidget::onVoltageStimulusLpfToggled);
    }
    if (kv4cl::getVoltageFilterAvailability(filterAvailability) != Success) filterAvailability.clear();
}

void ControlsDockWidget::buildCurrentRanges() {
    uint32_t voltageChannels = 0, channels = 0, gpChannels = 0;
    uint16_t defaultIdx = 0;
    bool independent = false;
    if (kv4cl::getChannelCounts(voltageChannels, channels, gpChannels) != Success ||
        kv4cl::getCurrentRanges(currentRanges, defaultIdx) != Success ||
        kv4cl::hasIndependentCurrentRanges(independent) != Success || currentRanges.empty())
        return;
    currentChannels = int(channels);
    selectedCurrentRanges.assign(size_t(currentChannels), int(defaultIdx));
    const QStringList labels = labelsOf(currentRanges);
    if (!independent) {
        CollapsibleSection* section = addSection("Current range", labels + QStringList{"Auto"}, defaultIdx);
        connect(section, &CollapsibleSection::buttonToggled, this,
                [this](int index, bool on) { onCurrentRangeToggled(index, currentChannels, on); });
        currentRangeSections.push_back(section);
        // While "Auto" is chosen, the range it has moved to.
        autoRangeLabel = new QLabel;
        autoRangeLabel->setObjectName("autoRangeLabel");
        autoRangeLabel->hide();
        sections->addWidget(autoRangeLabel);
        return;
    }
    // A row per channel and a column per range, under a row that sets every channel: with 16 or
    // 32 channels a section per channel would fill many screens.
    sections->addWidget(new QLabel("Current range"));
    currentRangeTable = new QWidget;
    currentRangeTable->setObjectName("currentRangeTable");
    auto* table = new QGridLayout(currentRangeTable);
    table->setContentsMargins(0, 0, 0, 0);
    table->setVerticalSpacing(0);
    allRangesRow = new QButtonGroup(currentRangeTable);
    auto addRow = [&](int row, const QString& name, QButtonGroup* group, const QString& toolTip) {
        table->addWidget(new QLabel(name), row, 0);
        for (int index = 0; index < int(labels.size()); index++) {
            auto* button = new QRadioButton;
            button->setToolTip(toolTip + labels[index]);
            group->addButton(button, index);
            table->addWidget(button, row, index + 1, Qt::AlignCenter);
        }
    };
    for (int index = 0; index < int(labels.size()); index++)
        table->addWidget(new QLabel(labels[index]), 0, index + 1, Qt::AlignCenter);
    addRow(1, "set all", allRangesRow, "Set every channel to ");
    connect(allRangesRow, &QButtonGroup::idClicked, this,
            [this](int index) { onCurrentRangeToggled(index, currentChannels, true); });
    for (int channel = 0; channel < currentChannels; channel++) {
        const QString name = QString("Ch%1").arg(channel + 1);
        auto* row = new QButtonGroup(currentRangeTable);
        addRow(channel + 2, name, row, name + ": ");
        connect(row, &QButtonGroup::idToggled, this,
                [this, channel](int index, bool on) { onCurrentRangeToggled(index, channel, on); });
        currentRangeRows.push_back(row);
    }
    showCurrentRanges();
    sections->addWidget(currentRangeTable);
}

void ControlsDockWidget::buildGpRanges() {
    std::vector<uint16_t> defaults;
    std::vector<std::string> names;
    if (kv4cl::getGpRanges(gpRanges, defaults, names) != Success) {
        gpRanges.clear();
        return;
    }
    for (int channel = 0; channel < int(gpRanges.size()); channel++) {
        const QString title = holds(names, channel) ? QString::fromStdString(names[channel])
                                                    : QString("GP range %1").arg(channel + 1);
        CollapsibleSection* section =
            addSection(title, labelsOf(gpRanges[channel]), holds(defaults, channel) ? defaults[channel] : 0);
        if (section)
            connect(section, &CollapsibleSection::buttonToggled, this,
                    [this, channel](int index, bool on) { onGpRangeToggled(index, channel, on); });
    }
}

void ControlsDockWidget::buildSamplingControls() {
    uint16_t defaultIdx = 0;
    // The buttons show the nominal rates; everything computes with the rates really sampled.
    std::vector<Measurement_t> nominalRates;
    if (kv4cl::getSamplingRates(nominalRates, defaultIdx) == Success &&
        kv4cl::getRealSamplingRates(samplingRates) == Success &&
        samplingRates.size() == nominalRates.size() && holds(samplingRates, defaultIdx)) {
        baseSamplingRate = samplingRates[defaultIdx];
        samplingRateSection = addSection("Sampling rate", labelsOf(nominalRates), defaultIdx);
        if (samplingRateSection)
            connect(samplingRateSection, &CollapsibleSection::buttonToggled, this,
                    &ControlsDockWidget::onSamplingRateToggled);
    }
    if (kv4cl::getOversamplingRatios(oversamplingRatios, defaultIdx) == Success &&
        holds(oversamplingRatios, defaultIdx)) {
        oversamplingRatio = oversamplingRatios[defaultIdx];
        QStringList labels;
        for (uint16_t ratio : oversamplingRatios)
            labels << QString("x%1").arg(ratio);
        oversamplingSection = addSection("Oversampling", labels, defaultIdx);
        if (oversamplingSection)
            connect(oversamplingSection, &CollapsibleSection::buttonToggled, this,
                    &ControlsDockWidget::onOversamplingRatioToggled);
    }
}

void ControlsDockWidget::buildVoltageReference() {
    uint16_t defaultIdx = 0;
    if (kv4cl::getVoltageReferenceRanges(referenceRanges, defaultIdx) == Success &&
        holds(referenceRanges, defaultIdx)) {
        selectedReferenceRange = defaultIdx;
        if (CollapsibleSection* section =
                addSection("Voltage reference range", labelsOf(referenceRanges), defaultIdx))
            connect(section, &CollapsibleSection::buttonToggled, this,
                    &ControlsDockWidget::onVoltageReferenceRangeToggled);
        referenceSpinBox = new SteppedSpinBox;
        referenceSpinBox->setObjectName("voltageReferenceSpinBox");
        bindReferenceSpinBox();
        connect(referenceSpinBox, &QDoubleSpinBox::editingFinished, this,
                [this] { kv4cl::setVoltageReference(referenceSpinBox->getMeasurement()); });
        auto* row = new QHBoxLayout;
        auto* label = new QLabel("Voltage reference");
        label->setBuddy(referenceSpinBox);
        row->addWidget(label);
        row->addWidget(referenceSpinBox);
        row->addWidget(new QLabel("mV"));
        sections->addLayout(row);
    }
    if (kv4cl::getVoltageReferenceLpfs(referenceLpfs, defaultIdx) == Success) {
        const FilterLabels filters = filterLabels(referenceLpfs);
        referenceLpfsLowToHigh = filters.lowToHigh;
        referenceLpfSection = addSection("Voltage reference filter", filters.labels, defaultIdx);
        if (referenceLpfSection)
            connect(referenceLpfSection, &CollapsibleSection::buttonToggled, this,
                    &ControlsDockWidget::onVoltageReferenceLpfToggled);
    }
}

void ControlsDockWidget::buildLeds() {
    std::vector<uint32_t> colors;
    if (kv4cl::getLeds(colors) != Success || colors.empty()) return;
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("LEDs"));
    for (int i = 0; i < int(colors.size()); i++) {
        auto* led = new QPushButton;
        led->setCheckable(true);
        led->setFixedSize(ledSize, ledSize);
        const int inset = (ledSize - ledDiameter) / 2;
        led->setMask(QRegion(inset, inset, ledDiameter, ledDiameter, QRegion::Ellipse));
        const uint32_t color = colors[i];
        led->setStyleSheet(QString("background-color: rgb(%1, %2, %3)")
                               .arg(color >> 16 & 0xFF)
                               .arg(color >> 8 & 0xFF)
                               .arg(color & 0xFF));
        connect(led, &QPushButton::toggled, this, [this, i](bool on) { onLedToggled(i, on); });
        row->addWidget(led);
    }
    row->addStretch();
    sections->addLayout(row);
}

void ControlsDockWidget::buildCustomControls() {
    // The defaults of flags and values are sent again: the device may have been left otherwise.
    std::vector<std::string> names;
    std::vector<bool> flagDefaults;
    if (kv4cl::getSwitchesList(names, flagDefaults) == Success) {
        for (int i = 0; i < int(names.size()) && i < int(flagDefaults.size()); i++) {
            auto* button = new QPushButton(QString::fromStdString(names[i]));
            button->setCheckable(true);
            button->setChecked(flagDefaults[i]);
            kv4cl::setSwitch(uint16_t(i), flagDefaults[i]);
            connect(button, &QPushButton::clicked, this, [i](bool on) { kv4cl::setSwitch(uint16_t(i), on); });
            sections->addWidget(button);
        }
    }

    std::vector<std::vector<std::string>> options;
    std::vector<uint16_t> optionDefaults;
    if (kv4cl::getChoicesList(names, options, optionDefaults) == Success) {
        for (int i = 0; i < int(names.size()) && i < int(options.size()); i++) {
            QStringList labels;
            for (const std::string& option : options[i])
                labels << QString::fromStdString(option);
            CollapsibleSection* section = addSection(QString::fromStdString(names[i]), labels,
                                                     holds(optionDefaults, i) ? optionDefaults[i] : 0);
            if (section)
                connect(section, &CollapsibleSection::buttonToggled, this, [i](int option, bool on) {
                    if (on) kv4cl::setChoice(uint16_t(i), uint16_t(option));
                });
        }
    }

    std::vector<RangedMeasurement_t> ranges;
    std::vector<double> valueDefaults;
    if (kv4cl::getCustomDoublesList(names, ranges, valueDefaults) == Success) {
        for (int i = 0; i < int(names.size()) && i < int(ranges.size()) && i < int(valueDefaults.size());
             i++) {
            const RangedMeasurement_t& range = ranges[i];
            auto* spinBox = new QDoubleSpinBox;
            spinBox->setDecimals(SteppedSpinBox::decimalsForStep(range.step));
            spinBox->setRange(range.min, range.max);
            spinBox->setSingleStep(range.step);
            spinBox->setSuffix(" " + QString::fromStdString(range.label()));
            spinBox->setValue(valueDefaults[i]);
            kv4cl::setCustomDouble(uint16_t(i), valueDefaults[i]);
            connect(spinBox, &QDoubleSpinBox::valueChanged, this,
                    [i](double value) { kv4cl::setCustomDouble(uint16_t(i), value); });
            auto* row = new QHBoxLayout;
            auto* label = new QLabel(QString::fromStdString(names[i]));
            label->setBuddy(spinBox);
            row->addWidget(label);
            row->addWidget(spinBox);
            sections->addLayout(row);
        }
    }
}

void ControlsDockWidget::onVoltageRangeToggled(int index, bool on) {
    if (!on || !holds(voltageRanges, index) || kv4cl::setVoltageRange(uint16_t(index)) != Success) return;
    emit voltageRangeChanged(voltageRanges[index]);
    applyFilterAvailability(index);
}

void ControlsDockWidget::applyFilterAvailability(int voltageRangeIdx) {
    if (!holds(filterAvailability, voltageRangeIdx)) return;
    // Bit 0 allows the stimulus filter, bit 1 the reference filter.
    const uint16_t code = filterAvailability[voltageRangeIdx];
    setFilterAvailable(stimulusLpfSection, code & 1, int(stimulusLpfs.size()), stimulusLpfsLowToHigh);
    setFilterAvailable(referenceLpfSection, code & 2, int(referenceLpfs.size()), referenceLpfsLowToHigh);
}

void ControlsDockWidget::onCurrentRangeToggled(int index, int channelIdx, bool on) {
    if (!on || recording || channelIdx < 0 || channelIdx > currentChannels) return;
    if (channelIdx == currentChannels && index == int(currentRanges.size())) {
        autoRange = true;
        showAutoRange();
        emit currentRangeAuto(true);
        return;
    }
    if (!holds(currentRanges, index)) return;
    autoRange = false;
    showAutoRange();
    emit currentRangeAuto(false);
    applyCurrentRange(index, channelIdx);
}

void ControlsDockWidget::onSetCurrentRange(int index, int channelIdx) {
    if (recording || channelIdx < 0 || channelIdx > currentChannels || !holds(currentRanges, index)) return;
    applyCurrentRange(index, channelIdx);
}

void ControlsDockWidget::applyCurrentRange(int index, int channelIdx) {
    if (kv4cl::setCurrentRange(uint16_t(index), uint16_t(channelIdx)) == Success) {
        const bool all = channelIdx == currentChannels;
        for (int channel = all ? 0 : channelIdx; channel < (all ? currentChannels : channelIdx + 1);
             channel++) {
            selectedCurrentRanges[size_t(channel)] = index;
            emit currentRangeChanged(currentRanges[index], channel);
        }
    }
    showCurrentRanges();
}

void ControlsDockWidget::showCurrentRanges() {
    if (!allRangesRow) return;
    for (size_t channel = 0; channel < currentRangeRows.size(); channel++) {
        const QSignalBlocker blocker(currentRangeRows[channel]);
        currentRangeRows[channel]->button(selectedCurrentRanges[channel])->setChecked(true);
    }
    const std::vector<int>& selected = selectedCurrentRanges;
    const bool common =
        std::adjacent_find(selected.begin(), selected.end(), std::not_equal_to<>()) == selected.end();
    // Exclusive buttons cannot all be cleared: for a moment they are not.
    allRangesRow->setExclusive(false);
    for (QAbstractButton* button : allRangesRow->buttons())
        button->setChecked(common && allRangesRow->id(button) == selected.front());
    allRangesRow->setExclusive(true);
}

void ControlsDockWidget::onMoveCurrentRange(int step) {
    // Automatic ranging exists only where one range serves every channel.
    if (selectedCurrentRanges.empty() || currentRangeSections.size() != 1) return;
    const int index = std::clamp(selectedCurrentRanges.front() + step, 0, int(currentRanges.size()) - 1);
    if (index != selectedCurrentRanges.front()) onSetCurrentRange(index, currentChannels);
    showAutoRange();
}

void ControlsDockWidget::showAutoRange() {
    if (!autoRangeLabel) return;
    autoRangeLabel->setText("Range in force: " +
                            valueLabel(currentRanges[size_t(selectedCurrentRanges.front())]));
    autoRangeLabel->setVisible(autoRange);
}

void ControlsDockWidget::onGpRangeToggled(int index, int channelIdx, bool on) {
    if (on) onSetGpRange(index, channelIdx);
}

void ControlsDockWidget::onSetGpRange(int index, int channelIdx) {
    if (recording || !holds(gpRanges, channelIdx) || !holds(gpRanges[channelIdx], index)) return;
    if (kv4cl::setGpRange(uint16_t(index), uint16_t(channelIdx)) != Success) return;
    emit gpRangeChanged(gpRanges[channelIdx][index], channelIdx);
    if (referenceSpinBox) bindReferenceSpinBox();
}

void ControlsDockWidget::bindReferenceSpinBox() {
    // The unit label says millivolts whatever prefix the model gives its ranges.
    referenceSpinBox->setRange(referenceRanges[selectedReferenceRange].converted(kv4cl::UnitPfxMilli));
}

void ControlsDockWidget::onSamplingRateToggled(int index, bool on) {
    if (!on || !holds(samplingRates, index) || kv4cl::setSamplingRate(uint16_t(index)) != Success) return;
    baseSamplingRate = samplingRates[index];
    announceSamplingRate();
}

void ControlsDockWidget::onOversamplingRatioToggled(int index, bool on) {
    if (!on || !holds(oversamplingRatios, index) || kv4cl::setOversamplingRatio(uint16_t(index)) != Success)
        return;
    oversamplingRatio = oversamplingRatios[index];
    emit oversamplingRatioChanged({double(oversamplingRatio), kv4cl::UnitPfxNone, ""});
    announceSamplingRate();
}

void ControlsDockWidget::announceSamplingRate() {
    if (samplingRates.empty()) return; // the library gave no rate to announce
    Measurement_t effective = baseSamplingRate;
    effective.value *= oversamplingRatio;
    emit samplingRateChanged(baseSamplingRate, effective);
}

void ControlsDockWidget::onVoltageStimulusLpfToggled(int index, bool on) {
    if (on && holds(stimulusLpfs, index)) kv4cl::setVoltageStimulusLpf(uint16_t(index));
}

void ControlsDockWidget::onVoltageReferenceLpfToggled(int index, bool on) {
    if (on && holds(referenceLpfs, index)) kv4cl::setVoltageReferenceLpf(uint16_t(index));
}

void ControlsDockWidget::onVoltageReferenceRangeToggled(int index, bool on) {
    if (!on || !holds(referenceRanges, index) || kv4cl::setVoltageReferenceRange(uint16_t(index)) != Success)
        return;
    selectedReferenceRange = index;
    bindReferenceSpinBox();
}

void ControlsDockWidget::onLedToggled(int index, bool on) {
    kv4cl::setLed(uint16_t(index), on);
}

void ControlsDockWidget::onRecording(bool flag) {
    recording = flag;
    for (CollapsibleSection* section : {voltageRangeSection, samplingRateSection, oversamplingSection})
        if (section) section->onSetEnabled(!flag);
    for (CollapsibleSection* section : currentRangeSections)
        section->onSetEnabled(!flag);
    if (currentRangeTable) currentRangeTable->setEnabled(!flag);
}
