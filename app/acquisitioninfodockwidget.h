#pragma once
// The "Acquisition info" dock: the saturation LED, the measured and configured rates, the
// resulting bandwidth, and the digital filter that the library applies to the raw data.

#include "commlib/api/kv4cltypes.h"

#include <QDockWidget>

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

  public slots:
    // Only the effective rate matters here: the filter runs at it.
    void onSamplingRateChanged(kv4cl::Measurement_t baseSamplingRate, kv4cl::Measurement_t samplingRate);
    // Samples per second per channel, as the producer measures them.
    void onBitRateComputed(double rate);
    void onSaturation();

  private slots:
    void onExitSaturation();
    void onLoadSettings();
    void onSaveSettings();
    void onFilterChanged();

  private:
    void setLed(const QString& image);
    void showBandwidth();

    QLabel* led;
    QString ledImage;
    QTimer* saturationTimer;
    QLabel* measuredRateLabel;
    QLabel* samplingRateLabel;
    QLabel* bandwidthLabel;
    ActivationButton* filterButton;
    QComboBox* filterTypeCombo;
    QDoubleSpinBox* cutFrequencySpinBox;
    kv4cl::Measurement_t samplingRate{0.0, kv4cl::UnitPfxNone, "Hz"};
};
