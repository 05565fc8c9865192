#pragma once
// The "Voltage stimulus" dock: the connected model's voltage protocols with one spin box per
// parameter, their validation by the library, applying and stopping them, recording requests,
// and saving and loading parameter sets. Built after a connection, for a model with protocols.
//
// Edits are judged by the library as they are typed without reaching the device: parameters
// are sent when a protocol is applied, and Vhold when the stimulus is stopped.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class FastPulsesCustomProtocolWidget;
class QComboBox;
class QDialog;
class QLabel;
class QPushButton;
class RecordButton;
class RecordSettingsDialog;
class SteppedSpinBox;
class TimerDisplay;

class ProtocolDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    explicit ProtocolDockWidget(QWidget* parent = nullptr);
    // Keeps the parameters for the next session.
    ~ProtocolDockWidget() override;

    // Handed to the data writers, which name their files with it.
    RecordSettingsDialog* recordSettingsDialog() const { return recordSettings; }

    // The parameter file of the shown protocol. False when it cannot be written, or read, or
    // was saved for another device; a failed load may have changed the shown protocol.
    bool saveParameters(const QString& fileName) const;
    bool loadParameters(const QString& fileName);
    // `error` tells, where it can, which line of the file is at fault.
    bool loadParameters(const QString& fileName, QString& error);

    // The file kept from one session to the next.
    static QString lastSessionFile();

    // False while the library rejects the shown parameters.
    bool parametersValid() const { return !invalid; }

    // Applies the protocol shown, as its button does.
    void applyShown() { onApplyProtocol(true); }
    // Holds the Vhold shown, as the stop button does.
    void holdVhold() { onApplyProtocol(false); }
    // The holding protocol at `vhold`, shown and applied; nothing during an estimation.
    void applyHolding(kv4cl::Measurement_t vhold);

  signals:
    void recordRequest(bool start);

  public slots:
    void onStimulusRangeChanged(kv4cl::RangedMeasurement_t range);
    void onNewRecordFile(QString fileName);
    void onRecording(bool flag);
    void onStartProtocolByShortCut(int protocolIdx);
    void onRecordProtocolByShortCut(int protocolIdx);
    void onApplyVhold(kv4cl::Measurement_t value, bool applyFlag);
    void onApplyVhold(kv4cl::Measurement_t value);
    void onIncreaseVhold();
    void onDecreaseVhold();
    void onInvertVhold();
    // As the stop-recording button; the window binds it to Shift+Escape.
    void onStopRecording() { emit recordRequest(false); }
    // An estimation takes the stimulus: its protocol runs with the parameters the estimation
    // set and Vhold from this dock, the protocol choice is disabled and stopping is ignored
    // until it ends, which holds Vhold again.
    void onREstimationRequest(bool flag);
    void onCEstimationRequest(bool flag);

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private slots:
    void onApplyProtocol(bool apply);
    void onRestoreDefaultProtocolParameters();

  private:
    // The parameter groups in the order the library and the files list them.
    enum Family { Voltages, Times, Slopes, Frequencies, Adimensionals, FamiliesNum };
    struct Row {
        QString name;
        QLabel* label;
        SteppedSpinBox* box;
        std::vector<QWidget*> extras; // shown and hidden with the row
    };

    QPushButton* addButton(const QString& icon, const QString& toolTip);
    void buildRows(Family family, QWidget* parent);
    SteppedSpinBox* vhold() const { return rows[Voltages][0].box; }
    void onParameterEdited(Family family, uint16_t paramIdx);
    void onProtocolChanged(int protocolIdx);
    void showProtocol(int protocolIdx);
    void showWaveform(bool show);
    void validate();
    // The library's judgement of the shown values for a protocol.
    kv4cl::ErrorCodes_t judge(int protocolIdx, std::string& message) const;
    void showValidity(kv4cl::ErrorCodes_t result, const std::string& message);
    // Names the protocol of that entry as the one running, once the amplifier has taken it.
    void showRunning(kv4cl::ErrorCodes_t applied, int protocolIdx);
    void requestRecording();
    void runEstimation(bool flag, kv4cl::ErrorCodes_t (*protocolOf)(uint16_t&));
    void onSaveParameters();
    void onLoadParameters();

    bool fastPulsesShown() const { return fastPulses && shownProtocol == fastPulsesEntry; }

    QComboBox* protocolBox;
    // The editor of the "Fast pulses" entry, after the library's protocols; null on models
    // without fast pulses.
    FastPulsesCustomProtocolWidget* fastPulses = nullptr;
    QWidget* fastPulsesArea = nullptr;
    int fastPulsesEntry = -1;
    QWidget* parametersArea;
    QPushButton* imageButton;
    QDialog* waveformView;
    QLabel* waveformImage;
    QLabel* messageLabel;
    QLabel* runningLabel; // hidden until a protocol is applied or stopped
    QPushButton* lockButton;
    RecordButton* recordButton;
    TimerDisplay* recordTime;
    RecordSettingsDialog* recordSettings;

    std::vector<QString> images;
    std::array<std::vector<Row>, FamiliesNum> rows;                      // per parameter index
    std::array<std::vector<std::vector<uint16_t>>, FamiliesNum> idxs;    // per protocol
    std::array<std::vector<std::vector<double>>, FamiliesNum> memory;    // per protocol, as idxs
    std::array<std::vector<kv4cl::Measurement_t>, FamiliesNum> defaults; // per parameter index
    int shownProtocol = -1;
    bool invalid = false;
    // The protocol of the estimation running.
    std::optional<uint16_t> estimation;
};
