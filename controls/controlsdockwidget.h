#pragma once
// The "Controls" dock: one section per acquisition setting of the connected model (ranges,
// filters, sampling rate, oversampling, voltage reference, LEDs and the model's own
// controls), built once from the library's lists. Picking an option calls the library; the
// settings that change how data must be read are announced for the consumers.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>
#include <QStringList>

#include <cstdint>
#include <vector>

class CollapsibleSection;
class QLabel;
class QButtonGroup;
class QVBoxLayout;
class SteppedSpinBox;

// A setting's widget from its option labels: null without options, the one option as plain
// text, or one exclusive button per option with the default checked.
QWidget* makeOptionSection(const QString& title, const QStringList& labels, int defaultIdx);

// Filter cut-offs labelled by value and, for 2 to 5 of them, with " - " and a bandwidth name.
struct FilterLabels {
    QStringList labels;
    bool lowToHigh = true; // false when the first cut-off is above the second
};
FilterLabels filterLabels(const std::vector<kv4cl::Measurement_t>& cutoffs);

class ControlsDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    // Built from the library's answers for the connected model.
    explicit ControlsDockWidget(QWidget* parent = nullptr);

  signals:
    void voltageRangeChanged(kv4cl::RangedMeasurement_t range);
    void currentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void gpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void currentRangeAuto(bool flag);
    void samplingRateChanged(kv4cl::Measurement_t baseSamplingRate, kv4cl::Measurement_t samplingRate);
    void oversamplingRatioChanged(kv4cl::Measurement_t oversamplingRatio);

  public slots:
    // The …Toggled slots act only when `on` is true; onLedToggled switches the LED either way.
    void onVoltageRangeToggled(int index, bool on);
    // channelIdx equal to the current channel count is the section common to every channel,
    // whose button after the ranges is "Auto".
    void onCurrentRangeToggled(int index, int channelIdx, bool on);
    void onGpRangeToggled(int index, int channelIdx, bool on);
    // For other parts (the automatic range): the range without leaving "Auto".
    void onSetCurrentRange(int index, int channelIdx);
    // The automatic range: the next larger (+1) or smaller (-1) range for every channel,
    // within the list; "Auto" stays selected.
    void onMoveCurrentRange(int step);
    void onSetGpRange(int index, int channelIdx);
    void onSamplingRateToggled(int index, bool on);
    void onOversamplingRatioToggled(int index, bool on);
    void onVoltageStimulusLpfToggled(int index, bool on);
    void onVoltageReferenceLpfToggled(int index, bool on);
    void onVoltageReferenceRangeToggled(int index, bool on);
    void onLedToggled(int index, bool on);
    // While recording, the ranges and the rate stay as they are.
    void onRecording(bool flag);
    // Announces the selected base and effective rates, both as really sampled, with
    // samplingRateChanged: at start, so that every receiver begins from the device's rate.
    void announceSamplingRate();

  private:
    // Adds the section and returns it when it has buttons.
    CollapsibleSection* addSection(const QString& title, const QStringList& labels, int defaultIdx);
    void buildVoltageControls();
    void buildCurrentRanges();
    void buildGpRanges();
    void buildSamplingControls();
    void buildVoltageReference();
    void buildLeds();
    void buildCustomControls();
    void applyFilterAvailability(int voltageRangeIdx);
    void applyCurrentRange(int index, int channelIdx);
    // While "Auto" is chosen, which range it holds.
    void showAutoRange();
    // The table shows the range of each channel, and in its "set all" row the one every channel
    // has, if they agree.
    void showCurrentRanges();
    // The spin box follows the selected reference range.
    void bindReferenceSpinBox();

    QVBoxLayout* sections;
    bool recording = false;

    std::vector<kv4cl::RangedMeasurement_t> voltageRanges;
    CollapsibleSection* voltageRangeSection = nullptr;
    std::vector<uint16_t> filterAvailability; // per voltage range
    std::vector<kv4cl::Measurement_t> stimulusLpfs;
    bool stimulusLpfsLowToHigh = true;
    CollapsibleSection* stimulusLpfSection = nullptr;
    std::vector<kv4cl::Measurement_t> referenceLpfs;
    bool referenceLpfsLowToHigh = true;
    CollapsibleSection* referenceLpfSection = nullptr;

    int currentChannels = 0;
    std::vector<kv4cl::RangedMeasurement_t> currentRanges;
    std::vector<CollapsibleSection*> currentRangeSections; // the one common to every channel
    QWidget* currentRangeTable = nullptr;                  // or a row per channel
    QButtonGroup* allRangesRow = nullptr;
    std::vector<QButtonGroup*> currentRangeRows;
    QLabel* autoRangeLabel = nullptr; // with the common range's "Auto"
    bool autoRange = false;
    std::vector<int> selectedCurrentRanges;                        // per current channel
    std::vector<std::vector<kv4cl::RangedMeasurement_t>> gpRanges; // per GP channel

    std::vector<kv4cl::Measurement_t> samplingRates; // real, not the nominal labels
    kv4cl::Measurement_t baseSamplingRate;
    CollapsibleSection* samplingRateSection = nullptr;
    std::vector<uint16_t> oversamplingRatios;
    uint16_t oversamplingRatio = 1;
    CollapsibleSection* oversamplingSection = nullptr;

    std::vector<kv4cl::RangedMeasurement_t> referenceRanges;
    int selectedReferenceRange = 0;
    SteppedSpinBox* referenceSpinBox = nullptr;
};
