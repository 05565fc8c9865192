#pragma once
// The noise report's dock: per channel (voltage, current, gp) the mean and the RMS of the
// last window, in a table; the current channels' results go to the lab book. The window's
// length is the user's, kept in the settings.

#include "analysis/framework/analysiswidget.h"
#include "analysis/noisereport/noisereportconsumer.h"

#include <QStringList>

class CopyableTable;
class QDoubleSpinBox;

class NoiseReportWidget : public AnalysisDock<NoiseReportWidget, NoiseReportConsumer> {
    Q_OBJECT

  public:
    explicit NoiseReportWidget(const ChannelCounts& channels, QWidget* parent = nullptr);

    // Builds the table for the connected channels; the gp channels are named by the library.
    void setChannelsNumber(int voltageChannels, int currentChannels, int gpChannels);
    void setConsumer(NoiseReportConsumer* consumer);
    QString exportName() const override { return "noiseReport"; }
    QString exportData() override;
    CopyableTable* table() const { return values; }
    QDoubleSpinBox* windowBox() const { return window; }
    // Where the window is kept, in seconds.
    static const QString windowKey;

  public slots:
    void onResult(NoiseReportConsumer::Result_t res);
    void onSaveToLabbook() override;

  private:
    // Voltage rows, then current rows, then gp rows.
    std::vector<kv4cl::Measurement_t> means;
    std::vector<kv4cl::Measurement_t> stds;
    // The last result, for the export.
    NoiseReportConsumer::Result_t shown;
    QStringList gpNames;
    QDoubleSpinBox* window;
    CopyableTable* values;
};
