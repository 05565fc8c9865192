#pragma once
// The "Voltage stimulus" dock, a view over the stimulus: the connected model's voltage
// protocols with one spin box per parameter, the library's judgement of them, applying and
// stopping them, recording requests, and saving and loading parameter sets. Built after a
// connection, for a model with protocols.

#include "session/stimulusservice.h"

#include <QDockWidget>

#include <array>
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
    explicit ProtocolDockWidget(StimulusService& stimulus, QWidget* parent = nullptr);
    // Keeps the parameters for the next session.
    ~ProtocolDockWidget() override;

    // Handed to the data writers, which name their files with it.
    RecordSettingsDialog* recordSettingsDialog() const { return recordSettings; }

    // The parameter file of the shown protocol, or of the fast-pulses editor when it shows.
    // False when it cannot be written, or read, or was saved for another device; `error`
    // tells, where it can, which line of the file is at fault.
    bool saveParameters(const QString& fileName) const;
    bool loadParameters(const QString& fileName, QString& error);

  signals:
    void recordRequest(bool start);

  public slots:
    void onNewRecordFile(QString fileName);
    void onRecording(bool flag);
    void onStartProtocolByShortCut(int protocolIdx);
    void onRecordProtocolByShortCut(int protocolIdx);
    void onIncreaseVhold();
    void onDecreaseVhold();
    void onInvertVhold();
    // As the stop-recording button; the window binds it to Shift+Escape.
    void onStopRecording() { emit recordRequest(false); }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    using Family = ProtocolTable::Family;
    struct Row {
        QLabel* label;
        SteppedSpinBox* box;
        std::vector<QWidget*> extras; // shown and hidden with the row
    };

    QPushButton* addButton(const QString& icon, const QString& toolTip);
    void buildRows(Family family, QWidget* parent);
    SteppedSpinBox* vhold() const { return rows[ProtocolTable::Voltages][0].box; }
    // The stimulus's choice in the boxes, the rows of its protocol shown.
    void showChoice();
    void showWaveform(bool show);
    void showValidity();
    // Applies the choice, or says why not; during an estimation, runs it again.
    void apply();
    void requestRecording();
    void onSaveParameters();
    void onLoadParameters();

    bool fastPulsesShown() const {
        return fastPulses && stimulus.choice().protocol == stimulus.fastPulsesEntry();
    }

    StimulusService& stimulus;

    QComboBox* protocolBox;
    // The editor of the "Fast pulses" entry, after the library's protocols; null on models
    // without fast pulses.
    FastPulsesCustomProtocolWidget* fastPulses = nullptr;
    QWidget* fastPulsesArea = nullptr;
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

    std::array<std::vector<Row>, ProtocolTable::FamiliesNum> rows; // per parameter index
};
