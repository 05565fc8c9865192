#pragma once
// The resistance and capacitance estimation's dock: which of the two to run, the values of
// each estimation protocol's parameters to use instead of the stimulus's (judged by the
// library as typed and kept in the settings), and a table of the last resistance and
// capacitance of every current channel. With both chosen the two take turns, one result
// each, each running its protocol through the stimulus. On models with a
// fast-capacitance compensation, "Apply to CFast" hands a channel's estimate (or every
// channel's) to it; nothing else does, as the next estimate is of the compensated current.

#include "analysis/framework/analysiswidget.h"
#include "analysis/rcestimation/cestimationconsumer.h"
#include "analysis/rcestimation/restimationconsumer.h"
#include "session/stimulusservice.h"

#include <QPointer>

#include <vector>

class CopyableTable;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;
class SteppedSpinBox;

class RCEstimationWidget : public AnalysisWidget {
    Q_OBJECT

  public:
    explicit RCEstimationWidget(const ChannelCounts& channels, QWidget* parent = nullptr);

    // Both workers; the widget starts and stops them itself.
    void setConsumers(REstimationConsumer* resistance, CEstimationConsumer* capacitance);
    // What runs the estimations' protocols; none, and they measure what the device plays.
    void setStimulus(StimulusService* stimulus);
    QString exportName() const override { return "rcEstimation"; }
    QString exportData() override;
    CopyableTable* table() const { return values; }

  signals:
    // A channel's capacitance estimate, for its fast-capacitance compensation: only when the
    // user applies it.
    void compensateCFast(int channelIdx, kv4cl::Measurement_t cp);

  public slots:
    // Unless an estimation runs: the override values to the library, and to the settings.
    void onApplyParameters();
    void onResult(REstimationConsumer::Result_t res);
    void onResult(CEstimationConsumer::Result_t res);
    void onSaveToLabbook() override;

  private:
    enum Estimation { Resistance, Capacitance };
    struct Override {
        ProtocolTable::Family family;
        uint16_t paramIdx;
        QString name;
        SteppedSpinBox* box;
    };
    struct Panel {
        QCheckBox* check;
        QGroupBox* box;
        uint16_t protocolIdx = 0;
        bool available = false;
        std::vector<Override> overrides;
        QSpinBox* repetitions; // periods averaged into one estimate, kept in the settings
    };

    void buildPanel(Estimation e, const QString& checkText, const QString& toolTip);
    // The library's judgement of a panel's values; the first failure's message.
    bool judge(const Panel& panel, std::string& message) const;
    void onEdited();
    std::vector<StimulusService::Override> overrides(const Panel& panel) const;
    void start(Estimation e, bool continuous);
    void onStart();
    void onStop();
    void showValue(int row, int channel, const kv4cl::Measurement_t& value);
    void applyToCFast(const std::vector<int>& channels);
    void sendRepetitions(Estimation e) const;

    ProtocolTable protocols;
    QPointer<StimulusService> stimulus;
    Panel panels[2];
    QLabel* warning;
    CopyableTable* values;
    // Per channel, and for all; empty on models without the compensation.
    std::vector<QPushButton*> cFastButtons;
    QPushButton* cFastAll = nullptr;
    REstimationConsumer* rConsumer = nullptr;
    CEstimationConsumer* cConsumer = nullptr;
    bool running = false;
    bool invalid = false;
    std::vector<kv4cl::Measurement_t> resistances;
    std::vector<bool> saturatedResistances; // the range's, not the cell's
    std::vector<kv4cl::Measurement_t> capacitances;
};
