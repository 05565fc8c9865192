#include "window/acquisitioninfodockwidget.h"

#include "acquisition/valuelabel.h"
#include "commlib/api/kv4cl.h"
#include "recording/labbookevent.h"
#include "widgets/activationbutton.h"
#include "widgets/images.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSettings>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

using kv4cl::Measurement_t;

namespace {

const QString ledOffImage = ":/imgs/led off.png";
const QString ledOnImage = ":/imgs/red led on.png";
const QString cutoffKey = "Parameters/Filters/rawFilterCutoffFrequency";
const QString typeKey = "Parameters/Filters/rawFilterType";

// The producer reports saturation at most once a second: a second keeps the LED lit while
// saturation lasts.
constexpr int saturationOnTimeMs = 1000;
constexpr int cutoffDecimals = 3;
constexpr double cutoffStepKHz = 0.001;
constexpr double defaultCutoffKHz = 0.1;
// Until a sampling rate is known.
constexpr double initialMaximumCutoffKHz = 100.0;

Measurement_t kiloHertz(double value) {
    return {value, kv4cl::UnitPfxKilo, "Hz"};
}

} // namespace

AcquisitionInfoDockWidget::AcquisitionInfoDockWidget(QWidget* parent)
    : QDockWidget("Acquisition info", parent) {
    setObjectName("acquisitionInfoDw");

    led = new QLabel;
    led->setToolTip("Saturation LED");
    setLed(ledOffImage);
    saturationTimer = new QTimer(this);
    saturationTimer->setObjectName("saturationTimer");
    saturationTimer->setSingleShot(true);
    saturationTimer->setInterval(saturationOnTimeMs);
    connect(saturationTimer, &QTimer::timeout, this, &AcquisitionInfoDockWidget::onExitSaturation);

    measuredRateLabel = new QLabel;
    measuredRateLabel->setObjectName("measuredRateLabel");
    onBitRateComputed(0.0);
    samplingRateLabel = new QLabel;
    samplingRateLabel->setObjectName("samplingRateLabel");
    bandwidthLabel = new QLabel;
    bandwidthLabel->setObjectName("bandwidthLabel");
    samplesLostLabel = new QLabel;
    samplesLostLabel->setObjectName("samplesLostLabel");
    samplesLostLabel->setToolTip(
        "Samples per channel that never reached the program since it connected. Each "
        "loss is written in the lab book and marked in the recording it falls in.");
    showSamplesLost({});

    filterButton = new ActivationButton;
    filterButton->setObjectName("digitalFilteringButton");
    filterTypeCombo = new QComboBox;
    filterTypeCombo->setObjectName("filterTypeComboBox");
    filterTypeCombo->addItems({"Low pass", "High pass"});
    cutFrequencySpinBox = new QDoubleSpinBox;
    cutFrequencySpinBox->setObjectName("cutFrequencySpinBox");
    cutFrequencySpinBox->setDecimals(cutoffDecimals);
    cutFrequencySpinBox->setRange(cutoffStepKHz, initialMaximumCutoffKHz);
    cutFrequencySpinBox->setSuffix(" kHz");
    cutFrequencySpinBox->setValue(defaultCutoffKHz);
    // One library call per finished edit, not one per typed digit.
    cutFrequencySpinBox->setKeyboardTracking(false);

    // The readings in two rows above the filter's controls: the top area shares the window's
    // width with other docks, and one long row would need scrolling on a small screen.
    auto* readings = new QGridLayout;
    readings->setHorizontalSpacing(8);
    readings->addWidget(led, 0, 0);
    readings->addWidget(new QLabel("Measured rate:"), 0, 1);
    readings->addWidget(measuredRateLabel, 0, 2);
    readings->addWidget(new QLabel("Sampling rate:"), 0, 4);
    readings->addWidget(samplingRateLabel, 0, 5);
    readings->addWidget(samplesLostLabel, 1, 1, 1, 2);
    readings->addWidget(new QLabel("Bandwdith:   "), 1, 4);
    readings->addWidget(bandwidthLabel, 1, 5);
    readings->setColumnMinimumWidth(3, 12);
    readings->setColumnStretch(6, 1);
    auto* filtering = new QHBoxLayout;
    filtering->addWidget(new QLabel("Digital filtering"));
    filtering->addWidget(filterButton);
    filtering->addWidget(new QLabel("Filter"));
    filtering->addWidget(filterTypeCombo);
    filtering->addWidget(new QLabel("Cut frequency"));
    filtering->addWidget(cutFrequencySpinBox);
    filtering->addStretch();
    auto* layout = new QVBoxLayout;
    layout->addLayout(readings);
    layout->addLayout(filtering);
    auto* contents = new QWidget;
    contents->setLayout(layout);
    setWidget(contents);

    // Set up before the controls are connected, so that building the dock neither calls the
    // library nor rewrites the saved values.
    Measurement_t rate;
    if (kv4cl::getSamplingRate(rate) == kv4cl::Success) onSamplingRateChanged(rate, rate);
    onLoadSettings();
    showBandwidth();

    connect(filterButton, &ActivationButton::clicked, this, &AcquisitionInfoDockWidget::onFilterChanged);
    connect(filterTypeCombo, &QComboBox::currentIndexChanged, this,
            &AcquisitionInfoDockWidget::onFilterChanged);
    connect(cutFrequencySpinBox, &QDoubleSpinBox::valueChanged, this,
            &AcquisitionInfoDockWidget::onFilterChanged);
}

void AcquisitionInfoDockWidget::onSamplingRateChanged(Measurement_t, Measurement_t rate) {
    samplingRate = rate;
    samplingRateLabel->setText(measurementDisplay(rate));
    // The library takes only cut frequencies strictly below half the rate. Lowering the
    // maximum below the value moves the value, which applies it again.
    cutFrequencySpinBox->setMaximum(rate.converted(kv4cl::UnitPfxKilo).value / 2.0 - cutoffStepKHz);
    showBandwidth();
}

void AcquisitionInfoDockWidget::onBitRateComputed(double rate) {
    measuredRateLabel->setText(measurementDisplay({rate, kv4cl::UnitPfxNone, "sps"}));
}

void AcquisitionInfoDockWidget::onSaturation() {
    setLed(ledOnImage);
    saturationTimer->start();
}

void AcquisitionInfoDockWidget::onFramesLost(quint64, quint64 frames) {
    samplesLost += frames;
    showSamplesLost(QTime::currentTime().toString("hh:mm:ss"));
    if (!recording) emit labbookEvent(new LabbookEventSamplesLost(frames, samplingRate.getNoPrefixValue()));
}

void AcquisitionInfoDockWidget::onRecording(bool on) {
    recording = on;
}

void AcquisitionInfoDockWidget::showSamplesLost(const QString& lastLoss) {
    if (samplesLost == 0) {
        samplesLostLabel->setText("Samples lost: 0");
        samplesLostLabel->setStyleSheet("QLabel { color: rgb(0, 130, 0); }");
        return;
    }
    samplesLostLabel->setText(QString("Samples lost: %1, last at %2").arg(samplesLost).arg(lastLoss));
    samplesLostLabel->setStyleSheet("QLabel { color: rgb(210, 0, 0); font-weight: bold; }");
}

void AcquisitionInfoDockWidget::onExitSaturation() {
    setLed(ledOffImage);
}

void AcquisitionInfoDockWidget::onLoadSettings() {
    QSettings settings;
    bool ok = false;
    const QVariant type = settings.value(typeKey, 0);
    const int typeIdx = type.toInt(&ok);
    if (ok && typeIdx >= 0 && typeIdx < filterTypeCombo->count())
        filterTypeCombo->setCurrentIndex(typeIdx);
    else
        qWarning("Ignoring the saved digital filter type \"%s\": 0 (low pass) or 1 (high pass) expected",
                 qPrintable(type.toString()));

    const QVariant cutoff = settings.value(cutoffKey, defaultCutoffKHz);
    const double cutoffKHz = cutoff.toDouble(&ok);
    if (ok && std::isfinite(cutoffKHz) && cutoffKHz > 0.0)
        cutFrequencySpinBox->setValue(cutoffKHz);
    else
        qWarning("Ignoring the saved digital filter cut frequency \"%s\": a positive number of kHz expected",
                 qPrintable(cutoff.toString()));
}

void AcquisitionInfoDockWidget::onSaveSettings() {
    QSettings settings;
    settings.setValue(typeKey, filterTypeCombo->currentIndex());
    settings.setValue(cutoffKey, cutFrequencySpinBox->value());
}

void AcquisitionInfoDockWidget::onFilterChanged() {
    const kv4cl::ErrorCodes_t error =
        kv4cl::setDigitalFilter(kiloHertz(cutFrequencySpinBox->value()), filterTypeCombo->currentIndex() == 0,
                                filterButton->isChecked());
    if (error != kv4cl::Success)
        qWarning("The library refused the digital filter: error 0x%x", unsigned(error));
    onSaveSettings();
    showBandwidth();
}

void AcquisitionInfoDockWidget::setLed(const QString& image) {
    ledImage = image;
    led->setPixmap(imagePixmap(image));
}

void AcquisitionInfoDockWidget::showBandwidth() {
    Measurement_t bandwidth = samplingRate;
    bandwidth.value /= 2.0;
    // A high-pass filter leaves the upper edge where it was.
    if (filterButton->isChecked() && filterTypeCombo->currentIndex() == 0)
        bandwidth = kiloHertz(cutFrequencySpinBox->value());
    bandwidthLabel->setText(measurementDisplay(bandwidth));
}
