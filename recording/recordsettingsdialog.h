#pragma once
// Where, under which name, in which format and for how long the next recording is written.
// The durations become sample counts for the writers, with an estimate of the size on disk;
// a file that would outgrow the size limit is split into chunks. The dialog also names the
// recording's folder and files for the writers.
//
// Built after a connection: the channel counts and the trigger support come from the
// library. The naming service runs in the GUI thread for the first file of a recording and
// in the writer's thread for further chunks, which only use the naming state kept here.

#include "recording/recordsettings.h"

#include "commlib/api/kv4cltypes.h"

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
    int getDataFormat() const;
    RecordSettings getRecordSettings() const { return settings; }
    QString getRecordPath() const;
    // True when the model has no digital trigger to wait for.
    bool getWaitForTrigger() const;

    // The full path of the next data file of a recording, and in displayName the same
    // relative to the recording path, without extension. The first file (continuation
    // false) picks a new folder under the recording path; further chunks count on in it.
    // A non-empty suffix may hold "%1", which the display name shows as "001".
    QString getRecordFileName(bool continuation, const QString& suffix, const QString& extension,
                              QString& displayName);
    // The present recording's folder (with a trailing "/") and base name, as the naming
    // service chose them at its first file.
    QString getRecordFolder() const { return recordFolder; }
    QString getRecordName() const { return recordName; }

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
    RecordSettings settings;

    // Naming state of the present recording.
    QString recordName; // with the date when appended
    QString recordFolder;
    QString relativeFolder;
    int fileCounter = 0;
};
