#include "recording/labbookevent.h"

#include <QStringList>

#include <cmath>

using kv4cl::Measurement_t;

namespace {

QString unitOf(const Measurement_t& m) {
    return QString::fromStdString(m.label());
}

// "Label: value [unit]" as the entry lines show it.
QString lineField(const QString& label, const Measurement_t& m, bool shown = true) {
    return label + (shown ? QString::number(m.value, 'g', 6) : QString("-")) + " [" + unitOf(m) + "]";
}

QString channelField(int channel) {
    return "Channel: " + QString::number(channel);
}

} // namespace

void LabbookEvent::prepare(std::initializer_list<kv4cl::Measurement_t*> values) {
    if (valuesPrepared) return;
    for (kv4cl::Measurement_t* value : values)
        *value = kv4cl::withFittingPrefix(*value);
    valuesPrepared = true;
}

QString LabbookEvent::lineText() const {
    return time + separator + recordingTime;
}

QString LabbookEventPlaceholder::lineText() const {
    // A mark that never got its note is written as an empty note.
    return noteLine("''");
}

QString LabbookEventPlaceholder::noteLine(const QString& noteText) const {
    QString line = LabbookEvent::lineText() + separator + "Written Note" + separator + "'" + noteText + "'";
    if (hasTemperature)
        line += separator + "Temperature: " + QString::number(temperature, 'g', 6) + " [\u00B0C]";
    return line;
}

QString LabbookEventMembraneMonitor::lineText() const {
    QStringList fields{LabbookEvent::lineText(), "Membrane Monitor",
                       "Channel switched off: " + QString::number(channel)};
    if (saturated) fields << "Current saturated the range";
    return fields.join(separator);
}

QString LabbookEventVoltageController::lineText() const {
    QStringList fields{LabbookEvent::lineText(), "Voltage Controller", channelField(channel), action};
    if (std::isfinite(voltage.value)) fields << lineField("Voltage: ", voltage);
    return fields.join(separator);
}

QString LabbookEventNoiseReport::lineText() const {
    return QStringList{LabbookEvent::lineText(), "Noise Report", channelField(channel),
                       lineField("Mean Current: ", meanCurrent), lineField("Current Rms: ", currentRms)}
        .join(separator);
}

QString LabbookEventRCEstimation::lineText() const {
    QStringList fields{LabbookEvent::lineText(), "RC Estimation", channelField(channel),
                       lineField("Resistance: ", resistance, resistance.value >= 0.0),
                       lineField("Capacitance: ", capacitance, capacitance.value >= 0.0)};
    if (resistanceSaturated) fields << "Resistance from saturated samples";
    return fields.join(separator);
}

QString LabbookEventEventsDetection::lineText() const {
    return QStringList{LabbookEvent::lineText(),
                       "Events Detection",
                       channelField(channel),
                       lineField("Average Dwell Time: ", averageDwellTime),
                       lineField("Average Inter Event Time: ", averageInterEventTime),
                       lineField("Events Rate: ", eventsRate)}
        .join(separator);
}

QString LabbookEventIVGraph::lineText() const {
    return QStringList{LabbookEvent::lineText(),
                       "I/V graph",
                       channelField(channel),
                       lineField("Conductance: ", conductance, fitValid),
                       lineField("Current Offset: ", currentOffset, fitValid),
                       lineField("Reverse Potential: ", reversePotential, fitValid)}
        .join(separator);
}

QString lostSamplesText(uint64_t samples, double samplingRate) {
    QString text = QString("%1 sample%2 per channel").arg(samples).arg(samples == 1 ? "" : "s");
    if (samplingRate <= 0.0) return text;
    const double ms = double(samples) * 1000.0 / samplingRate;
    // Four digits below a second, whole milliseconds above.
    return text + " (" + (ms < 1000.0 ? QString::number(ms, 'g', 4) : QString::number(ms, 'f', 0)) + " ms)";
}

QString LabbookEventSamplesLost::lineText() const {
    QStringList fields{LabbookEvent::lineText(), "Samples lost", lostSamplesText(samples, samplingRate)};
    if (!file.isEmpty()) fields << QString("at frame index %1 of %2").arg(frame).arg(file);
    return fields.join(separator);
}
