#pragma once
// Where, under which name, in which format and for how long the next recording is written.
// The durations become sample counts for the writers, with an estimate of the size on disk;
// a file that would outgrow the size limit is split into chunks. The boxes fill the plan
// (recordingplan.h) that names the recording's folder and files for the writers.
//
// Built after a connection: the channel counts and the trigger support come from the
// library.

#include "recording/recordingplan.h"

#include "commlib/types/kv4cltypes.h"

#include <QDialog>

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class SteppedSpinBox;

class RecordSettingsDialog : public QDialog {
    Q_OBJECT

  public:
    // Widgets start as the settings say.
    explicit RecordSettingsDialog(QWidget* parent = nullptr);

    // 0 for ".dat", 1 for ".abf".
    int getDataFormat() const { return recordingPlan.format; }
    RecordSettings getRecordSettings() const { return recordingPlan.settings; }
    QString getRecordPath() const;
    // True when the model has no digital trigger to wait for.
    bool getWaitForTrigger() const;

    // What the boxes say, for the writers.
    RecordingPlan& plan() { return recordingPlan; }
    QString getRecordFileName(bool continuation, const QString& suffix, const QString& extension,
                              QString& displayName) {
        return recordingPlan.fileName(continuation, suffix, extension, displayName);
    }
    QString getRecordFolder() const { return recordingPlan.folder(); }
    QString getRecordName() const { return recordingPlan.recordName(); }

  signals:
    void newRecordPath();

  public slots:
    void onSamplingRateChanged(kv4cl::Measurement_t baseSamplingRate, kv4cl::Measurement_t samplingRate);
    void onRecordPathBrowseBtnClicked();
    void onDataFormatSelected(bool clicked);
    // Turns the durations into the settings handed to the writers and shows the size.
    void onDurationSelected();
    void onLoadSettings();
    void onSaveSettings();
    void onAccept();
    void onReject();
    // Escape and the close button reload too.
    void reject() override { onReject(); }

  private:
    QLineEdit* pathEdit;
    QLineEdit* nameEdit;
    QCheckBox* dateBox;
    QCheckBox* triggerBox = nullptr; // only with a digital trigger
    QRadioButton* datButton;
    QRadioButton* abfButton;
    QDoubleSpinBox* durationBox;
    QCheckBox* clipBox;
    SteppedSpinBox* chunkBox;
    QDoubleSpinBox* sweepBox;
    QLabel* sizeLabel;

    uint32_t voltageChannels = 0;
    uint32_t currentChannels = 0;
    uint32_t gpChannels = 0;
    int bytesPerValue = 4;
    uint32_t valuesPerSample = 0; // per file
    uint32_t filesNum = 1;
    double samplingRate = 1000.0; // Hz
    RecordingPlan recordingPlan;
};
