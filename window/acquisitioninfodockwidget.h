#pragma once
// The "Acquisition info" dock: the saturation LED, the measured and configured rates, the
// samples lost since the connection, the resulting bandwidth, and the digital filter that
// the library applies to the raw data.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>

#include <cstdint>

class LabbookEvent;

class ActivationButton;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QTimer;

class AcquisitionInfoDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    // Starts from the library's current sampling rate and the saved filter type and cut
    // frequency; the filter itself starts off, as the library's does.
    explicit AcquisitionInfoDockWidget(QWidget* parent = nullptr);

    // The image path the saturation LED shows.
    QString saturationLedImage() const { return ledImage; }

  signals:
    // An entry for each loss outside a recording, with its size (a recording's writer
    // enters its own, with the file and the frame).
    void labbookEvent(LabbookEvent* event);

  public slots:
    // Only the effective rate matters here: the filter runs at it.
    void onSamplingRateChanged(kv4cl::Measurement_t baseSamplingRate, kv4cl::Measurement_t samplingRate);
    // Samples per second per channel, as the producer measures them.
    void onBitRateComputed(double rate);
    void onSaturation();
    // `frames` samples per channel are missing before the producer's row `row`.
    void onFramesLost(quint64 row, quint64 frames);
    void onRecording(bool on);

  private slots:
    void onExitSaturation();
    void onLoadSettings();
    void onSaveSettings();
    void onFilterChanged();

  private:
    void setLed(const QString& image);
    void showBandwidth();
    void showSamplesLost(const QString& lastLoss);

    QLabel* led;
    QString ledImage;
    QTimer* saturationTimer;
    QLabel* measuredRateLabel;
    QLabel* samplingRateLabel;
    QLabel* bandwidthLabel;
    QLabel* samplesLostLabel;
    uint64_t samplesLost = 0;
    bool recording = false;
    ActivationButton* filterButton;
    QComboBox* filterTypeCombo;
    QDoubleSpinBox* cutFrequencySpinBox;
    kv4cl::Measurement_t samplingRate{0.0, kv4cl::UnitPfxNone, "Hz"};
};
