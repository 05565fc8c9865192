#pragma once
// The fast-pulses editor ("Custom protocol controls"): waveform 1, voltage segments of
// milliseconds, and waveform 2, fast pulses of microseconds (trains on models that have them).
// Every edit goes to the library at once; the protocol dock applies the protocol. The values
// are kept from one run to the next in "last.txt" of the protocols folder.

#include "commlib/types/kv4cltypes.h"

#include <QWidget>

#include <cstdint>
#include <vector>

class QLabel;
class SteppedSpinBox;

// Both waveforms on one time axis: waveform 1 above, waveform 2 below.
class FastPulsesCustomProtocolPreview : public QWidget {
  public:
    struct Step {
        double voltage; // mV
        double start;   // µs
        double length;  // µs
    };
    explicit FastPulsesCustomProtocolPreview(QWidget* parent = nullptr);
    void setWaveforms(std::vector<Step> waveform1, std::vector<Step> waveform2);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::vector<Step> w1;
    std::vector<Step> w2;
};

class FastPulsesCustomProtocolWidget : public QWidget {
    Q_OBJECT

  public:
    explicit FastPulsesCustomProtocolWidget(QWidget* parent = nullptr);
    ~FastPulsesCustomProtocolWidget() override;

    bool isValid() const { return !shorterError && !periodError; }
    bool save(const QString& fileName) const;
    // On failure `error` names the line at fault and no value changes.
    bool load(const QString& fileName, QString& error);

    static QString lastFile();

  signals:
    void applyProtocol();

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // A row's boxes in the file's column order: segments voltage, duration; pulses voltage,
    // wait, duration, and for trains period and count.
    using Row = std::vector<SteppedSpinBox*>;
    enum { Voltage, Wait, Duration, Period, Count };

    void check();

    std::vector<Row> segments;
    std::vector<Row> pulses;
    bool trains = false;
    bool shorterError = false;
    bool periodError = false;
    QLabel* errorLabel;
    FastPulsesCustomProtocolPreview* preview;
};
