#include "analysis/rcestimation/rcestimationwidget.h"

#include "acquisition/valuelabel.h"
#include "analysis/framework/analysis.h"
#include "analysis/framework/resultformat.h"
#include "recording/labbookevent.h"
#include "widgets/copyabletable.h"
#include "widgets/steppedspinbox.h"

#include "commlib/api/kv4cl.h"

#include <QAction>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QToolButton>

#include <algorithm>
#include <cmath>

using kv4cl::ErrorCodes_t;
using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

namespace {

QString settingsKey(const QString& name) {
    return "Analysis/Online/RCEstimation/" + name;
}

// The override kept for a parameter, else its default. The settings may have been edited: a
// value the box cannot take (not a number, or outside its range) is dropped, not clamped.
double storedOverride(const QString& name, const RangedMeasurement_t& range, double fallback) {
    QSettings settings;
    const QString key = settingsKey(name);
    if (!settings.contains(key)) return fallback;
    const QString stored = settings.value(key).toString();
    bool number = false;
    const double value = stored.toDouble(&number);
    if (number && value >= range.min && value <= range.max) return value;
    qWarning("The setting %s, \"%s\", is no value from %g to %g: it is dropped and %g is used",
             qPrintable(key), qPrintable(stored), range.min, range.max, fallback);
    settings.remove(key);
    return fallback;
}

QString cellText(const Measurement_t& value) {
    return resultText(value);
}

// The prefix that fits the largest finite value of a line, so that none of them reads 0.
kv4cl::UnitPfx_t linePrefix(const std::vector<Measurement_t>& line) {
    Measurement_t largest{0.0, kv4cl::UnitPfxNone, ""};
    for (const Measurement_t& m : line)
        if (std::isfinite(m.value) && std::abs(m.value) > std::abs(largest.value)) largest = m;
    return kv4cl::withFittingPrefix(largest).prefix;
}

bool anyEnabled(const std::vector<QPushButton*>& buttons) {
    return std::any_of(buttons.begin(), buttons.end(), [](const QPushButton* b) { return b->isEnabled(); });
}

} // namespace

// Always every channel at once.
RCEstimationWidget::RCEstimationWidget(const ChannelCounts& channels, QWidget* parent)
    : AnalysisWidget(channels, int(channels.current), {LabbookTool, ExportTool}, parent),
      protocols(ProtocolTable::read()) {
    analysisTitle = "RC Estimation";
    setWindowTitle(analysisTitle);

    auto* checks = new QHBoxLayout;
    buildPanel(Resistance, "Estimate\nResistance",
               "Use this box to override protocol parameters/nduring resistance estimation");
    buildPanel(Capacitance, "Estimate\nCapacitance",
               "Use this box to override protocol parameters/nduring capacitance estimation");
    for (Panel& p : panels) {
        auto* column = new QVBoxLayout;
        column->addWidget(p.check);
        column->addWidget(p.box);
        column->addStretch();
        checks->addLayout(column);
    }
    warning = new QLabel(plotFrame());
    warning->setStyleSheet("QLabel { background-color : rgb(255, 255, 128); color : rgb(255, 0, 0) }");
    warning->hide();

    values = new CopyableTable(plotFrame());
    installEventFilter(values);
    values->setRowCount(2);
    values->setColumnCount(currentChannelsNum);
    values->setVerticalHeaderLabels({"Resistance", "Capacitance"});
    QStringList columns;
    for (int c = 0; c < currentChannelsNum; c++)
        columns << QString("Ch. %1").arg(c + 1);
    values->setHorizontalHeaderLabels(columns);
    values->verticalHeader()->setDefaultSectionSize(20);
    resistances.assign(size_t(currentChannelsNum), {std::nan(""), kv4cl::UnitPfxNone, "Ω"});
    saturatedResistances.assign(size_t(currentChannelsNum), false);
    capacitances.assign(size_t(currentChannelsNum), {std::nan(""), kv4cl::UnitPfxNone, "F"});
    for (int c = 0; c < currentChannelsNum; c++) {
        showValue(0, c, resistances[size_t(c)]);
        showValue(1, c, capacitances[size_t(c)]);
    }

    auto* layout = static_cast<QVBoxLayout*>(plotFrame()->layout());
    layout->addLayout(checks);
    layout->addWidget(warning);
    layout->addWidget(values, 1);
    if (kv4cl::CompensationControl_t cFast; kv4cl::getCFastControl(cFast) == kv4cl::Success) {
        values->setRowCount(3);
        values->setVerticalHeaderItem(2, new QTableWidgetItem("CFast"));
        for (int c = 0; c < currentChannelsNum; c++) {
            auto* button = new QPushButton("Apply to CFast");
            button->setToolTip(QString("Compensate channel %1 with its capacitance estimate").arg(c + 1));
            button->setEnabled(false);
            values->setCellWidget(2, c, button);
            cFastButtons.push_back(button);
            connect(button, &QPushButton::clicked, this, [this, c] { applyToCFast({c}); });
        }
        cFastAll = new QPushButton("Apply to CFast", plotFrame());
        cFastAll->setToolTip("Compensate every channel with its capacitance estimate");
        cFastAll->setEnabled(false);
        values->setRowHeight(2, cFastAll->sizeHint().height());
        // Every row in sight, the buttons' too, whatever room the dock has.
        values->setMinimumHeight(values->horizontalHeader()->sizeHint().height() +
                                 2 * values->verticalHeader()->defaultSectionSize() + values->rowHeight(2) +
                                 values->horizontalScrollBar()->sizeHint().height() +
                                 2 * values->frameWidth());
        auto* all = new QHBoxLayout;
        all->addWidget(new QLabel("All channels:", plotFrame()));
        all->addWidget(cFastAll);
        all->addStretch();
        layout->addLayout(all);
        connect(cFastAll, &QPushButton::clicked, this, [this] {
            std::vector<int> estimated;
            for (int c = 0; c < currentChannelsNum; c++)
                if (cFastButtons[size_t(c)]->isEnabled()) estimated.push_back(c);
            applyToCFast(estimated);
        });
    }

    connect(this, &AnalysisWidget::startConsuming, this, &RCEstimationWidget::onStart);
    connect(this, &AnalysisWidget::stopConsuming, this, &RCEstimationWidget::onStop);
    // Reset starts the estimation running over.
    connect(this, &AnalysisWidget::resetConsuming, this, [this] {
        for (AnalysisConsumer* consumer : {(AnalysisConsumer*)rConsumer, (AnalysisConsumer*)cConsumer})
            if (consumer && consumer->isRunning()) consumer->onResetConsuming();
    });
    // A dock closed cannot show what it computes: it stops. One behind another's tab runs on.
    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (!visible && isHidden() && toolButton(StopTool)->isEnabled()) toolButton(StopTool)->click();
    });
    onEdited();
}

void RCEstimationWidget::buildPanel(Estimation e, const QString& checkText, const QString& toolTip) {
    Panel& p = panels[e];
    p.check = new QCheckBox(checkText, plotFrame());
    p.check->setChecked(true);
    p.box = new QGroupBox(plotFrame());
    p.box->setToolTip(toolTip);
    auto* form = new QFormLayout(p.box);
    p.available = (e == Resistance ? kv4cl::getREstimationProtocol(p.protocolIdx)
                                   : kv4cl::getCEstimationProtocol(p.protocolIdx)) == kv4cl::Success;
    if (p.available && p.protocolIdx < protocols.protocols.size())
        for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
            for (uint16_t i : protocols.protocols[p.protocolIdx].parameters[f]) {
                // Vhold is the stimulus's during an estimation too.
                if (f == ProtocolTable::Voltages && i == 0) continue;
                const ProtocolTable::Parameter& parameter = protocols.parameters[f][i];
                auto* box = new SteppedSpinBox(p.box);
                box->setRange(parameter.range);
                box->setValue(storedOverride(parameter.name, parameter.range, parameter.defaultValue));
                const QString unit = QString::fromStdString(parameter.range.label());
                form->addRow(parameter.name + (unit.isEmpty() ? "" : " [" + unit + "]"), box);
                p.overrides.push_back({ProtocolTable::Family(f), i, parameter.name, box});
                connect(box, &SteppedSpinBox::valueChanged, this, &RCEstimationWidget::onEdited);
            }
    // More periods for a noisy cell, fewer for a quick look.
    const QString repetitionsName = e == Resistance ? "Resistance repetitions" : "Capacitance repetitions";
    p.repetitions = new QSpinBox(p.box);
    p.repetitions->setRange(1, 1000);
    p.repetitions->setValue(int(storedOverride(repetitionsName, {1.0, 1000.0, 1.0, kv4cl::UnitPfxNone, ""},
                                               e == Resistance ? 3 : 10)));
    form->addRow("Repetitions", p.repetitions);
    connect(p.repetitions, &QSpinBox::valueChanged, this, [this, e, repetitionsName](int periods) {
        QSettings().setValue(settingsKey(repetitionsName), periods);
        sendRepetitions(e);
    });
    if (!p.available) {
        p.check->setChecked(false);
        p.check->setEnabled(false);
        p.box->setEnabled(false);
    }
    connect(p.check, &QCheckBox::toggled, this, [this, e](bool on) {
        Panel& other = panels[1 - e];
        panels[e].box->setEnabled(on);
        // One estimation is always chosen.
        if (!on && !other.check->isChecked() && other.available) other.check->setChecked(true);
        if (!on && !other.available) panels[e].check->setChecked(true);
    });
}

void RCEstimationWidget::sendRepetitions(Estimation e) const {
    const int periods = panels[e].repetitions->value();
    if (e == Resistance && rConsumer) rConsumer->setRepetitions(periods);
    if (e == Capacitance && cConsumer) cConsumer->setRepetitions(periods);
}

void RCEstimationWidget::setConsumers(REstimationConsumer* resistance, CEstimationConsumer* capacitance) {
    rConsumer = resistance;
    cConsumer = capacitance;
    sendRepetitions(Resistance);
    sendRepetitions(Capacitance);
    receive(rConsumer, [this](const REstimationConsumer::Result_t& res) { onResult(res); });
    receive(cConsumer, [this](const CEstimationConsumer::Result_t& res) { onResult(res); });
}

bool RCEstimationWidget::judge(const Panel& panel, std::string& message) const {
    ProtocolTable::Values all = protocols.defaults();
    for (const Override& o : panel.overrides) {
        if (protocols.check(o.family, o.paramIdx, o.box->value(), message) != kv4cl::Success) return false;
        all[o.family][o.paramIdx] = o.box->value();
    }
    // The protocol's own rules, the parameters not overridden at their defaults.
    return protocols.judge(panel.protocolIdx, all, message) == kv4cl::Success;
}

void RCEstimationWidget::onEdited() {
    std::string message;
    invalid = false;
    for (const Panel& p : panels)
        if (p.available && !judge(p, message)) {
            invalid = true;
            break;
        }
    warning->setText(QString::fromStdString(message));
    warning->setVisible(invalid);
    if (!running) toolButton(StartTool)->setEnabled(!invalid);
}

std::vector<StimulusService::Override> RCEstimationWidget::overrides(const Panel& panel) const {
    std::vector<StimulusService::Override> values;
    for (const Override& o : panel.overrides)
        values.push_back({o.family, o.paramIdx, o.box->value()});
    return values;
}

void RCEstimationWidget::setStimulus(StimulusService* service) {
    stimulus = service;
}

void RCEstimationWidget::onApplyParameters() {
    if (running || invalid) return;
    QSettings settings;
    for (const Panel& p : panels)
        for (const Override& o : p.overrides)
            settings.setValue(settingsKey(o.name), o.box->value());
    // The first estimation to run is the resistance's whenever it is chosen.
    for (const StimulusService::Override& o :
         overrides(panels[panels[Resistance].check->isChecked() ? Resistance : Capacitance]))
        protocols.send(o.family, o.paramIdx, o.value);
}

void RCEstimationWidget::start(Estimation e, bool continuous) {
    if (stimulus) stimulus->runEstimation(panels[e].protocolIdx, overrides(panels[e]));
    if (e == Resistance) {
        if (cConsumer) cConsumer->onStopConsuming();
        if (rConsumer) {
            rConsumer->setContinuous(continuous);
            rConsumer->onStartConsuming();
        }
    } else {
        if (rConsumer) rConsumer->onStopConsuming();
        if (cConsumer) {
            cConsumer->setContinuous(continuous);
            cConsumer->onStartConsuming();
        }
    }
}

void RCEstimationWidget::onStart() {
    onApplyParameters();
    running = true;
    for (Panel& p : panels) {
        p.check->setEnabled(false);
        p.box->setEnabled(false);
    }
    const bool r = panels[Resistance].check->isChecked();
    const bool c = panels[Capacitance].check->isChecked();
    if (r)
        start(Resistance, !c);
    else
        start(Capacitance, true);
}

void RCEstimationWidget::onStop() {
    running = false;
    // The stimulus holds again.
    if (stimulus) stimulus->endEstimation();
    if (rConsumer) rConsumer->onStopConsuming();
    if (cConsumer) cConsumer->onStopConsuming();
    for (Panel& p : panels) {
        p.check->setEnabled(p.available);
        p.box->setEnabled(p.available && p.check->isChecked());
    }
    onEdited();
    markStale(values, staleAfterStop);
}

void RCEstimationWidget::showValue(int row, int channel, const Measurement_t& value) {
    values->setItem(row, channel, new QTableWidgetItem(cellText(value)));
}

void RCEstimationWidget::applyToCFast(const std::vector<int>& channels) {
    for (int c : channels) {
        emit compensateCFast(c, capacitances[size_t(c)]);
        // Until the next estimate: the compensation adds what it is given, and this one again
        // would compensate twice.
        cFastButtons[size_t(c)]->setEnabled(false);
    }
    cFastAll->setEnabled(anyEnabled(cFastButtons));
    // The estimate under way has measured part of its current before: it starts over.
    if (cConsumer && cConsumer->isRunning()) cConsumer->onResetConsuming();
}

void RCEstimationWidget::onResult(REstimationConsumer::Result_t res) {
    markStale(values, QString());
    for (int c = 0; c < std::min(currentChannelsNum, int(res.resistances.size())); c++) {
        resistances[size_t(c)] = {res.resistances[c], kv4cl::UnitPfxNone, "Ω"};
        showValue(0, c, resistances[size_t(c)]);
        saturatedResistances[size_t(c)] = c < res.saturated.size() && res.saturated[c];
        if (saturatedResistances[size_t(c)]) {
            QTableWidgetItem* item = values->item(0, c);
            item->setText(item->text() + " (saturated)");
            item->setToolTip(QString("The current of channel %1 saturated its %2 range: this is the range's "
                                     "resistance, not the cell's.")
                                 .arg(c + 1)
                                 .arg(valueLabel(currentRanges[size_t(c)])));
        }
    }
    toolAction(LabbookTool)->setEnabled(true);
    toolAction(ExportTool)->setEnabled(true);
    if (running && panels[Capacitance].check->isChecked() && panels[Resistance].check->isChecked())
        start(Capacitance, false);
}

void RCEstimationWidget::onResult(CEstimationConsumer::Result_t res) {
    markStale(values, QString());
    for (int c = 0; c < std::min(currentChannelsNum, int(res.capacitances.size())); c++) {
        capacitances[size_t(c)] = {res.capacitances[c], kv4cl::UnitPfxNone, "F"};
        showValue(1, c, capacitances[size_t(c)]);
        if (!cFastButtons.empty()) cFastButtons[size_t(c)]->setEnabled(std::isfinite(res.capacitances[c]));
    }
    if (cFastAll) cFastAll->setEnabled(anyEnabled(cFastButtons));
    toolAction(LabbookTool)->setEnabled(true);
    toolAction(ExportTool)->setEnabled(true);
    if (running && panels[Capacitance].check->isChecked() && panels[Resistance].check->isChecked())
        start(Resistance, false);
}

QString RCEstimationWidget::exportData() {
    QStringList channels{"Channel:"};
    for (int c = 0; c < currentChannelsNum; c++)
        channels << QString::number(c + 1);
    QString text = csvLine(channels, separator);
    const auto line = [&](const QString& name, const std::vector<Measurement_t>& values, const char* unit) {
        const kv4cl::UnitPfx_t prefix = linePrefix(values);
        QStringList fields{csvHeader(name, kv4cl::unitPrefixes[prefix] + QString(unit))};
        for (const Measurement_t& m : values)
            fields << csvNumber(m.converted(prefix).value);
        text += csvLine(fields, separator);
    };
    line("Resistance", resistances, "Ω");
    line("Capacitance", capacitances, "F");
    if (std::find(saturatedResistances.begin(), saturatedResistances.end(), true) !=
        saturatedResistances.end()) {
        QStringList saturated{"Resistance from saturated samples"};
        for (bool s : saturatedResistances)
            saturated << (s ? "yes" : "no");
        text += csvLine(saturated, separator);
    }
    return text;
}

void RCEstimationWidget::onSaveToLabbook() {
    for (int c = 0; c < currentChannelsNum; c++)
        emit labbookEvent(new LabbookEventRCEstimation(c + 1, resistances[size_t(c)], capacitances[size_t(c)],
                                                       saturatedResistances[size_t(c)]));
}

// Two workers, driven by the dock itself: it runs one estimation at a time.
Analysis rcEstimationAnalysis() {
    return {.key = "rcEstimation",
            .title = "RC Estimation",
            .placement = AnalysisPlacement::Docked,
            .filterLabel = "RC estimation",
            .filterKey = "RCEstimation",
            .makeConsumers =
                [](DeviceDataProducer* producer) {
                    return std::vector<AnalysisConsumer*>{new REstimationConsumer(producer),
                                                          new CEstimationConsumer(producer)};
                },
            .makeDock = [](const std::vector<AnalysisConsumer*>& consumers,
                           const DeviceDataProducer::ChannelCounts& channels, int,
                           QWidget* parent) -> AnalysisWidget* {
                auto* dock = new RCEstimationWidget(channels, parent);
                dock->setConsumers(static_cast<REstimationConsumer*>(consumers[0]),
                                   static_cast<CEstimationConsumer*>(consumers[1]));
                return dock;
            }};
}
